// Test-mode endpoints over real HTTPS: injected faults, dropped connections, delays, the record
// of the last request, runtime configuration and the admin passthrough.
#include <chrono>

#include <gtest/gtest.h>

#include "test_support.h"

namespace orvane {
namespace {

using test::HttpResult;
using test::json;

class TestMode : public test::SharedServiceTest {
 protected:
  void TearDown() override { ts_->ClearFaults(); }
  static void Fault(const json &f) {
    HttpResult r = ts_->Post("/__test/fault", f.dump());
    ASSERT_TRUE(r.ok()) << r.body;
  }
};

TEST_F(TestMode, StatusOkMessageOmitAndSetShapeTheAnswer) {
  Fault({{"action", "health"}, {"status", 503}, {"ok", false}, {"message", "维护中"}, {"times", 1}});
  HttpResult r = ts_->Call("health", "{}");
  EXPECT_EQ(r.status, 503);
  EXPECT_EQ(r.body, "{\"ok\":false,\"message\":\"维护中\"}");
  EXPECT_TRUE(ts_->Call("health", "{}").ok());  // used up after one request

  Fault({{"action", "health"}, {"set", {{"update_required", true}, {"latest_version", "9.9.9"}}}, {"omit", {"download_url"}}});
  for (int i = 0; i < 3; ++i) {  // without "times" it stays
    r = ts_->Call("health", "{}");
    EXPECT_EQ(r.body, "{\"ok\":true,\"update_required\":true,\"latest_version\":\"9.9.9\"}");
  }
  Fault({{"action", "health"}, {"raw_body", ""}, {"status", 204}});
  r = ts_->Call("health", "{}");
  EXPECT_EQ(r.status, 204);
  EXPECT_TRUE(r.body.empty());
  Fault({{"action", "health"}, {"raw_body", "<html>proxy error</html>"}, {"status", 502}, {"content_type", "text/html"}});
  r = ts_->Call("health", "{}");
  EXPECT_EQ(r.status, 502);
  EXPECT_EQ(r.body, "<html>proxy error</html>");
  EXPECT_EQ(r.content_type, "text/html");
  ts_->ClearFaults();
  EXPECT_EQ(ts_->Call("health", "{}").j["update_required"], false);
}

TEST_F(TestMode, DroppedClaimAnswersNothingAndChangesNothing) {
  test::LoginInfo acc = ts_->NewAccount();
  int64_t at = ts_->svc().Clock().NowMs() + 8000;
  HttpResult m = ts_->Call("match.create", "{\"execute_at_ms\":" + std::to_string(at) + "," + test::TaskFieldsJson() + "}",
                           acc.token);
  ASSERT_TRUE(m.ok()) << m.body;
  std::string task = std::to_string(m.j["task_id"].get<int64_t>());
  Fault({{"action", "task.claim"}, {"drop", true}, {"times", 1}});
  HttpResult dropped = ts_->Call("task.claim", "{\"task_id\":" + task + "}", acc.token);
  EXPECT_FALSE(dropped.received);
  HttpResult row = ts_->Get("/__test/task?id=" + task);
  EXPECT_EQ(row.j["claim_count"], 0);
  EXPECT_EQ(row.j["nonce"], "");
  HttpResult claim = ts_->Call("task.claim", "{\"task_id\":" + task + "}", acc.token);
  EXPECT_TRUE(claim.j["ready"].get<bool>());

  // Same at the byte level: the connection closes without a single response byte.
  Fault({{"action", "time"}, {"drop", true}, {"times", 1}});
  bool closed = false;
  std::string raw = test::RawTlsExchange(ts_->port(), ts_->ca_file(),
                                         "POST /api.php?action=time HTTP/1.1\r\nHost: localhost\r\n"
                                         "Content-Length: 2\r\n\r\n{}",
                                         3000, &closed);
  EXPECT_TRUE(closed) << raw;

  // run:true processes the request but still loses the answer.
  Fault({{"action", "task.consume"}, {"drop", true}, {"run", true}, {"times", 1}});
  std::string nonce = json::parse(test::Base64DecodeText(claim.j["payload"]))["nonce"];
  const std::string report = "{\"task_id\":" + task + ",\"nonce\":\"" + nonce +
                             "\",\"client_platform\":\"windows\",\"client_error_ms\":2,"
                             "\"result\":\"success\",\"result_detail\":\"x\"}";
  HttpResult lost = ts_->Call("task.consume", report, acc.token);
  EXPECT_FALSE(lost.received);
  EXPECT_EQ(ts_->Get("/__test/task?id=" + task).j["consumed"], true);
  // The client sends the report again and learns that it was taken.
  EXPECT_TRUE(ts_->Call("task.consume", report, acc.token).ok());
}

TEST_F(TestMode, DelayHoldsTheAnswerBack) {
  Fault({{"action", "time"}, {"delay_ms", 600}, {"times", 1}});
  auto start = std::chrono::steady_clock::now();
  HttpResult r = ts_->Call("time", "{}");
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_TRUE(r.ok());
  EXPECT_GE(ms, 600);
  // The delay comes before the action: the reported instants lie after it.
  EXPECT_GE(r.j["server_send_unix_us"].get<int64_t>() - r.j["server_receive_unix_us"].get<int64_t>(), 0);
}

TEST_F(TestMode, WildcardFaultAndSpecificFaultPrecedence) {
  Fault({{"action", "*"}, {"status", 500}, {"ok", false}, {"message", "全部失败"}});
  Fault({{"action", "time"}, {"set", {{"time_source", "ntsc_ntp"}}}});
  EXPECT_EQ(ts_->Call("health", "{}").status, 500);
  HttpResult t = ts_->Call("time", "{}");
  EXPECT_TRUE(t.ok());
  EXPECT_EQ(t.j["time_source"], "ntsc_ntp");
}

TEST_F(TestMode, FaultDefinitionsAreValidated) {
  for (const char *bad : {R"({"status":500})", R"({"action":"",  "status":500})", R"({"action":"me","status":1000})",
                          R"({"action":"me","omit":"id"})", R"({"action":"me","nonsense":1})", "not json"}) {
    HttpResult r = ts_->Post("/__test/fault", bad);
    EXPECT_EQ(r.status, 400) << bad;
    EXPECT_FALSE(r.message().empty()) << bad;
  }
}

TEST_F(TestMode, LastRequestKeepsHeaderLinesInOrderWithDuplicates) {
  std::string body = "{\"email\":\"a@b.cn\",\"password\":\"密码\"}";
  std::string request = "POST /api.php?action=auth.login HTTP/1.1\r\nHost: localhost\r\n"
                        "Content-Type: application/json\r\nAccept: application/json\r\n"
                        "X-Orvane-Platform: windows\r\nX-Orvane-Version: 0.9.10\r\nX-Orvane-Protocol: 2\r\n"
                        "X-Dup: one\r\nx-dup: two\r\nContent-Length: " + std::to_string(body.size()) +
                        "\r\nConnection: close\r\n\r\n" + body;
  std::string answer = test::RawTlsExchange(ts_->port(), ts_->ca_file(), request, 3000);
  EXPECT_NE(answer.find("HTTP/1.1 401"), std::string::npos) << answer;
  HttpResult r = ts_->Get("/__test/last-request?action=auth.login");
  ASSERT_TRUE(r.ok()) << r.body;
  json expected = json::array({{"Host", "localhost"}, {"Content-Type", "application/json"}, {"Accept", "application/json"},
                               {"X-Orvane-Platform", "windows"}, {"X-Orvane-Version", "0.9.10"},
                               {"X-Orvane-Protocol", "2"}, {"X-Dup", "one"}, {"x-dup", "two"},
                               {"Content-Length", std::to_string(body.size())}, {"Connection", "close"}});
  EXPECT_EQ(r.j["headers"], expected);
  EXPECT_EQ(r.j["body"], body);
  EXPECT_EQ(r.j["body_length"], body.size());
  EXPECT_EQ(r.j["method"], "POST");
  EXPECT_EQ(r.j["target"], "/api.php?action=auth.login");

  // Two requests on one kept-alive connection are recorded separately.
  std::string first = "POST /api.php?action=time HTTP/1.1\r\nHost: localhost\r\nX-First: 1\r\nContent-Length: 2\r\n\r\n{}";
  std::string second = "POST /api.php?action=health HTTP/1.1\r\nHost: localhost\r\nX-Second: 2\r\nContent-Length: 0\r\n"
                       "Connection: close\r\n\r\n";
  test::RawTlsExchange(ts_->port(), ts_->ca_file(), first + second, 3000);
  json health_headers = ts_->Get("/__test/last-request?action=health").j["headers"];
  EXPECT_EQ(health_headers, json::parse(R"([["Host","localhost"],["X-Second","2"],["Content-Length","0"],["Connection","close"]])"));
  EXPECT_EQ(ts_->Get("/__test/last-request?action=health").j["body_length"], 0);
  EXPECT_EQ(ts_->Get("/__test/last-request?action=never.called").status, 404);
}

TEST_F(TestMode, ConfigAndAdminPassthrough) {
  HttpResult cfg = ts_->Get("/__test/config");
  ASSERT_TRUE(cfg.ok());
  EXPECT_EQ(cfg.j["config"]["release_lead_ms"], 20000);
  EXPECT_EQ(cfg.j["port"], ts_->port());
  EXPECT_EQ(cfg.j["sign_public_key"], ts_->svc().Key().PublicKeyBase64());
  HttpResult set = ts_->Post("/__test/config", R"({"release_lead_ms":1500,"retry_after_ms":400})");
  ASSERT_TRUE(set.ok());
  EXPECT_EQ(set.j["config"]["release_lead_ms"], 1500);
  EXPECT_EQ(ts_->Post("/__test/config", R"({"release_lead_ms":-1})").status, 400);
  EXPECT_EQ(ts_->Post("/__test/config", R"({"no_such_setting":1})").status, 400);
  ts_->SetConfig({{"release_lead_ms", 20000}, {"retry_after_ms", 30000}});

  HttpResult made = ts_->Post("/__test/admin", R"({"args":["developer-create","devuser01","a-long-password"]})");
  ASSERT_TRUE(made.ok()) << made.body;
  EXPECT_NE(made.j["output"].get<std::string>().find("devuser01"), std::string::npos);
  HttpResult dup = ts_->Post("/__test/admin", R"({"args":["developer-create","devuser01","a-long-password"]})");
  EXPECT_EQ(dup.j["ok"], false);
  EXPECT_NE(dup.j["output"].get<std::string>().find("already exists"), std::string::npos);
  EXPECT_EQ(ts_->Post("/__test/admin", R"({"args":"accounts"})").status, 400);
  EXPECT_EQ(ts_->Get("/__test/task?id=999999").status, 404);
  EXPECT_EQ(ts_->Get("/__test/task?id=abc").status, 400);
  EXPECT_EQ(ts_->Get("/__test/outbox?email=bad").status, 400);
}

}  // namespace
}  // namespace orvane
