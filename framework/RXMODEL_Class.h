// The device framework's shared types: the module table, the abstract device class MODEL with its
// virtual operations and their defaults, the sync-in frame definition and the two process-wide
// registries (open devices and stored-log paths).
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <vector>

#include "support/Chronum.h"
#include "support/FaultText.h"

namespace nivex {

class BinaryFile;  // log files (support/Storax.h)
class TextFile;

// ================================================================== module table

// One row of the module table.
struct WRXmodule {
  char name[20];
  unsigned short id;
  unsigned short DI;
  unsigned short DO;
  unsigned short AI;
  unsigned short AIranges;
  unsigned int bytesPerSample;
  unsigned short AO;
  unsigned short AOranges;
  unsigned short counters;
  unsigned short further1;
  unsigned short further2;
};

// Module IDs.
constexpr unsigned short kIdRX5K10 = 0xB510;
constexpr unsigned short kIdRX5K30 = 0xB530;
constexpr unsigned short kIdD4071s = 0xB071;
constexpr unsigned short kIdRXBN500 = 0xB500;
constexpr unsigned short kIdD3054s = 0xB054;

// The module table: five rows and an end row with ID 0.
extern const WRXmodule WRXMODULE[6];

// The name of the first row with this ID, or null when the end row comes first.
const char* GetWRXModuleNamebyID(unsigned short id);

// ================================================================== sync-in frame

// Layout of one sync-in frame: an optional 4-byte header, then up to 7 items, each a run of
// elements of one type.
class SyncInFrameDef {
 public:
  static constexpr unsigned int kMaxItems = 7;

  SyncInFrameDef();
  ~SyncInFrameDef();
  SyncInFrameDef(const SyncInFrameDef&) = delete;
  SyncInFrameDef& operator=(const SyncInFrameDef&) = delete;

  // Recomputes totalSize from headerKind and the items. A layout with more than kMaxItems
  // items is refused: it becomes empty (itemCount 0, totalSize 0).
  void CalculateTotalSize();
  unsigned int GetTotalSize() const;

  // Stores a whole layout at once and recomputes the size. Refuses (returns 0, nothing
  // changed) n > kMaxItems or null arrays with n > 0; 1 on success.
  int SetLayout(unsigned int header, const unsigned short* itemTypes,
                const unsigned short* itemCounts, unsigned int n, unsigned int opt);

  // Bytes one item of this type and element count takes in a frame.
  static unsigned int ItemSize(unsigned short type, unsigned short count);

  unsigned int totalSize;    // bytes per frame, as last computed
  unsigned int headerKind;   // 1, 2 or 3: 4-byte header
  unsigned short* types;     // kMaxItems entries, owned
  unsigned short* counts;    // kMaxItems entries, owned
  unsigned int itemCount;    // items in use, at most kMaxItems
  unsigned int option;       // bit 0: QZ_SYNCIN_ENABLE
};

// ================================================================== the device class

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
  int SendRec2(int sock, char* command, char* reply, int timeoutMs);
  // SendRec2 with the size of the caller's reply buffer.
  int SendRec2(int sock, char* command, char* reply, int timeoutMs, size_t replySize);
  // The exchange of a command the module answers with nothing (the reboots): as SendRec up to
  // the send (a reply the connection still owes is waited for and discarded first), then 1
  // without waiting for a reply; 0 with 0x1700A (send) or 0x1300C (null, or longer than 254
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
  virtual void StopLogger();                                                        // 61
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

  // ---------------------------------------------------------------- shared fields
  char IP[256];                   // the module's address text
  WRXmodule module;               // copy of the module-table row (AI may be rewritten)
  Chronum* fileClock;             // owned: log-file rotation
  Chronum* watchdogClock;         // owned: exchange time base, receive-stall timer
  std::atomic<bool> receiveInProgress;  // a worker is inside a data-port receive
  unsigned short firmVersion;
  char firmDate[26];
  unsigned int minutesPerFile;
  unsigned short gainCode;
  int sampleRate;
  unsigned int rateDivider;
  unsigned short triggerMode;
  unsigned short channelCount;
  unsigned short transferMode;    // M
  unsigned short ackMode;         // A
  unsigned int targetCount;       // 0 = continuous
  bool paramsSet;
  bool continuous;
  int timeoutUnit;
  int timeoutUnitOverride;        // used when 1 or more
  unsigned short rmsDT;
  unsigned short rmsRPF;
  BinaryFile* binLogFile;         // the logger's open files
  TextFile* textLogFile;
  int folderMode;
  unsigned int storedValue;
  unsigned short eventMask;
  void* userCallback;
  void* userArgument;
  uint64_t ringSize;
  struct tm* startTime;
  char filePrefix[256];
  char logFolder[260];
  char configPath[260];
  unsigned int channelPosition;
  int logMode;
  unsigned int fileTag;
  std::atomic<unsigned int> sdFileIndex;
  std::atomic<unsigned int> sdFileCount;
  unsigned short syncMode;
  float* channelValues;           // owned by the derived class
  SyncInFrameDef* syncInFrame;    // owned by the derived class
  std::atomic<unsigned int> triggerIndex;
  unsigned int preCount;
  unsigned int postCount;
  int cmdPort;
  // Held by SendRec for a whole exchange.
  std::mutex exchangeMutex;
  // The reply a timed-out exchange left owing, guarded by exchangeMutex: the connection (its
  // socket and that socket's identity) and the time-out that expired.
  struct OwedReply {
    bool due = false;
    int sock = -1;
    unsigned long long connection = 0;
    int timeoutMs = 0;
  } owedReply;

 protected:
  // What every default ends with: error 0xFFFFF, result 0.
  static int NotImplemented();

  // The size of a reply buffer for Exchange.
  static constexpr size_t kExchangeReplySize = 256;
  // Formats a command as printf does and exchanges it on sock with SendRec (timeoutMs): 1 with
  // the reply (kExchangeReplySize bytes; "" when the exchange fails) or 0 with the exchange's
  // error. A command that does not fit 254 characters is refused with 0x1300C and not sent.
  int Exchange(int sock, char* reply, int timeoutMs, const char* format, ...)
      __attribute__((format(printf, 5, 6)));
  int VExchange(int sock, char* reply, int timeoutMs, const char* format, va_list args)
      __attribute__((format(printf, 5, 0)));
};

// ================================================================== registries

// Registry node of one open device.
struct tcpNode {
  char ip[20];      // the device's address text, zero-filled
  void* obj;        // the device object itself (compared, never dereferenced)
  uintptr_t handle;  // the handle issued for it
  tcpNode* next;
};

// The open devices. Every operation takes the registry's lock.
//
// Each registration issues the device a handle, the value callers hold: an odd number counting
// up that no registration issues again, so a released handle stays unknown even when a later
// device object gets the released one's address. Being odd, it is never the address of a
// device object; it is only compared, never followed.
template <class T>
class SocketList {
 public:
  SocketList() = default;
  SocketList(const SocketList&) = delete;
  SocketList& operator=(const SocketList&) = delete;

  // Appends obj at the tail; returns the new count. A null obj, or an address text that is
  // already registered, is refused: returns 0 and nothing changes.
  int add_Socket_Obj(T* obj) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (obj == nullptr || find_ip(obj->IP) != nullptr) return 0;
    insert_node(obj);
    return count_;
  }
  // 1 when a registered device has this address text, else 0.
  int check_Socket_Obj(const char* ip) {
    if (ip == nullptr) return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    return find_ip(ip) != nullptr ? 1 : 0;
  }
  // The handle issued for obj, null when obj is not registered.
  void* handle_of(T* obj) {
    std::lock_guard<std::mutex> lock(mutex_);
    tcpNode* n = obj != nullptr ? find_node(obj) : nullptr;
    return n != nullptr ? reinterpret_cast<void*>(n->handle) : nullptr;
  }
  // The registered device this handle was issued for, null for any other value.
  T* device_of(const void* handle) {
    const uintptr_t h = reinterpret_cast<uintptr_t>(handle);
    if ((h & 1) == 0) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    for (tcpNode* n = head_; n != nullptr; n = n->next)
      if (n->handle == h) return static_cast<T*>(n->obj);
    return nullptr;
  }
  // 1 when obj is this very registered object, else 0. Never dereferences obj.
  int check_Socket_Obj(T* obj) {
    if (obj == nullptr) return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    return find_node(obj) != nullptr ? 1 : 0;
  }
  // Removes obj's node; returns the count afterwards (unchanged when obj is not registered).
  int remove_Socket_Obj(T* obj) {
    std::lock_guard<std::mutex> lock(mutex_);
    tcpNode* prev = nullptr;
    for (tcpNode* n = head_; n != nullptr; prev = n, n = n->next) {
      if (n->obj != static_cast<void*>(obj)) continue;
      (prev == nullptr ? head_ : prev->next) = n->next;
      delete n;
      --count_;
      break;
    }
    return count_;
  }
  int Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
  }
  // The registered objects in registration order (a copy).
  std::vector<T*> Objects() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<T*> out;
    for (tcpNode* n = head_; n != nullptr; n = n->next) out.push_back(static_cast<T*>(n->obj));
    return out;
  }

 private:
  // The steps of the operations above; the caller holds the lock.
  tcpNode* find_node(T* obj) {
    for (tcpNode* n = head_; n != nullptr; n = n->next)
      if (n->obj == static_cast<void*>(obj)) return n;
    return nullptr;
  }
  tcpNode* find_ip(const char* ip) {
    for (tcpNode* n = head_; n != nullptr; n = n->next)
      if (ip_equal(n->ip, ip)) return n;
    return nullptr;
  }
  static bool ip_equal(const char* nodeIp, const char* ip) {
    // Exact bytes up to the NUL; a text too long for a node never matches.
    size_t i = 0;
    for (; i < sizeof(tcpNode::ip); ++i) {
      if (nodeIp[i] != ip[i]) return false;
      if (ip[i] == '\0') return true;
    }
    return false;
  }
  tcpNode* insert_node(T* obj) {
    tcpNode* node = new tcpNode();
    const char* ip = obj->IP;
    for (size_t i = 0; i + 1 < sizeof(node->ip) && ip[i] != '\0'; ++i) node->ip[i] = ip[i];
    node->obj = obj;
    node->handle = (++issued_ << 1) | 1;
    if (head_ == nullptr) {
      head_ = node;
    } else {
      tcpNode* last = head_;
      while (last->next != nullptr) last = last->next;
      last->next = node;
    }
    ++count_;
    return node;
  }

  std::mutex mutex_;
  int count_ = 0;
  tcpNode* head_ = nullptr;
  uintptr_t issued_ = 0;  // handles issued so far
};

// One stored log: its data file and its ".config" file (empty when none was found).
struct Modellogpath {
  char configPath[260];
  char logPath[260];
};

template <class T>
struct logNode {
  T data;
  logNode* next;
};

// The index of stored logs, addressed by position. Every operation takes the list's lock.
template <class T>
class LogList {
 public:
  LogList() = default;
  LogList(const LogList&) = delete;
  LogList& operator=(const LogList&) = delete;

  // Appends a copy of rec at the tail; returns the number of nodes.
  int add_log_Obj(const T& rec) {
    std::lock_guard<std::mutex> lock(mutex_);
    logNode<T>* node = insert_locked(tail_, rec);
    (void)node;
    return count_;
  }
  // The node at index (0 = head), null when the list is shorter. The node stays valid only
  // until the list is next changed; use copy_log_Obj where another thread may change it.
  logNode<T>* find_log_Obj(unsigned int index) {
    std::lock_guard<std::mutex> lock(mutex_);
    return at_locked(index);
  }
  // Copies the record at index into out; 1 when found, 0 when the list is shorter.
  int copy_log_Obj(unsigned int index, T& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    logNode<T>* n = at_locked(index);
    if (n == nullptr) return 0;
    out = n->data;
    return 1;
  }
  int length() {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
  }
  void clearAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    while (head_ != nullptr) {
      logNode<T>* n = head_;
      head_ = n->next;
      freenode(n);
    }
    tail_ = nullptr;
    count_ = 0;
  }
  // A new zero-filled node (not linked).
  static logNode<T>* getnode() { return new logNode<T>(); }
  // Links a copy of rec behind node (at the head when node is null); returns the new node.
  // node must belong to this list.
  logNode<T>* insert_node(logNode<T>* node, const T& rec) {
    std::lock_guard<std::mutex> lock(mutex_);
    return insert_locked(node, rec);
  }
  // Unlinks node from this list and frees it; a node not in the list is left alone.
  void delete_node(logNode<T>* node) {
    std::lock_guard<std::mutex> lock(mutex_);
    logNode<T>* prev = nullptr;
    for (logNode<T>* n = head_; n != nullptr; prev = n, n = n->next) {
      if (n != node) continue;
      (prev == nullptr ? head_ : prev->next) = n->next;
      if (tail_ == n) tail_ = prev;
      --count_;
      freenode(n);
      return;
    }
  }
  static void freenode(logNode<T>* node) { delete node; }

 private:
  logNode<T>* at_locked(unsigned int index) {
    logNode<T>* n = head_;
    for (unsigned int i = 0; n != nullptr && i < index; ++i) n = n->next;
    return n;
  }
  logNode<T>* insert_locked(logNode<T>* node, const T& rec) {
    logNode<T>* fresh = getnode();
    fresh->data = rec;
    if (node == nullptr) {
      fresh->next = head_;
      head_ = fresh;
    } else {
      fresh->next = node->next;
      node->next = fresh;
    }
    if (fresh->next == nullptr) tail_ = fresh;
    ++count_;
    return fresh;
  }

  std::mutex mutex_;
  logNode<T>* head_ = nullptr;
  logNode<T>* tail_ = nullptr;
  int count_ = 0;
};

// The two registries live for the whole process: created on first use (so any static
// initialiser may use them) and never destroyed (so a late worker never meets a dead list).
SocketList<MODEL>& QZListInstance();
LogList<Modellogpath>& LogFileListInstance();

// Pointer-like access to a registry: QZList->add_Socket_Obj(dev).
template <class T, T& (*Get)()>
struct RegistryRef {
  T* operator->() const { return &Get(); }
  T& operator*() const { return Get(); }
  operator T*() const { return &Get(); }
};
inline constexpr RegistryRef<SocketList<MODEL>, &QZListInstance> QZList{};
inline constexpr RegistryRef<LogList<Modellogpath>, &LogFileListInstance> LogFileList{};

// Clears LogFileList.
void LogFileListInit();

}  // namespace nivex
