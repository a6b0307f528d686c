#!/usr/bin/env python3
"""station-presence's service unit under a real systemd: Debian's kernel booted in QEMU (TCG, no
KVM) with the host's own /usr shared read-only over virtio-9p under a writable overlay, a small
/etc, /var and this build's programs from the initramfs, and Debian's systemd as PID 1.
tests/systemd_vm/checks, run by that systemd once it is up, drives the unit (start, a report,
reload, a stop with the broker away, a kill), after the README's server quick start has
installed DEB with apt and run the package's service; this side judges what it printed.

usage: systemd_vm.py STATION_PRESENCE STATION_REPORTER DEB [--console FILE]
  --console FILE keeps the VM's console output (the unit's `systemctl status` among it)
"""
import glob, os, re, shutil, sys, tempfile, time, unittest

import quickstart
import sandbox
from wifi_vm import blocks, boot, copy_modules, copy_with_libraries, kernel, write_cpio

HERE = os.path.dirname(os.path.abspath(__file__))
UNIT = os.path.join(HERE, "..", "packaging", "station-presence", "station-presence.service")
MODULES = ("virtio_pci.ko", "9pnet_virtio.ko", "9p.ko", "overlay.ko")
MACHINE_ID = "5374507265736e636556696d54657374\n"
CONFIG = """listen 127.0.0.1:9999
db /var/lib/station-presence/presence.db
mqtt 127.0.0.1:1883
"""
BROKER = "listener 1883 127.0.0.1\nallow_anonymous true\n"
LOGIN_BROKER = ("listener 1884 127.0.0.1\nallow_anonymous false\n"
                "password_file /etc/vm-broker.passwd\n")
CHECKS_UNIT = """[Unit]
Description=station-presence's unit, checked
# Only a reference (nothing starts it): it keeps a stopped unit loaded, its result readable.
After=station-presence.service
[Service]
ExecStart=/usr/local/bin/vm-checks
StandardOutput=tty
StandardError=tty
TTYPath=/dev/ttyS0
# Plain text on the console, no pager waiting for a key; a hung check still ends the boot.
Environment=SYSTEMD_PAGER= SYSTEMD_COLORS=0 TERM=dumb COLUMNS=160
RuntimeMaxSec=420
FailureAction=poweroff-force
"""
# Laid over the root by the checks once the quick start is done, so that the package's unit and
# settings are the ones it runs.
CHECKS_ROOT = "/vm-checks"
# Where the quick start runs, as in a checkout: its .deb in build/packages below.
QUICKSTART = "/root/quickstart"
DPKG_STATE = ("status", "arch", "diversions", "statoverride")
CONSOLE = {}


def place(root, path, text=None, source=None):
    """Writes text, or copies source, to path under root."""
    path = os.path.join(root, path.lstrip("/"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if source:
        shutil.copy(source, path)
    else:
        with open(path, "w") as f:
            f.write(text)


def quickstart_commands():
    """The README's server quick start as the VM runs it: scripts/deb is the deb stage's, the
    rest runs as root, without sudo."""
    first, *rest = quickstart.commands("server")
    if first != "scripts/deb" or not all(c.startswith("sudo ") for c in rest):
        raise ValueError("the server's quick start is no longer scripts/deb and sudo lines")
    return [c[len("sudo "):] for c in rest]


def lay_package_manager(payload, deb):
    """The .deb where the quick start expects it, and what apt and dpkg need: the host's
    package state (the package's dependencies are installed there) and which files each
    package owns (so that dpkg refuses a file of another's), none of their scripts."""
    place(payload, QUICKSTART + "/build/packages/" + os.path.basename(deb), source=deb)
    place(payload, QUICKSTART + "/commands", "\n".join(quickstart_commands()) + "\n")
    for name in DPKG_STATE:
        place(payload, "/var/lib/dpkg/" + name, source="/var/lib/dpkg/" + name)
    for folder in ("/var/lib/dpkg/info", "/var/lib/dpkg/updates", "/var/lib/dpkg/triggers",
                   "/var/lib/apt/lists/partial", "/var/cache/apt/archives/partial",
                   "/var/log/apt"):
        os.makedirs(payload + folder)
    for name in glob.glob("/var/lib/dpkg/info/*.list"):
        shutil.copy(name, payload + "/var/lib/dpkg/info/")
    shutil.copytree("/etc/apt", payload + "/etc/apt", symlinks=True)


def build_payload(payload, presence, reporter, deb):
    """What the init lays over the VM's root: /etc, the reporter, the package, the checks; the
    checks' own unit, settings and station-presence wait in CHECKS_ROOT."""
    place(payload, "/usr/bin/station-reporter", source=reporter)
    place(payload, CHECKS_ROOT + "/usr/bin/station-presence", source=presence)
    lay_package_manager(payload, deb)
    place(payload, "/usr/local/bin/vm-checks", source=os.path.join(HERE, "systemd_vm", "checks"))
    # The host's users and groups (no password in them), mosquitto's among them.
    for name in ("passwd", "group", "nsswitch.conf"):
        place(payload, "/etc/" + name, source="/etc/" + name)
    os.symlink("../usr/lib/os-release", os.path.join(payload, "etc", "os-release"))
    for path, text in (("machine-id", MACHINE_ID), ("hostname", "systemd-vm\n"),
                       ("vm-broker.conf", BROKER), ("vm-login-broker.conf", LOGIN_BROKER),
                       ("systemd/system/vm-checks.service", CHECKS_UNIT)):
        place(payload, "/etc/" + path, text)
    place(payload, CHECKS_ROOT + "/etc/station-presence.conf", CONFIG)
    place(payload, CHECKS_ROOT + "/etc/systemd/system/station-presence.service", source=UNIT)


def build_initramfs(folder, programs):
    root = os.path.join(folder, "root")
    busybox = shutil.which("busybox")
    copy_with_libraries(root, {busybox: "/bin/busybox"})
    for applet in ("sh", "mount", "umount", "insmod", "mkdir", "ln", "chmod", "cp", "poweroff",
                   "switch_root"):
        os.symlink("busybox", os.path.join(root, "bin", applet))
    for name in ("proc", "sys", "dev"):
        os.makedirs(os.path.join(root, name))
    build_payload(os.path.join(root, "payload"), *programs)
    image, modules = kernel()
    copy_modules(root, modules, MODULES)
    shutil.copy(os.path.join(HERE, "systemd_vm", "init"), os.path.join(root, "init"))
    return image, write_cpio(root, os.path.join(folder, "initramfs.cpio"))


def properties(name):
    return dict(l.split("=", 1) for l in CONSOLE[name].splitlines() if "=" in l)


def took(name):
    return int(re.search(r"^took (\d+) ms$", CONSOLE[name], re.M).group(1))


def unit_setting(name):
    with open(UNIT) as f:
        return re.search(r"^%s=(\S+)" % name, f.read(), re.M).group(1)


class Service(unittest.TestCase):
    def ok(self, name):
        self.assertIn("\nstatus 0\n", "\n" + CONSOLE[name], CONSOLE[name])

    def test_start_returns_once_ready_and_listening(self):
        self.ok("start")
        started = properties("started")
        self.assertEqual((started["ActiveState"], started["SubState"]), ("active", "running"))
        self.assertRegex(started["StatusText"], r"^0 lines, 0 records, ")
        # Bound by the program (ss names it as the kernel keeps its name: 15 characters).
        self.assertRegex(CONSOLE["bound"], r"127\.0\.0\.1:9999 .*\(\(\"station-presenc\"")

    def test_runs_as_a_dynamic_user_with_its_state_folder(self):
        uid = CONSOLE["user"].split()[1]
        self.assertTrue(61184 <= int(uid) <= 65519, CONSOLE["user"])
        self.assertIn("station-presence -> private/station-presence", CONSOLE["user"])

    def test_a_report_is_stored_and_counted(self):
        self.ok("report")
        self.ok("stored")
        self.ok("counted")
        retained = dict(l.split(" ", 1) for l in CONSOLE["retained"].splitlines()[:2])
        self.assertEqual(retained["station-presence/status"], "online")
        self.assertRegex(retained["station-presence/counters"], r"^\d+ lines, 1 records, ")

    def test_reload_keeps_the_same_process_running(self):
        self.ok("reload")
        reloaded = properties("reloaded")
        self.assertEqual((reloaded["ActiveState"], reloaded["MainPID"]), ("active", PIDS["reload"]))
        self.assertIn("station-presence: /etc/station-presence.conf read again", CONSOLE["journal"])

    def test_a_stop_with_the_broker_away_is_a_success_and_keeps_everything(self):
        self.ok("stop")
        self.assertLess(took("stop"), 1000 * int(unit_setting("TimeoutStopSec")))
        stopped = properties("stopped")
        self.assertEqual((stopped["ActiveState"], stopped["Result"], stopped["ExecMainStatus"]),
                         ("inactive", "success", unit_setting("SuccessExitStatus")))
        clients = [l.split()[0] for l in CONSOLE["kept"].splitlines()[1:-1]]
        self.assertEqual(clients, ["0A1B2C3D4E01", "0A1B2C3D4E02"])
        undelivered = re.findall(r"; (\d+) MQTT messages not delivered$", CONSOLE["journal"], re.M)
        self.assertGreater(int(undelivered[-1]), 0, CONSOLE["journal"])

    def test_restarted_after_a_kill(self):
        self.ok("restart")
        restarted = properties("restarted")
        self.assertEqual((restarted["ActiveState"], restarted["NRestarts"]), ("active", "1"))
        self.assertNotEqual(restarted["MainPID"], PIDS["kill"])

    def test_a_broken_settings_file_on_reload_keeps_it_running(self):
        self.ok("bad-reload")
        reloaded = properties("bad-reloaded")
        self.assertEqual((reloaded["ActiveState"], reloaded["MainPID"]),
                         ("active", PIDS["bad-reload"]))
        self.assertIn("cannot read the settings again", CONSOLE["journal-end"])

    def test_a_failing_start_is_retried_up_to_the_limit(self):
        self.assertNotIn("\nstatus 0\n", "\n" + CONSOLE["bad-start"])
        self.ok("limit")
        limited = properties("limited")
        self.assertEqual(limited["ActiveState"], "failed")
        tries = CONSOLE["journal-end"].count("/usr/presence.db: cannot open")
        self.assertEqual(tries, int(unit_setting("StartLimitBurst")))

    def test_the_brokers_password_reaches_it_as_a_credential(self):
        self.ok("login")
        self.assertEqual(CONSOLE["logged-in"], "station-presence/status online\nstatus 0\n")

    def test_hardened_and_verified(self):
        self.ok("verify")
        self.assertEqual(CONSOLE["verify"], "status 0\n")
        score = re.search(r"Overall exposure level for station-presence\.service: ([\d.]+)",
                          CONSOLE["security"])
        self.assertLessEqual(float(score.group(1)), 2.0, CONSOLE["security"])


class QuickStart(unittest.TestCase):
    """The README's server quick start, run in the VM before the checks above."""

    def test_the_readme_installs_the_package_the_deb_stage_built(self):
        self.assertEqual(quickstart_commands()[0],
                         "apt install ./build/packages/" + os.path.basename(DEB))

    def test_every_command_succeeds(self):
        for n, command in enumerate(quickstart_commands(), 1):
            with self.subTest(command):
                self.assertIn("\nstatus 0\n", "\n" + CONSOLE["quickstart-%d" % n],
                              CONSOLE["quickstart-%d" % n])

    def test_installing_enables_and_starts_the_packages_own_unit(self):
        self.assertEqual(AFTER[1], "active enabled")
        unit = properties("quickstart-unit")
        self.assertRegex(unit["FragmentPath"], r"^(/usr)?/lib/systemd/system/station-presence\."
                         r"service$")
        self.assertEqual((unit["ActiveState"], unit["UnitFileState"]), ("active", "enabled"))

    def test_now_lists_the_client_that_reported(self):
        rows = CONSOLE["quickstart-%d" % len(quickstart_commands())].splitlines()
        self.assertEqual(rows[0].split()[:5], ["client", "ap", "address", "rssi", "assoc"])
        self.assertEqual([r.split()[:5] for r in rows[1:-1]],
                         [["0A1B2C3D4E00", "A0B1C2D3E4F5", "127.0.0.1", "-60", "1"]])


if __name__ == "__main__":
    args = sys.argv[1:]
    keep = sandbox.take_option(args, "--console")
    programs = [os.path.abspath(a) for a in args[:3]]
    DEB = programs[2]
    started = time.time()
    with tempfile.TemporaryDirectory() as folder:
        image, initramfs = build_initramfs(folder, programs)
        built = time.time()
        console = boot(image, initramfs, [
            "-virtfs", "local,path=/usr,mount_tag=usr,security_model=none,readonly=on,"
            "multidevs=remap"], "systemd.unit=vm-checks.service systemd.show_status=false", 540)
    if keep:
        with open(keep, "w") as f:
            f.write(console)
    CONSOLE = blocks(console)
    PIDS = dict(re.findall(r"^@@pid-before-(\S+) (\d+)$", console, re.M))
    AFTER = {int(n): state for n, state in re.findall(r"^@@after-quickstart-(\d+) (.*)$",
                                                      console, re.M)}
    print("initramfs %.1fs, VM %.1fs; %s" % (built - started, time.time() - built, " ".join(
        re.findall(r"^@@(booted [\d.]+|done [\d.]+|failed .*)$", console, re.M))),
        file=sys.stderr)
    if "@@done" not in console:
        sys.exit("the VM did not finish:\n" + console[-3000:])
    print(CONSOLE["status"], file=sys.stderr)
    print(CONSOLE["quickstart-helper"], file=sys.stderr)
    unittest.main(argv=[sys.argv[0], "-v"] + args[3:])
