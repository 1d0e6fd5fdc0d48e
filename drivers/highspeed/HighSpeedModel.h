// What the three high-speed drivers (RX5K10, RX5K30, RXBN500) share: the data port and the two
// sockets, connection and disconnection, the window-size and hardware-version commands, the
// calibration tables, and helpers that format a command, exchange it and read reply fields.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "framework/RXMODEL_Class.h"

namespace nivex {

// The factory calibration of one high-speed module as loaded at connect, in one form for the
// three types and for stored logs. All entries start at zero. Indexed [channel][gain code]
// (analog inputs) and [output][range code] (analog outputs).
struct HighSpeedCalibration {
  static constexpr int kMaxChannels = 8;  // analog inputs of the largest type
  static constexpr int kMaxRanges = 10;   // gain codes of the largest type
  static constexpr int kMaxAO = 2;        // analog outputs (RX5K30)
  static constexpr int kMaxAORanges = 4;  // analog output ranges (RX5K30)

  // RX5K10, RX5K30: gain (32768 = unity) and offset (codes) per channel and gain code.
  uint16_t gain[kMaxChannels][kMaxRanges] = {};
  int16_t offset[kMaxChannels][kMaxRanges] = {};
  // RX5K30: the range voltage of each gain code, shared by all channels.
  float range[kMaxRanges] = {};
  // RX5K30: analog-output gain and offset per output and range code.
  uint16_t aoGain[kMaxAO][kMaxAORanges] = {};
  int16_t aoOffset[kMaxAO][kMaxAORanges] = {};
  // RXBN500: gain (10.0 = unity) and offset (24-bit codes) per channel.
  float bnGain[kMaxChannels] = {};
  int32_t bnOffset[kMaxChannels] = {};
};

class HighSpeedModel : public MODEL {
 public:
  // The size of a reply buffer for Exchange.
  static constexpr size_t kReplySize = 256;
  // The receive window announced to the module at connect.
  static constexpr unsigned int kWindowSize = 32768;

  HighSpeedModel(const char* ip, int cmdPort, int dataPort, WRXmodule row);
  ~HighSpeedModel() override;

  // Opens the command and the data socket, announces the window size and loads the
  // calibration. 1 on success; 0 with 0x17006 (a socket) or 0x13007 (calibration), and then
  // no socket is left open. Connecting an object that is connected starts afresh.
  int ConnectServer() override;
  // Closes the sockets that are open; always 1.
  int DisconnectServer() override;
  // "$01F": the hardware version as "V%x" of the decimal number the module answers. 0 when
  // the exchange fails or the module refuses; the text is then empty.
  int GetFPGAVersion(char* text) override;
  // "~01WS%06lu"; the reply is not examined; always 1.
  int SetWinSize(unsigned int bytes) override;

  // The socket of the command port (-1 when not connected).
  int CommandSocket() const { return cmdSock; }

  unsigned int dataPort;
  int cmdSock = -1;
  int dataSock = -1;
  // Run flag of the device's worker thread.
  std::atomic<bool> runFlag{false};
  HighSpeedCalibration cal;

 protected:
  // Formats a command as printf does and exchanges it on the command socket with SendRec:
  // 1 with the reply (kReplySize bytes) or 0 with the exchange's error. A command that does
  // not fit 254 characters is refused with 0x1300C and not sent.
  int Exchange(char* reply, int timeoutMs, const char* format, ...)
      __attribute__((format(printf, 4, 5)));

  // Reads `digits` hexadecimal characters at position pos of reply into *value. False when
  // the reply ends before them or any of them is not a hexadecimal digit.
  static bool HexField(const char* reply, size_t pos, size_t digits, uint32_t* value);

  // The AI count and gain-code count of the row, bounded by the calibration tables.
  int Channels() const;
  int Ranges() const;
};

}  // namespace nivex
