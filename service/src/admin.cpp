#include "admin.h"

#include <sstream>

#include "blacklist_code.h"
#include "log.h"
#include "room_result.h"
#include "store.h"
#include "validate.h"

namespace orvane {
namespace {

struct Failure {
  std::string text;
};

bool ParseInt(const std::string &s, int64_t &out) {
  if (s.empty() || s.size() > 18) return false;
  size_t i = s[0] == '-' ? 1 : 0;
  if (i == s.size()) return false;
  int64_t v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  out = s[0] == '-' ? -v : v;
  return true;
}

std::string ReadPassword(AdminEnv &env, const std::string &arg) {
  if (arg != "-") return arg;
  if (!env.password_input) throw Failure{"no standard input to read the password from"};
  std::string line;
  std::getline(*env.password_input, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

void NeedArgs(const std::vector<std::string> &a, size_t min, size_t max, const std::string &usage) {
  if (a.size() < min + 1 || a.size() > max + 1) throw Failure{"usage: " + usage};
}

Account NeedAccount(Db &db, const std::string &ref) {
  auto acc = FindAccountByReference(db, ref);
  if (!acc) throw Failure{"no account matches '" + ref + "'"};
  return *acc;
}

std::string Describe(const Account &a) {
  std::ostringstream o;
  o << "#" << a.id << "\t" << (a.developer ? "developer" : "email") << "\t"
    << (a.developer ? a.username : a.email) << "\tcredits=" << a.credits;
  if (a.developer) o << "\tdevice=" << (a.device_id.empty() ? "(unbound)" : a.device_id);
  if (a.deletion_requested_ms) o << "\tdeletion-requested";
  return o.str();
}

std::string CreateAccount(AdminEnv &env, const std::vector<std::string> &a, bool developer) {
  const std::string usage = developer ? "developer-create USERNAME PASSWORD [CREDITS]"
                                      : "account-create EMAIL PASSWORD [CREDITS]";
  NeedArgs(a, 2, 3, usage);
  std::string name = a[1];
  if (developer) {
    if (!IsValidUsername(name)) throw Failure{"user names have 4..32 characters of A-Z a-z 0-9 . _ -"};
  } else {
    auto email = NormaliseEmail(name);
    if (!email) throw Failure{"not a usable e-mail address: " + name};
    name = *email;
  }
  std::string password = ReadPassword(env, a[2]);
  if (developer ? !PasswordLengthOk(password, 12, 128) : !PasswordLengthOk(password, 8, 200))
    throw Failure{developer ? "developer passwords have 12..128 characters"
                            : "passwords have 8..200 characters"};
  int64_t credits = env.config.starting_credits;
  if (a.size() == 4 && (!ParseInt(a[3], credits) || credits < 0)) throw Failure{"CREDITS must be a whole number >= 0"};
  std::string hash = HashPassword(password);
  int64_t now = env.clock.NowMs();
  std::lock_guard<std::mutex> lock(env.db.Mutex());
  Transaction tx(env.db);
  if (developer ? FindAccountByUsername(env.db, name).has_value() : FindAccountByEmail(env.db, name).has_value())
    throw Failure{"an account named " + name + " already exists"};
  int64_t id = InsertAccount(env.db, developer ? "" : name, developer ? name : "", hash, developer, now, std::nullopt);
  if (credits) ChangeCredits(env.db, id, credits, "starting_credits", "admin", now, false);
  tx.Commit();
  return "created " + Describe(*LoadAccount(env.db, id));
}

std::string TaskLine(const Task &t, const AdminEnv &env) {
  std::ostringstream o;
  int64_t now = env.clock.NowMs();
  o << t.id << "\t" << t.kind << "\t" << (t.room_code.empty() ? "-" : t.room_code) << "\t#" << t.account_id
    << "\t" << t.execute_at_ms << "\t"
    << TaskStateName(t.confirmed, !t.nonce.empty(), t.consumed_ms.has_value(), t.execute_at_ms,
                     env.config.claim_expiry_ms, now, t.expires_at_ms)
    << "\t" << (t.result.empty() ? "-" : t.result) << "\t"
    << (t.client_error_ms ? std::to_string(*t.client_error_ms) : std::string("-"));
  return o.str();
}

// The room's result as its participants see it, one machine a line.
std::string RoomTable(const RoomResult &r) {
  auto ms = [](const std::optional<int64_t> &v) { return v ? std::to_string(*v) : std::string("-"); };
  // A client's text on one line, whatever it holds.
  auto one_line = [](std::string text) {
    for (char &ch : text)
      if (static_cast<unsigned char>(ch) < 0x20) ch = ' ';
    return text.empty() ? std::string("-") : text;
  };
  std::ostringstream o;
  o << "room " << r.room.code << "\tinstant " << UtcTimeText(r.room.execute_at_ms) << " UTC (" << r.room.execute_at_ms
    << " ms)\tcapacity " << r.room.capacity << "\tjoined " << r.joined << "\tconfirmed " << r.confirmed << "\tclaimed "
    << r.claimed << "\treported " << r.reported << "\tclicked " << r.clicked << "\n";
  o << "machine\tstate\terror_ms\tshown_uncertainty_ms\tdetail\n";
  for (const auto &m : r.machines)
    o << m.number << "\t" << MachineStateName(m.state) << "\t" << ms(m.error_ms) << "\t" << ms(m.shown_uncertainty_ms)
      << "\t" << one_line(m.detail) << "\n";
  if (!r.spread_ms) {
    o << "spread -: fewer than two machines clicked";
  } else {
    o << "spread " << *r.spread_ms << " ms (each machine measured against its own alignment); ";
    if (r.spread_bound_ms) o << "at most " << *r.spread_bound_ms << " ms counting the uncertainty each showed";
    else o << "no bound: a machine that clicked did not report the uncertainty it showed";
  }
  if (!r.complete) o << "\n" << r.waiting << " machine(s) may still report";
  return o.str();
}

std::string Dispatch(AdminEnv &env, const std::vector<std::string> &a) {
  const std::string &cmd = a[0];
  Db &db = env.db;
  if (cmd == "account-create") return CreateAccount(env, a, false);
  if (cmd == "developer-create") return CreateAccount(env, a, true);
  if (cmd == "developer-unbind") {
    NeedArgs(a, 1, 1, "developer-unbind USERNAME");
    std::lock_guard<std::mutex> lock(db.Mutex());
    auto acc = FindAccountByUsername(db, a[1]);
    if (!acc || !acc->developer) throw Failure{"no developer account named " + a[1]};
    db.Prepare("UPDATE accounts SET device_id = NULL WHERE id = ?1").Bind(1, acc->id).Run();
    return "developer account " + acc->username + " is no longer bound to a device";
  }
  if (cmd == "accounts") {
    NeedArgs(a, 0, 0, "accounts");
    std::lock_guard<std::mutex> lock(db.Mutex());
    std::string out;
    for (const auto &acc : ListAccounts(db)) out += Describe(acc) + "\n";
    return out.empty() ? "no accounts" : out.substr(0, out.size() - 1);
  }
  if (cmd == "credits-set" || cmd == "credits-add") {
    NeedArgs(a, 2, 2, cmd + " ACCOUNT N");
    int64_t n = 0;
    if (!ParseInt(a[2], n) || n > 1000000000 || n < -1000000000) throw Failure{"N must be a whole number"};
    if (cmd == "credits-set" && n < 0) throw Failure{"a balance cannot be negative"};
    std::lock_guard<std::mutex> lock(db.Mutex());
    Transaction tx(db);
    Account acc = NeedAccount(db, a[1]);
    int64_t delta = cmd == "credits-set" ? n - acc.credits : n;
    auto balance = ChangeCredits(db, acc.id, delta, cmd == "credits-set" ? "admin_set" : "admin_add", "admin",
                                 env.clock.NowMs(), false);
    if (!balance) throw Failure{"the balance of #" + std::to_string(acc.id) + " would drop below zero"};
    tx.Commit();
    return std::string("#").append(std::to_string(acc.id)) + " credits=" + std::to_string(*balance);
  }
  if (cmd == "blacklist-add") {
    NeedArgs(a, 2, 3, "blacklist-add SHA256 REASON [NAME]");
    auto sha = NormaliseSha256(a[1]);
    if (!sha) throw Failure{"SHA256 must be 64 hexadecimal digits"};
    size_t reason_len = Utf8Length(a[2]);
    if (reason_len < 1 || reason_len > 255) throw Failure{"REASON needs 1..255 characters"};
    std::string name = a.size() == 4 ? a[3] : "";
    if (Utf8Length(name) > 100) throw Failure{"NAME has at most 100 characters"};
    BlacklistEntry e;
    e.sha256 = *sha;
    e.reason = a[2];
    e.display_name = name;
    e.source = "admin";
    std::lock_guard<std::mutex> lock(db.Mutex());
    bool created = UpsertBlacklistEntry(db, e, env.clock.NowMs());
    return (created ? "added " : "updated ") + *sha;
  }
  if (cmd == "blacklist-remove") {
    NeedArgs(a, 1, 1, "blacklist-remove SHA256");
    auto sha = NormaliseSha256(a[1]);
    if (!sha) throw Failure{"SHA256 must be 64 hexadecimal digits"};
    std::lock_guard<std::mutex> lock(db.Mutex());
    if (!RemoveBlacklistEntry(db, *sha)) throw Failure{"no blacklist entry for " + *sha};
    return "removed " + *sha;
  }
  if (cmd == "blacklist-list") {
    NeedArgs(a, 0, 0, "blacklist-list");
    std::lock_guard<std::mutex> lock(db.Mutex());
    std::string out;
    for (const auto &e : ListBlacklist(db)) {
      out += e.sha256 + "\t" + e.source + "\t" + (e.display_name.empty() ? "-" : e.display_name) + "\t" +
             (e.executable_name.empty() ? "-" : e.executable_name) + "\t" + e.reason;
      if (e.submitted_by) out += "\tby #" + std::to_string(*e.submitted_by);
      out += "\n";
    }
    return out.empty() ? "blacklist is empty" : out.substr(0, out.size() - 1);
  }
  if (cmd == "blacklist-import") {
    NeedArgs(a, 1, 1, "blacklist-import QVTR1.…");
    auto opened = OpenBlacklistCode(a[1], env.key, env.clock.NowMs());
    if (auto *err = std::get_if<std::string>(&opened)) throw Failure{*err};
    const BlacklistRecord &r = std::get<BlacklistRecord>(opened);
    std::lock_guard<std::mutex> lock(db.Mutex());
    auto issuer = LoadAccount(db, r.user_id);
    if (!issuer || !issuer->developer)
      throw Failure{"名单码的签发账号 #" + std::to_string(r.user_id) + " 不是开发者账号，未导入"};
    BlacklistEntry e;
    e.sha256 = r.executable_sha256;
    e.reason = r.block_reason;
    e.display_name = r.display_name;
    e.executable_name = r.executable_name;
    e.source = "code";
    e.submitted_by = r.user_id;
    bool created = UpsertBlacklistEntry(db, e, env.clock.NowMs());
    return std::string(created ? "imported " : "updated ") + r.executable_sha256 + "\t" + r.display_name + "\t" +
           r.executable_name + "\t" + r.block_reason + "\tby #" + std::to_string(r.user_id);
  }
  if (cmd == "outbox") {
    NeedArgs(a, 0, 1, "outbox [EMAIL]");
    std::string email;
    if (a.size() == 2) {
      auto e = NormaliseEmail(a[1]);
      if (!e) throw Failure{"not a usable e-mail address: " + a[1]};
      email = *e;
    }
    std::lock_guard<std::mutex> lock(db.Mutex());
    std::string out;
    for (const auto &m : ListOutbox(db, email, 50))
      out += std::to_string(m.created_ms) + "\t" + m.email + "\t" + m.purpose + "\t" + m.code + "\t" + m.subject + "\n";
    return out.empty() ? "outbox is empty" : out.substr(0, out.size() - 1);
  }
  if (cmd == "tasks") {
    std::string room;
    if (a.size() == 3 && a[1] == "--room") {
      auto code = NormaliseRoomCode(a[2]);
      if (!code) throw Failure{"not a room code: " + a[2]};
      room = *code;
    } else {
      NeedArgs(a, 0, 0, "tasks [--room CODE]");
    }
    std::lock_guard<std::mutex> lock(db.Mutex());
    std::string out = "id\tkind\troom\taccount\texecute_at_ms\tstate\tresult\tclient_error_ms\n";
    auto tasks = ListTasks(db, room);
    for (const auto &t : tasks) out += TaskLine(t, env) + "\n";
    if (tasks.empty()) return "no tasks";
    return out.substr(0, out.size() - 1);
  }
  if (cmd == "rooms") {
    if (a.size() != 3 || a[1] != "show") throw Failure{"usage: rooms show CODE"};
    auto code = NormaliseRoomCode(a[2]);
    if (!code) throw Failure{"not a room code: " + a[2]};
    std::lock_guard<std::mutex> lock(db.Mutex());
    auto room = FindLatestRoom(db, *code);
    if (!room) throw Failure{"no room has the code " + *code};
    return RoomTable(ReadRoomResult(*room, ListRoomTasks(db, room->id), env.clock.NowMs(), env.config.claim_expiry_ms));
  }
  if (cmd == "public-key") {
    NeedArgs(a, 0, 0, "public-key");
    return env.key.PublicKeyBase64();
  }
  throw Failure{"unknown admin command '" + cmd + "' (see orvane-service --help)"};
}

}  // namespace

std::string TaskStateName(bool confirmed, bool released, bool consumed, int64_t execute_at_ms,
                          int64_t expiry_ms, int64_t now_ms, std::optional<int64_t> expires_at_ms) {
  if (consumed) return "consumed";
  int64_t expires = expires_at_ms.value_or(execute_at_ms + expiry_ms);
  if (now_ms > expires) return "expired";
  if (released) return "released";
  return confirmed ? "confirmed" : "assigned";
}

AdminResult RunAdmin(AdminEnv &env, const std::vector<std::string> &args) {
  if (args.empty()) return {false, "missing admin command (see orvane-service --help)"};
  try {
    return {true, Dispatch(env, args)};
  } catch (const Failure &f) {
    return {false, f.text};
  } catch (const std::exception &e) {
    LogLine(std::string("admin command failed: ") + e.what());
    return {false, std::string("failed: ") + e.what()};
  }
}

}  // namespace orvane
