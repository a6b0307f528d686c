#!/usr/bin/env python3
"""station-presence as a process: the built reporter run for three access points ->
station-decode listen --json --heartbeats -> station-presence with a real mosquitto broker on
loopback and a database; refused input; the HTML page rendered by headless Chromium.

usage: presence_e2e.py STATION_REPORTER STATION_DECODE STATION_PRESENCE
"""
import html.parser, json, os, pathlib, queue, shutil, signal, socket, subprocess, sys, tempfile
import threading, time
import unittest

import sandbox

REPORTER = DECODER = PRESENCE = None
AP1, AP2 = "A0B1C2D3E401", "A0B1C2D3E402"
C1, C2, C3 = "0A1B2C3D4E01", "0A1B2C3D4E02", "0A1B2C3D4E03"
PREFIX = "e2e-presence"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Broker:
    """mosquitto on a free loopback port (or the one given), bound to 127.0.0.1 alone."""

    def __init__(self, folder, port=None, config="allow_anonymous true\n", log=None):
        """config: the listener's settings; log: a file for the broker's log."""
        self.port = port or free_port()
        self.listeners = []
        self.client = []  # what mosquitto_sub and mosquitto_pub need to get in
        path = os.path.join(folder, "mosquitto.conf")
        with open(path, "w") as f:
            f.write("listener %d 127.0.0.1\n%spersistence false\nlog_dest stderr\n"
                    % (self.port, config))
        with open(log or os.devnull, "a") as err:
            self.proc = subprocess.Popen([shutil.which("mosquitto") or "/usr/sbin/mosquitto",
                                          "-c", path], stdout=subprocess.DEVNULL, stderr=err)
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.1).close()
                return
            except OSError:
                time.sleep(0.05)
        raise AssertionError("mosquitto did not start")

    def listen(self, *topics):
        """A subscriber to topics that is known to be subscribed: it has received a probe.
        Returns a queue of its lines, the probes left out."""
        proc = self.subscribe(*sum((["-t", t] for t in topics + ("probe",)), []))
        lines = queue.Queue()
        threading.Thread(target=lambda: [lines.put(l) for l in proc.stdout], daemon=True).start()
        for _ in range(50):
            subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(self.port),
                            *self.client, "-t", "probe", "-m", "probe"], check=True)
            try:
                if lines.get(timeout=0.2).startswith("probe "):
                    break
            except queue.Empty:
                pass
        self.listeners.append(proc)
        filtered = queue.Queue()
        threading.Thread(target=lambda: [filtered.put(l) for l in iter(lines.get, None)
                                         if not l.startswith("probe ")], daemon=True).start()
        return filtered

    def subscribe(self, *args, **kwargs):
        return subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(self.port),
                                 *self.client, "-v", *args], stdout=subprocess.PIPE, text=True,
                                **kwargs)

    def retained(self, *topics):
        """The retained messages on topics, as a dictionary of topic to payload."""
        proc = self.subscribe(*sum((["-t", t] for t in topics), []), "--retained-only", "-W",
                              "2", stderr=subprocess.DEVNULL)  # says "Timed out"
        return dict(l.split(" ", 1) for l in proc.communicate(timeout=10)[0].splitlines())

    def stop(self):
        for proc in self.listeners:
            proc.terminate()
            proc.wait()
        self.proc.terminate()
        self.proc.wait()


def report(port, *observations):
    """One reporter run, one access point's report (a heartbeat without observations)."""
    lines = "".join("%s,%s,%d,%d,6,54,%d\n" % (ap, mu, int(time.time()), rssi, assoc)
                    for ap, mu, rssi, assoc in observations)
    subprocess.run([REPORTER, "127.0.0.1", str(port)], input=lines, text=True, check=True,
                   stdout=subprocess.DEVNULL)


class Pipeline(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.db = os.path.join(self.folder, "presence.db")
        self.broker = Broker(self.folder)

    def tearDown(self):
        self.broker.stop()
        shutil.rmtree(self.folder)

    def query(self, *args):
        r = subprocess.run([PRESENCE, *args, "--db", self.db], capture_output=True, text=True)
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        return r.stdout.splitlines()

    def test_reporters_to_events_broker_and_database(self):
        decoder, port = sandbox.start_decoder(DECODER, "127.0.0.1:0", "--json", "--heartbeats")
        published = self.broker.listen(PREFIX + "/event")
        presence = subprocess.Popen(
            [PRESENCE, "--interval", "1", "--db", self.db, "--mqtt",
             "127.0.0.1:%d" % self.broker.port, "--mqtt-prefix", PREFIX],
            stdin=decoder.stdout, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        decoder.stdout.close()
        # Three rounds a second apart. C1 roams from AP1 to AP2 while AP1 still sees it,
        # weaker; C2 only probes; C3 is seen twice at AP2; AP1 ends with no client: a heartbeat.
        rounds = [
            [[(AP1, C1, -50, 1), (AP1, C2, -70, 0)], [(AP2, C3, -60, 1)]],
            [[(AP1, C1, -70, 1), (AP1, C2, -71, 0)], [(AP2, C1, -45, 1), (AP2, C3, -60, 1)]],
            [[], [(AP2, C1, -46, 1)]],
        ]
        for i, aps in enumerate(rounds):
            for observations in aps:
                report(port, *observations)
                # Received in the same millisecond, AP1's last heartbeat and AP2's last report
                # would make AP1's silence and C1's leave fall due together, in either order.
                time.sleep(0.02)
            if i < len(rounds) - 1:
                time.sleep(1.1)
        events = [json.loads(presence.stdout.readline()) for _ in range(4)]
        expected_now = [
            ["client", "ap", "address", "rssi", "assoc"], [C2, AP1, "127.0.0.1", "-71", "0"],
            [C1, AP2, "127.0.0.1", "-45", "1"], [C3, AP2, "127.0.0.1", "-60", "1"]]
        for _ in range(25):  # a database write at most every second, the leaves 4 s away
            now = [l.split()[:5] for l in self.query("now")]
            if now == expected_now:
                break
            time.sleep(0.1)
        events += [json.loads(presence.stdout.readline()) for _ in range(5)]
        decoder.send_signal(signal.SIGTERM)
        decoder.wait(10)
        decoder.stderr.close()
        rest, err = presence.communicate(timeout=20)
        self.assertEqual((presence.returncode, rest), (0, ""))
        self.assertIn("; 9 lines, 8 records, 1 heartbeats, 0 refused; 3 arrive, 1 move, "
                      "3 leave, 2 ap-silent, 0 ap-back;", err.replace("\n", " ").replace(
                          "station-presence:", ";"))
        self.assertTrue(err.rstrip().endswith("; 0 MQTT messages not delivered"), err)

        self.assertEqual([(e["event"], e.get("client"), e["ap"], e.get("assoc")) for e in events], [
            ("arrive", C1, AP1, 1), ("arrive", C3, AP2, 1), ("arrive", C2, AP1, 0),
            ("move", C1, AP2, 1), ("leave", C2, AP1, 0), ("leave", C3, AP2, 1),
            ("ap-silent", None, AP1, None), ("leave", C1, AP2, 1),
            ("ap-silent", None, AP2, None)])
        self.assertEqual(events[3]["from"], AP1)
        self.assertEqual(events[3]["rssi"], -45)
        for e in events:
            if e["event"] == "leave":  # the grace is four intervals of one second
                self.assertAlmostEqual(e["time"] - e["last_seen"], 4.0, places=3)
        self.assertEqual(set(events[7]["dwell"]), {AP1, AP2})
        self.assertEqual(events[0]["address"], "127.0.0.1")

        self.assertEqual(now, expected_now)
        self.assertEqual(self.query("now")[1:], [])
        visits = self.query("visits", "--since", "1h")
        self.assertEqual(sorted(l.split()[0] for l in visits[1:]), [C1, C2, C3])
        self.assertIn(AP1, [l for l in visits if l.startswith(C1)][0])
        self.assertEqual([l.split()[:4] for l in self.query("aps")[1:]],
                         [[ap, "127.0.0.1", "silent", "0"] for ap in (AP1, AP2)])

        self.assertEqual([json.loads(published.get(timeout=10).split(" ", 1)[1])
                          for _ in events], events)
        self.assertTrue(published.empty())
        state = self.broker.retained(PREFIX + "/#", "homeassistant/#")
        self.assertEqual(state[PREFIX + "/status"], "offline")
        self.assertRegex(state[PREFIX + "/counters"],
                         r"^9 lines, 8 records, 1 heartbeats, 0 refused; .* 3 leave, 2 ap-silent")
        for client in (C1, C2, C3):
            base = PREFIX + "/client/" + client
            self.assertEqual(state[base + "/state"], "not_home")
            config = json.loads(state["homeassistant/device_tracker/e2e_presence_%s/config"
                                      % client])
            self.assertEqual((config["state_topic"], config["json_attributes_topic"],
                              config["payload_home"], config["payload_not_home"],
                              config["source_type"], config["availability_topic"]),
                             (base + "/state", base + "/attributes", "home", "not_home",
                              "router", PREFIX + "/status"))
            # The unique_id of earlier versions, the entity id Home Assistant made of their
            # object_id, and a device of its own.
            self.assertEqual((config["unique_id"], config["default_entity_id"], config["name"]),
                             ("e2e_presence_" + client,
                              "device_tracker.e2e_presence_" + client.lower(), None))
            self.assertNotIn("object_id", config)
            self.assertEqual(config["device"]["identifiers"], ["e2e_presence_client_" + client])
            self.assertEqual(config["device"]["name"], "Wi-Fi client " + client)
        self.assertEqual(json.loads(state[PREFIX + "/client/" + C1 + "/attributes"])["ap"], AP2)
        for ap in (AP1, AP2):
            self.assertEqual(state[PREFIX + "/ap/" + ap + "/state"], "offline")
            self.assertEqual(state[PREFIX + "/ap/" + ap + "/clients"], "0")
            sensor = json.loads(state["homeassistant/sensor/e2e_presence_%s/config" % ap])
            self.assertEqual((sensor["state_topic"], sensor["unit_of_measurement"],
                              sensor["availability_topic"], sensor["unique_id"],
                              sensor["device"]["identifiers"]),
                             (PREFIX + "/ap/" + ap + "/clients", "clients", PREFIX + "/status",
                              "e2e_presence_%s_clients" % ap, ["e2e_presence_ap_" + ap]))

    def test_refused_lines_are_counted_and_told_a_few_times(self):
        good = ('{"from":"127.0.0.1:40000","record":1,"apmac":"%s","mumac":"%s",'
                '"timestamp":1796714142,"rssi":-60,"channel":6,"assoc":1,"received":%s}\n')
        lines = ["junk %d\n" % i for i in range(20)] + [good % (AP1, C1, "1796714142.1")]
        r = subprocess.run([PRESENCE], input="".join(lines), capture_output=True, text=True)
        self.assertEqual(r.returncode, 0)
        self.assertEqual(json.loads(r.stdout)["event"], "arrive")
        told = r.stderr.splitlines()
        self.assertEqual(told[:5], ["station-presence: line %d: not 9 fields" % i
                                    for i in range(1, 6)])
        self.assertEqual(told[5], "station-presence: 15 more lines refused, the last: "
                                  "line 20: not 9 fields")
        self.assertIn("21 lines, 1 records, 0 heartbeats, 20 refused", told[6])
        self.assertEqual(len(told), 7)

    def test_sighup_reads_the_config_again_and_says_what_it_could_not_apply(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        config = os.path.join(folder, "presence.conf")
        pathlib.Path(config).write_text("grace 60\ninterval 10\n")
        p = subprocess.Popen([PRESENCE, "--config", config], stdin=subprocess.PIPE,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        # A refused line is told once the signals are handled.
        p.stdin.write("junk\n")
        p.stdin.flush()
        told = [p.stderr.readline()]
        for text in ("grace 30\ninterval 20\n", "grace 0\n"):
            pathlib.Path(config).write_text(text)
            p.send_signal(signal.SIGHUP)
            told.append(p.stderr.readline())
        p.stdin.close()
        self.assertEqual(p.wait(10), 0)
        self.assertEqual(told, [
            "station-presence: line 1: not 9 fields\n",
            "station-presence: %s read again; a restart is needed to change interval\n" % config,
            "station-presence: cannot read the settings again: %s:1: grace: SECONDS must be 1 "
            "to 86400; the old ones stay\n" % config])


class Reconnect(unittest.TestCase):
    def test_a_restarted_broker_gets_every_retained_state_again(self):
        folder = tempfile.mkdtemp()
        broker = Broker(folder)
        presence = subprocess.Popen(
            [PRESENCE, "--mqtt", "127.0.0.1:%d" % broker.port, "--mqtt-prefix", PREFIX],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            presence.stdin.write('{"from":"127.0.0.1:40000","record":1,"apmac":"%s",'
                                 '"mumac":"%s","timestamp":%d,"rssi":-60,"channel":6,'
                                 '"assoc":1,"received":%.3f}\n' % (AP1, C1, time.time(),
                                                                   time.time()))
            presence.stdin.flush()
            self.assertEqual(json.loads(presence.stdout.readline())["event"], "arrive")
            topic = PREFIX + "/client/" + C1 + "/state"
            first = broker.subscribe("-t", topic, "-C", "1", "-W", "10")
            self.assertEqual(first.communicate(timeout=15)[0], topic + " home\n")
            ap = PREFIX + "/ap/" + AP1 + "/state"
            heard = broker.subscribe("-t", ap, "-C", "1", "-W", "10")
            self.assertEqual(heard.communicate(timeout=15)[0], ap + " online\n")
            broker.stop()  # its retained messages go with it: persistence is off
            broker = Broker(folder, broker.port)
            time.sleep(3)  # the client library retries after one second, then two
            state = broker.retained(PREFIX + "/#", "homeassistant/#")
            self.assertEqual((state[topic], state[PREFIX + "/status"]), ("home", "online"))
            self.assertEqual(state[PREFIX + "/ap/" + AP1 + "/state"], "online")
            self.assertEqual(state[PREFIX + "/ap/" + AP1 + "/clients"], "1")
            # Home Assistant's trackers and sensors come back with the broker.
            self.assertEqual(json.loads(state["homeassistant/device_tracker/e2e_presence_%s/"
                                              "config" % C1])["state_topic"], topic)
            self.assertIn("homeassistant/sensor/e2e_presence_%s/config" % AP1, state)
        finally:
            presence.stdin.close()
            presence.stdin = None
            out, err = presence.communicate(timeout=20)
            broker.stop()
            shutil.rmtree(folder)
        self.assertEqual((presence.returncode, out), (0, ""))
        self.assertTrue(err.rstrip().endswith("; 0 MQTT messages not delivered"), err)


def sighting(client):
    now = time.time()
    return ('{"from":"127.0.0.1:40000","record":1,"apmac":"%s","mumac":"%s","timestamp":%d,'
            '"rssi":-60,"channel":6,"assoc":1,"received":%.3f}\n' % (AP1, client, now, now))


class Stop(unittest.TestCase):
    def test_a_stop_with_the_broker_away_exits_3_and_says_what_was_not_delivered(self):
        folder = tempfile.mkdtemp()
        broker = Broker(folder)
        presence = subprocess.Popen(
            [PRESENCE, "--mqtt", "127.0.0.1:%d" % broker.port], stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        topic = "station-presence/client/" + C1 + "/state"  # the default prefix
        try:
            for client in (C1, C2):  # the second once the broker, connected, has gone
                presence.stdin.write(sighting(client))
                presence.stdin.flush()
                self.assertEqual(json.loads(presence.stdout.readline())["event"], "arrive")
                if client == C1:
                    heard = broker.subscribe("-t", topic, "-C", "1", "-W", "10")
                    self.assertEqual(heard.communicate(timeout=15)[0], topic + " home\n")
                    broker.stop()
            presence.send_signal(signal.SIGTERM)
            out, err = presence.communicate(timeout=20)
        finally:
            shutil.rmtree(folder)
        self.assertEqual((presence.returncode, out), (3, ""))
        self.assertRegex(err, r"; [1-9]\d* MQTT messages not delivered\n$")

    def test_the_service_manager_is_told_ready_status_and_stopping(self):
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as manager:
            name = "station-presence-e2e-%d" % os.getpid()
            manager.bind("\0" + name)  # an abstract name, as systemd gives one
            manager.settimeout(10)
            presence = subprocess.Popen([PRESENCE], stdin=subprocess.PIPE,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                        env={**os.environ, "NOTIFY_SOCKET": "@" + name})
            told = [manager.recv(4096).decode()]
            presence.stdin.write(sighting(C1).encode())
            presence.stdin.flush()
            while "1 lines, 1 records" not in told[-1]:  # the status every five seconds
                told.append(manager.recv(4096).decode())
            presence.send_signal(signal.SIGTERM)
            told.append(manager.recv(4096).decode())
            presence.communicate(timeout=10)
        self.assertEqual(presence.returncode, 0)
        self.assertRegex(told[0], r"^READY=1\nSTATUS=0 lines, 0 records, 0 heartbeats, 0 refused;")
        self.assertRegex(told[-2], r"^STATUS=1 lines, 1 records, .*; 1 clients tracked, 1 present")
        self.assertEqual(told[-1], "STOPPING=1")


class Element(html.parser.HTMLParser):
    """The rendered DOM's elements as (tag, attributes) in document order."""

    def __init__(self, text):
        super().__init__()
        self.elements = []
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        self.elements.append((tag, dict(attrs)))

    def handle_data(self, data):
        if self.elements:
            self.elements[-1][1].setdefault("#text", data)

    def find(self, tag, **attrs):
        return [a for t, a in self.elements if t == tag and
                all(a.get(k.replace("_", "-")) == v for k, v in attrs.items())]


def fleet_lines(aps, rounds, step=60.0, start=1796714000.0):
    """CSV lines of aps access points reporting every step seconds: the busier the lower its
    number, each of them silent for a while, one client leaving and another coming back."""
    lines = []
    for r in range(rounds):
        now = start + r * step
        for a in range(aps):
            if a % 7 == 3 and rounds // 3 <= r < rounds // 2:
                continue  # silent for a sixth of the time
            clients = max(1, 40 // (a + 1)) + (r // 20 + a) % 3
            address = "127.2.%d.%d" % (a // 200, a % 200)
            for c in range(clients):
                lines.append("%s:4000,%d,A0B1C2D3%04X,0A1B2C%02X%04X,%d,-60,6,1,%.3f\n"
                             % (address, c + 1, a, c, a, now, now))
    return "".join(lines)


def render(folder, db, *screenshot):
    """The page of db as Chromium renders it: its DOM, and a screenshot when asked."""
    page = os.path.join(folder, "page.html")
    r = subprocess.run([PRESENCE, "report", "--db", db, "--html", page], capture_output=True,
                       text=True)
    assert (r.returncode, r.stdout, r.stderr) == (0, "", ""), r
    chromium = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                "--no-first-run", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--hide-scrollbars",
                "--user-data-dir=" + os.path.join(folder, "profile")]
    dom = subprocess.run(chromium + ["--dump-dom", "file://" + page], capture_output=True,
                         text=True, timeout=60)
    assert dom.returncode == 0, dom.stderr
    if screenshot:
        path, height = screenshot
        shot = subprocess.run(chromium + ["--window-size=1000,%d" % height,
                                          "--screenshot=" + path, "file://" + page],
                              capture_output=True, text=True, timeout=60)
        assert shot.returncode == 0 and os.path.getsize(path) > 1000, shot.stderr
    return Element(dom.stdout)


class Page(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.folder)

    def database(self, lines):
        db = os.path.join(self.folder, "p%d.db" % len(os.listdir(self.folder)))
        r = subprocess.run([PRESENCE, "--db", db], input=lines, text=True, capture_output=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        return db

    def test_two_access_points_their_clients_and_a_silence(self):
        # Ten minutes: AP1 has two clients, AP2 one until it falls silent for a while.
        lines, t = [], 1796714000.0
        for minute in range(10):
            for s in range(0, 60, 30):
                now = t + minute * 60 + s
                rows = [("10.0.0.1", AP1, C1), ("10.0.0.1", AP1, C2)]
                if not 3 <= minute < 6:
                    rows.append(("10.0.0.2", AP2, C3))
                lines += ["%s:4000,%d,%s,%s,%d,-60,6,1,%.3f\n" % (a, i + 1, ap, mu, now, now)
                          for i, (a, ap, mu) in enumerate(rows)]
        doc = render(self.folder, self.database("".join(lines)))
        self.assertEqual(len(doc.find("script")) + len(doc.find("link")), 0)
        rows = doc.find("g", **{"class": "ap-row"})
        self.assertEqual([(a["data-ap"], a["data-peak"], a["data-silences"]) for a in rows],
                         [(AP1, "2", "0"), (AP2, "1", "1")])  # the busiest first
        lines = {a["data-ap"]: a for a in doc.find("polyline")}
        points = [p.split(",") for p in lines[AP2]["points"].split()]
        self.assertEqual(len(points), 240)  # two points a bucket
        # AP2's line falls to 0 (its row's base) while it is silent, not before.
        base = float(lines[AP2]["data-base"])
        ys = [float(y) for _, y in points]
        self.assertNotEqual(ys[0], base)
        self.assertIn(base, ys[len(ys) // 2 - 20:len(ys) // 2 + 20])
        self.assertEqual(len(doc.find("rect", **{"class": "silent"})), 1)
        names = [a.get("#text") for a in doc.find("text", **{"class": "ap-name"})]
        self.assertEqual(names, [AP1, AP2])  # whole addresses, not their tails
        self.assertEqual([a["data-ap"] for a in doc.find("tr") if "data-ap" in a], [AP1, AP2])

    def test_every_access_point_readable_at_1_30_and_300(self):
        shots = os.environ.get("STATION_PRESENCE_SCREENSHOTS")
        for aps in (1, 30, 300):
            with self.subTest(aps=aps):
                db = self.database(fleet_lines(aps, 180))
                shot = (os.path.join(shots, "report-%d-aps.png" % aps), 420 if aps == 1 else 1400) \
                    if shots else ()
                doc = render(self.folder, db, *shot)
                rows = doc.find("g", **{"class": "ap-row"})
                self.assertEqual(len(rows), aps)
                peaks = [int(a["data-peak"]) for a in rows]
                self.assertEqual(peaks, sorted(peaks, reverse=True))
                # Each row's line reaches the top of its own chart at its peak.
                for line in doc.find("polyline"):
                    top = min(float(p.split(",")[1]) for p in line["points"].split())
                    self.assertAlmostEqual(float(line["data-base"]) - top, 26, places=3)
                silent = [a for a in rows if a["data-silences"] != "0"]
                self.assertEqual(len(silent), len([a for a in range(aps) if a % 7 == 3]))
                ticks = [a.get("#text") for a in doc.find("text", **{"class": "tick"})]
                self.assertTrue(4 <= len(ticks) // 2 <= 8, ticks)
                for tick in ticks:  # round times: whole quarter hours for three hours
                    self.assertRegex(tick, r"^\d\d:(00|15|30|45)$")

    def test_an_empty_database_says_there_is_no_data(self):
        db = os.path.join(self.folder, "empty.db")
        r = subprocess.run([PRESENCE, "--db", db], input="", text=True, capture_output=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        doc = render(self.folder, db)
        self.assertEqual(len(doc.find("p", id="empty")), 1)
        self.assertEqual(doc.find("svg"), [])
        self.assertNotIn("1970", str(doc.elements))


if __name__ == "__main__":
    REPORTER, DECODER, PRESENCE = sys.argv[1:4]
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[4:])
