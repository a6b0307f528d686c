#!/usr/bin/env python3
"""Presence benchmark, not a test. A generated fleet's station-decode output (APS access
points with CLIENTS clients each, one report round every 30 s, 2% of the clients roaming to
the next access point each round with the old one still reporting them a round, weaker, 1%
leaving and replaced by new ones, 3 one-off probing pseudonyms per access point and round) is
fed from a file to station-presence pinned to one core. Figures: records/s of its CPU time,
CPU per record against station-decode's own writing the same format (under the load
generator: the other end of the pipeline), database rows
written, and memory per tracked client (peak RSS of this fleet over a fleet of 20 access
points). End to end, from the datagrams to the events: station-decode listen | station-presence
against station-presence --listen under the same load generator, the receivers on one core.

usage: presence.py LOADGEN STATION_DECODE STATION_PRESENCE [APS [CLIENTS [ROUNDS]]]
"""
import os, random, re, signal, subprocess, sys, tempfile, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from receiving import DATAGRAM, RECORDS, measure, pinned  # noqa: E402
import sandbox  # noqa: E402  (on the path receiving.py sets)

START = 1796714000.0


def random_mac(rng, pseudonym):
    """A random unicast MAC, as real clients have: a hash table meets them scattered.
    Pseudonyms (randomised probes) have the locally administered bit set."""
    mac = rng.getrandbits(48) & ~(0x03 << 40)
    return mac | (0x02 << 40) if pseudonym else mac


def generate(path, aps, per_ap, rounds, json):
    """Writes the fleet's lines; returns the number of records."""
    rng = random.Random(7)
    at = [i // per_ap for i in range(aps * per_ap)]  # client index -> access point
    macs = [random_mac(rng, False) for _ in at]
    records = 0
    with open(path, "w") as out:
        for r in range(rounds):
            for i in rng.sample(range(len(at)), len(at) // 100):  # leave, replaced
                macs[i] = random_mac(rng, False)
                at[i] = rng.randrange(aps)
            roaming = {i: (at[i] + 1) % aps for i in rng.sample(range(len(at)), len(at) // 50)}
            here = [[] for _ in range(aps)]
            for i, ap in enumerate(at):
                here[ap].append((macs[i], -80 if i in roaming else -50 - i % 20, 1))
            for i, ap in roaming.items():
                here[ap].append((macs[i], -55, 1))
                at[i] = ap
            lines = []
            for ap in range(aps):
                rows = here[ap] + [(random_mac(rng, True), -88, 0) for _ in range(3)]
                received = START + r * 30 + ap * 20.0 / aps
                address = "10.%d.%d.1" % (ap // 256, ap % 256)
                for n, (mac, rssi, assoc) in enumerate(rows):
                    sender = "%s:%d" % (address, 40000 + n // RECORDS)
                    if json:
                        lines.append('{"from":"%s","record":%d,"apmac":"A0%010X","mumac":"%012X",'
                                     '"timestamp":%d,"rssi":%d,"channel":6,"assoc":%d,'
                                     '"received":%.3f}\n' % (sender, n % RECORDS + 1, ap, mac,
                                                             received, rssi, assoc, received))
                    else:
                        lines.append("%s,%d,A0%010X,%012X,%d,%d,6,%d,%.3f\n" % (
                            sender, n % RECORDS + 1, ap, mac, received, rssi, assoc, received))
                records += len(rows)
            out.write("".join(lines))
    return records


# The most CPU per record station-presence may take, as a multiple of station-decode's writing
# the same format: so that one pipeline keeps up with what its receiving end takes in.
GOALS = {"csv": 1.5, "json": 2.5, "csv --db": 3.0}
BYTES_PER_CLIENT = 128
FLEET = (1000, 50, 12)  # access points, clients each, rounds: the fleet measured by default


def run(presence, path, *options, repeats=3):
    """station-presence on the file, the fastest of a few runs (each from a fresh database):
    returns (cpu seconds, peak RSS KiB, its summary)."""
    best = None
    db = options[options.index("--db") + 1] if "--db" in options else None
    for _ in range(repeats):
        for suffix in ("", "-wal", "-shm"):
            if db and os.path.exists(db + suffix):
                os.remove(db + suffix)
        result = run_once(presence, path, *options)
        best = result if best is None or result[0] < best[0] else best
    return best


def run_once(presence, path, *options):
    """One run. The peak is VmHWM read while it runs: a child's ru_maxrss would count this
    script's own memory, which the child has at fork."""
    with open(path) as stdin, tempfile.TemporaryFile("w+") as err:
        proc = subprocess.Popen(pinned(1, [presence, *options]), stdin=stdin,
                                stdout=subprocess.DEVNULL, stderr=err, text=True)
        peak = 0
        while True:
            pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
            if pid:
                break
            try:
                with open("/proc/%d/status" % proc.pid) as f:
                    peak = max([peak] + [int(l.split()[1]) for l in f if l.startswith("VmHWM")])
            except OSError:
                pass
            time.sleep(0.002)
        proc.returncode = 0
        err.seek(0)
        text = err.read()
    if status != 0:
        raise SystemExit("station-presence failed: " + text)
    return usage.ru_utime + usage.ru_stime, peak, text.strip().splitlines()[-1]


def callgrind(log):
    """Runs a program under callgrind, its count of instructions in log."""
    return lambda argv: ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                         "--log-file=" + log] + argv


def instructions(logs):
    return sum(int(re.search(r"Collected : (\d+)", open(log).read()).group(1)) for log in logs)


def end_to_end(loadgen, decoder, presence, reports, rate, fmt=None, counting=None):
    """The load generator's reports (paced at rate a second, or flat out when rate is 0) to
    station-presence --listen or, with fmt ("csv", "json"), through station-decode's output in
    that format; with counting (a folder), under callgrind. Returns (records station-presence
    took in, CPU seconds of the receiving processes, instructions they executed or 0)."""
    logs = [os.path.join(counting, "%d.log" % n) for n in range(2)] if counting else []
    run = [callgrind(log) if counting else lambda argv: argv for log in logs or [0, 0]]
    if fmt:
        first, port = sandbox.start_decoder(pinned(1, run[0]([decoder])), "127.0.0.1:0",
                                            "--heartbeats",
                                            *(["--json"] if fmt == "json" else []), text=True)
        last = subprocess.Popen(pinned(1, run[1]([presence])), stdin=first.stdout,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        first.stdout.close()
        logs = logs[:2]
    else:
        first = last = subprocess.Popen(
            pinned(1, run[0]([presence, "--listen", "127.0.0.1:0"])), stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE, text=True)
        logs = logs[:1]
        port = int(re.search(r":(\d+)$", first.stderr.readline()).group(1))
    subprocess.run(pinned(0, [loadgen, str(port), str(reports), DATAGRAM] +
                          ([str(rate)] if rate else [])), capture_output=True, check=True)
    time.sleep(0.5)
    first.send_signal(signal.SIGTERM)
    cpu, said = 0.0, ""
    for proc in dict.fromkeys((first, last)):
        said = proc.stderr.read()
        _, _, usage = os.wait4(proc.pid, 0)
        proc.returncode = 0
        cpu += usage.ru_utime + usage.ru_stime
    records = int(re.search(r"(\d+) lines, (\d+) records", said).group(2))
    return records, cpu, instructions(logs) if logs else 0


def main():
    loadgen, decoder, presence = sys.argv[1:4]
    aps, per_ap, rounds = [int(a) for a in sys.argv[4:7]] + list(FLEET[len(sys.argv[4:7]):])
    work = tempfile.mkdtemp()
    decode_ns = {}  # station-decode's CPU per record writing each format, the pipeline's other end
    for fmt, options in (("json", ["--json"]), ("csv", [])):
        received, _, _, cpu = measure(
            lambda: sandbox.start_decoder(pinned(1, [decoder]), "127.0.0.1:0", *options,
                                          stdout=subprocess.DEVNULL, text=True), loadgen, 200000)
        decode_ns[fmt] = cpu * 1e9 / (received * RECORDS)
    print("presence (%d access points x %d clients, %d rounds of 30 s: roaming 2%%, leaving 1%%"
          " a round, 3 one-off probes per access point a round; one core)"
          % (aps, per_ap, rounds))
    for fmt in ("json", "csv"):
        print("  station-decode writing %s under the load generator: %.1f ns CPU/record"
              % (fmt.upper(), decode_ns[fmt]))
    rows = {}
    for fmt in ("json", "csv"):
        path = os.path.join(work, "fleet." + fmt)
        records = generate(path, aps, per_ap, rounds, fmt == "json")
        for label, options in (("", []), (" --db", ["--db", os.path.join(work, fmt + ".db")]),
                               (" --db --keep 1", ["--db", os.path.join(work, fmt + "k.db"),
                                                   "--keep", "1"])):
            if label and fmt == "json":
                continue
            cpu, rss, summary = run(presence, path, *options)
            ns = cpu * 1e9 / records
            goal = GOALS.get(fmt + label)
            print("  %-20s %9d records/s, %7.1f ns CPU/record, %5.2fx station-decode's (%s)%s"
                  % (fmt + label, records / cpu, ns, ns / decode_ns[fmt], fmt.upper(),
                     " (goal: at most %.2f)" % goal if goal else ""))
            m = re.search(r"(\d+) rows written in (\d+) transactions", summary)
            if m:
                rows[label] = int(m.group(1))
                print("  %-20s %9d rows written: %.1f per second of the fleet's time, %.4f per"
                      " record" % ("", rows[label], rows[label] / (rounds * 30.0),
                                   rows[label] / records))
            if fmt == "csv" and not label:
                m = re.search(r"(\d+) clients tracked", summary)
                tracked, big = int(m.group(1)), rss
                print("  %-20s %s" % ("", summary.split("; ", 1)[1]))
        os.remove(path)
    small = os.path.join(work, "small.csv")
    generate(small, 20, per_ap, rounds, False)
    _, rss, summary = run(presence, small)
    small_tracked = int(re.search(r"(\d+) clients tracked", summary).group(1))
    print("  memory: peak RSS %d KiB with %d clients tracked, %d KiB with %d: %.0f bytes per"
          " tracked client (goal: at most %d)" % (big, tracked, rss, small_tracked,
                                                  (big - rss) * 1024.0 / (tracked - small_tracked),
                                                  BYTES_PER_CLIENT))
    print("end to end: the load generator's full reports (one access point, the same 18"
          " clients) to the events, the receiving processes on one core, the cheapest of 3 runs")
    for rate, reports in ((20000, 100000), (0, 200000)):
        pace = "%d reports/s" % rate if rate else "flat out"
        ns = {}
        for name, fmt in (("station-presence --listen", None), ("station-decode | presence, CSV",
                                                                "csv"),
                          ("station-decode | presence, JSON", "json")):
            # The cheapest of three runs: other work on the machine only adds.
            records, cpu, _ = min((end_to_end(loadgen, decoder, presence, reports, rate, fmt)
                                   for _ in range(3)), key=lambda run: run[1] / run[0])
            ns[name] = cpu * 1e9 / records
            print("  %-8s %-31s %8d of %d records, CPU %6.1f ns/record" % (
                pace, name, records, reports * RECORDS, ns[name]))
        print("  %-8s --listen against the CSV pipe: %.2fx the CPU per record (goal: at most 1)"
              % (pace, ns["station-presence --listen"] / ns["station-decode | presence, CSV"]))
    # Instructions do not move with the machine's load. A run of 1,000 reports more than
    # another, both at 500 a second, leaves out what starting and stopping cost.
    counts = {}
    for name, fmt in (("station-presence --listen", None), ("station-decode | presence, CSV",
                                                            "csv")):
        runs = [end_to_end(loadgen, decoder, presence, n, 500, fmt, work) for n in (1000, 2000)]
        counts[name] = (runs[1][2] - runs[0][2]) / (runs[1][0] - runs[0][0])
        print("  callgrind %-31s %6.0f instructions/record" % (name, counts[name]))
    print("  callgrind --listen against the CSV pipe: %.2fx the instructions per record"
          % (counts["station-presence --listen"] / counts["station-decode | presence, CSV"]))
    for name in os.listdir(work):
        os.remove(os.path.join(work, name))
    os.rmdir(work)


if __name__ == "__main__":
    main()
