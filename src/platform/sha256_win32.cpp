// windows.h first: bcrypt.h takes its types from it.
#include <windows.h>

#include <bcrypt.h>

#include <vector>

#include "platform/sha256.h"

namespace tessaly {

struct Sha256::Impl {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  std::vector<UCHAR> object;
  bool failed = false;
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
  Impl& i = *impl_;
  DWORD objectSize = 0;
  ULONG got = 0;
  if (BCryptOpenAlgorithmProvider(&i.algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0 ||
      BCryptGetProperty(i.algorithm, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectSize), sizeof objectSize,
                        &got, 0) < 0) {
    i.failed = true;
    return;
  }
  i.object.resize(objectSize);
  if (BCryptCreateHash(i.algorithm, &i.hash, i.object.data(), objectSize, nullptr, 0, 0) < 0) i.failed = true;
}

Sha256::~Sha256() {
  if (impl_->hash) BCryptDestroyHash(impl_->hash);
  if (impl_->algorithm) BCryptCloseAlgorithmProvider(impl_->algorithm, 0);
}

bool Sha256::ok() const { return !impl_->failed; }

bool Sha256::Update(const void* data, std::size_t size) {
  auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
  while (!impl_->failed && size > 0) {
    const ULONG piece = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
    if (BCryptHashData(impl_->hash, bytes, piece, 0) < 0) impl_->failed = true;
    bytes += piece;
    size -= piece;
  }
  return !impl_->failed;
}

bool Sha256::Final(Sha256Digest& digest) {
  if (impl_->failed || BCryptFinishHash(impl_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0) < 0) {
    impl_->failed = true;
    return false;
  }
  impl_->failed = true;  // finished: nothing more goes in
  return true;
}

}  // namespace tessaly
