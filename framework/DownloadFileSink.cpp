#include "framework/DownloadFileSink.h"

#include <algorithm>
#include <utility>

namespace nivex {

void DownloadFileSink::Begin(const Setup& setup, Namer namer, Volts volts) {
  Close();
  setup_ = setup;
  if (setup_.sampleBytes != 4) setup_.sampleBytes = 2;
  if (setup_.channels == 0) setup_.channels = 1;
  namer_ = std::move(namer);
  volts_ = std::move(volts);
  rows_ = scanlog::TextRows(setup_.channels, setup_.decimals);
  path_.clear();
  taken_ = 0;
  files_ = 0;
  failed_ = false;
}

bool DownloadFileSink::Due() const {
  return Clock::now() - opened_ >= std::chrono::milliseconds(setup_.periodMs);
}

void DownloadFileSink::Take(const uint8_t* data, size_t bytes) {
  if (failed_ || bytes == 0) return;
  if (file_ == nullptr && !NextFile()) return;  // the first data opens the first file
  if (setup_.rawChunks) {
    Put(reinterpret_cast<const char*>(data), bytes);
    if (!failed_ && Due()) NextFile();
    return;
  }
  const size_t samples = bytes / setup_.sampleBytes;
  taken_ += samples;
  // The samples at the end of the chunk that begin an unfinished row.
  const size_t tail = static_cast<size_t>(taken_ % setup_.channels);
  if (!setup_.rotates || tail > samples || !Due()) {
    WriteRows(data, samples);
    return;
  }
  const size_t head = samples - tail;
  WriteRows(data, head);
  if (!failed_ && NextFile()) WriteRows(data + head * setup_.sampleBytes, tail);
}

void DownloadFileSink::WriteRows(const uint8_t* data, size_t samples) {
  if (failed_ || samples == 0) return;
  const unsigned size = setup_.sampleBytes;
  if (!setup_.textRows) {
    Put(reinterpret_cast<const char*>(data), samples * size);
    return;
  }
  rows_.Clear();
  for (size_t i = 0; i < samples; ++i, data += size) {
    // Little-endian words: a 16-bit code sign-extended, a 32-bit word as it stands.
    const uint32_t word = size == 2 ? static_cast<uint32_t>(data[0] | data[1] << 8)
                                    : static_cast<uint32_t>(data[0]) | uint32_t{data[1]} << 8 |
                                          uint32_t{data[2]} << 16 | uint32_t{data[3]} << 24;
    const int32_t code = size == 2 ? static_cast<int16_t>(word) : static_cast<int32_t>(word);
    rows_.Append(volts_ ? volts_(code, rows_.Phase()) : 0.0);
  }
  Put(rows_.Text().data(), rows_.Text().size());
}

void DownloadFileSink::Put(const char* bytes, size_t n) {
  if (file_ == nullptr || fwrite(bytes, 1, n, file_) != n) failed_ = true;
}

bool DownloadFileSink::NextFile() {
  if (failed_) return false;
  std::string path;
  if (!namer_ || !namer_(files_ == 0, &path) || path.empty()) {
    failed_ = true;
    return false;
  }
  opened_ = Clock::now();
  if (file_ != nullptr && path == path_) return true;  // the same name: the open file goes on
  if (!Close()) return false;
  file_ = fopen(path.c_str(), "ab");
  if (file_ == nullptr) {
    failed_ = true;
    return false;
  }
  path_ = std::move(path);
  ++files_;
  return true;
}

bool DownloadFileSink::Close() {
  if (file_ != nullptr) {
    if (fclose(file_) != 0) failed_ = true;
    file_ = nullptr;
  }
  return !failed_;
}

}  // namespace nivex
