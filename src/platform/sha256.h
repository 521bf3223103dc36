#pragma once
// SHA-256 by the system's own implementation: libcrypto on Linux, CNG on Windows.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace tessaly {

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  // False when the system could not start a digest; Update and Final then fail too.
  bool ok() const;
  bool Update(const void* data, std::size_t size);
  // The digest of everything fed so far; the object takes nothing more afterwards.
  bool Final(Sha256Digest& digest);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tessaly
