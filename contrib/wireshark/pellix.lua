-- Pellix for Wireshark 4.x: the hub's frames on TCP and UDP port 10032
-- (frames across TCP segments put together), and the monitor records that
-- `pellix-cli capture` writes to pcapng files (link type 252, exported PDUs
-- that name this dissector, "pellix").
--
--   "<start>" | len (u16 LE) | devId | srcId | cmd (u16 LE) | payload | "<end>"
--
-- Install: copy this file into Wireshark's personal Lua plugins folder
-- (~/.local/lib/wireshark/plugins/), or load it once:
--   wireshark -X lua_script:pellix.lua
--   tshark -X lua_script:pellix.lua -r capture.pcapng
-- Another port: Edit > Preferences > Protocols > PELLIX, or
-- tshark -o pellix.port:10040, or Decode As (-d tcp.port==10040,pellix).
--
-- Filter fields: pellix.dst, pellix.src, pellix.cmd, pellix.command (the
-- hub's and the event manager's commands by name), pellix.len,
-- pellix.payload, pellix.name (a registration), pellix.event (publications,
-- deliveries, subscription lists), pellix.departed, pellix.status.part and
-- .count, pellix.monitor.kind, .time, .length, .lost, .reason.

local pellix = Proto("pellix", "Pellix hub protocol")

local START, END = "<start>", "<end>"
local HEADER = 13          -- start marker, len, devId, srcId, cmd
local MIN_FRAME = 18
local RECORD_HEADER = 15   -- monitor record: kind, time, devId, srcId, cmd, length
local HUB, EVENTS = 0x01, 0xE1

local command_names = {
    [0x0001] = "register", [0x0002] = "heartbeat", [0x0003] = "data print", [0x0004] = "dump sockets",
    [0x0005] = "publish", [0x0006] = "subscribe", [0x0007] = "unsubscribe", [0x0068] = "trace level",
    [0x0080] = "status", [0x0081] = "monitor", [0x0082] = "report",
}
local kind_names = {
    [0] = "monitor on", [1] = "forwarded", [2] = "published", [3] = "registered", [4] = "hub command",
    [5] = "dropped", [6] = "copies lost", [7] = "refused",
}

local f = pellix.fields
f.len = ProtoField.uint16("pellix.len", "Length", base.DEC, nil, nil, "payload length + 6")
f.dst = ProtoField.uint8("pellix.dst", "Destination", base.HEX)
f.src = ProtoField.uint8("pellix.src", "Source", base.HEX)
f.cmd = ProtoField.uint16("pellix.cmd", "Command", base.HEX)
f.command = ProtoField.string("pellix.command", "Command name")
f.payload = ProtoField.bytes("pellix.payload", "Payload")
f.name = ProtoField.string("pellix.name", "Registration name")
f.event = ProtoField.uint16("pellix.event", "Event")
f.event_count = ProtoField.uint8("pellix.event_count", "Number of events")
f.data = ProtoField.bytes("pellix.data", "Event data")
f.departed = ProtoField.uint8("pellix.departed", "Module gone", base.HEX)
f.level = ProtoField.int32("pellix.level", "Trace level")
f.report = ProtoField.string("pellix.report", "Report")
f.status_part = ProtoField.uint16("pellix.status.part", "Status part")
f.status_count = ProtoField.uint16("pellix.status.count", "Status parts")
f.status_text = ProtoField.string("pellix.status.text", "Status text")
f.monitor_switch = ProtoField.uint8("pellix.monitor.switch", "Monitor", base.DEC, { [0] = "off", [1] = "on" })
f.kind = ProtoField.uint8("pellix.monitor.kind", "Record kind", base.DEC, kind_names)
f.time = ProtoField.absolute_time("pellix.monitor.time", "Routed at", base.UTC)
f.length = ProtoField.uint16("pellix.monitor.length", "Payload length of the routed frame")
f.lost = ProtoField.uint64("pellix.monitor.lost", "Copies lost")
f.reason = ProtoField.string("pellix.monitor.reason", "Reason")
f.outside = ProtoField.bytes("pellix.outside", "Bytes outside a frame")

local e_cut = ProtoExpert.new("pellix.cut", "Payload cut by the monitor", expert.group.UNDECODED, expert.severity.NOTE)
local e_short = ProtoExpert.new("pellix.short", "Payload too short for its command", expert.group.MALFORMED,
    expert.severity.WARN)
local e_end = ProtoExpert.new("pellix.end", "len disagrees with the end marker", expert.group.MALFORMED,
    expert.severity.WARN)
local e_partial = ProtoExpert.new("pellix.partial", "Frame not complete", expert.group.MALFORMED, expert.severity.WARN)
pellix.experts = { e_cut, e_short, e_end, e_partial }

pellix.prefs.port = Pref.uint("Port", 10032, "TCP and UDP port of the hub")

-- The name of a command where the hub or the event manager gives it one;
-- between modules a command means what the modules agree on.
local function command_name(dst, src, cmd)
    if dst == HUB or src == HUB or dst >= EVENTS or src == EVENTS then
        return command_names[cmd]
    end
    return nil
end

local function hex8(v) return string.format("0x%02x", v) end

-- A frame's or a record's payload, by who sent it to whom with which command.
local function payload_fields(p, tree, pinfo, dst, src, cmd)
    local n = p and p:len() or 0
    local function need(bytes)
        if n < bytes then
            tree:add_proto_expert_info(e_short)
            return false
        end
        return true
    end
    if dst == HUB then
        if cmd == 0x0001 and n > 0 then
            tree:add(f.name, p())
            return "\"" .. p():string() .. "\""
        elseif cmd == 0x0068 and need(4) then
            tree:add_le(f.level, p(0, 4))
            return tostring(p(0, 4):le_int())
        elseif cmd == 0x0081 then
            if n == 0 then return "on" end
            tree:add(f.monitor_switch, p(0, 1))
            return p(0, 1):uint() == 0 and "off" or "on"
        elseif cmd == 0x0082 and n > 0 then
            tree:add(f.report, p())
        end
    elseif src == HUB and cmd == 0x0080 and need(4) then
        tree:add_le(f.status_part, p(0, 2))
        tree:add_le(f.status_count, p(2, 2))
        if n > 4 then tree:add(f.status_text, p(4)) end
        return string.format("part %d of %d", p(0, 2):le_uint(), p(2, 2):le_uint())
    elseif (dst >= EVENTS or src == EVENTS) and cmd == 0x0005 and need(2) then
        local event = p(0, 2):le_uint()
        tree:add_le(f.event, p(0, 2))
        if event == 0 and src == EVENTS and n == 3 then
            tree:add(f.departed, p(2, 1))
            return "departure of " .. hex8(p(2, 1):uint())
        end
        if n > 2 then tree:add(f.data, p(2)) end
        return "event " .. event
    elseif dst >= EVENTS and (cmd == 0x0006 or cmd == 0x0007) and need(1) then
        local count = p(0, 1):uint()
        tree:add(f.event_count, p(0, 1))
        local listed = {}
        for i = 0, count - 1 do
            if 1 + 2 * i + 2 > n then
                tree:add_proto_expert_info(e_short)
                break
            end
            tree:add_le(f.event, p(1 + 2 * i, 2))
            listed[#listed + 1] = tostring(p(1 + 2 * i, 2):le_uint())
        end
        return "events " .. table.concat(listed, " ")
    end
    return nil
end

local dissect_record

-- One whole frame (markers included) in t.
local function dissect_frame(t, pinfo, tree)
    local dst, src, cmd = t(9, 1):uint(), t(10, 1):uint(), t(11, 2):le_uint()
    local name = command_name(dst, src, cmd)
    local sub = tree:add(pellix, t(), string.format("Pellix frame, %s -> %s, cmd 0x%04x%s", hex8(src), hex8(dst),
        cmd, name and " (" .. name .. ")" or ""))
    sub:add_le(f.len, t(7, 2))
    sub:add(f.dst, t(9, 1))
    sub:add(f.src, t(10, 1))
    sub:add_le(f.cmd, t(11, 2))
    if name then sub:add(f.command, t(11, 2), name):set_generated() end
    local plen = t:len() - MIN_FRAME
    local p = plen > 0 and t(HEADER, plen):tvb() or nil
    if p then sub:add(f.payload, t(HEADER, plen)) end
    local what
    if src == HUB and cmd == 0x0081 and p and p:len() >= RECORD_HEADER then
        -- A monitor's copy of a routed frame, inside the frame that carries it.
        what = dissect_record(p, pinfo, sub)
    else
        what = payload_fields(p, sub, pinfo, dst, src, cmd)
    end
    return string.format("%s -> %s %s%s", hex8(src), hex8(dst), name or string.format("cmd 0x%04x", cmd),
        what and " " .. what or "")
end

-- A monitor record: the hub's copy of a frame it routed. In a capture file
-- it is the whole packet, in a live monitor frame its payload.
dissect_record = function(r, pinfo, tree)
    local kind = r(0, 1):uint()
    local kind_name = kind_names[kind] or ("kind " .. kind)
    local sub = tree:add(pellix, r(), "Pellix monitor record, " .. kind_name)
    sub:add(f.kind, r(0, 1))
    local us = r(1, 8):le_uint64()
    local seconds = (us / 1000000):tonumber()
    sub:add(f.time, r(1, 8), NSTime.new(seconds, (us - UInt64(seconds) * 1000000):tonumber() * 1000))
    local n = r:len() - RECORD_HEADER
    if kind == 0 then
        return kind_name
    elseif kind == 6 then
        if n >= 8 then
            sub:add_le(f.lost, r(RECORD_HEADER, 8))
            return string.format("%s: %s", kind_name, tostring(r(RECORD_HEADER, 8):le_uint64()))
        end
        sub:add_proto_expert_info(e_short)
        return kind_name
    elseif kind == 7 then
        if n > 0 then sub:add(f.reason, r(RECORD_HEADER)) end
        return kind_name .. (n > 0 and ": " .. r(RECORD_HEADER):string() or "")
    end
    local dst, src, cmd, length = r(9, 1):uint(), r(10, 1):uint(), r(11, 2):le_uint(), r(13, 2):le_uint()
    local name = command_name(dst, src, cmd)
    if pinfo.src_port == 0 and pinfo.dst_port == 0 then
        -- A capture's packet has no addresses but the module ids.
        pinfo.cols.src = hex8(src)
        pinfo.cols.dst = hex8(dst)
    end
    sub:append_text(string.format(", %s -> %s, cmd 0x%04x%s", hex8(src), hex8(dst), cmd,
        name and " (" .. name .. ")" or ""))
    sub:add(f.dst, r(9, 1))
    sub:add(f.src, r(10, 1))
    sub:add_le(f.cmd, r(11, 2))
    if name then sub:add(f.command, r(11, 2), name):set_generated() end
    if length <= 65529 then sub:add(f.len, r(13, 2), length + 6):set_generated() end
    sub:add_le(f.length, r(13, 2))
    local p = n > 0 and r(RECORD_HEADER, n):tvb() or nil
    if p then sub:add(f.payload, r(RECORD_HEADER, n)) end
    if n < length then sub:add_proto_expert_info(e_cut) end
    -- A cut payload still decodes as far as it goes.
    local what = payload_fields(p, sub, pinfo, dst, src, cmd)
    return string.format("%s %s -> %s %s%s", kind_name, hex8(src), hex8(dst),
        name or string.format("cmd 0x%04x", cmd), what and " " .. what or "")
end

-- Whether s ends with the beginning of marker: more bytes may complete it.
local function ends_with_start_of(s, marker)
    for k = math.min(#marker - 1, #s), 1, -1 do
        if s:sub(-k) == marker:sub(1, k) then return true end
    end
    return false
end

function pellix.dissector(tvb, pinfo, tree)
    local len = tvb:len()
    if len == 0 then return 0 end
    local raw = tvb:raw(0, len)
    pinfo.cols.protocol = "PELLIX"
    -- A capture's exported PDU: a record, no ports, no start marker.
    if pinfo.src_port == 0 and pinfo.dst_port == 0 and raw:sub(1, #START) ~= START then
        if len < RECORD_HEADER then
            tree:add(pellix, tvb(), "Pellix monitor record, too short"):add_proto_expert_info(e_short)
            return len
        end
        pinfo.cols.info = dissect_record(tvb, pinfo, tree)
        return len
    end

    local stream = pinfo.can_desegment > 0
    local infos = {}
    local offset = 0
    local function more(from, bytes)
        pinfo.desegment_offset = from
        pinfo.desegment_len = bytes or DESEGMENT_ONE_MORE_SEGMENT
    end
    while offset < len do
        local s = raw:find(START, offset + 1, true)
        if not s then
            if stream and ends_with_start_of(raw:sub(offset + 1), START) then
                more(offset)
            else
                tree:add(f.outside, tvb(offset))
            end
            break
        end
        s = s - 1
        if s > offset then tree:add(f.outside, tvb(offset, s - offset)) end
        if len - s < HEADER then
            if stream then more(s) else tree:add(pellix, tvb(s), "Pellix frame, incomplete"):add_proto_expert_info(e_partial) end
            break
        end
        local total = 12 + tvb(s + 7, 2):le_uint()
        local fits = total >= MIN_FRAME and s + total <= len and raw:sub(s + total - #END + 1, s + total) == END
        if not fits and total >= MIN_FRAME and s + total > len and stream then
            more(s, s + total - len)
            break
        end
        local mismatch = false
        if not fits then
            -- The hub cuts a frame at the first end marker after its header.
            local e = raw:find(END, s + HEADER + 1, true)
            if not e then
                if stream then more(s) else tree:add(pellix, tvb(s), "Pellix frame, incomplete"):add_proto_expert_info(e_partial) end
                break
            end
            total = e - 1 + #END - s
            mismatch = true
        end
        infos[#infos + 1] = dissect_frame(tvb(s, total):tvb(), pinfo, tree)
        if mismatch then tree:add_proto_expert_info(e_end) end
        offset = s + total
    end
    if #infos > 0 then pinfo.cols.info = table.concat(infos, "; ") end
    return len
end

local registered_port = 0
local function register_port(port)
    if registered_port ~= 0 then
        DissectorTable.get("tcp.port"):remove(registered_port, pellix)
        DissectorTable.get("udp.port"):remove(registered_port, pellix)
    end
    registered_port = port
    if port ~= 0 then
        DissectorTable.get("tcp.port"):add(port, pellix)
        DissectorTable.get("udp.port"):add(port, pellix)
    end
end

function pellix.prefs_changed()
    if pellix.prefs.port ~= registered_port then register_port(pellix.prefs.port) end
end

register_port(pellix.prefs.port)
