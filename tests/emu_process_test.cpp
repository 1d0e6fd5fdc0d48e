// nivex-emu as a separate process: options, the "ready" line, serving, and the exit on
// SIGINT/SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "nivex.h"
#include "tests/common/ChildProcess.h"
#include "tests/common/TestSupport.h"

namespace {

using namespace nivex::test;

TEST(EmuProcess, HelpDocumentsEveryOptionAndBadArgumentsFail) {
  {
    ChildProcess p(EmulatorProgram(), {"--help"});
    ASSERT_TRUE(p.started());
    const std::string text = p.Read("", 5000);
    EXPECT_EQ(p.Stop(0), 0);
    for (const char* opt : {"--model", "--ip", "--cmd-port", "--data-port", "--firmware", "--help",
                            "--hw-version", "--slots", "--signal", "--noise", "--cal", "--reboot",
                            "--reboot-delay", "--fault", "--slot-fault", "--gt-lead", "RX5K10", "RX5K30", "RXBN500",
                            "D4071s", "D3054s"}) {
      EXPECT_NE(text.find(opt), std::string::npos) << opt;
    }
  }
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{}, {"--model", "RX9"}, {"--model", "RX5K10", "--cmd-port", "0"},
        {"--model", "RX5K10", "--firmware", "xyz"}, {"--model", "RX5K10", "--bogus", "1"},
        {"--model"}, {"--model", "RX5K10", "--signal", "1,wave:1:2"},
        {"--model", "RX5K10", "--fault", "boom:$01F"},
        {"--model", "RX5K10", "--cal", "8,0,32768,0"},
        {"--model", "RX5K10", "--reboot", "later"}, {"--model", "D3054s", "--slot-fault", "boom:0"},
        {"--model", "RX5K10", "--slot-fault", "close:0"}}) {
    ChildProcess p(EmulatorProgram(), bad);
    ASSERT_TRUE(p.started());
    EXPECT_EQ(p.Stop(0), 2);
  }
}

TEST(EmuProcess, ServesEachHighSpeedTypeUntilTerminated) {
  const struct {
    const char* model;
    const char* modelName;
    int sig;
  } rows[] = {{"RX5K10", "RX-5K10", SIGTERM}, {"RX5K30", "RX-5K30", SIGINT}, {"RXBN500", "RX-BN500", SIGTERM}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.model);
    const std::string ip = FreshLoopbackAddress();
    ChildProcess p(EmulatorProgram(), {"--model", r.model, "--ip", ip, "--cmd-port", "9999",
                                       "--data-port", "10010", "--firmware", "1A3"});
    ASSERT_TRUE(p.started());
    const std::string out = p.Read("ready", 5000);
    ASSERT_NE(out.find("ready"), std::string::npos) << out;

    // The kit opens the module through it (name service, window, calibration load).
    void* h = QZ_Device_Create((ip + ",9999,10010").c_str());
    ASSERT_NE(h, nullptr) << "error 0x" << std::hex << QZ_GetLastError();
    char text[QZ_REPLY_SIZE] = "";
    EXPECT_EQ(QZ_GetModelName(h, text), 1);
    EXPECT_STREQ(text, r.modelName);
    EXPECT_EQ(QZ_GetFirmwareVersion(h, text), 1);
    EXPECT_STREQ(text, "V1A3,Mar 05 2024 10:11:12");
    EXPECT_EQ(QZ_SendRecv(h, "$01F", text, 1000), 1);
    EXPECT_STREQ(text, "!12");
    EXPECT_EQ(QZ_Device_Release(h), 1);

    // A second instance on the same address cannot listen and says so.
    ChildProcess twin(EmulatorProgram(), {"--model", r.model, "--ip", ip});
    EXPECT_EQ(twin.Stop(0), 1);

    const int cmd = ConnectTo(ip, 9999);
    ASSERT_GE(cmd, 0);
    EXPECT_EQ(Exchange(cmd, "~01WS032768"), "!01");
    EXPECT_EQ(p.Stop(r.sig), 0);
    EXPECT_TRUE(PeerClosed(cmd, 1000));
    close(cmd);
  }
}

// The signals asked for on the command line come back through the kit's reads, through the
// calibration entry given; the other inputs have levels of their own; a fault shapes its
// command's reply.
TEST(EmuProcess, SignalsCalibrationAndFaultsFromTheCommandLine) {
  const std::string ip = FreshLoopbackAddress();
  ChildProcess p(EmulatorProgram(),
                 {"--model", "RX5K10", "--ip", ip, "--signal", "1.5,-2.25,0.75,-4,3.3,sine:2:7",
                  "--cal", "1,0,31000,77", "--fault", "refuse:$01F"});
  ASSERT_TRUE(p.started());
  ASSERT_NE(p.Read("ready", 5000).find("ready"), std::string::npos);
  void* h = QZ_Device_Create((ip + ",9999,10010").c_str());
  ASSERT_NE(h, nullptr) << "error 0x" << std::hex << QZ_GetLastError();
  const double asked[5] = {1.5, -2.25, 0.75, -4, 3.3};
  const double tol = 0.001 + 0.0002;  // the noise and one step
  float v[8] = {};
  float lo = 9, hi = -9;
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(QZ_ReadAIALL(h, 0, v, 8), 1);
    for (int ch = 0; ch < 5; ++ch) EXPECT_NEAR(v[ch], asked[ch], tol) << ch;
    lo = std::min(lo, v[5]);
    hi = std::max(hi, v[5]);
    usleep(7000);
  }
  EXPECT_LE(hi, 2.0 + tol);
  EXPECT_GE(lo, -2.0 - tol);
  EXPECT_GT(hi - lo, 1.0);  // the sine moves
  EXPECT_GT(std::fabs(v[6] - v[7]), 0.1);
  unsigned short gain = 0;
  short offset = 0;
  ASSERT_EQ(QZ_ReadGainOffset(h, 1, 0, &gain, &offset), 1);
  EXPECT_EQ(gain, 31000);
  EXPECT_EQ(offset, 77);
  char text[QZ_REPLY_SIZE] = "";
  EXPECT_EQ(QZ_SendRecv(h, "$01F", text, 1000), 1);
  EXPECT_STREQ(text, "?01");
  EXPECT_EQ(QZ_Device_Release(h), 1);
  EXPECT_EQ(p.Stop(SIGTERM), 0);
}

}  // namespace
