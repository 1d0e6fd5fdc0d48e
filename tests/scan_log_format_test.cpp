// The scan-log format unit: names and folders, the ".config" lines as the loggers write and the
// reader reads them, the start-time columns, the text rows, and the log-file tag.
#include "framework/ScanLogFormat.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/common/FileFixtures.h"
#include "tests/common/TestSupport.h"

using namespace nivex::scanlog;

namespace {

struct tm At(int y, int mo, int d, int h, int mi, int s, int wday = 0) {
  struct tm t = {};
  t.tm_year = y - 1900, t.tm_mon = mo - 1, t.tm_mday = d;
  t.tm_hour = h, t.tm_min = mi, t.tm_sec = s, t.tm_wday = wday;
  return t;
}

TEST(ScanLogFormat, NamesFoldersAndPaths) {
  char out[kPathSize];
  ASSERT_TRUE(AddressPrefix("192.168.0.10", out, sizeof out));
  EXPECT_STREQ(out, "192_168_0_10");
  ASSERT_TRUE(ConfigFileName("192_168_0_10", 0xa3, At(2024, 3, 5, 9, 7, 2), out, sizeof out));
  EXPECT_STREQ(out, "IP_192_168_0_10_00a3_2024_3_5_9_7_2.config");
  ASSERT_TRUE(DataFileName("192_168_0_10", 0xa3, At(2024, 3, 5, 9, 7, 3), false, out, sizeof out));
  EXPECT_STREQ(out, "192_168_0_10_00a3_2024_3_5_9_7_3.bin");

  // Sunday 3 March 2024, 09:07.
  const struct tm sunday = At(2024, 3, 3, 9, 7, 2, 0);
  const struct {
    int mode;
    bool first;
    const char* want;
  } subs[] = {{0, true, ""}, {1, false, "2024_03_03_09_07"}, {2, false, "2024_03_03_09"},
              {3, false, "2024_03_03"}, {4, false, "2024_03"}, {5, true, ""},
              {6, false, "2024_03_w0"}, {7, true, "2024_03_03_09_07"}, {7, false, ""}};
  for (const auto& s : subs) {
    ASSERT_TRUE(SubFolderName(s.mode, sunday, s.first, out, sizeof out));
    EXPECT_STREQ(out, s.want) << s.mode << s.first;
  }

  // No "//" whatever the separators given; an empty part adds none.
  const auto join = [&](const char* f, const char* n) { return JoinPath(f, n, out, sizeof out) ? out : "?"; };
  EXPECT_STREQ(join("/b/", "/n"), "/b/n");
  EXPECT_STREQ(join("/b", ""), "/b");
  EXPECT_STREQ(join("", "n"), "n");
  char small[8] = "keep";
  EXPECT_FALSE(JoinPath("/base", "name", small, sizeof small));
  EXPECT_STREQ(small, "");

  // The longest data path: base + "/log/" + prefix + "/" + 16 + "/" + prefix + 29 characters.
  const std::string prefix = "192_168_100_200";
  const size_t room = 259 - (5 + prefix.size() + 1 + 16 + 1 + prefix.size() + 29);
  EXPECT_TRUE(BaseFolderFits(("/" + std::string(room - 1, 'b')).c_str(), prefix.c_str()));
  EXPECT_FALSE(BaseFolderFits(("/" + std::string(room, 'b')).c_str(), prefix.c_str()));

  // The type is the name's own extension.
  for (const auto& [name, type] : std::vector<std::pair<const char*, int>>{
           {"a.bin.txt", 1}, {"a.txt.bin", 0}, {"a.md", 5}, {"a.BIN", 7}, {"a.binx", -1}})
    EXPECT_EQ(DataFileType(name), type) << name;
}

TEST(ScanLogFormat, ConfigLinesPerModuleFamily) {
  ScanConfig c;
  strcpy(c.ip, "192.168.0.10");
  c.gain = 1, c.channelCount = 2, c.sampleRate = 64000, c.sampleCount = 0;
  c.externalTrigger = 8, c.transferMode = 3;
  c.channelGain[0] = 32768, c.channelGain[1] = 40000;
  c.channelOffset[0] = -32768, c.channelOffset[1] = 12;
  c.channelRange[0] = 9999, c.channelRange[1] = 4294967295u;
  const std::string head = "SDKVersion,1.2.2.3\nIP,192.168.0.10\nGain,1\n";
  const std::string scan = "Channel Count,2\nSample Rate,64000\nSample Count,0\nExternal Trigger,8\nTransfer Mode,3\n";

  ScanConfig k10 = c;
  strcpy(k10.moduleName, "RX-5K10");
  k10.hasSyncMode = true, k10.syncMode = 1, k10.channelLines = ChannelLines::kGainOffset;
  EXPECT_EQ(FormatScanConfig(k10), "Module Name,RX-5K10\n" + head + scan +
                                       "Sync Mode,1\nCH0\nCH1\nCH0,Gain,32768, Offset,-32768\n"
                                       "CH1,Gain,40000, Offset,12\n");
  ScanConfig k30 = c;
  strcpy(k30.moduleName, "RX-5K30");
  k30.hasRange = true, k30.range = 5000, k30.channelLines = ChannelLines::kGainOffset;
  EXPECT_EQ(FormatScanConfig(k30), "Module Name,RX-5K30\n" + head + "Range,5000\n" + scan +
                                       "CH0\nCH1\nCH0,Gain,32768, Offset,-32768\n"
                                       "CH1,Gain,40000, Offset,12\n");
  ScanConfig bn = c;
  strcpy(bn.moduleName, "RX-BN500");
  bn.channelLines = ChannelLines::kRangeOffset;
  EXPECT_EQ(FormatScanConfig(bn), "Module Name,RX-BN500\n" + head + scan +
                                      "CH0,Range,9999, Offset,-32768\nCH1,Range,4294967295, Offset,12\n");
  ScanConfig slot = c;
  strcpy(slot.moduleName, "D3054Ws");
  EXPECT_EQ(FormatScanConfig(slot), "Module Name,D3054Ws\n" + head + scan);

  // The start-time line stays one line; a file that cannot be made is reported.
  nivex::test::TempFolder t;
  const std::string path = t / "IP_1.config";
  ASSERT_EQ(WriteScanConfig(path.c_str(), slot), 1);
  ASSERT_EQ(AppendStartTime(path.c_str(), "2024/03/05 14:07:09.123\r"), 1);
  EXPECT_EQ(nivex::test::ReadFile(path), FormatScanConfig(slot) + "Start Sampling Time,2024/03/05 14:07:09.123\n");
  EXPECT_EQ(WriteScanConfig((t / "missing/x.config").c_str(), k30), 0);

  // A calibration factor x 1000 never wraps.
  EXPECT_EQ((std::vector<uint32_t>{Milli(10.5), Milli(-0.5), Milli(1e12), Milli(std::nan(""))}),
            (std::vector<uint32_t>{10500, 0, 4294967295u, 0}));
}

TEST(ScanLogFormat, KeysAndSectionsMatchWhole) {
  // Channel 10's line first, key-like texts inside other lines, a repeated key, CR LF lines,
  // values as the C integer conversion reads them.
  const std::string text =
      "junk line\r\nCH10,Gain,1010, Offset,-10\r\nCH1 ,Gain,7\nCH01,Gain,9\nCH1,Gain,1001, Offset,-1\r\n"
      "CH0,Gain,5, Offset,-5\nGain,3\r\nGain,4\nModule Name,RX-5K30\r\nSDKVersion,1.2.2.3\n"
      "Channel Count, 12abc\nSample Rate,x\nSample Count,-99999999999999999999\nRange,2500\n"
      "CH200,Gain,1\nCH2,Gain,99999, Offset,99999999999\n";
  ScanConfig c;
  ASSERT_EQ(ParseScanConfig(text, &c), ConfigRead::kOk);
  EXPECT_STREQ(c.moduleName, "RX-5K30");
  EXPECT_EQ(c.gain, 3);
  EXPECT_EQ(c.range, 2500u);
  EXPECT_EQ(c.channelCount, 12);
  EXPECT_EQ(c.sampleRate, 0);
  EXPECT_EQ(c.sampleCount, INT64_MIN);
  EXPECT_EQ(ParseInteger(c.sdkVersion), 1);
  for (const auto& [ch, gain, offset] : std::vector<std::tuple<int, int, int>>{
           {0, 5, -5}, {1, 1001, -1}, {2, 65535, 2147483647}, {3, 0, 0}, {10, 1010, -10}}) {
    EXPECT_EQ(c.channelGain[ch], gain) << ch;
    EXPECT_EQ(c.channelOffset[ch], offset) << ch;
  }
  ScanConfig none;
  EXPECT_EQ(ParseScanConfig("Gain,1\nModule Names,X\n", &none), ConfigRead::kNoModuleName);
  EXPECT_EQ(ParseScanConfig("", &none), ConfigRead::kUnreadable);
}

// A locale whose decimal separator is ',' (built from the system's sources when none is
// installed); false when none can be had.
bool CommaLocale(const nivex::test::TempFolder& t) {
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8"})
    if (setlocale(LC_NUMERIC, name) != nullptr) return true;
  const std::string cmd = "localedef -i de_DE -f UTF-8 " + t / "de_DE.UTF-8" + " >/dev/null 2>&1";
  if (system(cmd.c_str()) != 0) return false;
  setenv("LOCPATH", t.c(), 1);
  return setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
}

TEST(ScanLogFormat, TextRowsAreChunkedAndLocaleFree) {
  // The reference: the C library's "%0.Nlf" in the "C" locale.
  std::mt19937 gen(7);
  std::uniform_real_distribution<double> dist(-12.0, 12.0);
  std::vector<double> values = {1.25, -1.25, 0.0, -0.0, 0.000005, 0.125, 2.5e-8, 9.99999995};
  for (int i = 0; i < 2000; ++i) values.push_back(dist(gen));
  for (int decimals : {kTextDecimals16Bit, kTextDecimals24Bit, kTextDecimalsSlot}) {
    std::string want;
    char item[64];
    for (size_t i = 0; i < values.size(); ++i) {
      snprintf(item, sizeof item, "%0.*lf%s", decimals, values[i], i % 3 == 2 ? "\r\n" : ",");
      want += item;
    }
    // Chunks of 1, 2, 3, ... values continue each other's rows.
    TextRows rows(3, decimals);
    std::string got;
    for (size_t i = 0, chunk = 1; i < values.size(); i += chunk++) {
      for (size_t k = i; k < std::min(values.size(), i + chunk); ++k) rows.Append(values[k]);
      got += rows.Text();
      rows.Clear();
    }
    EXPECT_EQ(got, want) << decimals;
    EXPECT_EQ(rows.Phase(), values.size() % 3);
  }

  nivex::test::TempFolder t;
  if (!CommaLocale(t)) GTEST_SKIP() << "no locale with a decimal comma";
  char probe[16];
  snprintf(probe, sizeof probe, "%0.1lf", 1.5);
  EXPECT_STREQ(probe, "1,5");  // the application's locale is in force
  TextRows rows(2, kTextDecimals16Bit);
  rows.Append(1.25), rows.Append(-2.5);
  EXPECT_EQ(rows.Text(), "1.25000,-2.50000\r\n");
  const std::string text = rows.Text();
  const char* p = text.c_str();
  double a = 0, b = 0;
  EXPECT_TRUE(NextTextValue(&p, text.c_str() + text.size(), &a));
  EXPECT_TRUE(NextTextValue(&p, text.c_str() + text.size(), &b));
  EXPECT_FALSE(NextTextValue(&p, text.c_str() + text.size(), &b));
  EXPECT_EQ(a, 1.25);
  setlocale(LC_NUMERIC, "C");
}

TEST(ScanLogFormat, LogTagDraws) {
  using R = cRandom<unsigned int>;
  EXPECT_EQ(R::Map(0, 1, 0xFFFF), 1u);
  EXPECT_EQ(R::Map(0x7FFFFFFF, 1, 0xFFFF), 0xFFFFu);
  EXPECT_EQ(R::Map(0xFFFFFFFF, 1, 0xFFFF), 0xFFFFu);  // a wider generator is held to its range
  EXPECT_EQ(R::Map(12345, 7, 0), 7u);
  // Two draws in the same second are equal (retried when the second turns between them).
  for (int attempt = 0; attempt < 3; ++attempt) {
    const time_t before = time(nullptr);
    const unsigned int a = NewLogTag(), b = NewLogTag();
    if (time(nullptr) != before) continue;
    EXPECT_EQ(a, b);
    EXPECT_TRUE(a >= 1 && a <= 0xFFFF) << a;
    return;
  }
  FAIL() << "the clock kept turning";
}

}  // namespace
