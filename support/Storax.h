// Files and folders on the host: folder tests and creation, path cutting, the
// log-file extension table and name splitting, the search for a log's
// ".config" file, the file classes BinaryFile and TextFile, and INI-style
// settings files.
//
// Narrow functions take '/'-separated paths. The wide ("W") functions convert
// their texts to narrow text (support/utility.h) and behave like their narrow
// twins; a text the conversion refuses counts as not found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace nivex {

// ================================================================== folders and paths

// Log-file extensions: 0 ".bin" 1 ".txt" 2 ".csv" 3 ".tdm" 4 ".xls" 5 ".md"
// 6 ".qzd", then 7-13 the same in upper case.
extern const char* const Logfiletype[14];
extern const wchar_t* const tcLogfiletype[14];

// 1 when path opens as a folder, else 0 (0 for null).
int DirectoryExists(const char* path);
int DirectoryExistsW(const wchar_t* path);
// Creates the one folder folder/sub/ (mode 0777 less the umask); the parent
// must exist. The result is not reported; null arguments do nothing.
void CreateFolder(const char* folder, const char* sub);
void CreateFolderW(const wchar_t* folder, const wchar_t* sub);
// 1 when path opens for reading, else 0 (0 for null).
int FileExist(const char* path);
int FileExistW(const wchar_t* path);
// fopen with wide texts (each converted within 260 bytes); null when refused.
FILE* _wfopen(const wchar_t* path, const wchar_t* mode);

// Index of the last c in text, -1 when none (or text is null).
int getLastIndex(const char* text, char c);
int getLastIndexW(const wchar_t* text, wchar_t c);
// Cuts path in place n times at its last '/' (a path without one stays as it
// is). Returns path; null when path is null, n <= 0, or the path is empty when
// a cut starts. "/home" cut once gives "".
char* BackPreviousDir(char* path, int n);
// As BackPreviousDir, cutting at the last '\\' or '/'.
wchar_t* BackPreviousDirW(wchar_t* path, int n);
// Splits path at its last '\\' or '/' into folder (the text before it) and
// name (the text after it), when that separator stands at position 1 or
// later. 1 when both were written; 0, and nothing written, when there is no
// such separator, an argument is null, or a part does not fit its buffer
// (folderSize / nameSize bytes, NUL included).
int GetPath(const char* path, char* folder, char* name, size_t folderSize = 260,
            size_t nameSize = 260);
int GetPathW(const wchar_t* path, wchar_t* folder, wchar_t* name, size_t folderSize = 260,
             size_t nameSize = 260);

// ================================================================== log-file names

// Index 0-13 of the first table extension contained anywhere in name, -1 when
// none (or name is null).
int checklogfiletype(const char* name);
// The same on the wide table, as index mod 7 (case-blind type 0-6), or -1.
int checklogfiletypeW(const wchar_t* name);

// Splits a log-file name "<a>_<b>_<c>_<d>_<tag>_<Y>_<M>_<D>_<h>_<m>_<s>.ext"
// at '_' (runs count as one): ipPart = fields 0-3 joined with '_' (16 bytes),
// tag = field 4 (16 bytes), datePart = fields 5-9 joined with '_' (24 bytes).
// Fields after the tenth are ignored. The outputs are always terminated (empty
// when refused). Returns 0, or refuses a name that is not a log-file name:
//   -1 null arguments, a name of more than 255 characters, fewer than 4 fields,
//      or an address part that does not fit;
//   -2 no tag field, or a tag of more than 15 characters;
//   -3 fewer than 10 fields, or a date part that does not fit.
int checkLogFileFormat(const char* name, char* ipPart, char* tag, char* datePart);
// Wide twin; outputs of 20, 16 and 24 wide characters; the same results.
int checkLogFileFormatW(const wchar_t* name, wchar_t* ipPart, wchar_t* tag, wchar_t* datePart);

// Searches root recursively (depth first, entries in name order, symbolic
// links not followed) for the ".config" file of a log: a file whose name is
// "IP_<ipPart>_<tag>_..." field by field and ends in ".config". Returns its
// path ("root/.../name"), held per thread until the next search on that
// thread; null when none is found, root cannot be opened, or ipPart or tag is
// empty. datePart is not used.
const char* FindConfigFile(const char* root, const char* ipPart, const char* tag,
                           const char* datePart);
const wchar_t* FindConfigFileW(const wchar_t* root, const wchar_t* ipPart, const wchar_t* tag,
                               const wchar_t* datePart);

// One entry of a folder listing.
struct FolderEntry {
  std::string name;
  bool isDir;  // a real folder (not a symbolic link to one)
};
// Lists folder (without "." and ".."), sorted by name. Entries whose type the
// file system does not report are looked up with lstat. false when the folder
// cannot be opened.
bool ListFolder(const std::string& folder, std::vector<FolderEntry>* out);
// True when path names a regular file (a symbolic link counts as what it points to): a FIFO,
// a device or a socket of a log file's name is never opened, as opening it may wait forever.
bool IsRegularFile(const char* path);

// ================================================================== BinaryFile

// A file of raw items of one type. Open modes: 0 "rb", 1 "wb", 2 "r+b",
// 3 "w+b" (also any other value), 4 "a+b".
class BinaryFile {
 public:
  FILE* fp = nullptr;
  int mode = 3;
  int dataType = 1;  // 0 = 1-byte, 1 = 16-bit, 2 = float, 3 = int32 items
  wchar_t folder[256] = {};
  wchar_t sub[256] = {};
  wchar_t name[128] = {};
  uint64_t bytesWritten = 0;  // bytes written since the last Open
  bool isOpen = false;

  BinaryFile();  // mode 3, dataType 1
  explicit BinaryFile(int mode);
  BinaryFile(int mode, int dataType);
  ~BinaryFile();
  BinaryFile(const BinaryFile&) = delete;
  BinaryFile& operator=(const BinaryFile&) = delete;

  // Opens folder/sub/name with the mode's text after creating folder/sub (one
  // level). 1 on success; 0 for a null argument, a name too long for its
  // field, or a failed open. An open stream is closed first.
  int Open(const char* folder, const char* sub, const char* name);
  int Open(const wchar_t* folder, const wchar_t* sub, const wchar_t* name);
  // Mode 0 only: opens path for reading. 1 on success, else 0.
  int Open(const char* path);
  int Open(const wchar_t* path);
  void Close();
  void FileUpdate();
  // File length in bytes, 0 without a stream. Mode 0 leaves the position at
  // the start of the file; other modes keep the position where it was.
  uint64_t Size();

  // Write n items; each returns bytesWritten, which grows only when all n
  // items were written. WriteChar and WriteFloat flush.
  uint64_t WriteChar(const char* buf, unsigned int n);
  uint64_t WriteShort(const short* buf, unsigned int n);
  uint64_t WriteFloat(const float* buf, unsigned int n);
  uint64_t WriteLong(const int* buf, unsigned int n);
  uint64_t WriteCharFrom(const char* buf, unsigned int start, unsigned int count);
  uint64_t WriteShortFrom(const short* buf, unsigned int start, unsigned int count);
  uint64_t WriteFloatFrom(const float* buf, unsigned int start, unsigned int count);
  uint64_t WriteLongFrom(const int* buf, unsigned int start, unsigned int count);

  // Read up to count items from item position start, clipped to the items the
  // file holds; return the number read (0 for a start at or past the end).
  unsigned int ReadCharFrom(char* buf, unsigned int start, unsigned int count);
  unsigned int ReadShortFrom(unsigned short* buf, unsigned int start, unsigned int count);
  unsigned int ReadFloatFrom(float* buf, unsigned int start, unsigned int count);
  unsigned int ReadLongFrom(int* buf, unsigned int start, unsigned int count);
  // By dataType; type 1 stores each 16-bit item zero-extended into a 32-bit
  // slot of buf (count slots).
  unsigned int ReadFrom(void* buf, unsigned int start, unsigned int count);

 private:
  uint64_t WriteItems(const void* buf, size_t itemSize, unsigned int n, bool flush);
  unsigned int ReadItems(void* buf, size_t itemSize, unsigned int start, unsigned int count);
  int OpenPath(const char* path, const char* modeText);
  bool lastWasRead_ = false;  // a write must seek first
};

// ================================================================== TextFile

// A text file of lines. Open modes: 0 "r", 1 "w", 2 "r+", 3 "w+" (also any
// other value), 4 "a+".
class TextFile {
 public:
  FILE* fp = nullptr;
  uint32_t lineCount = 0;
  int mode = 3;
  bool isOpen = false;

  explicit TextFile(int mode);
  ~TextFile();
  TextFile(const TextFile&) = delete;
  TextFile& operator=(const TextFile&) = delete;

  // Opens folder/name; 0 for a null part. An open stream is closed first.
  int Open(const char* folder, const char* name);
  int Open(const wchar_t* folder, const wchar_t* name);
  // Opens path; a null path means "~/log.txt".
  int Open(const char* path);
  int Open(const wchar_t* path);
  void Close();
  // File length in bytes (0 without a stream). Mode 0 leaves the position at
  // the start of the file; other modes keep it where it was.
  int64_t Size();
  int Write(const char* text);      // 1, or 0 without a stream
  int WriteLine(const char* text);  // text and "\n"; 1, or 0
  // Reads one line of at most 1023 characters into buf (1024 bytes), line
  // end kept; returns the incremented lineCount, 0 at the end of the file.
  uint32_t ReadLine(char* buf);
  // First line containing key: value = the line from strlen(key) + 1 (counted
  // from the line start) to its end, line end included. value holds 1024
  // bytes. Returns the value's length, or -1 (value untouched).
  int ReadValue(const char* key, char* value);
  // First line containing both texts: value starts strlen(key) + 1 after the
  // first key and runs to the next ',' or the line end. value holds 1024
  // bytes. Returns its length, or -1.
  int ReadValue(const char* section, const char* key, char* value);
  void GotoFirstLine();

 private:
  int OpenPath(const char* path);
  void BeforeWrite();
  bool lastWasRead_ = false;  // a write must seek first
};

// ================================================================== INI files

// Reads key of [section] from the INI file path into out (size bytes). Blanks
// in key lines are ignored, CR LF reads as LF. Returns the length stored; when
// the file, the section or the key is missing, deflt is stored (cut to fit)
// and its stored length returned (-1 for a null deflt). -1 for null
// arguments or size 0.
int __GetPrivateProfileString(const char* section, const char* key, const char* deflt, char* out,
                              unsigned int size, const char* path);
// Writes key=value into [section] of path: the key's line is replaced, or the
// key inserted after the section header, or the section and key appended;
// every other line stays as it was. The file is replaced through a temporary
// file in the same folder. 1 on success, 0 on any failure (the old file then
// stays as it was).
int __WritePrivateProfileString(const char* section, const char* key, const char* value,
                                const char* path);
int SetIni(const char* path, const char* section, const char* key, const char* value);
// Reads with default "" into out, which must hold 8 bytes.
int GetIni(const char* path, const char* section, const char* key, char* out);

// Reads up to the next LF (or the end of the file), skipping CR, into buf
// (260 bytes: at most 259 characters are kept, the rest of the line is
// dropped). Returns buf.
char* ReadFileLine(char* buf, FILE* fp);
// Removes every blank (' '), or every c, from text in place.
void RemoveChar(char* text);
void RemoveChar(char* text, char c);

}  // namespace nivex
