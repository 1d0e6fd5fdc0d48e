// The module emulator's engine: listeners, connections and the event loop. The line
// handling is in EngineLines.cpp, the module state and the observations in EngineState.cpp;
// the model's command set lives in its handler.
#include "emulator/Engine.h"
#include "emulator/StreamParts.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

namespace nivex::emu {

namespace {
constexpr int kSignalChannels = 256;
// A module's data ports run over Ethernet: its segments carry at most 1460 bytes. Loopback
// alone would allow some 64 KB, about the whole of the host's 32 KB receive buffer: the host
// then offers a window just short of one such segment, and a stream that must wait for a full
// segment goes out one window per retransmission timer (some 140 KB/s).
constexpr int kModuleSegmentBytes = 1460;
}


Engine::Engine(const Options& options) : opts_(options), signal_(kSignalChannels) {
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

int Engine::Listen(const std::string& ip, int port, PortKind kind) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  if (port <= 0 || port > 65535 || inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) != 1) return -1;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  // The accepted connections keep the listener's segment size.
  if (kind == PortKind::Data)
    setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &kModuleSegmentBytes, sizeof(kModuleSegmentBytes));
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) < 0 || listen(fd, 64) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool Engine::OpenListeners(std::vector<Listener>* out, bool name, bool cmd, bool data) const {
  std::vector<Listener> made;
  auto add = [&](PortKind kind, int index, int port) {
    const int fd = Listen(opts_.ip, port, kind);
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
  rebootKinds_.clear();
  reopenAtMs_ = -1;
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

void Engine::Reboot() {
  for (auto& c : conns_) c->closeNow = true;
  for (const Listener& l : listeners_) {
    if (std::find(rebootKinds_.begin(), rebootKinds_.end(), l.kind) == rebootKinds_.end())
      rebootKinds_.push_back(l.kind);
  }
  for (PortKind k : rebootKinds_) CloseListeners(k);
  windowSize = 0;
  handler_->PowerOn();
  reopenAtMs_ = NowMs() + std::max(0, opts_.rebootDelayMs);
  Wake();
}

int Engine::ReopenAfterReboot(int64_t nowMs) {
  if (reopenAtMs_ < 0) return -1;
  if (nowMs < reopenAtMs_) return static_cast<int>(reopenAtMs_ - nowMs);
  for (PortKind k : rebootKinds_) {
    const bool has = std::any_of(listeners_.begin(), listeners_.end(),
                                 [k](const Listener& l) { return l.kind == k; });
    if (!has) OpenListeners(&listeners_, k == PortKind::Name, k == PortKind::Command,
                            k == PortKind::Data);
  }
  rebootKinds_.clear();
  reopenAtMs_ = -1;
  return -1;
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
    int64_t preciseUs = -1;
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
      preciseUs = handler_->NextTickUs();
      if (tick >= 0 && (timeout < 0 || tick < timeout)) timeout = tick;
      const int back = ReopenAfterReboot(now);
      if (back >= 0 && (timeout < 0 || back < timeout)) timeout = back;
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
    // A handler's wish to the microsecond shortens the wait below the milliseconds.
    timespec ts{};
    const timespec* until = nullptr;
    if (timeout >= 0) {
      ts = timespec{timeout / 1000, static_cast<long>(timeout % 1000) * 1000000};
      until = &ts;
    }
    if (preciseUs >= 0) {
      const int64_t left = std::max<int64_t>(0, preciseUs - MonoUs());
      if (until == nullptr || left * 1000 < ts.tv_sec * 1000000000LL + ts.tv_nsec)
        ts = timespec{static_cast<time_t>(left / 1000000), static_cast<long>(left % 1000000) * 1000};
      until = &ts;
    }
    const int r = ppoll(pfds.data(), pfds.size(), until, nullptr);
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


void Engine::SendNow(Conn& c, const std::string& bytes) {
  if (c.fd < 0) return;
  c.out += bytes;
  Flush(c);
}

void Engine::Flush(Conn& c) {
  while (c.fd >= 0 && !c.out.empty()) {
    const ssize_t r = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r > 0) {
      if (c.kind == PortKind::Data) dataBytesOut_ += static_cast<uint64_t>(r);
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

size_t Engine::DiscardData(int index) {
  size_t n = 0;
  for (auto& c : conns_) {
    if (c->kind != PortKind::Data || c->index != index) continue;
    n += c->out.size();
    c->out.clear();
  }
  return n;
}

bool Engine::SetDataNoDelay(int index, bool on) {
  bool done = false;
  const int v = on ? 1 : 0;
  for (auto& c : conns_) {
    if (c->kind != PortKind::Data || c->index != index || c->fd < 0) continue;
    done = setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &v, sizeof(v)) == 0 || done;
  }
  return done;
}

void Engine::CloseData(int index) {
  for (auto& c : conns_) {
    if (c->kind == PortKind::Data && c->index == index) c->closeNow = true;
  }
  Wake();
}

std::vector<int> Engine::DataPorts() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  std::vector<int> ports;
  for (const Listener& l : listeners_) {
    if (l.kind == PortKind::Data) ports.push_back(l.port);
  }
  return ports;
}

void Engine::CloseListeners(PortKind kind) {
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
}

bool Engine::SetListening(PortKind kind, bool listen) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (!running_) return false;
  const bool has = std::any_of(listeners_.begin(), listeners_.end(),
                               [kind](const Listener& l) { return l.kind == kind; });
  if (listen == has) return true;
  if (!listen) {
    // Not reopened by a reboot under way either.
    rebootKinds_.erase(std::remove(rebootKinds_.begin(), rebootKinds_.end(), kind),
                       rebootKinds_.end());
    CloseListeners(kind);
    Wake();
    return true;
  }
  const bool ok = OpenListeners(&listeners_, kind == PortKind::Name, kind == PortKind::Command,
                                kind == PortKind::Data);
  Wake();
  return ok;
}

}  // namespace nivex::emu
