#!/usr/bin/env python3
"""The ucode feed on OpenWrt's own userland (tests/platform: ucode with its modules, a real
ubusd, syslogd), against look-alike hostapd objects (tests/feed/hostapd.uc) that reply and
notify in hostapd's shapes; and both feeds on the same worlds (feed_contract.py), the awk one
over a stand-in iw. The machine has no Wi-Fi, so nl80211 lists nothing and the BSS
addresses are those of stand-in interfaces (bridges). Three feeds run side by side, each reporting to its own
UDP socket: probes on with a cap of 2, pseudonyms with a cap of 1, and the default (no probes).
Each step acts, then ends the interval with SIGUSR1 and reads one report from every feed.

usage: feed_ucode.py PLATFORM_ROOT STATION_REPORTER
"""
import json, os, re, signal, socket, subprocess, sys, time, unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "platform"))
import harness
import wire
import feed_contract as contract

FEED = os.path.join(HERE, "..", "src", "feed")
KEY = b"not a secret either\n"
AP0, AP1 = "02AA00000001", "02AA00000002"


def pseudonym(mac):
    return contract.pseudonym(KEY, mac)


def records(datagram):
    """(apmac, mumac, rssi, channel, assoc) of each record, sorted."""
    found = []
    for i in range(1, wire.count_of(datagram) + 1):
        r = datagram[wire.record_at(i):wire.record_at(i) + wire.RECORD_SIZE]
        found.append((r[wire.AP_MAC:wire.AP_MAC + 6].hex().upper(),
                      r[wire.MU_MAC:wire.MU_MAC + 6].hex().upper(),
                      int.from_bytes(r[wire.RSSI:wire.RSSI + 1], "big", signed=True),
                      r[wire.CHANNEL], r[wire.ASSOC]))
    return sorted(found)


def mac(text):
    return ":".join(text[i:i + 2] for i in range(0, 12, 2)).lower()


def messages(lines):
    """The messages of the feeds' own logs, without syslog's fields or station-feed's prefix."""
    return [l.split("station-reporter: ", 1)[-1].split("station-feed: ", 1)[-1] for l in lines]


class FeedContract(unittest.TestCase):
    """Each scenario of feed_contract.py through both feeds on one device: the awk feed over
    the stand-in iw, the ucode feed over look-alike hostapd objects on stand-in interfaces
    (bridges) with the scenario's addresses. The ucode feed hands its lines to a station-send
    that keeps them."""

    @classmethod
    def setUpClass(cls):
        cls.dev = dev = harness.Device(PLATFORM).__enter__()
        os.makedirs(dev.path("/sys"), exist_ok=True)
        subprocess.run(["mount", "-t", "sysfs", "sysfs", dev.path("/sys")], check=True)
        for name in ("station-feed", "station-feed.uc"):
            dev.install(os.path.join(FEED, name), "/usr/bin/" + name)
        dev.install(os.path.join(HERE, "feed", "iw"), "/usr/sbin/iw")
        dev.install(os.path.join(HERE, "feed", "hostapd.uc"), "/usr/share/hostapd.uc", 0o644)
        dev.write("/usr/bin/station-send", "#!/bin/sh\ncat >/tmp/lines.part && "
                  "mv /tmp/lines.part /tmp/lines\n", mode=0o755)

    @classmethod
    def tearDownClass(cls):
        cls.dev.__exit__(None, None, None)

    def awk_feed(self, files, named, key):
        folder = "/var/iw/%d" % self.runs
        for name, text in files.items():
            self.dev.write(folder + "/" + name, text)
        r = self.dev.run(["station-feed", *(["-k", "/etc/key"] if key is not None else []),
                          *named], env={"IW_RECORDED": folder})
        return r.stdout.splitlines(), messages(r.stderr.splitlines())

    def ucode_feed(self, world, named, key, rounds=2):
        """Lines of the first round and what the feed logged in all of them."""
        dev = self.dev
        for b in world:
            subprocess.run(["ip", "link", "add", b["ifname"], "address", b["addr"], "type",
                            "bridge"], check=True)
        hostapd = dev.popen(["ucode", "/usr/share/hostapd.uc",
                             *("%s:%d" % (b["ifname"], b["freq"]) for b in world)])
        try:
            dev._wait(lambda: "test.hostapd" in dev.run(["ubus", "list"]).stdout, "hostapd")
            for b in world:
                dev.ubus("call", "test.hostapd", "clients", json.dumps(
                    {"ifname": b["ifname"], "clients": contract.hostapd_clients(b)}))
            start = len(dev.log())
            feed = dev.popen(["station-feed.uc", "-i", "3600",
                              *(["-k", "/etc/key"] if key is not None else []), "127.0.0.1",
                              "9", *named])
            try:
                dev._wait(lambda: sum("following hostapd." in l for l in dev.log()[start:]) ==
                          len(world), "the feed following every BSS")
                rounds_lines = []
                for _ in range(rounds):
                    feed.send_signal(signal.SIGUSR1)
                    dev._wait(lambda: os.path.exists(dev.path("/tmp/lines")), "a round")
                    os.rename(dev.path("/tmp/lines"), dev.path("/tmp/lines.old"))
                    with open(dev.path("/tmp/lines.old")) as f:
                        rounds_lines.append(f.read().splitlines())
            finally:
                feed.terminate()
                feed.wait(10)
            return rounds_lines, messages(dev.log()[start:])
        finally:
            hostapd.terminate()
            hostapd.wait(10)
            for b in world:
                subprocess.run(["ip", "link", "del", b["ifname"]], check=True)

    def both(self, files, world, named=(), key=None):
        """(awk lines, awk messages, ucode rounds' lines, ucode messages), timestamps as TS."""
        type(self).runs = getattr(type(self), "runs", 0) + 1
        if key is not None:
            with open(self.dev.path("/etc/key"), "wb") as f:
                f.write(key)
        ts = lambda lines: sorted(re.sub(r"^([^,]*,[^,]*),\d+,", r"\1,TS,", l) for l in lines)
        awk_lines, awk_said = self.awk_feed(files, named, key)
        rounds, uc_said = self.ucode_feed(world, named, key)
        return ts(awk_lines), awk_said, [ts(r) for r in rounds], uc_said

    def test_scenarios_on_both_feeds(self):
        # What the feeds say besides: how the ucode feed follows hostapd and nl80211.
        ours = re.compile(r"skipped$|not reported$")
        for name, dataset, world, named, lines, said in contract.SCENARIOS:
            with self.subTest(scenario=name):
                files = contract.recorded(dataset) if dataset else contract.iw_outputs(world)
                awk_lines, awk_said, rounds, uc_said = self.both(files, world, named)
                self.assertEqual(awk_lines, sorted(lines))
                self.assertEqual(rounds, [sorted(lines)] * 2)
                self.assertEqual(sorted(awk_said), sorted(said))
                # A station's fault is said each round, an interface's once.
                per_round = [m for m in said if ": station " in m]
                self.assertEqual(sorted(m for m in uc_said if ours.search(m)),
                                 sorted(said + per_round))

    def test_the_same_pseudonyms(self):
        for key, mac, alias in contract.PSEUDONYMS:
            with self.subTest(key=key, mac=mac):
                self.assertEqual(contract.pseudonym(key, mac), alias)
                world = [contract.bss("wlan0", "02:0a:00:00:00:01", 2412, contract.station(
                    ":".join(mac[i:i + 2] for i in range(0, 12, 2)).lower(), -50, 6))]
                awk_lines, _, rounds, _ = self.both(contract.iw_outputs(world), world, key=key)
                self.assertEqual(awk_lines, [contract.line("020A00000001", alias, -50, 1, 6)])
                self.assertEqual(rounds[0], awk_lines)

    def test_the_docs_say_the_same(self):
        with open(os.path.join(HERE, "..", "docs", "openwrt.md")) as f:
            readme = f.read()
        rows = ["| `%s` | %s | %s |" % (key.hex() or "(empty)", mac, alias)
                for key, mac, alias in contract.PSEUDONYMS]
        rows += ["| %s | %s |" % difference for difference in contract.DIFFERENCES]
        self.assertEqual([row for row in rows if row not in readme], [])


class UcodeFeed(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dev = harness.Device(PLATFORM).__enter__()
        dev = cls.dev
        for name, address in (("wlan0", AP0), ("wlan1", AP1)):
            # No dummy driver everywhere: a bridge is a netdev with an address of its own too.
            subprocess.run(["ip", "link", "add", name, "address", mac(address), "type", "bridge"],
                           check=True)
        os.makedirs(dev.path("/sys"), exist_ok=True)
        subprocess.run(["mount", "-t", "sysfs", "sysfs", dev.path("/sys")], check=True)
        for name in ("station-feed.uc", "station-send", "station-loop"):
            dev.install(os.path.join(FEED, name), "/usr/bin/" + name)
        dev.install(REPORTER, "/usr/bin/station-reporter")
        dev.install(os.path.join(HERE, "feed", "hostapd.uc"), "/usr/share/hostapd.uc", 0o644)
        with open(dev.path("/etc/station.key"), "wb") as f:
            f.write(KEY)
        cls.hostapd = cls.start_hostapd()
        cls.feeds = []
        for n, args in enumerate((["-p", "2"], ["-k", "/etc/station.key", "-p", "1"], [])):
            udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            udp.bind(("127.0.0.1", 0))
            udp.settimeout(20)
            proc = dev.popen(["/usr/bin/station-feed.uc", "-i", "3600", *args, "127.0.0.1",
                              str(udp.getsockname()[1])],
                              stderr=open(dev.path("/tmp/feed%d.err" % n), "w"))
            cls.feeds.append((proc, udp))
        cls.wait_count("following hostapd.wlan0", 3)

    @classmethod
    def tearDownClass(cls):
        if os.environ.get("FEED_UCODE_LOG"):
            print("\n".join(cls.dev.log()), file=sys.stderr)
        for proc, udp in cls.feeds:
            proc.terminate()
            proc.wait(10)
            udp.close()
        cls.hostapd.terminate()
        cls.dev.__exit__(None, None, None)

    @classmethod
    def start_hostapd(cls):
        proc = cls.dev.popen(["ucode", "/usr/share/hostapd.uc", "wlan0:2412"])
        deadline = time.monotonic() + 10
        while "hostapd.wlan0" not in cls.dev.run(["ubus", "list"]).stdout:
            assert time.monotonic() < deadline, "the look-alike hostapd did not start"
            time.sleep(0.05)
        return proc

    @classmethod
    def wait_count(cls, text, count, timeout=15):
        """Waits until text ends count more lines of the system log than it did at the start
        of the step."""
        deadline = time.monotonic() + timeout
        while sum(line.endswith(text) for line in cls.dev.log()[cls.mark:]) < count:
            if time.monotonic() > deadline:
                errors = []
                for n in range(3):
                    with open(cls.dev.path("/tmp/feed%d.err" % n)) as f:
                        errors.append(f.read())
                raise AssertionError("not %d lines ending %r:\n%s\nfeeds said: %s" % (
                    count, text, "\n".join(cls.dev.log()[cls.mark:]), errors))
            time.sleep(0.05)

    def call(self, method, **args):
        import json
        self.dev.ubus("call", "test.hostapd", method, json.dumps(args))

    def event(self, kind, address, ifname="wlan0", signal=0):
        self.call("event", ifname=ifname, type=kind, address=mac(address), signal=signal)

    def reports(self):
        """Ends every feed's interval and returns what each reported."""
        for proc, _ in self.feeds:
            proc.send_signal(signal.SIGUSR1)
        return [records(udp.recv(2048)) for _, udp in self.feeds]

    # ---- the steps, in order: each leaves the bus as the next expects it ----

    def restart_hostapd(self):
        type(self).hostapd.terminate()
        type(self).hostapd.wait(5)
        self.wait_count("hostapd.wlan0 went away", 3)
        type(self).hostapd = self.start_hostapd()
        self.wait_count("following hostapd.wlan0", 3)
        self.call("clients", ifname="wlan0", clients={mac("C10000000001"): {"signal": -48,
                                                                             "rate": 65}})

    def add_bss(self):
        self.call("add", ifname="wlan1", freq=5180)
        self.wait_count("following hostapd.wlan1", 3)
        self.call("clients", ifname="wlan1", clients={mac("C20000000002"): {"signal": -58,
                                                                             "rate": 300}})
        self.event("probe", "A20000000002", "wlan1", -66)

    def remove_bss(self):
        self.call("remove", ifname="wlan1")
        self.wait_count("hostapd.wlan1 went away", 3)

    def restart_ubus(self):
        ubusd = next(d for d in self.dev.daemons if d.args == ["ubusd"])
        ubusd.terminate()
        ubusd.wait(5)
        self.dev.daemons.remove(ubusd)
        self.wait_count("ubus went away: stations come from nl80211 alone until it is back", 3)
        self.dev.daemons.append(self.dev.popen(["ubusd"]))
        self.wait_count("ubus is back", 3)
        self.wait_count("following hostapd.wlan0", 3)

    def test_rounds(self):
        c1 = (AP0, "C10000000001", -48, 1, 1)
        steps = [  # name, action, what the feed with probes (cap 2) reports, log line expected
            ("associated, from get_clients", lambda: self.call(
                "clients", ifname="wlan0", clients={mac("C10000000001"): {"signal": -48,
                                                                          "rate": 65}}),
             [c1], None),
            ("probe of an unknown client, strongest of the interval", lambda: [
                self.event("probe", "A10000000001", signal=s) for s in (-71, -64, -80)],
             [c1, (AP0, "A10000000001", -64, 1, 0)], None),
            ("assoc and disassoc within an interval", lambda: [
                self.event("assoc", "B10000000001", signal=-55),
                self.event("disassoc", "B10000000001")],
             [c1, (AP0, "B10000000001", -55, 1, 1)], None),
            ("cap reached: the strongest two", lambda: [
                self.event("probe", "A1000000000%d" % i, signal=s)
                for i, s in ((2, -80), (3, -60), (4, -70), (5, -90))],
             [c1, (AP0, "A10000000003", -60, 1, 0), (AP0, "A10000000004", -70, 1, 0)],
             "4 probing clients, 2 reported (cap 2)"),
            ("hostapd restart", self.restart_hostapd, [c1], None),
            ("object added", self.add_bss,
             [c1, (AP1, "C20000000002", -58, 36, 1), (AP1, "A20000000002", -66, 36, 0)], None),
            ("object removed", self.remove_bss, [c1], None),
            ("ubus restart", self.restart_ubus, [c1], None),
            ("probe after the restarts", lambda: self.event("probe", "A10000000009", signal=-61),
             [c1, (AP0, "A10000000009", -61, 1, 0)], None),
            ("an associated client's own probes", lambda: self.event(
                "probe", "C10000000001", signal=-30), [c1], None),
            ("leaves between two polls: its last values", lambda: [
                self.call("clients", ifname="wlan0", clients={}),
                self.event("disassoc", "C10000000001")], [c1], None),
            ("gone", lambda: None, [], None),
        ]
        for name, action, want, logged in steps:
            with self.subTest(step=name):
                type(self).mark = len(self.dev.log())
                action()
                time.sleep(0.2)  # notifications travel through ubusd
                probes, keyed, plain = self.reports()
                self.assertEqual(probes, sorted(want))
                strongest = sorted((w for w in want if not w[4]), key=lambda w: -w[2])[:1]
                self.assertEqual(keyed, sorted((a, pseudonym(m), r, c, s) for a, m, r, c, s in
                                               [w for w in want if w[4]] + strongest))
                self.assertEqual(plain, sorted(w for w in want if w[4]))
                if logged:
                    self.wait_count(logged, 1)
        self.assertEqual(self.dev.ubus("call", "test.hostapd", "status"), {"notify_response": 0})

    def test_the_service_loop_picks_the_ucode_feed(self):
        # No client is associated before test_rounds or after it.
        dev = self.dev
        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        udp.bind(("127.0.0.1", 0))
        udp.settimeout(20)
        r = dev.run(["station-loop", "-n", "1", "-i", "1", "-p", "3", "127.0.0.1",
                     str(udp.getsockname()[1])])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(records(udp.recv(2048)), [])
        udp.close()
        self.assertTrue(any(line.endswith("every 1s from nl80211 and hostapd, up to 3 probing "
                                          "clients a round") for line in dev.log()))


if __name__ == "__main__":
    harness.enter(__file__, sys.argv[1:])
    PLATFORM, REPORTER = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    UcodeFeed.mark = 0
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[3:])
