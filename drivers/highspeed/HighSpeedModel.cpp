// The shared part of the high-speed drivers: sockets, connection, window size, hardware
// version, the one-shot analog reads and the code conversions, digital I/O and the
// configuration items of the types that have them.
#include "drivers/highspeed/HighSpeedModel.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "support/FaultText.h"
#include "support/tcp.h"
#include "support/utility.h"

namespace nivex {

HighSpeedModel::HighSpeedModel(const char* ip, int cmdPort, int dataPortArg, WRXmodule row)
    : LoggingModel(ip, cmdPort, dataPortArg, row), dataPort(static_cast<unsigned int>(dataPortArg)) {}

HighSpeedModel::~HighSpeedModel() { HighSpeedModel::DisconnectServer(); }

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
  // A module that leaves a command of the open unanswered is not usable: nothing more is asked.
  if (!SendWinSize(kWindowSize) || ReadAllGainOffsetfromQZ() != 1) {
    DisconnectServer();
    return Fail(QZ_ERR_MODULE_NOT_EXIST);
  }
  return 1;
}

int HighSpeedModel::DisconnectServer() {
  std::lock_guard<std::mutex> control(controlMutex);
  if (worker.Kind() != WorkerKind::None) {
    if (cmdSock >= 0 && dataSock >= 0) StopMagicScan();
    StopAIScanLocked();
  }
  std::lock_guard<std::recursive_mutex> command(exchangeMutex);
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
  ReplyLine reply;
  if (!Exchange(cmdSock, &reply, 1000, "$01F")) {
    text[0] = '\0';
    return 0;
  }
  // An empty reply is version 0. Anything else is a data reply: a refusal ("?01") is not a
  // version (read as a number it would give "V1").
  if (reply.received != 0 && !ReplyFits(reply, kDataLeads)) {
    text[0] = '\0';
    return Fail(QZ_ERR_DEVICE_RESPONSE);
  }
  // The decimal number behind the lead character, as atoi reads it (no number reads as 0, nor
  // does one beyond an int), kept to 16 bits; nothing but blanks may follow it.
  int number = 0;
  size_t end = 1;
  if (!ScanInt(reply.text, 1, &number, &end)) number = 0;
  if (reply.received != 0 && !ReplyFits(reply, kDataLeads, end)) {
    text[0] = '\0';
    return Fail(QZ_ERR_DEVICE_RESPONSE);
  }
  std::snprintf(text, 8, "V%x", static_cast<unsigned int>(static_cast<unsigned short>(number)));
  return 1;
}

int HighSpeedModel::SetWinSize(unsigned int bytes) {
  SendWinSize(bytes);
  return 1;
}

int HighSpeedModel::SendWinSize(unsigned int bytes) {
  char reply[kReplySize];
  return Exchange(cmdSock, reply, 1000, "~01WS%06lu", static_cast<unsigned long>(bytes));
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
  // The module answers with '>' (or '!') and the codes of all its channels; anything else
  // is a refusal.
  const size_t width = 2 * static_cast<size_t>(SampleBytes());
  ReplyLine reply;
  uint32_t fields[HighSpeedCalibration::kMaxChannels] = {};
  if (!AskData(&reply, 1 + width * static_cast<size_t>(Channels()), "%s", command) ||
      !HexFields(reply.text, 1, width, count, fields))
    return Fail(QZ_ERR_DEVICE_RESPONSE);
  for (int i = 0; i < count; ++i) raw[i] = RawCode(fields[i]);
  if (CachesReads()) {
    for (int i = 0; i < count; ++i) rawCache[i] = raw[i];
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
  ReplyLine reply;  // the lead, then exactly one digit each: DO at 1, DI at 2
  if (!AskData(&reply, 3, "@01")) return Fail(QZ_ERR_DEVICE_RESPONSE);
  uint32_t d = 0, i = 0;
  if (!HexField(reply.text, 1, 1, &d) || !HexField(reply.text, 2, 1, &i))
    return Fail(QZ_ERR_INVALID_VALUE);
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
  ReplyLine reply;
  switch (kind) {
    case 5:
      return Fail(QZ_ERR_CONFIG_COMMAND);
    case 6: {  // per-channel value, volts x 1000
      if (sub < 0 || sub >= Channels()) break;
      const float v = static_cast<float>(value * 0.001);
      uint32_t bits = 0;
      std::memcpy(&bits, &v, sizeof(bits));
      if (!Exchange(cmdSock, &reply, 1000, "~01ED%02dG%08X", sub, static_cast<unsigned int>(bits)))
        return Fail(QZ_ERR_CONFIG_COMMAND);
      // An accept other than "!01" is no accept.
      if (!ReplyFits(reply, "!", 3)) return Fail(QZ_ERR_DEVICE_RESPONSE);
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
  ReplyLine reply;
  switch (kind) {
    case 6: {
      if (sub < 0 || sub >= Channels()) break;
      if (!Exchange(cmdSock, &reply, 1000, "~01ED%02d", sub)) {
        *value = 0;
        return Fail(QZ_ERR_INVALID_ARGUMENT);
      }
      // "!01" and exactly the 8 hexadecimal digits of the float's bits.
      uint32_t bits = 0;
      if (!ReplyFits(reply, kDataLeads, 11) || !HexField(reply.text, 3, 8, &bits))
        return Fail(QZ_ERR_DEVICE_RESPONSE);
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
