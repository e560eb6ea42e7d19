// The text of a line about a target, a row each: untouched for one target,
// its address first with several, and cut to the room given.
#include "moxtil/engine/Report.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "moxtil/config/Options.h"

namespace {

uint32_t Address(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
  const unsigned char octet[4] = {a, b, c, d};
  uint32_t address;
  std::memcpy(&address, octet, sizeof address);  // network byte order
  return address;
}

TEST(Tagged, AddressFirstWithSeveralTargets) {
  struct Row {
    int option;
    uint32_t address;
    const char* text;
    size_t size;
    std::string tagged;
  };
  const Row rows[] = {
      {0, Address(127, 0, 0, 2), "042 %", 64, "042 %"},
      {1, Address(127, 0, 0, 2), "042 %", 64, "127.0.0.2 042 %"},
      {1, Address(192, 168, 100, 254), "100 % finish", 64, "192.168.100.254 100 % finish"},
      {1, Address(127, 0, 0, 2), "", 64, "127.0.0.2 "},
      {0, Address(127, 0, 0, 2), "100 % finish", 6, "100 %"},
      {1, Address(127, 0, 0, 2), "100 % finish", 12, "127.0.0.2 1"},
      {0, Address(127, 0, 0, 2), "042 %", 1, ""},
  };
  PROCESS_INFO& p = process_info[0];
  for (const Row& r : rows) {
    _option = r.option;
    p.ipaddr = r.address;
    char out[64];
    std::memset(out, 'x', sizeof out);
    Tagged(p, r.text, out, r.size);
    EXPECT_EQ(out, r.tagged) << "-M " << r.option << ", \"" << r.text << "\" in " << r.size;
  }
  ResetOptions();
  p.ipaddr = 0;
}

}  // namespace
