// Small stateless helpers shared by every layer: sleep, address checks, narrow/wide text,
// splitting and copying texts, hexadecimal and scaling conversions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cwchar>

namespace nivex {

// ------------------------------------------------------------------ relied on by the kit

// Sleeps ms milliseconds, resuming after a signal for the remaining time.
// 0 when the whole time has passed; -1 with errno EINVAL for ms < 0, -1 on another failure.
int msleep(int ms);

// 1 when text is a dotted IPv4 address (four decimal fields 0-255), else 0 (0 for null).
int isValidIPv4(const char* text);

// 1 when 0 <= port <= 65535, else 0.
int isValidTCPPort(int port);

// Narrows src into dst (capacity bytes, NUL included). Refuses (returns 0, dst untouched) a null
// src or a text whose converted length plus its NUL exceeds capacity. A text that cannot be
// converted in the current locale returns 0 with dst empty. On success returns 4 x the number
// of wide characters; dst is always NUL-terminated.
int WideToChar(const wchar_t* src, char* dst, unsigned int capacity);

// Widens src into dst (capacity wide characters, terminator included). Refuses (returns 0,
// dst untouched) a null src or a text of capacity characters or more. An invalid multibyte
// sequence returns 0 with dst empty. On success returns the number of wide characters.
int CharToWide(const char* src, wchar_t* dst, unsigned int capacity);

// Copies src into dst (size bytes), cut to size-1 characters and always NUL-terminated when
// size > 0. Returns strlen(src), so a result >= size means the text was cut. Null src copies "".
size_t CopyText(char* dst, size_t size, const char* src);

// Splits text at any of the delimiter characters into rows (empty fields are skipped, as with
// strtok). Only the first 259 characters of text are looked at, every field is cut to 255
// characters and at most maxRows rows are written. Returns the number of rows written.
// Re-entrant.
int Split(const char* text, const char* delimiters, char rows[][256], int maxRows);
// The same for a text of len bytes that need not be NUL-terminated (data from a module): looks
// at no more than len bytes and stops at a NUL.
int Split(const char* text, size_t len, const char* delimiters, char rows[][256], int maxRows);

// Copies up to length characters of src from position start (stopping at the end of the text)
// into dst (dstSize bytes), cut to dstSize-1 and NUL-terminated. A start beyond the end gives
// "", a negative start or length gives "". Returns dst.
char* Mid(const char* src, int start, int length, char* dst, size_t dstSize);

// Replaces every from by to in text; returns the number replaced (0 for null).
int replacechar(char* text, char from, char to);

// Replaces every '\\' by '/' in text.
void BackslashToSlash(char* text);

// Formats like snprintf into dst (size bytes, always NUL-terminated when size > 0), then turns
// every '\\' of the result into '/'. Returns the length the full text would have.
int __Snprintf_Log(char* dst, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Trace hook: does nothing.
void Log(const char* where, const char* what);

// A reply line of a module as the command exchange received it: the text without its CR,
// NUL-terminated and cut to the buffer, and the number of characters that came before the CR.
// `received` exceeds the text's length when a NUL came among them or the reply did not fit.
struct ReplyLine {
  static constexpr size_t kSize = 256;
  char text[kSize] = {};
  size_t received = 0;
};

// The leads of a reply that carries data where the protocol names no lead of its own.
inline constexpr char kDataLeads[] = "!>";
// True for a lead of a data reply ('!' or '>').
inline bool DataLead(char c) { return c == '!' || c == '>'; }
// Any length (ReplyFits).
inline constexpr size_t kAnyLength = SIZE_MAX;

// True when the reply came whole and in its frame: its first character is one of `leads`
// (a refusal '?' never is), no NUL came inside it, it fit the buffer, and, unless length is
// kAnyLength, it holds exactly `length` characters followed by nothing but blanks.
bool ReplyFits(const ReplyLine& reply, const char* leads, size_t length = kAnyLength);

// Reads exactly `digits` (1-8) hexadecimal characters at position pos of a module reply into
// *value. False (value untouched) when the reply ends before them or one of them is not a
// hexadecimal digit; never reads past the reply's NUL. A fixed-width field is exact when the
// reply's length is checked too (ReplyFits): no digit more or less passes.
bool HexField(const char* reply, size_t pos, size_t digits, uint32_t* value);
// n such fields one behind the other from position pos into values[0..n-1]. False when one
// of them cannot be read (values may then be partly written).
bool HexFields(const char* reply, size_t pos, size_t digits, int n, uint32_t* values);

// The low `bits` bits (1 to 32) of v as a two's-complement value.
int32_t SignExtend(uint32_t v, int bits);

// Reads the decimal number at position pos of a module reply into *value: 1 to maxDigits
// (at most 18) digits, ended by the reply's end or by a character that is not a digit. False
// (value untouched) when the reply ends before pos, no digit is there, more than maxDigits
// follow or the number is above max; never reads past the reply's NUL.
bool DecField(const char* reply, size_t pos, size_t maxDigits, uint64_t max, uint32_t* value);
// Exactly `digits` decimal characters at position pos of a module reply (a fixed-width field:
// every one a digit, none past the reply's NUL). False, value untouched, otherwise.
bool FixedDecField(const char* reply, size_t pos, size_t digits, uint32_t* value);
// The number of decimal digits at position pos of a module reply: where a "%d" field read
// there ends (0 when the reply ends before pos or no digit is there).
size_t DecDigits(const char* reply, size_t pos);
// A reply that is a data reply ('!' or '>') ending with a "%d" field at pos: exactly that
// field's digits (1 to maxDigits, at most max) and nothing after them but blanks, with no NUL
// inside. The value is left as it was when not.
bool LastDecField(const ReplyLine& reply, size_t pos, size_t maxDigits, uint64_t max,
                  uint32_t* value);
// Reads the number at position pos of a module reply as "%d" reads it: white space first, an
// optional sign, then the digits up to the first character that is not one (whatever follows
// is left). False (value untouched) when the reply ends before pos, no digit is there or the
// number is outside the int range.
// end (may be null) receives the position behind the digits whenever there are digits, also
// for a number beyond the int range.
bool ScanInt(const char* reply, size_t pos, int* value, size_t* end = nullptr);

// Reads hexadecimal groups of 8 characters from text (at most len characters, never past its
// NUL) into vals, as with "%08X". Stops with 1 at the end of the text or once maxCount values
// are stored; a group that holds no hexadecimal number gives 0x17008 and 0 (the values stored
// before it stay). A shorter last group is read like a full one.
int Paserstr(const char* text, int len, unsigned int* vals, int maxCount);

// Case-insensitive compare after conversion to upper case: the difference of the first
// differing upper-case characters, else 0. The kit's own; the C library's is not replaced.
int strcasecmp(const char* a, const char* b);

// ------------------------------------------------------------------ carried for applications

// Parses hex as a hexadecimal number and stores its low 8 bits in *out; 1 when parsed, 0 when
// the text holds no hexadecimal number, -1 for a null or empty text.
int HexStrToByte(const char* hex, unsigned char* out);
// The same, storing 32 bits in *out.
int HexStrToLong(const char* hex, unsigned int* out);
// For i = 0 .. n-1 stores the value of the two hexadecimal characters at positions 2i+1 and
// 2i+2 of text (the lead character is skipped) in out[i]; stops at the end of the text.
// Returns the number of bytes stored.
int toByteArr(const char* text, unsigned char* out, short n);
// Linear mapping of x from [inLow, inHigh] onto [outLow, outHigh] into *out.
// 1 on success; 0 (out untouched) when inHigh == inLow or out is null.
int toScale(float x, float inLow, float inHigh, float outLow, float outHigh, float* out);
// The 32 bits of a float, and back.
int FloatToHex(float value);
float HexToFloat(unsigned int bits);
// 4 x the number of characters of text, where a byte with its high bit set starts a
// three-byte character; stops at the NUL.
int get_wchar_size(const char* text);
// Formats value as hexadecimal into a scratch buffer of its own; returns 0.
int LongtoHexStr(unsigned int value);

}  // namespace nivex
