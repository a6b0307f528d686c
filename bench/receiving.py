#!/usr/bin/env python3
"""Receiving benchmark, not a test. A load generator sends full 18-record reports over
loopback as fast as it can, pinned to one core while the receiver has another; a receiver's
rate is the records it took in divided by the generator's sending time, so a receiver that
keeps up scores the generator's own rate and one that cannot scores what it managed.
Datagrams lost are those sent but never received. Then the floor receiver, station-decode
writing CSV and station-decode --json, each at the same paced rate, and their CPU per record
against the floor's.

usage: receiving.py LOADGEN FLOOR_RECEIVER STATION_DECODE [REPORTS]
"""
import os, re, signal, socket, subprocess, sys, threading, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import sandbox, wire

RECORDS = wire.MAX_RECORDS
# A full report of the example record, as a reporter sends it.
DATAGRAM = wire.report([wire.EXAMPLE_RECORD] * RECORDS).hex()


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def pinned(core, argv):
    return ["taskset", "-c", str(core)] + argv if os.cpu_count() > 1 else argv


def start_floor(floor):
    port = free_port()
    proc = subprocess.Popen(pinned(1, [floor, str(port)]), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    proc.stderr.readline()  # listening
    return proc, port


def start_station_decode(decoder, *options):
    return sandbox.start_decoder(pinned(1, [decoder]), "127.0.0.1:0", *options,
                                 stdout=subprocess.DEVNULL, text=True)


def measure(start, loadgen, reports, rate=None):
    """Runs the receiver start() starts against loadgen; returns (received, seconds, sent, cpu),
    cpu the receiver's user and system seconds."""
    proc, port = start()
    gen = subprocess.run(pinned(0, [loadgen, str(port), str(reports), DATAGRAM] +
                                ([str(rate)] if rate else [])),
                         capture_output=True, text=True, check=True)
    sent, seconds = int(gen.stdout.split()[0]), float(gen.stdout.split()[1])
    time.sleep(0.5)
    proc.send_signal(signal.SIGTERM)
    err = proc.stderr.read()
    _, _, usage = os.wait4(proc.pid, 0)
    proc.returncode = 0
    if proc.stdout:
        received = int(proc.stdout.read())
    else:
        m = re.search(r"(\d+) reports decoded, \d+ records printed, (\d+) refused", err)
        received = int(m.group(1)) + int(m.group(2))
    return received, seconds, sent, usage.ru_utime + usage.ru_stime


def paced(receivers, loadgen, reports, rate, runs=3):
    """Each receiver (name, start) at the same pacing, their runs taken in turn so that the
    machine's other work weighs on all alike. Returns, by name, (lost, sent, CPU ns/record) of
    the cheapest run: other work only adds."""
    best = {}
    for _ in range(runs):
        for name, start in receivers:
            received, _, sent, cpu = measure(start, loadgen, reports, rate)
            ns = cpu * 1e9 / (received * RECORDS)
            if name not in best or ns < best[name][2]:
                best[name] = (sent - received, sent, ns)
    return best


def slow_reader(decoder, loadgen, reports, chunk=65536, pause=0.01):
    """station-decode --count REPORTS writing to a reader that takes chunk bytes every pause
    seconds, sent REPORTS flat out. Returns (decoded, dropped as reported, records read)."""
    proc, port = sandbox.start_decoder(pinned(1, [decoder]), "127.0.0.1:0", "--count",
                                       str(reports), text=True)
    read = [0]

    def reader():
        while True:
            data = proc.stdout.buffer.read1(chunk)
            if not data:
                return
            read[0] += data.count(b"\n")
            time.sleep(pause)

    thread = threading.Thread(target=reader)
    thread.start()
    subprocess.run(pinned(0, [loadgen, str(port), str(reports), DATAGRAM]), capture_output=True,
                   check=True)
    err = proc.stderr.read()  # the reader thread alone reads stdout
    proc.wait()
    thread.join()
    m = re.search(r"(\d+) reports decoded, \d+ records printed, \d+ refused, (\d+) dropped", err)
    return int(m.group(1)), int(m.group(2)), read[0] - 1


def main():
    loadgen, floor, decoder = sys.argv[1:4]
    reports = int(sys.argv[4]) if len(sys.argv) > 4 else 200000
    print("receiving (%d reports of %d records sent flat out over loopback with sendmmsg;"
          " CPU: the receiver's user+system time per record received)" % (reports, RECORDS))
    rates = {}
    for name, start in (("floor (recvmmsg)", lambda: start_floor(floor)),
                        ("station-decode", lambda: start_station_decode(decoder))):
        received, seconds, sent, cpu = measure(start, loadgen, reports)
        rates[name] = received * RECORDS / seconds
        print("  %-18s %10.0f records/s, %7d of %d datagrams lost, CPU %6.1f ns/record"
              % (name, rates[name], sent - received, sent, cpu * 1e9 / (received * RECORDS)))
    print("  ratio %.2f (goal: at least 0.80)" % (rates["station-decode"] /
                                                   rates["floor (recvmmsg)"]))
    rate, seconds = 20000, 5
    print("paced (%d reports/s for %d s, the cheapest of 3 runs each; CPU per record received)"
          % (rate, seconds))
    receivers = (("floor (recvmmsg)", lambda: start_floor(floor)),
                 ("station-decode", lambda: start_station_decode(decoder)),
                 ("station-decode --json", lambda: start_station_decode(decoder, "--json")))
    best = paced(receivers, loadgen, rate * seconds, rate)
    for name, _ in receivers:
        lost, sent, ns = best[name]
        print("  %-22s %6d of %d datagrams lost (goal: 0), CPU %6.1f ns/record"
              % (name, lost, sent, ns))
    floor_ns = best["floor (recvmmsg)"][2]
    for name, goal in (("station-decode", 1.6), ("station-decode --json", 2.0)):
        print("  %s: ratio %.2f to the floor (goal: at most %.2f)"
              % (name, best[name][2] / floor_ns, goal))
    sent = 50000
    decoded, dropped, read = slow_reader(decoder, loadgen, sent)
    print("slow reader: %d reports flat out, stdout read 64 KiB every 10 ms: %d decoded, "
          "%d dropped as reported, %d as sent less decoded (goal: equal); %d of %d records "
          "printed were read" % (sent, decoded, dropped, sent - decoded, read, decoded * RECORDS))


if __name__ == "__main__":
    main()
