// Accounts: e-mail codes, registration, login, developer login with device binding, password
// reset, logout, deletion request, lockout after wrong passwords.
#include <gtest/gtest.h>

#include "crypto.h"
#include "test_support.h"

namespace orvane {
namespace {

using test::HttpResult;
using test::json;

class Accounts : public test::SharedServiceTest {
 protected:
  // Many tests here try wrong passwords from the same loopback address; the guard's own tests
  // (PasswordGuard) set its limits themselves.
  void SetUp() override { ts_->SetConfig({{"code_resend_ms", 0}, {"source_free_failures", 100000}}); }
  void TearDown() override {
    ts_->ClearFaults();
    ts_->Post("/__test/clock", R"({"service_offset_us":0})");
    ts_->SetConfig({{"code_resend_ms", 60000}, {"login_free_failures", 5}, {"code_max_attempts", 5}});
  }

  static HttpResult SendCode(const std::string &email, const std::string &purpose) {
    return ts_->Call("auth.send_code", json{{"email", email}, {"purpose", purpose}}.dump());
  }
  static std::string LatestCode(const std::string &email) {
    HttpResult r = ts_->Get("/__test/outbox?email=" + email);
    EXPECT_TRUE(r.ok()) << r.body;
    return r.j.value("code", std::string());
  }
  static HttpResult Register(const std::string &email, const std::string &password, const std::string &code,
                             bool privacy = true) {
    // Member order and spelling as the client writes them.
    std::string body = "{\"email\":\"" + email + "\",\"password\":\"" + password + "\",\"code\":\"" + code +
                       "\",\"device_name\":\"Windows\",\"client_platform\":\"windows\",\"privacy_notice_accepted\":" +
                       (privacy ? "true" : "false") + "}";
    return ts_->Call("auth.register", body);
  }
  static HttpResult Reset(const std::string &email, const std::string &password, const std::string &code) {
    return ts_->Call("auth.reset_password",
                     "{\"email\":\"" + email + "\",\"password\":\"" + password + "\",\"code\":\"" + code + "\"}");
  }
  static HttpResult LoginRaw(const std::string &email, const std::string &password) {
    return ts_->Call("auth.login", json{{"email", email}, {"password", password}, {"device_name", "Windows"},
                                        {"client_platform", "windows"}, {"privacy_notice_accepted", true}}
                                       .dump());
  }
  static HttpResult DevLogin(const std::string &user, const std::string &password, const std::string &device) {
    return ts_->Call("auth.developer_login", "{\"username\":\"" + user + "\",\"password\":\"" + password +
                                                 "\",\"device_id\":\"" + device +
                                                 "\",\"client_platform\":\"windows\",\"privacy_notice_accepted\":true}");
  }
};

TEST_F(Accounts, RegisterWithMailedCodeAnswersLikeALogin) {
  std::string email = test::UniqueEmail("reg");
  ASSERT_TRUE(SendCode(email, "register").ok());
  std::string code = LatestCode(email);
  ASSERT_EQ(code.size(), 6u);
  HttpResult r = Register(email, "password-123", code);
  ASSERT_TRUE(r.ok()) << r.body;
  // Members in the order the client's first-match reader expects, all at top level.
  std::vector<std::string> keys;
  for (auto it = r.j.begin(); it != r.j.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(r.body.rfind("{\"ok\":true,\"token\":", 0), 0u) << r.body;
  EXPECT_LT(r.body.find("\"token\""), r.body.find("\"id\""));
  auto pk = Base64Decode(r.j["sign_public_key"].get<std::string>());
  ASSERT_TRUE(pk);
  EXPECT_EQ(pk->size(), 32u);
  EXPECT_EQ(r.j["sign_public_key"], ts_->svc().Key().PublicKeyBase64());
  EXPECT_GT(r.j["id"].get<int64_t>(), 0);
  EXPECT_TRUE(r.j["id"].is_number_integer());
  EXPECT_EQ(r.j["email"], email);
  EXPECT_EQ(r.j["credits"], 20);
  EXPECT_EQ(r.j["developer_user"], false);
  std::string token = r.j["token"];
  EXPECT_TRUE(ts_->Call("me", "{}", token).ok());
  // The code was used up; the same address cannot register twice.
  HttpResult twice = Register(email, "password-123", code);
  EXPECT_EQ(twice.status, 400);
  EXPECT_NE(twice.message().find("验证码无效"), std::string::npos) << twice.body;
  // Logging in again gives a second, independent session.
  HttpResult again = LoginRaw(email, "password-123");
  ASSERT_TRUE(again.ok());
  EXPECT_NE(again.j["token"], token);
  std::string upper_first = email;
  upper_first[0] = static_cast<char>(upper_first[0] - 'a' + 'A');  // addresses compare case-insensitively
  EXPECT_EQ(LoginRaw(upper_first, "password-123").status, 200);
}

TEST_F(Accounts, RegistrationRefusals) {
  std::string email = test::UniqueEmail("refuse");
  ASSERT_TRUE(SendCode(email, "register").ok());
  std::string code = LatestCode(email);
  std::string wrong = code == "000000" ? "111111" : "000000";
  struct Case {
    std::string email, password, code;
    bool privacy;
    int status;
    const char *part;
  } cases[] = {
      {"bad-address", "password-123", code, true, 400, "邮箱"},
      {email, "short", code, true, 400, "8-200"},
      {email, "password-123", "12345", true, 400, "6 位数字"},
      {email, "password-123", code, false, 400, "协议"},
      {test::UniqueEmail("nocode"), "password-123", code, true, 400, "验证码无效"},
      {email, "password-123", wrong, true, 400, "验证码不正确"},
  };
  for (const auto &c : cases) {
    HttpResult r = Register(c.email, c.password, c.code, c.privacy);
    EXPECT_EQ(r.status, c.status) << c.email << " " << c.password << " " << c.code;
    EXPECT_NE(r.message().find(c.part), std::string::npos) << r.body;
  }
  // One wrong attempt so far: the right code still works.
  EXPECT_TRUE(Register(email, "password-123", code).ok());
}

TEST_F(Accounts, CodesBurnAfterTooManyWrongEntriesAndExpire) {
  std::string email = test::UniqueEmail("burn");
  ASSERT_TRUE(SendCode(email, "register").ok());
  std::string code = LatestCode(email);
  std::string wrong = code == "000000" ? "111111" : "000000";
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Register(email, "password-123", wrong).status, 400);
  EXPECT_EQ(Register(email, "password-123", wrong).status, 429);  // fifth wrong entry burns it
  HttpResult burnt = Register(email, "password-123", code);
  EXPECT_EQ(burnt.status, 429) << burnt.body;

  ASSERT_TRUE(SendCode(email, "register").ok());  // a new code replaces the old one
  std::string fresh = LatestCode(email);
  ASSERT_TRUE(ts_->Post("/__test/clock", R"({"service_offset_us":600001000})").ok());  // 10 min later
  HttpResult late = Register(email, "password-123", fresh);
  EXPECT_EQ(late.status, 400);
  EXPECT_NE(late.message().find("过期"), std::string::npos);
}

TEST_F(Accounts, NewCodeSupersedesOldAndResendIsThrottled) {
  std::string email = test::UniqueEmail("resend");
  ASSERT_TRUE(SendCode(email, "register").ok());
  std::string first = LatestCode(email);
  ASSERT_TRUE(SendCode(email, "register").ok());
  std::string second = LatestCode(email);
  if (first != second) {
    EXPECT_EQ(Register(email, "password-123", first).status, 400);
  }
  ts_->SetConfig({{"code_resend_ms", 60000}});
  HttpResult throttled = SendCode(email, "register");
  EXPECT_EQ(throttled.status, 429);
  EXPECT_NE(throttled.message().find("秒后再试"), std::string::npos);
  EXPECT_EQ(SendCode(email, "signup").status, 400);
  EXPECT_EQ(SendCode("not-an-address", "register").status, 400);
  EXPECT_TRUE(Register(email, "password-123", second).ok());
}

TEST_F(Accounts, RegistrationCodeForATakenAddressRevealsNothing) {
  test::LoginInfo taken = ts_->NewAccount();
  std::string free_address = test::UniqueEmail("free");
  HttpResult for_taken = SendCode(taken.email, "register");
  HttpResult for_free = SendCode(free_address, "register");
  EXPECT_EQ(for_taken.status, 200);
  EXPECT_EQ(for_taken.body, for_free.body);  // the same answer either way
  // Only the owner of the mailbox learns that the address is taken, and gets no usable code.
  HttpResult mail = ts_->Get("/__test/outbox?email=" + taken.email);
  ASSERT_TRUE(mail.ok()) << mail.body;
  EXPECT_EQ(mail.j["code"], "");
  EXPECT_NE(mail.j["body"].get<std::string>().find("已注册"), std::string::npos) << mail.body;
  EXPECT_EQ(LatestCode(free_address).size(), 6u);
  // Guessing a code for the taken address answers like any wrong code.
  HttpResult guess = Register(taken.email, "password-123", "123456");
  EXPECT_EQ(guess.status, 400);
  EXPECT_NE(guess.message().find("验证码"), std::string::npos) << guess.body;
  // Throttled alike.
  ts_->SetConfig({{"code_resend_ms", 60000}});
  EXPECT_EQ(SendCode(taken.email, "register").status, 429);
  EXPECT_EQ(SendCode(free_address, "register").status, 429);
}

TEST_F(Accounts, ResetPasswordForgetsEarlierWrongPasswords) {
  test::LoginInfo acc = ts_->NewAccount("old-password-1");
  ts_->SetConfig({{"login_free_failures", 2}, {"login_first_delay_ms", 600000}, {"login_delay_cap_ms", 600000}});
  EXPECT_EQ(LoginRaw(acc.email, "wrong-1").status, 401);
  EXPECT_EQ(LoginRaw(acc.email, "wrong-2").status, 401);
  EXPECT_EQ(LoginRaw(acc.email, "old-password-1").status, 401);  // must wait now
  ASSERT_TRUE(SendCode(acc.email, "reset").ok());
  ASSERT_TRUE(Reset(acc.email, "new-password-2", LatestCode(acc.email)).ok());
  EXPECT_TRUE(LoginRaw(acc.email, "new-password-2").ok());  // the mailbox owner is let in at once
}

TEST_F(Accounts, ResetPasswordRevokesSessionsAndOldPassword) {
  test::LoginInfo acc = ts_->NewAccount("old-password-1");
  ASSERT_TRUE(SendCode(acc.email, "reset").ok());
  std::string code = LatestCode(acc.email);
  EXPECT_EQ(Reset(acc.email, "new-password-2", code == "999999" ? "000000" : "999999").status, 400);
  ASSERT_TRUE(Reset(acc.email, "new-password-2", code).ok());
  EXPECT_EQ(ts_->Call("me", "{}", acc.token).status, 401);
  EXPECT_EQ(LoginRaw(acc.email, "old-password-1").status, 401);
  EXPECT_TRUE(LoginRaw(acc.email, "new-password-2").ok());
  EXPECT_EQ(Reset(acc.email, "newer-password-3", code).status, 400);  // code used once
}

TEST_F(Accounts, ResetForUnknownAddressRevealsNothing) {
  std::string ghost = test::UniqueEmail("nobody");
  EXPECT_TRUE(SendCode(ghost, "reset").ok());
  EXPECT_EQ(ts_->Get("/__test/outbox?email=" + ghost).status, 404);  // nothing was mailed
  EXPECT_EQ(Reset(ghost, "new-password-2", "123456").status, 400);
}

TEST_F(Accounts, LogoutRevokesOnlyThatSession) {
  test::LoginInfo acc = ts_->NewAccount();
  test::LoginInfo second = ts_->Login(acc.email, acc.password);
  EXPECT_TRUE(ts_->Call("auth.logout", "{}", acc.token).ok());
  EXPECT_EQ(ts_->Call("me", "{}", acc.token).status, 401);
  EXPECT_TRUE(ts_->Call("me", "{}", second.token).ok());
  EXPECT_TRUE(ts_->Call("auth.logout", "{}", acc.token).ok());  // already ended: still fine
  EXPECT_EQ(ts_->Call("auth.logout", "{}").status, 401);
}

TEST_F(Accounts, DeletionRequestNeedsThePasswordAndEndsEverything) {
  test::LoginInfo acc = ts_->NewAccount("delete-me-please");
  test::LoginInfo second = ts_->Login(acc.email, acc.password);
  HttpResult wrong = ts_->Call("account.delete.request", R"({"password":"not-it"})", acc.token);
  EXPECT_EQ(wrong.status, 403);
  EXPECT_TRUE(ts_->Call("me", "{}", acc.token).ok());  // still signed in
  EXPECT_EQ(ts_->Call("account.delete.request", R"({})", acc.token).status, 400);
  ASSERT_TRUE(ts_->Call("account.delete.request", R"({"password":"delete-me-please"})", acc.token).ok());
  EXPECT_EQ(ts_->Call("me", "{}", acc.token).status, 401);
  EXPECT_EQ(ts_->Call("me", "{}", second.token).status, 401);
  HttpResult login = LoginRaw(acc.email, "delete-me-please");
  EXPECT_EQ(login.status, 403);
  EXPECT_NE(login.message().find("注销"), std::string::npos);
}

TEST_F(Accounts, DeveloperAccountsBindToTheirFirstDevice) {
  const std::string user = "dev" + std::to_string(getpid() % 100000);
  ts_->Admin({"developer-create", user, "a-long-password"});
  const std::string device_a(32, 'a'), device_b(32, 'b');
  HttpResult first = DevLogin(user, "a-long-password", device_a);
  ASSERT_TRUE(first.ok()) << first.body;
  EXPECT_EQ(first.j["developer_user"], true);
  EXPECT_EQ(first.j["email"], user);
  EXPECT_GT(first.j["id"].get<int64_t>(), 0);
  EXPECT_EQ(first.j["sign_public_key"], ts_->svc().Key().PublicKeyBase64());
  EXPECT_TRUE(DevLogin(user, "a-long-password", device_a).ok());
  HttpResult other = DevLogin(user, "a-long-password", device_b);
  EXPECT_EQ(other.status, 403);
  EXPECT_NE(other.message().find("绑定"), std::string::npos);
  EXPECT_EQ(DevLogin(user, "wrong-password!", device_a).status, 401);
  EXPECT_EQ(DevLogin(user, "a-long-password", "short").status, 400);
  ts_->Admin({"developer-unbind", user});
  EXPECT_TRUE(DevLogin(user, "a-long-password", device_b).ok());
  // Each kind of account signs in only through its own action.
  EXPECT_EQ(LoginRaw(user + "@example.cn", "a-long-password").status, 401);
  test::LoginInfo plain = ts_->NewAccount("password-for-mail");
  EXPECT_EQ(DevLogin(plain.email, "password-for-mail", device_a).status, 401);
  EXPECT_TRUE(ts_->Call("me", "{}", first.j["token"].get<std::string>()).j["developer_user"].get<bool>());
}

}  // namespace
}  // namespace orvane
