// The registry of open devices (QZList).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "framework/RXMODEL_RegistryRef.h"

namespace nivex {

class MODEL;

// Registry node of one open device.
struct tcpNode {
  char ip[20];      // the device's address text, zero-filled
  void* obj;        // the device object itself (compared, never dereferenced)
  uintptr_t handle;  // the handle issued for it
  tcpNode* next;
  int calls = 0;          // references taken by calls in progress (take_ref)
  bool retired = false;   // being released: no new reference, no handle
};

// The open devices. Every operation takes the registry's lock.
//
// A call on a device takes a reference (take_ref) and gives it back when it leaves (put_ref);
// a release first retires the device (from then on its handle is unknown to every lookup),
// then waits until the calls in progress have left, and only then closes and destroys it.
//
// Each registration issues the device a handle, the value callers hold: an odd number counting
// up that no registration issues again, so a released handle stays unknown even when a later
// device object gets the released one's address. Being odd, it is never the address of a
// device object; it is only compared, never followed.
template <class T>
class SocketList {
 public:
  SocketList() = default;
  SocketList(const SocketList&) = delete;
  SocketList& operator=(const SocketList&) = delete;

  // Appends obj at the tail; returns the new count. A null obj, or an address text that is
  // already registered, is refused: returns 0 and nothing changes.
  int add_Socket_Obj(T* obj) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (obj == nullptr || find_ip(obj->Ip()) != nullptr) return 0;
    insert_node(obj);
    return count_;
  }
  // 1 when a registered device has this address text, else 0.
  int check_Socket_Obj(const char* ip) {
    if (ip == nullptr) return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    return find_ip(ip) != nullptr ? 1 : 0;
  }
  // The handle issued for obj, null when obj is not registered or is being released.
  void* handle_of(T* obj) {
    std::lock_guard<std::mutex> lock(mutex_);
    tcpNode* n = obj != nullptr ? find_node(obj) : nullptr;
    return n != nullptr && !n->retired ? reinterpret_cast<void*>(n->handle) : nullptr;
  }
  // The registered device this handle was issued for, null for any other value and for a
  // device being released.
  T* device_of(const void* handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    tcpNode* n = find_handle(handle);
    return n != nullptr ? static_cast<T*>(n->obj) : nullptr;
  }
  // device_of that also takes a reference for the call that asks: the device is not released
  // before put_ref gives the reference back. Null (no reference) as device_of.
  T* take_ref(const void* handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    tcpNode* n = find_handle(handle);
    if (n == nullptr) return nullptr;
    ++n->calls;
    return static_cast<T*>(n->obj);
  }
  // Gives back a reference take_ref gave for obj.
  void put_ref(T* obj) {
    std::lock_guard<std::mutex> lock(mutex_);
    tcpNode* n = find_node(obj);
    if (n == nullptr || n->calls == 0) return;
    if (--n->calls == 0 && n->retired) left_.notify_all();
  }
  // The first step of a release: the device of handle is retired (device_of, handle_of and
  // take_ref no longer find it), then the calls holding a reference are waited for. Returns
  // the device, still registered (its address stays taken until remove_Socket_Obj), or null
  // when handle is unknown or another release has it already.
  T* retire(const void* handle) {
    std::unique_lock<std::mutex> lock(mutex_);
    tcpNode* n = find_handle(handle);
    if (n == nullptr) return nullptr;
    n->retired = true;
    left_.wait(lock, [n] { return n->calls == 0; });
    return static_cast<T*>(n->obj);
  }
  // 1 when obj is this very registered object, else 0. Never dereferences obj.
  int check_Socket_Obj(T* obj) {
    if (obj == nullptr) return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    return find_node(obj) != nullptr ? 1 : 0;
  }
  // Removes obj's node; returns the count afterwards (unchanged when obj is not registered).
  int remove_Socket_Obj(T* obj) {
    std::lock_guard<std::mutex> lock(mutex_);
    tcpNode* prev = nullptr;
    for (tcpNode* n = head_; n != nullptr; prev = n, n = n->next) {
      if (n->obj != static_cast<void*>(obj)) continue;
      (prev == nullptr ? head_ : prev->next) = n->next;
      delete n;
      --count_;
      break;
    }
    return count_;
  }
  int Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
  }
  // The registered objects in registration order (a copy).
  std::vector<T*> Objects() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<T*> out;
    for (tcpNode* n = head_; n != nullptr; n = n->next) out.push_back(static_cast<T*>(n->obj));
    return out;
  }

 private:
  // The steps of the operations above; the caller holds the lock.
  tcpNode* find_handle(const void* handle) {
    const uintptr_t h = reinterpret_cast<uintptr_t>(handle);
    if ((h & 1) == 0) return nullptr;
    for (tcpNode* n = head_; n != nullptr; n = n->next)
      if (n->handle == h) return n->retired ? nullptr : n;
    return nullptr;
  }
  tcpNode* find_node(T* obj) {
    for (tcpNode* n = head_; n != nullptr; n = n->next)
      if (n->obj == static_cast<void*>(obj)) return n;
    return nullptr;
  }
  tcpNode* find_ip(const char* ip) {
    for (tcpNode* n = head_; n != nullptr; n = n->next)
      if (ip_equal(n->ip, ip)) return n;
    return nullptr;
  }
  static bool ip_equal(const char* nodeIp, const char* ip) {
    // Exact bytes up to the NUL; a text too long for a node never matches.
    size_t i = 0;
    for (; i < sizeof(tcpNode::ip); ++i) {
      if (nodeIp[i] != ip[i]) return false;
      if (ip[i] == '\0') return true;
    }
    return false;
  }
  tcpNode* insert_node(T* obj) {
    tcpNode* node = new tcpNode();
    const char* ip = obj->Ip();
    for (size_t i = 0; i + 1 < sizeof(node->ip) && ip[i] != '\0'; ++i) node->ip[i] = ip[i];
    node->obj = obj;
    node->handle = (++issued_ << 1) | 1;
    if (head_ == nullptr) {
      head_ = node;
    } else {
      tcpNode* last = head_;
      while (last->next != nullptr) last = last->next;
      last->next = node;
    }
    ++count_;
    return node;
  }

  std::mutex mutex_;
  std::condition_variable left_;  // a retired device's last call has left
  int count_ = 0;
  tcpNode* head_ = nullptr;
  uintptr_t issued_ = 0;  // handles issued so far
};

// The registry lives for the whole process: created on first use (so any static initialiser
// may use it) and never destroyed (so a late worker never meets a dead list).
SocketList<MODEL>& QZListInstance();

// QZList->add_Socket_Obj(dev).
inline constexpr RegistryRef<SocketList<MODEL>, &QZListInstance> QZList{};

// True when dev is the handle of a registered device (SocketList). Compares the value with the
// registered handles only: an unknown, stale or garbage pointer is never dereferenced.
bool GetDeviceHandle(const void* dev);

}  // namespace nivex
