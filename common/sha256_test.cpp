// SHA-256 against the FIPS 180-4 examples and, where this build has it,
// against OpenSSL for lengths around the block and the transfer's run, fed
// in pieces of every size the transfer may hand it.
#include "common/sha256.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#ifdef MOXTIL_TEST_OPENSSL
#include <openssl/sha.h>
#endif

namespace {

std::string Digest(const std::string& data, size_t piece) {
  Sha256 h;
  Sha256Init(&h);
  for (size_t at = 0; at < data.size(); at += piece) {
    Sha256Update(&h, data.data() + at, std::min(piece, data.size() - at));
  }
  unsigned char digest[kSha256Size];
  Sha256Final(&h, digest);
  char hex[2 * kSha256Size + 1];
  Sha256Hex(digest, hex);
  return hex;
}

TEST(Sha256, TheStandardsExamples) {
  struct Row { std::string message; const char* digest; };
  const Row rows[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrst"
       "nopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Row& row : rows) {
    for (size_t piece : {size_t{1}, size_t{63}, size_t{64}, size_t{65}, size_t{1} << 20}) {
      EXPECT_EQ(Digest(row.message, piece), row.digest) << row.message.size() << " bytes in pieces of " << piece;
    }
  }
}

#ifdef MOXTIL_TEST_OPENSSL
TEST(Sha256, AsALibraryHasIt) {
  std::mt19937 random(7);
  std::string data(262144 + 1025, '\0');
  for (char& c : data) c = static_cast<char>(random());
  for (size_t length : {size_t{55}, size_t{56}, size_t{64}, size_t{1023}, size_t{1024}, size_t{262143},
                        size_t{262144}, size_t{262145}, data.size()}) {
    const std::string part = data.substr(0, length);
    unsigned char want[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(part.data()), part.size(), want);
    char hex[2 * kSha256Size + 1];
    Sha256Hex(want, hex);
    EXPECT_EQ(Digest(part, 1024), hex) << length;
    EXPECT_EQ(Digest(part, 1000), hex) << length;
  }
}
#endif

}  // namespace
