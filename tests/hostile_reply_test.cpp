// Every exported function that talks to the module, on every module type, against replies no
// sound module gives: empty, bare leads, a refusal, overlong runs, text that is not hex, a reply
// one character short, a reply in pieces, silence and a closed connection. Each call must come
// back within its time-out with 0 or 1 (1 where the function always gives 1), carry a last
// error when it fails, and never write past the caller's buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "emulator/Emulator.h"
#include "nivex.h"
#include "tests/common/DeviceFixture.h"
#include "tests/common/TestSupport.h"

namespace {

using nivex::emu::Fault;
using nivex::emu::FaultKind;
using nivex::emu::Model;
using nivex::test::Device;
using nivex::test::MakeFault;
using nivex::test::NowMs;
using nivex::test::Strings;
using U = unsigned int;
using US = unsigned short;

constexpr unsigned char kGuard = 0xA5;
constexpr size_t kGuardBytes = 32;

// The output buffers of one call, each of its exact size with guard bytes behind it.
class Outputs {
 public:
  template <class T>
  T* Get(size_t n) {
    const size_t size = n * sizeof(T);
    blocks_.emplace_back(std::make_unique<unsigned char[]>(size + kGuardBytes), size);
    unsigned char* p = blocks_.back().first.get();
    std::memset(p, 0x11, size);
    std::memset(p + size, kGuard, kGuardBytes);
    return reinterpret_cast<T*>(p);
  }
  bool Intact() const {
    for (const auto& b : blocks_)
      for (size_t i = 0; i < kGuardBytes; ++i)
        if (b.first[b.second + i] != kGuard) return false;
    return true;
  }

 private:
  std::vector<std::pair<std::unique_ptr<unsigned char[]>, size_t>> blocks_;
};

enum Rule {
  kPassFail,  // 0 or 1; 0 carries a last error
  kAlways1,   // 1 for every valid handle
  kCount,     // a count of samples taken: 0 is no failure (an empty ring)
};

struct Call {
  const char* name;
  Rule rule;
  std::function<int(void*, Outputs&, int)> run;  // handle, outputs, analog input count
};

// Inputs of the setters: every channel's analog trigger enabled at +-1 V; a two-item layout.
std::vector<char> g_enable(256, 1);
std::vector<float> g_high(256, 1.0f), g_low(256, -1.0f);
US g_counts[2] = {2, 1}, g_types[2] = {0, 4};

// One row: the call as written (h the handle, o the outputs, ai the analog input count).
#define ROW(rule, call) \
  { #call, rule, [](void* h, Outputs& o, int ai) { (void)o; (void)ai; return QZ_##call; } }

const std::vector<Call>& Calls() {
  static const std::vector<Call> calls = {
      ROW(kPassFail, SendRecv(h, "$01F", o.Get<char>(QZ_REPLY_SIZE), 300)),
      ROW(kAlways1, GetModelName(h, o.Get<char>(QZ_MODEL_NAME_SIZE))),
      ROW(kAlways1, GetFirmwareVersion(h, o.Get<char>(QZ_FIRMWARE_VERSION_SIZE))),
      ROW(kAlways1, GetHWFirmwareVersion(h, o.Get<char>(QZ_HW_VERSION_SIZE))),
      ROW(kPassFail, SetConfig(h, 2, 2, 0)),
      ROW(kPassFail, GetConfig(h, 2, 2, o.Get<int>(1))),
      ROW(kPassFail, SetConfig(h, 5, 0, 100)),
      ROW(kPassFail, GetConfig(h, 5, 0, o.Get<int>(1))),
      ROW(kPassFail, SetConfig(h, 5, 1, 10)),
      ROW(kPassFail, GetConfig(h, 5, 1, o.Get<int>(1))),
      ROW(kPassFail, SetConfig(h, 6, 0, 1500)),
      ROW(kPassFail, GetConfig(h, 6, 0, o.Get<int>(1))),
      ROW(kAlways1, SetEventCallback(h, 1, 0, nullptr, nullptr)),
      ROW(kAlways1, RemoveEventCallback(h, 1)),
      ROW(kAlways1, Reboot(h)),
      ROW(kAlways1, Get_Module_Count(h, o.Get<int>(1), o.Get<char>(8))),
      ROW(kAlways1, Configure_Trig_Out(h, 0, 0)),
      ROW(kPassFail, ReadAI(h, 0, 0, o.Get<float>(1))),
      ROW(kPassFail, ReadAIALL(h, 0, o.Get<float>(ai), ai)),
      ROW(kPassFail, ReadAIHEX(h, 0, 0, o.Get<int>(1))),
      ROW(kPassFail, ReadAIALLHEX(h, 0, o.Get<int>(ai), ai)),
      ROW(kPassFail, WriteAO(h, 0, 0, 1.0f)),
      ROW(kPassFail, WriteAOHEX(h, 0, 0, 0x8000)),
      ROW(kPassFail, ReadDIO(h, o.Get<U>(1), o.Get<U>(1))),
      ROW(kPassFail, WriteDO(h, 5)),
      ROW(kPassFail, WriteDOBit(h, 1, 1)),
      ROW(kPassFail, GetEncoderMode(h, 0, o.Get<int>(1), o.Get<int>(1), o.Get<int>(1))),
      ROW(kPassFail, SetEncoderMode(h, 0, 1, 2, 3)),
      ROW(kPassFail, ReadEncoder(h, 0, o.Get<U>(1))),
      ROW(kPassFail, ClearEncoder(h, 0)),
      ROW(kPassFail, GetDICNTConfig(h, 1, o.Get<U>(1), o.Get<U>(1), o.Get<U>(1))),
      ROW(kPassFail, SetDICNTConfig(h, 1, 1, 0x1234, 0)),
      ROW(kPassFail, GetCounterConfig(h, 0, o.Get<U>(1), o.Get<U>(1), o.Get<U>(1))),
      ROW(kPassFail, SetCounterConfig(h, 0, 3, 0x1234, 0)),
      ROW(kPassFail, GetDICNT(h, 0, o.Get<U>(1))),
      ROW(kPassFail, GetCounter(h, 0, o.Get<U>(1))),
      ROW(kPassFail, ClearDICNT(h, 0)),
      ROW(kPassFail, ClearDICNTALL(h)),
      ROW(kPassFail, ClearCounter(h, 0)),
      ROW(kPassFail, ClearCounterALL(h)),
      ROW(kPassFail, GetDICNTAll(h, o.Get<U>(4), 4)),
      ROW(kPassFail, GetCounterAll(h, o.Get<U>(1), 1)),
      ROW(kPassFail, ReadGainOffset(h, 0, 0, o.Get<US>(1), o.Get<short>(1))),
      ROW(kPassFail, Calibrate_Data_HEX(h, 0, 0, 0x1234, o.Get<int>(1))),
      ROW(kPassFail, Calibrate_Data_Float(h, 0, 0, 0x1234, o.Get<float>(1))),
      ROW(kPassFail, SetAIScanParam(h, 2, 0, 6, 1000, 1000, 0, 0)),
      ROW(kPassFail, GetAIScanParam(h, o.Get<US>(1), o.Get<US>(1), o.Get<US>(1), o.Get<U>(1),
                                    o.Get<U>(1), o.Get<US>(1), o.Get<US>(1))),
      ROW(kPassFail, SetAIAnalogTriggerParam(h, 0, g_enable.data(), g_high.data(), g_low.data(), ai,
                                             400, 600)),
      ROW(kPassFail, GetAIAnalogTriggerParam(h, o.Get<int>(1), o.Get<char>(ai), o.Get<float>(ai),
                                             o.Get<float>(ai), ai, o.Get<U>(1), o.Get<U>(1),
                                             o.Get<U>(1))),
      ROW(kPassFail, SetAIDelayTriggerParam(h, 100, 0)),
      ROW(kPassFail, GetAIDelayTriggerParam(h, o.Get<U>(1), o.Get<U>(1))),
      ROW(kPassFail, SetSyncInScanParam(h, 1, g_counts, g_types, 2, 0, 0)),
      ROW(kPassFail, GetSyncInScanParam(h, o.Get<U>(1), o.Get<US>(7), o.Get<US>(7), 7,
                                        o.Get<US>(1), o.Get<U>(1), o.Get<U>(1))),
      ROW(kPassFail, TransmitDataCmd(h)),
      ROW(kPassFail, GetSDAllLogFiles(h, o.Get<U>(1))),
      ROW(kPassFail,
          GetSDLogFile_Info(h, 0, o.Get<U>(1), o.Get<U>(1), o.Get<char>(QZ_SD_DATE_SIZE))),
      ROW(kAlways1, GetAIBufferStatus(h, o.Get<US>(1), o.Get<U>(1))),
      ROW(kAlways1, GetTotalSamplingStatus(h, o.Get<U>(1), o.Get<U>(1))),
      ROW(kAlways1, ClearAIBuffer(h)),
      ROW(kCount, GetAIBufferHex(h, o.Get<U>(16), 16)),
      ROW(kCount, GetAIBuffer(h, o.Get<float>(16), 16)),
  };
  return calls;
}

// Runs one call and checks the rules; returns its result. `commands` is how many commands the
// call sends to a sound module: each may wait out the kit's 1000 ms, nothing longer (with a
// few seconds of slack for a loaded machine).
int Check(Device& d, const Call& c, const std::string& what, size_t commands) {
  SCOPED_TRACE(std::string(c.name) + " with " + what);
  Outputs o;
  QZ_ClearLastError();
  const long long start = NowMs();
  const int r = c.run(d.h(), o, d.model().Module().AI);
  EXPECT_LE(NowMs() - start, 1000LL * static_cast<long long>(commands) + 3000);
  EXPECT_TRUE(r == 0 || r == 1) << r;
  if (c.rule == kAlways1) {
    EXPECT_EQ(r, 1);
  } else if (r == 0 && c.rule == kPassFail) {
    EXPECT_NE(QZ_GetLastError(), 0);
  }
  EXPECT_TRUE(o.Intact()) << "written past an output buffer";
  return r;
}

const Strings kHostile = {"",  "!", "?01", ">", std::string(255, 'F'), std::string(255, '9'),
                          "!01ZZZZ", "!01-1", ">ZZ"};

// The module sends no reply to a reboot.
void NoRebootReply(nivex::emu::Options& o) { o.reboot = nivex::emu::RebootBehaviour::Silent; }

// A fault on every command line.
Fault Every(FaultKind kind, const std::string& text = "", int count = -1) {
  return MakeFault("", kind, text, count, true);
}

// Every call against sound replies (learning its commands and their replies), each reply in
// pieces and cut short by one character, every hostile reply, silence, and a module that
// closes the connection at the call's first command.
void Sweep(Model m) {
  Device d(m, NoRebootReply);
  ASSERT_TRUE(d.ok());
  const std::vector<Call>& calls = Calls();
  std::vector<int> result;
  std::vector<Strings> commands, replies;
  for (const Call& c : calls) {
    result.push_back(Check(d, c, "sound replies", 8));
    commands.push_back(d.Take());
    replies.emplace_back();
    for (const std::string& cmd : commands.back()) {
      if (cmd == "$01Q" || cmd == "Q") {  // a reboot is not answered
        replies.back().emplace_back();
        continue;
      }
      char reply[QZ_REPLY_SIZE] = {};
      EXPECT_EQ(QZ_SendRecv(d.h(), cmd.c_str(), reply, 1000), 1) << cmd;
      replies.back().push_back(reply);
    }
    d.Take();
  }
  int talking = 0;
  for (size_t i = 0; i < calls.size(); ++i) {
    if (commands[i].empty()) continue;
    ++talking;
    for (size_t j = 0; j < commands[i].size(); ++j) {
      if (replies[i][j].empty()) continue;
      Fault f = MakeFault(commands[i][j], FaultKind::Split, "", -1);
      f.delayMs = 5;
      d.emu().AddFault(f);
    }
    EXPECT_EQ(Check(d, calls[i], "split replies", commands[i].size()), result[i]) << calls[i].name;
    d.emu().ClearFaults();
    for (size_t j = 0; j < commands[i].size(); ++j) {
      const std::string& r = replies[i][j];
      if (!r.empty()) d.AddFault(commands[i][j], FaultKind::Reply, r.substr(0, r.size() - 1), -1);
    }
    Check(d, calls[i], "short replies", commands[i].size());
    d.emu().ClearFaults();
  }
  EXPECT_GT(talking, 3) << "too few calls reach the module";
  for (const std::string& reply : kHostile) {
    d.emu().AddFault(MakeFault("$01Q", FaultKind::NoReply, "", -1));
    d.emu().AddFault(Every(FaultKind::Reply, reply));
    for (size_t i = 0; i < calls.size(); ++i)
      Check(d, calls[i], "\"" + reply + "\"", commands[i].size());
    d.emu().ClearFaults();
  }
  // Silence: the raw exchange gives up at its own time-out, a driver call at the kit's.
  d.emu().AddFault(Every(FaultKind::NoReply));
  // Replies later than twice their time-out on a loaded machine can still be on their way: each
  // answers one exchange, until the module's silence shows.
  for (int tries = 0; tries < 20; ++tries) {
    char reply[QZ_REPLY_SIZE] = {};
    if (QZ_SendRecv(d.h(), "$01F", reply, 300) == 0) break;
  }
  const long long start = NowMs();
  EXPECT_EQ(Check(d, calls[0], "no reply", 1), 0);
  EXPECT_EQ(QZ_GetLastError(), QZ_ERR_DEVICE_READ_TIMEOUT);
  EXPECT_GE(NowMs() - start, 300);
  for (size_t i = 1; i < calls.size(); ++i) {
    if (commands[i].empty()) continue;
    Check(d, calls[i], "no reply", commands[i].size());
    break;
  }
  d.emu().ClearFaults();
  for (size_t i = 0; i < calls.size(); ++i) {
    if (commands[i].empty()) continue;
    Device fresh(m);
    ASSERT_TRUE(fresh.ok());
    fresh.emu().AddFault(Every(FaultKind::Close, "", 1));
    Check(fresh, calls[i], "a closed connection", commands[i].size());
  }
}

// The open itself meets the hostile replies (from its first command, or after one sound
// reply), a closed connection and a slot map cut short: it fails with a code, or gives a
// handle on which every call still keeps to the rules.
void Open(Model m) {
  std::string slotMap;
  {
    Device sound(m);
    ASSERT_TRUE(sound.ok());
    char reply[QZ_REPLY_SIZE] = {};
    if (QZ_SendRecv(sound.h(), "$01C", reply, 1000) == 1 && reply[0] == '!') slotMap = reply;
  }
  std::vector<std::vector<Fault>> cases;
  for (int sound = 0; sound < 2; ++sound)
    for (const std::string& reply : kHostile) {
      cases.emplace_back();
      if (sound) cases.back().push_back(Every(FaultKind::Split, "", 1));
      cases.back().push_back(Every(FaultKind::Reply, reply));
    }
  cases.push_back({Every(FaultKind::Close, "", 1)});
  if (!slotMap.empty())
    cases.push_back({MakeFault("$01C", FaultKind::Reply, slotMap.substr(0, slotMap.size() - 1))});
  for (const std::vector<Fault>& faults : cases) {
    SCOPED_TRACE("open with " + std::to_string(faults.size() - 1) + " sound reply, then \"" +
                 faults.back().text + "\"");
    long long start = 0;
    Device d(m, NoRebootReply, [&](nivex::emu::Emulator& e) {
      for (const Fault& f : faults) e.AddFault(f);
      QZ_ClearLastError();
      start = NowMs();
    });
    EXPECT_LE(NowMs() - start, 6000);
    if (!d.ok()) {
      EXPECT_NE(QZ_GetLastError(), 0);
      continue;
    }
    d.emu().ClearFaults();
    for (const Call& c : Calls()) Check(d, c, "a handle opened on hostile replies", 8);
  }
}

TEST(HostileReplies, RX5K10) { Sweep(Model::RX5K10); }
TEST(HostileReplies, RX5K30) { Sweep(Model::RX5K30); }
TEST(HostileReplies, RXBN500) { Sweep(Model::RXBN500); }
TEST(HostileReplies, D4071s) { Sweep(Model::D4071s); }
TEST(HostileReplies, D3054s) { Sweep(Model::D3054s); }
TEST(HostileReplies, OpenHighSpeed) {
  for (Model m : {Model::RX5K10, Model::RX5K30, Model::RXBN500}) Open(m);
}
TEST(HostileReplies, OpenSlotCarriers) {
  for (Model m : {Model::D4071s, Model::D3054s}) Open(m);
}

}  // namespace
