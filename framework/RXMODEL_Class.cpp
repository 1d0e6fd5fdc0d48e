// The module table, the sync-in frame definition, MODEL's construction and the registries.
#include "framework/RXMODEL_Class.h"

#include <cstring>

#include "support/Storax.h"
#include "support/utility.h"

namespace nivex {

// ================================================================== module table

const WRXmodule WRXMODULE[6] = {
    // name        id      DI DO AI  AIr b/s AO AOr cnt f1 f2
    {"RX-5K10", 0xB510, 4, 4, 8, 2, 2, 0, 0, 1, 0, 0},
    {"RX-5K30", 0xB530, 3, 4, 4, 10, 4, 2, 4, 0, 1, 0},
    {"D4071s", 0xB071, 0, 0, 64, 2, 2, 0, 0, 0, 0, 0},
    {"RX-BN500", 0xB500, 0, 0, 4, 1, 4, 0, 0, 0, 0, 0},
    {"D3054Ws", 0xB054, 0, 0, 48, 1, 2, 0, 0, 0, 0, 0},
    {"", 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
};

const char* GetWRXModuleNamebyID(unsigned short id) {
  for (const WRXmodule& row : WRXMODULE) {
    if (row.id == 0) return nullptr;
    if (row.id == id) return row.name;
  }
  return nullptr;
}

// ================================================================== sync-in frame

SyncInFrameDef::SyncInFrameDef()
    : totalSize(0),
      headerKind(0),
      types(new unsigned short[kMaxItems]()),
      counts(new unsigned short[kMaxItems]()),
      itemCount(0),
      option(0) {}

SyncInFrameDef::~SyncInFrameDef() {
  delete[] types;
  delete[] counts;
}

unsigned int SyncInFrameDef::ItemSize(unsigned short type, unsigned short count) {
  switch (type) {
    case 0: case 1: case 2: case 3: case 9:
      return 2u * count;
    case 4: case 5: case 10: case 11:
      return 4u * count;
    case 6: case 7: case 8:
      return count / 8u + (count % 8u != 0 ? 1u : 0u);
    default:
      return 0;
  }
}

void SyncInFrameDef::CalculateTotalSize() {
  if (itemCount > kMaxItems) {  // more items than the arrays hold: refused
    itemCount = 0;
    totalSize = 0;
    return;
  }
  unsigned int total = (headerKind >= 1 && headerKind <= 3) ? 4u : 0u;
  for (unsigned int i = 0; i < itemCount; ++i) total += ItemSize(types[i], counts[i]);
  totalSize = total;
}

unsigned int SyncInFrameDef::GetTotalSize() const { return totalSize; }

int SyncInFrameDef::SetLayout(unsigned int header, const unsigned short* itemTypes,
                              const unsigned short* itemCounts, unsigned int n,
                              unsigned int opt) {
  if (n > kMaxItems) return 0;
  if (n > 0 && (itemTypes == nullptr || itemCounts == nullptr)) return 0;
  for (unsigned int i = 0; i < kMaxItems; ++i) {
    types[i] = i < n ? itemTypes[i] : 0;
    counts[i] = i < n ? itemCounts[i] : 0;
  }
  headerKind = header;
  itemCount = n;
  option = opt;
  CalculateTotalSize();
  return 1;
}

// ================================================================== MODEL

MODEL::MODEL(const char* ip, int cmdPortArg, int dataPort, WRXmodule row)
    : module(row),
      fileClock(new Chronum()),
      watchdogClock(new Chronum()),
      receiveInProgress(false),
      firmVersion(0),
      minutesPerFile(0),
      gainCode(0),
      sampleRate(100),
      rateDivider(1),
      triggerMode(0),
      channelCount(8),
      transferMode(0),
      ackMode(0),
      targetCount(0),
      paramsSet(false),
      continuous(false),
      timeoutUnit(0),
      timeoutUnitOverride(-1),
      rmsDT(1),
      rmsRPF(0),
      binLogFile(nullptr),
      textLogFile(nullptr),
      folderMode(1),
      storedValue(4000000000u),
      eventMask(0),
      userCallback(nullptr),
      userArgument(nullptr),
      ringSize(0),
      startTime(nullptr),
      channelPosition(0),
      logMode(0),
      fileTag(0),
      sdFileIndex(0),
      sdFileCount(0),
      syncMode(0),
      channelValues(nullptr),
      syncInFrame(nullptr),
      triggerIndex(0),
      preCount(0),
      postCount(0),
      cmdPort(cmdPortArg) {
  (void)dataPort;  // the drivers keep their data port themselves
  CopyText(IP, sizeof(IP), ip);
  firmDate[0] = '\0';
  filePrefix[0] = '\0';
  logFolder[0] = '\0';
  configPath[0] = '\0';
}

MODEL::~MODEL() {
  // The object owns its clocks and whatever log files the logger left open.
  delete binLogFile;
  delete textLogFile;
  delete fileClock;
  delete watchdogClock;
}

int MODEL::GetFirmVersionDate(unsigned short* version, char* date, int size) {
  if (version != nullptr) *version = firmVersion;
  if (date != nullptr && size > 0) CopyText(date, static_cast<size_t>(size), firmDate);
  return 0;
}

int MODEL::NotImplemented() {
  _SetLastError(QZ_ERR_NOT_IMPLEMENTED);
  return 0;
}

// ================================================================== registries

SocketList<MODEL>& QZListInstance() {
  static SocketList<MODEL>* list = new SocketList<MODEL>();
  return *list;
}

LogList<Modellogpath>& LogFileListInstance() {
  static LogList<Modellogpath>* list = new LogList<Modellogpath>();
  return *list;
}

void LogFileListInit() { LogFileList->clearAll(); }

}  // namespace nivex
