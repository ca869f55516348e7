// The simulated devices as a program of their own, for end-to-end runs and for trying the
// updater by hand. Serves until SIGINT or SIGTERM, or, given a command, until it ends.
//   --tcp PORT        a link-level device on 127.0.0.1:PORT (0: a free port); prints "tcp 127.0.0.1 PORT".
//                     Each --tcp starts another device; the device options below apply to the
//                     last one started.
//   --lpc-isp PATH    an LPC1768 ISP boot loader on a pty, linked at PATH; prints "pty PATH"
//   --sdp-rom PATH    an i.MX RT1050 boot ROM in serial-download mode on a pty, linked at PATH
//   --sdp-rom USB     the same ROM on an emulated USB bus (hidraw node and usbfs device)
//   --loader SERIAL   the ROM's jump brings up a recovery loader under SERIAL (hex, DEADDEAD as a
//                     rule) on the emulated bus, its identifier 1, 2, 3, 4; a reset call sends
//                     the chip back to the ROM, REBOOT takes it off the bus
//   --dump DIR        at the end, the chips' memories into DIR (lpc-flash.bin, lpc-ram.bin,
//                     sdp-ram-0xADDRESS.bin for each written stretch of the ROM's RAM), and for
//                     TCP device N (from 1): tcpN-packets.txt (each packet it received, in hex,
//                     one a line), tcpN-AA-flash-0xADDRESS.bin and tcpN-AA-ram-0xADDRESS.bin for
//                     each written stretch of the flash and loader RAM of its module AA;
//                     with --loader, loader-flash-0xADDRESS.bin for each stretch it programmed
//   -- COMMAND ...    runs COMMAND as a child inside the emulation; its exit status is ours
// With --tcp, the device's module network (SimNetworkOptions.h for the table options):
//   --address A       the device's (routing module's) address, even (default 0x08)
//   --probe SERIAL[:MODEL]  answers the TCP/IP discovery probe from 127.0.0.1 as SERIAL (model
//                     MODEL, default 0) with its address and port; the probe is multicast: run
//                     it only inside a private network namespace (scripts/netns)
//   --refuse          its port refuses connections (the probe still names it)
//   --routing         a routing module: the modules behind it get packets while it routes
//   --route-to-me     ... and only after the host set routeToMe 1
//   --on-load SPEC, --on-reboot SPEC  what the device does when its loader starts or it
//                     restarts: SPEC is stay, drop or close, then optionally ",back=MS" (listen
//                     again MS ms later) and ",greet" (greet the new link with [95, 2])
// Until a table is given the device echoes every packet; with tables its modules answer.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "PacketHelpers.h"
#include "PtyPair.h"
#include "SimLinkDevice.h"
#include "SimLinkTcpSide.h"
#include "SimNetwork.h"
#include "SimNetworkOptions.h"
#include "SimRecoveryLoader.h"
#include "SimTransports.h"
#include "TcpipProbeResponder.h"
#include "SimLpcIsp.h"
#include "SimSdpRom.h"
#include "TcpDeviceListener.h"
#include "UsbDeviceEmulation.h"

namespace {

int sUsage() {
  fprintf(stderr,
          "usage: corvantis-devsim [--tcp PORT [--address A] [--probe SERIAL[:MODEL]] [--refuse] [--routing]\n"
          "         [--route-to-me] [--on-load SPEC] [--on-reboot SPEC] [--module A] [--build [A:]N]\n"
          "         [--build-reply A:LEN] [--features A:N] [--uei-data A:N] [--block-size A:N]\n"
          "         [--load-reply A:0|1] [--load-base A:N] [--upgrade-fault A:SUB:KIND[:V[:TIMES[:AFTER]]]]\n"
          "         [--entity A:C:O:I[:S]=W:V] [--slot A:S:L:CAP[=HEX]] [--factory A:K=HEX]\n"
          "         [--system A] [--serial A:N] [--model A:N] [--version A:N] [--name A:TEXT]\n"
          "         [--module-address A:N] [--router A:N] [--i2c A:B:ADDR=HEX[:STATUS]] ...]...\n"
          "         [--lpc-isp PATH] [--sdp-rom PATH|USB [--loader SERIAL]] [--dump DIR] [-- COMMAND ...]\n");
  return 2;
}

bool sParsePort(const char* text, uint16_t* port) {
  std::optional<uint32_t> value = SimOptionNumber(text, 65535);
  if (!value || text[0] < '0' || text[0] > '9') return false;
  *port = static_cast<uint16_t>(*value);
  return true;
}

// A symbolic link at path to the pty's slave; an older link there is replaced, anything else kept.
bool sLink(const PtyPair& pty, const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) return false;
    unlink(path.c_str());
  }
  if (symlink(pty.slaveName().c_str(), path.c_str()) != 0) return false;
  printf("pty %s\n", path.c_str());
  return true;
}

void sWrite(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void sDump(const std::string& dir, const SimLpcIsp* lpc, const SimSdpRom* sdp) {
  if (lpc != nullptr) {
    sWrite(dir + "/lpc-flash.bin", lpc->flash(0, SimLpcIsp::kFlashSize));
    sWrite(dir + "/lpc-ram.bin", lpc->ram(SimLpcIsp::kRamStart, SimLpcIsp::kRamSize));
  }
  if (sdp != nullptr) {
    // One file per run of consecutive written pages.
    auto pages = sdp->ramPages();
    for (auto it = pages.begin(); it != pages.end();) {
      uint32_t start = it->first;
      std::vector<uint8_t> bytes;
      uint32_t next = start;
      while (it != pages.end() && it->first == next) {
        bytes.insert(bytes.end(), it->second.begin(), it->second.end());
        next += 4096;
        ++it;
      }
      char name[64];
      snprintf(name, sizeof name, "/sdp-ram-0x%08X.bin", start);
      sWrite(dir + name, bytes);
    }
  }
}

// One TCP device as the command line gave it.
struct TcpDeviceOptions {
  uint16_t port = 0;
  uint8_t address = 0x08;
  std::vector<SimNetworkSetting> settings;
  std::optional<std::pair<uint32_t, uint8_t>> probe;  // serial, model
  bool refuse = false;
  bool routing = false;
  bool requireRouteToMe = false;
  SimLinkDevice::PhaseChange onLoad;
  SimLinkDevice::PhaseChange onReboot;
};

// One TCP device as it runs.
struct ServedDevice {
  std::unique_ptr<SimLinkDevice> device;
  std::unique_ptr<SimLinkTcpSide> side;
  std::unique_ptr<TcpDeviceListener> listener;
};

// "stay", "drop" or "close", then ",back=MS" and ",greet".
bool sParsePhase(const std::string& text, SimLinkDevice::PhaseChange* change) {
  using Phase = SimLinkDevice::PhaseChange;
  std::vector<std::string> parts = SimOptionSplit(text, ',');
  if (parts[0] == "stay") change->link = Phase::LinkEnd::kStay;
  else if (parts[0] == "drop") change->link = Phase::LinkEnd::kDrop;
  else if (parts[0] == "close") change->link = Phase::LinkEnd::kClose;
  else return false;
  for (size_t i = 1; i < parts.size(); ++i) {
    if (parts[i] == "greet") {
      change->greet = true;
    } else if (parts[i].rfind("back=", 0) == 0) {
      std::optional<uint32_t> ms = SimOptionNumber(parts[i].substr(5), 3600000);
      if (!ms) return false;
      change->back = Phase::Return::kAfterMs;
      change->ms = *ms;
    } else {
      return false;
    }
  }
  return true;
}

// Each run of adjacent written stretches as one file.
void sDumpStretches(const std::string& prefix, const std::vector<SimUpgradeEntity::Stretch>& stretches) {
  std::map<uint32_t, uint32_t> runs;  // start -> end
  for (const SimUpgradeEntity::Stretch& s : stretches) {
    uint32_t start = s.address, end = s.address + static_cast<uint32_t>(s.bytes.size());
    for (auto it = runs.begin(); it != runs.end();) {
      if (it->first <= end && start <= it->second) {
        start = std::min(start, it->first);
        end = std::max(end, it->second);
        it = runs.erase(it);
      } else {
        ++it;
      }
    }
    runs[start] = end;
  }
  for (const auto& run : runs) {
    char name[32];
    snprintf(name, sizeof name, "-0x%08X.bin", run.first);
    sWrite(prefix + name, SimUpgradeEntity::Read(stretches, run.first, run.second - run.first));
  }
}

void sDumpTcp(const std::string& dir, const std::vector<ServedDevice>& served) {
  for (size_t n = 0; n < served.size(); ++n) {
    const SimLinkDevice& device = *served[n].device;
    std::string base = dir + "/tcp" + std::to_string(n + 1);
    std::ofstream packets(base + "-packets.txt");
    for (const SimLinkDevice::Received& r : device.Packets()) packets << HexText(r.wire) << "\n";
    for (uint8_t module : device.Network().Modules()) {
      char part[8];
      snprintf(part, sizeof part, "-%02X", module);
      sDumpStretches(base + part + "-flash", device.Network().FlashWrites(module));
      sDumpStretches(base + part + "-ram", device.Network().LoaderWrites(module));
    }
  }
}

// Runs the command with the emulation's preload; the testbed's folder is in the environment.
pid_t sStartChild(char** argv) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  std::string preload = "libumockdev-preload.so.0";
  if (const char* old = getenv("LD_PRELOAD")) {
    if (strstr(old, "umockdev-preload") != nullptr) preload = old;
    else preload += std::string(":") + old;
  }
  setenv("LD_PRELOAD", preload.c_str(), 1);
  sigset_t none;
  sigemptyset(&none);
  pthread_sigmask(SIG_SETMASK, &none, nullptr);
  execvp(argv[0], argv);
  fprintf(stderr, "corvantis-devsim: cannot run %s: %s\n", argv[0], strerror(errno));
  _exit(127);
}

}  // namespace

int main(int argc, char** argv) {
  // A deque: settings keep a pointer to their device's address.
  std::deque<TcpDeviceOptions> tcpDevices;
  std::string lpcPath, sdpPath, dumpDir;
  std::optional<uint32_t> loaderSerial;
  char** command = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--") {
      if (i + 1 >= argc) return sUsage();
      command = argv + i + 1;
      break;
    }
    // Flags of the last TCP device.
    if (a == "--refuse" || a == "--routing" || a == "--route-to-me") {
      if (tcpDevices.empty()) return sUsage();
      TcpDeviceOptions& d = tcpDevices.back();
      if (a == "--refuse") d.refuse = true;
      if (a == "--routing") d.routing = true;
      if (a == "--route-to-me") d.routing = d.requireRouteToMe = true;
      continue;
    }
    if (i + 1 >= argc) return sUsage();
    const char* value = argv[++i];
    if (a == "--tcp") {
      TcpDeviceOptions d;
      if (!sParsePort(value, &d.port)) return sUsage();
      tcpDevices.push_back(std::move(d));
    } else if (a == "--lpc-isp") {
      lpcPath = value;
    } else if (a == "--sdp-rom") {
      sdpPath = value;
    } else if (a == "--loader") {
      char* end = nullptr;
      unsigned long serial = strtoul(value, &end, 16);
      if (end == value || *end != '\0' || serial == 0 || serial > 0xFFFFFFFFul) return sUsage();
      loaderSerial = static_cast<uint32_t>(serial);
    } else if (a == "--dump") {
      dumpDir = value;
    } else {
      // Everything else belongs to a TCP device.
      if (tcpDevices.empty()) return sUsage();
      TcpDeviceOptions& d = tcpDevices.back();
      if (a == "--address") {
        std::optional<uint8_t> parsed = SimOptionModuleAddress(value);
        if (!parsed) return sUsage();
        d.address = *parsed;
      } else if (a == "--probe") {
        std::string text = value;
        size_t colon = text.find(':');
        std::optional<uint32_t> serial = SimOptionNumber(text.substr(0, colon), 0xFFFFFFFF);
        std::optional<uint32_t> model =
            colon == std::string::npos ? std::optional<uint32_t>(0) : SimOptionNumber(text.substr(colon + 1), 0xFF);
        if (!serial || !model) return sUsage();
        d.probe = std::make_pair(*serial, static_cast<uint8_t>(*model));
      } else if (a == "--on-load" || a == "--on-reboot") {
        if (!sParsePhase(value, a == "--on-load" ? &d.onLoad : &d.onReboot)) return sUsage();
      } else {
        std::optional<SimNetworkSetting> setting = SimNetworkOption(a, value, &d.address);
        if (!setting) return sUsage();
        d.settings.push_back(std::move(*setting));
      }
    }
  }
  if (tcpDevices.empty() && lpcPath.empty() && sdpPath.empty()) return sUsage();
  if (loaderSerial && sdpPath.empty()) return sUsage();

  // Every thread made from here on leaves the signals to sigwait below.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  std::vector<ServedDevice> served;
  std::unique_ptr<TcpipProbeResponder> responder;
  std::unique_ptr<UsbDeviceEmulation> usb;
  std::unique_ptr<PtyPair> lpcPty, sdpPty;
  std::unique_ptr<SimLpcIsp> lpc;
  std::unique_ptr<SimSdpRom> sdp;
  std::unique_ptr<SimRecoveryLoader> loader;
  try {
    for (TcpDeviceOptions& d : tcpDevices) {
      ServedDevice one;
      one.device = std::make_unique<SimLinkDevice>(d.address);
      SimLinkDevice& device = *one.device;
      device.SetEcho(true);
      // Long runs keep no record unless it is to be written out.
      device.SetRecording(!dumpDir.empty());
      for (const SimNetworkSetting& setting : d.settings) setting(device.Network());
      if (d.routing) {
        SimNetwork::Routing routing;
        routing.requireRouteToMe = d.requireRouteToMe;
        device.Network().SetRouting(routing);
      }
      one.side = std::make_unique<SimLinkTcpSide>(device);
      TcpDeviceListener::Options options;
      options.port = d.port;
      one.listener = std::make_unique<TcpDeviceListener>(one.side.get(), options);
      device.SetTransport(TcpTransport(*one.listener));
      device.SetOnLoad(d.onLoad);
      device.SetOnReboot(d.onReboot);
      uint16_t port = one.listener->port();
      if (d.refuse) one.listener->StopListening();
      printf("tcp 127.0.0.1 %u\n", static_cast<unsigned>(port));
      if (d.probe) {
        if (!responder) responder = std::make_unique<TcpipProbeResponder>();
        SimulatedTcpipDevice announced;
        announced.address = "127.0.0.1";
        announced.moduleAddress = d.address;
        announced.tcpPort = port;
        announced.serial = d.probe->first;
        announced.model = d.probe->second;
        responder->AddDevice(announced);
      }
      served.push_back(std::move(one));
    }
    std::string error;
    if (responder && !responder->Start(&error)) throw std::runtime_error("cannot answer the probe: " + error);
    if (!lpcPath.empty()) {
      lpcPty = std::make_unique<PtyPair>(true);
      lpc = std::make_unique<SimLpcIsp>(*lpcPty);
      lpc->start();
      if (!sLink(*lpcPty, lpcPath)) throw std::runtime_error("cannot make the link " + lpcPath);
    }
    if (!sdpPath.empty()) {
      sdp = std::make_unique<SimSdpRom>();
      if (sdpPath == "USB" || loaderSerial) usb = std::make_unique<UsbDeviceEmulation>();
      if (loaderSerial) {
        SimRecoveryLoader::Settings settings;
        settings.serial = *loaderSerial;
        loader = std::make_unique<SimRecoveryLoader>(*usb, *sdp, settings);
      }
      sdp->onJump([&loader](uint32_t address) {
        printf("jump 0x%08X\n", address);
        fflush(stdout);
        if (loader) loader->Jumped(address);
      });
      if (sdpPath == "USB") {
        sdp->plugUsb(*usb);
        printf("usb 1fc9:0130 %s\n", sdp->hidrawPath().c_str());
      } else {
        sdpPty = std::make_unique<PtyPair>(true);
        sdp->serveSerial(*sdpPty);
        if (!sLink(*sdpPty, sdpPath)) throw std::runtime_error("cannot make the link " + sdpPath);
      }
    }
  } catch (const std::exception& e) {
    fprintf(stderr, "corvantis-devsim: %s\n", e.what());
    return 1;
  }
  fflush(stdout);

  int status = 0;
  pid_t child = command != nullptr ? sStartChild(command) : -1;
  for (;;) {
    int signal = 0;
    sigwait(&stop, &signal);
    if (signal != SIGCHLD) break;
    int childStatus = 0;
    if (child > 0 && waitpid(child, &childStatus, WNOHANG) == child) {
      status = WIFEXITED(childStatus) ? WEXITSTATUS(childStatus) : 128 + WTERMSIG(childStatus);
      break;
    }
  }
  if (child > 0 && waitpid(child, nullptr, WNOHANG) == 0) {
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
  }
  if (lpc) lpc->stop();
  if (responder) responder->Stop();
  if (!dumpDir.empty()) {
    sDump(dumpDir, lpc.get(), sdp.get());
    sDumpTcp(dumpDir, served);
    if (loader)
      sDumpStretches(dumpDir + "/loader-flash", loader->network().FlashWrites(loader->settings().address));
  }
  loader.reset();
  if (sdp) sdp->stop();
  if (!lpcPath.empty()) unlink(lpcPath.c_str());
  if (!sdpPath.empty() && sdpPath != "USB") unlink(sdpPath.c_str());
  sdp.reset();
  usb.reset();
  responder.reset();
  // Listeners first: the devices behind them go after.
  for (ServedDevice& one : served) one.listener.reset();
  served.clear();
  return status;
}
