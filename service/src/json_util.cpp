#include "json_util.h"

#include <cmath>

namespace orvane {

OJson OkBody() {
  OJson j;
  j["ok"] = true;
  return j;
}

OJson FailBody(const std::string &message) {
  OJson j;
  j["ok"] = false;
  j["message"] = message;
  return j;
}

Reply Fail(int status, const std::string &message) { return Reply{status, FailBody(message)}; }

std::string DumpJson(const OJson &j) {
  return j.dump(-1, ' ', false, nlohmann::detail::error_handler_t::replace);
}

std::string DumpJson(const Json &j) {
  return j.dump(-1, ' ', false, nlohmann::detail::error_handler_t::replace);
}

Json ParseObject(const std::string &body) {
  Json j = Json::parse(body, nullptr, false);
  if (j.is_discarded()) throw ApiError(400, "请求内容不是有效的 JSON");
  if (!j.is_object()) throw ApiError(400, "请求内容必须是 JSON 对象");
  return j;
}

namespace {
const Json &Member(const Json &body, const char *key) {
  auto it = body.find(key);
  if (it == body.end() || it->is_null()) throw ApiError(400, std::string("请求缺少必填项 ") + key);
  return *it;
}
}  // namespace

std::string RequireString(const Json &body, const char *key, size_t max_bytes) {
  const Json &v = Member(body, key);
  if (!v.is_string()) throw ApiError(400, std::string("请求项 ") + key + " 应为文本");
  const std::string &s = v.get_ref<const std::string &>();
  if (s.size() > max_bytes) throw ApiError(400, std::string("请求项 ") + key + " 过长");
  return s;
}

std::optional<std::string> OptionalString(const Json &body, const char *key, size_t max_bytes) {
  auto it = body.find(key);
  if (it == body.end() || it->is_null()) return std::nullopt;
  return RequireString(body, key, max_bytes);
}

int64_t RequireInt(const Json &body, const char *key, int64_t lo, int64_t hi) {
  const Json &v = Member(body, key);
  if (!v.is_number_integer()) throw ApiError(400, std::string("请求项 ") + key + " 应为整数");
  if (v.is_number_unsigned() && v.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX))
    throw ApiError(400, std::string("请求项 ") + key + " 超出允许范围");
  int64_t x = v.get<int64_t>();
  if (x < lo || x > hi) throw ApiError(400, std::string("请求项 ") + key + " 超出允许范围");
  return x;
}

std::optional<bool> OptionalBool(const Json &body, const char *key) {
  auto it = body.find(key);
  if (it == body.end() || it->is_null()) return std::nullopt;
  if (!it->is_boolean()) throw ApiError(400, std::string("请求项 ") + key + " 应为 true 或 false");
  return it->get<bool>();
}

std::optional<int64_t> OptionalMs(const Json &body, const char *key, bool may_be_negative) {
  auto it = body.find(key);
  if (it == body.end() || it->is_null()) return std::nullopt;
  if (!it->is_number()) throw ApiError(400, std::string("请求项 ") + key + " 应为数字");
  double value = it->get<double>();
  if (!std::isfinite(value) || std::fabs(value) > 1e9 || (!may_be_negative && value < 0))
    throw ApiError(400, std::string("请求项 ") + key + " 超出允许范围");
  return it->is_number_integer() ? it->get<int64_t>() : std::llround(value);
}

}  // namespace orvane
