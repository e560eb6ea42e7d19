#include "moxtil/config/Options.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "tests/testkit.h"

namespace {

using namespace std::string_literals;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// The usage text whole, each of its lines a line of the log: the examples at its end are seen too.
const std::string kUsage = [] {
  std::string log;
  for (const char* line = kUsageText; *line != '\0'; line = std::strchr(line, '\n') + 1) {
    log += "D/moxtil: " + std::string(line, std::strchr(line, '\n') + 1);
  }
  return log;
}();
const char kBadAddress[] = "D/moxtil: Failed to input IPaddress.\nD/moxtil:  Please confirm input format.\n";

struct Case {
  std::vector<std::string> args;  // after argv[0]; "@name" is a file in the test's directory
  int result;
  std::string log;  // the whole log
  std::function<bool()> holds = [] { return true; };
};

// The command line as the update app passes it: files first, options with their values attached, the last of two
// alike winning.
TEST(ParameterShell, TakesTheCommandLine) {
  testkit::TempDir dir;
  for (const char* name : {"l", "i", "t", "s"}) testkit::WriteFile(dir.File(name), "x");
  const auto files = [](std::vector<std::string> options) {
    options.insert(options.begin(), {"@l", "@i", "@t"});
    return options;
  };
  const std::string forty(40, 'e');
  const Case cases[] = {
      {files({}), 0, "", [] { return _baseOffset == 10000 && !_unicast && !_reboot && !_TimeOutSecond &&
                                     std::strcmp(ifname, "eth0") == 0 && !_targetFile[1][0]; }},
      {{"@l", "@i"}, -1, kUsage},
      {files({"-B", "20000"}), -1, kUsage},  // a value apart from its option
      {{"@list", "-L"}, -1, kUsage},
      // The ID code file is looked for only when a target asks for it; only regular files load: a device never ends,
      // a directory cannot be read.
      {{"@l", "@none", "@t"}, 0, ""},
      {{"/dev/zero", "@i", "@t"}, -1, "D/moxtil: loader file not found!\n"},
      {{"@l", "@i", "@none"}, -1, "D/moxtil: target PG file not found!\n"},
      {{"@l", "@i", "@t", "@."}, -1, "D/moxtil: target PG file not found!\n"},
      {{"@list", "dummy", "dummy", "-LT60"}, 0, "", [] { return _filelist && _filelistWaitTimer == 60; }},
      {{"@list", "dummy", "dummy", "-LT5000"}, 0, "", [] { return _filelistWaitTimer == 3600; }},
      {files({"-T12345"}), 0, "", [] { return _TimeOutSecond == 9999; }},
      // A bad value or an unknown letter is named in one line; the rest is still read.
      {files({"-T12345678"}), -1, "D/moxtil: option -T12345678: not a number of seconds\n"},
      {files({"-T6a", "-R"}), -1, "D/moxtil: option -T6a: not a number of seconds\n", [] { return _reboot == 'R'; }},
      {files({"-X", "-"}), -1, "D/moxtil: option -X: no such option\nD/moxtil: option -: no such option\n"},
      {files({"-J"}), -1, "D/moxtil: option -J: no record file named (-J<file>)\n"},
      // -E: with -M only (in either order), at least 1, a number.
      {files({"-E3", "-M"}), 0, "", [] { return _failureLimit == 3 && _option != 0; }},
      {files({"-M", "-E12"}), 0, "", [] { return _failureLimit == 12; }},
      {files({}), 0, "", [] { return _failureLimit == 0; }},
      {files({"-E3"}), -1, "D/moxtil: option -E3: only with -M (several targets at once)\n"},
      {files({"-M", "-E3", "-S"}), -1, "D/moxtil: option -E3: only with -M (several targets at once)\n"},
      {files({"-M", "-E0"}), -1, "D/moxtil: option -E0: at least 1 failure in a row ends the run\n"},
      {files({"-M", "-Ex"}), -1, "D/moxtil: option -Ex: not a number of failures\n"},
      {files({"-M", "-E-2"}), -1, "D/moxtil: option -E-2: not a number of failures\n"},
      // Questions answered whatever follows, and nothing else done.
      {{"--version"}, kParameterAnswered, "D/moxtil: "s + kVersionLine + "\n"},
      {{"--version", "@none", "@none", "@none", "-X"}, kParameterAnswered, "D/moxtil: "s + kVersionLine + "\n"},
      {{"--help"}, kParameterAnswered, kUsage + "D/moxtil: " + kManualPageLine + "\n"},
      {{"@l", "--version"}, -1, kUsage},  // a question only in the first place
      {files({"-N5", "-NOCOMMAND", "-/NOCANCEL"}), 0, "", [] { return _delay == 5; }},
      {files({"-F", "-I127.0.0.2"}), 0, "", [] { return _reset == 0; }},  // -F voids -I, in either order
      // -M several targets, -M<n> with a count (refused as a bad -T is), -S one at a time; the last of them counts. A
      // file list is one at a time.
      {files({"-M12"}), 0, "", [] { return _option != 0 && _targetLimit == 12; }},
      {files({"-M4", "-S"}), 0, "", [] { return _option == 0 && _targetLimit == 0; }},
      {files({"-S", "-M"}), 0, "", [] { return _option != 0 && _targetLimit == 0; }},
      {files({"-M-1"}), -1, "D/moxtil: option -M-1: not a number of targets\n"},
      {{"@list", "dummy", "dummy", "-M", "-L"}, -1,
       "D/moxtil: -M and -L cannot be used together: a file list is served one target at a time\n"},
      // An interface name as long as the kernel takes (a USB adapter's) is
      // taken whole; a longer one is refused.
      {files({"-R", "-r", "-b", "-ienx00e04c680a1b"}), 0, "",
       [] { return _reboot == 'r' && _reuse_addr && std::strcmp(ifname, "enx00e04c680a1b") == 0; }},
      {files({"-i" + forty}), -1, "D/moxtil: option -i" + forty + ": an interface name has at most 15 characters\n"},
      // Every bad address writes its two lines, and the rest is still read.
      {files({"-I1.2.3", "-D1.2.3.300", "-R"}), -1, std::string(kBadAddress) + kBadAddress,
       [] { return _reboot == 'R' && _unicast && _dstIP == 0; }},
  };
  for (const Case& c : cases) {
    std::vector<std::string> words = {"moxtil"};
    for (const std::string& a : c.args) words.push_back(a.size() > 1 && a[0] == '@' ? dir.File(a.substr(1)) : a);
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    ResetOptions();
    CaptureStdout();
    EXPECT_EQ(ParameterShell(static_cast<int>(argv.size()), argv.data()), c.result) << words[1];
    const std::string log = GetCapturedStdout();
    EXPECT_EQ(log, c.log) << words.back();
    EXPECT_TRUE(c.holds()) << words.back();
  }
  ResetOptions();
}

// Four decimal fields and nothing else; the first field is the lowest-addressed byte, as the socket layer holds it;
// a failure leaves the address.
TEST(ConvIPStrToNum, StrictDottedAddresses) {
  UW address = 0;
  for (const char* good : {"0.0.0.0", "255.255.255.255", "001.002.003.004", "010.0.0.1", "192.168.71.0"}) {
    EXPECT_EQ(ConvIPStrToNum(good, &address), 0) << good;
  }
  const unsigned char bytes[4] = {192, 168, 71, 0};
  EXPECT_EQ(std::memcmp(&address, bytes, 4), 0);
  const std::string sixty(60, '1');
  for (const std::string& bad : {""s, "1.2.3"s, "1.2.3.4.5"s, "1..2.3"s, ".1.2.3"s, "1.2.3."s, "1.2.3.256"s,
                                 "1.2.3.0255"s, " 1.2.3.4"s, "1.2.3.4\n"s, "+1.2.3.4"s, "0x1.2.3.4"s, "1,2,3,4"s,
                                 sixty + ".1.1.1", "1.1.1." + sixty, std::string(5000, '7') + ".1.1.1"}) {
    EXPECT_EQ(ConvIPStrToNum(bad.c_str(), &address), -1) << bad;
    EXPECT_EQ(std::memcmp(&address, bytes, 4), 0) << bad;
  }
}

}  // namespace
