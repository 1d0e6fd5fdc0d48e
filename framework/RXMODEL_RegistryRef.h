// Pointer-like access to a process-wide registry.
#pragma once

namespace nivex {

// Pointer-like access to a registry: QZList->add_Socket_Obj(dev).
template <class T, T& (*Get)()>
struct RegistryRef {
  T* operator->() const { return &Get(); }
  T& operator*() const { return Get(); }
  operator T*() const { return &Get(); }
};

}  // namespace nivex
