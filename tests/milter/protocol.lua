-- The milter's protocol cases, as an MTA speaks them (run by
-- tests/milter_protocol_test.cpp against the bundled example rules), or with
-- count set, one connection's load for tests/milter_stress_test.cpp.
-- miltertest puts the leading space before every header value itself when the
-- milter asks for it, so the values below are given without it.
-- Globals from the command line: socket (libmilter's address of the milter);
-- for the load, count (messages) and id (a name for this connection's queue IDs);
-- filler (headers of a block over the milter's 1 MiB); hold (seconds a
-- message is left in flight) and held (a file made once it is).
-- The milter runs with --skip-authenticated --trusted-networks 192.0.2.0/24,
-- maxHeaderLength 200 and maxTotalHeadersLength 4000 (miltertest overflows its
-- own buffers on header values much longer than that; the Postfix run sends a
-- 5,000-byte header).

-- fail: miltertest does not show an error's text, so it is echoed first
local function fail(text)
  mt.echo("FAILED: " .. text)
  error(text)
end

local function ok(r, what)
  if r ~= nil then fail(what .. ": " .. r) end
end

-- open: a negotiated connection from a client address
local function open(address)
  local conn = mt.connect(socket, 100, 0.1)
  if conn == nil then fail("cannot connect to " .. socket) end
  ok(mt.negotiate(conn, nil, nil, nil), "negotiate")
  if not mt.test_option(conn, SMFIP_HDR_LEADSPC) or not mt.test_option(conn, SMFIP_NOBODY) or
     not mt.test_option(conn, SMFIP_NR_HDR) then
    fail("the milter did not ask for the leading space, no body and no header replies")
  end
  ok(mt.conninfo(conn, "client.test", address or "198.51.100.9"), "conninfo")
  return conn
end

-- message: MAIL (with its macros), the headers, the end; gives the eom reply
local function message(conn, macros, headers, abort)
  ok(mt.macro(conn, SMFIC_MAIL, table.unpack(macros)), "macro")
  ok(mt.mailfrom(conn, "<sender@example.org>"), "mailfrom")
  for _, h in ipairs(headers) do ok(mt.header(conn, h[1], h[2]), "header " .. h[1]) end
  if abort then
    ok(mt.abort(conn), "abort")
    return nil
  end
  ok(mt.eoh(conn), "eoh")
  ok(mt.eom(conn), "eom")
  return mt.getreply(conn)
end

-- expect: the eom reply continues and the milter added exactly these headers
local function expect(conn, reply, status, hits, case)
  if reply ~= SMFIR_CONTINUE then fail(case .. ": reply " .. tostring(reply)) end
  if not mt.eom_check(conn, MT_HDRADD, "X-Hdrweights-Status", " " .. status) then
    fail(case .. ": status is " .. tostring(mt.getheader(conn, "X-Hdrweights-Status", 0)) ..
          ", want " .. status)
  end
  local got = mt.getheader(conn, "X-Hdrweights-Hits", 0)
  if hits == nil and mt.eom_check(conn, MT_HDRADD, "X-Hdrweights-Hits") then
    fail(case .. ": unexpected hits " .. tostring(got))
  elseif hits ~= nil and not mt.eom_check(conn, MT_HDRADD, "X-Hdrweights-Hits", " " .. hits) then
    fail(case .. ": hits are " .. tostring(got) .. ", want " .. hits)
  end
end

-- The load: spam and ham alternate on one connection; each verdict is checked.
if count ~= nil then
  local conn = open()
  for k = 1, tonumber(count) do
    local spam = k % 2 == 0
    local subject = spam and "FREE casino jackpot, message " .. k or "Minutes, part " .. k
    if message(conn, {"i", id .. "-" .. k}, {{"From", "Sender <sender@example.org>"}, {"Subject", subject}})
        ~= SMFIR_CONTINUE then
      fail("message " .. k .. ": no continue")
    end
    local status = mt.getheader(conn, "X-Hdrweights-Status", 0)
    if status == nil or string.sub(status, 1, 4) ~= (spam and " Yes" or " No,") then
      fail("message " .. k .. ": status " .. tostring(status))
    end
  end
  mt.disconnect(conn)
  return
end

-- With filler set: that many 450-byte headers, then a spam subject, on a
-- milter without maxTotalHeadersLength. A block longer than the milter keeps
-- is spam unread, never judged on its first part.
if filler ~= nil then
  local conn = open()
  local headers = {}
  for k = 1, tonumber(filler) do headers[k] = {"X-Filler-" .. k, string.rep("f", 450)} end
  headers[#headers + 1] = {"Subject", "FREE casino jackpot"}
  expect(conn, message(conn, {"i", "QF"}, headers), "Yes, score=0 threshold=100", nil, "long block")
  expect(conn, message(conn, {"i", "QG"}, {{"Subject", "FREE casino jackpot"}}),
    "Yes, score=110 threshold=100", "1001:60 1013:50", "after the long block")
  mt.disconnect(conn)
  return
end

-- With hold set (TCP, where DATA is answered): a message begun and then left
-- by the MTA, its connection kept open for hold seconds; the file held says
-- when the milter has answered DATA.
if hold ~= nil then
  local conn = open()
  ok(mt.macro(conn, SMFIC_MAIL, "i", "QH"), "macro")
  ok(mt.mailfrom(conn, "<sender@example.org>"), "mailfrom")
  ok(mt.data(conn), "data")
  local mark = io.open(held, "w")
  mark:close()
  mt.sleep(tonumber(hold))
  return
end

local plain = {{"From", "Anna <anna@example.org>"}, {"To", "ben@example.org"},
               {"Subject", "Lunch on Sunday"}}

-- Folded and 8-bit headers: folds arrive as LF + white space and stay folds.
local conn = open()
expect(conn, message(conn, {"i", "Q1"}, {
  {"To", "anna@example.org,\n\tben@example.org, carla@example.org,\n  dora@example.org,\n\tem@example.org"},
  {"Subject", "Gewinnspiel f\195\188r Sie \226\128\147 Ihr Gutschein:\n\tFREE Jackpot"}}),
  "Yes, score=110 threshold=100", "1001:60 1013:50", "folded 8-bit")

-- A second message on the same connection starts from an empty block.
expect(conn, message(conn, {"i", "Q2"}, plain), "No, score=0 threshold=100", nil, "second message")

-- A header longer than maxHeaderLength is skipped; the rest counts.
expect(conn, message(conn, {"i", "Q4"}, {{"X-Long", string.rep("a", 300)},
  {"Subject", "Cheap Viagra!!!"}}), "Yes, score=100 threshold=100", "1002:70 1004:30", "long header")

-- A block over maxTotalHeadersLength is spam without evaluation.
local big = {}
for k = 1, 9 do big[k] = {"X-Filler-" .. k, string.rep("b", 450)} end
expect(conn, message(conn, {"i", "Q5"}, big), "Yes, score=0 threshold=100", nil, "block over the limit")

-- An aborted message leaves nothing behind for the next one.
message(conn, {"i", "Q6"}, {{"Subject", "FREE casino jackpot"}}, true)
expect(conn, message(conn, {"i", "Q7"}, plain), "No, score=0 threshold=100", nil, "after an abort")

-- Forged headers of the milter's names are removed; its own are added.
local reply = message(conn, {"i", "Q8"}, {{"Subject", "Lunch"}, {"X-Hdrweights-Status", "No, forged"},
  {"x-hdrweights-status", "No"}, {"X-HDRWEIGHTS-HITS", "1:1"}})
expect(conn, reply, "No, score=0 threshold=100", nil, "forged")
if not mt.eom_check(conn, MT_HDRDELETE, "X-Hdrweights-Status") or
   not mt.eom_check(conn, MT_HDRDELETE, "X-Hdrweights-Hits") then
  fail("forged: the incoming headers were not removed")
end

-- The MTA's own trace header on top (it carries the queue ID) is not the
-- client's; a client's Received header further down is.
local received = "from relay.test (unknown [203.0.113.7])\n\tby mx.test with ESMTP id "
expect(conn, message(conn, {"i", "QID9"}, {{"Received", received .. "QID9; Mon, 7 Dec 2026"}, plain[3]}),
  "No, score=0 threshold=100", nil, "MTA trace header")
expect(conn, message(conn, {"i", "QID10"}, {{"Received", received .. "OTHER; Mon, 7 Dec 2026"}, plain[3]}),
  "No, score=25 threshold=100", "6001:25", "client trace header")

-- An authenticated sender passes unevaluated.
expect(conn, message(conn, {"i", "Q11", "{auth_authen}", "anna"}, {{"Subject", "FREE casino jackpot"}}),
  "Skipped", nil, "authenticated")
mt.disconnect(conn)

-- A client in a trusted network passes unevaluated.
conn = open("192.0.2.77")
expect(conn, message(conn, {"i", "Q12"}, {{"Subject", "FREE casino jackpot"}}), "Skipped", nil, "trusted")
mt.disconnect(conn)

-- A message aborted and one cut off by a closed connection. (Steps without a
-- reply race the close: libmilter drops what it has not read when the peer
-- is gone, so the suite does not count on seeing them.)
conn = open()
message(conn, {"i", "Q13"}, {{"Subject", "FREE casino jackpot"}}, true)
ok(mt.macro(conn, SMFIC_MAIL, "i", "Q14"), "macro")
ok(mt.mailfrom(conn, "<sender@example.org>"), "mailfrom")
ok(mt.header(conn, "Subject", "half a message"), "header")
mt.disconnect(conn, false)
