#include "testmode.h"

#include "validate.h"

namespace orvane {

std::variant<Fault, std::string> ParseFault(const Json &j) {
  if (!j.is_object()) return std::string("需要 JSON 对象");
  Fault f;
  for (auto it = j.begin(); it != j.end(); ++it) {
    const std::string &k = it.key();
    const Json &v = it.value();
    if (k == "action") continue;
    if (k == "status") {
      if (!v.is_number_integer() || v.get<int64_t>() < 100 || v.get<int64_t>() > 599)
        return std::string("status 需要 100..599 的整数");
      f.status = v.get<int>();
    } else if (k == "ok") {
      if (!v.is_boolean()) return std::string("ok 需要 true 或 false");
      f.ok = v.get<bool>();
    } else if (k == "message") {
      if (!v.is_string()) return std::string("message 需要文本");
      f.message = v.get<std::string>();
    } else if (k == "delay_ms") {
      if (!v.is_number_integer() || v.get<int64_t>() < 0 || v.get<int64_t>() > 120000)
        return std::string("delay_ms 需要 0..120000 的整数");
      f.delay_ms = v.get<int64_t>();
    } else if (k == "drop") {
      if (!v.is_boolean()) return std::string("drop 需要 true 或 false");
      f.drop = v.get<bool>();
    } else if (k == "omit") {
      if (!v.is_array()) return std::string("omit 需要文本数组");
      for (const auto &e : v) {
        if (!e.is_string()) return std::string("omit 需要文本数组");
        f.omit.push_back(e.get<std::string>());
      }
    } else if (k == "set") {
      if (!v.is_object()) return std::string("set 需要 JSON 对象");
      f.set = OJson::parse(v.dump());
    } else if (k == "raw_body") {
      if (!v.is_string()) return std::string("raw_body 需要文本");
      f.raw_body = v.get<std::string>();
    } else if (k == "content_type") {
      if (!v.is_string()) return std::string("content_type 需要文本");
      f.content_type = v.get<std::string>();
    } else if (k == "times") {
      if (!v.is_number_integer() || v.get<int64_t>() < 1) return std::string("times 需要正整数");
      f.times = v.get<int64_t>();
    } else if (k == "run") {
      if (!v.is_boolean()) return std::string("run 需要 true 或 false");
      f.run = v.get<bool>();
    } else {
      return "未知的故障项 " + SanitiseForMessage(k);
    }
  }
  return f;
}

std::variant<SntpFault, std::string> ParseSntpFault(const Json &j, std::optional<int64_t> &times) {
  if (!j.is_object()) return std::string("需要 JSON 对象");
  SntpFault f;
  times.reset();
  auto small_int = [](const Json &v, int lo, int hi, std::optional<int> &dst) {
    if (!v.is_number_integer() || v.get<int64_t>() < lo || v.get<int64_t>() > hi) return false;
    dst = v.get<int>();
    return true;
  };
  for (auto it = j.begin(); it != j.end(); ++it) {
    const std::string &k = it.key();
    const Json &v = it.value();
    if (k == "action") continue;
    if (k == "drop" || k == "bad_originate" || k == "reversed" || k == "zero_timestamps") {
      if (!v.is_boolean()) return k + " 需要 true 或 false";
      bool b = v.get<bool>();
      (k == "drop" ? f.drop : k == "bad_originate" ? f.bad_originate : k == "reversed" ? f.reversed : f.zero_timestamps) = b;
    } else if (k == "delay_ms") {
      if (!v.is_number_integer() || v.get<int64_t>() < 0 || v.get<int64_t>() > 10000)
        return std::string("delay_ms 需要 0..10000 的整数");
      f.delay_ms = v.get<int64_t>();
    } else if (k == "leap") {
      if (!small_int(v, 0, 3, f.leap)) return std::string("leap 需要 0..3");
    } else if (k == "stratum") {
      if (!small_int(v, 0, 255, f.stratum)) return std::string("stratum 需要 0..255");
    } else if (k == "mode") {
      if (!small_int(v, 0, 7, f.mode)) return std::string("mode 需要 0..7");
    } else if (k == "times") {
      if (!v.is_number_integer() || v.get<int64_t>() < 1) return std::string("times 需要正整数");
      times = v.get<int64_t>();
    } else {
      return "未知的 SNTP 故障项 " + SanitiseForMessage(k);
    }
  }
  return f;
}

WireAnswer ApplyFault(const Fault &fault, const Reply &normal) {
  WireAnswer w;
  w.status = normal.status;
  if (fault.raw_body) {
    w.body = *fault.raw_body;
    if (fault.status) w.status = *fault.status;
    if (fault.content_type) w.content_type = *fault.content_type;
    return w;
  }
  OJson body;
  if (fault.ok && !*fault.ok) {
    body = FailBody(fault.message.value_or("测试注入的服务错误"));
    w.status = 200;
  } else {
    body = normal.body.is_object() ? normal.body : OkBody();
    if (fault.ok && *fault.ok) body["ok"] = true;
    if (fault.message) body["message"] = *fault.message;
  }
  for (const auto &name : fault.omit) body.erase(name);
  for (auto it = fault.set.begin(); it != fault.set.end(); ++it) body[it.key()] = it.value();
  if (fault.status) w.status = *fault.status;
  if (fault.content_type) w.content_type = *fault.content_type;
  w.body = DumpJson(body);
  return w;
}

std::vector<std::pair<std::string, std::string>> ParseRawHeaders(const std::string &raw) {
  // Lines as the HTTP library reads them: each ends at a line feed, with or without a carriage
  // return before it; the first empty line ends the headers.
  std::vector<std::pair<std::string, std::string>> out;
  size_t pos = raw.find('\n');
  if (pos == std::string::npos) return out;
  ++pos;  // past the request line
  while (pos < raw.size()) {
    size_t eol = raw.find('\n', pos);
    size_t next = eol == std::string::npos ? raw.size() : eol + 1;
    std::string line = raw.substr(pos, (eol == std::string::npos ? raw.size() : eol) - pos);
    pos = next;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    size_t b = colon + 1;
    while (b < line.size() && (line[b] == ' ' || line[b] == '\t')) ++b;
    size_t e = line.size();
    while (e > b && (line[e - 1] == ' ' || line[e - 1] == '\t')) --e;
    out.emplace_back(name, line.substr(b, e - b));
  }
  return out;
}

void TestControl::SetFault(const std::string &action, Fault f) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_[action] = std::move(f);
}

void TestControl::SetSntpFault(SntpFault f, std::optional<int64_t> times) {
  std::lock_guard<std::mutex> lock(mutex_);
  sntp_fault_ = f;
  sntp_times_ = times;
}

void TestControl::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.clear();
  sntp_fault_.reset();
  sntp_times_.reset();
}

std::optional<Fault> TestControl::TakeFault(const std::string &action) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = faults_.find(action);
  if (it == faults_.end()) it = faults_.find("*");
  if (it == faults_.end()) return std::nullopt;
  Fault f = it->second;
  if (it->second.times && --*it->second.times <= 0) faults_.erase(it);
  return f;
}

std::optional<SntpFault> TestControl::TakeSntpFault() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!sntp_fault_) return std::nullopt;
  SntpFault f = *sntp_fault_;
  if (sntp_times_ && --*sntp_times_ <= 0) {
    sntp_fault_.reset();
    sntp_times_.reset();
  }
  return f;
}

void TestControl::Record(const std::string &action, RecordedRequest r) {
  std::lock_guard<std::mutex> lock(mutex_);
  last_[action] = std::move(r);
}

std::optional<RecordedRequest> TestControl::Last(const std::string &action) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = last_.find(action);
  if (it == last_.end()) return std::nullopt;
  return it->second;
}

}  // namespace orvane
