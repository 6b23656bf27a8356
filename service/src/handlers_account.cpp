// me, payment.create and the simulated payment page.
#include <cstdio>

#include "crypto.h"
#include "handlers.h"
#include "html.h"
#include "log.h"
#include "store.h"
#include "validate.h"

namespace orvane {
namespace {

// "10", "10.5", "1.23".
std::string YuanText(int64_t fen) {
  char text[32];
  long long whole = fen / 100, rest = fen % 100;
  if (rest % 10) std::snprintf(text, sizeof text, "%lld.%02lld", whole, rest);
  else if (rest) std::snprintf(text, sizeof text, "%lld.%lld", whole, rest / 10);
  else std::snprintf(text, sizeof text, "%lld", whole);
  return text;
}

}  // namespace

Reply ActMe(ActionContext &c) {
  std::optional<Account> acc;
  {
    std::lock_guard<std::mutex> lock(c.db().Mutex());
    acc = LoadAccount(c.db(), c.account_id);
  }
  if (!acc) throw ApiError(401, "登录已失效，请重新登录");
  OJson j = OkBody();
  j["id"] = acc->id;
  j["email"] = acc->DisplayName();
  j["credits"] = acc->credits;
  j["developer_user"] = acc->developer;
  j["alipay"] = c.cfg.alipay;
  j["wxpay"] = c.cfg.wxpay;
  j["points_per_yuan"] = c.cfg.points_per_yuan;
  return {200, j};
}

Reply ActPaymentCreate(ActionContext &c) {
  auto it = c.body.find("amount");
  if (it == c.body.end() || it->is_null()) throw ApiError(400, "请求缺少必填项 amount");
  // The client sends the amount as typed; a number is judged by its JSON text under the same rule.
  std::optional<int64_t> fen;
  if (it->is_string()) fen = ParseAmountFen(it->get<std::string>());
  else if (it->is_number()) fen = ParseAmountFen(it->dump());
  else throw ApiError(400, "请求项 amount 应为文本或数字");
  if (!fen) throw ApiError(400, "充值金额需要在 1 至 9999.9 元之间，最多保留一位小数");
  std::string type = RequireString(c.body, "type", 32);
  if (type != "alipay" && type != "wxpay") throw ApiError(400, "支付方式不正确");
  if ((type == "alipay" && !c.cfg.alipay) || (type == "wxpay" && !c.cfg.wxpay))
    throw ApiError(400, "该支付方式暂未开放");
  int64_t points = *fen * c.cfg.points_per_yuan / 100;
  int64_t now = c.NowMs();
  std::string reference = RandomToken();
  int64_t id = 0;
  {
    std::lock_guard<std::mutex> lock(c.db().Mutex());
    Stmt ins = c.db().Prepare(
        "INSERT INTO payments(reference, account_id, amount_fen, method, credits, status, created_ms, expires_ms) "
        "VALUES (?1, ?2, ?3, ?4, ?5, 'pending', ?6, ?7) RETURNING id");
    ins.Bind(1, reference)
        .Bind(2, c.account_id)
        .Bind(3, *fen)
        .Bind(4, type)
        .Bind(5, points)
        .Bind(6, now)
        .Bind(7, now + c.cfg.payment_ttl_ms);
    if (!ins.Step()) throw DbError("database: payment was not stored");
    id = ins.Int(0);
  }
  OJson j = OkBody();
  j["pay_url"] = c.svc.PublicBase() + "/pay/" + reference;
  // Where no browser shows the page, the operator's log is where the address can be read.
  LogLine("[payment] order " + std::to_string(id) + " of account " + std::to_string(c.account_id) + ": " +
          YuanText(*fen) + " yuan, page " + j["pay_url"].get<std::string>());
  j["order_id"] = id;
  j["amount_yuan"] = YuanText(*fen);
  j["points"] = points;
  return {200, j};
}

std::pair<int, std::string> PaymentPage(Service &svc, const std::string &reference) {
  Db &db = svc.Database();
  int64_t now = svc.Clock().NowMs();
  std::lock_guard<std::mutex> lock(db.Mutex());
  Transaction tx(db);
  Stmt s = db.Prepare(
      "SELECT id, account_id, amount_fen, credits, status, expires_ms FROM payments WHERE reference = ?1");
  s.Bind(1, reference);
  if (!s.Step()) return {404, MessagePage("订单不存在", "没有找到这个充值订单，请回到澄序重新下单。")};
  int64_t id = s.Int(0), account = s.Int(1), fen = s.Int(2), points = s.Int(3), expires = s.Int(5);
  std::string status = s.Text(4);
  if (status == "paid")
    return {200, MessagePage("订单已支付", "这个订单此前已经支付，" + std::to_string(points) + " 积分已经到账，不会重复入账。")};
  if (now > expires) return {410, MessagePage("订单已过期", "这个充值订单已经过期，请回到澄序重新下单。")};
  db.Prepare("UPDATE payments SET status = 'paid', paid_ms = ?2 WHERE id = ?1 AND status = 'pending'")
      .Bind(1, id)
      .Bind(2, now)
      .Run();
  if (db.Changes() != 1) return {409, MessagePage("订单状态已变化", "请刷新页面查看订单状态。")};
  auto balance = ChangeCredits(db, account, points, "payment", reference, now, true);
  tx.Commit();
  LogLine("payment " + std::to_string(id) + " of account " + std::to_string(account) + " completed: " +
          YuanText(fen) + " yuan, " + std::to_string(points) + " credits");
  return {200, MessagePage("支付成功", "已支付 " + YuanText(fen) + " 元，" + std::to_string(points) +
                                    " 积分已到账，当前积分 " + std::to_string(balance.value_or(0)) +
                                    "。请回到澄序继续使用。")};
}

}  // namespace orvane
