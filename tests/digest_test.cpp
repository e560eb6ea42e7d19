// The record's SHA-256 as this build links it (nettle: the processor's SHA
// instructions on x86, its assembly on 32-bit ARM under qemu), against the
// FIPS 180-4 examples, fed in pieces of every size the transfer hands it: a
// byte, around a block, a piece of 1024 bytes with -N, a run of 256 KiB, a
// MiB. That the record's digests are those of the files sent, at the run's and
// the last piece's boundaries, the end-to-end rows with -J check.
#include <nettle/base16.h>
#include <nettle/sha2.h>

#include <gtest/gtest.h>

#include <string>

namespace {

const size_t kPieces[] = {1, 63, 64, 65, 1024, 262144, size_t{1} << 20};

std::string Digest(const std::string& data, size_t piece) {
  sha256_ctx h;
  sha256_init(&h);
  for (size_t at = 0; at < data.size(); at += piece) {
    sha256_update(&h, std::min(piece, data.size() - at), reinterpret_cast<const uint8_t*>(data.data()) + at);
  }
  uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_digest(&h, sizeof digest, digest);
  char hex[2 * SHA256_DIGEST_SIZE];
  base16_encode_update(hex, sizeof digest, digest);
  return std::string(hex, sizeof hex);
}

TEST(Digest, TheStandardsExamples) {
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
    for (size_t piece : kPieces) {
      EXPECT_EQ(Digest(row.message, piece), row.digest) << row.message.size() << " bytes in pieces of " << piece;
    }
  }
}

}  // namespace
