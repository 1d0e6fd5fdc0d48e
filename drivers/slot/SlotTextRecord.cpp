#include "drivers/slot/SlotTextRecord.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace nivex {
namespace {

// An unsigned number that fills [from, to) exactly, at most max.
bool ReadUnsigned(const char* from, const char* to, uint64_t max, uint64_t* out) {
  uint64_t v = 0;
  const auto r = std::from_chars(from, to, v);
  if (from == to || r.ec != std::errc() || r.ptr != to || v > max) return false;
  *out = v;
  return true;
}

bool ReadTime(const char* from, const char* to, SlotRecord* stamp) {
  uint64_t part[3];
  for (int i = 0; i < 3; ++i) {
    const char* end = i < 2 ? static_cast<const char*>(memchr(from, ':', to - from)) : to;
    if (end == nullptr || !ReadUnsigned(from, end, 255, &part[i])) return false;
    from = end + 1;
  }
  stamp->hour = static_cast<uint8_t>(part[0]);
  stamp->minute = static_cast<uint8_t>(part[1]);
  stamp->second = static_cast<uint8_t>(part[2]);
  return true;
}

void AppendFixed3(std::string* out, double v) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 3);
  out->append(buf, r.ec == std::errc() ? r.ptr : buf);
}

}  // namespace

bool ParseSlotTextRecord(const char* text, size_t bytes, SlotTextRecord* out) {
  if (text == nullptr || out == nullptr) return false;
  const char* end = text;
  while (end < text + bytes && *end != '\0' && *end != '\r' && *end != '\n') ++end;
  SlotTextRecord r;
  const char* from = text;
  for (int field = 0; from <= end && field < 3 + SlotTextRecord::kMaxValues; ++field) {
    const char* comma = static_cast<const char*>(memchr(from, ',', end - from));
    const char* to = comma ? comma : end;
    if (field == 0 && !ReadTime(from, to, &r.stamp)) return false;
    uint64_t count = 0;
    if (field == 1) {
      if (!ReadUnsigned(from, to, UINT32_MAX, &count)) return false;
      r.stamp.count = static_cast<uint32_t>(count);
    }
    if (field >= 3) {
      while (from < to && *from == ' ') ++from;
      if (from < to && *from == '+') ++from;
      float v = 0.0f;
      const auto got = std::from_chars(from, to, v);
      r.value[r.values++] = got.ec == std::errc() ? v : 0.0f;
    }
    if (comma == nullptr) {
      if (field < 1) return false;
      break;
    }
    from = comma + 1;
  }
  *out = r;
  return true;
}

void RecordRowPart(const SlotTextRecord& record, int channels, int16_t* codes) {
  for (int c = 0; c < channels; ++c) {
    const double v = c < record.values ? std::trunc(double{record.value[c]} * 1000.0) : 0.0;
    codes[c] = std::isnan(v) ? 0 : static_cast<int16_t>(std::fmin(std::fmax(v, -32768.0), 32767.0));
  }
}

std::string FormatRecordLine(const SlotRecord& stamp, const int16_t* codes, unsigned channels) {
  char head[48];
  snprintf(head, sizeof head, "%02d:%02d:%02d,%lu,%u", stamp.hour, stamp.minute, stamp.second,
           static_cast<unsigned long>(stamp.count), channels);
  std::string line = head;
  for (unsigned c = 0; c < channels; ++c) {
    line += ',';
    AppendFixed3(&line, codes[c] / 1000.0);
  }
  line += '\n';
  return line;
}

SlotRecordBuffer::SlotRecordBuffer() : records_(new SlotRecord[kRecords]) {}

bool SlotRecordBuffer::Push(const SlotRecord& record) {
  if (size_ == kRecords) return false;
  records_[write_] = record;
  write_ = (write_ + 1) % kRecords;
  ++size_;
  return true;
}

bool SlotRecordBuffer::Pop(SlotRecord* record) {
  if (size_ == 0) return false;
  *record = records_[read_];
  read_ = (read_ + 1) % kRecords;
  --size_;
  return true;
}

}  // namespace nivex
