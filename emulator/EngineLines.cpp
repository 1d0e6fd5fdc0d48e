// The engine's command lines: framing, the test faults, the name service's answers and the
// shaping of each reply (late, split, refused, dropped).
#include <algorithm>

#include "emulator/Engine.h"

namespace nivex::emu {

namespace {
constexpr size_t kMaxLine = 65536;
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

std::string Engine::Lead(std::string text) const {
  if (opts_.everyDataReplyLeadsGt && !text.empty() && text[0] == '!' && text != "!01")
    text[0] = '>';
  return text;
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
  bool faulted = TakeFault(c.kind, line, &f);
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
    if (!faulted && !a.splitAt.empty()) {  // the module's own pieces
      faulted = true;
      f = Fault{};
      f.kind = FaultKind::Split;
      f.splitAt = a.splitAt;
      f.delayMs = a.pieceGapMs;
    }
    switch (a.kind) {
      case Answer::Reply: reply = Lead(a.text); break;
      case Answer::Unknown: reply = "?01"; break;
      case Answer::Silent: haveReply = false; break;
      case Answer::Drop:
        haveReply = false;
        DropConnections();
        break;
      case Answer::Restart:
        haveReply = false;
        Reboot();
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

}  // namespace nivex::emu
