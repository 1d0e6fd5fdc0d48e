// What the three high-speed drivers (RX5K10, RX5K30, RXBN500) share: the data port and the two
// sockets, connection and disconnection, the window-size and hardware-version commands, the
// calibration tables, the one-shot analog reads and the code conversions, and helpers that
// format a command, exchange it and read reply fields. The types differ only in the hooks
// below (sample size, raw-read command, code conversion, calibration load), as the slot
// carriers do in theirs (drivers/slot/SlotCarrier.h).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "framework/RXMODEL_Class.h"

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

class HighSpeedModel : public MODEL {
 public:
  // The size of a reply buffer for Exchange.
  static constexpr size_t kReplySize = kExchangeReplySize;
  // The receive window announced to the module at connect.
  static constexpr unsigned int kWindowSize = 32768;

  HighSpeedModel(const char* ip, int cmdPort, int dataPort, WRXmodule row);
  ~HighSpeedModel() override;

  // Opens the command and the data socket, announces the window size and loads the
  // calibration. 1 on success; 0 with 0x17006 (a socket) or 0x13007 (calibration), and then
  // no socket is left open. Connecting an object that is connected starts afresh.
  int ConnectServer() override;
  // Closes the sockets that are open; always 1.
  int DisconnectServer() override;
  // "$01F": the hardware version as "V%x" of the decimal number the module answers. 0 when
  // the exchange fails or the module refuses; the text is then empty.
  int GetFPGAVersion(char* text) override;
  // "~01WS%06lu"; the reply is not examined; always 1.
  int SetWinSize(unsigned int bytes) override;
  // "~01XN": refreshes triggerIndex from a '!' reply (any other reply gives index 0); 1, or 0
  // with 0x17008 when the exchange fails. Also called by the acquisition workers.
  int GetAIAnalogTriggerIdx() override;

  // The receive-in-progress flag: set by a worker around each data-port receive; the
  // single-shot operations refuse with 0x18011 while it is set.
  void setQZsamplingStatus(bool busy) override { receiveInProgress = busy; }
  bool getQZsamplingStatus() override { return receiveInProgress; }

  // One-shot read of the raw codes of channels 0..count-1: the type's raw-read command, answered
  // with '>' (or '!') and one field of 2 x SampleBytes() hexadecimal digits per channel. Count
  // outside MinReadCount()..AI: 0x18008. While a receive is in progress a type that caches its
  // reads answers from the cache of the last read (exactly count values, nothing sent) when it
  // holds one; a type that does not refuses with 0x18011. A failed exchange or a reply that is
  // refused, short or not hexadecimal gives 0x17003.
  int ReadAIALLHEXRAW(int gain, int* raw, int count);
  // The one-shot reads: channel (0x18008) or count (0x18008), then gain code (0x18005), then
  // the raw read of every channel (one read) or of channels 0..count-1 (all reads), then the
  // conversion of each code. A failed raw read zeroes the outputs of ReadAIHEX, ReadAIALL and
  // ReadAIALLHEX; its error stands.
  int ReadAI(int channel, int gain, float* volts) override;
  int ReadAIALL(int gain, float* volts, int count) override;
  int ReadAIHEX(int channel, int gain, int* value) override;
  int ReadAIALLHEX(int gain, int* values, int count) override;

  // The calibration conversions: channel outside 0..AI-1: 0x18008; gain code outside
  // 0..ranges-1: 0x18005; then the type's CalibrateCode / CodeVolts.
  int Calibrate_HEX(int code, int channel, int gain, int* out) override;
  int Calibrate_Hex2Float(int code, int channel, int gain, float* out) override;

  // The socket of the command port (-1 when not connected).
  int CommandSocket() const override { return cmdSock; }

  // The software filter hooks: a type without software filters (RX5K10, RX5K30) takes every
  // call, returns 1 and changes nothing, neither the samples nor the error state. RXBN500 has
  // the filters (drivers/highspeed/RXBN500_Filter.cpp).
  int Init_Software_Filter(int, int, int) override { return 1; }
  int Set_LowPassFilter(int, int, float) override { return 1; }
  int Set_HighPassFilter(int, int, float) override { return 1; }
  int Set_BandPassFilter(int, int, float, float) override { return 1; }
  int Set_BandStopFilter(int, int, float, float) override { return 1; }
  int Filter_Data(unsigned int, float*) override { return 1; }
  int Filter_DataHEX(unsigned int, unsigned int*) override { return 1; }
  // Called by the scan start where the ring's channel cursor restarts (a new ring): the
  // next sample a filter hook sees is then that of channel 0 again. Nothing to do for a
  // type without filters.
  virtual void RestartFilterPhase() {}

  unsigned int dataPort;
  int cmdSock = -1;
  int dataSock = -1;
  // Run flag of the device's worker thread.
  std::atomic<bool> runFlag{false};
  HighSpeedCalibration cal;

 protected:
  // ---------------------------------------------------------------- the type's hooks
  // (The calibration load is the type's ReadAllGainOffsetfromQZ, with MODEL::LoadCalibration.)
  // Bytes of one sample on the data port: 2 (16-bit codes) or 4 (a 24-bit code in a 32-bit
  // word). A raw-read reply carries one field of twice as many hexadecimal digits per channel.
  virtual int SampleBytes() const = 0;
  // The raw-read command for a gain code.
  virtual void FormatRawRead(char* command, size_t size, int gain) const = 0;
  // The raw code of a raw-read field as it was read (the 16-bit type sign-extends it).
  virtual int32_t RawCode(uint32_t field) const { return static_cast<int32_t>(field); }
  // The smallest count a raw read takes.
  virtual int MinReadCount() const { return 1; }
  // True when a read during a receive answers from the cache of the last read; false when it
  // is refused with 0x18011.
  virtual bool CachesReads() const { return true; }
  // A raw code of a checked channel and gain code through the loaded calibration: the
  // calibrated code (out may be left as it was, see framework/Calibration.h) and volts.
  virtual void CalibrateCode(int code, int channel, int gain, int* out) const = 0;
  virtual float CodeVolts(int code, int channel, int gain) const = 0;

  // The AI count and gain-code count of the row, bounded by the calibration tables.
  int Channels() const;
  int Ranges() const;
  // True when more than half the AI count of (gain, offset) pairs of the channels and the
  // first `gains` gain codes are both zero: the module gave no calibration.
  bool CalibrationMissing(int gains) const;

  // ---- single-shot helpers (drivers/highspeed/HighSpeedModel.cpp)
  // Sets 0x18011 and gives true while a receive is in progress.
  bool Busy();
  // The checks of the calibration conversions: channel (0x18008), gain code (0x18005), then
  // the output (0x1300C). 1 when all pass.
  int CheckConversion(int channel, int gain, const void* out);
  // The steps of the one-shot reads: one channel, or channels 0..count-1, read raw and
  // converted with convert (Calibrate_HEX or Calibrate_Hex2Float).
  template <class T>
  using Conversion = int (HighSpeedModel::*)(int code, int channel, int gain, T* out);
  template <class T>
  int ReadChannel(int channel, int gain, T* out, Conversion<T> convert, bool clearOnFailure);
  template <class T>
  int ReadChannels(int gain, T* out, int count, Conversion<T> convert);
  // Digital I/O of the types that have it ("@01", "#01A%X1"/"#01A%X0").
  int ReadDIOCommon(unsigned int* di, unsigned int* dout);
  int WriteDOBitCommon(int bit, bool on);
  // Configuration items of the types that have them: the shared items of MODEL, item 6 (a
  // per-channel value in perChannel) and the refusals of unknown items.
  int SetConfigCommon(int kind, int sub, int value, float* perChannel);
  int GetConfigCommon(int kind, int sub, int* value, float* perChannel);

  // The raw codes of the last one-shot read (types that cache their reads) and whether they
  // are valid.
  int32_t rawCache[HighSpeedCalibration::kMaxChannels] = {};
  bool rawCacheValid = false;

  // ---- scan setup shared by the three types (drivers/highspeed/HighSpeedScan.cpp)
  // A setting command: 1 when the module accepted it ('!'); 0 with the exchange's error, or
  // with 0x17003 when the module refused it.
  int SetCommand(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // A query: 1 with a reply that begins with '!'; 0 with the exchange's error or 0x17003.
  int Query(char* reply, const char* command);
  // "~01P": the one-digit fields of the reply, one at every other position from position 4
  // ("!01G%dC%dT%dM%d": 4 digits; "!01C%dT%dM%d": 3). 0 with 0x17003 when the query fails or
  // a field is not a digit.
  int QueryScanDigits(int* digits, int count);
  // GetScanParam's first step: every output given (else 0 with 0x1300C).
  static int ScanOutputsGiven(const short* chCnt, const short* gain, const short* trig,
                              const int* rate, const unsigned int* target, const short* M,
                              const short* A);
  // What SetScanParam does once the module took its "~01P" command: after 1 ms, a new gain
  // code (gain >= 0 and not the cached one) reloads the calibration (the outcome is not
  // examined) and is cached; the channel count, trigger mode and transfer mode are cached;
  // 1 ms again.
  void KeepScanSetup(int gain, short chCnt, short trig, short M);
  // The module's trigger digit of a "~01P" command of the 24-bit types: 2 analog (trigger
  // 6), 8 chunk stream (trigger 8); software 1 when buffered (the load needs the module's
  // buffered mode), else 0.
  static int TriggerDigit(short trig, bool buffered);
  // What GetScanParam does once its "~01P" reply is checked: caches and gives back the gain
  // code g (g < 0: the type has one gain code; given back as 0, the cache left alone), the
  // channel count c, the trigger mode and the transfer mode m.
  void KeepScanReply(int g, int c, int trigMode, int m, short* chCnt, short* gain, short* trig,
                     short* M);
  // Steps "~01T" and "~01A" of SetScanParam: caches the target, then the acknowledge mode
  // and the parameters-sent flag; the outcome of the last command sent.
  int SendTargetAndAck(unsigned int target, short ackMode);
  // Steps "~01R", "~01T", "~01A" and the target rounding of GetScanParam. factors: the rate
  // reply names a, b, c (24-bit types), else it is in hertz. 0 with 0x17003 when a reply is
  // missing, refused or out of range; the steps read before stay cached.
  int ReadRateTargetAck(bool factors, int* rate, unsigned int* target, short* ackMode);

  // The analog trigger steps shared by the three types, on raw codes held as int32 (16-bit
  // codes or 24-bit codes, sign-extended). toRaw converts an enabled level of a channel and
  // is false when the channel's calibration cannot convert (zero gain or range).
  using LevelConverter = int (*)(HighSpeedModel& self, int channel, float volts, int32_t* raw);
  int SetTriggerLevels(int type, const char* enable, const float* high, const float* low, int n,
                       unsigned int pre, unsigned int post, float limit, int bits,
                       LevelConverter toRaw, int32_t* rawHigh, int32_t* rawLow,
                       unsigned int* triggerType);
  int GetTriggerLevels(int* type, char* enable, float* high, float* low, int n,
                       unsigned int* pre, unsigned int* post, int bits, int32_t* rawHigh,
                       int32_t* rawLow, unsigned int* triggerType);
  // Channels whose enabled levels were set through this object; the others are sent with
  // the disabled pattern of the current trigger type.
  bool triggerLevelSet[HighSpeedCalibration::kMaxChannels] = {};
};

}  // namespace nivex
