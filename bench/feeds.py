#!/usr/bin/env python3
"""Benchmark, not a test: what a round of each feed costs on OpenWrt's own userland (the
harness device of tests/platform), for 1, 40 and 200 clients, with and without pseudonyms.
A round is what the service does each interval: the sh/awk feed's `station-feed | station-send`
(iw is the stand-in with a generated dump in iw 5.19's format), and one interval of
station-feed.uc with its station-send (its clients from look-alike hostapd objects' get_clients:
this kernel has no Wi-Fi). Processes are the execve calls strace sees; instructions what
callgrind counts over every process of the round. The ucode feed's figures are the difference
between a run of three rounds and one of one, halved, so that its start does not count.

usage: feeds.py PLATFORM_ROOT STATION_REPORTER
"""
import glob, os, re, shutil, socket, subprocess, sys, tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(HERE, "..", "tests")
sys.path.insert(0, os.path.join(TESTS, "platform"))
import harness

FEED = os.path.join(HERE, "..", "src", "feed")
RECORDED = os.path.join(TESTS, "feed", "recorded", "iw-5.19")
CLIENTS = (1, 40, 200)


def mac(i):
    return "02:00:00:%02x:%02x:%02x" % (i >> 16, (i >> 8) & 255, i & 255)


def dataset(dev, n):
    """A stand-in iw's recordings for one AP with n stations, from the recorded iw 5.19 ones."""
    folder = "/var/iw/%d" % n
    block = open(os.path.join(RECORDED, "wlan1.stations")).read()
    dev.write(folder + "/dev", "phy#1\n\tInterface wlan1\n\t\ttype AP\n")
    dev.write(folder + "/wlan1.info", open(os.path.join(RECORDED, "wlan1.info")).read())
    dev.write(folder + "/wlan1.stations", "".join(
        re.sub(r"^Station \S+", "Station " + mac(i), block) for i in range(n)))
    return folder


def measure(dev, command, env=None):
    """(processes, instructions) of command and everything it starts, in the device."""
    trace = "/tmp/strace.out"
    dev.run(["strace", "-f", "-qq", "-e", "trace=execve", "-o", trace, *command], env=env,
            timeout=600)
    with open(dev.path(trace)) as f:
        processes = sum(1 for line in f if "execve(" in line and "= 0" in line)
    for old in glob.glob(dev.path("/tmp/cg.*")):
        os.remove(old)
    dev.run(["valgrind", "--tool=callgrind", "--trace-children=yes", "--log-file=/tmp/cg.%p",
             "--callgrind-out-file=/dev/null", *command], env=env, timeout=1200)
    instructions = 0
    for log in glob.glob(dev.path("/tmp/cg.*")):
        with open(log) as f:
            instructions += sum(int(m) for m in re.findall(r"Collected : (\d+)", f.read()))
    return processes, instructions


def main():
    harness.enter(__file__, sys.argv[1:])
    platform, reporter = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sink.bind(("127.0.0.1", 0))
    port = str(sink.getsockname()[1])
    rows = []
    with harness.Device(platform) as dev:
        for name in ("station-feed", "station-feed.uc", "station-send"):
            dev.install(os.path.join(FEED, name), "/usr/bin/" + name)
        dev.install(reporter, "/usr/bin/station-reporter")
        dev.install(os.path.join(TESTS, "feed", "iw"), "/usr/sbin/iw")
        dev.install(os.path.join(TESTS, "feed", "hostapd.uc"), "/usr/share/hostapd.uc", 0o644)
        # Debian's valgrind is a wrapper script around valgrind.bin.
        for tool in ("strace", "valgrind", "valgrind.bin"):
            dev.install(shutil.which(tool) or "/usr/bin/" + tool, "/usr/bin/" + tool)
        os.makedirs(dev.path("/usr/libexec/valgrind"), exist_ok=True)
        subprocess.run(["mount", "--bind", "-o", "ro", "/usr/libexec/valgrind",
                        dev.path("/usr/libexec/valgrind")], check=True)
        dev.write("/etc/station.key", "a key for the benchmark\n")
        # The BSS's address: a bridge stands in for the interface, as in the ucode suite.
        subprocess.run(["ip", "link", "add", "wlan1", "address", "02:00:00:00:01:00", "type",
                        "bridge"], check=True)
        os.makedirs(dev.path("/sys"), exist_ok=True)
        subprocess.run(["mount", "-t", "sysfs", "sysfs", dev.path("/sys")], check=True)
        hostapd = dev.popen(["ucode", "/usr/share/hostapd.uc", "wlan1:5180"])
        while "test.hostapd" not in dev.run(["ubus", "list"]).stdout:
            pass
        for n in CLIENTS:
            folder = dataset(dev, n)
            clients = ",".join('"%s":{"signal":-%d,"rate":54}' % (mac(i), 40 + i % 50)
                               for i in range(n))
            dev.ubus("call", "test.hostapd", "clients",
                     '{"ifname":"wlan1","clients":{%s}}' % clients)
            dev.write("/tmp/lines", "".join("020000000100,%s,1796738591,-40,36,54,1\n" % mac(i)
                                             .replace(":", "").upper() for i in range(n)))
            sender = measure(dev, ["sh", "-c", "station-send 127.0.0.1 %s </tmp/lines >/dev/null"
                                   % port])
            for keyed in (False, True):
                key = " -k /etc/station.key" if keyed else ""
                awk = measure(dev, ["sh", "-c", "station-feed%s | station-send 127.0.0.1 %s "
                                    ">/dev/null" % (key, port)], env={"IW_RECORDED": folder})
                uc = [measure(dev, ["station-feed.uc", "-i", "1", "-n", str(r)] +
                              (["-k", "/etc/station.key"] if keyed else []) +
                              ["127.0.0.1", port]) for r in (1, 3)]
                ucode = tuple((b - a) // 2 for a, b in zip(*uc))
                rows.append((n, keyed, awk, ucode, sender))
        hostapd.terminate()
    print("A round of each feed, station-send and its reporter runs included")
    print("%8s %11s %22s %22s %22s" % ("clients", "pseudonyms", "sh/awk feed", "ucode feed",
                                       "of which station-send"))
    print("%8s %11s" % ("", "") + " %9s %12s" % ("processes", "instructions") * 3)
    for n, keyed, (ap, ai), (up, ui), (sp, si) in rows:
        print("%8d %11s %9d %12d %9d %12d %9d %12d" % (n, "yes" if keyed else "no", ap, ai, up,
                                                      ui, sp, si))


if __name__ == "__main__":
    main()
