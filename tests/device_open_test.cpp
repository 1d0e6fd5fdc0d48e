// Opening and releasing devices against the module emulator: the connection text, the
// factory's choice of driver, the connect sequence each high-speed type sends, the
// calibration load, the failures and their codes, and the handle check.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "framework/RXMODEL_DeviceRegistry.h"
#include "emulator/HighSpeedModule.h"
#include "nivex.h"
#include "tests/common/CalibrationReference.h"
#include "tests/common/DeviceFixture.h"
#include "tests/common/TestSupport.h"

namespace {

using namespace nivex;
using namespace nivex::test;
using emu::FaultKind;
using emu::Model;
using emu::PortKind;

// What each type sends at open: the window size, then its calibration reads in order.
Strings ConnectSequence(Model m) {
  Strings out = {"~01WS032768"};
  auto add = [&](const char* head, int n, int m2, const char* mid) {
    for (int a = 0; a < n; ++a)
      for (int b = 0; b < m2; ++b)
        out.push_back(head + std::to_string(a) + (mid ? mid + std::to_string(b) : ""));
  };
  if (m == Model::RX5K10) add("$01R0C", 8, 2, "G");
  if (m == Model::RX5K30) add("$01RI1C", 4, 10, "G"), add("$01RO1C", 2, 4, "G");
  if (m == Model::RXBN500) add("$01R1C", 4, 1, nullptr);
  return out;
}

std::string ModelName(void* h) {
  char name[QZ_MODEL_NAME_SIZE] = "?";
  return QZ_GetModelName(h, name) == 1 ? name : "<failed>";
}

void* Open(const std::string& text) {
  QZ_ClearLastError();
  return QZ_Device_Create(text.c_str());
}

struct TypeCase {
  Model model;
  const char* rowName;
};

class OpenEachType : public ::testing::TestWithParam<TypeCase> {};

TEST_P(OpenEachType, ConnectsLoadsCalibrationAndReleases) {
  const TypeCase tc = GetParam();
  auto e = StartEmulator(tc.model);
  ASSERT_TRUE(e);
  // One recognisable calibration entry per type.
  if (tc.model == Model::RX5K10) e->SetCalibration(3, 1, emu::CalEntry{0x7F00, -5, 0});
  if (tc.model == Model::RX5K30) {
    e->SetCalibration(3, 7, emu::CalEntry{0x8123, -7, 80});
    e->SetAOCalibration(1, 3, emu::CalEntry{0x7ABC, 12, 0});
  }
  if (tc.model == Model::RXBN500) e->SetCalibration(2, 0, emu::CalEntry{10010, -1234, 0});

  void* h = Open(e->ConnectionText());
  ASSERT_NE(h, nullptr) << std::hex << QZ_GetLastError();
  EXPECT_EQ(ModelName(h), tc.rowName);
  EXPECT_EQ(e->NameRequests(), (Strings{"10", "01"}));
  EXPECT_EQ(e->Commands(), ConnectSequence(tc.model));
  EXPECT_TRUE(e->WaitForEofs(PortKind::Name, 1, 2000));  // the name service is closed
  EXPECT_EQ(e->OpenConnections(PortKind::Command), 1);

  // The entries as the exported functions give them; the conversions against the formulas.
  unsigned short g = 0;
  short o = 0;
  if (tc.model == Model::RX5K10) {
    EXPECT_EQ(QZ_ReadGainOffset(h, 3, 1, &g, &o) + g + o, 1 + 0x7F00 - 5);
  } else if (tc.model == Model::RX5K30) {
    EXPECT_EQ(QZ_ReadGainOffset(h, 3, 7, &g, &o) + g + o, 1 + 0x8123 - 7);
    EXPECT_EQ(QZ_ReadGainOffset(h, 4 + 1, 3, &g, &o) + g + o, 1 + 0x7ABC + 12);  // output 1
    // The gain code's range comes from the last channel's entry: 80 mV.
    float v = 0;
    const double fullScale = emu::HighSpeedModule::Rx5k30RangeMv(7) / 1000.0;
    ASSERT_EQ(QZ_Calibrate_Data_Float(h, 3, 7, 0x100000, &v), 1);
    EXPECT_NEAR(v, fullScale * Reference5K30(0x100000, 0x8123, -7, 80, fullScale) / 2147483648.0, 1e-5);
  } else {
    int code = 0;
    ASSERT_EQ(QZ_Calibrate_Data_HEX(h, 2, 0, 0x100000, &code), 1);
    EXPECT_NEAR(code, ReferenceBN500(0x100000, -1234, 10010), 256);
  }

  EXPECT_EQ(QZ_Device_Release(h), 1);
  EXPECT_TRUE(e->WaitForEofs(PortKind::Command, 1, 2000));
  EXPECT_TRUE(e->WaitForEofs(PortKind::Data, 1, 2000));
  char name[QZ_MODEL_NAME_SIZE] = "keep";
  EXPECT_TRUE(FailsWith(QZ_GetModelName(h, name), QZ_ERR_INVALID_HANDLE));
  EXPECT_STREQ(name, "keep");
  // The address can be opened again.
  void* again = Open(e->ConnectionText());
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(QZ_Device_Release(again), 1);
}

INSTANTIATE_TEST_SUITE_P(HighSpeed, OpenEachType,
                         ::testing::Values(TypeCase{Model::RX5K10, "RX-5K10"},
                                           TypeCase{Model::RX5K30, "RX-5K30"},
                                           TypeCase{Model::RXBN500, "RX-BN500"}),
                         [](const ::testing::TestParamInfo<TypeCase>& i) {
                           return std::string(emu::ModelText(i.param.model));
                         });

TEST(DeviceOpen, NameAndConnectionTextChooseTheDriverAndThePorts) {
  // Any suffix opens; a prefix cut short or no name is no known module, found before the
  // command port is touched.
  for (const auto& [name, opens] : {std::pair{"RX5K10-XYZ", true}, {"RX5K1", false}, {"", false}}) {
    SCOPED_TRACE(name);
    auto e = StartEmulator(Model::RX5K10,
                           [name = name](emu::Options& o) { o.moduleName = name; });
    ASSERT_TRUE(e);
    void* h = Open(e->ConnectionText());
    if (opens) {
      EXPECT_EQ(ModelName(h), "RX-5K10");
      QZ_Device_Release(h);
      continue;
    }
    EXPECT_TRUE(FailsWith(h != nullptr, QZ_ERR_MODULE_NOT_EXIST));
    EXPECT_TRUE(e->WaitForEofs(PortKind::Name, 1, 2000));
    EXPECT_EQ(e->Connections(PortKind::Command), 0);
  }

  struct Case {
    const char* suffix;  // behind the address
    int cmdPort, dataPort;
  };
  for (const Case& c : {Case{",5000,6000", 5000, 6000}, Case{",,6000", 6000, 10010},
                        Case{",5000x", 5000, 10010}, Case{", 5001,,", 5001, 10010}}) {
    SCOPED_TRACE(c.suffix);
    auto e = StartEmulator(Model::RX5K10, [&](emu::Options& o) {
      o.cmdPort = c.cmdPort;
      o.dataPort = c.dataPort;
    });
    ASSERT_TRUE(e);
    void* h = Open(e->options().ip + c.suffix);
    ASSERT_NE(h, nullptr) << std::hex << QZ_GetLastError();
    EXPECT_EQ(e->Connections(PortKind::Command), 1);
    EXPECT_EQ(e->Connections(PortKind::Data), 1);
    QZ_Device_Release(h);
  }
}

TEST(DeviceOpen, RefusedConnectionTextsCauseNoTraffic) {
  auto e = StartEmulator(Model::RX5K10);
  ASSERT_TRUE(e);
  const std::string ip = e->options().ip;
  const Strings refused = {
      ip + ",0",         ip + ",abc",       ip + ",1,2,3",     ip + ",1,2,3,4,5,6", ip + ",9999,0",
      ip + ",-5",        ip + ",70000",     "127.0.0.256",     "localhost",         "",
      ",,,",             " " + ip,          ip + ",000000000000000009999",  // a field over 19
      ip + std::string(78 - ip.size(), ','),                                // a text over 77
  };
  for (const std::string& text : refused) {
    EXPECT_TRUE(FailsWith(Open(text) != nullptr, QZ_ERR_INVALID_ARGUMENT)) << text;
  }
  QZ_ClearLastError();
  EXPECT_TRUE(FailsWith(QZ_Device_Create(nullptr) != nullptr, QZ_ERR_INVALID_ARGUMENT));
  EXPECT_EQ(e->Connections(PortKind::Name), 0);
  // 77 characters are still accepted.
  void* h = Open(ip + std::string(77 - ip.size(), ','));
  ASSERT_NE(h, nullptr);
  QZ_Device_Release(h);
}

TEST(DeviceOpen, FailuresReportTheirCodesAndLeaveNothingOpen) {
  const int fdsBefore = CountOpenFds();
  // No name service, no command port or no data port: the other connections close again.
  for (int refused : {0, 1, 2}) {
    SCOPED_TRACE(refused);
    auto e = StartEmulator(Model::RX5K30, [&](emu::Options& o) {
      (refused == 0 ? o.nameService : refused == 1 ? o.listenCommand : o.listenData) = false;
    });
    ASSERT_TRUE(e);
    EXPECT_TRUE(FailsWith(Open(e->ConnectionText()) != nullptr, QZ_ERR_OPEN_DEVICE));
    EXPECT_TRUE(WaitUntil([&] { return e->OpenConnections(PortKind::Command) == 0; }, 2000));
    EXPECT_TRUE(e->Commands().empty());
  }
  EXPECT_EQ(CountOpenFds(), fdsBefore);
}

TEST(DeviceOpen, CalibrationThatFailsToLoadRefusesTheModule) {
  const int fdsBefore = CountOpenFds();
  {
    auto e = StartEmulator(Model::RX5K10);
    ASSERT_TRUE(e);
    auto zeroPairs = [&](int n) {
      for (int i = 0; i < n; ++i) e->SetCalibration(i / 2, i % 2, emu::CalEntry{0, 0, 0});
    };
    zeroPairs(4);  // four zero pairs of 16 are accepted
    void* h = Open(e->ConnectionText());
    ASSERT_NE(h, nullptr);
    QZ_Device_Release(h);
    zeroPairs(5);  // five are not
    EXPECT_TRUE(FailsWith(Open(e->ConnectionText()) != nullptr, QZ_ERR_OPEN_DEVICE));
    EXPECT_TRUE(WaitUntil([&] {
      return e->OpenConnections(PortKind::Command) == 0 && e->OpenConnections(PortKind::Data) == 0;
    }, 2000));
  }
  // A last read that is refused, short or not hexadecimal is a failed read: never loaded.
  struct Case {
    Model model;
    const char* last;
    FaultKind kind;
    const char* text;
  };
  for (const Case& c : {Case{Model::RX5K10, "$01R0C7G1", FaultKind::Refuse, ""},
                        Case{Model::RX5K10, "$01R0C7G1", FaultKind::Reply, "!8000000G"},
                        Case{Model::RX5K30, "$01RO1C1G3", FaultKind::Reply, "!80000"},
                        Case{Model::RXBN500, "$01R1C3", FaultKind::Reply, "!271000000"}}) {
    SCOPED_TRACE(std::string(c.last) + " " + c.text);
    auto e = StartEmulator(c.model);
    ASSERT_TRUE(e);
    e->AddFault(MakeFault(c.last, c.kind, c.text));
    EXPECT_TRUE(FailsWith(Open(e->ConnectionText()) != nullptr, QZ_ERR_OPEN_DEVICE));
  }
  // A failed read before the last one leaves its entry as it was (zero).
  {
    Device d(Model::RX5K10, nullptr,
             [](emu::Emulator& e) { e.AddFault(MakeFault("$01R0C2G0", FaultKind::Reply, "!12x40000")); });
    ASSERT_TRUE(d.ok());
    unsigned short g = 9;
    short o = 9;
    EXPECT_EQ(QZ_ReadGainOffset(d.h(), 2, 0, &g, &o) + g + o, 1);
  }
  // A command left unanswered within its time-out ends the open: nothing more is sent (so a
  // late reply is never kept as a later entry), and a silent or late module is refused within
  // about two time-outs. "" stands for every command; a slot carrier's first is its slot map.
  const std::pair<Model, const char*> unanswered[] = {
      {Model::RX5K10, ""},          {Model::RX5K10, "$01R0C2G1"}, {Model::RX5K30, "$01RI1C0G0"},
      {Model::RX5K30, "$01RO1C1G0"}, {Model::RXBN500, "$01R1C1"},  {Model::D4071s, ""},
      {Model::D4071s, "~01WS"},      {Model::D4071s, "$01RS"},     {Model::D3054s, ""}};
  for (const auto& [m, command] : unanswered)
    for (FaultKind kind : {FaultKind::NoReply, FaultKind::Delay}) {
      SCOPED_TRACE(std::string(emu::ModelText(m)) + " " + command);
      auto e = StartEmulator(m);
      ASSERT_TRUE(e);
      emu::Fault f = MakeFault(command, kind, "", -1, true);
      f.delayMs = 3000;
      e->AddFault(f);
      const long long start = NowMs();
      EXPECT_TRUE(FailsWith(Open(e->ConnectionText()) != nullptr, QZ_ERR_OPEN_DEVICE));
      EXPECT_LT(NowMs() - start, 6000);
      const Strings sent = e->Commands();
      ASSERT_FALSE(sent.empty());
      EXPECT_EQ(sent.back().rfind(command, 0), 0u) << sent.back();
      EXPECT_EQ(std::count_if(sent.begin(), sent.end(),
                              [command = command](const std::string& c) {
                                return c.rfind(command, 0) == 0;
                              }),
                1);
    }
  EXPECT_EQ(CountOpenFds(), fdsBefore);
}

TEST(DeviceOpen, AnOpenAddressIsRefusedWithoutTraffic) {
  auto e = StartEmulator(Model::RXBN500);
  ASSERT_TRUE(e);
  void* h = Open(e->ConnectionText());
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(FailsWith(Open(e->ConnectionText()) != nullptr, QZ_ERR_OPEN_DEVICE));
  EXPECT_EQ(e->Connections(PortKind::Name), 1);
  EXPECT_EQ(e->Connections(PortKind::Command), 1);
  QZ_Device_Release(h);

  // Threads opening one address at once: exactly one gets it.
  std::atomic<int> opened{0}, refused{0};
  std::vector<void*> handles(4, nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&, i] {
      handles[i] = QZ_Device_Create(e->ConnectionText().c_str());
      if (handles[i] != nullptr) ++opened;
      else if (QZ_GetLastError() == QZ_ERR_OPEN_DEVICE) ++refused;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(opened, 1);
  EXPECT_EQ(refused, 3);
  for (void* x : handles)
    if (x != nullptr) QZ_Device_Release(x);
}

TEST(DeviceHandles, UnknownHandlesFailTheCheckWithoutBeingRead) {
  auto e = StartEmulator(Model::RX5K10);
  ASSERT_TRUE(e);
  // Released handles stay unknown whatever opens later, also when the allocator gives the new
  // device object a released one's address.
  std::vector<void*> unknown;
  for (int i = 0; i < 3; ++i) {
    unknown.push_back(Open(e->ConnectionText()));
    ASSERT_NE(unknown.back(), nullptr);
    ASSERT_EQ(QZ_Device_Release(unknown.back()), 1);
  }
  void* current = Open(e->ConnectionText());
  ASSERT_NE(current, nullptr);

  char junk[64];
  std::memset(junk, 0x5A, sizeof(junk));
  unknown.insert(unknown.end(), {nullptr, reinterpret_cast<void*>(0x10), static_cast<void*>(junk),
                                 static_cast<void*>(static_cast<char*>(current) + 1)});
  for (void* h : unknown) {
    QZ_ClearLastError();
    char text[QZ_HW_VERSION_SIZE] = "keep";
    EXPECT_TRUE(FailsWith(QZ_GetHWFirmwareVersion(h, text), QZ_ERR_INVALID_HANDLE));
    EXPECT_STREQ(text, "");
    QZ_ClearLastError();
    EXPECT_TRUE(FailsWith(QZ_Device_Release(h), QZ_ERR_INVALID_HANDLE));
  }
  EXPECT_TRUE(GetDeviceHandle(current));
  EXPECT_EQ(QZ_Device_Release(current), 1);
  EXPECT_FALSE(GetDeviceHandle(current));
}

}  // namespace
