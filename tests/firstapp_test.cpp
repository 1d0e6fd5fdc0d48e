// The firstapp sample as a process against an emulated RX5K10: its reads, its scan and the log
// it writes and reads back follow the emulator's inputs, and it ends with status 0.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "tests/common/ChildProcess.h"
#include "tests/common/TestSupport.h"

namespace {

using nivex::test::BuiltProgram;
using nivex::test::ChildProcess;

TEST(Firstapp, ReadsScansLogsAndReadsTheLogBack) {
  auto emu = nivex::test::StartEmulator(nivex::emu::Model::RX5K10);
  ASSERT_TRUE(emu);
  const double volts[4] = {1.5, -2.0, 0.25, 3.0};
  for (int ch = 0; ch < 4; ++ch) emu->SetSignal(ch, volts[ch]);
  nivex::test::TempFolder t;
  ChildProcess run(BuiltProgram("firstapp"), {emu->options().ip}, "", t.str());
  ASSERT_TRUE(run.started());
  const std::string out = run.Read("", 60000);
  EXPECT_EQ(run.Stop(0), 0) << out;
  EXPECT_NE(out.find("scan: 4000 of 4000 samples\n"), std::string::npos) << out;
  EXPECT_NE(out.find("log read back: 2000 of 2000 samples\n"), std::string::npos) << out;
  // Each channel's one-shot read, scan mean and log mean.
  for (int ch = 0; ch < 4; ++ch) {
    const std::regex line("(input|channel) " + std::to_string(ch) + "(:| mean) (-?[0-9.]+) V");
    int seen = 0;
    for (std::sregex_iterator i(out.begin(), out.end(), line), end; i != end; ++i, ++seen)
      EXPECT_NEAR(std::stod((*i)[3]), volts[ch], 0.01) << i->str();
    EXPECT_EQ(seen, 3) << ch;
  }
}

}  // namespace
