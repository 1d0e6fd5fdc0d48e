// Error texts and the per-thread last error.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "support/FaultText.h"

namespace {

TEST(FaultText, ExactTextsUnknownCodesAndTheLongestText) {
  const struct {
    unsigned code;
    const char* text;
  } rows[] = {
      {0x1, "Unknow Error!"},
      {0x13003, "Unknown Module"},
      {0x13006, "The function isn't supported"},
      {0x13007, "The Module doesn't exist"},
      {0x14005, "EEPROM is write-protected"},
      {0x15004, "OS WatchDog is for OS startup process"},
      {0x17002, "Device read timeout"},
      {0x17003, "Device response error"},
      {0x17005, "Device exceed input range"},
      {0x17006, "Open Device failed"},
      {0x1700A, "Device send command error"},
      {0x18002, "API unsupport this IO card!"},
      {0x18006, "VL-3000 unsupport the interrupt mode!"},
      {0x1800A, "DO output cannot be overwrite!"},
      {0x1800B, "AO output cannot be overwirte!"},
  };
  char text[64];
  for (const auto& r : rows) {
    QZ_GetFaultText(r.code, text);
    EXPECT_STREQ(text, r.text) << std::hex << r.code;
  }
  for (unsigned code : {0u, 2u, 0x13009u, 0x1300Au, 0x1300Cu, 0x18011u, 0xFFFFFu, 0x7FFFFFFFu}) {
    QZ_GetFaultText(code, text);
    EXPECT_STREQ(text, "Unknow error code!") << std::hex << code;
  }

  // The longest text takes exactly 44 bytes, NUL included.
  unsigned char buf[64];
  std::memset(buf, 0xAA, sizeof buf);
  QZ_GetFaultText(0x18001, reinterpret_cast<char*>(buf));
  EXPECT_EQ(std::strlen(reinterpret_cast<char*>(buf)), 43u);
  EXPECT_EQ(buf[44], 0xAA);
  QZ_GetFaultText(0x18001, nullptr);  // no buffer: nothing happens
}

TEST(LastError, SetClearAndPerThread) {
  QZ_SetLastError(0x17002);
  EXPECT_EQ(QZ_GetLastError(), 0x17002);
  int seen = -1;
  std::thread([&] { seen = QZ_GetLastError(); QZ_SetLastError(0x17003); }).join();
  EXPECT_EQ(seen, 0);
  EXPECT_EQ(QZ_GetLastError(), 0x17002);
  QZ_ClearLastError();
  EXPECT_EQ(QZ_GetLastError(), 0);
  nivex::_SetLastError(0xFFFFF);
  EXPECT_EQ(QZ_GetLastError(), 0xFFFFF);
  QZ_SetLastError(0);
  EXPECT_EQ(QZ_GetLastError(), 0);
}

TEST(LastError, ManyThreadsKeepTheirOwnCodes) {
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &mismatches] {
      for (int i = 0; i < 10000; ++i) {
        unsigned code = 0x10000u * (t + 1) + i;
        QZ_SetLastError(code);
        if (QZ_GetLastError() != static_cast<int>(code)) ++mismatches;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
