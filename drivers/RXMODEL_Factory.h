// The device factory: identifies a module by its name-service reply, creates and connects its
// driver object and registers it; its counterpart unregisters a device. It sits above the
// drivers: it knows every driver class, and no driver knows it.
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

}  // namespace nivex
