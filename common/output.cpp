#include "common/output.h"

#include <cstdarg>
#include <cstring>

util_mutex_t _hMtxConsole = nullptr;

namespace {
constexpr char kLogTag[] = "moxtil";
}

void ConsoleOut(const char* str, Tone tone) {
  util_mutex_t lock = _hMtxConsole;
  util_mutex_lock(lock);  // with no handle the line is written unlocked
  LogRecord(kLogTag, str, tone);
  fflush(stdout);
  util_mutex_unlock(lock);
}

void ConsoleOut(const char* str) { ConsoleOut(str, ToneOf(str)); }

void ConsoleOutTogether(const char* first, Tone firstTone, const char* second, Tone secondTone) {
  util_mutex_t lock = _hMtxConsole;
  util_mutex_lock(lock);
  LogRecord(kLogTag, first, firstTone);
  LogRecord(kLogTag, second, secondTone);
  fflush(stdout);
  util_mutex_unlock(lock);
}

Tone ToneOf(const char* statusLine) {
  if (std::strncmp(statusLine, "-1 ", 3) == 0) return Tone::kFailure;
  if (std::strcmp(statusLine, status::kFinish) == 0) return Tone::kSuccess;
  return Tone::kPlain;
}

void printLog(FILE* ostream, const char* format, ...) {
  (void)ostream;
  char buffer[1024];
  std::memset(buffer, 0, sizeof buffer);
  va_list ap;
  va_start(ap, format);
  vsnprintf(buffer, sizeof buffer, format, ap);
  va_end(ap);
  ConsoleOut(buffer, Tone::kPlain);
}

AddressText FormatAddress(uint32_t ipaddr, int port) {
  unsigned char octet[4];
  std::memcpy(octet, &ipaddr, sizeof octet);  // network byte order: first octet first
  AddressText out;
  if (port < 0) {
    snprintf(out.text, sizeof out.text, "%u.%u.%u.%u", octet[0], octet[1], octet[2], octet[3]);
  } else {
    snprintf(out.text, sizeof out.text, "%u.%u.%u.%u:%d", octet[0], octet[1], octet[2], octet[3], port);
  }
  return out;
}
