// The quillrun sample as a process against an emulated RXBN500, in a working folder of its own
// with standard input a pipe: the whole run and its read-back, q, and the end of the input.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "tests/common/ChildProcess.h"
#include "tests/common/TestSupport.h"

namespace {

using nivex::test::BuiltProgram;
using nivex::test::ChildProcess;
using nivex::test::TempFolder;

const std::string kHead =
    "RX-BNx00 Analog Input Scan Testing \\[N sample mode & Software trigger\\]\r\n"
    "NIVEX SDK Ver=1\\.2\\.2\\.3\r\n"
    "RXBNx00 Firmware Ver=[^\r\n]*\r\n"
    "RX-BNx00 first Scan parameters chCnt 4, useGain 0, triggMode 0, sampleRate ([0-9]+), "
    "targetCnt 1000 \n";

TEST(Quillrun, LogsTheScanAndReadsItBack) {
  auto emu = nivex::test::StartEmulator(nivex::emu::Model::RXBN500);
  ASSERT_TRUE(emu);
  const std::string ip = emu->options().ip;
  std::string p = ip;
  for (char& c : p) c = c == '.' ? '_' : c;
  TempFolder t;
  ChildProcess run(BuiltProgram("quillrun"), {ip}, "", t.str(), true);  // input held open
  ASSERT_TRUE(run.started());
  const std::string out = run.Read("", 40000);
  const std::string want =
      "2," + ip + "\r\n" + kHead + ">>>" + t.str() + "\n\\.*" +
      "Send command to get all acquisition data\\.\\.\\.\n"
      "AP total read 1000\n"
      "ind=1\r\n"
      "0 ==>" +
      t.str() + "/log/" + p + "/[0-9_]{16}/" + p +
      "_[0-9a-f]{4}(_[0-9]+){6}\\.bin\r\n"
      "4, 0, 0, ([0-9]+), 0, 0\r\n"
      "0, 0, 0\r\n1, 0, 0\r\n2, 0, 0\r\n3, 0, 0\r\n"  // the emulator's unity calibration
      "4000, 0\r\n"
      "1000, [0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}\r\n";
  std::smatch m;
  ASSERT_TRUE(std::regex_match(out, m, std::regex(want))) << out;
  EXPECT_EQ(m[1], m[3]);  // the logged rate is the one the module took
  EXPECT_EQ(run.Stop(0), 0);
}

TEST(Quillrun, QuitsOnQAndAtTheEndOfItsInput) {
  auto emu = nivex::test::StartEmulator(nivex::emu::Model::RXBN500);
  ASSERT_TRUE(emu);
  const std::string ip = emu->options().ip;
  for (const std::string input : {"q", ""}) {
    TempFolder t;
    ChildProcess run(BuiltProgram("quillrun"), {ip}, input, t.str());
    ASSERT_TRUE(run.started());
    const std::string out = run.Read("", 20000);
    EXPECT_EQ(run.Stop(0), 0);
    EXPECT_TRUE(std::regex_match(
        out, std::regex("2," + ip + "\r\n" + kHead + ">>>" + t.str() + "\n\\.?" + input)))
        << out;
  }
}

}  // namespace
