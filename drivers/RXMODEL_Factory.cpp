// The device factory and its driver table.
#include "drivers/RXMODEL_Factory.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "drivers/highspeed/RX5K10_Class.h"
#include "drivers/highspeed/RX5K30_Class.h"
#include "drivers/highspeed/RXBN500_Class.h"
#include "drivers/slot/D3054s_Class.h"
#include "drivers/slot/D4071s_Class.h"
#include "framework/RXMODEL_DeviceRegistry.h"
#include "support/FaultText.h"
#include "support/tcp.h"
#include "support/utility.h"

namespace nivex {
namespace {

using Creator = MODEL* (*)(const char* ip, int cmdPort, int dataPort, WRXmodule row);

template <class Driver>
MODEL* Create(const char* ip, int cmdPort, int dataPort, WRXmodule row) {
  return new Driver(ip, cmdPort, dataPort, row);
}

// Module-name prefixes in the order they are tried, with the module-table row and the driver
// each selects.
struct Kind {
  const char* prefix;
  int row;
  Creator create;
};
constexpr Kind kKinds[] = {
    {"RX5K10", 0, &Create<RX5K10>},
    {"WRX-5K30M", 1, &Create<RX5K30>},
    {"D4071s", 2, &Create<D4071s>},
    {"WRX-BN500", 3, &Create<RXBN500>},
    {"D3054Ws", 4, &Create<D3054s>},
};

const Kind* MatchName(const char* name) {
  for (const Kind& k : kKinds)
    if (std::strncmp(name, k.prefix, std::strlen(k.prefix)) == 0) return &k;
  return nullptr;
}

// Addresses being opened right now. An address is claimed before the first connection and
// released when the open ends, so two threads opening one address never both get through.
std::mutex g_openingMutex;
std::vector<std::string> g_opening;

class OpeningClaim {
 public:
  // Claims ip; false when it is registered or being opened already.
  bool Claim(const char* ip) {
    std::lock_guard<std::mutex> lock(g_openingMutex);
    if (QZList->check_Socket_Obj(ip)) return false;
    if (std::find(g_opening.begin(), g_opening.end(), ip) != g_opening.end()) return false;
    g_opening.emplace_back(ip);
    ip_ = ip;
    return true;
  }
  ~OpeningClaim() {
    if (ip_.empty()) return;
    std::lock_guard<std::mutex> lock(g_openingMutex);
    auto it = std::find(g_opening.begin(), g_opening.end(), ip_);
    if (it != g_opening.end()) g_opening.erase(it);
  }

 private:
  std::string ip_;
};

// Closes the name-service connection on every way out of the factory.
class NameConnection {
 public:
  explicit NameConnection(int fd) : fd_(fd) {}
  ~NameConnection() { CloseTcp(fd_); }
  NameConnection(const NameConnection&) = delete;
  NameConnection& operator=(const NameConnection&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

MODEL* NoDevice(unsigned int code) {
  _SetLastError(code);
  return nullptr;
}

}  // namespace

MODEL* RX5K10_AddClient(const char* ip, int cmdPort, int dataPort) {
  if (ip == nullptr) return NoDevice(QZ_ERR_OPEN_DEVICE);
  OpeningClaim claim;
  if (!claim.Claim(ip)) return NoDevice(QZ_ERR_OPEN_DEVICE);

  const int fd = OpenTcp(ip, ModuleNameService, 1);
  if (fd < 0) return NoDevice(QZ_ERR_OPEN_DEVICE);
  NameConnection names(fd);

  char name[kModuleNameSize] = {};
  GetModuleNameTCP(names.fd(), name);  // no reply leaves the name empty: no match below
  const Kind* kind = MatchName(name);
  if (kind == nullptr) return NoDevice(QZ_ERR_MODULE_NOT_EXIST);

  MODEL* dev = kind->create(ip, cmdPort, dataPort, WRXMODULE[kind->row]);

  unsigned short version = 0;
  char date[kFirmwareDateSize] = {};
  if (GetFirmVersionDateTCP(names.fd(), &version, date) != 1) {
    version = 0;
    date[0] = '\0';
  }
  dev->SetFirmware(version, date);

  if (dev->ConnectServer() != 1) {
    delete dev;
    return NoDevice(QZ_ERR_OPEN_DEVICE);
  }
  if (QZList->add_Socket_Obj(dev) == 0) {  // cannot happen while the address is claimed
    delete dev;
    return NoDevice(QZ_ERR_OPEN_DEVICE);
  }
  return dev;
}

int RX5K10_RemoveClient(MODEL* dev) {
  dev->DisconnectServer();
  QZList->remove_Socket_Obj(dev);
  return 1;
}

}  // namespace nivex
