// The module-reply parsers of support/utility on any reply: the whole-reply check, fixed
// fields (hexadecimal and decimal, "%d" numbers), groups of eight hexadecimal digits,
// splitting, cutting, byte pairs and the narrow/wide conversions. Each result is checked against what the reply holds.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cwchar>

#include "support/utility.h"
#include "tests/fuzz/FuzzInput.h"

using nivex::fuzz::FuzzInput;
using nivex::fuzz::Require;

namespace {

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

void CheckHexField(const char* r, size_t pos, size_t digits) {
  uint32_t v = 0x5A5A5A5A;
  if (!nivex::HexField(r, pos, digits, &v)) {
    Require(v == 0x5A5A5A5A, "HexField changed its output on a refusal");
    return;
  }
  Require(digits >= 1 && digits <= 8, "HexField took a width outside 1..8");
  Require(strnlen(r, pos + digits) == pos + digits, "HexField read past the reply");
  uint32_t want = 0;
  for (size_t i = pos; i < pos + digits; ++i) {
    Require(IsHex(r[i]), "HexField took a character that is no hexadecimal digit");
    want = want * 16 + static_cast<uint32_t>(r[i] <= '9' ? r[i] - '0' : (r[i] | 0x20) - 'a' + 10);
  }
  Require(v == want, "HexField value");
}

// The run of decimal digits at p and its value, up to 19 digits.
size_t DigitRun(const char* p, unsigned long long* value) {
  size_t n = 0;
  *value = 0;
  while (p[n] >= '0' && p[n] <= '9') {
    if (n < 19) *value = *value * 10 + static_cast<unsigned>(p[n] - '0');
    ++n;
  }
  return n;
}

void CheckDecFields(const char* r, size_t pos, size_t maxDigits, uint64_t max) {
  uint32_t u = 7;
  const bool ok = nivex::DecField(r, pos, maxDigits, max, &u);
  if (strnlen(r, pos) < pos) {
    Require(!ok, "DecField read past the reply");
  } else {
    unsigned long long want = 0;
    const size_t n = DigitRun(r + pos, &want);
    const size_t limit = maxDigits > 18 ? 18 : maxDigits;
    const bool fits = n >= 1 && n <= limit && want <= max && want <= UINT32_MAX;
    Require(ok == fits, "DecField accepted or refused wrongly");
    Require(!ok || u == want, "DecField value");
  }
  Require(ok || u == 7, "DecField changed its output on a refusal");

  // "%d" reading: blanks, a sign, the digits; refused outside the int range.
  int s = 7;
  const bool sok = nivex::ScanInt(r, pos, &s);
  if (strnlen(r, pos) < pos) {
    Require(!sok, "ScanInt read past the reply");
  } else {
    const char* p = r + pos;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    size_t n = 0;
    long long want = 0;
    bool inRange = true;
    for (; p[n] >= '0' && p[n] <= '9'; ++n) {
      if (inRange) want = want * 10 + (p[n] - '0');
      if (want > 2147483648LL) inRange = false;
    }
    if (negative) want = -want;
    const bool fits = n >= 1 && inRange && want >= INT32_MIN && want <= INT32_MAX;
    Require(sok == fits, "ScanInt accepted or refused wrongly");
    Require(!sok || s == want, "ScanInt value");
  }
  Require(sok || s == 7, "ScanInt changed its output on a refusal");
}

// A reply line as the exchange stores it, judged whole against an independent reading.
void CheckReplyFits(const std::string& reply, size_t length) {
  nivex::ReplyLine line;
  line.received = reply.size();
  std::memcpy(line.text, reply.data(), std::min(reply.size(), nivex::ReplyLine::kSize - 1));
  const bool fits = nivex::ReplyFits(line, nivex::kDataLeads, length);
  bool want = !reply.empty() && reply.size() < nivex::ReplyLine::kSize &&
              reply.find('\0') == std::string::npos && (reply[0] == '!' || reply[0] == '>');
  if (length != nivex::kAnyLength) {
    want = want && reply.size() >= length;
    for (size_t i = length; want && i < reply.size(); ++i) want = reply[i] == ' ' || reply[i] == '\t';
  }
  Require(fits == want, "ReplyFits");
  uint32_t values[3];
  if (nivex::HexFields(line.text, 1, 2, 3, values))
    for (int i = 0; i < 3; ++i) CheckHexField(line.text, 1 + 2 * static_cast<size_t>(i), 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const size_t pos = in.Byte() % 40;
  const size_t digits = in.Byte() % 12;
  const size_t maxDigits = in.Byte() % 24;
  const uint64_t max = static_cast<uint64_t>(in.U32()) << (in.Byte() % 8);
  const int len = static_cast<int8_t>(in.Byte()) * 3;
  const int start = static_cast<int8_t>(in.Byte());
  const int count = static_cast<int8_t>(in.Byte());
  const std::string reply = in.Rest();  // may hold NULs: the parsers stop at the first
  const char* r = reply.c_str();

  CheckHexField(r, pos, digits);
  CheckDecFields(r, pos, maxDigits, max);
  CheckReplyFits(reply, digits == 0 ? nivex::kAnyLength : digits * 3);

  // Groups of eight hexadecimal digits into a bounded array.
  unsigned int vals[6] = {};
  vals[5] = 0xC0FFEE11u;
  nivex::Paserstr(r, len, vals, 5);
  Require(vals[5] == 0xC0FFEE11u, "Paserstr wrote past its count");

  // Splitting: at most maxRows rows, each cut to 255 characters, none empty.
  char rows[4][256];
  for (int form = 0; form < 2; ++form) {
    const int n = form == 0 ? nivex::Split(r, reply.size(), ",; \r", rows, 4)
                            : nivex::Split(r, ",!", rows, 3);
    Require(n >= 0 && n <= (form == 0 ? 4 : 3), "Split row count");
    for (int i = 0; i < n; ++i) {
      const size_t l = strnlen(rows[i], 256);
      Require(l >= 1 && l <= 255, "Split row length");
    }
  }

  char mid[17];
  nivex::Mid(r, start, count, mid, sizeof(mid));
  Require(strnlen(mid, sizeof(mid)) < sizeof(mid), "Mid left its output unterminated");

  unsigned char bytes[9] = {};
  bytes[8] = 0xA5;
  const int stored = nivex::toByteArr(r, bytes, static_cast<short>(count & 7));
  Require(stored >= 0 && stored <= (count & 7) && bytes[8] == 0xA5, "toByteArr count");

  unsigned int word = 0;
  unsigned char byte = 0;
  nivex::HexStrToLong(r, &word);
  nivex::HexStrToByte(r, &byte);
  const int w = nivex::get_wchar_size(r);
  Require(w >= 0 && static_cast<size_t>(w) <= 4 * strlen(r), "get_wchar_size");

  wchar_t wide[32];
  char narrow[32];
  if (nivex::CharToWide(r, wide, 32) > 0) {
    Require(wcslen(wide) < 32, "CharToWide length");
    nivex::WideToChar(wide, narrow, sizeof(narrow));
    Require(strnlen(narrow, sizeof(narrow)) < sizeof(narrow), "WideToChar length");
  }
  const int bits = 1 + (count & 31);
  const int64_t extended = nivex::SignExtend(word, bits);
  const int64_t half = int64_t{1} << (bits - 1);
  Require(extended >= -half && extended < half &&
              ((static_cast<uint64_t>(extended) ^ word) & ((uint64_t{1} << bits) - 1)) == 0,
          "SignExtend");
  return 0;
}
