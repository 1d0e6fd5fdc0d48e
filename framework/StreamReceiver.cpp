#include "framework/StreamReceiver.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "support/tcp.h"

namespace nivex {

namespace {
// Room in front of each receive for the bytes of a partial sample (a sample is at most 4 bytes;
// any unit below this fits).
constexpr size_t kCarryRoom = 64;
// How long a drain that found stale bytes waits for more before it takes the socket as empty:
// the module's last small segment may be held back until its peer acknowledges the one before,
// which a delayed acknowledgement puts off by some 40 ms.
constexpr int64_t kDrainQuietMs = 50;
}  // namespace

RingWrite RingSink::Put(const uint8_t* data, size_t bytes) {
  const WorkerSlot::Clock::time_point began = WorkerSlot::Clock::now();
  const RingWrite w = ring_.Write(data, bytes);
  if (w.dropped && onDrop_) onDrop_();
  due_ = began - due_ < pace_ ? due_ + pace_ : began + pace_;
  if (!deferred_) worker_.SleepUntil(due_);
  return w;
}

StreamReceiver::StreamReceiver(WorkerSlot& worker, size_t bufferBytes,
                               std::atomic<bool>* receiving)
    : worker_(worker),
      receiving_(receiving),
      bufferBytes_(std::max(bufferBytes, kChunkBytes)),
      buffer_(new uint8_t[kCarryRoom + bufferBytes_]) {}

size_t StreamReceiver::Drain(int fd, std::chrono::milliseconds cap, bool settle, bool* closed) {
  return DrainAll(&fd, 1, cap, settle, closed);
}

size_t StreamReceiver::DrainAll(const int* fds, size_t n, std::chrono::milliseconds cap,
                                bool settle, bool* closed, bool* quiet) {
  constexpr size_t kMost = 16;
  bool calm = false;
  if (quiet == nullptr) quiet = &calm;
  *quiet = false;
  n = std::min(n, kMost);
  bool ended[kMost] = {};
  const WorkerSlot::Clock::time_point deadline = WorkerSlot::Clock::now() + cap;
  size_t total = 0;
  for (bool first = true;; first = false) {
    // Take what each socket holds now.
    for (size_t k = 0; k < n; ++k) {
      while (fds[k] >= 0 && !ended[k]) {
        const ssize_t r = recv(fds[k], buffer_.get(), bufferBytes_, MSG_DONTWAIT);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (r <= 0) {  // end of stream or a reset: nothing more comes on it
          ended[k] = true;
          if (closed) closed[k] = true;
          break;
        }
        total += static_cast<size_t>(r);
        if (WorkerSlot::Clock::now() >= deadline) return total;
      }
    }
    // Empty for now. When there was something, more of it may still be on its way (what the
    // module sent before it stopped moves up as the window reopens): empty only once the
    // sockets have stayed quiet for a moment.
    if (first && total == 0 && !settle) {
      *quiet = true;
      return 0;
    }
    const WorkerSlot::Clock::time_point now = WorkerSlot::Clock::now();
    if (now >= deadline) return total;
    pollfd p[kMost];
    size_t watched = 0;
    for (size_t k = 0; k < n; ++k)
      if (fds[k] >= 0 && !ended[k]) p[watched++] = pollfd{fds[k], POLLIN, 0};
    *quiet = watched == 0;
    if (watched == 0) return total;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    const int wait = static_cast<int>(std::min<int64_t>(kDrainQuietMs, left.count() + 1));
    int ready;
    do ready = poll(p, watched, wait);
    while (ready < 0 && errno == EINTR);
    if (ready <= 0) {
      // Quiet for the whole moment (not just for what was left of the cap).
      *quiet = ready == 0 && wait == kDrainQuietMs;
      return total;
    }
  }
}

void StreamReceiver::Begin(int fd, const Setup& setup, SampleSink* sink) {
  fd_ = fd;
  setup_ = setup;
  if (setup_.unitBytes == 0 || setup_.unitBytes >= kCarryRoom) setup_.unitBytes = 1;
  setup_.maxReceive = std::min(std::max<size_t>(setup_.maxReceive, 1), bufferBytes_);
  sink_ = sink;
  carry_ = 0;
  received_.store(0, std::memory_order_release);
}

StreamReceiver::Outcome StreamReceiver::ReceiveWaiting() { return ReceiveWith(MSG_DONTWAIT); }

StreamReceiver::Outcome StreamReceiver::ReceiveWith(int flags) {
  const size_t unit = setup_.unitBytes;
  const uint32_t received = Received();
  size_t ask = setup_.maxReceive;
  if (setup_.target && !setup_.chunkStream) {
    if (received >= setup_.target) return Outcome::TargetDone;
    const uint32_t missing = setup_.target - received;
    if (missing < setup_.exactBelow)
      ask = std::min<uint64_t>(ask, static_cast<uint64_t>(missing) * unit - carry_);
  }
  // The raw bytes of a chunk stream go to the sink as they came; only their count is carried.
  uint8_t* const base = buffer_.get() + kCarryRoom - (setup_.chunkStream ? 0 : carry_);
  uint8_t* const into = buffer_.get() + kCarryRoom;

  if (receiving_) receiving_->store(true, std::memory_order_release);
  const ssize_t r = recv(fd_, into, ask, flags);
  const int err = errno;
  if (receiving_) receiving_->store(false, std::memory_order_release);
  if (r == 0) return Outcome::Closed;
  if (r < 0) {
    errno = err;
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR ? Outcome::Again
                                                                : Outcome::Failed;
  }

  const size_t total = carry_ + static_cast<size_t>(r);
  const uint32_t samples = static_cast<uint32_t>(total / unit);
  // Samples past the target (a module that sends on) are neither counted nor kept.
  const uint32_t kept = setup_.target && !setup_.chunkStream
                            ? std::min(samples, setup_.target - received)
                            : samples;
  const size_t whole = static_cast<size_t>(kept) * unit;
  carry_ = kept < samples ? 0 : total - whole;
  received_.store(received + (setup_.chunkStream ? 1 : kept), std::memory_order_release);

  const uint8_t ack[4] = {static_cast<uint8_t>(samples), static_cast<uint8_t>(samples >> 8),
                          static_cast<uint8_t>(samples >> 16), static_cast<uint8_t>(samples >> 24)};
  tcp_send(fd_, ack, sizeof ack);

  if (setup_.chunkStream) {
    if (sink_) sink_->Take(base, static_cast<size_t>(r));
    return Outcome::Data;
  }
  if (whole && sink_) sink_->Take(base, whole);
  // The partial sample moves to just before the next receive's bytes.
  if (carry_) memmove(buffer_.get() + kCarryRoom - carry_, base + whole, carry_);
  return Outcome::Data;
}

}  // namespace nivex
