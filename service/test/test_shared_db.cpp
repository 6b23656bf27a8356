// Several instances on one PostgreSQL database (a real server started for this suite): every
// action works there, the signing key and sessions are shared, and seats, credits, room codes,
// the once-only nonce and the password guard hold when two instances race for them.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include "db.h"
#include "local_servers.h"
#include "test_support.h"

namespace orvane {
namespace {

using test::HttpResult;
using test::json;

const std::string kSha = std::string(64, 'c');

class SharedDatabase : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { pg_ = new test::LocalPostgres(); }
  static void TearDownTestSuite() {
    delete pg_;
    pg_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(pg_->available()) << pg_->why(); }

  static std::unique_ptr<test::TestService> Instance(const std::string &url, const std::string &data_dir = "") {
    return std::make_unique<test::TestService>(
        [url](ServeOptions &o) {
          o.db_url = url;
          o.threads = 24;
          o.hash_queue = 64;
        },
        data_dir);
  }
  static std::string Fields(int64_t x = 10, int64_t y = 20) { return test::TaskFieldsJson(x, y, kSha); }
  static int64_t Now(test::TestService &ts) { return ts.svc().Clock().NowMs(); }

  inline static test::LocalPostgres *pg_ = nullptr;
};

TEST_F(SharedDatabase, EveryActionWorksAndSurvivesARestart) {
  std::string url = pg_->NewDatabase();
  ASSERT_FALSE(url.empty());
  test::TempDir dir;
  std::string pk, token, email = test::UniqueEmail("pg");
  {
    auto ts = Instance(url, dir.path() + "/a");
    // Registration by mailed code answers like a login.
    ASSERT_TRUE(ts->Call("auth.send_code", json{{"email", email}, {"purpose", "register"}}.dump()).ok());
    std::string code = ts->Get("/__test/outbox?email=" + email).j["code"];
    HttpResult reg = ts->Call("auth.register", "{\"email\":\"" + email + "\",\"password\":\"pg-password-1\",\"code\":\"" +
                                                   code + "\",\"privacy_notice_accepted\":true}");
    ASSERT_TRUE(reg.ok()) << reg.body;
    token = reg.j["token"];
    pk = reg.j["sign_public_key"];
    EXPECT_EQ(reg.j["credits"], 20);
    EXPECT_EQ(ts->Call("me", "{}", token).j["credits"], 20);
    // Payment page credits once.
    HttpResult pay = ts->Call("payment.create", R"({"amount":"1","type":"alipay"})", token);
    ASSERT_TRUE(pay.ok()) << pay.body;
    std::string path = pay.j["pay_url"].get<std::string>().substr(pay.j["pay_url"].get<std::string>().find("/pay/"));
    EXPECT_EQ(ts->Get(path).status, 200);
    EXPECT_EQ(ts->Get(path).status, 200);
    EXPECT_EQ(ts->Call("me", "{}", token).j["credits"], 30);
    // Blacklist, rooms, tests, the instruction and its report.
    ts->Admin({"blacklist-add", std::string(64, 'd'), "不可用"});
    EXPECT_TRUE(ts->Call("app.check", "{\"executable_name\":\"x.exe\",\"executable_sha256\":\"" + std::string(64, 'd') + "\"}",
                         token)
                    .j["blocked"]
                    .get<bool>());
    test::LoginInfo guest = ts->NewAccount();
    int64_t at = Now(*ts) + 10000;
    HttpResult room = ts->Call("room.create", "{\"room_code\":\"PGROOM\",\"execute_at_ms\":" + std::to_string(at) +
                                                  ",\"capacity\":2," + Fields() + "}",
                               token);
    ASSERT_TRUE(room.ok()) << room.body;
    HttpResult join = ts->Call("room.join", "{\"room_code\":\"pgroom\"," + Fields(1, 2) + "}", guest.token);
    ASSERT_TRUE(join.ok()) << join.body;
    EXPECT_EQ(ts->Call("room.join", "{\"room_code\":\"PGROOM\"," + Fields(1, 2) + "}", guest.token).j["task_id"],
              join.j["task_id"]);
    ASSERT_TRUE(ts->Call("room.confirm", "{\"task_id\":" + std::to_string(join.j["task_id"].get<int64_t>()) + "," +
                                             Fields(1, 2) + "}",
                         guest.token)
                    .ok());
    HttpResult claim = ts->Call("task.claim", "{\"task_id\":" + std::to_string(join.j["task_id"].get<int64_t>()) + "}",
                                guest.token);
    ASSERT_TRUE(claim.j.value("ready", false)) << claim.body;
    std::string payload = test::Base64DecodeText(claim.j["payload"]);
    EXPECT_TRUE(test::VerifyWithKey(payload, claim.j["signature"], pk));
    std::string nonce = json::parse(payload)["nonce"];
    HttpResult consume = ts->Call("task.consume", "{\"task_id\":" + std::to_string(join.j["task_id"].get<int64_t>()) +
                                                      ",\"nonce\":\"" + nonce +
                                                      "\",\"client_platform\":\"windows\",\"client_error_ms\":2,"
                                                      "\"result\":\"success\",\"result_detail\":\"本机已提交一次触发\"}",
                                  guest.token);
    EXPECT_TRUE(consume.ok()) << consume.body;
    HttpResult test_task = ts->Call("match.create", "{\"execute_at_ms\":" + std::to_string(at) + "," + Fields() + "}", token);
    EXPECT_TRUE(test_task.ok()) << test_task.body;
    EXPECT_EQ(test_task.j["credits"], 30 - 2 - 1);
    // Developer accounts bind to a device; names compare without regard to case.
    ts->Admin({"developer-create", "PgDev01", "a-long-password"});
    std::string dev = "{\"username\":\"pgdev01\",\"password\":\"a-long-password\",\"device_id\":\"" +
                      std::string(32, 'e') + "\",\"client_platform\":\"windows\",\"privacy_notice_accepted\":true}";
    EXPECT_TRUE(ts->Call("auth.developer_login", dev).ok());
    // Password reset, logout, deletion request.
    ASSERT_TRUE(ts->Call("auth.send_code", json{{"email", guest.email}, {"purpose", "reset"}}.dump()).ok());
    std::string reset_code = ts->Get("/__test/outbox?email=" + guest.email).j["code"];
    EXPECT_TRUE(ts->Call("auth.reset_password", "{\"email\":\"" + guest.email + "\",\"password\":\"new-password-9\",\"code\":\"" +
                                                    reset_code + "\"}")
                    .ok());
    EXPECT_EQ(ts->Call("me", "{}", guest.token).status, 401);
    test::LoginInfo again = ts->Login(guest.email, "new-password-9");
    EXPECT_TRUE(ts->Call("account.delete.request", R"({"password":"new-password-9"})", again.token).ok());
    EXPECT_NE(ts->Admin({"accounts"}).find("deletion-requested"), std::string::npos);
    EXPECT_NE(ts->Admin({"tasks", "--room", "PGROOM"}).find("consumed"), std::string::npos);
    EXPECT_NE(ts->Admin({"outbox"}).find(email), std::string::npos);
  }
  // Another instance with another data directory finds everything, signing key included.
  auto later = Instance(url, dir.path() + "/b");
  EXPECT_EQ(later->svc().Key().PublicKeyBase64(), pk);
  EXPECT_EQ(later->Call("me", "{}", token).j["credits"], 27);
}

TEST_F(SharedDatabase, AmountsKeptInTenthsBecomeFen) {
  std::string url = pg_->NewDatabase();
  ASSERT_FALSE(url.empty());
  std::string token, path;
  {
    auto ts = Instance(url);
    test::LoginInfo acc = ts->NewAccount();
    token = acc.token;
    HttpResult order = ts->Call("payment.create", R"({"amount":"10.5","type":"alipay"})", token);
    ASSERT_TRUE(order.ok()) << order.body;
    std::string pay_url = order.j["pay_url"];
    path = pay_url.substr(pay_url.find("/pay/"));
  }
  Db::Open(url)->Exec(
      "ALTER TABLE payments RENAME COLUMN amount_fen TO amount_tenths; "
      "UPDATE payments SET amount_tenths = amount_tenths / 10; "
             "UPDATE meta SET value = '2' WHERE key = 'schema_version'");
  auto ts = Instance(url);
  HttpResult page = ts->Get(path);
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("已支付 10.5 元"), std::string::npos) << page.body;
  HttpResult next = ts->Call("payment.create", R"({"amount":"123e-2","type":"wxpay"})", token);
  ASSERT_TRUE(next.ok()) << next.body;
  EXPECT_EQ(next.j["amount_yuan"], "1.23");
}

// Opening the database (an admin command, an instance starting) beside load that writes accounts
// and the ledger must not lock those tables: every request of the load is answered, none with 503.
TEST_F(SharedDatabase, AdminCommandsAndARestartBesideLoadAnswerEveryRequest) {
  std::string url = pg_->NewDatabase();
  ASSERT_FALSE(url.empty());
  auto a = Instance(url);
  std::shared_ptr<test::TestService> b = Instance(url);
  std::mutex b_mutex;
  std::vector<test::LoginInfo> accounts;
  for (int i = 0; i < 6; ++i) {
    accounts.push_back(a->NewAccount());
    a->Admin({"credits-set", accounts.back().email, "1000000"});
  }
  std::atomic<bool> stop{false};
  std::atomic<int> answered{0}, unavailable{0}, other{0};
  std::string other_text;
  std::mutex other_mutex;
  // Each synchronisation test charges a credit: a write to accounts and the ledger. Half of the
  // load goes to the instance that is restarted, and keeps going while it is down (not counted).
  std::vector<std::thread> load;
  for (size_t i = 0; i < accounts.size(); ++i)
    load.emplace_back([&, i] {
      while (!stop) {
        std::shared_ptr<test::TestService> restarted;
        if (i % 2) {
          std::lock_guard<std::mutex> lock(b_mutex);
          restarted = b;
        }
        test::TestService *to = restarted ? restarted.get() : a.get();
        HttpResult r = to->Call("match.create", "{\"execute_at_ms\":" + std::to_string(Now(*a) + 60000) + "," +
                                                    Fields() + "}",
                                accounts[i].token);
        if (r.status == 200) ++answered;
        else if (r.status == 503) ++unavailable;
        else if (r.received) {
          ++other;
          std::lock_guard<std::mutex> lock(other_mutex);
          other_text = r.body;
        }
      }
    });
  auto admin = [&url](const std::string &args) {
    std::string cmd = std::string(ORVANE_SERVICE_BINARY) + " admin --db '" + url + "' " + args + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
  };
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  int admin_failures = 0;
  for (int round = 0; round < 2; ++round) {
    // Two admin commands at once, then one that writes.
    std::atomic<int> failed{0};
    std::thread first([&] { failed += admin("accounts") ? 0 : 1; });
    std::thread second([&] { failed += admin("blacklist-list") ? 0 : 1; });
    first.join();
    second.join();
    failed += admin("credits-add " + accounts[0].email + " 1") ? 0 : 1;
    admin_failures += failed;
  }
  // An instance restarted under load.
  std::shared_ptr<test::TestService> stopping;
  {
    std::lock_guard<std::mutex> lock(b_mutex);
    stopping.swap(b);
  }
  stopping.reset();  // stopped once the last request on it is answered
  std::shared_ptr<test::TestService> started = Instance(url);
  {
    std::lock_guard<std::mutex> lock(b_mutex);
    b = started;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  stop = true;
  for (auto &t : load) t.join();
  EXPECT_EQ(admin_failures, 0);
  EXPECT_EQ(unavailable.load(), 0) << answered.load() << " answered";
  EXPECT_EQ(other.load(), 0) << other_text;
  EXPECT_GT(answered.load(), 50);
}

// PostgreSQL ended at once (as in a crash) and started again while two instances are busy: each of
// their pooled connections that had a transaction open when it was cut used to stay "in the
// transaction" and fail every later request. A few seconds after the server is back, every request
// is answered again, and every charge that was acknowledged is still there.
TEST_F(SharedDatabase, PostgresRestartUnderLoadIsRecoveredWithoutRestartingInstances) {
  std::string url = pg_->NewDatabase(/*durable=*/true);
  ASSERT_FALSE(url.empty());
  auto a = Instance(url), b = Instance(url);
  test::TestService *inst[2] = {a.get(), b.get()};
  std::vector<test::LoginInfo> accounts;
  for (int i = 0; i < 8; ++i) {
    accounts.push_back(a->NewAccount());
    a->Admin({"credits-set", accounts.back().email, "1000000"});
  }
  using Clock = std::chrono::steady_clock;
  std::atomic<bool> stop{false};
  std::atomic<Clock::rep> judged_from{Clock::time_point::max().time_since_epoch().count()};
  std::atomic<int> judged{0}, judged_failed{0};
  std::vector<int> acknowledged(accounts.size(), 0);
  std::string failure;
  std::mutex failure_mutex;
  // 8 clients, 4 on each instance, each alternating a charge (a transaction) and `me` (none).
  std::vector<std::thread> load;
  for (size_t i = 0; i < accounts.size(); ++i)
    load.emplace_back([&, i] {
      test::TestService *to = inst[i % 2];
      for (int n = 0; !stop; ++n) {
        HttpResult r = n % 2 ? to->Call("me", "{}", accounts[i].token)
                             : to->Call("match.create",
                                        "{\"execute_at_ms\":" + std::to_string(Now(*a) + 60000) + "," + Fields() + "}",
                                        accounts[i].token);
        if (n % 2 == 0 && r.ok()) ++acknowledged[i];
        if (Clock::now().time_since_epoch().count() < judged_from) continue;
        ++judged;
        if (!r.ok()) {
          ++judged_failed;
          std::lock_guard<std::mutex> lock(failure_mutex);
          failure = std::to_string(r.status) + " " + r.body;
        }
      }
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  // Every account's row held from outside: the charges under way now wait inside their
  // transactions, and the cut finds them there.
  PGconn *holder = PQconnectdb(url.c_str());
  PQclear(PQexec(holder, "BEGIN"));
  PGresult *held = PQexec(holder, "SELECT id FROM accounts FOR UPDATE");
  EXPECT_EQ(PQresultStatus(held), PGRES_TUPLES_OK) << PQerrorMessage(holder);
  PQclear(held);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  bool back = pg_->RestartImmediately();
  PQfinish(holder);
  // Requests in flight at the cut, and each pooled connection's first use after it, may fail;
  // from here on nothing may.
  if (back) std::this_thread::sleep_for(std::chrono::seconds(3));
  judged_from = Clock::now().time_since_epoch().count();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  stop = true;
  for (auto &t : load) t.join();
  ASSERT_TRUE(back) << "PostgreSQL did not come back";
  EXPECT_GT(judged.load(), 20);
  EXPECT_EQ(judged_failed.load(), 0) << "of " << judged.load() << " requests in the last 2 s; last failure: " << failure;
  // Each acknowledged charge was kept (an unanswered one may have been kept too).
  for (size_t i = 0; i < accounts.size(); ++i) {
    HttpResult me = a->Call("me", "{}", accounts[i].token);
    ASSERT_TRUE(me.ok()) << me.body;
    EXPECT_GE(1000000 - me.j["credits"].get<int64_t>(), acknowledged[i]) << i;
  }
}

// A newer program migrated the database to a schema this one does not know. If the newer schema
// says older programs cannot live with it, this one refuses to start on it and, while running,
// refuses every write and says why in `health`; if it says they can, nothing changes. Both backends.
TEST_F(SharedDatabase, NewerSchemaIsRefusedAtStartInHealthAndOnWrites) {
  test::TempDir dir;
  struct Backend {
    std::string name, url;  // url empty: SQLite in the data directory
  } backends[] = {{"SQLite", ""}, {"PostgreSQL", pg_->NewDatabase()}};
  for (const auto &be : backends) {
    std::string data = dir.path() + "/" + be.name;
    auto ts = std::make_unique<test::TestService>([&](ServeOptions &o) { o.db_url = be.url; }, data);
    // Sets the meta rows as a newer program's migration would.
    auto set_schema = [&](int version, int servable_from) {
      std::string sql = "UPDATE meta SET value = '" + std::to_string(version) + "' WHERE key = 'schema_version'; " +
                        "UPDATE meta SET value = '" + std::to_string(servable_from) + "' WHERE key = 'servable_from'";
      if (be.url.empty()) {
        sqlite3 *db = nullptr;
        sqlite3_open((data + "/orvane.db").c_str(), &db);
        sqlite3_busy_timeout(db, 5000);
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_close(db);
      } else {
        PGconn *c = PQconnectdb(be.url.c_str());
        PGresult *r = PQexec(c, sql.c_str());
        EXPECT_EQ(PQresultStatus(r), PGRES_COMMAND_OK) << PQerrorMessage(c);
        PQclear(r);
        PQfinish(c);
      }
    };
    test::LoginInfo acc = ts->NewAccount();
    ts->Admin({"credits-set", acc.email, "100"});
    auto charge = [&] {
      return ts->Call("match.create", "{\"execute_at_ms\":" + std::to_string(Now(*ts) + 60000) + "," + Fields() + "}",
                      acc.token);
    };
    const int known = KnownSchemaVersion();
    set_schema(known + 1, known + 1);
    HttpResult refused = charge();
    EXPECT_EQ(refused.status, 503) << be.name << ": " << refused.body;
    EXPECT_NE(refused.message().find("第 " + std::to_string(known + 1) + " 版"), std::string::npos) << refused.body;
    HttpResult health = ts->Call("health", "{}");
    EXPECT_EQ(health.status, 503) << be.name << ": " << health.body;
    EXPECT_EQ(health.message(), refused.message()) << be.name;
    EXPECT_EQ(ts->Call("me", "{}", acc.token).j["credits"], 100) << be.name;  // nothing was charged
    // A program of this schema does not start on it, and says why.
    // (Bounded in time: a program that does not refuse would serve until ended.)
    std::string cmd = "timeout 20 " + std::string(ORVANE_SERVICE_BINARY) + " serve --listen 127.0.0.1:0 --data " +
                      (be.url.empty() ? data : dir.path() + "/other --db " + be.url) + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_TRUE(p);
    char buf[512];
    std::string out;
    while (fgets(buf, sizeof buf, p)) out += buf;
    EXPECT_NE(pclose(p), 0) << be.name << ": " << out;
    EXPECT_NE(out.find("schema version " + std::to_string(known + 1)), std::string::npos) << be.name << ": " << out;
    EXPECT_NE(out.find("must be upgraded"), std::string::npos) << be.name << ": " << out;
    // A newer schema that older programs can live with is served as before.
    set_schema(known + 1, known);
    EXPECT_TRUE(charge().ok()) << be.name;
    EXPECT_TRUE(ts->Call("health", "{}").ok()) << be.name;
    EXPECT_EQ(ts->Call("me", "{}", acc.token).j["credits"], 99) << be.name;
    set_schema(known, known);
  }
}

// A database of schema 5, from before reports kept the uncertainty shown: opening it adds the
// columns and leaves servable_from at 5, so that instances of schema 5 serve on beside new ones.
TEST_F(SharedDatabase, SchemaFiveGainsTheRoomResultAndStaysServableByItsPrograms) {
  test::TempDir dir;
  for (const std::string &where : {dir.path() + "/orvane.db", pg_->NewDatabase()}) {
    Db::Open(where)->Exec("DROP INDEX rooms_result_token; ALTER TABLE rooms DROP COLUMN result_token; "
                          "ALTER TABLE tasks DROP COLUMN shown_uncertainty_ms; ALTER TABLE tasks DROP COLUMN missed_instant; "
                          "UPDATE meta SET value = '5' WHERE key = 'schema_version'");
    auto db = Db::Open(where);
    EXPECT_NO_THROW(db->Prepare("SELECT shown_uncertainty_ms, missed_instant FROM tasks").Run()) << where;
    EXPECT_NO_THROW(db->Prepare("SELECT result_token FROM rooms WHERE result_token = 'x'").Run()) << where;
    Stmt meta = db->Prepare("SELECT value FROM meta WHERE key = 'schema_version' OR key = 'servable_from' ORDER BY key");
    ASSERT_TRUE(meta.Step());
    EXPECT_EQ(meta.Text(0), std::to_string(KnownSchemaVersion())) << where;
    ASSERT_TRUE(meta.Step());
    EXPECT_EQ(meta.Text(0), "5") << where;
  }
}

TEST_F(SharedDatabase, InstancesShareTheSigningKeyAndSessions) {
  std::string url = pg_->NewDatabase();
  auto a = Instance(url), b = Instance(url);
  EXPECT_EQ(a->svc().Key().PublicKeyBase64(), b->svc().Key().PublicKeyBase64());
  test::LoginInfo acc = a->NewAccount();
  EXPECT_EQ(acc.sign_public_key, b->svc().Key().PublicKeyBase64());
  HttpResult m = b->Call("match.create", "{\"execute_at_ms\":" + std::to_string(Now(*b) + 5000) + "," + Fields() + "}",
                         acc.token);
  ASSERT_TRUE(m.ok()) << m.body;
  HttpResult c = b->Call("task.claim", "{\"task_id\":" + std::to_string(m.j["task_id"].get<int64_t>()) + "}", acc.token);
  ASSERT_TRUE(c.j.value("ready", false)) << c.body;
  // Signed by instance B, verified with the key instance A handed out at login.
  EXPECT_TRUE(test::VerifyWithKey(test::Base64DecodeText(c.j["payload"]), c.j["signature"], acc.sign_public_key));
  EXPECT_TRUE(a->Call("auth.logout", "{}", acc.token).ok());
  EXPECT_EQ(b->Call("me", "{}", acc.token).status, 401);
}

TEST_F(SharedDatabase, SeatsHoldWhenTwoInstancesFillARoom) {
  std::string url = pg_->NewDatabase();
  auto a = Instance(url), b = Instance(url);
  test::TestService *inst[2] = {a.get(), b.get()};
  test::LoginInfo owner = a->NewAccount();
  std::vector<test::LoginInfo> guests;
  for (int i = 0; i < 12; ++i) guests.push_back(inst[i % 2]->NewAccount());
  ASSERT_TRUE(a->Call("room.create", "{\"room_code\":\"RACE1\",\"execute_at_ms\":" + std::to_string(Now(*a) + 60000) +
                                         ",\"capacity\":5," + Fields() + "}",
                      owner.token)
                  .ok());
  std::atomic<int> joined{0}, full{0}, other{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 12; ++i)
    threads.emplace_back([&, i] {
      HttpResult r = inst[i % 2]->Call("room.join", "{\"room_code\":\"RACE1\"," + Fields(i, i) + "}", guests[i].token);
      if (r.ok()) ++joined;
      else if (r.status == 409) ++full;
      else ++other;
    });
  // And one account joining through both instances at once keeps one seat.
  test::LoginInfo twice = b->NewAccount();
  ASSERT_TRUE(a->Call("room.create", "{\"room_code\":\"RACE2\",\"execute_at_ms\":" + std::to_string(Now(*a) + 60000) +
                                         ",\"capacity\":50," + Fields() + "}",
                      owner.token)
                  .ok());
  std::vector<int64_t> seats(8);
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&, i] {
      seats[i] = inst[i % 2]->Call("room.join", "{\"room_code\":\"RACE2\"," + Fields() + "}", twice.token).j.value("task_id", int64_t{0});
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(joined.load(), 4);
  EXPECT_EQ(full.load(), 8);
  EXPECT_EQ(other.load(), 0);
  std::string listing = a->Admin({"tasks", "--room", "RACE1"});
  EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 5);  // header + 5 seats
  for (int64_t s : seats) EXPECT_EQ(s, seats[0]);
  EXPECT_GT(seats[0], 0);
  EXPECT_EQ(a->Call("me", "{}", twice.token).j["credits"], 18);
}

TEST_F(SharedDatabase, CreditsAndRoomCodesHoldAcrossInstances) {
  std::string url = pg_->NewDatabase();
  auto a = Instance(url), b = Instance(url);
  test::TestService *inst[2] = {a.get(), b.get()};
  test::LoginInfo acc = a->NewAccount();
  a->Admin({"credits-set", acc.email, "7"});
  std::atomic<int> made{0}, short_of_credits{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 20; ++i)
    threads.emplace_back([&, i] {
      HttpResult r = inst[i % 2]->Call("match.create", "{\"execute_at_ms\":" + std::to_string(Now(*a) + 60000) + "," +
                                                         Fields() + "}",
                                       acc.token);
      if (r.ok()) ++made;
      else if (r.status == 402) ++short_of_credits;
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(made.load(), 7);
  EXPECT_EQ(short_of_credits.load(), 13);
  EXPECT_EQ(b->Call("me", "{}", acc.token).j["credits"], 0);
  // The same room code created through both instances at once: one room.
  test::LoginInfo other = b->NewAccount();
  std::atomic<int> created{0}, taken{0};
  threads.clear();
  for (int i = 0; i < 6; ++i)
    threads.emplace_back([&, i] {
      HttpResult r = inst[i % 2]->Call("room.create", "{\"room_code\":\"SAMECODE\",\"execute_at_ms\":" +
                                                          std::to_string(Now(*a) + 60000) + ",\"capacity\":3," +
                                                          Fields() + "}",
                                       other.token);
      if (r.ok()) ++created;
      else if (r.status == 409) ++taken;
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(created.load(), 1);
  EXPECT_EQ(taken.load(), 5);
  EXPECT_EQ(a->Call("me", "{}", other.token).j["credits"], 18);
}

TEST_F(SharedDatabase, OneNonceAndOneReportPerInstructionAcrossInstances) {
  std::string url = pg_->NewDatabase();
  auto a = Instance(url), b = Instance(url);
  test::TestService *inst[2] = {a.get(), b.get()};
  test::LoginInfo acc = a->NewAccount();
  a->Admin({"credits-set", acc.email, "100"});
  for (int round = 0; round < 5; ++round) {
    HttpResult m = a->Call("match.create", "{\"execute_at_ms\":" + std::to_string(Now(*a) + 5000) + "," + Fields() + "}",
                           acc.token);
    ASSERT_TRUE(m.ok()) << m.body;
    int64_t task = m.j["task_id"];
    std::vector<HttpResult> claims(6);
    std::vector<std::thread> threads;
    for (int i = 0; i < 6; ++i)
      threads.emplace_back([&, i] {
        claims[i] = inst[i % 2]->Call("task.claim", "{\"task_id\":" + std::to_string(task) + "}", acc.token);
      });
    for (auto &t : threads) t.join();
    for (const auto &c : claims) {
      ASSERT_TRUE(c.j.value("ready", false)) << c.body;
      EXPECT_EQ(c.j["payload"], claims[0].j["payload"]);  // one instruction, one nonce
    }
    std::string nonce = json::parse(test::Base64DecodeText(claims[0].j["payload"]))["nonce"];
    std::atomic<int> accepted{0}, refused{0};
    threads.clear();
    for (int i = 0; i < 6; ++i)
      threads.emplace_back([&, i] {
        HttpResult r = inst[i % 2]->Call("task.consume", "{\"task_id\":" + std::to_string(task) + ",\"nonce\":\"" + nonce +
                                                             "\",\"client_platform\":\"windows\",\"client_error_ms\":" +
                                                             std::to_string(i) +
                                                             ",\"result\":\"success\",\"result_detail\":\"x\"}",
                                         acc.token);
        if (r.ok()) ++accepted;
        else if (r.status == 409) ++refused;
      });
    for (auto &t : threads) t.join();
    EXPECT_EQ(accepted.load(), 1) << "round " << round;
    EXPECT_EQ(refused.load(), 5) << "round " << round;
  }
}

TEST_F(SharedDatabase, PasswordGuardCountsAcrossInstances) {
  std::string url = pg_->NewDatabase();
  auto a = Instance(url), b = Instance(url);
  test::TestService *inst[2] = {a.get(), b.get()};
  test::LoginInfo acc = a->NewAccount("right-password");
  for (auto *ts : inst)
    ts->SetConfig({{"login_free_failures", 4}, {"login_first_delay_ms", 600000}, {"login_delay_cap_ms", 600000},
                   {"source_free_failures", 100000}});
  int64_t before = a->svc().Passwords().JobsRun() + b->svc().Passwords().JobsRun();
  std::vector<std::thread> threads;
  for (int i = 0; i < 20; ++i)
    threads.emplace_back([&, i] {
      inst[i % 2]->Call("auth.login", json{{"email", acc.email}, {"password", "wrong"}}.dump());
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(a->svc().Passwords().JobsRun() + b->svc().Passwords().JobsRun() - before, 4);
}

}  // namespace
}  // namespace orvane
