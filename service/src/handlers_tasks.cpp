// Rooms, synchronisation tests, claiming the signed instruction and reporting the result.
#include "crypto.h"
#include "handlers.h"
#include "instruction.h"
#include "log.h"
#include "room_page.h"
#include "room_result.h"
#include "store.h"
#include "validate.h"

namespace orvane {
namespace {

constexpr int64_t kMaxCoordinate = 1000000;

struct TaskFields {
  std::string platform;
  std::string purpose;
  int64_t x = 0;
  int64_t y = 0;
  std::string executable_name;
  std::string sha256;
};

TaskFields ParseTaskFields(const Json &body) {
  TaskFields f;
  f.platform = RequireString(body, "client_platform", 32);
  f.purpose = RequireString(body, "purpose", 64);
  if (!IsKnownPurpose(f.purpose)) throw ApiError(400, "任务用途不正确");
  f.x = RequireInt(body, "target_x", -kMaxCoordinate, kMaxCoordinate);
  f.y = RequireInt(body, "target_y", -kMaxCoordinate, kMaxCoordinate);
  f.executable_name = RequireString(body, "executable_name", 1024);
  if (f.executable_name.empty() || Utf8Length(f.executable_name) > 260)
    throw ApiError(400, "目标程序文件名不正确");
  auto sha = NormaliseSha256(RequireString(body, "executable_sha256", 128));
  if (!sha) throw ApiError(400, "程序指纹应为 64 位十六进制 SHA-256");
  f.sha256 = *sha;
  return f;
}

void RefuseBlacklisted(Db &db, const std::string &sha256) {
  if (auto hit = FindBlacklistEntry(db, sha256)) {
    std::string text = "目标软件在黑名单中，不能使用";
    if (!hit->reason.empty()) text += "：" + hit->reason;
    throw ApiError(403, text);
  }
}

void CheckClickTime(const ActionContext &c, int64_t execute_at_ms, int64_t now) {
  if (execute_at_ms <= now) throw ApiError(400, "点击时间必须晚于当前时间");
  if (execute_at_ms > now + c.cfg.max_schedule_ahead_ms) throw ApiError(400, "点击时间太远，请选择更近的时间");
}

void Charge(ActionContext &c, int64_t cost, const std::string &reason, const std::string &reference, int64_t now) {
  if (cost == 0) return;
  if (!ChangeCredits(c.db(), c.account_id, -cost, reason, reference, now, false)) {
    auto acc = LoadAccount(c.db(), c.account_id);
    throw ApiError(402, "积分不足：本次需要 " + std::to_string(cost) + " 积分，当前剩余 " +
                            std::to_string(acc ? acc->credits : 0) + " 积分");
  }
}

int64_t InsertTask(ActionContext &c, const std::string &kind, std::optional<int64_t> room_id, int64_t execute_at_ms,
                   const TaskFields &f, bool confirmed, int64_t now) {
  Stmt s = c.db().Prepare(
      "INSERT INTO tasks(kind, room_id, account_id, execute_at_ms, target_x, target_y, executable_name, "
      "executable_sha256, purpose, client_platform, confirmed, created_ms) "
      "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12) RETURNING id");
  s.Bind(1, kind)
      .Bind(2, room_id)
      .Bind(3, c.account_id)
      .Bind(4, execute_at_ms)
      .Bind(5, f.x)
      .Bind(6, f.y)
      .Bind(7, f.executable_name)
      .Bind(8, f.sha256)
      .Bind(9, f.purpose)
      .Bind(10, f.platform)
      .Bind(11, confirmed ? 1 : 0)
      .Bind(12, now);
  if (!s.Step()) throw DbError("database: task was not stored");
  return s.Int(0);
}

Reply RoomAnswer(int64_t task_id, int64_t execute_at_ms, const std::string &code, int64_t capacity,
                 int64_t participants, int64_t credits) {
  OJson j = OkBody();
  j["task_id"] = task_id;
  j["execute_at_ms"] = execute_at_ms;
  j["room_code"] = code;
  j["capacity"] = capacity;
  j["participants"] = participants;
  j["credits"] = credits;
  return {200, j};
}

// The caller's own task; anything else looks as if it did not exist.
Task OwnTask(ActionContext &c, int64_t task_id) {
  auto t = LoadTask(c.db(), task_id);
  if (!t || t->account_id != c.account_id) throw ApiError(404, "任务不存在");
  return *t;
}

int64_t RequireTaskId(const Json &body) { return RequireInt(body, "task_id", 1, INT64_MAX); }

std::optional<int64_t> Flag(std::optional<bool> b) {
  return b ? std::optional<int64_t>(*b ? 1 : 0) : std::nullopt;
}

}  // namespace

Reply ActRoomCreate(ActionContext &c) {
  auto code = NormaliseRoomCode(RequireString(c.body, "room_code", 64));
  if (!code) throw ApiError(400, "房间号需要 4-16 位大写字母、数字、_ 或 -");
  int64_t execute_at = RequireInt(c.body, "execute_at_ms", INT64_MIN, INT64_MAX);
  int64_t capacity = RequireInt(c.body, "capacity", INT64_MIN, INT64_MAX);
  if (capacity < 2 || capacity > 100000) throw ApiError(400, "人数需要填写 2-100000");
  TaskFields f = ParseTaskFields(c.body);
  int64_t now = c.NowMs();
  CheckClickTime(c, execute_at, now);
  std::lock_guard<std::mutex> lock(c.db().Mutex());
  Transaction tx(c.db());
  LockKey(c.db(), "room:" + *code, now);  // two instances creating the same code take turns
  RefuseBlacklisted(c.db(), f.sha256);
  {
    Stmt open = c.db().Prepare("SELECT 1 FROM rooms WHERE code = ?1 AND execute_at_ms > ?2 LIMIT 1");
    open.Bind(1, *code).Bind(2, now);
    if (open.Step()) throw ApiError(409, "房间号已被使用，请换一个房间号");
  }
  Charge(c, c.cfg.room_cost, "room_create", *code, now);
  int64_t room_id = 0;
  {
    Stmt ins = c.db().Prepare(
        "INSERT INTO rooms(code, creator_id, execute_at_ms, capacity, purpose, created_ms, seats) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6, 1) RETURNING id");
    ins.Bind(1, *code).Bind(2, c.account_id).Bind(3, execute_at).Bind(4, capacity).Bind(5, f.purpose).Bind(6, now);
    if (!ins.Step()) throw DbError("database: room was not stored");
    room_id = ins.Int(0);
  }
  int64_t task_id = InsertTask(c, "room", room_id, execute_at, f, false, now);
  int64_t credits = LoadAccount(c.db(), c.account_id)->credits;
  tx.Commit();
  LogLine("room " + *code + " created by account " + std::to_string(c.account_id) + " for " +
          std::to_string(execute_at) + ", capacity " + std::to_string(capacity));
  return RoomAnswer(task_id, execute_at, *code, capacity, 1, credits);
}

Reply ActRoomJoin(ActionContext &c) {
  auto code = NormaliseRoomCode(RequireString(c.body, "room_code", 64));
  if (!code) throw ApiError(400, "请输入 4-16 位有效房间号");
  TaskFields f = ParseTaskFields(c.body);
  int64_t now = c.NowMs();
  std::lock_guard<std::mutex> lock(c.db().Mutex());
  Transaction tx(c.db());
  int64_t room_id = 0, execute_at = 0, capacity = 0, participants = 0;
  {
    // The room's row lock makes joins to one room take turns, on every instance, so the count of
    // seats read here is still true when the new seat is written. The room keeps that count
    // itself: a join costs the same in a room of 100,000 as in one of two.
    Stmt room = c.db().Prepare(std::string("SELECT id, execute_at_ms, capacity, seats FROM rooms WHERE id = "
                                           "(SELECT id FROM rooms WHERE code = ?1 ORDER BY execute_at_ms DESC LIMIT 1)") +
                               c.db().ForUpdate());
    room.Bind(1, *code);
    if (!room.Step()) throw ApiError(404, "房间不存在，请核对房间号");
    room_id = room.Int(0);
    execute_at = room.Int(1);
    capacity = room.Int(2);
    participants = room.Int(3);
  }
  if (execute_at <= now) throw ApiError(410, "该房间的点击时间已到，无法加入");
  RefuseBlacklisted(c.db(), f.sha256);
  std::optional<int64_t> seat;
  bool released = false;
  {
    Stmt own = c.db().Prepare(
        "SELECT id, CASE WHEN nonce IS NULL THEN 0 ELSE 1 END FROM tasks WHERE room_id = ?1 AND account_id = ?2 "
        "ORDER BY id LIMIT 1");
    own.Bind(1, room_id).Bind(2, c.account_id);
    if (own.Step()) {
      seat = own.Int(0);
      released = own.Int(1) != 0;
    }
  }
  if (seat) {
    // Joining again keeps the one seat the account already has, without a second charge. Until the
    // instruction is released the seat takes the position and program just chosen (to be confirmed
    // again); after that it stays as it was signed.
    if (!released)
      c.db().Prepare(
               "UPDATE tasks SET target_x = ?2, target_y = ?3, executable_name = ?4, executable_sha256 = ?5, "
               "purpose = ?6, client_platform = ?7, confirmed = 0 WHERE id = ?1")
          .Bind(1, *seat)
          .Bind(2, f.x)
          .Bind(3, f.y)
          .Bind(4, f.executable_name)
          .Bind(5, f.sha256)
          .Bind(6, f.purpose)
          .Bind(7, f.platform)
          .Run();
    int64_t credits = LoadAccount(c.db(), c.account_id)->credits;
    tx.Commit();
    return RoomAnswer(*seat, execute_at, *code, capacity, participants, credits);
  }
  if (participants >= capacity) throw ApiError(409, "房间人数已满");
  Charge(c, c.cfg.room_cost, "room_join", *code, now);
  int64_t task_id = InsertTask(c, "room", room_id, execute_at, f, false, now);
  c.db().Prepare("UPDATE rooms SET seats = seats + 1 WHERE id = ?1").Bind(1, room_id).Run();
  int64_t credits = LoadAccount(c.db(), c.account_id)->credits;
  tx.Commit();
  return RoomAnswer(task_id, execute_at, *code, capacity, participants + 1, credits);
}

Reply ActRoomConfirm(ActionContext &c) {
  int64_t task_id = RequireTaskId(c.body);
  TaskFields f = ParseTaskFields(c.body);
  int64_t now = c.NowMs();
  std::lock_guard<std::mutex> lock(c.db().Mutex());
  Transaction tx(c.db());
  Task t = OwnTask(c, task_id);
  if (t.target_x != f.x || t.target_y != f.y || t.executable_sha256 != f.sha256)
    throw ApiError(409, "确认的点击位置或目标软件与房间任务不一致");
  if (t.consumed_ms) throw ApiError(409, "本次点击安排已经使用过，请重新开始");
  if (now > t.execute_at_ms + c.cfg.claim_expiry_ms) throw ApiError(410, "本次点击安排已过期，请重新开始");
  c.db().Prepare("UPDATE tasks SET confirmed = 1 WHERE id = ?1").Bind(1, task_id).Run();
  tx.Commit();
  OJson j = OkBody();
  j["task_id"] = task_id;
  j["execute_at_ms"] = t.execute_at_ms;
  return {200, j};
}

Reply ActMatchCreate(ActionContext &c) {
  int64_t execute_at = RequireInt(c.body, "execute_at_ms", INT64_MIN, INT64_MAX);
  TaskFields f = ParseTaskFields(c.body);
  int64_t now = c.NowMs();
  CheckClickTime(c, execute_at, now);
  std::lock_guard<std::mutex> lock(c.db().Mutex());
  Transaction tx(c.db());
  RefuseBlacklisted(c.db(), f.sha256);
  Charge(c, c.cfg.test_cost, "sync_test", "", now);
  int64_t task_id = InsertTask(c, "test", std::nullopt, execute_at, f, true, now);
  Account acc = *LoadAccount(c.db(), c.account_id);
  tx.Commit();
  OJson j = OkBody();
  j["task_id"] = task_id;
  j["execute_at_ms"] = execute_at;
  j["credits"] = acc.credits;
  j["developer_user"] = acc.developer;
  return {200, j};
}

Reply ActTaskClaim(ActionContext &c) {
  int64_t task_id = RequireTaskId(c.body);
  (void)OptionalString(c.body, "client_platform", 32);
  int64_t now = c.NowMs();
  std::lock_guard<std::mutex> lock(c.db().Mutex());
  Transaction tx(c.db());
  Task t = OwnTask(c, task_id);
  if (t.nonce.empty() && c.db().Shared()) {
    // Another instance may be releasing this task right now: wait for its row, then read again, so
    // that both answer with the one instruction that was stored.
    c.db().Prepare(std::string("SELECT id FROM tasks WHERE id = ?1") + c.db().ForUpdate()).Bind(1, task_id).Run();
    t = OwnTask(c, task_id);
  }
  if (t.consumed_ms) throw ApiError(409, "本次点击安排已经使用过，请重新开始");
  if (!t.confirmed) throw ApiError(409, "请先确认参加房间，再领取点击安排");
  c.svc.CountClaim(task_id);
  OJson j = OkBody();
  // A room's machines learn while they wait whether it is full: it clicks at its instant either way,
  // with whoever joined.
  if (t.room_id) {
    Stmt seats = c.db().Prepare("SELECT capacity, seats FROM rooms WHERE id = ?1");
    seats.Bind(1, *t.room_id);
    if (seats.Step()) {
      j["room_capacity"] = seats.Int(0);
      j["room_joined"] = seats.Int(1);
    }
  }
  if (!t.nonce.empty()) {
    // Already released: the same instruction until it is used or runs out.
    if (now > *t.expires_at_ms) throw ApiError(410, "本次点击安排已过期，请重新开始");
    tx.Commit();
    j["ready"] = true;
    j["execute_at_ms"] = t.execute_at_ms;
    j["payload"] = t.payload;
    j["signature"] = t.signature;
    return {200, j};
  }
  ClaimSchedule s = ScheduleClaim(now, t.execute_at_ms, c.cfg.release_lead_ms, c.cfg.retry_after_ms,
                                  c.cfg.claim_expiry_ms);
  if (s.phase == ClaimPhase::kExpired) throw ApiError(410, "本次点击安排已过期，请重新开始");
  if (s.phase == ClaimPhase::kWaiting) {
    tx.Commit();
    j["ready"] = false;
    j["execute_at_ms"] = t.execute_at_ms;
    j["retry_at_ms"] = s.retry_at_ms;
    return {200, j};
  }
  // The program may have been blacklisted after the task was made.
  RefuseBlacklisted(c.db(), t.executable_sha256);
  Instruction in;
  in.task_id = t.id;
  in.user_id = t.account_id;
  in.target_x = t.target_x;
  in.target_y = t.target_y;
  in.executable_sha256 = t.executable_sha256;
  in.execute_at_ms = t.execute_at_ms;
  in.expires_at_ms = t.execute_at_ms + c.cfg.claim_expiry_ms;
  in.nonce = RandomHex(16);
  std::string text = BuildInstructionJson(in);
  auto sig = c.svc.Key().Sign(text);
  std::string payload = Base64Encode(text);
  std::string signature = Base64Encode(sig.data(), sig.size());
  c.db().Prepare(
           "UPDATE tasks SET nonce = ?2, payload = ?3, signature = ?4, released_ms = ?5, expires_at_ms = ?6 "
           "WHERE id = ?1 AND nonce IS NULL")
      .Bind(1, t.id)
      .Bind(2, in.nonce)
      .Bind(3, payload)
      .Bind(4, signature)
      .Bind(5, now)
      .Bind(6, in.expires_at_ms)
      .Run();
  if (c.db().Changes() != 1) {
    // Released by someone else after all: hand out the stored instruction, never a second nonce.
    Task stored = OwnTask(c, task_id);
    tx.Commit();
    payload = stored.payload;
    signature = stored.signature;
  } else {
    tx.Commit();
  }
  j["ready"] = true;
  j["execute_at_ms"] = t.execute_at_ms;
  j["payload"] = payload;
  j["signature"] = signature;
  return {200, j};
}

Reply ActTaskConsume(ActionContext &c) {
  int64_t task_id = RequireTaskId(c.body);
  std::string nonce = RequireString(c.body, "nonce", 128);
  std::string platform = RequireString(c.body, "client_platform", 32);
  auto client_error_ms = OptionalMs(c.body, "client_error_ms", true);
  if (!client_error_ms) throw ApiError(400, "请求缺少必填项 client_error_ms");
  std::string result = RequireString(c.body, "result", 16);
  if (result != "success" && result != "failed") throw ApiError(400, "请求项 result 只能是 success 或 failed");
  std::string detail = RequireString(c.body, "result_detail", 2000);
  // Reported by clients that show their person the alignment's uncertainty and tell a click left
  // out for being too late; older clients send neither, and their reports stand as before.
  auto shown_uncertainty_ms = OptionalMs(c.body, "shown_uncertainty_ms", false);
  auto missed_instant = OptionalBool(c.body, "missed_instant");
  if (missed_instant.value_or(false) && result == "success")
    throw ApiError(400, "报告自相矛盾：错过约定时刻的机器没有点击，result 应为 failed");
  int64_t now = c.NowMs();
  std::lock_guard<std::mutex> lock(c.db().Mutex());
  Transaction tx(c.db());
  Task t = OwnTask(c, task_id);
  if (t.nonce.empty()) throw ApiError(409, "点击安排尚未下发，无法提交结果");
  if (t.consumed_ms) {
    // The same report again is a client asking after an answer it never got (the first one was
    // recorded but the connection dropped): it gets the answer it missed. A different report for a
    // click already reported is refused, and the first one stands.
    if (ConstantTimeEquals(nonce, t.nonce) && t.result == result && t.result_detail == detail &&
        t.client_error_ms == client_error_ms && t.report_platform == platform &&
        t.shown_uncertainty_ms == shown_uncertainty_ms && t.missed_instant == missed_instant) {
      OJson j = OkBody();
      j["task_id"] = task_id;
      return {200, j};
    }
    throw ApiError(409, "本次点击结果已经提交过");
  }
  if (!ConstantTimeEquals(nonce, t.nonce)) throw ApiError(409, "点击安排编号不匹配，结果未记录");
  if (t.expires_at_ms && now > *t.expires_at_ms) {
    // A report after the instruction ran out is not taken as a click; it is kept as "expired".
    c.db().Prepare(
             "UPDATE tasks SET result = 'expired', result_detail = ?2, client_error_ms = ?3, report_platform = ?4, "
             "shown_uncertainty_ms = ?5, missed_instant = ?6 WHERE id = ?1 AND consumed_ms IS NULL AND result IS NULL")
        .Bind(1, task_id)
        .Bind(2, detail)
        .Bind(3, client_error_ms)
        .Bind(4, platform)
        .Bind(5, shown_uncertainty_ms)
        .Bind(6, Flag(missed_instant))
        .Run();
    tx.Commit();
    LogLine("task " + std::to_string(task_id) + " reported after its instruction expired; recorded as expired");
    throw ApiError(410, "本次点击安排已过期，结果未被采用");
  }
  c.db().Prepare(
           "UPDATE tasks SET consumed_ms = ?2, result = ?3, result_detail = ?4, client_error_ms = ?5, "
           "report_platform = ?6, shown_uncertainty_ms = ?8, missed_instant = ?9 "
           "WHERE id = ?1 AND consumed_ms IS NULL AND nonce = ?7")
      .Bind(1, task_id)
      .Bind(2, now)
      .Bind(3, result)
      .Bind(4, detail)
      .Bind(5, client_error_ms)
      .Bind(6, platform)
      .Bind(7, nonce)
      .Bind(8, shown_uncertainty_ms)
      .Bind(9, Flag(missed_instant))
      .Run();
  if (c.db().Changes() != 1) throw ApiError(409, "本次点击结果已经提交过");
  tx.Commit();
  LogLine("task " + std::to_string(task_id) + " reported " + result + ", timing error " +
          std::to_string(*client_error_ms) + " ms");
  OJson j = OkBody();
  j["task_id"] = task_id;
  return {200, j};
}

Reply ActRoomResult(ActionContext &c) {
  int64_t task_id = RequireTaskId(c.body);
  // "rows": false asks for the summary alone: what a machine polls after its click, which in a room of
  // thousands would otherwise carry every machine's row on every poll.
  const bool rows = OptionalBool(c.body, "rows").value_or(true);
  int64_t now = c.NowMs();
  RoomResult r;
  {
    std::lock_guard<std::mutex> lock(c.db().Mutex());
    Task t = OwnTask(c, task_id);
    std::optional<Room> room = t.room_id ? LoadRoom(c.db(), *t.room_id) : std::nullopt;
    if (t.kind != "room" || !room) throw ApiError(400, "这不是房间任务，没有房间结果");
    // Until the instant no machine has clicked: the result begins there.
    if (now < room->execute_at_ms) throw ApiError(409, "还没到约定时刻，房间结果稍后可看");
    if (room->result_token.empty()) room->result_token = EnsureRoomResultToken(c.db(), room->id);
    r = ReadRoomResult(*room, ListRoomTasks(c.db(), room->id), now, c.cfg.claim_expiry_ms);
  }
  auto optional_ms = [](const std::optional<int64_t> &v) { return v ? OJson(*v) : OJson(); };
  // The client reads each member by the first occurrence of its key: every room-wide member comes
  // before "machines", and none of their names is used inside a machine's row.
  OJson j = OkBody();
  j["code"] = r.room.code;
  j["execute_at_ms"] = r.room.execute_at_ms;
  j["capacity"] = r.room.capacity;
  j["joined"] = r.joined;
  j["confirmed"] = r.confirmed;
  j["claimed"] = r.claimed;
  j["reported"] = r.reported;
  j["clicked"] = r.clicked;
  j["missed_count"] = r.missed;
  j["failed_count"] = r.failed;
  j["waiting_count"] = r.waiting;
  j["silent_count"] = r.silent;
  j["complete"] = r.complete;
  const RoomMachine *self = r.Machine(task_id);
  j["self_number"] = self ? self->number : 0;
  j["not_clicked_list"] = r.NotClickedList();
  j["spread_ms"] = optional_ms(r.spread_ms);
  j["spread_bound_ms"] = optional_ms(r.spread_bound_ms);
  j["page_url"] = c.svc.PublicBase() + "/room/" + r.room.result_token;
  if (!rows) return {200, j};
  OJson machines = OJson::array();
  for (const RoomMachine &m : r.machines) {
    OJson row;
    row["number"] = m.number;
    row["self"] = m.task_id == task_id;
    row["state"] = MachineStateName(m.state);
    row["detail"] = m.detail;
    row["error_ms"] = optional_ms(m.error_ms);
    row["shown_uncertainty_ms"] = optional_ms(m.shown_uncertainty_ms);
    machines.push_back(std::move(row));
  }
  j["machines"] = std::move(machines);
  return {200, j};
}

std::pair<int, std::string> RoomResultPage(Service &svc, const std::string &token) {
  Db &db = svc.Database();
  int64_t now = svc.Clock().NowMs();
  std::lock_guard<std::mutex> lock(db.Mutex());
  std::optional<Room> room = FindRoomByResultToken(db, token);
  if (!room) return {404, RoomUnknownPageHtml()};
  // A token exists only once the instant has passed, unless the service's clock was set back since.
  if (now < room->execute_at_ms) return {409, RoomNotYetPageHtml(*room)};
  return {200, RoomResultPageHtml(ReadRoomResult(*room, ListRoomTasks(db, room->id), now, svc.Config().claim_expiry_ms))};
}

}  // namespace orvane
