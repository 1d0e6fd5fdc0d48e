// The shared part of the slot carriers: the card table, connection and slot discovery, the
// single reads, the configuration items and the exchange helpers.
#include "drivers/slot/SlotCarrier.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
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

int Fail(unsigned int code) {
  _SetLastError(code);
  return 0;
}

}  // namespace

SlotCarrier::SlotCarrier(const char* ip, int cmdPort, int dataPortArg, WRXmodule row)
    : MODEL(ip, cmdPort, dataPortArg, row) {
  for (int i = 0; i < kMaxSlots; ++i) {
    dataPort[i] = static_cast<unsigned int>(dataPortArg + i);
    dataSock[i] = -1;
  }
}

SlotCarrier::~SlotCarrier() {
  runFlag = false;
  SlotCarrier::DisconnectServer();
}

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
  char reply[kReplySize];
  if (!Exchange(reply, "$01C") || !ParseSlotMap(reply)) {
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
  char reply[kReplySize];
  if (!Exchange(reply, "#01S%01dG%01d", SlotDigit(k), gain) ||
      !ParseVolts(reply, SlotCapacity(k), out))
    return Fail(QZ_ERR_DEVICE_RESPONSE);
  return 1;
}

int SlotCarrier::ReadSlotCodes(int k, int gain, int* out) {
  char command[32];
  FormatRawRead(command, sizeof(command), k, gain);
  char reply[kReplySize];
  if (!Exchange(reply, "%s", command) || !ParseCodes(reply, SlotCapacity(k), out))
    return Fail(QZ_ERR_DEVICE_RESPONSE);
  return 1;
}

int SlotCarrier::ReadAI(int channel, int gain, float* volts) {
  int k = 0, within = 0;
  if (!SlotOfChannel(channel, &k, &within)) return Fail(QZ_ERR_CHANNEL_RANGE);
  if (volts == nullptr) return Fail(QZ_ERR_INVALID_ARGUMENT);
  if (getQZsamplingStatus()) return Fail(QZ_ERR_DEVICE_BUSY);
  float fields[kMaxSlotChannels];
  if (!ReadSlotVolts(k, gain, fields)) return 0;
  *volts = fields[within];
  return 1;
}

int SlotCarrier::ReadAIHEX(int channel, int gain, int* code) {
  int k = 0, within = 0;
  if (!SlotOfChannel(channel, &k, &within)) return Fail(QZ_ERR_CHANNEL_RANGE);
  if (code == nullptr) return Fail(QZ_ERR_INVALID_ARGUMENT);
  if (getQZsamplingStatus()) return Fail(QZ_ERR_DEVICE_BUSY);
  int fields[kMaxSlotChannels];
  if (!ReadSlotCodes(k, gain, fields)) return 0;
  *code = fields[within];
  return 1;
}

int SlotCarrier::ReadAIALL(int gain, float* volts, int count) {
  if (volts == nullptr) return Fail(QZ_ERR_INVALID_ARGUMENT);
  if (getQZsamplingStatus()) return Fail(QZ_ERR_DEVICE_BUSY);
  int stored = 0;
  for (int k = 0; k < slotCount && stored < count; ++k) {
    float fields[kMaxSlotChannels];
    if (!ReadSlotVolts(k, gain, fields)) return 0;
    for (int i = 0; i < SlotCapacity(k) && stored < count; ++i) volts[stored++] = fields[i];
  }
  return 1;
}

int SlotCarrier::ReadAIALLHEX(int gain, int* codes, int count) {
  if (codes == nullptr) return Fail(QZ_ERR_INVALID_ARGUMENT);
  if (getQZsamplingStatus()) return Fail(QZ_ERR_DEVICE_BUSY);
  int stored = 0;
  for (int k = 0; k < slotCount && stored < count; ++k) {
    int fields[kMaxSlotChannels];
    if (!ReadSlotCodes(k, gain, fields)) return 0;
    for (int i = 0; i < SlotCapacity(k) && stored < count; ++i) codes[stored++] = fields[i];
  }
  return 1;
}

// ------------------------------------------------------------------ configuration items

int SlotCarrier::SetConfig(int kind, int item, int value) {
  char reply[kReplySize];
  switch (kind) {
    case 4:
      if (item == 1) {
        if (value > 7) return Fail(QZ_ERR_INVALID_ARGUMENT);
        folderMode = (value == 0 && targetCount == 0) ? 1 : value;
        return 1;
      }
      if (item == 2) {
        storedValue = static_cast<unsigned int>(value);
        return 1;
      }
      return Fail(QZ_ERR_INVALID_ARGUMENT);
    case 5:
      if (item == 0) {
        if (value < 1 || value > 500) value = 500;
        if (!Exchange(reply, "~01RPF%05d", value)) return 0;
        if (reply[0] != '!') return Fail(QZ_ERR_DEVICE_RESPONSE);
        return 1;
      }
      if (item == 1) {
        if (value < 1) value = 1;
        if (value > 1000) value = 1000;
        if (!Exchange(reply, "~01DT%05d", value)) return 0;
        if (reply[0] != '!') return Fail(QZ_ERR_DEVICE_RESPONSE);
        msleep(1);
        return 1;
      }
      return Fail(QZ_ERR_CONFIG_COMMAND);
    case 6:
      return SetChannelValue(item, value);
    default:
      return Fail(QZ_ERR_INVALID_ARGUMENT);
  }
}

int SlotCarrier::GetConfig(int kind, int item, int* value) {
  if (value == nullptr) return Fail(QZ_ERR_INVALID_ARGUMENT);
  char reply[kReplySize];
  switch (kind) {
    case 0:
    case 1:
    case 2:
      return Fail(QZ_ERR_INVALID_ARGUMENT);
    case 4:
      if (item == 1) {
        *value = folderMode;
        return 1;
      }
      if (item == 2) {
        *value = static_cast<int>(storedValue);
        return 1;
      }
      return Fail(QZ_ERR_INVALID_ARGUMENT);
    case 5: {
      if (item != 0 && item != 1) {
        *value = 0;
        return Fail(QZ_ERR_INVALID_ARGUMENT);
      }
      // "~01RP" answers its number from position 4 ("!01P..."), "~01DT" from position 3.
      const bool rp = item == 0;
      if (!Exchange(reply, rp ? "~01RP" : "~01DT")) return 0;
      int v = 0;
      if (!DecimalField(reply, rp ? 4 : 3, &v)) return Fail(QZ_ERR_DEVICE_RESPONSE);
      *value = v;
      msleep(1);
      return 1;
    }
    case 6:
      return GetChannelValue(item, value);
    default:
      *value = 0;
      return Fail(QZ_ERR_INVALID_ARGUMENT);
  }
}

// ------------------------------------------------------------------ plain commands

int SlotCarrier::SetWinSize(unsigned int bytes) {
  char reply[kReplySize];
  Exchange(reply, "~01WS%1d%06lu", 8, static_cast<unsigned long>(bytes));
  return 1;
}

int SlotCarrier::ReBoot() {
  char reply[kReplySize];
  Exchange(reply, "$01Q");
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

int SlotCarrier::Exchange(char* reply, const char* format, ...) {
  reply[0] = '\0';
  char command[kReplySize];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(command, sizeof(command), format, args);
  va_end(args);
  if (n < 0 || n > static_cast<int>(kReplySize) - 2) return Fail(QZ_ERR_INVALID_ARGUMENT);
  if (!SendRec(cmdSock, command, reply, kTimeoutMs)) {
    reply[0] = '\0';
    return 0;
  }
  return 1;
}

bool SlotCarrier::HexField(const char* reply, size_t pos, size_t digits, uint32_t* value) {
  if (digits == 0 || digits > 8 || strnlen(reply, pos + digits) < pos + digits) return false;
  uint32_t v = 0;
  for (size_t i = pos; i < pos + digits; ++i) {
    const char c = reply[i];
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else if (c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else {
      return false;
    }
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  *value = v;
  return true;
}

bool SlotCarrier::DataReply(const char* reply, size_t length) {
  return (reply[0] == '!' || reply[0] == '>') && strnlen(reply, length) >= length;
}

bool SlotCarrier::ParseVolts(const char* reply, int n, float* out) {
  if (n < 0 || n > kMaxSlotChannels) return false;
  if (!DataReply(reply, 1 + static_cast<size_t>(n) * kVoltWidth)) return false;
  float values[kMaxSlotChannels];
  for (int i = 0; i < n; ++i) {
    char field[kVoltWidth + 1];
    std::memcpy(field, reply + 1 + i * kVoltWidth, kVoltWidth);
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

bool SlotCarrier::ParseCodes(const char* reply, int n, int* out) {
  if (n < 0 || n > kMaxSlotChannels) return false;
  if (!DataReply(reply, 1 + static_cast<size_t>(n) * kCodeWidth)) return false;
  int values[kMaxSlotChannels];
  for (int i = 0; i < n; ++i) {
    uint32_t v = 0;
    if (!HexField(reply, 1 + static_cast<size_t>(i) * kCodeWidth, kCodeWidth, &v)) return false;
    values[i] = static_cast<int>(v);
  }
  for (int i = 0; i < n; ++i) out[i] = values[i];
  return true;
}

bool SlotCarrier::DecimalField(const char* reply, size_t pos, int* value) {
  if (reply[0] != '!' || strnlen(reply, pos + 1) < pos + 1) return false;
  const char* start = reply + pos;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(start, &end, 10);
  if (end == start || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  *value = static_cast<int>(v);
  return true;
}

}  // namespace nivex
