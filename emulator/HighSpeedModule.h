// The command set and module state of the high-speed types RX5K10, RX5K30, RXBN500.
#pragma once

#include <cstdint>
#include <string>

#include "emulator/DataStreamer.h"
#include "emulator/Engine.h"
#include "emulator/HighSpeedScanSetup.h"
#include "emulator/SdCard.h"

namespace nivex::emu {

class HighSpeedModule : public ModuleHandler {
 public:
  HighSpeedModule(Engine& engine, Model model);

  Answer Handle(const std::string& line) override;
  CalShape AICalShape() const override;
  CalShape AOCalShape() const override;
  CalEntry UnityAI(int gainCode) const override;
  CalEntry UnityAO(int rangeCode) const override;
  void PowerOn() override;
  void OnDataConnected(int index) override;
  void OnDataReceived(int index, const char* bytes, size_t n) override;
  void OnDataClosed(int index) override;
  int OnTick(int64_t nowMs) override;
  int64_t NextTickUs() const override { return stream_.NextTickUs(); }

  // Full scale of an RX5K30 gain code in millivolts (10000 ... 20).
  static unsigned Rx5k30RangeMv(int gainCode);

  // The raw code the module reports for channel at gainCode: the channel's signal through
  // the inverse of its calibration entry, so that the host's calibration gives the signal
  // back (RX5K10: int16; RX5K30, RXBN500: 24-bit two's complement, sign-extended).
  int32_t RawCode(int channel, int gainCode) const;
  // The raw code of volts at an input.
  int32_t CodeOf(int channel, int gainCode, double volts) const;

  // Single-shot state: digital I/O, counters, analog outputs, encoder, configuration items.
  // Tests read and set it under the engine's lock.
  struct IOState {
    unsigned dout = 0;          // 4 bits
    unsigned din = 0;           // 4 bits (RX5K30: 3)
    uint32_t preset[4] = {};    // "@01PRE..." and "@01P%X%08X" write it, "@01P%X" reads it
    int dicntMode[4][2] = {};   // "$015PR..." mode bits
    int counterMode[2] = {};    // "$015..." mode bits
    uint32_t dicnt[4] = {};     // DI counts
    uint32_t counter = 0;       // the counter
    std::string aoText[2];      // RX5K30: last "#01cr+VV.VVV" value text per output
    int aoRange[2] = {};
    int aoCode[2] = {};         // last "#01cr%04X" code per output (-1: volts written last)
    int encFirst = 0, encMode = 1, encSecond = 0;  // as on the wire: encMode is mode + 1
    uint32_t encCount = 0;
    int divider = 0;            // "~01V" exponent
    int rpf = 0;
    int dt = 1;
    uint32_t ed[8] = {};        // float bits per channel
  };
  IOState io;

  // The scan-setup commands and their state (emulator/HighSpeedScanSetup.h).
  HighSpeedScanSetup& scan() { return scan_; }
  // The data port's acquisition and stream (emulator/DataStreamer.h).
  DataStreamer& stream() { return stream_; }
  // The SD card's recordings and their stream (emulator/SdCard.h).
  SdCard& sd() { return sd_; }

 private:
  void BuildCommon();
  void BuildRx5k10();
  void BuildRx5k30();
  void BuildRxbn500();
  void BuildDigital();   // RX5K10, RX5K30
  void BuildCounters();  // RX5K10
  void BuildConfig();    // RX5K10, RX5K30
  void BuildOutputs();   // RX5K30
  Answer ReadCodes(int gainCode);

  Model model_;
  CommandTable table_;
  HighSpeedScanSetup scan_{model_, io.divider};
  DataStreamer stream_;
  SdCard sd_{engine_, model_, stream_};
};

class Emulator;

// For tests and nivex-emu: the data streamer and the SD card of a high-speed module; null for
// the other types.
DataStreamer* StreamerOf(Emulator& e);
SdCard* SdCardOf(Emulator& e);

}  // namespace nivex::emu
