// Admin commands against a real database file: accounts, credits, blacklist and its codes,
// outbox and task listings, argument checking.
#include <sodium.h>

#include <sstream>

#include <gtest/gtest.h>

#include "admin.h"
#include "store.h"
#include "test_support.h"

namespace orvane {
namespace {

class Admin : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = Db::Open(dir_.path() + "/orvane.db");
    std::array<uint8_t, 32> seed{};
    seed.fill(0x42);
    key_ = SigningKey::FromSeed(seed);
  }
  AdminResult Run(std::vector<std::string> args, std::istream *in = nullptr) {
    AdminEnv env{*db_, key_, clock_, RuntimeConfig{}, in};
    return RunAdmin(env, args);
  }
  std::string Seal(const std::string &plain) {
    uint8_t xpk[32];
    EXPECT_EQ(crypto_sign_ed25519_pk_to_curve25519(xpk, key_.PublicKey().data()), 0);
    Bytes out(plain.size() + crypto_box_SEALBYTES);
    crypto_box_seal(out.data(), reinterpret_cast<const uint8_t *>(plain.data()), plain.size(), xpk);
    return "QVTR1." + Base64Encode(out);
  }
  std::string Record(int64_t user_id, int64_t issued, const std::string &sha = std::string(64, 'c')) {
    return R"({"v":1,"displayName":"记事本","executableName":"notepad.exe","executableSha256":")" + sha +
           R"(","blockReason":"测试期间禁止","userId":)" + std::to_string(user_id) + R"(,"issuedAtMs":)" +
           std::to_string(issued) + R"(,"expiresAtMs":)" + std::to_string(issued + 604800000) + "}";
  }
  test::TempDir dir_;
  std::unique_ptr<Db> db_;
  SigningKey key_ = SigningKey::FromSeed({});
  ServiceClock clock_;
};

TEST_F(Admin, CreatesAccountsWithTheirRules) {
  AdminResult r = Run({"account-create", "Demo@Example.CN", "password-1"});
  ASSERT_TRUE(r.ok) << r.output;
  EXPECT_NE(r.output.find("demo@example.cn"), std::string::npos);
  EXPECT_NE(r.output.find("credits=20"), std::string::npos);
  EXPECT_FALSE(Run({"account-create", "demo@example.cn", "password-2"}).ok);
  EXPECT_FALSE(Run({"account-create", "not-an-address", "password-1"}).ok);
  EXPECT_FALSE(Run({"account-create", "x@y.cn", "short"}).ok);
  EXPECT_TRUE(Run({"account-create", "rich@y.cn", "password-1", "500"}).output.find("credits=500") != std::string::npos);
  EXPECT_FALSE(Run({"developer-create", "dev", "a-long-password"}).ok);          // name too short
  EXPECT_FALSE(Run({"developer-create", "devuser", "short-pass"}).ok);           // 10 < 12
  ASSERT_TRUE(Run({"developer-create", "devuser", "a-long-password"}).ok);
  EXPECT_FALSE(Run({"developer-create", "DEVUSER", "a-long-password"}).ok);      // names are case-insensitive
  std::lock_guard<std::mutex> lock(db_->Mutex());
  auto dev = FindAccountByUsername(*db_, "devuser");
  ASSERT_TRUE(dev);
  EXPECT_TRUE(dev->developer);
  EXPECT_TRUE(VerifyPassword(dev->password_hash, "a-long-password"));
}

TEST_F(Admin, PasswordFromStandardInput) {
  std::istringstream in("piped-password\n");
  ASSERT_TRUE(Run({"account-create", "pipe@x.cn", "-"}, &in).ok);
  std::lock_guard<std::mutex> lock(db_->Mutex());
  EXPECT_TRUE(VerifyPassword(FindAccountByEmail(*db_, "pipe@x.cn")->password_hash, "piped-password"));
}

TEST_F(Admin, CreditsAreSetAndAddedThroughTheLedger) {
  ASSERT_TRUE(Run({"account-create", "c@x.cn", "password-1"}).ok);
  EXPECT_EQ(Run({"credits-set", "c@x.cn", "50"}).output, "#1 credits=50");
  EXPECT_EQ(Run({"credits-add", "#1", "-20"}).output, "#1 credits=30");
  EXPECT_FALSE(Run({"credits-add", "c@x.cn", "-31"}).ok);
  EXPECT_FALSE(Run({"credits-set", "c@x.cn", "-1"}).ok);
  EXPECT_FALSE(Run({"credits-set", "nobody@x.cn", "5"}).ok);
  EXPECT_FALSE(Run({"credits-set", "c@x.cn", "5x"}).ok);
  std::lock_guard<std::mutex> lock(db_->Mutex());
  Stmt s = db_->Prepare("SELECT COUNT(*), SUM(delta) FROM ledger WHERE account_id = 1");
  ASSERT_TRUE(s.Step());
  EXPECT_EQ(s.Int(0), 3);   // starting credits, set, add
  EXPECT_EQ(s.Int(1), 30);  // the ledger sums to the balance
}

TEST_F(Admin, BlacklistAddListRemove) {
  std::string sha(64, 'A');
  ASSERT_TRUE(Run({"blacklist-add", sha, "原因一", "程序一"}).ok);
  EXPECT_EQ(Run({"blacklist-add", sha, "原因二"}).output, "updated " + std::string(64, 'a'));
  std::string list = Run({"blacklist-list"}).output;
  EXPECT_NE(list.find(std::string(64, 'a') + "\tadmin"), std::string::npos);
  EXPECT_NE(list.find("原因二"), std::string::npos);
  EXPECT_FALSE(Run({"blacklist-add", "123", "reason"}).ok);
  EXPECT_FALSE(Run({"blacklist-add", sha, ""}).ok);
  EXPECT_FALSE(Run({"blacklist-add", sha, std::string(256, 'r')}).ok);
  ASSERT_TRUE(Run({"blacklist-remove", sha}).ok);
  EXPECT_FALSE(Run({"blacklist-remove", sha}).ok);
  EXPECT_EQ(Run({"blacklist-list"}).output, "blacklist is empty");
}

TEST_F(Admin, ImportsBlacklistCodesFromDevelopersOnly) {
  ASSERT_TRUE(Run({"developer-create", "devuser", "a-long-password"}).ok);  // #1
  ASSERT_TRUE(Run({"account-create", "plain@x.cn", "password-1"}).ok);      // #2
  int64_t now = clock_.NowMs();
  AdminResult r = Run({"blacklist-import", Seal(Record(1, now - 1000))});
  ASSERT_TRUE(r.ok) << r.output;
  EXPECT_NE(r.output.find("imported " + std::string(64, 'c')), std::string::npos);
  std::string list = Run({"blacklist-list"}).output;
  EXPECT_NE(list.find("\tcode\t记事本\tnotepad.exe\t测试期间禁止\tby #1"), std::string::npos) << list;

  struct Bad {
    std::string code;
    const char *part;
  } bad[] = {
      {Seal(Record(2, now)), "不是开发者"},
      {Seal(Record(99, now)), "不是开发者"},
      {Seal(Record(1, now - 604800000 - 5000, std::string(64, 'd'))), "过期"},
      {Seal("{\"v\":1}"), "名单码"},
      {"QVTR2.abcd", "QVTR1."},
      {"QVTR1.not*base64", "Base64"},
  };
  for (const auto &b : bad) {
    AdminResult res = Run({"blacklist-import", b.code});
    EXPECT_FALSE(res.ok) << b.code;
    EXPECT_NE(res.output.find(b.part), std::string::npos) << res.output;
  }
  // A code for another service key cannot be opened.
  std::array<uint8_t, 32> other_seed{};
  other_seed.fill(0x43);
  SigningKey other = SigningKey::FromSeed(other_seed);
  uint8_t xpk[32];
  ASSERT_EQ(crypto_sign_ed25519_pk_to_curve25519(xpk, other.PublicKey().data()), 0);
  std::string plain = Record(1, now);
  Bytes sealed(plain.size() + crypto_box_SEALBYTES);
  crypto_box_seal(sealed.data(), reinterpret_cast<const uint8_t *>(plain.data()), plain.size(), xpk);
  EXPECT_FALSE(Run({"blacklist-import", "QVTR1." + Base64Encode(sealed)}).ok);
}

TEST_F(Admin, ListingsAndUnknownCommands) {
  EXPECT_EQ(Run({"outbox"}).output, "outbox is empty");
  EXPECT_EQ(Run({"tasks"}).output, "no tasks");
  EXPECT_EQ(Run({"accounts"}).output, "no accounts");
  EXPECT_EQ(Run({"public-key"}).output, key_.PublicKeyBase64());
  {
    std::lock_guard<std::mutex> lock(db_->Mutex());
    AddOutboxMail(*db_, OutboxMail{0, "m@x.cn", "register", "主题", "正文", "123456", 1});
  }
  EXPECT_NE(Run({"outbox", "M@X.CN"}).output.find("m@x.cn\tregister\t123456"), std::string::npos);
  EXPECT_EQ(Run({"outbox", "other@x.cn"}).output, "outbox is empty");
  AdminResult unknown = Run({"make-coffee"});
  EXPECT_FALSE(unknown.ok);
  EXPECT_NE(unknown.output.find("unknown admin command"), std::string::npos);
  EXPECT_FALSE(Run({}).ok);
  EXPECT_FALSE(Run({"tasks", "--room"}).ok);
  EXPECT_FALSE(Run({"tasks", "--room", "a b"}).ok);
  EXPECT_FALSE(Run({"account-create", "only-one-arg@x.cn"}).ok);
  EXPECT_FALSE(Run({"developer-unbind", "nobody"}).ok);
}

}  // namespace
}  // namespace orvane
