#!/usr/bin/env python3
"""The Wireshark dissector against the reporter's own datagrams: the hex dump of a real run
becomes a capture (text2pcap), and the fields tshark prints must equal station-decode's
output for the same dump; damaged datagrams must raise the dissector's expert info.

usage: dissector_test.py STATION_REPORTER STATION_DECODE DISSECTOR.lua
"""
import os, subprocess, sys, tempfile, unittest

from wire import (AP_MAC_AGAIN, CONST_80, EXAMPLE_RECORD, HEADER_COUNT, HEADER_LENGTH,
                  HEADER_RESERVED, HEADER_SIZE, RECORD_LENGTH, patched, record_at, report)

REPORTER = DECODER = SCRIPT = None
FIELDS = ["station_report.apmac", "station_report.mumac", "station_report.timestamp",
          "station_report.rssi", "station_report.channel", "station_report.assoc"]
LINES = (b"A0B1C2D3E4F5,0a1b2c3d4e5f,258,-60,6,54,1\n"
         b"001E58AC01F2,ffffffffffff,-2147483648,127,255,0,256\n"
         b"00000000000f,8c8590aa0b5e,2147483647,-128,300,6,-1\n")


def tshark(*args):
    r = subprocess.run(["tshark", *args, "-X", "lua_script:" + SCRIPT], capture_output=True,
                       text=True)
    assert r.returncode == 0, r.stderr
    return r.stdout


def capture(datagrams, port, work):
    """A capture of UDP datagrams from 127.0.0.1:40000 to 127.0.0.1:port."""
    text = "".join("%06x %s\n" % (i, " ".join("%02x" % b for b in d[i:i + 16]))
                   for d in datagrams for i in range(0, len(d), 16))
    path = os.path.join(work, "in%d.pcap" % port)
    with open(path + ".txt", "w") as f:
        f.write(text)
    subprocess.run(["text2pcap", "-q", "-u", "40000,%d" % port, "-4", "127.0.0.1,127.0.0.1",
                    path + ".txt", path], check=True, capture_output=True)
    return path


class Dissector(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp()

    def test_script_is_loaded(self):
        # An unloaded Lua script fails silently: the other cases would see no fields at all.
        self.assertIn("\tstation_report\n", tshark("-G", "protocols"))
        fields = tshark("-G", "fields")
        every = ["count", "tag", "length", "reserved", "record_tag", "record_length", "apmac_copy"]
        for name in FIELDS + ["station_report." + name for name in every]:
            self.assertIn("\t%s\t" % name, fields)

    def test_fields_equal_station_decode(self):
        dump = subprocess.run([REPORTER, "127.0.0.1", "9"], input=LINES, capture_output=True,
                              check=True).stdout
        decoded = subprocess.run([DECODER, "dump"], input=dump, capture_output=True,
                                 check=True).stdout.decode().splitlines()[1:]
        # apmac to assoc: the columns between the sender and record number and the receive time.
        want = [",".join(line.split(",")[2:8]) for line in decoded]
        self.assertEqual(len(want), 3)
        datagram = bytes.fromhex(dump.decode().split("---")[1].split("+++")[0])
        # Port 9999 through the port preference, any other through the heuristic.
        for port in (9999, 40001):
            with self.subTest(port=port):
                out = tshark("-r", capture([datagram], port, self.work), "-T", "fields", "-E",
                             "occurrence=a", "-E", "aggregator=;", "-e", "station_report.count",
                             *sum((["-e", f] for f in FIELDS), []))
                count, *columns = out.rstrip("\n").split("\t")
                rows = zip(*(c.split(";") for c in columns))
                got = [",".join([ap.replace(":", "").upper(), mu.replace(":", "").upper(), *rest])
                       for ap, mu, *rest in rows]
                self.assertEqual((count, got), ("3", want))

    def test_damage_raises_expert_info(self):
        record = EXAMPLE_RECORD
        good = report([record, record])
        patch = lambda at, v: patched(good, at, v)
        cases = [(good[:HEADER_SIZE - 2], "Shorter than a report header"),
                 (patch(4, 0xD6), "Not the report tag"),
                 (patch(HEADER_LENGTH + 1, 0), "Length does not match the datagram"),
                 (good[:HEADER_LENGTH] + (len(good) - HEADER_LENGTH - 1).to_bytes(2, "big") +
                  good[HEADER_COUNT:] + b"\0", "Bytes left over after the records"),
                 (report([record] * 19), "More than 18 records"),
                 (patch(HEADER_COUNT + 1, 3), "Count does not match the records that follow"),
                 (patch(HEADER_RESERVED, 1), "Reserved field not zero"),
                 (patch(record_at(2), 0), "Not the record tag"),
                 (patch(record_at(1) + RECORD_LENGTH + 1, 47), "Record length is not 48"),
                 (patch(record_at(1) + AP_MAC_AGAIN + 1, 0), "AP MAC copies differ"),
                 (patch(record_at(2) + CONST_80, 0x81), "Constant at offset 38 is 0x81, not 0x80"),
                 (patch(record_at(2) + 50, 1), "Non-zero reserved byte at offset 50"),
                 (good, "")]
        out = tshark("-r", capture([d for d, _ in cases], 9999, self.work), "-T", "fields",
                     "-e", "_ws.expert.message")
        self.assertEqual(out.splitlines(), [m for _, m in cases])


if __name__ == "__main__":
    REPORTER, DECODER, SCRIPT = map(os.path.abspath, sys.argv[1:4])
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[4:])
