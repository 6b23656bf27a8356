// Pure rules: versions, input formats, claim schedule, instruction text, fault shaping, options.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "admin.h"
#include "blacklist_code.h"
#include "config.h"
#include "instruction.h"
#include "testmode.h"
#include "validate.h"

namespace orvane {
namespace {

TEST(Versions, CompareNumericallyPerComponent) {
  struct Case {
    const char *a, *b;
    int expected;
  } cases[] = {
      {"0.9.10", "0.9.9", 1}, {"0.9.9", "0.9.10", -1}, {"0.9.10", "0.9.10", 0}, {"0.9", "0.9.0", 0},
      {"1.0.0", "0.99.99", 1}, {"0.9.0", "0.9.0.1", -1}, {"10.0", "9.9", 1},
  };
  for (const auto &c : cases) {
    auto a = ParseVersion(c.a), b = ParseVersion(c.b);
    ASSERT_TRUE(a && b) << c.a << " " << c.b;
    EXPECT_EQ(CompareVersions(*a, *b), c.expected) << c.a << " vs " << c.b;
  }
}

TEST(Versions, RejectMalformedText) {
  for (const char *bad : {"", "v0.9.10", "0..9", "0.9.", ".9", "0.9.x", "1.2.3.4.5", "0.9.10 ", "1234567890.1"})
    EXPECT_FALSE(ParseVersion(bad).has_value()) << "'" << bad << "'";
}

TEST(InputRules, EmailAddresses) {
  struct Case {
    const char *in;
    const char *out;  // nullptr: refused
  } cases[] = {
      {"User@Example.CN", "user@example.cn"}, {"a@b", "a@b"},           {"@b.cn", nullptr},
      {"a@", nullptr},                       {"a@@b.cn", nullptr},     {"a b@c.cn", nullptr},
      {"a\"b@c.cn", nullptr},                {"a@b..cn", nullptr},     {"a@.cn", nullptr},
      {"ab", nullptr},                       {"a\\b@c.cn", nullptr},   {"x@y@z", nullptr},
  };
  for (const auto &c : cases) {
    auto r = NormaliseEmail(c.in);
    if (c.out) {
      ASSERT_TRUE(r.has_value()) << c.in;
      EXPECT_EQ(*r, c.out);
    } else {
      EXPECT_FALSE(r.has_value()) << c.in;
    }
  }
  EXPECT_TRUE(NormaliseEmail(std::string(186, 'a') + "@b.cn").has_value() == false);  // 191 bytes
  EXPECT_TRUE(NormaliseEmail(std::string(185, 'a') + "@b.cn").has_value());           // 190 bytes
}

TEST(InputRules, UsernamesPasswordsCodesDevices) {
  EXPECT_TRUE(IsValidUsername("dev1"));
  EXPECT_TRUE(IsValidUsername(std::string(32, 'x')));
  EXPECT_FALSE(IsValidUsername("dev"));
  EXPECT_FALSE(IsValidUsername(std::string(33, 'x')));
  EXPECT_FALSE(IsValidUsername("dev@x"));
  EXPECT_FALSE(IsValidUsername("dev user"));
  EXPECT_TRUE(PasswordLengthOk("密码密码密码密码", 8, 200));  // counted in characters, not bytes
  EXPECT_FALSE(PasswordLengthOk("密码密码", 8, 200));
  EXPECT_TRUE(IsSixDigitCode("012345"));
  for (const char *bad : {"12345", "1234567", "12a456", "", " 12345"}) EXPECT_FALSE(IsSixDigitCode(bad)) << bad;
  EXPECT_TRUE(IsValidDeviceId(std::string(32, 'f')));
  EXPECT_FALSE(IsValidDeviceId(std::string(15, 'f')));
  EXPECT_FALSE(IsValidDeviceId(std::string(31, 'f') + " "));
  EXPECT_FALSE(IsValidDeviceId(std::string(31, 'f') + "\""));
}

TEST(InputRules, RoomCodes) {
  struct Case {
    const char *in;
    const char *out;
  } cases[] = {{"ab-12", "AB-12"}, {"ROOM_2024", "ROOM_2024"}, {"abc", nullptr}, {"ABCDEFGHIJKLMNOPQ", nullptr},
               {"AB 12", nullptr}, {"ABÄ12", nullptr},          {"ABCD", "ABCD"}, {"ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP"}};
  for (const auto &c : cases) {
    auto r = NormaliseRoomCode(c.in);
    if (c.out) {
      ASSERT_TRUE(r) << c.in;
      EXPECT_EQ(*r, c.out);
    } else {
      EXPECT_FALSE(r) << c.in;
    }
  }
}

// The table of texts the client's tests hold the client's rule to as well: one rule on both sides.
std::vector<std::pair<std::string, std::string>> TopUpAmountTable() {
  std::ifstream in(ORVANE_TOP_UP_AMOUNTS);
  std::vector<std::pair<std::string, std::string>> rows;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    std::string text;
    for (size_t i = tab + 1; i < line.size(); ++i) {
      if (line[i] != '\\' || i + 1 == line.size()) {
        text.push_back(line[i]);
        continue;
      }
      switch (line[++i]) {
        case 't': text.push_back('\t'); break;
        case 'n': text.push_back('\n'); break;
        case 'v': text.push_back('\v'); break;
        case 'f': text.push_back('\f'); break;
        case 'r': text.push_back('\r'); break;
        default: text.push_back(line[i]);
      }
    }
    rows.emplace_back(line.substr(0, tab), text);
  }
  return rows;
}

TEST(InputRules, PaymentAmounts) {
  const auto rows = TopUpAmountTable();
  ASSERT_GT(rows.size(), 40u) << ORVANE_TOP_UP_AMOUNTS;
  for (const auto &[expected, text] : rows) {
    auto fen = ParseAmountFen(text);
    if (expected == "refused")
      EXPECT_FALSE(fen.has_value()) << "'" << text << "' gave " << fen.value_or(0);
    else
      EXPECT_EQ(fen.value_or(-1), std::stoll(expected)) << "'" << text << "'";
  }
}

TEST(InputRules, Sha256AndHostPort) {
  EXPECT_EQ(NormaliseSha256(std::string(64, 'A')).value_or(""), std::string(64, 'a'));
  EXPECT_FALSE(NormaliseSha256(std::string(63, 'a')));
  EXPECT_FALSE(NormaliseSha256(std::string(63, 'a') + "g"));
  auto hp = ParseHostPort("127.0.0.1:8443");
  ASSERT_TRUE(hp);
  EXPECT_EQ(hp->host, "127.0.0.1");
  EXPECT_EQ(hp->port, 8443);
  auto v6 = ParseHostPort("[::1]:123");
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->host, "::1");
  EXPECT_EQ(v6->port, 123);
  for (const char *bad : {"localhost", ":80", "host:", "host:65536", "host:8a", "::1:80", "[::1]80"})
    EXPECT_FALSE(ParseHostPort(bad)) << bad;
}

TEST(ClaimSchedule, WaitsReleasesAndExpires) {
  const int64_t exec = 1'000'000;
  struct Case {
    int64_t now;
    ClaimPhase phase;
    int64_t retry;
  } cases[] = {
      {exec - 100'000, ClaimPhase::kWaiting, exec - 100'000 + 30'000},  // far: capped by retry_after
      {exec - 25'000, ClaimPhase::kWaiting, exec - 20'000},             // near: retry at the release moment
      {exec - 20'001, ClaimPhase::kWaiting, exec - 20'000},
      {exec - 20'000, ClaimPhase::kReleased, 0},                        // release moment itself
      {exec + 60'000, ClaimPhase::kReleased, 0},                        // last valid moment
      {exec + 60'001, ClaimPhase::kExpired, 0},
  };
  for (const auto &c : cases) {
    ClaimSchedule s = ScheduleClaim(c.now, exec, 20'000, 30'000, 60'000);
    EXPECT_EQ(s.phase, c.phase) << c.now;
    EXPECT_EQ(s.release_at_ms, exec - 20'000);
    if (c.phase == ClaimPhase::kWaiting) {
      EXPECT_EQ(s.retry_at_ms, c.retry) << c.now;
    }
  }
}

TEST(Instruction, ExactTextInDocumentedOrder) {
  Instruction in;
  in.task_id = 42;
  in.user_id = 7;
  in.target_x = -5;
  in.target_y = 300;
  in.executable_sha256 = std::string(64, 'b');
  in.execute_at_ms = 1700000000123;
  in.expires_at_ms = 1700000060123;
  in.nonce = "00ff";
  EXPECT_EQ(BuildInstructionJson(in),
            "{\"taskId\":42,\"userId\":7,\"action\":\"single_click\",\"targetX\":-5,\"targetY\":300,"
            "\"executableSha256\":\"" + std::string(64, 'b') +
                "\",\"executeAtMs\":1700000000123,\"expiresAtMs\":1700000060123,\"nonce\":\"00ff\"}");
}

TEST(TaskState, NamesFollowTheLifecycle) {
  EXPECT_EQ(TaskStateName(false, false, false, 1000, 60, 0, std::nullopt), "assigned");
  EXPECT_EQ(TaskStateName(true, false, false, 1000, 60, 0, std::nullopt), "confirmed");
  EXPECT_EQ(TaskStateName(true, true, false, 1000, 60, 0, 1060), "released");
  EXPECT_EQ(TaskStateName(true, true, true, 1000, 60, 5000, 1060), "consumed");
  EXPECT_EQ(TaskStateName(true, true, false, 1000, 60, 1061, 1060), "expired");
  EXPECT_EQ(TaskStateName(true, false, false, 1000, 60, 1061, std::nullopt), "expired");
}

TEST(RawHeaders, KeepOrderDuplicatesAndSpelling) {
  std::string raw =
      "POST /api.php?action=time HTTP/1.1\r\nHost: localhost\r\nX-B:  two  \r\nx-a: one\r\nX-B: three\r\n"
      "Authorization: Bearer t\r\n\r\n{\"a\":1}";
  auto h = ParseRawHeaders(raw);
  std::vector<std::pair<std::string, std::string>> expected = {
      {"Host", "localhost"}, {"X-B", "two"}, {"x-a", "one"}, {"X-B", "three"}, {"Authorization", "Bearer t"}};
  EXPECT_EQ(h, expected);
  EXPECT_TRUE(ParseRawHeaders("GET / HTTP/1.1\r\n\r\n").empty());
  // Lines ended by a bare line feed, as the HTTP library also reads them: the body is not a header.
  std::vector<std::pair<std::string, std::string>> bare = {{"Host", "x"}, {"Content-Length", "2"}};
  EXPECT_EQ(ParseRawHeaders("POST / HTTP/1.1\nHost: x\r\nContent-Length: 2\n\n{\"a:\":1}"), bare);
}

TEST(Faults, ShapeTheAnswer) {
  Reply normal{200, OJson::parse(R"({"ok":true,"id":5,"token":"t","credits":3})")};
  auto parse = [](const char *text) { return std::get<Fault>(ParseFault(Json::parse(text))); };
  struct Case {
    const char *fault;
    int status;
    const char *body;
  } cases[] = {
      {R"({"ok":false,"message":"坏了"})", 200, R"({"ok":false,"message":"坏了"})"},
      {R"({"ok":false})", 200, R"({"ok":false,"message":"测试注入的服务错误"})"},
      {R"({"status":500})", 500, R"({"ok":true,"id":5,"token":"t","credits":3})"},
      {R"({"omit":["id","token"]})", 200, R"({"ok":true,"credits":3})"},
      {R"({"set":{"credits":"x","extra":[1]}})", 200, R"({"ok":true,"id":5,"token":"t","credits":"x","extra":[1]})"},
      {R"({"omit":["ok"]})", 200, R"({"id":5,"token":"t","credits":3})"},
      {R"({"raw_body":"","status":204})", 204, ""},
      {R"({"raw_body":"not json"})", 200, "not json"},
  };
  for (const auto &c : cases) {
    WireAnswer w = ApplyFault(parse(c.fault), normal);
    EXPECT_EQ(w.status, c.status) << c.fault;
    EXPECT_EQ(w.body, c.body) << c.fault;
  }
  Reply failed{402, FailBody("积分不足")};
  EXPECT_EQ(ApplyFault(parse(R"({"ok":true})"), failed).body, R"({"ok":true,"message":"积分不足"})");
  EXPECT_EQ(ApplyFault(parse(R"({"content_type":"text/plain"})"), normal).content_type, "text/plain");
}

TEST(Faults, WhichFaultsRunTheAction) {
  auto parse = [](const char *text) { return std::get<Fault>(ParseFault(Json::parse(text))); };
  EXPECT_FALSE(parse(R"({"drop":true})").RunsAction());
  EXPECT_FALSE(parse(R"({"raw_body":"x"})").RunsAction());
  EXPECT_FALSE(parse(R"({"ok":false})").RunsAction());
  EXPECT_TRUE(parse(R"({"drop":true,"run":true})").RunsAction());
  EXPECT_TRUE(parse(R"({"status":503})").RunsAction());
  EXPECT_TRUE(parse(R"({"delay_ms":10,"omit":["x"]})").RunsAction());
}

TEST(Faults, RejectMalformedDefinitions) {
  for (const char *bad : {R"({"status":99})", R"({"status":"500"})", R"({"omit":"id"})", R"({"omit":[1]})",
                          R"({"set":[1]})", R"({"times":0})", R"({"delay_ms":-1})", R"({"drop":1})",
                          R"({"unknown":true})", R"([1])"}) {
    EXPECT_TRUE(std::holds_alternative<std::string>(ParseFault(Json::parse(bad)))) << bad;
  }
}

TEST(Faults, TimesCountsUsesAndWildcardApplies) {
  TestControl tc;
  Fault f;
  f.status = 500;
  f.times = 2;
  tc.SetFault("me", f);
  Fault any;
  any.status = 418;
  tc.SetFault("*", any);
  EXPECT_EQ(tc.TakeFault("me")->status, 500);
  EXPECT_EQ(tc.TakeFault("me")->status, 500);
  EXPECT_EQ(tc.TakeFault("me")->status, 418);  // own fault used up, the wildcard remains
  EXPECT_EQ(tc.TakeFault("time")->status, 418);
  tc.Clear();
  EXPECT_FALSE(tc.TakeFault("me"));
}

TEST(RuntimeConfigPatch, AppliesAllOrNothing) {
  RuntimeConfig c;
  EXPECT_FALSE(c.Apply(Json::parse(R"({"release_lead_ms":5000,"alipay":false})")));
  EXPECT_EQ(c.release_lead_ms, 5000);
  EXPECT_FALSE(c.alipay);
  auto err = c.Apply(Json::parse(R"({"release_lead_ms":1,"points_per_yuan":0})"));
  ASSERT_TRUE(err);
  EXPECT_EQ(c.release_lead_ms, 5000);  // untouched because the patch as a whole failed
  for (const char *bad : {R"({"nope":1})", R"({"min_version":"x"})", R"({"wxpay":"yes"})",
                          R"({"claim_expiry_ms":1.5})", R"({"retry_after_ms":0})"})
    EXPECT_TRUE(c.Apply(Json::parse(bad))) << bad;
}

TEST(ServeArguments, ParsesAndRefuses) {
  std::string err;
  auto o = ParseServeArgs({"--data", "/d", "--listen", "127.0.0.1:0", "--ntp", "127.0.0.1:1123", "--test-mode",
                           "--min-version", "0.9.5", "--release-lead-ms", "1500", "--starting-credits", "7",
                           "--plain-http", "--time-uncertainty-ms", "2.5", "--db-connections", "3"},
                          err);
  ASSERT_TRUE(o) << err;
  EXPECT_EQ(o->data_dir, "/d");
  EXPECT_EQ(o->listen_port, 0);
  EXPECT_EQ(o->ntp_port, 1123);
  EXPECT_TRUE(o->test_mode);
  EXPECT_TRUE(o->plain_http);
  EXPECT_EQ(o->runtime.min_version, "0.9.5");
  EXPECT_EQ(o->runtime.release_lead_ms, 1500);
  EXPECT_EQ(o->runtime.starting_credits, 7);
  EXPECT_DOUBLE_EQ(o->runtime.time_uncertainty_ms, 2.5);
  EXPECT_EQ(o->db_connections, 3);
  const std::vector<std::vector<std::string>> bad = {
      {"--listen", "127.0.0.1:1"},                                  // no data dir
      {"--data", "/d"},                                             // no listen address
      {"--data", "/d", "--listen", "nohost"},                       //
      {"--data", "/d", "--listen", "h:1", "--tls-cert", "c"},       // key missing
      {"--data", "/d", "--listen", "h:1", "--min-version", "abc"},  //
      {"--data", "/d", "--listen", "h:1", "--release-lead-ms", "-1"},
      {"--data", "/d", "--listen", "h:1", "--bogus"},
      {"--data", "/d", "--listen", "h:1", "--db-connections", "0"},
      {"--data", "/d", "--listen", "h:1", "--time-uncertainty-ms", "-1"},
      {"--data", "/d", "--listen", "h:1", "--time-uncertainty-ms", "1ms"},
      {"--data"},
  };
  for (const auto &args : bad) {
    std::string e;
    EXPECT_FALSE(ParseServeArgs(args, e));
    EXPECT_FALSE(e.empty());
  }
}

TEST(BlacklistRecord, ChecksEveryMember) {
  const int64_t now = 1'800'000'000'000;
  auto make = [&](const std::string &patch_key, const Json &value) {
    Json j = {{"v", 1},
              {"displayName", "记事本"},
              {"executableName", "notepad.exe"},
              {"executableSha256", std::string(64, 'C')},
              {"blockReason", "演示用"},
              {"userId", 9},
              {"issuedAtMs", now - 1000},
              {"expiresAtMs", now - 1000 + kBlacklistCodeLifetimeMs}};
    if (!patch_key.empty()) {
      if (value.is_null()) j.erase(patch_key);
      else j[patch_key] = value;
    }
    return j.dump();
  };
  auto ok = ParseBlacklistRecord(make("", nullptr), now);
  ASSERT_TRUE(std::holds_alternative<BlacklistRecord>(ok));
  EXPECT_EQ(std::get<BlacklistRecord>(ok).executable_sha256, std::string(64, 'c'));
  EXPECT_EQ(std::get<BlacklistRecord>(ok).user_id, 9);
  struct Bad {
    const char *key;
    Json value;
  } bad[] = {
      {"v", 2},
      {"displayName", nullptr},
      {"displayName", std::string(101, 'x')},
      {"blockReason", ""},
      {"executableSha256", "abc"},
      {"userId", 0},
      {"userId", "9"},
      {"expiresAtMs", now - 1},                                        // expired
      {"expiresAtMs", now - 1000 + kBlacklistCodeLifetimeMs + 1},      // longer than seven days
      {"issuedAtMs", nullptr},
  };
  for (const auto &b : bad)
    EXPECT_TRUE(std::holds_alternative<std::string>(ParseBlacklistRecord(make(b.key, b.value), now))) << b.key;
  EXPECT_TRUE(std::holds_alternative<std::string>(ParseBlacklistRecord("[1,2]", now)));
  EXPECT_TRUE(std::holds_alternative<std::string>(ParseBlacklistRecord("not json", now)));
}

}  // namespace
}  // namespace orvane
