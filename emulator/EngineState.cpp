// The engine's module state (identity, signals, calibration tables) and its observations
// (command log, connection counters, faults), read and set under the engine's lock.
#include <chrono>
#include <cmath>

#include "emulator/Engine.h"

namespace nivex::emu {

unsigned Engine::FirmwareVersion() const {
  return opts_.firmwareVersion ? opts_.firmwareVersion : DefaultFirmwareVersion(opts_.model);
}

std::string Engine::ModuleName() const {
  return opts_.moduleName ? *opts_.moduleName : DefaultModuleName(opts_.model);
}

double Engine::Signal(int channel) const {
  return SignalAt(channel, std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                                         signalEpoch_).count());
}

double Engine::SignalAt(int channel, double t) const {
  if (channel < 0 || channel >= static_cast<int>(signal_.size())) return 0.0;
  const SignalShape& s = signal_[static_cast<size_t>(channel)];
  double v = s.level;
  if (s.kind == SignalShape::Sine) {
    v += s.amplitude * std::sin(2.0 * M_PI * s.hz * t);
  } else if (s.kind == SignalShape::Ramp) {
    const double phase = s.hz * t - std::floor(s.hz * t);
    v += s.amplitude * (2.0 * phase - 1.0);
  }
  if (s.noise > 0.0) v += std::uniform_real_distribution<double>(-s.noise, s.noise)(noise_);
  return v;
}

void Engine::SetSignal(int channel, double volts) {
  SignalShape steady;
  steady.level = volts;
  SetSignalShape(channel, steady);
}

void Engine::SetSignalShape(int channel, const SignalShape& shape) {
  if (channel < 0 || channel >= static_cast<int>(signal_.size())) return;
  signal_[static_cast<size_t>(channel)] = shape;
}

bool Engine::SetCalibration(bool ao, int channel, int code, const CalEntry& e) {
  auto& t = ao ? aoCal_ : aiCal_;
  if (channel < 0 || channel >= static_cast<int>(t.size())) return false;
  auto& row = t[static_cast<size_t>(channel)];
  if (code < 0 || code >= static_cast<int>(row.size())) return false;
  row[static_cast<size_t>(code)] = e;
  return true;
}

CalEntry Engine::Calibration(bool ao, int channel, int code) const {
  const auto& t = ao ? aoCal_ : aiCal_;
  if (channel < 0 || channel >= static_cast<int>(t.size())) return CalEntry{0, 0, 0};
  const auto& row = t[static_cast<size_t>(channel)];
  if (code < 0 || code >= static_cast<int>(row.size())) return CalEntry{0, 0, 0};
  return row[static_cast<size_t>(code)];
}

void Engine::AddFault(const Fault& f) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (f.count != 0) faults_.push_back(f);
}

void Engine::ClearFaults() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  faults_.clear();
}

std::vector<CommandRecord> Engine::CommandLog() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return log_;
}

std::vector<std::string> Engine::NameRequests() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return nameLog_;
}

void Engine::ClearCommands() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  log_.clear();
  nameLog_.clear();
}

int Engine::Connections(PortKind k) const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return connections_[KindIndex(k)];
}

int Engine::Eofs(PortKind k) const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return eofs_[KindIndex(k)];
}

int Engine::OpenConnections(PortKind k) const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  int n = 0;
  for (const auto& c : conns_) n += (c->kind == k && c->fd >= 0) ? 1 : 0;
  return n;
}

uint64_t Engine::DataBytesReceived() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return dataBytes_;
}

bool Engine::WaitFor(const std::function<bool()>& pred, int timeoutMs) const {
  std::unique_lock<std::recursive_mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs), pred);
}

}  // namespace nivex::emu
