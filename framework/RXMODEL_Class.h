// The abstract device class MODEL: its virtual operations (their defaults in
// RXMODEL_ClassDefaults.cpp, the command exchange in RXMODEL_Exchange.cpp) and the fields every
// driver shares.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <mutex>

#include "framework/EngineTimings.h"
#include "framework/RXMODEL_ModuleTable.h"
#include "framework/RunLife.h"
#include "framework/WorkerSlot.h"
#include "support/Chronum.h"
#include "support/FaultText.h"

namespace nivex {

class BinaryFile;  // log files (support/Storax.h)
class TextFile;
class SyncInFrameDef;  // framework/RXMODEL_SyncInFrame.h
struct ReplyLine;      // support/utility.h

class MODEL {
 public:
  // Slots 0/1.
  virtual ~MODEL();

  MODEL(const char* ip, int cmdPort, int dataPort, WRXmodule row);
  MODEL(const MODEL&) = delete;
  MODEL& operator=(const MODEL&) = delete;

  // ---------------------------------------------------------------- non-virtual operations
  // Stores the firmware version and copies the firmware date (at most size bytes, NUL
  // included); returns 0. Null outputs are skipped.
  int GetFirmVersionDate(unsigned short* version, char* date, int size);

  // Command exchange over the command port (framework/RXMODEL_Exchange.cpp).
  int SendRec(int sock, char* command, char* reply, int timeoutMs);
  // SendRec that also stores in *received how many characters the reply held before its CR
  // (0 when the exchange fails); more than the reply text's length when a NUL came inside it
  // or the reply was cut to the buffer.
  int SendRec(int sock, char* command, char* reply, int timeoutMs, size_t* received);
  int SendRec2(int sock, char* command, char* reply, int timeoutMs);
  // SendRec2 with the size of the caller's reply buffer.
  int SendRec2(int sock, char* command, char* reply, int timeoutMs, size_t replySize);
  // The same, also telling the reply's first character as it came ('\0' when nothing came) and
  // how many characters its text held before the cut to the buffer (more than replySize - 1
  // when the text did not fit). Null outputs are skipped.
  int SendRec2(int sock, char* command, char* reply, int timeoutMs, size_t replySize, char* lead,
               size_t* received);
  // The exchange of a command the module answers with nothing (the reboots): as SendRec up to
  // the send, then 1 without waiting for a reply; 0 with 0x1700A (send), 0x17006 (a reply was
  // owed and the connection could not be opened again) or 0x1300C (null, or longer than 254
  // characters). The connection owes nothing afterwards.
  int SendOnly(int sock, const char* command);
  int IsDataAvailable_2(int sock, int seconds);

  // ---------------------------------------------------------------- virtual slots 2-103
  virtual int ConnectServer();                                                      // 2
  virtual int DisconnectServer();                                                   // 3
  virtual int GetFPGAVersion(char* text);                                           // 4
  virtual int Calibrate_HEX(int code, int channel, int gain, int* out);             // 5
  virtual int Calibrate_Hex2Float(int code, int channel, int gain, float* out);     // 6
  virtual int ReadAI(int channel, int gain, float* volts);                          // 7
  virtual int ReadAIALL(int gain, float* volts, int count);                         // 8
  virtual int ReadAIHEX(int channel, int gain, int* code);                          // 9
  virtual int ReadAIALLHEX(int gain, int* codes, int count);                        // 10
  virtual int ReadDIO(unsigned int* di, unsigned int* dout);                        // 11
  virtual int WriteDO(unsigned int value);                                          // 12
  virtual int WriteDOBit(int bit, bool on);                                         // 13
  virtual int GetDICNTConfig(unsigned int channel, unsigned int* a, unsigned int* b);   // 14
  virtual int SetDICNTConfig(unsigned int channel, unsigned int a, unsigned int b);     // 15
  virtual int GetCounterConfig(unsigned int channel, unsigned int* a, unsigned int* b); // 16
  virtual int SetCounterConfig(unsigned int channel, unsigned int a, unsigned int b);   // 17
  virtual int GetDICNT(unsigned int channel, unsigned int* value);                  // 18
  virtual int GetCounter(unsigned int channel, unsigned int* value);                // 19
  virtual int ClearDICNT(unsigned int channel);                                     // 20
  virtual int ClearDICNTALL();                                                      // 21
  virtual int ClearCounter(unsigned int channel);                                   // 22
  virtual int ClearCounterALL();                                                    // 23
  virtual int GetDICNTAll(unsigned int* values, int n);                             // 24
  virtual int GetCounterAll(unsigned int* values, int n);                           // 25
  virtual int SetScanParam(short channels, short gain, short trigger, int rate,
                           unsigned int target, short transferMode, short ackMode);  // 26
  virtual int GetScanParam(short* channels, short* gain, short* trigger, int* rate,
                           unsigned int* target, short* transferMode, short* ackMode);  // 27
  virtual int SetConfig(int kind, int item, int value);                             // 28
  virtual int GetConfig(int kind, int item, int* value);                            // 29
  virtual int SetRMSParam(short dt, short rpf);                                     // 30
  virtual int GetRMSParam(short* dt, short* rpf);                                   // 31
  virtual int GetAIAnalogTriggerIdx();                                              // 32
  virtual int SetAIAnalogTriggerParam(int type, char* channels, float* levels1,
                                      float* levels2, int n, unsigned int pre,
                                      unsigned int post);                          // 33
  virtual int GetAIAnalogTriggerParam(int* type, char* channels, float* levels1,
                                      float* levels2, int n, unsigned int* pre,
                                      unsigned int* post);                         // 34
  virtual int StartAIScan();                                                        // 35
  virtual int StopAIScan();                                                         // 36
  virtual int SetWinSize(unsigned int bytes);                                       // 37
  virtual int StartMagicScan();                                                     // 38
  virtual int StopMagicScan();                                                      // 39
  virtual int StartLANQueue();                                                      // 40
  virtual int StopLANQueue();                                                       // 41
  virtual unsigned int GetDAQSampleCnt();                                           // 42
  virtual unsigned int GetTCPReceivedCnt();                                         // 43
  virtual void ClearCnt();                                                          // 44
  virtual int RunThreadAIScan_NSampleRoutine();                                     // 45
  virtual int RunThreadAIScan_ReceiveDATAfromQZDevice();                            // 46
  virtual int RunThreadLog_NSampleRoutine();                                        // 47
  virtual int RunThreadLog_ReceiveDATAfromQZDevice();                               // 48
  virtual void RunThread();                                                         // 49
  virtual int Start();                                                              // 50
  virtual int Stop();                                                               // 51
  virtual int ReBoot();                                                             // 52
  virtual int TransmitData();                                                       // 53
  virtual int GetQZStartSamplingTime(char* text);                                   // 54
  virtual int ReadHostLANBuffer(char* destination, unsigned int count);             // 55
  virtual unsigned int ReadHostLANBufferCnt();                                      // 56
  virtual int ChangeTimeStamp();                                                    // 57
  virtual int ReadGainOffset(int a, int b, unsigned short* gain, short* offset);    // 58
  virtual int ReadAllGainOffsetfromQZ();                                            // 59
  virtual void SaveStartSamplingTimetoConfigFile();                                 // 60
  virtual int StopLogger();                                                         // 61
  virtual void setQZsamplingStatus(bool busy);                                      // 62
  virtual bool getQZsamplingStatus();                                               // 63
  virtual void DOCallBackFun(unsigned short event);                                 // 64
  virtual int SetEventCallback(unsigned short mask, unsigned short second, void* callback,
                               void* userArgument);                                 // 65
  virtual int RemoveEventCallback(unsigned short mask);                             // 66
  virtual int AD_ReadData(char* destination, unsigned int count, int width);        // 67
  virtual int AD_ReadData_float(float* destination, unsigned int count, int width); // 68
  virtual unsigned short AD_BufferStatus();                                         // 69
  virtual unsigned int Get_ADSize();                                                // 70
  virtual int AD_ClearData();                                                       // 71
  virtual int LANBuffer_Init();                                                     // 72
  virtual void LANBuffer_Uninit();                                                  // 73
  virtual int GetSDAllLogFiles(unsigned int* count);                                // 74
  virtual int GetSDLogFile_Info(unsigned int index, unsigned int* a, unsigned int* b,
                                char* text);                                        // 75
  virtual int StartDownload();                                                      // 76
  virtual void RunThreadDownload();                                                 // 77
  virtual void SaveMagicConfig(char* base, char* prefix, unsigned int tag, void* time); // 78
  virtual int StartLogger(char* folder, int minutes, int logMode);                  // 79
  virtual int DownloadSDFile(unsigned int index, char mode, char* folder, int flag); // 80
  virtual int SaveSDConfigFile(unsigned int index, char mode, char* folder, char* name,
                               unsigned int tag, void* time);                       // 81
  virtual int RunThreadDownload_ReceiveDATAfromQZDevice();                          // 82
  virtual int ChangeTimeStamp_SD_Download();                                        // 83
  virtual int SetAIDelayTriggerParam(unsigned int value);                           // 84
  virtual int GetAIDelayTriggerParam(unsigned int* value);                          // 85
  virtual int SetSyncInScanParam(unsigned int header, unsigned short* counts,
                                 unsigned short* kinds, unsigned short n,
                                 unsigned int option, unsigned int sixth);          // 86
  virtual int GetSyncInScanParam(unsigned int* header, unsigned short* counts,
                                 unsigned short* kinds, unsigned short n,
                                 unsigned short* count, unsigned int* option,
                                 unsigned int* seventh);                            // 87
  virtual void RunThreadSyncInScan();                                               // 88
  virtual int WriteAO(int channel, int range, float value);                         // 89
  virtual int WriteAOHEX(int channel, int range, int code);                         // 90
  virtual int GetEncoderMode(int channel, int* a, int* b, int* c);                  // 91
  virtual int SetEncoderMode(int channel, int a, int b, int c);                     // 92
  virtual int ReadEncoder(int channel, unsigned int* value);                        // 93
  virtual int ClearEncoder(int channel);                                            // 94
  virtual int GetModuleTable(int* count, char* text);                               // 95
  virtual int ConfigTrigOut(int a, int b);                                          // 96
  virtual int Init_Software_Filter(int a, int b, int c);                            // 97
  virtual int Set_LowPassFilter(int a, int b, float f);                             // 98
  virtual int Set_HighPassFilter(int a, int b, float f);                            // 99
  virtual int Set_BandPassFilter(int a, int b, float f1, float f2);                 // 100
  virtual int Set_BandStopFilter(int a, int b, float f1, float f2);                 // 101
  virtual int Filter_Data(unsigned int n, float* samples);                          // 102
  virtual int Filter_DataHEX(unsigned int n, unsigned int* codes);                  // 103

  // ---------------------------------------------------------------- beyond the slots
  // The socket of the command port, which QZ_SendRecv and the drivers' commands go out on;
  // -1 for a device without one.
  virtual int CommandSocket() const { return -1; }

  // What the exported functions and the factory use of the fields.
  static constexpr size_t kFirmDateSize = 26;  // the firmware date's room, NUL included
  const char* Ip() const { return IP; }                     // the module's address text
  const WRXmodule& Module() const { return module; }        // the module-table row
  unsigned short GainCode() const { return gainCode; }      // the cached gain code
  // The sync-in frame layout (RX5K10; null for the other types). Changed under the read lock.
  const SyncInFrameDef* SyncInFrame() const { return syncInFrame; }
  // The sync-in option last given to QZ_SetSyncInScanParam, for the logs' ".config" file.
  void KeepSyncMode(unsigned short mode) { syncMode = mode; }
  // The version and date the name service gave at the open (the date cut to kFirmDateSize).
  void SetFirmware(unsigned short version, const char* date);
  // The command lock and the read lock of the exported functions (api/NIVEX_Frame.h).
  std::recursive_mutex& CommandMutex() { return exchangeMutex; }
  std::mutex& ReadMutex() { return readMutex; }

  // The reply a timed-out exchange left owing (see owedReply): the connection (its socket and
  // that socket's identity).
  struct OwedReply {
    bool due = false;
    int sock = -1;
    unsigned long long connection = 0;
  };

 protected:
  // ---------------------------------------------------------------- shared fields
  char IP[256];                   // the module's address text
  WRXmodule module;               // copy of the module-table row (AI may be rewritten)
  unsigned short firmVersion;
  char firmDate[kFirmDateSize];
  unsigned int minutesPerFile;
  std::atomic<unsigned short> gainCode;  // also read by the sync-in reads
  unsigned int rateDivider;
  unsigned short triggerMode;
  unsigned short transferMode;    // M
  bool continuous;
  int timeoutUnitOverride;        // used when 1 or more
  unsigned short rmsDT;
  unsigned short rmsRPF;
  int folderMode;
  unsigned int storedValue;
  std::atomic<unsigned short> eventMask;  // read by the worker when it meets an event
  void* userCallback;
  void* userArgument;
  char filePrefix[256];
  char logFolder[260];
  char configPath[260];
  int logMode;
  unsigned int fileTag;
  std::atomic<unsigned int> sdFileIndex;
  std::atomic<unsigned int> sdFileCount;
  unsigned short syncMode;
  float* channelValues;           // owned by the derived class
  unsigned int preCount;
  unsigned int postCount;
  int cmdPort;
  // The device's locks, always taken in this order: control, command, read, ring (the ring's
  // own).
  // The control lock serialises the starts and stops of the worker, DisconnectServer and the
  // release; it is never taken while the command lock is held, and the worker never takes it.
  std::mutex controlMutex;
  // The command lock: held by SendRec for a whole exchange, and by each exported function for
  // its whole call (api/NIVEX_Frame.h), so that calls on one handle from several threads take
  // turns over the device's host-side state. The worker takes it only inside its exchanges;
  // nothing joins the worker while holding it. Recursive: a call's exchanges take it again.
  std::recursive_mutex exchangeMutex;
  // The read lock: held by the ring calls (buffer reads, status, clear, totals, the sync-in
  // reads) for their whole call in place of the command lock, and taken briefly by whatever
  // changes what they read besides the ring: a run's parameters at its start, the calibration
  // entries, the sync-in layout. Never held across an exchange, so a ring call never waits
  // for the module.
  std::mutex readMutex;
  // The reply a timed-out exchange left owing, guarded by exchangeMutex. The next command never
  // waits for it: the command connection is opened again first (ReopenCommandSocket), so the
  // reply goes to the closed one and no later command takes it.
  OwedReply owedReply;
  // The device's one worker thread: scan, sync-in, logger or SD download (after the locks: it
  // ends before they go).
  WorkerSlot worker;

  // The cached scan settings, the clocks and the analog trigger index.
  Chronum* fileClock;             // owned: log-file rotation
  Chronum* watchdogClock;         // owned: exchange time base, receive-stall timer
  std::atomic<bool> receiveInProgress;  // a worker is inside a data-port receive
  int sampleRate;
  unsigned short channelCount;
  unsigned short ackMode;         // A
  unsigned int targetCount;       // 0 = continuous
  bool paramsSet;
  int timeoutUnit;
  uint64_t ringSize;

 public:
  // The sync-in layout, also set directly where a layout with bit items (types 6 and 7) is
  // wanted: the exported setup takes types 0-5 only.
  SyncInFrameDef* syncInFrame;    // owned by the derived class

 protected:
  std::atomic<unsigned int> triggerIndex;

  // What every default ends with: error 0xFFFFF, result 0.
  static int NotImplemented();

  // Opens the command connection again in place of the one the command socket holds (the
  // socket keeps its number), waiting at most waitMs for the module. The exchange asks for it,
  // under the command lock, before a command that would follow a reply still owed. 1 on
  // success; 0 when the module cannot be reached or there is no command socket.
  virtual int ReopenCommandSocket(int waitMs);

  // ---- the worker's start and stop (framework/RXMODEL_WorkerControl.cpp)
  // StartAIScan and Start take the control lock, then the command lock, and call the hook;
  // StopAIScan and Stop take the control lock only (they join the worker) and call the hook.
  // Each type's hooks do the work; their defaults are 0 with 0xFFFFF.
  // StartLANQueue takes both locks, refuses while a worker exists (0x18011), then runs the
  // type's checks and sizing (PrepareScanLocked), StartAIScanLocked and StartMagicScan (its
  // outcome not examined); a refusal of either hook comes before anything changes.
  virtual int PrepareScanLocked();     // the checks, ring size and time-out unit of a start
  virtual int StartAIScanLocked();     // the host half of a scan start
  virtual int StopAIScanLocked();      // the scan worker's stop with its clean-up; 1
  virtual int StartLogWorkerLocked();  // the logger worker's start for the prepared run
  virtual int StopLogWorkerLocked();   // the logger worker's stop with its clean-up; 1

  using RunParams = nivex::RunParams;  // framework/RunLife.h
  // The cached scan parameters and the timings the next run takes.
  void TakeRunParams(RunParams* run) const;
  // The silence limit of a run: the time-out unit (at least 1) x the silence step.
  int64_t SilenceLimitMs(const EngineTimings& timings) const;
  // What every worker start does first: the watchdog and file clocks restarted.
  void ResetRunState();

  // The size of a reply buffer for Exchange.
  static constexpr size_t kExchangeReplySize = 256;
  // Formats a command as printf does and exchanges it on sock with SendRec (timeoutMs): 1 with
  // the reply (kExchangeReplySize bytes; "" when the exchange fails) or 0 with the exchange's
  // error. A command that does not fit 254 characters is refused with 0x1300C and not sent.
  int Exchange(int sock, char* reply, int timeoutMs, const char* format, ...)
      __attribute__((format(printf, 5, 6)));
  int VExchange(int sock, char* reply, int timeoutMs, const char* format, va_list args)
      __attribute__((format(printf, 5, 0)));
  // The same into a ReplyLine, which also tells how many characters came (ReplyFits).
  int Exchange(int sock, ReplyLine* reply, int timeoutMs, const char* format, ...)
      __attribute__((format(printf, 5, 6)));
  int VExchange(int sock, ReplyLine* reply, int timeoutMs, const char* format, va_list args)
      __attribute__((format(printf, 5, 0)));

  // Formats and exchanges a command on the command socket (1000 ms); 1 when the reply begins
  // with lead, else 0 with the exchange's error or 0x17003 for any other reply.
  int Ask(char* reply, char lead, const char* format, ...) __attribute__((format(printf, 4, 5)));
  int VAsk(char* reply, char lead, const char* format, va_list args)
      __attribute__((format(printf, 4, 0)));
  // Formats and exchanges a command whose reply carries data, on the command socket (1000 ms):
  // 1 when the reply fits (ReplyFits with kDataLeads and length; kAnyLength for any), else 0
  // with the exchange's error or 0x17003.
  int AskData(ReplyLine* reply, size_t length, const char* format, ...)
      __attribute__((format(printf, 4, 5)));

  // ---- the configuration items every type with items shares
  // (framework/RXMODEL_ConfigItems.cpp): (4,1) log folder mode, (4,2) stored value, (5,0) RMS
  // RPF, (5,1) RMS DT. SharedConfigItem tells whether (kind, item) is one of them; the set and
  // the get handle those four only.
  static bool SharedConfigItem(int kind, int item);
  int SetSharedConfig(int kind, int item, int value);
  int GetSharedConfig(int kind, int item, int* value);

  // ---- the calibration load of every type
  // Where a hexadecimal field lies in a reply.
  struct HexSpan {
    size_t pos;
    size_t digits;
  };
  static constexpr int kMaxHexSpans = 16;
  // One read of hexadecimal fields: command on the command socket (timeoutMs), a data reply
  // that ends with the last field (ReplyFits), and the n fields (at most kMaxHexSpans) into
  // values. 1 when every field was read; 0 when the reply was not usable (values untouched, no
  // code of its own); -1 when no reply came within timeoutMs (the exchange's error).
  int ReadHexFields(const char* command, int timeoutMs, const HexSpan* fields, int n,
                    uint32_t* values);
  // For every entry (a, b) with a < rows and b < cols: command(a, b, text, size) writes the
  // entry's command, ReadHexFields reads it, store(a, b, values) keeps a complete entry; a
  // failed read keeps nothing. stopAtFailure: the first failed read ends the load with 0, a
  // complete load gives 1. Otherwise every entry is tried and the result is the outcome of
  // the last read. A read that gets no reply ends the load at once with -1, whatever
  // stopAtFailure says: nothing more is asked, so a late reply is never taken for a later
  // entry's, and the later entries keep what they held.
  template <class Command, class Store>
  int LoadCalibration(int rows, int cols, int timeoutMs, const HexSpan* fields, int n,
                      bool stopAtFailure, Command command, Store store) {
    int last = 0;
    for (int a = 0; a < rows; ++a) {
      for (int b = 0; b < cols; ++b) {
        char text[64];
        command(a, b, text, sizeof(text));
        uint32_t values[kMaxHexSpans];
        last = ReadHexFields(text, timeoutMs, fields, n, values);
        if (last < 0) return -1;
        if (last) {
          std::lock_guard<std::mutex> lock(readMutex);  // the volts of the ring reads use them
          store(a, b, values);
        }
        else if (stopAtFailure) return 0;
      }
    }
    return stopAtFailure ? 1 : last;
  }

 private:
  // Run under the command lock before a command goes out on sock: when the connection still
  // owes a reply, it is opened again (the reply is given up, never waited for). 1 when nothing
  // is owed any more; 0 with 0x17006 when the module cannot be reached (the reply stays owed).
  int ForgoOwedReply(int sock, int timeoutMs);

  // Fields of the device interface that no part of this kit uses (the loggers keep their data
  // files in a LogFileSink): always null or 0. The object owns the two log files.
  BinaryFile* binLogFile = nullptr;
  TextFile* textLogFile = nullptr;
  struct tm* startTime = nullptr;
  unsigned int channelPosition = 0;
};

}  // namespace nivex
