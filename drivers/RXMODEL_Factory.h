// The device factory: identifies a module by its name-service reply, creates and connects its
// driver object and registers it; its counterpart unregisters a device; the handle check; and a
// parser of hexadecimal reply fields.
#pragma once

#include "framework/RXMODEL_Class.h"

namespace nivex {

// The module's name service listens on this port.
constexpr int ModuleNameService = 10000;

// Ports of a connection text that names only the address.
constexpr int kDefaultCommandPort = 9999;
constexpr int kDefaultDataPort = 10010;

// Opens the module at ip: refuses an address that is already open (or being opened by another
// thread) with 0x17006 and no traffic; asks the module name on port 10000 (0x17006 when that
// port is not reachable), picks the driver by the name's prefix (0x13007 when none matches),
// stores the firmware version and date, lets the driver connect and registers it. Returns the
// device, or null with the thread's error set (0x17006 for a failed connect, whatever the
// driver reported). The name-service connection is closed on every path.
MODEL* RX5K10_AddClient(const char* ip, int cmdPort, int dataPort);

// Disconnects the device (result ignored) and removes it from the registry; returns 1. It does
// not destroy the object (QZ_Device_Release does).
int RX5K10_RemoveClient(MODEL* dev);

// True when dev is a registered device object. Compares the pointer with the registered
// objects only: an unknown, stale or garbage pointer is never dereferenced.
bool GetDeviceHandle(const void* dev);

// Reads hexadecimal groups of 8 characters from text (at most len characters, never past its
// NUL) into vals, as with "%08X". Stops with 1 at the end of the text or once maxCount values
// are stored; a group that holds no hexadecimal number gives 0x17008 and 0 (the values stored
// before it stay). A shorter last group is read like a full one.
int Paserstr(const char* text, int len, unsigned int* vals, int maxCount);

// Case-insensitive compare after conversion to upper case: the difference of the first
// differing upper-case characters, else 0. The kit's own; the C library's is not replaced.
int strcasecmp(const char* a, const char* b);

}  // namespace nivex
