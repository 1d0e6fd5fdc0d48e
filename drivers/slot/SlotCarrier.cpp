// The shared part of the slot carriers: the card table, connection and slot discovery, the
// single reads, the configuration items and the reply parsers.
#include "drivers/slot/SlotCarrier.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/FaultText.h"
#include "support/tcp.h"
#include "support/utility.h"

namespace nivex {

const IOmodule Supported_IO_List[8] = {
    // name          id DI DO AI AIr type AO AOr cnt f1 f2 channels
    {"non", 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
    {"D-6021K", 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 8},
    {"D-6021K-30", 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 12},
    {"RX-6634", 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 8},
    {"RX-6673-20", 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 12},
    {"D-6025K", 0, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0, 8},
    {"D-6025K-40", 0, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0, 16},
    {"", 0, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0},
};

int CardRowOf(char c) {
  switch (c) {
    case '1': return 1;
    case '2': return 2;
    case '3': return 3;
    case '4': return 4;
    case '8': return 5;
    case '9': return 6;
    default: return 0;
  }
}

namespace {

constexpr int kVoltWidth = 7;  // characters of one volt field
constexpr int kCodeWidth = 4;  // characters of one raw field

}  // namespace

SlotCarrier::SlotCarrier(const char* ip, int cmdPort, int dataPortArg, WRXmodule row)
    : LoggingModel(ip, cmdPort, dataPortArg, row) {
  for (int i = 0; i < kMaxSlots; ++i) {
    dataPort[i] = static_cast<unsigned int>(dataPortArg + i);
    dataSock[i] = -1;
    sinks_[i] = std::make_unique<SlotRingSink>(ring_, i, [this] { RaiseEvent(QZ_EVENT_OVERFLOW); });
    receivers_[i] = std::make_unique<StreamReceiver>(worker, StreamReceiver::kChunkBytes,
                                                     &receiveInProgress);
  }
}

SlotCarrier::~SlotCarrier() { SlotCarrier::DisconnectServer(); }

void SlotCarrier::PrintConnectError(const char* what) const {
  char line[64];
  std::snprintf(line, sizeof(line), " [%s::ConnectServer] %s", ClassName(), what);
  std::puts(line);
}

int SlotCarrier::ConnectServer() {
  DisconnectServer();  // a second connect must not leak the first sockets
  ClearSlotMap();

  cmdSock = OpenTcp(IP, cmdPort, 1);
  if (cmdSock < 0) {
    cmdSock = -1;
    PrintConnectError("cmd port error");
    return Fail(QZ_ERR_OPEN_DEVICE);
  }

  // Without a readable slot map there is nothing to connect: a module whose "$01C" fails or
  // cannot be read is refused like one that names an impossible slot count.
  ReplyLine reply;
  if (!Exchange(cmdSock, &reply, kTimeoutMs, "$01C") || !ParseSlotMap(reply)) {
    DisconnectServer();
    PrintConnectError("data port error");
    return Fail(QZ_ERR_OPEN_DEVICE);
  }

  for (int k = 0; k < slotCount; ++k) {
    const int fd = OpenTcp_DataPort(IP, static_cast<int>(SlotDataPort(k)), 1);
    if (fd < 0) {
      DisconnectServer();
      PrintConnectError("data port error");
      return Fail(QZ_ERR_OPEN_DEVICE);
    }
    dataSock[k] = fd;
  }

  if (AfterConnect() != 1) {
    DisconnectServer();
    return Fail(QZ_ERR_MODULE_NOT_EXIST);
  }
  return 1;
}

int SlotCarrier::DisconnectServer() {
  std::lock_guard<std::mutex> control(controlMutex);
  if (worker.Kind() != WorkerKind::None) {
    if (cmdSock >= 0) StopMagicScan();
    StopAIScanLocked();
  }
  std::lock_guard<std::recursive_mutex> command(exchangeMutex);
  if (cmdSock >= 0) {
    CloseTcp(cmdSock);
    cmdSock = -1;
  }
  for (int k = 0; k < kMaxSlots; ++k) {
    if (dataSock[k] >= 0) {
      CloseTcp(dataSock[k]);
      dataSock[k] = -1;
    }
  }
  return 1;
}

bool SlotCarrier::SlotOfChannel(int channel, int* slot, int* within) const {
  if (channel < 0 || channel >= ChannelTotal()) return false;
  int c = channel;
  for (int k = 0; k < slotCount; ++k) {
    const int n = SlotCapacity(k);
    if (c < n) {
      *slot = k;
      *within = c;
      return true;
    }
    c -= n;
  }
  return false;
}

// ------------------------------------------------------------------ single reads

int SlotCarrier::ReadSlotVolts(int k, int gain, float* out) {
  ReplyLine reply;
  if (!Exchange(cmdSock, &reply, kTimeoutMs, "#01S%01dG%01d", SlotDigit(k), gain) ||
      !ParseVolts(reply, SlotCapacity(k), out))
    return Fail(QZ_ERR_DEVICE_RESPONSE);
  return 1;
}

int SlotCarrier::ReadSlotCodes(int k, int gain, int* out) {
  char command[32];
  FormatRawRead(command, sizeof(command), k, gain);
  ReplyLine reply;
  if (!Exchange(cmdSock, &reply, kTimeoutMs, "%s", command) ||
      !ParseCodes(reply, SlotCapacity(k), out))
    return Fail(QZ_ERR_DEVICE_RESPONSE);
  return 1;
}

namespace {

// One channel: the read of its slot (readSlot(k, fields)), then the channel's field.
template <class T, class ReadSlot>
int ReadChannel(SlotCarrier& d, int channel, T* out, ReadSlot readSlot) {
  int k = 0, within = 0;
  if (!d.SlotOfChannel(channel, &k, &within)) return Fail(QZ_ERR_CHANNEL_RANGE);
  if (out == nullptr) return Fail(QZ_ERR_INVALID_ARGUMENT);
  if (d.getQZsamplingStatus()) return Fail(QZ_ERR_DEVICE_BUSY);
  T fields[SlotCarrier::kMaxSlotChannels];
  if (!readSlot(k, fields)) return 0;
  *out = fields[within];
  return 1;
}

// The first count channels: slot by slot, each slot's fields stored as soon as it is read.
template <class T, class ReadSlot>
int ReadChannels(SlotCarrier& d, T* out, int count, ReadSlot readSlot) {
  if (out == nullptr) return Fail(QZ_ERR_INVALID_ARGUMENT);
  if (d.getQZsamplingStatus()) return Fail(QZ_ERR_DEVICE_BUSY);
  int stored = 0;
  for (int k = 0; k < d.SlotCount() && stored < count; ++k) {
    T fields[SlotCarrier::kMaxSlotChannels];
    if (!readSlot(k, fields)) return 0;
    for (int i = 0; i < d.SlotChannels(k) && stored < count; ++i) out[stored++] = fields[i];
  }
  return 1;
}

}  // namespace

int SlotCarrier::ReadAI(int channel, int gain, float* volts) {
  return ReadChannel(*this, channel, volts,
                     [&](int k, float* fields) { return ReadSlotVolts(k, gain, fields); });
}

int SlotCarrier::ReadAIHEX(int channel, int gain, int* code) {
  return ReadChannel(*this, channel, code,
                     [&](int k, int* fields) { return ReadSlotCodes(k, gain, fields); });
}

int SlotCarrier::ReadAIALL(int gain, float* volts, int count) {
  return ReadChannels(*this, volts, count,
                      [&](int k, float* fields) { return ReadSlotVolts(k, gain, fields); });
}

int SlotCarrier::ReadAIALLHEX(int gain, int* codes, int count) {
  return ReadChannels(*this, codes, count,
                      [&](int k, int* fields) { return ReadSlotCodes(k, gain, fields); });
}

// ------------------------------------------------------------------ configuration items

int SlotCarrier::SetConfig(int kind, int item, int value) {
  if (SharedConfigItem(kind, item)) return SetSharedConfig(kind, item, value);
  if (kind == 5) return Fail(QZ_ERR_CONFIG_COMMAND);
  if (kind == 6) return SetChannelValue(item, value);
  return Fail(QZ_ERR_INVALID_ARGUMENT);
}

int SlotCarrier::GetConfig(int kind, int item, int* value) {
  if (value == nullptr) return Fail(QZ_ERR_INVALID_ARGUMENT);
  if (SharedConfigItem(kind, item)) return GetSharedConfig(kind, item, value);
  switch (kind) {
    case 0:
    case 1:
    case 2:
    case 4:  // the output stays as it was
      return Fail(QZ_ERR_INVALID_ARGUMENT);
    case 6:
      return GetChannelValue(item, value);
    default:
      *value = 0;
      return Fail(QZ_ERR_INVALID_ARGUMENT);
  }
}

// ------------------------------------------------------------------ plain commands

int SlotCarrier::SetWinSize(unsigned int bytes) {
  SendWinSize(bytes);
  return 1;
}

int SlotCarrier::SendWinSize(unsigned int bytes) {
  char reply[kReplySize];
  return Exchange(cmdSock, reply, kTimeoutMs, "~01WS%1d%06lu", 8,
                  static_cast<unsigned long>(bytes));
}

int SlotCarrier::ReBoot() {
  SendOnly(cmdSock, "$01Q");  // the module sends no reply
  return 1;
}

int SlotCarrier::GetModuleTable(int* count, char* types) {
  if (count == nullptr || types == nullptr) return Fail(QZ_ERR_INVALID_ARGUMENT);
  *count = slotCount;
  for (int k = 0; k < slotCount; ++k) {
    const int t = CardType(k);
    if (t >= 0) types[k] = static_cast<char>(t);
  }
  return 1;
}

void SlotCarrier::setQZsamplingStatus(bool busy) { receiveInProgress = busy; }

bool SlotCarrier::getQZsamplingStatus() { return receiveInProgress; }

// ------------------------------------------------------------------ helpers

bool SlotCarrier::ParseVolts(const ReplyLine& reply, int n, float* out) {
  if (n < 0 || n > kMaxSlotChannels) return false;
  if (!ReplyFits(reply, kDataLeads, 1 + static_cast<size_t>(n) * kVoltWidth)) return false;
  float values[kMaxSlotChannels];
  for (int i = 0; i < n; ++i) {
    char field[kVoltWidth + 1];
    std::memcpy(field, reply.text + 1 + i * kVoltWidth, kVoltWidth);
    field[kVoltWidth] = '\0';
    char* end = nullptr;
    const float v = std::strtof(field, &end);
    if (end == field || !std::isfinite(v)) return false;
    while (*end == ' ') ++end;
    if (*end != '\0') return false;
    values[i] = v;
  }
  for (int i = 0; i < n; ++i) out[i] = values[i];
  return true;
}

bool SlotCarrier::ParseCodes(const ReplyLine& reply, int n, int* out) {
  if (n < 0 || n > kMaxSlotChannels) return false;
  uint32_t values[kMaxSlotChannels];
  if (!ReplyFits(reply, kDataLeads, 1 + static_cast<size_t>(n) * kCodeWidth) ||
      !HexFields(reply.text, 1, kCodeWidth, n, values))
    return false;
  for (int i = 0; i < n; ++i) out[i] = static_cast<int>(values[i]);
  return true;
}

}  // namespace nivex
