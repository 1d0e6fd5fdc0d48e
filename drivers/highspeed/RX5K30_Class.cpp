// RX5K30: construction, its raw codes and their conversion, the calibration load and query,
// digital I/O, analog outputs, the encoder and the configuration items.
#include "drivers/highspeed/RX5K30_Class.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "framework/Calibration.h"
#include "support/FaultText.h"
#include "support/utility.h"

namespace nivex {

RX5K30::RX5K30(const char* ip, int cmdPort, int dataPort, WRXmodule row)
    : HighSpeedModel(ip, cmdPort, dataPort, row) {}

RX5K30::~RX5K30() { DisconnectServer(); }  // a running worker stops first

const ScanTraits& RX5K30::Traits() const {
  static constexpr ScanTraits kTraits = {4, 40, 256000, 1u << 6, 20, 1, true, false, -1};
  return kTraits;
}

int RX5K30::ReadAllGainOffsetfromQZ() {
  const int gains = Ranges();
  static constexpr HexSpan kInput[] = {{1, 4}, {5, 4}, {9, 4}};  // gain, offset, range in mV
  int last = LoadCalibration(
      Channels(), gains, 1000, kInput, 3, false,
      [](int c, int g, char* command, size_t size) {
        std::snprintf(command, size, "$01RI1C%01dG%01d", c, g);
      },
      [this](int c, int g, const uint32_t* v) {
        cal.gain[c][g] = static_cast<uint16_t>(v[0]);
        cal.offset[c][g] = static_cast<int16_t>(static_cast<uint16_t>(v[1]));
        cal.range[g] = calib::RangeVolts(v[2]);
      });
  const int outputs =
      module.AO < HighSpeedCalibration::kMaxAO ? module.AO : HighSpeedCalibration::kMaxAO;
  static constexpr HexSpan kOutput[] = {{1, 4}, {5, 4}};  // gain, offset
  if (outputs > 0 && last >= 0)  // an unanswered read ends the whole load
    last = LoadCalibration(
        outputs, HighSpeedCalibration::kMaxAORanges, 1000, kOutput, 2, false,
        [](int a, int r, char* command, size_t size) {
          std::snprintf(command, size, "$01RO1C%01dG%01d", a, r);
        },
        [this](int a, int r, const uint32_t* v) {
          cal.aoGain[a][r] = static_cast<uint16_t>(v[0]);
          cal.aoOffset[a][r] = static_cast<int16_t>(static_cast<uint16_t>(v[1]));
        });
  return last == 1 && !CalibrationMissing(gains) ? 1 : 0;
}

// ================================================================== raw codes and their conversion

void RX5K30::FormatRawRead(char* command, size_t size, int gain) const {
  std::snprintf(command, size, "#01H%01d", gain);
}

void RX5K30::CalibrateCode(int code, int channel, int gain, int* out) const {
  int32_t v = 0;
  if (calib::Calibrate24(code, cal.gain[channel][gain], cal.offset[channel][gain],
                         cal.range[gain], calib::kRx5k30FullScale[gain], &v))
    *out = v;
}

float RX5K30::CodeVoltsOf(const HighSpeedCalibration& k, int code, int channel, int gain) const {
  int32_t c = 0;  // a code the conversion leaves unwritten counts as 0
  calib::Calibrate24(code, k.gain[channel][gain], k.offset[channel][gain], k.range[gain],
                     calib::kRx5k30FullScale[gain], &c);
  return calib::Volts24(c, calib::kRx5k30FullScale[gain]);
}

void RX5K30::DescribeLogRun(scanlog::ScanConfig* config, int gain) const {
  HighSpeedModel::DescribeLogRun(config, gain);
  // The range in millivolts as the module gave it: rounded, where truncating its float would
  // lose a unit (10.24 V would give 10239).
  config->hasRange = true;
  const double mv = gain >= 0 && gain < Ranges() ? cal.range[gain] * 1000.0 : 0.0;
  config->range = static_cast<uint32_t>(std::lround(std::max(0.0, mv)));
}

// ================================================================== calibration query

int RX5K30::ReadGainOffset(int channel, int gain, unsigned short* g, short* o) {
  const int ai = Channels();
  const int ao = module.AO < HighSpeedCalibration::kMaxAO ? module.AO : HighSpeedCalibration::kMaxAO;
  const int aoRanges = module.AOranges < HighSpeedCalibration::kMaxAORanges
                           ? module.AOranges
                           : HighSpeedCalibration::kMaxAORanges;
  unsigned int code = 0;
  if (channel < 0 || channel >= ai + ao) code = QZ_ERR_CHANNEL_RANGE;
  else if (gain < 0 || gain >= (channel < ai ? Ranges() : aoRanges)) code = QZ_ERR_GAIN_RANGE;
  if (code != 0) {
    *g = 0;
    *o = 0;
    return Fail(code);
  }
  if (channel < ai) {
    *g = cal.gain[channel][gain];
    *o = cal.offset[channel][gain];
  } else {
    *g = cal.aoGain[channel - ai][gain];
    *o = cal.aoOffset[channel - ai][gain];
  }
  return 1;
}

// ================================================================== digital I/O

int RX5K30::ReadDIO(unsigned int* di, unsigned int* dout) { return ReadDIOCommon(di, dout); }

int RX5K30::WriteDO(unsigned int value) {
  if (module.DO >= 32 ? false : (value >> module.DO) != 0) return Fail(QZ_ERR_VALUE_RANGE);
  if (Busy()) return 0;
  char reply[kReplySize];
  return Ask(reply, '!', "@01D%X", value & 0xFu);
}

int RX5K30::WriteDOBit(int bit, bool on) { return WriteDOBitCommon(bit, on); }

// ================================================================== analog outputs

int RX5K30::CheckAO(int channel, int range) {
  if (module.AO != 0 && (channel < 0 || channel >= module.AO)) return Fail(QZ_ERR_CHANNEL_RANGE);
  if (range < 0 || range >= module.AOranges) return Fail(QZ_ERR_GAIN_RANGE);
  return Busy() ? 0 : 1;
}

int RX5K30::WriteAO(int channel, int range, float value) {
  if (!CheckAO(channel, range)) return 0;
  char reply[kReplySize];
  return Ask(reply, '!', "#01%01d%01d%+07.3f", channel, range, static_cast<double>(value));
}

int RX5K30::WriteAOHEX(int channel, int range, int code) {
  if (!CheckAO(channel, range)) return 0;
  char reply[kReplySize];
  return Ask(reply, '!', "#01%01d%01d%04X", channel, range,
             static_cast<unsigned int>(code) & 0xFFFFu);
}

// ================================================================== encoder

int RX5K30::SetEncoderMode(int index, int mode, int first, int second) {
  if (index != 0) return Fail(QZ_ERR_CHANNEL_RANGE);
  if (mode < 0 || mode > 2 || first < 0 || first > 8 || second < 0 || second > 3)
    return Fail(QZ_ERR_VALUE_RANGE);
  if (Busy()) return 0;
  char reply[kReplySize];
  if (!Exchange(cmdSock, reply, 1000, "$01D%01d%01d%01d", first, mode + 1, second))
    return Fail(QZ_ERR_DEVICE_RESPONSE);
  if (reply[0] != '>') return Fail(QZ_ERR_INVALID_VALUE);
  encoderMode = mode;
  encoderFirst = first;
  encoderSecond = second;
  return 1;
}

int RX5K30::GetEncoderMode(int index, int* mode, int* first, int* second) {
  ReplyLine reply;
  unsigned int code = 0;
  if (index != 0) code = QZ_ERR_CHANNEL_RANGE;
  else if (getQZsamplingStatus()) code = QZ_ERR_DEVICE_BUSY;
  else if (!Exchange(cmdSock, &reply, 1000, "$01D")) code = QZ_ERR_DEVICE_RESPONSE;
  if (code != 0) {
    *mode = *first = *second = 0;
    return Fail(code);
  }
  if (!ReplyFits(reply, ">", 6)) return Fail(QZ_ERR_INVALID_VALUE);  // ">01" and three digits
  const int f = reply.text[3] - '0', m = reply.text[4] - '1', s = reply.text[5] - '0';
  if (f < 0 || f > 8 || m < 0 || m > 2 || s < 0 || s > 3) return Fail(QZ_ERR_INVALID_VALUE);
  encoderFirst = *first = f;
  encoderMode = *mode = m;
  encoderSecond = *second = s;
  return 1;
}

int RX5K30::ReadEncoder(int index, unsigned int* count) {
  ReplyLine reply;
  unsigned int code = 0;
  if (index != 0) code = QZ_ERR_CHANNEL_RANGE;
  else if (getQZsamplingStatus()) code = QZ_ERR_DEVICE_BUSY;
  else if (!Exchange(cmdSock, &reply, 1000, "#01N")) code = QZ_ERR_DEVICE_RESPONSE;
  if (code != 0) {
    *count = 0;
    return Fail(code);
  }
  uint32_t v = 0;  // '>' and exactly 8 hexadecimal digits
  if (!ReplyFits(reply, ">", 9) || !HexField(reply.text, 1, 8, &v))
    return Fail(QZ_ERR_INVALID_VALUE);
  *count = v;
  return 1;
}

int RX5K30::ClearEncoder(int index) {
  if (index != 0) return Fail(QZ_ERR_CHANNEL_RANGE);
  if (Busy()) return 0;
  char reply[kReplySize];
  if (!Exchange(cmdSock, reply, 1000, "$01D%01d%01d%01d", encoderFirst, encoderMode + 1,
                encoderSecond))
    return Fail(QZ_ERR_DEVICE_RESPONSE);
  return reply[0] == '>' ? 1 : Fail(QZ_ERR_INVALID_VALUE);
}

// ================================================================== configuration items

int RX5K30::SetConfig(int kind, int sub, int value) {
  return SetConfigCommon(kind, sub, value, edValue);
}

int RX5K30::GetConfig(int kind, int sub, int* value) {
  return GetConfigCommon(kind, sub, value, edValue);
}

}  // namespace nivex
