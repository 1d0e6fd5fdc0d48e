// An emulated module with a device handle opened on it, shared by the device tests.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "api/NIVEX_Frame.h"
#include "emulator/Emulator.h"
#include "emulator/Engine.h"
#include "framework/RXMODEL_Class.h"

namespace nivex {
class BinaryFile;
class TextFile;
}  // namespace nivex

namespace nivex::test {

using Strings = std::vector<std::string>;

// Success when a call returned 0 and left `code` as the last error:
//   EXPECT_TRUE(FailsWith(QZ_ReadAI(h, 8, 0, &v), QZ_ERR_CHANNEL_RANGE));
::testing::AssertionResult FailsWith(int result, int code);

// One fault of the emulator's command port.
emu::Fault MakeFault(const std::string& command, emu::FaultKind kind, const std::string& text = "",
                     int count = 1, bool prefix = false);

// An emulator of a model on a fresh loopback address, and a handle opened on it through
// QZ_Device_Create (released at destruction). `tweak` may change the emulator's options
// before it starts, `before` may set up the running emulator (signals, calibration,
// faults) before the handle opens. The command log is cleared once the handle is open.
class Device {
 public:
  explicit Device(emu::Model m, const std::function<void(emu::Options&)>& tweak = nullptr,
                  const std::function<void(emu::Emulator&)>& before = nullptr);
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // True when the emulator runs and the handle opened.
  bool ok() const { return handle_ != nullptr; }
  void* h() const { return handle_; }
  emu::Emulator& emu() { return *emu_; }
  // The device object behind the handle, and the same as one of its classes.
  MODEL& model() const { return *api::DeviceOf(handle_); }
  template <class T>
  T& As() const {
    return static_cast<T&>(model());
  }
  // Runs f on the emulator's model handler (of class H) under the emulator's lock.
  template <class H, class F>
  void Locked(F&& f) {
    std::lock_guard<std::recursive_mutex> lock(emu_->engine().mutex());
    f(static_cast<H&>(emu_->engine().handler()));
  }
  // The raw code the emulated high-speed module reports for a channel at a gain code: its
  // signal through the inverse of its calibration entry.
  int32_t RawCode(int channel, int gain);
  // The receive-in-progress flag, as a scan worker sets it around each data-port receive.
  void SetReceiving(bool on) { model().setQZsamplingStatus(on); }
  // The command lines the module received since the last call (or the open).
  Strings Take();
  // Faults on the command port.
  void AddFault(const std::string& command, emu::FaultKind kind, const std::string& text = "",
                int count = 1);
  // `text` instead of the reply to `command`, `count` times.
  void Reply(const std::string& command, const std::string& text, int count = 1);
  // Releases the handle now (ok() turns false).
  void Release();

 private:
  std::unique_ptr<emu::Emulator> emu_;
  void* handle_ = nullptr;
};

}  // namespace nivex::test
