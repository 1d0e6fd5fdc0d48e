// The exported functions of a running scan: start and stop, the host ring's status and reads
// (codes or volts, through the device's software filters), its clear, the sample totals and
// the transmit command. The ring calls take the device's read lock, never the command lock:
// they answer at once whatever the module does.
#include <cstddef>
#include <cstring>

#include "api/NIVEX_Frame.h"
#include "framework/RXMODEL_Class.h"
#include "nivex.h"
#include "support/FaultText.h"

using nivex::MODEL;
namespace api = nivex::api;

extern "C" {

QZ_API int QZ_StartAIScan(void* handle) {
  return api::WithDeviceControl(handle, [](MODEL& d) { return d.StartLANQueue(); });
}

QZ_API int QZ_StopAIScan(void* handle) {
  return api::WithDeviceControl(handle, [](MODEL& d) { return d.StopLANQueue(); });
}

QZ_API int QZ_GetAIBufferStatus(void* handle, unsigned short* status, unsigned int* size) {
  return api::WithDeviceAlways1<api::ReadLock>(
      handle,
      [&] {
        if (status != nullptr) *status = 0;
        if (size != nullptr) *size = 0;
      },
      [&] { return (status != nullptr && size != nullptr) || api::BadArgument(); },
      [&](MODEL& d) {
        *status = d.AD_BufferStatus();
        *size = *status != 0 ? d.Get_ADSize() : 0;
      });
}

QZ_API int QZ_GetAIBufferHex(void* handle, unsigned int* codes, unsigned int n) {
  return api::WithRing(
      handle, [&] { if (codes != nullptr && n > 0) codes[0] = 0; },
      [&](MODEL& d) {
        if (codes == nullptr && n > 0) return api::BadArgument();
        int read = 0;
        unsigned char* bytes = reinterpret_cast<unsigned char*>(codes);
        switch (d.Module().bytesPerSample) {
          case 2:
            // The 16-bit samples land in the first half of the caller's array and are widened
            // in place from the last down: no other memory, whatever n is.
            read = d.AD_ReadData(reinterpret_cast<char*>(codes), n, 2);
            for (size_t i = read > 0 ? static_cast<size_t>(read) : 0; i-- > 0;) {
              int16_t sample;
              std::memcpy(&sample, bytes + 2 * i, sizeof sample);
              const int32_t wide = sample;
              std::memcpy(bytes + 4 * i, &wide, sizeof wide);
            }
            break;
          case 4:
            read = d.AD_ReadData(reinterpret_cast<char*>(codes), n, 4);
            break;
          default:
            return 0;
        }
        d.Filter_DataHEX(static_cast<unsigned int>(read), codes);
        return read;
      });
}

QZ_API int QZ_GetAIBuffer(void* handle, float* volts, unsigned int n) {
  return api::WithRing(
      handle, [&] { if (volts != nullptr && n > 0) volts[0] = 0.0f; },
      [&](MODEL& d) {
        if (volts == nullptr && n > 0) return api::BadArgument();
        const int read =
            d.AD_ReadData_float(volts, n, static_cast<int>(d.Module().bytesPerSample));
        d.Filter_Data(static_cast<unsigned int>(read), volts);
        return read;
      });
}

QZ_API int QZ_ClearAIBuffer(void* handle) {
  return api::WithDeviceAlways1<api::ReadLock>(handle, [](MODEL& d) { d.AD_ClearData(); });
}

QZ_API int QZ_GetTotalSamplingStatus(void* handle, unsigned int* total, unsigned int* status) {
  return api::WithDeviceAlways1<api::ReadLock>(
      handle, [] {},
      [&] { return (total != nullptr && status != nullptr) || api::BadArgument(); },
      [&](MODEL& d) {
        *status = d.AD_BufferStatus();
        *total = *status != 0 ? d.GetTCPReceivedCnt() : d.GetDAQSampleCnt();
      });
}

QZ_API int QZ_TransmitDataCmd(void* handle) {
  return api::WithDevice(handle, [](MODEL& d) { return d.TransmitData(); });
}

}  // extern "C"
