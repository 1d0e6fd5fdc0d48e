// Stateless helpers: sleep, address checks, narrow/wide text, texts and conversions.
#include "support/utility.h"

#include <arpa/inet.h>
#include <errno.h>
#include <time.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/FaultText.h"

namespace nivex {

int msleep(int ms) {
  if (ms < 0) {
    errno = EINVAL;
    return -1;
  }
  struct timespec req;
  req.tv_sec = ms / 1000;
  req.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  struct timespec rem;
  while (nanosleep(&req, &rem) != 0) {
    if (errno != EINTR) return -1;
    req = rem;  // a signal came: sleep what is left
  }
  return 0;
}

int isValidIPv4(const char* text) {
  if (text == nullptr) return 0;
  struct in_addr addr;
  return inet_pton(AF_INET, text, &addr) == 1 ? 1 : 0;
}

int isValidTCPPort(int port) { return port >= 0 && port <= 65535 ? 1 : 0; }

int WideToChar(const wchar_t* src, char* dst, unsigned int capacity) {
  if (src == nullptr || dst == nullptr || capacity == 0) return 0;
  mbstate_t state;
  memset(&state, 0, sizeof(state));
  const wchar_t* p = src;
  const size_t needed = wcsrtombs(nullptr, &p, 0, &state);
  if (needed == static_cast<size_t>(-1)) {  // not representable in this locale
    dst[0] = '\0';
    return 0;
  }
  if (needed + 1 > capacity) return 0;
  memset(&state, 0, sizeof(state));
  p = src;
  const size_t done = wcsrtombs(dst, &p, capacity, &state);
  if (done == static_cast<size_t>(-1)) {
    dst[0] = '\0';
    return 0;
  }
  dst[done < capacity ? done : capacity - 1] = '\0';
  return static_cast<int>(wcslen(src) * 4);
}

int CharToWide(const char* src, wchar_t* dst, unsigned int capacity) {
  if (src == nullptr || dst == nullptr || capacity == 0) return 0;
  if (strlen(src) + 1 > capacity) return 0;  // the terminator needs a place too
  mbstate_t state;
  memset(&state, 0, sizeof(state));
  const char* p = src;
  const size_t n = mbsrtowcs(dst, &p, capacity - 1, &state);
  if (n == static_cast<size_t>(-1)) {  // invalid multibyte sequence
    dst[0] = L'\0';
    return 0;
  }
  dst[n] = L'\0';
  return static_cast<int>(n);
}

size_t CopyText(char* dst, size_t size, const char* src) {
  if (src == nullptr) src = "";
  const size_t len = strlen(src);
  if (dst == nullptr || size == 0) return len;
  const size_t n = len < size ? len : size - 1;
  memcpy(dst, src, n);
  dst[n] = '\0';
  return len;
}

int Split(const char* text, size_t len, const char* delimiters, char rows[][256], int maxRows) {
  if (text == nullptr || rows == nullptr || maxRows <= 0) return 0;
  if (delimiters == nullptr) delimiters = "";
  if (len > 259) len = 259;
  size_t end = 0;
  while (end < len && text[end] != '\0') ++end;
  auto isDelim = [delimiters](char c) { return strchr(delimiters, c) != nullptr; };
  int count = 0;
  size_t i = 0;
  while (i < end && count < maxRows) {
    while (i < end && isDelim(text[i])) ++i;
    if (i >= end) break;
    const size_t start = i;
    while (i < end && !isDelim(text[i])) ++i;
    size_t n = i - start;
    if (n > 255) n = 255;
    memcpy(rows[count], text + start, n);
    rows[count][n] = '\0';
    ++count;
  }
  return count;
}

int Split(const char* text, const char* delimiters, char rows[][256], int maxRows) {
  return Split(text, 259, delimiters, rows, maxRows);
}

char* Mid(const char* src, int start, int length, char* dst, size_t dstSize) {
  if (dst == nullptr || dstSize == 0) return dst;
  dst[0] = '\0';
  if (src == nullptr || start < 0 || length < 0) return dst;
  const size_t slen = strlen(src);
  if (static_cast<size_t>(start) >= slen) return dst;
  size_t n = slen - static_cast<size_t>(start);
  if (n > static_cast<size_t>(length)) n = static_cast<size_t>(length);
  if (n > dstSize - 1) n = dstSize - 1;
  memcpy(dst, src + start, n);
  dst[n] = '\0';
  return dst;
}

int replacechar(char* text, char from, char to) {
  if (text == nullptr) return 0;
  int count = 0;
  for (char* p = text; *p != '\0'; ++p) {
    if (*p == from) {
      *p = to;
      ++count;
    }
  }
  return count;
}

void BackslashToSlash(char* text) { replacechar(text, '\\', '/'); }

int __Snprintf_Log(char* dst, size_t size, const char* format, ...) {
  if (dst == nullptr || size == 0 || format == nullptr) return 0;
  va_list args;
  va_start(args, format);
  const int n = vsnprintf(dst, size, format, args);
  va_end(args);
  if (n < 0) dst[0] = '\0';
  BackslashToSlash(dst);
  return n;
}

void Log(const char* where, const char* what) {
  (void)where;
  (void)what;
}

bool HexField(const char* reply, size_t pos, size_t digits, uint32_t* value) {
  if (digits == 0 || digits > 8 || strnlen(reply, pos + digits) < pos + digits) return false;
  uint32_t v = 0;
  for (size_t i = pos; i < pos + digits; ++i) {
    const char c = reply[i];
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else if (c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else {
      return false;
    }
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  *value = v;
  return true;
}

bool HexFields(const char* reply, size_t pos, size_t digits, int n, uint32_t* values) {
  for (int i = 0; i < n; ++i)
    if (!HexField(reply, pos + static_cast<size_t>(i) * digits, digits, &values[i])) return false;
  return true;
}

bool ReplyFits(const ReplyLine& reply, const char* leads, size_t length) {
  const size_t len = strnlen(reply.text, sizeof(reply.text));
  // A NUL inside the reply, or a reply cut to the buffer, leaves fewer characters than came.
  if (len != reply.received || len == 0 || std::strchr(leads, reply.text[0]) == nullptr)
    return false;
  if (length == kAnyLength) return true;
  if (len < length) return false;
  for (size_t i = length; i < len; ++i)
    if (reply.text[i] != ' ' && reply.text[i] != '\t') return false;
  return true;
}

int Paserstr(const char* text, int len, unsigned int* vals, int maxCount) {
  if (text == nullptr || vals == nullptr) return Fail(QZ_ERR_INVALID_ARGUMENT);
  const size_t end = len > 0 ? strnlen(text, static_cast<size_t>(len)) : 0;
  int stored = 0;
  for (size_t pos = 0;; pos += 8) {
    if (pos >= end || stored >= maxCount) return 1;
    char group[9];
    const size_t n = std::min<size_t>(8, end - pos);
    std::memcpy(group, text + pos, n);
    group[n] = '\0';
    unsigned int value;
    if (std::sscanf(group, "%X", &value) != 1) return Fail(QZ_ERR_INVALID_VALUE);
    vals[stored++] = value;
  }
}

int strcasecmp(const char* a, const char* b) {
  for (;; ++a, ++b) {
    const int ca = std::toupper(static_cast<unsigned char>(*a));
    const int cb = std::toupper(static_cast<unsigned char>(*b));
    if (ca != cb) return ca - cb;
    if (ca == 0) return 0;
  }
}

int32_t SignExtend(uint32_t v, int bits) {
  const uint32_t mask = (bits >= 32) ? 0xFFFFFFFFu : ((1u << bits) - 1u);
  const uint32_t sign = 1u << (bits - 1);
  v &= mask;
  return static_cast<int32_t>((v ^ sign) - sign);
}

namespace {

// The 1 to maxDigits decimal digits at p, up to the first character that is not a digit.
bool Digits(const char* p, size_t maxDigits, uint64_t* value) {
  if (maxDigits > 18) maxDigits = 18;  // the value stays far inside 64 bits
  uint64_t v = 0;
  size_t i = 0;
  for (; p[i] >= '0' && p[i] <= '9'; ++i) {
    if (i == maxDigits) return false;  // more digits than the field holds
    v = v * 10 + static_cast<uint64_t>(p[i] - '0');
  }
  if (i == 0) return false;
  *value = v;
  return true;
}

}  // namespace

bool DecField(const char* reply, size_t pos, size_t maxDigits, uint64_t max, uint32_t* value) {
  if (strnlen(reply, pos) < pos) return false;
  uint64_t v = 0;
  if (!Digits(reply + pos, maxDigits, &v) || v > max || v > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

bool FixedDecField(const char* reply, size_t pos, size_t digits, uint32_t* value) {
  if (strnlen(reply, pos + digits) < pos + digits) return false;
  uint64_t v = 0;
  for (size_t i = pos; i < pos + digits; ++i) {
    if (reply[i] < '0' || reply[i] > '9') return false;
    v = v * 10 + static_cast<uint64_t>(reply[i] - '0');
  }
  if (v > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

size_t DecDigits(const char* reply, size_t pos) {
  if (strnlen(reply, pos) < pos) return 0;
  size_t n = 0;
  while (reply[pos + n] >= '0' && reply[pos + n] <= '9') ++n;
  return n;
}

bool LastDecField(const ReplyLine& reply, size_t pos, size_t maxDigits, uint64_t max,
                  uint32_t* value) {
  return ReplyFits(reply, kDataLeads, pos + DecDigits(reply.text, pos)) &&
         DecField(reply.text, pos, maxDigits, max, value);
}

bool ScanInt(const char* reply, size_t pos, int* value, size_t* end) {
  if (strnlen(reply, pos) < pos) return false;
  const char* p = reply + pos;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  const uint64_t limit = negative ? uint64_t{1} << 31 : uint64_t{INT32_MAX};
  uint64_t v = 0;
  bool beyond = false;  // beyond an int, however many digits follow
  const char* digits = p;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (!beyond) v = v * 10 + static_cast<uint64_t>(*p - '0');
    beyond = beyond || v > limit;
  }
  if (p == digits) return false;
  if (end != nullptr) *end = static_cast<size_t>(p - reply);
  if (beyond) return false;
  *value = negative ? static_cast<int>(-static_cast<int64_t>(v)) : static_cast<int>(v);
  return true;
}

// The hexadecimal number at the start of hex: 1 parsed, 0 no number, -1 null or empty text.
// Read in 64 bits on every build, so that the low bits of a long number do not depend on the
// width of long.
static int ParseHex(const char* hex, unsigned long long* value) {
  if (hex == nullptr || hex[0] == '\0') return -1;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = strtoull(hex, &end, 16);
  if (end == hex) return 0;
  *value = v;
  return 1;
}

int HexStrToByte(const char* hex, unsigned char* out) {
  unsigned long long v = 0;
  const int r = ParseHex(hex, &v);
  if (r == 1 && out != nullptr) *out = static_cast<unsigned char>(v & 0xFFu);
  return r;
}

int HexStrToLong(const char* hex, unsigned int* out) {
  unsigned long long v = 0;
  const int r = ParseHex(hex, &v);
  if (r == 1 && out != nullptr) *out = static_cast<unsigned int>(v & 0xFFFFFFFFu);
  return r;
}

static int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int toByteArr(const char* text, unsigned char* out, short n) {
  if (text == nullptr || out == nullptr || n <= 0 || text[0] == '\0') return 0;
  int stored = 0;
  const char* p = text + 1;  // the lead character ('!' or '>') is skipped
  for (int i = 0; i < n; ++i) {
    if (p[0] == '\0' || p[1] == '\0') break;
    const int hi = HexDigit(p[0]);
    const int lo = HexDigit(p[1]);
    if (hi < 0 || lo < 0) break;
    out[i] = static_cast<unsigned char>(hi * 16 + lo);
    ++stored;
    p += 2;
  }
  return stored;
}

int toScale(float x, float inLow, float inHigh, float outLow, float outHigh, float* out) {
  if (out == nullptr || inHigh == inLow) return 0;
  *out = outHigh - (outHigh - outLow) * (inHigh - x) / (inHigh - inLow);
  return 1;
}

int FloatToHex(float value) {
  uint32_t bits;
  memcpy(&bits, &value, sizeof(bits));
  return static_cast<int>(bits);
}

float HexToFloat(unsigned int bits) {
  uint32_t b = bits;
  float value;
  memcpy(&value, &b, sizeof(value));
  return value;
}

int get_wchar_size(const char* text) {
  if (text == nullptr) return 0;
  int chars = 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != '\0') {
    if (*p & 0x80u) {
      // a three-byte character: its two following bytes, unless the text ends first
      ++p;
      for (int k = 0; k < 2 && *p != '\0'; ++k) ++p;
    } else {
      ++p;
    }
    ++chars;
  }
  return chars * 4;
}

int LongtoHexStr(unsigned int value) {
  char scratch[24];
  snprintf(scratch, sizeof(scratch), "%lX", static_cast<unsigned long>(value));
  return 0;
}

}  // namespace nivex
