// The exported functions of the logger: a scan logged to data files on the host.
#include "api/NIVEX_Frame.h"
#include "framework/RXMODEL_Class.h"
#include "nivex.h"
#include "support/FaultText.h"

using nivex::MODEL;
namespace api = nivex::api;

extern "C" {

QZ_API int QZ_StartLogger(void* handle, char* folder, int minutesPerFile, int logType) {
  // The start joins nothing but takes the device's control lock itself.
  return api::WithDeviceControl(
      handle, [&](MODEL& d) { return d.StartLogger(folder, minutesPerFile, logType); });
}

QZ_API int QZ_StartLoggerW(void* /*handle*/, wchar_t* /*folder*/, int /*minutesPerFile*/,
                           int /*logType*/) {
  return nivex::Fail(QZ_ERR_FUNCTION_NOT_SUPPORTED);
}

QZ_API int QZ_StopLogger(void* handle) {
  // A run that lost data to a data file it could not write is a failure of its stop.
  return api::WithDeviceControl(handle, [](MODEL& d) { return d.StopLogger(); });
}

}  // extern "C"
