-- Wireshark/tshark dissector for the Zorbel block protocol over USB bulk
-- transfers (captures the library writes with ZORBEL_CAPTURE, and usbmon or
-- USBPcap captures of a real device).
--
-- Load it for one run:   tshark -X lua_script:zorbel.lua -r capture.pcapng
-- or for good: copy it into the personal Lua plugins folder
-- (Help > About Wireshark > Folders, "Personal Lua Plugins").
--
-- The device's bytes are a stream per direction: a block may span USB
-- packets and transfers, and one transfer may carry several blocks. The
-- dissector reassembles each direction of each device as the library's
-- receiver does (hunt for the synchronisation pair 4D 4D, take the five
-- header bytes, the payload and the CRC-32), and shows every block in the
-- frame whose transfer completes it.

local zorbel = Proto("zorbel", "Zorbel block protocol")

local block_types = { [0x11] = "data", [0x12] = "command", [0x13] = "alive" }
local commands = { [2] = "next_block", [3] = "block_ack", [4] = "reset", [5] = "delete" }

local f = {
    type = ProtoField.uint8("zorbel.type", "Type", base.HEX, block_types),
    channel = ProtoField.uint8("zorbel.channel", "Channel", base.DEC),
    pipe = ProtoField.uint8("zorbel.pipe", "Pipe", base.DEC),
    block = ProtoField.uint8("zorbel.block", "Block number", base.DEC),
    length = ProtoField.uint16("zorbel.length", "Length", base.DEC),
    data = ProtoField.bytes("zorbel.data", "Data"),
    command = ProtoField.uint8("zorbel.command", "Command", base.DEC, commands),
    argument = ProtoField.uint8("zorbel.argument", "Argument", base.DEC),
    crc = ProtoField.uint32("zorbel.crc", "CRC-32", base.HEX),
    crc_ok = ProtoField.bool("zorbel.crc_ok", "CRC-32 correct"),
    repeated = ProtoField.bool("zorbel.repeated", "Repeated request"),
    skipped = ProtoField.uint32("zorbel.skipped", "Bytes skipped before the synchronisation pair", base.DEC),
}
zorbel.fields = f

local e = {
    bad_crc = ProtoExpert.new("zorbel.bad_crc", "Bad CRC-32: the receiver drops this block",
        expert.group.CHECKSUM, expert.severity.ERROR),
    sync_lost = ProtoExpert.new("zorbel.sync_lost", "Synchronisation lost: bytes skipped to find 4D 4D",
        expert.group.MALFORMED, expert.severity.WARN),
    bad_header = ProtoExpert.new("zorbel.bad_header", "Header refused: the receiver hunts again after it",
        expert.group.MALFORMED, expert.severity.WARN),
    repeated = ProtoExpert.new("zorbel.repeat", "Repeated request for a block (the block was lost or late)",
        expert.group.SEQUENCE, expert.severity.NOTE),
}
zorbel.experts = { e.bad_crc, e.sync_lost, e.bad_header, e.repeated }

local f_direction = Field.new("usb.endpoint_address.direction")
local f_bus = Field.new("usb.bus_id")
local f_device = Field.new("usb.device_address")

-- CRC-32 of IEEE 802.3 (reflected 0xEDB88320), as the library's CRC32.
local bits = bit32 or bit
local function band(a, b) return bits.band(a, b) % 4294967296 end
local function bxor(a, b) return bits.bxor(a, b) % 4294967296 end
local function rshift(a, n) return bits.rshift(a, n) % 4294967296 end
local crc_table = {}
for i = 0, 255 do
    local c = i
    for _ = 1, 8 do
        if band(c, 1) == 1 then c = bxor(rshift(c, 1), 0xEDB88320) else c = rshift(c, 1) end
    end
    crc_table[i] = c
end
local function crc32(s, first, last)
    local c = 0xFFFFFFFF
    for i = first, last do
        c = bxor(crc_table[band(bxor(c, s:byte(i)), 0xFF)], rshift(c, 8))
    end
    return bxor(c, 0xFFFFFFFF)
end

-- Per capture: the reassembly state of each stream, and what each frame
-- completed (worked out once, on the first pass in frame order, and looked
-- up on every later one).
local streams, frames, known_devices

local function reset()
    streams, frames, known_devices = {}, {}, {}
end
reset()
zorbel.init = reset

-- The limits the receiver enforces; a keep-alive block is shown too, though
-- the library's receiver ignores it.
local function header_ok(t, len)
    return (t == 0x11 and len <= 512) or (t == 0x12 and len <= 4) or (t == 0x13 and len == 0)
end

-- Feeds one transfer's bytes to its stream; returns the items it completed.
local function scan(st, data)
    local out = {}
    local buf = st.buf .. data
    local pos = 1
    while true do
        local i = buf:find("MM", pos, true)
        if not i then
            -- A trailing 4D may be the first half of the next pair.
            local keep = (pos <= #buf and buf:byte(#buf) == 0x4D) and 1 or 0
            st.skipped = st.skipped + (#buf - pos + 1) - keep
            pos = #buf - keep + 1
            break
        end
        st.skipped = st.skipped + (i - pos)
        pos = i
        if #buf - pos + 1 < 7 then break end
        local t = buf:byte(pos + 2)
        local len = buf:byte(pos + 5) * 256 + buf:byte(pos + 6)
        if not header_ok(t, len) then
            out[#out + 1] = { bad_header = true, bytes = buf:sub(pos, pos + 6), skipped = st.skipped }
            st.skipped = 0
            pos = pos + 7
        else
            local need = 7 + len + 4
            if #buf - pos + 1 < need then break end
            out[#out + 1] = { bytes = buf:sub(pos, pos + need - 1), skipped = st.skipped }
            st.skipped = 0
            pos = pos + need
        end
    end
    st.buf = buf:sub(pos)
    return out
end

local function pipe_of(channel)
    if channel == 0 then return nil end
    local p = math.floor((channel + 1) / 2)
    if channel % 2 == 1 then return p, "host to device" end
    return p, "device to host"
end

local function show(item, tree, pinfo, summary)
    local s = item.bytes
    local tvb = ByteArray.new(s, true):tvb("Zorbel block")
    if item.bad_header then
        local t = tree:add(zorbel, tvb(), "Refused header")
        if item.skipped > 0 then t:add(f.skipped, item.skipped) end
        t:add(f.type, tvb(2, 1))
        t:add(f.channel, tvb(3, 1))
        t:add(f.length, tvb(5, 2))
        t:add_proto_expert_info(e.bad_header)
        summary[#summary + 1] = "refused header"
        return
    end
    local typ, channel, number = s:byte(3), s:byte(4), s:byte(5)
    local len = s:byte(6) * 256 + s:byte(7)
    local wire = tvb(7 + len, 4):uint()
    local ok = crc32(s, 1, 7 + len) == wire
    local t = tree:add(zorbel, tvb(), string.format("Zorbel %s block, channel %d", block_types[typ], channel))
    if item.skipped > 0 then
        t:add(f.skipped, item.skipped)
        t:add_proto_expert_info(e.sync_lost, string.format("Synchronisation lost: %d bytes skipped", item.skipped))
    end
    t:add(f.type, tvb(2, 1))
    t:add(f.channel, tvb(3, 1))
    local p, dir = pipe_of(channel)
    if p then t:add(f.pipe, tvb(3, 1), p):append_text(" (" .. dir .. ")") end
    t:add(f.block, tvb(4, 1))
    t:add(f.length, tvb(5, 2))
    local what
    if typ == 0x12 and len >= 2 then
        local code, arg = s:byte(8), s:byte(9)
        t:add(f.command, tvb(7, 1))
        t:add(f.argument, tvb(8, 1))
        what = string.format("%s ch%d %d", commands[code] or ("command " .. code), channel, arg)
        if item.repeated then
            t:add(f.repeated, true):set_generated()
            t:add_proto_expert_info(e.repeated)
            what = what .. " (again)"
        end
    elseif typ == 0x11 then
        if len > 0 then t:add(f.data, tvb(7, len)) end
        what = string.format("data ch%d #%d %dB", channel, number, len)
    else
        what = "alive"
    end
    t:add(f.crc, tvb(7 + len, 4))
    local ci = t:add(f.crc_ok, ok):set_generated()
    if not ok then
        ci:add_proto_expert_info(e.bad_crc)
        what = what .. " BAD CRC"
    end
    summary[#summary + 1] = what
end

-- A request for the block number asked for last time on the same channel
-- and stream: the block did not come (lost, damaged, or late).
local function mark_repeats(st, items)
    for _, item in ipairs(items) do
        local s = item.bytes
        if not item.bad_header and s:byte(3) == 0x12 and #s >= 13 and s:byte(8) == 2 then
            local len = s:byte(6) * 256 + s:byte(7)
            if crc32(s, 1, 7 + len) == (((s:byte(8 + len) * 256 + s:byte(9 + len)) * 256 + s:byte(10 + len)) * 256 + s:byte(11 + len)) then
                local channel, arg = s:byte(4), s:byte(9)
                item.repeated = st.asked[channel] == arg
                st.asked[channel] = arg
            end
        end
    end
end

local function stream_key()
    local bus, device, direction = f_bus(), f_device(), f_direction()
    if not (bus and device and direction) then return nil end
    return bus.value, device.value, direction.value
end

function zorbel.dissector(tvb, pinfo, tree)
    local bus, device, direction = stream_key()
    if bus == nil then return 0 end
    local items = frames[pinfo.number]
    if items == nil and not pinfo.visited then
        local key = bus .. ":" .. device .. ":" .. direction
        local st = streams[key]
        if not st then
            st = { buf = "", skipped = 0, asked = {} }
            streams[key] = st
        end
        items = scan(st, tvb:raw())
        mark_repeats(st, items)
        frames[pinfo.number] = items
    end
    pinfo.cols.protocol = "ZORBEL"
    if items == nil or #items == 0 then
        pinfo.cols.info = "Zorbel: part of a block (continues in a later transfer)"
        tree:add(zorbel, tvb(), "Zorbel: bytes of a block that a later transfer completes")
        return tvb:len()
    end
    local summary = {}
    for _, item in ipairs(items) do show(item, tree, pinfo, summary) end
    pinfo.cols.info = (direction == 1 and "IN  " or "OUT ") .. table.concat(summary, "; ")
    return tvb:len()
end

-- By vendor and product ID, where the capture holds the device's
-- descriptors (a capture started before the device was plugged in).
DissectorTable.get("usb.product"):add(0x0B660041, zorbel)

-- Otherwise by content: a device with a transfer that starts with a block
-- header is taken for a Zorbel from then on. The host's writes always start
-- with a block (one flush is one block), and so does a device's first answer.
local function heuristic(tvb, pinfo, tree)
    local bus, device, direction = stream_key()
    if bus == nil then return false end
    if pinfo.visited then
        if frames[pinfo.number] == nil then return false end
        zorbel.dissector(tvb, pinfo, tree)
        return true
    end
    local key = bus .. ":" .. device
    if not known_devices[key] then
        if tvb:len() < 11 then return false end
        if tvb(0, 1):uint() ~= 0x4D or tvb(1, 1):uint() ~= 0x4D then return false end
        if not header_ok(tvb(2, 1):uint(), tvb(5, 2):uint()) then return false end
        known_devices[key] = true
    end
    zorbel.dissector(tvb, pinfo, tree)
    return true
end
zorbel:register_heuristic("usb.bulk", heuristic)
