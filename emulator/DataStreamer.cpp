// The high-speed types' data port: acquisition runs, their stream and the host's
// acknowledgements. Everything runs on the engine's loop thread under its lock; the loop
// calls OnTick on every pass and waits at most the milliseconds it returns.
#include "emulator/DataStreamer.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <iterator>
#include <mutex>

#include "emulator/HighSpeedScanSetup.h"
#include "emulator/StreamParts.h"

namespace nivex::emu {
namespace {

constexpr uint64_t kEndless = UINT64_MAX / 4;     // stream items of a continuous run
constexpr uint64_t kInstant = uint64_t(1) << 60;  // acquired items of an unpaced run
constexpr size_t kBacklog = 64 * 1024;  // bytes generated ahead of the connection (one tick's work)
constexpr size_t kSplitBacklog = 4096;
constexpr size_t kRecordLimit = 16u << 20;
constexpr int kIdleTickMs = 100;
constexpr int64_t kBatchUs = 1000;
constexpr size_t kMaxSendBytes = 29200;           // the host's largest receive

uint64_t Sub(uint64_t a, uint64_t b) { return a > b ? a - b : 0; }

unsigned ItemBytes(unsigned type, unsigned count) {
  if (type <= 3 || type == 9) return 2 * count;
  if (type == 4 || type == 5 || type == 10 || type == 11) return 4 * count;
  if (type >= 6 && type <= 8) return (count + 7) / 8;
  return 0;
}

}  // namespace

DataStreamer::DataStreamer(Engine& engine, Model model, HighSpeedScanSetup& setup, CodeFn code)
    : engine_(engine), model_(model), setup_(setup), code_(std::move(code)) {}

// ------------------------------------------------------------------ commands

bool DataStreamer::Handle(const std::string& line, Answer* answer) {
  const int64_t now = MonoUs();
  if (line == "~01S") {
    StartRun();
    *answer = Answer::Ack();
  } else if (line == "~01Z") {
    if (run_.active && settings_.lingerMs > 0) {  // the fault: it sends on for a while
      if (run_.lingerUntilUs == 0) run_.lingerUntilUs = now + int64_t{settings_.lingerMs} * 1000;
      engine_.WakeLoop();
    } else {
      StopRun();  // nothing more goes out once the reply does
    }
    *answer = Answer::Ack();
  } else if (line == "~01E") {
    if (!run_.active) {
      *answer = Answer::Refuse();
      return true;
    }
    run_.transmitting = true;
    *answer = Answer::Ack();
  } else if (line == "~01N") {
    const unsigned count = static_cast<unsigned>(std::min<uint64_t>(ModuleCount(now), 0xFFFFFFFFu));
    const bool oldLayout = model_ == Model::RX5K10 && engine_.FirmwareVersion() <= 0x307;
    *answer = Answer::Text(oldLayout ? Format("!01%u", count)
                                     : Format("!01%02d%u", run_.triggered ? 1 : 0, count));
  } else if (line == "~01SST") {
    *answer = Answer::Text("!01 " + StartTimeText());
  } else if (line == "Q") {
    StopRun();  // a module that reboots ends its run; the reboot's answer is the handler's
    return false;
  } else {
    return false;
  }
  return true;
}

std::string DataStreamer::StartTimeText() const {
  return emu::StartTimeText(startWallMs_ >= 0 ? startWallMs_ : WallMs());
}

void DataStreamer::StartRun() {
  if (run_.active) StopRun();
  const int64_t now = MonoUs();
  startWallMs_ = WallMs();
  Run r;
  r.active = true;
  r.startUs = now;
  r.acqStartUs = now;
  r.fast = settings_.fast;
  r.sendEveryUs = std::max(0, settings_.sendEveryUs);
  r.split = settings_.splitPauseMs >= 0;
  r.sentAtStart = engine_.DataBytesSent();
  const bool is10 = model_ == Model::RX5K10;
  r.mode = settings_.mode >= 0 ? settings_.mode : is10 ? setup_.T : (setup_.T == 2 ? 6 : 0);
  r.channels = static_cast<unsigned>(std::clamp(setup_.chCnt, 1, AnalogInputs(model_)));
  const double rate = std::max(1.0, setup_.RateHz());
  r.pre = setup_.pre;
  r.post = setup_.post;
  run_ = std::move(r);
  run_.syncIn = is10 && ParseSyncInLayout();
  if (!run_.syncIn) run_.unitBytes = is10 ? 2 : 4;
  run_.itemsPerSec = run_.syncIn ? rate : rate * run_.channels;
  run_.rowsPerSec = rate;

  const uint64_t n = setup_.target;
  run_.end = n ? n : kEndless;
  if (run_.mode == 8 && !run_.syncIn) {
    uint64_t c = settings_.chunkSamples;
    if (c == 0) c = static_cast<uint64_t>(run_.itemsPerSec / 50.0);
    run_.chunk = std::clamp<uint64_t>(c, 1, kMaxSendBytes / run_.unitBytes);
    if (n) run_.end = n * run_.chunk;
  }
  const int64_t perSec = static_cast<int64_t>(rate) * run_.channels;
  bool buffered = false;
  if (!run_.syncIn) {
    switch (model_) {
      case Model::RX5K10:
        buffered = perSec > 240000 || (run_.mode != 0 && run_.mode != 1 && run_.mode != 8);
        break;
      case Model::RX5K30:
        buffered = perSec > 256000 || run_.mode == 6 || setup_.T == 1;
        break;
      default:
        buffered = perSec > 170664 || run_.mode == 6 || setup_.T == 1;
        break;
    }
  }
  if (settings_.buffering != StreamSettings::Buffering::ByRule)
    buffered = settings_.buffering == StreamSettings::Buffering::Buffered;
  run_.buffered = buffered;
  run_.transmitting = !buffered;
  run_.acquiring = run_.syncIn || run_.mode == 6 || !WaitsForTrigger();
  run_.triggered = !WaitsForTrigger();
  setup_.triggerIndex = 0;
  ++runs_;
  sent_.clear();
  acks_.ClearTotals();
  if (nodelay_ != run_.split) nodelay_ = engine_.SetDataNoDelay(0, run_.split) && run_.split;
  engine_.WakeLoop();
}

void DataStreamer::StopRun() {
  engine_.DiscardData(0);
  run_.active = false;
  run_.triggered = false;
  run_.pending.clear();
  run_.pendingOff = 0;
  run_.lingerUntilUs = 0;
  if (nodelay_) nodelay_ = !engine_.SetDataNoDelay(0, false);
}

bool DataStreamer::ParseSyncInLayout() {
  // "H%XO%02XT%02X" followed by "%02X%02X" (type, count) per item.
  const std::string& l = setup_.syncInLayout;
  run_.unitBytes = 0;
  run_.items.clear();
  if (l.size() < 8 || l[0] != 'H') return false;
  const unsigned long option = std::strtoul(l.substr(3, 2).c_str(), nullptr, 16);
  const unsigned long n = std::strtoul(l.substr(6, 2).c_str(), nullptr, 16);
  if (!(option & 1) || l.size() < 8 + 4 * n) return false;
  const unsigned header = static_cast<unsigned>(std::strtoul(l.substr(1, 1).c_str(), nullptr, 16));
  unsigned size = (header >= 1 && header <= 3) ? 4 : 0;
  for (unsigned long i = 0; i < n; ++i) {
    const std::string t = l.substr(8 + 4 * i, 4);
    const Item it{static_cast<unsigned>(std::strtoul(t.substr(0, 2).c_str(), nullptr, 16)),
                  static_cast<unsigned>(std::strtoul(t.substr(2, 2).c_str(), nullptr, 16))};
    size += ItemBytes(it.type, it.count);
    run_.items.push_back(it);
  }
  run_.header = header;
  run_.unitBytes = size;  // 0: frames without bytes, nothing to stream
  return true;
}

// ------------------------------------------------------------------ acquisition

bool DataStreamer::WaitsForTrigger() const {
  if (run_.syncIn) return false;
  return run_.mode == 2 || run_.mode == 3 || run_.mode == 5 || run_.mode == 6;
}

void DataStreamer::FireTrigger(int64_t nowUs) {
  if (!run_.active || run_.triggered || !WaitsForTrigger()) return;
  run_.triggered = true;
  if (run_.mode != 6) {
    run_.acquiring = true;
    run_.acqStartUs = nowUs;
    return;
  }
  // Mode 6 keeps at most `pre` samples before the trigger, whole channel rows.
  const uint64_t a = Acquired(nowUs);
  uint64_t origin = a - std::min<uint64_t>(a, run_.pre);
  origin += (run_.channels - origin % run_.channels) % run_.channels;
  run_.origin = origin;
  const uint64_t index = Sub(a, origin);
  run_.end = index + run_.post;
  setup_.triggerIndex = static_cast<uint32_t>(index);
}

uint64_t DataStreamer::RowItems() const { return run_.syncIn ? 1 : run_.channels; }

// The module samples every channel of a row at once: acquisition grows in whole rows.
uint64_t DataStreamer::Acquired(int64_t nowUs) const {
  if (!run_.acquiring) return 0;
  const uint64_t row = RowItems();
  if (run_.fast) return kInstant - kInstant % row;
  const double rows = static_cast<double>(nowUs - run_.acqStartUs) * run_.itemsPerSec / 1e6 /
                      static_cast<double>(row);
  return rows <= 0
             ? 0
             : static_cast<uint64_t>(std::min(rows, static_cast<double>(kInstant / row))) * row;
}

uint64_t DataStreamer::SendLimit() const {
  return run_.end >= kEndless ? kEndless : run_.end + settings_.extraSamples;
}

uint64_t DataStreamer::Available(int64_t nowUs) const {
  if (!run_.triggered) return 0;
  const uint64_t limit = SendLimit();
  const uint64_t a = std::min(Sub(Acquired(nowUs), run_.origin), limit);
  return a < limit ? a - a % run_.chunk : a;  // mode 8: whole chunks
}

uint64_t DataStreamer::ModuleCount(int64_t nowUs) const {
  if (!run_.active) return 0;
  if (!run_.triggered) return run_.mode == 6 ? std::min<uint64_t>(Acquired(nowUs), run_.pre) : 0;
  return std::min(Sub(Acquired(nowUs), run_.origin), run_.end) / run_.chunk;
}

int64_t DataStreamer::DueUs(uint64_t items) const {
  const uint64_t row = RowItems();
  const uint64_t rows = (run_.origin + items + row - 1) / row;
  return run_.acqStartUs +
         static_cast<int64_t>(static_cast<double>(rows * row) * 1e6 / run_.itemsPerSec);
}

// ------------------------------------------------------------------ the stream

void DataStreamer::AppendItem(uint64_t s) {
  const uint64_t abs = run_.origin + s;
  std::string& out = run_.pending;
  if (!run_.syncIn) {
    const uint64_t row = abs / run_.channels;
    const int32_t code =
        code_(static_cast<int>(abs % run_.channels), row, static_cast<double>(row) / run_.rowsPerSec);
    PutLE(&out,
          run_.unitBytes == 2 ? static_cast<uint32_t>(code) & 0xFFFFu
                              : static_cast<uint32_t>(code) & 0xFFFFFFu,
          run_.unitBytes);
    return;
  }
  const uint32_t frame = static_cast<uint32_t>(abs);
  const double at = static_cast<double>(abs) / run_.rowsPerSec;
  if (run_.header >= 1 && run_.header <= 3) PutLE(&out, frame, 4);
  for (const Item& it : run_.items) {
    const unsigned bytes = ItemBytes(it.type, it.count);
    if (it.type == 0 || it.type == 1) {
      for (unsigned e = 0; e < it.count; ++e)
        PutLE(&out, static_cast<uint32_t>(code_(static_cast<int>(e % 8), abs, at)), 2);
    } else if (it.type >= 6 && it.type <= 8) {
      out.append(bytes, static_cast<char>(frame & 0xFF));
    } else {
      const unsigned width = bytes / std::max(1u, it.count);
      for (unsigned e = 0; e < it.count && width; ++e) PutLE(&out, frame + e, width);
    }
  }
}

void DataStreamer::HandOver(size_t n) {
  const char* p = run_.pending.data() + run_.pendingOff;
  if (n == 0 || !engine_.QueueData(0, p, n)) return;
  const int64_t now = MonoUs();
  const int64_t every = run_.sendEveryUs;
  // On the fixed clock a late send keeps the next on time; one more than a period late
  // (the connection held it back) starts the clock afresh.
  run_.nextSendUs = every == 0                         ? now + kBatchUs
                    : now - run_.nextSendUs < every ? run_.nextSendUs + every
                                                    : now + every;
  if (settings_.record && sent_.size() < kRecordLimit)
    sent_.append(p, std::min(n, kRecordLimit - sent_.size()));
  run_.pendingOff += n;
  run_.handed += n;
  if (run_.pendingOff == run_.pending.size()) {
    run_.pending.clear();
    run_.pendingOff = 0;
  } else if (run_.pendingOff > run_.pending.size() / 2) {
    run_.pending.erase(0, run_.pendingOff);
    run_.pendingOff = 0;
  }
}

int DataStreamer::OnTick() {
  tickUs_ = -1;
  if (!run_.active) return -1;
  const int64_t now = MonoUs();
  int64_t wakeUs = -1;
  auto wakeAt = [&](int64_t at) {
    if (wakeUs < 0 || at < wakeUs) wakeUs = at;
  };
  auto result = [&]() -> int {
    if (wakeUs < 0) return -1;
    const int64_t ms = (wakeUs - now + 999) / 1000;
    return static_cast<int>(std::clamp<int64_t>(ms, 0, kIdleTickMs));
  };
  if (run_.lingerUntilUs > 0) {
    if (now >= run_.lingerUntilUs) {
      StopRun();
      return -1;
    }
    wakeAt(run_.lingerUntilUs);
  }
  if (!run_.triggered && WaitsForTrigger() && settings_.triggerAfterMs >= 0) {
    const int64_t due = run_.startUs + int64_t{settings_.triggerAfterMs} * 1000;
    if (now >= due) {
      FireTrigger(now);
    } else {
      wakeAt(due);
    }
  }
  if (run_.closed || !run_.transmitting || !run_.triggered || run_.unitBytes == 0 ||
      !engine_.DataConnected(0))
    return result();

  if (!run_.fast && !run_.split && now < run_.nextSendUs) {
    // Paced: what falls due meanwhile goes in the next batch (the acknowledgements that wake
    // the loop would otherwise clock out one small send each).
    wakeAt(run_.nextSendUs);
    if (run_.sendEveryUs > 0) tickUs_ = run_.nextSendUs;
    return result();
  }
  const uint64_t avail = Available(now);
  const size_t backlog = engine_.DataBacklog(0);
  const size_t ahead = run_.split ? kSplitBacklog : kBacklog;
  while (run_.generated < avail && run_.pending.size() - run_.pendingOff + backlog < ahead)
    AppendItem(run_.generated++);

  const uint64_t faultAt = std::min(settings_.silenceAfterBytes, settings_.closeAfterBytes);
  const size_t ready = run_.pending.size() - run_.pendingOff;
  const size_t allowed = static_cast<size_t>(std::min<uint64_t>(ready, Sub(faultAt, run_.handed)));
  if (run_.split) {
    if (backlog == 0 && allowed > 0 && now >= run_.nextPieceUs) {
      const size_t piece = static_cast<size_t>(kPieces[run_.piece++ % std::size(kPieces)]);
      HandOver(std::min(piece, allowed));
      run_.nextPieceUs = now + int64_t{settings_.splitPauseMs} * 1000;
    }
  } else if (run_.mode == 8) {
    if (backlog == 0) HandOver(std::min<size_t>(allowed, run_.chunk * run_.unitBytes));
  } else {
    HandOver(allowed);
  }

  if (run_.handed >= settings_.closeAfterBytes) {
    if (engine_.DataBacklog(0) == 0) {
      engine_.CloseData(0);
      run_.closed = true;
      return result();
    }
    wakeAt(now + 1000);
    return result();
  }
  if (run_.handed >= faultAt) return result();  // silent
  const bool more = run_.pendingOff < run_.pending.size() || run_.generated < avail;
  if (more) {
    if (engine_.DataBacklog(0) > 0) {
      wakeAt(now + kIdleTickMs * 1000);  // the connection's readiness wakes the loop first
    } else if (run_.split) {
      wakeAt(std::max(now, run_.nextPieceUs));
    } else {
      wakeAt(now);
    }
  } else if (run_.generated < SendLimit() && !run_.fast && run_.acquiring) {
    wakeAt(std::max(now + 1000, DueUs(run_.generated + run_.chunk)));
  }
  return result();
}

// ------------------------------------------------------------------ connection events

void DataStreamer::OnDataConnected() {
  acks_.ClearPartial();
  nodelay_ = false;
  if (run_.active && run_.split) nodelay_ = engine_.SetDataNoDelay(0, true);
}

void DataStreamer::OnDataReceived(const char* bytes, size_t n) { acks_.Feed(bytes, n); }

void DataStreamer::OnDataClosed() {
  acks_.ClearPartial();
  nodelay_ = false;  // what is pending stays: a run sends nothing without its connection
}

// ------------------------------------------------------------------ test side

StreamSettings DataStreamer::Settings() const {
  std::lock_guard<std::recursive_mutex> lock(engine_.mutex());
  return settings_;
}

void DataStreamer::SetSettings(const StreamSettings& s) {
  std::lock_guard<std::recursive_mutex> lock(engine_.mutex());
  settings_ = s;
  engine_.WakeLoop();
}

void DataStreamer::Trigger() {
  std::lock_guard<std::recursive_mutex> lock(engine_.mutex());
  FireTrigger(MonoUs());
  engine_.WakeLoop();
}

void DataStreamer::CloseDataConnection() {
  std::lock_guard<std::recursive_mutex> lock(engine_.mutex());
  run_.closed = run_.active;
  engine_.CloseData(0);
}

StreamCounters DataStreamer::Counters() const {
  std::lock_guard<std::recursive_mutex> lock(engine_.mutex());
  StreamCounters c;
  c.runs = runs_;
  c.active = run_.active;
  c.syncIn = run_.syncIn;
  c.mode = run_.mode;
  c.buffered = run_.buffered;
  c.transmitting = run_.transmitting;
  c.triggered = run_.triggered;
  c.triggerIndex = setup_.triggerIndex;
  c.moduleCount = ModuleCount(MonoUs());
  c.streamItems = run_.end >= kEndless ? 0 : run_.end;
  c.unitBytes = run_.unitBytes;
  c.bytesSent = engine_.DataBytesSent() - run_.sentAtStart;
  c.samplesSent = c.bytesSent / (run_.syncIn ? 2 : std::max(1u, run_.unitBytes));
  c.framesSent = run_.syncIn && run_.unitBytes ? c.bytesSent / run_.unitBytes : 0;
  c.ackSum = acks_.Sum();
  c.ackCount = acks_.Count();
  return c;
}

std::string DataStreamer::Sent() const {
  std::lock_guard<std::recursive_mutex> lock(engine_.mutex());
  const uint64_t sent = engine_.DataBytesSent() - run_.sentAtStart;
  return sent_.substr(0, static_cast<size_t>(std::min<uint64_t>(sent, sent_.size())));
}

}  // namespace nivex::emu
