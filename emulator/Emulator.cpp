// The module emulator's core: listeners, connections, line framing, faults, the
// name service and the observation log. The model's command set lives in its handler.
#include "emulator/Emulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "emulator/Engine.h"
#include "emulator/HighSpeedModule.h"
#include "emulator/SlotCarrier.h"

namespace nivex::emu {

// ====================================================================== small helpers

std::string Format(const char* fmt, ...) {
  char small[256];
  va_list ap;
  va_start(ap, fmt);
  const int n = vsnprintf(small, sizeof(small), fmt, ap);
  va_end(ap);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof(small)) return std::string(small, static_cast<size_t>(n));
  std::string big(static_cast<size_t>(n) + 1, '\0');
  va_start(ap, fmt);
  vsnprintf(&big[0], big.size(), fmt, ap);
  va_end(ap);
  big.resize(static_cast<size_t>(n));
  return big;
}

void CommandTable::Add(const char* pattern, Fn fn) {
  rows_.push_back(Row{std::regex(pattern, std::regex::ECMAScript | std::regex::optimize),
                      std::move(fn)});
}

Answer CommandTable::Dispatch(const std::string& line) const {
  std::smatch m;
  for (const Row& r : rows_) {
    if (std::regex_match(line, m, r.re)) return r.fn(m);
  }
  return Answer::NotACommand();
}

namespace {

constexpr int kKinds = 3;
int KindIndex(PortKind k) { return static_cast<int>(k); }

}  // namespace

std::unique_ptr<ModuleHandler> MakeModuleHandler(Model model, Engine& engine) {
  switch (model) {
    case Model::RX5K10:
    case Model::RX5K30:
    case Model::RXBN500:
      return std::make_unique<HighSpeedModule>(engine, model);
    case Model::D4071s:
    case Model::D3054s:
      break;
  }
  return std::make_unique<SlotCarrierModule>(engine, model);
}

const char* ModelText(Model m) {
  switch (m) {
    case Model::RX5K10: return "RX5K10";
    case Model::RX5K30: return "RX5K30";
    case Model::RXBN500: return "RXBN500";
    case Model::D4071s: return "D4071s";
    case Model::D3054s: return "D3054s";
  }
  return "?";
}

bool ParseModel(const std::string& text, Model* m) {
  const Model all[] = {Model::RX5K10, Model::RX5K30, Model::RXBN500, Model::D4071s,
                       Model::D3054s};
  for (Model x : all) {
    if (text == ModelText(x)) {
      if (m) *m = x;
      return true;
    }
  }
  return false;
}

std::string DefaultModuleName(Model m) {
  switch (m) {
    case Model::RX5K10: return "RX5K10-EMU";
    case Model::RX5K30: return "WRX-5K30M";
    case Model::RXBN500: return "WRX-BN500";
    case Model::D4071s: return "D4071s";
    case Model::D3054s: return "D3054Ws";
  }
  return "";
}

unsigned DefaultFirmwareVersion(Model) { return 0x400; }

int AnalogInputs(Model m) {
  switch (m) {
    case Model::RX5K10: return 8;
    case Model::RX5K30: return 4;
    case Model::RXBN500: return 4;
    case Model::D4071s: return 64;   // 8 positions of 8 channels
    case Model::D3054s: return 128;  // 8 slots of up to 16 channels
  }
  return 0;
}

// ====================================================================== engine

namespace {
constexpr int kSignalChannels = 256;
constexpr size_t kMaxLine = 65536;
}

Engine::Engine(const Options& options) : opts_(options), signal_(kSignalChannels, 0.0) {
  handler_ = MakeModuleHandler(opts_.model, *this);
  const CalShape ai = handler_->AICalShape();
  aiCal_.assign(static_cast<size_t>(ai.channels), {});
  for (auto& row : aiCal_) {
    for (int g = 0; g < ai.codes; ++g) row.push_back(handler_->UnityAI(g));
  }
  const CalShape ao = handler_->AOCalShape();
  aoCal_.assign(static_cast<size_t>(ao.channels), {});
  for (auto& row : aoCal_) {
    for (int r = 0; r < ao.codes; ++r) row.push_back(handler_->UnityAO(r));
  }
}

Engine::~Engine() { Stop(); }

int64_t Engine::NowMs() const {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int Engine::Listen(const std::string& ip, int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  if (port <= 0 || port > 65535 || inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) != 1) return -1;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) < 0 || listen(fd, 64) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool Engine::OpenListeners(std::vector<Listener>* out, bool name, bool cmd, bool data) const {
  std::vector<Listener> made;
  auto add = [&](PortKind kind, int index, int port) {
    const int fd = Listen(opts_.ip, port);
    if (fd < 0) return false;
    made.push_back(Listener{fd, kind, index, port});
    return true;
  };
  bool ok = true;
  if (name) ok = add(PortKind::Name, 0, opts_.namePort);
  if (ok && cmd) ok = add(PortKind::Command, 0, opts_.cmdPort);
  if (ok && data) {
    const std::vector<int> offsets = handler_->DataPortOffsets();
    for (size_t i = 0; ok && i < offsets.size(); ++i) {
      ok = add(PortKind::Data, static_cast<int>(i), opts_.dataPort + offsets[i]);
    }
  }
  if (!ok) {
    for (const Listener& l : made) close(l.fd);
    return false;
  }
  out->insert(out->end(), made.begin(), made.end());
  return true;
}

bool Engine::Start() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (running_ || thread_.joinable()) return false;
  std::vector<Listener> ls;
  if (!OpenListeners(&ls, opts_.nameService, opts_.listenCommand, opts_.listenData)) return false;
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd_ < 0) {
    for (const Listener& l : ls) close(l.fd);
    return false;
  }
  listeners_ = ls;
  startMs_ = NowMs();
  running_ = true;
  stopRequested_ = false;
  thread_ = std::thread([this] { Loop(); });
  return true;
}

void Engine::Wake() {
  if (wakeFd_ >= 0) {
    const uint64_t one = 1;
    ssize_t r = write(wakeFd_, &one, sizeof(one));
    (void)r;
  }
}

void Engine::Stop() {
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (!thread_.joinable()) return;
    stopRequested_ = true;
    Wake();
  }
  thread_.join();
  std::lock_guard<std::recursive_mutex> lock(mu_);
  CloseAll();
  for (const Listener& l : listeners_) close(l.fd);
  listeners_.clear();
  if (wakeFd_ >= 0) close(wakeFd_);
  wakeFd_ = -1;
  running_ = false;
  Notify();
}

bool Engine::Running() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return running_;
}

void Engine::Notify() { cv_.notify_all(); }

void Engine::CloseAll() {
  for (auto& c : conns_) {
    if (c->fd >= 0) close(c->fd);
    c->fd = -1;
  }
  conns_.clear();
}

void Engine::CloseConn(Conn& c, bool peerClosed) {
  if (c.fd < 0) return;
  close(c.fd);
  c.fd = -1;
  if (peerClosed) ++eofs_[KindIndex(c.kind)];
  if (c.kind == PortKind::Command) handler_->OnCommandClosed();
  if (c.kind == PortKind::Data) handler_->OnDataClosed(c.index);
  Notify();
}

void Engine::DropConnections() {
  for (auto& c : conns_) {
    if (c->kind != PortKind::Name) c->closeNow = true;
  }
  Wake();
}

void Engine::Loop() {
  std::vector<pollfd> pfds;
  enum TagKind { kWake, kListener, kConn };
  struct Tag {
    TagKind kind;
    int fd;
    uint64_t connId;
  };
  std::vector<Tag> tags;
  for (;;) {
    int timeout = -1;
    {
      std::lock_guard<std::recursive_mutex> lock(mu_);
      if (stopRequested_) return;
      const int64_t now = NowMs();
      // Timed replies that are due go out; a connection without pending replies
      // processes the lines it has already received.
      for (auto& cp : conns_) {
        Conn& c = *cp;
        while (c.fd >= 0 && !c.timed.empty() && c.timed.front().dueMs <= now) {
          std::string bytes = std::move(c.timed.front().bytes);
          c.timed.pop_front();
          SendNow(c, bytes);
        }
        for (size_t k = 0; c.fd >= 0 && k < c.later.size();) {
          if (c.later[k].dueMs > now) {
            ++k;
            continue;
          }
          std::string bytes = std::move(c.later[k].bytes);
          c.later.erase(c.later.begin() + static_cast<long>(k));
          SendNow(c, bytes);
        }
        if (c.fd >= 0 && c.timed.empty()) ProcessLines(c);
        if (c.fd >= 0 && c.closeNow) CloseConn(c, false);
        auto due = [&](int64_t at) {
          const int64_t wait = std::max<int64_t>(0, at - now);
          if (timeout < 0 || wait < timeout) timeout = static_cast<int>(wait);
        };
        if (c.fd >= 0 && !c.timed.empty()) due(c.timed.front().dueMs);
        if (c.fd >= 0) {
          for (const Timed& t : c.later) due(t.dueMs);
        }
      }
      const int tick = handler_->OnTick(now);
      if (tick >= 0 && (timeout < 0 || tick < timeout)) timeout = tick;
      // Connections that ended leave the table.
      conns_.erase(std::remove_if(conns_.begin(), conns_.end(),
                                  [](const std::unique_ptr<Conn>& c) { return c->fd < 0; }),
                   conns_.end());
      pfds.clear();
      tags.clear();
      pfds.push_back(pollfd{wakeFd_, POLLIN, 0});
      tags.push_back(Tag{kWake, wakeFd_, 0});
      for (const Listener& l : listeners_) {
        pfds.push_back(pollfd{l.fd, POLLIN, 0});
        tags.push_back(Tag{kListener, l.fd, 0});
      }
      for (const auto& c : conns_) {
        short ev = POLLIN;
        if (!c->out.empty()) ev |= POLLOUT;
        pfds.push_back(pollfd{c->fd, ev, 0});
        tags.push_back(Tag{kConn, c->fd, c->id});
      }
    }
    const int r = poll(pfds.data(), pfds.size(), timeout);
    if (r < 0) {
      if (errno == EINTR) continue;
      return;  // nothing sensible left to do; Stop() still cleans up
    }
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (stopRequested_) return;
    for (size_t i = 0; i < pfds.size(); ++i) {
      const short re = pfds[i].revents;
      if (re == 0) continue;
      const Tag& t = tags[i];
      if (t.kind == kWake) {
        uint64_t v;
        while (read(wakeFd_, &v, sizeof(v)) > 0) {
        }
      } else if (t.kind == kListener) {
        for (const Listener& l : listeners_) {
          if (l.fd == t.fd) {
            Accept(l);
            break;
          }
        }
      } else {
        for (auto& cp : conns_) {
          Conn& c = *cp;
          if (c.id != t.connId || c.fd < 0) continue;
          if (re & POLLOUT) Flush(c);
          if (c.fd >= 0 && (re & (POLLIN | POLLHUP | POLLERR))) Receive(c);
          break;
        }
      }
    }
  }
}

void Engine::Accept(const Listener& l) {
  for (;;) {
    const int fd = accept4(l.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      return;  // EAGAIN: the backlog is empty
    }
    auto c = std::make_unique<Conn>();
    c->id = nextConnId_++;
    c->fd = fd;
    c->kind = l.kind;
    c->index = l.index;
    ++connections_[KindIndex(l.kind)];
    conns_.push_back(std::move(c));
    if (l.kind == PortKind::Data) handler_->OnDataConnected(l.index);
    Notify();
  }
}

void Engine::Receive(Conn& c) {
  char buf[4096];
  for (;;) {
    const ssize_t r = recv(c.fd, buf, sizeof(buf), MSG_DONTWAIT);
    if (r > 0) {
      if (c.kind == PortKind::Data) {
        dataBytes_ += static_cast<uint64_t>(r);
        handler_->OnDataReceived(c.index, buf, static_cast<size_t>(r));
      } else {
        c.in.append(buf, static_cast<size_t>(r));
      }
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    // End of stream or a reset: the host closed its end. Lines already complete are
    // still logged (a module would have read them).
    if (c.kind != PortKind::Data && c.timed.empty()) ProcessLines(c);
    CloseConn(c, true);
    return;
  }
  if (c.kind != PortKind::Data && c.timed.empty()) ProcessLines(c);
}

void Engine::ProcessLines(Conn& c) {
  while (c.fd >= 0 && c.timed.empty() && !c.closeNow) {
    const size_t cr = c.in.find('\r');
    if (cr == std::string::npos) {
      // A line that never ends is no command; its bytes are not kept without bound.
      if (c.in.size() > kMaxLine) c.in.clear();
      return;
    }
    std::string line = c.in.substr(0, cr);
    c.in.erase(0, cr + 1);
    line.erase(std::remove(line.begin(), line.end(), '\n'), line.end());
    ProcessLine(c, line);
  }
}

bool Engine::TakeFault(PortKind kind, const std::string& line, Fault* f) {
  for (size_t i = 0; i < faults_.size(); ++i) {
    Fault& x = faults_[i];
    if (x.port != kind) continue;
    const bool match = x.prefix ? line.compare(0, x.command.size(), x.command) == 0
                                : line == x.command;
    if (!match) continue;
    *f = x;
    if (x.count > 0 && --x.count == 0) faults_.erase(faults_.begin() + static_cast<long>(i));
    return true;
  }
  return false;
}

std::string Engine::NameServiceReply(const std::string& line) const {
  if (line == "10") return "10" + ModuleName();
  if (line == "01") return Format("!01%X %s", FirmwareVersion(), opts_.firmwareDate.c_str());
  return {};
}

Answer Engine::CommandAnswer(const std::string& line) {
  if (line.empty()) return opts_.replyToEmptyLine ? Answer::Refuse() : Answer::None();
  return handler_->Handle(line);
}

void Engine::ProcessLine(Conn& c, const std::string& line) {
  const int64_t now = NowMs();
  if (c.kind == PortKind::Name) {
    nameLog_.push_back(line);
  } else {
    log_.push_back(CommandRecord{line, now - startMs_});
  }
  Notify();

  Fault f;
  const bool faulted = TakeFault(c.kind, line, &f);
  if (faulted) {
    switch (f.kind) {
      case FaultKind::NoReply: return;
      case FaultKind::Refuse: SendNow(c, "?01\r"); return;
      case FaultKind::Reply: SendNow(c, f.text + "\r"); return;
      case FaultKind::Close: c.closeNow = true; return;
      case FaultKind::Delay:
      case FaultKind::Split: break;  // the command takes effect; its reply is shaped below
    }
  }

  // The normal answer.
  std::string reply;
  bool haveReply = true;
  if (c.kind == PortKind::Name) {
    reply = NameServiceReply(line);
    haveReply = !reply.empty();
  } else {
    Answer a = CommandAnswer(line);
    switch (a.kind) {
      case Answer::Reply: reply = a.text; break;
      case Answer::Unknown: reply = "?01"; break;
      case Answer::Silent: haveReply = false; break;
      case Answer::Drop:
        haveReply = false;
        DropConnections();
        break;
    }
  }

  if (faulted && f.kind == FaultKind::Split) {
    const std::string bytes = (f.text.empty() ? reply : f.text) + "\r";
    std::vector<size_t> cuts = f.splitAt;
    if (cuts.empty()) cuts.push_back(bytes.size() / 2);
    std::sort(cuts.begin(), cuts.end());
    size_t from = 0;
    int64_t due = now;
    bool first = true;
    auto piece = [&](std::string p) {
      if (first) {
        SendNow(c, p);  // the first piece goes out at once
        first = false;
      } else if (f.inOrder) {
        c.timed.push_back(Timed{due, std::move(p)});
      } else {
        c.later.push_back(Timed{due, std::move(p)});
      }
      due += f.delayMs;
    };
    for (size_t cut : cuts) {
      if (cut <= from || cut >= bytes.size()) continue;
      piece(bytes.substr(from, cut - from));
      from = cut;
    }
    piece(bytes.substr(from));
    return;
  }
  if (!haveReply) return;
  if (faulted && f.kind == FaultKind::Delay) {
    Timed t{now + f.delayMs, reply + "\r"};
    if (f.inOrder) {
      c.timed.push_back(std::move(t));
    } else {
      c.later.push_back(std::move(t));
    }
    return;
  }
  SendNow(c, reply + "\r");
}

void Engine::SendNow(Conn& c, const std::string& bytes) {
  if (c.fd < 0) return;
  c.out += bytes;
  Flush(c);
}

void Engine::Flush(Conn& c) {
  while (c.fd >= 0 && !c.out.empty()) {
    const ssize_t r = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r > 0) {
      c.out.erase(0, static_cast<size_t>(r));
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // POLLOUT resumes
    CloseConn(c, true);  // the host is gone
    return;
  }
}

bool Engine::QueueData(int index, const void* bytes, size_t n) {
  for (auto& c : conns_) {
    if (c->kind == PortKind::Data && c->index == index && c->fd >= 0) {
      c->out.append(static_cast<const char*>(bytes), n);
      Flush(*c);
      return true;
    }
  }
  return false;
}

size_t Engine::DataBacklog(int index) const {
  for (const auto& c : conns_) {
    if (c->kind == PortKind::Data && c->index == index && c->fd >= 0) return c->out.size();
  }
  return 0;
}

bool Engine::DataConnected(int index) const {
  for (const auto& c : conns_) {
    if (c->kind == PortKind::Data && c->index == index && c->fd >= 0) return true;
  }
  return false;
}

unsigned Engine::FirmwareVersion() const {
  return opts_.firmwareVersion ? opts_.firmwareVersion : DefaultFirmwareVersion(opts_.model);
}

std::string Engine::ModuleName() const {
  return opts_.moduleName ? *opts_.moduleName : DefaultModuleName(opts_.model);
}

double Engine::Signal(int channel) const {
  if (channel < 0 || channel >= static_cast<int>(signal_.size())) return 0.0;
  return signal_[static_cast<size_t>(channel)];
}

void Engine::SetSignal(int channel, double volts) {
  if (channel < 0 || channel >= static_cast<int>(signal_.size())) return;
  signal_[static_cast<size_t>(channel)] = volts;
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

std::vector<int> Engine::DataPorts() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  std::vector<int> ports;
  for (const Listener& l : listeners_) {
    if (l.kind == PortKind::Data) ports.push_back(l.port);
  }
  return ports;
}

bool Engine::SetListening(PortKind kind, bool listen) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (!running_) return false;
  const bool has = std::any_of(listeners_.begin(), listeners_.end(),
                               [kind](const Listener& l) { return l.kind == kind; });
  if (listen == has) return true;
  if (!listen) {
    for (const Listener& l : listeners_) {
      if (l.kind != kind) continue;
      // The loop may be inside poll() on this socket, which keeps it alive past close();
      // shutdown ends the listening at once.
      shutdown(l.fd, SHUT_RDWR);
      close(l.fd);
    }
    listeners_.erase(std::remove_if(listeners_.begin(), listeners_.end(),
                                    [kind](const Listener& l) { return l.kind == kind; }),
                     listeners_.end());
    Wake();
    return true;
  }
  const bool ok = OpenListeners(&listeners_, kind == PortKind::Name, kind == PortKind::Command,
                                kind == PortKind::Data);
  Wake();
  return ok;
}

// ====================================================================== facade

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

bool Emulator::SetListening(PortKind kind, bool listen) {
  return engine_->SetListening(kind, listen);
}

void Emulator::SetSignal(int channel, double volts) {
  std::lock_guard<std::recursive_mutex> lock(engine_->mutex());
  engine_->SetSignal(channel, volts);
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
