// nivex-emu: runs one emulated module until SIGINT or SIGTERM.
#include <signal.h>
#include <sys/prctl.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "emulator/DataStreamer.h"
#include "emulator/Emulator.h"
#include "emulator/HighSpeedModule.h"
#include "emulator/SlotCarrierModule.h"

namespace {

using nivex::emu::CalEntry;
using nivex::emu::Fault;
using nivex::emu::FaultKind;
using nivex::emu::Options;
using nivex::emu::RebootBehaviour;
using nivex::emu::SignalShape;

void Usage(FILE* out) {
  fprintf(out,
          "usage: nivex-emu --model RX5K10|RX5K30|RXBN500|D4071s|D3054s [options]\n"
          "\n"
          "Stands in for one networked acquisition module: serves the name service on\n"
          "port 10000 of its address, the command port and the data port(s). Prints a\n"
          "line containing \"ready\" once every port listens; runs until SIGINT or\n"
          "SIGTERM, then exits 0.\n"
          "\n"
          "The high-speed types stream on the data port after \"~01S\" with the scan\n"
          "parameters they were given: live runs at rate x channels samples per second,\n"
          "buffered runs (high rates, trigger modes that wait) once \"~01E\" comes;\n"
          "\"~01Z\" stops the stream. Their SD card holds two recordings (\"~01SDC\",\n"
          "\"~01SDI\"); \"~01SDL\" sends one's \".config\" text and then streams its samples.\n"
          "The slot carriers stream too: the start command starts every slot with channels\n"
          "on its own data port (data port + the slot's offset), live at rate x the slot's\n"
          "channels samples per second, up to the slot's count (0: until \"~01Z\", which\n"
          "stops every slot). Every sample is the code of its input's signal at the\n"
          "sample's instant (its row / rate since the start); one-shot reads take the\n"
          "signal at the moment they are answered.\n"
          "\n"
          "  --model M          module type (required)\n"
          "  --ip ADDR          IPv4 address to serve on (default 127.0.0.1)\n"
          "  --cmd-port N       command port (default 9999)\n"
          "  --data-port N      data port; slot carriers add the slot's offset (default 10010)\n"
          "  --firmware HEX     firmware version reported by the name service, hexadecimal\n"
          "                     (default 400)\n"
          "  --hw-version DIGITS  the hardware version the high-speed types answer to \"$01F\"\n"
          "                     (default 12)\n"
          "  --slots TEXT       slot carriers: the cards present; D4071s one character per\n"
          "                     position 0-7, 1 = card (default 11111111); D3054s one card\n"
          "                     character per slot, 1 2 3 4 8 9 (default 1199)\n"
          "  --signal LIST      the inputs' signals from channel 0 on, comma-separated; each\n"
          "                     a level in volts, or sine:AMP:HZ[:LEVEL] or ramp:AMP:HZ[:LEVEL]\n"
          "                     (a ramp rises from LEVEL-AMP to LEVEL+AMP). Inputs not listed\n"
          "                     keep a steady level of their own between -4.75 and 4.75 V\n"
          "  --noise V          peak of the noise on every input in volts (default 0.001;\n"
          "                     0: none)\n"
          "  --cal CH,CODE,GAIN,OFFSET[,RANGEMV]\n"
          "                     one entry of the input calibration table, for input CH at gain\n"
          "                     code CODE (repeatable). GAIN: 32768 is unity (RXBN500: 10000);\n"
          "                     OFFSET in codes; RANGEMV: RX5K30's range of the gain code\n"
          "  --reboot MODE      what the reboot command does: restart (default: no reply, every\n"
          "                     connection closes, the settings return to their power-on\n"
          "                     values, the ports listen again after the delay), ack (replies\n"
          "                     \"!01\", nothing else), silent (nothing), drop (closes the\n"
          "                     command and data connections)\n"
          "  --reboot-delay MS  how long a restart keeps the ports closed (default 200)\n"
          "  --fault KIND:COMMAND[:MS]\n"
          "                     shape the reply to every COMMAND line (a trailing * matches\n"
          "                     every line it begins; repeatable). KIND: silence (no reply),\n"
          "                     late (reply MS late, default 1500), split (reply in two pieces\n"
          "                     MS apart, default 100), refuse (\"?01\"), close (the connection\n"
          "                     closes). Example: --fault 'late:~01N:1500'\n"
          "  --fault linger:MS  high-speed types: a run streams on for MS milliseconds after\n"
          "                     \"~01Z\" before it stops\n"
          "  --gt-lead          every reply that carries data leads with '>' (acknowledgements\n"
          "                     stay \"!01\")\n"
          "  --stream MODE      paced (default) sends in real time; fast sends as fast as the\n"
          "                     connection takes (acquisition instant); every type\n"
          "  --send-every US    high-speed types: a paced stream sends every US microseconds\n"
          "                     on a fixed clock (default: at most once a millisecond)\n"
          "  --trigger-after MS high-speed types: the trigger of modes 2, 3, 5 and 6 fires\n"
          "                     MS milliseconds after \"~01S\" (default: never)\n"
          "  --slot-fault KIND:SLOT[:BYTES]\n"
          "                     slot carriers: a fault of slot SLOT's stream in every run\n"
          "                     (repeatable). KIND: silence (the slot sends nothing more once\n"
          "                     BYTES bytes of the run are out, default 0; its connection\n"
          "                     stays open), close (the slot closes its data connection once\n"
          "                     BYTES bytes are out). Example: --slot-fault close:1:4096\n"
          "  --help             this text\n");
}

bool ParseLong(const char* text, int base, long lo, long hi, long* out) {
  char* end = nullptr;
  errno = 0;
  const long v = strtol(text, &end, base);
  if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool ParseDouble(const std::string& text, double* out) {
  char* end = nullptr;
  errno = 0;
  const double v = strtod(text.c_str(), &end);
  if (errno != 0 || end == text.c_str() || *end != '\0' || !(v == v)) return false;
  *out = v;
  return true;
}

std::vector<std::string> SplitText(const std::string& text, char sep) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (;;) {
    const size_t at = text.find(sep, from);
    parts.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
    if (at == std::string::npos) return parts;
    from = at + 1;
  }
}

// "1.5", "sine:2:50", "ramp:1:0.5:2.5".
bool ParseSignal(const std::string& text, SignalShape* s) {
  const std::vector<std::string> f = SplitText(text, ':');
  if (f.size() == 1) {
    s->kind = SignalShape::Steady;
    return ParseDouble(f[0], &s->level);
  }
  if (f.size() < 3 || f.size() > 4) return false;
  if (f[0] == "sine") {
    s->kind = SignalShape::Sine;
  } else if (f[0] == "ramp") {
    s->kind = SignalShape::Ramp;
  } else {
    return false;
  }
  s->level = 0.0;
  return ParseDouble(f[1], &s->amplitude) && ParseDouble(f[2], &s->hz) && s->hz > 0.0 &&
         (f.size() == 3 || ParseDouble(f[3], &s->level));
}

struct CalArg {
  int channel, code;
  CalEntry entry;
  bool hasRange;
};

bool ParseCal(const std::string& text, CalArg* c) {
  const std::vector<std::string> f = SplitText(text, ',');
  long v[5] = {};
  if (f.size() < 4 || f.size() > 5) return false;
  const long lo[5] = {0, 0, 0, -0x7FFFFFFFL - 1, 0}, hi[5] = {255, 9, 0xFFFF, 0x7FFFFFFF, 0xFFFF};
  for (size_t i = 0; i < f.size(); ++i)
    if (!ParseLong(f[i].c_str(), 0, lo[i], hi[i], &v[i])) return false;
  *c = CalArg{static_cast<int>(v[0]), static_cast<int>(v[1]),
              CalEntry{static_cast<unsigned>(v[2]), static_cast<int>(v[3]),
                       static_cast<unsigned>(v[4])},
              f.size() == 5};
  return true;
}

bool ParseFault(const std::string& text, Fault* f, nivex::emu::StreamSettings* stream) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  const std::string kind = text.substr(0, colon);
  std::string command = text.substr(colon + 1);
  long ms = -1;
  const size_t last = command.rfind(':');
  if (last != std::string::npos) {
    if (!ParseLong(command.c_str() + last + 1, 10, 0, 600000, &ms)) return false;
    command.erase(last);
  }
  f->prefix = !command.empty() && command.back() == '*';
  if (f->prefix) command.pop_back();
  f->command = command;
  f->count = -1;
  if (kind == "silence") {
    f->kind = FaultKind::NoReply;
  } else if (kind == "late") {
    f->kind = FaultKind::Delay;
    f->delayMs = ms < 0 ? 1500 : static_cast<int>(ms);
  } else if (kind == "split") {
    f->kind = FaultKind::Split;
    f->delayMs = ms < 0 ? 100 : static_cast<int>(ms);
  } else if (kind == "refuse") {
    f->kind = FaultKind::Refuse;
  } else if (kind == "close") {
    f->kind = FaultKind::Close;
  } else if (kind == "linger") {  // the stream's fault, not a command's: "linger:MS"
    long lingerMs = 0;
    if (ms >= 0 || f->prefix || !ParseLong(command.c_str(), 10, 1, 600000, &lingerMs)) return false;
    stream->lingerMs = static_cast<int>(lingerMs);
    f->count = 0;  // no command is shaped
  } else {
    return false;
  }
  return true;
}

bool ParseReboot(const std::string& text, RebootBehaviour* b) {
  const struct {
    const char* name;
    RebootBehaviour behaviour;
  } kModes[] = {{"restart", RebootBehaviour::Restart}, {"ack", RebootBehaviour::Acknowledge},
                {"silent", RebootBehaviour::Silent}, {"drop", RebootBehaviour::Drop}};
  for (const auto& m : kModes) {
    if (text == m.name) {
      *b = m.behaviour;
      return true;
    }
  }
  return false;
}

// "silence:1", "close:0:4096".
struct SlotFault {
  int slot = 0;
  bool close = false;
  uint64_t afterBytes = 0;
};

bool ParseSlotFault(const std::string& text, SlotFault* f) {
  const std::vector<std::string> p = SplitText(text, ':');
  long slot = 0, bytes = 0;
  if (p.size() < 2 || p.size() > 3 || (p[0] != "silence" && p[0] != "close") ||
      !ParseLong(p[1].c_str(), 10, 0, 7, &slot) ||
      (p.size() == 3 && !ParseLong(p[2].c_str(), 10, 0, 0x7FFFFFFF, &bytes)))
    return false;
  *f = SlotFault{static_cast<int>(slot), p[0] == "close", static_cast<uint64_t>(bytes)};
  return true;
}

int Bad(const char* what, const char* value) {
  fprintf(stderr, "nivex-emu: bad %s '%s' (see --help)\n", what, value);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  nivex::emu::StreamSettings stream;
  bool haveModel = false;
  std::vector<SignalShape> signals;
  std::vector<CalArg> cals;
  std::vector<Fault> faults;
  std::vector<SlotFault> slotFaults;
  double noise = 0.001;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    }
    if (a == "--gt-lead") {
      o.everyDataReplyLeadsGt = true;
      continue;
    }
    if (i + 1 >= argc) {
      fprintf(stderr, "nivex-emu: %s needs a value\n", a.c_str());
      Usage(stderr);
      return 2;
    }
    const char* v = argv[++i];
    long n = 0;
    if (a == "--model") {
      if (!nivex::emu::ParseModel(v, &o.model)) return Bad("model", v);
      haveModel = true;
    } else if (a == "--ip") {
      o.ip = v;
    } else if (a == "--cmd-port") {
      if (!ParseLong(v, 10, 1, 65535, &n)) return Bad("command port", v);
      o.cmdPort = static_cast<int>(n);
    } else if (a == "--data-port") {
      if (!ParseLong(v, 10, 1, 65535, &n)) return Bad("data port", v);
      o.dataPort = static_cast<int>(n);
    } else if (a == "--stream") {
      if (std::string(v) != "paced" && std::string(v) != "fast") return Bad("stream mode", v);
      stream.fast = std::string(v) == "fast";
    } else if (a == "--send-every") {
      if (!ParseLong(v, 10, 100, 1000000, &n)) return Bad("send period (100-1000000 us)", v);
      stream.sendEveryUs = static_cast<int>(n);
    } else if (a == "--trigger-after") {
      if (!ParseLong(v, 10, 0, 86400000, &n)) return Bad("trigger delay (0-86400000 ms)", v);
      stream.triggerAfterMs = static_cast<int>(n);
    } else if (a == "--slots") {
      o.slotLayout = v;
    } else if (a == "--firmware") {
      if (!ParseLong(v, 16, 1, 0xFFFF, &n)) return Bad("firmware version (1-FFFF, hexadecimal)", v);
      o.firmwareVersion = static_cast<unsigned>(n);
    } else if (a == "--hw-version") {
      if (std::string(v).find_first_not_of("0123456789") != std::string::npos)
        return Bad("hardware version (decimal digits)", v);
      o.hwVersionText = v;
    } else if (a == "--signal") {
      for (const std::string& item : SplitText(v, ',')) {
        signals.emplace_back();
        if (!ParseSignal(item, &signals.back())) return Bad("signal", item.c_str());
      }
    } else if (a == "--noise") {
      if (!ParseDouble(v, &noise) || noise < 0.0) return Bad("noise", v);
    } else if (a == "--cal") {
      cals.emplace_back();
      if (!ParseCal(v, &cals.back())) return Bad("calibration entry", v);
    } else if (a == "--reboot") {
      if (!ParseReboot(v, &o.reboot)) return Bad("reboot mode", v);
    } else if (a == "--reboot-delay") {
      if (!ParseLong(v, 10, 0, 600000, &n)) return Bad("reboot delay", v);
      o.rebootDelayMs = static_cast<int>(n);
    } else if (a == "--slot-fault") {
      slotFaults.emplace_back();
      if (!ParseSlotFault(v, &slotFaults.back())) return Bad("slot fault", v);
    } else if (a == "--fault") {
      faults.emplace_back();
      if (!ParseFault(v, &faults.back(), &stream)) return Bad("fault", v);
    } else {
      fprintf(stderr, "nivex-emu: unknown option '%s'\n", a.c_str());
      Usage(stderr);
      return 2;
    }
  }
  if (!haveModel) {
    fprintf(stderr, "nivex-emu: --model is required\n");
    Usage(stderr);
    return 2;
  }

  // The signals are taken synchronously here; every thread inherits the blocked mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  nivex::emu::Emulator emu(o);
  // Each input a level of its own, alternating in sign, unless the command line gave one.
  const int inputs = nivex::emu::AnalogInputs(o.model);
  for (int ch = 0; ch < inputs; ++ch) {
    SignalShape s;
    if (ch < static_cast<int>(signals.size())) {
      s = signals[static_cast<size_t>(ch)];
    } else {
      s.level = (ch % 2 == 0 ? 1.0 : -1.0) * (0.25 + 4.5 * ch / inputs);
    }
    s.noise = noise;
    emu.SetSignalShape(ch, s);
  }
  for (const CalArg& c : cals) {
    CalEntry e = c.entry;
    if (!c.hasRange) e.rangeMv = emu.Calibration(c.channel, c.code).rangeMv;
    if (!emu.SetCalibration(c.channel, c.code, e)) {
      fprintf(stderr, "nivex-emu: no calibration entry for input %d, gain code %d\n", c.channel,
              c.code);
      return 2;
    }
  }
  for (const Fault& f : faults) emu.AddFault(f);
  if (nivex::emu::DataStreamer* streamer = nivex::emu::StreamerOf(emu)) {
    streamer->SetSettings(stream);
  }
  for (int k = 0; nivex::emu::SlotStreamer* slot = nivex::emu::SlotStreamerOf(emu, k); ++k) {
    nivex::emu::StreamSettings s = slot->Settings();
    s.fast = stream.fast;
    for (const SlotFault& f : slotFaults) {
      if (f.slot != k) continue;
      (f.close ? s.closeAfterBytes : s.silenceAfterBytes) = f.afterBytes;
    }
    slot->SetSettings(s);
  }
  for (const SlotFault& f : slotFaults) {
    if (nivex::emu::SlotStreamerOf(emu, f.slot) == nullptr) {
      fprintf(stderr, "nivex-emu: no slot %d streams on this module\n", f.slot);
      return 2;
    }
  }
  // A module's clock does not wander: its loop's timers fire without the system's slack.
  if (stream.sendEveryUs > 0) prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  if (!emu.Start()) {
    fprintf(stderr, "nivex-emu: cannot listen on %s (ports 10000, %d, %d): %s\n", o.ip.c_str(),
            o.cmdPort, o.dataPort, strerror(errno));
    return 1;
  }
  std::string data;
  for (int p : emu.DataPorts()) data += (data.empty() ? "" : ",") + std::to_string(p);
  printf("nivex-emu %s ready on %s: name 10000, command %d, data %s\n",
         nivex::emu::ModelText(o.model), o.ip.c_str(), o.cmdPort, data.c_str());
  fflush(stdout);

  int sig = 0;
  while (sigwait(&stopSignals, &sig) != 0) {
  }
  emu.Stop();
  return 0;
}
