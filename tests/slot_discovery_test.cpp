// Slot carriers: opening them against emulated carriers of several slot layouts, the slot maps
// the module may answer that the kit refuses, and what a failed or repeated connection leaves
// open.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "drivers/slot/D3054s_Class.h"
#include "drivers/slot/D4071s_Class.h"
#include "nivex.h"
#include "tests/common/TestSupport.h"

namespace {

using nivex::D3054s;
using nivex::D4071s;
using nivex::MODEL;
using nivex::WRXMODULE;
using nivex::emu::Emulator;
using nivex::emu::Fault;
using nivex::emu::FaultKind;
using nivex::emu::Model;
using nivex::emu::Options;
using nivex::emu::PortKind;
using namespace nivex::test;

std::unique_ptr<Emulator> Carrier(Model m, const std::string& layout,
                                  const std::function<void(Options&)>& tweak = nullptr) {
  return StartEmulator(m, [&](Options& o) {
    o.slotLayout = layout;
    if (tweak) tweak(o);
  });
}

Fault Reply(const std::string& command, const std::string& text, bool prefix = false) {
  Fault f;
  f.command = command;
  f.kind = FaultKind::Reply;
  f.text = text;
  f.prefix = prefix;
  return f;
}

// The handle opened on an emulator, released at the end.
struct Opened {
  void* h = nullptr;
  explicit Opened(Emulator& e) : h(QZ_Device_Create(e.ConnectionText().c_str())) {}
  ~Opened() {
    if (h != nullptr) QZ_Device_Release(h);
  }
  MODEL* dev() const { return static_cast<MODEL*>(h); }
};

std::vector<int> Ports(int base, std::initializer_list<int> offsets) {
  std::vector<int> v;
  for (int o : offsets) v.push_back(base + o);
  return v;
}

TEST(SlotDiscovery, D4071sOpensItsPresentPositions) {
  struct Case {
    const char* layout;
    std::vector<int> positions;
  };
  for (const Case& c : {Case{"11110000", {0, 1, 2, 3}}, Case{"01010111", {1, 3, 5, 6, 7}},
                        Case{"11111111", {0, 1, 2, 3, 4, 5, 6, 7}}}) {
    SCOPED_TRACE(c.layout);
    auto e = Carrier(Model::D4071s, c.layout);
    ASSERT_TRUE(e);
    Opened d(*e);
    ASSERT_NE(d.h, nullptr) << std::hex << QZ_GetLastError();
    const int n = static_cast<int>(c.positions.size());

    // One data connection per card, each on data port + its position (nothing else listens).
    std::vector<int> expectPorts;
    for (int p : c.positions) expectPorts.push_back(10010 + p);
    EXPECT_EQ(e->DataPorts(), expectPorts);
    EXPECT_TRUE(e->WaitForConnections(PortKind::Data, n, 2000));
    EXPECT_EQ(e->OpenConnections(PortKind::Data), n);

    // The channel total replaces the row's 64 and is what the module count reports.
    EXPECT_EQ(d.dev()->module.AI, 8 * n);
    int count = -1;
    char types[8];
    std::memset(types, 0x55, sizeof(types));
    ASSERT_EQ(QZ_Get_Module_Count(d.h, &count, types), 1);
    EXPECT_EQ(count, n);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(types[k], k < n ? 8 : 0x55) << k;

    // The connection's commands: the slot map, the window and two calibration reads per card,
    // each carrying the card's position.
    std::vector<std::string> expect = {"$01C", "~01WS8032768"};
    for (int p : c.positions) {
      expect.push_back("$01RS" + std::to_string(p) + "0G0");
      expect.push_back("$01RS" + std::to_string(p) + "0G1");
    }
    EXPECT_EQ(e->Commands(), expect);
    EXPECT_EQ(e->WindowSize(), 32768u);

    // Slot index n-1 is addressed by its position in later per-slot commands.
    e->ClearCommands();
    float v = 0;
    ASSERT_EQ(static_cast<D4071s*>(d.dev())->ReadAI(8 * n - 1, 0, &v), 1);
    EXPECT_EQ(e->Commands(),
              std::vector<std::string>{"#01S" + std::to_string(c.positions.back()) + "G0"});
  }
}

TEST(SlotDiscovery, D3054sTakesItsCardsFromTheCardCharacters) {
  struct Case {
    const char* layout;
    int total;
    std::vector<int> types;
  };
  // Card characters '0', '5' and '6' name no card: type 0, no channels.
  for (const Case& c : {Case{"19", 24, {1, 6}}, Case{"12349", 56, {1, 2, 3, 4, 6}},
                        Case{"0658", 8, {0, 0, 0, 5}}}) {
    SCOPED_TRACE(c.layout);
    auto e = Carrier(Model::D3054s, c.layout);
    ASSERT_TRUE(e);
    Opened d(*e);
    ASSERT_NE(d.h, nullptr) << std::hex << QZ_GetLastError();
    const int n = static_cast<int>(c.types.size());
    EXPECT_TRUE(e->WaitForConnections(PortKind::Data, n, 2000));
    EXPECT_EQ(e->OpenConnections(PortKind::Data), n);
    EXPECT_EQ(d.dev()->module.AI, c.total);
    // No window size and no calibration: the slot map is the only command.
    EXPECT_EQ(e->Commands(), std::vector<std::string>{"$01C"});

    int count = -1;
    char types[8] = {};
    ASSERT_EQ(QZ_Get_Module_Count(d.h, &count, types), 1);
    ASSERT_EQ(count, n);
    for (int k = 0; k < n; ++k) EXPECT_EQ(types[k], c.types[static_cast<size_t>(k)]) << k;
  }

  // The records name the cards.
  auto e = Carrier(Model::D3054s, "19");
  ASSERT_TRUE(e);
  Opened d(*e);
  ASSERT_NE(d.h, nullptr);
  auto* carrier = static_cast<D3054s*>(d.dev());
  EXPECT_STREQ(carrier->slotCard[0].name, "D-6021K");
  EXPECT_STREQ(carrier->slotCard[1].name, "D-6025K-40");
  EXPECT_STREQ(carrier->slotCard[2].name, "non");
  EXPECT_EQ(e->DataPorts(), Ports(10010, {0, 1}));
}

TEST(SlotDiscovery, SlotMapsTheKitAcceptsAsTheModuleStatesThem) {
  // D3054s "00": no slots, no data sockets, no channels.
  {
    auto e = Carrier(Model::D3054s, "1");
    ASSERT_TRUE(e);
    e->AddFault(Reply("$01C", "!0100"));
    Opened d(*e);
    ASSERT_NE(d.h, nullptr);
    EXPECT_EQ(d.dev()->module.AI, 0);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(static_cast<D3054s*>(d.dev())->dataSock[k], -1);
    int count = -1;
    char types[8] = {};
    EXPECT_EQ(QZ_Get_Module_Count(d.h, &count, types), 1);
    EXPECT_EQ(count, 0);
  }
  // More card characters than slots: the channel total counts the slots' cards only.
  {
    auto e = Carrier(Model::D3054s, "19");
    ASSERT_TRUE(e);
    e->AddFault(Reply("$01C", "!0101" "19"));
    Opened d(*e);
    ASSERT_NE(d.h, nullptr);
    EXPECT_EQ(d.dev()->module.AI, 8);
    EXPECT_TRUE(e->WaitForConnections(PortKind::Data, 1, 2000));
    EXPECT_EQ(e->OpenConnections(PortKind::Data), 1);
  }
  // D4071s: more flags than the count: the first `count` positions are the slots.
  {
    auto e = Carrier(Model::D4071s, "11100000");
    ASSERT_TRUE(e);
    e->AddFault(Reply("$01C", "!01211100000"));
    Opened d(*e);
    ASSERT_NE(d.h, nullptr);
    EXPECT_EQ(d.dev()->module.AI, 16);
    EXPECT_EQ(static_cast<D4071s*>(d.dev())->slotPosition[1], 1);
  }
}

TEST(SlotDiscovery, RefusedSlotMapsFailWithTheDataPortLineAndCloseTheCommandSocket) {
  struct Case {
    Model model;
    const char* layout;
    const char* reply;  // nullptr: the module does not answer
    const char* why;
  };
  const Case cases[] = {
      {Model::D4071s, "11110000", "!01000000000", "count digit 0"},
      {Model::D4071s, "11110000", "!01911111111", "count digit 9"},
      {Model::D4071s, "11110000", "!01411100000", "fewer positions than the count"},
      {Model::D4071s, "11110000", "!014111", "positions cut short"},
      {Model::D4071s, "11110000", "!01", "no count"},
      {Model::D4071s, "11110000", "?01", "refused"},
      {Model::D4071s, "11110000", nullptr, "no answer"},
      {Model::D3054s, "19", "!0109111111111", "nine slots"},
      {Model::D3054s, "19", "!01FF19", "255 slots"},
      {Model::D3054s, "19", "!01Z2", "count not hexadecimal"},
      {Model::D3054s, "19", "!012", "count cut short"},
      {Model::D3054s, "19", "?01", "refused"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    auto e = Carrier(c.model, c.layout);
    ASSERT_TRUE(e);
    Fault f = Reply("$01C", c.reply ? c.reply : "");
    if (c.reply == nullptr) f.kind = FaultKind::NoReply;
    e->AddFault(f);
    StdoutCapture out;
    QZ_ClearLastError();
    EXPECT_EQ(QZ_Device_Create(e->ConnectionText().c_str()), nullptr);
    const std::string text = out.Stop();
    EXPECT_EQ(static_cast<unsigned>(QZ_GetLastError()), QZ_ERR_OPEN_DEVICE);
    const std::string line = std::string(" [") + (c.model == Model::D4071s ? "D4071s" : "D3054s") +
                             "::ConnectServer] data port error\n";
    EXPECT_NE(text.find(line), std::string::npos) << text;
    EXPECT_EQ(e->Connections(PortKind::Data), 0);
    EXPECT_TRUE(e->WaitForEofs(PortKind::Command, 1, 2000));
    EXPECT_EQ(e->Commands(), std::vector<std::string>{"$01C"});
  }
}

TEST(SlotDiscovery, PortFailuresCloseWhatWasOpened) {
  // No command port: the cmd port line, nothing opened.
  {
    auto e = Carrier(Model::D4071s, "11000000", [](Options& o) { o.listenCommand = false; });
    ASSERT_TRUE(e);
    StdoutCapture out;
    EXPECT_EQ(QZ_Device_Create(e->ConnectionText().c_str()), nullptr);
    EXPECT_NE(out.Stop().find(" [D4071s::ConnectServer] cmd port error\n"), std::string::npos);
    EXPECT_EQ(static_cast<unsigned>(QZ_GetLastError()), QZ_ERR_OPEN_DEVICE);
    EXPECT_EQ(e->Connections(PortKind::Data), 0);
  }
  // The module names three slots but only two data ports listen: the third connect fails and
  // the two opened before it are closed again.
  {
    auto e = Carrier(Model::D3054s, "11");
    ASSERT_TRUE(e);
    e->AddFault(Reply("$01C", "!0103111"));
    StdoutCapture out;
    EXPECT_EQ(QZ_Device_Create(e->ConnectionText().c_str()), nullptr);
    EXPECT_NE(out.Stop().find(" [D3054s::ConnectServer] data port error\n"), std::string::npos);
    EXPECT_TRUE(e->WaitForConnections(PortKind::Data, 2, 2000));
    EXPECT_TRUE(e->WaitForEofs(PortKind::Data, 2, 2000));
    EXPECT_TRUE(e->WaitForEofs(PortKind::Command, 1, 2000));
  }
}

TEST(SlotDiscovery, ABadCalibrationLoadFailsTheConnection) {
  std::string notHex = "!";
  for (int i = 0; i < 7; ++i) notHex += "80000000";
  notHex += "80000ZZ0";
  for (const std::string& reply : {std::string("!0000"), std::string("?01"), notHex}) {
    SCOPED_TRACE(reply);
    auto e = Carrier(Model::D4071s, "00110000");
    ASSERT_TRUE(e);
    Fault f = Reply("$01RS20G1", reply);
    e->AddFault(f);

    // The driver itself reports 0x13007 and prints nothing; every socket is closed.
    {
      const int fds = CountOpenFds();
      D4071s d(e->options().ip.c_str(), 9999, 10010, WRXMODULE[2]);
      StdoutCapture out;
      EXPECT_EQ(d.ConnectServer(), 0);
      EXPECT_EQ(out.Stop(), "");
      EXPECT_EQ(static_cast<unsigned>(QZ_GetLastError()), QZ_ERR_MODULE_NOT_EXIST);
      EXPECT_EQ(d.CommandSocket(), -1);
      for (int k = 0; k < 8; ++k) EXPECT_EQ(d.dataSock[k], -1);
      EXPECT_TRUE(WaitUntil([&] { return CountOpenFds() == fds; }, 2000));
    }
    // The load stopped at the bad reply.
    EXPECT_EQ(e->Commands(),
              (std::vector<std::string>{"$01C", "~01WS8032768", "$01RS20G0", "$01RS20G1"}));
    EXPECT_TRUE(e->WaitForEofs(PortKind::Data, 2, 2000));

    // Through the factory it is 0x17006.
    e->AddFault(f);
    EXPECT_EQ(QZ_Device_Create(e->ConnectionText().c_str()), nullptr);
    EXPECT_EQ(static_cast<unsigned>(QZ_GetLastError()), QZ_ERR_OPEN_DEVICE);
  }
}

TEST(SlotDiscovery, DisconnectingTwiceAndDestroyingAfterAFailureReleaseNothingTwice) {
  auto e = Carrier(Model::D4071s, "10100000");
  ASSERT_TRUE(e);
  const std::string ip = e->options().ip;
  const int fds = CountOpenFds();
  {
    D4071s never(ip.c_str(), 9999, 10010, WRXMODULE[2]);
    EXPECT_EQ(never.DisconnectServer(), 1);
    EXPECT_EQ(never.DisconnectServer(), 1);
  }
  {
    D4071s d(ip.c_str(), 9999, 10010, WRXMODULE[2]);
    ASSERT_EQ(d.ConnectServer(), 1);
    ASSERT_EQ(d.ConnectServer(), 1);  // a second connect replaces the first sockets
    // Three sockets of ours and the emulator's three ends.
    EXPECT_TRUE(WaitUntil([&] { return CountOpenFds() == fds + 6; }, 2000));
    EXPECT_EQ(d.DisconnectServer(), 1);
    EXPECT_EQ(d.DisconnectServer(), 1);
    EXPECT_EQ(d.CommandSocket(), -1);
  }
  {
    e->AddFault(Reply("$01C", "!019"));
    D3054s failed(ip.c_str(), 9999, 10010, WRXMODULE[4]);
    StdoutCapture out;
    EXPECT_EQ(failed.ConnectServer(), 0);
  }  // the destructor disconnects again
  EXPECT_TRUE(WaitUntil([&] { return CountOpenFds() == fds; }, 2000)) << CountOpenFds() - fds;
}

}  // namespace
