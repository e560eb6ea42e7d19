// SHA-256 (FIPS 180-4), our own: the 32-bit ARM and Android binaries link no
// shared library beyond the system's, and the record needs the digest of
// every byte sent, fed as it goes.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kSha256Size = 32;

struct Sha256 {
  uint32_t state[8];
  uint64_t bytes;         // fed so far
  unsigned char block[64];  // the part of a block not yet hashed
};

void Sha256Init(Sha256* h);
void Sha256Update(Sha256* h, const void* data, size_t len);
/// The digest of what was fed; h is spent (Init it again to reuse it).
void Sha256Final(Sha256* h, unsigned char digest[kSha256Size]);
/// The digest in lower-case hex, NUL-terminated.
void Sha256Hex(const unsigned char digest[kSha256Size], char hex[2 * kSha256Size + 1]);
