// nivex-emu: runs one emulated module until SIGINT or SIGTERM.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "emulator/DataStreamer.h"
#include "emulator/Emulator.h"

namespace {

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
          "\"~01Z\" stops the stream. The samples are the codes the one-shot reads give.\n"
          "\n"
          "  --model M        module type (required)\n"
          "  --ip ADDR        IPv4 address to serve on (default 127.0.0.1)\n"
          "  --cmd-port N     command port (default 9999)\n"
          "  --data-port N    data port; slot carriers add the slot's offset (default 10010)\n"
          "  --firmware HEX   firmware version reported by the name service, hexadecimal\n"
          "                   (default 400)\n"
          "  --slots TEXT     slot carriers: the cards present; D4071s one character per\n"
          "                   position 0-7, 1 = card (default 11111111); D3054s one card\n"
          "                   character per slot, 1 2 3 4 8 9 (default 1199)\n"
          "  --stream MODE    high-speed types: paced (default) sends in real time; fast\n"
          "                   sends as fast as the connection takes (acquisition instant)\n"
          "  --trigger-after MS\n"
          "                   high-speed types: the trigger of modes 2, 3, 5 and 6 fires\n"
          "                   MS milliseconds after \"~01S\" (default: never)\n"
          "  --help           this text\n");
}

bool ParsePort(const char* text, int* port) {
  char* end = nullptr;
  errno = 0;
  const long v = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < 1 || v > 65535) return false;
  *port = static_cast<int>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  nivex::emu::Options o;
  nivex::emu::StreamSettings stream;
  bool haveModel = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    }
    if (i + 1 >= argc) {
      fprintf(stderr, "nivex-emu: %s needs a value\n", a.c_str());
      Usage(stderr);
      return 2;
    }
    const char* v = argv[++i];
    if (a == "--model") {
      if (!nivex::emu::ParseModel(v, &o.model)) {
        fprintf(stderr, "nivex-emu: unknown model '%s'\n", v);
        return 2;
      }
      haveModel = true;
    } else if (a == "--ip") {
      o.ip = v;
    } else if (a == "--cmd-port") {
      if (!ParsePort(v, &o.cmdPort)) {
        fprintf(stderr, "nivex-emu: bad command port '%s'\n", v);
        return 2;
      }
    } else if (a == "--data-port") {
      if (!ParsePort(v, &o.dataPort)) {
        fprintf(stderr, "nivex-emu: bad data port '%s'\n", v);
        return 2;
      }
    } else if (a == "--stream") {
      if (std::string(v) != "paced" && std::string(v) != "fast") {
        fprintf(stderr, "nivex-emu: bad stream mode '%s' (paced or fast)\n", v);
        return 2;
      }
      stream.fast = std::string(v) == "fast";
    } else if (a == "--trigger-after") {
      char* end = nullptr;
      errno = 0;
      const long ms = strtol(v, &end, 10);
      if (errno != 0 || end == v || *end != '\0' || ms < 0 || ms > 86400000) {
        fprintf(stderr, "nivex-emu: bad trigger delay '%s' (0-86400000 ms)\n", v);
        return 2;
      }
      stream.triggerAfterMs = static_cast<int>(ms);
    } else if (a == "--slots") {
      o.slotLayout = v;
    } else if (a == "--firmware") {
      char* end = nullptr;
      errno = 0;
      const unsigned long fw = strtoul(v, &end, 16);
      if (errno != 0 || end == v || *end != '\0' || fw == 0 || fw > 0xFFFF) {
        fprintf(stderr, "nivex-emu: bad firmware version '%s' (1-FFFF, hexadecimal)\n", v);
        return 2;
      }
      o.firmwareVersion = static_cast<unsigned>(fw);
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
  if (nivex::emu::DataStreamer* streamer = nivex::emu::StreamerOf(emu)) {
    streamer->SetSettings(stream);
  }
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
