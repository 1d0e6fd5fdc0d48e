// Per-thread last error code and the table of error texts.
//
// Each thread keeps its own code in thread-local storage: a worker thread's codes
// never reach the application thread, a new thread starts at 0, and nothing has
// to be constructed or destroyed at program start or exit.
#include "support/FaultText.h"

#include <cstdint>
#include <cstring>

namespace nivex {
namespace {

thread_local int32_t t_lastError = 0;

struct FaultEntry {
  unsigned int code;
  const char* text;
};

// Texts exactly as the modules' documentation gives them (spelling included:
// applications compare them).
constexpr FaultEntry kFaults[] = {
    {QZ_ERR_UNKNOWN, "Unknow Error!"},
    {QZ_ERR_SLOT_REGISTERED, "Slot registered error"},
    {QZ_ERR_SLOT_NOT_REGISTERED, "Slot not registered error"},
    {QZ_ERR_UNKNOWN_MODULE, "Unknown Module"},
    {QZ_ERR_INVALID_MAC_ADDRESS, "Invalid MAC address"},
    {QZ_ERR_INVALID_COM_PORT, "Invalid COM port number"},
    {QZ_ERR_FUNCTION_NOT_SUPPORTED, "The function isn't supported"},
    {QZ_ERR_MODULE_NOT_EXIST, "The Module doesn't exist"},
    {QZ_ERR_INVALID_SLOT, "Invalid Slot number"},
    {QZ_ERR_EEPROM_ADDRESS, "Accesses invalid EEPROM address"},
    {QZ_ERR_SRAM_ADDRESS, "Accesses invalid SRAM address"},
    {QZ_ERR_MEMORY_TYPE, "Invalid memory type"},
    {QZ_ERR_NVRAM_ADDRESS, "Accesses invalid NVRAM address"},
    {QZ_ERR_EEPROM_WRITE_PROTECTED, "EEPROM is write-protected"},
    {QZ_ERR_EEPROM_WRITE, "Write EEPROM Failed"},
    {QZ_ERR_EEPROM_READ, "Read EEPROM Failed"},
    {QZ_ERR_WATCHDOG_VALUE, "Invalid WatchDog timer value"},
    {QZ_ERR_WATCHDOG_MISSING, "WatchDog function doesn't exist"},
    {QZ_ERR_WATCHDOG_BASE_ADDRESS, "WatchDog base address isn't set"},
    {QZ_ERR_WATCHDOG_OS_STARTUP, "OS WatchDog is for OS startup process"},
    {QZ_ERR_DEVICE_CHECKSUM, "Device check sum error"},
    {QZ_ERR_DEVICE_READ_TIMEOUT, "Device read timeout"},
    {QZ_ERR_DEVICE_RESPONSE, "Device response error"},
    {QZ_ERR_DEVICE_UNDER_RANGE, "Device under input range"},
    {QZ_ERR_DEVICE_OVER_RANGE, "Device exceed input range"},
    {QZ_ERR_OPEN_DEVICE, "Open Device failed"},
    {QZ_ERR_MODEM_STATUS, "Fail to get the Modem status"},
    {QZ_ERR_INVALID_VALUE, "Invalid value"},
    {QZ_ERR_BUFFER_OVERFLOW, "Internal buffer overflow"},
    {QZ_ERR_DEVICE_SEND, "Device send command error"},
    {QZ_ERR_CARD_UNSUPPORTED_API, "IO card does not support this API function!"},
    {QZ_ERR_API_UNSUPPORTED_CARD, "API unsupport this IO card!"},
    {QZ_ERR_SLOT_RANGE, "Slot's value exceeds its range!"},
    {QZ_ERR_CHANNEL_VALUE_RANGE, "Channel's value exceeds its range!"},
    {QZ_ERR_GAIN_RANGE, "Gain's value exceeds its range!"},
    {QZ_ERR_TRIGGER_MODE, "VL-3000 unsupport the interrupt mode!"},
    {QZ_ERR_VALUE_RANGE, "The input value is out of range!"},
    {QZ_ERR_CHANNEL_RANGE, "The input channel is out of range!"},
    {QZ_ERR_DO_OVERWRITE, "DO output cannot be overwrite!"},
    {QZ_ERR_AO_OVERWRITE, "AO output cannot be overwirte!"},
};

constexpr const char* kUnknownCode = "Unknow error code!";

}  // namespace

const char* FaultText(unsigned int code) {
  for (const FaultEntry& e : kFaults)
    if (e.code == code) return e.text;
  return kUnknownCode;
}

int _GetLastError() { return t_lastError; }

void _SetLastError(unsigned int code) { t_lastError = static_cast<int32_t>(code); }

void _ClearLastError() { t_lastError = 0; }

void _GetFaultText(unsigned int code, char* text) {
  if (text == nullptr) return;
  const char* s = FaultText(code);
  std::memcpy(text, s, std::strlen(s) + 1);
}

}  // namespace nivex

extern "C" {

QZ_API int QZ_GetLastError(void) { return nivex::_GetLastError(); }
QZ_API void QZ_SetLastError(unsigned int code) { nivex::_SetLastError(code); }
QZ_API void QZ_ClearLastError(void) { nivex::_ClearLastError(); }
QZ_API void QZ_GetFaultText(unsigned int code, char* text) { nivex::_GetFaultText(code, text); }

}  // extern "C"
