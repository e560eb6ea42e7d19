// SHA-256 as lower-case hex, from OpenSSL's libcrypto: the one form in which
// the simulator reports what it received and the tests check it.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <memory>
#include <string>

inline std::string HexOf(const unsigned char* data, size_t len) {
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * len);
  for (size_t i = 0; i < len; ++i) {
    hex += kHex[data[i] >> 4];
    hex += kHex[data[i] & 15];
  }
  return hex;
}

class Sha256 {
 public:
  Sha256() : ctx_(EVP_MD_CTX_new()) {
    if (ctx_) EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr);
  }
  bool ok() const { return ctx_ != nullptr; }
  void Update(const void* data, size_t len) { EVP_DigestUpdate(ctx_.get(), data, len); }
  std::string HexDigest() {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx_.get(), md, &len);
    return HexOf(md, len);
  }

 private:
  struct Free {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
  };
  std::unique_ptr<EVP_MD_CTX, Free> ctx_;
};
