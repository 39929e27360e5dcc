-- wrk script: posts valid reports, each on a new connection, cycling through
-- many players' keys. Arguments after "--": the keys file (one "NAME KEY" a
-- line), the server identifier, the pause in milliseconds each connection
-- takes before its next request (0: full rate), and the seconds to post for.
--
-- After those seconds every connection pauses for good, so that no request
-- is still under way when wrk stops (wrk forgets those, while the collector
-- may store them). Every report carries 1 mile and 60 seconds, so the stored
-- totals must equal the 2xx answers that done() prints as one JSON line.

local ffi = require("ffi")
ffi.cdef [[
  typedef struct { long tv_sec; long tv_nsec; } vorn_timespec;
  int clock_gettime(int clock, vorn_timespec* now);
]]
local CLOCK_MONOTONIC = 1

local function now_ms()
  local t = ffi.new("vorn_timespec")
  ffi.C.clock_gettime(CLOCK_MONOTONIC, t)
  return tonumber(t.tv_sec) * 1000 + tonumber(t.tv_nsec) / 1e6
end

local players = {}
local server_id, pause_ms, stop_at = "", 0, 0
local next_player = 0
-- per thread, read by done()
sent, answered, accepted, first_ms, last_ms = 0, 0, 0, 0, 0

local threads = {}

function setup(thread)
  threads[#threads + 1] = thread
end

local function json_text(s)
  return (s:gsub('[%c"\\]', function(c) return string.format("\\u%04x", c:byte()) end))
end

function init(args)
  for line in io.lines(args[1]) do
    local name, key = line:match("^(.-) (%S+)$")
    if name then players[#players + 1] = { name = json_text(name), key = key } end
  end
  server_id = args[2]
  pause_ms = tonumber(args[3])
  stop_at = now_ms() + 1000 * tonumber(args[4])
  next_player = math.random(#players) - 1
end

function request()
  if sent == 0 then first_ms = now_ms() end
  sent = sent + 1
  next_player = next_player % #players + 1
  local p = players[next_player]
  local body = '{"player_name":"' .. p.name .. '","server_id":"' .. server_id ..
    '","miles_delta":1.000000,"seconds_delta":60,"truck":"Load","trailer":"Test"}'
  return wrk.format("POST", "/api/v1/telemetry", {
    ["Content-Type"] = "application/json",
    ["X-VORN-Key"] = p.key,
    ["Connection"] = "close",
  }, body)
end

function response(status, headers, body)
  answered = answered + 1
  if status >= 200 and status <= 299 then
    accepted = accepted + 1
    last_ms = now_ms()
  end
end

function delay()
  if now_ms() >= stop_at then return 3600000 end
  return pause_ms
end

function done(summary, latency, requests)
  local total = { sent = 0, answered = 0, accepted = 0 }
  local first, last = math.huge, 0
  for _, thread in ipairs(threads) do
    for name in pairs(total) do total[name] = total[name] + thread:get(name) end
    first = math.min(first, thread:get("first_ms"))
    last = math.max(last, thread:get("last_ms"))
  end
  local e = summary.errors
  io.write(string.format(
    '{"sent":%d,"answered":%d,"accepted":%d,"posting_ms":%.0f,"p50_us":%d,"p99_us":%d,' ..
    '"max_us":%d,"connect_errors":%d,"read_errors":%d,"write_errors":%d,"timeouts":%d}\n',
    total.sent, total.answered, total.accepted, last - first, latency:percentile(50),
    latency:percentile(99), latency.max, e.connect, e.read, e.write, e.timeout))
end
