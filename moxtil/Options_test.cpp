#include "moxtil/Options.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// Runs ParameterShell on a command line and keeps what it wrote to the log.
class ParameterShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetOptions();
    char tmpl[] = "/tmp/moxtil-options-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    for (const char* name : {"loader.b", "idcode.sys", "target.bin", "second.bin"}) Touch(name);
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    ResetOptions();
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  void Touch(const std::string& name) const {
    FILE* fp = fopen(Path(name).c_str(), "wb");
    ASSERT_NE(fp, nullptr);
    fclose(fp);
  }

  // argv[0] is added; "@name" stands for a file in the fixture's directory.
  int Run(const std::vector<std::string>& args) {
    std::vector<std::string> words = {"moxtil"};
    for (const std::string& a : args) words.push_back(a.size() > 1 && a[0] == '@' ? Path(a.substr(1)) : a);
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    CaptureStdout();
    const int result = ParameterShell(static_cast<int>(words.size()), argv.data());
    log_ = GetCapturedStdout();
    return result;
  }
  // The three positional files, then the options.
  int RunFiles(const std::vector<std::string>& options) {
    std::vector<std::string> all = {"@loader.b", "@idcode.sys", "@target.bin"};
    all.insert(all.end(), options.begin(), options.end());
    return Run(all);
  }
  bool UsageWritten() const { return log_.find("D/moxtil: Usage : Moxtil <file-1>") != std::string::npos; }

  std::string dir_;
  std::string log_;
};

TEST_F(ParameterShellTest, PlainCommandLineTakesDefaults) {
  ASSERT_EQ(RunFiles({}), 0);
  EXPECT_EQ(log_, "");
  EXPECT_STREQ(_loaderFile, Path("loader.b").c_str());
  EXPECT_STREQ(_idFile, Path("idcode.sys").c_str());
  EXPECT_STREQ(_targetFile[0], Path("target.bin").c_str());
  EXPECT_STREQ(_targetFile[1], "");
  EXPECT_EQ(_baseOffset, 10000);
  EXPECT_EQ(_unicast, 0);
  EXPECT_EQ(_reboot, 0);
  EXPECT_EQ(_TimeOutSecond, 0);
  EXPECT_STREQ(ifname, "eth0");
}

TEST_F(ParameterShellTest, PositionalShapes) {
  EXPECT_EQ(Run({"@loader.b", "@idcode.sys"}), -1);
  EXPECT_TRUE(UsageWritten());

  // A separate value does not begin with '-': the usage text.
  EXPECT_EQ(RunFiles({"-B", "20000"}), -1);
  EXPECT_TRUE(UsageWritten());

  // The file list and -L without the two placeholders.
  EXPECT_EQ(Run({"@list", "-L"}), -1);
  EXPECT_TRUE(UsageWritten());

  // A fourth positional argument is the second target program.
  ASSERT_EQ(Run({"@loader.b", "@idcode.sys", "@target.bin", "@second.bin", "-R"}), 0);
  EXPECT_STREQ(_targetFile[1], Path("second.bin").c_str());
  EXPECT_EQ(_reboot, 'R');
}

TEST_F(ParameterShellTest, MissingFiles) {
  // The ID code file is only looked for when a target asks for it.
  EXPECT_EQ(Run({"@loader.b", "@nothing", "@target.bin"}), 0);
  EXPECT_EQ(log_, "");

  EXPECT_EQ(Run({"@nothing", "@idcode.sys", "@target.bin"}), -1);
  EXPECT_EQ(log_, "D/moxtil: loader file not found!\n");
  EXPECT_EQ(Run({"@loader.b", "@idcode.sys", "@nothing"}), -1);
  EXPECT_EQ(log_, "D/moxtil: target PG file not found!\n");
  EXPECT_EQ(Run({"@loader.b", "@idcode.sys", "@target.bin", "@nothing"}), -1);
  EXPECT_EQ(log_, "D/moxtil: target PG file not found!\n");
  // Only regular files: a device never ends, a directory cannot be read.
  EXPECT_EQ(Run({"/dev/zero", "@idcode.sys", "@target.bin"}), -1);
  EXPECT_EQ(log_, "D/moxtil: loader file not found!\n");
  EXPECT_EQ(Run({"@loader.b", "@idcode.sys", "@."}), -1);
  EXPECT_EQ(log_, "D/moxtil: target PG file not found!\n");

  // File-list mode checks none of them.
  EXPECT_EQ(Run({"@list", "dummy", "dummy", "-LT60"}), 0);
  EXPECT_EQ(_filelist, 1);
  EXPECT_EQ(_filelistWaitTimer, 60);
}

TEST_F(ParameterShellTest, NumericOptions) {
  struct {
    const char* arg;
    int result;
    int timeout;
  } timeouts[] = {{"-T0", 0, 0},         {"-T", 0, 0},          {"-T60", 0, 60},    {"-T9999", 0, 9999},
                  {"-T12345", 0, 9999},  {"-T9999999", 0, 9999}, {"-T12345678", -1, 0}, {"-T6a", -1, 0},
                  {"-T-5", -1, 0},       {"-T 5", -1, 0}};
  for (const auto& c : timeouts) {
    ResetOptions();
    EXPECT_EQ(RunFiles({c.arg}), c.result) << c.arg;
    EXPECT_EQ(log_, "") << c.arg;  // a bad -T is silent
    if (c.result == 0) {
      EXPECT_EQ(_TimeOutSecond, c.timeout) << c.arg;
    }
  }

  ASSERT_EQ(RunFiles({"-B20000", "-N100"}), 0);
  EXPECT_EQ(_baseOffset, 20000);
  EXPECT_EQ(_delay, 100);
  ASSERT_EQ(RunFiles({"-B-7"}), 0);
  EXPECT_EQ(_baseOffset, -7);
  ASSERT_EQ(RunFiles({"-Bxyz", "-N"}), 0);  // no number: left as they were
  EXPECT_EQ(_baseOffset, -7);
  EXPECT_EQ(_delay, 0);  // set back to 0 at every start

  // "-NOCOMMAND" with one more letter is -N with a value that is no number.
  ASSERT_EQ(RunFiles({"-N5", "-NOCOMMANDX"}), 0);
  EXPECT_EQ(_delay, 5);
  EXPECT_EQ(RunFiles({"-/NOCANCELX"}), -1);
  EXPECT_EQ(RunFiles({"-NOCOMMAND", "-/NOCANCEL", "-R"}), 0);
}

TEST_F(ParameterShellTest, FileListWait) {
  struct {
    const char* arg;
    int wait;
  } cases[] = {{"-L", 0}, {"-LT60", 60}, {"-LT5000", 3600}, {"-LTabc", 0}, {"-LX60", 0}, {"-LT", 0}};
  for (const auto& c : cases) {
    ResetOptions();
    ASSERT_EQ(Run({"@list", "dummy", "dummy", c.arg}), 0) << c.arg;
    EXPECT_EQ(_filelist, 1) << c.arg;
    EXPECT_EQ(_filelistWaitTimer, c.wait) << c.arg;
  }
}

TEST_F(ParameterShellTest, AddressOptions) {
  ASSERT_EQ(RunFiles({"-D127.0.0.2", "-I192.168.71.0"}), 0);
  EXPECT_EQ(_unicast, 1);
  const unsigned char dst[4] = {127, 0, 0, 2};
  EXPECT_EQ(std::memcmp(&_dstIP, dst, 4), 0);
  EXPECT_EQ(_reset, 1);

  // -F voids -I whatever the order; the address is still taken.
  for (auto order : {std::vector<std::string>{"-F", "-I10.0.0.1"}, std::vector<std::string>{"-I10.0.0.1", "-F"}}) {
    ResetOptions();
    ASSERT_EQ(RunFiles({order[0], order[1]}), 0);
    EXPECT_EQ(_reset, 0);
    const unsigned char reset[4] = {10, 0, 0, 1};
    EXPECT_EQ(std::memcmp(&_resetIP, reset, 4), 0);
  }

  // Every bad address writes its two lines, and the rest is still read.
  ResetOptions();
  EXPECT_EQ(RunFiles({"-I1.2.3", "-D1.2.3.300", "-R"}), -1);
  const std::string twoLines = "D/moxtil: Failed to input IPaddress.\nD/moxtil:  Please confirm input format.\n";
  EXPECT_EQ(log_, twoLines + twoLines);
  EXPECT_EQ(_reboot, 'R');
  EXPECT_EQ(_unicast, 1);
  EXPECT_EQ(_dstIP, 0u);  // kept its former value
}

TEST_F(ParameterShellTest, LettersAndLastWins) {
  for (const char* arg : {"-S", "-M", "-", "-x", "-Z1"}) {
    EXPECT_EQ(RunFiles({arg, "-R"}), -1) << arg;
    EXPECT_EQ(log_, "") << arg;
  }
  ASSERT_EQ(RunFiles({"-R", "-r"}), 0);
  EXPECT_EQ(_reboot, 'r');
  ASSERT_EQ(RunFiles({"-r", "-R", "-b"}), 0);
  EXPECT_EQ(_reboot, 'R');
  EXPECT_EQ(_reuse_addr, 1);

  const std::string forty(40, 'e');
  ASSERT_EQ(RunFiles({"-i" + forty}), 0);
  EXPECT_EQ(std::string(ifname), forty.substr(0, 31));
  ASSERT_EQ(RunFiles({"-i"}), 0);
  EXPECT_STREQ(ifname, "");
}

TEST_F(ParameterShellTest, LongPathsAreCut) {
  // A positional argument longer than the buffer is cut at 4095 characters.
  const std::string longName = "/" + std::string(5000, 'a');
  std::vector<std::string> words = {"moxtil", longName, "id", "t", "-L"};
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  ASSERT_EQ(ParameterShell(5, argv.data()), 0);  // file-list mode: nothing stored

  words[4] = "-R";
  argv.clear();
  for (std::string& w : words) argv.push_back(&w[0]);
  ResetOptions();
  CaptureStdout();
  EXPECT_EQ(ParameterShell(5, argv.data()), -1);
  GetCapturedStdout();
  EXPECT_EQ(std::strlen(_loaderFile), 4095u);
}

TEST(PrintUsage, WholeTextAsOneRecord) {
  EXPECT_EQ(std::strlen(kUsageText), 1407u);
  CaptureStdout();
  PrintUsage();
  const std::string log = GetCapturedStdout();
  // 35 lines, each with the log prefix; the trailing line feed adds none.
  int lines = 0;
  std::string text;
  size_t pos = 0;
  while (pos < log.size()) {
    const size_t end = log.find('\n', pos);
    ASSERT_NE(end, std::string::npos);
    const std::string line = log.substr(pos, end - pos);
    ASSERT_EQ(line.compare(0, 10, "D/moxtil: "), 0) << line;
    text += line.substr(10) + "\n";
    ++lines;
    pos = end + 1;
  }
  EXPECT_EQ(lines, 35);
  EXPECT_EQ(text, kUsageText);
  EXPECT_NE(log.find("D/moxtil:   >Moxtil loader.b idcode.sys target.bin -R -T60\n"), std::string::npos);
  EXPECT_NE(log.find("D/moxtil:                   ex. -LT60 : Waiting for reboot time 60 second\n"),
            std::string::npos);
}

TEST(StringToInt, StrictDecimal) {
  EXPECT_EQ(StringToInt(""), 0);
  EXPECT_EQ(StringToInt("0000000"), 0);
  EXPECT_EQ(StringToInt("9999999"), 9999999);
  EXPECT_EQ(StringToInt("42"), 42);
  EXPECT_EQ(StringToInt("12345678"), -1);
  for (const char* bad : {"-1", "+1", " 1", "1 ", "1a", "0x10", "1.5"}) EXPECT_EQ(StringToInt(bad), -1) << bad;
}

}  // namespace
