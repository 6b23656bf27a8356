// Signing key, signatures against published vectors, hashes, base64, passwords, sealed boxes.
#include <sodium.h>
#include <sys/stat.h>

#include <fstream>

#include <gtest/gtest.h>

#include "blacklist_code.h"
#include "crypto.h"
#include "test_support.h"

namespace orvane {
namespace {

std::array<uint8_t, 32> Seed(const std::string &hex) {
  auto b = HexDecode(hex);
  std::array<uint8_t, 32> s{};
  std::copy(b->begin(), b->end(), s.begin());
  return s;
}

TEST(Signing, MatchesRfc8032Vectors) {
  struct Vector {
    const char *seed, *pk, *msg, *sig;
  } vectors[] = {
      {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
       "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
       "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
      {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
       "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
       "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
      {"c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
       "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
       "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"},
  };
  for (const auto &v : vectors) {
    SigningKey k = SigningKey::FromSeed(Seed(v.seed));
    EXPECT_EQ(HexEncode(k.PublicKey().data(), 32), v.pk);
    auto msg = HexDecode(v.msg);
    std::string m(msg->begin(), msg->end());
    auto sig = k.Sign(m);
    EXPECT_EQ(HexEncode(sig.data(), sig.size()), v.sig);
    EXPECT_TRUE(VerifySignature(m, sig.data(), k.PublicKey().data()));
  }
  SigningKey k1 = SigningKey::FromSeed(Seed(vectors[0].seed));
  EXPECT_EQ(k1.PublicKeyBase64(), "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=");
}

TEST(Signing, AnyChangedByteBreaksTheSignature) {
  SigningKey k = SigningKey::FromSeed(Seed(std::string(64, '1')));
  std::string msg = R"({"taskId":1,"nonce":"ab"})";
  auto sig = k.Sign(msg);
  for (size_t i = 0; i < msg.size(); ++i) {
    std::string changed = msg;
    changed[i] ^= 0x01;
    EXPECT_FALSE(VerifySignature(changed, sig.data(), k.PublicKey().data())) << i;
  }
  for (size_t i = 0; i < sig.size(); i += 7) {
    auto bad = sig;
    bad[i] ^= 0x80;
    EXPECT_FALSE(VerifySignature(msg, bad.data(), k.PublicKey().data())) << i;
  }
}

TEST(Hashes, Sha256Vectors) {
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(Base64, StandardAlphabetWithPaddingAndStrictDecoding) {
  Bytes b(32, 0xFB);
  std::string text = Base64Encode(b);
  EXPECT_EQ(text.size(), 44u);
  EXPECT_EQ(text.back(), '=');
  EXPECT_NE(text.find('+'), std::string::npos);  // standard, not URL-safe alphabet
  EXPECT_EQ(*Base64Decode(text), b);
  for (const char *bad : {"", "abc", "ab=c", "a-_b", "!!!!", "QUJD\n", "\xff\xff\xff\xff", "QU\xc3\xa9"})
    EXPECT_FALSE(Base64Decode(bad)) << bad;
  EXPECT_EQ(RandomToken().size(), 43u);
  EXPECT_NE(RandomToken(), RandomToken());
}

TEST(Passwords, Argon2idHashesVerifyOnlyTheRightPassword) {
  std::string h = HashPassword("正确的密码 123");
  EXPECT_EQ(h.rfind("$argon2id$", 0), 0u);
  EXPECT_TRUE(VerifyPassword(h, "正确的密码 123"));
  EXPECT_FALSE(VerifyPassword(h, "正确的密码 124"));
  EXPECT_FALSE(VerifyPassword("", "x"));
  EXPECT_FALSE(VerifyPassword("not a hash", "x"));
  EXPECT_NE(HashPassword("same"), HashPassword("same"));  // salted
}

TEST(Codes, SixDigitsAcrossTheWholeRange) {
  bool saw_leading_zero = false;
  for (int i = 0; i < 2000; ++i) {
    std::string c = RandomSixDigits();
    ASSERT_EQ(c.size(), 6u);
    for (char ch : c) ASSERT_TRUE(ch >= '0' && ch <= '9');
    saw_leading_zero |= c[0] == '0';
  }
  EXPECT_TRUE(saw_leading_zero);  // zero-padded, about 200 of 2000 expected
}

TEST(SigningKeyFile, MadeOnceKeptPrivateAndReloaded) {
  test::TempDir dir;
  std::string path = dir.path() + "/sign-ed25519.key";
  SigningKey a = SigningKey::LoadOrCreate(path);
  struct stat st{};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  SigningKey b = SigningKey::LoadOrCreate(path);
  EXPECT_EQ(a.PublicKeyBase64(), b.PublicKeyBase64());
  chmod(path.c_str(), 0644);
  SigningKey c = SigningKey::LoadOrCreate(path);
  stat(path.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0600u);  // tightened again
  EXPECT_EQ(c.PublicKeyBase64(), a.PublicKeyBase64());
  std::ofstream(path) << "not a key\n";
  EXPECT_THROW(SigningKey::LoadOrCreate(path), std::runtime_error);
}

std::string Seal(const std::string &plain, const SigningKey &key) {
  uint8_t xpk[32];
  EXPECT_EQ(crypto_sign_ed25519_pk_to_curve25519(xpk, key.PublicKey().data()), 0);
  Bytes out(plain.size() + crypto_box_SEALBYTES);
  crypto_box_seal(out.data(), reinterpret_cast<const uint8_t *>(plain.data()), plain.size(), xpk);
  return "QVTR1." + Base64Encode(out);
}

TEST(SealedBlacklistCode, OpensOnlyForTheServiceKey) {
  SigningKey key = SigningKey::FromSeed(Seed(std::string(64, '7')));
  SigningKey other = SigningKey::FromSeed(Seed(std::string(64, '8')));
  const int64_t now = 1'800'000'000'000;
  std::string record = R"({"v":1,"displayName":"计算器 \"测试\"","executableName":"calc.exe","executableSha256":")" +
                       std::string(64, 'd') + R"(","blockReason":"误触风险","userId":3,"issuedAtMs":)" +
                       std::to_string(now) + R"(,"expiresAtMs":)" + std::to_string(now + 604800000) + "}";
  std::string code = Seal(record, key);
  auto opened = OpenBlacklistCode(code, key, now + 1000);
  ASSERT_TRUE(std::holds_alternative<BlacklistRecord>(opened)) << std::get<std::string>(opened);
  EXPECT_EQ(std::get<BlacklistRecord>(opened).display_name, "计算器 \"测试\"");
  EXPECT_EQ(std::get<BlacklistRecord>(opened).block_reason, "误触风险");
  // Pasted with line breaks: still accepted.
  std::string wrapped = code.substr(0, 20) + "\r\n" + code.substr(20);
  EXPECT_TRUE(std::holds_alternative<BlacklistRecord>(OpenBlacklistCode(wrapped, key, now)));

  EXPECT_TRUE(std::holds_alternative<std::string>(OpenBlacklistCode(code, other, now)));
  EXPECT_TRUE(std::holds_alternative<std::string>(OpenBlacklistCode(code.substr(6), key, now)));
  EXPECT_TRUE(std::holds_alternative<std::string>(OpenBlacklistCode("QVTR1.%%%%", key, now)));
  EXPECT_TRUE(std::holds_alternative<std::string>(OpenBlacklistCode("QVTR1.QUJD", key, now)));  // too short
  auto sealed = Base64Decode(code.substr(6));
  (*sealed)[40] ^= 1;
  EXPECT_TRUE(std::holds_alternative<std::string>(OpenBlacklistCode("QVTR1." + Base64Encode(*sealed), key, now)));
  auto late = OpenBlacklistCode(code, key, now + 604800001);
  ASSERT_TRUE(std::holds_alternative<std::string>(late));
  EXPECT_NE(std::get<std::string>(late).find("过期"), std::string::npos);
}

}  // namespace
}  // namespace orvane
