// Login, developer login, e-mail codes, registration, password reset, logout, deletion request.
#include <algorithm>
#include <functional>

#include "crypto.h"
#include "handlers.h"
#include "log.h"
#include "login_guard.h"
#include "password_pool.h"
#include "store.h"
#include "validate.h"

namespace orvane {
namespace {

constexpr size_t kMaxPasswordBytes = 1024;

Reply LoginAnswer(ActionContext &c, const Account &a, const std::string &token) {
  OJson j = OkBody();
  j["token"] = token;
  j["sign_public_key"] = c.svc.Key().PublicKeyBase64();
  j["id"] = a.id;
  j["email"] = a.DisplayName();
  j["credits"] = a.credits;
  j["developer_user"] = a.developer;
  return {200, j};
}

[[noreturn]] void ThrowBusy() { throw ApiError(503, "服务繁忙，请稍后重试"); }

GuardLimits AddressLimits(const RuntimeConfig &cfg) {
  return {cfg.login_free_failures, cfg.login_delay_cap_ms, cfg.login_failure_window_ms, cfg.login_first_delay_ms};
}
GuardLimits SourceLimits(const RuntimeConfig &cfg) {
  return {cfg.source_free_failures, cfg.source_delay_cap_ms, cfg.login_failure_window_ms, cfg.login_first_delay_ms};
}

std::string Lower(std::string s) {
  for (char &ch : s)
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  return s;
}

// The address a password is tried against, whether or not an account has it.
std::string MailKey(const std::string &email) { return "addr:mail:" + Lower(email); }
std::string DeveloperKey(const std::string &username) { return "addr:dev:" + Lower(username); }
std::string AccountKey(const Account &a) { return a.email.empty() ? DeveloperKey(a.username) : MailKey(a.email); }

// One password check allowed by the guard: counted against the address and the source.
struct PasswordCheck {
  std::string address_key, source_key;
  GuardTicket address, source;
};

// Nothing when the address or the source must wait; the caller answers as for a wrong password.
// Throws "busy" when only checks still running hold them back.
std::optional<PasswordCheck> BeginPasswordCheck(ActionContext &c, const std::string &address_key) {
  PasswordCheck check{address_key, "src:" + c.client_addr, {}, {}};
  int64_t now = c.NowMs();
  std::lock_guard<std::mutex> lock(c.db().Mutex());
  Transaction tx(c.db());
  GuardDecision d = BeginGuardedAttempt(c.db(), check.address_key, AddressLimits(c.cfg), now, check.address);
  if (d == GuardDecision::kAllowed)
    d = BeginGuardedAttempt(c.db(), check.source_key, SourceLimits(c.cfg), now, check.source);
  if (d == GuardDecision::kWait) return std::nullopt;  // rolls the address attempt back as well
  if (d == GuardDecision::kBusy) ThrowBusy();
  tx.Commit();
  return check;
}

// Caller holds the lock and a transaction, and commits it on every path.
void FinishPasswordCheck(ActionContext &c, const PasswordCheck &check, bool right) {
  int64_t now = c.NowMs();
  FinishGuardedAttempt(c.db(), check.address_key, check.address, !right, right, now);
  FinishGuardedAttempt(c.db(), check.source_key, check.source, !right, false, now);
}

// A place on the hashing pool, taken before the guard: a check the pool cannot take now is answered
// "busy" before the guard writes anything (a flood of logins otherwise cost two commits each).
PasswordPool::Slot ReserveCheck(ActionContext &c) {
  std::optional<PasswordPool::Slot> slot = c.svc.Passwords().Reserve();
  if (!slot) ThrowBusy();
  return std::move(*slot);
}

// Runs the Argon2id check on the hashing pool in the place reserved for it (or the same effort when
// there is no account).
bool CheckPassword(ActionContext &c, PasswordPool::Slot slot, const PasswordCheck &check,
                   const std::optional<Account> &acc, const std::string &password) {
  std::optional<bool> right = acc ? c.svc.Passwords().Verify(std::move(slot), acc->password_hash, password)
                                  : c.svc.Passwords().SpendEffort(std::move(slot), password);
  if (!right) {  // the service is stopping
    std::lock_guard<std::mutex> lock(c.db().Mutex());
    Transaction tx(c.db());
    CancelGuardedAttempt(c.db(), check.address, c.NowMs());
    CancelGuardedAttempt(c.db(), check.source, c.NowMs());
    tx.Commit();
    ThrowBusy();
  }
  return *right && acc.has_value();
}

std::string OptionalText(const Json &body, const char *key, size_t max) {
  return OptionalString(body, key, max).value_or("");
}

// Shared tail of both logins. A locked, an unknown and a wrong login get the same answer.
Reply FinishLogin(ActionContext &c, const std::string &address_key,
                  const std::function<std::optional<Account>()> &find, const std::string &password,
                  const std::string &device_id, const char *wrong_text) {
  PasswordPool::Slot slot = ReserveCheck(c);
  auto check = BeginPasswordCheck(c, address_key);
  if (!check) throw ApiError(401, wrong_text);
  std::optional<Account> acc;
  {
    std::lock_guard<std::mutex> lock(c.db().Mutex());
    acc = find();
  }
  bool right = CheckPassword(c, std::move(slot), *check, acc, password);
  std::string device_name = OptionalText(c.body, "device_name", 100);
  std::string platform = OptionalText(c.body, "client_platform", 32);
  int64_t now = c.NowMs();
  std::lock_guard<std::mutex> lock(c.db().Mutex());
  Transaction tx(c.db());
  FinishPasswordCheck(c, *check, right);
  auto fresh = right ? LoadAccount(c.db(), acc->id) : std::nullopt;
  if (!fresh) {
    tx.Commit();
    throw ApiError(401, wrong_text);
  }
  if (fresh->deletion_requested_ms) {
    tx.Commit();
    throw ApiError(403, "该账号已申请注销，无法登录");
  }
  if (fresh->developer) {
    if (fresh->device_id.empty()) {
      c.db().Prepare("UPDATE accounts SET device_id = ?2 WHERE id = ?1 AND device_id IS NULL")
          .Bind(1, fresh->id)
          .Bind(2, device_id)
          .Run();
      if (c.db().Changes() == 1) LogLine("developer account " + fresh->username + " bound to its first device");
      else fresh = LoadAccount(c.db(), fresh->id);  // another instance bound it just now
    }
    if (!fresh->device_id.empty() && !ConstantTimeEquals(fresh->device_id, device_id)) {
      tx.Commit();
      throw ApiError(403, "该开发者账号已绑定其他设备，请联系管理员解除绑定");
    }
  }
  std::string token = CreateSession(c.db(), fresh->id, device_name, platform, now);
  tx.Commit();
  return LoginAnswer(c, *fresh, token);
}

enum class CodeCheck { kOk, kWrong, kMissing, kExpired, kExhausted };

// Looks at the newest live code for this address and purpose. A wrong entry is counted at once
// (its own small write), so the attempt limit holds even though the request then fails.
CodeCheck CheckCode(ActionContext &c, const std::string &email, const std::string &purpose,
                    const std::string &code, int64_t &code_id) {
  Stmt s = c.db().Prepare(
      "SELECT id, code_hash, expires_ms, attempts FROM email_codes "
      "WHERE email = ?1 AND purpose = ?2 AND used_ms IS NULL AND superseded = 0 ORDER BY id DESC LIMIT 1");
  s.Bind(1, email).Bind(2, purpose);
  if (!s.Step()) return CodeCheck::kMissing;
  code_id = s.Int(0);
  std::string hash = s.Text(1);
  int64_t expires = s.Int(2);
  int64_t attempts = s.Int(3);
  if (c.NowMs() > expires) return CodeCheck::kExpired;
  if (attempts >= c.cfg.code_max_attempts) return CodeCheck::kExhausted;
  if (!ConstantTimeEquals(hash, Sha256Hex(email + "|" + purpose + "|" + code))) {
    c.db().Prepare("UPDATE email_codes SET attempts = attempts + 1 WHERE id = ?1").Bind(1, code_id).Run();
    return attempts + 1 >= c.cfg.code_max_attempts ? CodeCheck::kExhausted : CodeCheck::kWrong;
  }
  return CodeCheck::kOk;
}

[[noreturn]] void ThrowCodeFailure(CodeCheck r) {
  switch (r) {
    case CodeCheck::kExpired: throw ApiError(400, "验证码已过期，请重新获取");
    case CodeCheck::kExhausted: throw ApiError(429, "验证码错误次数过多，请重新获取");
    case CodeCheck::kWrong: throw ApiError(400, "验证码不正确");
    default: throw ApiError(400, "验证码无效，请先获取验证码");
  }
}

std::string RequireEmail(const Json &body) {
  auto email = NormaliseEmail(RequireString(body, "email", 512));
  if (!email) throw ApiError(400, "邮箱地址格式不正确");
  return *email;
}

std::string RequireNewPassword(const Json &body) {
  std::string pw = RequireString(body, "password", kMaxPasswordBytes);
  if (!PasswordLengthOk(pw, 8, 200)) throw ApiError(400, "密码需要 8-200 位");
  return pw;
}

std::string RequireCode(const Json &body) {
  std::string code = RequireString(body, "code", 32);
  if (!IsSixDigitCode(code)) throw ApiError(400, "验证码应为 6 位数字");
  return code;
}

}  // namespace

Reply ActLogin(ActionContext &c) {
  std::string email_text = RequireString(c.body, "email", 512);
  std::string password = RequireString(c.body, "password", kMaxPasswordBytes);
  (void)OptionalBool(c.body, "privacy_notice_accepted");
  (void)OptionalText(c.body, "device_name", 100);
  (void)OptionalText(c.body, "client_platform", 32);
  if (password.empty()) throw ApiError(400, "请输入密码");
  auto email = NormaliseEmail(email_text);
  return FinishLogin(
      c, MailKey(email.value_or(email_text)),
      [&]() -> std::optional<Account> { return email ? FindAccountByEmail(c.db(), *email) : std::nullopt; },
      password, "", "邮箱或密码不正确");
}

Reply ActDeveloperLogin(ActionContext &c) {
  std::string username = RequireString(c.body, "username", 256);
  std::string password = RequireString(c.body, "password", kMaxPasswordBytes);
  std::string device_id = RequireString(c.body, "device_id", 1024);
  (void)OptionalBool(c.body, "privacy_notice_accepted");
  (void)OptionalText(c.body, "client_platform", 32);
  if (!IsValidDeviceId(device_id)) throw ApiError(400, "设备标识格式不正确");
  return FinishLogin(
      c, DeveloperKey(username),
      [&]() -> std::optional<Account> {
        if (!IsValidUsername(username)) return std::nullopt;
        auto acc = FindAccountByUsername(c.db(), username);
        if (acc && !acc->developer) acc.reset();
        return acc;
      },
      password, device_id, "开发者用户名或密码不正确");
}

Reply ActSendCode(ActionContext &c) {
  std::string email = RequireEmail(c.body);
  std::string purpose = RequireString(c.body, "purpose", 32);
  if (purpose != "register" && purpose != "reset") throw ApiError(400, "验证码用途不正确");
  int64_t now = c.NowMs();
  std::lock_guard<std::mutex> lock(c.db().Mutex());
  Transaction tx(c.db());
  LockKey(c.db(), "code:" + purpose + ":" + email, now);  // one code at a time per address, on every instance
  {
    Stmt last = c.db().Prepare("SELECT MAX(created_ms) FROM email_codes WHERE email = ?1 AND purpose = ?2");
    last.Bind(1, email).Bind(2, purpose);
    if (last.Step() && !last.IsNull(0) && now - last.Int(0) < c.cfg.code_resend_ms) {
      int64_t wait_s = (c.cfg.code_resend_ms - (now - last.Int(0)) + 999) / 1000;
      throw ApiError(429, "验证码发送过于频繁，请 " + std::to_string(wait_s) + " 秒后再试");
    }
  }
  auto acc = FindAccountByEmail(c.db(), email);
  // A code is made in every case, so that taken and free addresses are throttled alike; it is
  // mailed only where it can be used.
  std::string code = RandomSixDigits();
  c.db().Prepare("UPDATE email_codes SET superseded = 1 WHERE email = ?1 AND purpose = ?2 AND used_ms IS NULL")
      .Bind(1, email)
      .Bind(2, purpose)
      .Run();
  c.db().Prepare(
           "INSERT INTO email_codes(email, purpose, code_hash, created_ms, expires_ms) VALUES (?1, ?2, ?3, ?4, ?5)")
      .Bind(1, email)
      .Bind(2, purpose)
      .Bind(3, Sha256Hex(email + "|" + purpose + "|" + code))
      .Bind(4, now)
      .Bind(5, now + c.cfg.code_ttl_ms)
      .Run();
  if (purpose == "reset" && (!acc || acc->deletion_requested_ms)) {
    // Nobody to write to; answer as usual so the form does not reveal which addresses exist.
    tx.Commit();
    LogLine("[outbox] reset code requested for unknown address " + email + "; nothing sent");
    return {200, OkBody()};
  }
  OutboxMail m;
  m.email = email;
  m.purpose = purpose;
  m.created_ms = now;
  if (purpose == "register" && acc) {
    // The answer is the same as for a free address; only the owner of the mailbox learns that it
    // is taken.
    m.subject = "澄序注册提醒";
    m.body = "该邮箱已注册澄序账号，无需再次注册。如果忘记了密码，请在登录页选择“忘记密码”重新设置。如非本人操作，请忽略本邮件。";
  } else {
    m.code = code;
    m.subject = purpose == "register" ? "澄序注册验证码" : "澄序重置密码验证码";
    m.body = "您的验证码是 " + code + "，10 分钟内有效。如非本人操作，请忽略本邮件。";
  }
  AddOutboxMail(c.db(), m);
  tx.Commit();
  LogLine("[outbox] to=" + email + " purpose=" + purpose + (m.code.empty() ? " (already registered)" : " code=" + m.code));
  return {200, OkBody()};
}

// Marks a checked code as used; false when another request used it (or a newer code replaced it)
// meanwhile. Caller holds the lock and a transaction.
static bool UseCode(ActionContext &c, int64_t code_id, int64_t now) {
  c.db().Prepare("UPDATE email_codes SET used_ms = ?2 WHERE id = ?1 AND used_ms IS NULL AND superseded = 0")
      .Bind(1, code_id)
      .Bind(2, now)
      .Run();
  return c.db().Changes() == 1;
}

Reply ActRegister(ActionContext &c) {
  std::string email = RequireEmail(c.body);
  std::string password = RequireNewPassword(c.body);
  std::string code = RequireCode(c.body);
  if (OptionalBool(c.body, "privacy_notice_accepted") != true)
    throw ApiError(400, "请先同意用户使用协议与隐私说明");
  std::string device_name = OptionalText(c.body, "device_name", 100);
  std::string platform = OptionalText(c.body, "client_platform", 32);
  // The mailed code first: without it nobody gets as far as the costly hashing.
  int64_t code_id = 0;
  {
    std::lock_guard<std::mutex> lock(c.db().Mutex());
    Transaction tx(c.db());
    CodeCheck r = CheckCode(c, email, "register", code, code_id);
    tx.Commit();  // keeps a counted wrong attempt
    if (r != CodeCheck::kOk) ThrowCodeFailure(r);
  }
  auto hash = c.svc.Passwords().Hash(password);
  if (!hash) ThrowBusy();
  int64_t now = c.NowMs();
  std::lock_guard<std::mutex> lock(c.db().Mutex());
  Transaction tx(c.db());
  if (FindAccountByEmail(c.db(), email)) throw ApiError(409, "该邮箱已注册，请直接登录或找回密码");
  if (!UseCode(c, code_id, now)) ThrowCodeFailure(CodeCheck::kMissing);
  int64_t id = InsertAccount(c.db(), email, "", *hash, false, now, now);
  ChangeCredits(c.db(), id, c.cfg.starting_credits, "starting_credits", "", now, false);
  std::string token = CreateSession(c.db(), id, device_name, platform, now);
  tx.Commit();
  LogLine("account " + std::to_string(id) + " registered for " + email);
  return LoginAnswer(c, *LoadAccount(c.db(), id), token);
}

Reply ActResetPassword(ActionContext &c) {
  std::string email = RequireEmail(c.body);
  std::string password = RequireNewPassword(c.body);
  std::string code = RequireCode(c.body);
  int64_t code_id = 0;
  {
    std::lock_guard<std::mutex> lock(c.db().Mutex());
    Transaction tx(c.db());
    CodeCheck r = CheckCode(c, email, "reset", code, code_id);
    auto acc = FindAccountByEmail(c.db(), email);
    if (r == CodeCheck::kOk && (!acc || acc->deletion_requested_ms)) r = CodeCheck::kMissing;
    tx.Commit();
    if (r != CodeCheck::kOk) ThrowCodeFailure(r);
  }
  auto hash = c.svc.Passwords().Hash(password);
  if (!hash) ThrowBusy();
  int64_t now = c.NowMs();
  std::lock_guard<std::mutex> lock(c.db().Mutex());
  Transaction tx(c.db());
  auto acc = FindAccountByEmail(c.db(), email);
  if (!acc || acc->deletion_requested_ms || !UseCode(c, code_id, now)) ThrowCodeFailure(CodeCheck::kMissing);
  c.db().Prepare("UPDATE accounts SET password_hash = ?2 WHERE id = ?1").Bind(1, acc->id).Bind(2, *hash).Run();
  ForgetGuardedFailures(c.db(), MailKey(email));
  RevokeAllSessions(c.db(), acc->id, "password_reset", now);
  tx.Commit();
  LogLine("password of account " + std::to_string(acc->id) + " reset; its sessions revoked");
  return {200, OkBody()};
}

Reply ActLogout(ActionContext &c) {
  std::string token = BearerToken(c.req);
  if (token.empty()) throw ApiError(401, "请先登录");
  std::lock_guard<std::mutex> lock(c.db().Mutex());
  RevokeSession(c.db(), token, "logout", c.NowMs());
  return {200, OkBody()};
}

Reply ActDeleteRequest(ActionContext &c) {
  std::string password = RequireString(c.body, "password", kMaxPasswordBytes);
  std::optional<Account> acc;
  {
    std::lock_guard<std::mutex> lock(c.db().Mutex());
    acc = LoadAccount(c.db(), c.account_id);
  }
  if (!acc) throw ApiError(401, "登录已失效，请重新登录");
  const char *wrong_text = "密码不正确，注销申请未提交";
  if (password.empty()) throw ApiError(403, wrong_text);
  // The same guard as the logins: a stolen session does not become a way to guess the password.
  PasswordPool::Slot slot = ReserveCheck(c);
  auto check = BeginPasswordCheck(c, AccountKey(*acc));
  if (!check) throw ApiError(403, wrong_text);
  bool right = CheckPassword(c, std::move(slot), *check, acc, password);
  int64_t now = c.NowMs();
  std::lock_guard<std::mutex> lock(c.db().Mutex());
  Transaction tx(c.db());
  FinishPasswordCheck(c, *check, right);
  if (!right) {
    tx.Commit();
    throw ApiError(403, wrong_text);
  }
  c.db().Prepare("UPDATE accounts SET deletion_requested_ms = ?2 WHERE id = ?1 AND deletion_requested_ms IS NULL")
      .Bind(1, acc->id)
      .Bind(2, now)
      .Run();
  RevokeAllSessions(c.db(), acc->id, "deletion_requested", now);
  tx.Commit();
  LogLine("account " + std::to_string(acc->id) + " requested deletion; its sessions revoked");
  return {200, OkBody()};
}

}  // namespace orvane
