// The timed text records of a slot carrier's trigger modes 4 and 5. In these modes a slot sends
// one record per receive instead of samples:
//
//   "hh:mm:ss,<count>,<not used>,<value 1>,...,<value 8>"
//
// Slot 0's records carry the time and count of a row; every slot's values become the slot's row
// part (value x 1000 as a 16-bit code), and a complete row is logged as the line
//
//   "hh:mm:ss,<count>,<channels>,<value>,...,<value>\n"   (values with 3 decimals)
//
// The records wait for their row in a bounded buffer. Parsing and formatting keep to the
// bytes given and do not depend on the application's locale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace nivex {

// The time and count of a row.
struct SlotRecord {
  uint8_t hour = 0;
  uint8_t minute = 0;
  uint8_t second = 0;
  uint32_t count = 0;
};

// One record as a slot sent it.
struct SlotTextRecord {
  static constexpr int kMaxValues = 8;
  SlotRecord stamp;
  int values = 0;  // values the record held (at most kMaxValues)
  float value[kMaxValues] = {};
};

// Reads the first bytes characters of text (no terminating NUL needed; reading stops at a NUL,
// CR or LF). False when the time ("h:m:s", each 0-255) or the count (0 .. 2^32 - 1) does not
// read; values that do not read count as 0, further ones are ignored.
bool ParseSlotTextRecord(const char* text, size_t bytes, SlotTextRecord* out);

// The slot's row part of a record: one code per channel, value x 1000 truncated and held to
// -32768 .. 32767 (0 for a value that is not a number); channels beyond the record's values
// get 0.
void RecordRowPart(const SlotTextRecord& record, int channels, int16_t* codes);

// The log line of a row of channels codes (each code / 1000, 3 decimals).
std::string FormatRecordLine(const SlotRecord& stamp, const int16_t* codes, unsigned channels);

// The records waiting for their row: room for kRecords; one write and one read index, both
// wrapping at kRecords.
class SlotRecordBuffer {
 public:
  static constexpr size_t kRecords = 5000;

  SlotRecordBuffer();
  bool Push(const SlotRecord& record);  // false (nothing stored) when full
  bool Pop(SlotRecord* record);         // false when empty
  size_t Size() const { return size_; }

 private:
  std::unique_ptr<SlotRecord[]> records_;
  size_t write_ = 0;
  size_t read_ = 0;
  size_t size_ = 0;
};

}  // namespace nivex
