-- TOVEK frames in serial-line captures (pcap link type 250), as the qvotk
-- driver, `qvotk monitor` and tovek-sim write them.
--
--   tshark -2 -X lua_script:tools/wireshark/tovek.lua -r capture.pcap
--   wireshark -X lua_script:tools/wireshark/tovek.lua capture.pcap
--
-- Each record is one event of the line: its 12-byte header (time, event,
-- modem lines) and the bytes sent or received. A frame is ":", a count
-- byte, the body and a checksum byte, each byte as two hexadecimal digits,
-- then CR LF; reads of the line cut frames anywhere, so the bytes of each
-- direction are joined across records, and a frame is shown in the record
-- where its CR LF arrived. A request's first body byte is its command, then
-- the station address in two bytes; a reply's first body byte is its
-- status ("0" in its second digit is success), and a block reply carries
-- only values. The checksum is the two's complement of the body's sum.
--
-- Each reply is paired with the request before it (tovek.request_in,
-- tovek.response_in, tovek.time); a received frame that repeats the
-- master's last one is the line's echo (tovek.echo). What is known only
-- later (a request's reply, or that none came) shows on a second pass:
-- tshark -2, or Wireshark itself.

-- Loaded twice (from the plugins folder and with -X lua_script:), the
-- second load stands aside: the protocol is there already.
local registered, tovek = pcall(Proto, "tovek", "TOVEK controller frame")
if not registered then return end

local kinds = { [0] = "request", [1] = "reply" }
local commands = {
  [0x05] = "write S",
  [0x06] = "read block",
  [0x08] = "read S",
  [0x09] = "read or write point",
}
local codes = {
  [0x66] = "read",
  [0x68] = "S point",
  [0x71] = "write 1",
  [0x72] = "write 2",
}

local f = tovek.fields
f.kind = ProtoField.uint8("tovek.kind", "Kind", base.DEC, kinds)
f.framed = ProtoField.bool("tovek.framed", "Well framed")
f.count = ProtoField.uint8("tovek.count", "Body bytes", base.DEC)
f.command = ProtoField.uint8("tovek.command", "Command", base.HEX, commands)
f.command_name = ProtoField.string("tovek.command_name", "Command name")
f.station = ProtoField.uint16("tovek.station", "Station address", base.DEC)
f.code = ProtoField.uint8("tovek.code", "Code", base.HEX, codes)
f.point = ProtoField.uint16("tovek.point", "Point", base.DEC)
f.value = ProtoField.uint16("tovek.value", "Value", base.DEC)
f.status = ProtoField.string("tovek.status", "Status character")
f.checksum = ProtoField.uint8("tovek.checksum", "Checksum", base.HEX)
f.checksum_ok = ProtoField.bool("tovek.checksum_ok", "Checksum good")
f.text = ProtoField.string("tovek.text", "Frame")
f.noise = ProtoField.uint32("tovek.noise", "Bytes outside frames", base.DEC)
f.echo = ProtoField.bool("tovek.echo", "Echo of the master's frame")
f.response_in = ProtoField.framenum("tovek.response_in", "Response in", base.NONE, frametype.RESPONSE)
f.request_in = ProtoField.framenum("tovek.request_in", "Request in", base.NONE, frametype.REQUEST)
f.echo_of = ProtoField.framenum("tovek.echo_of", "Echo of the frame in", base.NONE, frametype.REQUEST)
f.time = ProtoField.relative_time("tovek.time", "Response time")
f.begins_in = ProtoField.framenum("tovek.begins_in", "Frame begins in")
f.completed_in = ProtoField.framenum("tovek.completed_in", "Frame completed in")

local e = {
  bad_checksum = ProtoExpert.new("tovek.expert.bad_checksum", "Bad checksum: the master does not take it",
    expert.group.CHECKSUM, expert.severity.ERROR),
  refused = ProtoExpert.new("tovek.expert.refused", "The controller refused the request",
    expert.group.RESPONSE_CODE, expert.severity.WARN),
  no_reply = ProtoExpert.new("tovek.expert.no_reply", "No reply before the master's next frame",
    expert.group.SEQUENCE, expert.severity.WARN),
  echo = ProtoExpert.new("tovek.expert.echo", "The line's echo of the master's frame, not a reply",
    expert.group.SEQUENCE, expert.severity.NOTE),
  unframed = ProtoExpert.new("tovek.expert.unframed", "Not a well-framed frame",
    expert.group.MALFORMED, expert.severity.WARN),
}
tovek.experts = { e.bad_checksum, e.refused, e.no_reply, e.echo, e.unframed }

local rtacser = Dissector.get("rtacser")

local EVENT_TX, EVENT_RX = 1, 2
local HEADER = 12
local LONGEST = 600 -- the longest reply is 517 characters: beyond, it is noise

-- Per direction, what was read since the last frame ended and the record
-- it began in; per record, the frames that ended in it, worked out once, in
-- capture order; the master's last frame, until something answers it.
local pending, pendingFrom, framesOf, lastSent

local function reset()
  pending = { [EVENT_TX] = "", [EVENT_RX] = "" }
  pendingFrom = {}
  framesOf = {}
  lastSent = nil
end
reset()
tovek.init = reset

local function hexByte(text, at)
  return tonumber(text:sub(at, at + 1), 16)
end

-- "0012" as a station: packed decimal digits.
local function bcd(text, at, digits)
  return tonumber(text:sub(at, at + digits - 1))
end

-- The frames that end in these bytes of one direction, each with the
-- record it began in, and the noise.
local function split(direction, bytes, number)
  local carried = #pending[direction]
  local text = pending[direction] .. bytes
  local frames, noise = {}, 0
  local function take(frame)
    frame.from = (#frames == 0 and carried > 0) and pendingFrom[direction] or number
    frames[#frames + 1] = frame
  end
  while true do
    local start = text:find(":", 1, true)
    if not start then
      noise = noise + #text
      text = ""
      break
    end
    noise = noise + start - 1
    text = text:sub(start)
    local stop = text:find("\r\n", 2, true)
    local nextStart = text:find(":", 2, true)
    if nextStart and (not stop or nextStart < stop) then
      -- A frame start before the end: the first one was cut off.
      take({ text = text:sub(1, nextStart - 1), framed = false })
      text = text:sub(nextStart)
    elseif stop then
      take({ text = text:sub(1, stop + 1), framed = true })
      text = text:sub(stop + 2)
    else
      if #text > LONGEST then
        take({ text = text, framed = false })
        text = ""
      end
      break
    end
  end
  if #text > 0 and (#frames > 0 or carried == 0) then pendingFrom[direction] = number end
  pending[direction] = text
  return frames, noise
end

-- Command 09 reads a numbered point with code 66 and writes it with 71 or
-- 72; a reply tells which by its length.
local function commandName(d)
  if d.command == 0x09 then
    if d.code == 0x66 or d.count == 8 then return "read point" end
    return "write point"
  end
  return commands[d.command] or string.format("command %02X", d.command)
end

-- The meaning of one frame: a table of fields.
local function decode(frame, direction, asked)
  local text = frame.text
  local d = { kind = direction == EVENT_TX and 0 or 1, framed = frame.framed }
  local count = hexByte(text, 2)
  if not count or #text ~= 2 * count + 7 or text:sub(-2) ~= "\r\n" then
    d.framed = false
    return d
  end
  d.count = count
  local sum = 0
  for i = 0, count - 1 do
    local byte = hexByte(text, 4 + 2 * i)
    if not byte then
      d.framed = false
      return d
    end
    sum = sum + byte
  end
  d.checksum = hexByte(text, 4 + 2 * count)
  d.checksum_ok = d.checksum ~= nil and (sum + d.checksum) % 256 == 0
  local body = text:sub(4, 3 + 2 * count)
  if d.kind == 0 then
    d.command = hexByte(body, 1)
    d.station = bcd(body, 3, 4)
    if d.command == 0x05 and count == 4 then
      d.value = bcd(body, 7, 1)
    elseif d.command == 0x08 then
      d.code = hexByte(body, 7)
    elseif d.command == 0x09 and count == 6 then
      d.code = hexByte(body, 7)
      d.point = bcd(body, 9, 3)
      if d.code == 0x71 or d.code == 0x72 then d.value = d.code - 0x70 end
    elseif d.command == 0x06 then
      d.code = hexByte(body, 7)
    end
    return d
  end
  if asked and asked.command == 0x06 then
    d.command = 0x06
    d.values = {}
    for i = 0, count - 1 do d.values[#d.values + 1] = hexByte(body, 1 + 2 * i) end
    return d
  end
  d.status = body:sub(2, 2)
  d.station = bcd(body, 3, 4)
  if count == 7 then -- the S point: status, address, 68, 00, value, 00
    d.command, d.code, d.value = 0x08, hexByte(body, 7), hexByte(body, 11)
  elseif count == 8 then -- a numbered point: status, address, 66, point, value, 00
    d.command, d.code, d.point, d.value = 0x09, hexByte(body, 7), bcd(body, 9, 3), hexByte(body, 13)
  elseif count == 6 then -- a numbered write: status, address, code, point
    d.command, d.code, d.point = 0x09, hexByte(body, 7), bcd(body, 9, 3)
  elseif count == 4 then -- the S point written: status, address, value
    d.command, d.value = 0x05, bcd(body, 7, 1)
  end
  return d
end

-- A frame read in capture order: decoded, and placed among the master's
-- frames (echo, reply, or a request that ends the wait for the last one).
local function place(frame, direction, number, time)
  local text = frame.text
  if direction == EVENT_RX and lastSent and not lastSent.echoed and not lastSent.answered
      and lastSent.text:sub(1, #text) == text then
    -- What the master sent, or its beginning, heard back once: the echo.
    lastSent.echoed = true
    return { kind = 1, framed = frame.framed, echo_of = lastSent.d }
  end
  local d = decode(frame, direction, lastSent and not lastSent.answered and lastSent.d or nil)
  d.number, d.time = number, time
  if d.kind == 0 then
    if lastSent and not lastSent.answered then lastSent.d.unanswered = true end
    lastSent = { text = text, d = d }
  elseif lastSent and not lastSent.answered and d.framed then
    lastSent.answered = true
    d.request = lastSent.d
    lastSent.d.response_in = number
  end
  return d
end

-- The verdict first, then what the frame says.
local function summary(d)
  if d.echo_of then return "echo of " .. summary(d.echo_of) end
  local words = {}
  local verdict = nil
  if not d.framed then
    verdict = "UNFRAMED"
  elseif d.checksum_ok == false then
    verdict = "BAD CHECKSUM"
  elseif d.status and d.status ~= "0" then
    verdict = "REFUSED (status " .. d.status .. ")"
  elseif d.unanswered then
    verdict = "NO REPLY"
  end
  words[#words + 1] = kinds[d.kind]
  if d.command then words[#words + 1] = commandName(d) end
  if d.station then words[#words + 1] = "station " .. d.station end
  if d.point then words[#words + 1] = string.format("point %03d", d.point) end
  if d.value then words[#words + 1] = "value " .. d.value end
  if d.values then words[#words + 1] = #d.values .. " values" end
  if d.status == "0" and d.checksum_ok then words[#words + 1] = "ok" end
  local text = table.concat(words, " ")
  if d.kind == 1 and verdict and verdict ~= "UNFRAMED" then text = text .. " (not taken)" end
  return verdict and (verdict .. ": " .. text) or text
end

local function addFrame(subtree, d, tvb)
  local item = subtree:add(f.text, (d.text:gsub("\r\n$", "")))
  item:add(f.kind, d.kind)
  item:add(f.echo, d.echo_of ~= nil)
  if d.from and d.number and d.from ~= d.number then item:add(f.begins_in, d.from) end
  if d.echo_of then
    item:add(f.echo_of, d.echo_of.number)
    item:add_proto_expert_info(e.echo)
    return
  end
  item:add(f.framed, d.framed)
  if not d.framed then item:add_proto_expert_info(e.unframed) end
  if d.count then item:add(f.count, d.count) end
  if d.command then
    item:add(f.command, d.command)
    item:add(f.command_name, commandName(d))
  end
  if d.station then item:add(f.station, d.station) end
  if d.code then item:add(f.code, d.code) end
  if d.point then item:add(f.point, d.point) end
  if d.value then item:add(f.value, d.value) end
  if d.values then
    for _, v in ipairs(d.values) do item:add(f.value, v) end
  end
  if d.status then
    item:add(f.status, d.status)
    if d.status ~= "0" then item:add_proto_expert_info(e.refused) end
  end
  if d.checksum then
    item:add(f.checksum, d.checksum)
    item:add(f.checksum_ok, d.checksum_ok)
    if not d.checksum_ok then item:add_proto_expert_info(e.bad_checksum) end
  end
  if d.response_in then item:add(f.response_in, d.response_in) end
  if d.unanswered then item:add_proto_expert_info(e.no_reply) end
  if d.request then
    item:add(f.request_in, d.request.number)
    local elapsed = d.time - d.request.time
    local seconds = math.floor(elapsed)
    item:add(f.time, NSTime.new(seconds, math.floor((elapsed - seconds) * 1e9 + 0.5)))
  end
end

function tovek.dissector(tvb, pinfo, tree)
  rtacser:call(tvb, pinfo, tree)
  if tvb:len() < HEADER then return end
  local event = tvb(8, 1):uint()
  if event ~= EVENT_TX and event ~= EVENT_RX then return end

  local found = framesOf[pinfo.number]
  if not found then
    local bytes = tvb:len() > HEADER and tvb(HEADER):raw() or ""
    local frames, noise = split(event, bytes, pinfo.number)
    found = { noise = noise, decoded = {}, partial = #pending[event] > 0 }
    for _, frame in ipairs(frames) do
      local d = place(frame, event, pinfo.number, pinfo.abs_ts)
      d.text, d.from, d.number = frame.text, frame.from, pinfo.number
      found.decoded[#found.decoded + 1] = d
      if frame.from ~= pinfo.number and framesOf[frame.from] then
        framesOf[frame.from].completedIn = pinfo.number
      end
    end
    framesOf[pinfo.number] = found
  end
  if #found.decoded == 0 and found.noise == 0 and not found.partial then return end

  pinfo.cols.protocol = "TOVEK"
  local shown = {}
  local subtree = tree:add(tovek, tvb(HEADER))
  if found.noise > 0 then subtree:add(f.noise, found.noise) end
  for _, d in ipairs(found.decoded) do
    addFrame(subtree, d, tvb)
    shown[#shown + 1] = summary(d)
  end
  if found.noise > 0 then shown[#shown + 1] = found.noise .. " noise bytes" end
  if found.partial then
    if found.completedIn then
      subtree:add(f.completed_in, found.completedIn)
      shown[#shown + 1] = "start of a frame, completed in " .. found.completedIn
    else
      shown[#shown + 1] = "start of a frame"
    end
  end
  pinfo.cols.info = table.concat(shown, "; ")
end

DissectorTable.get("wtap_encap"):add(wtap_encaps.RTAC_SERIAL, tovek)
