// The frame every exported function that takes a device handle shares:
//   1. the handle check (the value against the handles the registry issued to the open
//      devices; never a read through the handle): an unknown or released handle clears the
//      function's listed outputs, sets 0x1300A and gives 0;
//   2. the function's own argument checks;
//   3. exactly one virtual operation of the device;
//   4. its result, or 1 for the functions whose result is 1 for every valid handle.
//
//   QZ_API int QZ_ReadDIO(void* h, unsigned int* di, unsigned int* dout) {
//     return nivex::api::WithDevice(h, [&] { ... clear outputs ... }, [&](nivex::MODEL& d) {
//       if (di == nullptr || dout == nullptr) return nivex::api::BadArgument();
//       return d.ReadDIO(di, dout);
//     });
//   }
//
// Steps 2-4 run under the device's command lock, so calls on one handle from several threads
// take turns over the device's host-side state (scan parameters, trigger levels, cached codes,
// calibration). The starts and stops of the device's worker run outside it (WithDeviceControl):
// they take the control lock themselves and join the worker, which may need the command lock.
// No exceptions here. A handle must not be released while another call on the same handle is
// running.
#pragma once

#include <mutex>

#include "framework/RXMODEL_Class.h"
#include "framework/RXMODEL_DeviceRegistry.h"
#include "nivex.h"
#include "support/FaultText.h"

namespace nivex::api {

// The device behind handle, or null (nothing else done) when handle is not the handle of a
// registered device.
inline MODEL* DeviceOf(void* handle) { return QZList->device_of(handle); }

// The handle callers get for a device just opened (null for null).
inline void* HandleOf(MODEL* dev) { return QZList->handle_of(dev); }

// Sets 0x1300A and gives 0: the answer to an unknown handle.
inline int InvalidHandle() {
  return Fail(QZ_ERR_INVALID_HANDLE);
}

// Sets 0x1300C and gives 0: an argument the function does not accept.
inline int BadArgument() {
  return Fail(QZ_ERR_INVALID_ARGUMENT);
}

// The command lock of a device for the length of one call.
using DeviceCall = std::lock_guard<std::recursive_mutex>;

// Steps 1-4 for a function that passes the operation's result on. onInvalid clears the
// outputs that the function lists for an unknown handle; call(MODEL&) does steps 2 and 3.
template <class OnInvalid, class Call>
int WithDevice(void* handle, OnInvalid onInvalid, Call call) {
  MODEL* dev = DeviceOf(handle);
  if (dev == nullptr) {
    onInvalid();
    return InvalidHandle();
  }
  DeviceCall lock(dev->exchangeMutex);
  return call(*dev);
}

// Steps 1-4 for the starts and stops of the device's worker: without the command lock.
template <class Call>
int WithDeviceControl(void* handle, Call call) {
  MODEL* dev = DeviceOf(handle);
  if (dev == nullptr) return InvalidHandle();
  return call(*dev);
}

// The same for a function without outputs to clear.
template <class Call>
int WithDevice(void* handle, Call call) {
  return WithDevice(handle, [] {}, call);
}

// Steps 1-4 for a function whose result is 1 for every valid handle, whatever the operation
// returned (the operation may still leave its error). argsOk() makes the function's own
// argument checks: true to go on; false (after setting the error, e.g. with BadArgument) ends
// the call with 0. call(MODEL&) runs the operation.
template <class OnInvalid, class ArgsOk, class Call>
int WithDeviceAlways1(void* handle, OnInvalid onInvalid, ArgsOk argsOk, Call call) {
  MODEL* dev = DeviceOf(handle);
  if (dev == nullptr) {
    onInvalid();
    return InvalidHandle();
  }
  if (!argsOk()) return 0;
  DeviceCall lock(dev->exchangeMutex);
  call(*dev);
  return 1;
}

// The same for a function without outputs to clear or arguments to check.
template <class Call>
int WithDeviceAlways1(void* handle, Call call) {
  return WithDeviceAlways1(handle, [] {}, [] { return true; }, call);
}

}  // namespace nivex::api
