// The stored-log handle: what one opened scan log holds (the module-table row of the module
// that wrote it, the scan settings and per-channel calibration of its ".config" file, the open
// data file) and the conversions of its raw codes into calibrated codes and volts. The
// conversions are the ones of the live drivers (framework/Calibration.h), so a code read back
// from a log converts exactly as the same code read live (RXBN500 calibrated codes aside: the
// log scales them its own way, one 24-bit step apart for some codes).
//
// Every ModelLog in existence is registered, so an exported function can tell a stored-log
// handle from any other pointer without reading through it.
#pragma once

#include <cstdint>
#include <ctime>

#include "framework/RXMODEL_ModuleTable.h"

namespace nivex {

class BinaryFile;  // support/Storax.h
class TextFile;

class ModelLog {
 public:
  // Sample kinds.
  static constexpr uint32_t kKind16 = 1;  // 16-bit samples
  static constexpr uint32_t kKind24 = 3;  // 32-bit words holding 24-bit samples

  // Copies the row and its name, stores the sample kind, allocates the three tables (the
  // row's AI count entries each, all zero; null when the AI count is 0) and registers the
  // handle.
  ModelLog(WRXmodule row, int kind);
  // Unregisters the handle; frees nothing (ReleaseModelLog frees what the handle owns).
  ~ModelLog();
  ModelLog(const ModelLog&) = delete;
  ModelLog& operator=(const ModelLog&) = delete;

  // The formula is the one of the row's module ID (CodeFormulaOf); the stored name selected
  // the row when the log was opened.
  // Raw code to calibrated code. Kind 1: 16-bit conversion; kind 3: RX-5K30 (24-bit, the gain
  // code must be the log's own: it selects the full scale, 0..9) or RX-BN500; any other type:
  // out unchanged. 1 on success; 0 with 0x18008 for a channel outside
  // 0..AI-1 and 0x18005 for an RX-5K30 gain code outside 0..9 (out unchanged). An RX-5K30
  // code outside 0..0xFFFFFF leaves out unchanged and gives 1.
  int Calibrate_HEX(int code, int channel, int gainCode, int* out) const;
  // Raw code to volts: RX-5K10 and D4071s (gain code 0: +/-5 V, 1: +/-10 V, other: 0.0),
  // RX-5K30, RX-BN500. Any other type: 0 with 0x13003, out unchanged. Range
  // errors as Calibrate_HEX.
  int Calibrate_Hex2Float(int code, int channel, int gainCode, float* out) const;

  WRXmodule row;
  BinaryFile* binFile = nullptr;  // data file of a binary log (file type 0)
  TextFile* textFile = nullptr;   // data file of a text log (file type 1)
  char name[20] = {};
  uint32_t sampleRate = 0;
  uint16_t externalTrigger = 0;
  uint16_t gain = 0;              // the scan's gain code
  uint16_t channelCount = 0;
  uint16_t transferMode = 0;
  uint32_t sampleCount = 0;
  struct tm startTime = {};       // year and month as written
  uint32_t startFraction = 0;
  uint32_t startFractionDigits = 0;  // digits the fraction was written with (".050": 3)
  uint32_t fileType = 0;
  uint32_t sampleKind = 0;
  uint8_t sdkVersion = 0;
  uint16_t syncMode = 0;
  uint16_t* gainTable = nullptr;    // per channel
  int32_t* offsetTable = nullptr;   // per channel
  uint32_t* rangeTable = nullptr;   // RX-5K30: range of the gain code in mV; RX-BN500: gain x 1000

 private:
  bool ChannelOk(int channel) const;
};

// True when p is a live ModelLog (compared by address, never read through).
bool IsModelLog(const void* p);

// Runs call(log) with the registry's lock held when p is a live ModelLog and returns its
// result; else sets 0x1300A and returns 0. The handle cannot be released meanwhile.
int WithModelLog(const void* p, int (*call)(const ModelLog& log, void* context), void* context);

// Closes and deletes the data files, frees the tables and deletes the handle. Null is ignored.
void ReleaseModelLog(ModelLog* log);

// Releases p when it is a live ModelLog, as one step: true when it was one; a second close of
// the same pointer, or any other pointer, does nothing and gives false.
bool CloseModelLog(const void* p);

// Opens a stored log: reads the ".config" file at configPath through the scan-log format unit
// (the module name picks the row and sample kind: "RX-5K10", "RX-5K30", "D4071s", "RX-BN500",
// any other name reads as RX-5K10 with 16-bit samples; the settings, the start time and, for
// the first min(channel count, AI) channels, gain and offset, or range and offset on RX-BN500,
// RX-5K30 taking its one "Range" for every channel) and opens the data file at dataPath as
// fileType tells (0 binary, 1 text, any other type: no data file). Returns the new registered handle, or null with 0x14102 when the
// ".config" file cannot be read, is empty or names no module, or the data file does not open.
ModelLog* OpenModelLog(const char* dataPath, const char* configPath, int fileType);

}  // namespace nivex
