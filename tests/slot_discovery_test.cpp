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
#include "tests/common/DeviceFixture.h"
#include "tests/common/TestSupport.h"

namespace {

using nivex::D3054s;
using nivex::D4071s;
using nivex::SlotCarrier;
using nivex::WRXMODULE;
using namespace nivex::emu;
using namespace nivex::test;

std::unique_ptr<Emulator> Carrier(Model m, const std::string& layout,
                                  const std::function<void(Options&)>& tweak = nullptr) {
  return StartEmulator(m, [&](Options& o) {
    o.slotLayout = layout;
    if (tweak) tweak(o);
  });
}

// The handle opened on an emulator, released at the end.
struct Opened {
  void* h;
  explicit Opened(Emulator& e) : h(QZ_Device_Create(e.ConnectionText().c_str())) {}
  ~Opened() {
    if (h != nullptr) QZ_Device_Release(h);
  }
  SlotCarrier& dev() const { return *static_cast<SlotCarrier*>(nivex::api::DeviceOf(h)); }
  // The slot count and the 8 card type bytes QZ_Get_Module_Count reports (0x55: untouched).
  std::vector<int> ModuleTable() const {
    int count = -1;
    char types[8];
    std::memset(types, 0x55, sizeof(types));
    if (QZ_Get_Module_Count(h, &count, types) != 1) return {};
    std::vector<int> out = {count};
    out.insert(out.end(), types, types + 8);
    return out;
  }
};

TEST(SlotDiscovery, CarriersOpenEverySlotOfTheirLayout) {
  struct Case {
    Model model;
    std::string layout;
    std::vector<int> types;  // per slot
    int total;
  };
  // D4071s: a card ('1') at each listed position, 8 channels each. D3054s: one card character
  // per slot; '0', '5' and '6' name no card: type 0, no channels.
  const Case cases[] = {{Model::D4071s, "11110000", {8, 8, 8, 8}, 32},
                        {Model::D4071s, "01010111", {8, 8, 8, 8, 8}, 40},
                        {Model::D4071s, "11111111", {8, 8, 8, 8, 8, 8, 8, 8}, 64},
                        {Model::D3054s, "19", {1, 6}, 24},
                        {Model::D3054s, "12349", {1, 2, 3, 4, 6}, 56},
                        {Model::D3054s, "0658", {0, 0, 0, 5}, 8}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.layout);
    const bool d4071s = c.model == Model::D4071s;
    auto e = Carrier(c.model, c.layout);
    ASSERT_TRUE(e);
    Opened d(*e);
    ASSERT_NE(d.h, nullptr) << std::hex << QZ_GetLastError();
    const int n = static_cast<int>(c.types.size());
    // The digit that addresses a slot (and its data port offset): its position (D4071s) or
    // its index (D3054s).
    std::vector<int> digits;
    for (int p = 0; p < static_cast<int>(c.layout.size()); ++p)
      if (!d4071s || c.layout[p] == '1') digits.push_back(p);

    // One data connection per slot, each on data port + its digit (nothing else listens).
    std::vector<int> ports;
    for (int p : digits) ports.push_back(10010 + p);
    EXPECT_EQ(e->DataPorts(), ports);
    EXPECT_TRUE(e->WaitForConnections(PortKind::Data, n, 2000));
    EXPECT_EQ(e->OpenConnections(PortKind::Data), n);

    // The channel total replaces the row's and is what the module count reports.
    EXPECT_EQ(d.dev().Module().AI, c.total);
    std::vector<int> table(9, 0x55);
    table[0] = n;
    std::copy(c.types.begin(), c.types.end(), table.begin() + 1);
    EXPECT_EQ(d.ModuleTable(), table);

    // The connection's commands: the slot map; on the D4071s the window and two calibration
    // reads per card, each carrying the card's position.
    Strings expect = {"$01C"};
    if (d4071s) expect.push_back("~01WS8032768");
    for (int p = 0; d4071s && p < 8; ++p)
      for (const char* g : {"0", "1"})
        if (c.layout[p] == '1') expect.push_back("$01RS" + std::to_string(p) + "0G" + g);
    EXPECT_EQ(e->Commands(), expect);

    // The last slot is addressed by its digit in later per-slot commands.
    e->ClearCommands();
    float v = 0;
    ASSERT_EQ(d.dev().ReadAI(c.total - 1, 0, &v), 1);
    EXPECT_EQ(e->Commands(), Strings{"#01S" + std::to_string(digits.back()) + "G0"});
    if (c.layout != "19") continue;
    // The records name the cards.
    EXPECT_STREQ(nivex::Supported_IO_List[nivex::CardRowOf('1')].name, "D-6021K");
    EXPECT_STREQ(nivex::Supported_IO_List[nivex::CardRowOf('9')].name, "D-6025K-40");
    EXPECT_STREQ(nivex::Supported_IO_List[nivex::CardRowOf('0')].name, "non");
  }
}

TEST(SlotDiscovery, SlotMapsTheKitAcceptsAsTheModuleStatesThem) {
  struct Case {
    Model model;
    const char* layout;
    const char* reply;
    int slots, total, lastPosition;
  };
  const Case cases[] = {
      {Model::D3054s, "1", "!0100", 0, 0, 0},           // no slots, no data sockets, no channels
      {Model::D3054s, "19", "!010119", 1, 8, 0},        // more card characters than slots
      {Model::D4071s, "11100000", "!01211100000", 2, 16, 1},  // more flags than the count
      {Model::D4071s, "11110000", ">01411110000  ", 4, 32, 3},  // either lead, blanks behind
      {Model::D3054s, "19", ">010219", 2, 24, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    auto e = Carrier(c.model, c.layout);
    ASSERT_TRUE(e);
    e->AddFault(MakeFault("$01C", FaultKind::Reply, c.reply));
    Opened d(*e);
    ASSERT_NE(d.h, nullptr);
    EXPECT_EQ(d.dev().Module().AI, c.total);
    EXPECT_EQ(d.dev().SlotCount(), c.slots);
    EXPECT_TRUE(e->WaitForConnections(PortKind::Data, c.slots, 2000));
    EXPECT_EQ(e->OpenConnections(PortKind::Data), c.slots);
    EXPECT_EQ(d.ModuleTable().at(0), c.slots);
    if (c.model == Model::D4071s) {  // the last slot's reads name its position
      float v = 0;
      ASSERT_EQ(d.dev().ReadAI(c.total - 1, 0, &v), 1);
      EXPECT_EQ(e->Commands().back(), "#01S" + std::to_string(c.lastPosition) + "G0");
    }
  }
}

TEST(SlotDiscovery, RefusedSlotMapsFailWithTheDataPortLineAndCloseTheCommandSocket) {
  struct Case {
    Model model;
    const char* reply;  // nullptr: the module does not answer
    const char* why;
  };
  const Case cases[] = {
      {Model::D4071s, "!01000000000", "count digit 0"},
      {Model::D4071s, "!01911111111", "count digit 9"},
      {Model::D4071s, "!01411100000", "fewer positions than the count"},
      {Model::D4071s, "!014111", "positions cut short"},
      {Model::D4071s, "!0141111000000", "a flag more than positions"},
      {Model::D4071s, "!01", "no count"},
      {Model::D4071s, "?01", "refused"},
      {Model::D4071s, nullptr, "no answer"},
      {Model::D3054s, "!0109111111111", "nine slots"},
      {Model::D3054s, "!01FF19", "255 slots"},
      {Model::D3054s, "!01Z2", "count not hexadecimal"},
      {Model::D3054s, "!012", "count cut short"},
      {Model::D3054s, "?01", "refused"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    auto e = Carrier(c.model, c.model == Model::D4071s ? "11110000" : "19");
    ASSERT_TRUE(e);
    e->AddFault(c.reply ? MakeFault("$01C", FaultKind::Reply, c.reply) : MakeFault("$01C", FaultKind::NoReply));
    StdoutCapture out;
    QZ_ClearLastError();
    EXPECT_TRUE(FailsWith(QZ_Device_Create(e->ConnectionText().c_str()) != nullptr, QZ_ERR_OPEN_DEVICE));
    const std::string line = std::string(" [") + ModelText(c.model) + "::ConnectServer] data port error\n";
    EXPECT_NE(out.Stop().find(line), std::string::npos);
    EXPECT_EQ(e->Connections(PortKind::Data), 0);
    EXPECT_TRUE(e->WaitForEofs(PortKind::Command, 1, 2000));
    EXPECT_EQ(e->Commands(), Strings{"$01C"});
  }
}

TEST(SlotDiscovery, PortFailuresCloseWhatWasOpened) {
  // No command port: the cmd port line, nothing opened.
  {
    auto e = Carrier(Model::D4071s, "11000000", [](Options& o) { o.listenCommand = false; });
    ASSERT_TRUE(e);
    StdoutCapture out;
    EXPECT_TRUE(FailsWith(QZ_Device_Create(e->ConnectionText().c_str()) != nullptr, QZ_ERR_OPEN_DEVICE));
    EXPECT_NE(out.Stop().find(" [D4071s::ConnectServer] cmd port error\n"), std::string::npos);
    EXPECT_EQ(e->Connections(PortKind::Data), 0);
  }
  // The module names three slots but only two data ports listen: the third connect fails and
  // the two opened before it are closed again.
  auto e = Carrier(Model::D3054s, "11");
  ASSERT_TRUE(e);
  e->AddFault(MakeFault("$01C", FaultKind::Reply, "!0103111"));
  StdoutCapture out;
  EXPECT_EQ(QZ_Device_Create(e->ConnectionText().c_str()), nullptr);
  EXPECT_NE(out.Stop().find(" [D3054s::ConnectServer] data port error\n"), std::string::npos);
  EXPECT_TRUE(e->WaitForConnections(PortKind::Data, 2, 2000));
  EXPECT_TRUE(e->WaitForEofs(PortKind::Data, 2, 2000));
  EXPECT_TRUE(e->WaitForEofs(PortKind::Command, 1, 2000));
}

TEST(SlotDiscovery, ABadCalibrationLoadFailsTheConnection) {
  std::string notHex = "!";
  for (int i = 0; i < 7; ++i) notHex += "80000000";
  notHex += "80000ZZ0";
  for (const std::string& reply : {std::string("!0000"), std::string("?01"), notHex}) {
    SCOPED_TRACE(reply);
    auto e = Carrier(Model::D4071s, "00110000");
    ASSERT_TRUE(e);
    const Fault f = MakeFault("$01RS20G1", FaultKind::Reply, reply);
    e->AddFault(f);
    // The driver itself reports 0x13007 and prints nothing; every socket is closed.
    {
      const int fds = CountOpenFds();
      D4071s d(e->options().ip.c_str(), 9999, 10010, WRXMODULE[2]);
      StdoutCapture out;
      EXPECT_TRUE(FailsWith(d.ConnectServer(), QZ_ERR_MODULE_NOT_EXIST));
      EXPECT_EQ(out.Stop(), "");
      EXPECT_EQ(d.CommandSocket(), -1);
      EXPECT_TRUE(WaitUntil([&] { return CountOpenFds() == fds; }, 2000));
    }
    // The load stopped at the bad reply.
    EXPECT_EQ(e->Commands(), (Strings{"$01C", "~01WS8032768", "$01RS20G0", "$01RS20G1"}));
    EXPECT_TRUE(e->WaitForEofs(PortKind::Data, 2, 2000));
    // Through the factory it is 0x17006.
    e->AddFault(f);
    EXPECT_TRUE(FailsWith(QZ_Device_Create(e->ConnectionText().c_str()) != nullptr, QZ_ERR_OPEN_DEVICE));
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
    e->AddFault(MakeFault("$01C", FaultKind::Reply, "!019"));
    D3054s failed(ip.c_str(), 9999, 10010, WRXMODULE[4]);
    StdoutCapture out;
    EXPECT_EQ(failed.ConnectServer(), 0);
  }  // the destructor disconnects again
  EXPECT_TRUE(WaitUntil([&] { return CountOpenFds() == fds; }, 2000)) << CountOpenFds() - fds;
}

}  // namespace
