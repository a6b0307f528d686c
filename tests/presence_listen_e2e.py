#!/usr/bin/env python3
"""station-presence --listen against the pipe from station-decode, its refusals, statistics,
stops and a full disk (a tiny tmpfs, mounted in a private mount namespace).
usage: presence_listen_e2e.py STATION_REPORTER STATION_DECODE STATION_PRESENCE
"""
import json, os, re, signal, socket, sqlite3, subprocess, sys, tempfile, time, unittest

import sandbox

REPORTER = DECODER = PRESENCE = None
AP1, AP2 = "A0B1C2D3E401", "A0B1C2D3E402"
RECEIVER = re.compile(r"^station-presence: (\d+) reports decoded, (\d+) records printed, "
                      r"(\d+) refused, (\d+) dropped, 0 not written$", re.M)
QUEUED = re.compile(r"^station-presence: (\d+) datagrams still queued at the stop", re.M)


def datagram(*observations):
    """What the reporter sends for these (apmac, mumac, rssi, assoc), caught on a socket."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as catcher:
        catcher.bind(("127.0.0.1", 0))
        lines = "".join("%s,%s,%d,%d,6,54,%d\n" % (ap, mu, time.time(), rssi, assoc)
                        for ap, mu, rssi, assoc in observations)
        subprocess.run([REPORTER, "127.0.0.1", str(catcher.getsockname()[1])], input=lines,
                       text=True, check=True, stdout=subprocess.DEVNULL)
        return catcher.recv(4096)


def crowd(first):  # a full report of 18 new clients, associated: one arrive each
    return datagram(*[(AP1, "0A1B2C%06X" % (first + c), -60, 1) for c in range(18)])


def send(ports, datagrams, source="127.0.0.1"):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind((source, 0))
        [s.sendto(d, ("127.0.0.1", port)) for d in datagrams for port in ports]


def start(*args, **kwargs):  # station-presence --listen on a free port, once it listens
    kwargs = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, "text": True, **kwargs}
    proc = subprocess.Popen([PRESENCE, "--listen", "127.0.0.1:0", *args], **kwargs)
    said = proc.stderr.readline()
    return proc, int(re.match(r"station-presence: listening on 127\.0\.0\.1:(\d+)$", said)[1])


def events(out):  # without their times, which differ by the milliseconds between receivers
    return [{k: sorted(v) if k == "dwell" else v for k, v in json.loads(l).items()
             if k not in ("time", "since", "last_seen")} for l in out.splitlines()]


class Listen(unittest.TestCase):
    def test_the_same_events_as_the_pipe_from_station_decode(self):
        decoder, piped = sandbox.start_decoder(DECODER, "127.0.0.1:0", "--heartbeats")
        through_pipe = subprocess.Popen([PRESENCE, "--interval", "1"], stdin=decoder.stdout,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        decoder.stdout.close()
        listening, port = start("--interval", "1")
        C1, C2, C3 = "0A1B2C3D4E01", "0A1B2C3D4E02", "0A1B2C3D4E03"
        rounds = [[datagram((AP1, C1, -50, 1), (AP1, C2, -70, 0)), datagram((AP2, C3, -60, 1))],
                  [datagram((AP1, C1, -70, 1), (AP1, C2, -71, 0)),
                   datagram((AP2, C1, -45, 1), (AP2, C3, -60, 1))],
                  [datagram(), datagram((AP2, C1, -46, 1))]]
        for aps in rounds:
            [send([piped, port], [d]) or time.sleep(0.02) for d in aps]
            time.sleep(1.1)
        time.sleep(5)  # the leaves and silences, four intervals later
        for proc in (decoder, listening):
            proc.send_signal(signal.SIGTERM)
        decoder.communicate(timeout=10)
        (out, err), (piped_out, piped_err) = [p.communicate(timeout=10)
                                             for p in (listening, through_pipe)]
        self.assertEqual([e["event"] for e in events(out)], "arrive arrive arrive move leave "
                         "leave ap-silent leave ap-silent".split())
        self.assertEqual(events(out), events(piped_out))
        self.assertEqual(err.splitlines()[-1], piped_err.splitlines()[-1])  # presence's summary
        self.assertEqual((RECEIVER.findall(err), listening.returncode),
                         ([("6", "8", "0", "0")], 0))

    def test_refused_senders_statistics_and_sighup(self):
        proc, port = start("--allow", "127.0.0.3", "--allow", "::1", "--buffer", "131072")
        send([port], [datagram((AP1, "0A1B2C3D4E01", -60, 1))], "127.0.0.2")
        send([port], [datagram((AP1, "0A1B2C3D4E02", -60, 1))], "127.0.0.3")
        self.assertRegex(proc.stderr.readline(), r"^station-presence: 127\.0\.0\.2:\d+: sender "
                                                 r"not allowed\n$")
        time.sleep(0.2)
        proc.send_signal(signal.SIGHUP)
        self.assertEqual(proc.stderr.readline(), "station-presence: the command line read again\n")
        proc.send_signal(signal.SIGUSR1)
        said = "".join(proc.stderr.readline() for _ in range(4))
        self.assertRegex(said, r"^station-presence: statistics after \d+\.\d s: 1 reports "
                         r"decoded, 1 records printed, 1 refused, 0 dropped, 0 not written, "
                         r"2 senders\nstation-presence: sender 127\.0\.0\.2: 0 reports, 0 "
                         r"records, 1 refused\nstation-presence: sender 127\.0\.0\.3: 1 reports, "
                         r"1 records, 0 refused\nstation-presence: statistics: 2 lines, 1 records")
        proc.send_signal(signal.SIGTERM)
        out = proc.communicate(timeout=10)[0]
        self.assertEqual(([e["client"] for e in events(out)], proc.returncode),
                         (["0A1B2C3D4E02"], 0))

    def test_stops_count_what_was_not_decoded_and_store_what_was(self):
        cases = [  # name, options, reports before, after, pause; queued, dropped, status
            ("stopped", [], 2, 4, 1.5, True, False, 0),
            ("stuck reader", [], 30, 10, 1.5, True, False, 1),  # the events fill the pipe
            ("small buffer", ["--buffer", "4096"], 0, 40, 0, True, True, 1),
        ]
        for name, args, before, after, pause, queued, dropped, status in cases:
            with self.subTest(name), tempfile.TemporaryDirectory() as folder:
                db = os.path.join(folder, "p.db")
                proc, port = start("--db", db, *args, **({} if name == "stuck reader" else
                                                          {"stdout": subprocess.DEVNULL}))
                send([port], [crowd(18 * i) for i in range(before)])
                time.sleep(pause)
                if name != "stuck reader":
                    proc.send_signal(signal.SIGSTOP)
                send([port], [crowd(18 * (before + i)) for i in range(after)])
                started = time.monotonic()
                proc.send_signal(signal.SIGTERM)
                proc.send_signal(signal.SIGCONT)
                with proc:  # standard output is never read
                    err = proc.stderr.read()
                (decoded, _, _, lost), = RECEIVER.findall(err)
                told = sum(int(n) for n in QUEUED.findall(err))
                self.assertEqual((told > 0, int(lost) > 0, proc.returncode,
                                  time.monotonic() - started < 3), (queued, dropped, status, True))
                self.assertEqual(int(decoded) + told + int(lost), before + after)
                with sqlite3.connect(db) as c:  # every client decoded has its visit
                    self.assertEqual(c.execute("SELECT COUNT(*) FROM visits").fetchone(),
                                     (18 * int(decoded),))

    def test_a_closed_standard_output_refuses_to_start(self):
        r = subprocess.run([PRESENCE, "--listen", "127.0.0.1:0"], capture_output=True, text=True,
                           preexec_fn=lambda: os.close(1), timeout=10)
        self.assertEqual((r.returncode, r.stderr),
                         (1, "station-presence: cannot write events: Bad file descriptor\n"))

    def test_a_full_disk_stops_it_with_the_reason(self):
        disk = tempfile.mkdtemp()
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=128k", "full", disk], check=True)
        try:
            proc, port = start("--db", os.path.join(disk, "p.db"), "--keep", "1",
                               stdout=subprocess.DEVNULL)
            report, deadline = crowd(0), time.monotonic() + 30  # each sighting a row
            while proc.poll() is None and time.monotonic() < deadline:
                send([port], [report]) or time.sleep(0.005)
            err = proc.communicate(timeout=10)[1]
        finally:
            subprocess.run(["umount", disk], check=True)
        self.assertIn("p.db: cannot write: database or disk is full\n", err)
        self.assertEqual(len(RECEIVER.findall(err)), 1)
        self.assertEqual(proc.returncode, 1)


if __name__ == "__main__":
    REPORTER, DECODER, PRESENCE = [os.path.abspath(p) for p in sys.argv[1:4]]
    sandbox.enter(__file__, sys.argv[1:])
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[4:])
