#include "framework/LogFileSink.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <utility>

#include "framework/LogClock.h"
#include "support/Storax.h"

namespace nivex {

void LogFileSink::Begin(Setup setup) {
  Close();
  s_ = std::move(setup);
  if (s_.channels == 0) s_.channels = 1;
  if (s_.sampleBytes != 2 && s_.sampleBytes != 4) s_.sampleBytes = 2;
  named_ = false;
  failed_ = false;
  samples_ = 0;
  path_.clear();
  rows_ = scanlog::TextRows(s_.channels, s_.decimals);
}

void LogFileSink::Close() {
  if (fd_ < 0) return;
  // A file that has lost its name (its folder removed meanwhile) keeps nothing written to it.
  struct stat st;
  if (fstat(fd_, &st) == 0 && st.st_nlink == 0) failed_ = true;
  // A close that reports an error may have lost written data (EINTR: the file is closed and
  // its data kept).
  if (close(fd_) != 0 && errno != EINTR) failed_ = true;
  fd_ = -1;
}

void LogFileSink::Fail() {
  failed_ = true;
  Close();
}

namespace {

// The file name of a path: the text after its last '/'.
const char* NameOf(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash == nullptr ? path : slash + 1;
}

}  // namespace

bool LogFileSink::IsCurrent(const Place& place) const {
  // A name holds the second it was started in; in split mode 7 the same name may stand in
  // another folder (first file or later one), and is still the current file's second.
  return fd_ >= 0 && strcmp(NameOf(path_.c_str()), NameOf(place.path)) == 0;
}

bool LogFileSink::PlaceAt(const struct tm& t, bool first, Place* place) const {
  const bool text = s_.chunkStream || s_.logType == scanlog::kLogText;
  char name[scanlog::kPathSize];
  return scanlog::SubFolderName(s_.splitMode, t, first, place->sub, sizeof place->sub) &&
         scanlog::JoinPath(s_.logFolder.c_str(), place->sub, place->folder,
                           sizeof place->folder) &&
         scanlog::DataFileName(s_.prefix.c_str(), s_.tag, t, text, name, sizeof name) &&
         scanlog::JoinPath(place->folder, name, place->path, sizeof place->path);
}

bool LogFileSink::Open(const Place& place) {
  if (IsCurrent(place)) return true;  // the same second: this file goes on
  Close();
  if (failed_) return false;
  if (place.sub[0] != '\0' && DirectoryExists(place.folder) == 0)
    CreateFolder(s_.logFolder.c_str(), place.sub);
  // Appending: a file of the same name from an earlier run keeps what it holds.
  int fd;
  do fd = open(place.path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  while (fd < 0 && errno == EINTR);
  path_ = place.path;
  if (fd < 0) {
    Fail();
    return false;
  }
  fd_ = fd;
  fileBytes_ = 0;
  fileStart_ = Clock::now();
  return true;
}

bool LogFileSink::OpenAt(const struct tm& t, bool first) {
  Place place;
  if (!PlaceAt(t, first, &place)) {
    Fail();
    return false;
  }
  return Open(place);
}

bool LogFileSink::Rotate() {
  if (failed_) return false;
  return OpenAt(LogClockNow(), !named_);
}

bool LogFileSink::RotationDue() const {
  if (!s_.chunkStream && !scanlog::SplitModeRotates(s_.splitMode)) return false;
  const auto open =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - fileStart_);
  return static_cast<uint64_t>(open.count()) >= s_.periodMs;
}

void LogFileSink::WriteBytes(const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0 && fd_ >= 0) {
    const ssize_t w = write(fd_, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      Fail();
      return;
    }
    p += w;
    n -= static_cast<size_t>(w);
    fileBytes_ += static_cast<uint64_t>(w);
  }
}

void LogFileSink::WriteSamples(const uint8_t* data, size_t n) {
  if (n == 0 || fd_ < 0) return;
  if (!scanlog::HasTextRows(s_.logType)) {
    WriteBytes(data, n * s_.sampleBytes);
    return;
  }
  rows_.Clear();
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* b = data + i * s_.sampleBytes;
    const int32_t code = s_.sampleBytes == 2
                             ? static_cast<int16_t>(static_cast<uint16_t>(b[0] | (b[1] << 8)))
                             : static_cast<int32_t>(b[0] | (b[1] << 8) | (b[2] << 16) |
                                                    (static_cast<uint32_t>(b[3]) << 24));
    rows_.Append(s_.volts ? s_.volts(code, rows_.Phase()) : 0.0);
  }
  WriteBytes(rows_.Text().data(), rows_.Text().size());
}

void LogFileSink::Take(const uint8_t* data, size_t bytes) {
  if (failed_ || bytes == 0) return;
  if (!named_) {
    const struct tm t = s_.firstTimeGiven ? s_.firstTime : LogClockNow();
    if (!OpenAt(t, true)) return;
    named_ = true;
    if (s_.firstFile) s_.firstFile();
  }
  if (s_.chunkStream) {
    WriteBytes(data, bytes);
    if (!failed_ && RotationDue()) Rotate();
    return;
  }
  const size_t n = bytes / s_.sampleBytes;
  samples_ += n;
  if (!RotationDue()) {
    WriteSamples(data, n);
    return;
  }
  // The samples at the end of the receive that begin an unfinished row start the new file.
  const size_t tail = static_cast<size_t>(samples_ % s_.channels);
  if (tail > n || (tail == n && fileBytes_ == 0)) {
    // No row boundary in this receive (or none after anything the file holds: a rotation
    // would leave an empty file): the rotation waits.
    WriteSamples(data, n);
    return;
  }
  Place next;
  if (!PlaceAt(LogClockNow(), false, &next)) {
    Fail();
    return;
  }
  if (IsCurrent(next)) {  // the same second: the receive stays whole
    WriteSamples(data, n);
    return;
  }
  const size_t head = n - tail;
  WriteSamples(data, head);
  if (!failed_ && Open(next)) WriteSamples(data + head * s_.sampleBytes, tail);
}

}  // namespace nivex
