#include "moxtil/Transfer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "moxtil/Itron.h"
#include "moxtil/Options.h"
#include "moxtil/RunState.h"

namespace {

struct PercentCase {
  int64_t total, current;
  int rows, rowsDone;  // rows 0: not file-list mode
  long expected;
};

TEST(WritePercentage, Arithmetic) {
  const PercentCase cases[] = {
      {10000, 1024, 0, 0, 10},
      {10000, 10000, 0, 0, 99},  // never 100: the finish line tells that
      {50, 50, 0, 0, 50},        // short files count against 100 bytes
      {99, 99, 0, 0, 99},
      {0, 0, 0, 0, 0},
      {1000, 0, 0, 0, 0},
      {1000, 4, 0, 0, 0},
      {1000, 5, 0, 0, 1},        // rounds half up
      {int64_t{5} << 30, int64_t{5} << 29, 0, 0, 50},  // beyond 32 bits
      {1000, 500, 4, 1, 38},     // second of four rows, half sent
      {1000, 1000, 4, 3, 99},
      {1000, 0, 3, 0, 0},
  };
  for (const PercentCase& c : cases) {
    ResetOptions();
    ResetRunState();
    _filelist = c.rows > 0;
    _totalSwupNum = c.rows;
    _currentSwupNum = c.rowsDone;
    EXPECT_EQ(WritePercentage(c.total, c.current), c.expected)
        << c.total << " " << c.current << " rows " << c.rows << "/" << c.rowsDone;
  }
  ResetOptions();
  ResetRunState();
}

// The progress lines a transfer that reads and sends one 1024-byte piece at
// a time writes: after every tenth piece and after the one that completes the
// file, counting the empty read that meets the end.
std::vector<std::string> ModelProgressLines(int64_t total) {
  std::vector<std::string> lines;
  int64_t size = 0;
  int64_t piece;
  for (int64_t loops = 0;; ++loops) {
    piece = total - size < 1024 ? total - size : 1024;
    size += piece;
    if (loops % 10 == 0 || size == total) {
      char line[16];
      snprintf(line, sizeof line, "%03ld %%", WritePercentage(total, size));
      lines.push_back(line);
    }
    if (piece < 1024) return lines;
  }
}

std::string WriteFile(const std::string& path, size_t size, unsigned seed) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + seed) & 0xff);
  std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(size));
  return data;
}

// Reads a TCP connection to its end.
std::string ReadAll(int fd) {
  std::string got;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
  return got;
}

int ConnectLoopback(uint16_t port) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval limit{20, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return fd;
    close(fd);
    usleep(100000);
  }
  return -1;
}

struct TargetSeen {
  std::string loader;  // with the reboot byte
  std::string data;    // ID code and program
};

// Serves one target through process2 on ports base+10 and base+11 and returns
// what the target received and the log lines written.
class TransferRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetOptions();
    ResetRunState();
    ItronReset();
    char tmpl[] = "/tmp/moxtil-transfer-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    ItronReset();
    ResetOptions();
    ResetRunState();
    ASSERT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0);
  }

  int Run(uint16_t base, TargetSeen* seen, std::vector<std::string>* log) {
    T_TCP_CREP loaderRep = {0, {0, static_cast<UH>(base + 10)}};
    T_TCP_CREP dataRep = {0, {0, static_cast<UH>(base + 11)}};
    ER repLoader = tcp_vcre_rep(&loaderRep);
    ER repData = tcp_vcre_rep(&dataRep);
    EXPECT_GE(repLoader, 0);
    EXPECT_GE(repData, 0);

    std::thread target([&] {
      int fd = ConnectLoopback(static_cast<uint16_t>(base + 10));
      if (fd < 0) return;
      seen->loader = ReadAll(fd);
      close(fd);
      fd = ConnectLoopback(static_cast<uint16_t>(base + 11));
      if (fd < 0) return;
      seen->data = ReadAll(fd);
      close(fd);
    });

    T_TCP_CCEP ccep = {0, nullptr, 0, nullptr, 0, nullptr};
    ER cepid = tcp_vcre_cep(&ccep);
    T_IPV4EP peer = {0, 0};
    EXPECT_EQ(tcp_acp_cep(cepid, repLoader, &peer, 1000), E_OK);
    int n = makeProcessNo();
    process_info[n].no = n;
    process_info[n].cepid = cepid;
    process_info[n].repid = repData;
    process_info[n].selectFileNum = 0;

    // The log goes to standard output; take it from there.
    std::string logPath = dir_ + "/log";
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int out = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, STDOUT_FILENO);
    close(out);
    int result = process2(&process_info[n]);
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);

    // A target left waiting on the data port is let go.
    tcp_del_rep(repLoader);
    tcp_del_rep(repData);
    target.join();
    std::ifstream in(logPath);
    // Status lines only: explanations and summaries come between them.
    for (std::string line; std::getline(in, line);) {
      line = line.substr(line.find(": ") + 2);
      if (line.compare(0, 3, "-1 ") == 0 || (line.size() >= 5 && line.compare(3, 2, " %") == 0)) log->push_back(line);
    }
    EXPECT_EQ(emptyProcess(), 0) << "the slot is freed";
    return result;
  }

  std::string dir_;
};

class ProgressBySize : public TransferRun, public ::testing::WithParamInterface<std::pair<int, size_t>> {};

TEST_P(ProgressBySize, LinesAsOnePieceAtATimeAndBytesIntact) {
  const uint16_t base = static_cast<uint16_t>(29000 + 10 * GetParam().first);
  const size_t size = GetParam().second;
  std::string loader = WriteFile(dir_ + "/loader.b", 2500, 1);
  std::string id = WriteFile(dir_ + "/idcode.sys", 12, 2);
  std::string program = WriteFile(dir_ + "/target.bin", size, 3);
  snprintf(_loaderFile, kPathSize, "%s/loader.b", dir_.c_str());
  snprintf(_idFile, kPathSize, "%s/idcode.sys", dir_.c_str());
  snprintf(_targetFile[0], kPathSize, "%s/target.bin", dir_.c_str());
  _reboot = 'R';

  TargetSeen seen;
  std::vector<std::string> log;
  ASSERT_EQ(Run(base, &seen, &log), 0);

  EXPECT_EQ(seen.loader, loader + "R");
  EXPECT_EQ(seen.data.size(), 10 + size);
  EXPECT_TRUE(seen.data == id.substr(0, 10) + program) << "program bytes differ";

  std::vector<std::string> expected = {"000 % Now erasing"};
  for (const std::string& line : ModelProgressLines(static_cast<int64_t>(size))) expected.push_back(line);
  expected.push_back("100 % finish");
  EXPECT_EQ(log, expected);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ProgressBySize,
                         ::testing::Values(std::make_pair(0, size_t{0}), std::make_pair(1, size_t{50}),
                                           std::make_pair(2, size_t{10000}), std::make_pair(3, size_t{10240}),
                                           std::make_pair(4, size_t{65536}), std::make_pair(5, size_t{66559}),
                                           std::make_pair(6, size_t{200001})));

TEST_F(TransferRun, LoaderThatCannotBeReadGetsNoRebootByte) {
  // A directory opens but does not read.
  snprintf(_loaderFile, kPathSize, "%s", dir_.c_str());
  snprintf(_idFile, kPathSize, "%s/none", dir_.c_str());
  snprintf(_targetFile[0], kPathSize, "%s/none", dir_.c_str());
  TargetSeen seen;
  std::vector<std::string> log;
  // The target then finds no data port to come back to; bound its wait.
  EXPECT_EQ(Run(29100, &seen, &log), -1);
  EXPECT_EQ(seen.loader, "");
  EXPECT_EQ(log, std::vector<std::string>{"-1 loader file not found"});
  EXPECT_EQ(_IsTimeOut, 0);
}

}  // namespace
