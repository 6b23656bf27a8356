#include "room_page.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "html.h"

namespace orvane {
namespace {

// The picture's layout in SVG units (the SVG is scaled to the page's width).
constexpr int kWidth = 360;
constexpr int kLabelWidth = 58;   // "机器 12" left of the axis
constexpr int kRightMargin = 18;
constexpr int kTop = 26;          // "约定时刻" above the rows
constexpr int kRowHeight = 28;
constexpr int kAxisHeight = 46;   // ticks, their labels and "早 / 晚" below the rows
// A click's mark and its uncertainty bar; the mark's colour appears nowhere else on the page.
constexpr const char *kMarkColour = "#d6336c";
constexpr const char *kBarColour = "#f3b4c9";

std::string Num(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", v);
  return text;
}

// "+12 毫秒", "−8 毫秒", "0 毫秒".
std::string SignedMs(int64_t ms) {
  if (ms > 0) return "+" + std::to_string(ms) + " 毫秒";
  if (ms < 0) return "−" + std::to_string(-ms) + " 毫秒";
  return "0 毫秒";
}

std::string StateText(const RoomMachine &m) {
  switch (m.state) {
    case MachineState::kClicked: return "已点击";
    case MachineState::kMissed: return "错过了约定时刻";
    case MachineState::kPending: return "尚未报告";
    case MachineState::kNoReport: return "没有报告";
    case MachineState::kFailed: break;
  }
  // Clients write their reason after "未点击："; it is shown once.
  const std::string prefix = "未点击：";
  std::string reason = m.detail.rfind(prefix, 0) == 0 ? m.detail.substr(prefix.size()) : m.detail;
  return reason.empty() ? "未点击" : "未点击（" + reason + "）";
}

// The smallest of 10, 20, 50, 100, 200, 500, … not below `v`: the axis reaches that far each way.
int64_t AxisReach(int64_t v) {
  int64_t step = 10;
  while (true) {
    for (int64_t f : {1, 2, 5})
      if (f * step >= v) return f * step;
    if (step > INT64_MAX / 100) return 10 * step;
    step *= 10;
  }
}

std::string Picture(const RoomResult &r) {
  std::vector<const RoomMachine *> clicked;
  int64_t errors = 5, with_bars = 0;
  for (const auto &m : r.machines) {
    if (m.state != MachineState::kClicked) continue;
    clicked.push_back(&m);
    int64_t e = std::llabs(*m.error_ms);
    errors = std::max(errors, e);
    with_bars = std::max(with_bars, e + m.shown_uncertainty_ms.value_or(0));
  }
  if (clicked.empty()) return "<p>没有机器点击，图上没有可画的点击。</p>";
  // The axis holds every click and, unless they would squeeze the clicks into a third of it, the
  // uncertainty bars; a bar longer than that runs off the axis and ends in an arrow.
  int64_t reach = AxisReach(std::max(errors, std::min(with_bars, 3 * errors)) * 11 / 10 + 1);
  const double left = kLabelWidth, right = kWidth - kRightMargin;
  auto x = [&](int64_t ms) {
    double clamped = std::clamp<double>(static_cast<double>(ms), -static_cast<double>(reach), static_cast<double>(reach));
    return left + (clamped + reach) / (2.0 * reach) * (right - left);
  };
  const int axis_y = kTop + static_cast<int>(clicked.size()) * kRowHeight + 6;
  const int height = axis_y + kAxisHeight;
  std::string s = "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " + std::to_string(kWidth) + " " +
                  std::to_string(height) + "\" role=\"img\" aria-label=\"各台机器点击的时刻\" "
                  "font-family=\"sans-serif\" font-size=\"12\">";
  s += "<line x1=\"" + Num(x(0)) + "\" y1=\"" + std::to_string(kTop - 6) + "\" x2=\"" + Num(x(0)) + "\" y2=\"" +
       std::to_string(axis_y) + "\" stroke=\"#888\" stroke-dasharray=\"3 3\"/>";
  s += "<text x=\"" + Num(x(0)) + "\" y=\"14\" text-anchor=\"middle\" fill=\"#444\">约定时刻</text>";
  for (size_t i = 0; i < clicked.size(); ++i) {
    const RoomMachine &m = *clicked[i];
    const std::string y = std::to_string(kTop + static_cast<int>(i) * kRowHeight + kRowHeight / 2);
    s += "<text x=\"4\" y=\"" + y + "\" dy=\"4\" fill=\"#222\">机器 " + std::to_string(m.number) + "</text>";
    if (m.shown_uncertainty_ms && *m.shown_uncertainty_ms > 0) {
      int64_t from = *m.error_ms - *m.shown_uncertainty_ms, to = *m.error_ms + *m.shown_uncertainty_ms;
      s += "<line class=\"bar\" x1=\"" + Num(x(from)) + "\" y1=\"" + y + "\" x2=\"" + Num(x(to)) + "\" y2=\"" + y +
           "\" stroke=\"" + kBarColour + "\" stroke-width=\"8\"/>";
      auto arrow = [&](double tip, double back) {
        s += "<path d=\"M" + Num(tip) + " " + y + " l" + Num(back) + " -6 v12 z\" fill=\"" + kBarColour + "\"/>";
      };
      if (from < -reach) arrow(x(-reach) - 4, 8);
      if (to > reach) arrow(x(reach) + 4, -8);
    }
    s += "<circle class=\"mark\" cx=\"" + Num(x(*m.error_ms)) + "\" cy=\"" + y + "\" r=\"5\" fill=\"" + kMarkColour +
         "\"/>";
  }
  s += "<line x1=\"" + Num(left) + "\" y1=\"" + std::to_string(axis_y) + "\" x2=\"" + Num(right) + "\" y2=\"" +
       std::to_string(axis_y) + "\" stroke=\"#444\"/>";
  for (int64_t tick : {-reach, -reach / 2, int64_t{0}, reach / 2, reach}) {
    s += "<line x1=\"" + Num(x(tick)) + "\" y1=\"" + std::to_string(axis_y) + "\" x2=\"" + Num(x(tick)) + "\" y2=\"" +
         std::to_string(axis_y + 5) + "\" stroke=\"#444\"/>";
    s += "<text x=\"" + Num(x(tick)) + "\" y=\"" + std::to_string(axis_y + 18) + "\" text-anchor=\"middle\" fill=\"#444\">" +
         (tick > 0 ? "+" : tick < 0 ? "−" : "") + std::to_string(std::llabs(tick)) + "</text>";
  }
  const std::string under = std::to_string(axis_y + 36);
  s += "<text x=\"" + Num(left) + "\" y=\"" + under + "\" fill=\"#666\">← 早</text>";
  s += "<text x=\"" + Num(x(0)) + "\" y=\"" + under + "\" text-anchor=\"middle\" fill=\"#666\">毫秒</text>";
  s += "<text x=\"" + Num(right) + "\" y=\"" + under + "\" text-anchor=\"end\" fill=\"#666\">晚 →</text>";
  return s + "</svg>";
}

std::string Head(const std::string &title) {
  return "<!DOCTYPE html><html lang=\"zh-CN\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"><title>" + HtmlEscape(title) +
         "</title><style>"
         "body{font-family:sans-serif;color:#222;line-height:1.5;max-width:40em;margin:0 auto;padding:0 12px 24px}"
         "h1{font-size:1.4em;margin:16px 0 4px}.meta,.note{color:#555}.note{font-size:.9em}"
         ".counts{list-style:none;padding:0;margin:8px 0;display:flex;flex-wrap:wrap;gap:2px 14px}"
         ".spread{font-weight:bold;margin-bottom:0}figure{margin:12px 0}svg{display:block;width:100%;height:auto}"
         "table{width:100%;border-collapse:collapse;table-layout:fixed;font-size:.95em}"
         "th,td{text-align:left;vertical-align:top;padding:6px 4px;border-bottom:1px solid #ddd;overflow-wrap:anywhere}"
         "th.n{width:4.2em}th.ms{width:5.2em}"
         "</style></head><body>";
}

}  // namespace

std::string BeijingTimeText(int64_t ms) { return UtcTimeText(ms + 8 * 3600 * 1000) + "（北京时间）"; }

std::string RoomResultPageHtml(const RoomResult &r) {
  std::string s = Head("房间结果");
  s += "<h1>房间结果</h1><p class=\"meta\">房间 " + HtmlEscape(r.room.code) + " · 约定时刻 " +
       BeijingTimeText(r.room.execute_at_ms) + "</p>";
  s += "<ul class=\"counts\">";
  for (const auto &[label, n] : std::initializer_list<std::pair<const char *, int64_t>>{
           {"加入", r.joined}, {"已确认", r.confirmed}, {"已领取点击安排", r.claimed}, {"已报告", r.reported},
           {"已点击", r.clicked}, {"错过", r.missed}, {"未点击", r.failed}, {"尚未报告", r.waiting},
           {"没有报告", r.silent}})
    s += std::string("<li>") + label + " " + std::to_string(n) + " 台</li>";
  s += "</ul><p>" + (r.complete ? std::string("各台机器的结果已经齐了。")
                                : "还有 " + std::to_string(r.waiting) + " 台机器可能报告结果，稍后刷新本页可看到更新。") +
       "</p>";
  if (r.spread_ms) {
    s += "<p class=\"spread\">彼此相差约 " + std::to_string(*r.spread_ms) + " 毫秒（各机按自己的对时测得）</p>";
    if (r.spread_bound_ms && *r.spread_bound_ms > *r.spread_ms)
      s += "<p>计入各机显示的对时误差，实际最多可能相差 " + std::to_string(*r.spread_bound_ms) + " 毫秒</p>";
    else if (!r.spread_bound_ms)
      s += "<p>有机器没有报告它显示的对时误差，无法估计实际最多相差多少。</p>";
  } else {
    s += "<p class=\"spread\">点击的机器不足两台，无法比较彼此相差多少。</p>";
  }
  s += "<figure>" + Picture(r);
  std::string apart;
  for (const auto &m : r.machines)
    if (m.state != MachineState::kClicked)
      apart += std::string(apart.empty() ? "" : "；") + "机器 " + std::to_string(m.number) + " " + HtmlEscape(StateText(m));
  if (!apart.empty()) s += "<figcaption>没有画在图上：" + apart + "</figcaption>";
  s += "</figure><table><thead><tr><th class=\"n\">机器</th><th>结果</th><th class=\"ms\">误差</th>"
       "<th class=\"ms\">对时误差</th></tr></thead><tbody>";
  for (const auto &m : r.machines) {
    s += "<tr><td>机器 " + std::to_string(m.number) + "</td><td>" + HtmlEscape(StateText(m)) + "</td><td>" +
         (m.error_ms ? SignedMs(*m.error_ms) : "—") + "</td><td>" +
         (m.shown_uncertainty_ms ? "±" + std::to_string(*m.shown_uncertainty_ms) + " 毫秒" : "—") + "</td></tr>";
  }
  s += "</tbody></table>";
  s += "<p class=\"note\">怎么读：每台机器的误差，是它用自己对好的时钟量出的——它认定的约定时刻与它实际发出点击之间"
       "差多少，负数是早、正数是晚。各台机器对时各有误差（“对时误差”一列，是该机当时向使用者显示的），所以这些数字"
       "不是用同一块表量的：实际的相差可能比“彼此相差”更大，最多到计入对时误差后的那个数。</p>";
  return s + "</body></html>";
}

std::string RoomNotYetPageHtml(const Room &room) {
  return MessagePage("还没到约定时刻", "房间 " + room.code + " 的约定时刻是 " + BeijingTimeText(room.execute_at_ms) +
                                          "，到时再打开本页即可看到各台机器的结果。");
}

std::string RoomUnknownPageHtml() {
  return MessagePage("没有这个房间结果", "链接不完整或已失效。请回到澄序，在房间结果里重新打开本页。");
}

}  // namespace orvane
