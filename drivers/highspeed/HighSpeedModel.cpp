// The shared part of the high-speed drivers: sockets, connection, window size, hardware
// version and the exchange helpers.
#include "drivers/highspeed/HighSpeedModel.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/FaultText.h"
#include "support/tcp.h"

namespace nivex {

HighSpeedModel::HighSpeedModel(const char* ip, int cmdPort, int dataPortArg, WRXmodule row)
    : MODEL(ip, cmdPort, dataPortArg, row), dataPort(static_cast<unsigned int>(dataPortArg)) {}

HighSpeedModel::~HighSpeedModel() {
  runFlag = false;
  HighSpeedModel::DisconnectServer();
}

int HighSpeedModel::ConnectServer() {
  DisconnectServer();  // a second connect must not leak the first sockets

  cmdSock = OpenTcp(IP, cmdPort, 1);
  if (cmdSock < 0) {
    cmdSock = -1;
    _SetLastError(QZ_ERR_OPEN_DEVICE);
    return 0;
  }
  dataSock = OpenTcp_DataPort(IP, static_cast<int>(dataPort), 1);
  if (dataSock < 0) {
    dataSock = -1;
    DisconnectServer();
    _SetLastError(QZ_ERR_OPEN_DEVICE);
    return 0;
  }
  SetWinSize(kWindowSize);
  if (ReadAllGainOffsetfromQZ() != 1) {
    DisconnectServer();
    _SetLastError(QZ_ERR_MODULE_NOT_EXIST);
    return 0;
  }
  return 1;
}

int HighSpeedModel::DisconnectServer() {
  if (cmdSock >= 0) {
    CloseTcp(cmdSock);
    cmdSock = -1;
  }
  if (dataSock >= 0) {
    CloseTcp(dataSock);
    dataSock = -1;
  }
  return 1;
}

int HighSpeedModel::GetFPGAVersion(char* text) {
  if (text == nullptr) {
    _SetLastError(QZ_ERR_INVALID_ARGUMENT);
    return 0;
  }
  char reply[kReplySize];
  if (!Exchange(reply, 1000, "$01F")) {
    text[0] = '\0';
    return 0;
  }
  // A refusal ("?01") is not a version: read as a number it would give "V1".
  if (reply[0] != '\0' && reply[0] != '!') {
    _SetLastError(QZ_ERR_DEVICE_RESPONSE);
    text[0] = '\0';
    return 0;
  }
  unsigned short version = 0;
  // The decimal number behind the lead character, as atoi reads it (a number too large for
  // a long is held at its limit instead of being undefined), kept to 16 bits.
  if (reply[0] != '\0') version = static_cast<unsigned short>(std::strtol(reply + 1, nullptr, 10));
  std::snprintf(text, 8, "V%x", static_cast<unsigned int>(version));
  return 1;
}

int HighSpeedModel::SetWinSize(unsigned int bytes) {
  char reply[kReplySize];
  Exchange(reply, 1000, "~01WS%06lu", static_cast<unsigned long>(bytes));
  return 1;
}

int HighSpeedModel::Exchange(char* reply, int timeoutMs, const char* format, ...) {
  reply[0] = '\0';
  char command[kReplySize];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(command, sizeof(command), format, args);
  va_end(args);
  if (n < 0 || n > static_cast<int>(kReplySize) - 2) {
    _SetLastError(QZ_ERR_INVALID_ARGUMENT);
    return 0;
  }
  return SendRec(cmdSock, command, reply, timeoutMs);
}

bool HighSpeedModel::HexField(const char* reply, size_t pos, size_t digits, uint32_t* value) {
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

int HighSpeedModel::Channels() const {
  const int ai = module.AI;
  return ai < HighSpeedCalibration::kMaxChannels ? ai : HighSpeedCalibration::kMaxChannels;
}

int HighSpeedModel::Ranges() const {
  const int rng = module.AIranges;
  return rng < HighSpeedCalibration::kMaxRanges ? rng : HighSpeedCalibration::kMaxRanges;
}

}  // namespace nivex
