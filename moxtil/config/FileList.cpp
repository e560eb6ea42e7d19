#include "moxtil/config/FileList.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/output.h"
#include "common/util.h"
#include "moxtil/config/Options.h"

namespace {

constexpr int kRowBufferSize = 1024;
// One read takes at most this many characters and the terminator.
constexpr int kRowReadLimit = 1023;
// Fields are separated by runs of these; quotes do not group.
constexpr char token[7] = {',', ' ', '\t', '"', '\n', '\r', '\0'};

bool EndsList(const char* row) { return row[0] == '\0' || row[0] == '\n' || row[0] == '\r'; }

// Only the main thread loads rows.
char problem[kPathSize + 64] = "";

/// Keeps what kept the row from loading; -1.
int Refuse(const char* format, ...) __attribute__((format(printf, 1, 2)));
int Refuse(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  vsnprintf(problem, sizeof problem, format, ap);
  va_end(ap);
  return -1;
}

/// The first file of the set that is not a regular file, or null; errno then
/// tells why.
const char* UnloadableFile() {
  const char* const paths[] = {_loaderFile, _idFile, _targetFile[0], _targetFile[1]};
  for (const char* path : paths) {
    if ((path == _targetFile[1] && path[0] == '\0') || IsRegularFile(path)) continue;
    return path;
  }
  return nullptr;
}

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
  if (row < 1) return Refuse("rows count from 1");
  FILE* fp = fopen(filelist, "r");
  if (fp == nullptr) return Refuse("cannot open the list: %s", strerror(errno));
  char line[kRowBufferSize];
  std::memset(line, 0, sizeof line);
  int read = 0;
  while (read < row && fgets(line, kRowReadLimit, fp) != nullptr) ++read;
  fclose(fp);
  if (read < row) return Refuse("the list has no such row");

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
  if (_targetFile[0][0] == '\0') return Refuse("fewer than three file names");

  const char* path = UnloadableFile();
  if (path != nullptr) {
    printLog(stderr, "file list %s row %d: %s: %s", filelist, row, path, FileReason(errno));
    ConsoleOut(status::kListedFileNotFound);
    return Refuse("%s is missing or not a regular file", path);
  }
  return 0;
}

const char* FileListProblem() { return problem; }
