// latchrun: reads the digital inputs and outputs of an RX5K10 module, waits for Enter, sets
// outputs 0 and 1 (pattern 0x3) and reads them back.
//
//   latchrun 192.168.0.10
#include <cstdio>

#include "nivex.h"
#include "support/utility.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::printf("error argument\r\n");
    return 0;
  }
  std::printf("%d,%s\r\n", argc, argv[1]);
  char connection[128] = {};
  std::snprintf(connection, sizeof(connection), "%s,9999,10010", argv[1]);

  void* handle = QZ_Device_Create(connection);
  nivex::msleep(25);
  if (handle == nullptr) return 0;

  std::printf("RX-5K10 Digital I/O Testing\r\n");
  char version[QZ_SDK_VERSION_SIZE] = {};
  QZ_GetSDKVersion(version);
  std::printf("ver=%s\r\n", version);

  unsigned int di = 0, dout = 0;
  QZ_ReadDIO(handle, &di, &dout);
  std::printf("Read DI=%x, DO=%x\r\n", di, dout);

  std::printf("Write 0x3 to Digital output, press any key to continue...\r\n");
  std::fflush(stdout);  // the prompt must be out before the wait, also on a pipe
  std::getchar();

  QZ_WriteDO(handle, 3);
  QZ_ReadDIO(handle, &di, &dout);
  std::printf("Read DI=%x, DO=%x\r\n", di, dout);
  QZ_Device_Release(handle);
  return 0;
}
