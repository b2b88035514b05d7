// Player tokens of other players: making them, their stored digests, and Audioscrobbler sessions.
#include "accounts/player_token.h"

#include <openssl/evp.h>
#include <sodium.h>

#include <stdexcept>

namespace {

std::string Hex(const unsigned char* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 15]);
  }
  return out;
}

// Hex BLAKE2b-256 of `text`, keyed by `key` when it is not empty (16 to 64 bytes).
std::string Blake2bHex(std::string_view text, std::string_view key) {
  unsigned char digest[32];
  crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char*>(text.data()),
                     text.size(), reinterpret_cast<const unsigned char*>(key.data()), key.size());
  return Hex(digest, sizeof digest);
}

bool SameHex(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         sodium_memcmp(a.data(), b.data(), a.size()) == 0;  // constant time for equal lengths
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

std::string GeneratePlayerToken() {
  unsigned char bytes[16];
  randombytes_buf(bytes, sizeof bytes);
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  const std::string hex = Hex(bytes, sizeof bytes);
  return hex.substr(0, 8) + '-' + hex.substr(8, 4) + '-' + hex.substr(12, 4) + '-' +
         hex.substr(16, 4) + '-' + hex.substr(20);
}

std::string PlayerTokenHash(std::string_view token) { return Blake2bHex(token, {}); }

std::string Md5Hex(std::string_view text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &size, EVP_md5(), nullptr) != 1) {
    throw std::runtime_error("MD5 is not available");
  }
  return Hex(digest, size);
}

bool HandshakeMatches(std::string_view tokenMd5, std::string_view timestamp,
                      std::string_view auth) {
  if (tokenMd5.size() != 32) return false;
  const std::string expected = Md5Hex(std::string(tokenMd5) + std::string(timestamp));
  return SameHex(expected, Lower(auth));
}

std::string MakeScrobbleSession(std::string_view nameKey, std::string_view tokenMd5) {
  unsigned char nonce[8];
  randombytes_buf(nonce, sizeof nonce);
  const std::string head = std::string(nameKey) + '.' + Hex(nonce, sizeof nonce);
  return head + '.' + Blake2bHex(head, tokenMd5);
}

std::string ScrobbleSessionAccount(std::string_view session) {
  // Names may hold dots themselves; the nonce and the MAC are the last two parts.
  const size_t mac = session.rfind('.');
  if (mac == std::string_view::npos || mac == 0) return "";
  const size_t nonce = session.rfind('.', mac - 1);
  if (nonce == std::string_view::npos || nonce == 0) return "";
  return std::string(session.substr(0, nonce));
}

bool ScrobbleSessionMatches(std::string_view session, std::string_view nameKey,
                            std::string_view tokenMd5) {
  if (tokenMd5.size() != 32) return false;
  const size_t mac = session.rfind('.');
  if (mac == std::string_view::npos) return false;
  const std::string_view head = session.substr(0, mac);
  if (head.substr(0, head.rfind('.')) != nameKey) return false;
  return SameHex(Blake2bHex(head, tokenMd5), session.substr(mac + 1));
}
