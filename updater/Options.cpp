#include "Options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Log.h"
#include "UpdateServerUrls.h"

const CSimpleOptTempl<char>::SOption g_rgOptions[] = {
    {OPT_COMMAND, "-B", ARG_NONE},         {OPT_COMMAND, "-L", ARG_NONE},
    {OPT_COMMAND, "-D", ARG_NONE},         {OPT_COMMAND, "-G", ARG_NONE},
    {OPT_COMMAND, "-I", ARG_NONE},         {OPT_COMMAND, "-U", ARG_NONE},
    {OPT_COMMAND, "-OVERRIDE", ARG_NONE},  {OPT_COMMAND, "-N", ARG_NONE},
    {OPT_COMMAND, "-Y", ARG_NONE},         {OPT_COMMAND, "-C", ARG_NONE},
    {OPT_HELP, "-h", ARG_NONE},            {OPT_HELP, "-H", ARG_NONE},
    {OPT_PARAMETER, "-n", ARG_NONE},       {OPT_PARAMETER, "-X", ARG_SEPARATE},
    {OPT_PARAMETER, "-Z", ARG_SEPARATE},   {OPT_PARAMETER, "-m", ARG_SEPARATE},
    {OPT_PARAMETER, "-i", ARG_SEPARATE},   {OPT_PARAMETER, "-b", ARG_SEPARATE},
    {OPT_PARAMETER, "-d", ARG_SEPARATE},   {OPT_PARAMETER, "-t", ARG_SEPARATE},
    {OPT_PARAMETER, "-f", ARG_SEPARATE},   {OPT_PARAMETER, "-r", ARG_SEPARATE},
    {OPT_PARAMETER, "-s", ARG_SEPARATE},   {OPT_PARAMETER, "-o", ARG_SEPARATE},
    {OPT_PARAMETER, "-e", ARG_NONE},       {OPT_PARAMETER, "-l", ARG_SEPARATE},
    {OPT_PARAMETER, "-k", ARG_SEPARATE},   {OPT_PARAMETER, "-u", ARG_SEPARATE},
    {OPT_HELP, "--help", ARG_NONE},        {OPT_HTTP, "--http", ARG_NONE},
    {OPT_HTTPS, "--https", ARG_NONE},      {-1, nullptr, ARG_NONE},
};

namespace {

const char* const kHexDigits = "0123456789ABCDEFabcdef";
const char* const kDecDigits = "0123456789";

uint32_t sReadNumber(const char* text, char** end, const char* digits, int base) {
  if (text == nullptr || end == nullptr || text[0] == 0) return 0;
  if (text[strspn(text, digits)] != 0) return 0;
  errno = 0;
  char* after = nullptr;
  unsigned long long value = strtoull(text, &after, base);
  if (errno == ERANGE || value > 0xFFFFFFFFull) return 0;  // never cut a wider value
  *end = after;
  return static_cast<uint32_t>(value);
}

// A decimal argument of -b or -o: digits only and within 32 bits, else the format message.
bool sDecimalArg(UpdaterDisplayInterface& display, const char* option, const char* arg, uint32_t* value) {
  char* end = nullptr;
  *value = _get_int_arg(arg, &end);
  if (end != nullptr) return true;
  size_t digits = strspn(arg, kDecDigits);
  const char* rest = arg[digits] != 0 ? arg + digits : arg;  // empty or too wide: the whole text
  display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                  "Invalid format for \"%s\" parameter, unprocessed characters [%s]", option, rest);
  return false;
}

// A serial number of -d or -r; 0, not hexadecimal or wider than 32 bits is rejected.
bool sSerialArg(UpdaterDisplayInterface& display, const char* arg, bool router, uint32_t* value) {
  if ((arg[0] == '0') && (arg[1] == 'x' || arg[1] == 'X')) {
    Log::log(DEBUG_Updater, router ? "Discarding '0x' router serial number prefix\n"
                                   : "Discarding '0x' serial number prefix\n");
    arg += 2;
  }
  char* end = nullptr;
  *value = _get_hex_arg(arg, &end);
  if (*value != 0) return true;
  display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                  router ? "Invalid router serial number obtained from argument [%s]"
                         : "Invalid serial number obtained from argument [%s]",
                  arg);
  return false;
}

void sSetDefaults(Parameters* p, int argc, char** argv) {
  p->serialNumber = 0;
  p->routerSerialNumber = 0;
  p->transport = 1;
  p->transportGiven = false;
  p->moduleAddress = 0;
  p->echo = false;
  p->logFile = "Updater.log";
  p->birdFile.clear();
  p->logMessage.clear();
  p->build.clear();
  p->serialPort.clear();
  p->baudRate = 115200;
  p->overrideChecks = false;
  p->serverUrl = UPDATE_SERVER_HTTP_URL;
  p->nFlag = false;
  p->programName.clear();
  if (argc > 0 && argv != nullptr && argv[0] != nullptr) {
    std::string name = argv[0];
    size_t slash = name.find_last_of("/\\");
    p->programName = slash == std::string::npos ? name : name.substr(slash + 1);
  }
  p->useUEIBytes = true;
  p->logMask = 0;
  p->logMaskGiven = false;
  p->help = false;
}

void sLogMask(UpdaterDisplayInterface& display, const char* option, const char* arg, Parameters* p) {
  p->logMaskGiven = true;
  int base = (arg[0] == '0' && (arg[1] == 'x' || arg[1] == 'X')) ? 16 : 10;
  char* end = nullptr;
  p->logMask = static_cast<uint32_t>(strtoul(arg, &end, base));
  if (end != nullptr && *end != 0) {
    // A malformed mask is reported but does not fail the command line.
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Invalid format for \"%s\" parameter, unprocessed characters [%s]", option, end);
    return;
  }
  Log::ActivatePackage(p->logMask);
}

bool sTransport(UpdaterDisplayInterface& display, const char* arg, Parameters* p) {
  p->transportGiven = true;
  if (strncmp(arg, "USB", 3) == 0) {
    p->transport = 1;
  } else if (strncmp(arg, "TCP", 3) == 0) {
    p->transport = 2;
  } else if (strncmp(arg, "RECOVER", 7) == 0) {
    p->transport = TRANSPORT_RECOVER;
  } else {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER", arg);
    p->transport = 0;
    return false;
  }
  return true;
}

// One option of the id OPT_PARAMETER; false when it is rejected.
bool sParameter(UpdaterDisplayInterface& display, const char* option, const char* arg, Parameters* p,
                int* serverChoices) {
  if (arg == nullptr) arg = "";  // options of kind 0 in this group
  uint32_t value = 0;
  switch (option[1]) {
    case 'X': sLogMask(display, option, arg, p); return true;
    case 'Z': p->commands.Set(CMD_OPTION_Z); return true;
    case 'm': p->useUEIBytes = arg[0] == '1' || strncmp(arg, "true", 4) == 0; return true;
    case 'i': p->storageDirectory = arg; return true;
    case 'f': p->birdFile = arg; return true;
    case 's': p->serialPort = arg; return true;
    case 'l': p->logMessage = arg; return true;
    case 'k': p->logFile = arg; return true;
    case 'b':
      if (!sDecimalArg(display, option, arg, &value)) return false;
      p->build = std::to_string(value);
      return true;
    case 'o':
      if (!sDecimalArg(display, option, arg, &value)) return false;
      p->baudRate = value;
      return true;
    case 'd': return sSerialArg(display, arg, false, &p->serialNumber);
    case 'r': return sSerialArg(display, arg, true, &p->routerSerialNumber);
    case 't': return sTransport(display, arg, p);
    case 'u': p->serverUrl = arg; ++*serverChoices; return true;
    case 'e': p->echo = true; return true;
    case 'n': p->nFlag = true; return true;
    default: return true;
  }
}

// One option of the id OPT_COMMAND; false for a command the table lists but nothing handles.
bool sCommand(UpdaterDisplayInterface& display, const char* option, Parameters* p) {
  switch (option[1]) {
    case 'B': p->commands.Set(CMD_LIST_BUILDS); return true;
    case 'C': p->commands.Set(CMD_CHECK_BIRD); return true;
    case 'D': p->commands.Set(CMD_DISCOVER); return true;
    case 'G': p->commands.Set(CMD_GET_BUILD); return true;
    case 'I': p->commands.Set(CMD_STORED_INFO); return true;
    case 'L': p->commands.Set(CMD_LIST_LOCAL_BUILDS); return true;
    case 'N': p->commands.Set(CMD_FINGERPRINT); return true;
    case 'U': p->commands.Set(CMD_UPDATE); return true;
    case 'O': p->overrideChecks = true; return true;
    default:
      display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Unhandled command: [%s]", option);
      return false;
  }
}

}  // namespace

uint32_t _get_hex_arg(const char* text, char** end) { return sReadNumber(text, end, kHexDigits, 16); }

uint32_t _get_int_arg(const char* text, char** end) { return sReadNumber(text, end, kDecDigits, 10); }

int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* p) {
  sSetDefaults(p, argc, argv);
  // No argument vector at all: nothing to read, not even a program name.
  if (argc <= 0 || argv == nullptr) argc = 0;

  CSimpleOptTempl<char> parser(argc, argv, g_rgOptions, 0);
  bool failed = false;
  int serverChoices = 0;
  while (parser.Next()) {
    if (parser.LastError() != 0) continue;  // the parser's own rejections pass silently
    const char* option = parser.OptionText();
    switch (parser.OptionId()) {
      case OPT_HELP:
        p->commands.Set(CMD_HELP);
        p->help = true;
        return 0;
      case OPT_HTTPS:
        p->serverUrl = UPDATE_SERVER_HTTPS_URL;
        ++serverChoices;
        break;
      case OPT_HTTP:
        p->serverUrl = UPDATE_SERVER_HTTP_URL;
        ++serverChoices;
        break;
      case OPT_COMMAND:
        if (!sCommand(display, option, p)) failed = true;
        break;
      case OPT_PARAMETER:
        if (!sParameter(display, option, parser.OptionArg(), p, &serverChoices)) failed = true;
        break;
      default:
        break;
    }
  }

  if (serverChoices > 1) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s",
                    "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.");
    failed = true;
  }
  Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", p->programName.c_str());
  for (int i = 0; i < argc; ++i) Log::log(DEBUG_APP, "\t[%s]\n", argv[i] ? argv[i] : "");
  return failed ? 1 : _validate_params(p);
}
