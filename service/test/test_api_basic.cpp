// The envelope every action shares: JSON answers with "ok" first, raw UTF-8 messages, statuses
// for malformed requests and missing sessions; "health" and "time".
#include <gtest/gtest.h>

#include "test_support.h"

namespace orvane {
namespace {

using test::HttpResult;

class Envelope : public test::SharedServiceTest {
 protected:
  void TearDown() override {
    ts_->ClearFaults();
    ts_->Post("/__test/clock", R"({"service_offset_us":0,"sntp_offset_us":0})");
    ts_->SetConfig({{"min_version", "0.9.0"}});
  }
};

TEST_F(Envelope, HealthJudgesTheClientVersionNumerically) {
  struct Case {
    const char *version;  // nullptr: header absent
    bool update;
  } cases[] = {{"0.9.10", false}, {"0.9.0", false}, {"1.0", false}, {"0.8.99", true}, {"0.8", true},
               {"garbage", true}, {nullptr, true}};
  for (const auto &c : cases) {
    std::vector<std::pair<std::string, std::string>> h;
    if (c.version) h.push_back({"X-Orvane-Version", c.version});
    else h.push_back({"X-Orvane-Version", ""});
    HttpResult r = ts_->Call("health", "{}", "", h);
    ASSERT_TRUE(r.ok()) << r.body;
    EXPECT_EQ(r.j["update_required"].get<bool>(), c.update) << (c.version ? c.version : "(none)");
    EXPECT_EQ(r.j["latest_version"], "0.9.10");
    EXPECT_EQ(r.j["download_url"], "https://localhost:" + std::to_string(ts_->port()) + "/download/");
  }
  ts_->SetConfig({{"min_version", "0.9.11"}});
  EXPECT_TRUE(ts_->Call("health", "{}").j["update_required"].get<bool>());
  auto page = ts_->Get("/download/");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("0.9.10"), std::string::npos);
}

TEST_F(Envelope, MalformedRequestsGetAClearJsonFailure) {
  struct Case {
    const char *action;
    std::string body;
    int status;
    const char *message_part;
  } cases[] = {
      {"health", "", 400, "JSON"},
      {"health", "{\"a\":", 400, "JSON"},
      {"health", "[1,2]", 400, "JSON 对象"},
      {"health", "\"text\"", 400, "JSON 对象"},
      {"no.such.action", "{}", 404, "未知的操作"},
      {"", "{}", 400, "action"},
      {"health", std::string(70000, ' ') + "{}", 413, "过大"},
      {"auth.login", R"({"email":5,"password":"x"})", 400, "email"},
      {"auth.login", R"({"password":"x"})", 400, "email"},
      {"auth.login", R"({"email":"a@b.cn","password":"x","privacy_notice_accepted":"yes"})", 400,
       "privacy_notice_accepted"},
  };
  for (const auto &c : cases) {
    HttpResult r = ts_->Call(c.action, c.body);
    ASSERT_TRUE(r.received) << c.action;
    EXPECT_EQ(r.status, c.status) << c.action << " " << c.body.substr(0, 40);
    ASSERT_TRUE(r.j.is_object()) << r.body;
    EXPECT_EQ(r.body.rfind("{\"ok\":false,", 0), 0u) << r.body;
    EXPECT_NE(r.message().find(c.message_part), std::string::npos) << r.body;
  }
  auto get = ts_->Get("/api.php?action=health");
  EXPECT_EQ(get.status, 405);
  EXPECT_FALSE(get.j.value("ok", true));
  auto missing = ts_->Get("/nowhere");
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.body.rfind("{\"ok\":false,", 0), 0u);
}

TEST_F(Envelope, MessagesAreRawUtf8AndOkComesFirst) {
  HttpResult r = ts_->Call("me", "{}");
  EXPECT_EQ(r.status, 401);
  EXPECT_EQ(r.body, "{\"ok\":false,\"message\":\"请先登录\"}");  // no \u escapes
  EXPECT_NE(r.content_type.find("application/json"), std::string::npos);
  for (const char *action : {"health", "time"}) {
    HttpResult ok = ts_->Call(action, "{}");
    EXPECT_EQ(ok.body.rfind("{\"ok\":true,", 0), 0u) << ok.body;
  }
}

TEST_F(Envelope, EveryProtectedActionNeedsALiveSession) {
  const char *actions[] = {"me", "payment.create", "app.check", "room.create", "room.join", "room.confirm",
                           "match.create", "task.claim", "task.consume", "account.delete.request"};
  for (const char *a : actions) {
    HttpResult none = ts_->Call(a, "{}");
    EXPECT_EQ(none.status, 401) << a;
    EXPECT_EQ(none.message(), "请先登录") << a;
    HttpResult bogus = ts_->Call(a, "{}", "not-a-real-token");
    EXPECT_EQ(bogus.status, 401) << a;
    EXPECT_EQ(bogus.message(), "登录已失效，请重新登录") << a;
    HttpResult wrong_scheme = ts_->Call(a, "{}", "", {{"Authorization", "Basic abc"}});
    EXPECT_EQ(wrong_scheme.status, 401) << a;
  }
  // "time" is served with or without a session, even with a stale one.
  EXPECT_TRUE(ts_->Call("time", "{}", "stale-token").ok());
}

TEST_F(Envelope, TimeReportsReceiveAndSendInstants) {
  int64_t before_us = test::NowMs() * 1000;
  HttpResult r = ts_->Call("time", "{}");
  int64_t after_us = (test::NowMs() + 1) * 1000;
  ASSERT_TRUE(r.ok()) << r.body;
  int64_t recv = r.j["server_receive_unix_us"], send = r.j["server_send_unix_us"], ms = r.j["server_unix_ms"];
  EXPECT_LE(before_us, recv);
  EXPECT_LE(recv, send);
  EXPECT_LE(send, after_us);
  EXPECT_EQ(ms, send / 1000);
  EXPECT_EQ(r.j["time_source"], "system_fallback");
  EXPECT_TRUE(r.j["source_uncertainty_ms"].is_number());
  EXPECT_GE(r.j["source_uncertainty_ms"].get<double>(), 0.0);

  ASSERT_TRUE(ts_->Post("/__test/clock", R"({"service_offset_us":-3600000000})").ok());
  HttpResult shifted = ts_->Call("time", "{}");
  EXPECT_NEAR(static_cast<double>(shifted.j["server_unix_ms"].get<int64_t>() - test::NowMs()), -3.6e6, 2000);
  EXPECT_FALSE(ts_->Post("/__test/clock", R"({"service_offset_us":"5"})").ok());
}

TEST(TestEndpoints, AbsentWithoutTestMode) {
  test::TestService ts([](ServeOptions &o) { o.test_mode = false; });
  for (const char *path : {"/__test/clear", "/__test/fault", "/__test/clock", "/__test/admin", "/__test/config"}) {
    HttpResult r = ts.Post(path, R"({"action":"time","status":500})");
    EXPECT_EQ(r.status, 404) << path;
  }
  EXPECT_EQ(ts.Get("/__test/last-request?action=time").status, 404);
  EXPECT_TRUE(ts.Call("time", "{}").ok());  // and nothing was injected
}

TEST(PlainHttp, ServesTheSameApi) {
  test::TestService ts([](ServeOptions &o) { o.plain_http = true; });
  httplib::Client c("127.0.0.1", ts.port());
  auto r = c.Post("/api.php?action=health", httplib::Headers{{"X-Orvane-Version", "0.9.10"}}, "{}", "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body.rfind("{\"ok\":true,\"update_required\":false", 0), 0u) << r->body;
  EXPECT_EQ(ts.svc().ListeningLine(), "listening on http://localhost:" + std::to_string(ts.port()) + "/api.php");
}

}  // namespace
}  // namespace orvane
