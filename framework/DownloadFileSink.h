// The data files of a logging run or an SD-card download, as the sink of the stream receiver.
//
// The samples go into scan-log data files (framework/ScanLogFormat.h): binary rows (the words
// exactly as the module sent them), text rows (one value per sample, the channel count of values
// to a row) or, for a chunk stream, the received bytes unchanged. The first file is opened at
// the first data. Once the rotation period has passed, the next file is started at a row
// boundary: the samples of the chunk that begin an unfinished row go to the new file, so every
// file but the last of a run holds whole rows (a chunk without a row boundary stays whole in
// the current file, and the rotation waits for a later chunk). A chunk stream rotates after the
// chunk.
//
// Files are opened for appending: a name that exists already is never truncated, and a next
// name equal to the open file's keeps writing that file. Each chunk is one write. A file that
// cannot be opened, written or closed marks the sink failed: it takes nothing more, and the
// worker ends its run.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "framework/ScanLogFormat.h"
#include "framework/StreamReceiver.h"

namespace nivex {

class DownloadFileSink final : public SampleSink {
 public:
  using Clock = std::chrono::steady_clock;

  struct Setup {
    unsigned sampleBytes = 2;  // 2: 16-bit codes; 4: 24-bit codes in 32-bit words
    unsigned channels = 1;     // values to a row (0 counts as 1)
    bool textRows = false;     // text rows, else binary rows
    int decimals = scanlog::kTextDecimals16Bit;
    bool rawChunks = false;  // the received bytes unchanged; rotates whatever `rotates` says
    bool rotates = false;    // files rotate by time (the split mode is not 0)
    uint64_t periodMs = 0;   // the rotation period
  };
  // Gives the full path of the next data file, its folder made; first: the run's first file.
  // False when no file can be named (the sink then fails).
  using Namer = std::function<bool(bool first, std::string* path)>;
  // The value of a code on a channel, for text rows.
  using Volts = std::function<double(int32_t code, unsigned channel)>;

  DownloadFileSink() = default;
  ~DownloadFileSink() { Close(); }
  DownloadFileSink(const DownloadFileSink&) = delete;
  DownloadFileSink& operator=(const DownloadFileSink&) = delete;

  // Starts a run: no file is open until the first data. A file still open is closed first.
  void Begin(const Setup& setup, Namer namer, Volts volts);
  // Whole samples (chunk stream: any bytes), in stream order.
  void Take(const uint8_t* data, size_t bytes) override;
  // Closes the open file and opens the next one the namer gives; false when the sink failed.
  bool NextFile();
  // Flushes and closes the open file; false when the sink has failed.
  bool Close();

  bool Failed() const { return failed_; }
  const std::string& Path() const { return path_; }  // the file opened last
  int Files() const { return files_; }               // files opened in the run
  uint64_t Samples() const { return taken_; }        // samples taken in the run

 private:
  bool Due() const;
  void WriteRows(const uint8_t* data, size_t samples);
  void Put(const char* bytes, size_t n);

  Setup setup_;
  Namer namer_;
  Volts volts_;
  scanlog::TextRows rows_{1, scanlog::kTextDecimals16Bit};
  FILE* file_ = nullptr;
  std::string path_;
  Clock::time_point opened_{};
  uint64_t taken_ = 0;
  int files_ = 0;
  bool failed_ = false;
};

}  // namespace nivex
