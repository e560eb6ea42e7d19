#include "moxtil/checkadrs.h"

#include <cstddef>

namespace {

// A part and its terminating zero.
constexpr size_t kPartSize = 50;

int isNumberorDot(char c) { return (c >= '0' && c <= '9') || c == '.' ? 1 : 0; }

int checkword(const char* str) {
  if (*str == '\0') return -1;
  for (const char* p = str; *p != '\0'; ++p) {
    if (isNumberorDot(*p) == 0) return -1;
  }
  return 0;
}

int checkDotnum(const char* str, int n) {
  int dots = 0;
  for (const char* p = str; *p != '\0'; ++p) dots += *p == '.' ? 1 : 0;
  return dots == n ? 0 : -1;
}

int checkdoubleDot(const char* str) {
  for (const char* p = str; *p != '\0'; ++p) {
    if (p[0] == '.' && p[1] == '.') return -1;
  }
  return 0;
}

int checkfeDot(const char* str) {
  if (*str == '\0' || *str == '.') return -1;
  const char* last = str;
  while (last[1] != '\0') ++last;
  return *last == '.' ? -1 : 0;
}

// Copies str up to the first dot or its end into text (room for `room`
// characters and the zero). Returns the position just after the character
// that stopped the copy, or null when the part does not fit.
const char* takeStr(char* text, size_t room, const char* str) {
  size_t n = 0;
  while (str[n] != '\0' && str[n] != '.') {
    if (n == room) return nullptr;
    text[n] = str[n];
    ++n;
  }
  text[n] = '\0';
  return str[n] == '\0' ? str + n : str + n + 1;
}

int checkStrlen(const char* str) {
  size_t n = 0;
  while (str[n] != '\0') ++n;
  return n >= 1 && n <= 3 ? 0 : -1;
}

int isvalidIpvalue(int val) { return val >= 0 && val <= 255 ? 1 : 0; }

int convNumber(unsigned char* val, const char* text) {
  if (*text == '\0') return -1;
  int v = 0;
  // checkStrlen has bounded the part to 3 digits, so v stays small.
  for (const char* p = text; *p != '\0'; ++p) v = v * 10 + (*p - '0');
  if (isvalidIpvalue(v) == 0) return -1;
  *val = static_cast<unsigned char>(v);
  return 0;
}

}  // namespace

int checkAdrs(unsigned char* ipval, const char* str) {
  if (str == nullptr) return -1;
  int error = checkword(str);
  if (error != -1) error |= checkDotnum(str, 3);
  if (error != -1) error |= checkdoubleDot(str);
  if (error != -1) error |= checkfeDot(str);

  char iptmp[4][kPartSize];
  if (error != -1) {
    const char* next = str;
    for (auto& part : iptmp) {
      next = takeStr(part, kPartSize - 1, next);
      if (next == nullptr) {
        error = -1;
        break;
      }
    }
  }
  if (error != -1) {
    for (const auto& part : iptmp) error |= checkStrlen(part);
  }
  if (error != -1) {
    for (int i = 0; i < 4; ++i) error |= convNumber(&ipval[i], iptmp[i]);
  }
  return error;
}
