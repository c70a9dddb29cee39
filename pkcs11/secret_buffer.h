#pragma once
#include <openssl/crypto.h>

#include <string_view>
#include <vector>

namespace qel {

/// A private copy of a PIN or PUK in the mutable form the PKCS#11 calls take, wiped when it goes
/// out of scope. Internal to the binding.
class SecretBuffer {
  public:
    explicit SecretBuffer(std::string_view secret) : bytes_(secret.begin(), secret.end()) {}
    ~SecretBuffer() {
        if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
    }
    SecretBuffer(const SecretBuffer&) = delete;
    SecretBuffer& operator=(const SecretBuffer&) = delete;

    unsigned char* data() { return bytes_.empty() ? nullptr : bytes_.data(); }
    unsigned long size() const { return static_cast<unsigned long>(bytes_.size()); }

  private:
    std::vector<unsigned char> bytes_;
};

}  // namespace qel
