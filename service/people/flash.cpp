// One-time results of the account page's forms, sealed into the cookie that carries them.
#include "people/flash.h"

#include <sodium.h>

#include <array>
#include <stdexcept>

namespace {

constexpr char kKeyContext[] = "velk flash cookie";
constexpr char kSeparator = '\0';  // no field of a flash holds a NUL

// The flash's fields and the time it was sealed, one after another.
std::string Serialize(const CFlash& flash, int64_t wallMs) {
  std::string text = std::to_string(wallMs);
  for (const std::string* field : {&flash.sessionId, &flash.notice, &flash.key, &flash.deleted,
                                   &flash.playerToken, &flash.keyOf}) {
    text += kSeparator;
    text += *field;
  }
  return text;
}

// The fields `text` holds, or false when it is not what Serialize makes (or made before flashes
// carried `keyOf`).
bool Parse(const std::string& text, CFlash* flash, int64_t* wallMs) {
  std::array<std::string, 7> fields;
  size_t start = 0;
  size_t count = 0;
  for (; count < fields.size() && start <= text.size(); ++count) {
    size_t end = text.find(kSeparator, start);
    if (end == std::string::npos || count + 1 == fields.size()) end = text.size();
    fields[count] = text.substr(start, end - start);
    start = end + 1;
  }
  if (count < 6) return false;
  if (fields[0].empty() || fields[0].size() > 18 ||
      fields[0].find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  *wallMs = std::stoll(fields[0]);
  *flash = {fields[1], fields[2], fields[3], fields[4], fields[5], fields[6], ""};
  return true;
}

}  // namespace

CFlashes::CFlashes(const CClock& clock, std::string_view sharedSecret)
    : m_clock(clock), m_key(crypto_secretbox_KEYBYTES) {
  if (sodium_init() < 0) throw std::runtime_error("libsodium could not start");
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, m_key.size());
  crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(kKeyContext),
                            sizeof kKeyContext);
  crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(sharedSecret.data()),
                            sharedSecret.size());
  crypto_generichash_final(&state, m_key.data(), m_key.size());
}

std::string CFlashes::Put(const CFlash& flash) const {
  const std::string plain = Serialize(flash, m_clock.WallMs());
  std::vector<unsigned char> sealed(crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES +
                                    plain.size());
  randombytes_buf(sealed.data(), crypto_secretbox_NONCEBYTES);
  crypto_secretbox_easy(sealed.data() + crypto_secretbox_NONCEBYTES,
                        reinterpret_cast<const unsigned char*>(plain.data()), plain.size(),
                        sealed.data(), m_key.data());
  const int variant = sodium_base64_VARIANT_URLSAFE_NO_PADDING;
  std::string value(sodium_base64_ENCODED_LEN(sealed.size(), variant), '\0');
  sodium_bin2base64(value.data(), value.size(), sealed.data(), sealed.size(), variant);
  value.resize(value.find('\0'));
  return value;
}

std::optional<CFlash> CFlashes::Take(std::string_view value) const {
  if (value.empty() || value.size() > 4096) return std::nullopt;
  std::vector<unsigned char> sealed(value.size());
  size_t length = 0;
  if (sodium_base642bin(sealed.data(), sealed.size(), value.data(), value.size(), nullptr, &length,
                        nullptr, sodium_base64_VARIANT_URLSAFE_NO_PADDING) != 0 ||
      length < crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES) {
    return std::nullopt;
  }
  std::string plain(length - crypto_secretbox_NONCEBYTES - crypto_secretbox_MACBYTES, '\0');
  if (crypto_secretbox_open_easy(reinterpret_cast<unsigned char*>(plain.data()),
                                 sealed.data() + crypto_secretbox_NONCEBYTES,
                                 length - crypto_secretbox_NONCEBYTES, sealed.data(),
                                 m_key.data()) != 0) {
    return std::nullopt;
  }
  CFlash flash;
  int64_t sealedMs = 0;
  if (!Parse(plain, &flash, &sealedMs)) return std::nullopt;
  const int64_t ageMs = m_clock.WallMs() - sealedMs;
  if (ageMs < 0 || ageMs >= kFlashLifeMs) return std::nullopt;
  // The nonce is random for every flash sealed.
  flash.id = std::string(value.substr(0, 32));
  return flash;
}

std::string KeyFingerprint(std::string_view keyHash) {
  std::array<unsigned char, 16> digest;
  crypto_generichash(digest.data(), digest.size(),
                     reinterpret_cast<const unsigned char*>(keyHash.data()), keyHash.size(),
                     nullptr, 0);
  std::string hex(digest.size() * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), digest.data(), digest.size());
  hex.pop_back();
  return hex;
}
