// The exported functions of the modules' SD-card recordings: their count and description. The
// download of a recording has no export of its own; its two exported names do nothing.
#include "api/NIVEX_Frame.h"
#include "framework/RXMODEL_Class.h"
#include "nivex.h"
#include "support/FaultText.h"

using nivex::MODEL;
using nivex::api::WithDevice;

QZ_API int QZ_GetSDAllLogFiles(void* handle, unsigned int* count) {
  return WithDevice(handle, [&](MODEL& d) { return d.GetSDAllLogFiles(count); });
}

QZ_API int QZ_GetSDLogFile_Info(void* handle, unsigned int index, unsigned int* first,
                                unsigned int* samples, char* date) {
  return WithDevice(handle,
                    [&](MODEL& d) { return d.GetSDLogFile_Info(index, first, samples, date); });
}

QZ_API int QZ_DownloadSDFileW(void* /*handle*/, unsigned int /*index*/, char /*selector*/,
                              const wchar_t* /*folder*/, int /*logType*/) {
  return nivex::Fail(QZ_ERR_FUNCTION_NOT_SUPPORTED);
}

QZ_API int QZ_DownloadAllSDFiles(void* /*handle*/, const char* /*folder*/, int /*logType*/) {
  return 0;
}
