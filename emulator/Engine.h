// Inside the module emulator: the event-loop engine and the interface of the
// per-model command handlers.
//
// The engine owns the sockets and the loop thread; it frames the command port into
// lines, applies the test faults, logs every line and passes each remaining line to
// the model's handler, which answers it from the module state. The handler's methods
// run on the loop thread with the engine's lock held; so do the engine's state
// accessors below, which the facade (Emulator) also calls under the same lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "emulator/EmulatorOptions.h"

namespace nivex::emu {

// What the module does with one command line.
struct Answer {
  enum Kind {
    Reply,    // send `text` + CR
    Silent,   // send nothing
    Unknown,  // not a command of this model: "?01"
    Drop,     // send nothing and close the command and data connections
    Restart,  // send nothing and reboot (Engine::Reboot)
  };
  Kind kind = Unknown;
  std::string text;
  // A reply the module sends in pieces: byte offsets into the reply with its CR, pieceGapMs
  // apart (the lines behind it wait).
  std::vector<size_t> splitAt;
  int pieceGapMs = 0;

  static Answer Text(std::string t) { return Answer{Reply, std::move(t), {}, 0}; }
  static Answer Ack() { return Answer{Reply, "!01", {}, 0}; }
  static Answer Refuse() { return Answer{Reply, "?01", {}, 0}; }
  static Answer None() { return Answer{Silent, {}, {}, 0}; }
  static Answer NotACommand() { return Answer{Unknown, {}, {}, 0}; }
  static Answer Disconnect() { return Answer{Drop, {}, {}, 0}; }
  // The answer to the reboot command, as the options set it.
  static Answer Reboot(RebootBehaviour b) {
    switch (b) {
      case RebootBehaviour::Restart: return Answer{Restart, {}, {}, 0};
      case RebootBehaviour::Acknowledge: return Ack();
      case RebootBehaviour::Silent: return None();
      case RebootBehaviour::Drop: return Disconnect();
    }
    return None();
  }
};

// printf into a std::string.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// A table of command patterns, each matched against the whole line (std::regex_match),
// first match wins. The handlers build one per model.
class CommandTable {
 public:
  using Fn = std::function<Answer(const std::smatch&)>;
  void Add(const char* pattern, Fn fn);
  // The answer of the first pattern that matches all of line; NotACommand otherwise.
  Answer Dispatch(const std::string& line) const;

 private:
  struct Row {
    std::regex re;
    Fn fn;
  };
  std::vector<Row> rows_;
};

// The size of a calibration table: channels x codes.
struct CalShape {
  int channels = 0;
  int codes = 0;
};

class Engine;

// One model's command set and module state.
class ModuleHandler {
 public:
  explicit ModuleHandler(Engine& engine) : engine_(engine) {}
  virtual ~ModuleHandler() = default;

  // Answers one command line (without its CR; never empty).
  virtual Answer Handle(const std::string& line) = 0;

  // Offsets from the data port of the data listeners (high-speed: {0}).
  virtual std::vector<int> DataPortOffsets() const { return {0}; }
  // Size of the analog-input and analog-output calibration tables and their unity entry.
  virtual CalShape AICalShape() const { return {}; }
  virtual CalShape AOCalShape() const { return {}; }
  virtual CalEntry UnityAI(int /*gainCode*/) const { return CalEntry{}; }
  virtual CalEntry UnityAO(int /*rangeCode*/) const { return CalEntry{}; }

  // Connection events. `index` is the data listener's position in DataPortOffsets().
  virtual void OnCommandClosed() {}
  virtual void OnDataConnected(int /*index*/) {}
  virtual void OnDataReceived(int /*index*/, const char* /*bytes*/, size_t /*n*/) {}
  virtual void OnDataClosed(int /*index*/) {}
  // The module restarts: every setting returns to its power-on value (the engine has
  // closed the connections; the signals and the calibration tables stay).
  virtual void PowerOn() {}
  // Called on every pass of the loop; returns the milliseconds until the handler wants
  // the next call (< 0: no wish). A data streamer paces itself here.
  virtual int OnTick(int64_t /*nowMs*/) { return -1; }
  // After OnTick: the instant (MonoUs) the handler wants the next call at, to the
  // microsecond (< 0: only OnTick's milliseconds count).
  virtual int64_t NextTickUs() const { return -1; }

 protected:
  Engine& engine_;
};

std::unique_ptr<ModuleHandler> MakeModuleHandler(Model model, Engine& engine);

class Engine {
 public:
  explicit Engine(const Options& options);
  ~Engine();

  bool Start();
  void Stop();
  bool Running() const;

  // The lock of all state below (recursive: handlers call back in while holding it).
  std::recursive_mutex& mutex() const { return mu_; }

  // ---- state, lock held
  Options& options() { return opts_; }
  const Options& options() const { return opts_; }
  ModuleHandler& handler() { return *handler_; }
  unsigned FirmwareVersion() const;
  std::string ModuleName() const;
  // The signal of an input now (its shape at the time since the engine was made), and at a
  // given instant in seconds (a sample of a run: seconds since the run began).
  double Signal(int channel) const;
  double SignalAt(int channel, double seconds) const;
  void SetSignal(int channel, double volts);
  void SetSignalShape(int channel, const SignalShape& shape);
  bool SetCalibration(bool ao, int channel, int code, const CalEntry& e);
  CalEntry Calibration(bool ao, int channel, int code) const;
  unsigned long windowSize = 0;

  // ---- data port, lock held (for the streamer of later models)
  // Queues bytes for the open data connection of listener `index`; false if none.
  bool QueueData(int index, const void* bytes, size_t n);
  // Bytes still queued for that connection.
  size_t DataBacklog(int index) const;
  bool DataConnected(int index) const;
  // Drops the bytes still queued for that connection; returns how many.
  size_t DiscardData(int index);
  // Sets TCP_NODELAY on that connection; false if none.
  bool SetDataNoDelay(int index, bool on);
  // Closes that connection at the loop's next pass (queued bytes are dropped).
  void CloseData(int index);
  // Bytes the data connections have taken (handed to the kernel) since the start.
  uint64_t DataBytesSent() const { return dataBytesOut_; }
  // Makes the loop pass again at once (a test changed what the handler wants).
  void WakeLoop() { Wake(); }
  // Closes the command connection(s) and the data connections (module dropped them).
  void DropConnections();
  // The module restarts: every connection closes, every listener closes, the settings
  // return to their power-on values; the listeners open again after the reboot delay.
  void Reboot();

  // ---- faults and observations
  void AddFault(const Fault& f);
  void ClearFaults();
  std::vector<CommandRecord> CommandLog() const;
  std::vector<std::string> NameRequests() const;
  void ClearCommands();
  int Connections(PortKind k) const;
  int Eofs(PortKind k) const;
  int OpenConnections(PortKind k) const;
  uint64_t DataBytesReceived() const;
  bool WaitFor(const std::function<bool()>& pred, int timeoutMs) const;

  // ---- listeners
  std::vector<int> DataPorts() const;
  bool SetListening(PortKind kind, bool listen);

 private:
  struct Listener {
    int fd = -1;
    PortKind kind = PortKind::Command;
    int index = 0;  // data listener position
    int port = 0;
  };
  struct Timed {
    int64_t dueMs;
    std::string bytes;
  };
  struct Conn {
    uint64_t id = 0;
    int fd = -1;
    PortKind kind = PortKind::Command;
    int index = 0;
    std::string in;
    std::string out;
    std::deque<Timed> timed;  // replies still to go out, holding back the lines behind
    std::vector<Timed> later;  // late replies that hold back nothing
    bool closeNow = false;
  };

  static int Listen(const std::string& ip, int port, PortKind kind);
  static int KindIndex(PortKind k) { return static_cast<int>(k); }
  int64_t NowMs() const;
  void Wake();
  void Loop();
  bool OpenListeners(std::vector<Listener>* out, bool name, bool cmd, bool data) const;
  void Accept(const Listener& l);
  void Receive(Conn& c);
  void ProcessLines(Conn& c);
  void ProcessLine(Conn& c, const std::string& line);
  std::string NameServiceReply(const std::string& line) const;
  Answer CommandAnswer(const std::string& line);
  void SendNow(Conn& c, const std::string& bytes);
  void Flush(Conn& c);
  void CloseConn(Conn& c, bool peerClosed);
  void CloseAll();
  void CloseListeners(PortKind kind);
  // Opens the listeners that a reboot closed once its delay is over; returns the
  // milliseconds still to wait (< 0: no reboot pending).
  int ReopenAfterReboot(int64_t nowMs);
  // The reply text as it goes out (Options::everyDataReplyLeadsGt).
  std::string Lead(std::string text) const;
  bool TakeFault(PortKind kind, const std::string& line, Fault* f);
  void Notify();

  Options opts_;
  std::unique_ptr<ModuleHandler> handler_;
  mutable std::recursive_mutex mu_;
  mutable std::condition_variable_any cv_;

  std::vector<SignalShape> signal_;
  mutable std::mt19937 noise_{20240305u};
  std::chrono::steady_clock::time_point signalEpoch_ = std::chrono::steady_clock::now();
  std::vector<std::vector<CalEntry>> aiCal_;
  std::vector<std::vector<CalEntry>> aoCal_;

  std::vector<Listener> listeners_;
  std::vector<std::unique_ptr<Conn>> conns_;
  uint64_t nextConnId_ = 1;
  std::vector<Fault> faults_;
  std::vector<CommandRecord> log_;
  std::vector<std::string> nameLog_;
  int connections_[3] = {0, 0, 0};
  int eofs_[3] = {0, 0, 0};
  uint64_t dataBytes_ = 0;
  uint64_t dataBytesOut_ = 0;

  std::vector<PortKind> rebootKinds_;  // the listeners to open again after a reboot
  int64_t reopenAtMs_ = -1;            // when (< 0: no reboot pending)

  int wakeFd_ = -1;
  bool running_ = false;
  bool stopRequested_ = false;
  int64_t startMs_ = 0;
  std::thread thread_;
};

}  // namespace nivex::emu
