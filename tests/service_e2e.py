#!/usr/bin/env python3
"""The OpenWrt service on OpenWrt's own code: the package's files installed in a device made of
the platform (rc.common, procd.sh, jshn, uci, ubusd, procd, syslogd), a stand-in iw that prints
recorded outputs, and station-decode on the namespace's loopback. For each configuration the
instance procd receives is asserted, and what reaches the system log.

usage: service_e2e.py PLATFORM_ROOT BUILD_DIR STATION_DECODE
"""
import os, re, shutil, subprocess, sys, tempfile, time, unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "platform"))
import harness
import sandbox

FILES = os.path.join(HERE, "..", "openwrt", "station-reporter", "files")
PLATFORM = BUILD = DECODER = None
OFFLINE = False
INIT = "/etc/init.d/station-reporter"
LOOP = "/usr/bin/station-loop"


def config(**options):
    """The UCI file with these options of section main; a list value gives list lines."""
    lines = ["config station-reporter 'main'"]
    for name, value in options.items():
        for item in value if isinstance(value, list) else [value]:
            kind = "list" if isinstance(value, list) else "option"
            lines.append("\t%s %s '%s'" % (kind, name, item))
    return "\n".join(lines) + "\n"


def valid(**options):
    return config(**{"enabled": "1", "server": "127.0.0.1", "port": "9999", **options})


class Service(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dev = harness.Device(PLATFORM).__enter__()
        dev = cls.dev
        staged = subprocess.run(["cmake", "--install", BUILD, "--prefix", "/usr"],
                                env={**os.environ, "DESTDIR": dev.root}, capture_output=True)
        assert staged.returncode == 0, staged.stderr
        dev.install(os.path.join(FILES, "station-reporter.init"), INIT)
        dev.install(os.path.join(HERE, "feed", "iw"), "/usr/libexec/iw-recorded")
        dev.write("/usr/bin/iw", "#!/bin/sh\nIW_RECORDED=/usr/share/iw-recorded "
                  "exec /usr/libexec/iw-recorded \"$@\"\n", mode=0o755)
        shutil.copytree(os.path.join(HERE, "feed", "recorded", "three-aps"),
                        dev.path("/usr/share/iw-recorded"))
        dev.write("/etc/station.key", "not a secret\n", mode=0o600)
        # A device without ucode's nl80211 module: the loop takes the sh/awk feed, which reads
        # the recorded stations through the stand-in iw (the ucode feed has its own suites).
        os.remove(dev.path("/usr/lib/ucode/nl80211.so"))

    @classmethod
    def tearDownClass(cls):
        cls.dev.__exit__(None, None, None)

    def start(self, text):
        """Starts the service on this configuration: (the instances procd has, new log)."""
        dev = self.dev
        dev.write("/etc/config/station-reporter", text)
        before = len(dev.log())
        done = dev.run([INIT, "start"])
        self.addCleanup(dev.run, [INIT, "stop"])
        reply = dev.ubus("call", "service", "list", '{"name": "station-reporter"}')
        service = (reply or {}).get("station-reporter", {})
        time.sleep(0.3)
        return service.get("instances", {}), dev.log()[before:], done

    def test_shipped_and_full_configurations(self):
        with open(os.path.join(FILES, "station-reporter.config")) as f:
            shipped = f.read()
        instances, log, _ = self.start(shipped)
        self.assertEqual((instances, [l for l in log if "station-reporter" in l]), ({}, []))

        decoder, port = sandbox.start_decoder(DECODER, "127.0.0.1:0", "--count", "3")
        port = str(port)
        instances, _, done = self.start(valid(
            port=port, interval="5", level="7", keyfile="/etc/station.key",
            interface=["phy0-ap0", "phy1-ap0", "phy1-ap1"]))
        self.assertEqual(list(instances), ["instance1"], done.stderr)
        instance = instances["instance1"]
        self.assertEqual(instance["command"], [
            LOOP, "-i", "5", "-l", "7", "-k", "/etc/station.key", "-p", "0", "127.0.0.1", port,
            "phy0-ap0", "phy1-ap0", "phy1-ap1"])
        self.assertTrue(instance["running"])
        self.assertIn("respawn", instance)
        # 40 recorded stations, every one with a keyed pseudonym, reach the server.
        out, _ = decoder.communicate(timeout=60)
        self.assertEqual(decoder.returncode, 0)
        rows = out.decode().splitlines()[1:]
        self.assertEqual(len(rows), 40)
        self.assertFalse({r.split(",")[3] for r in rows} & {"3C22FBA1B2C3"})
        self.dev.wait_log(r"station-reporter: reporting to 127\.0\.0\.1 port %s every 5s" % port)

        self.dev.run([INIT, "stop"])
        time.sleep(0.5)
        self.assertEqual([p for p in self.dev.processes() if "station" in p[1]], [])

    def test_one_interface_as_an_option(self):
        instances, _, _ = self.start(valid().replace("'main'\n", "'main'\n\toption interface "
                                                                 "'phy0-ap0'\n"))
        self.assertEqual(instances["instance1"]["command"][-3:], ["127.0.0.1", "9999",
                                                                  "phy0-ap0"])

    def test_refused_configurations_start_nothing(self):
        cases = [  # options, the log line
            ({"server": ""}, "not started: set server and port in /etc/config/station-reporter"),
            ({"server": "example.com"}, "option server 'example.com' is not of type ip4addr"),
            ({"server": "192.0.2"}, "option server '192.0.2' is not of type ip4addr"),
            ({"port": "0"}, "option port '0' is not of type range(1,65535)"),
            ({"port": "70000"}, "option port '70000' is not of type range(1,65535)"),
            ({"interval": "0"}, "option interval '0' is not of type range(5,86400)"),
            ({"interval": "abc"}, "option interval 'abc' is not of type range(5,86400)"),
            ({"level": "abc"}, "option level 'abc' is not of type uinteger"),
            ({"keyfile": "/etc/missing.key"},
             "option keyfile '/etc/missing.key' is not of type file"),
            ({"interface": ["*"]}, "interface '*' is not one interface name"),
            ({"interface": ["phy0-ap0", "a b"]}, "interface 'a b' is not one interface name"),
            ({"interface": "$(reboot)"}, "interface '$(reboot)' is not one interface name"),
            ({"interface": ["phy0-ap0", "-x"]}, "interface '-x' is not one interface name"),
            ({"interface": ["averyveryverylongname"]},
             "interface 'averyveryverylongname' is not one interface name"),
        ]
        for options, message in cases:
            with self.subTest(options=options):
                instances, log, _ = self.start(valid(**options))
                self.assertEqual(instances, {})
                said = [l for l in log if "station-reporter:" in l]
                self.assertEqual(len(said), 1, log)
                self.assertIn(message, said[0])
                # Nothing was started, so nothing respawns.
                time.sleep(0.2)
                self.assertEqual([p for p in self.dev.processes() if LOOP in p[1]], [])

    def test_a_report_that_cannot_be_sent_is_a_failed_round(self):
        if not OFFLINE:
            # Sends fail in a network namespace whose loopback is down: the case runs there.
            done = subprocess.run(["unshare", "--net", sys.executable, __file__, PLATFORM, BUILD,
                                   DECODER, "--offline", "Service." + self._testMethodName],
                                  capture_output=True, text=True, timeout=120)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertIn("Ran 1 test", done.stderr)
            return
        self.start(valid(interval="5", interface=["phy0-ap0"]))
        self.dev.wait_log(r"station-reporter: Can not sendto server")
        self.dev.wait_log(r"station-reporter: round 1 failed: station-send: the report could not "
                          r"be sent to 127\.0\.0\.1 port 9999: Can not sendto server "
                          r"\(Network is unreachable\)")
        # The loop goes on: procd still has it running.
        reply = self.dev.ubus("call", "service", "list", '{"name": "station-reporter"}')
        self.assertTrue(reply["station-reporter"]["instances"]["instance1"]["running"])



if __name__ == "__main__":
    args = sys.argv[1:]
    OFFLINE = "--offline" in args
    if OFFLINE:
        args.remove("--offline")
    harness.enter(__file__, sys.argv[1:], loopback=not OFFLINE)
    PLATFORM, BUILD, DECODER = (os.path.abspath(a) for a in args[:3])
    unittest.main(argv=[sys.argv[0], "-v"] + args[3:])
