#!/usr/bin/env python3
"""The device scripts under BusyBox (its ash and applets alone on PATH, as on OpenWrt), with a
stand-in iw that prints recorded outputs: station-feed, station-send, station-loop, and the
whole road from iw to station-decode on loopback, in a private /dev like the reporter's suite.

usage: feed_e2e.py STATION_REPORTER STATION_DECODE [--emulator "qemu-mipsel-static"]
"""
import json, os, pathlib, re, resource, shlex, shutil, signal, socket, subprocess, sys
import tempfile, time, unittest

import feed_contract
import sandbox
import wire

HERE = os.path.dirname(os.path.abspath(__file__))
FEED = os.path.join(HERE, "..", "src", "feed")
RECORDED = os.path.join(HERE, "feed", "recorded")
PROGRAM = REPORTER = DECODER = SYSLOG = None  # REPORTER runs PROGRAM, under an emulator if any
KEY = b"not a secret\n"


def busybox_path():
    """A folder of BusyBox applets but timeout (not on every image) behind the stand-in iw."""
    folder = tempfile.mkdtemp()
    busybox = shutil.which("busybox")
    for applet in subprocess.run([busybox, "--list"], capture_output=True, text=True,
                                 check=True).stdout.split():
        if applet != "timeout":
            os.symlink(busybox, os.path.join(folder, applet))
    os.symlink(os.path.join(HERE, "feed", "iw"), os.path.join(folder, "iw"))
    return folder


def script(name, *args, dataset="three-aps", stdin=b"", offline=False, popen=False, **env):
    """Runs (popen: starts) a device script; offline, in a network namespace, loopback down."""
    command = (["unshare", "--net"] if offline else []) + [os.path.join(PATH, "ash"),
                                                           os.path.join(FEED, name), *args]
    environ = {"PATH": PATH, "IW_RECORDED": os.path.join(RECORDED, dataset),
               "STATION_REPORTER": REPORTER, "TMPDIR": tempfile.gettempdir(), **env}
    if popen:
        return subprocess.Popen(command, env=environ)
    return subprocess.run(command, input=stdin, capture_output=True, env=environ, timeout=120)


def stand_ins(**scripts):
    """A PATH with these stand-in commands (name: sh body) before the BusyBox applets."""
    folder = tempfile.mkdtemp()
    for name, body in scripts.items():
        with open(os.path.join(folder, name), "w") as f:
            f.write("#!/bin/sh\n" + body + "\n")
        os.chmod(os.path.join(folder, name), 0o755)
    return folder + ":" + PATH


def many_clients(n):
    """iw 5.19's recorded set, with n stations on wlan1."""
    folder = shutil.copytree(os.path.join(RECORDED, "iw-5.19"), tempfile.mkdtemp() + "/n")
    dump = pathlib.Path(folder, "wlan1.stations")
    block = dump.read_text()
    dump.write_text("".join(re.sub(r"^Station \S+", "Station 02:00:00:00:%02x:%02x" % divmod(
        i, 256), block) for i in range(n)))
    return folder


def running(tmp):
    """The names of the living processes whose TMPDIR is tmp or in it."""
    names = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/environ" % pid, "rb") as f, open("/proc/%s/comm" % pid) as c:
                if re.search(b"(^|\0)TMPDIR=" + re.escape(tmp.encode()) + b"[/\0]", f.read()):
                    names.append(c.read().strip())
        except OSError:
            pass
    return names


def full_folder():
    folder = tempfile.mkdtemp()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16k", "full", folder], check=True)
    subprocess.run(["sh", "-c", "head -c 65536 /dev/zero >%s/fill 2>&-" % folder])
    return folder


def pseudonym(mac):
    return feed_contract.pseudonym(KEY, mac)


def receiver():
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind(("127.0.0.1", 0))
    return udp, str(udp.getsockname()[1])


def counts_and_timestamps(udp, close=True):
    """Each report's record count and all timestamps, in the order they arrived on udp."""
    datagrams = sandbox.drain(udp)
    if close:
        udp.close()
    return ([wire.count_of(d) for d in datagrams],
            [ts for d in datagrams for ts in wire.timestamps_of(d)])


def recorded_stations(dataset):
    """(apmac, mumac, rssi, channel, assoc) of every station of a recorded iw 5.4-6.9 set."""
    stations = []
    folder = os.path.join(RECORDED, dataset)
    for info in sorted(f for f in os.listdir(folder) if f.endswith(".info")):
        text = open(os.path.join(folder, info)).read()
        ap = re.search(r"addr (\S+)", text).group(1).replace(":", "").upper()
        channel = int(re.search(r"channel (\d+)", text).group(1))
        dump = open(os.path.join(folder, info[:-5] + ".stations")).read()
        for block in dump.split("Station ")[1:]:
            stations.append((ap, block.split()[0].replace(":", "").upper(),
                             int(re.search(r"\tsignal:\s+(-?\d+)", block).group(1)), channel,
                             0 if "\tassociated:\tno" in block else 1))
    return sorted(stations)


class Feed(unittest.TestCase):
    def test_recorded_formats_and_faults(self):
        no_signal = "station-feed: wlan0: station 00:1e:58:ac:01:f2: no signal, skipped"
        cases = [  # dataset, arguments, lines, messages, status
            ("iw-5.4", [], ["A0B1C2D3E4F5,3C22FBA1B2C3,TS,-52,36,866,1",
                            "A0B1C2D3E4F5,F0D5BF12A4C7,TS,-83,36,6,0"], [no_signal], 0),
            ("iw-6.9", [], ["001122334455,8C8590AA0B5E,TS,-47,149,1201,1",
                            "001122334455,5C260A1E9B33,TS,-70,149,0,1",
                            "001122334455,DEADBEEF0001,TS,-61,149,0,1"], [], 0),
            ("iw-6.17", [], ["020000001001,AABBCC000001,TS,-40,37,2882,1",
                             "020000001001,AABBCC000002,TS,-58,37,573,1",
                             "020000001001,AABBCC000003,TS,-66,37,144,0"], [], 0),
            ("faults", [], ["A0B1C2D3E4F5,3C22FBA1B2C3,TS,-52,6,65,1"],
             ["station-feed: wlan1: no address or channel"], 1),
            ("iw-5.4", ["wlan9", "wlan0"], ["A0B1C2D3E4F5,3C22FBA1B2C3,TS,-52,36,866,1",
                                            "A0B1C2D3E4F5,F0D5BF12A4C7,TS,-83,36,6,0"],
             ["station-feed: wlan9: no such interface", no_signal], 1),
            ("no-iw", [], [], ["station-feed: iw dev failed"], 1),
            # Clients of per-client and WDS interfaces under their BSS; a bad interface address.
            ("ap-vlan", [], ["020C43762001,061B2C3D4E5F,TS,-78,11,1,1",
                             "020C43762001,58EF683A910C,TS,-57,11,72,1"],
             ["station-feed: phy1-ap0: address xx:xx:xx:xx:xx:xx: not a MAC address",
              "station-feed: phy0-vlan9: no address or channel"], 1),
            # Real iw 5.19 on Debian's kernel with hostapd's per-client AP/VLAN interfaces.
            ("iw-5.19", [], ["020000000100,020000000400,TS,-35,36,6,1",
                             "020000000000,020000000300,TS,-45,1,1,1",
                             "020000000000,020000000200,TS,-40,1,1,1"], [], 0),
            # Copied or replayed: spaces for tabs, trailing blanks, CRLF line ends.
            ("replayed", [], ["020000001001,AABBCC000001,TS,-40,37,2882,1",
                              "020000001001,AABBCC000002,TS,-58,37,573,1",
                              "020000001001,AABBCC000003,TS,-66,37,144,0"], [], 0),
            # A named AP/VLAN interface takes its AP's channel.
            ("ap-vlan", ["phy0-ap0.sta1"], ["020C43762001,58EF683A910C,TS,-57,11,72,1"], [], 0),
            # Outputs of iw cut off without their last newline: the station cut, or the
            # interface whose info was cut, is left out.
            ("cut-off", [], ["020D00000001,020E00000001,TS,-51,1,65,1"],
             ["station-feed: wlan0: station 02:0e:00:00:00:02: cut off, skipped",
              "station-feed: wlan0: iw output cut off", "station-feed: wlan1: iw output cut off"],
             1),
            ("iw-5.4", ["-k", "KEY"],
             ["A0B1C2D3E4F5,%s,TS,-52,36,866,1" % pseudonym("3C22FBA1B2C3"),
              "A0B1C2D3E4F5,%s,TS,-83,36,6,0" % pseudonym("F0D5BF12A4C7")], [no_signal], 0),
        ]
        for dataset, args, lines, messages, status in cases:
            with self.subTest(dataset=dataset, args=args):
                before = int(time.time())
                r = script("station-feed", *[KEYFILE if a == "KEY" else a for a in args],
                           dataset=dataset)
                after = int(time.time())
                out = r.stdout.decode().splitlines()
                stamps = {int(line.split(",")[2]) for line in out} or {before}
                self.assertTrue(len(stamps) == 1 and before <= min(stamps) <= after, stamps)
                self.assertEqual([re.sub(r"^([^,]*,[^,]*),\d+,", r"\1,TS,", line) for line in out],
                                 lines)
                self.assertEqual(r.stderr.decode().splitlines(), messages)
                self.assertEqual(r.returncode, status)

    def test_no_line_lost_in_silence(self):
        cases = [  # arguments, script options, mumacs, the last message's start, status
            (["-k", KEYFILE, "wlan1"], {"dataset": many_clients(1100)},
             sorted(pseudonym("02000000%04X" % i) for i in range(1100)), None, 0),
            (["-k", KEYFILE], {"TMPDIR": full_folder()}, [],
             "station-feed: no pseudonyms: their files in ", 1),
            ([], {"PATH": stand_ins(date="echo 2147483648")}, [],
             "station-feed: the clock reads 2147483648, past 2147483647 (2038-01-19 03:14:07", 1),
        ]
        for args, options, mumacs, message, status in cases:
            with self.subTest(args=args, options=list(options)):
                r = script("station-feed", *args, **options)
                out = r.stdout.decode().splitlines()
                self.assertEqual(sorted(line.split(",")[1] for line in out), mumacs)
                said = r.stderr.decode().splitlines()
                self.assertTrue(said[-1].startswith(message) if message else said == [], said)
                self.assertEqual(r.returncode, status)


def observations(first, last):
    return b"".join(b"A0B1C2D3E4F5,0a1b2c3d4e5f,%d,-60,6,54,1\n" % t
                    for t in range(first, last + 1))


class Send(unittest.TestCase):
    def test_everything_sent_once_in_order(self):
        # A line the reporter skips is a line lost: it is said, and the status is 1.
        skipped = "station-send: %s skipped as malformed\n"
        cases = [(observations(1, 40) + b"\nbad\n", [18, 18, 4], list(range(1, 41)),
                  skipped % "1 line"),
                 (observations(1, 18) + b"bad\n", [18, 0], list(range(1, 19)), skipped % "1 line"),
                 (observations(1, 36), [18, 18], list(range(1, 37)), ""),
                 (b"", [0], [], ""), (b"x\n\n", [0], [], skipped % "1 line")]
        for stdin, counts, stamps, stderr in cases:
            with self.subTest(lines=stdin.count(b"\n"), stderr=stderr):
                udp, port = receiver()
                r = script("station-send", "127.0.0.1", port, stdin=stdin)
                self.assertEqual((r.returncode, r.stderr.decode()), (1 if stderr else 0, stderr))
                self.assertEqual(r.stdout.count(b"---\n"), len(counts))
                self.assertEqual(counts_and_timestamps(udp), (counts, stamps))

    def test_failures_end_it_at_once(self):
        # Each run would print its usage line or the shell its complaint: one of either
        # means one run. The reporter's own reason is passed on to standard error, for the log.
        usage = "Usage: %s host port [level [stdout]]\n" % PROGRAM
        cases = [(["127.0.0.1", "0"], {},
                  r"^%sstation-send: %s failed\n$" % (re.escape(usage), re.escape(REPORTER))),
                 (["127.0.0.1", "9"], {"STATION_REPORTER": "/nonexistent"},
                  r"^\S+/station-send: line \d+: /nonexistent: not found\n"
                  r"station-send: /nonexistent failed\n$")]
        for args, env, stderr in cases:
            with self.subTest(args=args, env=env):
                r = script("station-send", *args, stdin=observations(1, 40), **env)
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stdout.decode(), "")
                self.assertRegex(r.stderr.decode(), stderr)

    def test_unsent_reports_fail_but_the_rest_is_tried(self):
        for level, extra in (("0", []), ("3", ["stdout"])):
            with self.subTest(level=level, extra=extra):
                r = script("station-send", "127.0.0.1", "9", level, *extra,
                           stdin=observations(1, 40), offline=True)
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stdout.count(b"---\n"), 3)
                self.assertEqual(r.stdout.count(b"Can not sendto server"), 3 if extra else 0)
                self.assertEqual(r.stderr.decode(), "station-send: 3 of 3 reports could not be "
                                 "sent to 127.0.0.1 port 9: Can not sendto server (Network is "
                                 "unreachable)\n")


class Loop(unittest.TestCase):
    def test_bounded_rounds_and_their_messages(self):
        sandbox.drain(SYSLOG)
        udp, port = receiver()
        r = script("station-loop", "-n", "2", "-i", "0", "127.0.0.1", port)
        self.assertEqual(r.returncode, 0, r.stderr)
        counts, _ = counts_and_timestamps(udp, close=False)
        self.assertEqual(counts, [18, 18, 4] * 2)
        r = script("station-loop", "-n", "1", "-i", "0", "127.0.0.1", port, dataset="faults")
        # A feed that reports a fault still sends what it read, but the round failed.
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertEqual(counts_and_timestamps(udp)[0], [1])
        self.assertEqual([sandbox.parse_syslog(m)[1] for m in sandbox.drain(SYSLOG)], [
            "reporting to 127.0.0.1 port %s every 0s" % port] * 2 + [
            "round 1 failed: station-feed: wlan1: no address or channel"])
        for port, offline, dataset, reason in (
                ("0", False, "three-aps", "round 1 failed: station-send: %s failed" % REPORTER),
                ("9", True, "three-aps", "round 1 failed: station-send: 3 of 3 reports could not "
                 "be sent to 127.0.0.1 port 9: Can not sendto server (Network is unreachable)"),
                # Nothing read: no heartbeat claims that the access point has no client.
                ("9", False, "no-iw", "round 1 failed: station-feed: iw dev failed")):
            udp, _ = receiver()
            r = script("station-loop", "-n", "1", "-i", "0", "127.0.0.1", port, offline=offline,
                       dataset=dataset)
            self.assertEqual(r.returncode, 1)
            logged = [sandbox.parse_syslog(m)[1] for m in sandbox.drain(SYSLOG)]
            self.assertEqual(logged[-1], reason)
            self.assertEqual(counts_and_timestamps(udp)[0], [])

    def until(self, check, deadline):
        while not check():
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)

    def test_a_hung_iw_is_stopped(self):
        """The watchdog ends a round whose iw hangs; SIGTERM ends the loop within a second; a
        second after SIGKILL nothing of the round runs or is on disk."""
        hung = stand_ins(iw='[ "$*" = dev ] && exec cat "$IW_RECORDED/dev"; sleep 600')
        for stop, limit, status in ((None, "2", 1), (signal.SIGTERM, "60", 0),
                                    (signal.SIGKILL, "60", -9)):
            with self.subTest(stop=stop):
                sandbox.drain(SYSLOG)
                tmp = tempfile.mkdtemp()
                loop = script("station-loop", "-n", "1", "-t", limit, "127.0.0.1", "9", PATH=hung,
                              TMPDIR=tmp, popen=True)
                self.until(lambda: "sleep" in running(tmp), time.monotonic() + 30)
                started = time.monotonic()
                if stop:
                    loop.send_signal(stop)
                self.assertEqual(loop.wait(10), status)
                self.until(lambda: not running(tmp) and not os.listdir(tmp),
                           started + (1 if stop else 4))
                if not stop:
                    self.assertEqual(sandbox.parse_syslog(sandbox.drain(SYSLOG)[-1])[1],
                                     "round 1 failed: station-feed did not finish within 2s (iw "
                                     "still running) and was stopped")

    def test_a_killed_loop_leaves_nothing_behind(self):
        for signal_name in ("TERM", "KILL"):
            with self.subTest(signal=signal_name):
                tmp = tempfile.mkdtemp()
                udp, port = receiver()
                loop = subprocess.Popen([os.path.join(PATH, "ash"),
                                         os.path.join(FEED, "station-loop"), "-i", "30",
                                         "127.0.0.1", port], env={"PATH": PATH, "TMPDIR": tmp,
                                         "IW_RECORDED": os.path.join(RECORDED, "three-aps"),
                                         "STATION_REPORTER": REPORTER}, start_new_session=True)
                group = lambda: subprocess.run(["ps", "-o", "pid=", "-g", str(loop.pid)],
                                               capture_output=True, text=True).stdout.split()
                # Killed while it pauses: its first round's three reports are in, and the loop
                # is alone in its group.
                udp.settimeout(30)
                for _ in range(3):
                    udp.recv(65536)
                udp.close()
                deadline = time.monotonic() + 30
                while group() != [str(loop.pid)] and time.monotonic() < deadline:
                    time.sleep(0.1)
                loop.send_signal(getattr(signal, "SIG" + signal_name))
                loop.wait(10)
                # A child started as the signal came sees its parent gone and ends too. The
                # watchdog acts on the pipe's end at once; a loaded machine may take a moment
                # to run it.
                killed = time.monotonic()
                self.until(lambda: (group(), os.listdir(tmp)) == ([], []), killed + 5)


class EndToEnd(unittest.TestCase):
    def test_every_station_arrives_once(self):
        expected = recorded_stations("three-aps")
        self.assertEqual(len(expected), 40)
        for keyed in (False, True):
            with self.subTest(pseudonyms=keyed):
                decoder, port = sandbox.start_decoder(DECODER, "127.0.0.1:0", "--json", "--count",
                                                      "3")
                feed = script("station-feed", *(["-k", KEYFILE] if keyed else []))
                sent = script("station-send", "127.0.0.1", str(port), stdin=feed.stdout)
                out, _ = decoder.communicate(timeout=60)
                decoder.stderr.close()
                self.assertEqual((feed.returncode, sent.returncode), (0, 0))
                got = [json.loads(line) for line in out.splitlines()]
                self.assertEqual(max(g["record"] for g in got), 18)
                want = [(ap, pseudonym(mu) if keyed else mu, rssi, channel, assoc)
                        for ap, mu, rssi, channel, assoc in expected]
                self.assertEqual(sorted((g["apmac"], g["mumac"], g["rssi"], g["channel"],
                                         g["assoc"]) for g in got), sorted(want))
                if keyed:
                    self.assertFalse({g["mumac"] for g in got} & {e[1] for e in expected})


if __name__ == "__main__":
    args = sys.argv[1:]
    SYSLOG = sandbox.enter(__file__, args)
    emulator = sandbox.take_option(args, "--emulator") or ""
    PROGRAM, DECODER = os.path.abspath(args[0]), os.path.abspath(args[1])
    REPORTER = PROGRAM
    PATH = busybox_path()
    # As on OpenWrt: a tee of every client at once would fail past 1,020 of them.
    resource.setrlimit(resource.RLIMIT_NOFILE,
                       (1024, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
    KEYFILE = os.path.join(tempfile.mkdtemp(), "key")
    with open(KEYFILE, "wb") as f:
        f.write(KEY)
    if emulator:
        # station-send runs whatever STATION_REPORTER names: a wrapper runs it under qemu.
        wrapper = os.path.join(tempfile.mkdtemp(), "station-reporter")
        with open(wrapper, "w") as f:
            words = shlex.split(emulator)
            f.write('#!/bin/sh\nexec %s %s "$@"\n' % (
                shlex.join([shutil.which(words[0])] + words[1:]), shlex.quote(REPORTER)))
        os.chmod(wrapper, 0o755)
        REPORTER = wrapper
    print("reporter:", REPORTER, file=sys.stderr)
    unittest.main(argv=[sys.argv[0], "-v"] + args[2:])
