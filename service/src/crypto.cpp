#include "crypto.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

namespace orvane {

void InitCrypto() {
  if (sodium_init() < 0) throw std::runtime_error("libsodium could not be initialised");
}

Bytes RandomBytes(size_t n) {
  Bytes b(n);
  randombytes_buf(b.data(), n);
  return b;
}

std::string HexEncode(const uint8_t *data, size_t n) {
  static const char *digits = "0123456789abcdef";
  std::string out;
  out.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    out.push_back(digits[data[i] >> 4]);
    out.push_back(digits[data[i] & 15]);
  }
  return out;
}

std::optional<Bytes> HexDecode(const std::string &hex) {
  if (hex.size() % 2) return std::nullopt;
  Bytes out(hex.size() / 2);
  auto nib = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < out.size(); ++i) {
    int hi = nib(hex[2 * i]), lo = nib(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out[i] = static_cast<uint8_t>(hi * 16 + lo);
  }
  return out;
}

std::string RandomHex(size_t bytes) {
  Bytes b = RandomBytes(bytes);
  return HexEncode(b.data(), b.size());
}

std::string RandomToken() {
  Bytes b = RandomBytes(32);
  std::string out(sodium_base64_ENCODED_LEN(32, sodium_base64_VARIANT_URLSAFE_NO_PADDING), '\0');
  sodium_bin2base64(out.data(), out.size(), b.data(), b.size(), sodium_base64_VARIANT_URLSAFE_NO_PADDING);
  out.resize(std::strlen(out.c_str()));
  return out;
}

std::string RandomSixDigits() {
  uint32_t v = randombytes_uniform(1000000);
  char buf[8];
  std::snprintf(buf, sizeof buf, "%06u", v);
  return buf;
}

std::string Sha256Hex(const std::string &data) {
  uint8_t out[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(out, reinterpret_cast<const uint8_t *>(data.data()), data.size());
  return HexEncode(out, sizeof out);
}

std::string Base64Encode(const uint8_t *data, size_t n) {
  if (n == 0) return {};
  std::string out(sodium_base64_ENCODED_LEN(n, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), data, n, sodium_base64_VARIANT_ORIGINAL);
  out.resize(std::strlen(out.c_str()));
  return out;
}

std::optional<Bytes> Base64Decode(const std::string &text) {
  if (text.empty() || text.size() % 4 != 0) return std::nullopt;
  // libsodium 1.0.18 reads a byte from 0x80 up as a digit (its constant-time comparisons see it
  // sign-extended), so "\xff\xff\xff\xff" decoded to three bytes: only the alphabet gets that far.
  if (text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") != std::string::npos)
    return std::nullopt;
  Bytes out(text.size() / 4 * 3);
  size_t len = 0;
  const char *end = nullptr;
  if (sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &len, &end,
                        sodium_base64_VARIANT_ORIGINAL) != 0 ||
      end != text.data() + text.size())
    return std::nullopt;
  out.resize(len);
  return out;
}

bool ConstantTimeEquals(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  return sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

SigningKey SigningKey::FromSeed(const std::array<uint8_t, 32> &seed) {
  SigningKey k;
  crypto_sign_seed_keypair(k.pk_.data(), k.sk_.data(), seed.data());
  return k;
}

SigningKey SigningKey::LoadOrCreate(const std::string &path) {
  std::array<uint8_t, 32> seed{};
  struct stat st{};
  if (::stat(path.c_str(), &st) == 0) {
    if ((st.st_mode & 077) != 0) {
      // Never leave the signing key readable by others.
      if (::chmod(path.c_str(), 0600) != 0)
        throw std::runtime_error("cannot restrict permissions of " + path + ": " + std::strerror(errno));
    }
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    auto bytes = HexDecode(line);
    if (!in.good() && !in.eof()) throw std::runtime_error("cannot read " + path);
    if (!bytes || bytes->size() != 32)
      throw std::runtime_error(path + " does not hold a 64-digit hexadecimal Ed25519 seed");
    std::memcpy(seed.data(), bytes->data(), 32);
  } else {
    randombytes_buf(seed.data(), seed.size());
    std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) throw std::runtime_error("cannot create " + tmp + ": " + std::strerror(errno));
    std::string text = HexEncode(seed.data(), seed.size()) + "\n";
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = ok && ::fsync(fd) == 0;
    ::close(fd);
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
      ::unlink(tmp.c_str());
      throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    }
  }
  SigningKey k = FromSeed(seed);
  sodium_memzero(seed.data(), seed.size());
  return k;
}

std::array<uint8_t, 64> SigningKey::Sign(const std::string &message) const {
  std::array<uint8_t, 64> sig{};
  crypto_sign_detached(sig.data(), nullptr, reinterpret_cast<const uint8_t *>(message.data()),
                       message.size(), sk_.data());
  return sig;
}

std::optional<std::string> SigningKey::OpenSealed(const Bytes &sealed) const {
  if (sealed.size() < crypto_box_SEALBYTES) return std::nullopt;
  uint8_t xpk[crypto_box_PUBLICKEYBYTES], xsk[crypto_box_SECRETKEYBYTES];
  if (crypto_sign_ed25519_pk_to_curve25519(xpk, pk_.data()) != 0 ||
      crypto_sign_ed25519_sk_to_curve25519(xsk, sk_.data()) != 0)
    return std::nullopt;
  std::string plain(sealed.size() - crypto_box_SEALBYTES, '\0');
  int rc = crypto_box_seal_open(reinterpret_cast<uint8_t *>(plain.data()), sealed.data(),
                                sealed.size(), xpk, xsk);
  sodium_memzero(xsk, sizeof xsk);
  if (rc != 0) return std::nullopt;
  return plain;
}

bool VerifySignature(const std::string &message, const uint8_t *sig64, const uint8_t *pk32) {
  return crypto_sign_verify_detached(sig64, reinterpret_cast<const uint8_t *>(message.data()),
                                     message.size(), pk32) == 0;
}

std::string HashPassword(const std::string &password) {
  char out[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                        crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
    throw std::runtime_error("password hashing ran out of memory");
  return out;
}

bool VerifyPassword(const std::string &hash, const std::string &password) {
  if (hash.empty() || hash.size() >= crypto_pwhash_STRBYTES) return false;
  return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

void SpendPasswordEffort(const std::string &password) {
  static std::once_flag once;
  static std::string dummy;
  std::call_once(once, [] { dummy = HashPassword("orvane-timing-equaliser"); });
  (void)VerifyPassword(dummy, password);
}

}  // namespace orvane
