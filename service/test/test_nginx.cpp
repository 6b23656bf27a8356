// The deployment of service/deploy/: Debian's nginx in front of the service, started for real.
// Slow clients and idle connections that used to take every worker no longer starve anyone.
#include <thread>

#include <gtest/gtest.h>

#include "local_servers.h"
#include "test_support.h"
#include "tls.h"

namespace orvane {
namespace {

using test::HttpResult;

TEST(BehindNginx, SlowClientsAndIdleConnectionsNoLongerStarveOthers) {
  // Few workers, so that the attack would take all of them if it reached the service.
  test::TestService svc([](ServeOptions &o) {
    o.plain_http = true;
    o.threads = 8;
    o.real_ip_from = "127.0.0.1";
  });
  test::TempDir tls_dir;
  TlsFiles tls = EnsureDevTls(tls_dir.path());
  test::LocalNginx nginx({"127.0.0.1:" + std::to_string(svc.port())}, tls.server_cert, tls.server_key);
  ASSERT_TRUE(nginx.available()) << nginx.why();

  auto call = [&](const std::string &action, const std::string &body) {
    httplib::SSLClient c("localhost", nginx.port());
    c.set_ca_cert_path(tls.ca_cert.c_str());
    c.enable_server_certificate_verification(true);
    c.set_connection_timeout(3);
    c.set_read_timeout(3);
    auto r = c.Post(("/api.php?action=" + action).c_str(), httplib::Headers{{"X-Orvane-Version", "0.9.10"}}, body,
                    "application/json");
    HttpResult out;
    if (r) {
      out.received = true;
      out.status = r->status;
      out.body = r->body;
      out.j = test::json::parse(r->body, nullptr, false);
    }
    return out;
  };
  ASSERT_TRUE(call("time", "{}").ok());

  // 32 clients that send a header line now and then, and 200 that connect and say nothing.
  std::vector<std::unique_ptr<test::RawClient>> attackers;
  for (int i = 0; i < 32; ++i) {
    auto c = std::make_unique<test::RawClient>(nginx.port(), "127.0.0.2");
    ASSERT_TRUE(c->StartTls(tls.ca_cert));
    c->Send("POST /api.php?action=time HTTP/1.1\r\nHost: localhost\r\n");
    attackers.push_back(std::move(c));
  }
  for (int i = 0; i < 200; ++i) attackers.push_back(std::make_unique<test::RawClient>(nginx.port(), "127.0.0.3"));
  for (int round = 0; round < 6; ++round) {
    for (int i = 0; i < 32; ++i) attackers[i]->Send("X-Slow: " + std::to_string(round) + "\r\n");
    HttpResult t = call("time", "{}");
    EXPECT_TRUE(t.ok()) << "round " << round << ": " << t.body;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }

  // nginx keeps its own refusals in the service's answer shape, hides the test endpoints, and
  // names the client to the service.
  HttpResult big = call("time", std::string(70 * 1024, ' ') + "{}");
  EXPECT_EQ(big.status, 413);
  EXPECT_EQ(big.j.value("ok", true), false);
  httplib::SSLClient direct("localhost", nginx.port());
  direct.set_ca_cert_path(tls.ca_cert.c_str());
  direct.enable_server_certificate_verification(true);
  auto hidden = direct.Post("/__test/clear", "{}", "application/json");
  ASSERT_TRUE(hidden);
  EXPECT_EQ(hidden->status, 404);
  auto room_page = direct.Get("/room/no-such-token");  // passed on: the service's own page, not nginx's
  ASSERT_TRUE(room_page);
  EXPECT_EQ(room_page->status, 404);
  EXPECT_NE(room_page->body.find("没有这个房间结果"), std::string::npos) << room_page->body;
  httplib::Client plain("127.0.0.1", svc.port());
  auto last = plain.Get("/__test/last-request?action=time");
  ASSERT_TRUE(last);
  EXPECT_NE(last->body.find("X-Real-IP"), std::string::npos) << last->body;
}

// nginx keeps its connections to the service open between requests. A request the service cannot
// read must not leave its body there to be read as the next request: such a body could carry an
// X-Real-IP of its own choosing, which the service believes of its proxy. Here the body asks for a
// registration code as if from another address; the code must never be sent.
TEST(BehindNginx, UnreadableRequestCannotCarryAnotherInItsBody) {
  test::TestService svc([](ServeOptions &o) {
    o.plain_http = true;
    o.real_ip_from = "127.0.0.1";
  });
  test::TempDir tls_dir;
  TlsFiles tls = EnsureDevTls(tls_dir.path());
  test::LocalNginx nginx({"127.0.0.1:" + std::to_string(svc.port())}, tls.server_cert, tls.server_key);
  ASSERT_TRUE(nginx.available()) << nginx.why();
  struct Case {
    std::string name, request_line, headers;
  } cases[] = {
      {"unknown method", "BREW /api.php?action=time HTTP/1.1", ""},
      {"header line over 8 KiB", "POST /api.php?action=time HTTP/1.1", "X-Long: " + std::string(9000, 'a') + "\r\n"},
  };
  httplib::Client plain("127.0.0.1", svc.port());
  for (const auto &c : cases) {
    std::string email = test::UniqueEmail("smuggled");
    std::string code_body = "{\"email\":\"" + email + "\",\"purpose\":\"register\"}";
    std::string inner = test::RawApiRequest(
        "auth.send_code", code_body,
        "X-Real-IP: 203.0.113.7\r\nContent-Length: " + std::to_string(code_body.size()) + "\r\n");
    test::RawClient client(nginx.port());
    ASSERT_TRUE(client.StartTls(tls.ca_cert)) << c.name;
    client.Send(c.request_line + "\r\nHost: localhost\r\n" + c.headers + "Content-Length: " +
                std::to_string(inner.size()) + "\r\nConnection: close\r\n\r\n" + inner);
    std::string answer = client.Read(5000);
    EXPECT_EQ(answer.rfind("HTTP/1.1 400", 0), 0u) << c.name << ": " << answer.substr(0, 300);
    // Requests after it, on nginx's kept connections, are served as before.
    {
      httplib::SSLClient c2("localhost", nginx.port());
      c2.set_ca_cert_path(tls.ca_cert.c_str());
      c2.enable_server_certificate_verification(true);
      auto r = c2.Post("/api.php?action=time", httplib::Headers{{"X-Orvane-Version", "0.9.10"}}, "{}", "application/json");
      ASSERT_TRUE(r) << c.name;
      EXPECT_EQ(r->status, 200) << c.name << ": " << r->body;
    }
    auto mail = plain.Get(("/__test/outbox?email=" + email).c_str());
    ASSERT_TRUE(mail) << c.name;
    EXPECT_EQ(mail->status, 404) << c.name << ": a code was sent by the smuggled request: " << mail->body;
  }
}

// nginx's TLS 1.2 suites are the service's own: forward-secret AEAD ones only.
TEST(BehindNginx, OffersOnlyForwardSecretAeadSuites) {
  test::TestService svc([](ServeOptions &o) { o.plain_http = true; });
  test::TempDir tls_dir;
  TlsFiles tls = EnsureDevTls(tls_dir.path());
  test::LocalNginx nginx({"127.0.0.1:" + std::to_string(svc.port())}, tls.server_cert, tls.server_key);
  ASSERT_TRUE(nginx.available()) << nginx.why();
  for (size_t i = 0; i < test::kTls12SuiteCount; ++i) {
    const auto &s = test::kTls12Suites[i];
    std::string got = test::NegotiatedSuite(nginx.port(), std::string("-tls1_2 -cipher '") + s.name + ":@SECLEVEL=0'");
    EXPECT_EQ(got, s.accepted ? s.name : "") << s.name;
  }
  EXPECT_EQ(test::NegotiatedSuite(nginx.port(), "-tls1_1 -cipher 'ALL:@SECLEVEL=0'"), "");
}

}  // namespace
}  // namespace orvane
