// SHA-256 from Windows' own BCrypt (Debian has no OpenSSL for mingw-w64).
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
// bcrypt.h needs the types of windows.h.
#include <bcrypt.h>

#include <algorithm>

#include "station/run_log.h"

namespace kv {

bool Sha256(std::span<const uint8_t> bytes, Sha256Digest& digest) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
    return false;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool done = BCRYPT_SUCCESS(::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
  // BCryptHashData takes at most 4 GiB at a time; a HEX file is far smaller, but never truncate.
  for (size_t at = 0; done && at < bytes.size();) {
    const ULONG n = static_cast<ULONG>(std::min<size_t>(bytes.size() - at, 0x40000000));
    done = BCRYPT_SUCCESS(::BCryptHashData(hash, const_cast<PUCHAR>(bytes.data() + at), n, 0));
    at += n;
  }
  done =
      done && BCRYPT_SUCCESS(::BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
  if (hash != nullptr) ::BCryptDestroyHash(hash);
  ::BCryptCloseAlgorithmProvider(algorithm, 0);
  return done;
}

}  // namespace kv
