// An interrupt reaches a process that runs a link server: the message library catches it,
// and the first server actor that polls hands it on to the process's own handling, once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Child.h"
#include "Netns.h"
#include "RawDealer.h"
#include "SimLinkDevice.h"
#include "SimLinkTcpSide.h"
#include "TcpDeviceListener.h"
#include "unix_time.h"

namespace {

const char* kServerHost = CORVANTIS_BINARY_DIR "/bin/corvantis-serverhost";

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
  host->Signal(SIGINT);
  aTime_MSSleep(3000);
  host->CloseInput();
  EXPECT_EQ(host->Line(5000), "sigint 1\n");
  EXPECT_EQ(host->Line(5000), "threads left 0\n");
  std::optional<int> status = host->Wait(5000);
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
}
