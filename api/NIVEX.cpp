// The exported functions that concern a device as a whole: opening and release, the raw
// command exchange, names and versions, configuration items, event callbacks, reboot, module
// count and trigger output.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "api/NIVEX_Frame.h"
#include "drivers/RXMODEL_Factory.h"
#include "nivex.h"
#include "support/FaultText.h"
#include "support/utility.h"

namespace nivex::api {
namespace {

constexpr const char* kSdkVersion = "1.2.2.3";

// The connection text of QZ_Device_Create: at most 77 characters, at most 5 fields read, each
// field at most 19 characters.
constexpr size_t kMaxConnectionText = 77;
constexpr size_t kMaxFieldLength = 19;
constexpr int kMaxFields = 5;

struct Connection {
  char ip[kMaxFieldLength + 1];
  int cmdPort;
  int dataPort;
};

// A port field read as atoi reads it (leading blanks and a sign allowed, trailing characters
// ignored, no number gives 0); 0 unless the number is a TCP port from 1 to 65535.
int PortField(const char* field) {
  const long v = std::strtol(field, nullptr, 10);
  return v >= 1 && v <= 65535 ? static_cast<int>(v) : 0;
}

// Splits and checks the connection text; false (nothing else done) when it is refused.
bool ParseConnection(const char* text, Connection* out) {
  if (strnlen(text, kMaxConnectionText + 1) > kMaxConnectionText) return false;

  char fields[kMaxFields][kMaxFieldLength + 1];
  int n = 0;
  for (const char* p = text; *p != '\0' && n < kMaxFields;) {
    if (*p == ',') {  // empty fields are skipped
      ++p;
      continue;
    }
    const char* start = p;
    while (*p != '\0' && *p != ',') ++p;
    const size_t len = static_cast<size_t>(p - start);
    if (len > kMaxFieldLength) return false;
    std::memcpy(fields[n], start, len);
    fields[n][len] = '\0';
    ++n;
  }
  if (n < 1 || n > 3 || !isValidIPv4(fields[0])) return false;

  CopyText(out->ip, sizeof(out->ip), fields[0]);
  out->cmdPort = kDefaultCommandPort;
  out->dataPort = kDefaultDataPort;
  if (n >= 2 && (out->cmdPort = PortField(fields[1])) == 0) return false;
  if (n == 3 && (out->dataPort = PortField(fields[2])) == 0) return false;
  return true;
}

}  // namespace
}  // namespace nivex::api

using nivex::MODEL;
namespace api = nivex::api;

extern "C" {

QZ_API void* QZ_Device_Create(const char* connection) {
  api::Connection c;
  if (connection == nullptr || !api::ParseConnection(connection, &c)) {
    api::BadArgument();
    return nullptr;
  }
  return api::HandleOf(nivex::RX5K10_AddClient(c.ip, c.cmdPort, c.dataPort));
}

QZ_API int QZ_Device_Release(void* handle) {
  // The handle is unknown from here on (later calls get 0x1300A, a second release of it too);
  // the calls on it in progress are waited for.
  MODEL* dev = nivex::QZList->retire(handle);
  if (dev == nullptr) return api::InvalidHandle();
  // Then the device's worker (if any) stops before its sockets close; the device is
  // unregistered and destroyed.
  nivex::RX5K10_RemoveClient(dev);
  delete dev;
  return 1;
}

QZ_API int QZ_SendRecv(void* handle, const char* command, char* reply, int timeoutMs) {
  return api::WithDevice(handle, [&](MODEL& d) {
    const int sock = d.CommandSocket();
    if (sock < 0) return 0;
    return d.SendRec(sock, const_cast<char*>(command), reply, timeoutMs);
  });
}

QZ_API void QZ_GetSDKVersion(char* text) {
  if (text != nullptr) nivex::CopyText(text, QZ_SDK_VERSION_SIZE, api::kSdkVersion);
}

QZ_API int QZ_GetModelName(void* handle, char* text) {
  return api::WithDeviceAlways1(
      handle, [] {}, [&] { return text != nullptr || api::BadArgument(); },
      [&](MODEL& d) { nivex::CopyText(text, QZ_MODEL_NAME_SIZE, d.Module().name); });
}

QZ_API int QZ_GetFirmwareVersion(void* handle, char* text) {
  return api::WithDeviceAlways1(
      handle, [] {}, [&] { return text != nullptr || api::BadArgument(); },
      [&](MODEL& d) {
        unsigned short version = 0;
        char date[MODEL::kFirmDateSize] = {};
        d.GetFirmVersionDate(&version, date, sizeof(date));
        char full[QZ_FIRMWARE_VERSION_SIZE + 8];
        std::snprintf(full, sizeof(full), "V%X,%s", static_cast<unsigned int>(version), date);
        nivex::CopyText(text, QZ_FIRMWARE_VERSION_SIZE, full);
      });
}

QZ_API int QZ_GetHWFirmwareVersion(void* handle, char* text) {
  return api::WithDeviceAlways1(
      handle, [&] { if (text != nullptr) text[0] = '\0'; },
      [&] { return text != nullptr || api::BadArgument(); },
      [&](MODEL& d) {
        char version[256] = {};
        d.GetFPGAVersion(version);
        version[sizeof(version) - 1] = '\0';
        nivex::CopyText(text, QZ_HW_VERSION_SIZE, version);
      });
}

QZ_API int QZ_SetConfig(void* handle, int kind, int item, int value) {
  return api::WithDevice(handle, [&](MODEL& d) { return d.SetConfig(kind, item, value); });
}

QZ_API int QZ_GetConfig(void* handle, int kind, int item, int* value) {
  return api::WithDevice(handle, [&](MODEL& d) {
    if (value == nullptr) return api::BadArgument();
    return d.GetConfig(kind, item, value);
  });
}

QZ_API int QZ_SetEventCallback(void* handle, unsigned short mask, unsigned short second,
                               void* callback, void* userArgument) {
  return api::WithDeviceAlways1(
      handle, [&](MODEL& d) { d.SetEventCallback(mask, second, callback, userArgument); });
}

QZ_API int QZ_RemoveEventCallback(void* handle, unsigned short mask) {
  return api::WithDeviceAlways1(handle, [&](MODEL& d) { d.RemoveEventCallback(mask); });
}

QZ_API int QZ_Reboot(void* handle) {
  return api::WithDeviceAlways1(handle, [](MODEL& d) { d.ReBoot(); });
}

QZ_API int QZ_Get_Module_Count(void* handle, int* count, char* types) {
  return api::WithDeviceAlways1(
      handle, [] {}, [&] { return (count != nullptr && types != nullptr) || api::BadArgument(); },
      [&](MODEL& d) { d.GetModuleTable(count, types); });
}

QZ_API int QZ_Configure_Trig_Out(void* handle, int a, int b) {
  return api::WithDeviceAlways1(handle, [&](MODEL& d) { d.ConfigTrigOut(a, b); });
}

}  // extern "C"
