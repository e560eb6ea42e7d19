// One received stream: counted, hashed, optionally saved.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "common.h"
#include "digest.h"

namespace sim {

class Sink {
 public:
  /// Hashes unless `hash` is false (the digest is then "-"); saves to `path`
  /// unless it is empty.
  Sink(bool hash, const std::string& path) {
    if (hash) {
      sha_ = std::make_unique<Sha256>();
      if (!sha_->ok()) Fail(kSetup, "SHA-256 unavailable");
    }
    if (!path.empty()) {
      file_ = fopen(path.c_str(), "wb");
      if (file_ == nullptr) Fail(kSetup, Errno(("fopen " + path).c_str()));
    }
  }
  ~Sink() {
    if (file_ != nullptr) fclose(file_);
  }
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;

  void Add(const uint8_t* data, size_t n) {
    bytes_ += static_cast<int64_t>(n);
    if (sha_ && n > 0) sha_->Update(data, n);
    if (file_ != nullptr && n > 0 && fwrite(data, 1, n, file_) != n) Fail(kSetup, "write of saved data failed");
  }
  int64_t bytes() const { return bytes_; }
  std::string Digest() { return sha_ ? sha_->HexDigest() : "-"; }

 private:
  std::unique_ptr<Sha256> sha_;
  FILE* file_ = nullptr;
  int64_t bytes_ = 0;
};

}  // namespace sim
