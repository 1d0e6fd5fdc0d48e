// quillrun: logs a software-triggered scan of an RXBN500 module (1000 samples on four channels
// at 10000 samples/s) to binary files below the working folder, waits until the module has
// delivered them (q quits), asks the module for its remaining data, stops the logger, then
// lists the logs it wrote and prints each one's settings, calibration and sample count.
//
//   quillrun 192.168.0.10
//
// Keys are read from standard input without Enter when it is a terminal; the end of the input
// (a closed pipe, /dev/null) quits as q does.
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "nivex.h"
#include "support/utility.h"

namespace {

struct termios gSaved;
bool gSavedOk = false;

// 1 when a key (or the end of the input) is waiting on standard input, else 0.
int kbhit() {
  fd_set in;
  FD_ZERO(&in);
  FD_SET(STDIN_FILENO, &in);
  timeval zero = {0, 0};
  return select(STDIN_FILENO + 1, &in, nullptr, nullptr, &zero) > 0 ? 1 : 0;
}

// on 1: keys without Enter and without echo; otherwise the terminal as it was. The settings
// are restored only when they could be saved (standard input may be no terminal).
int changemode(int on) {
  if (on == 1) {
    gSavedOk = tcgetattr(STDIN_FILENO, &gSaved) == 0;
    if (!gSavedOk) return -1;
    struct termios raw = gSaved;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    return tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  }
  return gSavedOk ? tcsetattr(STDIN_FILENO, TCSANOW, &gSaved) : -1;
}

// Replaces every `from` in text by `to`, in place; 0.
int ReplaceChar(char* text, char from, char to) {
  for (char* p = text; p != nullptr && *p != '\0'; ++p)
    if (*p == from) *p = to;
  return 0;
}

// Prints what one stored log holds and reads its samples.
void ShowLog(int index) {
  char name[QZ_LOG_PATH_SIZE] = {};
  void* log = QZ_LogFile_Open_byIndex(index, name);
  std::printf("%d ==>%s\r\n", index, name);

  unsigned short channels = 0, gain = 0, trigger = 0, transfer = 0, sync = 0;
  unsigned int rate = 0;
  QZ_GetLogFile_AIScanConfigInfo(log, &channels, &gain, &trigger, &rate, &transfer, &sync);
  std::printf("%d, %d, %d, %ld, %d, %d\r\n", channels, gain, trigger, static_cast<long>(rate),
              transfer, sync);
  for (int j = 0; j < channels; ++j) {
    unsigned short g = 0, o = 0;
    QZ_GetLogFile_GainOffset(log, j, gain, &g, &o);
    std::printf("%d, %d, %d\r\n", j, g, static_cast<short>(o));
  }
  char model[QZ_LOG_NAME_SIZE] = {};
  unsigned int size = 0, type = 0, reserved = 0;
  QZ_GetLogFileInfo(log, model, &size, &type, &reserved);
  std::printf("%ld, %d\r\n", static_cast<long>(size), static_cast<int>(type));
  unsigned int count = 0;
  char date[32] = {}, time[32] = {};
  QZ_GetLogFile_AIScanSampleInfo(log, &count, date, time);
  std::printf("%ld, %s %s\r\n", static_cast<long>(count), date, time);
  void* samples = std::malloc(sizeof(unsigned int) * (count > 0 ? count : 1));
  if (samples != nullptr) QZ_GetLogFile_AIDataHex(log, 0, count, samples);
  std::free(samples);
  QZ_LogFile_Close(log);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::puts("error argument\r");
    return 0;
  }
  std::printf("%d,%s\r\n", argc, argv[1]);
  std::string address = argv[1];
  const std::string connection = address + ",9999,10010";

  std::puts("RX-BNx00 Analog Input Scan Testing [N sample mode & Software trigger]\r");
  char version[QZ_SDK_VERSION_SIZE] = {};
  QZ_GetSDKVersion(version);
  std::printf("NIVEX SDK Ver=%s\r\n", version);

  changemode(1);
  void* handle = QZ_Device_Create(connection.c_str());
  nivex::msleep(1);
  if (handle == nullptr) {
    changemode(0);
    return 0;
  }
  char firmware[QZ_FIRMWARE_VERSION_SIZE] = {};
  QZ_GetFirmwareVersion(handle, firmware);
  std::printf("RXBNx00 Firmware Ver=%s\r\n", firmware);

  if (QZ_SetAIScanParam(handle, 4, 0, 0, 10000, 1000, 0, 0) != 1)
    std::puts("Set AIscan param failed\r");
  unsigned short chCnt = 0, gain = 0, trigger = 0, transferMode = 0, ackMode = 0;
  unsigned int rate = 0, target = 0;
  QZ_GetAIScanParam(handle, &chCnt, &gain, &trigger, &rate, &target, &transferMode, &ackMode);
  std::printf(
      "RX-BNx00 first Scan parameters chCnt %d, useGain %d, triggMode %d, sampleRate %ld, "
      "targetCnt %lu \n",
      chCnt, gain, trigger, static_cast<long>(rate), static_cast<unsigned long>(target));

  nivex::msleep(10);
  char folder[QZ_LOG_PATH_SIZE] = {};
  if (getcwd(folder, sizeof folder) == nullptr) folder[0] = '\0';
  std::printf(">>>%s\n", folder);
  if (QZ_StartLogger(handle, folder, 2, QZ_LOG_BINARY) != 1)
    std::printf("Error code 0x%x\r\n", static_cast<unsigned int>(QZ_GetLastError()));

  unsigned int total = 0;
  for (;;) {
    unsigned int status = 0;
    if (QZ_GetTotalSamplingStatus(handle, &total, &status) == 1) {
      if (target != 0 && total >= target) break;
      std::printf(".");
    } else {
      std::printf("Error code 0x%x\r\n", static_cast<unsigned int>(QZ_GetLastError()));
    }
    if (!kbhit()) {
      nivex::msleep(100);
      continue;
    }
    char key = 0;
    const ssize_t got = read(STDIN_FILENO, &key, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got == 1) std::putchar(key);
    // q, or the end of the input: the device is released (which stops the logger).
    if (got != 1 || key == 'q' || key == 'Q') {
      QZ_Device_Release(handle);
      changemode(0);
      return 0;
    }
  }

  QZ_TransmitDataCmd(handle);
  std::puts("Send command to get all acquisition data...");
  nivex::msleep(6000);
  QZ_StopLogger(handle);
  std::printf("AP total read %lu\n", static_cast<unsigned long>(total));
  QZ_Device_Release(handle);

  ReplaceChar(&address[0], '.', '_');
  const std::string logs = std::string(folder) + "/log/" + address;
  const int count = QZ_GetAllLogFiles(logs.c_str(), 0);
  std::printf("ind=%d\r\n", count);
  for (int i = 0; i < count; ++i) ShowLog(i);
  changemode(0);
  return 0;
}
