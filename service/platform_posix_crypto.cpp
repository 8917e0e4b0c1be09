// HMAC from OpenSSL's libcrypto, and the wall clock. libcrypto is loaded on
// the first HMAC, not linked: a service that publishes nothing never maps
// its megabytes.
#include <dlfcn.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/opensslv.h>

#include <ctime>

#include "config.h"
#include "platform.h"

namespace {

#define TARVIK_STRINGIZE2(x) #x
#define TARVIK_STRINGIZE(x) TARVIK_STRINGIZE2(x)
// The library the headers describe, by its soname (libcrypto.so.3).
constexpr char kCryptoLibrary[] = "libcrypto.so." TARVIK_STRINGIZE(OPENSSL_SHLIB_VERSION);

// The three functions the HMAC needs, typed by the headers, so a library
// whose functions differ from what was compiled against fails the build.
struct Crypto {
  decltype(&EVP_sha256) sha256 = nullptr;
  decltype(&EVP_sha512) sha512 = nullptr;
  decltype(&HMAC) hmac = nullptr;
};

enum class LoadState { kNotTried, kLoaded, kFailed };
LoadState g_state = LoadState::kNotTried;
Crypto g_crypto;

template <typename Function>
bool find(void* library, const char* name, Function* out) {
  void* symbol = dlsym(library, name);
  if (symbol == nullptr) return false;
  *out = reinterpret_cast<Function>(symbol);
  return true;
}

// Tried once: a library that is not there will not appear while the
// service runs, and the reason is logged once, not with every update.
bool load_crypto() {
  if (g_state != LoadState::kNotTried) return g_state == LoadState::kLoaded;
  g_state = LoadState::kFailed;
  void* library = dlopen(kCryptoLibrary, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    log(1, "%s: %s", kCryptoLibrary, why != nullptr ? why : "can not be loaded");
    return false;
  }
  Crypto crypto;
  if (!find(library, "EVP_sha256", &crypto.sha256) || !find(library, "EVP_sha512", &crypto.sha512) ||
      !find(library, "HMAC", &crypto.hmac)) {
    log(1, "%s: %s", kCryptoLibrary, "has no HMAC");
    dlclose(library);
    return false;
  }
  // Kept loaded for the rest of the process.
  g_crypto = crypto;
  g_state = LoadState::kLoaded;
  return true;
}

}  // namespace

bool hmac(HmacAlgorithm algorithm, const std::string& key, const std::string& data,
          std::string* mac) {
  mac->clear();
  if (!load_crypto()) return false;
  const EVP_MD* digest = algorithm == HmacAlgorithm::kSha512 ? g_crypto.sha512() : g_crypto.sha256();
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (g_crypto.hmac(digest, key.data(), static_cast<int>(key.size()),
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
