// Serial port registry: a generic doubly linked list (Chainset of Nodes) and a
// mutex-guarded list of serial-port entries (ComPortList of ComPortNodes).
#pragma once

#include <mutex>

namespace nivex {

// A list link. Entries derive from it and are freed through Node*, hence the
// virtual destructor.
class Node {
 public:
  Node* next = nullptr;
  Node* prev = nullptr;

  Node() = default;
  virtual ~Node() = default;
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;
};

// Doubly linked list that owns the nodes inserted into it. No locking.
class Chainset {
 public:
  Node* first = nullptr;
  Node* last = nullptr;

  Chainset() = default;
  virtual ~Chainset();  // frees the nodes still in the list
  Chainset(const Chainset&) = delete;
  Chainset& operator=(const Chainset&) = delete;

  // Appends node at the end; the list owns it from now on. A null node is ignored.
  void Insert(Node* node);
  // Unlinks node and frees it. A node that is not in the list is left alone
  // (not freed) and the list stays unchanged.
  void Delete(Node* node);
  // 0-based position of node counted from first; 0 for an empty list, -1 when
  // a non-empty list does not hold the node.
  int IndexOf(Node* node) const;

 protected:
  bool Contains(const Node* node) const;
};

// One serial port: its number, checksum use, command terminator and device name.
class ComPortNode : public Node {
 public:
  unsigned long port = 0;
  bool checkSum = false;
  char terminator[256];  // NUL-terminated, up to 255 characters
  char name[23];         // NUL-terminated, up to 22 characters

  // Longer names and terminators are cut to their fields; null means empty.
  ComPortNode(unsigned long port, const char* name);
  void SetName(const char* text);
  void SetTerminator(const char* text);
};

// Thread-safe registry of serial ports. Every operation holds `lock` for its
// whole duration; a returned pointer stays valid only until that entry is
// deleted by any thread.
class ComPortList : public Chainset {
 public:
  ComPortList() = default;

  bool AddComPort(unsigned long port, const char* name);
  bool EnableCheckSum(unsigned long port, bool enable);
  bool SetTerminator(unsigned long port, const char* text);
  bool DeleteComPort(unsigned long port);
  ComPortNode* GetComPortNode(unsigned long port);
  ComPortNode* GetComPortHANDLE(const char* name);

 private:
  ComPortNode* FindPort(unsigned long port) const;  // caller holds lock
  std::mutex lock;
};

}  // namespace nivex
