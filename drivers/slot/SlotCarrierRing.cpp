// The shared ring of the slot carriers as the device's operations see it: allocation for a run's
// slot layout, the raw reads in frame order and the status word. The ring itself
// (framework/SlotRing.h) keeps its capacity, its lock and the channel of every sample; each
// slot's stream receiver writes the slot's columns through its SlotRingSink.
#include <algorithm>
#include <climits>

#include "drivers/slot/SlotCarrier.h"
#include "support/FaultText.h"

namespace nivex {

void SlotCarrier::SetRun(const SlotScanRun& r) {
  std::lock_guard<std::mutex> lock(readMutex);
  run_ = r;
}

int SlotCarrier::LANBuffer_Init() {
  const unsigned width = SampleBytes();
  uint64_t capacity = ringSize;
  // An N-sample run writes at most its N samples (the slots' shares add up to N, and every
  // receive stops at its slot's share): storage beyond that and a row of slack is never used.
  if (run_.target != 0)
    capacity = std::min<uint64_t>(capacity, uint64_t{width} * (uint64_t{run_.target} + run_.channels));
  if (capacity == 0 ||
      !ring_.Allocate(capacity, width, run_.slotChannels, std::max(run_.slots, 1), run_.target))
    return Fail(QZ_ERR_BUFFER_ALLOC);
  return 1;
}

void SlotCarrier::LANBuffer_Uninit() { ring_.Release(); }

int SlotCarrier::AD_ReadData(char* destination, unsigned int count, int width) {
  if (destination == nullptr || count == 0) return 0;
  // The ring holds samples of one size: any other element size would copy past the caller's
  // buffer or split samples.
  if (width != static_cast<int>(SampleBytes())) return Fail(QZ_ERR_INVALID_ARGUMENT);
  return static_cast<int>(ring_.Read(destination, std::min<unsigned int>(count, INT_MAX)));
}

int SlotCarrier::FrameChannels(int* channelOf) const {
  // Slot k's c channels in the run are its card's first c: module channels from the sum of the
  // cards before it. Slots without channels in the run take no column.
  int columns = 0, cardStart = 0;
  for (int k = 0; k < run_.slots && k < kMaxSlots; ++k) {
    for (int i = 0; i < run_.slotChannels[k] && columns < kMaxFrameChannels; ++i)
      channelOf[columns++] = cardStart + i;
    cardStart += SlotChannels(k);
  }
  return columns;
}

unsigned short SlotCarrier::AD_BufferStatus() { return ring_.Status(); }

unsigned int SlotCarrier::Get_ADSize() {
  return static_cast<unsigned int>(std::min<uint64_t>(ring_.Readable(), UINT_MAX));
}

void SlotCarrier::Add_AD_Buf_Status(int bits) { ring_.AddStatus(static_cast<uint16_t>(bits)); }

void SlotCarrier::Delete_AD_Buf_Status(int bits) {
  ring_.DeleteStatus(static_cast<uint16_t>(bits));
}

}  // namespace nivex
