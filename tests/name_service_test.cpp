// The name-service queries against the emulator, and the reply layout on its own.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/tcp.h"
#include "tests/common/TestSupport.h"

namespace {

using namespace nivex;
using namespace nivex::test;
using emu::FaultKind;
using emu::Model;
using emu::Options;
using emu::PortKind;

emu::Fault NameFault(const char* request, FaultKind kind, const std::string& text = "", int delayMs = 0) {
  emu::Fault f;
  f.port = PortKind::Name;
  f.command = request;
  f.kind = kind;
  f.text = text;
  f.delayMs = delayMs;
  return f;
}

struct Query {
  int fd;
  explicit Query(const emu::Emulator& e) : fd(OpenTcp(e.options().ip.c_str(), 10000, 1)) {}
  ~Query() { CloseTcp(fd); }
};

TEST(NameService, NameAndFirmwareFromTheModule) {
  auto e = StartEmulator(Model::RX5K10, [](Options& o) {
    o.moduleName = "RX5K10-XYZ";
    o.firmwareVersion = 0x1A2B;
  });
  ASSERT_TRUE(e);
  Query q(*e);
  ASSERT_GE(q.fd, 0);
  char name[kModuleNameSize];
  memset(name, 'X', sizeof(name));
  ASSERT_EQ(GetModuleNameTCP(q.fd, name), 1);
  EXPECT_STREQ(name, "RX5K10-XYZ");
  unsigned short version = 0;
  char date[kFirmwareDateSize];
  ASSERT_EQ(GetFirmVersionDateTCP(q.fd, &version, date), 1);
  EXPECT_EQ(version, 0x1A2B);
  EXPECT_STREQ(date, "Mar 05 2024 10:11:12");
  EXPECT_EQ(e->NameRequests(), (std::vector<std::string>{"10", "01"}));
  // Socket 0 (and a negative one) asks nothing.
  EXPECT_EQ(GetModuleNameTCP(0, name), 0);
  EXPECT_EQ(GetFirmVersionDateTCP(-1, &version, date), 0);

  // Empty replies give an empty name; an overlong name is cut to the buffer.
  e->SetModuleName(std::string());  // "10\r": two lead bytes, no name
  strcpy(name, "old");
  ASSERT_EQ(GetModuleNameTCP(q.fd, name), 1);
  EXPECT_STREQ(name, "");
  e->AddFault(NameFault("10", FaultKind::Reply));  // the line end only
  strcpy(name, "old");
  ASSERT_EQ(GetModuleNameTCP(q.fd, name), 1);
  EXPECT_STREQ(name, "");
  e->SetModuleName(std::string(300, 'n'));
  ASSERT_EQ(GetModuleNameTCP(q.fd, name), 1);
  EXPECT_EQ(strlen(name), 253u);
}

TEST(NameService, FirmwareReplyLayouts) {
  struct Row {
    std::string reply;  // as received, line end included
    unsigned short version;
    const char* date;
  } rows[] = {
      {"!011A2B Mar 05 2024 10:11:12\r", 0x1A2B, "Mar 05 2024 10:11:12"},  // blank at 7
      {"!01123456 x\r", 0x3456, " x"},  // 4+ digits: low 16 bits; blank past n-5: date from n-3
      {"!011A2BXYZWGH\r", 0x1A2B, "GH"},                     // no blank: date from n-3
      {"!01100001234\r", 0x1234, "34"},  // beyond 32 bits: the low 16 bits on every build
      {"!01400 " + std::string(30, 'd') + "\r", 0x400, "ddddddddddddddddddddddddd"},  // cut to 25
      {"!01\r", 0, ""},                                      // nothing after the lead
      {"\r", 0, ""},
  };
  for (const Row& r : rows) {
    unsigned short v = 0xFFFF;
    char date[kFirmwareDateSize];
    memset(date, 'X', sizeof(date));
    detail::ParseFirmware(r.reply.data(), static_cast<int>(r.reply.size()), &v, date);
    EXPECT_EQ(v, r.version) << r.reply;
    EXPECT_STREQ(date, r.date) << r.reply;
  }
}

TEST(NameService, RepliesInPiecesAreCollectedToTheLineEnd) {
  auto e = StartEmulator(Model::RX5K30);
  ASSERT_TRUE(e);
  emu::Fault split = NameFault("10", FaultKind::Split, "", 50);
  split.splitAt = {4, 9};
  e->AddFault(split);
  e->AddFault(NameFault("01", FaultKind::Delay, "", 300));
  Query q(*e);
  char name[kModuleNameSize];
  ASSERT_EQ(GetModuleNameTCP(q.fd, name), 1);
  EXPECT_STREQ(name, "WRX-5K30M");
  unsigned short v = 0;
  char date[kFirmwareDateSize];
  ASSERT_EQ(GetFirmVersionDateTCP(q.fd, &v, date), 1);
  EXPECT_EQ(v, 0x400);
}

TEST(NameService, SilenceOrAClosedConnectionFailsWithOutputsUntouched) {
  // Silence ends after one second; a module that closes ends the query at once.
  for (FaultKind kind : {FaultKind::NoReply, FaultKind::Close}) {
    auto e = StartEmulator(Model::RXBN500);
    ASSERT_TRUE(e);
    e->AddFault(NameFault("10", kind));
    e->AddFault(NameFault("01", FaultKind::NoReply));
    Query q(*e);
    char name[kModuleNameSize] = "untouched";
    const long long t0 = NowMs();
    EXPECT_EQ(GetModuleNameTCP(q.fd, name), 0);
    const long long took = NowMs() - t0;
    EXPECT_GE(took, kind == FaultKind::NoReply ? 900 : 0);
    EXPECT_LT(took, kind == FaultKind::NoReply ? 1500 : 500);
    EXPECT_STREQ(name, "untouched");
    // The next query fails as well (on the dead connection without a signal).
    unsigned short v = 77;
    char date[kFirmwareDateSize] = "same";
    EXPECT_EQ(GetFirmVersionDateTCP(q.fd, &v, date), 0);
    EXPECT_EQ(v, 77);
    EXPECT_STREQ(date, "same");
  }
}

}  // namespace
