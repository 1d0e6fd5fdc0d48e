// The module emulator: a stand-in for one networked acquisition module.
//
// It serves, on its own IPv4 address, the name service (port 10000), the command port
// and the data port(s) from one event-loop thread that polls every listener and
// connection. Tests start it in-process; the program nivex-emu wraps it.
//
//   nivex::emu::Options o;
//   o.model = nivex::emu::Model::RX5K10;
//   o.ip = "127.3.4.5";
//   nivex::emu::Emulator e(o);
//   if (!e.Start()) ...;            // every port listens once Start returns true
//   ... e.Commands() ...            // every command line received, in order
//   e.Stop();                       // or let the destructor stop it
//
// The emulator is independent of the kit: it links nothing of libnivex.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emulator/EmulatorOptions.h"

namespace nivex::emu {

class Engine;

class Emulator {
 public:
  explicit Emulator(const Options& options);
  ~Emulator();  // stops
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  // Binds and listens on every port, then starts the event loop. Returns once every
  // port listens; false (nothing left open) when a bind fails or it already runs.
  bool Start();
  // Closes every connection and listener and joins the event loop. Idempotent.
  void Stop();
  bool Running() const;

  // The options (read the fields that do not change while running: model, ip, ports).
  const Options& options() const;
  // "ip,cmdPort,dataPort", the connection text of this module.
  std::string ConnectionText() const;
  // The data ports that listen (high-speed: one; slot carriers: one per slot).
  std::vector<int> DataPorts() const;

  // ---- identity, changeable while running
  void SetModuleName(std::optional<std::string> name);
  void SetFirmware(unsigned version, const std::string& date);
  void SetHwVersionText(const std::string& text);
  void SetReplyToEmptyLine(bool reply);
  void SetReboot(RebootBehaviour b);
  void SetRebootDelayMs(int ms);
  void SetEveryDataReplyLeadsGt(bool gt);
  // Opens or closes the listener(s) of one port kind while running (connections stay).
  bool SetListening(PortKind kind, bool listen);

  // ---- module state
  // Analog signal per input channel in volts (shared by single reads and the stream).
  // SetSignal makes it a steady level without noise; Signal gives its value now. A stream
  // takes each sample's value at its own instant (row / rate into the run).
  void SetSignal(int channel, double volts);
  void SetSignalShape(int channel, const SignalShape& shape);
  double Signal(int channel) const;
  // Calibration table of the analog inputs (channel, gain code) and, on the RX5K30,
  // of the analog outputs (output, range code). Unity by default.
  bool SetCalibration(int channel, int gain, const CalEntry& e);
  CalEntry Calibration(int channel, int gain) const;
  bool SetAOCalibration(int output, int range, const CalEntry& e);
  CalEntry AOCalibration(int output, int range) const;
  // Window size last set by "~01WS" (0 before).
  unsigned long WindowSize() const;

  // ---- faults
  void AddFault(const Fault& f);
  void ClearFaults();

  // ---- observations
  // Every line received on the command port(s), exact text without CR, in order.
  std::vector<std::string> Commands() const;
  std::vector<CommandRecord> CommandLog() const;
  // Every request line received by the name service ("10", "01"), in order.
  std::vector<std::string> NameRequests() const;
  void ClearCommands();
  // Connections accepted and ends of stream (peer closed) seen, per port kind.
  int Connections(PortKind kind) const;
  int Eofs(PortKind kind) const;
  // Connections of that kind currently open.
  int OpenConnections(PortKind kind) const;
  // Bytes received on the data port(s) (the host's acknowledgements).
  uint64_t DataBytesReceived() const;

  // Waits (up to timeoutMs) until the counters reach at least the given values.
  bool WaitForConnections(PortKind kind, int atLeast, int timeoutMs) const;
  bool WaitForEofs(PortKind kind, int atLeast, int timeoutMs) const;
  bool WaitForCommands(size_t atLeast, int timeoutMs) const;

  // The engine behind the facade (for the model handlers of this library).
  Engine& engine();

 private:
  std::unique_ptr<Engine> engine_;
};

}  // namespace nivex::emu
