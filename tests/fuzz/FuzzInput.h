// Helpers of the fuzz targets: an input taken apart field by field, and the check that stops
// a run on a broken promise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace nivex::fuzz {

// Aborts (a finding) when cond is false.
inline void Require(bool cond, const char* what) {
  if (!cond) {
    std::fprintf(stderr, "broken promise: %s\n", what);
    std::abort();
  }
}

// The input, consumed from the front; a used-up input gives zeros and empty texts.
class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : p_(data), left_(size) {}

  uint8_t Byte() {
    if (left_ == 0) return 0;
    --left_;
    return *p_++;
  }
  uint32_t U32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | Byte();
    return v;
  }
  // Up to max bytes, ended early (and the end consumed) by a '\n'.
  std::string Line(size_t max) {
    std::string s;
    while (left_ > 0 && s.size() < max) {
      const char c = static_cast<char>(Byte());
      if (c == '\n') break;
      s.push_back(c);
    }
    return s;
  }
  // Everything that is left.
  std::string Rest() {
    std::string s(reinterpret_cast<const char*>(p_), left_);
    p_ += left_;
    left_ = 0;
    return s;
  }
  bool empty() const { return left_ == 0; }

 private:
  const uint8_t* p_;
  size_t left_;
};

}  // namespace nivex::fuzz
