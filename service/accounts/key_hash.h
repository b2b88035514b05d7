// Account keys: generation, salted slow hashes for storage, and fast digests for known keys.
#pragma once

#include <array>
#include <string>
#include <string_view>

// Prepares libsodium; false when it cannot run (no entropy source). Call before anything below.
bool InitKeyHashing();

// A new account key: 20 random decimal digits (the plug-in's key box takes digits only).
std::string GenerateKey();

// Keys are 1 to 64 decimal digits; anything else is wrong without looking further.
bool IsWellFormedKey(std::string_view key);

// The Argon2id hash of `key` with a random salt, as the text libsodium writes. Throws
// std::runtime_error when memory for hashing cannot be had.
std::string HashKey(std::string_view key);

// Whether `key` matches `hash` (made by HashKey). Takes the same time for any wrong key.
bool VerifyKey(const std::string& hash, std::string_view key);

// A keyed BLAKE2b digest of a key under a secret drawn at start-up. The service remembers the
// digest of a key it has verified, so that later reports cost no slow hash; the secret keeps the
// digests useless outside this process.
using CKeyDigest = std::array<unsigned char, 32>;
CKeyDigest DigestKey(std::string_view key);
// Compares two digests in constant time.
bool SameDigest(const CKeyDigest& a, const CKeyDigest& b);
