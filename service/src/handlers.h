// The actions of the endpoint POST /api.php?action=<action>.
#pragma once
#include <cstdint>
#include <map>
#include <string>

#include <httplib.h>

#include "config.h"
#include "json_util.h"
#include "service.h"

namespace orvane {

struct ActionContext {
  Service &svc;
  const httplib::Request &req;
  Json body;
  RuntimeConfig cfg;                 // snapshot for this request
  int64_t receive_system_us = 0;     // system clock when the request arrived
  int64_t account_id = 0;            // set for actions that need a session
  std::string token;                 // bearer token as sent (may be empty)
  std::string client_addr;           // the client's address (through a trusted proxy: its X-Real-IP)
  Db *connection = nullptr;          // the database connection this request uses throughout

  Db &db() { return connection ? *connection : svc.Database(); }
  int64_t NowMs() const { return svc.Clock().NowMs(); }
};

using ActionFn = Reply (*)(ActionContext &);
struct ActionSpec {
  ActionFn fn;
  bool needs_session;
};
const std::map<std::string, ActionSpec> &ActionTable();

// "Authorization: Bearer <token>" -> token, or "" when absent or malformed.
std::string BearerToken(const httplib::Request &req);
// Resolves the bearer token to an account; throws ApiError(401) when it is missing or revoked.
int64_t Authenticate(ActionContext &c);

Reply ActHealth(ActionContext &c);
// What a client (and the operator reading `health`) is told while this instance is older than its
// database's schema.
std::string SchemaTooNewText(int needed, int known);
Reply ActTime(ActionContext &c);
Reply ActAppCheck(ActionContext &c);

Reply ActLogin(ActionContext &c);
Reply ActDeveloperLogin(ActionContext &c);
Reply ActSendCode(ActionContext &c);
Reply ActRegister(ActionContext &c);
Reply ActResetPassword(ActionContext &c);
Reply ActLogout(ActionContext &c);
Reply ActDeleteRequest(ActionContext &c);

Reply ActMe(ActionContext &c);
Reply ActPaymentCreate(ActionContext &c);

Reply ActRoomCreate(ActionContext &c);
Reply ActRoomJoin(ActionContext &c);
Reply ActRoomConfirm(ActionContext &c);
Reply ActMatchCreate(ActionContext &c);
Reply ActTaskClaim(ActionContext &c);
Reply ActTaskConsume(ActionContext &c);
Reply ActRoomResult(ActionContext &c);

// GET /pay/<reference>: completes a simulated payment once. Returns the HTTP status and an HTML page.
std::pair<int, std::string> PaymentPage(Service &svc, const std::string &reference);
// GET /room/<token>: the room's result for anyone holding the link. The HTTP status and an HTML page.
std::pair<int, std::string> RoomResultPage(Service &svc, const std::string &token);

}  // namespace orvane
