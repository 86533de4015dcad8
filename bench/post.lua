-- wrk script: POST the body named by $BENCH_BODY to "/" as JSON-RPC.
local path = os.getenv("BENCH_BODY")
local f = assert(io.open(path, "rb"), "cannot open " .. tostring(path))
wrk.method = "POST"
wrk.body = f:read("*a")
f:close()
wrk.headers["Content-Type"] = "application/json"
