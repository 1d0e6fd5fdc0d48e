// What the three high-speed drivers (RX5K10, RX5K30, RXBN500) share: the sockets, the one-shot
// reads and code conversions, the scan engine (its runs' life is the framework's:
// framework/RunLife.h), the host ring, the module status queries and the command helpers. The
// types differ only in the hooks below, as the slot carriers do in theirs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "drivers/highspeed/HighSpeedTables.h"
#include "framework/AcquisitionRun.h"
#include "framework/EngineTimings.h"
#include "framework/HostRing.h"
#include "framework/LogFileSink.h"
#include "framework/RXMODEL_LogRun.h"
#include "framework/ScanLogFormat.h"
#include "framework/StreamReceiver.h"

namespace nivex {

class HighSpeedModel : public LoggingModel, private AcquisitionRun::Host, private RunLife::Device {
 public:
  static constexpr size_t kReplySize = kExchangeReplySize;  // a reply buffer for Exchange
  static constexpr unsigned int kWindowSize = 32768;  // the receive window announced at connect

  HighSpeedModel(const char* ip, int cmdPort, int dataPort, WRXmodule row);
  ~HighSpeedModel() override;

  // Opens the command and the data socket, announces the window size and loads the
  // calibration. 1 on success; 0 with 0x17006 (a socket) or 0x13007 (calibration, or a command
  // the module left unanswered: nothing more is sent then), and then no socket is left open.
  // Connecting an object that is connected starts afresh.
  int ConnectServer() override;
  // Stops a running worker first ("~01Z" while the sockets are open, the worker stop, the ring
  // released), then closes the sockets that are open; always 1.
  int DisconnectServer() override;
  // "$01F": the hardware version as "V%x" of the decimal number the module answers behind its
  // lead ('!' or '>'; an empty reply is version 0). 0 when the exchange fails, and 0 with
  // 0x17003 when the module refuses or the reply holds a NUL; the text is then empty.
  int GetFPGAVersion(char* text) override;
  // "~01WS%06lu"; the reply is not examined; always 1. SendWinSize: 1 when the module
  // answered (whatever it said), 0 when no reply came.
  int SetWinSize(unsigned int bytes) override;
  int SendWinSize(unsigned int bytes);
  // "~01XN": refreshes triggerIndex from a '!' reply (any other reply gives index 0); 1, or 0
  // with 0x17008 when the exchange fails. Also called by the acquisition workers.
  int GetAIAnalogTriggerIdx() override;

  // Set by a worker around each data-port receive; the single-shot reads refuse (0x18011).
  void setQZsamplingStatus(bool busy) override { receiveInProgress = busy; }
  bool getQZsamplingStatus() override { return receiveInProgress; }

  // One-shot read of the raw codes of channels 0..count-1 (count outside MinReadCount()..AI:
  // 0x18008). During a receive a type that caches its reads answers from its cache, another
  // refuses with 0x18011. A failed exchange or a reply that is not the fields: 0x17003.
  int ReadAIALLHEXRAW(int gain, int* raw, int count);
  // The one-shot reads: channel (0x18008) or count (0x18008), then gain code (0x18005), then
  // the raw read of every channel (one read) or of channels 0..count-1 (all reads), then the
  // conversion of each code. A failed raw read zeroes the outputs of ReadAIHEX, ReadAIALL and
  // ReadAIALLHEX; its error stands.
  int ReadAI(int channel, int gain, float* volts) override;
  int ReadAIALL(int gain, float* volts, int count) override;
  int ReadAIHEX(int channel, int gain, int* value) override;
  int ReadAIALLHEX(int gain, int* values, int count) override;

  // Channel outside 0..AI-1: 0x18008; gain code outside 0..ranges-1: 0x18005; then the type's
  // CalibrateCode / CodeVolts.
  int Calibrate_HEX(int code, int channel, int gain, int* out) override;
  int Calibrate_Hex2Float(int code, int channel, int gain, float* out) override;

  int CommandSocket() const override { return cmdSock; }  // -1 when not connected

  // ---------------------------------------------------------------- scan control
  // (drivers/highspeed/HighSpeedQueue.cpp) Starts and stops take the control lock, never
  // while the caller holds the command lock. A start (MODEL::StartLANQueue) is refused with
  // 0x18011 while a worker exists and with 0x18008 for a channel count outside 1..AI (sync-in:
  // 0) or a rate below 1, before anything changes; 0 without a code while a socket is closed.
  // "~01Z" (not examined), then StopAIScan; 0 without a code when the data socket is closed.
  int StopLANQueue() override;
  // "~01S" / "~01Z", 1000 ms; the outcome is not examined; 1.
  int StartMagicScan() override;
  int StopMagicScan() override;

  // ---------------------------------------------------------------- workers
  // (drivers/highspeed/HighSpeedAcquisition.cpp) Every worker is the device's acquisition run
  // (framework/AcquisitionRun.h) with the rule row of its kind; these name its steps: the
  // pre-phase (1 when the module accepted "~01E") and the receive loop (1).
  int RunThreadAIScan_NSampleRoutine() override;
  int RunThreadAIScan_ReceiveDATAfromQZDevice() override;
  void RunThreadSyncInScan() override;

  // ---------------------------------------------------------------- SD-card recordings
  // (drivers/highspeed/HighSpeedSDCard.cpp; the download worker in HighSpeedDownload.cpp)
  // "~01SDC": the number of recordings on the module's card. Null count: 0x1300C; 0x18011
  // while a receive is in progress; a failed exchange or a reply that is refused or not a
  // data reply, or one with more than blanks behind the number: 0x17003; no decimal number at
  // position 3: 0x17008. The count is left as it was on every failure.
  int GetSDAllLogFiles(unsigned int* count) override;
  // "~01SDI%08u": one recording's "first:samples:date" (date: up to its first blank, 256 bytes).
  // Checked as GetSDAllLogFiles; an index of more than 8 digits or a null output: 0x1300C; a
  // missing field: 0x17008. The outputs are left as they were on every failure.
  int GetSDLogFile_Info(unsigned int index, unsigned int* first, unsigned int* samples,
                        char* date) override;
  // Copies one recording to the host as a logging run (".config" with the module's text for
  // log types 0-2, data files named from the recording's date). In this order: selector (0-9),
  // index (8 digits) or base folder: 0x1300C; sockets closed: 0; channels or rate: 0x18008; a
  // running worker stopped; the description (a bad date: 0x17008); the log folder (0x14102);
  // the data socket drained; "~01SDL"; the worker. Not with the command lock held.
  int DownloadSDFile(unsigned int index, char selector, char* folder, int logType) override;
  // Writes <base>/config/IP_<prefix>_<tag>_<date>.config with the text of the module's
  // "~01SDL%01d%08u" reply. 0 when written; -1 when the file cannot be made (0x14102), the
  // exchange fails, the module refuses (0x17003) or the text does not fit 1023 chars (0x17009).
  int SaveSDConfigFile(unsigned int index, char selector, char* base, char* prefix,
                       unsigned int tag, void* time) override;
  // Stops a running worker (with its clean-up, no module command) and starts the download
  // worker for the recording the last DownloadSDFile described; 1, or 0 (0x18008 for the
  // channel count or rate; a thread that cannot be made).
  int StartDownload() override;
  // The download worker and its receive loop (1): until the recording's sample count, a stall,
  // a receive error, a data file that cannot be written, or the stop.
  void RunThreadDownload() override;
  int RunThreadDownload_ReceiveDATAfromQZDevice() override;
  // Opens the download's next data file: the first is named from the recording's date, a later
  // one from the local time; 1, or 0 when it cannot be opened.
  int ChangeTimeStamp_SD_Download() override;

  // ---------------------------------------------------------------- logger
  // (drivers/highspeed/HighSpeedLogger.cpp) A scan run into data files. The start is refused
  // like a scan start, before anything changes; 0x1300C for a base folder whose data-file paths
  // would not fit 260 bytes; 0x14102 when the ".config" file (log types other than 3 and 4),
  // the log folder or the worker cannot be made. Then "~01S"; 1.
  int StartLogger(char* folder, int minutesPerFile, int logType) override;
  // "~01Z" and the worker stop when both sockets are open (whatever worker runs, with its
  // clean-up); 1, or 0 with 0x14102 when the run it stopped lost data to a data file.
  int StopLogger() override;
  // Writes the run's ".config" file into <base>/config (created when missing).
  void SaveMagicConfig(char* base, char* prefix, unsigned int tag, void* time) override;
  // Starts the next data file of the running log now (the worker does this itself at its
  // first data and at each rotation); 1, or 0 when it cannot be opened.
  int ChangeTimeStamp() override;
  // Log types 0 and 1: "~01SST"; the start-time line it answers appended to the ".config".
  void SaveStartSamplingTimetoConfigFile() override;
  // The logger worker: the scan worker's steps with the logger's rules.
  void RunThread() override;
  int RunThreadLog_NSampleRoutine() override;
  int RunThreadLog_ReceiveDATAfromQZDevice() override;

  // ---------------------------------------------------------------- host ring and events
  // (drivers/highspeed/HighSpeedRing.cpp)
  // Allocates ringSize bytes for the run (0x1300E when it cannot); the status word starts at 0.
  int LANBuffer_Init() override;
  // Frees the storage; the status word and Get_ADSize still describe the finished run.
  void LANBuffer_Uninit() override;
  // A ring write: what fits, in whole rows of the stream (QZ_BUF_OVERFLOW and the overflow
  // event when anything is dropped); -1 when the chunk was dropped whole, else 0.
  int AD_WriteData(const char* data, unsigned int length);
  // Up to count whole elements of width bytes; the number taken. In a sync-in run a width of
  // the run's frame size takes whole frames from a frame start (HostRing::ReadRows).
  int AD_ReadData(char* destination, unsigned int count, int width) override;
  // Up to count samples in volts, each with the channel of its place in the module's stream
  // and the run's gain code (0.0 for a code the calibration cannot convert); the number taken.
  int AD_ReadData_float(float* destination, unsigned int count, int width) override;
  unsigned short AD_BufferStatus() override;
  unsigned int Get_ADSize() override;  // whole samples in the ring
  int AD_ClearData() override;         // empties the ring, status 0; 0
  // AD_ReadData with width 1 / Get_ADSize (RXBN500: MODEL's defaults).
  int ReadHostLANBuffer(char* destination, unsigned int count) override;
  unsigned int ReadHostLANBufferCnt() override;
  void Add_AD_Buf_Status(int bits);
  // The mask, argument and non-null callback stored (never called); 0. RXBN500: MODEL's.
  int SetEventCallback(unsigned short mask, unsigned short second, void* callback,
                       void* userArgument) override;
  int RemoveEventCallback(unsigned short mask) override;
  void DOCallBackFun(unsigned short event) override;

  // ---------------------------------------------------------------- module status
  // (drivers/highspeed/HighSpeedStatus.cpp)
  // "~01N": the module's status (two digits at 3, left as it was on RX5K10 up to firmware
  // 0x307, whose count starts at 3) and sample count (decimal from 5). False, outputs left,
  // when the exchange fails or the reply is refused, short, not a number or longer than it.
  bool GetQZRAMBufferStatus(uint32_t* count, uint32_t* status);
  // "~01E": 1 when the module accepted (it then sends its buffered samples), else 0x17003.
  int TransmitData() override;
  // "~01SST": the reply from position 4 into text (256 bytes); a failed, refused or short
  // reply leaves text as it was (0x17003).
  int GetQZStartSamplingTime(char* text) override;
  // "Q", waiting for no reply (the module restarts); 1.
  int ReBoot() override;
  // The module's sample count of the last "~01N" of a pre-phase (0 from each start).
  unsigned int GetDAQSampleCnt() override;
  // Samples the host received in the run; 0 while the data socket is closed.
  unsigned int GetTCPReceivedCnt() override;
  // The received count back to 0 while the data socket is open (RXBN500: MODEL's default).
  void ClearCnt() override;

  // The software filter hooks: 1 and nothing changed, but for RXBN500 (RXBN500_Filter.cpp).
  int Init_Software_Filter(int, int, int) override { return 1; }
  int Set_LowPassFilter(int, int, float) override { return 1; }
  int Set_HighPassFilter(int, int, float) override { return 1; }
  int Set_BandPassFilter(int, int, float, float) override { return 1; }
  int Set_BandStopFilter(int, int, float, float) override { return 1; }
  int Filter_Data(unsigned int, float*) override { return 1; }
  int Filter_DataHEX(unsigned int, unsigned int*) override { return 1; }
  // The type's part of a log's ".config" file for the run's gain code: the optional lines
  // and the per-channel calibration. By default "CH%d" and "CH%d,Gain,%d, Offset,%d" from the
  // gain words and offsets (RX5K10 and RX5K30 add theirs; RXBN500 has its own).
  virtual void DescribeLogRun(scanlog::ScanConfig* config, int gain) const;
  // Decimals of a value in a text log.
  virtual int LogTextDecimals() const { return scanlog::kTextDecimals24Bit; }
  // Called by the scan start (a new ring): the next sample a filter sees is channel 0's.
  virtual void RestartFilterPhase() {}
  // Called by the ring reads of samples on the reading thread: the channel of the first sample
  // taken and the run's channel count, for the filter hook which follows the read.
  virtual void NoteReadChannels(unsigned first, unsigned channels) {
    (void)first;
    (void)channels;
  }

  // The loaded calibration (the trigger-level conversions of the scan setups use it).
  const HighSpeedCalibration& Calibration() const { return cal; }

 protected:
  int cmdSock = -1;
  HighSpeedCalibration cal;

  // ---------------------------------------------------------------- the type's hooks
  // (The calibration load is the type's ReadAllGainOffsetfromQZ, with MODEL::LoadCalibration.)
  virtual const ScanTraits& Traits() const = 0;  // how the type's scans differ
  // Bytes of one sample on the data port: 2 (16-bit codes) or 4 (a 24-bit code in 32 bits).
  int SampleBytes() const { return static_cast<int>(Traits().sampleBytes); }
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
  float CodeVolts(int code, int channel, int gain) const {
    return CodeVoltsOf(cal, code, channel, gain);
  }
  // The volts through a given calibration: the loaded one, or a run's copy of it (a scan
  // setup may load another while the run's worker converts).
  virtual float CodeVoltsOf(const HighSpeedCalibration& c, int code, int channel,
                            int gain) const = 0;

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
  // A query: 1 with a data reply (ReplyFits with kDataLeads, any length: the caller checks
  // the length its fields make); 0 with the exchange's error or 0x17003.
  int Query(ReplyLine* reply, const char* command);
  // "~01P": the one-digit fields of the reply, one at every other position from position 4
  // ("!01G%dC%dT%dM%d": 4 digits; "!01C%dT%dM%d": 3). 0 with 0x17003 when the query fails,
  // the reply is not exactly that long or a field is not a digit.
  int QueryScanDigits(int* digits, int count);
  // GetScanParam's first step: every output given (else 0 with 0x1300C).
  static int ScanOutputsGiven(const short* chCnt, const short* gain, const short* trig,
                              const int* rate, const unsigned int* target, const short* M,
                              const short* A);
  // What SetScanParam does once the module took "~01P": after 1 ms, a new gain code (>= 0)
  // reloads the calibration; gain, channel count, trigger and transfer mode cached; 1 ms again.
  void KeepScanSetup(int gain, short chCnt, short trig, short M);
  // The trigger digit of a 24-bit type's "~01P": 2 analog (trigger 6), 8 chunk stream
  // (trigger 8); software 1 when buffered, else 0.
  static int TriggerDigit(short trig, bool buffered);
  // What GetScanParam does once its "~01P" reply is checked: caches and gives back the gain
  // code g (g < 0: the type has one gain code; given back as 0, the cache left alone), the
  // channel count c, the trigger mode and the transfer mode m.
  void KeepScanReply(int g, int c, int trigMode, int m, short* chCnt, short* gain, short* trig,
                     short* M);
  // Steps "~01T" and "~01A" of SetScanParam, each cached; the outcome of the last one sent.
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

  // ---- the scan engine
  // The notional ring of a continuous run, which also sizes the logger's time-out unit.
  static constexpr uint64_t kContinuousRingBytes = 1460000;

  using ScanRun = HighSpeedRun;
  // The run the next start takes from the cached parameters; false with 0x18008.
  bool TakeScanRun(ScanRun* run);
  // The checks and sizing of StartLANQueue before StartAIScanLocked; the command lock held.
  int PrepareScanLocked() override;
  int StartAIScanLocked() override;  // the caller holds the control and the command lock
  int StopAIScanLocked() override;   // the caller holds the control lock only
  // The start of the run of a plan (the parameters in run_); the control and command lock held.
  int StartRunLocked(const RunPlan& plan);
  // The logger's worker start for the run in run_; the control and command lock held.
  int StartLogWorkerLocked() override;
  int StopLogWorkerLocked() override { return StopAIScanLocked(); }
  // The data files of the run r (a log or a download) as the logger fields name them.
  LogFileSink::Setup LogFiles(const ScanRun& r, bool chunkStream) const;
  // The ".config" file of a run; false when the folder or the file cannot be made.
  bool WriteLogConfig(const char* base, const char* prefix, unsigned int tag, const struct tm& t);

  // The download's run: the scan's (no sync-in) with the recording's sample count as target.
  bool TakeDownloadRun(ScanRun* run);
  int StartDownloadLocked();  // the caller holds the control lock
  // "~01SDL": when the module took the request, the length of its text, kept in text (textSize
  // bytes, NUL-terminated; null: not kept, and 0); -1 with the error otherwise, after "~01Z"
  // (the module may have taken the request all the same).
  int RequestSDRecording(unsigned int index, char selector, char* text, size_t textSize);
  struct tm sdDate_ = {};  // the date of the recording being downloaded

  ScanRun run_;
  void SetRun(const ScanRun& r);  // run_ = r under the read lock: the ring reads use it
  HostRing ring;
  // The ring's sink: the stream receiver writes it directly; the receive loop keeps its pace.
  RingSink ringSink_{ring, worker, [this] { RaiseEvent(QZ_EVENT_OVERFLOW); }, true};
  StreamReceiver receiver_{worker, StreamReceiver::kChunkBytes, &receiveInProgress};

 private:
  unsigned int dataPort;
  std::atomic<int> dataSock{-1};  // read by the counters without the command lock
  // The data files of a log or a download.
  LogFileSink logSink_;
  AcquisitionRun acq_{worker, *this, *fileClock};
  RunLife life_{*this, IP, worker, acq_, exchangeMutex, readMutex};

  // The life's hooks (drivers/highspeed/HighSpeedQueue.cpp): one data socket.
  int DataSocket(int) const override { return dataSock; }
  int DataPort(int) const override { return static_cast<int>(dataPort); }
  void ReplaceDataSocket(int, int fd) override;
  bool OpenSinks(const RunPlan& plan, SampleSink** sinks) override;
  void CloseSinks(WorkerKind ran) override;

  // The run's hooks (drivers/highspeed/HighSpeedAcquisition.cpp).
  void AddStatus(uint16_t bits) override { Add_AD_Buf_Status(bits); }
  void RaiseEvent(uint16_t event) override;
  uint32_t TriggerIndex() const override { return triggerIndex; }
  void AskTriggerIndex() override { GetAIAnalogTriggerIdx(); }
  bool PollModule(uint32_t* count, uint32_t* status) override;
  bool StartTransfer() override { return TransmitData() == 1; }
  bool KeepData() override { return !(run_.files && logSink_.Failed()); }
  bool Finish() override;
};

}  // namespace nivex
