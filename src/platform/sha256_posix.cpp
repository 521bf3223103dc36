#include <openssl/evp.h>

#include "platform/sha256.h"

namespace tessaly {

struct Sha256::Impl {
  EVP_MD_CTX* context = nullptr;
  bool failed = false;
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
  impl_->context = EVP_MD_CTX_new();
  if (!impl_->context || EVP_DigestInit_ex(impl_->context, EVP_sha256(), nullptr) != 1) impl_->failed = true;
}

Sha256::~Sha256() { EVP_MD_CTX_free(impl_->context); }

bool Sha256::ok() const { return !impl_->failed; }

bool Sha256::Update(const void* data, std::size_t size) {
  if (impl_->failed) return false;
  if (size > 0 && EVP_DigestUpdate(impl_->context, data, size) != 1) impl_->failed = true;
  return !impl_->failed;
}

bool Sha256::Final(Sha256Digest& digest) {
  unsigned int length = 0;
  if (impl_->failed || EVP_DigestFinal_ex(impl_->context, digest.data(), &length) != 1 || length != digest.size()) {
    impl_->failed = true;
    return false;
  }
  impl_->failed = true;  // finished: nothing more goes in
  return true;
}

}  // namespace tessaly
