-- wrk script for the load run's readers: GETs the URL given to wrk over
-- kept-alive connections; done() prints one JSON line.
non2xx = 0  -- per thread, read by done()
local threads = {}

function setup(thread)
  threads[#threads + 1] = thread
end

function response(status, headers, body)
  if status < 200 or status > 299 then non2xx = non2xx + 1 end
end

function done(summary, latency, requests)
  local bad = 0
  for _, thread in ipairs(threads) do bad = bad + thread:get("non2xx") end
  local e = summary.errors
  io.write(string.format(
    '{"requests":%d,"non2xx":%d,"p50_us":%d,"p99_us":%d,"max_us":%d,"errors":%d}\n',
    summary.requests, bad, latency:percentile(50), latency:percentile(99), latency.max,
    e.connect + e.read + e.write + e.timeout))
end
