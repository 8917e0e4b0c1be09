// HMAC from CNG (bcrypt.dll), and the wall clock.
#include <windows.h>
#include <bcrypt.h>

#include "platform.h"

namespace {

bool succeeded(NTSTATUS status) { return status >= 0; }

}  // namespace

bool hmac(HmacAlgorithm algorithm, const std::string& key, const std::string& data,
          std::string* mac) {
  mac->clear();
  LPCWSTR name = algorithm == HmacAlgorithm::kSha512 ? BCRYPT_SHA512_ALGORITHM
                                                     : BCRYPT_SHA256_ALGORITHM;
  ULONG size = algorithm == HmacAlgorithm::kSha512 ? 64 : 32;
  BCRYPT_ALG_HANDLE provider = nullptr;
  if (!succeeded(BCryptOpenAlgorithmProvider(&provider, name, nullptr,
                                             BCRYPT_ALG_HANDLE_HMAC_FLAG)))
    return false;
  // CNG keeps the hash object in memory of its own when given none.
  BCRYPT_HASH_HANDLE hash = nullptr;
  std::string out(size, '\0');
  bool ok =
      succeeded(BCryptCreateHash(provider, &hash, nullptr, 0,
                                 reinterpret_cast<PUCHAR>(const_cast<char*>(key.data())),
                                 static_cast<ULONG>(key.size()), 0)) &&
      succeeded(BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                               static_cast<ULONG>(data.size()), 0)) &&
      succeeded(BCryptFinishHash(hash, reinterpret_cast<PUCHAR>(&out[0]), size, 0));
  if (hash != nullptr) BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(provider, 0);
  if (ok) *mac = out;
  return ok;
}

std::uint64_t unix_time_seconds() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  std::uint64_t ticks = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) |
                        now.dwLowDateTime;
  // FILETIME counts 100 ns steps from 1601-01-01.
  const std::uint64_t kEpochOffset = 116444736000000000ull;
  return ticks < kEpochOffset ? 0 : (ticks - kEpochOffset) / 10000000u;
}
