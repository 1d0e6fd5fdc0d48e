// What the two slot carriers (D4071s, D3054s) share: the slot list found at connect, the command
// socket and one data socket per slot, the single reads, the window-size and reboot commands,
// the configuration items, the scan setup, and helpers that format a command, exchange it and
// read reply fields, and the scan engine (start and stop, the worker that serves every slot's
// data socket, the shared ring that joins the slots into rows). The classes differ only in the
// hooks below: how the "$01C" reply maps the slots, how many channels a slot holds, which digit
// addresses a slot, which data port it streams on, the checks and command texts of their scan
// setup, and a small table of scan traits.
//
// Terms: a card sits at a carrier position 0-7; the present cards form the slot list, slot
// index k = 0 .. slot count - 1 in ascending order of position. The module's channels are
// numbered over the slot list, slot 0's channels first; the channel total (the row's AI count
// after ConnectServer) is the sum of the slots' channels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "framework/AcquisitionRun.h"
#include "framework/EngineTimings.h"
#include "framework/LogFileSink.h"
#include "framework/RXMODEL_LogRun.h"
#include "framework/SlotRing.h"
#include "framework/StreamReceiver.h"

namespace nivex {

// One row of the slot card table: the WRXmodule layout with the card type code in place of the
// bytes-per-sample field, followed by the card's channel count.
struct IOmodule {
  char name[20];
  unsigned short id;
  unsigned short DI;
  unsigned short DO;
  unsigned short AI;
  unsigned short AIranges;
  unsigned int cardType;
  unsigned short AO;
  unsigned short AOranges;
  unsigned short counters;
  unsigned short further1;
  unsigned short further2;
  unsigned int channels;
};

// The cards a D3054s slot may hold. Row 0 ("non", no channels) stands for an empty or unknown
// slot; row 7 is never selected.
extern const IOmodule Supported_IO_List[8];

// The row of Supported_IO_List that a "$01C" card character selects: '1' 1, '2' 2, '3' 3,
// '4' 4, '8' 5, '9' 6, any other character 0.
int CardRowOf(char c);

// The count split: spreads a count x over the n slots in proportion to their channel counts
// (slotChannels, which add up to channels) and writes each slot's share to shares. Every slot
// gets its channels x (x - x mod channels) / channels; the remainder x mod channels then goes
// out in slot order, each slot taking at most its channel count. The shares add up to x.
// Computed in 64 bits, so no product wraps. All shares are 0 when x or channels is 0.
void SplitCount(uint32_t x, unsigned channels, const unsigned short* slotChannels, int n,
                unsigned int* shares);

// How a slot carrier class's scans differ.
struct SlotScanTraits {
  unsigned ringPerSample;  // ring bytes per target sample of an N-sample scan
  int fixedTimeoutUnit;    // the time-out unit; 0: from the ring size, the rate and the channels
  size_t receiveBytes;     // bytes a receive asks for; 0: one row part of the slot
  uint32_t exactBelow;     // fewer samples missing than this: ask for exactly them; 0: the
                           // slot's channel count
  bool asksTriggerIndex;   // "~01XN" on the first data of a run
  bool printsTimeouts;     // "Time Out 0" / "Time Out 1" when silence ends a run
};

// What a slot carrier's run works with, taken at its start from the checked scan settings.
struct SlotRun : RunParams {
  static constexpr int kMaxSlots = 8;
  SlotScanTraits traits{};
  unsigned sampleBytes = 2;
  int slots = 0;
  unsigned short slotChannels[kMaxSlots] = {};
  unsigned int slotTargets[kMaxSlots] = {};
  bool log = false;  // a log run: the ring is emptied into the data files
};
// The plans of a scan and of a log run (drivers/slot/SlotCarrierAcquisition.cpp).
RunPlan SlotScanPlan(const SlotRun& r);
RunPlan SlotLogPlan(const SlotRun& r);

class SlotCarrier : public LoggingModel, private AcquisitionRun::Host, private RunLife::Device {
 public:
  static constexpr int kMaxSlots = SlotRun::kMaxSlots;
  static constexpr int kMaxSlotChannels = 16;  // the largest card
  static constexpr size_t kReplySize = kExchangeReplySize;  // a reply buffer
  static constexpr int kTimeoutMs = 1000;      // every command of the carriers
  // The longest hardware-version text with its NUL (8 x "VFFFF" and 7 commas): the caller's
  // buffer of GetFPGAVersion must hold this many bytes (QZ_HW_VERSION_SIZE).
  static constexpr size_t kVersionTextSize = 48;

  SlotCarrier(const char* ip, int cmdPort, int dataPort, WRXmodule row);
  // Disconnects (a running worker is stopped first). The classes disconnect in their own
  // destructors already: the worker calls their hooks.
  ~SlotCarrier() override;

  // Opens the command socket, asks the slot map with "$01C", opens one data socket per slot and
  // lets the class finish (AfterConnect). 1 on success; 0 with 0x17006 (command port, a refused
  // or unreadable slot map, a data port) or 0x13007 (AfterConnect), and then every socket this
  // call opened is closed again. Prints " [<class>::ConnectServer] cmd port error" or
  // "... data port error" for the 0x17006 cases. Connecting a connected object starts afresh.
  int ConnectServer() override;
  // Stops a running worker first ("~01Z" while the command socket is open, the worker stop,
  // the ring released), then closes every open socket and marks it -1; harmless when called
  // again. Always 1.
  int DisconnectServer() override;

  // Single reads. Channel (0 .. channel total - 1) and count as the exported functions check
  // them; gain is sent as it is. While a worker is inside a data-port receive they send nothing
  // and fail with 0x18011. A failed exchange, a refused reply or one too short or not numeric
  // for the slot's fields fails with 0x17003 and stores nothing of that reply (an all-channel
  // read keeps the values of the slots before).
  int ReadAI(int channel, int gain, float* volts) override;
  int ReadAIALL(int gain, float* volts, int count) override;
  int ReadAIHEX(int channel, int gain, int* code) override;
  int ReadAIALLHEX(int gain, int* codes, int count) override;

  // Configuration items: the shared items of MODEL ((4,1) log folder mode, (4,2) stored
  // value, (5,0) "~01RPF", (5,1) "~01DT"), (6,channel) the class's per-channel value; others
  // 0x1300C (0x19002 for an unknown kind-5 item of SetConfig).
  int SetConfig(int kind, int item, int value) override;
  int GetConfig(int kind, int item, int* value) override;

  // "~01WS%1d%06lu" with 8 and bytes; the reply is not examined; 1.
  int SetWinSize(unsigned int bytes) override;
  // The same command; 1 when the module answered (whatever it said), 0 when no reply came.
  int SendWinSize(unsigned int bytes);
  // Sends "$01Q" and waits for no reply (the module sends none); 1.
  int ReBoot() override;
  // The slot count and one card type byte per slot (types: at least the slot count, at most 8
  // bytes); 1.
  int GetModuleTable(int* count, char* types) override;

  void setQZsamplingStatus(bool busy) override;
  bool getQZsamplingStatus() override;

  // ---- scan setup (drivers/slot/SlotCarrierScan.cpp)
  // Checks the parameters (channels 1 .. channel total with 0x18008, the class's checks, then
  // target above 30,000,000 and M other than 0 or 1 with 0x18007; nothing changes on a
  // refusal), stores them, splits the channels over the slots and sends each slot its
  // "~01PS" command, then the rate command and each slot's share of the target ("~01TS").
  // 1 with the parameters-sent flag set. A "~01PS" or "~01TS" that fails or that the module
  // refuses ends the call with 0 (0x17003 for a refusal): what was stored and sent before
  // it stays. A rate the module does not take leaves the stored rate and the call goes on.
  int SetScanParam(short channels, short gain, short trigger, int rate, unsigned int target,
                   short transferMode, short ackMode) override;
  // Asks each slot's parameters, the rate and each slot's target share; stores and reports
  // them (acknowledge mode and the reserved output 0). Every reply is checked before anything
  // is stored: a failed exchange gives 0 with its error, a refused reply or a field out of
  // range (gain code, a slot's channels above its card, trigger mode above 5, M above 1,
  // numbers that do not read) 0 with 0x17003; nothing changes then.
  int GetScanParam(short* channels, short* gain, short* trigger, int* rate,
                   unsigned int* target, short* transferMode, short* ackMode) override;
  // The module's scan start and stop ("~01Z"); the replies are not examined; 1.
  int StartMagicScan() override;
  int StopMagicScan() override;
  // The channel split: the first slots take as many of the channels as their cards hold, in
  // slot order; the slots after the channels run out get 0.
  void SplitChannels(int channels);

  // ---- scan engine (drivers/slot/SlotCarrierQueue.cpp, SlotCarrierAcquisition.cpp)
  // Starts and stops take the control lock; none of them may run while the caller holds the
  // command lock (they join the worker).
  // The whole start: refused with 0x18011 while a worker exists, without a code while the
  // command socket or any slot's data socket is closed, with 0x18008 when the scan parameters
  // were never sent or the slots' channels do not make up a channel count of 1 .. channel
  // total; nothing changes then. Then the ring size (N x the class's bytes per sample, or
  // slots x 1,460,000 for a continuous scan), the time-out unit, StartAIScan and the module's
  // start command (its reply is not examined).
  // (MODEL::StartLANQueue with PrepareScanLocked.)
  // "~01Z" (not examined), then StopAIScan; 1.
  int StopLANQueue() override;
  // StartAIScan (StartAIScanLocked) and StopAIScan (StopAIScanLocked): the host halves, the
  // run's life (framework/RunLife.h) with the slot plans; a stop returns 1 or the failure of
  // the log it stopped.
  // One pass after another over the slots with channels, in slot order, until the target, the
  // trigger's end, a stall, a receive error on any slot or the stop; 1.
  int RunThreadAIScan_ReceiveDATAfromQZDevice() override;
  // The carriers have no pre-phase: 0, nothing done.
  int RunThreadAIScan_NSampleRoutine() override { return 0; }
  int RunThreadLog_NSampleRoutine() override { return 0; }
  // The module's own count: the carriers never ask it, 0.
  unsigned int GetDAQSampleCnt() override;
  // Samples received in the run, at most the target (so 0 in a continuous run); in trigger
  // modes 4 and 5 divided by the slots with channels.
  unsigned int GetTCPReceivedCnt() override;

  // ---- the logger (drivers/slot/SlotCarrierLogger.cpp): a scan run whose worker empties the
  // ring into data files (framework/LogFileSink.h) after every receive. Only a class that logs
  // starts one (StartLogRun); every class stops one.
  // "~01Z" (while the command socket is open), then Stop: 1, or 0 with 0x14102 when the log
  // it stopped lost data to a data file.
  int StopLogger() override;
  // The log worker: the receive loop, then the data file closed and QZ_BUF_LOG_ENDED.
  void RunThread() override;
  int RunThreadLog_ReceiveDATAfromQZDevice() override;
  // Starts the next data file now, named by the log clock; 1 when a file is open afterwards.
  int ChangeTimeStamp() override;
  // "~01SST": the module's start-time text (from the reply's fifth character).
  int GetQZStartSamplingTime(char* text) override;
  // Appends the start-time line to the run's ".config" (log modes 0 and 1).
  void SaveStartSamplingTimetoConfigFile() override;

  // ---- the shared ring (drivers/slot/SlotCarrierRing.cpp)
  // Allocates the ring for the run's slot layout (0x1300E when it cannot); status word 0.
  int LANBuffer_Init() override;
  // Frees the storage; the status word still describes the finished run.
  void LANBuffer_Uninit() override;
  // Up to count samples in frame order (every slot's channels of a row, slot by slot) as
  // 16-bit codes; the number taken. width must be the sample size (0x1300C otherwise).
  int AD_ReadData(char* destination, unsigned int count, int width) override;
  unsigned short AD_BufferStatus() override;
  unsigned int Get_ADSize() override;  // samples readable in frame order now
  // The module channel of each column of the running scan's frame (channelOf: at least
  // kMaxFrameChannels entries): column j is a channel of the card whose slot part holds it,
  // whatever slots before it have no channels. Returns the columns (the run's channel count).
  static constexpr int kMaxFrameChannels = kMaxSlots * kMaxSlotChannels;
  int FrameChannels(int* channelOf) const;
  void Add_AD_Buf_Status(int bits);
  void Delete_AD_Buf_Status(int bits);

  int CommandSocket() const override { return cmdSock; }
  int SlotCount() const { return slotCount; }
  int ChannelTotal() const { return module.AI; }
  // Channels of slot k's card (0 for k outside the slot list).
  int SlotChannels(int k) const { return (k >= 0 && k < slotCount) ? SlotCapacity(k) : 0; }
  // The slot and the channel within it of a module channel; false when the channel is not on
  // any slot.
  bool SlotOfChannel(int channel, int* slot, int* within) const;

 protected:
  // ---------------------------------------------------------------- fields
  unsigned int dataPort[kMaxSlots];     // first data port + i (D4071s: by position, D3054s: by index)
  int cmdSock = -1;
  int slotCount = 0;
  unsigned short slotChannelCount[kMaxSlots] = {};  // per-slot share of a scan's channels
  unsigned int slotTargetCount[kMaxSlots] = {};     // per-slot share of a scan's target

 private:
  int dataSock[kMaxSlots];              // by slot index, -1 when closed

 protected:
  // ---------------------------------------------------------------- the class's hooks
  // "D4071s" / "D3054s", for the printed lines.
  virtual const char* ClassName() const = 0;
  // Takes the slot map from the "$01C" reply ('!' or '>' first): sets the slot list, the slot
  // count and the channel total. False (nothing changed) when the reply is refused, out of its
  // format or names a slot count the object cannot hold.
  virtual bool ParseSlotMap(const ReplyLine& reply) = 0;
  // Back to the constructed slot list (no slots).
  virtual void ClearSlotMap() = 0;
  // The data port slot k streams on.
  virtual unsigned int SlotDataPort(int k) const = 0;
  // Channels of slot k's card (k inside the slot list).
  virtual int SlotCapacity(int k) const = 0;
  // The digit that addresses slot k in the per-slot commands.
  virtual int SlotDigit(int k) const = 0;
  // The raw-code read command for slot k.
  virtual void FormatRawRead(char* command, size_t size, int k, int gain) const = 0;
  // The card type byte GetModuleTable reports for slot k; < 0 leaves the caller's byte.
  virtual int CardType(int k) const = 0;
  // Runs after every data socket is open; 1 to complete the connection, otherwise the
  // connection fails with 0x13007.
  virtual int AfterConnect() { return 1; }
  // The worker's question for the trigger index at a run's first data (asksTriggerIndex),
  // with the run's channel count.
  virtual void AskRunTriggerIndex(unsigned channels) { (void)channels; }
  // Configuration item 6 (per-channel value in millivolts).
  virtual int SetChannelValue(int channel, int mV) = 0;
  virtual int GetChannelValue(int channel, int* mV) = 0;
  // The scan checks of the class between the channel check and the target check; 1 or 0
  // with the code.
  virtual int CheckScanMode(short gain, short trigger, int rate, unsigned int target) const = 0;
  // The trigger mode the module runs for a requested one.
  virtual short RunTrigger(short trigger) const = 0;
  // True when, in this trigger mode, every slot with channels takes the whole target (and
  // the stored target is target x channels) instead of its share.
  virtual bool WholeTargetPerSlot(int trigger) const { (void)trigger; return false; }
  // Hexadecimal digits of a slot number and of a slot's channel count in the per-slot
  // scan commands and their replies.
  virtual int SlotFieldDigits() const = 0;
  // The rate command; and the rate query (false when there is none to send).
  virtual void FormatRateCommand(char* command, size_t size, int rate) const = 0;
  virtual bool FormatRateQuery(char* command, size_t size) const = 0;
  // The module's scan start command.
  virtual void FormatStartCommand(char* command, size_t size) const = 0;

  using SlotScanTraits = nivex::SlotScanTraits;  // how the class's scans differ
  virtual const SlotScanTraits& ScanTraits() const = 0;

  // ---------------------------------------------------------------- helpers
  // Commands go out with MODEL::Exchange on cmdSock (kTimeoutMs); replies are checked with
  // ReplyFits and their fields read with HexField (support/utility.h) and the parsers below.
  // The n volt fields (7 characters each, from position 1) of a read reply ('!' or '>' first,
  // exactly the n fields long); false when the reply is refused, of another length or a field
  // is not a finite number.
  static bool ParseVolts(const ReplyLine& reply, int n, float* out);
  // The n raw fields (4 hexadecimal characters each, from position 1), 0 .. 65535.
  static bool ParseCodes(const ReplyLine& reply, int n, int* out);

  // One read exchange of slot k, its fields in out (SlotCapacity(k) entries); 0 with 0x17003.
  int ReadSlotVolts(int k, int gain, float* out);
  int ReadSlotCodes(int k, int gain, int* out);

  // Prints " [<class>::ConnectServer] <what>" with puts.
  void PrintConnectError(const char* what) const;

  // A number as a slot field of the scan commands (SlotFieldDigits() hexadecimal digits).
  struct SlotField {
    char text[12];
  };
  SlotField Field(int value) const;

  // ---- the scan engine
  using SlotScanRun = SlotRun;
  // The run the next start takes from the cached parameters; false with 0x18008 when they
  // cannot run.
  bool TakeScanRun(SlotScanRun* run);
  int PrepareScanLocked() override;  // StartLANQueue's checks and sizing; the command lock held
  int StartAIScanLocked() override;  // the caller holds the control and the command lock
  // Stops any worker, closes a log's data file, frees the ring; the control lock held; 1, or
  // 0 with the failure of the run it stopped (0x14102: data lost to a data file).
  int StopAIScanLocked() override;
  int StopLogWorkerLocked() override;  // as StopAIScanLocked
  // The worker start of a scan or a log run (refused while a worker exists, without scan
  // parameters, and a log without its folders); the caller holds the control and the command
  // lock.
  int StartWorkerLocked(bool log);

  // ---- the logger
  // The log start of a class that logs: refused with 0x18011 while a worker exists (nothing
  // changes), without a code while a socket is closed, with 0x1300C for a base folder whose
  // data-file paths would not fit, with 0x14102 when the ".config" file or the log folder
  // cannot be made or the worker cannot start ("~01Z" is sent then). Sends the cached scan
  // parameters first when they were never sent. The ring of 1,460,000 bytes, the time-out unit
  // from it, the worker, then the module's start command.
  int StartLogRun(char* folder, int minutes, int logMode);
  // The run's ".config" file (module name, SDK version, IP, gain, channels, rate, sample count
  // (in trigger modes 4 and 5 the rows of a slot: N / C), trigger and transfer mode); false
  // when the folder or the file cannot be made.
  bool WriteLogConfig(const char* base, const char* prefix, unsigned int tag, const struct tm& t);
  // Empties the ring into the data files; false when a data file failed.
  bool DrainRingToLog();
  unsigned SampleBytes() const { return module.bytesPerSample ? module.bytesPerSample : 2; }

  uint64_t ReceivedTotal() const { return acq_.Received(); }  // of the slots with channels

  SlotScanRun run_;
  void SetRun(const SlotScanRun& r);  // run_ = r under the read lock: the ring reads use it
  SlotRing ring_;
  // One receiver per slot's data socket, each writing the slot's columns of the ring.
  std::unique_ptr<SlotRingSink> sinks_[kMaxSlots];
  std::unique_ptr<StreamReceiver> receivers_[kMaxSlots];
  LogFileSink logSink_;  // the data files of a log run

 private:
  AcquisitionRun acq_{worker, *this, *fileClock};
  RunLife life_{*this, IP, worker, acq_, exchangeMutex, readMutex};

  // The life's hooks (drivers/slot/SlotCarrierQueue.cpp): one data socket per slot.
  int DataSocket(int k) const override { return dataSock[k]; }
  int DataPort(int k) const override { return static_cast<int>(SlotDataPort(k)); }
  void ReplaceDataSocket(int k, int fd) override;
  bool OpenSinks(const RunPlan& plan, SampleSink** sinks) override;
  void CloseSinks(WorkerKind) override;

  // The run's hooks (drivers/slot/SlotCarrierAcquisition.cpp).
  void AddStatus(uint16_t bits) override { Add_AD_Buf_Status(bits); }
  void RaiseEvent(uint16_t event) override;
  uint32_t TriggerIndex() const override { return triggerIndex; }
  void AskTriggerIndex() override { AskRunTriggerIndex(run_.channels); }
  bool KeepData() override { return !run_.log || DrainRingToLog(); }
  bool Finish() override;
};

}  // namespace nivex
