#include "serial/Chainset.h"

#include <cstring>

namespace nivex {

namespace {

// Copies src into a field of cap bytes, cut to fit and always terminated.
void CopyField(char* dst, size_t cap, const char* src) {
  if (src == nullptr) src = "";
  size_t n = strnlen(src, cap - 1);
  memcpy(dst, src, n);
  dst[n] = '\0';
}

}  // namespace

// ---------------------------------------------------------------- Chainset

Chainset::~Chainset() {
  Node* n = first;
  while (n != nullptr) {
    Node* next = n->next;
    delete n;
    n = next;
  }
  first = last = nullptr;
}

void Chainset::Insert(Node* node) {
  if (node == nullptr) return;
  node->next = nullptr;
  if (first == nullptr) {
    node->prev = nullptr;
    first = last = node;
    return;
  }
  last->next = node;
  node->prev = last;
  last = node;
}

bool Chainset::Contains(const Node* node) const {
  for (const Node* n = first; n != nullptr; n = n->next)
    if (n == node) return true;
  return false;
}

void Chainset::Delete(Node* node) {
  if (node == nullptr || !Contains(node)) return;
  if (node == first && node == last) {
    first = last = nullptr;
  } else if (node == first) {
    first = node->next;
    first->prev = nullptr;
  } else if (node == last) {
    last = node->prev;
    last->next = nullptr;
  } else {
    node->prev->next = node->next;
    node->next->prev = node->prev;
  }
  delete node;
}

int Chainset::IndexOf(Node* node) const {
  if (first == nullptr) return 0;
  int i = 0;
  for (const Node* n = first; n != nullptr; n = n->next, ++i)
    if (n == node) return i;
  return -1;
}

// ---------------------------------------------------------------- ComPortNode

ComPortNode::ComPortNode(unsigned long p, const char* n) : port(p) {
  SetTerminator("\r");
  SetName(n);
}

void ComPortNode::SetName(const char* text) { CopyField(name, sizeof name, text); }

void ComPortNode::SetTerminator(const char* text) {
  CopyField(terminator, sizeof terminator, text);
}

// ---------------------------------------------------------------- ComPortList

ComPortNode* ComPortList::FindPort(unsigned long port) const {
  for (Node* n = first; n != nullptr; n = n->next) {
    ComPortNode* c = static_cast<ComPortNode*>(n);
    if (c->port == port) return c;
  }
  return nullptr;
}

bool ComPortList::AddComPort(unsigned long port, const char* name) {
  ComPortNode* node = new ComPortNode(port, name);
  std::lock_guard<std::mutex> g(lock);
  Insert(node);
  return true;
}

bool ComPortList::EnableCheckSum(unsigned long port, bool enable) {
  std::lock_guard<std::mutex> g(lock);
  ComPortNode* c = FindPort(port);
  if (c == nullptr) return false;
  c->checkSum = enable;
  return true;
}

bool ComPortList::SetTerminator(unsigned long port, const char* text) {
  std::lock_guard<std::mutex> g(lock);
  ComPortNode* c = FindPort(port);
  if (c == nullptr) return false;
  c->SetTerminator(text);
  return true;
}

bool ComPortList::DeleteComPort(unsigned long port) {
  std::lock_guard<std::mutex> g(lock);
  ComPortNode* c = FindPort(port);
  if (c == nullptr) return false;
  Delete(c);
  return true;
}

ComPortNode* ComPortList::GetComPortNode(unsigned long port) {
  std::lock_guard<std::mutex> g(lock);
  return FindPort(port);
}

ComPortNode* ComPortList::GetComPortHANDLE(const char* name) {
  if (name == nullptr) return nullptr;
  std::lock_guard<std::mutex> g(lock);
  for (Node* n = first; n != nullptr; n = n->next) {
    ComPortNode* c = static_cast<ComPortNode*>(n);
    if (strcmp(c->name, name) == 0) return c;
  }
  return nullptr;
}

}  // namespace nivex
