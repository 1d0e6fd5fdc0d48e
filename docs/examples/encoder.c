/* The encoder (RX5K30: encoder 0, mode 0-2, settings 0-8 and 0-3). */
#include <nivex.h>

int encoder_example(void *h) {
  int mode = 0, first = 0, second = 0;
  unsigned int count = 0;
  if (!QZ_SetEncoderMode(h, 0, 1, 0, 0)) return 0;
  if (!QZ_GetEncoderMode(h, 0, &mode, &first, &second)) return 0; /* as the module runs it */
  if (!QZ_ClearEncoder(h, 0)) return 0;                           /* the count from 0 */
  return QZ_ReadEncoder(h, 0, &count);
}
