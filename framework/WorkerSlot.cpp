#include "framework/WorkerSlot.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <system_error>

namespace nivex {

namespace {

// The time left until deadline as a ppoll time-out (0 when it has passed).
timespec Left(WorkerSlot::Clock::time_point deadline) {
  const auto left = deadline - WorkerSlot::Clock::now();
  const long long ns =
      left.count() > 0 ? std::chrono::duration_cast<std::chrono::nanoseconds>(left).count() : 0;
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

// The slot whose worker runs on this thread.
thread_local const WorkerSlot* tCurrentSlot = nullptr;

}  // namespace

WorkerSlot::~WorkerSlot() { Stop(std::chrono::milliseconds(0)); }

bool WorkerSlot::Busy() const {
  return exists_.load(std::memory_order_acquire) &&
         !(Kind() == WorkerKind::Download && Finished());
}

void WorkerSlot::Run(std::function<void()> body) {
  // A write beyond the file-size limit fails with EFBIG on this thread instead of ending the
  // process by SIGXFSZ (the sockets avoid SIGPIPE the same way); the process's handling stays.
  sigset_t fileSize;
  sigemptyset(&fileSize);
  sigaddset(&fileSize, SIGXFSZ);
  pthread_sigmask(SIG_BLOCK, &fileSize, nullptr);
  tCurrentSlot = this;
  body();
  {
    std::lock_guard<std::mutex> lock(endMutex_);
    finished_.store(true, std::memory_order_release);
  }
  ended_.notify_all();
}

void WorkerSlot::JoinLocked() {
  thread_.join();
  close(wake_);
  wake_ = -1;
  run_.store(false, std::memory_order_release);
  kind_.store(WorkerKind::None, std::memory_order_release);
  exists_.store(false, std::memory_order_release);
}

bool WorkerSlot::Start(WorkerKind kind, std::function<void()> body) {
  if (kind == WorkerKind::None || !body) return false;
  std::lock_guard<std::mutex> lock(control_);
  if (thread_.joinable()) {
    if (Kind() != WorkerKind::Download || !Finished()) return false;
    JoinLocked();
  }
  wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_ < 0) return false;
  finished_.store(false, std::memory_order_release);
  run_.store(true, std::memory_order_release);
  kind_.store(kind, std::memory_order_release);
  try {
    thread_ = std::thread(&WorkerSlot::Run, this, std::move(body));
  } catch (const std::system_error&) {
    close(wake_);
    wake_ = -1;
    run_.store(false, std::memory_order_release);
    kind_.store(WorkerKind::None, std::memory_order_release);
    return false;
  }
  exists_.store(true, std::memory_order_release);
  return true;
}

WorkerKind WorkerSlot::Stop(std::chrono::milliseconds bound, bool* endedInTime) {
  if (endedInTime) *endedInTime = true;
  if (tCurrentSlot == this) return WorkerKind::None;
  std::lock_guard<std::mutex> lock(control_);
  if (!thread_.joinable()) return WorkerKind::None;
  const WorkerKind kind = Kind();
  WakeLocked();
  bool inTime;
  {
    std::unique_lock<std::mutex> end(endMutex_);
    inTime = ended_.wait_for(end, bound, [this] { return Finished(); });
  }
  if (endedInTime) *endedInTime = inTime;
  JoinLocked();
  return kind;
}

void WorkerSlot::WakeLocked() {
  run_.store(false, std::memory_order_release);
  const uint64_t one = 1;
  ssize_t w;
  do w = write(wake_, &one, sizeof one);
  while (w < 0 && errno == EINTR);
}

void WorkerSlot::RequestStop() {
  if (tCurrentSlot == this) return;
  std::lock_guard<std::mutex> lock(control_);
  if (thread_.joinable()) WakeLocked();
}

int WorkerSlot::CurrentWake() { return tCurrentSlot != nullptr ? tCurrentSlot->wake_ : -1; }

bool WorkerSlot::SleepUntil(Clock::time_point deadline) {
  pollfd p{wake_, POLLIN, 0};
  for (;;) {
    const timespec left = Left(deadline);
    const int r = ppoll(&p, 1, &left, nullptr);
    if (r > 0) return false;
    if (r == 0 && Clock::now() >= deadline) return true;
    // r < 0: a signal (resume with the time left) or a failed wait (sleep on without the wake-up).
    if (r < 0 && errno != EINTR) p.fd = -1;
  }
}

bool WorkerSlot::SleepMs(long ms) {
  return SleepUntil(Clock::now() + std::chrono::milliseconds(ms > 0 ? ms : 0));
}

WaitResult WorkerSlot::WaitReadable(int fd, long ms) {
  if (fd < 0) {
    errno = EBADF;
    return WaitResult::Failed;
  }
  pollfd p{fd, POLLIN, 0};
  const WaitResult r = WaitAnyReadable(&p, 1, ms);
  if (r == WaitResult::Ready && (p.revents & POLLNVAL)) {
    errno = EBADF;
    return WaitResult::Failed;
  }
  return r;
}

WaitResult WorkerSlot::WaitAnyReadable(pollfd* fds, size_t n, long ms) {
  constexpr size_t kMost = 16;
  if (n >= kMost) n = kMost - 1;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms > 0 ? ms : 0);
  pollfd p[kMost];
  for (size_t i = 0; i < n; ++i) p[i] = pollfd{fds[i].fd, POLLIN, 0};
  p[n] = pollfd{wake_, POLLIN, 0};
  for (;;) {
    const timespec left = Left(deadline);
    const int r = ppoll(p, n + 1, &left, nullptr);
    if (r < 0) {
      if (errno == EINTR) continue;
      return WaitResult::Failed;
    }
    if (p[n].revents) return WaitResult::Stopped;
    bool any = false;
    for (size_t i = 0; i < n; ++i) {
      fds[i].revents = p[i].revents;
      any = any || p[i].revents != 0;
    }
    if (any) return WaitResult::Ready;
    if (Clock::now() >= deadline) return WaitResult::TimedOut;
  }
}

}  // namespace nivex
