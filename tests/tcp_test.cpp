// The TCP layer: connection attempts, readability polls, typed transfers, sends.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "support/tcp.h"
#include "tests/common/TestSupport.h"

namespace {

using namespace nivex;
using namespace nivex::test;

// A listener of the test's own on ip (any port), with the given backlog.
struct Listener {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int port = 0;
  Listener(const std::string& ip, int backlog) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
    socklen_t len = sizeof(a);
    bind(fd, reinterpret_cast<sockaddr*>(&a), len);
    listen(fd, backlog);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~Listener() { close(fd); }
};

// A connected pair: the kit's socket from OpenTcp (or OpenTcp_DataPort) and the peer's end.
struct Pair {
  std::string ip = FreshLoopbackAddress();
  Listener l{ip, 8};
  int kit, peer;
  explicit Pair(bool dataPort = false)
      : kit(dataPort ? OpenTcp_DataPort(ip.c_str(), l.port, 1) : OpenTcp(ip.c_str(), l.port, 1)),
        peer(accept4(l.fd, nullptr, nullptr, SOCK_CLOEXEC)) {}
  ~Pair() {
    CloseTcp(kit);
    if (peer >= 0) close(peer);
  }
};

TEST(Tcp, ConnectsNonBlockingAndPollsReadability) {
  Pair p;
  ASSERT_GE(p.kit, 0);
  ASSERT_GE(p.peer, 0);
  EXPECT_TRUE(fcntl(p.kit, F_GETFL) & O_NONBLOCK);
  EXPECT_TRUE(fcntl(p.kit, F_GETFD) & FD_CLOEXEC);
  const long long t0 = NowMs();
  EXPECT_EQ(IsDataAvailable(p.kit, 0), 0);
  EXPECT_LT(NowMs() - t0, 500);
  ASSERT_EQ(send(p.peer, "x", 1, 0), 1);
  EXPECT_EQ(IsDataAvailable(p.kit, 1), 1);
  errno = 0;
  EXPECT_EQ(IsDataAvailable(-1, 0), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(IsDataAvailable(p.kit, -1), -1);

  Pair d(true);
  ASSERT_GE(d.kit, 0);
  int rcv = 0;
  socklen_t len = sizeof(rcv);
  getsockopt(d.kit, SOL_SOCKET, SO_RCVBUF, &rcv, &len);
  EXPECT_GE(rcv, 32768);
}

TEST(Tcp, RefusedOrInvalidTargetsFailAtOnceWithTheirLineAndLeakNothing) {
  const std::string ip = FreshLoopbackAddress();
  const int port = ClosedPort(ip);
  const int fds = CountOpenFds();
  StdoutCapture cap;
  const long long t0 = NowMs();
  EXPECT_EQ(OpenTcp(ip.c_str(), port, 1), -1);
  EXPECT_EQ(OpenTcp_DataPort(ip.c_str(), port, 1), -1);
  EXPECT_LT(NowMs() - t0, 1000);
  EXPECT_EQ(OpenTcp("300.1.2.3", 9999, 1), -1);
  EXPECT_EQ(OpenTcp("localhost", 9999, 1), -1);
  EXPECT_EQ(OpenTcp(ip.c_str(), 70000, 1), -1);
  EXPECT_EQ(OpenTcp(nullptr, 9999, 1), -1);
  const std::string line = "connect to host " + ip + ":" + std::to_string(port) + " failed.\n";
  EXPECT_EQ(cap.Stop(), line + line + "connect to host 300.1.2.3:9999 failed.\n" +
                            "connect to host localhost:9999 failed.\n" + "connect to host " +
                            ip + ":70000 failed.\n");
  EXPECT_EQ(CountOpenFds(), fds);
}

TEST(Tcp, AConnectionThatStaysInProgressEndsAfterItsWaits) {
  // A listener whose queue is full drops further handshakes: the attempt never ends.
  const std::string ip = FreshLoopbackAddress();
  Listener l(ip, 0);
  const int fds = CountOpenFds();
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    const int f = detail::OpenTcpImpl(ip.c_str(), l.port, 0, true, 1, 100);
    if (f >= 0) fillers.push_back(f);
  }
  StdoutCapture cap;
  const long long t0 = NowMs();
  const int fd = detail::OpenTcpImpl(ip.c_str(), l.port, 0, false, 3, 100);
  const long long took = NowMs() - t0;
  const std::string out = cap.Stop();
  for (int f : fillers) close(f);
  if (fd >= 0) {
    close(fd);
    GTEST_SKIP() << "this system completes handshakes beyond the listen queue";
  }
  EXPECT_EQ(out, "select time out\nselect time out\nselect time out\n");
  EXPECT_GE(took, 280);
  EXPECT_LT(took, 1500);
  EXPECT_EQ(CountOpenFds(), fds);
}

TEST(Tcp, PollsWorkOnHighDescriptors) {
  rlimit rl{};
  getrlimit(RLIMIT_NOFILE, &rl);
  if (rl.rlim_cur <= 1600) {
    rl.rlim_cur = rl.rlim_max > 2048 ? 2048 : rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  if (rl.rlim_cur <= 1600) GTEST_SKIP() << "descriptor limit too low";
  Pair p;
  ASSERT_GE(p.kit, 0);
  ASSERT_EQ(dup2(p.kit, 1500), 1500);
  EXPECT_EQ(IsDataAvailable(1500, 0), 0);
  ASSERT_EQ(send(p.peer, "abc", 3, 0), 3);
  EXPECT_EQ(IsDataAvailable(1500, 1), 1);
  close(1500);
}

TEST(Tcp, ASignalDuringAWaitDoesNotEndIt) {
  struct sigaction sa{}, old{};
  sa.sa_handler = [](int) {};  // no SA_RESTART: poll() returns EINTR
  sigaction(SIGUSR1, &sa, &old);
  Pair p;
  ASSERT_GE(p.kit, 0);
  const pthread_t self = pthread_self();
  std::thread t([self] {
    for (int i = 0; i < 5; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(60));
      pthread_kill(self, SIGUSR1);
    }
  });
  const long long t0 = NowMs();
  EXPECT_EQ(IsDataAvailable(p.kit, 1), 0);
  const long long took = NowMs() - t0;
  t.join();
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_GE(took, 950);
  EXPECT_LT(took, 1500);
}

TEST(Tcp, TypedReadsTakeWholeItemsOnly) {
  Pair p;
  ASSERT_GE(p.kit, 0);
  int v[4] = {0, 0, 0, 0};
  EXPECT_EQ(ReadLong(p.kit, v, 4), 0);  // nothing pending
  short idle[2];
  errno = 0;
  EXPECT_EQ(ReadShort(p.kit, idle, 2), -1);  // no poll: the receive itself would block
  EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
  const unsigned char six[6] = {1, 0, 0, 0, 2, 0};
  ASSERT_EQ(send(p.peer, six, 6, 0), 6);
  ASSERT_EQ(IsDataAvailable(p.kit, 1), 1);
  EXPECT_EQ(ReadLong(p.kit, v, 4), 1);
  EXPECT_EQ(v[0], 1);
  EXPECT_EQ(ReadLong(p.kit, v, 4), 0);  // half an item stays in the socket
  ASSERT_EQ(send(p.peer, "\0\0", 2, 0), 2);
  ASSERT_TRUE(WaitUntil([&] { return ReadLong(p.kit, v, 4) == 1; }, 1000));
  EXPECT_EQ(v[0], 2);

  // Counts of zero or less move nothing and never touch the buffer.
  ASSERT_EQ(send(p.peer, "abcd", 4, 0), 4);
  ASSERT_EQ(IsDataAvailable(p.kit, 1), 1);
  char c[4] = {0, 0, 0, 0};
  EXPECT_EQ(ReadChar(p.kit, c, -5), 0);
  EXPECT_EQ(ReadShort(p.kit, reinterpret_cast<short*>(c), 0), 0);
  EXPECT_EQ(ReadChar(p.kit, c, 3), 3);
  EXPECT_EQ(std::string(c, 3), "abc");
  EXPECT_EQ(ReadShort(p.kit, reinterpret_cast<short*>(c), 2), 0);  // one byte left

  // A peer that closed: reads report the end as 0 or -1, never data.
  close(p.peer);
  p.peer = -1;
  EXPECT_EQ(ReadChar(p.kit, c, 4), 1);  // the last byte 'd'
  EXPECT_EQ(c[0], 'd');
  EXPECT_LE(ReadChar(p.kit, c, 4), 0);
}

TEST(Tcp, WritesToAClosedPeerFailWithoutKillingTheProcess) {
  Pair p;
  ASSERT_GE(p.kit, 0);
  short s[3] = {1, 2, 3};
  EXPECT_EQ(WriteShort(p.kit, s, 3), 3);
  char buf[8] = {};
  ASSERT_TRUE(WaitUntil([&] { return recv(p.peer, buf, 6, MSG_DONTWAIT) == 6; }, 1000));
  EXPECT_EQ(buf[0], 1);
  EXPECT_EQ(buf[4], 3);
  EXPECT_EQ(WriteLong(p.kit, nullptr, 2), 0);
  EXPECT_EQ(WriteFloat(p.kit, buf, -1), 0);

  close(p.peer);
  p.peer = -1;
  // SIGPIPE keeps its default (fatal) disposition here: only MSG_NOSIGNAL saves us.
  int failures = 0;
  for (int i = 0; i < 20; ++i) {
    char x = 'x';
    if (WriteChar(p.kit, &x, 1) == -1) ++failures;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_GT(failures, 0);
}

TEST(Tcp, SendAllWaitsForRoomAndDrainEmptiesTheSocket) {
  Pair p;
  ASSERT_GE(p.kit, 0);
  const std::string big(200000, 'z');
  // The peer reads slowly: the non-blocking socket fills up and tcp_send_all waits.
  std::thread reader([&] {
    char buf[4096];
    for (size_t got = 0; got < big.size();) {
      const ssize_t r = recv(p.peer, buf, sizeof(buf), 0);
      if (r <= 0) break;
      got += static_cast<size_t>(r);
    }
  });
  EXPECT_EQ(tcp_send_all(p.kit, big.data(), big.size(), 5000), static_cast<ssize_t>(big.size()));
  reader.join();

  ASSERT_EQ(send(p.peer, big.data(), 3000, 0), 3000);
  ASSERT_TRUE(WaitUntil([&] {
    int n = 0;
    return ioctl(p.kit, FIONREAD, &n) == 0 && n == 3000;
  }, 1000));
  EXPECT_EQ(tcp_drain(p.kit), 3000u);
  EXPECT_EQ(tcp_drain(p.kit), 0u);
  EXPECT_EQ(tcp_drain(-1), 0u);
}

}  // namespace
