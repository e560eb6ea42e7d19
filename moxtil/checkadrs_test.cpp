#include "moxtil/checkadrs.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "moxtil/Options.h"

namespace {

struct Good {
  const char* text;
  unsigned char bytes[4];
};

TEST(CheckAdrs, AcceptsFourDecimalFields) {
  const Good cases[] = {
      {"192.168.71.0", {192, 168, 71, 0}},
      {"0.0.0.0", {0, 0, 0, 0}},
      {"255.255.255.255", {255, 255, 255, 255}},
      {"001.002.003.004", {1, 2, 3, 4}},  // leading zeros are decimal,
      {"010.0.0.1", {10, 0, 0, 1}},       // not octal
      {"127.0.0.2", {127, 0, 0, 2}},
      {"9.99.199.249", {9, 99, 199, 249}},
  };
  for (const Good& c : cases) {
    unsigned char out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(checkAdrs(out, c.text), 0) << c.text;
    EXPECT_EQ(std::memcmp(out, c.bytes, 4), 0) << c.text;
  }
}

TEST(CheckAdrs, RejectsEverythingElse) {
  const char* const bad[] = {
      "",             "1.2.3",          "1.2.3.4.5",   "1..2.3",          "1.2..3.4",
      ".1.2.3",       "1.2.3.",         "...",         "1.2.3.256",       "1.2.3.0255",
      "300.1.1.1",    " 1.2.3.4",       "1.2.3.4 ",    "1.2.3.4\n",       "+1.2.3.4",
      "-1.2.3.4",     "1.2.3.a",        "1.2.3.4a",    "0x1.2.3.4",       "1,2,3,4",
      "1.2.3.-4",     "1 .2.3.4",       "....",        "1.2.3.4.",        "a",
  };
  for (const char* text : bad) {
    unsigned char out[4];
    EXPECT_EQ(checkAdrs(out, text), -1) << '"' << text << '"';
  }
  unsigned char out[4];
  EXPECT_EQ(checkAdrs(out, nullptr), -1);
}

// A field far longer than the part buffer must fail without writing past it;
// under AddressSanitizer an overflow of the stack buffer would abort here.
TEST(CheckAdrs, LongFieldsWriteNothingPastTheBuffer) {
  const std::string sixty(60, '1');
  const std::string texts[] = {
      sixty + ".1.1.1", "1.1.1." + sixty, "1." + sixty + ".1.1", std::string(49, '0') + ".1.1.1",
      std::string(50, '0') + ".1.1.1", std::string(5000, '7') + ".1.1.1",
  };
  for (const std::string& text : texts) {
    unsigned char out[4];
    EXPECT_EQ(checkAdrs(out, text.c_str()), -1) << text.size();
  }
}

TEST(ConvIPStrToNum, FirstFieldInTheLowestByte) {
  UW address = 0;
  ASSERT_EQ(ConvIPStrToNum("192.168.71.0", &address), 0);
  const unsigned char expected[4] = {0xC0, 0xA8, 0x47, 0x00};
  EXPECT_EQ(std::memcmp(&address, expected, 4), 0);

  ASSERT_EQ(ConvIPStrToNum("255.255.255.255", &address), 0);
  EXPECT_EQ(address, 0xFFFFFFFFu);
  ASSERT_EQ(ConvIPStrToNum("0.0.0.0", &address), 0);
  EXPECT_EQ(address, 0u);
}

TEST(ConvIPStrToNum, FailureLeavesTheAddressAlone) {
  const char* const bad[] = {"1.2.3", "1.2.3.999", "", "192.168.0.1 ", "1.2.3.4.5"};
  for (const char* text : bad) {
    UW address = 0x12345678u;
    EXPECT_EQ(ConvIPStrToNum(text, &address), -1) << text;
    EXPECT_EQ(address, 0x12345678u) << text;
  }
  UW address = 7;
  EXPECT_EQ(ConvIPStrToNum(nullptr, &address), -1);
  EXPECT_EQ(address, 7u);
}

}  // namespace
