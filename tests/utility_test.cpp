// String and conversion helpers: sleep, address checks, and the bounds of every copy.
#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>
#include <strings.h>
#include <sys/time.h>

#include <algorithm>
#include <climits>
#include <clocale>
#include <cstring>
#include <string>
#include <thread>

#include "support/Chronum.h"
#include "support/FaultText.h"
#include "support/utility.h"

namespace {

using namespace nivex;

volatile sig_atomic_t g_alarms = 0;
void OnAlarm(int) { g_alarms = g_alarms + 1; }

TEST(Sleep, ZeroNegativeAndInterrupted) {
  int64_t t0 = GetNowMillisecond();
  EXPECT_EQ(msleep(0), 0);
  EXPECT_LT(GetNowMillisecond() - t0, 20);
  errno = 0;
  EXPECT_EQ(msleep(-1), -1);
  EXPECT_EQ(errno, EINVAL);

  // A signal midway (handler without SA_RESTART) must not shorten the sleep.
  struct sigaction sa {}, old {};
  sa.sa_handler = OnAlarm;
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
  g_alarms = 0;
  struct itimerval timer {};
  timer.it_value.tv_usec = 100000;
  ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);
  t0 = GetNowMillisecond();
  EXPECT_EQ(msleep(300), 0);
  const int64_t slept = GetNowMillisecond() - t0;
  sigaction(SIGALRM, &old, nullptr);
  EXPECT_EQ(g_alarms, 1);
  EXPECT_GE(slept, 300);
  EXPECT_LT(slept, 600);
}

TEST(Address, IPv4AndPort) {
  for (const char* good : {"192.168.0.10", "0.0.0.0"}) EXPECT_EQ(isValidIPv4(good), 1) << good;
  for (const char* bad : {"192.168.0", "192.168.0.256", "host", "", "192.168.0.10 ", "192.168.0.10.1"})
    EXPECT_EQ(isValidIPv4(bad), 0) << bad;
  EXPECT_EQ(isValidIPv4(nullptr), 0);
  for (int port : {0, 65535}) EXPECT_EQ(isValidTCPPort(port), 1) << port;
  for (int port : {-1, 65536}) EXPECT_EQ(isValidTCPPort(port), 0) << port;
}

TEST(WideText, NarrowingBoundsAndFailures) {
  char b[16];  // capacity 8, the rest guards
  memset(b, 0x5A, sizeof(b));
  EXPECT_EQ(WideToChar(L"abcdefg", b, 8), 28);  // 7 characters and the NUL fit exactly
  EXPECT_STREQ(b, "abcdefg");
  memset(b, 0x5A, sizeof(b));
  EXPECT_EQ(WideToChar(L"abcdefgh", b, 8), 0);  // 8 do not: refused, buffer untouched
  EXPECT_EQ(std::string(b, 16), std::string(16, 0x5A));
  EXPECT_EQ(WideToChar(nullptr, b, 8), 0);

  // A realistic 100-character path fits a 260-byte buffer.
  std::wstring path = L"/home/u/proj/log/192_168_0_10/2024_03_05_09_07/";
  path += std::wstring(96 - path.size(), L'x') + L".bin";
  char narrow[260];
  EXPECT_EQ(WideToChar(path.c_str(), narrow, sizeof(narrow)), 400);
  EXPECT_EQ(strlen(narrow), 100u);
  // A character the "C" locale cannot express is a failure, with an empty result.
  EXPECT_EQ(WideToChar(L"a\u00e9b", narrow, sizeof(narrow)), 0);
  EXPECT_EQ(narrow[0], '\0');

  // In UTF-8 the budget counts the real bytes.
  const std::string saved = setlocale(LC_CTYPE, nullptr);
  if (setlocale(LC_CTYPE, "C.UTF-8") == nullptr) GTEST_SKIP() << "no C.UTF-8 locale";
  EXPECT_EQ(WideToChar(L"a\u00e9", b, 4), 8);  // 3 bytes and the NUL
  EXPECT_STREQ(b, "a\xc3\xa9");
  EXPECT_EQ(WideToChar(L"\u00e9\u00e9", b, 4), 0);  // 4 bytes and the NUL do not fit
  setlocale(LC_CTYPE, saved.c_str());
}

TEST(WideText, WideningBoundsAndFailures) {
  wchar_t b[12];  // capacity 8, the rest guards
  wmemset(b, L'#', 12);
  EXPECT_EQ(CharToWide("abcdefg", b, 8), 7);  // capacity-1 characters convert
  EXPECT_EQ(wcscmp(b, L"abcdefg"), 0);
  wmemset(b, L'#', 12);
  EXPECT_EQ(CharToWide("abcdefgh", b, 8), 0);  // capacity characters are refused
  EXPECT_EQ(std::wstring(b, 12), std::wstring(12, L'#'));
  EXPECT_EQ(CharToWide(nullptr, b, 8), 0);
  EXPECT_EQ(CharToWide("a\xff", b, 8), 0);  // invalid multibyte text: failure, empty text
  EXPECT_EQ(b[0], L'\0');
}

TEST(Copy, CopyTextAndMidCutAndTerminate) {
  char buf[8];
  memset(buf, 0x5A, sizeof(buf));
  EXPECT_EQ(CopyText(buf, 4, "abcdef"), 6u);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(buf[4], 0x5A);
  EXPECT_EQ(CopyText(buf, sizeof(buf), nullptr), 0u);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(CopyText(buf, 0, "x"), 1u);

  const struct {
    int start, length;
    const char* want;
  } mids[] = {{2, 3, "cde"}, {4, 10, "ef"}, {6, 2, ""}, {100, 2, ""}, {-1, 2, ""}, {0, -2, ""}};
  for (const auto& m : mids)
    EXPECT_STREQ(Mid("abcdef", m.start, m.length, buf, sizeof(buf)), m.want) << m.start << "," << m.length;
  memset(buf, 0x5A, sizeof(buf));
  EXPECT_STREQ(Mid("abcdef", 0, 6, buf, 3), "ab");
  EXPECT_EQ(buf[3], 0x5A);
}

TEST(SplitText, FieldsAndBounds) {
  char rows[12][256];
  ASSERT_EQ(Split("192.168.0.10", ".", rows, 12), 4);
  EXPECT_STREQ(rows[0], "192");
  EXPECT_STREQ(rows[3], "10");
  ASSERT_EQ(Split("a..b", ".", rows, 12), 2);
  EXPECT_STREQ(rows[1], "b");
  EXPECT_EQ(Split(",,,", ",", rows, 12), 0);
  EXPECT_EQ(Split(nullptr, ",", rows, 12), 0);

  // 40 fields, 11 rows allowed: row 11 stays untouched.
  std::string many;
  for (int i = 0; i < 40; ++i) many += std::to_string(i) + ",";
  memset(rows[11], 0x5A, sizeof(rows[11]));
  EXPECT_EQ(Split(many.c_str(), ",", rows, 11), 11);
  EXPECT_STREQ(rows[10], "10");
  EXPECT_EQ(rows[11][0], 0x5A);

  // A 300-character field: the row gets 255 characters.
  ASSERT_EQ(Split(std::string(300, 'x').c_str(), ",", rows, 12), 1);
  EXPECT_EQ(strlen(rows[0]), 255u);

  // A text that is not NUL-terminated (a received block) is read no further than its length.
  const char block[5] = {'1', ',', '2', ',', '3'};
  ASSERT_EQ(Split(block, 3, ",", rows, 12), 2);
  EXPECT_STREQ(rows[1], "2");

  // Two threads at once keep their own fields.
  auto work = [](const char* text, const char* want0, int* bad) {
    char own[8][256];
    for (int i = 0; i < 2000; ++i)
      if (Split(text, ".", own, 8) != 4 || strcmp(own[0], want0) != 0) ++*bad;
  };
  int bad1 = 0, bad2 = 0;
  std::thread a(work, "10.0.0.1", "10", &bad1), b(work, "172.16.5.4", "172", &bad2);
  a.join();
  b.join();
  EXPECT_EQ(bad1 + bad2, 0);
}

TEST(Texts, ReplaceAndLogFormat) {
  char text[] = "a\\b\\c";
  EXPECT_EQ(replacechar(text, 'z', 'y'), 0);
  BackslashToSlash(text);
  EXPECT_STREQ(text, "a/b/c");
  EXPECT_EQ(replacechar(text, '/', '_'), 2);

  char buf[32];
  EXPECT_EQ(__Snprintf_Log(buf, sizeof(buf), "%s\\%d", "C:\\log", 7), 8);
  EXPECT_STREQ(buf, "C:/log/7");  // backslashes of arguments are turned too
  char small[6];
  memset(small, 0x5A, sizeof(small));
  EXPECT_EQ(__Snprintf_Log(small, 5, "%s", "x\\y\\z\\w"), 7);
  EXPECT_STREQ(small, "x/y/");
  EXPECT_EQ(small[5], 0x5A);
}

TEST(Conversions, HexScaleAndBits) {
  unsigned int v = 0;
  EXPECT_EQ(HexStrToLong("1A2b", &v), 1);
  EXPECT_EQ(v, 0x1A2Bu);
  EXPECT_EQ(HexStrToLong("123456789", &v), 1);  // beyond 32 bits: the low 32 on every build
  EXPECT_EQ(v, 0x23456789u);
  EXPECT_EQ(HexStrToLong("zz", &v), 0);
  EXPECT_EQ(HexStrToLong("", &v), -1);
  unsigned char byte = 0;
  EXPECT_EQ(HexStrToByte("1FF", &byte), 1);
  EXPECT_EQ(byte, 0xFF);
  unsigned char arr[4] = {0, 0, 0, 0x77};
  EXPECT_EQ(toByteArr("!0A1B", arr, 4), 2);  // stops at the end of the text
  EXPECT_EQ(arr[0], 0x0A);
  EXPECT_EQ(arr[1], 0x1B);
  EXPECT_EQ(arr[3], 0x77);

  float out = -1.0f;
  EXPECT_EQ(toScale(5, 0, 10, 0, 100, &out), 1);
  EXPECT_FLOAT_EQ(out, 50.0f);
  EXPECT_EQ(toScale(0, 0, 10, -5, 5, &out), 1);
  EXPECT_FLOAT_EQ(out, -5.0f);
  EXPECT_EQ(toScale(5, 2, 2, 0, 100, &out), 0);  // empty input range: output kept
  EXPECT_FLOAT_EQ(out, -5.0f);

  for (const char* text : {"ab", "a\xE4\xB8\xAD", "a\xE4"})  // a cut character ends at the NUL
    EXPECT_EQ(get_wchar_size(text), 8) << text;
  EXPECT_EQ(LongtoHexStr(0xFFFFFFFFu), 0);
}

TEST(ReplyFields, DecimalNumbersAndSignExtension) {
  struct Case {
    const char* reply;
    size_t pos, digits;
    bool ok;
    long long want;  // unsigned reading with max 99999, or the signed one
  } unsignedCases[] = {
      {"!01T0000001000", 4, 10, true, 1000}, {"!01R12x", 4, 6, true, 12},  // a non-digit ends it
      {"!01", 3, 4, false, 0},               {"!01-5", 3, 4, false, 0},     // no sign
      {"!01123456", 3, 5, false, 0},         {"!01100000", 3, 6, false, 0},  // digits, max
      {"!0", 5, 2, false, 0},                                              // ends before pos
  };
  for (const Case& c : unsignedCases) {
    uint32_t v = 77;
    EXPECT_EQ(DecField(c.reply, c.pos, c.digits, 99999, &v), c.ok) << c.reply;
    EXPECT_EQ(v, c.ok ? static_cast<uint32_t>(c.want) : 77u) << c.reply;
  }
  // As "%d" reads: blanks, a sign, the digits up to the first non-digit, within an int.
  const Case scanCases[] = {
      {"!01P00500", 4, 0, true, 500},          {"!01 \t-32768x7", 3, 0, true, -32768},
      {"!01-2147483648", 3, 0, true, INT_MIN}, {"!0100000000000000000000012", 3, 0, true, 12},
      {"!012147483648", 3, 0, false, 0},       {"!01+", 3, 0, false, 0},
      {"!01 x5", 3, 0, false, 0},              {"!0", 5, 0, false, 0},
  };
  for (const Case& c : scanCases) {
    int v = 77;
    EXPECT_EQ(ScanInt(c.reply, c.pos, &v), c.ok) << c.reply;
    EXPECT_EQ(v, c.ok ? c.want : 77) << c.reply;
  }
  EXPECT_EQ(SignExtend(0xFFFF, 16), -1);
  EXPECT_EQ(SignExtend(0x7FFF, 16), 0x7FFF);
  EXPECT_EQ(SignExtend(0xFF800000u, 24), -0x800000);  // the bits above are ignored
  EXPECT_EQ(SignExtend(0x80000000u, 32), INT_MIN);
}

TEST(ReplyFields, WholeReplies) {
  const struct {
    std::string reply;  // the bytes before the CR, NULs and all
    const char* leads;
    size_t length;
    bool fits;
  } cases[] = {
      {">0112  \t", "!>", 5, true},     {"!011", "!>", 5, false},
      {std::string("!0\0", 3), "!", 2, false}, {"?01", "!>", kAnyLength, false},
      {"", "!>", kAnyLength, false},
      {"!" + std::string(255, '0'), "!", kAnyLength, false},  // more than the buffer holds
  };
  for (const auto& c : cases) {
    ReplyLine r;
    std::memcpy(r.text, c.reply.data(), std::min(c.reply.size(), sizeof(r.text) - 1));
    r.received = c.reply.size();
    EXPECT_EQ(ReplyFits(r, c.leads, c.length), c.fits) << c.reply;
  }
}

TEST(Paserstr, ReadsEightCharacterGroups) {
  unsigned int v[4] = {0, 0, 0, 0};
  EXPECT_EQ(Paserstr("0000000A00000014", 16, v, 4), 1);
  EXPECT_EQ(v[0], 10u);
  EXPECT_EQ(v[1], 20u);

  unsigned int one[2] = {0, 0};  // the count bounds the writes
  EXPECT_EQ(Paserstr("0000000A00000014", 16, one, 1), 1);
  EXPECT_EQ(one[1], 0u);

  // A short last group is read like a full one; a length past the text stops at its end.
  EXPECT_EQ(Paserstr("FFFFFFFF1F", 400, v, 4), 1);
  EXPECT_EQ(v[0], 0xFFFFFFFFu);
  EXPECT_EQ(v[1], 0x1Fu);

  // An unreadable group keeps what was stored before it.
  unsigned int bad[4] = {0, 0, 0, 0};
  _ClearLastError();
  EXPECT_EQ(Paserstr("00000001zzzzzzzz00000003", 24, bad, 4), 0);
  EXPECT_EQ(_GetLastError(), static_cast<int>(QZ_ERR_INVALID_VALUE));
  EXPECT_EQ(bad[0], 1u);
  EXPECT_EQ(bad[1], 0u);
}

TEST(FrameworkStrcasecmp, ComparesInUpperCase) {
  EXPECT_EQ(nivex::strcasecmp("rx5k10", "RX5K10"), 0);
  // '_' (0x5F) lies above the upper-case letters: the upper-case fold orders it after them.
  EXPECT_GT(nivex::strcasecmp("_", "a"), 0);
  EXPECT_LT(::strcasecmp("_", "a"), 0);  // the C library's own is left as it is
}

}  // namespace
