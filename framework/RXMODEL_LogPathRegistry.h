// The registry of stored-log paths (LogFileList).
#pragma once

#include <mutex>

#include "framework/RXMODEL_RegistryRef.h"

namespace nivex {

// One stored log: its data file and its ".config" file (empty when none was found).
struct Modellogpath {
  char configPath[260];
  char logPath[260];
};

template <class T>
struct logNode {
  T data;
  logNode* next;
};

// The index of stored logs, addressed by position. Every operation takes the list's lock.
template <class T>
class LogList {
 public:
  LogList() = default;
  LogList(const LogList&) = delete;
  LogList& operator=(const LogList&) = delete;

  // Appends a copy of rec at the tail; returns the number of nodes.
  int add_log_Obj(const T& rec) {
    std::lock_guard<std::mutex> lock(mutex_);
    logNode<T>* node = insert_locked(tail_, rec);
    (void)node;
    return count_;
  }
  // The node at index (0 = head), null when the list is shorter. The node stays valid only
  // until the list is next changed; use copy_log_Obj where another thread may change it.
  logNode<T>* find_log_Obj(unsigned int index) {
    std::lock_guard<std::mutex> lock(mutex_);
    return at_locked(index);
  }
  // Copies the record at index into out; 1 when found, 0 when the list is shorter.
  int copy_log_Obj(unsigned int index, T& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    logNode<T>* n = at_locked(index);
    if (n == nullptr) return 0;
    out = n->data;
    return 1;
  }
  int length() {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
  }
  void clearAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    while (head_ != nullptr) {
      logNode<T>* n = head_;
      head_ = n->next;
      freenode(n);
    }
    tail_ = nullptr;
    count_ = 0;
  }
  // A new zero-filled node (not linked).
  static logNode<T>* getnode() { return new logNode<T>(); }
  // Links a copy of rec behind node (at the head when node is null); returns the new node.
  // node must belong to this list.
  logNode<T>* insert_node(logNode<T>* node, const T& rec) {
    std::lock_guard<std::mutex> lock(mutex_);
    return insert_locked(node, rec);
  }
  // Unlinks node from this list and frees it; a node not in the list is left alone.
  void delete_node(logNode<T>* node) {
    std::lock_guard<std::mutex> lock(mutex_);
    logNode<T>* prev = nullptr;
    for (logNode<T>* n = head_; n != nullptr; prev = n, n = n->next) {
      if (n != node) continue;
      (prev == nullptr ? head_ : prev->next) = n->next;
      if (tail_ == n) tail_ = prev;
      --count_;
      freenode(n);
      return;
    }
  }
  static void freenode(logNode<T>* node) { delete node; }

 private:
  logNode<T>* at_locked(unsigned int index) {
    logNode<T>* n = head_;
    for (unsigned int i = 0; n != nullptr && i < index; ++i) n = n->next;
    return n;
  }
  logNode<T>* insert_locked(logNode<T>* node, const T& rec) {
    logNode<T>* fresh = getnode();
    fresh->data = rec;
    if (node == nullptr) {
      fresh->next = head_;
      head_ = fresh;
    } else {
      fresh->next = node->next;
      node->next = fresh;
    }
    if (fresh->next == nullptr) tail_ = fresh;
    ++count_;
    return fresh;
  }

  std::mutex mutex_;
  logNode<T>* head_ = nullptr;
  logNode<T>* tail_ = nullptr;
  int count_ = 0;
};

// The registry lives for the whole process: created on first use (so any static initialiser
// may use it) and never destroyed (so a late worker never meets a dead list).
LogList<Modellogpath>& LogFileListInstance();

// LogFileList->add_log_Obj(rec).
inline constexpr RegistryRef<LogList<Modellogpath>, &LogFileListInstance> LogFileList{};

// Clears LogFileList.
void LogFileListInit();

}  // namespace nivex
