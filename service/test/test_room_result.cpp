// The room's result as its participants, the operator and anyone holding the page's link see it:
// the reports it rests on, the answer of room.result, `admin rooms show`, and the page in a browser.
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "room_result.h"
#include "test_support.h"

namespace orvane {
namespace {

using test::HttpResult;
using test::json;
using ojson = nlohmann::ordered_json;

struct Seat {
  test::LoginInfo acc;
  int64_t task = 0;
  std::string nonce;  // empty until its instruction is claimed
};
struct TestRoom {
  std::string code;
  int64_t at = 0;
  std::vector<Seat> seats;
};

// What one participant is told at one moment. The counts follow from the machines' states; a
// machine's timing error is shown only for a click, its shown uncertainty for any report.
struct Expected {
  std::vector<std::string> states;
  size_t self;  // the asking seat
  ojson spread, bound;
};

class RoomResults : public test::SharedServiceTest {
 protected:
  void TearDown() override { ClockAt(0); }
  // The service's clock set to read `ms` now (0: the true time again).
  static void ClockAt(int64_t ms) {
    int64_t offset_us = ms ? (ms - test::NowMs()) * 1000 : 0;
    ASSERT_TRUE(ts_->Post("/__test/clock", "{\"service_offset_us\":" + std::to_string(offset_us) + "}").ok());
  }
  // A room whose instant is 5 s ahead, inside the release lead, so that instructions are handed out
  // at once; every seat confirmed, the first `claimed` holding their instruction.
  static TestRoom MakeRoom(const std::string &tag, size_t n, size_t claimed) {
    TestRoom room{tag + "-" + std::to_string(getpid() % 100000), 0, std::vector<Seat>(n)};
    for (Seat &s : room.seats) s.acc = ts_->NewAccount();  // password hashing first: it takes its time
    room.at = ts_->svc().Clock().NowMs() + 5000;
    for (size_t i = 0; i < n; ++i) {
      Seat &s = room.seats[i];
      std::string create = ",\"execute_at_ms\":" + std::to_string(room.at) + ",\"capacity\":" + std::to_string(n);
      HttpResult r = ts_->Call(i ? "room.join" : "room.create",
                               "{\"room_code\":\"" + room.code + "\"" + (i ? "" : create) + "," + test::TaskFieldsJson() + "}",
                               s.acc.token);
      s.task = r.j.value("task_id", int64_t{0});
      EXPECT_TRUE(ts_->Call("room.confirm", "{\"task_id\":" + std::to_string(s.task) + "," + test::TaskFieldsJson() + "}",
                            s.acc.token).ok()) << r.body;
      if (i < claimed) {
        // While it waits a machine learns how full its room is.
        HttpResult c = Claim(s);
        EXPECT_EQ(c.j.value("room_capacity", int64_t{0}), static_cast<int64_t>(n)) << c.body;
        EXPECT_EQ(c.j.value("room_joined", int64_t{0}), static_cast<int64_t>(i + 1)) << c.body;
      }
    }
    return room;
  }
  static HttpResult Claim(Seat &s) {
    HttpResult c = ts_->Call("task.claim", "{\"task_id\":" + std::to_string(s.task) + "}", s.acc.token);
    s.nonce = json::parse(test::Base64DecodeText(c.j.value("payload", "")), nullptr, false).value("nonce", "");
    EXPECT_FALSE(s.nonce.empty()) << c.body;
    return c;
  }
  static HttpResult Report(const Seat &s, int64_t error_ms, const std::string &result, const json &extra = json::object(),
                           const std::string &detail = "本机已提交一次触发") {
    json body = {{"task_id", s.task},        {"nonce", s.nonce},   {"client_platform", "windows"},
                 {"client_error_ms", error_ms}, {"result", result}, {"result_detail", detail}};
    body.update(extra);
    return ts_->Call("task.consume", body.dump(), s.acc.token);
  }
  static HttpResult Result(const Seat &s, int64_t task = 0) {
    return ts_->Call("room.result", "{\"task_id\":" + std::to_string(task ? task : s.task) + "}", s.acc.token);
  }
  // `errors` and `uncertainties`: what each seat reported (null: nothing). The answer is compared
  // whole and in order: the client reads each member by the first occurrence of its key.
  static void Check(const HttpResult &r, const TestRoom &room, const std::vector<ojson> &errors,
                    const std::vector<ojson> &uncertainties, const Expected &e) {
    ASSERT_TRUE(r.ok()) << r.body;
    ojson got = ojson::parse(r.body), machines = ojson::array();
    auto count = [&](const char *state) -> int64_t { return std::count(e.states.begin(), e.states.end(), state); };
    std::string not_clicked;
    for (size_t i = 0; i < e.states.size(); ++i) {
      const std::string &state = e.states[i];
      if (state != "clicked" && state != "pending") not_clicked += (not_clicked.empty() ? "" : "、") + std::to_string(i + 1);
      bool reported = state != "pending" && state != "no_report";
      machines.push_back({{"number", i + 1}, {"self", i == e.self}, {"state", state}, {"detail", got["machines"][i]["detail"]},
                          {"error_ms", state == "clicked" ? errors[i] : ojson()},
                          {"shown_uncertainty_ms", reported ? uncertainties[i] : ojson()}});
    }
    const int64_t n = static_cast<int64_t>(room.seats.size());
    const ojson want = {
        {"ok", true}, {"code", room.code}, {"execute_at_ms", room.at}, {"capacity", n}, {"joined", n}, {"confirmed", n},
        {"claimed", std::count_if(room.seats.begin(), room.seats.end(), [](const Seat &s) { return !s.nonce.empty(); })},
        {"reported", count("clicked") + count("missed") + count("failed")}, {"clicked", count("clicked")},
        {"missed_count", count("missed")}, {"failed_count", count("failed")}, {"waiting_count", count("pending")},
        {"silent_count", count("no_report")}, {"complete", count("pending") == 0}, {"self_number", e.self + 1},
        {"not_clicked_list", not_clicked}, {"spread_ms", e.spread}, {"spread_bound_ms", e.bound},
        {"page_url", got["page_url"]}, {"machines", machines}};
    EXPECT_EQ(got, want);  // machines: no account, no name, no key of the room's own
    EXPECT_EQ(got["page_url"].get<std::string>().rfind(ts_->svc().PublicBase() + "/room/", 0), 0u);
  }
};

// One room through its instant and past its claim window: clicks with and without their shown
// uncertainty, a machine that would have been late, one whose reason is hostile HTML, a claim and a
// click late in the window, a report after the instruction ran out, a machine never heard from;
// then the operator's table and the page.
TEST_F(RoomResults, AnswerTableAndPageFollowTheRoom) {
  TestRoom room = MakeRoom("RES1", 7, 6);
  auto &seats = room.seats;
  const std::string hostile = "未点击：<script>alert('x')</script>&\"";
  const std::vector<ojson> errors = {-8, 12, 70, 0, 2, 61000, nullptr}, uncertainties = {3, 5, 4, nullptr, nullptr, 9, nullptr};
  HttpResult before = Result(seats[0]);
  EXPECT_EQ(before.status, 409);
  EXPECT_EQ(before.message(), "还没到约定时刻，房间结果稍后可看");
  ASSERT_TRUE(Report(seats[0], -8, "success", {{"shown_uncertainty_ms", 3}}).ok());
  ASSERT_TRUE(Report(seats[1], 12, "success", {{"shown_uncertainty_ms", 5}, {"missed_instant", false}}).ok());
  ASSERT_TRUE(Report(seats[2], 70, "failed", {{"shown_uncertainty_ms", 4}, {"missed_instant", true}}).ok());
  ASSERT_TRUE(Report(seats[3], 0, "failed", json::object(), hostile).ok());

  // Strangers are told what task.claim tells them; a synchronisation test has no room.
  Seat stranger{ts_->NewAccount(), 0, ""};
  for (int64_t task : {seats[0].task, seats[0].task + 1000000}) {
    HttpResult claim = ts_->Call("task.claim", "{\"task_id\":" + std::to_string(task) + "}", stranger.acc.token);
    HttpResult refused = Result(stranger, task);
    EXPECT_EQ(refused.status, claim.status);
    EXPECT_EQ(refused.message(), claim.message());
  }
  HttpResult test_task = ts_->Call(
      "match.create", "{\"execute_at_ms\":" + std::to_string(room.at + 60000) + "," + test::TaskFieldsJson() + "}",
      stranger.acc.token);
  HttpResult not_room = Result(stranger, test_task.j.value("task_id", int64_t{0}));
  EXPECT_EQ(not_room.status, 400);
  EXPECT_EQ(not_room.message(), "这不是房间任务，没有房间结果");

  const ojson spread = 12 - -8, bound = 12 - -8 + 3 + 5;
  struct Moment {
    int64_t after_instant_ms;
    std::function<void()> before;
    Expected expected;
  } moments[] = {
      {0, [] {}, {{"clicked", "clicked", "missed", "failed", "pending", "pending", "pending"}, 1, spread, bound}},
      {30000, [&] { Claim(seats[4]); ASSERT_TRUE(Report(seats[4], 2, "success").ok()); },
       {{"clicked", "clicked", "missed", "failed", "clicked", "pending", "pending"}, 4, spread, nullptr}},
      {61000, [&] { EXPECT_EQ(Report(seats[5], 61000, "success", {{"shown_uncertainty_ms", 9}}).status, 410); },
       {{"clicked", "clicked", "missed", "failed", "clicked", "missed", "no_report"}, 0, spread, nullptr}},
  };
  std::string page_url;
  for (const auto &m : moments) {
    ClockAt(room.at + m.after_instant_ms);
    m.before();
    HttpResult r = Result(seats[m.expected.self]);
    Check(r, room, errors, uncertainties, m.expected);
    // The summary a machine polls after its click: the same members, without the rows.
    const Seat &asker = seats[m.expected.self];
    HttpResult summary =
        ts_->Call("room.result", "{\"task_id\":" + std::to_string(asker.task) + ",\"rows\":false}", asker.acc.token);
    ojson whole = ojson::parse(r.body);
    whole.erase("machines");
    EXPECT_EQ(ojson::parse(summary.body), whole);
    if (page_url.empty()) page_url = r.j.value("page_url", "");
    EXPECT_EQ(r.j.value("page_url", ""), page_url) << "one page per room";
  }

  std::string table = ts_->Admin({"rooms", "show", room.code});
  for (const std::string &row :
       {"room " + room.code + "\tinstant " + UtcTimeText(room.at) + " UTC (" + std::to_string(room.at) + " ms)",
        std::string("\n1\tclicked\t-8\t3\t本机已提交一次触发\n"), std::string("\n3\tmissed\t-\t4\t"),
        "\n4\tfailed\t-\t-\t" + hostile + "\n", std::string("\n5\tclicked\t2\t-\t"), std::string("\n7\tno_report\t-\t-\t-"),
        std::string("\nspread 20 ms")})
    EXPECT_NE(table.find(row), std::string::npos) << row << "\nin:\n" << table;
  EXPECT_NE(ts_->Admin({"rooms", "show", "NOSUCHROOM"}, false).find("no room has the code NOSUCHROOM"), std::string::npos);

  std::string path = page_url.substr(page_url.find("/room/"));
  HttpResult page = ts_->Get(path);
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.content_type, "text/html; charset=utf-8");
  EXPECT_EQ(page.body.find("<script"), std::string::npos);
  EXPECT_NE(page.body.find("未点击（&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;&amp;&quot;）"), std::string::npos);
  EXPECT_NE(page.body.find("彼此相差约 20 毫秒（各机按自己的对时测得）"), std::string::npos);
  EXPECT_EQ(ts_->Get("/room/" + std::string(43, 'A')).status, 404);
  ClockAt(room.at - 1000);
  HttpResult early = ts_->Get(path);
  EXPECT_EQ(early.status, 409);
  EXPECT_NE(early.body.find("还没到约定时刻"), std::string::npos);
  EXPECT_EQ(early.body.find("机器 1"), std::string::npos);
}

TEST_F(RoomResults, ReportsCarryTheShownUncertaintyAndTheMissedInstant) {
  const Seat s = MakeRoom("RES2", 2, 1).seats[0];
  struct Bad {
    json fields;
    const char *in_message;
  } bad[] = {
      {{{"shown_uncertainty_ms", -1}}, "shown_uncertainty_ms"},  {{{"shown_uncertainty_ms", "5"}}, "shown_uncertainty_ms"},
      {{{"shown_uncertainty_ms", 1e12}}, "shown_uncertainty_ms"}, {{{"missed_instant", "yes"}}, "missed_instant"},
      {{{"missed_instant", 1}}, "missed_instant"},                 {{{"missed_instant", true}}, "自相矛盾"},
  };
  for (const auto &b : bad) {
    HttpResult r = Report(s, 3, b.fields.contains("shown_uncertainty_ms") ? "failed" : "success", b.fields);
    EXPECT_EQ(r.status, 400) << b.fields.dump();
    EXPECT_NE(r.message().find(b.in_message), std::string::npos) << b.fields.dump() << ": " << r.message();
  }
  EXPECT_FALSE(ts_->Get("/__test/task?id=" + std::to_string(s.task)).j["consumed"].get<bool>());

  const json fields = {{"shown_uncertainty_ms", 7.4}, {"missed_instant", true}};
  ASSERT_TRUE(Report(s, 3, "failed", fields).ok());
  HttpResult row = ts_->Get("/__test/task?id=" + std::to_string(s.task));
  EXPECT_EQ(row.j["shown_uncertainty_ms"], 7);
  EXPECT_EQ(row.j["missed_instant"], true);
  EXPECT_TRUE(Report(s, 3, "failed", fields).ok()) << "the same report again";
  for (const json &other : {json{{"shown_uncertainty_ms", 8}, {"missed_instant", true}},
                            json{{"shown_uncertainty_ms", 7}, {"missed_instant", false}}, json{{"shown_uncertainty_ms", 7}},
                            json::object()})
    EXPECT_EQ(Report(s, 3, "failed", other).status, 409) << other.dump();
}

// The page as a phone's browser shows it: Chromium lays it out (the page runs no script, so the DOM it
// dumps is the page as written) and takes its picture.
class RoomPageInBrowser : public RoomResults {};

TEST_F(RoomPageInBrowser, ShowsEachMachineAndMarksTheClicks) {
  auto run = [](const std::string &command, std::string *out = nullptr) {
    FILE *p = popen(command.c_str(), "r");
    char buf[4096];
    for (size_t n; p && (n = fread(buf, 1, sizeof buf, p)) > 0;)
      if (out) out->append(buf, n);
    int status = p ? pclose(p) : -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  ASSERT_EQ(run("command -v chromium >/dev/null"), 0)
      << "chromium is not installed: `make setup` installs Debian's chromium, which this test needs";
  TestRoom room = MakeRoom("PAGE", 3, 3);
  ASSERT_TRUE(Report(room.seats[0], -9, "success", {{"shown_uncertainty_ms", 4}}).ok());
  ASSERT_TRUE(Report(room.seats[1], 14, "success", {{"shown_uncertainty_ms", 6}}).ok());
  ASSERT_TRUE(Report(room.seats[2], 80, "failed", {{"shown_uncertainty_ms", 5}, {"missed_instant", true}}).ok());
  ClockAt(room.at + 1000);
  std::string url = Result(room.seats[0]).j.value("page_url", "");
  ASSERT_FALSE(url.empty());
  test::TempDir dir;
  // The browser does not trust the development CA; what is tested is the page.
  const std::string chromium = "chromium --headless --no-sandbox --disable-gpu --hide-scrollbars "
                               "--ignore-certificate-errors --user-data-dir=" + dir.path() + "/profile ";
  std::string dom;
  ASSERT_EQ(run(chromium + "--dump-dom '" + url + "' 2>/dev/null", &dom), 0) << dom;
  for (const char *cell : {"<td>机器 1</td>", "<td>机器 2</td>", "<td>机器 3</td>", "<td>错过了约定时刻</td>"})
    EXPECT_NE(dom.find(cell), std::string::npos) << cell << "\n" << dom;
  size_t marks = 0;
  for (size_t at = dom.find("class=\"mark\""); at != std::string::npos; at = dom.find("class=\"mark\"", at + 1)) ++marks;
  EXPECT_EQ(marks, 2u) << "one mark per click, none for the machine that missed";

  const std::string shot = dir.path() + "/room-result.png";
  ASSERT_EQ(run(chromium + "--window-size=412,1000 --screenshot=" + shot + " '" + url + "' >/dev/null 2>&1"), 0);
  // The page is not blank, and the marks' colour (used for nothing else) covers two marks.
  std::string ink, mark;
  run("convert " + shot + " -threshold 95% -format '%[fx:(1-mean)*w*h]' info:", &ink);
  run("convert " + shot + " -fill white +opaque '#d6336c' -fill black -opaque '#d6336c' -format '%[fx:(1-mean)*w*h]' info:", &mark);
  EXPECT_GT(std::atof(ink.c_str()), 412 * 1000 / 50) << "the page looks blank";
  EXPECT_GT(std::atof(mark.c_str()), 2 * 40) << "two click marks of about 80 pixels each";
  std::filesystem::copy_file(shot, ORVANE_SCREENSHOT_DIR "/room-result.png", std::filesystem::copy_options::overwrite_existing);
}

TEST(RoomSpread, BoundIsTheWidestPairCountingUncertainties) {
  const std::vector<std::vector<MeasuredClick>> cases = {
      {}, {{4, 2}}, {{-8, 3}, {12, 5}}, {{0, 100}, {1, 0}, {2, 0}}, {{5, 1}, {5, 1}, {-5, 1}}, {{-3, 0}, {9, 40}, {2, 7}, {-20, 1}},
  };
  for (const auto &clicks : cases) {
    std::optional<int64_t> widest;  // every pair, as the definition says
    for (size_t i = 0; i < clicks.size(); ++i)
      for (size_t j = i + 1; j < clicks.size(); ++j)
        widest = std::max<int64_t>(widest.value_or(INT64_MIN), std::llabs(clicks[i].error_ms - clicks[j].error_ms) +
                                                                  clicks[i].uncertainty_ms + clicks[j].uncertainty_ms);
    EXPECT_EQ(SpreadBound(clicks), widest) << clicks.size() << " clicks";
  }
}

}  // namespace
}  // namespace orvane
