// The data files of a logging run (the high-speed logger, the SD-card download) as a sink of the
// stream receiver: the whole samples of each receive go into binary or text data files, named
// and placed by the scan-log format, with a new file every rotation period.
//
//   - Binary rows: the sample words as the module sent them, one write per receive.
//   - Text rows: one value per sample in volts, formatted per receive into one buffer and
//     written with one call, '.' whatever the locale; the row phase runs on across receives
//     and files.
//   - A chunk stream (trigger mode 8): the received bytes unchanged, into ".txt" files, and the
//     files rotate whatever the split mode.
//   - Rotation: once the current file has been open for the period, the receive is cut after
//     its last whole row; the rows go to the old file, the rest starts the new one. A receive
//     without a row boundary stays whole in the old file and the rotation waits; so does one
//     whose only boundary is its start while the old file is still empty.
//   - A new file whose name is that of the current one (started within the same second, in
//     whatever folder) is no new file: the current one goes on, the receive whole, until the
//     second changes. A file is opened for appending, never truncated.
//   - The first file is named by the given time (an SD download: the recording's date) or the
//     log clock at the first data; every later one by the log clock when it starts.
//   - A file that cannot be opened, written or closed ends the run's writing: Failed() turns
//     true and nothing more is written. So does one that has lost its name by the time it is
//     closed (at a rotation or the end).
//
// Begin is called before the worker runs; Take and Rotate run on the worker; Close on the
// worker or, once the worker has been joined, on the thread that stopped it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

#include "framework/ScanLogFormat.h"
#include "framework/StreamReceiver.h"

namespace nivex {

class LogFileSink final : public SampleSink {
 public:
  struct Setup {
    std::string logFolder;  // <base>/log/<prefix>: the data files lie in it or a sub-folder
    std::string prefix;     // address prefix of the names
    unsigned int tag = 0;   // the run's file tag
    int splitMode = scanlog::kSplitMinute;
    int logType = scanlog::kLogBinary;
    bool chunkStream = false;      // raw bytes into ".txt" files; rotation whatever the split mode
    unsigned int sampleBytes = 2;  // 2: 16-bit codes; 4: a 24-bit code in a 32-bit word
    unsigned int channels = 1;     // a row (0 counts as 1)
    uint64_t periodMs = 0;         // rotation period (scanlog::RotationPeriodMs)
    int decimals = scanlog::kTextDecimals16Bit;  // of a text value
    // The volts of a text value: the raw code (16-bit codes sign-extended, 32-bit words as
    // they stand) and its channel.
    std::function<double(int32_t code, unsigned int channel)> volts;
    // Runs once, on the worker, when the run's first data file is open and before its first
    // bytes are written.
    std::function<void()> firstFile;
    // The first file's time (the SD download names it by the recording's date); otherwise the
    // log clock at the first data.
    bool firstTimeGiven = false;
    struct tm firstTime = {};
  };

  LogFileSink() = default;
  ~LogFileSink() { Close(); }
  LogFileSink(const LogFileSink&) = delete;
  LogFileSink& operator=(const LogFileSink&) = delete;

  // Starts a run: no file is open until the first data.
  void Begin(Setup setup);
  // One receive's whole samples (a chunk stream's raw bytes).
  void Take(const uint8_t* data, size_t bytes) override;
  // Starts the next data file now, named by the log clock; true when a file is open afterwards
  // (the current one when the new path is the same).
  bool Rotate();
  // Closes the current data file; nothing when none is open. A failed close fails the sink.
  void Close();

  // A data file could not be opened, written or closed: the run's data are not all kept.
  bool Failed() const { return failed_; }
  // Path of the current (or last) data file; "" before the first.
  const std::string& Path() const { return path_; }
  // Whole samples taken in the run (receives in a chunk stream are not counted here).
  uint64_t Samples() const { return samples_; }

 private:
  using Clock = std::chrono::steady_clock;

  // Where a data file started at t lies (first: the run's first file).
  struct Place {
    char sub[32];
    char folder[scanlog::kPathSize];
    char path[scanlog::kPathSize];
  };
  bool PlaceAt(const struct tm& t, bool first, Place* place) const;
  // The place names the current file (the same name: the same second).
  bool IsCurrent(const Place& place) const;
  // Opens the file of the place unless it is the current one.
  bool Open(const Place& place);
  bool OpenAt(const struct tm& t, bool first);
  bool RotationDue() const;
  // Writes n whole samples of data to the current file (binary or text rows).
  void WriteSamples(const uint8_t* data, size_t n);
  void WriteBytes(const void* data, size_t n);
  void Fail();

  Setup s_;
  int fd_ = -1;
  bool named_ = false;  // the run's first file has been named
  bool failed_ = false;
  uint64_t samples_ = 0;
  uint64_t fileBytes_ = 0;  // written into the current file in this run
  Clock::time_point fileStart_{};
  std::string path_;
  scanlog::TextRows rows_{1, scanlog::kTextDecimals16Bit};
};

}  // namespace nivex
