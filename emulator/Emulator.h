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

namespace nivex::emu {

enum class Model { RX5K10, RX5K30, RXBN500, D4071s, D3054s };

// "RX5K10", "RX5K30", "RXBN500", "D4071s", "D3054s".
const char* ModelText(Model m);
// Parses the texts of ModelText (case as written); false for anything else.
bool ParseModel(const std::string& text, Model* m);

// The kinds of port the emulator serves.
enum class PortKind { Name, Command, Data };

// What the module does at the reboot command ("Q", "$01Q").
enum class RebootBehaviour {
  Restart,      // as a module does (default): no reply; every connection closes, every port
                // stops listening, the settings return to their power-on values, and the
                // ports listen again after Options::rebootDelayMs
  Acknowledge,  // fault mode: replies "!01" and carries on as before
  Silent,       // fault mode: no reply, nothing else
  Drop,         // fault mode: no reply; closes the command and data connections
};

struct Options {
  Model model = Model::RX5K10;
  std::string ip = "127.0.0.1";
  int namePort = 10000;  // fixed for the kit; changeable only for tests of this library
  int cmdPort = 9999;
  int dataPort = 10010;  // slot carriers: first data port; each slot adds its offset

  bool nameService = true;    // false: nothing listens on the name port
  bool listenCommand = true;  // false: nothing listens on the command port
  bool listenData = true;     // false: nothing listens on the data port(s)

  // Firmware version reported by the name service; 0 chooses the model's current one.
  unsigned firmwareVersion = 0;
  // Firmware date reported by the name service (at least 4 characters keeps its layout).
  std::string firmwareDate = "Mar 05 2024 10:11:12";
  // Module name reported by the name service; unset chooses the model's name. An empty
  // text makes the reply carry no name; any text is sent as it is.
  std::optional<std::string> moduleName;
  // The text after the lead '!' of the hardware-version reply ("$01F" on the
  // high-speed types): decimal digits, or "" for a reply holding only its lead.
  std::string hwVersionText = "12";

  // Slot carriers: the cards present (emulator/SlotCarrierModule.h); empty chooses the model's
  // default. D4071s: one character per position 0-7, '1' = card ("11111111"); D3054s: one
  // card character per slot ("1199").
  std::string slotLayout;

  // Reply to an empty command line: "?01" when true (default), nothing when false.
  bool replyToEmptyLine = true;
  RebootBehaviour reboot = RebootBehaviour::Restart;
  // Restart: how long the module is away before its ports listen again.
  int rebootDelayMs = 200;
  // Replies that carry data lead with '>' where the module's protocol names that lead. When
  // true, every reply with data leads with '>' (acknowledgements stay "!01", refusals "?01").
  bool everyDataReplyLeadsGt = false;
};

// The model's name-service name, its current firmware version and its hardware channel
// count (analog inputs).
std::string DefaultModuleName(Model m);
unsigned DefaultFirmwareVersion(Model m);
int AnalogInputs(Model m);

// ------------------------------------------------------------------ faults

enum class FaultKind {
  NoReply,  // the command is swallowed
  Delay,    // the reply goes out delayMs late (see Fault::inOrder)
  Refuse,   // "?01" instead of the reply
  Reply,    // `text` instead of the reply (any text, e.g. of a wrong length)
  Split,    // the reply (or `text` when set) goes out in pieces, delayMs apart
  Close,    // the connection is closed without a reply
};

// A fault applies to the lines on `port` that match `command`: the whole line when
// `prefix` is false, its beginning when true. Name-service requests are the lines "10"
// and "01" on PortKind::Name. `count` is how many matching lines it takes (< 0: all).
// The first fault that matches a line takes it; used-up faults drop out. With Delay and
// Split the command still takes effect and only its reply is shaped; with the other
// kinds the module does not carry it out.
struct Fault {
  PortKind port = PortKind::Command;
  std::string command;
  bool prefix = false;
  FaultKind kind = FaultKind::NoReply;
  int count = 1;
  int delayMs = 0;                  // Delay: the lateness; Split: the pause between pieces
  std::string text;                 // Reply (and optionally Split): reply text without CR
  std::vector<size_t> splitAt;      // Split: byte offsets into the reply incl. its CR;
                                    // empty splits it in two halves
  // Delay and Split: true (default) makes the lines that arrive meanwhile wait behind the
  // shaped reply, as a module that answers in order; false answers them at once, so the
  // late reply arrives after theirs.
  bool inOrder = true;
};

// ------------------------------------------------------------------ observations

struct CommandRecord {
  std::string text;  // the line without its CR
  int64_t atMs;      // milliseconds since Start()
};

// ------------------------------------------------------------------ signals

// The signal at one analog input, in volts.
struct SignalShape {
  enum Kind { Steady, Sine, Ramp };
  Kind kind = Steady;
  double level = 0.0;      // the steady level, or the centre of a sine or ramp
  double amplitude = 0.0;  // a sine's peak, half a ramp's span (it rises from level - amplitude)
  double hz = 1.0;         // sine and ramp: periods per second
  double noise = 0.0;      // the peak of the uniform noise added to every reading
};

// ------------------------------------------------------------------ calibration

// One calibration entry as the module reports it.
//   RX5K10, RX5K30, D4071s: gain (0x8000 = unity) and offset (int16 codes).
//   RX5K30 also rangeMv: the range of the gain code in millivolts.
//   RXBN500: gain x 1000 (10000 = 10.0 = unity) and offset (int32 24-bit codes).
struct CalEntry {
  unsigned gain = 0x8000;
  int offset = 0;
  unsigned rangeMv = 0;
};

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
  // SetSignal makes it a steady level without noise; Signal gives its value now.
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
