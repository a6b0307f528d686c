#!/usr/bin/env python3
"""station-presence against brokers as they run: a login with a password file, TLS with
certificates made here by openssl (a wrong name, a foreign CA, a client certificate), a
broker that starts refusing the login, and the queue while the broker is away. Each broker
is a real mosquitto on a free loopback port.

usage: presence_mqtt_e2e.py STATION_PRESENCE [SUITE]
"""
import json, os, re, shutil, subprocess, sys, tempfile, time
import unittest

from presence_e2e import Broker

PRESENCE = None
AP = "A0B1C2D3E401"
PREFIX = "mqtt-e2e"


def sighting(client):
    now = time.time()
    return ('{"from":"127.0.0.1:40000","record":1,"apmac":"%s","mumac":"%s","timestamp":%d,'
            '"rssi":-60,"channel":6,"assoc":1,"received":%.3f}\n' % (AP, client, now, now))


class Case(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp()
        os.chmod(self.folder, 0o755)  # mosquitto started by root reads as its own user
        self.brokers = []

    def tearDown(self):
        for broker in self.brokers:
            broker.stop()
        shutil.rmtree(self.folder)

    def path(self, name):
        return os.path.join(self.folder, name)

    def broker(self, config, port=None):
        broker = Broker(self.folder, port, config, self.path("broker.log"))
        self.brokers.append(broker)
        return broker

    def secret(self, name, text, mode=0o600):
        with open(self.path(name), "w") as f:
            f.write(text)
        os.chmod(self.path(name), mode)
        return self.path(name)

    def start(self, broker, *options):
        return subprocess.Popen([PRESENCE, "--mqtt", "127.0.0.1:%d" % broker.port,
                                 "--mqtt-prefix", PREFIX, *options], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def run_one(self, broker, *options):
        """One client arrives; returns the exit status, the messages and the broker's
        retained messages afterwards."""
        presence = self.start(broker, *options)
        out, err = presence.communicate(sighting("0A1B2C3D4E01"), timeout=30)
        return presence.returncode, err, broker.retained(PREFIX + "/#", "homeassistant/#")

    def assertPublished(self, state):
        self.assertEqual(state[PREFIX + "/client/0A1B2C3D4E01/state"], "home")
        config = json.loads(state["homeassistant/device_tracker/mqtt_e2e_0A1B2C3D4E01/config"])
        self.assertEqual(config["default_entity_id"], "device_tracker.mqtt_e2e_0a1b2c3d4e01")
        self.assertEqual(state[PREFIX + "/ap/%s/clients" % AP], "1")


class Login(Case):
    def setUp(self):
        super().setUp()
        self.passwords = self.path("passwords")
        subprocess.run(["mosquitto_passwd", "-b", "-c", self.passwords, "presence", "right"],
                       check=True)
        os.chmod(self.passwords, 0o644)  # the broker drops to its own user
        self.server = self.broker("allow_anonymous false\npassword_file %s\n" % self.passwords)
        self.server.client = ["-u", "presence", "-P", "right"]

    def test_the_password_comes_from_a_file_only_its_owner_reads(self):
        for text, mode, status, says in [
                ("right\n", 0o600, 0, "; 0 MQTT messages not delivered"),
                ("right", 0o400, 0, "; 0 MQTT messages not delivered"),
                ("wrong\n", 0o600, 1, "station-presence: cannot connect to the MQTT broker "
                                      "127.0.0.1:%d: login refused: not authorised"
                                      % self.server.port),
                ("right\n", 0o640, 1, "password: readable by others; chmod 600 it"),
                ("right\n", 0o604, 1, "password: readable by others; chmod 600 it")]:
            with self.subTest(text=text, mode=oct(mode)):
                status_, err, state = self.run_one(
                    self.server, "--mqtt-user", "presence", "--mqtt-password-file",
                    self.secret("password", text, mode))
                self.assertEqual((status_, len(err.splitlines())), (status, 1), err)
                self.assertIn(says, err)
                if status == 0:
                    self.assertPublished(state)
                os.remove(self.path("password"))
        r = subprocess.run([PRESENCE, "--mqtt", "127.0.0.1:%d" % self.server.port,
                            "--mqtt-user", "presence", "--mqtt-password-file",
                            self.path("none")], capture_output=True, text=True, input="")
        self.assertEqual((r.returncode, r.stderr), (1, "station-presence: %s: cannot open: No "
                                                       "such file or directory\n"
                                                       % self.path("none")))

    def test_a_login_refused_later_is_told_once_and_retried_with_a_growing_delay(self):
        presence = self.start(self.server, "--mqtt-user", "presence", "--mqtt-password-file",
                              self.secret("password", "right\n"))
        presence.stdin.write(sighting("0A1B2C3D4E01"))
        presence.stdin.flush()
        presence.stdout.readline()
        time.sleep(0.5)  # acknowledged
        self.server.stop()
        subprocess.run(["mosquitto_passwd", "-b", "-c", self.passwords, "presence", "changed"],
                       check=True)
        os.chmod(self.passwords, 0o644)
        open(self.path("broker.log"), "w").close()
        self.brokers.append(Broker(self.folder, self.server.port, "allow_anonymous false\n"
                                   "password_file %s\n" % self.passwords,
                                   self.path("broker.log")))
        time.sleep(4.5)
        presence.stdin.close()
        presence.stdin = None
        out, err = presence.communicate(timeout=20)
        with open(self.path("broker.log")) as f:
            attempts = len(re.findall("disconnected, not authorised", f.read()))
        # After one second, then three, then seven: never a busy loop.
        self.assertIn(attempts, (2, 3), attempts)
        told = [l for l in err.splitlines() if "not authorised" in l]
        self.assertEqual(told, ["station-presence: MQTT broker 127.0.0.1:%d: login refused: not "
                                "authorised; trying again" % self.server.port])
        self.assertEqual(presence.returncode, 1)  # offline was not delivered
        self.assertTrue(err.rstrip().endswith("; 1 MQTT messages not delivered"), err)

    def test_events_beyond_the_queue_are_dropped_and_counted_while_the_broker_is_away(self):
        presence = self.start(self.server, "--mqtt-user", "presence", "--mqtt-password-file",
                              self.secret("password", "right\n"), "--mqtt-queue", "2")
        presence.stdin.write(sighting("0A1B2C3D4E01"))
        presence.stdin.flush()
        presence.stdout.readline()
        time.sleep(0.5)  # acknowledged
        self.server.stop()
        time.sleep(0.5)
        presence.stdin.write("".join(sighting("0A1B2C3D4E0%d" % i) for i in range(2, 7)))
        presence.stdin.close()
        presence.stdin = None
        out, err = presence.communicate(timeout=20)
        # Five events, two held; the retained states and offline wait for a broker too.
        self.assertEqual(len(out.splitlines()), 5)
        self.assertEqual(presence.returncode, 1)
        self.assertRegex(err, r"; \d+ MQTT messages not delivered, 3 of them events dropped "
                              "while the broker was away\n$")


def make_certificates(folder):
    """Two CAs; servers for the loopback names, for a wrong name and from the second CA;
    a client certificate."""
    def run(*args):
        subprocess.run(["openssl", *args], check=True, capture_output=True, cwd=folder)
    for ca in ("ca", "other-ca"):
        run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca + ".key", "-subj",
            "/CN=" + ca, "-days", "2", "-out", ca + ".crt")
    for name, ca, san in [("server", "ca", "DNS:localhost,IP:127.0.0.1"),
                          ("wrong-name", "ca", "DNS:wrong.example"),
                          ("foreign", "other-ca", "DNS:localhost,IP:127.0.0.1"),
                          ("client", "ca", "DNS:station-presence")]:
        run("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-subj",
            "/CN=" + name, "-out", name + ".csr")
        with open(os.path.join(folder, name + ".ext"), "w") as f:
            f.write("subjectAltName=%s\n" % san)
        run("x509", "-req", "-in", name + ".csr", "-CA", ca + ".crt", "-CAkey", ca + ".key",
            "-CAcreateserial", "-days", "2", "-extfile", name + ".ext", "-out", name + ".crt")
        os.chmod(os.path.join(folder, name + ".key"), 0o644)  # the broker drops to its user


class Tls(Case):
    @classmethod
    def setUpClass(cls):
        cls.certificates = tempfile.mkdtemp()
        os.chmod(cls.certificates, 0o755)
        make_certificates(cls.certificates)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.certificates)

    def test_the_broker_is_checked_and_a_client_certificate_given(self):
        c = lambda name: os.path.join(self.certificates, name)
        ca = ["--mqtt-ca", c("ca.crt")]
        mine = ["--mqtt-cert", c("client.crt"), "--mqtt-key", c("client.key")]
        refused = "station-presence: cannot connect to the MQTT broker 127.0.0.1:%d: TLS: "
        for server, required, options, says in [
                ("server", False, ca, None),
                ("server", False, ["--mqtt-capath", self.certificates + "/none"],
                 "none: cannot open: No such file or directory"),
                ("wrong-name", False, ca, refused + "the broker's certificate is not for the "
                                                    "name 127.0.0.1"),
                ("wrong-name", False, ca + ["--mqtt-insecure-skip-name-check", "yes"], None),
                ("foreign", False, ca, refused + "the broker's certificate: unable to get "
                                                 "local issuer certificate"),
                ("server", True, ca + mine, None),
                ("server", True, ca, "certificate required")]:
            with self.subTest(server=server, options=options[2:]):
                broker = self.broker("allow_anonymous true\ncafile %s\ncertfile %s\nkeyfile %s\n"
                                     "require_certificate %s\n"
                                     % (c("ca.crt"), c(server + ".crt"), c(server + ".key"),
                                        "true" if required else "false"))
                broker.client = ["--cafile", c("ca.crt"), "--insecure", "--cert",
                                 c("client.crt"), "--key", c("client.key")]
                status, err, state = self.run_one(broker, *options)
                if says is None:
                    self.assertEqual(status, 0, err)
                    self.assertPublished(state)
                else:
                    self.assertEqual((status, len(err.splitlines())), (1, 1), err)
                    self.assertIn(says % broker.port if "%d" in says else says, err)
                broker.stop()
                self.brokers.remove(broker)


if __name__ == "__main__":
    PRESENCE = sys.argv[1]
    unittest.main(argv=sys.argv[:1] + sys.argv[2:], verbosity=2)
