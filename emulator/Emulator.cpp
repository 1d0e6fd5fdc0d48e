// The module emulator's facade: each call takes the engine's lock and reads or sets its state.
#include "emulator/Emulator.h"

#include <mutex>

#include "emulator/Engine.h"

namespace nivex::emu {

Emulator::Emulator(const Options& options) : engine_(std::make_unique<Engine>(options)) {}
Emulator::~Emulator() { engine_->Stop(); }

bool Emulator::Start() { return engine_->Start(); }
void Emulator::Stop() { engine_->Stop(); }
bool Emulator::Running() const { return engine_->Running(); }
Engine& Emulator::engine() { return *engine_; }

const Options& Emulator::options() const { return engine_->options(); }

std::string Emulator::ConnectionText() const {
  std::lock_guard<std::recursive_mutex> lock(engine_->mutex());
  const Options& o = engine_->options();
  return o.ip + "," + std::to_string(o.cmdPort) + "," + std::to_string(o.dataPort);
}

std::vector<int> Emulator::DataPorts() const { return engine_->DataPorts(); }

void Emulator::SetModuleName(std::optional<std::string> name) {
  std::lock_guard<std::recursive_mutex> lock(engine_->mutex());
  engine_->options().moduleName = std::move(name);
}

void Emulator::SetFirmware(unsigned version, const std::string& date) {
  std::lock_guard<std::recursive_mutex> lock(engine_->mutex());
  engine_->options().firmwareVersion = version;
  engine_->options().firmwareDate = date;
}

void Emulator::SetHwVersionText(const std::string& text) {
  std::lock_guard<std::recursive_mutex> lock(engine_->mutex());
  engine_->options().hwVersionText = text;
}

void Emulator::SetReplyToEmptyLine(bool reply) {
  std::lock_guard<std::recursive_mutex> lock(engine_->mutex());
  engine_->options().replyToEmptyLine = reply;
}

void Emulator::SetReboot(RebootBehaviour b) {
  std::lock_guard<std::recursive_mutex> lock(engine_->mutex());
  engine_->options().reboot = b;
}

void Emulator::SetRebootDelayMs(int ms) {
  std::lock_guard<std::recursive_mutex> lock(engine_->mutex());
  engine_->options().rebootDelayMs = ms;
}

void Emulator::SetEveryDataReplyLeadsGt(bool gt) {
  std::lock_guard<std::recursive_mutex> lock(engine_->mutex());
  engine_->options().everyDataReplyLeadsGt = gt;
}

bool Emulator::SetListening(PortKind kind, bool listen) {
  return engine_->SetListening(kind, listen);
}

void Emulator::SetSignal(int channel, double volts) {
  std::lock_guard<std::recursive_mutex> lock(engine_->mutex());
  engine_->SetSignal(channel, volts);
}

void Emulator::SetSignalShape(int channel, const SignalShape& shape) {
  std::lock_guard<std::recursive_mutex> lock(engine_->mutex());
  engine_->SetSignalShape(channel, shape);
}

double Emulator::Signal(int channel) const {
  std::lock_guard<std::recursive_mutex> lock(engine_->mutex());
  return engine_->Signal(channel);
}

bool Emulator::SetCalibration(int channel, int gain, const CalEntry& e) {
  std::lock_guard<std::recursive_mutex> lock(engine_->mutex());
  return engine_->SetCalibration(false, channel, gain, e);
}

CalEntry Emulator::Calibration(int channel, int gain) const {
  std::lock_guard<std::recursive_mutex> lock(engine_->mutex());
  return engine_->Calibration(false, channel, gain);
}

bool Emulator::SetAOCalibration(int output, int range, const CalEntry& e) {
  std::lock_guard<std::recursive_mutex> lock(engine_->mutex());
  return engine_->SetCalibration(true, output, range, e);
}

CalEntry Emulator::AOCalibration(int output, int range) const {
  std::lock_guard<std::recursive_mutex> lock(engine_->mutex());
  return engine_->Calibration(true, output, range);
}

unsigned long Emulator::WindowSize() const {
  std::lock_guard<std::recursive_mutex> lock(engine_->mutex());
  return engine_->windowSize;
}

void Emulator::AddFault(const Fault& f) { engine_->AddFault(f); }
void Emulator::ClearFaults() { engine_->ClearFaults(); }

std::vector<std::string> Emulator::Commands() const {
  std::vector<std::string> out;
  for (const CommandRecord& r : engine_->CommandLog()) out.push_back(r.text);
  return out;
}

std::vector<CommandRecord> Emulator::CommandLog() const { return engine_->CommandLog(); }
std::vector<std::string> Emulator::NameRequests() const { return engine_->NameRequests(); }
void Emulator::ClearCommands() { engine_->ClearCommands(); }
int Emulator::Connections(PortKind kind) const { return engine_->Connections(kind); }
int Emulator::Eofs(PortKind kind) const { return engine_->Eofs(kind); }
int Emulator::OpenConnections(PortKind kind) const { return engine_->OpenConnections(kind); }
uint64_t Emulator::DataBytesReceived() const { return engine_->DataBytesReceived(); }

bool Emulator::WaitForConnections(PortKind kind, int atLeast, int timeoutMs) const {
  return engine_->WaitFor([&] { return engine_->Connections(kind) >= atLeast; }, timeoutMs);
}

bool Emulator::WaitForEofs(PortKind kind, int atLeast, int timeoutMs) const {
  return engine_->WaitFor([&] { return engine_->Eofs(kind) >= atLeast; }, timeoutMs);
}

bool Emulator::WaitForCommands(size_t atLeast, int timeoutMs) const {
  return engine_->WaitFor([&] { return engine_->CommandLog().size() >= atLeast; }, timeoutMs);
}

}  // namespace nivex::emu
