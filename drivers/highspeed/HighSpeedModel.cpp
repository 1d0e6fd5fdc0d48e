// The shared part of the high-speed drivers: sockets, connection, window size, hardware
// version, the one-shot analog reads and the code conversions, digital I/O and the
// configuration items of the types that have them.
#include "drivers/highspeed/HighSpeedModel.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/FaultText.h"
#include "support/tcp.h"
#include "support/utility.h"

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
    return Fail(QZ_ERR_OPEN_DEVICE);
  }
  dataSock = OpenTcp_DataPort(IP, static_cast<int>(dataPort), 1);
  if (dataSock < 0) {
    dataSock = -1;
    DisconnectServer();
    return Fail(QZ_ERR_OPEN_DEVICE);
  }
  SetWinSize(kWindowSize);
  if (ReadAllGainOffsetfromQZ() != 1) {
    DisconnectServer();
    return Fail(QZ_ERR_MODULE_NOT_EXIST);
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
  if (text == nullptr) return Fail(QZ_ERR_INVALID_ARGUMENT);
  char reply[kReplySize];
  if (!Exchange(cmdSock, reply, 1000, "$01F")) {
    text[0] = '\0';
    return 0;
  }
  // A refusal ("?01") is not a version: read as a number it would give "V1".
  if (reply[0] != '\0' && reply[0] != '!') {
    text[0] = '\0';
    return Fail(QZ_ERR_DEVICE_RESPONSE);
  }
  unsigned short version = 0;
  // The decimal number behind the lead character, as atoi reads it (a number too large for
  // 64 bits is held at its limit instead of being undefined), kept to 16 bits; read in 64
  // bits, so that the 32-bit builds keep the same low bits.
  if (reply[0] != '\0') version = static_cast<unsigned short>(std::strtoll(reply + 1, nullptr, 10));
  std::snprintf(text, 8, "V%x", static_cast<unsigned int>(version));
  return 1;
}

int HighSpeedModel::SetWinSize(unsigned int bytes) {
  char reply[kReplySize];
  Exchange(cmdSock, reply, 1000, "~01WS%06lu", static_cast<unsigned long>(bytes));
  return 1;
}

int HighSpeedModel::Channels() const {
  const int ai = module.AI;
  return ai < HighSpeedCalibration::kMaxChannels ? ai : HighSpeedCalibration::kMaxChannels;
}

int HighSpeedModel::Ranges() const {
  const int rng = module.AIranges;
  return rng < HighSpeedCalibration::kMaxRanges ? rng : HighSpeedCalibration::kMaxRanges;
}

bool HighSpeedModel::CalibrationMissing(int gains) const {
  int zeroPairs = 0;
  for (int c = 0; c < Channels(); ++c)
    for (int g = 0; g < gains; ++g)
      if (cal.gain[c][g] == 0 && cal.offset[c][g] == 0) ++zeroPairs;
  return zeroPairs > module.AI / 2;
}

// ================================================================== single-shot helpers

bool HighSpeedModel::Busy() {
  if (!getQZsamplingStatus()) return false;
  _SetLastError(QZ_ERR_DEVICE_BUSY);
  return true;
}

// ================================================================== one-shot analog input

int HighSpeedModel::ReadAIALLHEXRAW(int gain, int* raw, int count) {
  if (count < MinReadCount() || count > Channels()) return Fail(QZ_ERR_CHANNEL_RANGE);
  if (getQZsamplingStatus()) {
    if (!CachesReads()) return Fail(QZ_ERR_DEVICE_BUSY);
    if (rawCacheValid) {  // exactly the caller's count, nothing sent
      for (int i = 0; i < count; ++i) raw[i] = rawCache[i];
      return 1;
    }
  }
  char command[32];
  FormatRawRead(command, sizeof(command), gain);
  char reply[kReplySize];
  if (!Exchange(cmdSock, reply, 1000, "%s", command)) return Fail(QZ_ERR_DEVICE_RESPONSE);
  // The module answers with '>' (or '!') and the codes; anything else is a refusal.
  if (reply[0] != '>' && reply[0] != '!') return Fail(QZ_ERR_DEVICE_RESPONSE);
  const size_t width = 2 * static_cast<size_t>(SampleBytes());
  int32_t values[HighSpeedCalibration::kMaxChannels] = {};
  for (int i = 0; i < count; ++i) {
    uint32_t v = 0;
    if (!HexField(reply, 1 + width * static_cast<size_t>(i), width, &v))
      return Fail(QZ_ERR_DEVICE_RESPONSE);
    values[i] = RawCode(v);
  }
  for (int i = 0; i < count; ++i) raw[i] = values[i];
  if (CachesReads()) {
    for (int i = 0; i < count; ++i) rawCache[i] = values[i];
    rawCacheValid = true;
  }
  return 1;
}

int HighSpeedModel::CheckConversion(int channel, int gain, const void* out) {
  if (channel < 0 || channel >= Channels()) return Fail(QZ_ERR_CHANNEL_RANGE);
  if (gain < 0 || gain >= Ranges()) return Fail(QZ_ERR_GAIN_RANGE);
  if (out == nullptr) return Fail(QZ_ERR_INVALID_ARGUMENT);
  return 1;
}

int HighSpeedModel::Calibrate_HEX(int code, int channel, int gain, int* out) {
  if (!CheckConversion(channel, gain, out)) return 0;
  CalibrateCode(code, channel, gain, out);
  return 1;
}

int HighSpeedModel::Calibrate_Hex2Float(int code, int channel, int gain, float* out) {
  if (!CheckConversion(channel, gain, out)) return 0;
  *out = CodeVolts(code, channel, gain);
  return 1;
}

template <class T>
int HighSpeedModel::ReadChannel(int channel, int gain, T* out, Conversion<T> convert,
                                bool clearOnFailure) {
  if (channel < 0 || channel >= Channels()) return Fail(QZ_ERR_CHANNEL_RANGE);
  if (gain < 0 || gain >= Ranges()) return Fail(QZ_ERR_GAIN_RANGE);
  int raw[HighSpeedCalibration::kMaxChannels] = {};
  if (!ReadAIALLHEXRAW(gain, raw, Channels())) {
    if (clearOnFailure && out != nullptr) *out = T();
    return 0;
  }
  return (this->*convert)(raw[channel], channel, gain, out);
}

template <class T>
int HighSpeedModel::ReadChannels(int gain, T* out, int count, Conversion<T> convert) {
  if (count < MinReadCount() || count > Channels()) return Fail(QZ_ERR_CHANNEL_RANGE);
  if (gain < 0 || gain >= Ranges()) return Fail(QZ_ERR_GAIN_RANGE);
  int raw[HighSpeedCalibration::kMaxChannels] = {};
  if (!ReadAIALLHEXRAW(gain, raw, count)) {
    if (out != nullptr)
      for (int i = 0; i < count; ++i) out[i] = T();
    return 0;
  }
  for (int i = 0; i < count; ++i)
    if (!(this->*convert)(raw[i], i, gain, &out[i])) return 0;
  return 1;
}

int HighSpeedModel::ReadAI(int channel, int gain, float* volts) {
  return ReadChannel(channel, gain, volts, &HighSpeedModel::Calibrate_Hex2Float, false);
}

int HighSpeedModel::ReadAIALL(int gain, float* volts, int count) {
  return ReadChannels(gain, volts, count, &HighSpeedModel::Calibrate_Hex2Float);
}

int HighSpeedModel::ReadAIHEX(int channel, int gain, int* value) {
  return ReadChannel(channel, gain, value, &HighSpeedModel::Calibrate_HEX, true);
}

int HighSpeedModel::ReadAIALLHEX(int gain, int* values, int count) {
  return ReadChannels(gain, values, count, &HighSpeedModel::Calibrate_HEX);
}

// ================================================================== digital I/O

int HighSpeedModel::ReadDIOCommon(unsigned int* di, unsigned int* dout) {
  if (Busy()) return 0;
  char reply[kReplySize];
  if (!Exchange(cmdSock, reply, 1000, "@01")) return Fail(QZ_ERR_DEVICE_RESPONSE);
  if (reply[0] != '!' && reply[0] != '>') return Fail(QZ_ERR_DEVICE_RESPONSE);
  uint32_t d = 0, i = 0;  // exactly one digit each: DO at 1, DI at 2
  if (!HexField(reply, 1, 1, &d) || !HexField(reply, 2, 1, &i)) return Fail(QZ_ERR_INVALID_VALUE);
  *dout = d;
  *di = i;
  return 1;
}

int HighSpeedModel::WriteDOBitCommon(int bit, bool on) {
  if (bit < 0 || bit >= module.DO) return Fail(QZ_ERR_CHANNEL_RANGE);
  if (Busy()) return 0;
  char reply[kReplySize];
  return Ask(reply, '!', "#01A%X%d", static_cast<unsigned int>(bit), on ? 1 : 0);
}

// ================================================================== configuration items

namespace {

// Output of an unknown configuration item: kinds 0 and 1 leave it, the rest clear it.
int UnknownItem(int kind, int* value) {
  if (kind != 0 && kind != 1) *value = 0;
  return Fail(QZ_ERR_INVALID_ARGUMENT);
}

}  // namespace

int HighSpeedModel::SetConfigCommon(int kind, int sub, int value, float* perChannel) {
  if (SharedConfigItem(kind, sub)) return SetSharedConfig(kind, sub, value);
  char reply[kReplySize];
  switch (kind) {
    case 5:
      return Fail(QZ_ERR_CONFIG_COMMAND);
    case 6: {  // per-channel value, volts x 1000
      if (sub < 0 || sub >= Channels()) break;
      const float v = static_cast<float>(value * 0.001);
      uint32_t bits = 0;
      std::memcpy(&bits, &v, sizeof(bits));
      if (!Exchange(cmdSock, reply, 1000, "~01ED%02dG%08X", sub,
                    static_cast<unsigned int>(bits)) ||
          reply[0] != '!')
        return Fail(QZ_ERR_CONFIG_COMMAND);
      // An accept other than "!01" is no accept.
      if (std::strlen(reply) != 3) return Fail(QZ_ERR_CONFIG_COMMAND);
      perChannel[sub] = v;
      return 1;
    }
    default:
      break;
  }
  return Fail(QZ_ERR_INVALID_ARGUMENT);
}

int HighSpeedModel::GetConfigCommon(int kind, int sub, int* value, float* perChannel) {
  if (SharedConfigItem(kind, sub)) return GetSharedConfig(kind, sub, value);
  char reply[kReplySize];
  switch (kind) {
    case 6: {
      if (sub < 0 || sub >= Channels()) break;
      if (!Exchange(cmdSock, reply, 1000, "~01ED%02d", sub) || reply[0] != '!') {
        *value = 0;
        return Fail(QZ_ERR_INVALID_ARGUMENT);
      }
      uint32_t bits = 0;
      if (std::strlen(reply) != 11) return Fail(QZ_ERR_CONFIG_COMMAND);
      if (!HexField(reply, 3, 8, &bits)) return Fail(QZ_ERR_INVALID_VALUE);
      float f = 0.0f;
      std::memcpy(&f, &bits, sizeof(f));
      const double scaled = 1000.0 * static_cast<double>(f);
      // NaN or beyond an int.
      if (!(std::fabs(scaled) < 2147483647.0)) return Fail(QZ_ERR_INVALID_VALUE);
      // Rounded to the nearest: a value set reads back as set.
      *value = static_cast<int>(std::lround(scaled));
      perChannel[sub] = f;
      return 1;
    }
    default:
      break;
  }
  return UnknownItem(kind, value);
}

}  // namespace nivex
