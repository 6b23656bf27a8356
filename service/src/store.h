// Database operations shared by the actions and the admin commands.
// Every function expects the caller to hold Db::Mutex(); write groups run in a Transaction.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "crypto.h"
#include "db.h"

namespace orvane {

struct Account {
  int64_t id = 0;
  std::string email;     // empty for developer accounts
  std::string username;  // empty for e-mail accounts
  std::string password_hash;
  bool developer = false;
  std::string device_id;
  int64_t credits = 0;
  int64_t failed_logins = 0;
  int64_t locked_until_ms = 0;
  std::optional<int64_t> deletion_requested_ms;
  int64_t created_ms = 0;
  // What login answers show as "email": the address, or the user name of a developer account.
  std::string DisplayName() const { return developer && email.empty() ? username : email; }
};

std::optional<Account> LoadAccount(Db &db, int64_t id);
std::optional<Account> FindAccountByEmail(Db &db, const std::string &email);
std::optional<Account> FindAccountByUsername(Db &db, const std::string &username);
// "#12", an e-mail address or a user name.
std::optional<Account> FindAccountByReference(Db &db, const std::string &ref);
std::vector<Account> ListAccounts(Db &db);

int64_t InsertAccount(Db &db, const std::string &email, const std::string &username,
                      const std::string &password_hash, bool developer, int64_t now_ms,
                      std::optional<int64_t> privacy_accepted_ms);

// Changes the balance and writes the ledger line. Returns the new balance.
// With `allow_negative` false a balance that would drop below zero is refused (returns nothing).
std::optional<int64_t> ChangeCredits(Db &db, int64_t account_id, int64_t delta, const std::string &reason,
                                     const std::string &reference, int64_t now_ms, bool allow_negative);

// Sessions keep only the SHA-256 of the bearer token.
std::string CreateSession(Db &db, int64_t account_id, const std::string &device_name,
                          const std::string &platform, int64_t now_ms);
enum class SessionState { kValid, kUnknown, kRevoked };
// A session unused for longer than `idle_ms` is ended here (reason "idle") and counts as revoked.
// The last use is written at most once a minute.
constexpr int64_t kSessionTouchMs = 60000;
SessionState LookupSession(Db &db, const std::string &token, int64_t now_ms, int64_t idle_ms, int64_t &account_id);
void RevokeSession(Db &db, const std::string &token, const std::string &reason, int64_t now_ms);
void RevokeAllSessions(Db &db, int64_t account_id, const std::string &reason, int64_t now_ms);

struct BlacklistEntry {
  std::string sha256;
  std::string reason;
  std::string display_name;
  std::string executable_name;
  std::string source;
  std::optional<int64_t> submitted_by;
  int64_t created_ms = 0;
  int64_t updated_ms = 0;
};
std::optional<BlacklistEntry> FindBlacklistEntry(Db &db, const std::string &sha256);
// Returns true when a new entry was made, false when an existing one was updated.
bool UpsertBlacklistEntry(Db &db, const BlacklistEntry &e, int64_t now_ms);
bool RemoveBlacklistEntry(Db &db, const std::string &sha256);
std::vector<BlacklistEntry> ListBlacklist(Db &db);

struct OutboxMail {
  int64_t id = 0;
  std::string email, purpose, subject, body, code;
  int64_t created_ms = 0;
};
void AddOutboxMail(Db &db, const OutboxMail &m);
std::vector<OutboxMail> ListOutbox(Db &db, const std::string &email, int limit);

struct Task {
  int64_t id = 0;
  std::string kind;  // "room" or "test"
  std::optional<int64_t> room_id;
  std::string room_code;
  int64_t account_id = 0;
  int64_t execute_at_ms = 0;
  int64_t target_x = 0, target_y = 0;
  std::string executable_name, executable_sha256, purpose, client_platform;
  bool confirmed = false;
  int64_t created_ms = 0;
  std::string nonce, payload, signature;
  std::optional<int64_t> released_ms, expires_at_ms, consumed_ms, client_error_ms;
  std::string result, result_detail, report_platform;
  std::optional<int64_t> shown_uncertainty_ms;  // the alignment uncertainty the machine showed its person
  std::optional<bool> missed_instant;           // reported as not clicked because it would have been late
};
std::optional<Task> LoadTask(Db &db, int64_t id);

struct Room {
  int64_t id = 0;
  std::string code;
  int64_t execute_at_ms = 0;
  int64_t capacity = 0;
  std::string result_token;  // empty until the room's result is first asked for
};
std::optional<Room> LoadRoom(Db &db, int64_t id);
// Codes recur once a room's instant has passed: the room of that code with the latest instant.
std::optional<Room> FindLatestRoom(Db &db, const std::string &code);
std::optional<Room> FindRoomByResultToken(Db &db, const std::string &token);
// The token of the room's result page, made on first use; two instances making one at once agree
// on the one stored first. Caller is outside a Transaction.
std::string EnsureRoomResultToken(Db &db, int64_t room_id);
// The room's tasks in the order their machines joined.
std::vector<Task> ListRoomTasks(Db &db, int64_t room_id);

// The signing key kept in a shared database, so that every instance signs with the same key. The
// first instance stores the key of its key file (or a fresh one); later ones take what is stored.
SigningKey LoadOrCreateSharedSigningKey(Db &db, const std::string &key_file);
std::vector<Task> ListTasks(Db &db, const std::string &room_code);

}  // namespace orvane
