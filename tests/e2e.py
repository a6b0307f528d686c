#!/usr/bin/env python3
"""End-to-end suite: runs the built program as a process and checks its exit status, exact
stdout, the datagram a UDP receiver on 127.0.0.1 gets, and the messages a /dev/log socket
gets, in a private mount namespace so the machine's own /dev is never touched.

usage: e2e.py PROGRAM [--emulator "qemu-mipsel-static ..."]
"""
import os, re, resource, shlex, socket, subprocess, sys, tempfile, unittest

EXAMPLE = b"A0B1C2D3E4F5,0a1b2c3d4e5f,258,-60,6,54,1\n"
EXAMPLE_RECORD = bytes.fromhex(
    "7C830001D6000030A0B1C2D3E4F500000000A0B1C2D3E4F50006010000000102000002"
    "00C400800000000B000A1B2C3D4E5F000000000000")
TRACES = ["apmac = A0B1C2D3E4F5", "mumac = 0a1b2c3d4e5f", "timestamp = 258", "rssi = -60",
          "channel = 6", "rate = 54", "assoc = 1"]
COMMAND = []  # emulator words, then the program


def header(count):
    return bytes.fromhex("7C830001D800") + (count * 56 + 4).to_bytes(2, "big") + \
        count.to_bytes(2, "big") + b"\0\0"


def dump(data):
    """The dump as a reader of the wire format expects it, built independently."""
    body = "".join("%02X " % b + ("\n" if (i + 1) % 16 == 0 else "") for i, b in enumerate(data))
    return "---\n" + body + "\n+++\n"


def mirrored(function, messages):
    return "".join("%s | N: %s\n" % (function, m) for m in messages)


class Run:
    """One run of the program with a fresh UDP receiver; PORT in args names its port."""

    def __init__(self, args, stdin=b"", **popen):
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.bind(("127.0.0.1", 0))
        port = str(self.udp.getsockname()[1])
        self.argv = COMMAND + [a.replace("PORT", port) for a in args]
        self.popen = popen
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
        drain(SYSLOG)
        proc = subprocess.Popen(self.argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                **self.popen)
        return self.finish(proc, self.stdin)


def drain(sock):
    sock.setblocking(False)
    got = []
    while True:
        try:
            got.append(sock.recv(65536))
        except BlockingIOError:
            return got


def parse_syslog(raw):
    """'<12>Mmm dd hh:mm:ss ident: text' gives (12, text)."""
    m = re.match(rb"<(\d+)>.{15} [^:]*: (.*)", raw, re.S)
    assert m, raw
    return int(m.group(1)), m.group(2).rstrip(b"\n\0").decode()


def run(args, stdin=b"", **popen):
    return Run(args, stdin, **popen).run()


class CommandLine(unittest.TestCase):
    def test_usage_errors(self):
        cases = [[], ["127.0.0.1"], ["127.0.0.1", "0"], ["127.0.0.1", "abc"],
                 ["127.0.0.1", "70000"], ["127.0.0.1", "65536"], ["127.0.0.1", "-1"],
                 ["127.0.0.1", "12ab"], ["127.0.0.1", " 80"], ["127.0.0.1", "+80"],
                 ["127.0.0.1", ""], ["localhost", "80"], ["1.2.3.4.5", "80"],
                 ["256.1.1.1", "80"], ["", "80"], ["127.0.0.1 ", "80", "7", "x"]]
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

    def test_port_boundaries(self):
        for port in ("1", "65535", "00080"):
            with self.subTest(port=port):
                r = run(["127.0.0.1", port])
                self.assertEqual((r.status, r.stdout), (0, dump(header(0))))


if __name__ == "__main__":
    args = sys.argv[1:]
    if os.environ.get("E2E_PRIVATE_DEV") != "1":
        # Re-run in a private mount namespace whose /dev is a fresh tmpfs.
        os.environ["E2E_PRIVATE_DEV"] = "1"
        os.execvp("unshare", ["unshare", "-m", "--propagation", "private", sys.executable,
                              os.path.abspath(__file__)] + args)
    dev = tempfile.mkdtemp()
    subprocess.run(["mount", "-t", "tmpfs", "e2e-dev", dev], check=True)
    for node in ("null", "zero", "urandom"):
        open(os.path.join(dev, node), "w").close()
        subprocess.run(["mount", "--bind", "/dev/" + node, os.path.join(dev, node)], check=True)
    subprocess.run(["mount", "--move", dev, "/dev"], check=True)
    SYSLOG = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    SYSLOG.bind("/dev/log")
    emulator = []
    if "--emulator" in args:
        i = args.index("--emulator")
        emulator = shlex.split(args[i + 1])
        del args[i:i + 2]
    COMMAND = emulator + [os.path.abspath(args[0])]
    unittest.main(argv=[sys.argv[0], "-v"] + args[1:])
