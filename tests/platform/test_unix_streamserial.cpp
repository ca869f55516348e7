#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "CpuTime.h"
#include "Eventually.h"
#include "PacketHelpers.h"
#include "PeerFraming.h"
#include "ProcessCounts.h"
#include "PtyPair.h"
#include "RunInChild.h"
#include "SimLinkPty.h"
#include "TempDir.h"
#include "unix_streamserial.h"
#include "unix_time.h"

namespace {

typedef aErr (*CreateProc)(const char*, uint32_t, bool, uint32_t, uint32_t, aStream**);

struct Form {
  const char* name;
  CreateProc create;
};
const Form kForms[] = {{"raw", aStream_CreateSerial}, {"packetized", aStream_CreateSerial_Packetized}};

constexpr uint32_t k115200 = 6;

StreamPtr Open(const Form& form, const std::string& port, uint32_t baudIndex = k115200) {
  aStream* stream = nullptr;
  EXPECT_EQ(form.create(port.c_str(), baudIndex, false, 0, 0, &stream), aErrNone) << form.name;
  return StreamPtr(stream);
}

struct termios SettingsOf(const std::string& path) {
  struct termios t = {};
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(tcgetattr(fd, &t), 0);
  close(fd);
  return t;
}

// Reads n bytes one get at a time, waiting up to 2 s in all.
std::vector<uint8_t> ReadBytes(aStream* stream, size_t n) {
  std::vector<uint8_t> bytes;
  for (int idle = 0; bytes.size() < n && idle < 2000;) {
    uint8_t byte = 0;
    aErr err = aStream_Read(stream, &byte, 1);
    if (err == aErrNone) {
      bytes.push_back(byte);
      continue;
    }
    EXPECT_EQ(err, aErrNotReady);
    if (err != aErrNotReady) break;
    usleep(1000);
    ++idle;
  }
  return bytes;
}

}  // namespace

TEST(SerialStream, OpensRawAtTheRate) {
  for (const Form& form : kForms) {
    PtyPair pty;
    StreamPtr stream = Open(form, pty.slaveName());
    struct termios t = SettingsOf(pty.slaveName());
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200)) << form.name;
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200)) << form.name;
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK));
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
  }
}

TEST(SerialStream, PutsTheEarlierSettingsBack) {
  for (const Form& form : kForms) {
    PtyPair pty;
    struct termios preset = SettingsOf(pty.slaveName());
    cfsetispeed(&preset, B9600);
    cfsetospeed(&preset, B9600);
    preset.c_lflag |= ICANON | ECHO;
    int fd = open(pty.slaveName().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &preset), 0);
    close(fd);
    preset = SettingsOf(pty.slaveName());

    StreamPtr stream = Open(form, pty.slaveName());
    EXPECT_EQ(SettingsOf(pty.slaveName()).c_lflag, 0u);
    stream.reset();
    struct termios after = SettingsOf(pty.slaveName());
    EXPECT_EQ(cfgetispeed(&after), static_cast<speed_t>(B9600)) << form.name;
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B9600));
    EXPECT_EQ(after.c_iflag, preset.c_iflag);
    EXPECT_EQ(after.c_oflag, preset.c_oflag);
    EXPECT_EQ(after.c_cflag, preset.c_cflag);
    EXPECT_EQ(after.c_lflag, preset.c_lflag);
    EXPECT_NE(after.c_lflag & ICANON, 0u);
    EXPECT_NE(after.c_lflag & ECHO, 0u);
  }
}

TEST(SerialStream, OpenErrors) {
  TempDir dir;
  std::string file = dir.path() + "/plain";
  close(open(file.c_str(), O_CREAT | O_WRONLY, 0644));
  PtyPair pty;
  const std::string longName(4096, 'a');
  const std::string longestName = "/" + std::string(4094, 'a');  // 4095: one short of the limit

  struct Case {
    const char* name;
    const char* port;
    uint32_t baud, data, stop;
    bool nullOut;
    aErr expected;
  };
  const Case cases[] = {
      {"NULL port", nullptr, k115200, 0, 0, false, aErrResource},
      {"NULL out", pty.slaveName().c_str(), k115200, 0, 0, true, aErrResource},
      {"data code 2", pty.slaveName().c_str(), k115200, 2, 0, false, aErrResource},
      {"stop code 2", pty.slaveName().c_str(), k115200, 0, 2, false, aErrResource},
      {"baud index 8", pty.slaveName().c_str(), 8, 0, 0, false, aErrResource},
      {"4096-character name", longName.c_str(), k115200, 0, 0, false, aErrResource},
      {"4095-character name", longestName.c_str(), k115200, 0, 0, false, aErrIO},
      {"missing path", "/dev/no-such-serial-port", k115200, 0, 0, false, aErrNotFound},
      {"/dev/null", "/dev/null", k115200, 0, 0, false, aErrIO},
      {"regular file", file.c_str(), k115200, 0, 0, false, aErrIO},
      {"directory", dir.path().c_str(), k115200, 0, 0, false, aErrIO},
  };
  for (const Form& form : kForms) {
    for (const Case& c : cases) {
      int before = CountOpenDescriptors();
      aStream* stream = reinterpret_cast<aStream*>(0x1);
      aErr err = form.create(c.port, c.baud, false, c.data, c.stop, c.nullOut ? nullptr : &stream);
      EXPECT_EQ(err, c.expected) << form.name << ": " << c.name;
      if (!c.nullOut) {
        EXPECT_EQ(stream, nullptr) << form.name << ": " << c.name;
      }
      EXPECT_EQ(CountOpenDescriptors(), before) << form.name << ": " << c.name;
    }
  }
}

TEST(SerialStream, PermissionDenied) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to uid 65534";
  PtyPair pty;
  ASSERT_EQ(chmod(pty.slaveName().c_str(), 0600), 0);
  for (const Form& form : kForms) {
    int status = RunInChild(
        [&] {
          int before = CountOpenDescriptors();
          aStream* stream = reinterpret_cast<aStream*>(0x1);
          aErr err = form.create(pty.slaveName().c_str(), k115200, false, 0, 0, &stream);
          if (stream != nullptr || CountOpenDescriptors() != before) return 100;
          return static_cast<int>(err);
        },
        ChildLimits{.uid = 65534});
    EXPECT_EQ(ChildExitCode(status), aErrPermission) << form.name;
  }
}

TEST(SerialStream, RawBytesBothWays) {
  PtyPair pty;
  StreamPtr stream = Open(kForms[0], pty.slaveName());
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(stream.get(), &byte, 1), aErrNotReady);

  std::vector<uint8_t> all(256);
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>(i);
  ASSERT_EQ(aStream_Write(stream.get(), all.data(), all.size()), aErrNone);
  EXPECT_EQ(pty.readMaster(256, 2000), all);

  ASSERT_TRUE(pty.writeMaster(all));
  EXPECT_EQ(aStream_WaitReadable(stream.get(), 5000), aErrNone);
  EXPECT_EQ(ReadBytes(stream.get(), 256), all);
  EXPECT_EQ(aStream_Read(stream.get(), &byte, 1), aErrNotReady);
}

TEST(SerialStream, PacketizedFramesOnTheLine) {
  PtyPair pty;
  StreamPtr stream = Open(kForms[1], pty.slaveName());
  std::vector<uint8_t> wire = HexBytes("08 03 11 00 22");
  ASSERT_EQ(aStream_Write(stream.get(), wire.data(), wire.size()), aErrNone);
  EXPECT_EQ(pty.readMaster(PeerFrame(wire).size(), 2000), PeerFrame(wire));

  ASSERT_TRUE(pty.writeMaster(PeerFrame(HexBytes("0A 01 7F"))));
  EXPECT_EQ(ReadBytes(stream.get(), 3), HexBytes("0A 01 7F"));
}

// A port that vanishes is an I/O error, not silence, in both forms.
TEST(SerialStream, VanishedPort) {
  for (const Form& form : kForms) {
    PtyPair pty;
    StreamPtr stream = Open(form, pty.slaveName());
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(stream.get(), &byte, 1), aErrNotReady);
    EXPECT_EQ(aStream_WaitReadable(stream.get(), 20), aErrTimeout);
    pty.closeMaster();
    EXPECT_EQ(aStream_WaitReadable(stream.get(), 5000), aErrNone) << form.name;  // the hang-up
    EXPECT_EQ(aStream_Read(stream.get(), &byte, 1), aErrIO) << form.name;
    std::vector<uint8_t> wire = HexBytes("08 00");
    EXPECT_EQ(aStream_Write(stream.get(), wire.data(), wire.size()), aErrIO) << form.name;
  }
}

// With standard input closed the port gets descriptor 0, which must still be closed and have
// its settings put back.
TEST(SerialStream, DescriptorZero) {
  PtyPair pty;
  int status = RunInChild([&] {
    close(STDIN_FILENO);
    aStream* stream = nullptr;
    if (aStream_CreateSerial(pty.slaveName().c_str(), 2, false, 0, 0, &stream) != aErrNone) return 1;
    if (fcntl(STDIN_FILENO, F_GETFD) < 0) return 2;  // the port is not on descriptor 0
    aStream_Destroy(&stream);
    if (fcntl(STDIN_FILENO, F_GETFD) >= 0) return 3;  // left open
    return 0;
  });
  EXPECT_EQ(ChildExitCode(status), 0);
  struct termios after = SettingsOf(pty.slaveName());
  EXPECT_NE(cfgetospeed(&after), static_cast<speed_t>(B2400));  // put back
}

namespace {

// Bytes without a zero, so that no frame ends among them, in no short period.
std::vector<uint8_t> Scrambled(size_t n) {
  std::vector<uint8_t> bytes(n);
  uint32_t x = 12345;
  for (uint8_t& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(1 + (x >> 16) % 255);
  }
  return bytes;
}

}  // namespace

// One write of far more than a pty holds, against far ends that take its bytes in different
// ways: the write goes on while bytes go out, a second without any ends it with aErrTimeout,
// and the line carries the block's own bytes in order, then those of the next write.
TEST(SerialStream, WritesEndInBoundedTime) {
  struct Case {
    const char* name;
    uint32_t intake;  // bytes a second, one per read; 0: all a read gives
    int stopMs;       // the far end first reads nothing for this long; -1: until the write ends
    aErr expected;
    uint64_t minMs, maxMs;  // the write's time
  };
  const Case cases[] = {
      // Well over a second in all, with pauses of about 250 ms while the pty waits for its reader.
      {"one byte per read", 16000, 0, aErrNone, 1200, 10000},
      {"stops, reads again within the second", 0, 600, aErrNone, 550, 3000},
      {"stops for good", 0, -1, aErrTimeout, 1000, 2500},
  };
  const std::vector<uint8_t> block = Scrambled(48 * 1024);
  const std::vector<uint8_t> next = HexBytes("C0 FF EE");
  for (const Case& c : cases) {
    PtyPair pty;
    SimLinkDevice device;
    SimLinkPty line(pty, device);
    line.SetIntake(c.intake);
    StreamPtr stream = Open(kForms[0], pty.slaveName());
    if (c.stopMs != 0) line.StopReading();
    std::thread resume;
    if (c.stopMs > 0) resume = std::thread([&] {
      aTime_MSSleep(static_cast<uint64_t>(c.stopMs));
      line.ResumeReading();
    });

    double cpu = ProcessCpuSeconds();
    uint64_t start = aTime_GetMonotonicMS();
    EXPECT_EQ(aStream_Write(stream.get(), block.data(), block.size()), c.expected) << c.name;
    uint64_t took = aTime_GetMonotonicMS() - start;
    cpu = ProcessCpuSeconds() - cpu;
    EXPECT_GE(took, c.minMs) << c.name;
    EXPECT_LE(took, c.maxMs) << c.name;
    if (c.intake == 0) {
      EXPECT_LT(cpu, 0.1) << c.name << ": waiting costs no CPU";
    }
    if (resume.joinable()) resume.join();
    line.ResumeReading();

    // The stream goes on after a timed-out write.
    ASSERT_EQ(aStream_Write(stream.get(), next.data(), next.size()), aErrNone) << c.name;
    auto carried = [&] {
      std::vector<uint8_t> bytes;
      for (const SimLinkPty::LineByte& b : line.LineFromHost()) bytes.push_back(b.byte);
      return bytes;
    };
    ASSERT_TRUE(Eventually([&] { return EndsWith(carried(), next); }, 10000)) << c.name;
    std::vector<uint8_t> got = carried();
    size_t taken = got.size() - next.size();
    if (c.expected == aErrNone) {
      EXPECT_EQ(taken, block.size()) << c.name;
    }
    EXPECT_GT(taken, 4096u) << c.name << ": the pty was filled";
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + static_cast<long>(taken), block.begin())) << c.name;
  }
}
