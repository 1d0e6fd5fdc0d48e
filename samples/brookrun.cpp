// brookrun: reads the eight analog inputs of an RX5K10 module once as a reference, runs a
// software-triggered scan of 10000 samples (8 channels at 2000 samples/s), waits for the
// whole block, reads it as volts and counts the samples more than 0.5 V away from their
// channel's reference.
//
//   brookrun 192.168.0.10
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "nivex.h"
#include "support/tcp.h"
#include "support/utility.h"

namespace {

constexpr int kInputs = 8;

// Stops the scan and frees what the run holds.
void Finish(void* handle, float* block) {
  QZ_StopAIScan(handle);
  std::free(block);
  QZ_Device_Release(handle);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::puts("error argument\r");
    return 0;
  }
  std::printf("%d,%s\r\n", argc, argv[1]);
  const std::string connection = std::string(argv[1]) + ",9999,10010";

  std::puts("RX-5K10 Analog Input Scan Testing [N sample mode & Software trigger]\r");
  char version[QZ_SDK_VERSION_SIZE] = {};
  QZ_GetSDKVersion(version);
  std::printf("NIVEX SDK Ver=%s\r\n", version);

  void* handle = QZ_Device_Create(connection.c_str());
  nivex::msleep(1);
  if (handle == nullptr) return 0;

  char firmware[QZ_FIRMWARE_VERSION_SIZE] = {};
  QZ_GetFirmwareVersion(handle, firmware);
  std::printf("RX5K10 Firmware Ver=%s\r\n", firmware);

  float reference[kInputs] = {};
  QZ_ReadAIALL(handle, 0, reference, kInputs);
  for (int ch = 0; ch < kInputs; ++ch) {
    float value = 0;
    QZ_ReadAI(handle, ch, 0, &value);
    std::printf("%d=%f, %f\r\n", ch, reference[ch], value);
  }

  const bool setOk = QZ_SetAIScanParam(handle, kInputs, 0, 0, 2000, 10000, 0, 0) == 1;
  if (!setOk) std::puts("Set AIscan param failed\r");

  unsigned short chCnt = 0, gain = 0, trigger = 0, transferMode = 0, ackMode = 0;
  unsigned int rate = 0, target = 0;
  QZ_GetAIScanParam(handle, &chCnt, &gain, &trigger, &rate, &target, &transferMode, &ackMode);
  std::printf(
      "RX-5K10 first Scan parameters chCnt %d, useGain %d, triggMode %d, sampleRate %ld, "
      "targetCnt %lu \n",
      chCnt, gain, trigger, static_cast<long>(rate), static_cast<unsigned long>(target));

  nivex::msleep(10);
  if (target == 0) {
    QZ_Device_Release(handle);
    return 0;
  }
  // The check takes one reference per channel: a channel count the module gives back outside
  // the eight inputs ends the run here.
  if (chCnt < 1 || chCnt > kInputs) {
    if (setOk) std::puts("Set AIscan param failed\r");
    QZ_Device_Release(handle);
    return 0;
  }

  float* block = static_cast<float*>(std::malloc(sizeof(float) * target));
  if (block == nullptr) {
    QZ_Device_Release(handle);
    return 0;
  }
  const unsigned int start = nivex::GetTickCount();
  if (QZ_StartAIScan(handle) != 1) std::puts("QZ_StartAIScan failed\r");

  // The count is looked at before the status bits: a scan that has its whole block is done,
  // even when the worker has set its ended bits by then.
  for (;;) {
    unsigned short status = 0;
    unsigned int count = 0;
    if (QZ_GetAIBufferStatus(handle, &status, &count) != 1) {
      std::printf("Error code 0x%x\r\n", static_cast<unsigned int>(QZ_GetLastError()));
    } else if (count >= target) {
      break;
    } else if (status > 2) {
      std::printf("Error<%d>, %lu\r\n", status, static_cast<unsigned long>(count));
      std::printf("AP total read %lu Error check %lu\n", 0ul, 0ul);
      Finish(handle, block);
      return 0;
    }
    nivex::msleep(1);
  }

  // At most the block's size, whatever the count has grown to.
  const unsigned int n = static_cast<unsigned int>(QZ_GetAIBuffer(handle, block, target));
  if (n != target) {
    std::printf("%d \r\n", static_cast<int>(n));
    std::puts("Get AI buffer error\r");
    std::printf("AP total read %lu Error check %lu\n", static_cast<unsigned long>(n), 0ul);
    Finish(handle, block);
    return 0;
  }
  const unsigned int elapsed = nivex::GetTickCount() - start;
  std::printf("%lu data,", static_cast<unsigned long>(n));
  std::printf("%lf sec\r\n", static_cast<double>(elapsed) / 1000.0);

  unsigned long errors = 0;
  for (unsigned int i = 0; i < n; ++i) {
    const float d = block[i] - reference[i % chCnt];
    if (std::fabs(d) > 0.5f) {
      ++errors;
      std::printf("%f", d);
    }
  }
  std::printf("AP total read %lu Error check %lu\n", static_cast<unsigned long>(n), errors);
  Finish(handle, block);
  return 0;
}
