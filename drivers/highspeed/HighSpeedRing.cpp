// The host ring of the high-speed drivers as the device's operations see it: allocation for a
// run, the worker's write, the reads in bytes, codes and volts, the status word, and the event
// registration. The ring itself (framework/HostRing.h) keeps its capacity, its lock and the
// channel phase of the stream.
#include <algorithm>

#include "drivers/highspeed/HighSpeedModel.h"
#include "support/FaultText.h"

namespace nivex {
namespace {

constexpr size_t kConvertBlock = 1024;  // samples converted per ring read of AD_ReadData_float

}  // namespace

void HighSpeedModel::SetRun(const ScanRun& r) {
  std::lock_guard<std::mutex> lock(readMutex);
  run_ = r;
}

int HighSpeedModel::LANBuffer_Init() {
  if (ringSize == 0 || static_cast<uint64_t>(static_cast<size_t>(ringSize)) != ringSize ||
      !ring.Allocate(static_cast<size_t>(ringSize), Traits().sampleBytes, run_.rowBytes))
    return Fail(QZ_ERR_BUFFER_ALLOC);
  return 1;
}

void HighSpeedModel::LANBuffer_Uninit() { ring.Release(); }

int HighSpeedModel::AD_WriteData(const char* data, unsigned int length) {
  return ringSink_.Put(reinterpret_cast<const uint8_t*>(data), length).Result();
}

int HighSpeedModel::AD_ReadData(char* destination, unsigned int count, int width) {
  if (destination == nullptr || width <= 0) return 0;
  // Elements of a sync-in run's frame size are its frames, each taken from its first byte.
  if (run_.syncIn && static_cast<unsigned>(width) == run_.rowBytes)
    return static_cast<int>(ring.ReadRows(destination, count));
  unsigned first = 0;
  const size_t got = ring.Read(destination, count, static_cast<size_t>(width), &first);
  if (got != 0 && static_cast<unsigned>(width) == Traits().sampleBytes)
    NoteReadChannels(first, std::max<unsigned>(run_.channels, 1));
  return static_cast<int>(got);
}

int HighSpeedModel::AD_ReadData_float(float* destination, unsigned int count, int /*width*/) {
  if (destination == nullptr) return 0;
  const int channels = std::max<int>(run_.channels, 1);
  const int gain = run_.gain;
  const bool gainOk = gain >= 0 && gain < Ranges();
  const int known = Channels();  // channels the calibration tables hold
  size_t done = 0;
  while (done < count) {
    // A block at a time: no scratch beyond the stack, whatever the caller's count.
    int32_t codes[kConvertBlock];
    unsigned first = 0;
    const size_t want = std::min<size_t>(count - done, kConvertBlock);
    const size_t got = ring.ReadCodes(codes, want, &first);
    if (done == 0 && got != 0) NoteReadChannels(first, static_cast<unsigned>(channels));
    int channel = static_cast<int>(first % static_cast<unsigned>(channels));
    for (size_t i = 0; i < got; ++i) {
      destination[done + i] =
          gainOk && channel < known ? CodeVoltsOf(cal, codes[i], channel, gain) : 0.0f;
      if (++channel == channels) channel = 0;
    }
    done += got;
    if (got < want) break;
  }
  return static_cast<int>(done);
}

unsigned short HighSpeedModel::AD_BufferStatus() { return ring.Status(); }

unsigned int HighSpeedModel::Get_ADSize() { return static_cast<unsigned int>(ring.Samples()); }

int HighSpeedModel::AD_ClearData() {
  ring.Clear();
  return 0;
}

int HighSpeedModel::ReadHostLANBuffer(char* destination, unsigned int count) {
  return AD_ReadData(destination, count, 1);
}

unsigned int HighSpeedModel::ReadHostLANBufferCnt() {
  return Get_ADSize();
}

void HighSpeedModel::Add_AD_Buf_Status(int bits) { ring.AddStatus(static_cast<uint16_t>(bits)); }

int HighSpeedModel::SetEventCallback(unsigned short mask, unsigned short, void* callback,
                                     void* argument) {
  eventMask = mask;
  userArgument = argument;
  if (callback != nullptr) userCallback = callback;
  return 0;
}

int HighSpeedModel::RemoveEventCallback(unsigned short /*mask*/) {
  eventMask = 0;
  userArgument = nullptr;
  userCallback = nullptr;
  return 0;
}

void HighSpeedModel::DOCallBackFun(unsigned short) {
  // No event reaches the application: the registered callback is stored, never called.
}

}  // namespace nivex
