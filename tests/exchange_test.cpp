// The command exchange (SendRec, SendRec2, IsDataAvailable_2) against a scripted peer on the
// other end of a stream socket pair.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "framework/RXMODEL_Class.h"
#include "support/FaultText.h"
#include "support/utility.h"
#include "tests/common/TestSupport.h"

namespace {

using namespace nivex;
using nivex::test::NowMs;

// A device object on one end of a socket pair (non-blocking, as the kit's sockets are); the
// test plays the module on the other end.
class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    host_ = fds[0];
    module_ = fds[1];
    fcntl(host_, F_SETFL, fcntl(host_, F_GETFL) | O_NONBLOCK);
    _ClearLastError();
  }
  void TearDown() override {
    if (peer_.joinable()) peer_.join();
    if (host_ >= 0) close(host_);
    if (module_ >= 0) close(module_);
  }

  // Reads one CR-terminated line on the module's end (blocking, up to 2 s).
  std::string ReadLine() {
    std::string line;
    char c;
    while (true) {
      pollfd p{module_, POLLIN, 0};
      if (poll(&p, 1, 2000) <= 0) return line + "<timeout>";
      if (read(module_, &c, 1) != 1) return line + "<eof>";
      if (c == '\r') return line;
      line += c;
    }
  }
  void Send(const std::string& s) { ASSERT_EQ(write(module_, s.data(), s.size()), (ssize_t)s.size()); }

  int SendRec(const std::string& cmd, char* reply, int timeoutMs) {
    return model_.SendRec(host_, const_cast<char*>(cmd.c_str()), reply, timeoutMs);
  }

  // The device stays on its socket pair when the exchange asks it to connect again.
  struct PairModel : MODEL {
    using MODEL::MODEL;
    int ReopenCommandSocket(int) override { return 1; }
  } model_{"127.0.0.1", 9999, 10010, WRXMODULE[0]};
  int host_ = -1;
  int module_ = -1;
  std::thread peer_;
};

TEST_F(ExchangeTest, ReplyPiecesAreJoinedUpToTheCarriageReturn) {
  char reply[256];
  peer_ = std::thread([this] {
    EXPECT_EQ(ReadLine(), "~01R");
    Send("!0");  // one reply in two pieces
    msleep(30);
    Send("1\r");
    // A reply longer than a line keeps its first 255 characters and is still complete.
    ReadLine();
    Send(std::string(200, 'a'));
    msleep(20);
    Send(std::string(200, 'b') + "\r");
  });
  ASSERT_EQ(SendRec("~01R", reply, 1000), 1);
  EXPECT_STREQ(reply, "!01");
  ASSERT_EQ(SendRec("~01X", reply, 1000), 1);
  EXPECT_EQ(std::string(reply), std::string(200, 'a') + std::string(55, 'b'));
}

TEST_F(ExchangeTest, NoCompleteReplyTimesOut) {
  // A negative time-out sends the command and fails at the first look.
  for (const auto& [timeoutMs, limitMs] : {std::pair{300, 800}, std::pair{-1, 500}}) {
    char reply[256] = "untouched";
    _ClearLastError();
    const long long t0 = NowMs();
    EXPECT_EQ(SendRec("~01N", reply, timeoutMs), 0);
    const long long took = NowMs() - t0;
    EXPECT_EQ(_GetLastError(), (int)QZ_ERR_DEVICE_READ_TIMEOUT);
    EXPECT_GE(took, timeoutMs);
    EXPECT_LT(took, limitMs);
    EXPECT_STREQ(reply, "untouched");
    EXPECT_EQ(ReadLine(), "~01N");  // the command went out
  }
}

TEST_F(ExchangeTest, ModuleThatClosesGivesTimeOutAndSendFailureWithoutSignal) {
  char reply[256];
  peer_ = std::thread([this] {
    ReadLine();
    close(module_);
    module_ = -1;
  });
  EXPECT_EQ(SendRec("~01S", reply, 2000), 0);
  EXPECT_EQ(_GetLastError(), (int)QZ_ERR_DEVICE_READ_TIMEOUT);
  peer_.join();
  EXPECT_EQ(SendRec("~01Z", reply, 200), 0);
  EXPECT_EQ(_GetLastError(), (int)QZ_ERR_DEVICE_SEND);
}

TEST_F(ExchangeTest, LateReplyNeverAnswersTheNextCommand) {
  char reply[256];
  peer_ = std::thread([this] {
    EXPECT_EQ(ReadLine(), "~01N");
    msleep(250);
    Send("!01LATE\r");  // after the host gave up
    EXPECT_EQ(ReadLine(), "~01E");
    Send("!01\r");
  });
  EXPECT_EQ(SendRec("~01N", reply, 100), 0);
  msleep(400);
  ASSERT_EQ(SendRec("~01E", reply, 1000), 1);
  EXPECT_STREQ(reply, "!01");
}

TEST_F(ExchangeTest, OverlongOrMissingTextsAreRefusedWithoutTraffic) {
  char reply[256];
  const std::string longest(254, 'x');
  peer_ = std::thread([&] {
    EXPECT_EQ(ReadLine(), longest);
    Send("!01\r");
  });
  EXPECT_EQ(SendRec(longest, reply, 1000), 1);
  peer_.join();

  EXPECT_EQ(SendRec(std::string(255, 'x'), reply, 1000), 0);
  EXPECT_EQ(_GetLastError(), (int)QZ_ERR_INVALID_ARGUMENT);
  _ClearLastError();
  EXPECT_EQ(model_.SendRec(host_, nullptr, reply, 1000), 0);
  EXPECT_EQ(_GetLastError(), (int)QZ_ERR_INVALID_ARGUMENT);
  pollfd p{module_, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 50), 0);
}

TEST_F(ExchangeTest, SendRec2JoinsPiecesAndCutsTheEndWithinTheBuffer) {
  char reply[1024];
  peer_ = std::thread([this] {
    ReadLine();
    Send("AB");
    msleep(30);
    Send("CDEFG\r");
    ReadLine();
    Send("A\r");  // shorter than what is cut
    ReadLine();
    Send("0123456789");
    msleep(20);
    Send("ABCDEF!01\r");
  });
  ASSERT_EQ(model_.SendRec2(host_, const_cast<char*>("~01SDL000000001"), reply, 1000), 1);
  // The collected text loses the CR and the three characters before it.
  EXPECT_STREQ(reply, "ABCD");
  ASSERT_EQ(model_.SendRec2(host_, const_cast<char*>("~01SDL000000002"), reply, 1000), 1);
  EXPECT_STREQ(reply, "");
  // A buffer of 8 bytes holds 7 characters; the bytes behind it stay untouched.
  char small[8 + 4];
  std::memset(small, '#', sizeof(small));
  ASSERT_EQ(model_.SendRec2(host_, const_cast<char*>("~01SDL000000003"), small, 1000, 8), 1);
  EXPECT_STREQ(small, "0123456");
  EXPECT_EQ(std::string(small + 8, 4), "####");
}

TEST_F(ExchangeTest, ExchangesOfOneDeviceDoNotInterleave) {
  // The module answers every line with its own text after a short pause, so an exchange that
  // is not serialised would take the other thread's reply.
  std::atomic<bool> stop{false};
  peer_ = std::thread([&] {
    while (!stop) {
      std::string line = ReadLine();
      if (line.find('<') != std::string::npos) continue;
      msleep(1);
      Send("!" + line + "\r");
    }
  });
  std::atomic<int> wrong{0};
  auto worker = [&](const char* tag) {
    // The first wrong reply ends the thread's turn: a module that no longer answers costs one
    // time-out, not forty.
    for (int i = 0; i < 40 && wrong == 0; ++i) {
      char reply[256] = {};
      std::string cmd = std::string(tag) + std::to_string(i);
      if (SendRec(cmd, reply, 2000) != 1 || reply != "!" + cmd) {
        ADD_FAILURE() << cmd << " got \"" << reply << "\"";
        ++wrong;
      }
    }
  };
  std::thread a(worker, "~01A"), b(worker, "~01B");
  a.join();
  b.join();
  stop = true;  // the peer ends at its next wait
  EXPECT_EQ(wrong, 0);
}

TEST_F(ExchangeTest, IsDataAvailable2) {
  EXPECT_EQ(model_.IsDataAvailable_2(host_, 0), 0);
  Send("x");
  const long long t0 = NowMs();
  EXPECT_GT(model_.IsDataAvailable_2(host_, 3), 0);
  EXPECT_LT(NowMs() - t0, 1000);  // at once, not after the 3 s
  EXPECT_EQ(model_.IsDataAvailable_2(-1, 0), -1);
  EXPECT_EQ(_GetLastError(), EBADF);
}

}  // namespace
