// The registry of open devices.
#include "framework/RXMODEL_DeviceRegistry.h"

#include "framework/RXMODEL_Class.h"

namespace nivex {

SocketList<MODEL>& QZListInstance() {
  static SocketList<MODEL>* list = new SocketList<MODEL>();
  return *list;
}

bool GetDeviceHandle(const void* dev) {
  if (dev == nullptr) return false;
  // Only the address is compared; the cast does not read through the pointer.
  return QZList->check_Socket_Obj(static_cast<MODEL*>(const_cast<void*>(dev))) == 1;
}

}  // namespace nivex
