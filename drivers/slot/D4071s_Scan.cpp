// D4071s: its scan checks and commands, the analog trigger, the trigger index, the per-slot
// buffer status, the transmit command and the trigger output.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "drivers/slot/D4071s_Class.h"
#include "support/FaultText.h"
#include "support/utility.h"

namespace nivex {
namespace {

constexpr int kMaxRate = 200000;
constexpr int kAllSlots = 8;  // the slot digit of the rate command
constexpr uint16_t kCodeMax = 0x7FFF;
constexpr uint16_t kCodeMin = 0x8000;

// "!01" + position + "M" + mode + "L" pre + "R" post, the counts in decimal, and nothing after.
bool ReadSlotTrigger(const ReplyLine& line, uint32_t* mode, uint32_t* pre, uint32_t* post) {
  const char* const reply = line.text;
  if (strnlen(reply, 8) < 8 || reply[5] < '0' || reply[5] > '3' || reply[6] != 'L') return false;
  const size_t r = 7 + DecDigits(reply, 7);
  if (reply[r] != 'R' || !DecField(reply, 7, 10, UINT32_MAX, pre) ||
      !LastDecField(line, r + 1, 10, UINT32_MAX, post))
    return false;
  *mode = static_cast<uint32_t>(reply[5] - '0');
  return true;
}

}  // namespace

// ------------------------------------------------------------------ scan parameters

int D4071s::CheckScanMode(short gain, short trigger, int rate, unsigned int target) const {
  if (gain < 0 || gain >= kGains) return Fail(QZ_ERR_GAIN_RANGE);
  if (trigger < 0 || trigger > 5) return Fail(QZ_ERR_TRIGGER_MODE);
  if ((trigger == 2 || trigger == 3) && target == 0) return Fail(QZ_ERR_SCAN_PARAM_CONFLICT);
  if (rate > kMaxRate) return Fail(QZ_ERR_VALUE_RANGE);
  return 1;
}

void D4071s::FormatRateCommand(char* command, size_t size, int rate) const {
  std::snprintf(command, size, "~01RS%01d%06ld", kAllSlots, static_cast<long>(rate));
}

bool D4071s::FormatRateQuery(char* command, size_t size) const {
  if (slotCount < 1) return false;  // no card to ask: the stored rate stands
  std::snprintf(command, size, "~01RS%01d", slotPosition[0]);
  return true;
}

void D4071s::FormatStartCommand(char* command, size_t size) const {
  std::snprintf(command, size, "~01S%01u", startArgument);
}

const SlotCarrier::SlotScanTraits& D4071s::ScanTraits() const {
  // A ring of 5 bytes per sample and a time-out unit from it; receives of 7300 bytes, exact
  // below 1460 missing samples; the trigger index asked on the first data.
  static const SlotScanTraits kTraits{5, 0, 7300, 1460, true, false};
  return kTraits;
}

// ------------------------------------------------------------------ analog trigger

bool D4071s::LevelToCode(float volts, int gainCode, uint16_t gain, int16_t offset,
                         int16_t* code) {
  if (gain == 0 || !std::isfinite(volts)) return false;
  const float range = static_cast<float>((gainCode + 1) * 5);
  const float scaled = 32768.0f * volts / range;
  const float x = 32767.0f * (scaled - static_cast<float>(offset)) / static_cast<float>(gain);
  if (std::isnan(x)) return false;
  if (x >= 32767.0f) *code = 32767;
  else if (x <= -32768.0f) *code = -32768;
  else *code = static_cast<int16_t>(x);
  return true;
}

int D4071s::SetAIAnalogTriggerParam(int mode, char* enable, float* high, float* low, int n,
                                    unsigned int pre, unsigned int post) {
  if (mode < 0 || mode > 3) return Fail(QZ_ERR_TRIGGER_TYPE);
  if (n > ChannelTotal()) return Fail(QZ_ERR_INVALID_VALUE);
  if (uint64_t{pre} + post != targetCount) return Fail(QZ_ERR_TRIGGER_COUNT);
  const int count = n < 0 ? 0 : n;
  if (count > 0 && (enable == nullptr || high == nullptr || low == nullptr))
    return Fail(QZ_ERR_INVALID_ARGUMENT);

  // Every level is checked and converted before anything is kept or sent.
  uint16_t codeHigh[kMaxChannels], codeLow[kMaxChannels];
  const float range = static_cast<float>((gainCode + 1) * 5);
  for (int i = 0; i < count; ++i) {
    if (enable[i] != 1) {
      codeHigh[i] = mode == 3 ? kCodeMin : kCodeMax;
      codeLow[i] = mode == 3 ? kCodeMax : kCodeMin;
      continue;
    }
    // NaN fails both comparisons and is refused with the levels out of range.
    if (gainCode >= kGains || !(high[i] >= -range && high[i] <= range) ||
        !(low[i] >= -range && low[i] <= range))
      return Fail(QZ_ERR_TRIGGER_LEVEL);
    const int k = i / kSlotChannels, c = i % kSlotChannels;
    int16_t h = 0, l = 0;
    if (!LevelToCode(high[i], gainCode, calGain[k][c][gainCode], calOffset[k][c][gainCode], &h) ||
        !LevelToCode(low[i], gainCode, calGain[k][c][gainCode], calOffset[k][c][gainCode], &l))
      return Fail(QZ_ERR_TRIGGER_LEVEL);
    // Saturated levels can make up a pair that turns a channel off (0x7FFF / 0x8000, and in
    // mode 3 0x8000 / 0x7FFF): an enabled channel steps its high code one toward zero.
    if ((h == 32767 && l == -32768) || (mode == 3 && h == -32768 && l == 32767))
      h = static_cast<int16_t>(h > 0 ? h - 1 : h + 1);
    codeHigh[i] = static_cast<uint16_t>(h);
    codeLow[i] = static_cast<uint16_t>(l);
  }

  analogTriggerMode = static_cast<unsigned int>(mode);
  preCount = pre;
  postCount = post;
  SplitCount(pre, channelCount, slotChannelCount, kMaxSlots, slotPreCount);
  for (int k = 0; k < kMaxSlots; ++k) {  // a slot never owes fewer than 0 samples after it
    const unsigned int target = slotTargetCount[k], before = slotPreCount[k];
    slotPostCount[k] = target > before ? target - before : 0;
  }
  for (int i = 0; i < count; ++i) {
    triggerHigh[i] = codeHigh[i];
    triggerLow[i] = codeLow[i];
  }

  char reply[kReplySize];
  for (int k = 0; k < slotCount; ++k) {
    if (!Ask(reply, '!', "~01XS%01dM%01dL%08luR%08lu", slotPosition[k], mode,
             static_cast<unsigned long>(slotPreCount[k]),
             static_cast<unsigned long>(slotPostCount[k])))
      return Fail(QZ_ERR_INVALID_HANDLE);
    msleep(1);
  }
  for (int i = 0; i < count; ++i) {
    if (!Ask(reply, '!', "~01XS%01dC%01dH%04XL%04X", slotPosition[i / kSlotChannels],
             i % kSlotChannels, static_cast<unsigned>(triggerHigh[i]),
             static_cast<unsigned>(triggerLow[i])))
      return Fail(QZ_ERR_INVALID_HANDLE);
    msleep(1);
  }
  return 1;
}

int D4071s::GetAIAnalogTriggerParam(int* mode, char* enable, float* high, float* low, int n,
                                    unsigned int* pre, unsigned int* post) {
  if (mode == nullptr || pre == nullptr || post == nullptr ||
      (n > 0 && (enable == nullptr || high == nullptr || low == nullptr)))
    return Fail(QZ_ERR_INVALID_ARGUMENT);
  if (n > ChannelTotal()) {
    // No more entries than the module has: n may be anything up to INT_MAX.
    for (int i = 0; i < n && i < ChannelTotal(); ++i) {
      enable[i] = 0;
      high[i] = low[i] = 0.0f;
    }
    *mode = 0;
    *pre = *post = 0;
    return Fail(QZ_ERR_INVALID_VALUE);
  }

  ReplyLine line;
  const char* const reply = line.text;
  uint32_t lastMode = analogTriggerMode;
  uint64_t preSum = 0, postSum = 0;
  for (int k = 0; k < slotCount; ++k) {
    if (!Exchange(cmdSock, &line, kTimeoutMs, "~01XS%01dM", slotPosition[k]))
      return Fail(QZ_ERR_INVALID_VALUE);
    uint32_t m = 0, p = 0, q = 0;
    if (!DataLead(reply[0]) || !ReadSlotTrigger(line, &m, &p, &q))
      return Fail(QZ_ERR_DEVICE_RESPONSE);
    lastMode = m;
    preSum += p;
    postSum += q;
  }
  if (preSum > UINT32_MAX || postSum > UINT32_MAX) return Fail(QZ_ERR_DEVICE_RESPONSE);

  uint16_t codeHigh[kMaxChannels], codeLow[kMaxChannels];
  for (int i = 0; i < ChannelTotal() && i < kMaxChannels; ++i) {
    if (!Exchange(cmdSock, &line, kTimeoutMs, "~01XS%01dC%01d", slotPosition[i / kSlotChannels],
                  i % kSlotChannels))
      return Fail(QZ_ERR_INVALID_VALUE);
    uint32_t h = 0, l = 0;  // "!01H%04XL%04X"
    if (!ReplyFits(line, kDataLeads, 13) || reply[3] != 'H' || !HexField(reply, 4, 4, &h) ||
        reply[8] != 'L' || !HexField(reply, 9, 4, &l))
      return Fail(QZ_ERR_DEVICE_RESPONSE);
    codeHigh[i] = static_cast<uint16_t>(h);
    codeLow[i] = static_cast<uint16_t>(l);
    msleep(1);
  }

  analogTriggerMode = lastMode;
  preCount = static_cast<unsigned int>(preSum);
  postCount = static_cast<unsigned int>(postSum);
  for (int i = 0; i < ChannelTotal() && i < kMaxChannels; ++i) {
    triggerHigh[i] = codeHigh[i];
    triggerLow[i] = codeLow[i];
  }
  *mode = static_cast<int>(lastMode);
  *pre = preCount;
  *post = postCount;
  for (int i = 0; i < n; ++i) {
    high[i] = low[i] = 0.0f;
    if (triggerHigh[i] == kCodeMax && triggerLow[i] == kCodeMin) {
      enable[i] = 0;
      continue;
    }
    enable[i] = 1;
    Calibrate_Hex2Float(static_cast<int16_t>(triggerHigh[i]), i, gainCode, &high[i]);
    Calibrate_Hex2Float(static_cast<int16_t>(triggerLow[i]), i, gainCode, &low[i]);
  }
  return 1;
}

int D4071s::GetAIAnalogTriggerIdx() { return TriggerIndexOf(channelCount); }

void D4071s::AskRunTriggerIndex(unsigned channels) { TriggerIndexOf(channels); }

int D4071s::TriggerIndexOf(unsigned channels) {
  ReplyLine reply;
  if (!Exchange(cmdSock, &reply, kTimeoutMs, "~01XN")) return Fail(QZ_ERR_INVALID_VALUE);
  // The module counts rows, the host samples.
  uint32_t row = 0;
  if (reply.text[0] != '!' || !LastDecField(reply, 3, 10, UINT32_MAX, &row)) row = 0;
  const uint64_t index = uint64_t{channels} * row;
  triggerIndex = index > UINT32_MAX ? UINT32_MAX : static_cast<unsigned int>(index);
  return 1;
}

// ------------------------------------------------------------------ plain scan commands

int D4071s::GetQZRAMBufferStatus(int slot, unsigned int* count, unsigned int* status) {
  if (count == nullptr || status == nullptr) return Fail(QZ_ERR_INVALID_ARGUMENT);
  if (slot < 0 || slot >= slotCount) return Fail(QZ_ERR_SLOT_RANGE);
  ReplyLine line;
  const char* const reply = line.text;
  if (!AskData(&line, 15, "~01NS%01d", slotPosition[slot])) return 0;
  uint32_t s = 0, c = 0;
  if (!FixedDecField(reply, 3, 2, &s) || !FixedDecField(reply, 5, 10, &c))
    return Fail(QZ_ERR_DEVICE_RESPONSE);
  *status = s;
  *count = c;
  return 1;
}

int D4071s::TransmitData() {
  // A refusal is a failure with its reason, as on the high-speed types.
  char reply[kReplySize];
  return Ask(reply, '!', "~01E");
}

int D4071s::ConfigTrigOut(int a, int b) {
  char reply[kReplySize];
  Exchange(cmdSock, reply, kTimeoutMs, "~01MS%01d", a);
  msleep(1);
  Exchange(cmdSock, reply, kTimeoutMs, "~01ME%01d", b);
  msleep(1);
  return 1;
}

}  // namespace nivex
