// SHA-256 from OpenSSL's libcrypto (Linux).
#include <openssl/evp.h>

#include "cli/run_log.h"

namespace kv {

bool Sha256(std::span<const uint8_t> bytes, Sha256Digest& digest) {
  unsigned int length = 0;
  return EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) == 1 &&
         length == digest.size();
}

}  // namespace kv
