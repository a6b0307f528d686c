#!/usr/bin/env python3
"""station-decode as a process: datagrams sent to it over 127.0.0.1 and ::1, hex dumps on its
standard input, its exact output, messages, summary and exit status.

usage: decoder_e2e.py STATION_DECODE
"""
import json, re, signal, socket, subprocess, sys, time, unittest

from sandbox import dump, start_decoder
from wire import (AP_MAC_AGAIN, CONST_02, CONST_0B, CONST_80, EXAMPLE_RECORD as RECORD,
                  HEADER_COUNT, HEADER_LENGTH, HEADER_RESERVED, HEADER_SIZE, RECORD_LENGTH, header,
                  patched, record_at, report)

CSV_HEADER = "from,record,apmac,mumac,timestamp,rssi,channel,assoc,received\n"
FIELDS = "A0B1C2D3E4F5,0A1B2C3D4E5F,258,-60,6,1"
CLEAN = ", 0 dropped, 0 not written\n"
DECODER = None
# The receive time ending a CSV line: Unix seconds with milliseconds.
RECEIVED = re.compile(r",(\d+\.\d{3})$", re.M)
JSON_RECEIVED = re.compile(r',"received":(\d+\.\d{3})\}$', re.M)


def received_between(test, times, since):
    """Each time (seconds, as printed) lies between since and now, to the millisecond."""
    now = time.time()
    for t in times:
        test.assertRegex(str(t), r"^\d+\.\d{1,3}$")
        test.assertTrue(since - 0.002 <= float(t) <= now + 0.002, (since, t, now))


def csv_without_received(test, out, since):
    """out with the received column of each line checked and taken off."""
    received_between(test, RECEIVED.findall(out), since)
    return RECEIVED.sub("", out)


def json_without_received(test, out, since):
    objects = [json.loads(line) for line in out.splitlines()]
    received_between(test, [o.pop("received") for o in objects], since)
    return objects


class Listener:
    """station-decode listen on ADDRESS:PORT; port is the one it reports."""

    def __init__(self, address, *options, port=0):
        self.proc, self.port = start_decoder(DECODER, "%s:%d" % (address, port), *options,
                                             text=True)

    def send(self, datagrams, family=socket.AF_INET, host="127.0.0.1", source=None):
        with socket.socket(family, socket.SOCK_DGRAM) as s:
            s.bind((source or host, 0))
            for d in datagrams:
                s.sendto(d, (host, self.port))
            return s.getsockname()[1]

    def finish(self):
        out, err = self.proc.communicate(timeout=30)
        for stream in (self.proc.stdout, self.proc.stderr):
            stream.close()
        return self.proc.returncode, out, err


class Refusals(unittest.TestCase):
    def test_each_damage_is_refused_with_its_reason(self):
        good = report([RECORD, RECORD, RECORD])
        damaged = [
            (header(0)[:HEADER_SIZE - 3], "header: too short"),
            (patched(good, 4, 0xD6), "header: bad tag"),
            (patched(good, HEADER_LENGTH + 1, 0xAD), "header: bad length"),
            (good[:HEADER_LENGTH] + (len(good) - HEADER_LENGTH - 1).to_bytes(2, "big") +
             good[HEADER_COUNT:] + b"\0", "header: bytes left over after the records"),
            (report([RECORD] * 19), "header: more than 18 records"),
            (patched(good, HEADER_COUNT + 1, 2), "header: bad count"),
            (patched(good, HEADER_RESERVED + 1, 1), "header: reserved not zero"),
            (patched(good, record_at(3) + 4, 0xD8), "record 3: bad tag"),
            (patched(good, record_at(1) + RECORD_LENGTH + 1, 0x31), "record 1: bad length"),
            (patched(good, record_at(2) + AP_MAC_AGAIN + 5, 0xF6),
             "record 2: AP MAC copies differ"),
            (patched(good, record_at(1) + CONST_02, 3), "record 1: bad constant"),
            (patched(good, record_at(1) + CONST_80, 0), "record 1: bad constant"),
            (patched(good, record_at(2) + CONST_0B, 0x0C), "record 2: bad constant"),
        ] + [(patched(good, record_at(3) + at, 1), "record 3: non-zero reserved byte")
             for at in (14, 17, 24, 27, 32, 35, 37, 39, 43, 55)]
        # A buffer every kernel grants: no warning among the messages compared.
        listener = Listener("127.0.0.1", "--count", str(len(damaged) + 1), "--buffer", "131072")
        since = time.time()
        # Each from its own address: refusals are told one by one up to a few per sender.
        sources = ["127.0.0.%d" % (i + 2) for i in range(len(damaged))]
        ports = [listener.send([d], source=source) for (d, _), source in zip(damaged, sources)]
        port = listener.send([good])
        status, out, err = listener.finish()
        self.assertEqual(status, 0)
        self.assertEqual(csv_without_received(self, out, since), CSV_HEADER + "".join(
            "127.0.0.1:%d,%d,%s\n" % (port, i, FIELDS) for i in (1, 2, 3)))
        self.assertEqual(err.splitlines(), ["station-decode: %s:%d: %s" % (source, p, why)
                                            for (_, why), source, p in
                                            zip(damaged, sources, ports)] +
                         ["station-decode: 1 reports decoded, 3 records printed, "
                          "%d refused, 0 dropped, 0 not written" % len(damaged)])


class Listening(unittest.TestCase):
    def test_json_over_ipv6_and_an_empty_report(self):
        listener = Listener("[::1]", "--json", "--count", "2")
        odd = RECORD[:25] + b"\xFF\x00\x00\x80\x00\x00\x00" + RECORD[32:36] + b"\x7F" + RECORD[37:]
        since = time.time()
        port = listener.send([report([]), report([odd])], socket.AF_INET6, "::1")
        status, out, err = listener.finish()
        self.assertEqual(status, 0)
        self.assertEqual(json_without_received(self, out, since), [
            {"from": "[::1]:%d" % port, "record": 1, "apmac": "A0B1C2D3E4F5",
             "mumac": "0A1B2C3D4E5F", "timestamp": -2147483648, "rssi": 127, "channel": 255,
             "assoc": 0}])
        self.assertTrue(err.endswith("2 reports decoded, 1 records printed, 0 refused" + CLEAN))

    def test_every_address_takes_ipv4_and_ipv6_and_a_signal_ends_it(self):
        for sig in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=sig):
                listener = Listener("")
                since = time.time()
                p4 = listener.send([report([RECORD])])
                p6 = listener.send([report([RECORD])], socket.AF_INET6, "::1")
                # Each line is flushed as it is decoded: the signal comes after both.
                lines = [csv_without_received(self, listener.proc.stdout.readline(), since)
                         for _ in range(3)]
                listener.proc.send_signal(sig)
                status, out, err = listener.finish()
                self.assertEqual((status, out), (0, ""))
                self.assertEqual(sorted(lines), sorted([
                    CSV_HEADER, "127.0.0.1:%d,1,%s\n" % (p4, FIELDS),
                    "[::1]:%d,1,%s\n" % (p6, FIELDS)]))
                self.assertTrue(err.endswith("2 reports decoded, 2 records printed, 0 refused" +
                                             CLEAN))

    def test_a_reader_that_goes_away_ends_it(self):
        listener = Listener("127.0.0.1")
        listener.proc.stdout.close()
        listener.send([report([RECORD])])
        status, _, err = listener.finish()
        self.assertEqual(status, 1)
        self.assertIn("station-decode: cannot write output: Broken pipe\n", err)

    def test_shared_port_and_a_port_in_use(self):
        first = Listener("127.0.0.1", "--reuseport")
        port = "127.0.0.1:%d" % first.port
        taken = subprocess.run([DECODER, "listen", port], capture_output=True, text=True)
        self.assertEqual(taken.returncode, 1)
        self.assertRegex(taken.stderr, r"^station-decode: cannot listen on 127\.0\.0\.1:\d+: "
                                       r"Address already in use\n$")
        second = Listener("127.0.0.1", "--reuseport", port=first.port)
        self.assertEqual(second.port, first.port)
        for listener in (first, second):
            listener.proc.terminate()
            self.assertEqual(listener.finish()[0], 0)


class Dump(unittest.TestCase):
    def test_blocks_among_log_lines(self):
        text = ("main | 50: Set debug level as 7\n" + dump(report([RECORD])) +
                dump(report([])) + "---\n7C 83 0G\n+++\n" +
                dump(patched(report([RECORD]), record_at(1), 0)) + dump(report([RECORD] * 2)) +
                "sendReport | 40: Can not sendto server\n---\n7C 83\n")
        since = time.time()
        r = subprocess.run([DECODER, "dump"], input=text, capture_output=True, text=True)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(csv_without_received(self, r.stdout, since),
                         CSV_HEADER + "".join("-,%d,%s\n" % (i, FIELDS) for i in (1, 1, 2)))
        self.assertEqual(r.stderr.splitlines(), [
            "station-decode: -: line 12: not valid hex",
            "station-decode: -: line 15: record 1: bad tag",
            "station-decode: -: line 33: dump not closed by +++",
            "station-decode: 3 reports decoded, 3 records printed, 3 refused, 0 dropped, "
            "0 not written"])

    def test_clean_dump_exits_0(self):
        since = time.time()
        r = subprocess.run([DECODER, "dump", "--json"], input=dump(report([RECORD])),
                           capture_output=True, text=True)
        # The text exactly, key order included; the receive time checked and taken off.
        received_between(self, JSON_RECEIVED.findall(r.stdout), since)
        self.assertEqual((r.returncode, JSON_RECEIVED.sub("}", r.stdout), r.stderr), (
            0, '{"from":"-","record":1,"apmac":"A0B1C2D3E4F5","mumac":"0A1B2C3D4E5F",'
               '"timestamp":258,"rssi":-60,"channel":6,"assoc":1}\n',
            "station-decode: 1 reports decoded, 1 records printed, 0 refused" + CLEAN))

    def test_heartbeats_in_both_modes_and_formats(self):
        beat = report([])
        since = time.time()
        r = subprocess.run([DECODER, "dump", "--heartbeats"], input=dump(beat) + dump(beat),
                           capture_output=True, text=True)
        self.assertEqual(csv_without_received(self, r.stdout, since),
                         CSV_HEADER + ("-,0" + "," * 6 + "\n") * 2)  # six empty columns
        listener = Listener("127.0.0.1", "--json", "--heartbeats", "--count", "2")
        port = listener.send([beat, report([RECORD])])
        status, out, _ = listener.finish()
        objects = json_without_received(self, out, since)
        self.assertEqual((status, objects[0]), (0, {"from": "127.0.0.1:%d" % port, "record": 0}))
        self.assertEqual([o["record"] for o in objects], [0, 1])

    def test_help_and_version_on_stdout(self):
        with open(sys.argv[0].replace("tests/decoder_e2e.py", "CMakeLists.txt")) as f:
            version = re.search(r"project\(station-reporter VERSION (\S+)", f.read()).group(1)
        for args, want in ((["--help"], "usage: station-decode listen"),
                           (["-h"], "usage: station-decode listen"),
                           (["--version"], "station-decode %s\n" % version)):
            with self.subTest(args=args):
                r = subprocess.run([DECODER] + args, capture_output=True, text=True)
                self.assertEqual((r.returncode, r.stderr), (0, ""))
                self.assertTrue(r.stdout.startswith(want), r.stdout)

    def test_usage_errors(self):
        for args in ([], ["send"], ["listen"], ["listen", "localhost:9999"], ["listen", "::1:9"],
                     ["listen", "[::1]"], ["listen", "65536"], ["listen", "9999", "--count", "0"],
                     ["listen", "9999", "--count"], ["listen", "9999", "-x"],
                     ["dump", "--count", "1"], ["listen", "1.2.3:9"],
                     ["listen", "9", "--stats", "0"], ["listen", "9", "--allow", "10.0.0.0/33"],
                     ["listen", "9", "--allow"], ["listen", "9", "--buffer", "100"],
                     ["dump", "--allow", "::1"], ["-x"]):
            with self.subTest(args=args):
                r = subprocess.run([DECODER] + args, capture_output=True, text=True)
                self.assertEqual((r.returncode, r.stdout), (2, ""))
                self.assertIn("usage: station-decode listen [ADDRESS:]PORT", r.stderr)


if __name__ == "__main__":
    DECODER = sys.argv[1]
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[2:])
