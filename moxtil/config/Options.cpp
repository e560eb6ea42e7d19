#include "moxtil/config/Options.h"

#include <net/if.h>

#include <cstdio>
#include <cstring>

#include "common/output.h"
#include "common/util.h"
#include "moxtil/address/checkadrs.h"

char _loaderFile[kPathSize];
char _idFile[kPathSize];
char _targetFile[2][kPathSize];
char _FileListPath[kPathSize];

int _baseOffset = kDefaultBaseOffset;
char _reboot = kRebootNone;
int _reset = 0;
UW _resetIP = 0;
int _ForcedNoReset = 0;
int _unicast = 0;
UW _dstIP = 0;
int _TimeOutSecond = 0;
int _delay = 0;
char ifname[kIfNameSize] = MOXTIL_DEFAULT_IFNAME;
static_assert(kIfNameSize == IFNAMSIZ, "an interface name is what the kernel takes");
int _reuse_addr = 0;
int _filelist = 0;
int _filelistWaitTimer = 0;
int _option = 0;
int _targetLimit = 0;
char _recordPath[kPathSize] = "";
int _failureLimit = 0;

const char kVersionLine[] = "Network program loading(MOXTIL) version " MOXTIL_VERSION;
const char kManualPageLine[] = "The options -M, -E and -J, the status lines and the record: man moxtil";

// The default interface is eth0 although the text below says br0: callers
// know the text as it stands.
const char kUsageText[] =
    "Usage : Moxtil <file-1> <file-2> <file-3> [-option] \n"
    "\n"
    "         file-1 : loader program data file name\n"
    "         file-2 : ID code data file name\n"
    "         file-3 : target program data file name\n"
    "         -S: single target(only)\n"
    "         -B: port No. base offset, ex. -B20000\n"
    "                  (default = 10000)\n"
    "         -R: Auto full reboot\n"
    "         -r: Auto semi reboot\n"
    "         -I: Destination IPAddress for reset commond\n"
    "                  ex. -I192.168.71.0\n"
    "         -D: Destination IPAddress for Unicast\n"
    "                  ex. -D192.168.71.0\n"
    "         -F: Void -I option\n"
    "         -T: Setting Timeout(s) for Update(UDP) \n"
    "                  ex. -T60  (default = 0)\n"
    "         -N: Setting Delay(ms) for Update(TCP) \n"
    "                  ex. -T100  (default = 0)\n"
    "         -i: select network IF name(default = br0)\n"
    "         -b: reuse VEXA_COMMON_PORTNO\n"
    "         -L: Search filename in filelist. \n"
    "             ex.Moxtil filelist dummy dummy -L \n"
    "             optin command T: Waiting for reboot time \n"
    "                  ex. -LT60 : Waiting for reboot time 60 second\n"
    "                  ex. -L    : Waiting for reboot time 0  second\n"
    "                  (default = 0)\n"
    "\n"
    "[example]\n"
    "  >Moxtil loader.b idcode.sys target.bin\n"
    "  >Moxtil loader.b idcode.sys target.bin -M\n"
    "  >Moxtil loader.b idcode.sys target.bin -B20000 -D192.168.0.1\n"
    "  >Moxtil loader.b idcode.sys target.bin -M -B11000\n"
    "  >Moxtil loader.b idcode.sys target.bin -R -T60\n"
    "\n";

namespace {

constexpr int kMaxTimeOutSecond = 9999;
constexpr int kMaxFilelistWait = 3600;


// -D and -I: the mode is on even when the address is refused; a refused
// address keeps the value it had, and says so in two lines.
bool TakeAddress(const char* value, int* mode, UW* address) {
  *mode = 1;
  if (ConvIPStrToNum(value, address) == 0) return true;
  printLog(stderr, "Failed to input IPaddress.");
  printLog(stderr, " Please confirm input format.");
  return false;
}

// A refused option, named in one line: a person who mistypes a letter is
// told which.
bool Refuse(const char* arg, const char* why) {
  printLog(stderr, "option %s: %s", arg, why);
  return false;
}

bool Set(int* flag, int value) {
  *flag = value;
  return true;
}

bool SetReboot(char byte) {
  _reboot = byte;
  return true;
}

// -B and -N: a number as sscanf reads it; what is not one leaves the value.
bool TakeNumber(const char* value, int* number) {
  std::sscanf(value, "%d", number);
  return true;
}

// -L, -LT<seconds>: file-list mode, with the wait between rows.
bool TakeFileListOption(const char* value) {
  _filelist = 1;
  _filelistWaitTimer = 0;
  if (value[0] == 'T') {
    const int wait = StringToInt(value + 1);
    _filelistWaitTimer = wait < 0 ? 0 : (wait > kMaxFilelistWait ? kMaxFilelistWait : wait);
  }
  return true;
}

bool TakeTimeOut(const char* arg, const char* value) {
  const int seconds = StringToInt(value);
  if (seconds < 0) return Refuse(arg, "not a number of seconds");
  _TimeOutSecond = seconds > kMaxTimeOutSecond ? kMaxTimeOutSecond : seconds;
  return true;
}

// -M, -M<n>: several targets at once; -S: one at a time.
bool TakeSeveral(const char* arg, const char* value) {
  const int limit = StringToInt(value);
  if (limit < 0) return Refuse(arg, "not a number of targets");
  _option = 1;
  _targetLimit = limit;
  return true;
}

bool TakeSingle() {
  _option = 0;
  _targetLimit = 0;
  return true;
}

bool TakeRecordPath(const char* arg, const char* value) {
  if (value[0] == '\0') return Refuse(arg, "no record file named (-J<file>)");
  StorePath(_recordPath, value);
  return true;
}

bool TakeFailureLimit(const char* arg, const char* value) {
  const int failures = StringToInt(value);
  if (failures < 0) return Refuse(arg, "not a number of failures");
  if (failures == 0) return Refuse(arg, "at least 1 failure in a row ends the run");
  _failureLimit = failures;
  return true;
}

// A longer name than the kernel takes is no interface of this host: cut,
// it would name another, or none.
bool TakeInterface(const char* arg, const char* value) {
  if (std::strlen(value) >= sizeof ifname) return Refuse(arg, "an interface name has at most 15 characters");
  std::snprintf(ifname, sizeof ifname, "%s", value);
  return true;
}

// One option argument ("-X..."), by its letter; false when it makes the
// command line fail.
bool TakeOption(const char* arg) {
  const char* value = arg + 2;
  switch (arg[1]) {
    case 'B': return TakeNumber(value, &_baseOffset);
    case 'D': return TakeAddress(value, &_unicast, &_dstIP);
    case 'F': return Set(&_ForcedNoReset, 1);
    case 'I': return TakeAddress(value, &_reset, &_resetIP);
    case 'L': return TakeFileListOption(value);
    case 'N': return TakeNumber(value, &_delay);
    case 'R': return SetReboot(kRebootFull);
    case 'T': return TakeTimeOut(arg, value);
    case 'M': return TakeSeveral(arg, value);
    case 'S': return TakeSingle();
    case 'b': return Set(&_reuse_addr, 1);
    case 'J': return TakeRecordPath(arg, value);
    case 'E': return TakeFailureLimit(arg, value);
    case 'i': return TakeInterface(arg, value);
    case 'r': return SetReboot(kRebootSemi);
    default: return Refuse(arg, "no such option");  // a lone "-" and every other letter
  }
}

// Questions a person asks, answered whatever follows: kParameterAnswered,
// or 0 when the command line asks none. The update app never passes them;
// a loader file of such a name is not served.
int AnswerQuestion(int argc, char** argv) {
  if (argc < 2) return 0;
  const char* arg = argv[1];
  if (std::strcmp(arg, "--version") == 0) {
    printLog(stderr, "%s", kVersionLine);
    return kParameterAnswered;
  }
  if (std::strcmp(arg, "--help") == 0) {
    PrintUsage();
    printLog(stderr, "%s", kManualPageLine);
    return kParameterAnswered;
  }
  return 0;
}

// The options from argv[first] on: false when one makes the command line
// fail (every one is looked at, so that each mistake is named).
bool TakeOptions(int argc, char** argv, int first) {
  bool taken = true;
  for (int i = first; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] != '-') {
      PrintUsage();
      return false;
    }
    if (std::strcmp(arg, "-NOCOMMAND") == 0 || std::strcmp(arg, "-/NOCANCEL") == 0) continue;
    if (!TakeOption(arg)) taken = false;
  }
  return taken;
}

// Options that cannot go together, said in one line.
bool OptionsAgree() {
  // -E counts failures of targets served side by side: -M's, whatever the
  // order of the two.
  if (_failureLimit > 0 && _option == 0) {
    printLog(stderr, "option -E%d: only with -M (several targets at once)", _failureLimit);
    return false;
  }
  if (_option != 0 && _filelist != 0) {
    printLog(stderr, "-M and -L cannot be used together: a file list is served one target at a time");
    return false;
  }
  return true;
}

// The file set of the command line. Only regular files are loaded: a FIFO
// or a device would block or never end, and a directory cannot be read.
// Telling so now spares the target a reboot into a loader whose program
// cannot follow.
int TakeFileSet(char** argv) {
  StorePath(_loaderFile, argv[1]);
  StorePath(_idFile, argv[2]);
  StorePath(_targetFile[0], argv[3]);
  if (!IsRegularFile(_loaderFile)) {
    printLog(stderr, "loader file not found!");
    return -1;
  }
  const bool second = _targetFile[1][0] != '\0';
  if (!IsRegularFile(_targetFile[0]) || (second && !IsRegularFile(_targetFile[1]))) {
    printLog(stderr, "target PG file not found!");
    return -1;
  }
  return 0;
}

}  // namespace

void StorePath(char* buffer, const char* path) {
  std::memset(buffer, 0, kPathSize);
  std::strncpy(buffer, path, kPathSize - 1);
}

int StringToInt(const char* str) {
  if (std::strlen(str) >= 8) return -1;
  int number = 0;
  for (const char* p = str; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return -1;
    number = number * 10 + (*p - '0');
  }
  return number;
}

void PrintUsage() {
  // Whole, as one record: printLog would cut it at 1023 characters, in the
  // middle of the -L lines, and the examples would never be seen.
  ConsoleOut(kUsageText);
}

int ConvIPStrToNum(const char* argv_n, UW* ip_addr) {
  unsigned char tmpip[4];
  if (checkAdrs(tmpip, argv_n) != 0) return -1;
  // Field 0 in the lowest-addressed byte, whatever the machine's byte order.
  static_assert(sizeof(UW) == sizeof tmpip, "");
  std::memcpy(ip_addr, tmpip, sizeof tmpip);
  return 0;
}

int ParameterShell(int argc, char** argv) {
  _TimeOutSecond = 0;
  _delay = 0;
  const int asked = AnswerQuestion(argc, argv);
  if (asked != 0) return asked;
  if (argc <= 3) {
    PrintUsage();
    return -1;
  }
  // A fourth word that is no option is the second program.
  _targetFile[1][0] = '\0';
  const bool second = argc > 4 && argv[4][0] != '-';
  if (second) StorePath(_targetFile[1], argv[4]);
  if (!TakeOptions(argc, argv, second ? 5 : 4) || !OptionsAgree()) return -1;
  if (_ForcedNoReset != 0) _reset = 0;
  if (_filelist != 0) return 0;
  return TakeFileSet(argv);
}

void ResetOptions() {
  std::memset(_loaderFile, 0, sizeof _loaderFile);
  std::memset(_idFile, 0, sizeof _idFile);
  std::memset(_targetFile, 0, sizeof _targetFile);
  std::memset(_FileListPath, 0, sizeof _FileListPath);
  _baseOffset = kDefaultBaseOffset;
  _reboot = kRebootNone;
  _reset = 0;
  _resetIP = 0;
  _ForcedNoReset = 0;
  _unicast = 0;
  _dstIP = 0;
  _TimeOutSecond = 0;
  _delay = 0;
  std::snprintf(ifname, sizeof ifname, "%s", MOXTIL_DEFAULT_IFNAME);
  _reuse_addr = 0;
  _filelist = 0;
  _filelistWaitTimer = 0;
  _option = 0;
  _targetLimit = 0;
  std::memset(_recordPath, 0, sizeof _recordPath);
  _failureLimit = 0;
}
