// D4071s: slot map, calibration, hardware versions and configuration item 6.
#include "drivers/slot/D4071s_Class.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "framework/Calibration.h"
#include "support/FaultText.h"
#include "support/utility.h"

namespace nivex {
namespace {

constexpr size_t kCalEntryWidth = 8;  // gain (4 hex) and offset (4 hex) of one channel

}  // namespace

D4071s::D4071s(const char* ip, int cmdPort, int dataPort, WRXmodule row)
    : SlotCarrier(ip, cmdPort, dataPort, row) {
  sampleRate = 100;
  for (int k = 0; k < kMaxSlots; ++k) slotPosition[k] = -1;
  channelValues = channelValue;
}

D4071s::~D4071s() {
  DisconnectServer();
  channelValues = nullptr;
}

// ------------------------------------------------------------------ slot map

bool D4071s::ParseSlotMap(const ReplyLine& reply) {
  // "!01" + count digit + one flag per position 0-7.
  if (!ReplyFits(reply, kDataLeads, 4 + kMaxSlots) || reply.text[3] < '1' || reply.text[3] > '8')
    return false;
  const int count = reply.text[3] - '0';
  int positions[kMaxSlots];
  int found = 0;
  for (int p = 0; p < kMaxSlots && found < count; ++p)
    if (reply.text[4 + p] == '1') positions[found++] = p;
  // A slot without a position would have no data port and no digit to address it.
  if (found < count) return false;
  for (int k = 0; k < kMaxSlots; ++k) slotPosition[k] = k < count ? positions[k] : -1;
  slotCount = count;
  module.AI = static_cast<unsigned short>(count * kSlotChannels);
  return true;
}

void D4071s::ClearSlotMap() {
  slotCount = 0;
  for (int k = 0; k < kMaxSlots; ++k) slotPosition[k] = -1;
}

unsigned int D4071s::SlotDataPort(int k) const { return dataPort[slotPosition[k]]; }

int D4071s::SlotCapacity(int) const { return kSlotChannels; }

int D4071s::SlotDigit(int k) const { return slotPosition[k]; }

void D4071s::FormatRawRead(char* command, size_t size, int k, int gain) const {
  std::snprintf(command, size, "#01HS%01dG%01d", slotPosition[k], gain);
}

int D4071s::CardType(int k) const { return slotPosition[k] >= 0 ? 8 : -1; }

int D4071s::AfterConnect() {
  // A command left unanswered ends the open: nothing more is asked.
  return SendWinSize(kWindowSize) && ReadAllGainOffsetfromQZ() == 1 ? 1 : 0;
}

// ------------------------------------------------------------------ calibration

int D4071s::ApplyCalibration(int code, uint16_t gain, int16_t offset) {
  return calib::Calibrate16(code, gain, offset);
}

float D4071s::CodeToVolts(int code, int gainCode) {
  float volts = 0.0f;
  calib::Volts16(code, gainCode == 0 ? 0 : 1, &volts);  // every gain code but 0 is +/-10 V
  return volts;
}

int D4071s::CheckChannelGain(int channel, int gain) const {
  int k = 0, within = 0;
  if (!SlotOfChannel(channel, &k, &within)) return Fail(QZ_ERR_CHANNEL_RANGE);
  const int ranges = module.AIranges < kGains ? module.AIranges : kGains;
  if (gain < 0 || gain >= ranges) return Fail(QZ_ERR_GAIN_RANGE);
  return 1;
}

int D4071s::Calibrate_HEX(int code, int channel, int gain, int* out) {
  if (!CheckChannelGain(channel, gain)) return 0;
  if (out == nullptr) return Fail(QZ_ERR_INVALID_ARGUMENT);
  const int k = channel / kSlotChannels, i = channel % kSlotChannels;
  *out = ApplyCalibration(code, calGain[k][i][gain], calOffset[k][i][gain]);
  return 1;
}

int D4071s::Calibrate_Hex2Float(int code, int channel, int gain, float* out) {
  if (!CheckChannelGain(channel, gain)) return 0;
  if (out == nullptr) return Fail(QZ_ERR_INVALID_ARGUMENT);
  int calibrated = 0;
  if (!Calibrate_HEX(code, channel, gain, &calibrated)) return 0;
  *out = CodeToVolts(calibrated, gain);
  return 1;
}

int D4071s::AD_ReadData_float(float* destination, unsigned int count, int) {
  if (destination == nullptr || count == 0) return 0;
  // Room for what the ring holds now: the caller's count may be any number.
  const size_t n = static_cast<size_t>(std::min<uint64_t>(count, ring_.Readable()));
  if (n == 0) return 0;
  std::unique_ptr<int16_t[]> codes(new (std::nothrow) int16_t[n]);
  if (!codes) return 0;
  unsigned first = 0;
  const size_t got = ring_.Read(codes.get(), n, &first);
  // Each code through the calibration of the card and channel that produced it.
  int channelOf[kMaxFrameChannels] = {};
  const size_t columns = static_cast<size_t>(std::max(FrameChannels(channelOf), 1));
  for (size_t i = 0; i < got; ++i) {
    const int channel = channelOf[(first + i) % columns];
    if (!Calibrate_Hex2Float(codes[i], channel, run_.gain, &destination[i])) destination[i] = 0.0f;
  }
  return static_cast<int>(got);
}

int D4071s::ReadGainOffset(int channel, int gain, unsigned short* gainOut, short* offsetOut) {
  if (gainOut == nullptr || offsetOut == nullptr) return Fail(QZ_ERR_INVALID_ARGUMENT);
  *gainOut = 0;
  *offsetOut = 0;
  if (!CheckChannelGain(channel, gain)) return 0;
  const int k = channel / kSlotChannels, i = channel % kSlotChannels;
  *gainOut = calGain[k][i][gain];
  *offsetOut = calOffset[k][i][gain];
  return 1;
}

int D4071s::ReadAllGainOffsetfromQZ() {
  // Eight entries of gain and offset from position 1, directly behind the lead character.
  HexSpan entries[2 * kSlotChannels];
  for (int i = 0; i < kSlotChannels; ++i) {
    entries[2 * i] = {1 + static_cast<size_t>(i) * kCalEntryWidth, 4};
    entries[2 * i + 1] = {5 + static_cast<size_t>(i) * kCalEntryWidth, 4};
  }
  const int loaded = LoadCalibration(
      slotCount, kGains, kTimeoutMs, entries, 2 * kSlotChannels, true,
      [this](int k, int g, char* command, size_t size) {
        std::snprintf(command, size, "$01RS%1d%1dG%1d", slotPosition[k], 0, g);
      },
      [this](int k, int g, const uint32_t* v) {
        for (int i = 0; i < kSlotChannels; ++i) {
          calGain[k][i][g] = static_cast<uint16_t>(v[2 * i]);
          calOffset[k][i][g] = static_cast<int16_t>(static_cast<uint16_t>(v[2 * i + 1]));
        }
      });
  return loaded == 1 ? 1 : 0;
}

// ------------------------------------------------------------------ versions

int D4071s::GetFPGAVersion(char* text) {
  if (text == nullptr) return Fail(QZ_ERR_INVALID_ARGUMENT);
  text[0] = '\0';
  ReplyLine reply;
  if (!Exchange(cmdSock, &reply, kTimeoutMs, "$01FS8")) return 0;
  if (!ReplyFits(reply, ">")) return Fail(QZ_ERR_DEVICE_RESPONSE);
  unsigned int v[kMaxSlots] = {};
  std::sscanf(reply.text, ">%04X,%04X,%04X,%04X,%04X,%04X,%04X,%04X", &v[0], &v[1], &v[2], &v[3],
              &v[4], &v[5], &v[6], &v[7]);
  for (unsigned int& x : v) x &= 0xFFFFu;  // one 16-bit value per position
  std::snprintf(text, kVersionTextSize, "V%X,V%X,V%X,V%X,V%X,V%X,V%X,V%X", v[0], v[1], v[2], v[3],
                v[4], v[5], v[6], v[7]);
  return 1;
}

// ------------------------------------------------------------------ configuration item 6

int D4071s::SetChannelValue(int channel, int mV) {
  if (channel < 0 || channel >= ChannelTotal() || channel >= kMaxChannels)
    return Fail(QZ_ERR_INVALID_ARGUMENT);
  float volts = static_cast<float>(mV * 0.001);
  // The get reads the value back as 1000 x volts truncated toward zero. Where the nearest float
  // lies just short of the value (0.251 does), the next float away from zero goes out instead,
  // so a value set reads back as set.
  if (std::trunc(static_cast<double>(1000.0f * volts)) != static_cast<double>(mV))
    volts = std::nextafterf(volts, mV < 0 ? -INFINITY : INFINITY);
  uint32_t bits = 0;
  std::memcpy(&bits, &volts, sizeof(bits));
  ReplyLine reply;
  if (!Exchange(cmdSock, &reply, kTimeoutMs, "~01EDS%1dC%1dG%08X", channel / kSlotChannels,
                channel % kSlotChannels, static_cast<unsigned int>(bits)))
    return Fail(QZ_ERR_CONFIG_COMMAND);
  // The module acknowledges with exactly "!01".
  if (!ReplyFits(reply, "!", 3)) return Fail(QZ_ERR_DEVICE_RESPONSE);
  channelValue[channel] = volts;
  return 1;
}

int D4071s::GetChannelValue(int channel, int* mV) {
  if (channel < 0 || channel >= ChannelTotal() || channel >= kMaxChannels)
    return Fail(QZ_ERR_INVALID_ARGUMENT);
  ReplyLine reply;
  if (!Exchange(cmdSock, &reply, kTimeoutMs, "~01EDS%1dC%1d", channel / kSlotChannels,
                channel % kSlotChannels)) {
    *mV = 0;
    return Fail(QZ_ERR_INVALID_ARGUMENT);
  }
  // Exactly "!01" and the 8 hexadecimal digits of the float's bits.
  uint32_t bits = 0;
  if (!ReplyFits(reply, kDataLeads, 11) || !HexField(reply.text, 3, 8, &bits))
    return Fail(QZ_ERR_DEVICE_RESPONSE);
  float volts = 0.0f;
  std::memcpy(&volts, &bits, sizeof(volts));
  const float product = 1000.0f * volts;
  // Only a finite value inside the int range converts to an int.
  if (!std::isfinite(product) || product >= 2147483648.0f || product < -2147483648.0f)
    return Fail(QZ_ERR_INVALID_VALUE);
  *mV = static_cast<int>(product);
  channelValue[channel] = volts;
  return 1;
}

}  // namespace nivex
