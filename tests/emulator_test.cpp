// The module emulator on its own: ports, framing, the high-speed connect-time commands,
// faults and observations, spoken to with plain sockets.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "emulator/Emulator.h"
#include "tests/common/TestSupport.h"

namespace {

using nivex::emu::CalEntry;
using nivex::emu::Emulator;
using nivex::emu::Fault;
using nivex::emu::FaultKind;
using nivex::emu::Model;
using nivex::emu::Options;
using nivex::emu::PortKind;
using nivex::emu::RebootBehaviour;
using namespace nivex::test;

// True when nothing listens on ip:port.
bool Refused(const std::string& ip, int port) {
  const int fd = ConnectTo(ip, port);
  if (fd >= 0) close(fd);
  return fd < 0;
}

struct Conn {
  int fd;
  explicit Conn(int f) : fd(f) {}
  ~Conn() {
    if (fd >= 0) close(fd);
  }
};

TEST(Emulator, ListensOnEveryPortAndRefusesASecondInstanceOnTheSameAddress) {
  auto e = StartEmulator(Model::RX5K10);
  ASSERT_TRUE(e);
  const std::string ip = e->options().ip;
  for (int port : {10000, 9999, 10010}) {
    Conn c(ConnectTo(ip, port));
    EXPECT_GE(c.fd, 0) << port;
  }
  EXPECT_EQ(e->DataPorts(), std::vector<int>{10010});
  EXPECT_EQ(e->ConnectionText(), ip + ",9999,10010");

  Options o = e->options();
  Emulator twin(o);
  EXPECT_FALSE(twin.Start());
  EXPECT_FALSE(twin.Running());

  // Stop closes every listener; a new start on the same address works again.
  e->Stop();
  EXPECT_TRUE(Refused(ip, 9999));
  EXPECT_TRUE(twin.Start());
  Conn c(ConnectTo(ip, 9999));
  EXPECT_EQ(Exchange(c.fd, "$01F"), "!12");
}

TEST(Emulator, PortsThatDoNotListen) {
  auto e = StartEmulator(Model::RX5K30, [](Options& o) {
    o.nameService = false;
    o.listenData = false;
  });
  ASSERT_TRUE(e);
  const std::string ip = e->options().ip;
  EXPECT_TRUE(Refused(ip, 10000));
  EXPECT_TRUE(Refused(ip, 10010));
  { Conn c(ConnectTo(ip, 9999)); EXPECT_GE(c.fd, 0); }

  ASSERT_TRUE(e->SetListening(PortKind::Data, true));
  { Conn c(ConnectTo(ip, 10010)); EXPECT_GE(c.fd, 0); }
  ASSERT_TRUE(e->SetListening(PortKind::Command, false));
  EXPECT_TRUE(Refused(ip, 9999));
}

TEST(Emulator, NameServiceAnswersBothRequestsOnOneConnection) {
  struct Row {
    Model model;
    const char* name;
  } rows[] = {{Model::RX5K10, "RX5K10-EMU"}, {Model::RX5K30, "WRX-5K30M"},
              {Model::RXBN500, "WRX-BN500"}, {Model::D4071s, "D4071s"},
              {Model::D3054s, "D3054Ws"}};
  for (const Row& r : rows) {
    auto e = StartEmulator(r.model, [](Options& o) {
      o.firmwareVersion = 0x1A2B;
      o.firmwareDate = "Mar 05 2024 10:11:12";
    });
    ASSERT_TRUE(e);
    Conn c(ConnectTo(e->options().ip, 10000));
    ASSERT_TRUE(SendText(c.fd, "10\r"));
    // Each reply is one send: it arrives in one receive.
    EXPECT_EQ(RecvSome(c.fd, 1000), std::string("10") + r.name + "\r");
    ASSERT_TRUE(SendText(c.fd, "01\r"));
    EXPECT_EQ(RecvSome(c.fd, 1000), "!011A2B Mar 05 2024 10:11:12\r");
    EXPECT_EQ(e->NameRequests(), (std::vector<std::string>{"10", "01"}));
  }

  auto e = StartEmulator(Model::RX5K10, [](Options& o) { o.moduleName = ""; });
  ASSERT_TRUE(e);
  Conn c(ConnectTo(e->options().ip, 10000));
  EXPECT_EQ(Exchange(c.fd, "10"), "10");
  e->SetModuleName(std::string("XYZ-9"));
  EXPECT_EQ(Exchange(c.fd, "10"), "10XYZ-9");
  e->SetFirmware(0x307, "2024/01/02");
  EXPECT_EQ(Exchange(c.fd, "01"), "!01307 2024/01/02");
}

TEST(Emulator, CommandFramingMatchesWholeLinesAndLogsEveryLine) {
  auto e = StartEmulator(Model::RX5K10);
  ASSERT_TRUE(e);
  Conn c(ConnectTo(e->options().ip, 9999));

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
  // An empty line is refused by default, or left unanswered.
  EXPECT_EQ(Exchange(c.fd, ""), "?01");
  e->SetReplyToEmptyLine(false);
  EXPECT_EQ(Exchange(c.fd, "", 200), "");

  EXPECT_EQ(e->WindowSize(), 32768u);
  const std::vector<std::string> want = {"~01WS032768", "$01F", "$01R0C7G1", "$01F0", "~01WS03276",
                                         "$01R0C8G0", "$01R0C1G2", "$01R1C0", "q", "~01XYZ", "", ""};
  EXPECT_EQ(e->Commands(), want);
  const auto log = e->CommandLog();
  ASSERT_EQ(log.size(), want.size());
  for (size_t i = 1; i < log.size(); ++i) EXPECT_LE(log[i - 1].atMs, log[i].atMs);
  e->ClearCommands();
  EXPECT_TRUE(e->Commands().empty());
}

TEST(Emulator, CalibrationAndVersionRepliesPerModel) {
  {
    auto e = StartEmulator(Model::RX5K10);
    ASSERT_TRUE(e);
    ASSERT_TRUE(e->SetCalibration(3, 1, CalEntry{0x7F12, -100, 0}));
    EXPECT_FALSE(e->SetCalibration(8, 0, CalEntry{}));
    Conn c(ConnectTo(e->options().ip, 9999));
    EXPECT_EQ(Exchange(c.fd, "$01R0C0G0"), "!80000000");
    EXPECT_EQ(Exchange(c.fd, "$01R0C3G1"), "!7F12FF9C");
    e->SetHwVersionText("");
    EXPECT_EQ(Exchange(c.fd, "$01F"), "!");
  }
  {
    auto e = StartEmulator(Model::RX5K30);
    ASSERT_TRUE(e);
    ASSERT_TRUE(e->SetAOCalibration(1, 3, CalEntry{0x8010, 5, 0}));
    Conn c(ConnectTo(e->options().ip, 9999));
    EXPECT_EQ(Exchange(c.fd, "$01RI1C0G0"), "!800000002710");
    EXPECT_EQ(Exchange(c.fd, "$01RI1C3G9"), "!800000000014");
    EXPECT_EQ(Exchange(c.fd, "$01RO1C1G3"), "!80100005");
    EXPECT_EQ(Exchange(c.fd, "$01RO1C2G0"), "?01");
    EXPECT_EQ(Exchange(c.fd, "$01R0C0G0"), "?01");  // another type's text
  }
  {
    auto e = StartEmulator(Model::RXBN500);
    ASSERT_TRUE(e);
    ASSERT_TRUE(e->SetCalibration(2, 0, CalEntry{10123, -5, 0}));
    Conn c(ConnectTo(e->options().ip, 9999));
    EXPECT_EQ(Exchange(c.fd, "$01R1C0"), "!271000000000");
    EXPECT_EQ(Exchange(c.fd, "$01R1C2"), "!278BFFFFFFFB");
    EXPECT_EQ(Exchange(c.fd, "~01WS032768"), "!01");
  }
}

TEST(Emulator, RebootBehaviours) {
  auto e = StartEmulator(Model::RXBN500);
  ASSERT_TRUE(e);
  const std::string ip = e->options().ip;
  Conn c(ConnectTo(ip, 9999));
  Conn d(ConnectTo(ip, 10010));
  EXPECT_EQ(Exchange(c.fd, "Q"), "!01");
  e->SetReboot(RebootBehaviour::Silent);
  EXPECT_EQ(Exchange(c.fd, "Q", 200), "");
  e->SetReboot(RebootBehaviour::Drop);
  ASSERT_TRUE(SendText(c.fd, "Q\r"));
  EXPECT_TRUE(PeerClosed(c.fd, 1000));
  EXPECT_TRUE(PeerClosed(d.fd, 1000));
  // The drop is the module's own doing, not an end of stream from the host.
  EXPECT_EQ(e->Eofs(PortKind::Command), 0);
}

TEST(Emulator, FaultsShapeTheReplyForTheirCountThenStop) {
  auto e = StartEmulator(Model::RX5K10);
  ASSERT_TRUE(e);
  Conn c(ConnectTo(e->options().ip, 9999));

  Fault none;
  none.command = "$01F";
  none.kind = FaultKind::NoReply;
  e->AddFault(none);
  EXPECT_EQ(Exchange(c.fd, "$01F", 200), "");
  EXPECT_EQ(Exchange(c.fd, "$01F"), "!12");  // count 1: used up

  Fault refuse;
  refuse.command = "$01R0C";
  refuse.prefix = true;
  refuse.kind = FaultKind::Refuse;
  refuse.count = 2;
  e->AddFault(refuse);
  EXPECT_EQ(Exchange(c.fd, "$01R0C0G0"), "?01");
  EXPECT_EQ(Exchange(c.fd, "$01R0C5G1"), "?01");
  EXPECT_EQ(Exchange(c.fd, "$01R0C5G1"), "!80000000");

  Fault wrong;
  wrong.command = "~01WS032768";
  wrong.kind = FaultKind::Reply;
  wrong.text = "!0";
  wrong.count = -1;
  e->AddFault(wrong);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Exchange(c.fd, "~01WS032768"), "!0");
  e->ClearFaults();
  EXPECT_EQ(Exchange(c.fd, "~01WS032768"), "!01");

  // A split reply arrives in separate pieces with the pause between them.
  Fault split;
  split.command = "$01F";
  split.kind = FaultKind::Split;
  split.splitAt = {2};
  split.delayMs = 150;
  e->AddFault(split);
  ASSERT_TRUE(SendText(c.fd, "$01F\r"));
  const long long t0 = NowMs();
  EXPECT_EQ(RecvSome(c.fd, 1000), "!1");
  EXPECT_EQ(RecvSome(c.fd, 1000), "2\r");
  EXPECT_GE(NowMs() - t0, 130);

  // A late reply holds back the lines behind it: the module answers in order.
  Fault late;
  late.command = "$01F";
  late.kind = FaultKind::Delay;
  late.delayMs = 300;
  e->AddFault(late);
  ASSERT_TRUE(SendText(c.fd, "$01F\r~01WS000001\r"));
  const long long t1 = NowMs();
  EXPECT_EQ(RecvLine(c.fd, 1000), "!12\r");
  EXPECT_GE(NowMs() - t1, 280);
  EXPECT_EQ(RecvLine(c.fd, 1000), "!01\r");
  EXPECT_EQ(e->WindowSize(), 1u);
  // Out of order: the next line is answered first, the late reply comes after it.
  late.inOrder = false;
  e->AddFault(late);
  ASSERT_TRUE(SendText(c.fd, "$01F\r~01WS000002\r"));
  EXPECT_EQ(RecvLine(c.fd, 250), "!01\r");
  EXPECT_EQ(RecvLine(c.fd, 1000), "!12\r");

  // Close: no reply, the connection ends; the log still holds the line.
  Fault closeIt;
  closeIt.command = "$01F";
  closeIt.kind = FaultKind::Close;
  e->AddFault(closeIt);
  ASSERT_TRUE(SendText(c.fd, "$01F\r"));
  EXPECT_TRUE(PeerClosed(c.fd, 1000));
  EXPECT_EQ(e->Commands().back(), "$01F");
}

TEST(Emulator, NameServiceFaults) {
  auto e = StartEmulator(Model::RX5K10);
  ASSERT_TRUE(e);
  Fault split;
  split.port = PortKind::Name;
  split.command = "10";
  split.kind = FaultKind::Split;
  split.delayMs = 50;
  e->AddFault(split);
  Fault text;
  text.port = PortKind::Name;
  text.command = "01";
  text.kind = FaultKind::Reply;
  text.text = "!01123456 x";
  e->AddFault(text);
  Conn c(ConnectTo(e->options().ip, 10000));
  ASSERT_TRUE(SendText(c.fd, "10\r"));
  const std::string first = RecvSome(c.fd, 1000);
  EXPECT_EQ(first, "10RX5K");
  EXPECT_EQ(first + RecvSome(c.fd, 1000), "10RX5K10-EMU\r");
  EXPECT_EQ(Exchange(c.fd, "01"), "!01123456 x");
  // Commands on the command port are not name requests and vice versa.
  EXPECT_TRUE(e->Commands().empty());
}

TEST(Emulator, CountsConnectionsAndEndsOfStreamPerPortAndSendsNothingOnTheDataPort) {
  auto e = StartEmulator(Model::RX5K10);
  ASSERT_TRUE(e);
  const std::string ip = e->options().ip;
  {
    Conn n(ConnectTo(ip, 10000));
    Conn c(ConnectTo(ip, 9999));
    Conn d(ConnectTo(ip, 10010));
    ASSERT_TRUE(e->WaitForConnections(PortKind::Data, 1, 1000));
    EXPECT_EQ(e->Connections(PortKind::Name), 1);
    EXPECT_EQ(e->Connections(PortKind::Command), 1);
    EXPECT_EQ(e->OpenConnections(PortKind::Data), 1);
    ASSERT_TRUE(SendText(d.fd, std::string("\x05\x00\x00\x00", 4)));
    EXPECT_EQ(RecvSome(d.fd, 200), "");  // nothing outside a scan
    EXPECT_TRUE(WaitUntil([&] { return e->DataBytesReceived() == 4; }, 1000));
  }
  EXPECT_TRUE(e->WaitForEofs(PortKind::Name, 1, 1000));
  EXPECT_TRUE(e->WaitForEofs(PortKind::Command, 1, 1000));
  EXPECT_TRUE(e->WaitForEofs(PortKind::Data, 1, 1000));
  EXPECT_TRUE(WaitUntil([&] { return e->OpenConnections(PortKind::Data) == 0; }, 1000));

  // A host that reconnects is served afresh.
  Conn c(ConnectTo(ip, 9999));
  EXPECT_EQ(Exchange(c.fd, "$01F"), "!12");
  EXPECT_EQ(e->Connections(PortKind::Command), 2);
}

TEST(Emulator, StopClosesOpenConnections) {
  auto e = StartEmulator(Model::RX5K30);
  ASSERT_TRUE(e);
  Conn c(ConnectTo(e->options().ip, 9999));
  ASSERT_TRUE(e->WaitForConnections(PortKind::Command, 1, 1000));
  e->Stop();
  EXPECT_TRUE(PeerClosed(c.fd, 1000));
  e->Stop();  // twice is harmless
}

}  // namespace
