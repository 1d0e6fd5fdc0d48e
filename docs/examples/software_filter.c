/* A software filter (RXBN500: one per input 0-3), applied as QZ_GetAIBuffer takes samples. */
#include <nivex.h>

int software_filter_example(void *h) {
  unsigned short channels, gain, trigger, transferMode, ackMode;
  unsigned int rate, target;
  if (!QZ_SetAIScanParam(h, 1, 0, 0, 10000, 10000, 0, 0)) return 0;
  /* The filter is designed for the rate the module runs: 10,000 asked runs 10,240. */
  if (!QZ_GetAIScanParam(h, &channels, &gain, &trigger, &rate, &target, &transferMode, &ackMode))
    return 0;
  if (!QZ_Init_Software_Filter(h, 0, 64, (int)rate)) return 0; /* order: a multiple of 4 */
  if (!QZ_Set_LowPassFilter(h, 0, 1, 500.0f)) return 0;      /* enable 1: 500 Hz low pass */
  return QZ_StartAIScan(h); /* QZ_GetAIBuffer gives channel 0 filtered */
}
