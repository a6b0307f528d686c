"""OpenWrt's own userland as a device for tests: a root file system of BusyBox (/bin/sh is
ash) and the platform built by tests/platform/build.sh (ubusd, ubus, uci, jshn, procd, ucode
with its modules), OpenWrt's shell libraries at their device paths, and syslogd, ubusd and
procd running in it, all in private mount, pid and net namespaces (the net one has only a
loopback, which is up).

    sys.path.insert(0, "tests/platform"); import harness
    harness.enter(__file__, sys.argv[1:])      # first: re-runs the script in the namespaces
                                               # (loopback=False: its loopback stays down;
                                               # mipsel=True: MIPS programs run, see below)
    with harness.Device("build/platform/root") as dev:
        dev.install("src/feed/station-loop", "/usr/bin/station-loop")  # mode 0755 by default
        dev.write("/etc/config/x", "config x 'main'\\n", mode=0o644)
        dev.run(["/etc/init.d/x", "start"])     # CompletedProcess, chrooted, device PATH
        dev.ubus("call", "service", "list")     # the reply as JSON, or None when empty
        dev.log()                               # the system log's lines so far
        dev.wait_log(r"regex", timeout=10)      # the first matching line, else AssertionError
        dev.path("/etc/config/x")               # the device file's path as the test sees it
        dev.processes()                         # [(pid, command line)] alive in the namespace

As root the namespaces are made with `unshare --mount --pid --net --fork`; as any other user in
a user namespace that maps the caller to root (`--user --map-root-user`), where mounting,
chroot and daemons running as "root" work alike. The test process itself stays outside the
device's root, so it reads and writes the device's files through dev.path() and can run
host programs (a receiver on 127.0.0.1, say) in the same network namespace. With mipsel=True the
namespaces are always a user namespace's, whose own binfmt_misc runs 32-bit little-endian MIPS
programs (a device's, with its C library in the root) under qemu-user; the host's registrations
stay untouched. The namespace's
first process only reaps orphans, as an init does; when the test ends, the kernel ends every
process left in it.
"""
import json, os, re, shutil, signal, subprocess, sys, tempfile, time

HERE = os.path.dirname(os.path.abspath(__file__))
OPENWRT_FILES = {  # file in openwrt-files/: its path on the device, its mode
    "rc.common": ("/etc/rc.common", 0o755),
    "functions.sh": ("/lib/functions.sh", 0o644),
    "service.sh": ("/lib/functions/service.sh", 0o644),
    "procd.sh": ("/lib/functions/procd.sh", 0o644),
    "reload_config": ("/sbin/reload_config", 0o755),
    "uci.sh": ("/lib/config/uci.sh", 0o644),
    "jshn.sh": ("/usr/share/libubox/jshn.sh", 0o644),
}
DEVICE_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"
# The host's C library and what the platform's programs link, read-only at the same paths.
HOST_LIBRARIES = ["/usr/lib/x86_64-linux-gnu", "/usr/lib64"]


# qemu's binfmt_misc entry for MIPS32 little-endian executables (ELF class 32, little-endian,
# e_machine 8), escaped as the kernel reads it; F opens the emulator now, so that it runs
# inside a chroot.
QEMU_MIPSEL = (r":qemu-mipsel:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00"
               r"\x02\x00\x08\x00:\xff\xff\xff\xff\xff\xff\xff\x00\xfe\xff\xff\xff\xff\xff"
               r"\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-mipsel-static:F")


def enter(script, args, loopback=True, mipsel=False):
    """Re-runs script with args in private mount, pid and net namespaces, unless already
    there, then brings the loopback up (unless not asked to: sends then fail)."""
    if "PLATFORM_NAMESPACE" not in os.environ:
        root = os.geteuid() == 0 and not mipsel
        os.environ["PLATFORM_NAMESPACE"] = "root" if root else "user"
        user = [] if root else ["--user", "--map-root-user"]
        os.execvp("unshare", ["unshare"] + user + ["--mount", "--propagation", "private",
                              "--pid", "--net", "--fork", sys.executable,
                              os.path.abspath(script)] + args)
    if os.getpid() == 1:
        _become_init()
    if mipsel:
        # The user namespace's own instance, at its usual place; the registration lives as
        # long as this mount, which the namespace keeps.
        instance = "/proc/sys/fs/binfmt_misc"
        _mount("-t", "binfmt_misc", "binfmt_misc", instance)
        with open(os.path.join(instance, "register"), "w") as f:
            f.write(QEMU_MIPSEL + "\n")
    if loopback:
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)


def _become_init():
    """Forks: the first process reaps every orphan until the test's process ends, then
    ends with its status (and with it every process of the namespace)."""
    child = os.fork()
    if child == 0:
        return
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    while True:
        pid, status = os.wait()
        if pid == child:
            os._exit(os.waitstatus_to_exitcode(status))


def _mount(*args):
    subprocess.run(["mount", *args], check=True)


class Device:
    def __init__(self, platform_root):
        self.platform = os.path.abspath(platform_root)
        self.root = None
        self.daemons = []

    # ---- the root file system ----

    def path(self, device_path):
        return os.path.join(self.root, device_path.lstrip("/"))

    def write(self, device_path, text, mode=0o644):
        target = self.path(device_path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "w") as f:
            f.write(text)
        os.chmod(target, mode)

    def install(self, source, device_path, mode=0o755):
        target = self.path(device_path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(source, target)
        os.chmod(target, mode)

    def _build_root(self):
        self.root = tempfile.mkdtemp(prefix="device-")
        _mount("-t", "tmpfs", "device-root", self.root)
        shutil.copytree(self.platform, self.root, symlinks=True, dirs_exist_ok=True,
                        ignore=shutil.ignore_patterns("include", "pkgconfig", "*.a"))
        for folder in ("etc/init.d", "etc/config", "etc/rc.d", "tmp", "var/run/ubus", "var/log",
                       "var/lock", "dev", "proc", "root"):
            os.makedirs(self.path(folder), exist_ok=True)
        os.chmod(self.path("tmp"), 0o1777)
        for host in HOST_LIBRARIES:
            for inside in {host, host.replace("/usr", "", 1)}:
                os.makedirs(self.path(inside), exist_ok=True)
                _mount("--bind", "-o", "ro", host, self.path(inside))
        _mount("-t", "proc", "proc", self.path("/proc"))
        for node in ("null", "zero", "urandom"):
            open(self.path("/dev/" + node), "w").close()
            _mount("--bind", "/dev/" + node, self.path("/dev/" + node))
        self._install_busybox()
        # procd.sh locks with flock, an applet Debian's BusyBox lacks: util-linux's stands in.
        self.install(shutil.which("flock"), "/usr/bin/flock")
        # jsonfilter neither: procd.sh's running and status get jq behind a wrapper.
        self.install(shutil.which("jq"), "/usr/bin/jq")
        self.install(os.path.join(HERE, "jsonfilter"), "/usr/bin/jsonfilter")
        for name, (device_path, mode) in OPENWRT_FILES.items():
            self.install(os.path.join(HERE, "openwrt-files", name), device_path, mode)
        self.write("/etc/passwd", "root:x:0:0:root:/root:/bin/ash\n")
        self.write("/etc/group", "root:x:0:\n")

    def _install_busybox(self):
        """BusyBox's applets where OpenWrt has them, beside what the platform installed."""
        busybox = shutil.which("busybox")
        self.install(busybox, "/bin/busybox")
        listing = subprocess.run([busybox, "--list-full"], capture_output=True, text=True,
                                 check=True).stdout.split()
        for applet in listing:
            link = self.path(applet)
            if not os.path.lexists(link):
                os.makedirs(os.path.dirname(link), exist_ok=True)
                os.symlink("/bin/busybox", link)

    # ---- processes in it ----

    def _chroot(self):
        os.chroot(self.root)
        os.chdir("/")

    def popen(self, command, env=None, **kwargs):
        environ = {"PATH": DEVICE_PATH, "HOME": "/root", "TMPDIR": "/tmp", **(env or {})}
        return subprocess.Popen(command, preexec_fn=self._chroot, env=environ, **kwargs)

    def run(self, command, timeout=60, env=None, **kwargs):
        kwargs.setdefault("capture_output", True)
        kwargs.setdefault("text", True)
        with self.popen(command, env=env, stdout=subprocess.PIPE if kwargs.pop("capture_output")
                        else None, stderr=subprocess.PIPE, **kwargs) as proc:
            out, err = proc.communicate(timeout=timeout)
            return subprocess.CompletedProcess(command, proc.returncode, out, err)

    def ubus(self, *args):
        done = self.run(["ubus", *args])
        if done.returncode != 0:
            raise AssertionError("ubus %s: %s%s" % (" ".join(args), done.stdout, done.stderr))
        return json.loads(done.stdout) if done.stdout.strip() else None

    def processes(self):
        """Every process of the namespace but the test's own and the ones it started daemons
        with, as (pid, command line)."""
        own = {1, os.getpid()} | {d.pid for d in self.daemons}
        found = []
        proc = self.path("/proc")
        for entry in os.listdir(proc):
            if not entry.isdigit() or int(entry) in own:
                continue
            try:
                with open("%s/%s/cmdline" % (proc, entry), "rb") as f:
                    cmdline = f.read().replace(b"\0", b" ").decode().strip()
                with open("%s/%s/stat" % (proc, entry)) as f:
                    state = f.read().rsplit(")", 1)[1].split()[0]
            except OSError:
                continue
            if state != "Z" and cmdline:
                found.append((int(entry), cmdline))
        return found

    def log(self):
        try:
            with open(self.path("/var/log/messages"), errors="replace") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def wait_log(self, pattern, timeout=10, start=0):
        """The first line of the system log from line start on that matches pattern."""
        deadline = time.monotonic() + timeout
        while True:
            for line in self.log()[start:]:
                if re.search(pattern, line):
                    return line
            if time.monotonic() > deadline:
                raise AssertionError("no log line matches %r:\n%s" % (pattern,
                                                                      "\n".join(self.log())))
            time.sleep(0.05)

    def _wait(self, check, what, timeout=10):
        deadline = time.monotonic() + timeout
        while not check():
            if time.monotonic() > deadline:
                raise AssertionError("timed out waiting for " + what)
            time.sleep(0.05)

    def _ubus_has(self, name):
        done = self.run(["ubus", "list", name])
        return done.returncode == 0 and name in done.stdout

    def __enter__(self):
        self._build_root()
        # syslogd's small default rotation size is far above what a test logs.
        self.daemons.append(self.popen(["syslogd", "-n", "-O", "/var/log/messages"]))
        self._wait(lambda: os.path.exists(self.path("/dev/log")), "syslogd")
        self.daemons.append(self.popen(["ubusd"], stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL))
        self._wait(lambda: os.path.exists(self.path("/var/run/ubus/ubus.sock")), "ubusd")
        # Not PID 1, procd serves ubus alone; -S keeps its messages out of a kernel log.
        self.procd_log = open(self.path("/tmp/procd.log"), "w")
        self.daemons.append(self.popen(["procd", "-S"], stdout=self.procd_log,
                                       stderr=subprocess.STDOUT))
        self._wait(lambda: self._ubus_has("service"), "procd's service object")
        return self

    def __exit__(self, *exc):
        for daemon in reversed(self.daemons):
            daemon.terminate()
            try:
                daemon.wait(5)
            except subprocess.TimeoutExpired:
                daemon.kill()
                daemon.wait()
        self.daemons = []
        self.procd_log.close()
        subprocess.run(["umount", "-R", "-l", self.root], check=False)
        os.rmdir(self.root)
        return False
