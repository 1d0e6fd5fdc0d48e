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
// The ring calls (buffer reads, status, clear, totals: WithRing) take the device's read lock
// instead, never the command lock, so a module that is slow to answer never holds them up.
// Every call holds a reference to its device from step 1 to its end: a release from another
// thread waits for it to leave, and the calls that come after the release get 0x1300A.
// No exceptions here.
#pragma once

#include <mutex>

#include "framework/RXMODEL_Class.h"
#include "framework/RXMODEL_DeviceRegistry.h"
#include "nivex.h"
#include "support/FaultText.h"

namespace nivex::api {

// The device behind handle, or null (nothing else done) when handle is not the handle of a
// registered device. No reference: for a caller that cannot race a release.
inline MODEL* DeviceOf(void* handle) { return QZList->device_of(handle); }

// The device behind handle for the length of one call (null as DeviceOf): a release of the
// handle waits until the reference is gone.
class DeviceRef {
 public:
  explicit DeviceRef(void* handle) : dev_(QZList->take_ref(handle)) {}
  ~DeviceRef() {
    if (dev_ != nullptr) QZList->put_ref(dev_);
  }
  DeviceRef(const DeviceRef&) = delete;
  DeviceRef& operator=(const DeviceRef&) = delete;
  MODEL* get() const { return dev_; }

 private:
  MODEL* dev_;
};

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

// The lock a call holds: the command lock, or the read lock of the ring calls.
struct CommandLock {
  using Guard = DeviceCall;
  static std::recursive_mutex& Of(MODEL& d) { return d.CommandMutex(); }
};
struct ReadLock {
  using Guard = std::lock_guard<std::mutex>;
  static std::mutex& Of(MODEL& d) { return d.ReadMutex(); }
};

// Steps 1-4 under the lock Lock for a function that passes the operation's result on.
template <class Lock, class OnInvalid, class Call>
int WithDeviceUnder(void* handle, OnInvalid onInvalid, Call call) {
  DeviceRef dev(handle);
  if (dev.get() == nullptr) {
    onInvalid();
    return InvalidHandle();
  }
  typename Lock::Guard lock(Lock::Of(*dev.get()));
  return call(*dev.get());
}

// Steps 1-4 for a function that passes the operation's result on. onInvalid clears the
// outputs that the function lists for an unknown handle; call(MODEL&) does steps 2 and 3.
template <class OnInvalid, class Call>
int WithDevice(void* handle, OnInvalid onInvalid, Call call) {
  return WithDeviceUnder<CommandLock>(handle, onInvalid, call);
}

// The same for the ring calls: under the read lock, without the command lock.
template <class OnInvalid, class Call>
int WithRing(void* handle, OnInvalid onInvalid, Call call) {
  return WithDeviceUnder<ReadLock>(handle, onInvalid, call);
}

// Steps 1-4 for the starts and stops of the device's worker: without the command lock.
template <class Call>
int WithDeviceControl(void* handle, Call call) {
  DeviceRef dev(handle);
  if (dev.get() == nullptr) return InvalidHandle();
  return call(*dev.get());
}

// The same for a function without outputs to clear.
template <class Call>
int WithDevice(void* handle, Call call) {
  return WithDevice(handle, [] {}, call);
}

// Steps 1-4 for a function whose result is 1 for every valid handle, whatever the operation
// returned (the operation may still leave its error). argsOk() makes the function's own
// argument checks: true to go on; false (after setting the error, e.g. with BadArgument) ends
// the call with 0. call(MODEL&) runs the operation. Lock: CommandLock, or ReadLock for the
// ring calls.
template <class Lock = CommandLock, class OnInvalid, class ArgsOk, class Call>
int WithDeviceAlways1(void* handle, OnInvalid onInvalid, ArgsOk argsOk, Call call) {
  DeviceRef dev(handle);
  if (dev.get() == nullptr) {
    onInvalid();
    return InvalidHandle();
  }
  if (!argsOk()) return 0;
  typename Lock::Guard lock(Lock::Of(*dev.get()));
  call(*dev.get());
  return 1;
}

// The same for a function without outputs to clear or arguments to check.
template <class Lock = CommandLock, class Call>
int WithDeviceAlways1(void* handle, Call call) {
  return WithDeviceAlways1<Lock>(handle, [] {}, [] { return true; }, call);
}

}  // namespace nivex::api
