/* Sync-in frames (RX5K10): each frame a header and the items of the layout. */
#define _POSIX_C_SOURCE 200809L /* nanosleep */
#include <nivex.h>
#include <time.h>

int sync_in_example(void *h) {
  unsigned short types[1] = {1};  /* item 0: 16-bit analog codes */
  unsigned short counts[1] = {4}; /* of inputs 0-3 */
  unsigned int headers[8], codes[8 * 4], frames = 0;
  unsigned short status = 0;
  struct timespec pause = {0, 10000000L};
  int waits = 0;
  /* A continuous software-triggered scan of at most 10,000 samples per second. */
  if (!QZ_SetAIScanParam(h, 2, 0, 0, 500, 0, 0, 0)) return 0;
  if (!QZ_SetSyncInScanParam(h, 1, counts, types, 1, QZ_SYNCIN_ENABLE, 0)) return 0;
  if (!QZ_StartAIScan(h)) return 0;
  while (QZ_GetSyncInBufferStatus(h, &status, &frames) && frames == 0 && ++waits < 200)
    nanosleep(&pause, NULL);
  /* Up to 8 whole frames: frame f's header in headers[f], its codes at codes[f * 4 + k]. */
  return QZ_GetSyncInBufferLV(h, headers, codes, NULL, NULL, NULL, NULL, NULL, NULL, 8) > 0;
}
