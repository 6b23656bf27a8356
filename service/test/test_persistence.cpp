// Restarting the service on the same data directory loses nothing: accounts, sessions, credits,
// blacklist, tasks with their released instruction and the reported result, the signing key and
// the development CA.
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
  EXPECT_EQ(version.Text(0), "5");
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
}

}  // namespace
}  // namespace orvane
