// The brookrun sample as a process against an emulated RX5K10: without an argument, and a
// whole scan whose every sample is within 0.5 V of its channel's reference.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "nivex.h"
#include "tests/common/ChildProcess.h"
#include "tests/common/TestSupport.h"

namespace {

using nivex::test::BuiltProgram;
using nivex::test::ChildProcess;

// True when this build runs a scan on the emulator (a handle of its own, released after).
bool ScanStarts(const std::string& ip) {
  void* h = QZ_Device_Create(ip.c_str());
  const bool ok = h != nullptr && QZ_SetAIScanParam(h, 8, 0, 0, 2000, 100, 0, 0) == 1 &&
                  QZ_StartAIScan(h) == 1;
  if (h != nullptr) QZ_StopAIScan(h), QZ_Device_Release(h);
  return ok;
}

TEST(Brookrun, WithoutAnArgument) {
  ChildProcess p(BuiltProgram("brookrun"), {});
  ASSERT_TRUE(p.started());
  EXPECT_EQ(p.Read("", 5000), "error argument\r\n");
  EXPECT_EQ(p.Stop(0), 0);
}

TEST(Brookrun, WholeScanMatchesTheReference) {
  auto emu = nivex::test::StartEmulator(nivex::emu::Model::RX5K10);
  ASSERT_TRUE(emu);
  for (int ch = 0; ch < 8; ++ch) emu->SetSignal(ch, 0.625 * ch - 2.5);
  const std::string ip = emu->options().ip;
  if (!ScanStarts(ip)) GTEST_SKIP() << "no scan on the emulator in this build";
  ChildProcess run(BuiltProgram("brookrun"), {ip});
  ASSERT_TRUE(run.started());
  const std::string out = run.Read("", 30000);

  std::string want = "2," + ip + "\r\n" +
                     "RX-5K10 Analog Input Scan Testing \\[N sample mode & Software trigger\\]\r\n"
                     "NIVEX SDK Ver=1\\.2\\.2\\.3\r\n"
                     "RX5K10 Firmware Ver=V[0-9A-F]+,[^\r\n]*\r\n";
  for (int ch = 0; ch < 8; ++ch) want += std::to_string(ch) + "=(-?[0-9.]+), (-?[0-9.]+)\r\n";
  want +=
      "RX-5K10 first Scan parameters chCnt 8, useGain 0, triggMode 0, sampleRate 2000, "
      "targetCnt 10000 \n"
      "10000 data,[0-9]+\\.[0-9]{6} sec\r\n"
      "AP total read 10000 Error check 0\n";
  std::smatch m;
  ASSERT_TRUE(std::regex_match(out, m, std::regex(want))) << out;
  // The reference and the single reads give the emulator's signal (to the nearest step).
  for (int k = 1; k <= 16; ++k) EXPECT_NEAR(std::stod(m[k]), 0.625 * ((k - 1) / 2) - 2.5, 0.001);
  EXPECT_EQ(run.Stop(0), 0);
}

}  // namespace
