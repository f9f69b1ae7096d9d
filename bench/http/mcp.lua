-- POSTs one JSON-RPC request per wrk request on an open MCP session, each with an id of its own
-- (the thread's number times 10^12 plus the thread's own count), and checks every answer: status 200
-- and a message carrying "result" (and EXPECT, when given), whether the body is the message itself
-- (application/json) or an event stream whose data lines carry it (text/event-stream; id: lines,
-- comments and events with empty data are passed over). At the end prints one line for the run
-- script: RESULT requests=... duration_us=... p50_us=... p99_us=... errors... bad=...
--
-- Usage: wrk ... -s mcp.lua URL -- SESSION METHOD [PARAMS [EXPECT [NAME]]]
--   SESSION  the Mcp-Session-Id to send; "-" for a modern request (MCP 2026-07-28): no session,
--            MCP-Protocol-Version 2026-07-28, Mcp-Method, and Mcp-Name NAME when given (PARAMS
--            then carry the _meta)
--   METHOD   e.g. ping, tools/call
--   PARAMS   the params object as JSON text, or "" for none
--   EXPECT   text the result must also hold, or "" for none

local threads = {}
local next_thread = 0

function setup(thread)
  thread:set("number", next_thread)
  next_thread = next_thread + 1
  table.insert(threads, thread)
end

local session, method, params, expect
local base, sent = 0, 0
bad = 0  -- globals, read by done() through thread:get
first_bad = nil

function init(args)
  session = args[1]
  method = args[2]
  params = args[3] or ""
  expect = args[4] or ""
  if not session or not method then error("usage: -- SESSION METHOD [PARAMS [EXPECT]]") end
  base = number * 1e12
  wrk.method = "POST"
  wrk.headers["Content-Type"] = "application/json"
  wrk.headers["Accept"] = "application/json, text/event-stream"
  if session == "-" then
    wrk.headers["MCP-Protocol-Version"] = "2026-07-28"
    wrk.headers["Mcp-Method"] = method
    if args[5] and args[5] ~= "" then wrk.headers["Mcp-Name"] = args[5] end
  else
    wrk.headers["Mcp-Session-Id"] = session
    wrk.headers["MCP-Protocol-Version"] = "2025-06-18"
  end
end

local tail = ""
function request()
  sent = sent + 1
  if tail == "" then
    tail = ',"method":"' .. method .. '"' .. (params ~= "" and (',"params":' .. params) or "") .. "}"
  end
  return wrk.format(nil, nil, nil, string.format('{"jsonrpc":"2.0","id":%.0f', base + sent) .. tail)
end

local function header(headers, name)
  for k, v in pairs(headers) do
    if string.lower(k) == name then return v end
  end
  return ""
end

-- The JSON-RPC message an answer carries: the body, or the data of its event stream's events.
local function message(headers, body)
  if not string.find(header(headers, "content-type"), "text/event-stream", 1, true) then return body end
  local data = {}
  for line in string.gmatch(body, "[^\r\n]+") do
    local payload = string.match(line, "^data: ?(.*)$")
    if payload and payload ~= "" then table.insert(data, payload) end
  end
  return table.concat(data, "\n")
end

function response(status, headers, body)
  local m = status == 200 and message(headers, body) or ""
  local good = string.find(m, '"result"', 1, true) and (expect == "" or string.find(m, expect, 1, true))
  if not good then
    bad = bad + 1
    if not first_bad then first_bad = status .. " " .. string.sub(body or "", 1, 200) end
  end
end

function done(summary, latency, requests)
  local bad_total = 0
  for _, t in ipairs(threads) do
    bad_total = bad_total + (t:get("bad") or 0)
    local example = t:get("first_bad")
    if example then io.stderr:write("first bad answer: " .. example .. "\n") end
  end
  local e = summary.errors
  io.write(string.format(
    "RESULT requests=%d duration_us=%d p50_us=%d p99_us=%d connect=%d read=%d write=%d status=%d timeout=%d bad=%d\n",
    summary.requests, summary.duration, latency:percentile(50), latency:percentile(99), e.connect, e.read,
    e.write, e.status, e.timeout, bad_total))
end
