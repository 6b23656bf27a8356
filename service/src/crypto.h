// libsodium wrappers: randomness, hashes, base64, the Ed25519 signing key pair,
// password hashing and anonymous sealed boxes.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvane {

using Bytes = std::vector<uint8_t>;

// Must succeed once before anything else here is used; throws when libsodium cannot start.
void InitCrypto();

Bytes RandomBytes(size_t n);
std::string RandomHex(size_t bytes);
// Bearer tokens and payment references: 32 random bytes, URL-safe base64 without padding.
std::string RandomToken();
// Six decimal digits, uniformly distributed.
std::string RandomSixDigits();

std::string Sha256Hex(const std::string &data);
std::string HexEncode(const uint8_t *data, size_t n);
std::optional<Bytes> HexDecode(const std::string &hex);

// Standard base64 with padding, no line breaks.
std::string Base64Encode(const uint8_t *data, size_t n);
inline std::string Base64Encode(const std::string &s) {
  return Base64Encode(reinterpret_cast<const uint8_t *>(s.data()), s.size());
}
inline std::string Base64Encode(const Bytes &b) { return Base64Encode(b.data(), b.size()); }
// Strict standard base64 (padding required); nothing on malformed input.
std::optional<Bytes> Base64Decode(const std::string &text);

bool ConstantTimeEquals(const std::string &a, const std::string &b);

// The service's Ed25519 key pair. The file holds the 32-byte seed as 64 hex digits.
class SigningKey {
 public:
  // Loads DIR/sign-ed25519.key or creates it (mode 0600). Throws with a readable text on failure.
  static SigningKey LoadOrCreate(const std::string &path);
  static SigningKey FromSeed(const std::array<uint8_t, 32> &seed);

  std::array<uint8_t, 64> Sign(const std::string &message) const;
  const std::array<uint8_t, 32> &PublicKey() const { return pk_; }
  std::string PublicKeyBase64() const { return Base64Encode(pk_.data(), pk_.size()); }
  // The 32-byte seed as 64 hex digits (what the key file holds), for sharing it through a database.
  std::string SeedHex() const { return HexEncode(sk_.data(), 32); }
  // Opens an anonymous sealed box addressed to the X25519 form of this key pair.
  std::optional<std::string> OpenSealed(const Bytes &sealed) const;

 private:
  std::array<uint8_t, 32> pk_{};
  std::array<uint8_t, 64> sk_{};
};

bool VerifySignature(const std::string &message, const uint8_t *sig64, const uint8_t *pk32);

// Argon2id with libsodium's interactive limits.
std::string HashPassword(const std::string &password);
bool VerifyPassword(const std::string &hash, const std::string &password);
// Spends the same effort as a verification (used when no account matches, so timing tells nothing).
void SpendPasswordEffort(const std::string &password);

}  // namespace orvane
