// nivex-emu as a separate process: options, the "ready" line, serving, and the exit on
// SIGINT/SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

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
                            "RX5K10", "RX5K30", "RXBN500", "D4071s", "D3054s"}) {
      EXPECT_NE(text.find(opt), std::string::npos) << opt;
    }
  }
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{}, {"--model", "RX9"}, {"--model", "RX5K10", "--cmd-port", "0"},
        {"--model", "RX5K10", "--firmware", "xyz"}, {"--model", "RX5K10", "--bogus", "1"},
        {"--model"}}) {
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

}  // namespace
