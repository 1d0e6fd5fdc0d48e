// The registry of open devices.
#include "framework/RXMODEL_DeviceRegistry.h"

#include "framework/RXMODEL_Class.h"

namespace nivex {

SocketList<MODEL>& QZListInstance() {
  static SocketList<MODEL>* list = new SocketList<MODEL>();
  return *list;
}

bool GetDeviceHandle(const void* dev) { return QZList->device_of(dev) != nullptr; }

}  // namespace nivex
