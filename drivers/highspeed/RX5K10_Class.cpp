// RX5K10: construction, its raw codes and their conversion, the calibration load and query,
// digital I/O and counters, the configuration items and the RMS parameters.
#include "drivers/highspeed/RX5K10_Class.h"

#include <cstdio>
#include <cstring>

#include "framework/Calibration.h"
#include "framework/RXMODEL_SyncInFrame.h"
#include "support/FaultText.h"
#include "support/utility.h"

namespace nivex {

RX5K10::RX5K10(const char* ip, int cmdPort, int dataPort, WRXmodule row)
    : HighSpeedModel(ip, cmdPort, dataPort, row) {
  rateDivider = 1;
  timeoutUnitOverride = -1;
  syncInFrame = new SyncInFrameDef();
  channelValues = new float[module.AI]();
}

RX5K10::~RX5K10() {
  DisconnectServer();  // a running worker stops before anything of the object goes
  delete syncInFrame;
  syncInFrame = nullptr;
  delete[] channelValues;
  channelValues = nullptr;
}

int RX5K10::ReadAllGainOffsetfromQZ() {
  const int gains = Ranges() < 2 ? Ranges() : 2;
  static constexpr HexSpan kEntry[] = {{1, 4}, {5, 4}};  // gain, offset
  const int last = LoadCalibration(
      Channels(), gains, kCalibrationTimeoutMs, kEntry, 2, false,
      [](int c, int g, char* command, size_t size) {
        std::snprintf(command, size, "$01R0C%01dG%01d", c, g);
      },
      [this](int c, int g, const uint32_t* v) {
        cal.gain[c][g] = static_cast<uint16_t>(v[0]);
        cal.offset[c][g] = static_cast<int16_t>(static_cast<uint16_t>(v[1]));
      });
  return last == 1 && !CalibrationMissing(gains) ? 1 : 0;
}

const ScanTraits& RX5K10::Traits() const {
  static constexpr ScanTraits kTraits = {
      2, 20, 240000,
      ~((1u << 0) | (1u << 1) | (1u << 8)),  // every mode but 0, 1 and 8 buffers
      1, 0, false, true, 0x307};
  return kTraits;
}

// ================================================================== raw codes and their conversion

void RX5K10::FormatRawRead(char* command, size_t size, int gain) const {
  std::snprintf(command, size, "#01H%01d", gain);
}

int32_t RX5K10::RawCode(uint32_t field) const {
  return static_cast<int16_t>(static_cast<uint16_t>(field));
}

void RX5K10::CalibrateCode(int code, int channel, int gain, int* out) const {
  *out = calib::Calibrate16(code, cal.gain[channel][gain], cal.offset[channel][gain]);
}

float RX5K10::CodeVoltsOf(const HighSpeedCalibration& k, int code, int channel, int gain) const {
  const int32_t c = calib::Calibrate16(code, k.gain[channel][gain], k.offset[channel][gain]);
  float volts = 0.0f;
  calib::Volts16(c, gain, &volts);
  return volts;
}

void RX5K10::DescribeLogRun(scanlog::ScanConfig* config, int gain) const {
  HighSpeedModel::DescribeLogRun(config, gain);
  config->hasSyncMode = true;
  config->syncMode = syncMode;
}

// ================================================================== calibration query

int RX5K10::ReadGainOffset(int channel, int gain, unsigned short* g, short* o) {
  int code = 0;
  if (channel < 0 || channel >= Channels()) code = QZ_ERR_CHANNEL_RANGE;
  else if (gain < 0 || gain >= Ranges()) code = QZ_ERR_GAIN_RANGE;
  if (code != 0) {
    *g = 0;
    *o = 0;
    return Fail(static_cast<unsigned int>(code));
  }
  *g = cal.gain[channel][gain];
  *o = cal.offset[channel][gain];
  return 1;
}

// ================================================================== digital I/O and counters

namespace {

// Mode of the two digits at reply position 3 ("%01d%01d"): bit 0 when the first is 1, bit 1
// when the second is. False when they are not two digits.
bool ModeDigits(const char* reply, unsigned int* mode) {
  if (strnlen(reply, 5) < 5) return false;
  const char a = reply[3], b = reply[4];
  if (a < '0' || a > '9' || b < '0' || b > '9') return false;
  *mode = (a == '1' ? 1u : 0u) + (b == '1' ? 2u : 0u);
  return true;
}

}  // namespace

unsigned int RX5K10::DICount() const { return module.DI < 4 ? module.DI : 4u; }
unsigned int RX5K10::CounterCount() const { return module.counters < 4 ? module.counters : 4u; }

int RX5K10::ReadValue8(unsigned int* value, const char* format, unsigned int index) {
  ReplyLine reply;  // "!01" and exactly 8 hexadecimal digits
  if (!AskData(&reply, 11, format, index)) return Fail(QZ_ERR_DEVICE_RESPONSE);
  uint32_t v = 0;
  if (!HexField(reply.text, 3, 8, &v)) return Fail(QZ_ERR_INVALID_VALUE);
  *value = v;
  return 1;
}

int RX5K10::ReadDIO(unsigned int* di, unsigned int* dout) { return ReadDIOCommon(di, dout); }

int RX5K10::WriteDO(unsigned int value) {
  if (value >= 16) return Fail(QZ_ERR_INVALID_ARGUMENT);
  if (Busy()) return 0;
  char reply[kReplySize];
  if (firmVersion <= 0x312) return Ask(reply, '!', "@01%X", value & 0xFu);
  return Ask(reply, '!', "@01D%X", value & 0xFu);
}

int RX5K10::WriteDOBit(int bit, bool on) { return WriteDOBitCommon(bit, on); }

int RX5K10::GetDICNTConfig(unsigned int index, unsigned int* mode, unsigned int* value) {
  if (index >= DICount()) return Fail(QZ_ERR_CHANNEL_RANGE);
  if (Busy()) return 0;
  if (!ReadValue8(value, "@01P%01X", index)) return 0;
  *mode = dicntMode[index];
  ReplyLine reply;
  unsigned int m = 0;
  if (AskData(&reply, 5, "$015PR%01X", index) && ModeDigits(reply.text, &m)) *mode = m;
  return 1;  // the cached mode stands when the module does not tell it
}

int RX5K10::SetDICNTConfig(unsigned int index, unsigned int mode, unsigned int value) {
  if (index >= DICount()) return Fail(QZ_ERR_CHANNEL_RANGE);
  if (Busy()) return 0;
  char reply[kReplySize];
  if (!Ask(reply, '!', "@01PRE%01X%08X", index, value)) return Fail(QZ_ERR_DEVICE_RESPONSE);
  dicntMode[index] = static_cast<uint16_t>(mode);
  msleep(1);
  return Ask(reply, '!', "$015PR%01X%01u%01u", index, mode & 1u, (mode >> 1) & 1u);
}

int RX5K10::GetCounterConfig(unsigned int index, unsigned int* mode, unsigned int* value) {
  if (index >= CounterCount()) return Fail(QZ_ERR_CHANNEL_RANGE);
  if (Busy()) return 0;
  if (!ReadValue8(value, "@01P%01X", index)) return 0;
  ReplyLine reply;
  if (!AskData(&reply, 5, "$015%01X", index)) return Fail(QZ_ERR_DEVICE_RESPONSE);
  unsigned int m = 0;
  if (!ModeDigits(reply.text, &m)) return Fail(QZ_ERR_INVALID_VALUE);
  *mode = m;
  return 1;
}

int RX5K10::SetCounterConfig(unsigned int index, unsigned int mode, unsigned int value) {
  if (index >= CounterCount()) return Fail(QZ_ERR_CHANNEL_RANGE);
  if (Busy()) return 0;
  char reply[kReplySize];
  if (!Ask(reply, '!', "@01P%01X%08X", index, value)) return Fail(QZ_ERR_DEVICE_RESPONSE);
  counterMode[index] = static_cast<uint16_t>(mode);
  msleep(1);
  msleep(1);
  if (!Ask(reply, '!', "$015%01X%01u%01u", index, mode & 1u, (mode >> 1) & 1u))
    return Fail(QZ_ERR_DEVICE_RESPONSE);
  return 1;
}

int RX5K10::GetDICNT(unsigned int index, unsigned int* count) {
  if (index >= DICount()) return Fail(QZ_ERR_CHANNEL_RANGE);
  if (Busy()) return 0;
  return ReadValue8(count, "@01REC%01X", index);
}

int RX5K10::GetCounter(unsigned int index, unsigned int* count) {
  if (index >= CounterCount()) return Fail(QZ_ERR_CHANNEL_RANGE);
  if (Busy()) return 0;
  return ReadValue8(count, "@01G%01X", index);
}

int RX5K10::ClearCommand(const char* command) {
  if (Busy()) return 0;
  char reply[kReplySize];  // a failed exchange and a refusal alike
  if (!Ask(reply, '!', "%s", command)) return Fail(QZ_ERR_DEVICE_RESPONSE);
  return 1;
}

int RX5K10::ClearDICNT(unsigned int index) {
  if (index >= DICount()) return Fail(QZ_ERR_CHANNEL_RANGE);
  char command[16];
  std::snprintf(command, sizeof(command), "@01CREC%01X", index);
  return ClearCommand(command);
}

int RX5K10::ClearDICNTALL() { return ClearCommand("@01CREC"); }

int RX5K10::ClearCounter(unsigned int index) {
  if (index >= CounterCount()) return Fail(QZ_ERR_CHANNEL_RANGE);
  char command[16];
  std::snprintf(command, sizeof(command), "@01C%01X", index);
  return ClearCommand(command);
}

int RX5K10::ClearCounterALL() { return ClearCommand("@01C"); }

int RX5K10::ReadAll(unsigned int* counts, int n, unsigned int limit, const char* command) {
  for (int i = 0; i < n; ++i) counts[i] = 0;
  if (n < 1 || static_cast<unsigned int>(n) > limit) return Fail(QZ_ERR_CHANNEL_RANGE);
  if (Busy()) return 0;
  // "!01" and 8 hexadecimal digits for every counter of the module.
  ReplyLine reply;
  uint32_t values[4];
  if (!AskData(&reply, 3 + 8 * static_cast<size_t>(limit), "%s", command))
    return Fail(QZ_ERR_DEVICE_RESPONSE);
  if (!HexFields(reply.text, 3, 8, n, values)) return Fail(QZ_ERR_INVALID_VALUE);
  for (int i = 0; i < n; ++i) counts[i] = values[i];
  return 1;
}

int RX5K10::GetDICNTAll(unsigned int* counts, int n) {
  return ReadAll(counts, n, DICount(), "@01REC");
}

int RX5K10::GetCounterAll(unsigned int* counts, int n) {
  return ReadAll(counts, n, CounterCount(), "@01G");
}

// ================================================================== configuration items

int RX5K10::SetConfig(int kind, int sub, int value) {
  if (kind == 2) {
    if (sub != 2 || value < 0 || value > 6 ||
        static_cast<double>(sampleRate) > 200000.0 / static_cast<double>(1u << value))
      return Fail(QZ_ERR_INVALID_ARGUMENT);
    ReplyLine reply;
    if (!Exchange(cmdSock, &reply, 1000, "~01V%01d", value)) return Fail(QZ_ERR_CONFIG_COMMAND);
    if (!ReplyFits(reply, "!", 3)) return Fail(QZ_ERR_DEVICE_RESPONSE);  // "!01" only
    rateDivider = 1u << value;
    return 1;
  }
  if (kind == 5 && sub == 2) {
    timeoutUnitOverride = value;
    return 1;
  }
  return SetConfigCommon(kind, sub, value, channelValues);
}

int RX5K10::GetConfig(int kind, int sub, int* value) {
  if (kind == 2) {
    if (sub != 2) return Fail(QZ_ERR_INVALID_ARGUMENT);  // output left as it is
    ReplyLine reply;  // "!01V" and the one digit
    if (!Exchange(cmdSock, &reply, 1000, "~01V")) return Fail(QZ_ERR_CONFIG_COMMAND);
    if (!ReplyFits(reply, kDataLeads, 5) || reply.text[4] < '0' || reply.text[4] > '6')
      return Fail(QZ_ERR_DEVICE_RESPONSE);
    const int v = reply.text[4] - '0';
    rateDivider = 1u << v;
    *value = v;
    return 1;
  }
  if (kind == 5 && sub == 2) {
    *value = timeoutUnitOverride >= 1 ? timeoutUnitOverride : timeoutUnit;
    return 1;
  }
  return GetConfigCommon(kind, sub, value, channelValues);
}

int RX5K10::SetRMSParam(short rpf, short dt) {
  char reply[kReplySize];
  if (!Ask(reply, '!', "~01RPF%01d", static_cast<int>(rpf))) return 0;
  rmsRPF = static_cast<unsigned short>(rpf);
  msleep(1);
  if (!Ask(reply, '!', "~01DT%05d", static_cast<int>(dt))) return 0;
  rmsDT = static_cast<unsigned short>(dt);
  msleep(1);
  return 1;
}

int RX5K10::GetRMSParam(short* rpf, short* dt) {
  ReplyLine reply;  // "!01", a character and the one digit
  if (!AskData(&reply, 5, "~01RP") || reply.text[4] < '0' || reply.text[4] > '9')
    return Fail(QZ_ERR_DEVICE_RESPONSE);
  rmsRPF = static_cast<unsigned short>(reply.text[4] - '0');
  *rpf = static_cast<short>(rmsRPF);
  msleep(1);
  if (!AskData(&reply, kAnyLength, "~01DT")) return 1;
  int v = 0;
  size_t end = 0;
  if (!ScanInt(reply.text, 3, &v, &end) || !ReplyFits(reply, kDataLeads, end) || v < -32768 ||
      v > 32767)
    return 1;
  *dt = static_cast<short>(v);
  rmsDT = static_cast<unsigned short>(v);
  msleep(1);
  return 1;
}

}  // namespace nivex
