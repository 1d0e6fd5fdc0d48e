// An emulated module with a device handle opened on it, shared by the device tests.
#include "tests/common/DeviceFixture.h"

#include "emulator/HighSpeedModule.h"
#include "nivex.h"
#include "tests/common/TestSupport.h"

namespace nivex::test {

::testing::AssertionResult FailsWith(int result, int code) {
  const int last = QZ_GetLastError();
  if (result == 0 && last == code) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "returned " << result << " with last error 0x" << std::hex
                                       << last << ", expected 0 with 0x" << code;
}

emu::Fault MakeFault(const std::string& command, emu::FaultKind kind, const std::string& text,
                     int count, bool prefix) {
  emu::Fault f;
  f.command = command;
  f.kind = kind;
  f.text = text;
  f.count = count;
  f.prefix = prefix;
  return f;
}

Device::Device(emu::Model m, const std::function<void(emu::Options&)>& tweak,
               const std::function<void(emu::Emulator&)>& before)
    : emu_(StartEmulator(m, tweak)) {
  if (!emu_) return;
  if (before) before(*emu_);
  handle_ = QZ_Device_Create(emu_->ConnectionText().c_str());
  emu_->ClearCommands();
}

Device::~Device() { Release(); }

Strings Device::Take() {
  Strings s = emu_->Commands();
  emu_->ClearCommands();
  return s;
}

int32_t Device::RawCode(int channel, int gain) {
  int32_t raw = 0;
  Locked<emu::HighSpeedModule>([&](emu::HighSpeedModule& m) { raw = m.RawCode(channel, gain); });
  return raw;
}

void Device::AddFault(const std::string& command, emu::FaultKind kind, const std::string& text,
                      int count) {
  emu_->AddFault(MakeFault(command, kind, text, count));
}

void Device::Reply(const std::string& command, const std::string& text, int count) {
  AddFault(command, emu::FaultKind::Reply, text, count);
}

void Device::Release() {
  if (handle_ != nullptr) QZ_Device_Release(handle_);
  handle_ = nullptr;
}

}  // namespace nivex::test
