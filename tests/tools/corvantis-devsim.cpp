// The simulated devices as a program of their own, for end-to-end runs and for trying the
// updater by hand. Serves until SIGINT or SIGTERM, or, given a command, until it ends.
//   --tcp PORT        the link-level device on 127.0.0.1:PORT (0: a free port); prints "tcp 127.0.0.1 PORT"
//   --lpc-isp PATH    an LPC1768 ISP boot loader on a pty, linked at PATH; prints "pty PATH"
//   --sdp-rom PATH    an i.MX RT1050 boot ROM in serial-download mode on a pty, linked at PATH
//   --sdp-rom USB     the same ROM on an emulated USB bus (hidraw node and usbfs device)
//   --dump DIR        at the end, the chips' memories into DIR (lpc-flash.bin, lpc-ram.bin,
//                     sdp-ram-0xADDRESS.bin for each written stretch of the ROM's RAM)
//   -- COMMAND ...    runs COMMAND as a child inside the emulation; its exit status is ours
// With --tcp, the device's module network (SimNetworkOptions.h for the table options):
//   --address A       the device's (routing module's) address, even (default 0x08)
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
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "PtyPair.h"
#include "SimLinkDevice.h"
#include "SimLinkTcpSide.h"
#include "SimNetworkOptions.h"
#include "SimLpcIsp.h"
#include "SimSdpRom.h"
#include "TcpDeviceListener.h"
#include "UsbDeviceEmulation.h"

namespace {

int sUsage() {
  fprintf(stderr,
          "usage: corvantis-devsim [--tcp PORT] [--address A] [--module A] [--build [A:]N]\n"
          "         [--entity A:C:O:I[:S]=W:V] [--slot A:S:L:CAP[=HEX]] [--factory A:K=HEX]\n"
          "         [--system A] [--serial A:N] [--model A:N] [--version A:N] [--name A:TEXT]\n"
          "         [--module-address A:N] [--router A:N] [--i2c A:B:ADDR=HEX[:STATUS]]\n"
          "         [--lpc-isp PATH] [--sdp-rom PATH|USB] [--dump DIR] [-- COMMAND ...]\n");
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
  bool tcp = false;
  uint8_t address = 0x08;
  std::vector<SimNetworkSetting> settings;
  TcpDeviceListener::Options options;
  std::string lpcPath, sdpPath, dumpDir;
  char** command = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--") {
      if (i + 1 >= argc) return sUsage();
      command = argv + i + 1;
      break;
    }
    if (i + 1 >= argc) return sUsage();
    const char* value = argv[++i];
    if (a == "--tcp") {
      if (!sParsePort(value, &options.port)) return sUsage();
      tcp = true;
    } else if (a == "--lpc-isp") {
      lpcPath = value;
    } else if (a == "--sdp-rom") {
      sdpPath = value;
    } else if (a == "--dump") {
      dumpDir = value;
    } else if (a == "--address") {
      std::optional<uint8_t> parsed = SimOptionModuleAddress(value);
      if (!parsed) return sUsage();
      address = *parsed;
    } else {
      std::optional<SimNetworkSetting> setting = SimNetworkOption(a, value, &address);
      if (!setting) return sUsage();
      settings.push_back(std::move(*setting));
    }
  }
  if (!tcp && lpcPath.empty() && sdpPath.empty()) return sUsage();
  if (!tcp && (!settings.empty() || address != 0x08)) return sUsage();

  // Every thread made from here on leaves the signals to sigwait below.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  SimLinkDevice device(address);
  device.SetEcho(true);
  device.SetRecording(false);
  for (const SimNetworkSetting& setting : settings) setting(device.Network());
  SimLinkTcpSide side(device);
  std::unique_ptr<TcpDeviceListener> listener;
  std::unique_ptr<UsbDeviceEmulation> usb;
  std::unique_ptr<PtyPair> lpcPty, sdpPty;
  std::unique_ptr<SimLpcIsp> lpc;
  std::unique_ptr<SimSdpRom> sdp;
  try {
    if (tcp) {
      listener = std::make_unique<TcpDeviceListener>(&side, options);
      printf("tcp 127.0.0.1 %u\n", static_cast<unsigned>(listener->port()));
    }
    if (!lpcPath.empty()) {
      lpcPty = std::make_unique<PtyPair>(true);
      lpc = std::make_unique<SimLpcIsp>(*lpcPty);
      lpc->start();
      if (!sLink(*lpcPty, lpcPath)) throw std::runtime_error("cannot make the link " + lpcPath);
    }
    if (!sdpPath.empty()) {
      sdp = std::make_unique<SimSdpRom>();
      sdp->onJump([](uint32_t address) {
        printf("jump 0x%08X\n", address);
        fflush(stdout);
      });
      if (sdpPath == "USB") {
        usb = std::make_unique<UsbDeviceEmulation>();
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
  if (sdp) sdp->stop();
  if (!dumpDir.empty()) sDump(dumpDir, lpc.get(), sdp.get());
  if (!lpcPath.empty()) unlink(lpcPath.c_str());
  if (!sdpPath.empty() && sdpPath != "USB") unlink(sdpPath.c_str());
  sdp.reset();
  usb.reset();
  listener.reset();
  return status;
}
