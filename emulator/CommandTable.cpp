// The handlers' tools: printf into a std::string and the table of command patterns.
#include <cstdarg>
#include <cstdio>

#include "emulator/Engine.h"

namespace nivex::emu {

std::string Format(const char* fmt, ...) {
  char small[256];
  va_list ap;
  va_start(ap, fmt);
  const int n = vsnprintf(small, sizeof(small), fmt, ap);
  va_end(ap);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof(small)) return std::string(small, static_cast<size_t>(n));
  std::string big(static_cast<size_t>(n) + 1, '\0');
  va_start(ap, fmt);
  vsnprintf(&big[0], big.size(), fmt, ap);
  va_end(ap);
  big.resize(static_cast<size_t>(n));
  return big;
}

void CommandTable::Add(const char* pattern, Fn fn) {
  rows_.push_back(Row{std::regex(pattern, std::regex::ECMAScript | std::regex::optimize),
                      std::move(fn)});
}

Answer CommandTable::Dispatch(const std::string& line) const {
  std::smatch m;
  for (const Row& r : rows_) {
    if (std::regex_match(line, m, r.re)) return r.fn(m);
  }
  return Answer::NotACommand();
}

}  // namespace nivex::emu
