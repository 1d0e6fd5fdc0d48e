// The SD card of the high-speed types. Everything runs on the engine's loop thread under its
// lock; the loop calls OnTick on every pass and waits at most the milliseconds it returns.
#include "emulator/SdCard.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <mutex>

#include "emulator/StreamParts.h"

namespace nivex::emu {
namespace {

constexpr size_t kBacklog = 256 * 1024;  // bytes queued ahead of the connection
constexpr int kIdleTickMs = 100;

// The module-table name a ".config" file carries.
const char* ConfigName(Model m) {
  switch (m) {
    case Model::RX5K10: return "RX-5K10";
    case Model::RX5K30: return "RX-5K30";
    default: return "RX-BN500";
  }
}

}  // namespace

SdCard::SdCard(Engine& engine, Model model, const DataStreamer& scan)
    : engine_(engine), model_(model), scan_(scan) {
  recordings_ = {{0, 1000, "2024/3/5-9:7:2:", 2, ""}, {1000, 480, "2024/3/6-14:30:0:", 4, ""}};
}

// ------------------------------------------------------------------ commands

bool SdCard::Handle(const std::string& line, Answer* answer) {
  if (line == "~01Z" || line == "Q") {
    StopStream();
    return false;
  }
  if (line == "~01S") {
    if (!counters_.streaming) return false;
    *answer = Answer::Refuse();  // busy with the card
    return true;
  }
  if (line.compare(0, 5, "~01SD") != 0) return false;
  const auto digits = [&](size_t from, size_t n) {
    return line.size() == from + n &&
           std::all_of(line.begin() + static_cast<long>(from), line.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
  };
  if (line == "~01SDC") {
    *answer =
        settings_.cardIn ? Answer::Text(Format("!01%zu", recordings_.size())) : Answer::Refuse();
  } else if (line.compare(0, 6, "~01SDI") == 0 && digits(6, 8)) {
    const unsigned long i = std::strtoul(line.c_str() + 6, nullptr, 10);
    if (!settings_.cardIn || i >= recordings_.size()) {
      *answer = Answer::Refuse();
      return true;
    }
    const SdRecording& r = recordings_[i];
    *answer = Answer::Text(Format("!01%u:%u:%s", r.first, r.samples, r.date.c_str()));
  } else if (line.compare(0, 6, "~01SDL") == 0 && digits(6, 9)) {
    const unsigned long i = std::strtoul(line.c_str() + 7, nullptr, 10);
    if (!settings_.cardIn || i >= recordings_.size() || scan_.RunActive() || counters_.streaming) {
      *answer = Answer::Refuse();
      return true;
    }
    const std::string text = ConfigOf(recordings_[i]) + "!01";
    *answer = Answer::Text(text);
    const size_t piece = std::max<size_t>(settings_.configPiece, 1);
    for (size_t at = piece; at < text.size() + 1; at += piece) answer->splitAt.push_back(at);
    answer->pieceGapMs = 1;
    counters_.selector = line[6] - '0';
    counters_.index = static_cast<uint32_t>(i);
    ++counters_.requests;
    StartStream(recordings_[i]);
  } else {
    return false;
  }
  return true;
}

std::string SdCard::ConfigOf(const SdRecording& r) const {
  if (!r.config.empty()) return r.config;
  const unsigned channels = std::clamp<unsigned>(r.channels, 1, AnalogInputs(model_));
  std::string t = Format("Module Name,%s\nSDKVersion,1.2.2.3\nIP,%s\nGain,0\n", ConfigName(model_),
                         engine_.options().ip.c_str());
  if (model_ == Model::RX5K30) t += "Range,10000\n";
  t += Format(
      "Channel Count,%u\nSample Rate,1000\nSample Count,%u\nExternal Trigger,0\n"
      "Transfer Mode,0\n",
      channels, r.samples);
  if (model_ == Model::RX5K10) t += "Sync Mode,0\n";
  for (unsigned c = 0; c < channels && model_ != Model::RXBN500; ++c) t += Format("CH%u\n", c);
  for (unsigned c = 0; c < channels; ++c) {
    const CalEntry e = engine_.Calibration(false, static_cast<int>(c), 0);
    t += model_ == Model::RXBN500 ? Format("CH%u,Range,%u, Offset,%d\n", c, e.gain, e.offset)
                                  : Format("CH%u,Gain,%u, Offset,%d\n", c, e.gain, e.offset);
  }
  unsigned v[6] = {};
  std::sscanf(r.date.c_str(), "%u/%u/%u-%u:%u:%u", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
  return t + Format("Start Sampling Time,%04u/%02u/%02u %02u:%02u:%02u.000\n", v[0], v[1], v[2],
                    v[3], v[4], v[5]);
}

std::string SdCard::StreamOf(const SdRecording& r) const {
  const unsigned channels = std::clamp<unsigned>(r.channels, 1, AnalogInputs(model_));
  const unsigned size = model_ == Model::RX5K10 ? 2 : 4;
  std::string out;
  out.reserve(static_cast<size_t>(r.samples) * size);
  for (uint64_t s = 0; s < r.samples; ++s) {
    const uint64_t ch = s % channels, row = s / channels;
    // A pattern through the whole code range, negative codes included.
    const uint32_t code =
        size == 2 ? static_cast<uint32_t>((row * 97 + ch * 4099 + r.first * 13u) & 0xFFFF)
                  : static_cast<uint32_t>((row * 9973 + ch * 1048573 + r.first * 13u) & 0xFFFFFF);
    for (unsigned b = 0; b < size; ++b) out.push_back(static_cast<char>((code >> (8 * b)) & 0xFF));
  }
  return out;
}

// ------------------------------------------------------------------ the stream

void SdCard::StartStream(const SdRecording& r) {
  pending_ = StreamOf(r);
  handed_ = 0;
  piece_ = 0;
  nextPieceUs_ = 0;
  sentAtStart_ = engine_.DataBytesSent() + engine_.DataBacklog(0);
  counters_.bytesSent = 0;
  ackSumAtStart_ = scan_.AckSum();
  ackCountAtStart_ = scan_.AckCount();
  counters_.streaming = !pending_.empty();
  const bool split = settings_.splitPauseMs >= 0;
  if (nodelay_ != split) nodelay_ = engine_.SetDataNoDelay(0, split) && split;
  engine_.WakeLoop();
}

void SdCard::StopStream() {
  if (!counters_.streaming) return;
  engine_.DiscardData(0);
  counters_.streaming = false;
  pending_.clear();
  if (nodelay_) nodelay_ = !engine_.SetDataNoDelay(0, false);
}

void SdCard::HandOver(size_t n) {
  if (n == 0 || !engine_.QueueData(0, pending_.data() + handed_, n)) return;
  handed_ += n;
}

int SdCard::OnTick() {
  if (!counters_.streaming) return -1;
  counters_.bytesSent = engine_.DataBytesSent() - sentAtStart_;
  if (!engine_.DataConnected(0)) return kIdleTickMs;
  const size_t backlog = engine_.DataBacklog(0);
  const size_t allowed = static_cast<size_t>(std::min<uint64_t>(
      pending_.size() - handed_,
      settings_.silenceAfterBytes > handed_ ? settings_.silenceAfterBytes - handed_ : 0));
  int wait = -1;
  if (settings_.splitPauseMs >= 0) {
    const int64_t now = MonoUs();
    if (backlog == 0 && allowed > 0 && now >= nextPieceUs_) {
      HandOver(std::min(allowed, static_cast<size_t>(kPieces[piece_++ % std::size(kPieces)])));
      nextPieceUs_ = now + int64_t{settings_.splitPauseMs} * 1000;
    }
    wait = settings_.splitPauseMs;
  } else if (backlog < kBacklog) {
    HandOver(std::min(allowed, kBacklog - backlog));
  }
  if (handed_ == pending_.size()) {  // all of it is the connection's now
    counters_.streaming = false;
    pending_.clear();
    if (nodelay_) nodelay_ = !engine_.SetDataNoDelay(0, false);
    return -1;
  }
  if (handed_ >= settings_.silenceAfterBytes) return kIdleTickMs;  // silent
  return engine_.DataBacklog(0) > 0 ? kIdleTickMs : std::max(wait, 0);
}

void SdCard::OnDataClosed() {
  nodelay_ = false;
  counters_.streaming = false;  // the module gives up a stream without its connection
  pending_.clear();
}

void SdCard::PowerOn() { StopStream(); }

// ------------------------------------------------------------------ test side

std::vector<SdRecording> SdCard::Recordings() const {
  std::lock_guard<std::recursive_mutex> lock(engine_.mutex());
  return recordings_;
}

void SdCard::SetRecordings(std::vector<SdRecording> recordings) {
  std::lock_guard<std::recursive_mutex> lock(engine_.mutex());
  recordings_ = std::move(recordings);
}

SdSettings SdCard::Settings() const {
  std::lock_guard<std::recursive_mutex> lock(engine_.mutex());
  return settings_;
}

void SdCard::SetSettings(const SdSettings& s) {
  std::lock_guard<std::recursive_mutex> lock(engine_.mutex());
  settings_ = s;
  engine_.WakeLoop();
}

SdCounters SdCard::Counters() const {
  std::lock_guard<std::recursive_mutex> lock(engine_.mutex());
  SdCounters c = counters_;
  if (c.requests == 0) return c;
  c.bytesSent = engine_.DataBytesSent() - sentAtStart_;
  c.ackSum = scan_.AckSum() - std::min(scan_.AckSum(), ackSumAtStart_);
  c.ackCount = scan_.AckCount() - std::min(scan_.AckCount(), ackCountAtStart_);
  return c;
}

}  // namespace nivex::emu
