// Rooms, synchronisation tests, the signed instruction and the once-only report.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "crypto.h"
#include "test_support.h"

namespace orvane {
namespace {

using test::HttpResult;
using test::json;

const std::string kSha = std::string(32, 'a') + std::string(32, 'b');
const std::string kBlockedSha = std::string(64, 'e');

class Tasks : public test::SharedServiceTest {
 protected:
  void TearDown() override {
    ts_->ClearFaults();
    ts_->Post("/__test/clock", R"({"service_offset_us":0})");
    ts_->SetConfig({{"release_lead_ms", 20000}, {"retry_after_ms", 30000}, {"claim_expiry_ms", 60000}});
  }
  static int64_t ServiceNow() { return ts_->svc().Clock().NowMs(); }
  static HttpResult Match(const std::string &token, int64_t at, int64_t x = 100, int64_t y = -20,
                          const std::string &sha = kSha) {
    return ts_->Call("match.create",
                     "{\"execute_at_ms\":" + std::to_string(at) + "," + test::TaskFieldsJson(x, y, sha) + "}", token);
  }
  static HttpResult CreateRoom(const std::string &token, const std::string &code, int64_t at, int64_t capacity,
                               const std::string &sha = kSha) {
    return ts_->Call("room.create", "{\"room_code\":\"" + code + "\",\"execute_at_ms\":" + std::to_string(at) +
                                        ",\"capacity\":" + std::to_string(capacity) + "," +
                                        test::TaskFieldsJson(100, -20, sha) + "}",
                     token);
  }
  static HttpResult Join(const std::string &token, const std::string &code, int64_t x = 5, int64_t y = 6) {
    return ts_->Call("room.join", "{\"room_code\":\"" + code + "\"," + test::TaskFieldsJson(x, y, kSha) + "}", token);
  }
  static HttpResult Confirm(const std::string &token, int64_t task, int64_t x = 100, int64_t y = -20) {
    return ts_->Call("room.confirm", "{\"task_id\":" + std::to_string(task) + "," + test::TaskFieldsJson(x, y, kSha) + "}",
                     token);
  }
  static HttpResult Claim(const std::string &token, int64_t task) {
    return ts_->Call("task.claim", "{\"task_id\":" + std::to_string(task) + ",\"client_platform\":\"windows\"}", token);
  }
  static HttpResult Consume(const std::string &token, int64_t task, const std::string &nonce, int64_t error_ms = 3,
                            const std::string &result = "success") {
    return ts_->Call("task.consume", "{\"task_id\":" + std::to_string(task) + ",\"nonce\":\"" + nonce +
                                         "\",\"client_platform\":\"windows\",\"client_error_ms\":" +
                                         std::to_string(error_ms) + ",\"result\":\"" + result +
                                         "\",\"result_detail\":\"本机已提交一次触发\"}",
                     token);
  }
  static std::string UniqueRoom() {
    static std::atomic<int> n{0};
    return std::string("R").append(std::to_string(getpid() % 100000)).append("-").append(std::to_string(++n));
  }
};

TEST_F(Tasks, ReleasedInstructionIsSignedForThisTaskAndUsedOnce) {
  test::LoginInfo acc = ts_->NewAccount();
  int64_t at = ServiceNow() + 12000;  // within the 20 s lead: released at once
  HttpResult m = Match(acc.token, at, -5, 300);
  ASSERT_TRUE(m.ok()) << m.body;
  EXPECT_EQ(m.body.rfind("{\"ok\":true,\"task_id\":", 0), 0u) << m.body;
  int64_t task = m.j["task_id"];
  EXPECT_EQ(m.j["execute_at_ms"], at);
  EXPECT_EQ(m.j["credits"], 19);
  EXPECT_EQ(m.j["developer_user"], false);

  HttpResult c = Claim(acc.token, task);
  ASSERT_TRUE(c.ok()) << c.body;
  EXPECT_EQ(c.body.rfind("{\"ok\":true,\"ready\":true,\"execute_at_ms\":", 0), 0u) << c.body;
  std::string payload = test::Base64DecodeText(c.j["payload"]);
  ASSERT_FALSE(payload.empty());
  ASSERT_TRUE(test::VerifyWithKey(payload, c.j["signature"], acc.sign_public_key));
  std::string mutated = payload;
  mutated[mutated.find("single_click")] = 'S';
  EXPECT_FALSE(test::VerifyWithKey(mutated, c.j["signature"], acc.sign_public_key));
  std::string spaced = payload;
  spaced.insert(1, " ");  // equivalent JSON, different bytes
  EXPECT_FALSE(test::VerifyWithKey(spaced, c.j["signature"], acc.sign_public_key));

  json in = json::parse(payload);
  EXPECT_EQ(payload.find("{\"taskId\":"), 0u);
  EXPECT_LT(payload.find("\"userId\""), payload.find("\"action\""));
  EXPECT_LT(payload.find("\"expiresAtMs\""), payload.find("\"nonce\""));
  EXPECT_EQ(in["taskId"], task);
  EXPECT_EQ(in["userId"], acc.id);
  EXPECT_EQ(in["action"], "single_click");
  EXPECT_EQ(in["targetX"], -5);
  EXPECT_EQ(in["targetY"], 300);
  EXPECT_EQ(in["executableSha256"], kSha);
  EXPECT_EQ(in["executeAtMs"], at);
  EXPECT_EQ(in["expiresAtMs"], at + 60000);
  std::string nonce = in["nonce"];
  EXPECT_EQ(nonce.size(), 32u);

  // The same instruction until used, handed back as stored: a program blacklisted after the
  // release does not take back an instruction already given out.
  ts_->Admin({"blacklist-add", kSha, "发出之后才列入"});
  HttpResult again = Claim(acc.token, task);
  ts_->Admin({"blacklist-remove", kSha});
  EXPECT_TRUE(again.ok()) << again.body;
  EXPECT_EQ(again.j["payload"], c.j["payload"]);
  EXPECT_EQ(again.j["signature"], c.j["signature"]);

  HttpResult bad = Consume(acc.token, task, std::string(32, '0'));
  EXPECT_EQ(bad.status, 409);
  EXPECT_FALSE(ts_->Get("/__test/task?id=" + std::to_string(task)).j["consumed"].get<bool>());
  ASSERT_TRUE(Consume(acc.token, task, nonce, -3).ok());
  HttpResult row = ts_->Get("/__test/task?id=" + std::to_string(task));
  EXPECT_EQ(row.j["state"], "consumed");
  EXPECT_EQ(row.j["client_error_ms"], -3);
  EXPECT_EQ(row.j["result"], "success");
  EXPECT_EQ(row.j["result_detail"], "本机已提交一次触发");
  EXPECT_EQ(row.j["nonce"], nonce);
  // The same report again (its first answer lost on the way) is answered as the first was; a
  // different one for the same click is refused and the first report kept.
  HttpResult repeated = Consume(acc.token, task, nonce, -3);
  EXPECT_TRUE(repeated.ok()) << repeated.status << " " << repeated.message();
  EXPECT_EQ(repeated.j["task_id"], task);
  struct Different {
    std::string nonce;
    int64_t error_ms;
    const char *result;
  } differents[] = {{nonce, 5, "success"}, {nonce, -3, "failed"}, {std::string(32, '0'), -3, "success"}};
  for (const auto &d : differents)
    EXPECT_EQ(Consume(acc.token, task, d.nonce, d.error_ms, d.result).status, 409)
        << d.nonce << " " << d.error_ms << " " << d.result;
  EXPECT_EQ(ts_->Get("/__test/task?id=" + std::to_string(task)).j["client_error_ms"], -3);  // first report kept
  HttpResult after = Claim(acc.token, task);
  EXPECT_EQ(after.status, 409);
  EXPECT_FALSE(after.message().empty());

  // A second task gets a fresh nonce.
  HttpResult m2 = Match(acc.token, ServiceNow() + 12000);
  HttpResult c2 = Claim(acc.token, m2.j["task_id"]);
  EXPECT_NE(json::parse(test::Base64DecodeText(c2.j["payload"]))["nonce"], nonce);
}

TEST_F(Tasks, ClaimWaitsUntilTheReleaseMoment) {
  test::LoginInfo acc = ts_->NewAccount();
  int64_t now = ServiceNow();
  int64_t at = now + 120000;
  int64_t task = Match(acc.token, at).j["task_id"];
  HttpResult c = Claim(acc.token, task);
  ASSERT_TRUE(c.ok()) << c.body;
  EXPECT_EQ(c.body.rfind("{\"ok\":true,\"ready\":false,\"execute_at_ms\":", 0), 0u) << c.body;
  EXPECT_EQ(c.j["execute_at_ms"], at);
  EXPECT_FALSE(c.j.contains("payload"));
  int64_t retry = c.j["retry_at_ms"];
  EXPECT_GE(retry, now + 30000);  // far away: the hint is capped at retry_after
  EXPECT_LE(retry, ServiceNow() + 30000);

  ts_->SetConfig({{"retry_after_ms", 600000}});
  EXPECT_EQ(Claim(acc.token, task).j["retry_at_ms"], at - 20000);  // otherwise the release moment itself

  ASSERT_TRUE(ts_->Post("/__test/clock", R"({"service_offset_us":95000000})").ok());  // about 25 s before the click
  EXPECT_FALSE(Claim(acc.token, task).j["ready"].get<bool>());
  ASSERT_TRUE(ts_->Post("/__test/clock", R"({"service_offset_us":100500000})").ok());
  HttpResult ready = Claim(acc.token, task);
  EXPECT_TRUE(ready.j["ready"].get<bool>()) << ready.body;
  EXPECT_EQ(ts_->Get("/__test/task?id=" + std::to_string(task)).j["claim_count"], 4);
}

TEST_F(Tasks, ExpiredTasksAreRefused) {
  test::LoginInfo acc = ts_->NewAccount();
  int64_t unreleased = Match(acc.token, ServiceNow() + 50000).j["task_id"];
  int64_t released = Match(acc.token, ServiceNow() + 5000).j["task_id"];
  ASSERT_TRUE(Claim(acc.token, released).j["ready"].get<bool>());
  ASSERT_TRUE(ts_->Post("/__test/clock", R"({"service_offset_us":120000000})").ok());
  EXPECT_EQ(Claim(acc.token, unreleased).status, 410);
  EXPECT_EQ(Claim(acc.token, released).status, 410);
  EXPECT_EQ(ts_->Get("/__test/task?id=" + std::to_string(released)).j["state"], "expired");
}

TEST_F(Tasks, LateConfirmationsAndBlacklistedJoinsAreRefused) {
  test::LoginInfo owner = ts_->NewAccount(), guest = ts_->NewAccount();
  std::string code = UniqueRoom();
  HttpResult room = CreateRoom(owner.token, code, ServiceNow() + 20000, 3);
  ASSERT_TRUE(room.ok()) << room.body;
  ts_->Admin({"blacklist-add", kBlockedSha, "禁止加入"});
  HttpResult blocked_join = ts_->Call("room.join",
                           "{\"room_code\":\"" + code + "\"," + test::TaskFieldsJson(1, 1, kBlockedSha) + "}",
                           guest.token);
  EXPECT_EQ(blocked_join.status, 403);
  EXPECT_EQ(ts_->Call("me", "{}", guest.token).j["credits"], 20);
  ASSERT_TRUE(ts_->Post("/__test/clock", R"({"service_offset_us":81000000})").ok());  // past click + 60 s
  HttpResult late = Confirm(owner.token, room.j["task_id"]);
  EXPECT_EQ(late.status, 410);
}

TEST_F(Tasks, CreditsAreChargedPerActionAndShortBalancesRefused) {
  test::LoginInfo acc = ts_->NewAccount();
  ts_->Admin({"credits-set", acc.email, "3"});
  HttpResult room = CreateRoom(acc.token, UniqueRoom(), ServiceNow() + 60000, 2);
  ASSERT_TRUE(room.ok()) << room.body;
  EXPECT_EQ(room.j["credits"], 1);
  HttpResult broke = CreateRoom(acc.token, UniqueRoom(), ServiceNow() + 60000, 2);
  EXPECT_EQ(broke.status, 402);
  EXPECT_NE(broke.message().find("积分不足"), std::string::npos);
  test::LoginInfo poor = ts_->NewAccount();
  ts_->Admin({"credits-set", poor.email, "1"});
  EXPECT_EQ(Join(poor.token, room.j["room_code"]).status, 402);
  EXPECT_TRUE(Join(acc.token, room.j["room_code"]).ok());  // the creator's own seat, not charged again
  HttpResult test_ok = Match(acc.token, ServiceNow() + 60000);
  EXPECT_TRUE(test_ok.ok());
  EXPECT_EQ(test_ok.j["credits"], 0);
  EXPECT_EQ(Match(acc.token, ServiceNow() + 60000).status, 402);
  EXPECT_EQ(ts_->Call("me", "{}", acc.token).j["credits"], 0);
}

TEST_F(Tasks, RoomCreateChecksItsInput) {
  test::LoginInfo acc = ts_->NewAccount();
  ts_->Admin({"credits-set", acc.email, "1000"});
  int64_t later = ServiceNow() + 60000;
  struct Case {
    std::string body;
    int status;
  } cases[] = {
      {"{\"room_code\":\"AB\",\"execute_at_ms\":" + std::to_string(later) + ",\"capacity\":2," + test::TaskFieldsJson() + "}", 400},
      {"{\"room_code\":\"ABCD EF\",\"execute_at_ms\":" + std::to_string(later) + ",\"capacity\":2," + test::TaskFieldsJson() + "}", 400},
      {"{\"room_code\":\"ABCD\",\"execute_at_ms\":" + std::to_string(later) + ",\"capacity\":1," + test::TaskFieldsJson() + "}", 400},
      {"{\"room_code\":\"ABCD\",\"execute_at_ms\":" + std::to_string(later) + ",\"capacity\":100001," + test::TaskFieldsJson() + "}", 400},
      {"{\"room_code\":\"ABCD\",\"execute_at_ms\":" + std::to_string(ServiceNow() - 1000) + ",\"capacity\":2," + test::TaskFieldsJson() + "}", 400},
      {"{\"room_code\":\"ABCD\",\"execute_at_ms\":\"" + std::to_string(later) + "\",\"capacity\":2," + test::TaskFieldsJson() + "}", 400},
      {"{\"room_code\":\"ABCD\",\"execute_at_ms\":" + std::to_string(later) + ",\"capacity\":2," + test::TaskFieldsJson(1, 2, "xyz") + "}", 400},
      {"{\"room_code\":\"ABCD\",\"execute_at_ms\":" + std::to_string(later) + ",\"capacity\":2,\"purpose\":\"software_testing\"}", 400},
      {"{\"room_code\":\"ABCD\",\"execute_at_ms\":" + std::to_string(later) + ",\"capacity\":2," +
           test::TaskFieldsJson().replace(test::TaskFieldsJson().find("software_testing"), 16, "gaming") + "}", 400},
      {"{\"room_code\":\"ABCD\",\"execute_at_ms\":" + std::to_string(ServiceNow() + 30LL * 24 * 3600 * 1000) + ",\"capacity\":2," + test::TaskFieldsJson() + "}", 400},
  };
  for (const auto &c : cases) {
    HttpResult r = ts_->Call("room.create", c.body, acc.token);
    EXPECT_EQ(r.status, c.status) << c.body << " -> " << r.body;
    EXPECT_FALSE(r.message().empty());
  }
  EXPECT_EQ(ts_->Call("me", "{}", acc.token).j["credits"], 1000);  // nothing charged for refusals
  HttpResult lower = CreateRoom(acc.token, "low-" + std::to_string(getpid() % 1000), later, 100000);
  ASSERT_TRUE(lower.ok()) << lower.body;
  EXPECT_EQ(lower.j["room_code"], "LOW-" + std::to_string(getpid() % 1000));
}

TEST_F(Tasks, RoomCodesAreUniqueAmongOpenRoomsOnly) {
  test::LoginInfo a = ts_->NewAccount(), b = ts_->NewAccount();
  std::string code = UniqueRoom();
  int64_t at = ServiceNow() + 30000;
  ASSERT_TRUE(CreateRoom(a.token, code, at, 3).ok());
  HttpResult clash = CreateRoom(b.token, code, at + 5000, 3);
  EXPECT_EQ(clash.status, 409);
  EXPECT_EQ(ts_->Call("me", "{}", b.token).j["credits"], 20);
  ASSERT_TRUE(ts_->Post("/__test/clock", R"({"service_offset_us":31000000})").ok());  // the first room's time passed
  HttpResult late_join = Join(b.token, code);
  EXPECT_EQ(late_join.status, 410);
  HttpResult reuse = CreateRoom(b.token, code, ServiceNow() + 30000, 3);
  ASSERT_TRUE(reuse.ok()) << reuse.body;
  HttpResult join = Join(a.token, code);  // joins the new room, not the old one
  ASSERT_TRUE(join.ok()) << join.body;
  EXPECT_EQ(join.j["execute_at_ms"], reuse.j["execute_at_ms"]);
  EXPECT_EQ(Join(a.token, "NOSUCHROOM").status, 404);
  EXPECT_EQ(Join(a.token, "x").status, 400);
}

TEST_F(Tasks, RoomFilledByManyAccountsAtOnceNeverOverfills) {
  test::LoginInfo owner = ts_->NewAccount();
  std::vector<test::LoginInfo> guests;
  for (int i = 0; i < 8; ++i) guests.push_back(ts_->NewAccount());
  std::string code = UniqueRoom();
  ASSERT_TRUE(CreateRoom(owner.token, code, ServiceNow() + 60000, 4).ok());
  std::atomic<int> joined{0}, full{0}, other{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      HttpResult r = Join(guests[i].token, code, i, i);
      if (r.ok()) ++joined;
      else if (r.status == 409) ++full;
      else ++other;
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(joined.load(), 3);
  EXPECT_EQ(full.load(), 5);
  EXPECT_EQ(other.load(), 0);
  std::string listing = ts_->Admin({"tasks", "--room", code});
  EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 4);  // header + 4 participants
  int64_t spent = 0;
  for (const auto &g : guests) spent += 20 - ts_->Call("me", "{}", g.token).j["credits"].get<int64_t>();
  EXPECT_EQ(spent, 6);  // only successful joins were charged
}

TEST_F(Tasks, JoiningAgainKeepsTheOneSeatWithoutASecondCharge) {
  test::LoginInfo owner = ts_->NewAccount(), guest = ts_->NewAccount();
  std::string code = UniqueRoom();
  ASSERT_TRUE(CreateRoom(owner.token, code, ServiceNow() + 60000, 10).ok());
  std::vector<HttpResult> answers(6);
  std::vector<std::thread> threads;
  for (int i = 0; i < 6; ++i) threads.emplace_back([&, i] { answers[i] = Join(guest.token, code, 5, 6); });
  for (auto &t : threads) t.join();
  int64_t seat = 0;
  for (const auto &a : answers) {
    ASSERT_TRUE(a.ok()) << a.body;
    if (!seat) seat = a.j["task_id"];
    EXPECT_EQ(a.j["task_id"], seat);
  }
  EXPECT_EQ(ts_->Call("me", "{}", guest.token).j["credits"], 18);  // charged once
  std::string listing = ts_->Admin({"tasks", "--room", code});
  EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 2);  // header + owner + one guest seat

  // Joining again with another position moves the seat there; it must then be confirmed for it.
  HttpResult moved = Join(guest.token, code, 7, 8);
  ASSERT_TRUE(moved.ok()) << moved.body;
  EXPECT_EQ(moved.j["task_id"], seat);
  EXPECT_EQ(moved.j["participants"], 2);
  EXPECT_EQ(Confirm(guest.token, seat, 5, 6).status, 409);
  EXPECT_TRUE(Confirm(guest.token, seat, 7, 8).ok());
  // The creator joining their own room gets their own seat back.
  HttpResult own = Join(owner.token, code, 100, -20);
  ASSERT_TRUE(own.ok()) << own.body;
  EXPECT_EQ(ts_->Call("me", "{}", owner.token).j["credits"], 18);
}

TEST_F(Tasks, ReportAfterTheInstructionExpiredIsRefusedAndRecorded) {
  test::LoginInfo acc = ts_->NewAccount();
  int64_t task = Match(acc.token, ServiceNow() + 5000).j["task_id"];
  HttpResult claim = Claim(acc.token, task);
  ASSERT_TRUE(claim.j["ready"].get<bool>()) << claim.body;
  std::string nonce = json::parse(test::Base64DecodeText(claim.j["payload"]))["nonce"];
  ASSERT_TRUE(ts_->Post("/__test/clock", R"({"service_offset_us":66000000})").ok());  // past expiresAtMs
  HttpResult late = Consume(acc.token, task, nonce, 61000);
  EXPECT_EQ(late.status, 410) << late.body;
  EXPECT_NE(late.message().find("过期"), std::string::npos);
  HttpResult row = ts_->Get("/__test/task?id=" + std::to_string(task));
  EXPECT_EQ(row.j["state"], "expired");
  EXPECT_FALSE(row.j["consumed"].get<bool>());
  EXPECT_EQ(row.j["result"], "expired");
  EXPECT_EQ(row.j["client_error_ms"], 61000);
  EXPECT_EQ(Consume(acc.token, task, nonce).status, 410);  // and stays refused
}

TEST_F(Tasks, RoomTasksMustBeConfirmedByTheirOwner) {
  test::LoginInfo owner = ts_->NewAccount(), guest = ts_->NewAccount();
  std::string code = UniqueRoom();
  HttpResult room = CreateRoom(owner.token, code, ServiceNow() + 10000, 2);
  ASSERT_TRUE(room.ok());
  int64_t task = room.j["task_id"];
  HttpResult early = Claim(owner.token, task);
  EXPECT_EQ(early.status, 409);
  EXPECT_NE(early.message().find("确认"), std::string::npos);
  EXPECT_EQ(Confirm(guest.token, task).status, 404);                // not theirs
  EXPECT_EQ(Confirm(owner.token, task, 101, -20).status, 409);     // a different position
  HttpResult ok = Confirm(owner.token, task);
  ASSERT_TRUE(ok.ok()) << ok.body;
  EXPECT_EQ(ok.j["task_id"], task);
  EXPECT_TRUE(Confirm(owner.token, task).ok());  // idempotent
  EXPECT_EQ(Claim(guest.token, task).status, 404);
  HttpResult claim = Claim(owner.token, task);
  ASSERT_TRUE(claim.j["ready"].get<bool>()) << claim.body;
  HttpResult joined = Join(guest.token, code);
  ASSERT_TRUE(joined.ok()) << joined.body;
  EXPECT_EQ(joined.j["participants"], 2);
  EXPECT_EQ(Join(ts_->NewAccount().token, code).status, 409);  // full
  EXPECT_TRUE(Join(owner.token, code, 100, -20).ok());           // the owner keeps their seat
  EXPECT_EQ(Confirm(guest.token, joined.j["task_id"], 5, 6).status, 200);
  EXPECT_EQ(Consume(guest.token, joined.j["task_id"], "abc").status, 409);  // not released to them yet
}

TEST_F(Tasks, BlacklistIsCheckedOnEveryPath) {
  test::LoginInfo acc = ts_->NewAccount();
  ts_->Admin({"blacklist-add", kBlockedSha, "演示禁止", "危险程序"});
  HttpResult check = ts_->Call("app.check", "{\"executable_name\":\"bad.exe\",\"executable_sha256\":\"" +
                                                std::string(64, 'E') + "\"}", acc.token);
  ASSERT_TRUE(check.ok()) << check.body;
  EXPECT_EQ(check.body.rfind("{\"ok\":true,\"blocked\":true,\"reason\":\"演示禁止\"", 0), 0u) << check.body;
  HttpResult clean = ts_->Call("app.check", "{\"executable_name\":\"ok.exe\",\"executable_sha256\":\"" + kSha + "\"}",
                               acc.token);
  EXPECT_EQ(clean.j["blocked"], false);
  EXPECT_EQ(clean.j["reason"], "");
  EXPECT_EQ(ts_->Call("app.check", R"({"executable_name":"a.exe","executable_sha256":"12"})", acc.token).status, 400);

  HttpResult refused = Match(acc.token, ServiceNow() + 30000, 1, 1, kBlockedSha);
  EXPECT_EQ(refused.status, 403);
  EXPECT_NE(refused.message().find("演示禁止"), std::string::npos);
  EXPECT_EQ(CreateRoom(acc.token, UniqueRoom(), ServiceNow() + 30000, 2, kBlockedSha).status, 403);
  EXPECT_EQ(ts_->Call("me", "{}", acc.token).j["credits"], 20);

  // Blacklisted after the task was made: the instruction is never released.
  std::string later_sha = std::string(63, 'f') + "1";
  int64_t task = Match(acc.token, ServiceNow() + 5000, 1, 1, later_sha).j["task_id"];
  ts_->Admin({"blacklist-add", later_sha, "刚加入"});
  EXPECT_EQ(Claim(acc.token, task).status, 403);
  ts_->Admin({"blacklist-remove", later_sha});
  EXPECT_TRUE(Claim(acc.token, task).j["ready"].get<bool>());
}

TEST_F(Tasks, ReportsAreChecked) {
  test::LoginInfo acc = ts_->NewAccount();
  int64_t task = Match(acc.token, ServiceNow() + 5000).j["task_id"];
  EXPECT_EQ(Consume(acc.token, task, "0000").status, 409);  // nothing released yet
  std::string nonce = json::parse(test::Base64DecodeText(Claim(acc.token, task).j["payload"]))["nonce"];
  const std::string head = "{\"task_id\":" + std::to_string(task) + ",\"nonce\":\"" + nonce + "\"";
  for (const std::string &body :
       {head + ",\"client_platform\":\"windows\",\"client_error_ms\":1,\"result\":\"maybe\",\"result_detail\":\"\"}",
        head + ",\"client_platform\":\"windows\",\"client_error_ms\":\"1\",\"result\":\"success\",\"result_detail\":\"\"}",
        head + ",\"client_platform\":\"windows\",\"result\":\"success\",\"result_detail\":\"\"}",
        head + ",\"client_error_ms\":1,\"result\":\"success\",\"result_detail\":\"\"}",
        std::string("{\"task_id\":0,\"nonce\":\"x\",\"client_platform\":\"windows\",\"client_error_ms\":1,"
                    "\"result\":\"success\",\"result_detail\":\"\"}")}) {
    EXPECT_EQ(ts_->Call("task.consume", body, acc.token).status, 400) << body;
  }
  EXPECT_EQ(Consume(acc.token, task + 100000, nonce).status, 404);
  ASSERT_TRUE(Consume(acc.token, task, nonce, 12, "failed").ok());
  EXPECT_EQ(ts_->Get("/__test/task?id=" + std::to_string(task)).j["result"], "failed");
}

}  // namespace
}  // namespace orvane
