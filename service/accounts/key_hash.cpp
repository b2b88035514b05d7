// Account keys: generation, salted slow hashes for storage, and fast digests for known keys.
#include "accounts/key_hash.h"

#include <sodium.h>

#include <stdexcept>

namespace {

// Keys are random 66-bit numbers, not chosen passwords, so a light setting suffices: about half
// a millisecond per hash, which keeps registration and the first report of an account cheap.
constexpr unsigned long long kOpsLimit = 2;
constexpr size_t kMemLimit = 1 << 20;
constexpr size_t kKeyDigits = 20;
constexpr size_t kMaxKeyDigits = 64;

const unsigned char* DigestSecret() {
  static const auto secret = [] {
    std::array<unsigned char, crypto_generichash_KEYBYTES> bytes;
    randombytes_buf(bytes.data(), bytes.size());
    return bytes;
  }();
  return secret.data();
}

}  // namespace

bool InitKeyHashing() {
  if (sodium_init() < 0) return false;
  DigestSecret();
  return true;
}

std::string GenerateKey() {
  std::string key;
  for (size_t i = 0; i < kKeyDigits; ++i)
    key.push_back(static_cast<char>('0' + randombytes_uniform(10)));
  return key;
}

bool IsWellFormedKey(std::string_view key) {
  if (key.empty() || key.size() > kMaxKeyDigits) return false;
  for (char c : key) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string HashKey(std::string_view key) {
  char out[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str_alg(out, key.data(), key.size(), kOpsLimit, kMemLimit,
                            crypto_pwhash_ALG_ARGON2ID13) != 0) {
    throw std::runtime_error("out of memory while hashing a key");
  }
  return out;
}

bool VerifyKey(const std::string& hash, std::string_view key) {
  return crypto_pwhash_str_verify(hash.c_str(), key.data(), key.size()) == 0;
}

CKeyDigest DigestKey(std::string_view key) {
  CKeyDigest digest;
  crypto_generichash(digest.data(), digest.size(),
                     reinterpret_cast<const unsigned char*>(key.data()), key.size(), DigestSecret(),
                     crypto_generichash_KEYBYTES);
  return digest;
}

bool SameDigest(const CKeyDigest& a, const CKeyDigest& b) {
  return sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}
