// Credits: "me", payment orders and the page that completes a payment exactly once.
#include <gtest/gtest.h>

#include "test_support.h"

namespace orvane {
namespace {

using test::HttpResult;
using test::json;

class Credits : public test::SharedServiceTest {
 protected:
  void TearDown() override {
    ts_->Post("/__test/clock", R"({"service_offset_us":0})");
    ts_->SetConfig({{"alipay", true}, {"wxpay", true}, {"points_per_yuan", 10}});
  }
  static HttpResult Pay(const std::string &token, const std::string &amount_json, const std::string &type) {
    return ts_->Call("payment.create", "{\"amount\":" + amount_json + ",\"type\":\"" + type + "\"}", token);
  }
  static std::string PathOf(const std::string &url) {
    auto pos = url.find("/pay/");
    return pos == std::string::npos ? std::string() : url.substr(pos);
  }
};

TEST_F(Credits, MeReportsBalanceAndPaymentOffer) {
  test::LoginInfo acc = ts_->NewAccount();
  HttpResult me = ts_->Call("me", "{}", acc.token);
  ASSERT_TRUE(me.ok()) << me.body;
  EXPECT_EQ(me.body.rfind("{\"ok\":true,", 0), 0u);
  EXPECT_EQ(me.j["credits"], 20);
  EXPECT_EQ(me.j["alipay"], true);
  EXPECT_EQ(me.j["wxpay"], true);
  EXPECT_EQ(me.j["points_per_yuan"], 10);
  EXPECT_EQ(me.j["id"], acc.id);
  ts_->SetConfig({{"alipay", false}, {"points_per_yuan", 25}});
  me = ts_->Call("me", "{}", acc.token);
  EXPECT_EQ(me.j["alipay"], false);
  EXPECT_EQ(me.j["points_per_yuan"], 25);
  ts_->Admin({"credits-set", acc.email, "7"});
  EXPECT_EQ(ts_->Call("me", "{}", acc.token).j["credits"], 7);
}

TEST_F(Credits, PaymentAmountsAndMethodsAreChecked) {
  test::LoginInfo acc = ts_->NewAccount();
  struct Case {
    const char *amount;
    const char *type;
    int status;
  } cases[] = {
      {"\"1\"", "alipay", 200},     {"\"9999.9\"", "wxpay", 200}, {"\"10.5\"", "alipay", 200},
      {"10", "alipay", 200},        {"0.9", "alipay", 400},       {"\"0.9\"", "alipay", 400},
      {"\"10000\"", "alipay", 400}, {"\"10.55\"", "alipay", 400}, {"\"abc\"", "alipay", 400},
      {"\"10元\"", "alipay", 400},  {"\"\"", "alipay", 400},      {"true", "alipay", 400},
      {"\"10\"", "paypal", 400},  {"\"1e3\"", "alipay", 200},   {"\" 10\"", "wxpay", 200},
      {"1e3", "alipay", 200},       {"10.55", "alipay", 400},     {"\"1e4\"", "alipay", 400},
  };
  for (const auto &c : cases) {
    HttpResult r = Pay(acc.token, c.amount, c.type);
    EXPECT_EQ(r.status, c.status) << c.amount << " " << c.type << " " << r.body;
    if (c.status == 200) {
      EXPECT_EQ(PathOf(r.j.value("pay_url", "")).size(), 5u + 43u) << r.body;
    }
  }
  ts_->SetConfig({{"wxpay", false}});
  HttpResult off = Pay(acc.token, "\"10\"", "wxpay");
  EXPECT_EQ(off.status, 400);
  EXPECT_NE(off.message().find("暂未开放"), std::string::npos);
}

TEST_F(Credits, PayPageCreditsOnceAndOnlyItsOwnAccount) {
  test::LoginInfo payer = ts_->NewAccount();
  test::LoginInfo other = ts_->NewAccount();
  HttpResult order = Pay(payer.token, "\"10.5\"", "alipay");
  ASSERT_TRUE(order.ok()) << order.body;
  std::string url = order.j["pay_url"];
  EXPECT_EQ(url.rfind("https://localhost:" + std::to_string(ts_->port()) + "/pay/", 0), 0u);
  EXPECT_EQ(order.j["points"], 105);
  HttpResult page = ts_->Get(PathOf(url));
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("支付成功"), std::string::npos);
  EXPECT_EQ(ts_->Call("me", "{}", payer.token).j["credits"], 125);
  HttpResult again = ts_->Get(PathOf(url));
  EXPECT_EQ(again.status, 200);
  EXPECT_NE(again.body.find("已经支付"), std::string::npos);
  EXPECT_EQ(ts_->Call("me", "{}", payer.token).j["credits"], 125);
  EXPECT_EQ(ts_->Call("me", "{}", other.token).j["credits"], 20);
  EXPECT_EQ(ts_->Get("/pay/unknownreference").status, 404);
}

TEST_F(Credits, AnExponentFormIsChargedToTheFen) {
  // The client accepts "123e-2" (no point in the text): the order is 1.23 yuan, not a refusal after
  // the user pressed the button, and the page charges exactly that.
  test::LoginInfo acc = ts_->NewAccount();
  HttpResult order = Pay(acc.token, "\"123e-2\"", "alipay");
  ASSERT_TRUE(order.ok()) << order.body;
  EXPECT_EQ(order.j["amount_yuan"], "1.23");
  EXPECT_EQ(order.j["points"], 12);
  HttpResult page = ts_->Get(PathOf(order.j["pay_url"]));
  EXPECT_NE(page.body.find("已支付 1.23 元"), std::string::npos) << page.body;
  EXPECT_EQ(ts_->Call("me", "{}", acc.token).j["credits"], 32);
  HttpResult thousand = Pay(acc.token, "\"1e3\"", "wxpay");
  ASSERT_TRUE(thousand.ok()) << thousand.body;
  EXPECT_EQ(thousand.j["amount_yuan"], "1000");
  EXPECT_EQ(thousand.j["points"], 10000);
}

TEST_F(Credits, ExpiredOrderIsNotCredited) {
  test::LoginInfo acc = ts_->NewAccount();
  HttpResult order = Pay(acc.token, "\"3\"", "wxpay");
  ASSERT_TRUE(order.ok());
  ASSERT_TRUE(ts_->Post("/__test/clock", R"({"service_offset_us":1800001000})").ok());
  EXPECT_EQ(ts_->Get(PathOf(order.j["pay_url"])).status, 410);
  EXPECT_EQ(ts_->Call("me", "{}", acc.token).j["credits"], 20);
}

}  // namespace
}  // namespace orvane
