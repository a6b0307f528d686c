#!/usr/bin/env python3
"""station-decode under the faults a busy receiving end meets, all on loopback: a reader of its
output that is slow, stopped or stuck, a stopped decoder, junk beside valid senders, a full disk
and closed descriptors. Whatever is lost must be counted and told, and the counts must add up
to what was sent. Runs in a private mount namespace, where it mounts a tiny tmpfs.

usage: decoder_loss_e2e.py STATION_DECODE
"""
import fcntl, os, re, signal, socket, subprocess, sys, tempfile, threading, time, unittest

import sandbox
from sandbox import start_decoder
from wire import EXAMPLE_RECORD as RECORD, MAX_RECORDS, report

DECODER = None
FULL = report([RECORD] * MAX_RECORDS)
SUMMARY = re.compile(r"station-decode: (\d+) reports decoded, (\d+) records printed, (\d+) "
                     r"refused, (\d+) dropped, (\d+) not written$", re.M)
F_SETPIPE_SZ = 1031
SMALL_BUFFER = "65536"  # room for a few dozen full reports: bursts overflow it at once


def summary(err):
    """(decoded, printed, refused, dropped, not written) of the last summary line."""
    return tuple(int(n) for n in SUMMARY.findall(err)[-1])


def send(port, datagrams, source="127.0.0.1", family=socket.AF_INET, host="127.0.0.1"):
    with socket.socket(family, socket.SOCK_DGRAM) as s:
        s.bind((source, 0))
        for d in datagrams:
            s.sendto(d, (host, port))


def small_pipe():
    """A pipe that holds one page: a reader that does not read blocks its writer at once."""
    r, w = os.pipe()
    fcntl.fcntl(w, F_SETPIPE_SZ, 4096)
    return r, w


def read_slowly(fd, into, chunk=4096, pause=0.01):
    """Reads fd to its end, chunk bytes every pause seconds, in a thread."""
    def run():
        with os.fdopen(fd, "rb") as f:
            while True:
                data = f.read1(chunk)
                if not data:
                    return
                into.append(data)
                time.sleep(pause)
    thread = threading.Thread(target=run)
    thread.start()
    return thread


def descriptors(pid):
    """What each open descriptor of pid is; the shell before exec may close some meanwhile."""
    links = {}
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            links[fd] = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except FileNotFoundError:
            pass
    return links


def record_lines(data):
    """The whole record lines of CSV output, the header not included."""
    return [line for line in data.split(b"\n")[1:-1] if line]


class Losses(unittest.TestCase):
    def test_a_stopped_decoder_counts_the_burst_it_dropped_and_count_ends(self):
        proc, port = start_decoder(DECODER, "127.0.0.1:0", "--buffer", SMALL_BUFFER,
                                   "--count", "400")
        proc.send_signal(signal.SIGSTOP)
        send(port, [FULL] * 400)
        proc.send_signal(signal.SIGCONT)
        out, err = proc.communicate(timeout=10)
        decoded, printed, refused, dropped, unwritten = summary(err.decode())
        self.assertEqual((decoded + dropped, refused, unwritten), (400, 0, 0))
        self.assertGreater(dropped, 0)
        self.assertEqual((len(record_lines(out)), printed), (decoded * MAX_RECORDS, decoded * MAX_RECORDS))
        self.assertEqual(proc.returncode, 1)

    def test_a_slow_reader_loses_datagrams_and_every_one_is_counted(self):
        r, w = small_pipe()
        proc, port = start_decoder(DECODER, "127.0.0.1:0", "--buffer", SMALL_BUFFER,
                                   "--count", "300", stdout=w)
        os.close(w)
        chunks = []
        reader = read_slowly(r, chunks)
        send(port, [FULL] * 300)
        err = proc.communicate(timeout=20)[1].decode()
        reader.join()
        decoded, printed, _, dropped, unwritten = summary(err)
        self.assertEqual((decoded + dropped, unwritten), (300, 0))
        self.assertGreater(dropped, 0)
        self.assertEqual((len(record_lines(b"".join(chunks))), printed),
                         (decoded * MAX_RECORDS, decoded * MAX_RECORDS))
        self.assertEqual(proc.returncode, 1)

    def test_a_stuck_reader_does_not_hold_a_stop_and_the_unwritten_are_told(self):
        r, w = small_pipe()
        proc, port = start_decoder(DECODER, "127.0.0.1:0", stdout=w)
        os.close(w)
        send(port, [FULL] * 50)
        time.sleep(0.3)
        started = time.monotonic()
        proc.send_signal(signal.SIGTERM)
        err = proc.communicate(timeout=10)[1].decode()
        took = time.monotonic() - started
        with os.fdopen(r, "rb") as f:
            out = f.read()
        decoded, printed, _, dropped, unwritten = summary(err)
        queued = re.findall(r"^station-decode: (\d+) datagrams still queued at the stop, not "
                            r"decoded$", err, re.M)
        self.assertLess(took, 2.0)
        self.assertEqual((decoded + sum(int(n) for n in queued), dropped), (50, 0))
        self.assertGreater(unwritten, 0)
        self.assertEqual((len(record_lines(out)), printed + unwritten), (printed, decoded * MAX_RECORDS))
        self.assertIn("station-decode: output blocked at the end: %d records not written\n"
                      % unwritten, err)
        self.assertEqual(proc.returncode, 1)

    def test_a_full_disk_is_an_error_that_says_what_was_lost(self):
        disk = tempfile.mkdtemp()
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16k", "full", disk], check=True)
        try:
            with open(os.path.join(disk, "out.csv"), "wb") as out:
                proc, port = start_decoder(DECODER, "127.0.0.1:0", "--count", "40", stdout=out)
                send(port, [FULL] * 40)
                err = proc.communicate(timeout=10)[1].decode()
            with open(os.path.join(disk, "out.csv"), "rb") as f:
                written = f.read()
        finally:
            subprocess.run(["umount", disk], check=True)
        self.assertIn("station-decode: cannot write output: No space left on device\n", err)
        decoded, printed, _, _, unwritten = summary(err)
        self.assertTrue(written.endswith(b"\n"), written[-80:])
        self.assertEqual(len(record_lines(written)), printed)
        self.assertGreater(unwritten, 0)
        self.assertEqual(printed + unwritten, decoded * MAX_RECORDS)
        self.assertIn("station-decode: %d records not written\n" % unwritten, err)
        self.assertEqual(proc.returncode, 1)


class Senders(unittest.TestCase):
    def test_junk_beside_valid_senders_is_told_a_few_times_and_nothing_valid_is_lost(self):
        proc, port = start_decoder(DECODER, "127.0.0.1:0", "--count", "2100")
        # Its messages read slowly: they must not hold the decoding up.
        fcntl.fcntl(proc.stderr.fileno(), F_SETPIPE_SZ, 4096)
        chunks = []
        reader = read_slowly(os.dup(proc.stderr.fileno()), chunks)
        proc.stderr.close()
        def flood():  # in bursts a stock net.core.rmem_max holds, so that nothing is dropped
            for _ in range(20):
                send(port, [b"junk"] * 100, "127.0.0.2")
                time.sleep(0.002)
        junk = threading.Thread(target=flood)
        junk.start()
        send(port, [report([RECORD])] * 100, "127.0.0.3")
        junk.join()
        out = proc.communicate(timeout=20)[0]
        reader.join()
        err = b"".join(chunks).decode()
        self.assertEqual(len(record_lines(out)), 100)
        self.assertEqual(summary(err), (100, 100, 2000, 0, 0))
        told = re.findall(r"^station-decode: 127\.0\.0\.2:\d+: header: too short$", err, re.M)
        self.assertEqual(len(told), 5)
        self.assertIn("station-decode: 127.0.0.2: 1995 more refused in 10 s\n", err)
        self.assertEqual(proc.returncode, 0)

    def test_statistics_by_sender_on_sigusr1_and_every_interval_and_sighup_is_ignored(self):
        # A buffer every kernel grants: no warning among the lines read one by one.
        proc, port = start_decoder(DECODER, "0", "--stats", "1", "--buffer", "131072", text=True)
        send(port, [report([RECORD] * 2)] * 2, "127.0.0.2")
        send(port, [b"junk"], "::1", socket.AF_INET6, "::1")
        self.assertRegex(proc.stderr.readline(), r"::1\]:\d+: header: too short\n$")
        proc.send_signal(signal.SIGHUP)
        proc.send_signal(signal.SIGUSR1)
        started = time.monotonic()
        blocks = []
        for _ in range(2):  # the one asked for, then the next of the interval
            first = proc.stderr.readline()
            blocks.append([first] + [proc.stderr.readline() for _ in range(2)])
        self.assertLess(time.monotonic() - started, 2.5)
        for block in blocks:
            self.assertRegex(block[0], r"^station-decode: statistics after \d+\.\d s: 2 reports "
                                       r"decoded, 4 records printed, 1 refused, 0 dropped, "
                                       r"0 not written, 2 senders\n$")
            self.assertEqual(block[1:], [
                "station-decode: sender 127.0.0.2: 2 reports, 4 records, 0 refused\n",
                "station-decode: sender ::1: 0 reports, 0 records, 1 refused\n"])
        proc.send_signal(signal.SIGTERM)
        proc.communicate(timeout=10)
        self.assertEqual(proc.returncode, 0)

    def test_only_allowed_senders_are_decoded(self):
        proc, port = start_decoder(DECODER, "0", "--allow", "127.0.0.3/32", "--allow", "::1/128",
                                   "--allow", "10.0.0.0/8", "--count", "3", text=True)
        send(port, [report([RECORD])], "127.0.0.2")
        send(port, [report([RECORD])], "127.0.0.3")
        send(port, [report([RECORD])], "::1", socket.AF_INET6, "::1")
        out, err = proc.communicate(timeout=10)
        self.assertEqual(sorted(line.split(":")[0] for line in out.splitlines()[1:]),
                         ["127.0.0.3", "["])
        self.assertRegex(err, r"station-decode: 127\.0\.0\.2:\d+: sender not allowed\n")
        self.assertEqual(summary(err), (2, 2, 1, 0, 0))


class Descriptors(unittest.TestCase):
    def test_a_closed_stdout_refuses_to_start_and_a_closed_stdin_is_an_error(self):
        for command, said in (
                ('exec "$0" listen 127.0.0.1:0 >&-', "cannot write output: Bad file descriptor"),
                ('exec "$0" dump >&-', "cannot write output: Bad file descriptor"),
                ('exec "$0" dump <&-', "cannot read input: Bad file descriptor")):
            with self.subTest(command=command):
                r = subprocess.run(["sh", "-c", command, DECODER], capture_output=True, text=True,
                                   timeout=10)
                self.assertEqual((r.returncode, r.stderr.splitlines()[0]),
                                 (1, "station-decode: " + said))

    def test_the_socket_never_takes_a_closed_stdin_or_stderr(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        proc = subprocess.Popen(["sh", "-c", 'exec "$0" listen 127.0.0.1:$1 --count 1 <&- 2>&-',
                                 DECODER, str(port)], stdout=subprocess.PIPE)
        deadline = time.monotonic() + 5
        while not any(link.startswith("socket:") for link in descriptors(proc.pid).values()) \
                and time.monotonic() < deadline:
            time.sleep(0.01)
        standard = {fd: link for fd, link in descriptors(proc.pid).items() if int(fd) <= 2}
        # The socket may not be bound yet: send until the one datagram counted ends the run.
        deadline = time.monotonic() + 10
        while proc.poll() is None and time.monotonic() < deadline:
            send(port, [report([RECORD])])
            time.sleep(0.1)
        out = proc.communicate(timeout=10)[0].decode()
        self.assertEqual(list(standard), ["1"])
        self.assertFalse(standard["1"].startswith("socket:"))
        self.assertRegex(out, r"^from,.*\n127\.0\.0\.1:\d+,1,A0B1C2D3E4F5,.*\n$")
        self.assertEqual(proc.returncode, 0)


class ReceiveBuffer(unittest.TestCase):
    def test_a_buffer_smaller_than_asked_is_warned_naming_the_limit(self):
        with open("/proc/sys/net/core/rmem_max") as f:
            asked = min(int(f.read()) * 2, 1 << 30)
        proc, _ = start_decoder(DECODER, "127.0.0.1:0", "--buffer", str(asked), text=True)
        warning = proc.stderr.readline()
        proc.terminate()
        proc.communicate(timeout=10)
        self.assertRegex(warning, r"^station-decode: warning: receive buffer is \d+ bytes, not "
                                  r"the %d asked: net.core.rmem_max caps it" % asked)


if __name__ == "__main__":
    DECODER = os.path.abspath(sys.argv[1])
    sandbox.enter(__file__, sys.argv[1:])
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[2:])
