-- TOVEK frames in serial-line captures (pcap link type 250), as the qvotk
-- driver, `qvotk monitor` and tovek-sim write them.
--
--   tshark -X lua_script:tools/wireshark/tovek.lua -r capture.pcap
--   wireshark -X lua_script:tools/wireshark/tovek.lua capture.pcap
--
-- Each record is one event of the line: its 12-byte header (time, event,
-- modem lines) and the bytes sent or received. A frame is ":", a count
-- byte, a body and a checksum byte, each byte as two hexadecimal digits,
-- then CR LF; reads of the line cut frames anywhere, so the bytes of each
-- direction are joined across records, and a frame is shown in the record
-- where its CR LF arrived. A request's first body byte is its command, then
-- the station address in two bytes; a reply's first body byte is its
-- status ("0" in its second digit is success), and a block reply carries
-- only values. The checksum is the two's complement of the body's sum.

local tovek = Proto("tovek", "TOVEK controller frame")

local kinds = { [0] = "request", [1] = "reply" }
local commands = {
  [0x05] = "write S point",
  [0x06] = "read block",
  [0x08] = "read S point",
  [0x09] = "numbered point",
}

local f = tovek.fields
f.kind = ProtoField.uint8("tovek.kind", "Kind", base.DEC, kinds)
f.framed = ProtoField.bool("tovek.framed", "Well framed")
f.count = ProtoField.uint8("tovek.count", "Body bytes", base.DEC)
f.command = ProtoField.uint8("tovek.command", "Command", base.HEX, commands)
f.station = ProtoField.uint16("tovek.station", "Station address", base.DEC)
f.code = ProtoField.uint8("tovek.code", "Code", base.HEX)
f.point = ProtoField.uint16("tovek.point", "Point", base.DEC)
f.values = ProtoField.uint16("tovek.values", "Values asked for", base.DEC)
f.value = ProtoField.uint16("tovek.value", "Value", base.DEC)
f.status = ProtoField.string("tovek.status", "Status character")
f.checksum = ProtoField.uint8("tovek.checksum", "Checksum", base.HEX)
f.checksum_ok = ProtoField.bool("tovek.checksum_ok", "Checksum good")
f.text = ProtoField.string("tovek.text", "Frame")
f.noise = ProtoField.uint32("tovek.noise", "Bytes outside frames", base.DEC)

local rtacser = Dissector.get("rtacser")

local EVENT_TX, EVENT_RX = 1, 2
local HEADER = 12
local LONGEST = 600 -- the longest reply is 517 characters: beyond, it is noise

-- Per direction, what was read since the last frame ended; per record, the
-- frames that ended in it, worked out once, in capture order.
local pending = {}
local framesOf = {}
local lastCommand = nil -- of the last request: tells a block reply apart

local function reset()
  pending = { [EVENT_TX] = "", [EVENT_RX] = "" }
  framesOf = {}
  lastCommand = nil
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

-- The frames that end in these bytes of one direction, and the noise.
local function split(direction, bytes)
  local text = pending[direction] .. bytes
  local frames, noise = {}, 0
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
      frames[#frames + 1] = { text = text:sub(1, nextStart - 1), framed = false }
      text = text:sub(nextStart)
    elseif stop then
      frames[#frames + 1] = { text = text:sub(1, stop + 1), framed = true }
      text = text:sub(stop + 2)
    else
      if #text > LONGEST then
        frames[#frames + 1] = { text = text, framed = false }
        text = ""
      end
      break
    end
  end
  pending[direction] = text
  return frames, noise
end

-- The meaning of one frame: a table of fields.
local function decode(frame, direction)
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
    lastCommand = d.command
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
  if lastCommand == 0x06 then
    d.command = 0x06
    d.values = {}
    for i = 0, count - 1 do d.values[#d.values + 1] = hexByte(body, 1 + 2 * i) end
    lastCommand = nil
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
  lastCommand = nil
  return d
end

local function summary(d)
  local words = { kinds[d.kind] }
  if d.command then words[#words + 1] = commands[d.command] or string.format("command %02X", d.command) end
  if d.station then words[#words + 1] = "station " .. d.station end
  if d.point then words[#words + 1] = string.format("point %03d", d.point) end
  if d.value then words[#words + 1] = "value " .. d.value end
  if d.values then words[#words + 1] = #d.values .. " values" end
  if d.status then words[#words + 1] = d.status == "0" and "ok" or ("status " .. d.status) end
  if d.checksum_ok == false then words[#words + 1] = "BAD CHECKSUM" end
  if not d.framed then words[#words + 1] = "UNFRAMED" end
  return table.concat(words, " ")
end

function tovek.dissector(tvb, pinfo, tree)
  rtacser:call(tvb, pinfo, tree)
  if tvb:len() < HEADER then return end
  local event = tvb(8, 1):uint()
  if event ~= EVENT_TX and event ~= EVENT_RX then return end

  local found = framesOf[pinfo.number]
  if not found then
    local bytes = tvb:len() > HEADER and tvb(HEADER):raw() or ""
    local frames, noise = split(event, bytes)
    found = { noise = noise, decoded = {} }
    for _, frame in ipairs(frames) do
      local d = decode(frame, event)
      d.text = frame.text
      found.decoded[#found.decoded + 1] = d
    end
    framesOf[pinfo.number] = found
  end
  if #found.decoded == 0 and found.noise == 0 then return end

  pinfo.cols.protocol = "TOVEK"
  local shown = {}
  local subtree = tree:add(tovek, tvb(HEADER))
  if found.noise > 0 then subtree:add(f.noise, found.noise) end
  for _, d in ipairs(found.decoded) do
    local item = subtree:add(f.text, (d.text:gsub("\r\n$", "")))
    item:add(f.kind, d.kind)
    item:add(f.framed, d.framed)
    if d.count then item:add(f.count, d.count) end
    if d.command then item:add(f.command, d.command) end
    if d.station then item:add(f.station, d.station) end
    if d.code then item:add(f.code, d.code) end
    if d.point then item:add(f.point, d.point) end
    if d.value then item:add(f.value, d.value) end
    if d.values then
      for _, v in ipairs(d.values) do item:add(f.value, v) end
    end
    if d.status then item:add(f.status, d.status) end
    if d.checksum then
      item:add(f.checksum, d.checksum)
      item:add(f.checksum_ok, d.checksum_ok)
    end
    shown[#shown + 1] = summary(d)
  end
  if found.noise > 0 then shown[#shown + 1] = found.noise .. " noise bytes" end
  pinfo.cols.info = table.concat(shown, "; ")
end

DissectorTable.get("wtap_encap"):add(wtap_encaps.RTAC_SERIAL, tovek)
