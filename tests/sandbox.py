"""What the end-to-end suites share: a private /dev with its own /dev/log, the datagrams
that arrive on a socket, the reporter's hex dump, and station-decode listening on its port.
The datagrams themselves are built and read with wire."""
import os, re, socket, subprocess, sys, tempfile


def enter(script, args):
    """Re-runs script with args in a private mount namespace (without root, in a user namespace
    that maps the caller to root, which may mount there but nowhere else), then puts a fresh
    /dev there. Returns the datagram socket bound at /dev/log."""
    if "E2E_PRIVATE_DEV" not in os.environ:
        root = os.geteuid() == 0
        os.environ["E2E_PRIVATE_DEV"] = "root" if root else "user"
        user = [] if root else ["--user", "--map-root-user"]
        os.execvp("unshare", ["unshare"] + user + ["--mount", "--propagation", "private",
                              sys.executable, os.path.abspath(script)] + args)
    return private_dev()


def private_dev():
    """Puts a fresh tmpfs on /dev holding what the program and its emulator open, and a
    datagram socket at /dev/log that receives the program's system-log messages."""
    if os.environ["E2E_PRIVATE_DEV"] == "root":
        dev = tempfile.mkdtemp()
        subprocess.run(["mount", "-t", "tmpfs", "e2e-dev", dev], check=True)
        for node in ("null", "zero", "urandom"):
            open(os.path.join(dev, node), "w").close()
            subprocess.run(["mount", "--bind", "/dev/" + node, os.path.join(dev, node)],
                           check=True)
        subprocess.run(["mount", "--move", dev, "/dev"], check=True)
    else:
        # A user namespace cannot open device nodes: a plain file stands in for /dev/null.
        subprocess.run(["mount", "-t", "tmpfs", "e2e-dev", "/dev"], check=True)
        with open("/dev/null", "w"):
            os.chmod("/dev/null", 0o666)
    log = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    log.bind("/dev/log")
    return log


def take_option(args, name):
    """Removes NAME VALUE from args and returns VALUE, or None."""
    if name not in args:
        return None
    i = args.index(name)
    value = args[i + 1]
    del args[i:i + 2]
    return value


def drain(sock):
    sock.setblocking(False)
    got = []
    while True:
        try:
            got.append(sock.recv(65536))
        except BlockingIOError:
            return got


def parse_syslog(raw, ident=b"station-reporter"):
    """'<12>Mmm dd hh:mm:ss station-reporter: text' gives (12, text): every C library must
    name the program."""
    m = re.match(rb"<(\d+)>.{15} " + re.escape(ident) + rb": (.*)", raw, re.S)
    assert m, raw
    return int(m.group(1)), m.group(2).rstrip(b"\n\0").decode()


def dump(data):
    """The reporter's hex dump of data, as a reader of it expects it."""
    body = "".join("%02X " % b + ("\n" if (i + 1) % 16 == 0 else "") for i, b in enumerate(data))
    return "---\n" + body + "\n+++\n"


def start_decoder(decoder, *args, **popen_kwargs):
    """Starts `decoder listen ARGS...` (decoder a path or the words before "listen") with
    stdout and stderr piped unless popen_kwargs says otherwise, and waits for its
    "station-decode: listening on ADDRESS:PORT" line. Returns (proc, port)."""
    words = [decoder] if isinstance(decoder, str) else list(decoder)
    popen_kwargs = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, **popen_kwargs}
    proc = subprocess.Popen(words + ["listen", *args], **popen_kwargs)
    line = proc.stderr.readline()
    text = line if isinstance(line, str) else line.decode()
    m = re.match(r"station-decode: listening on .+:(\d+)\n?$", text)
    if not m:
        proc.kill()
        proc.wait()
        raise AssertionError("station-decode did not start: %r" % line)
    return proc, int(m.group(1))
