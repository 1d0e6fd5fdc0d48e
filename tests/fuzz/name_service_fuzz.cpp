// The name-service reply parsers on any reply of up to 512 bytes as received (the kit
// receives at most 256): the module name and the firmware version and date.
#include <cstring>
#include <string>

#include "support/tcp.h"
#include "tests/fuzz/FuzzInput.h"

using nivex::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 512) return 0;
  const std::string reply(reinterpret_cast<const char*>(data), size);
  const int n = static_cast<int>(size);

  char name[nivex::kModuleNameSize + 8];
  memset(name, 'X', sizeof(name));
  nivex::detail::ParseModuleName(reply.data(), n, name);
  const size_t nameLen = strnlen(name, sizeof(name));
  Require(nameLen < static_cast<size_t>(nivex::kModuleNameSize), "module name length");
  Require(name[nivex::kModuleNameSize] == 'X', "module name wrote past its buffer");
  // The name is the reply from position 2 on, without its last byte.
  if (size > 3) Require(reply.compare(2, nameLen, name) == 0, "module name text");

  char date[nivex::kFirmwareDateSize + 8];
  memset(date, 'X', sizeof(date));
  unsigned short version = 0;
  nivex::detail::ParseFirmware(reply.data(), n, &version, date);
  Require(strnlen(date, sizeof(date)) < static_cast<size_t>(nivex::kFirmwareDateSize),
          "firmware date length");
  Require(date[nivex::kFirmwareDateSize] == 'X', "firmware date wrote past its buffer");
  return 0;
}
