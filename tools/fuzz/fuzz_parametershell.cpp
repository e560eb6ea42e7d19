// ParameterShell on argument vectors made from the input: one word per line
// (or per zero byte). A byte 0xFF followed by a count byte n stands for
// 64 × n letters 'a', so that words reach and pass the 4096-byte paths.
// ParameterShell must never write past a buffer (AddressSanitizer watches
// the globals) and must leave every path and the interface name terminated.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "moxtil/config/Options.h"
#include "quiet.h"

namespace {

constexpr size_t kMaxWords = 64;

[[noreturn]] void Broken(const char* what) {
  fprintf(stderr, "%s\n", what);
  abort();
}

void ExpectTerminated(const char* buf, size_t size, const char* name) {
  if (memchr(buf, '\0', size) == nullptr) Broken(name);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SilenceStdout();
  // Positional files are checked for existence: some words name real files.
  char dir[] = "/tmp/moxtil-fuzz-args-XXXXXX";
  if (mkdtemp(dir) == nullptr || chdir(dir) != 0) abort();
  for (const char* name : {"l", "i", "t", "u"}) {
    FILE* f = fopen(name, "w");
    if (f != nullptr) fclose(f);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> words(1, "moxtil");
  std::string word;
  for (size_t i = 0; i < size && words.size() < kMaxWords; ++i) {
    const uint8_t b = data[i];
    if (b == '\n' || b == '\0') {
      words.push_back(word);
      word.clear();
    } else if (b == 0xFF && i + 1 < size) {
      word.append(64 * size_t{data[++i]}, 'a');
    } else {
      word.push_back(static_cast<char>(b));
    }
  }
  if (words.size() < kMaxWords) words.push_back(word);

  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  ResetOptions();
  const int r = ParameterShell(static_cast<int>(words.size()), argv.data());
  // A question is answered only as the first word.
  const bool asked = words.size() > 1 && (words[1] == "--version" || words[1] == "--help");
  if (r == kParameterAnswered ? !asked : (r != 0 && r != -1) || asked) Broken("result does not fit the question");
  // -E only with -M, and never 0.
  if (r == 0 && _failureLimit != 0 && (_option == 0 || _failureLimit < 1)) Broken("-E taken without -M, or as 0");
  ExpectTerminated(_loaderFile, sizeof _loaderFile, "_loaderFile unterminated");
  ExpectTerminated(_idFile, sizeof _idFile, "_idFile unterminated");
  ExpectTerminated(_targetFile[0], sizeof _targetFile[0], "_targetFile[0] unterminated");
  ExpectTerminated(_targetFile[1], sizeof _targetFile[1], "_targetFile[1] unterminated");
  ExpectTerminated(_FileListPath, sizeof _FileListPath, "_FileListPath unterminated");
  ExpectTerminated(ifname, sizeof ifname, "ifname unterminated");
  if (_TimeOutSecond < 0 || _TimeOutSecond > 9999) Broken("_TimeOutSecond out of range");
  if (_filelistWaitTimer < 0 || _filelistWaitTimer > 3600) Broken("_filelistWaitTimer out of range");
  if (_reboot != 0 && _reboot != 'R' && _reboot != 'r') Broken("_reboot is no reboot byte");
  // A path that was stored is a prefix of its word, cut to 4095 bytes.
  if (r == 0 && _filelist == 0) {
    if (strncmp(_loaderFile, words[1].c_str(), kPathSize - 1) != 0) Broken("_loaderFile is not its word");
    if (strncmp(_targetFile[0], words[3].c_str(), kPathSize - 1) != 0) Broken("_targetFile[0] is not its word");
  }
  return 0;
}
