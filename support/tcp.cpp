// TCP connections, socket polls and the module name service.
#include "support/tcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/Chronum.h"
#include "support/utility.h"

namespace nivex {
namespace {

constexpr int kConnectWaits = 5;
constexpr int kConnectWaitMs = 10000;
constexpr int kDataRcvBuf = 32768;
constexpr unsigned kNameServiceBudgetMs = 1000;
constexpr int kReplySize = 256;  // one name-service reply, NUL included
constexpr int kWriteBudgetMs = 1000;

// poll() on one descriptor, resumed after EINTR with the time that is left.
// timeoutMs < 0 waits without end. Returns poll's result; revents in *revents.
int PollOne(int fd, short events, int timeoutMs, short* revents) {
  pollfd p{};
  p.fd = fd;
  p.events = events;
  const int64_t deadline = timeoutMs < 0 ? 0 : GetNowMillisecond() + timeoutMs;
  int wait = timeoutMs;
  for (;;) {
    p.revents = 0;
    const int r = poll(&p, 1, wait);
    if (r >= 0) {
      *revents = p.revents;
      return r;
    }
    if (errno != EINTR) return -1;
    if (timeoutMs >= 0) {
      const int64_t left = deadline - GetNowMillisecond();
      wait = left > 0 ? static_cast<int>(left) : 0;
    }
  }
}

void PrintConnectFailed(const char* ip, int port) {
  printf("connect to host %s:%d failed.\n", ip, port);
  fflush(stdout);
}

void PrintLine(const char* text) {
  printf("%s\n", text);
  fflush(stdout);
}

// Receives whole items of itemSize bytes, at most n of them, never a partial item.
int ReadItems(int fd, void* buf, int n, size_t itemSize, bool pollFirst) {
  if (n <= 0 || buf == nullptr) return 0;
  if (static_cast<size_t>(n) > SIZE_MAX / itemSize) return -1;
  const size_t want = static_cast<size_t>(n) * itemSize;
  if (pollFirst) {
    const int ready = detail::WaitReadable(fd, 0);
    if (ready < 0) return -1;
    if (ready == 0) return 0;
  }
  int avail = 0;
  if (ioctl(fd, FIONREAD, &avail) < 0) return -1;
  if (avail <= 0) {
    // Nothing pending: tell an end of stream or a socket error from an idle socket. A read
    // without the poll is one plain receive, which fails with a would-block error on an
    // idle socket.
    char probe;
    const ssize_t r = recv(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
    if (r < 0 && !pollFirst && errno != EINTR) return -1;
    return 0;
  }
  size_t take = static_cast<size_t>(avail) / itemSize * itemSize;
  if (take > want) take = want;
  if (take == 0) return 0;
  size_t got = 0;
  while (got < take) {
    const ssize_t r = recv(fd, static_cast<char*>(buf) + got, take - got, MSG_DONTWAIT);
    if (r > 0) {
      got += static_cast<size_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && got == 0) return -1;
    break;  // the pending bytes were announced; anything else is a vanished peer
  }
  return static_cast<int>(got / itemSize);
}

int WriteItems(int fd, const void* buf, int n, size_t itemSize) {
  if (n <= 0 || buf == nullptr) return 0;
  if (static_cast<size_t>(n) > SIZE_MAX / itemSize) return -1;
  const size_t bytes = static_cast<size_t>(n) * itemSize;
  if (tcp_send_all(fd, buf, bytes, kWriteBudgetMs) != static_cast<ssize_t>(bytes)) return -1;
  return n;
}

// Sends a 3-byte name-service request and collects the reply into buf (kReplySize
// bytes, zeroed here) until its line end, a full buffer, or the end of the budget.
// Returns the number of bytes received, 0 when nothing usable came.
int NameServiceQuery(int fd, const char* request, char* buf) {
  memset(buf, 0, kReplySize);
  if (tcp_send(fd, request, 3) != 3) return 0;
  const unsigned start = GetTickCount();
  int n = 0;
  for (;;) {
    const unsigned elapsed = GetTickCount() - start;
    if (elapsed > kNameServiceBudgetMs) break;
    const int ready =
        detail::WaitReadable(fd, static_cast<int>(kNameServiceBudgetMs - elapsed) + 1);
    if (ready < 0) return 0;
    if (ready == 0) continue;
    const ssize_t r = recv(fd, buf + n, static_cast<size_t>(kReplySize - n), MSG_DONTWAIT);
    if (r == 0) break;  // the module closed: no more will come
    if (r < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      break;
    }
    n += static_cast<int>(r);
    const char last = buf[n - 1];
    if (last == '\r' || last == '\n' || n >= kReplySize) break;
  }
  return n;
}

}  // namespace

unsigned int GetTickCount() { return static_cast<unsigned int>(GetNowMillisecond()); }

int WSAGetLastError() { return errno; }

namespace detail {

int WaitReadable(int fd, int timeoutMs) {
  if (fd < 0) {
    errno = EBADF;
    return -1;
  }
  short revents = 0;
  const int r = PollOne(fd, POLLIN, timeoutMs, &revents);
  if (r < 0) return -1;
  if (r == 0) return 0;
  if (revents & POLLNVAL) {
    errno = EBADF;
    return -1;
  }
  return (revents & (POLLIN | POLLHUP | POLLERR)) ? 1 : 0;
}

int OpenTcpImpl(const char* ip, int port, int rcvbuf, bool quietSocketError, int waits,
                int waitMs) {
  if (ip == nullptr) return -1;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    if (!quietSocketError) {
      printf("useSocket==SOCKET_ERROR err code %d\n", errno);
      fflush(stdout);
    }
    return -1;
  }
  if (rcvbuf > 0) {
    // The result is not examined: the system keeps its own size when it refuses.
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  if (port <= 0 || port > 65535 || inet_pton(AF_INET, ip, &addr.sin_addr) != 1) {
    PrintConnectFailed(ip, port);
    close(fd);
    return -1;
  }
  addr.sin_port = htons(static_cast<uint16_t>(port));
  const int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    PrintConnectFailed(ip, port);
    close(fd);
    return -1;
  }
  const sockaddr* sa = reinterpret_cast<const sockaddr*>(&addr);
  if (connect(fd, sa, sizeof(addr)) == 0) return fd;
  // An interrupted non-blocking connect goes on in the background like one in progress.
  if (errno != EINPROGRESS && errno != EINTR) {
    PrintConnectFailed(ip, port);
    close(fd);
    return -1;
  }
  for (int i = 0; i < waits; ++i) {
    short revents = 0;
    const int r = PollOne(fd, POLLIN | POLLOUT, waitMs, &revents);
    if (r < 0) {
      PrintLine("select error");
      close(fd);
      return -1;
    }
    if (r == 0) {
      PrintLine("select time out");
      continue;
    }
    // Ready: the attempt has ended one way or the other; the socket error tells which.
    int soerr = 0;
    socklen_t len = sizeof(soerr);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len) < 0 || soerr != 0) {
      PrintConnectFailed(ip, port);
      close(fd);
      return -1;
    }
    if (connect(fd, sa, sizeof(addr)) == 0 || errno == EISCONN) return fd;
    if (errno == EALREADY || errno == EINPROGRESS || errno == EINTR) continue;
    PrintConnectFailed(ip, port);
    close(fd);
    return -1;
  }
  close(fd);
  return -1;
}

void ParseModuleName(const char* reply, int n, char* name) {
  char buf[kReplySize + 1] = {};
  if (n > kReplySize) n = kReplySize;
  if (n > 0) memcpy(buf, reply, static_cast<size_t>(n));
  if (n > 0) buf[n - 1] = '\0';
  // Position 2 onwards; the zeroed buffer makes a reply of one or two bytes an empty name.
  const size_t len = strnlen(buf + 2, kModuleNameSize - 1);
  memcpy(name, buf + 2, len);
  name[len] = '\0';
}

void ParseFirmware(const char* reply, int n, unsigned short* version, char* date) {
  char buf[kReplySize + 1] = {};
  if (n > kReplySize) n = kReplySize;
  if (n > 0) memcpy(buf, reply, static_cast<size_t>(n));
  if (n > 0) buf[n - 1] = '\0';
  int i = 4;
  for (; i < n - 4; ++i) {
    if (buf[i] == ' ') {
      buf[i] = '\0';
      break;
    }
  }
  // In 64 bits on every build: a long number keeps its low 16 bits also where long is 32.
  *version = static_cast<unsigned short>(strtoll(buf + 3, nullptr, 16) & 0xFFFF);
  const size_t len = strnlen(buf + i + 1, kFirmwareDateSize - 1);
  memcpy(date, buf + i + 1, len);
  date[len] = '\0';
}

}  // namespace detail

int OpenTcp(const char* ip, int port, int /*timeout*/) {
  return detail::OpenTcpImpl(ip, port, 0, false, kConnectWaits, kConnectWaitMs);
}

int OpenTcp_DataPort(const char* ip, int port, int /*timeout*/) {
  return detail::OpenTcpImpl(ip, port, kDataRcvBuf, true, kConnectWaits, kConnectWaitMs);
}

int ReconnectTcp(int fd, const char* ip, int port, int waitMs) {
  if (fd < 0) return 0;
  const int fresh = detail::OpenTcpImpl(ip, port, 0, false, 1, waitMs);
  if (fresh < 0) return 0;
  int r;
  do {
    r = dup3(fresh, fd, O_CLOEXEC);
  } while (r < 0 && errno == EINTR);
  close(fresh);
  return r == fd ? 1 : 0;
}

void CloseTcp(int fd) {
  if (fd >= 0) close(fd);
}

int IsDataAvailable(int fd, int seconds) {
  if (seconds < 0) {
    errno = EINVAL;
    return -1;
  }
  const int ms = seconds > INT_MAX / 1000 ? INT_MAX : seconds * 1000;
  return detail::WaitReadable(fd, ms);
}

int IsConnected(int fd) { return fd >= 0 ? 1 : 0; }

ssize_t tcp_send(int fd, const void* buf, size_t n) {
  for (;;) {
    const ssize_t r = send(fd, buf, n, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    return r;
  }
}

ssize_t tcp_send_all(int fd, const void* buf, size_t n, int timeoutMs) {
  const char* p = static_cast<const char*>(buf);
  size_t sent = 0;
  const int64_t deadline = GetNowMillisecond() + (timeoutMs < 0 ? 0 : timeoutMs);
  while (sent < n) {
    const ssize_t r = tcp_send(fd, p + sent, n - sent);
    if (r > 0) {
      sent += static_cast<size_t>(r);
      continue;
    }
    if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    const int64_t left = deadline - GetNowMillisecond();
    if (left <= 0) return -1;
    short revents = 0;
    const int w = PollOne(fd, POLLOUT, static_cast<int>(left), &revents);
    if (w < 0) return -1;
    if (w == 0) return -1;
    if (revents & (POLLERR | POLLHUP | POLLNVAL)) return -1;
  }
  return static_cast<ssize_t>(n);
}

size_t tcp_drain(int fd) {
  if (fd < 0) return 0;
  size_t total = 0;
  char scratch[1024];
  for (;;) {
    const ssize_t r = recv(fd, scratch, sizeof(scratch), MSG_DONTWAIT);
    if (r > 0) {
      total += static_cast<size_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    return total;
  }
}

int ReadChar(int fd, char* buf, int n) { return ReadItems(fd, buf, n, 1, true); }
int ReadShort(int fd, short* buf, int n) { return ReadItems(fd, buf, n, 2, false); }
int ReadLong(int fd, int* buf, int n) { return ReadItems(fd, buf, n, 4, true); }
int ReadFloat(int fd, char* buf, int n) { return ReadItems(fd, buf, n, 4, true); }
int WriteChar(int fd, char* buf, int n) { return WriteItems(fd, buf, n, 1); }
int WriteShort(int fd, short* buf, int n) { return WriteItems(fd, buf, n, 2); }
int WriteLong(int fd, int* buf, int n) { return WriteItems(fd, buf, n, 4); }
int WriteFloat(int fd, char* buf, int n) { return WriteItems(fd, buf, n, 4); }

void GetHostIPByName(char*, char*) {}
void Ipconfig(char*, char*) {}
void GetHostNameByIP(char*, char*) {}
void GetServiceNameByPort(int, char*, char*) {}
void GetServicePortByName(char*, char*, unsigned short*) {}

int GetModuleNameTCP(int fd, char* name) {
  Log("GetModuleNameTCP", "S0");
  if (fd <= 0 || name == nullptr) return 0;
  char buf[kReplySize];
  const int n = NameServiceQuery(fd, "10\r", buf);
  if (n <= 0) return 0;
  detail::ParseModuleName(buf, n, name);
  return 1;
}

int GetFirmVersionDateTCP(int fd, unsigned short* version, char* date) {
  Log("GetFirmVersionDateTCP", "S0");
  if (fd <= 0 || version == nullptr || date == nullptr) return 0;
  char buf[kReplySize];
  const int n = NameServiceQuery(fd, "01\r", buf);
  if (n <= 0) return 0;
  detail::ParseFirmware(buf, n, version, date);
  return 1;
}

}  // namespace nivex
