#include "blacklist_code.h"

#include "json_util.h"
#include "validate.h"

namespace orvane {

std::variant<BlacklistRecord, std::string> ParseBlacklistRecord(const std::string &plaintext,
                                                                int64_t now_ms) {
  Json j = Json::parse(plaintext, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return std::string("名单码内容不是有效的记录");
  auto str = [&](const char *key, size_t max_chars, std::string &out) -> bool {
    auto it = j.find(key);
    if (it == j.end() || !it->is_string()) return false;
    out = it->get<std::string>();
    size_t n = Utf8Length(out);
    return n >= 1 && n <= max_chars;
  };
  auto integer = [&](const char *key, int64_t &out) -> bool {
    auto it = j.find(key);
    if (it == j.end() || !it->is_number_integer()) return false;
    out = it->get<int64_t>();
    return true;
  };
  int64_t version = 0;
  if (!integer("v", version) || version != 1) return std::string("名单码版本不受支持");
  BlacklistRecord r;
  std::string sha;
  if (!str("displayName", 100, r.display_name)) return std::string("名单码缺少有效的软件显示名称");
  if (!str("executableName", 260, r.executable_name)) return std::string("名单码缺少有效的程序文件名");
  if (!str("executableSha256", 64, sha) || !NormaliseSha256(sha))
    return std::string("名单码中的程序指纹无效");
  r.executable_sha256 = *NormaliseSha256(sha);
  if (!str("blockReason", 255, r.block_reason)) return std::string("名单码缺少有效的拦截原因");
  if (!integer("userId", r.user_id) || r.user_id <= 0) return std::string("名单码缺少签发账号");
  if (!integer("issuedAtMs", r.issued_at_ms) || !integer("expiresAtMs", r.expires_at_ms))
    return std::string("名单码缺少有效期");
  if (r.expires_at_ms <= r.issued_at_ms || r.expires_at_ms - r.issued_at_ms > kBlacklistCodeLifetimeMs)
    return std::string("名单码的有效期不正确");
  if (r.issued_at_ms > now_ms + 24LL * 3600 * 1000) return std::string("名单码的签发时间晚于当前时间");
  if (now_ms > r.expires_at_ms) return std::string("名单码已过期，请让开发者重新生成");
  return r;
}

std::variant<BlacklistRecord, std::string> OpenBlacklistCode(const std::string &code,
                                                             const SigningKey &key, int64_t now_ms) {
  std::string compact;
  for (char c : code)
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') compact.push_back(c);
  static const std::string kPrefix = "QVTR1.";
  if (compact.compare(0, kPrefix.size(), kPrefix) != 0)
    return std::string("名单码应以 QVTR1. 开头");
  auto sealed = Base64Decode(compact.substr(kPrefix.size()));
  if (!sealed) return std::string("名单码不是有效的 Base64 文本");
  auto plain = key.OpenSealed(*sealed);
  if (!plain) return std::string("名单码无法解密：它不是发给本服务的，或已损坏");
  return ParseBlacklistRecord(*plain, now_ms);
}

}  // namespace orvane
