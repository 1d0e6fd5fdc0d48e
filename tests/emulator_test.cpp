// The module emulator on its own: ports, framing, the high-speed connect-time commands and
// faults, spoken to with plain sockets. (Its counters are exercised by the device tests.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/common/DeviceFixture.h"
#include "tests/common/TestSupport.h"

namespace {

using namespace nivex::emu;
using namespace nivex::test;

struct Conn {
  int fd;
  Conn(const std::string& ip, int port) : fd(ConnectTo(ip, port)) {}
  ~Conn() {
    if (fd >= 0) close(fd);
  }
};

// True when nothing listens on ip:port.
bool Refused(const std::string& ip, int port) { return Conn(ip, port).fd < 0; }

TEST(Emulator, PortsListenUntilStopAndASecondInstanceIsRefused) {
  auto e = StartEmulator(Model::RX5K10);
  ASSERT_TRUE(e);
  const std::string ip = e->options().ip;
  for (int port : {10000, 9999, 10010}) EXPECT_FALSE(Refused(ip, port)) << port;
  EXPECT_EQ(e->DataPorts(), std::vector<int>{10010});
  EXPECT_EQ(e->ConnectionText(), ip + ",9999,10010");
  Emulator twin(e->options());
  EXPECT_FALSE(twin.Start());
  EXPECT_FALSE(twin.Running());

  // Stop closes open connections and every listener; a new start on the address works.
  Conn open(ip, 9999);
  ASSERT_TRUE(e->WaitForConnections(PortKind::Command, 1, 1000));
  e->Stop();
  EXPECT_TRUE(PeerClosed(open.fd, 1000));
  EXPECT_TRUE(Refused(ip, 9999));
  e->Stop();  // twice is harmless
  EXPECT_TRUE(twin.Start());
  Conn c(ip, 9999);
  EXPECT_EQ(Exchange(c.fd, "$01F"), "!12");
}

TEST(Emulator, NameServiceAnswersBothRequestsOnOneConnection) {
  {
    auto e = StartEmulator(Model::RX5K30, [](Options& o) { o.firmwareVersion = 0x1A2B; });
    ASSERT_TRUE(e);
    Conn c(e->options().ip, 10000);
    ASSERT_TRUE(SendText(c.fd, "10\r"));
    // Each reply is one send: it arrives in one receive.
    EXPECT_EQ(RecvSome(c.fd, 1000), "10WRX-5K30M\r");
    ASSERT_TRUE(SendText(c.fd, "01\r"));
    EXPECT_EQ(RecvSome(c.fd, 1000), "!011A2B Mar 05 2024 10:11:12\r");
    EXPECT_EQ(e->NameRequests(), (std::vector<std::string>{"10", "01"}));
  }
  auto e = StartEmulator(Model::RX5K10, [](Options& o) { o.moduleName = ""; });
  ASSERT_TRUE(e);
  Conn c(e->options().ip, 10000);
  EXPECT_EQ(Exchange(c.fd, "10"), "10");
  e->SetModuleName(std::string("XYZ-9"));
  EXPECT_EQ(Exchange(c.fd, "10"), "10XYZ-9");
  e->SetFirmware(0x307, "2024/01/02");
  EXPECT_EQ(Exchange(c.fd, "01"), "!01307 2024/01/02");

  // Faults on the name port: a split reply, a scripted one.
  e->SetModuleName(std::string("RX5K10-EMU"));
  for (Fault f : {MakeFault("10", FaultKind::Split), MakeFault("01", FaultKind::Reply, "!01123456 x")}) {
    f.port = PortKind::Name;
    f.delayMs = 50;
    e->AddFault(f);
  }
  ASSERT_TRUE(SendText(c.fd, "10\r"));
  const std::string first = RecvSome(c.fd, 1000);
  EXPECT_EQ(first, "10RX5K");
  EXPECT_EQ(first + RecvSome(c.fd, 1000), "10RX5K10-EMU\r");
  EXPECT_EQ(Exchange(c.fd, "01"), "!01123456 x");
  // Name requests are not commands.
  EXPECT_TRUE(e->Commands().empty());
}

TEST(Emulator, CommandFramingMatchesWholeLinesAndLogsEveryLine) {
  auto e = StartEmulator(Model::RX5K10);
  ASSERT_TRUE(e);
  Conn c(e->options().ip, 9999);

  // Two lines in one send, a line split over two sends, LF ignored.
  ASSERT_TRUE(SendText(c.fd, "~01WS032768\r$01F\r"));
  EXPECT_EQ(RecvLine(c.fd, 1000), "!01\r");
  EXPECT_EQ(RecvLine(c.fd, 1000), "!12\r");
  ASSERT_TRUE(SendText(c.fd, "$01R0"));
  usleep(30000);
  ASSERT_TRUE(SendText(c.fd, "C7G1\r\n"));
  EXPECT_EQ(RecvLine(c.fd, 1000), "!80000000\r");

  // Shared beginnings or extra characters are other commands: "?01".
  for (const char* cmd : {"$01F0", "~01WS03276", "$01R0C8G0", "$01R0C1G2", "$01R1C0", "q", "~01XYZ"}) {
    EXPECT_EQ(Exchange(c.fd, cmd), "?01") << cmd;
  }
  EXPECT_EQ(Exchange(c.fd, ""), "?01");  // an empty line as well

  EXPECT_EQ(e->WindowSize(), 32768u);
  const std::vector<std::string> want = {"~01WS032768", "$01F", "$01R0C7G1", "$01F0", "~01WS03276",
                                         "$01R0C8G0", "$01R0C1G2", "$01R1C0", "q", "~01XYZ", ""};
  EXPECT_EQ(e->Commands(), want);
  e->ClearCommands();
  EXPECT_TRUE(e->Commands().empty());
}

TEST(Emulator, CalibrationAndVersionRepliesPerModel) {
  struct Row {
    Model model;
    std::function<void(Emulator&)> setup;
    std::vector<std::pair<const char*, const char*>> exchanges;
  } rows[] = {
      {Model::RX5K10,
       [](Emulator& e) {
         ASSERT_TRUE(e.SetCalibration(3, 1, CalEntry{0x7F12, -100, 0}));
         EXPECT_FALSE(e.SetCalibration(8, 0, CalEntry{}));
       },
       {{"$01R0C0G0", "!80000000"}, {"$01R0C3G1", "!7F12FF9C"}}},
      {Model::RX5K30, [](Emulator& e) { ASSERT_TRUE(e.SetAOCalibration(1, 3, CalEntry{0x8010, 5, 0})); },
       {{"$01RI1C0G0", "!800000002710"}, {"$01RI1C3G9", "!800000000014"}, {"$01RO1C1G3", "!80100005"},
        {"$01RO1C2G0", "?01"}, {"$01R0C0G0", "?01"}}},  // the last: another type's text
      {Model::RXBN500, [](Emulator& e) { ASSERT_TRUE(e.SetCalibration(2, 0, CalEntry{10123, -5, 0})); },
       {{"$01R1C0", "!271000000000"}, {"$01R1C2", "!278BFFFFFFFB"}, {"~01WS032768", "!01"}}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(ModelText(r.model));
    auto e = StartEmulator(r.model);
    ASSERT_TRUE(e);
    r.setup(*e);
    Conn c(e->options().ip, 9999);
    for (const auto& [cmd, reply] : r.exchanges) EXPECT_EQ(Exchange(c.fd, cmd), reply) << cmd;
    e->SetHwVersionText("");
    EXPECT_EQ(Exchange(c.fd, "$01F"), "!");
  }
}

// The module refuses settings outside its ranges and keeps the setting it had; the nearest
// text inside the range is taken.
TEST(Emulator, RefusesSettingsOutsideTheModulesRanges) {
  struct Row {
    Model model;
    std::vector<const char*> before;  // accepted first
    const char* refused;
    const char* accepted;
  };
  const Row rows[] = {
      // "~01P": gain code, channel count 1..inputs, the trigger digits of the type.
      {Model::RX5K10, {}, "~01PG2C8T0M0", "~01PG1C8T0M0"},
      {Model::RX5K10, {}, "~01PG0C9T0M0", "~01PG0C8T0M0"},
      {Model::RX5K10, {}, "~01PG0C0T0M0", "~01PG0C1T0M0"},
      {Model::RX5K10, {}, "~01PG0C8T4M0", "~01PG0C8T5M0"},
      {Model::RX5K10, {}, "~01PG0C8T7M0", "~01PG0C8T9M0"},
      {Model::RX5K30, {}, "~01PG0C5T0M0", "~01PG9C4T0M0"},
      {Model::RX5K30, {}, "~01PG0C4T3M0", "~01PG0C4T8M0"},
      {Model::RXBN500, {}, "~01PC5T0M0", "~01PC4T2M0"},
      {Model::RXBN500, {}, "~01PC0T0M0", "~01PC1T0M0"},
      {Model::RXBN500, {}, "~01PC4T6M0", "~01PC4T1M0"},
      // The rate under the divider of "~01V" (2^2: 50000 Hz at most).
      {Model::RX5K10, {"~01V2"}, "~01R050001", "~01R050000"},
      {Model::RX5K10, {"~01R050001"}, "~01V2", "~01V1"},
      {Model::RX5K10, {}, "~01R200001", "~01R200000"},
      // The counts before and after the trigger make up the target.
      {Model::RX5K10, {"~01T0000001000"}, "~01XM0L00000100R00000899", "~01XM0L00000100R00000900"},
      {Model::RXBN500, {}, "~01XM2L00000001R00000000", "~01XM2L00000000R00000000"},
      // RPF 1..500, DT 1..1000.
      {Model::RX5K10, {}, "~01RPF0", "~01RPF1"},
      {Model::RX5K30, {}, "~01RPF00501", "~01RPF00500"},
      {Model::RX5K10, {}, "~01DT00000", "~01DT00001"},
      {Model::RX5K30, {}, "~01DT01001", "~01DT01000"},
      {Model::D4071s, {}, "~01RPF00000", "~01RPF00500"},
      {Model::D3054s, {}, "~01DT01001", "~01DT01000"},
      // The D3054s cards have one range, 0.
      {Model::D3054s, {}, "#01S0G1", "#01S0G0"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(ModelText(r.model)) + " " + r.refused);
    auto e = StartEmulator(r.model);
    ASSERT_TRUE(e);
    Conn c(e->options().ip, 9999);
    for (const char* cmd : r.before) ASSERT_EQ(Exchange(c.fd, cmd), "!01") << cmd;
    EXPECT_EQ(Exchange(c.fd, r.refused), "?01");
    const std::string reply = Exchange(c.fd, r.accepted);
    EXPECT_EQ(reply.substr(0, 1), "!") << reply;
  }
  // A refused setting leaves the one before.
  auto e = StartEmulator(Model::RX5K10);
  ASSERT_TRUE(e);
  Conn c(e->options().ip, 9999);
  ASSERT_EQ(Exchange(c.fd, "~01PG1C3T5M0"), "!01");
  EXPECT_EQ(Exchange(c.fd, "~01PG0C9T0M0"), "?01");
  EXPECT_EQ(Exchange(c.fd, "~01P"), "!01G1C3T5M0");
}

// Data replies lead with '>' where the protocol names it; the switch makes every data reply
// lead with '>' while acknowledgements and refusals keep theirs. A carrier answers "$01F" with
// one field per card.
TEST(Emulator, DataReplyLeadsAndOneFieldPerCard) {
  auto e = StartEmulator(Model::RX5K30);
  ASSERT_TRUE(e);
  Conn c(e->options().ip, 9999);
  EXPECT_EQ(Exchange(c.fd, "#01N"), ">00000000");
  EXPECT_EQ(Exchange(c.fd, "~01P"), "!01G0C1T0M0");
  e->SetEveryDataReplyLeadsGt(true);
  for (const auto& [cmd, reply] : std::vector<std::pair<const char*, const char*>>{
           {"~01P", ">01G0C1T0M0"}, {"$01F", ">12"}, {"#01N", ">00000000"},
           {"~01PG0C4T0M0", "!01"}, {"~01PG0C5T0M0", "?01"}, {"~01XYZ", "?01"}}) {
    EXPECT_EQ(Exchange(c.fd, cmd), reply) << cmd;
  }

  auto d = StartEmulator(Model::D3054s, [](Options& o) { o.slotLayout = "9"; });
  ASSERT_TRUE(d);
  Conn k(d->options().ip, 9999);
  EXPECT_EQ(Exchange(k.fd, "$01F"), "!100");
  d->SetEveryDataReplyLeadsGt(true);
  EXPECT_EQ(Exchange(k.fd, "$01F"), ">100");
  EXPECT_EQ(Exchange(k.fd, "$01C"), ">01019");
}

// The reboot as a module does it: no reply, every connection closes, nothing listens for the
// reboot delay, then the ports listen again with the settings at their power-on values.
TEST(Emulator, RebootRestartsTheModule) {
  struct Row {
    Model model;
    const char* reboot;
    std::vector<const char*> settings;           // accepted before the reboot
    std::vector<std::pair<const char*, const char*>> powerOn;  // queries after it
  } rows[] = {
      {Model::RX5K10, "Q", {"~01WS032768", "~01RPF00100", "~01DT00050", "~01PG1C3T5M0", "@01D5"},
       {{"~01RP", "!01F0"}, {"~01DT", "!0100001"}, {"~01P", "!01G0C1T0M0"}, {"@01", "!00"}}},
      {Model::D4071s, "$01Q", {"~01WS8032768", "~01RPF00100", "~01DT00050", "~01EDS0C1G3FC00000"},
       {{"~01RP", "!01P00500"}, {"~01DT", "!0100001"}, {"~01EDS0C1", "!0100000000"}}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(ModelText(r.model));
    auto e = StartEmulator(r.model, [](Options& o) { o.rebootDelayMs = 600; });
    ASSERT_TRUE(e);
    const std::string ip = e->options().ip;
    const int dataPort = e->DataPorts().at(0);
    Conn cmd(ip, 9999), data(ip, dataPort), name(ip, 10000);
    ASSERT_TRUE(e->WaitForConnections(PortKind::Data, 1, 1000));
    for (const char* s : r.settings) ASSERT_EQ(Exchange(cmd.fd, s), "!01") << s;
    ASSERT_NE(e->WindowSize(), 0u);

    const long long t0 = NowMs();
    ASSERT_TRUE(SendText(cmd.fd, std::string(r.reboot) + "\r"));
    EXPECT_EQ(RecvSome(cmd.fd, 1000), "");  // the end of the stream, no reply
    EXPECT_TRUE(PeerClosed(cmd.fd, 1000));
    EXPECT_TRUE(PeerClosed(data.fd, 1000));
    EXPECT_TRUE(PeerClosed(name.fd, 1000));
    for (int port : {10000, 9999, dataPort}) EXPECT_TRUE(Refused(ip, port)) << port;
    EXPECT_EQ(e->WindowSize(), 0u);

    ASSERT_TRUE(WaitUntil([&] { return !Refused(ip, 9999); }, 3000));
    EXPECT_GE(NowMs() - t0, 550);
    for (int port : {10000, dataPort}) EXPECT_FALSE(Refused(ip, port)) << port;
    Conn again(ip, 9999);
    for (const auto& [query, reply] : r.powerOn) EXPECT_EQ(Exchange(again.fd, query), reply);

    // The acknowledging reboot, a fault mode: "!01" and the settings stay.
    e->SetReboot(RebootBehaviour::Acknowledge);
    ASSERT_EQ(Exchange(again.fd, r.settings[1]), "!01");
    EXPECT_EQ(Exchange(again.fd, r.reboot), "!01");
    EXPECT_NE(Exchange(again.fd, r.powerOn[0].first), r.powerOn[0].second);
  }
}

TEST(Emulator, FaultsShapeTheReplyForTheirCountThenStop) {
  auto e = StartEmulator(Model::RX5K10);
  ASSERT_TRUE(e);
  Conn c(e->options().ip, 9999);

  e->AddFault(MakeFault("$01F", FaultKind::NoReply));
  EXPECT_EQ(Exchange(c.fd, "$01F", 200), "");
  EXPECT_EQ(Exchange(c.fd, "$01F"), "!12");  // count 1: used up

  e->AddFault(MakeFault("$01R0C", FaultKind::Refuse, "", 2, true));
  EXPECT_EQ(Exchange(c.fd, "$01R0C0G0"), "?01");
  EXPECT_EQ(Exchange(c.fd, "$01R0C5G1"), "?01");
  EXPECT_EQ(Exchange(c.fd, "$01R0C5G1"), "!80000000");

  e->AddFault(MakeFault("~01WS032768", FaultKind::Reply, "!0", -1));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Exchange(c.fd, "~01WS032768"), "!0");
  e->ClearFaults();
  EXPECT_EQ(Exchange(c.fd, "~01WS032768"), "!01");
  e->SetReboot(RebootBehaviour::Silent);
  EXPECT_EQ(Exchange(c.fd, "Q", 200), "");

  // A split reply arrives in separate pieces with the pause between them.
  Fault split = MakeFault("$01F", FaultKind::Split);
  split.splitAt = {2};
  split.delayMs = 150;
  e->AddFault(split);
  ASSERT_TRUE(SendText(c.fd, "$01F\r"));
  const long long t0 = NowMs();
  EXPECT_EQ(RecvSome(c.fd, 1000), "!1");
  EXPECT_EQ(RecvSome(c.fd, 1000), "2\r");
  EXPECT_GE(NowMs() - t0, 130);

  // A late reply holds back the lines behind it: the module answers in order.
  Fault late = MakeFault("$01F", FaultKind::Delay);
  late.delayMs = 300;
  e->AddFault(late);
  ASSERT_TRUE(SendText(c.fd, "$01F\r~01WS000001\r"));
  const long long t1 = NowMs();
  EXPECT_EQ(RecvLine(c.fd, 1000), "!12\r");
  EXPECT_GE(NowMs() - t1, 280);
  EXPECT_EQ(RecvLine(c.fd, 1000), "!01\r");
  EXPECT_EQ(e->WindowSize(), 1u);

  // Close: no reply, the connection ends; the log still holds the line.
  e->AddFault(MakeFault("$01F", FaultKind::Close));
  ASSERT_TRUE(SendText(c.fd, "$01F\r"));
  EXPECT_TRUE(PeerClosed(c.fd, 1000));
  EXPECT_EQ(e->Commands().back(), "$01F");
}

}  // namespace
