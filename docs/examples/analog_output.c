/* Analog outputs (RX5K30: channels 0-1, range codes 0-3). */
#include <nivex.h>

int analog_output_example(void *h) {
  if (!QZ_WriteAO(h, 0, 0, 2.5f)) return 0; /* output 0, range code 0: 2.5 V */
  return QZ_WriteAOHEX(h, 1, 0, 0x4000);    /* output 1, range code 0: a 16-bit code */
}
