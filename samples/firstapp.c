/*
 * firstapp: a first application of the kit, in plain C with nothing but nivex.h.
 *
 * It opens a module, reads its first inputs once, runs a one-second scan and drains the host
 * ring while it fills (the mean of each channel), then logs a short scan to files below the
 * working folder, reads that log back and releases the module. Every failure prints the
 * function, the error code and its text, and ends the program with status 1.
 *
 *   firstapp 192.168.0.10
 */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "nivex.h"

#define CHANNELS 4      /* inputs 0-3 */
#define GAIN 0          /* gain code 0 */
#define RATE 1000       /* samples per second and channel */
#define SCAN_TARGET 4000 /* samples of all channels: one second of four channels */
#define LOG_TARGET 2000
#define CHUNK 1024      /* samples taken from the ring at a time */

static void pause_ms(long ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}

/* Prints what failed with the calling thread's last error and its text. */
static int failed(const char *what) {
  char text[QZ_FAULT_TEXT_SIZE];
  const unsigned int code = (unsigned int)QZ_GetLastError();
  QZ_GetFaultText(code, text);
  printf("%s failed: error 0x%X (%s)\n", what, code, text);
  return 1;
}

/* Starts the scan set last, drains the ring until the target is in or the scan ends, stops
 * it and prints each channel's mean. 0 on success, 1 on a failure. */
static int scan(void *device, unsigned int target) {
  static float volts[CHUNK];
  double sum[CHANNELS] = {0};
  unsigned int taken = 0;
  unsigned short status = 0;
  int waits = 0;
  int ch;

  if (QZ_StartAIScan(device) != 1) return failed("QZ_StartAIScan");
  while (taken < target) {
    unsigned int ready = 0;
    QZ_GetAIBufferStatus(device, &status, &ready);
    if (ready > 0) {
      const unsigned int want = ready < CHUNK ? ready : CHUNK;
      const int n = QZ_GetAIBuffer(device, volts, want);
      int i;
      for (i = 0; i < n; ++i) sum[(taken + (unsigned int)i) % CHANNELS] += volts[i];
      taken += (unsigned int)n;
      waits = 0;
      continue;
    }
    /* An empty ring and an ended scan: nothing more will come. */
    if (status & (QZ_BUF_SCAN_ENDED | QZ_BUF_SCAN_TIMEOUT)) break;
    if (++waits > 1000) break; /* ten seconds without a sample */
    pause_ms(10);
  }
  QZ_StopAIScan(device);
  if (status & QZ_BUF_OVERFLOW) printf("the ring overflowed: samples were lost\n");
  printf("scan: %u of %u samples\n", taken, target);
  for (ch = 0; ch < CHANNELS && taken >= CHANNELS; ++ch)
    printf("  channel %d mean %.4f V\n", ch, sum[ch] / (taken / CHANNELS));
  return taken == target ? 0 : 1;
}

/* Logs a scan of LOG_TARGET samples below folder and waits until the logger has ended. */
static int log_run(void *device, char *folder) {
  unsigned short status = 0;
  unsigned int size = 0;
  int waits = 0;
  if (QZ_SetAIScanParam(device, CHANNELS, GAIN, 0, RATE, LOG_TARGET, 0, 0) != 1)
    return failed("QZ_SetAIScanParam");
  /* The run's ".config" file goes to <folder>/config, its data files below <folder>/log, a new
   * data file every minute (the reading back takes every file there is). */
  if (QZ_StartLogger(device, folder, 1, QZ_LOG_BINARY) != 1) return failed("QZ_StartLogger");
  do {
    pause_ms(10);
    QZ_GetAIBufferStatus(device, &status, &size);
  } while (!(status & QZ_BUF_LOG_ENDED) && ++waits < 1000);
  QZ_StopLogger(device);
  if (!(status & QZ_BUF_TARGET_REACHED)) {
    printf("the logger ended early (status 0x%X)\n", status);
    return 1;
  }
  return 0;
}

/* Reads one stored log back in volts: adds each channel's values to sum and returns the
 * samples read (*count: the samples the log holds), or -1 when it does not open. */
static int read_one_log(int index, double *sum, unsigned int *count) {
  char path[QZ_LOG_PATH_SIZE], date[QZ_LOG_DATE_SIZE], time_text[QZ_LOG_TIME_SIZE];
  unsigned short channels = 0, gain = 0, trigger = 0, transfer = 0, sync = 0;
  unsigned int rate = 0, got, i;
  unsigned int *codes;
  void *log = QZ_LogFile_Open_byIndex(index, path);
  if (log == NULL) {
    failed("QZ_LogFile_Open_byIndex");
    return -1;
  }
  QZ_GetLogFile_AIScanConfigInfo(log, &channels, &gain, &trigger, &rate, &transfer, &sync);
  QZ_GetLogFile_AIScanSampleInfo(log, count, date, time_text);
  printf("log %s: %u channels at %u samples/s, started %s %s\n", path, channels, rate, date,
         time_text);
  codes = malloc(sizeof(unsigned int) * (*count > 0 ? *count : 1));
  if (codes == NULL || channels != CHANNELS) {
    free(codes);
    QZ_LogFile_Close(log);
    return -1;
  }
  /* Raw samples in file order; a 16-bit module's code sits in the low half of each slot.
   * Every data file of a run starts with channel 0 (files are cut after a whole row). */
  got = (unsigned int)QZ_GetLogFile_AIDataHex(log, 0, *count, codes);
  for (i = 0; i < got; ++i) {
    float v = 0.0f;
    QZ_Calibrate_Data_Float(log, (int)(i % CHANNELS), gain, (int)(short)(codes[i] & 0xFFFF), &v);
    sum[i % CHANNELS] += v;
  }
  free(codes);
  QZ_LogFile_Close(log);
  return (int)got;
}

/* Lists the data files of this module below folder and reads each back. */
static int read_logs(const char *folder, const char *address) {
  char logs[2 * QZ_LOG_PATH_SIZE];
  double sum[CHANNELS] = {0};
  unsigned int read = 0, held = 0;
  int files, f, ch;
  char *p;

  /* <folder>/log/<address with '_' for '.'> */
  snprintf(logs, sizeof logs, "%s/log/%s", folder, address);
  for (p = logs + strlen(folder); *p != '\0'; ++p)
    if (*p == '.') *p = '_';
  files = QZ_GetAllLogFiles(logs, 0); /* type 0: the ".bin" data files */
  for (f = 0; f < files; ++f) {
    unsigned int count = 0;
    const int got = read_one_log(f, sum, &count);
    if (got < 0) return 1;
    read += (unsigned int)got;
    held += count;
  }
  for (ch = 0; ch < CHANNELS && read >= CHANNELS; ++ch)
    printf("  channel %d mean %.4f V\n", ch, sum[ch] / (read / CHANNELS));
  printf("log read back: %u of %u samples\n", read, held);
  return files > 0 && read == held && held == LOG_TARGET ? 0 : 1;
}

int main(int argc, char **argv) {
  char name[QZ_MODEL_NAME_SIZE], firmware[QZ_FIRMWARE_VERSION_SIZE], folder[QZ_LOG_PATH_SIZE];
  float volts[CHANNELS];
  unsigned short channels = 0, gain = 0, trigger = 0, transfer = 0, ack = 0;
  unsigned int rate = 0, target = 0;
  void *device;
  int ch, bad;

  if (argc < 2) {
    printf("usage: firstapp <module address>\n");
    return 2;
  }
  if (getcwd(folder, sizeof folder) == NULL) return 1;

  /* Open: "ip", "ip,commandPort" or "ip,commandPort,dataPort". */
  device = QZ_Device_Create(argv[1]);
  if (device == NULL) return failed("QZ_Device_Create");
  QZ_GetModelName(device, name);
  QZ_GetFirmwareVersion(device, firmware);
  printf("opened %s, firmware %s\n", name, firmware);

  /* One-shot reads: the first inputs in volts at gain code 0. */
  if (QZ_ReadAIALL(device, GAIN, volts, CHANNELS) != 1) {
    bad = failed("QZ_ReadAIALL");
    QZ_Device_Release(device);
    return bad;
  }
  for (ch = 0; ch < CHANNELS; ++ch) printf("input %d: %.4f V\n", ch, volts[ch]);

  /* Scan parameters: channels, gain code, trigger mode 0 (software: the start starts it),
   * rate, target count (0 would be continuous), transfer mode 0, acknowledge mode 0. */
  if (QZ_SetAIScanParam(device, CHANNELS, GAIN, 0, RATE, SCAN_TARGET, 0, 0) != 1) {
    bad = failed("QZ_SetAIScanParam");
    QZ_Device_Release(device);
    return bad;
  }
  QZ_GetAIScanParam(device, &channels, &gain, &trigger, &rate, &target, &transfer, &ack);
  printf("scan parameters: %u channels, gain %u, trigger %u, %u samples/s, target %u\n",
         channels, gain, trigger, rate, target);

  bad = scan(device, target);
  if (!bad) bad = log_run(device, folder);
  QZ_Device_Release(device);
  if (bad) return 1;
  return read_logs(folder, argv[1]);
}
