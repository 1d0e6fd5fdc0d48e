// The scan setup the slot carriers share: the channel and count splits, the scan parameters
// sent to and read back from every slot, and the module's scan start and stop.
#include <cstdint>
#include <cstdio>

#include "drivers/slot/SlotCarrier.h"
#include "support/FaultText.h"
#include "support/utility.h"

namespace nivex {
namespace {

constexpr unsigned int kMaxTarget = 30000000;
constexpr size_t kCommandSize = 32;

// The per-slot fields of a "~01PS" reply: "!01G" g "C" channels "T" t "M" m, the channel count
// in `digits` hexadecimal digits.
struct SlotParams {
  uint32_t gain, channels, trigger, M;
};

bool ReadSlotParams(const ReplyLine& line, int digits, SlotParams* p) {
  const char* const reply = line.text;
  const size_t c = 6, t = c + static_cast<size_t>(digits) + 1, m = t + 2;
  return ReplyFits(line, kDataLeads, m + 1) && reply[3] == 'G' && reply[5] == 'C' &&
         reply[t - 1] == 'T' && reply[m - 1] == 'M' && HexField(reply, 4, 1, &p->gain) &&
         HexField(reply, c, static_cast<size_t>(digits), &p->channels) &&
         HexField(reply, t, 1, &p->trigger) && HexField(reply, m, 1, &p->M);
}

}  // namespace

void SplitCount(uint32_t x, unsigned channels, const unsigned short* slotChannels, int n,
                unsigned int* shares) {
  for (int k = 0; k < n; ++k) shares[k] = 0;
  if (x == 0 || channels == 0) return;
  uint64_t rest = x % channels;
  const uint64_t base = x - rest;
  for (int k = 0; k < n; ++k)
    shares[k] = static_cast<unsigned int>(uint64_t{slotChannels[k]} * base / channels);
  for (int k = 0; k < n && rest != 0; ++k) {
    const uint64_t take = slotChannels[k] > rest ? rest : slotChannels[k];
    shares[k] += static_cast<unsigned int>(take);
    rest -= take;
  }
}

SlotCarrier::SlotField SlotCarrier::Field(int value) const {
  SlotField f;
  std::snprintf(f.text, sizeof(f.text), "%0*X", SlotFieldDigits(), static_cast<unsigned>(value));
  return f;
}

void SlotCarrier::SplitChannels(int channels) {
  int remaining = channels < 0 ? 0 : channels;
  for (int k = 0; k < kMaxSlots; ++k) {
    const int take = remaining < SlotChannels(k) ? remaining : SlotChannels(k);
    slotChannelCount[k] = static_cast<unsigned short>(take);
    remaining -= take;
  }
}

int SlotCarrier::SetScanParam(short channels, short gain, short trigger, int rate,
                              unsigned int target, short M, short) {
  if (channels < 1 || channels > ChannelTotal()) return Fail(QZ_ERR_CHANNEL_RANGE);
  if (!CheckScanMode(gain, trigger, rate, target)) return 0;
  if (target > kMaxTarget) return Fail(QZ_ERR_VALUE_RANGE);
  if (M != 0 && M != 1) return Fail(QZ_ERR_VALUE_RANGE);

  const short run = RunTrigger(trigger);
  channelCount = static_cast<unsigned short>(channels);
  gainCode = static_cast<unsigned short>(gain);
  triggerMode = static_cast<unsigned short>(run);
  targetCount = target;
  transferMode = static_cast<unsigned short>(M);
  SplitChannels(channels);

  char reply[kReplySize];
  for (int k = 0; k < slotCount; ++k) {
    if (!Ask(reply, '!', "~01PS%sG%1dC%sT%1dM%1d", Field(SlotDigit(k)).text, gain,
             Field(slotChannelCount[k]).text, run, M))
      return 0;
  }
  msleep(1);
  char command[kCommandSize];
  FormatRateCommand(command, sizeof(command), rate);
  if (Ask(reply, '!', "%s", command)) {
    msleep(1);
    sampleRate = rate;
  }

  if (WholeTargetPerSlot(run) && target != 0) {
    for (int k = 0; k < kMaxSlots; ++k) slotTargetCount[k] = slotChannelCount[k] ? target : 0;
    targetCount = target * static_cast<unsigned int>(channels);  // at most 30,000,000 x 64
  } else {
    SplitCount(target, static_cast<unsigned>(channels), slotChannelCount, kMaxSlots,
               slotTargetCount);
  }
  for (int k = 0; k < slotCount; ++k) {
    if (!Ask(reply, '!', "~01TS%s%010lu", Field(SlotDigit(k)).text,
             static_cast<unsigned long>(slotTargetCount[k])))
      return 0;
  }
  paramsSet = true;
  return 1;
}

int SlotCarrier::GetScanParam(short* channels, short* gain, short* trigger, int* rate,
                              unsigned int* target, short* M, short* ackModeOut) {
  if (channels == nullptr || gain == nullptr || trigger == nullptr || rate == nullptr ||
      target == nullptr || M == nullptr || ackModeOut == nullptr)
    return Fail(QZ_ERR_INVALID_ARGUMENT);

  // Everything is read and checked first; only a complete, valid set is kept.
  ReplyLine line;
  const char* const reply = line.text;
  unsigned short slotChannels[kMaxSlots] = {};
  SlotParams last{gainCode, 0, static_cast<uint32_t>(triggerMode), transferMode};
  unsigned total = 0;
  for (int k = 0; k < slotCount; ++k) {
    if (!AskData(&line, kAnyLength, "~01PS%s", Field(SlotDigit(k)).text)) return 0;
    SlotParams p{};
    if (!ReadSlotParams(line, SlotFieldDigits(), &p) || p.gain >= module.AIranges ||
        p.channels > static_cast<uint32_t>(SlotChannels(k)) || p.trigger > 5 || p.M > 1)
      return Fail(QZ_ERR_DEVICE_RESPONSE);
    slotChannels[k] = static_cast<unsigned short>(p.channels);
    total += p.channels;
    last = p;
  }

  int newRate = sampleRate;
  char command[kCommandSize];
  if (FormatRateQuery(command, sizeof(command))) {
    msleep(1);
    if (!AskData(&line, kAnyLength, "%s", command)) return 0;
    size_t end = 0;
    if (!ScanInt(reply, 3, &newRate, &end) || !ReplyFits(line, kDataLeads, end))
      return Fail(QZ_ERR_DEVICE_RESPONSE);
    msleep(1);
  }

  unsigned int slotTargets[kMaxSlots] = {};
  uint64_t sum = 0;
  for (int k = 0; k < slotCount; ++k) {
    if (!AskData(&line, kAnyLength, "~01TS%s", Field(SlotDigit(k)).text)) return 0;
    if (!LastDecField(line, 3, 10, UINT32_MAX, &slotTargets[k]))
      return Fail(QZ_ERR_DEVICE_RESPONSE);
    sum += slotTargets[k];
  }

  const short run = RunTrigger(static_cast<short>(last.trigger));
  uint64_t targetOut = sum, stored = sum;
  if (WholeTargetPerSlot(run)) {
    int withChannels = 0;
    for (int k = 0; k < slotCount; ++k) withChannels += slotChannels[k] != 0;
    targetOut = withChannels ? sum / static_cast<unsigned>(withChannels) : 0;
    stored = targetOut * total;
  }
  if (stored > UINT32_MAX || targetOut > UINT32_MAX) return Fail(QZ_ERR_DEVICE_RESPONSE);

  for (int k = 0; k < kMaxSlots; ++k) {
    slotChannelCount[k] = slotChannels[k];
    slotTargetCount[k] = slotTargets[k];
  }
  gainCode = static_cast<unsigned short>(last.gain);
  triggerMode = static_cast<unsigned short>(run);
  transferMode = static_cast<unsigned short>(last.M);
  channelCount = static_cast<unsigned short>(total);
  sampleRate = newRate;
  targetCount = static_cast<unsigned int>(stored);
  ackMode = 0;

  *channels = static_cast<short>(channelCount);
  *gain = static_cast<short>(gainCode);
  *trigger = static_cast<short>(triggerMode);
  *rate = sampleRate;
  *target = static_cast<unsigned int>(targetOut);
  *M = static_cast<short>(transferMode);
  *ackModeOut = 0;
  return 1;
}

int SlotCarrier::StartMagicScan() {
  char command[kCommandSize];
  FormatStartCommand(command, sizeof(command));
  char reply[kReplySize];
  Exchange(cmdSock, reply, kTimeoutMs, "%s", command);
  return 1;
}

int SlotCarrier::StopMagicScan() {
  char reply[kReplySize];
  Exchange(cmdSock, reply, kTimeoutMs, "~01Z");
  return 1;
}

}  // namespace nivex
