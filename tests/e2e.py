#!/usr/bin/env python3
"""End-to-end suite: runs the built program as a process and checks its exit status, exact
stdout, the datagram a UDP receiver on 127.0.0.1 gets, and the messages a /dev/log socket
gets, in a private mount namespace so the machine's own /dev is never touched. It runs as
root or as any user the kernel lets make a user namespace. Nothing is sent anywhere but
127.0.0.1.

usage: e2e.py PROGRAM [--emulator "qemu-mipsel-static ..."]
"""
import json, os, random, re, resource, shlex, socket, subprocess, sys, tempfile, threading, time
import unittest

import wire

import sandbox
from sandbox import drain, dump, parse_syslog
from wire import EXAMPLE_RECORD, header, report

EXAMPLE = b"A0B1C2D3E4F5,0a1b2c3d4e5f,258,-60,6,54,1\n"
TRACES = ["apmac = A0B1C2D3E4F5", "mumac = 0a1b2c3d4e5f", "timestamp = 258", "rssi = -60",
          "channel = 6", "rate = 54", "assoc = 1"]
COMMAND = []  # emulator words, then the program
DECODER = None  # station-decode, when given


def mirrored(function, messages):
    return "".join("%s | N: %s\n" % (function, m) for m in messages)


def mirrored_run(level_set, skipped=(), traced=()):
    """The mirrored lines of a run: the level set by main, then the records collected."""
    return mirrored("main", level_set) + mirrored("collectRecords", skipped) + \
        mirrored("traceObservation", traced)


class Run:
    """One run of the program, after the words of wrap if any, with a fresh UDP receiver;
    PORT in args and wrap names the receiver's port."""

    def __init__(self, args, stdin=b"", wrap=()):
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.bind(("127.0.0.1", 0))
        port = lambda words: [w.replace("PORT", str(self.udp.getsockname()[1])) for w in words]
        self.argv = port(wrap) + COMMAND + port(args)
        drain(SYSLOG)  # nothing left over from an earlier run
        self.stdin = stdin

    def finish(self, proc, stdin):
        out, _ = proc.communicate(stdin, timeout=60)
        self.status = proc.returncode
        self.stdout = re.sub(r"(?m)^(\w+) \| \d+: ", r"\1 | N: ", (out or b"").decode())
        self.datagrams = drain(self.udp)
        self.syslog = [parse_syslog(m) for m in drain(SYSLOG)]
        self.udp.close()
        return self

    def run(self):
        proc = subprocess.Popen(self.argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        return self.finish(proc, self.stdin)


def run(args, stdin=b""):
    return Run(args, stdin).run()


class CommandLine(unittest.TestCase):
    def test_usage_errors(self):
        cases = [[], ["127.0.0.1"], ["127.0.0.1", "0"], ["127.0.0.1", "abc"],
                 ["127.0.0.1", "70000"], ["127.0.0.1", "65536"], ["127.0.0.1", "-1"],
                 ["127.0.0.1", "12ab"], ["127.0.0.1", " 80"], ["127.0.0.1", "+80"],
                 ["127.0.0.1", ""], ["localhost", "80"], ["1.2.3.4.5", "80"],
                 ["256.1.1.1", "80"], ["", "80"], ["127.0.0.1 ", "80", "7", "x"],
                 ["4294967296", "80"], ["0xffffffffff", "80"], ["1.16777216", "80"],
                 ["08.0.0.1", "80"], ["0x.0.0.1", "80"], ["--versions", "80"]]
        for args in cases:
            with self.subTest(args=args):
                r = run(args, EXAMPLE)
                self.assertEqual(r.status, 1)
                self.assertEqual(r.stdout, "Usage: %s host port [level [stdout]]\n" % COMMAND[-1])
                self.assertEqual((r.datagrams, r.syslog), ([], []))

    def test_accepted(self):
        level = lambda text: [(12, "Set debug level as " + text)]
        # args, mirrored messages, syslog messages
        cases = [(["127.0.0.1", "PORT"], [], []),
                 (["0177.0.0.1", "PORT"], [], []), (["2130706433", "PORT"], [], []),
                 (["127.1", "PORT", "4"], [], level("4")),
                 (["0x7f.0.0.1", "PORT", "12", "x"], ["Set debug level as C"], level("C")),
                 (["127.0.0.1", "PORT", " +7", "", "ignored"], ["Set debug level as 7"],
                  level("7")),
                 (["127.0.0.1", "PORT", "99999999999", "x"], ["Set debug level as 7FFFFFFF"],
                  level("7FFFFFFF")),
                 (["127.0.0.1", "PORT", "-99999999999", "x"], [], []),
                 (["127.0.0.1", "PORT", "abc", "x"], [], []),
                 (["127.0.0.1", "PORT", "0x14", "x"], [], [])]
        for args, shown, logged in cases:
            with self.subTest(args=args):
                r = run(args)
                self.assertEqual(r.status, 0)
                self.assertEqual(r.stdout, mirrored("main", shown) + dump(header(0)))
                self.assertEqual(r.datagrams, [header(0)])
                self.assertEqual(r.syslog, logged)

    def test_version_and_help_alone(self):
        for args in (["--version"], ["--version", "127.0.0.1", "PORT"], ["--help", "x"]):
            with self.subTest(args=args):
                r = run(args, EXAMPLE)
                self.assertEqual((r.status, r.datagrams, r.syslog), (0, [], []))
                self.assertRegex(r.stdout, r"^station-reporter \d+\.\d+\.\d+\n$" if
                                 args[0] == "--version" else
                                 r"^Usage: \S+ host port \[level \[stdout\]\]\n$")

    def test_port_boundaries(self):
        for port in ("1", "65535", "00080"):
            with self.subTest(port=port):
                r = run(["127.0.0.1", port])
                self.assertEqual((r.status, r.stdout), (0, dump(header(0))))


def record(ts):
    return wire.record(timestamp=ts)


def line(ts):
    return b"A0B1C2D3E4F5,0a1b2c3d4e5f,%d,-60,6,54,1\n" % ts


class ObservationLoop(unittest.TestCase):
    def test_example_line_traced_dumped_and_sent(self):
        r = run(["127.0.0.1", "PORT", "7", "stdout"], EXAMPLE)
        sent = report([EXAMPLE_RECORD])
        self.assertEqual(r.datagrams, [sent])
        self.assertEqual(r.stdout, mirrored_run(["Set debug level as 7"], traced=TRACES) +
                         dump(sent))
        self.assertIn("\n7C 83 00 01 D8 00 00 3C 00 01 00 00 7C 83 00 01 \n", r.stdout)
        self.assertEqual(r.syslog, [(12, m) for m in ["Set debug level as 7"] + TRACES])

    def test_malformed_lines_are_skipped_and_logged(self):
        good = EXAMPLE.rstrip()
        bad = [good[:30], good.replace(b"A0B1", b"A0:B1"), good[1:], b"A" + good,
               good.replace(b"5f,", b"5g,"), good.replace(b"258", b"2147483648"), good + b" x",
               good.replace(b"258,", b"258 ,"), good + b",9", b"," + good,
               good.replace(b"-60", b"-6\0"), good + b" " * 216, b" " * 256, b"x"]
        for text in bad:
            with self.subTest(line=text):
                r = run(["127.0.0.1", "PORT"], EXAMPLE + text + b"\n" + EXAMPLE)
                self.assertEqual(r.datagrams, [header(2) + EXAMPLE_RECORD * 2])
                self.assertEqual(r.syslog, [(12, "Skip malformed line 2")])

    def test_read_error_and_a_flood_of_malformed_lines(self):
        # A directory on stdin: read fails (EISDIR), which must not pass for an empty input.
        r = Run(["127.0.0.1", "PORT"])
        directory = os.open(tempfile.gettempdir(), os.O_RDONLY)
        proc = subprocess.Popen(r.argv, stdin=directory, stdout=subprocess.PIPE)
        os.close(directory)
        r.finish(proc, None)
        self.assertEqual((r.datagrams, r.syslog), ([header(0)], [(12, "Can not read input")]))
        # Only the first ten skipped lines are logged one by one.
        r = run(["127.0.0.1", "PORT"], b"bad\n" * 13 + EXAMPLE)
        self.assertEqual(r.datagrams, [header(1) + EXAMPLE_RECORD])
        self.assertEqual(r.syslog, [(12, "Skip malformed line %d" % n) for n in range(1, 11)] +
                         [(12, "Skip 3 more malformed lines")])

    def test_blank_lines_crlf_and_no_final_newline(self):
        r = run(["127.0.0.1", "PORT"], b"\n \t\r\n" + line(1) + b"\n\nnope\r\n" +
                line(2).replace(b"\n", b"\r\n") + line(3).rstrip())
        self.assertEqual(r.datagrams, [header(3) + record(1) + record(2) + record(3)])
        self.assertEqual(r.syslog, [(12, "Skip malformed line 6")])

    def test_eighteen_records_and_the_rest_left_unread(self):
        data = b"".join(line(ts) for ts in range(1, 21))
        full = header(18) + b"".join(record(ts) for ts in range(1, 19))
        self.assertEqual(len(full), 1020)
        r = run(["127.0.0.1", "PORT"], data)
        self.assertEqual(r.datagrams, [full])
        self.assertEqual([len(l) for l in r.stdout.splitlines()], [3] + [48] * 63 + [36, 3])
        # Two runs in a row on one standard input, from a file and from a pipe.
        twice = ["sh", "-c", '"$@" 127.0.0.1 PORT; "$@" 127.0.0.1 PORT', "sh"]
        rest = header(2) + record(19) + record(20)
        with tempfile.TemporaryFile() as f:
            f.write(data)
            f.seek(0)
            r = Run([], wrap=twice)
            proc = subprocess.Popen(r.argv, stdin=f, stdout=subprocess.PIPE)
            self.assertEqual(r.finish(proc, None).datagrams, [full, rest])
        self.assertEqual(Run([], data, wrap=twice).run().datagrams, [full, rest])

    def test_a_slow_producer_shared_by_two_runs(self):
        # Pieces of 7 bytes with pauses split lines across the reader's look-ahead; a pipe is
        # looked into with tee, a socket read a byte at a time. Either way the first run
        # takes 18 records and nothing more, and the second run the rest.
        data = b"".join(line(ts) for ts in range(1, 6)) + b"x" * 300 + b"\n" + \
            b"".join(line(ts) for ts in range(7, 27))
        first = header(18) + b"".join(record(ts) for ts in list(range(1, 6)) + list(range(7, 20)))
        second = header(7) + b"".join(record(ts) for ts in range(20, 27))
        twice = ["sh", "-c", '"$@" 127.0.0.1 PORT; "$@" 127.0.0.1 PORT', "sh"]
        for kind in ("pipe", "socket"):
            with self.subTest(stdin=kind):
                if kind == "pipe":
                    reader, writer = os.pipe()
                    writer = os.fdopen(writer, "wb", buffering=0)
                else:
                    a, b = socket.socketpair()
                    reader, writer = a.detach(), b.makefile("wb", buffering=0)
                    b.close()
                r = Run([], wrap=twice)
                proc = subprocess.Popen(r.argv, stdin=reader, stdout=subprocess.PIPE)
                os.close(reader)

                def produce():
                    for at in range(0, len(data), 7):
                        writer.write(data[at:at + 7])
                        time.sleep(0.001)
                    writer.close()
                producer = threading.Thread(target=produce)
                producer.start()
                r.finish(proc, None)
                producer.join()
                self.assertEqual(r.datagrams, [first, second])
                self.assertEqual(r.syslog, [(12, "Skip malformed line 6")])


class Sender(unittest.TestCase):
    def test_levels_and_mirroring(self):
        errors = ["Skip malformed line 1"]
        for level in ("0", "3", "4", "7"):
            for mirror in ([], ["stdout"]):
                with self.subTest(level=level, mirror=mirror):
                    r = run(["127.0.0.1", "PORT", level] + mirror, b"bad\n" + EXAMPLE)
                    level_set = ["Set debug level as " + level] if int(level) & 4 else []
                    skipped = errors if int(level) & 1 else []
                    traced = TRACES if int(level) & 4 else []
                    sent = report([EXAMPLE_RECORD])
                    self.assertEqual(r.datagrams, [sent])
                    self.assertEqual(r.syslog, [(12, m) for m in level_set + skipped + traced])
                    self.assertEqual(r.stdout, (mirrored_run(level_set, skipped, traced)
                                                if mirror else "") + dump(sent))

    def test_failed_send_is_logged_after_the_dump(self):
        # A network namespace of its own whose loopback is down: the send to 127.0.0.1 fails.
        r = Run(["127.0.0.1", "PORT", "3", "stdout"], wrap=["unshare", "--net"]).run()
        self.assertEqual(r.status, 0)
        self.assertEqual(r.stdout, dump(header(0)) + "sendReport | N: Can not sendto server\n")
        self.assertEqual(r.datagrams, [])
        self.assertEqual(r.syslog, [(12, "Can not sendto server")])

    def test_failed_socket_is_logged_and_nothing_sent(self):
        r = Run(["127.0.0.1", "PORT", "7", "stdout"])
        proc = subprocess.Popen(r.argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        first = proc.stdout.readline()  # the program now waits on its input
        resource.prlimit(proc.pid, resource.RLIMIT_NOFILE, (3, 3))
        r.finish(proc, b"")
        self.assertTrue(first.endswith(b": Set debug level as 7\n"), first)
        self.assertEqual(r.status, 0)
        self.assertEqual(r.stdout, "sendReport | N: Can not create socket\n")
        self.assertEqual(r.datagrams, [])

    def test_closed_stdout_does_not_stop_the_report(self):
        # A closed descriptor 1 must not be reused by the log's socket: the mirrored lines
        # would then land in the system log.
        reader, writer = os.pipe()
        os.close(reader)
        for stdout in (writer, None):
            with self.subTest(stdout=stdout):
                r = Run(["127.0.0.1", "PORT", "7", "stdout"])
                closer = None if stdout else (lambda: os.close(1))
                proc = subprocess.Popen(r.argv, stdin=subprocess.PIPE, stdout=stdout,
                                        preexec_fn=closer)
                self.assertEqual(r.finish(proc, EXAMPLE).datagrams, [header(1) + EXAMPLE_RECORD])
                self.assertEqual(r.status, 0)
                self.assertEqual(r.syslog, [(12, m) for m in ["Set debug level as 7"] + TRACES])
        os.close(writer)


class Decoding(unittest.TestCase):
    def setUp(self):
        if DECODER is None:
            self.skipTest("no station-decode given")

    def test_random_observation_sets_decode_to_what_was_sent(self):
        rng = random.Random(11)
        extremes = [-2**31, 2**31 - 1, -1, 0, 255, 256, -128, 127]
        number = lambda: rng.choice(extremes) if rng.random() < 0.3 else rng.randint(-300, 300)
        for count in (0, 1, 7, 18):
            observations = [("".join(rng.choice("0123456789abcdefABCDEF") for _ in range(12)),
                             "".join(rng.choice("0123456789abcdefABCDEF") for _ in range(12)),
                             number(), number(), number(), number(), number())
                            for _ in range(count)]
            text = "".join("%s,%s,%d,%d,%d,%d,%d\n" % o for o in observations).encode()
            with self.subTest(count=count):
                decoder, port = sandbox.start_decoder(DECODER, "127.0.0.1:0", "--json", "--count",
                                                      "1")
                r = Run(["127.0.0.1", str(port)], text).run()
                out, _ = decoder.communicate(timeout=60)
                decoder.stderr.close()
                self.assertEqual((r.status, decoder.returncode), (0, 0))
                got = [json.loads(l) for l in out.splitlines()]
                self.assertEqual([(d["record"], d["apmac"], d["mumac"], d["timestamp"], d["rssi"],
                                   d["channel"], d["assoc"]) for d in got],
                                 [(i + 1, ap.upper(), mu.upper(), ts, (rssi + 128) % 256 - 128,
                                   ch % 256, assoc % 256)
                                  for i, (ap, mu, ts, rssi, ch, rate, assoc)
                                  in enumerate(observations)])


if __name__ == "__main__":
    args = sys.argv[1:]
    SYSLOG = sandbox.enter(__file__, args)
    emulator = shlex.split(sandbox.take_option(args, "--emulator") or "")
    DECODER = sandbox.take_option(args, "--decoder")
    COMMAND = emulator + [os.path.abspath(args[0])]
    print("program:", " ".join(COMMAND), file=sys.stderr)
    unittest.main(argv=[sys.argv[0], "-v"] + args[1:])
