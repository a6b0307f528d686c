-- Wireshark dissector for station-reporter's report datagrams on UDP.
--
-- A report is a 12-byte header (tag 7C 83 00 01 D8 00, length, count, reserved) and count
-- records of 56 bytes (tag 7C 83 00 01 D6 00, length 48, the AP MAC twice, channel, assoc,
-- timestamp, rssi, three constant bytes, the MU MAC), every multi-byte field big-endian and
-- every other byte zero. Anything a reporter would not send is flagged with expert info.
--
-- Use: tshark -X lua_script:station_report.lua ..., or copy the file into Wireshark's
-- personal Lua plugins folder (Help > About > Folders). Written for Lua 5.2 (Wireshark 4.0):
-- no native bit operators.

local proto = Proto("station_report", "Station Report")

local REPORT_TAG = "7C830001D800"
local RECORD_TAG = "7C830001D600"
local HEADER_SIZE = 12
local RECORD_SIZE = 56
local MAX_RECORDS = 18
local TAG_SIZE = 6
local MAC_SIZE = 6

-- Where each field of the header and of a record stands.
local HEADER_LENGTH = 6
local HEADER_COUNT = 8
local HEADER_RESERVED = 10
local RECORD_LENGTH = 6
local AP_MAC = 8
local AP_MAC_AGAIN = 18
local CHANNEL = 25
local ASSOC = 26
local TIMESTAMP = 28
local RSSI = 36
local MU_MAC = 44
local CONSTANTS = { [34] = 0x02, [38] = 0x80, [42] = 0x0B }

-- The values of a table keyed by name, in the order of the names: Wireshark is handed every
-- field and expert info declared, and always in the same order.
local function in_name_order(t)
    local names = {}
    for name in pairs(t) do
        names[#names + 1] = name
    end
    table.sort(names)
    local values = {}
    for i, name in ipairs(names) do
        values[i] = t[name]
    end
    return values
end

local f = {
    tag = ProtoField.bytes("station_report.tag", "Report tag"),
    length = ProtoField.uint16("station_report.length", "Length", base.DEC),
    count = ProtoField.uint16("station_report.count", "Record count", base.DEC),
    reserved = ProtoField.uint16("station_report.reserved", "Reserved", base.HEX),
    record_tag = ProtoField.bytes("station_report.record_tag", "Record tag"),
    record_length = ProtoField.uint16("station_report.record_length", "Record length", base.DEC),
    apmac = ProtoField.ether("station_report.apmac", "AP MAC"),
    apmac_copy = ProtoField.ether("station_report.apmac_copy", "AP MAC (copy)"),
    channel = ProtoField.uint8("station_report.channel", "Channel", base.DEC),
    assoc = ProtoField.uint8("station_report.assoc", "Associated", base.DEC),
    timestamp = ProtoField.int32("station_report.timestamp", "Timestamp", base.DEC),
    rssi = ProtoField.int8("station_report.rssi", "RSSI (dBm)", base.DEC),
    mumac = ProtoField.ether("station_report.mumac", "MU MAC"),
}
proto.fields = in_name_order(f)

local function malformed(name, text)
    return ProtoExpert.new("station_report." .. name, text, expert.group.MALFORMED,
        expert.severity.ERROR)
end

local ex = {
    short = malformed("short", "Shorter than a report header"),
    bad_tag = malformed("bad_tag", "Not the report tag"),
    bad_length = malformed("bad_length", "Length does not match the datagram"),
    left_over = malformed("left_over", "Bytes left over after the records"),
    too_many = malformed("too_many", "More than 18 records"),
    bad_count = malformed("bad_count", "Count does not match the records that follow"),
    reserved = malformed("reserved_not_zero", "Reserved field not zero"),
    record_tag = malformed("record_bad_tag", "Not the record tag"),
    record_length = malformed("record_bad_length", "Record length is not 48"),
    apmac_copy = malformed("apmac_copies_differ", "AP MAC copies differ"),
    constant = malformed("bad_constant", "Constant byte has the wrong value"),
    nonzero = malformed("nonzero_reserved", "Non-zero reserved byte"),
}
proto.experts = in_name_order(ex)

-- Offsets in a record that hold a field or a constant; every other byte must be zero.
local FIELD_BYTES = {}
local function mark(from, size)
    for at = from, from + size - 1 do
        FIELD_BYTES[at] = true
    end
end
mark(0, RECORD_LENGTH + 2)
mark(AP_MAC, MAC_SIZE)
mark(AP_MAC_AGAIN, MAC_SIZE)
mark(CHANNEL, 1)
mark(ASSOC, 1)
mark(TIMESTAMP, 4)
mark(RSSI, 1)
mark(MU_MAC, MAC_SIZE)
for at in pairs(CONSTANTS) do
    mark(at, 1)
end

local function hex(range)
    return range:bytes():tohex()
end

local function dissect_record(tvb, offset, number, tree)
    local sub = tree:add(proto, tvb(offset, RECORD_SIZE), "Record " .. number)
    local tag = sub:add(f.record_tag, tvb(offset, TAG_SIZE))
    if hex(tvb(offset, TAG_SIZE)) ~= RECORD_TAG then
        tag:add_proto_expert_info(ex.record_tag)
    end
    local length = sub:add(f.record_length, tvb(offset + RECORD_LENGTH, 2))
    if tvb(offset + RECORD_LENGTH, 2):uint() ~= RECORD_SIZE - RECORD_LENGTH - 2 then
        length:add_proto_expert_info(ex.record_length)
    end
    sub:add(f.apmac, tvb(offset + AP_MAC, MAC_SIZE))
    local copy = sub:add(f.apmac_copy, tvb(offset + AP_MAC_AGAIN, MAC_SIZE))
    if hex(tvb(offset + AP_MAC, MAC_SIZE)) ~= hex(tvb(offset + AP_MAC_AGAIN, MAC_SIZE)) then
        copy:add_proto_expert_info(ex.apmac_copy)
    end
    sub:add(f.channel, tvb(offset + CHANNEL, 1))
    sub:add(f.assoc, tvb(offset + ASSOC, 1))
    sub:add(f.timestamp, tvb(offset + TIMESTAMP, 4))
    sub:add(f.rssi, tvb(offset + RSSI, 1))
    sub:add(f.mumac, tvb(offset + MU_MAC, MAC_SIZE))
    for at = 0, RECORD_SIZE - 1 do
        local value = tvb(offset + at, 1):uint()
        local want = CONSTANTS[at]
        if want ~= nil and value ~= want then
            sub:add_tvb_expert_info(ex.constant, tvb(offset + at, 1),
                string.format("Constant at offset %d is 0x%02X, not 0x%02X", at, value, want))
        elseif not FIELD_BYTES[at] and want == nil and value ~= 0 then
            sub:add_tvb_expert_info(ex.nonzero, tvb(offset + at, 1),
                string.format("Non-zero reserved byte at offset %d", at))
        end
    end
end

function proto.dissector(tvb, pinfo, tree)
    local length = tvb:len()
    pinfo.cols.protocol = "StationReport"
    local root = tree:add(proto, tvb())
    if length < HEADER_SIZE then
        root:add_proto_expert_info(ex.short)
        return length
    end
    local tag = root:add(f.tag, tvb(0, TAG_SIZE))
    if hex(tvb(0, TAG_SIZE)) ~= REPORT_TAG then
        tag:add_proto_expert_info(ex.bad_tag)
    end
    local length_item = root:add(f.length, tvb(HEADER_LENGTH, 2))
    if tvb(HEADER_LENGTH, 2):uint() ~= length - HEADER_LENGTH - 2 then
        length_item:add_proto_expert_info(ex.bad_length)
    end
    local records = math.floor((length - HEADER_SIZE) / RECORD_SIZE)
    local count_item = root:add(f.count, tvb(HEADER_COUNT, 2))
    if (length - HEADER_SIZE) % RECORD_SIZE ~= 0 then
        root:add_proto_expert_info(ex.left_over)
    end
    if records > MAX_RECORDS then
        count_item:add_proto_expert_info(ex.too_many)
    end
    if tvb(HEADER_COUNT, 2):uint() ~= records then
        count_item:add_proto_expert_info(ex.bad_count)
    end
    local reserved = root:add(f.reserved, tvb(HEADER_RESERVED, 2))
    if tvb(HEADER_RESERVED, 2):uint() ~= 0 then
        reserved:add_proto_expert_info(ex.reserved)
    end
    for i = 1, records do
        dissect_record(tvb, HEADER_SIZE + (i - 1) * RECORD_SIZE, i, root)
    end
    pinfo.cols.info = string.format("Report, %d record%s", records, records == 1 and "" or "s")
    return length
end

-- Claims a UDP datagram on any port only when it starts like a report: the report tag and a
-- length field that matches the datagram.
local function heuristic(tvb, pinfo, tree)
    local length = tvb:len()
    if length < HEADER_SIZE or hex(tvb(0, TAG_SIZE)) ~= REPORT_TAG
        or tvb(HEADER_LENGTH, 2):uint() ~= length - HEADER_LENGTH - 2 then
        return false
    end
    proto.dissector(tvb, pinfo, tree)
    return true
end

proto.prefs.port = Pref.uint("UDP port", 9999, "The UDP port reports are sent to")

local udp_port = DissectorTable.get("udp.port")
local registered_port = proto.prefs.port
udp_port:add(registered_port, proto)

function proto.prefs_changed()
    if registered_port ~= proto.prefs.port then
        udp_port:remove(registered_port, proto)
        registered_port = proto.prefs.port
        udp_port:add(registered_port, proto)
    end
end

proto:register_heuristic("udp", heuristic)
