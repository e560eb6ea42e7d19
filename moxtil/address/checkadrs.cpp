#include "moxtil/address/checkadrs.h"

#include <cstddef>

namespace {

// A field and its terminating zero.
constexpr size_t kFieldSize = 50;

bool IsDigitOrDot(char c) { return (c >= '0' && c <= '9') || c == '.'; }

/// Not empty, and nothing but digits and dots.
bool HasOnlyDigitsAndDots(const char* str) {
  if (*str == '\0') return false;
  for (const char* p = str; *p != '\0'; ++p) {
    if (!IsDigitOrDot(*p)) return false;
  }
  return true;
}

bool HasDots(const char* str, int n) {
  int dots = 0;
  for (const char* p = str; *p != '\0'; ++p) dots += *p == '.' ? 1 : 0;
  return dots == n;
}

bool HasDoubleDot(const char* str) {
  for (const char* p = str; *p != '\0'; ++p) {
    if (p[0] == '.' && p[1] == '.') return true;
  }
  return false;
}

/// Empty, or beginning or ending with a dot.
bool HasDotAtAnEnd(const char* str) {
  if (*str == '\0' || *str == '.') return true;
  const char* last = str;
  while (last[1] != '\0') ++last;
  return *last == '.';
}

// Copies str up to the first dot or its end into text (room for `room`
// characters and the zero). Returns the position just after the character
// that stopped the copy, or null when the field does not fit.
const char* TakeField(char* text, size_t room, const char* str) {
  size_t n = 0;
  while (str[n] != '\0' && str[n] != '.') {
    if (n == room) return nullptr;
    text[n] = str[n];
    ++n;
  }
  text[n] = '\0';
  return str[n] == '\0' ? str + n : str + n + 1;
}

bool HasOneToThreeCharacters(const char* text) {
  size_t n = 0;
  while (text[n] != '\0') ++n;
  return n >= 1 && n <= 3;
}

/// The field's number into *value when it is 0 to 255.
bool ConvertField(unsigned char* value, const char* text) {
  int v = 0;
  // The field has 1 to 3 digits, so v stays small.
  for (const char* p = text; *p != '\0'; ++p) v = v * 10 + (*p - '0');
  if (v < 0 || v > 255) return false;
  *value = static_cast<unsigned char>(v);
  return true;
}

}  // namespace

int checkAdrs(unsigned char* ipval, const char* str) {
  if (str == nullptr || !HasOnlyDigitsAndDots(str) || !HasDots(str, 3) || HasDoubleDot(str) || HasDotAtAnEnd(str)) {
    return -1;
  }
  char fields[4][kFieldSize];
  const char* next = str;
  for (auto& field : fields) {
    next = TakeField(field, kFieldSize - 1, next);
    if (next == nullptr) return -1;
  }
  for (const auto& field : fields) {
    if (!HasOneToThreeCharacters(field)) return -1;
  }
  for (int i = 0; i < 4; ++i) {
    if (!ConvertField(&ipval[i], fields[i])) return -1;
  }
  return 0;
}
