-- wrk script: POSTs one JSON body with the client's headers and counts what came back.
-- ORVANE_BODY: request body (default "{}"); ORVANE_TOKEN: bearer token (optional).
local threads = {}

function setup(thread)
  table.insert(threads, thread)
end

function init(args)
  ok_count = 0
  not_ok_count = 0
end

wrk.method = "POST"
wrk.body = os.getenv("ORVANE_BODY") or "{}"
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Accept"] = "application/json"
wrk.headers["X-Orvane-Platform"] = "windows"
wrk.headers["X-Orvane-Version"] = "0.9.10"
wrk.headers["X-Orvane-Protocol"] = "2"
local token = os.getenv("ORVANE_TOKEN")
if token and token ~= "" then
  wrk.headers["Authorization"] = "Bearer " .. token
end

function response(status, headers, body)
  if status == 200 and body:sub(1, 10) == '{"ok":true' then
    ok_count = ok_count + 1
  else
    not_ok_count = not_ok_count + 1
  end
end

function done(summary, latency, requests)
  local ok, not_ok = 0, 0
  for _, t in ipairs(threads) do
    ok = ok + t:get("ok_count")
    not_ok = not_ok + t:get("not_ok_count")
  end
  local e = summary.errors
  io.write(string.format("requests=%d answered_ok=%d answered_not_ok=%d socket_errors=%d (connect %d, read %d, write %d, timeout %d)\n",
    summary.requests, ok, not_ok, e.connect + e.read + e.write + e.timeout, e.connect, e.read, e.write, e.timeout))
  io.write(string.format("requests_per_second=%.0f latency_ms p50=%.2f p99=%.2f max=%.2f\n",
    summary.requests / (summary.duration / 1e6), latency:percentile(50) / 1000, latency:percentile(99) / 1000,
    latency.max / 1000))
end
