// Restarting the service on the same data directory loses nothing: accounts, sessions, credits,
// blacklist, tasks with their released instruction and the reported result, the signing key and
// the development CA.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "db.h"
#include "test_support.h"

namespace orvane {
namespace {

using test::HttpResult;
using test::json;

std::string ReadAll(const std::string &path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(Persistence, EverythingSurvivesARestart) {
  test::TempDir dir;
  const std::string data = dir.path() + "/data";
  std::string email, token, pk, ca_pem, payload, signature, nonce;
  int64_t id = 0, task = 0, consumed_task = 0;
  {
    test::TestService a({}, data);
    test::LoginInfo acc = a.NewAccount("persist-password");
    email = acc.email;
    token = acc.token;
    id = acc.id;
    pk = acc.sign_public_key;
    ca_pem = ReadAll(a.ca_file());
    a.Admin({"blacklist-add", std::string(64, '9'), "重启后仍在"});
    a.Admin({"credits-set", email, "40"});
    int64_t at = a.svc().Clock().NowMs() + 15000;
    HttpResult m = a.Call("match.create", "{\"execute_at_ms\":" + std::to_string(at) + "," + test::TaskFieldsJson() + "}",
                          token);
    ASSERT_TRUE(m.ok()) << m.body;
    task = m.j["task_id"];
    HttpResult c = a.Call("task.claim", "{\"task_id\":" + std::to_string(task) + "}", token);
    ASSERT_TRUE(c.j["ready"].get<bool>());
    payload = c.j["payload"];
    signature = c.j["signature"];
    nonce = json::parse(test::Base64DecodeText(payload))["nonce"];
    HttpResult m2 = a.Call("match.create", "{\"execute_at_ms\":" + std::to_string(at) + "," + test::TaskFieldsJson() + "}",
                           token);
    consumed_task = m2.j["task_id"];
    HttpResult c2 = a.Call("task.claim", "{\"task_id\":" + std::to_string(consumed_task) + "}", token);
    std::string nonce2 = json::parse(test::Base64DecodeText(c2.j["payload"]))["nonce"];
    ASSERT_TRUE(a.Call("task.consume", "{\"task_id\":" + std::to_string(consumed_task) + ",\"nonce\":\"" + nonce2 +
                                           "\",\"client_platform\":\"windows\",\"client_error_ms\":-7,"
                                           "\"result\":\"success\",\"result_detail\":\"本机已提交一次触发\"}",
                       token)
                    .ok());
  }
  test::TestService b({}, data);
  EXPECT_EQ(ReadAll(b.ca_file()), ca_pem);  // clients keep trusting the same CA
  HttpResult me = b.Call("me", "{}", token);  // the old session is still valid
  ASSERT_TRUE(me.ok()) << me.body;
  EXPECT_EQ(me.j["credits"], 38);
  EXPECT_EQ(me.j["id"], id);
  test::LoginInfo again = b.Login(email, "persist-password");
  EXPECT_EQ(again.id, id);
  EXPECT_EQ(again.sign_public_key, pk);  // same signing key
  EXPECT_NE(b.Admin({"blacklist-list"}).find("重启后仍在"), std::string::npos);
  HttpResult c = b.Call("task.claim", "{\"task_id\":" + std::to_string(task) + "}", token);
  ASSERT_TRUE(c.ok()) << c.body;
  EXPECT_EQ(c.j["payload"], payload);  // same instruction, same nonce
  EXPECT_EQ(c.j["signature"], signature);
  EXPECT_TRUE(test::VerifyWithKey(test::Base64DecodeText(payload), signature, again.sign_public_key));
  HttpResult done = b.Get("/__test/task?id=" + std::to_string(consumed_task));
  EXPECT_EQ(done.j["state"], "consumed");
  EXPECT_EQ(done.j["client_error_ms"], -7);
  EXPECT_EQ(b.Call("task.claim", "{\"task_id\":" + std::to_string(consumed_task) + "}", token).status, 409);
  EXPECT_TRUE(b.Call("task.consume", "{\"task_id\":" + std::to_string(task) + ",\"nonce\":\"" + nonce +
                                         "\",\"client_platform\":\"windows\",\"client_error_ms\":1,"
                                         "\"result\":\"success\",\"result_detail\":\"x\"}",
                     token)
                  .ok());
}

TEST(Persistence, AmountsKeptInTenthsBecomeFen) {
  // A data directory from before amounts were kept in fen: its orders keep their amounts.
  test::TempDir dir;
  const std::string data = dir.path() + "/data";
  std::string token, path;
  {
    test::TestService a({}, data);
    test::LoginInfo acc = a.NewAccount();
    token = acc.token;
    HttpResult order = a.Call("payment.create", R"({"amount":"10.5","type":"alipay"})", token);
    ASSERT_TRUE(order.ok()) << order.body;
    std::string url = order.j["pay_url"];
    path = url.substr(url.find("/pay/"));
  }
  {
    auto db = Db::Open(data + "/orvane.db");
    db->Exec("ALTER TABLE payments RENAME COLUMN amount_fen TO amount_tenths; "
             "UPDATE payments SET amount_tenths = amount_tenths / 10; "
             "UPDATE meta SET value = '2' WHERE key = 'schema_version'");
  }
  test::TestService b({}, data);
  HttpResult page = b.Get(path);
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("已支付 10.5 元"), std::string::npos) << page.body;
  HttpResult next = b.Call("payment.create", R"({"amount":"123e-2","type":"alipay"})", token);
  ASSERT_TRUE(next.ok()) << next.body;
  EXPECT_EQ(next.j["amount_yuan"], "1.23");
  auto db = Db::Open(data + "/orvane.db");
  Stmt version = db->Prepare("SELECT value FROM meta WHERE key = 'schema_version'");
  ASSERT_TRUE(version.Step());
  EXPECT_EQ(version.Text(0), std::to_string(KnownSchemaVersion()));
}

// Many requests write at once and their commits are grouped; each answer goes out only once its
// write is committed, so another connection to the file (as after a crash) finds every task that
// was answered, and every charge.
TEST(Persistence, GroupedWritesAreCommittedBeforeTheyAreAnswered) {
  test::TestService a;
  std::vector<test::LoginInfo> accounts;
  for (int i = 0; i < 8; ++i) accounts.push_back(a.NewAccount());
  auto other = Db::Open(a.data_dir() + "/orvane.db");
  std::mutex mutex;
  std::vector<int64_t> answered;
  std::atomic<int> missing{0}, failed{0};
  std::vector<std::thread> writers;
  for (size_t i = 0; i < accounts.size(); ++i)
    writers.emplace_back([&, i] {
      for (int k = 0; k < 12; ++k) {
        HttpResult r = a.Call("match.create",
                              "{\"execute_at_ms\":" + std::to_string(test::NowMs() + 60000) + "," + test::TaskFieldsJson() + "}",
                              accounts[i].token);
        if (!r.ok()) {
          ++failed;
          continue;
        }
        int64_t id = r.j["task_id"];
        // Read at once on a connection of its own: only committed rows are visible there.
        std::lock_guard<std::mutex> lock(mutex);
        Stmt s = other->Prepare("SELECT COUNT(*) FROM tasks WHERE id = ?1");
        s.Bind(1, id);
        if (!s.Step() || s.Int(0) != 1) ++missing;
        answered.push_back(id);
      }
    });
  for (auto &t : writers) t.join();
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(missing.load(), 0) << "answered before their commit";
  EXPECT_EQ(answered.size(), 96u);
  std::lock_guard<std::mutex> lock(mutex);
  Stmt credits = other->Prepare("SELECT SUM(credits) FROM accounts WHERE email LIKE '%@%'");
  ASSERT_TRUE(credits.Step());
  EXPECT_EQ(credits.Int(0), 8 * (20 - 12));
}

// Two ways the disk fills under the service, each real on its own files: the database file may
// not grow (SQLite's page limit, lowered on the service's connection; a write that needs a new
// page fails, and SQLite may undo the whole open group with it), or no file may grow (this
// process's file size limit; the commit's write to the journal fails, as on a full disk).
struct DiskFull {
  const char *name;
  void (*fill)(test::TestService &);
  void (*make_room)(test::TestService &);
};

void LimitPages(test::TestService &a, const char *pages) {
  Db &db = a.svc().Database();
  std::lock_guard<std::mutex> lock(db.Mutex());
  db.Exec(std::string("PRAGMA max_page_count = ") + pages);  // below the file's size: its size
}

void LimitFileSize(rlim_t bytes) {
  rlimit r{};
  getrlimit(RLIMIT_FSIZE, &r);
  r.rlim_cur = std::min(bytes, r.rlim_max);
  setrlimit(RLIMIT_FSIZE, &r);
}

const DiskFull kDiskFull[] = {
    {"the database file may not grow",
     [](test::TestService &a) { LimitPages(a, "1"); },
     [](test::TestService &a) { LimitPages(a, "1073741823"); }},
    {"no file may grow",
     [](test::TestService &a) {
       signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails (EFBIG) instead of ending the process
       struct stat wal{};
       ASSERT_EQ(stat((a.data_dir() + "/orvane.db-wal").c_str(), &wal), 0);
       LimitFileSize(static_cast<rlim_t>(wal.st_size));
     },
     [](test::TestService &) {
       LimitFileSize(RLIM_INFINITY);
       signal(SIGXFSZ, SIG_DFL);
     }},
};

// The disk fills while many claims release their instructions at once. Every claim whose
// instruction was not stored must be answered 503 (so that its client tries again), none may hand
// out an instruction the service does not hold (its report would be refused at the instant), none
// may be told 503 for one that is stored; and once there is room again every claim is served with
// the stored instruction, and the report takes it.
TEST(Persistence, AFullDiskFailsExactlyTheClaimsWhoseInstructionsWereLost) {
  for (const DiskFull &full : kDiskFull) {
    SCOPED_TRACE(full.name);
    test::TestService a;
    a.SetConfig({{"release_lead_ms", 3600000}});  // released at the first claim
    std::vector<test::LoginInfo> accounts;
    for (int i = 0; i < 8; ++i) accounts.push_back(a.NewAccount());
    struct Claim {
      size_t account;
      int64_t task;
      HttpResult first;
    };
    std::vector<Claim> claims;
    for (size_t i = 0; i < accounts.size(); ++i)
      for (int k = 0; k < 12; ++k) {
        HttpResult m = a.Call("match.create",
                              "{\"execute_at_ms\":" + std::to_string(test::NowMs() + 600000) + "," +
                                  test::TaskFieldsJson() + "}",
                              accounts[i].token);
        ASSERT_TRUE(m.ok()) << m.body;
        claims.push_back({i, m.j["task_id"].get<int64_t>(), {}});
      }
    auto claim = [&](const Claim &c) {
      return a.Call("task.claim", "{\"task_id\":" + std::to_string(c.task) + ",\"client_platform\":\"windows\"}",
                    accounts[c.account].token);
    };
    auto nonce_of = [](const HttpResult &r) {
      json in = json::parse(test::Base64DecodeText(r.j.value("payload", std::string())), nullptr, false);
      return in.is_object() ? in.value("nonce", std::string()) : std::string();
    };
    auto other = Db::Open(a.data_dir() + "/orvane.db");  // sees only what is committed
    auto stored_nonce = [&](int64_t task) {
      Stmt s = other->Prepare("SELECT nonce FROM tasks WHERE id = ?1");
      s.Bind(1, task);
      return s.Step() ? s.Text(0) : std::string("(no task)");
    };

    {
      struct Room {  // back whatever ends this block, so that no later test meets a full disk
        const DiskFull &full;
        test::TestService &a;
        ~Room() { full.make_room(a); }
      } room{full, a};
      full.fill(a);
      std::vector<std::thread> claimers;
      for (size_t i = 0; i < accounts.size(); ++i)
        claimers.emplace_back([&, i] {
          for (auto &c : claims)
            if (c.account == i) c.first = claim(c);
        });
      for (auto &t : claimers) t.join();
    }

    int refused = 0;
    for (const auto &c : claims) {
      std::string stored = stored_nonce(c.task);
      if (c.first.ok()) {
        EXPECT_TRUE(c.first.j.value("ready", false)) << c.first.body;
        EXPECT_EQ(nonce_of(c.first), stored) << "task " << c.task << ": an instruction was handed out but not stored";
      } else {
        ++refused;
        EXPECT_EQ(c.first.status, 503) << c.first.body;
        EXPECT_EQ(stored, "") << "task " << c.task << " was answered " << c.first.status
                              << " but its instruction is stored";
      }
    }
    EXPECT_GT(refused, 0) << "the disk never filled: nothing was tested";

    for (const auto &c : claims) {
      HttpResult again = claim(c);
      ASSERT_TRUE(again.ok()) << "task " << c.task << " after the disk had room again: " << again.body;
      std::string nonce = nonce_of(again);
      EXPECT_EQ(nonce, stored_nonce(c.task));
      if (c.first.ok()) {
        EXPECT_EQ(again.j["payload"], c.first.j["payload"]) << "task " << c.task << " got another instruction";
      }
      HttpResult report = a.Call("task.consume",
                                 "{\"task_id\":" + std::to_string(c.task) + ",\"nonce\":\"" + nonce +
                                     "\",\"client_platform\":\"windows\",\"client_error_ms\":1,"
                                     "\"result\":\"success\",\"result_detail\":\"本机已提交一次触发\"}",
                                 accounts[c.account].token);
      EXPECT_TRUE(report.ok()) << "task " << c.task << ": " << report.body;
    }
  }
}

// Rooms count their own seats; those of a database from before are counted when it is opened, so
// the capacity still holds.
TEST(Persistence, RoomsFromBeforeSeatCountsAreCounted) {
  test::TempDir dir;
  const std::string data = dir.path() + "/data";
  std::string room = "{\"room_code\":\"SEATS1\"," + test::TaskFieldsJson() + "}";
  test::LoginInfo guest2, guest3;
  {
    test::TestService a({}, data);
    test::LoginInfo creator = a.NewAccount(), guest1 = a.NewAccount();
    guest2 = a.NewAccount();
    guest3 = a.NewAccount();
    HttpResult made = a.Call("room.create", "{\"room_code\":\"SEATS1\",\"execute_at_ms\":" +
                                                std::to_string(test::NowMs() + 600000) + ",\"capacity\":3," +
                                                test::TaskFieldsJson() + "}",
                             creator.token);
    ASSERT_TRUE(made.ok()) << made.body;
    HttpResult first = a.Call("room.join", room, guest1.token);
    ASSERT_TRUE(first.ok()) << first.body;
    EXPECT_EQ(first.j["participants"], 2);
  }
  {
    auto db = Db::Open(data + "/orvane.db");
    db->Exec("ALTER TABLE rooms DROP COLUMN seats; UPDATE meta SET value = '4' WHERE key = 'schema_version'");
  }
  test::TestService b({}, data);
  HttpResult second = b.Call("room.join", room, guest2.token);
  ASSERT_TRUE(second.ok()) << second.body;
  EXPECT_EQ(second.j["participants"], 3);
  HttpResult full = b.Call("room.join", room, guest3.token);
  EXPECT_EQ(full.status, 409) << full.body;
}

TEST(Persistence, ConcurrentAdminProcessSeesLiveData) {
  // The admin command line opens the same database while the service runs (WAL mode).
  test::TestService a;
  test::LoginInfo acc = a.NewAccount();
  std::string cmd = std::string(ORVANE_SERVICE_BINARY) + " admin --data " + a.data_dir() + " credits-set " +
                    acc.email + " 77 2>&1";
  FILE *p = popen(cmd.c_str(), "r");
  ASSERT_TRUE(p);
  char buf[256] = "";
  std::string out;
  while (fgets(buf, sizeof buf, p)) out += buf;
  EXPECT_EQ(pclose(p), 0) << out;
  EXPECT_EQ(a.Call("me", "{}", acc.token).j["credits"], 77);
  // Opening a file of the current version writes nothing, so it does not wait for the write lock:
  // a reading admin command beside a write transaction held open answers (it would otherwise wait
  // out the 5 s busy time-out and fail with "database is locked").
  auto writer = Db::Open(a.data_dir() + "/orvane.db");
  writer->Begin();
  p = popen((std::string(ORVANE_SERVICE_BINARY) + " admin --data " + a.data_dir() + " accounts 2>&1").c_str(), "r");
  ASSERT_TRUE(p);
  out.clear();
  while (fgets(buf, sizeof buf, p)) out += buf;
  EXPECT_EQ(pclose(p), 0) << out;
  EXPECT_NE(out.find(acc.email), std::string::npos) << out;
  writer->RollbackTransaction();
}

}  // namespace
}  // namespace orvane
