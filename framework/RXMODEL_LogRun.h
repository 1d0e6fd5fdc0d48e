// What the loggers of both families share on top of MODEL: the start-time line of a log run's
// ".config" file, the data files of a run as the logger fields name them, and the ".config"
// file's common part.
#pragma once

#include <cstddef>
#include <ctime>
#include <functional>

#include "framework/LogFileSink.h"
#include "framework/RXMODEL_Class.h"
#include "framework/ScanLogFormat.h"

namespace nivex {

class LoggingModel : public MODEL {
 public:
  using MODEL::MODEL;

 protected:
  // The room the start-time text takes (GetQZStartSamplingTime's caller gives this much).
  static constexpr size_t kStartTimeSize = 256;
  // "~01SST" on the command socket: the reply from its fifth character into text (at most
  // kStartTimeSize bytes). 1; 0 with the exchange's error, or 0x17003 for a refused or short
  // reply.
  int AskStartSamplingTime(char* text);
  // Appends "Start Sampling Time,<the module's text>" to configPath for the log modes that have
  // the line, when the module tells the time (GetQZStartSamplingTime).
  void AppendStartSamplingTime();
  // The data files of a log run as the logger fields name them: the log folder, prefix, tag,
  // split mode (the log folder mode), log type and rotation period (minutes per file); rows of
  // channels samples of sampleBytes each.
  LogFileSink::Setup LogFilesOfRun(unsigned int channels, unsigned int sampleBytes) const;
  // Makes <base>/config, sets configPath to the run's ".config" file (scanlog::RunConfigPath)
  // and writes the cached scan settings into it (module name, IP, gain, channels, rate, target,
  // trigger and transfer mode), with what describe (may be null) adds or changes. False when
  // the folder or the file cannot be made or written.
  bool WriteRunConfig(const char* base, const char* prefix, unsigned int tag, const struct tm& t,
                      const std::function<void(scanlog::ScanConfig*)>& describe);
};

}  // namespace nivex
