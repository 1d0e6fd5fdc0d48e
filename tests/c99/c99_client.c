/* A plain C99 application: it includes only nivex.h and links the shared library. */
#include <nivex.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>

static int g_other_thread_code = -1;

static void *other_thread(void *arg) {
  (void)arg;
  g_other_thread_code = QZ_GetLastError();
  QZ_SetLastError(QZ_ERR_DEVICE_RESPONSE);
  return NULL;
}

static int failures = 0;
#define CHECK(cond)                                                 \
  do {                                                              \
    if (!(cond)) {                                                  \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      failures++;                                                   \
    }                                                               \
  } while (0)

int main(void) {
  char text[QZ_FAULT_TEXT_SIZE];
  pthread_t t;

  QZ_SetLastError(QZ_ERR_DEVICE_READ_TIMEOUT);
  CHECK(QZ_GetLastError() == 0x17002);

  QZ_GetFaultText(QZ_ERR_DEVICE_READ_TIMEOUT, text);
  CHECK(strcmp(text, "Device read timeout") == 0);
  QZ_GetFaultText(0, text);
  CHECK(strcmp(text, "Unknow error code!") == 0);
  QZ_GetFaultText(0x7FFFFFFFu, text);
  CHECK(strcmp(text, "Unknow error code!") == 0);

  CHECK(pthread_create(&t, NULL, other_thread, NULL) == 0);
  CHECK(pthread_join(t, NULL) == 0);
  CHECK(g_other_thread_code == 0);
  CHECK(QZ_GetLastError() == 0x17002);

  QZ_ClearLastError();
  CHECK(QZ_GetLastError() == 0);

  printf("%d passed, %d failed\n", failures ? 0 : 1, failures ? 1 : 0);
  return failures ? 1 : 0;
}
