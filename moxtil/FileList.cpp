#include "moxtil/FileList.h"

#include <cstdio>
#include <cstring>

#include "common/util.h"
#include "moxtil/Options.h"
#include "moxtil/Output.h"

namespace {

constexpr int kRowBufferSize = 1024;
// One read takes at most this many characters and the terminator.
constexpr int kRowReadLimit = 1023;
// Fields are separated by runs of these; quotes do not group.
constexpr char token[7] = {',', ' ', '\t', '"', '\n', '\r', '\0'};

bool EndsList(const char* row) { return row[0] == '\0' || row[0] == '\n' || row[0] == '\r'; }

void StorePath(char* dst, const char* src) { snprintf(dst, kPathSize, "%s", src); }


}  // namespace

int GetTotalLine(const char* filelist) {
  FILE* fp = fopen(filelist, "r");
  if (fp == nullptr) return -1;
  int count = 0;
  char row[kRowBufferSize];
  std::memset(row, 0, sizeof row);
  while (fgets(row, kRowReadLimit, fp) != nullptr && !EndsList(row)) ++count;
  fclose(fp);
  return count;
}

int SetFilenameInFilelist(const char* filelist, int row) {
  if (row < 1) return -1;
  FILE* fp = fopen(filelist, "r");
  if (fp == nullptr) return -1;
  char line[kRowBufferSize];
  std::memset(line, 0, sizeof line);
  int read = 0;
  while (read < row && fgets(line, kRowReadLimit, fp) != nullptr) ++read;
  fclose(fp);
  if (read < row) return -1;

  std::memset(_loaderFile, 0, sizeof _loaderFile);
  std::memset(_idFile, 0, sizeof _idFile);
  std::memset(_targetFile, 0, sizeof _targetFile);

  char* fields[] = {_loaderFile, _idFile, _targetFile[0], _targetFile[1]};
  char* save = nullptr;
  char* field = strtok_r(line, token, &save);
  for (int i = 0; i < 4 && field != nullptr; ++i) {
    StorePath(fields[i], field);
    field = strtok_r(nullptr, token, &save);
  }
  if (_targetFile[0][0] == '\0') return -1;  // fewer than three fields

  if (IsFileAccsecc() == -1) {
    ConsoleOut(status::kListedFileNotFound);
    return -1;
  }
  return 0;
}

int IsFileAccsecc() {
  // Only regular files can be loaded whole: see the command line's check.
  if (!IsRegularFile(_loaderFile) || !IsRegularFile(_idFile) || !IsRegularFile(_targetFile[0])) return -1;
  if (_targetFile[1][0] != '\0' && !IsRegularFile(_targetFile[1])) return -1;
  return 1;
}
