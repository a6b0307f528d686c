#!/usr/bin/env python3
"""Receiving benchmark, not a test. A load generator sends full 18-record reports over
loopback as fast as it can, pinned to one core while the receiver has another; a receiver's
rate is the records it took in divided by the generator's sending time, so a receiver that
keeps up scores the generator's own rate and one that cannot scores what it managed.
Datagrams lost are those sent but never received.

usage: receiving.py LOADGEN FLOOR_RECEIVER STATION_DECODE [REPORTS]
"""
import os, re, signal, socket, subprocess, sys, time

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


def start_station_decode(decoder):
    return sandbox.start_decoder(pinned(1, [decoder]), "127.0.0.1:0",
                                 stdout=subprocess.DEVNULL, text=True)


def measure(start, loadgen, reports, rate=None):
    """Runs the receiver start() starts against loadgen; returns (received, seconds, sent)."""
    proc, port = start()
    gen = subprocess.run(pinned(0, [loadgen, str(port), str(reports), DATAGRAM] +
                                ([str(rate)] if rate else [])),
                         capture_output=True, text=True, check=True)
    sent, seconds = int(gen.stdout.split()[0]), float(gen.stdout.split()[1])
    time.sleep(0.5)
    proc.send_signal(signal.SIGTERM)
    proc.wait()
    err = proc.stderr.read()
    if proc.stdout:
        received = int(proc.stdout.read())
    else:
        m = re.search(r"(\d+) reports decoded, \d+ records printed, (\d+) refused", err)
        received = int(m.group(1)) + int(m.group(2))
    return received, seconds, sent


def main():
    loadgen, floor, decoder = sys.argv[1:4]
    reports = int(sys.argv[4]) if len(sys.argv) > 4 else 200000
    print("receiving (%d reports of %d records sent flat out over loopback with sendmmsg)"
          % (reports, RECORDS))
    rates = {}
    for name, start in (("floor (recvmmsg)", lambda: start_floor(floor)),
                        ("station-decode", lambda: start_station_decode(decoder))):
        received, seconds, sent = measure(start, loadgen, reports)
        rates[name] = received * RECORDS / seconds
        print("  %-18s %10.0f records/s, %7d of %d datagrams lost"
              % (name, rates[name], sent - received, sent))
    print("  ratio %.2f (goal: at least 0.80)" % (rates["station-decode"] /
                                                   rates["floor (recvmmsg)"]))
    received, _, sent = measure(lambda: start_station_decode(decoder), loadgen, 100000, 20000)
    print("paced: station-decode at 20,000 reports/s for 5 s: %d of %d datagrams lost (goal: 0)"
          % (sent - received, sent))


if __name__ == "__main__":
    main()
