/* Analog trigger: the scan waits for a level on an enabled channel. The samples are drained as
 * in the first application; QZ_StopAIScan ends the scan. */
#include <nivex.h>

/* RX5K10, RX5K30, RXBN500: trigger mode 6, buffered. */
int analog_trigger_example(void *h) {
  char enable[2] = {1, 0};         /* channel 0 triggers, channel 1 does not */
  float high[2] = {1.0f, 0.0f};    /* volts at the scan's gain code */
  float low[2] = {-1.0f, 0.0f};
  /* 2 channels, gain code 0, mode 6, 1000 per second, 4000 samples of both channels */
  if (!QZ_SetAIScanParam(h, 2, 0, 6, 1000, 4000, 0, 0)) return 0;
  /* type 0; 1000 samples before the trigger and 3000 after it: together the target */
  if (!QZ_SetAIAnalogTriggerParam(h, 0, enable, high, low, 2, 1000, 3000)) return 0;
  return QZ_StartAIScan(h);
}

/* D4071s: trigger mode 2 ends at the module's trigger index plus the post-trigger count. */
int slot_trigger_example(void *h) {
  char enable[16] = {1};           /* channel 0 of 16 (slots 0 and 1) triggers */
  float high[16] = {1.0f}, low[16] = {-1.0f};
  if (!QZ_SetAIScanParam(h, 16, 0, 2, 1000, 4000, 0, 0)) return 0;
  if (!QZ_SetAIAnalogTriggerParam(h, 0, enable, high, low, 16, 1000, 3000)) return 0;
  return QZ_StartAIScan(h);
}
