// The file-list operations on list files made from the input, against a
// plainly written model of the rows: reads of at most 1022 bytes that end
// after a line feed, the list ends before the first row that starts with a
// line feed, a carriage return or a zero byte; fields split at , blank tab
// " LF CR; three fields needed, a fourth optional, each cut to 4095 bytes.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "moxtil/config/FileList.h"
#include "moxtil/config/Options.h"
#include "quiet.h"

namespace {

constexpr size_t kRowMax = 1022;
std::string gList;

[[noreturn]] void Disagree(const char* what, int row = 0) {
  fprintf(stderr, "disagreement: %s (row %d)\n", what, row);
  abort();
}

std::vector<std::string> Rows(const std::string& bytes) {
  std::vector<std::string> rows;
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t len = 0;
    while (len < kRowMax && pos + len < bytes.size()) {
      ++len;
      if (bytes[pos + len - 1] == '\n') break;
    }
    rows.push_back(bytes.substr(pos, len));
    pos += len;
  }
  return rows;
}

int ModelTotal(const std::vector<std::string>& rows) {
  int n = 0;
  for (const std::string& r : rows) {
    if (r[0] == '\n' || r[0] == '\r' || r[0] == '\0') break;
    ++n;
  }
  return n;
}

std::vector<std::string> Fields(const std::string& row) {
  const std::string text = row.substr(0, row.find('\0'));  // what strtok sees
  std::vector<std::string> fields;
  std::string f;
  for (char c : text) {
    if (strchr(", \t\"\n\r", c) != nullptr) {
      if (!f.empty()) fields.push_back(f);
      f.clear();
    } else {
      f.push_back(c);
    }
  }
  if (!f.empty()) fields.push_back(f);
  return fields;
}

// Rows load only regular files ("." or "/" name directories).
bool Exists(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SilenceStdout();
  char dir[] = "/tmp/moxtil-fuzz-list-XXXXXX";
  if (mkdtemp(dir) == nullptr || chdir(dir) != 0) abort();
  for (const char* name : {"a", "b", "c", "d"}) {
    FILE* f = fopen(name, "w");
    if (f != nullptr) fclose(f);
  }
  gList = std::string(dir) + "/list";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  FILE* f = fopen(gList.c_str(), "wb");
  if (f == nullptr || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) abort();
  fclose(f);

  const std::vector<std::string> rows = Rows(bytes);
  const int total = GetTotalLine(gList.c_str());
  if (total != ModelTotal(rows)) Disagree("GetTotalLine");

  // Rows past the count are loadable too (an empty row counts when loading).
  const int last = static_cast<int>(rows.size()) + 1;
  for (int row = 1; row <= last && row <= 6; ++row) {
    ResetOptions();
    const int r = SetFilenameInFilelist(gList.c_str(), row);
    int expected = -1;
    if (row <= static_cast<int>(rows.size())) {
      std::vector<std::string> fields = Fields(rows[static_cast<size_t>(row) - 1]);
      for (std::string& field : fields) field = field.substr(0, kPathSize - 1);
      if (fields.size() >= 3) {
        if (fields[0] != _loaderFile || fields[1] != _idFile || fields[2] != _targetFile[0]) Disagree("paths", row);
        const std::string fourth = fields.size() >= 4 ? fields[3] : "";
        if (fourth != _targetFile[1]) Disagree("fourth path", row);
        const bool all = Exists(fields[0]) && Exists(fields[1]) && Exists(fields[2]) &&
                         (fourth.empty() || Exists(fourth));
        expected = all ? 0 : -1;
      }
    }
    if (r != expected) Disagree("SetFilenameInFilelist result", row);
    for (const char* p : {_loaderFile, _idFile, _targetFile[0], _targetFile[1]}) {
      if (memchr(p, '\0', kPathSize) == nullptr) Disagree("unterminated path", row);
    }
  }
  return 0;
}
