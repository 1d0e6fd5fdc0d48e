// The emulator's option and record types: the module types, the options a module starts with,
// the command faults, the command records, the input signals and the calibration entries. The
// facade (emulator/Emulator.h) and the engine (emulator/Engine.h) share them.
#pragma once

#include <cstddef>
#include <cstdint>
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

}  // namespace nivex::emu
