// The registries of open devices (QZList) and of stored-log paths (LogFileList).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "framework/RXMODEL_Class.h"
#include "framework/RXMODEL_DeviceRegistry.h"
#include "framework/RXMODEL_LogPathRegistry.h"

namespace {

using namespace nivex;
using Texts = std::vector<std::string>;

class Bare : public MODEL {
 public:
  using MODEL::MODEL;
};

std::unique_ptr<Bare> Device(const std::string& ip) {
  return std::make_unique<Bare>(ip.c_str(), 9999, 10010, WRXMODULE[0]);
}

Texts Ips(SocketList<MODEL>& list) {
  Texts out;
  for (MODEL* m : list.Objects()) out.push_back(m->Ip());
  return out;
}

TEST(DeviceRegistry, AddRemoveKeepsOrder) {
  SocketList<MODEL> list;
  auto a = Device("10.0.0.1"), b = Device("10.0.0.2"), c = Device("10.0.0.3"), d = Device("10.0.0.4");
  EXPECT_EQ(list.add_Socket_Obj(a.get()), 1);
  EXPECT_EQ(list.add_Socket_Obj(b.get()), 2);
  EXPECT_EQ(list.add_Socket_Obj(c.get()), 3);
  EXPECT_EQ(list.remove_Socket_Obj(c.get()), 2);  // the tail
  EXPECT_EQ(list.add_Socket_Obj(d.get()), 3);     // goes behind b
  EXPECT_EQ(Ips(list), (Texts{"10.0.0.1", "10.0.0.2", "10.0.0.4"}));
  EXPECT_EQ(list.remove_Socket_Obj(a.get()), 2);  // the head
  EXPECT_EQ(Ips(list), (Texts{"10.0.0.2", "10.0.0.4"}));
  EXPECT_EQ(list.remove_Socket_Obj(a.get()), 2);  // not registered: unchanged
  EXPECT_EQ(list.remove_Socket_Obj(d.get()), 1);
  EXPECT_EQ(list.remove_Socket_Obj(b.get()), 0);  // the only one
  EXPECT_EQ(list.add_Socket_Obj(c.get()), 1);     // a new head
  EXPECT_EQ(Ips(list), (Texts{"10.0.0.3"}));
  list.remove_Socket_Obj(c.get());
}

TEST(DeviceRegistry, AddressCheckIsExact) {
  SocketList<MODEL> list;
  auto a = Device("192.168.0.10");
  list.add_Socket_Obj(a.get());
  EXPECT_EQ(list.check_Socket_Obj("192.168.0.10"), 1);
  for (const std::string& other : Texts{"192.168.0.1", "192.168.0.100", "", std::string(40, '1')})
    EXPECT_EQ(list.check_Socket_Obj(other.c_str()), 0) << other;
  EXPECT_EQ(list.check_Socket_Obj(static_cast<const char*>(nullptr)), 0);

  // The same address twice is refused and leaves the list alone.
  auto twin = Device("192.168.0.10");
  EXPECT_EQ(list.add_Socket_Obj(twin.get()), 0);
  EXPECT_EQ(list.add_Socket_Obj(nullptr), 0);
  EXPECT_EQ(list.Count(), 1);
  list.remove_Socket_Obj(a.get());
}

TEST(DeviceRegistry, HandleCheckIsByIdentity) {
  SocketList<MODEL> list;
  auto first = Device("10.1.1.1");
  list.add_Socket_Obj(first.get());
  EXPECT_EQ(list.check_Socket_Obj(first.get()), 1);
  list.remove_Socket_Obj(first.get());
  EXPECT_EQ(list.check_Socket_Obj(first.get()), 0);

  // A new device at the same address does not revive the old handle.
  auto second = Device("10.1.1.1");
  list.add_Socket_Obj(second.get());
  EXPECT_EQ(list.check_Socket_Obj(first.get()), 0);
  EXPECT_EQ(list.check_Socket_Obj(second.get()), 1);

  // Garbage and null pointers are compared, never followed.
  EXPECT_EQ(list.check_Socket_Obj(reinterpret_cast<MODEL*>(uintptr_t{0x10})), 0);
  EXPECT_EQ(list.check_Socket_Obj(static_cast<MODEL*>(nullptr)), 0);
  EXPECT_EQ(list.remove_Socket_Obj(reinterpret_cast<MODEL*>(uintptr_t{0x10})), 1);
  list.remove_Socket_Obj(second.get());
}

TEST(DeviceRegistry, HandlesAreNeverIssuedAgain) {
  // One object registered twice, as when a new device gets the released one's address.
  SocketList<MODEL> list;
  auto dev = Device("10.1.1.2");
  list.add_Socket_Obj(dev.get());
  void* released = list.handle_of(dev.get());
  list.remove_Socket_Obj(dev.get());
  list.add_Socket_Obj(dev.get());
  EXPECT_EQ(list.device_of(released), nullptr);
  EXPECT_EQ(list.device_of(list.handle_of(dev.get())), dev.get());
  EXPECT_EQ(list.device_of(dev.get()), nullptr);  // an object's address is no handle
  list.remove_Socket_Obj(dev.get());
}

TEST(DeviceRegistry, ConcurrentOpenCheckRelease) {
  SocketList<MODEL> list;
  std::vector<std::unique_ptr<Bare>> devices;
  for (int i = 0; i < 8; ++i) devices.push_back(Device("10.2.0." + std::to_string(i)));
  std::atomic<bool> run{true};
  std::atomic<int> wrong{0};
  auto stable = Device("10.3.0.1");
  list.add_Socket_Obj(stable.get());
  std::thread checker([&] {
    while (run.load())
      if (list.check_Socket_Obj(stable.get()) != 1) ++wrong;
  });
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&, t] {
      for (int k = 0; k < 2000; ++k) {
        Bare* d = devices[2 * t + (k & 1)].get();
        if (list.add_Socket_Obj(d) == 0) ++wrong;
        if (list.check_Socket_Obj(d) != 1) ++wrong;
        list.remove_Socket_Obj(d);
      }
    });
  }
  for (auto& w : workers) w.join();
  run = false;
  checker.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(list.Count(), 1);
  list.remove_Socket_Obj(stable.get());
}

Modellogpath Rec(const char* log, const char* config = "") {
  Modellogpath r{};
  strncpy(r.logPath, log, sizeof(r.logPath) - 1);
  strncpy(r.configPath, config, sizeof(r.configPath) - 1);
  return r;
}

Texts Logs(LogList<Modellogpath>& list) {
  Texts out;
  for (unsigned int i = 0; logNode<Modellogpath>* n = list.find_log_Obj(i); ++i)
    out.push_back(n->data.logPath);
  return out;
}

TEST(LogRegistry, AddFindCopyClear) {
  LogList<Modellogpath> list;
  EXPECT_EQ(list.find_log_Obj(0), nullptr);
  EXPECT_EQ(list.add_log_Obj(Rec("/a.bin", "/a.config")), 1);
  EXPECT_EQ(list.add_log_Obj(Rec("/b.bin")), 2);
  EXPECT_EQ(list.add_log_Obj(Rec("/c.bin")), 3);
  ASSERT_NE(list.find_log_Obj(0), nullptr);
  EXPECT_STREQ(list.find_log_Obj(0)->data.configPath, "/a.config");
  EXPECT_EQ(list.find_log_Obj(3), nullptr);  // index == length
  Modellogpath copy{};
  EXPECT_EQ(list.copy_log_Obj(1, copy), 1);
  EXPECT_STREQ(copy.logPath, "/b.bin");
  EXPECT_EQ(list.copy_log_Obj(3, copy), 0);

  list.clearAll();
  EXPECT_EQ(list.length(), 0);
  EXPECT_EQ(list.find_log_Obj(0), nullptr);
  EXPECT_EQ(list.add_log_Obj(Rec("/f.bin")), 1);
  EXPECT_EQ(Logs(list), (Texts{"/f.bin"}));
  list.clearAll();

  // The process-wide list: LogFileListInit empties it.
  LogFileList->add_log_Obj(Rec("/x.bin"));
  LogFileListInit();
  EXPECT_EQ(LogFileListInstance().length(), 0);
}

TEST(LogRegistry, InsertAndDeleteKeepTheTail) {
  LogList<Modellogpath> list;
  list.add_log_Obj(Rec("/b"));
  list.insert_node(nullptr, Rec("/a"));                // at the head
  list.insert_node(list.find_log_Obj(1), Rec("/c"));  // behind the tail
  EXPECT_EQ(Logs(list), (Texts{"/a", "/b", "/c"}));
  list.delete_node(list.find_log_Obj(2));  // the tail
  list.add_log_Obj(Rec("/d"));              // goes behind the new tail
  EXPECT_EQ(Logs(list), (Texts{"/a", "/b", "/d"}));
  list.delete_node(list.find_log_Obj(0));  // the head
  EXPECT_EQ(Logs(list), (Texts{"/b", "/d"}));
  logNode<Modellogpath>* stray = LogList<Modellogpath>::getnode();
  list.delete_node(stray);  // not in the list: left alone
  EXPECT_EQ(list.length(), 2);
  LogList<Modellogpath>::freenode(stray);
  list.delete_node(list.find_log_Obj(1));
  list.delete_node(list.find_log_Obj(0));
  EXPECT_EQ(list.length(), 0);
  EXPECT_EQ(list.add_log_Obj(Rec("/e")), 1);  // tail reset with the last node
  EXPECT_EQ(Logs(list), (Texts{"/e"}));
  list.clearAll();
}

}  // namespace
