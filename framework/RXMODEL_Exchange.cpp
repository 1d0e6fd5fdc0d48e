// The command exchange of MODEL: one command line out, one reply line back.
//
// Each exchange holds the device's exchange lock from the drain to the reply, so the
// application and the device's worker never receive each other's replies. A reply the
// connection still owes (the one of an earlier command that timed out, or of a worker's
// exchange cut short by a stop) is never waited for: the device opens its command connection
// again before the next command, so that reply goes to the closed connection and no later
// command can take it. Whatever else is waiting on the socket is dropped before the command
// goes out. The reply is collected piece by piece until a piece ends in CR; the wait is a
// poll() on the time that is left, so a reply is taken as soon as it arrives. An exchange the
// device's worker makes also ends when a stop is requested, so the stop never waits for the
// module.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "framework/RXMODEL_Class.h"
#include "framework/WorkerSlot.h"
#include "support/FaultText.h"
#include "support/tcp.h"
#include "support/utility.h"

namespace nivex {
namespace {

constexpr size_t kLineSize = 256;   // a command with its CR; one receive; a SendRec reply
constexpr size_t kMaxCommand = kLineSize - 2;  // 254 characters
constexpr size_t kSendRec2DefaultSize = 1024;  // the reply buffer of SendRec2's one caller
constexpr int kReopenWaitMs = 1000;  // the connection attempt of a command without a time-out

// Milliseconds to wait for the next piece so that, once they have passed, the time-out has
// been exceeded (the exchange gives up only when the elapsed time is greater than it).
int WaitMs(double timeoutMs, double elapsedMs) {
  const double left = timeoutMs - elapsedMs;
  if (left < 0) return 0;
  if (left > INT_MAX / 2) return INT_MAX / 2;
  return static_cast<int>(left) + 1;
}

// What one exchange collected: the first `capacity` bytes of the reply are kept in buf, and
// total counts every byte received, the ones that did not fit included.
struct Collected {
  char* buf;
  size_t capacity;
  size_t total = 0;

  void Append(const char* piece, size_t n) {
    if (total < capacity) {
      const size_t room = capacity - total;
      std::memcpy(buf + total, piece, n < room ? n : room);
    }
    total += n;
  }
};

// How a wait for a reply line ended.
enum class LineEnd { Complete, TimedOut, Stopped, Ended };

// Waits up to ms for sock to become readable: 1 readable, 0 not yet, -1 the socket is
// unusable. On a device's worker thread the wait also watches the worker's wake-up: -2 when a
// stop was requested and nothing came (the worker gives its exchange up at once).
int WaitReply(int sock, int ms) {
  const int wake = WorkerSlot::CurrentWake();
  if (wake < 0) return detail::WaitReadable(sock, ms);
  pollfd p[2] = {{sock, POLLIN, 0}, {wake, POLLIN, 0}};
  const int r = poll(p, 2, ms);
  if (r < 0) return errno == EINTR ? 0 : -1;
  if (p[0].revents & POLLNVAL) return -1;
  if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) return 1;  // a reply that came is taken
  return p[1].revents != 0 ? -2 : 0;
}

// Receives pieces on sock, each into got (dropped when got is null), until one ends in CR or
// more than timeoutMs have passed since start. Complete when the CR came; TimedOut on time-out;
// Ended when the connection ended or failed (no reply can come then); Stopped when the worker
// making the exchange was asked to stop.
LineEnd ReceiveLine(Chronum& clock, int sock, double start, int timeoutMs, Collected* got) {
  for (;;) {
    const double elapsed = clock.GetTimeTicks() - start;
    if (elapsed > timeoutMs) return LineEnd::TimedOut;
    const int ready = WaitReply(sock, WaitMs(timeoutMs, elapsed));
    if (ready == -2) return LineEnd::Stopped;
    if (ready < 0) return LineEnd::Ended;  // the socket itself is unusable: no reply can come
    if (ready == 0) continue;
    char piece[kLineSize];
    const ssize_t n = recv(sock, piece, sizeof(piece), MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      return LineEnd::Ended;  // connection reset or failed
    }
    if (n == 0) return LineEnd::Ended;  // the module closed the connection
    if (got != nullptr) got->Append(piece, static_cast<size_t>(n));
    if (piece[n - 1] == '\r') return LineEnd::Complete;
  }
}

// Tells the connection behind a socket from a later one that reuses its descriptor number.
unsigned long long ConnectionOf(int sock) {
  struct stat st;
  return fstat(sock, &st) == 0 ? static_cast<unsigned long long>(st.st_ino) : 0;
}

// Sends command (len characters, no CR) with a CR and, unless got is null (the module sends no
// reply), collects the reply into `got` until a received piece ends in CR. The caller holds the
// exchange lock and has settled what the connection owed (MODEL::ForgoOwedReply). Whatever
// waits on the socket is dropped first. 1 on success; 0 with 0x1700A for a failed or short
// send, 0x17002 when no complete reply came within timeoutMs (or the connection ended or
// failed, after which none can come) or the worker making the exchange was asked to stop;
// the connection then owes that reply (unless it ended).
int Transact(MODEL::OwedReply& owed, Chronum& clock, int sock, const char* command, size_t len,
             int timeoutMs, Collected* got) {
  char line[kLineSize];
  std::memcpy(line, command, len);
  line[len] = '\r';

  const double start = clock.GetTimeTicks();
  tcp_drain(sock);
  const ssize_t sent = tcp_send(sock, line, len + 1);
  if (sent != static_cast<ssize_t>(len + 1)) return Fail(QZ_ERR_DEVICE_SEND);
  if (got == nullptr) return 1;
  const LineEnd end = ReceiveLine(clock, sock, start, timeoutMs, got);
  if (end == LineEnd::Complete) return 1;
  if (end != LineEnd::Ended) owed = MODEL::OwedReply{true, sock, ConnectionOf(sock)};
  return Fail(QZ_ERR_DEVICE_READ_TIMEOUT);
}

// 1 with the command's length in *len, or 0 (error 0x1300C, nothing sent) for a null command
// or reply buffer or a command longer than 254 characters.
int CheckedCommandLength(const char* command, const char* reply, size_t* len) {
  if (command == nullptr || reply == nullptr) return Fail(QZ_ERR_INVALID_ARGUMENT);
  *len = strnlen(command, kMaxCommand + 1);
  if (*len > kMaxCommand) return Fail(QZ_ERR_INVALID_ARGUMENT);
  return 1;
}

}  // namespace

int MODEL::ReopenCommandSocket(int waitMs) {
  return ReconnectTcp(CommandSocket(), IP, cmdPort, waitMs);
}

int MODEL::ForgoOwedReply(int sock, int timeoutMs) {
  if (!owedReply.due) return 1;
  // A later connection behind the same number (the device connected again) owes nothing.
  if (owedReply.sock == sock && owedReply.connection == ConnectionOf(sock) &&
      !ReopenCommandSocket(timeoutMs > 0 ? timeoutMs : kReopenWaitMs))
    return Fail(QZ_ERR_OPEN_DEVICE);
  owedReply = OwedReply{};
  return 1;
}

int MODEL::SendRec(int sock, char* command, char* reply, int timeoutMs) {
  return SendRec(sock, command, reply, timeoutMs, nullptr);
}

int MODEL::SendRec(int sock, char* command, char* reply, int timeoutMs, size_t* received) {
  if (received != nullptr) *received = 0;
  size_t len = 0;
  if (!CheckedCommandLength(command, reply, &len)) return 0;

  char buf[kLineSize];
  Collected got{buf, sizeof(buf)};
  {
    std::lock_guard<std::recursive_mutex> lock(exchangeMutex);
    if (!ForgoOwedReply(sock, timeoutMs) ||
        !Transact(owedReply, *watchdogClock, sock, command, len, timeoutMs, &got))
      return 0;
  }
  // The joined reply without its final CR, at most 255 characters.
  size_t n = got.total - 1;
  if (received != nullptr) *received = n;
  if (n > kLineSize - 1) n = kLineSize - 1;
  std::memcpy(reply, buf, n);
  reply[n] = '\0';
  return 1;
}

int MODEL::SendOnly(int sock, const char* command) {
  size_t len = 0;
  if (!CheckedCommandLength(command, command, &len)) return 0;  // there is no reply buffer
  std::lock_guard<std::recursive_mutex> lock(exchangeMutex);
  return ForgoOwedReply(sock, 0) &&
         Transact(owedReply, *watchdogClock, sock, command, len, 0, nullptr);
}

int MODEL::Exchange(int sock, char* reply, int timeoutMs, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int ok = VExchange(sock, reply, timeoutMs, format, args);
  va_end(args);
  return ok;
}

int MODEL::VExchange(int sock, char* reply, int timeoutMs, const char* format, va_list args) {
  static_assert(kExchangeReplySize == sizeof(ReplyLine::text), "a reply buffer holds one line");
  ReplyLine line;
  const int ok = VExchange(sock, &line, timeoutMs, format, args);
  std::memcpy(reply, line.text, sizeof(line.text));
  return ok;
}

int MODEL::Exchange(int sock, ReplyLine* reply, int timeoutMs, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int ok = VExchange(sock, reply, timeoutMs, format, args);
  va_end(args);
  return ok;
}

int MODEL::VExchange(int sock, ReplyLine* reply, int timeoutMs, const char* format,
                     va_list args) {
  static_assert(sizeof(ReplyLine::text) == kLineSize, "a SendRec reply fills one line");
  reply->text[0] = '\0';  // SendRec leaves the reply alone when it fails
  reply->received = 0;
  char command[kLineSize];
  const int n = std::vsnprintf(command, sizeof(command), format, args);
  if (n < 0 || n > static_cast<int>(kMaxCommand)) return Fail(QZ_ERR_INVALID_ARGUMENT);
  return SendRec(sock, command, reply->text, timeoutMs, &reply->received);
}

int MODEL::SendRec2(int sock, char* command, char* reply, int timeoutMs) {
  return SendRec2(sock, command, reply, timeoutMs, kSendRec2DefaultSize);
}

int MODEL::SendRec2(int sock, char* command, char* reply, int timeoutMs, size_t replySize) {
  return SendRec2(sock, command, reply, timeoutMs, replySize, nullptr, nullptr);
}

int MODEL::SendRec2(int sock, char* command, char* reply, int timeoutMs, size_t replySize,
                    char* lead, size_t* received) {
  if (lead != nullptr) *lead = '\0';
  if (received != nullptr) *received = 0;
  if (replySize == 0) return Fail(QZ_ERR_INVALID_ARGUMENT);
  size_t len = 0;
  if (!CheckedCommandLength(command, reply, &len)) return 0;

  Collected got{reply, replySize - 1};
  int ok;
  {
    std::lock_guard<std::recursive_mutex> lock(exchangeMutex);
    ok = ForgoOwedReply(sock, timeoutMs) &&
         Transact(owedReply, *watchdogClock, sock, command, len, timeoutMs, &got);
  }
  // The collected text loses its last four bytes (the CR and the three characters before
  // it); what remains is cut to the buffer. A failed exchange leaves what arrived, terminated.
  if (lead != nullptr && got.total > 0 && got.capacity > 0) *lead = reply[0];
  size_t n = got.total;
  if (ok) n = n >= 4 ? n - 4 : 0;
  if (received != nullptr) *received = n;
  if (n > replySize - 1) n = replySize - 1;
  reply[n] = '\0';
  return ok;
}

int MODEL::IsDataAvailable_2(int sock, int seconds) {
  if (sock < 0 || seconds < 0) {
    const int e = sock < 0 ? EBADF : EINVAL;
    errno = e;
    _SetLastError(static_cast<unsigned int>(e));
    return -1;
  }
  const long long budget = static_cast<long long>(seconds) * 1000;
  const long long deadline = GetNowMillisecond() + budget;
  pollfd p{sock, POLLIN | POLLPRI, 0};
  long long left = budget;
  for (;;) {
    const int wait = left > INT_MAX ? INT_MAX : static_cast<int>(left);
    const int r = poll(&p, 1, wait);
    if (r >= 0) break;
    if (errno != EINTR) {
      _SetLastError(static_cast<unsigned int>(errno));
      return -1;
    }
    left = deadline - GetNowMillisecond();
    if (left < 0) left = 0;
  }
  if (p.revents & POLLNVAL) {
    errno = EBADF;
    _SetLastError(EBADF);
    return -1;
  }
  // As a select on the read and the exception set: ready sockets counted per set; only the
  // read set makes a result.
  if (p.revents & (POLLIN | POLLHUP | POLLERR)) return (p.revents & POLLPRI) ? 2 : 1;
  return 0;
}

}  // namespace nivex
