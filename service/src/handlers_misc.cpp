// health, time, app.check and the action table.
#include <algorithm>

#include "db.h"
#include "handlers.h"
#include "log.h"
#include "store.h"
#include "validate.h"

namespace orvane {

const std::map<std::string, ActionSpec> &ActionTable() {
  static const std::map<std::string, ActionSpec> table = {
      {"health", {ActHealth, false}},
      {"time", {ActTime, false}},
      {"auth.login", {ActLogin, false}},
      {"auth.developer_login", {ActDeveloperLogin, false}},
      {"auth.send_code", {ActSendCode, false}},
      {"auth.register", {ActRegister, false}},
      {"auth.reset_password", {ActResetPassword, false}},
      {"auth.logout", {ActLogout, false}},
      {"account.delete.request", {ActDeleteRequest, true}},
      {"me", {ActMe, true}},
      {"payment.create", {ActPaymentCreate, true}},
      {"app.check", {ActAppCheck, true}},
      {"room.create", {ActRoomCreate, true}},
      {"room.join", {ActRoomJoin, true}},
      {"room.confirm", {ActRoomConfirm, true}},
      {"match.create", {ActMatchCreate, true}},
      {"task.claim", {ActTaskClaim, true}},
      {"task.consume", {ActTaskConsume, true}},
      {"room.result", {ActRoomResult, true}},
  };
  return table;
}

std::string BearerToken(const httplib::Request &req) {
  std::string h = req.get_header_value("Authorization");
  if (h.size() < 8) return {};
  std::string scheme = h.substr(0, 7);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(), ::tolower);
  if (scheme != "bearer ") return {};
  std::string token = h.substr(7);
  while (!token.empty() && token.front() == ' ') token.erase(token.begin());
  while (!token.empty() && token.back() == ' ') token.pop_back();
  if (token.empty() || token.size() > 512) return {};
  return token;
}

int64_t Authenticate(ActionContext &c) {
  c.token = BearerToken(c.req);
  if (c.token.empty()) throw ApiError(401, "请先登录");
  std::lock_guard<std::mutex> lock(c.db().Mutex());
  int64_t id = 0;
  if (LookupSession(c.db(), c.token, c.NowMs(), c.cfg.session_idle_ms, id) != SessionState::kValid)
    throw ApiError(401, "登录已失效，请重新登录");
  auto acc = LoadAccount(c.db(), id);
  if (!acc || acc->deletion_requested_ms) throw ApiError(401, "登录已失效，请重新登录");
  return id;
}

std::string SchemaTooNewText(int needed, int known) {
  return "服务正在升级：数据库已升级到第 " + std::to_string(needed) + " 版结构，此服务实例只支持第 " +
         std::to_string(known) + " 版，需升级后才能继续服务，请稍后重试";
}

Reply ActHealth(ActionContext &c) {
  // An instance older than its database's schema says so here, where operators and load balancers
  // look (its writes are refused anyway).
  {
    std::lock_guard<std::mutex> lock(c.db().Mutex());
    if (int needed = c.db().ServableFrom(); needed > KnownSchemaVersion()) {
      LogLine(SchemaTooNew(needed, KnownSchemaVersion()).what());
      throw ApiError(503, SchemaTooNewText(needed, KnownSchemaVersion()));
    }
  }
  auto current = ParseVersion(c.req.get_header_value("X-Orvane-Version"));
  auto minimum = ParseVersion(c.cfg.min_version);
  // A client that does not say which version it is cannot be known to be served.
  bool update_required = !current || (minimum && CompareVersions(*current, *minimum) < 0);
  OJson j = OkBody();
  j["update_required"] = update_required;
  j["latest_version"] = c.cfg.latest_version;
  j["download_url"] = c.cfg.download_url.empty() ? c.svc.PublicBase() + "/download/" : c.cfg.download_url;
  return {200, j};
}

Reply ActTime(ActionContext &c) {
  const ServiceClock &clock = c.svc.Clock();
  int64_t receive_us = clock.ServiceFromSystemUs(c.receive_system_us);
  // The same figure the SNTP responder gives as its root dispersion.
  double uncertainty = c.svc.CurrentClockClaim().uncertainty_ms;
  OJson j = OkBody();
  int64_t send_us = clock.NowUs();
  if (send_us < receive_us) send_us = receive_us;
  j["server_unix_ms"] = ServiceClock::FloorDiv(send_us, 1000);
  j["server_receive_unix_us"] = receive_us;
  j["server_send_unix_us"] = send_us;
  j["source_uncertainty_ms"] = uncertainty;
  j["time_source"] = c.cfg.time_source.empty() ? "system_fallback" : c.cfg.time_source;
  return {200, j};
}

Reply ActAppCheck(ActionContext &c) {
  std::string name = RequireString(c.body, "executable_name", 1024);
  if (Utf8Length(name) > 260) throw ApiError(400, "程序文件名过长");
  auto sha = NormaliseSha256(RequireString(c.body, "executable_sha256", 128));
  if (!sha) throw ApiError(400, "程序指纹应为 64 位十六进制 SHA-256");
  std::optional<BlacklistEntry> hit;
  {
    std::lock_guard<std::mutex> lock(c.db().Mutex());
    hit = FindBlacklistEntry(c.db(), *sha);
  }
  OJson j = OkBody();
  j["blocked"] = hit.has_value();
  j["reason"] = hit ? hit->reason : "";
  if (hit) j["display_name"] = hit->display_name;
  return {200, j};
}

}  // namespace orvane
