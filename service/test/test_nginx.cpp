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
  httplib::Client plain("127.0.0.1", svc.port());
  auto last = plain.Get("/__test/last-request?action=time");
  ASSERT_TRUE(last);
  EXPECT_NE(last->body.find("X-Real-IP"), std::string::npos) << last->body;
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
