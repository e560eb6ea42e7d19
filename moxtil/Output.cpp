#include "moxtil/Output.h"

#include <android/log.h>

#include <cstdarg>
#include <cstring>

util_mutex_t _hMtxConsole = nullptr;

namespace {
constexpr char kLogTag[] = "moxtil";
}

void ConsoleOut(const char* str) {
  util_mutex_t lock = _hMtxConsole;
  util_mutex_lock(lock);  // with no handle the line is written unlocked
  __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "%s", str);
  fflush(stdout);
  util_mutex_unlock(lock);
}

void printLog(FILE* ostream, const char* format, ...) {
  (void)ostream;
  char buffer[1024];
  std::memset(buffer, 0, sizeof buffer);
  va_list ap;
  va_start(ap, format);
  vsnprintf(buffer, sizeof buffer, format, ap);
  va_end(ap);
  ConsoleOut(buffer);
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
