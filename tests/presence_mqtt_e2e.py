#!/usr/bin/env python3
"""station-presence against brokers as they run, each a real mosquitto on a free loopback
port: a login with a password file; TLS with certificates made here by openssl (a wrong name,
a foreign CA, a client certificate); a login refused after a restart; the queue while the
broker is away.

usage: presence_mqtt_e2e.py STATION_PRESENCE [SUITE]
"""
import json, os, re, shutil, signal, subprocess, sys, tempfile, time
import unittest

from presence_e2e import Broker

PRESENCE = None
PREFIX = "mqtt-e2e"
C1 = "0A1B2C3D4E01"


def sighting(client):
    now = time.time()
    return ('{"from":"127.0.0.1:40000","record":1,"apmac":"A0B1C2D3E401","mumac":"%s",'
            '"timestamp":%d,"rssi":-60,"channel":6,"assoc":1,"received":%.3f}\n'
            % (client, now, now))


class Case(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp()
        os.chmod(self.folder, 0o755)  # mosquitto started by root reads as its own user
        self.log = os.path.join(self.folder, "broker.log")
        self.brokers = []

    def tearDown(self):
        for broker in self.brokers:
            broker.stop()
        shutil.rmtree(self.folder)

    def broker(self, config, port=None, client=()):
        self.brokers.append(Broker(self.folder, port, config, self.log))
        self.brokers[-1].client = list(client)
        return self.brokers[-1]

    def secret(self, text, mode=0o600):
        path = os.path.join(self.folder, "password")
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, mode)
        return ["--mqtt-user", "presence", "--mqtt-password-file", path]

    def start(self, broker, *options, prefix=("--mqtt-prefix", PREFIX)):
        return subprocess.Popen([PRESENCE, "--mqtt", "127.0.0.1:%d" % broker.port,
                                 *prefix, *options], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def check_one(self, broker, options, says):
        """One client arrives: published, or one line that says why not and exit status 1."""
        presence = self.start(broker, *options)
        err = presence.communicate(sighting(C1), timeout=30)[1]
        if says:
            self.assertEqual((presence.returncode, err.count("\n")), (1, 1), err)
            self.assertIn(says, err)
            return
        self.assertEqual(presence.returncode, 0, err)
        state = broker.retained(PREFIX + "/#", "homeassistant/#")
        self.assertEqual(state[PREFIX + "/client/%s/state" % C1], "home")
        config = json.loads(state["homeassistant/device_tracker/mqtt_e2e_%s/config" % C1])
        self.assertEqual(config["default_entity_id"], "device_tracker.mqtt_e2e_" + C1.lower())

    def connected(self, broker, *options, **prefix):
        """A program that has published one arrival on broker and had it acknowledged."""
        presence = self.start(broker, *options, **prefix)
        presence.stdin.write(sighting(C1))
        presence.stdin.flush()
        presence.stdout.readline()
        time.sleep(0.5)
        return presence


class Login(Case):
    def setUp(self):
        super().setUp()
        self.passwords = os.path.join(self.folder, "passwords")
        self.config = "allow_anonymous false\npassword_file %s\n" % self.passwords
        self.password("right")
        self.server = self.broker(self.config, client=["-u", "presence", "-P", "right"])

    def password(self, text):
        subprocess.run(["mosquitto_passwd", "-b", "-c", self.passwords, "presence", text],
                       check=True)
        os.chmod(self.passwords, 0o644)

    def test_the_password_comes_from_a_file_only_its_owner_reads(self):
        refused = "cannot connect to the MQTT broker 127.0.0.1:%d: " % self.server.port
        for text, mode, says in [("right\n", 0o600, None), ("right", 0o400, None),
                                 ("wrong\n", 0o600, refused + "login refused: not authorised"),
                                 ("right\n", 0o640, "password: readable by others; chmod 600 it"),
                                 ("right\n", 0o604, "password: readable by others; chmod 600 it")]:
            with self.subTest(text=text, mode=oct(mode)):
                self.check_one(self.server, self.secret(text, mode), says)
        options = self.secret("")[:-1] + [self.folder + "/none"]
        self.check_one(self.server, options, "none: cannot open: No such file or directory")
        config = os.path.join(self.folder, "presence.conf")
        with open(os.open(config, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
            f.write("mqtt-user presence\nmqtt-password right\n")
        self.check_one(self.server, ["--config", config], None)

    def test_settings_read_again_make_a_new_connection_under_the_new_prefix(self):
        config = os.path.join(self.folder, "presence.conf")
        login = self.secret("right\n")
        with open(config, "w") as f:
            f.write("mqtt-prefix %s\nmqtt-password-file %s\n" % (PREFIX, login[3]))
        presence = self.connected(self.server, *login[:2], "--config", config, prefix=())
        with open(config, "w") as f:
            f.write("mqtt-prefix moved\nmqtt-password-file %s\n" % login[3])
        for mode in (0o644, 0o600):  # the old connection stays while the file is refused
            os.chmod(login[3], mode)
            presence.send_signal(signal.SIGHUP)
            time.sleep(2)
        err = presence.communicate("", timeout=20)[1]
        self.assertEqual(presence.returncode, 0, err)
        self.assertIn("station-presence: the MQTT settings stay as they were: %s: readable by "
                      "others; chmod 600 it\n" % login[3], err)
        state = self.server.retained("#")
        self.assertEqual((state[PREFIX + "/status"], state["moved/status"]), ("offline",) * 2)
        self.assertEqual(state["moved/client/%s/state" % C1], "home")
        self.assertIn("homeassistant/device_tracker/moved_%s/config" % C1, state)

    def test_a_login_refused_later_is_told_once_and_retried_with_a_growing_delay(self):
        presence = self.connected(self.server, *self.secret("right\n"))
        self.server.stop()
        self.password("changed")
        open(self.log, "w").close()
        self.broker(self.config, self.server.port)
        time.sleep(4.5)
        err = presence.communicate("", timeout=20)[1]
        with open(self.log) as f:
            attempts = len(re.findall("disconnected, not authorised", f.read()))
        self.assertIn(attempts, (2, 3))  # after one second, then three: never a busy loop
        self.assertEqual([l for l in err.splitlines() if "not authorised" in l],
                         ["station-presence: MQTT broker 127.0.0.1:%d: login refused: not "
                          "authorised; trying again" % self.server.port])
        self.assertEqual(presence.returncode, 3)  # offline was not delivered
        self.assertTrue(err.endswith("; 1 MQTT messages not delivered\n"), err)

    def test_events_beyond_the_queue_are_dropped_and_counted_while_the_broker_is_away(self):
        presence = self.connected(self.server, *self.secret("right\n"), "--mqtt-queue", "2")
        self.server.stop()
        time.sleep(0.5)
        out, err = presence.communicate("".join(sighting("0A1B2C3D4E0%d" % i)
                                                for i in range(2, 7)), timeout=20)
        # Five events, two held; the retained states and offline wait for a broker too.
        self.assertEqual((len(out.splitlines()), presence.returncode), (5, 3))
        self.assertRegex(err, r"; \d+ MQTT messages not delivered, 3 of them events dropped "
                              "while the broker was away\n$")


class Tls(Case):
    def test_the_broker_is_checked_and_a_client_certificate_given(self):
        c = lambda name: os.path.join(self.folder, name)
        def openssl(*args):
            subprocess.run(["openssl", *args], check=True, capture_output=True, cwd=self.folder)
        for ca in ("ca", "other-ca"):
            openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca + ".key",
                    "-subj", "/CN=" + ca, "-days", "2", "-out", ca + ".crt")
        for name, ca, san in [("server", "ca", "DNS:localhost,IP:127.0.0.1"),
                              ("wrong-name", "ca", "DNS:wrong.example"),
                              ("foreign", "other-ca", "DNS:localhost,IP:127.0.0.1"),
                              ("client", "ca", "DNS:station-presence")]:
            with open(c(name + ".ext"), "w") as f:
                f.write("subjectAltName=%s\n" % san)
            openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key",
                    "-subj", "/CN=" + name, "-out", name + ".csr")
            openssl("x509", "-req", "-in", name + ".csr", "-CA", ca + ".crt", "-CAkey",
                    ca + ".key", "-CAcreateserial", "-days", "2", "-extfile", name + ".ext",
                    "-out", name + ".crt")
            os.chmod(c(name + ".key"), 0o644)  # for the broker's user
        ca = ["--mqtt-ca", c("ca.crt")]
        mine = ["--mqtt-cert", c("client.crt"), "--mqtt-key", c("client.key")]
        for server, required, options, says in [
                ("server", False, ca, None),
                ("server", False, ["--mqtt-capath", c("none")], "none: cannot open: No such"),
                ("wrong-name", False, ca, "TLS: the broker's certificate is not for the name "
                                          "127.0.0.1"),
                ("wrong-name", False, ca + ["--mqtt-insecure-skip-name-check", "yes"], None),
                ("foreign", False, ca, "TLS: the broker's certificate: unable to get local "
                                       "issuer certificate"),
                ("server", True, ca + mine, None),
                ("server", True, ca, "certificate required")]:
            with self.subTest(server=server, options=options[2:]):
                broker = self.broker(
                    "allow_anonymous true\ncafile %s\ncertfile %s\nkeyfile %s\n"
                    "require_certificate %s\n" % (c("ca.crt"), c(server + ".crt"),
                                                  c(server + ".key"), str(required).lower()),
                    client=["--cafile", c("ca.crt"), "--insecure", "--cert", c("client.crt"),
                            "--key", c("client.key")])
                self.check_one(broker, options, says)
                self.brokers.pop().stop()


if __name__ == "__main__":
    PRESENCE = sys.argv[1]
    unittest.main(argv=sys.argv[:1] + sys.argv[2:], verbosity=2)
