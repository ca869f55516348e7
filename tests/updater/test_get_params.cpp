#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "Log.h"
#include "LogCapture.h"
#include "Options.h"
#include "RecordingDisplay.h"

namespace {

const char* const kHttp = "http://update.tavrin.invalid/cgi/u";
const char* const kHttps = "https://update.tavrin.invalid/cgi/u";

struct Outcome {
  int rc = -1;
  Parameters params;
  std::vector<std::string> errors;
  std::string log;
  unsigned topics = 0;  // active log topics afterwards
  std::vector<std::string> argv;  // the vector as the parser left it
};

Outcome Get(const std::vector<std::string>& args, const std::string& program = "/opt/bin/updater") {
  std::vector<std::string> store = {program};
  store.insert(store.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : store) argv.push_back(s.data());
  argv.push_back(nullptr);
  Outcome out;
  RecordingDisplay display;
  LogCapture capture;
  out.rc = _get_params(display, static_cast<int>(store.size()), argv.data(), &out.params);
  out.errors = display.errors();
  out.log = capture.text();
  out.topics = Log::GetPackages();
  for (size_t i = 0; i + 1 < argv.size(); ++i) out.argv.push_back(argv[i]);
  EXPECT_TRUE(display.infos().empty());
  return out;
}

using Check = std::function<void(const Outcome&)>;

}  // namespace

TEST(GetParams, Defaults) {
  Outcome o = Get({});
  const Parameters& p = o.params;
  EXPECT_EQ(o.rc, 0);
  EXPECT_EQ(p.commands.Bits(), 0u);
  EXPECT_EQ(p.serialNumber, 0u);
  EXPECT_EQ(p.routerSerialNumber, 0u);
  EXPECT_EQ(p.transport, 1u);
  EXPECT_FALSE(p.transportGiven);
  EXPECT_EQ(p.baudRate, 115200u);
  EXPECT_EQ(p.serverUrl, kHttp);
  EXPECT_EQ(p.logFile, "Updater.log");
  EXPECT_TRUE(p.useUEIBytes);
  EXPECT_EQ(p.programName, "updater");
  EXPECT_TRUE(p.build.empty() && p.birdFile.empty() && p.serialPort.empty() && p.storageDirectory.empty());
  EXPECT_FALSE(p.overrideChecks || p.help || p.logMaskGiven || p.echo || p.nFlag);
  EXPECT_EQ(Get({}, "C:\\tools\\upd.exe").params.programName, "upd.exe");
  EXPECT_EQ(Get({}, "plain").params.programName, "plain");
}

TEST(GetParams, NoArgumentVector) {
  Parameters p;
  RecordingDisplay display;
  EXPECT_EQ(_get_params(display, 0, nullptr, &p), 0);
  EXPECT_EQ(p.programName, "");
  EXPECT_EQ(p.commands.Bits(), 0u);
  EXPECT_EQ(p.serverUrl, kHttp);
}

TEST(GetParams, Table) {
  struct Row {
    std::vector<std::string> args;
    int rc;
    std::vector<std::string> errors;
    Check check;
  };
  auto serial = [](uint32_t v) { return [v](const Outcome& o) { EXPECT_EQ(o.params.serialNumber, v); }; };
  auto transport = [](uint32_t v) {
    return [v](const Outcome& o) {
      EXPECT_EQ(o.params.transport, v);
      EXPECT_TRUE(o.params.transportGiven);
    };
  };
  auto uei = [](bool v) { return [v](const Outcome& o) { EXPECT_EQ(o.params.useUEIBytes, v); }; };
  auto build = [](const char* v) { return [v](const Outcome& o) { EXPECT_EQ(o.params.build, v); }; };
  auto commands = [](uint32_t v) { return [v](const Outcome& o) { EXPECT_EQ(o.params.commands.Bits(), v); }; };
  auto overrides = [](bool v) { return [v](const Outcome& o) { EXPECT_EQ(o.params.overrideChecks, v); }; };
  auto url = [](const char* v) { return [v](const Outcome& o) { EXPECT_EQ(o.params.serverUrl, v); }; };
  const char* badSerial = "Invalid serial number obtained from argument [";
  const char* multiple =
      "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.";
  const char* badTransport = "Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER";

  const Row rows[] = {
      {{"-O"}, 0, {}, overrides(true)},
      {{"-OV"}, 0, {}, overrides(true)},
      {{"-OVERRIDE"}, 0, {}, overrides(true)},
      {{"-OVERRIDEX"}, 0, {}, overrides(false)},
      {{"--he"}, 0, {}, [](const Outcome& o) { EXPECT_TRUE(o.params.help && o.params.commands.IsSet(CMD_HELP)); }},
      {{"-H"}, 0, {}, commands(CMD_HELP)},
      {{"--ht", "--htt"}, 0, {}, url(kHttp)},
      {{"--https"}, 0, {}, url(kHttps)},
      {{"--https", "--http"}, 1, {multiple}, nullptr},
      {{"-u", "host:1234", "--https"}, 1, {multiple}, nullptr},
      {{"--http", "--http"}, 1, {multiple}, nullptr},
      {{"-u", "host:1234"}, 0, {}, url("host:1234")},
      {{"-d", "0x40F5849A"}, 0, {}, serial(0x40F5849A)},
      {{"-d", "40f5849a"}, 0, {}, serial(0x40F5849A)},
      {{"-d=40F5849A"}, 0, {}, serial(0x40F5849A)},
      {{"-d", "0"}, 1, {badSerial + std::string("0]")}, nullptr},
      {{"-d", "40G5"}, 1, {badSerial + std::string("40G5]")}, nullptr},
      {{"-d", "0x"}, 1, {badSerial + std::string("]")}, nullptr},
      {{"-d", "140F5849A"}, 1, {badSerial + std::string("140F5849A]")}, nullptr},
      {{"-d", "FFFFFFFF"}, 0, {}, serial(0xFFFFFFFF)},
      {{"-r", "1FFFFFFFF"}, 1, {"Invalid router serial number obtained from argument [1FFFFFFFF]"}, nullptr},
      {{"-r", "0XD272031D"}, 0, {}, [](const Outcome& o) { EXPECT_EQ(o.params.routerSerialNumber, 0xD272031Du); }},
      {{"-d", "-D"}, 0, {}, [](const Outcome& o) {
         EXPECT_EQ(o.params.serialNumber, 0u);
         EXPECT_EQ(o.params.commands.Bits(), uint32_t(CMD_DISCOVER));
       }},
      {{"-D", "-d"}, 0, {}, commands(CMD_DISCOVER)},
      {{"-t", "TCPIP"}, 0, {}, transport(2)},
      {{"-t", "TCP"}, 0, {}, transport(2)},
      {{"-t", "TCPX"}, 0, {}, transport(2)},
      {{"-t", "USB"}, 0, {}, transport(1)},
      {{"-t", "RECOVER"}, 0, {}, transport(255)},
      {{"-t", "usb"}, 1, {badTransport}, transport(0)},
      {{"-m", "0"}, 0, {}, uei(false)},
      {{"-m", "TRUE"}, 0, {}, uei(false)},
      {{"-m", "yes"}, 0, {}, uei(false)},
      {{"-m", "1"}, 0, {}, uei(true)},
      {{"-m", "10"}, 0, {}, uei(true)},
      {{"-m", "true"}, 0, {}, uei(true)},
      {{"-Q", "-Dx", "-D=1", "foo"}, 0, {}, commands(0)},
      {{"-Y"}, 1, {"Unhandled command: [-Y]"}, nullptr},
      {{"-Z"}, 0, {}, commands(0)},
      {{"-Z", "x"}, 0, {}, commands(CMD_OPTION_Z)},
      {{"-B", "-L", "-D", "-G", "-I", "-U", "-N", "-C"}, 0, {},
       commands(CMD_LIST_BUILDS | CMD_LIST_LOCAL_BUILDS | CMD_DISCOVER | CMD_GET_BUILD | CMD_STORED_INFO |
                CMD_UPDATE | CMD_FINGERPRINT | CMD_CHECK_BIRD)},
      {{"-b", "00123"}, 0, {}, build("123")},
      {{"-b", "0"}, 0, {}, build("0")},
      {{"-b", "4294967295"}, 0, {}, build("4294967295")},
      {{"-b", "12x"}, 1, {"Invalid format for \"-b\" parameter, unprocessed characters [x]"}, build("")},
      {{"-b", ""}, 1, {"Invalid format for \"-b\" parameter, unprocessed characters []"}, nullptr},
      {{"-b", "4294967296"}, 1, {"Invalid format for \"-b\" parameter, unprocessed characters [4294967296]"},
       nullptr},
      {{"-o", "9600"}, 0, {}, [](const Outcome& o) { EXPECT_EQ(o.params.baudRate, 9600u); }},
      {{"-o", "96k"}, 1, {"Invalid format for \"-o\" parameter, unprocessed characters [k]"}, nullptr},
      {{"-i", "S", "-f", "F", "-s", "P", "-l", "L", "-k", "K", "-e", "-n"}, 0, {}, [](const Outcome& o) {
         const Parameters& p = o.params;
         EXPECT_EQ(p.storageDirectory, "S");
         EXPECT_EQ(p.birdFile, "F");
         EXPECT_EQ(p.serialPort, "P");
         EXPECT_EQ(p.logMessage, "L");
         EXPECT_EQ(p.logFile, "K");
         EXPECT_TRUE(p.echo && p.nFlag);
       }},
      // Help ends the reading with success, whatever came before and after it.
      {{"-Y", "-h", "-d", "0"}, 0, {"Unhandled command: [-Y]"}, [](const Outcome& o) {
         EXPECT_TRUE(o.params.help);
         EXPECT_EQ(o.params.serialNumber, 0u);
       }},
      {{"-h", "-X", "1"}, 0, {}, [](const Outcome& o) { EXPECT_FALSE(o.params.logMaskGiven); }},
      {{"-X", "1", "-h"}, 0, {}, [](const Outcome& o) { EXPECT_TRUE(o.params.logMaskGiven); }},
      // Several rejections, each reported.
      {{"-d", "0", "-t", "usb", "-Y"}, 1, {badSerial + std::string("0]"), badTransport, "Unhandled command: [-Y]"},
       nullptr},
  };
  for (const Row& r : rows) {
    std::string name;
    for (const auto& a : r.args) name += "'" + a + "' ";
    SCOPED_TRACE(name);
    Outcome o = Get(r.args);
    EXPECT_EQ(o.rc, r.rc);
    EXPECT_EQ(o.errors, r.errors);
    if (r.check) r.check(o);
  }
}

TEST(GetParams, LogTopics) {
  // -X acts from the moment it is read.
  Outcome before = Get({"-X", "1", "-d", "0x40F5849A"});
  EXPECT_EQ(before.log, "Discarding '0x' serial number prefix\n");
  EXPECT_EQ(Get({"-d", "0x40F5849A", "-X", "1"}).log, "");
  EXPECT_EQ(Get({"-X", "1", "-r", "0xD272031D"}).log, "Discarding '0x' router serial number prefix\n");

  Outcome both = Get({"-X", "0x20", "-X", "0x8"});
  EXPECT_EQ(both.topics, unsigned(DEBUG_ServerComm | DEBUG_BirdFile));
  EXPECT_EQ(both.params.logMask, 0x8u);

  Outcome malformed = Get({"-X", "12abc"});
  EXPECT_EQ(malformed.rc, 0);
  EXPECT_EQ(malformed.errors,
            std::vector<std::string>{"Invalid format for \"-X\" parameter, unprocessed characters [abc]"});
  EXPECT_EQ(malformed.topics, 0u);
  EXPECT_TRUE(malformed.params.logMaskGiven);

  // The whole vector is logged as the parser left it: options first, ordinary arguments last.
  Outcome listed = Get({"-X", "0x10000", "foo", "-i", "S", "-d=1", "-I"});
  EXPECT_EQ(listed.log,
            "\nApplication parameters:[updater]\n\t[/opt/bin/updater]\n\t[-X]\n\t[0x10000]\n\t[-i]\n\t[S]\n"
            "\t[-d]\n\t[-I]\n\t[foo]\n");
  EXPECT_EQ(listed.params.serialNumber, 1u);
}

TEST(GetParams, OddAndLongVectors) {
  std::vector<std::string> odd = {"-", "--", "-=", "=", "", "-d", "-", "-b", "--http=1", "-i"};
  Outcome o = Get(odd);
  EXPECT_EQ(o.rc, 0);
  EXPECT_TRUE(o.errors.empty());
  EXPECT_EQ(o.argv.size(), odd.size() + 1);

  std::vector<std::string> many;
  for (int i = 0; i < 120; ++i) many.push_back(i % 3 ? "w" + std::to_string(i) : "-D");
  many.push_back("-d");
  many.push_back("40F5849A");
  Outcome m = Get(many);
  EXPECT_EQ(m.rc, 0);
  EXPECT_EQ(m.params.serialNumber, 0x40F5849Au);
  EXPECT_EQ(m.params.commands.Bits(), uint32_t(CMD_DISCOVER));
  EXPECT_EQ(m.argv.size(), many.size() + 1);
  EXPECT_EQ(m.argv.back(), "w119");
}
