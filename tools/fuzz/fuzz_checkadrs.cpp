// checkAdrs and ConvIPStrToNum against a plainly written model of a dotted
// address: four fields of 1 to 3 decimal digits, each 0 to 255.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "moxtil/config/Options.h"
#include "moxtil/address/checkadrs.h"
#include "quiet.h"

namespace {

bool Model(const std::string& text, unsigned char out[4]) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t dot = text.find('.', start);
    fields.push_back(text.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  if (fields.size() != 4) return false;
  for (size_t i = 0; i < 4; ++i) {
    const std::string& f = fields[i];
    if (f.empty() || f.size() > 3) return false;
    unsigned value = 0;
    for (char c : f) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 255) return false;
    out[i] = static_cast<unsigned char>(value);
  }
  return true;
}

[[noreturn]] void Disagree(const char* what, const std::string& text) {
  fprintf(stderr, "disagreement (%s) on \"%s\"\n", what, text.c_str());
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SilenceStdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The text as a C string sees it: up to the first zero byte.
  const std::string text(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));

  unsigned char expected[4] = {};
  const bool valid = Model(text, expected);
  unsigned char got[4] = {};
  const int r = checkAdrs(got, text.c_str());
  if ((r == 0) != valid) Disagree(valid ? "model accepts, checkAdrs refuses" : "checkAdrs accepts, model refuses", text);
  if (valid) {
    if (memcmp(got, expected, 4) != 0) Disagree("fields differ", text);
    // Printed back field by field, the text gives the same four numbers.
    char back[16];
    snprintf(back, sizeof back, "%u.%u.%u.%u", got[0], got[1], got[2], got[3]);
    unsigned char again[4] = {};
    if (checkAdrs(again, back) != 0 || memcmp(again, got, 4) != 0) Disagree("printed form does not parse back", text);
  }

  const UW sentinel = 0xA5C3E10Fu;
  UW addr = sentinel;
  const int c = ConvIPStrToNum(text.c_str(), &addr);
  if ((c == 0) != valid) Disagree("ConvIPStrToNum and checkAdrs differ", text);
  if (valid && memcmp(&addr, expected, 4) != 0) Disagree("ConvIPStrToNum bytes are not in memory order", text);
  if (!valid && addr != sentinel) Disagree("ConvIPStrToNum wrote on failure", text);
  return 0;
}
