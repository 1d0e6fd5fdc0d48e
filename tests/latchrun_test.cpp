// The latchrun sample as a process: its exact output against nivex-emu, without an argument,
// and the write command of both firmware generations.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "tests/common/ChildProcess.h"
#include "tests/common/TestSupport.h"

namespace {

using nivex::test::BuiltProgram;
using nivex::test::ChildProcess;

std::string ExpectedOutput(const std::string& ip) {
  return "2," + ip + "\r\n" +
         "RX-5K10 Digital I/O Testing\r\n"
         "ver=1.2.2.3\r\n"
         "Read DI=0, DO=0\r\n"
         "Write 0x3 to Digital output, press any key to continue...\r\n"
         "Read DI=0, DO=3\r\n";
}

TEST(Latchrun, WithoutAnArgument) {
  ChildProcess p(BuiltProgram("latchrun"), {});
  ASSERT_TRUE(p.started());
  EXPECT_EQ(p.Read("", 5000), "error argument\r\n");
  EXPECT_EQ(p.Stop(0), 0);
}

TEST(Latchrun, ExactOutputAgainstTheEmulatorProgram) {
  const std::string ip = nivex::test::FreshLoopbackAddress();
  ChildProcess emu(nivex::test::EmulatorProgram(), {"--model", "RX5K10", "--ip", ip}, "");
  ASSERT_TRUE(emu.started());
  ASSERT_NE(emu.Read("ready", 5000).find("ready"), std::string::npos);
  ChildProcess run(BuiltProgram("latchrun"), {ip}, "\n");
  ASSERT_TRUE(run.started());
  EXPECT_EQ(run.Read("", 10000), ExpectedOutput(ip));
  EXPECT_EQ(run.Stop(0), 0);
  EXPECT_EQ(emu.Stop(SIGTERM), 0);
}

TEST(Latchrun, SendsTheWriteTextOfTheModulesFirmware) {
  for (unsigned fw : {0x312u, 0x313u, 0x400u}) {
    auto emu = nivex::test::StartEmulator(nivex::emu::Model::RX5K10,
                                          [&](nivex::emu::Options& o) { o.firmwareVersion = fw; });
    ASSERT_TRUE(emu);
    ChildProcess run(BuiltProgram("latchrun"), {emu->options().ip}, "\n");
    ASSERT_TRUE(run.started());
    EXPECT_EQ(run.Read("", 10000), ExpectedOutput(emu->options().ip)) << std::hex << fw;
    EXPECT_EQ(run.Stop(0), 0);
    std::vector<std::string> dio;
    for (const std::string& c : emu->Commands())
      if (c[0] == '@') dio.push_back(c);
    EXPECT_EQ(dio, (std::vector<std::string>{"@01", fw <= 0x312 ? "@013" : "@01D3", "@01"}));
  }
}

}  // namespace
