// An interrupt reaches a process that runs a link server: the message library catches it,
// and the first server actor that polls hands it on to the process's own handling, once. A
// process that survives it goes on without spinning.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Child.h"
#include "CpuTime.h"
#include "DeviceRigs.h"
#include "DiscoveryRecorder.h"
#include "Eventually.h"
#include "Netns.h"
#include "ProcessCounts.h"
#include "RawDealer.h"
#include "RunInChild.h"
#include "ServedDevice.h"
#include "SimLinkDevice.h"
#include "SimLinkTcpSide.h"
#include "TcpDeviceListener.h"
#include "aLinkThroughServer.h"
#include "unix_time.h"

namespace {

const char* kServerHost = CORVANTIS_BINARY_DIR "/bin/corvantis-serverhost";
constexpr uint64_t kBound = 5000;  // ms
constexpr uint32_t kSerial = 0x5E12AB01;
// The actors of a local-only server: broker, sync worker, multicast responder.
constexpr int kServerActors = 3;

class ServerInterrupt : public testing::Test {
 protected:
  void SetUp() override {
    RequirePrivateNetns();
    device_.SetEcho(true);
  }

  // The host, serving, with one client that had an answer through it.
  std::unique_ptr<Child> StartHost(bool countSigint) {
    std::vector<std::string> args{"--device-port", std::to_string(listener_.port()), "--serial", "0x5E12AB01",
                                  "--address", "8", "--model", "23"};
    if (countSigint) args.push_back("--count-sigint");
    auto host = std::make_unique<Child>(kServerHost, args);
    std::string line = host->Line(5000);
    unsigned port = 0;
    EXPECT_EQ(sscanf(line.c_str(), "port %u", &port), 1) << line;
    client_ = std::make_unique<RawDealer>(static_cast<uint16_t>(port));
    std::vector<uint8_t> echo{0x08, 0x03, 0x17, 0x01, 0x01};
    EXPECT_TRUE(client_->Send(echo));
    EXPECT_EQ(client_->Receive(3000), echo);
    return host;
  }

  SimLinkDevice device_;
  SimLinkTcpSide side_{device_};
  TcpDeviceListener listener_{&side_};
  std::unique_ptr<RawDealer> client_;
};

}  // namespace

TEST_F(ServerInterrupt, SigintEndsTheProcessBySigint) {
  std::unique_ptr<Child> host = StartHost(false);
  host->Signal(SIGINT);
  std::optional<int> status = host->Wait(2000);
  ASSERT_TRUE(status.has_value()) << "still running 2 s after SIGINT";
  EXPECT_TRUE(WIFSIGNALED(*status));
  EXPECT_EQ(WTERMSIG(*status), SIGINT);
}

TEST_F(ServerInterrupt, AProcessHandlerGetsItOnceAndTheActorsEnd) {
  std::unique_ptr<Child> host = StartHost(true);
  int serving = CountThreadsOf(host->pid());
  host->Signal(SIGINT);
  ASSERT_TRUE(Eventually([&] { return CountThreadsOf(host->pid()) == serving - kServerActors; }, kBound))
      << "the server's actors did not end: " << serving << " threads before, " << CountThreadsOf(host->pid())
      << " now";
  host->CloseInput();
  EXPECT_EQ(host->Line(5000), "sigint 1\n");
  EXPECT_EQ(host->Line(5000), "threads left 0\n");
  std::optional<int> status = host->Wait(5000);
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
}

namespace {

volatile sig_atomic_t sCaught = 0;

void sCatch(int) { sCaught = sCaught + 1; }

// What failed, on standard error, and the child's exit code.
int sFailed(const char* what) {
  fprintf(stderr, "%s\n", what);
  return 1;
}

// In a process of its own, whose handler catches SIGINT: a link server and its client link,
// idle through the interrupt. 0 when the process stayed quiet and the link went cleanly.
int sIdleClientThroughAnInterrupt() {
  struct sigaction catching = {};
  catching.sa_handler = sCatch;
  sigemptyset(&catching.sa_mask);
  sigaction(SIGINT, &catching, nullptr);
  StartMessageLibrary();
  int baseline = CountThreads();
  {
    TcpSimDevice d{8, kSerial};
    SetSystemEntity(d.device, kSerial);
    aLinkRef device = aLink_CreateTCPIP(kSerial, TcpDeviceListener::address(), d.listener.port());
    uint16_t port = 0;
    uint32_t interface = IPv4("127.0.0.1");
    aLinkRef client = device != 0 ? aLink_CreateServer(device, &port, &interface, true) : 0;
    if (client == 0) return sFailed("no client link");
    if (GetUEI32(client, 8, 9) != kSerial) return sFailed("no answer through the client link");
    size_t connection = d.listener.accepts();

    kill(getpid(), SIGINT);
    if (!Eventually([] { return sCaught != 0; }, kBound)) return sFailed("the handler never got the interrupt");
    double before = ProcessCpuSeconds();
    aTime_MSSleep(500);
    double used = ProcessCpuSeconds() - before;
    // A thread spinning on the interrupted wait takes most of a core's 500 ms; the bound
    // leaves room for a loaded machine's slower wake-ups of the idle threads.
    if (used >= 0.1) {
      fprintf(stderr, "%.3f s of CPU in 500 ms after the interrupt\n", used);
      return 1;
    }
    if (aLink_Destroy(&client) != aErrNone) return sFailed("the client link was not released");
    if (!d.listener.WaitForEnd(connection, kBound)) return sFailed("the device link stayed");
  }
  if (!Eventually([&] { return CountThreads() <= baseline; }, kBound)) return sFailed("threads left");
  return sCaught == 1 ? 0 : sFailed("the interrupt was handed on more than once");
}

}  // namespace

// Its own process: the interrupt stays set in the message library for good.
TEST(ClientLinkInterrupt, AnIdleClientLinkWaitsQuietlyAfterACaughtInterruptAndStillGoes) {
  RequirePrivateNetns();
  int status = RunInChild(sIdleClientThroughAnInterrupt, {}, 30000);
  EXPECT_EQ(ChildExitCode(status), 0) << "wait status " << status;
}
