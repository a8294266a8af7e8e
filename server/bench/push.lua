-- wrk script: pushes with a valid key, then, for the last second, only device lists (which store nothing),
-- so that every push sent has been answered when wrk stops and the pushes stored can be compared with the
-- 200 answers counted here.
local key = assert(os.getenv("BENCH_KEY"), "BENCH_KEY is not set")
local device = assert(os.getenv("BENCH_DEVICE"), "BENCH_DEVICE is not set")
local pushSeconds = tonumber(os.getenv("BENCH_PUSH_SECONDS") or "19")

-- BENCH_DEVICE may name several devices, separated by commas: the pushes go to each in turn.
local pushPaths = {}
for one in device:gmatch("[^,]+") do
    table.insert(pushPaths, "/all/api.php?apikey=" .. key .. "&msg=Phone%20number%20%3A%20%2B33612345678"
        .. "&icon=115&sound=01&devices=" .. one .. "&extra=tel%3A%2B33612345678")
end
local nextPush = 0
local drainPath = "/all/devices_app.php?apikey=" .. key

local ffi = require("ffi")
ffi.cdef [[
typedef struct { long tv_sec; long tv_usec; } bench_timeval;
int gettimeofday(bench_timeval *tv, void *tz);
]]
local timeval = ffi.new("bench_timeval")
local function now()
    ffi.C.gettimeofday(timeval, nil)
    return tonumber(timeval.tv_sec) + tonumber(timeval.tv_usec) / 1e6
end

local threads = {}

function setup(thread)
    table.insert(threads, thread)
end

function init(args)
    started = nil
    pushesOk = 0
    pushesOther = 0
    drains = 0
end

function request()
    local time = now()
    started = started or time
    if time - started < pushSeconds then
        nextPush = nextPush % #pushPaths + 1
        return wrk.format("GET", pushPaths[nextPush])
    end
    return wrk.format("GET", drainPath)
end

function response(status, headers, body)
    if body:find('"devices"', 1, true) then
        drains = drains + 1
    elseif status == 200 and body == '{"status":"valid"}' then
        pushesOk = pushesOk + 1
    else
        pushesOther = pushesOther + 1
    end
end

function done(summary, latency, requests)
    local ok, other, drained = 0, 0, 0
    for _, thread in ipairs(threads) do
        ok = ok + thread:get("pushesOk")
        other = other + thread:get("pushesOther")
        drained = drained + thread:get("drains")
    end
    io.write(string.format("pushes answered 200: %d\n", ok))
    io.write(string.format("pushes per second over the %g s of pushing: %.0f\n", pushSeconds, ok / pushSeconds))
    io.write(string.format("pushes answered otherwise: %d\n", other))
    io.write(string.format("device lists (final second): %d\n", drained))
    io.write(string.format("p50 latency ms: %.2f\n", latency:percentile(50) / 1000))
    io.write(string.format("p99 latency ms: %.2f\n", latency:percentile(99) / 1000))
    io.write(string.format("max latency ms: %.2f\n", latency.max / 1000))
    io.write(string.format("socket errors: connect %d, read %d, write %d, timeout %d\n", summary.errors.connect,
        summary.errors.read, summary.errors.write, summary.errors.timeout))
end
