// What the high-speed types keep in tables: the factory calibration as loaded at connect, the
// constant scan traits of each type, and the rule rows of the runs built from them.
#pragma once

#include <cstdint>

#include "framework/AcquisitionRun.h"
#include "framework/EngineTimings.h"
#include "framework/RunLife.h"

namespace nivex {

// The factory calibration of one high-speed module as loaded at connect, in one form for the
// three types and for stored logs. All entries start at zero. Indexed [channel][gain code]
// (analog inputs) and [output][range code] (analog outputs).
struct HighSpeedCalibration {
  static constexpr int kMaxChannels = 8;  // analog inputs of the largest type
  static constexpr int kMaxRanges = 10;   // gain codes of the largest type
  static constexpr int kMaxAO = 2;        // analog outputs (RX5K30)
  static constexpr int kMaxAORanges = 4;  // analog output ranges (RX5K30)

  // RX5K10, RX5K30: gain (32768 = unity) and offset (codes) per channel and gain code.
  uint16_t gain[kMaxChannels][kMaxRanges] = {};
  int16_t offset[kMaxChannels][kMaxRanges] = {};
  // RX5K30: the range voltage of each gain code, shared by all channels.
  float range[kMaxRanges] = {};
  // RX5K30: analog-output gain and offset per output and range code.
  uint16_t aoGain[kMaxAO][kMaxAORanges] = {};
  int16_t aoOffset[kMaxAO][kMaxAORanges] = {};
  // RXBN500: gain (10.0 = unity) and offset (24-bit codes) per channel.
  float bnGain[kMaxChannels] = {};
  // RXBN500: the gain as the module reports it, x 1000 (10000 = unity).
  uint32_t bnGainMilli[kMaxChannels] = {};
  int32_t bnOffset[kMaxChannels] = {};
};

// How a type's scans differ: one constant table per type.
struct ScanTraits {
  unsigned sampleBytes;     // bytes of one sample on the data port (2 or 4)
  unsigned ringPerSample;   // ring bytes per target sample of an N-sample scan
  int32_t liveLimit;        // rate x channels above which the module buffers: pre-phase
  uint32_t bufferedModes;   // trigger modes (bit per mode) whose scans run the pre-phase
  uint32_t periodFloorMs;   // least pre-phase period
  int pauseAfterPrePhaseMs;
  bool longDataWait;        // the data wait of a pass is EngineTimings::longDataWait (else short)
  bool mode1Untimed;        // trigger mode 1 never ends by silence
  int countOnlyFirmware;    // "~01N" without its status field up to this firmware; -1: never
};

// The rule rows of the high-speed runs (drivers/highspeed/HighSpeedAcquisition.cpp): a scan by
// the type's traits, the logger, the sync-in scan and the SD download.
RunRules HighSpeedScanRules(const ScanTraits& traits, const EngineTimings& timings);
RunRules HighSpeedLoggerRules(const ScanTraits& traits, const EngineTimings& timings);
RunRules HighSpeedSyncInRules(const EngineTimings& timings);
RunRules HighSpeedDownloadRules(const EngineTimings& timings, int64_t silenceMs);
// What a high-speed run works with, taken at its start from the checked scan settings.
struct HighSpeedRun : RunParams {
  HighSpeedRun() { rate = 1; }
  ScanTraits traits{};
  bool syncIn = false;
  bool files = false;     // a log or a download: the samples go into data files
  unsigned rowBytes = 2;  // a stream row: channels x sample size, or a sync-in frame
};
// The plans of the high-speed runs (drivers/highspeed/HighSpeedAcquisition.cpp), one per kind.
RunPlan HighSpeedScanPlan(const HighSpeedRun& r);
RunPlan HighSpeedSyncInPlan(const HighSpeedRun& r);
RunPlan HighSpeedLoggerPlan(const HighSpeedRun& r);
RunPlan HighSpeedDownloadPlan(const HighSpeedRun& r);  // the caller drains before its request
// The silence limit of a download: the time-out unit set with the configuration item (when
// one is) x the silence step, else a fixed limit: the scan rate the device last took says
// nothing of a recording.
int64_t DownloadSilenceMs(const EngineTimings& timings, int timeoutUnitOverride);

}  // namespace nivex
