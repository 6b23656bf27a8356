// Where the transport meets the actions: a request's action dispatched through the action table with its
// context, and the pages that the actions' files render. Above both the service and the handlers, so
// that the service itself never reaches up into the actions.
#include <httplib.h>

#include "handlers.h"
#include "http_server.h"
#include "log.h"
#include "service.h"
#include "validate.h"

namespace orvane {

Reply Service::Dispatch(const std::string &action, const httplib::Request &req, int64_t receive_system_us,
                        int64_t &account_id) {
  try {
    if (action.empty()) throw ApiError(400, "请求缺少 action 参数");
    const auto &table = ActionTable();
    auto it = table.find(action);
    if (it == table.end()) throw ApiError(404, "未知的操作：" + SanitiseForMessage(action));
    ActionContext ctx{*this, req, Json(), Config(), receive_system_us, 0, {}, ClientAddress(req), &AnyConnection()};
    // An answer goes out only once what the request wrote (or read of others' writes) is on
    // disk; a refusal waits too, since it may rest on what it read.
    Reply reply{200, OJson()};
    try {
      if (it->second.needs_session) ctx.account_id = account_id = Authenticate(ctx);
      ctx.body = ParseObject(req.body);
      reply = it->second.fn(ctx);
    } catch (...) {
      ctx.db().WaitDurable();
      throw;
    }
    ctx.db().WaitDurable();
    return reply;
  } catch (const ApiError &e) {
    return Fail(e.status, e.message);
  } catch (const SchemaTooNew &e) {
    LogLine(std::string("action ") + SanitiseForMessage(action) + " refused: " + e.what());
    return Fail(503, SchemaTooNewText(e.needed, e.known));
  } catch (const DbError &e) {
    LogLine(std::string("action ") + SanitiseForMessage(action) + " failed: " + e.what());
    return Fail(503, "服务暂时无法处理请求，请稍后重试");
  } catch (const std::exception &e) {
    LogLine(std::string("action ") + SanitiseForMessage(action) + " failed: " + e.what());
    return Fail(500, "服务内部错误，请稍后重试");
  }
}

void Service::AddPageRoutes() {
  http_->Get(R"(/pay/([A-Za-z0-9_-]{1,128}))", [this](const httplib::Request &req, httplib::Response &res) {
    auto [status, html] = PaymentPage(*this, req.matches[1]);
    db_->WaitDurable();
    res.status = status;
    res.set_content(html, "text/html; charset=utf-8");
    MarkResponseOwned();
  });
  http_->Get(R"(/room/([A-Za-z0-9_-]{1,128}))", [this](const httplib::Request &req, httplib::Response &res) {
    auto [status, html] = RoomResultPage(*this, req.matches[1]);
    db_->WaitDurable();
    res.status = status;
    res.set_content(html, "text/html; charset=utf-8");
    // The page changes while reports arrive; it runs nothing and loads nothing, and its address (the
    // room's token) is not passed on to another site.
    res.set_header("Cache-Control", "no-store");
    res.set_header("Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'");
    res.set_header("Referrer-Policy", "no-referrer");
    MarkResponseOwned();
  });
}

}  // namespace orvane
