// HMAC from OpenSSL's libcrypto, and the wall clock.
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <ctime>

#include "platform.h"

bool hmac(HmacAlgorithm algorithm, const std::string& key, const std::string& data,
          std::string* mac) {
  const EVP_MD* digest = algorithm == HmacAlgorithm::kSha512 ? EVP_sha512() : EVP_sha256();
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  mac->clear();
  if (HMAC(digest, key.data(), static_cast<int>(key.size()),
           reinterpret_cast<const unsigned char*>(data.data()), data.size(), out,
           &length) == nullptr)
    return false;
  mac->assign(reinterpret_cast<const char*>(out), length);
  return true;
}

std::uint64_t unix_time_seconds() {
  std::time_t now = std::time(nullptr);
  return now < 0 ? 0 : static_cast<std::uint64_t>(now);
}
