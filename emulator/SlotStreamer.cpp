// One slot's data port of a slot carrier. Everything runs on the engine's loop thread under its
// lock; the carrier calls OnTick on every pass of the loop.
#include "emulator/SlotStreamer.h"

#include <algorithm>
#include <iterator>
#include <mutex>


namespace nivex::emu {
namespace {

constexpr uint64_t kEndless = UINT64_MAX / 4;  // samples of a continuous run
constexpr size_t kBacklog = 64 * 1024;         // bytes generated ahead of the connection
constexpr size_t kSplitBacklog = 4096;
constexpr size_t kRecordLimit = 16u << 20;
constexpr int kIdleTickMs = 100;
constexpr int64_t kBatchUs = 1000;

int UntilMs(int64_t nowUs, int64_t atUs) {
  return static_cast<int>(std::clamp<int64_t>((atUs - nowUs + 999) / 1000, 0, kIdleTickMs));
}

}  // namespace

SlotStreamer::SlotStreamer(Engine& engine, int index, CodeFn code)
    : engine_(engine), index_(index), code_(std::move(code)) {}

void SlotStreamer::StartRun(const Layout& layout) {
  if (run_.active) StopRun();
  Run r;
  r.active = layout.channels > 0;
  r.fast = settings_.fast;
  r.split = settings_.splitPauseMs >= 0;
  r.layout = layout;
  r.layout.rate = std::max(layout.rate, 1.0);
  r.startUs = MonoUs();
  r.limit = layout.samples ? layout.samples + settings_.extraSamples : kEndless;
  run_ = std::move(r);
  ++runs_;
  sent_.clear();
  acks_.ClearTotals();
  if (nodelay_ != run_.split) nodelay_ = engine_.SetDataNoDelay(index_, run_.split) && run_.split;
  engine_.WakeLoop();
}

void SlotStreamer::StopRun() {
  run_.discarded += engine_.DiscardData(index_);
  run_.active = false;
  run_.pending.clear();
  if (nodelay_) nodelay_ = !engine_.SetDataNoDelay(index_, false);
}

uint64_t SlotStreamer::Due(int64_t nowUs) const {
  if (run_.fast) return run_.limit;
  // The card samples all its channels of a row at once: whole rows.
  const double rows = static_cast<double>(nowUs - run_.startUs) * run_.layout.rate / 1e6;
  const uint64_t channels = static_cast<uint64_t>(run_.layout.channels);
  if (rows <= 0) return 0;
  if (rows >= static_cast<double>(run_.limit / channels + 1)) return run_.limit;
  return std::min(run_.limit, static_cast<uint64_t>(rows) * channels);
}

int64_t SlotStreamer::DueUs(uint64_t samples) const {
  const uint64_t channels = static_cast<uint64_t>(run_.layout.channels);
  const uint64_t rows = (samples + channels - 1) / channels;
  return run_.startUs + static_cast<int64_t>(static_cast<double>(rows) * 1e6 / run_.layout.rate);
}

void SlotStreamer::HandOver(size_t n) {
  if (n == 0 || !engine_.QueueData(index_, run_.pending.data(), n)) return;
  run_.nextSendUs = MonoUs() + kBatchUs;
  if (settings_.record && sent_.size() < kRecordLimit)
    sent_.append(run_.pending, 0, std::min(n, kRecordLimit - sent_.size()));
  run_.pending.erase(0, n);
  run_.handed += n;
}

bool SlotStreamer::RowsInStep(uint64_t* rows) const {
  if (!run_.active || run_.closed || !engine_.DataConnected(index_)) return false;
  const uint64_t stopAt = std::min(settings_.silenceAfterBytes, settings_.closeAfterBytes);
  const uint64_t samples = BytesSent() / 2;
  if (run_.handed >= stopAt || samples >= run_.limit) return false;
  *rows = samples / static_cast<uint64_t>(run_.layout.channels);
  return true;
}

int SlotStreamer::OnTick(uint64_t rowBound) {
  if (!run_.active || run_.closed || !engine_.DataConnected(index_)) return -1;
  const int64_t now = MonoUs();
  // Paced: what falls due meanwhile goes in the next batch.
  if (!run_.fast && !run_.split && now < run_.nextSendUs) return UntilMs(now, run_.nextSendUs);

  const size_t backlog = engine_.DataBacklog(index_);
  const Layout& l = run_.layout;
  const uint64_t channels = static_cast<uint64_t>(l.channels);
  const uint64_t bound = rowBound < run_.limit / channels + 1 ? rowBound * channels : run_.limit;
  const uint64_t due = std::min(Due(now), bound);
  while (run_.generated < due &&
         run_.pending.size() + backlog < (run_.split ? kSplitBacklog : kBacklog)) {
    const uint64_t j = run_.generated++;
    const uint64_t row = j / channels;
    const int32_t code = code_(l.firstChannel + static_cast<int>(j % channels), row,
                               static_cast<double>(row) / l.rate);
    PutLE(&run_.pending, static_cast<uint32_t>(code) & 0xFFFFu, 2);
  }

  // The faults: no byte beyond silenceAfterBytes; closeAfterBytes closes once they are out.
  const uint64_t stopAt = std::min(settings_.silenceAfterBytes, settings_.closeAfterBytes);
  const size_t ready = std::min<uint64_t>(run_.pending.size(),
                                          stopAt > run_.handed ? stopAt - run_.handed : 0);
  if (!run_.split) {
    HandOver(ready);
  } else if (backlog == 0 && ready > 0 && now >= run_.nextPieceUs) {
    const size_t piece = static_cast<size_t>(kPieces[run_.piece++ % std::size(kPieces)]);
    HandOver(std::min(piece, ready));
    run_.nextPieceUs = now + int64_t{settings_.splitPauseMs} * 1000;
  }
  if (run_.handed >= settings_.closeAfterBytes) {
    if (engine_.DataBacklog(index_) > 0) return 1;
    engine_.CloseData(index_);
    run_.closed = true;
    return -1;
  }
  if (run_.handed >= stopAt) return -1;
  if (run_.pending.empty() && run_.generated >= bound && run_.generated < run_.limit) {
    // Ahead of the slowest slot: the loop passes again when a connection takes data.
    return kIdleTickMs;
  }
  if (!run_.pending.empty() || run_.generated < due) {
    // The connection's readiness wakes the loop when it takes more.
    if (engine_.DataBacklog(index_) > 0) return kIdleTickMs;
    return run_.split ? UntilMs(now, run_.nextPieceUs) : 0;
  }
  if (run_.generated < run_.limit) return UntilMs(now, std::max(now + kBatchUs, DueUs(run_.generated + 1)));
  return -1;
}

void SlotStreamer::OnDataConnected() {
  acks_.ClearPartial();
  nodelay_ = run_.active && run_.split && engine_.SetDataNoDelay(index_, true);
}

void SlotStreamer::OnDataReceived(const char* bytes, size_t n) { acks_.Feed(bytes, n); }

void SlotStreamer::OnDataClosed() {
  acks_.ClearPartial();
  nodelay_ = false;
}

uint64_t SlotStreamer::BytesSent() const {
  return run_.handed - run_.discarded - engine_.DataBacklog(index_);
}

StreamSettings SlotStreamer::Settings() const {
  std::lock_guard<std::recursive_mutex> lock(engine_.mutex());
  return settings_;
}

void SlotStreamer::SetSettings(const StreamSettings& s) {
  std::lock_guard<std::recursive_mutex> lock(engine_.mutex());
  settings_ = s;
  engine_.WakeLoop();
}

StreamCounters SlotStreamer::Counters() const {
  std::lock_guard<std::recursive_mutex> lock(engine_.mutex());
  StreamCounters c;
  c.runs = runs_;
  c.active = c.transmitting = c.triggered = run_.active;
  c.streamItems = run_.layout.samples;
  c.unitBytes = 2;
  c.bytesSent = BytesSent();
  c.samplesSent = c.bytesSent / 2;
  c.ackSum = acks_.Sum();
  c.ackCount = acks_.Count();
  return c;
}

std::string SlotStreamer::Sent() const {
  std::lock_guard<std::recursive_mutex> lock(engine_.mutex());
  return sent_.substr(0, static_cast<size_t>(std::min<uint64_t>(BytesSent(), sent_.size())));
}

void SlotStreamer::CloseDataConnection() {
  std::lock_guard<std::recursive_mutex> lock(engine_.mutex());
  run_.closed = run_.active;
  engine_.CloseData(index_);
}

}  // namespace nivex::emu
