/* A tiny C program built against an installed NIVEX tree: it opens the module at the address
 * given, writes the digital outputs and reads them back. Exit status 0 when they read back as
 * written. */
#include <nivex.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char **argv) {
  char connection[64];
  char version[QZ_SDK_VERSION_SIZE];
  char model[QZ_MODEL_NAME_SIZE];
  unsigned int di = 0, dout = 0;
  void *handle;
  int ok;

  if (argc < 2) {
    fprintf(stderr, "usage: %s IPv4-address\n", argv[0]);
    return 2;
  }
  snprintf(connection, sizeof(connection), "%s,9999,10010", argv[1]);
  handle = QZ_Device_Create(connection);
  if (handle == NULL) {
    fprintf(stderr, "open %s: error 0x%X\n", argv[1], (unsigned int)QZ_GetLastError());
    return 1;
  }
  QZ_GetSDKVersion(version);
  memset(model, 0, sizeof(model));
  QZ_GetModelName(handle, model);
  ok = QZ_WriteDO(handle, 5) == 1 && QZ_ReadDIO(handle, &di, &dout) == 1 && dout == 5;
  printf("kit %s, module %s, DO=%X\n", version, model, dout);
  QZ_Device_Release(handle);
  return ok ? 0 : 1;
}
