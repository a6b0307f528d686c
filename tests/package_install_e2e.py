#!/usr/bin/env python3
"""The packages under the device's own package managers. scripts/package builds the .apk and
the .ipk of this checkout (release 1) and of an edited copy (release 2: a new line in the
default configuration and in the loop); the real apk and opkg (built by tests/platform/build.sh)
then install, upgrade and remove them inside a device made of the platform (harness.Device),
run there as a user runs them on a live system, with procd and ubusd up. The device's other
packages are stand-ins made with the managers' own tools: libc carrying musl's real C library
(the packaged MIPS programs run under qemu-user), iw printing recorded stations. The service
runs from the installed files alone and its reports reach station-decode on the loopback.

usage: package_install_e2e.py PLATFORM_BUILD OPENWRT_TREE DEVICE_BUILD STATION_DECODE
"""
import hashlib, os, re, shutil, signal, subprocess, sys, tempfile, time, unittest

HERE = os.path.dirname(os.path.abspath(__file__))
PROJECT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(HERE, "platform"))
import harness
import quickstart
import sandbox
from package_e2e import cmake_installed

PLATFORM = TREE = DEVICE_BUILD = DECODER = None
PACKAGES = {}  # release: folder that scripts/package filled
INIT = "/etc/init.d/station-reporter"
CONFIG = "/etc/config/station-reporter"
RC_LINKS = ("/etc/rc.d/S95station-reporter", "/etc/rc.d/K10station-reporter")
MARK = "# release 2\n"  # what release 2 adds to the default configuration and to the loop
NEW_DEPENDENCY = "libnl-tiny"  # a package of the tree


def build_packages(work):
    """Both releases with scripts/package, in work: PACKAGES[release] is the output folder."""
    copy = os.path.join(work, "checkout")
    os.mkdir(copy)
    for name in ("CMakeLists.txt", "LICENSE", "cmake", "src", "openwrt"):
        source = os.path.join(PROJECT, name)
        (shutil.copytree if os.path.isdir(source) else shutil.copy)(source,
                                                                    os.path.join(copy, name))
    for edited in ("openwrt/station-reporter/files/station-reporter.config",
                   "src/feed/station-loop"):
        with open(os.path.join(copy, edited), "a") as f:
            f.write(MARK)
    # Release 2 needs one more package, which the device lacks at first.
    recipe = os.path.join(copy, "openwrt", "station-reporter", "Makefile")
    with open(recipe) as f:
        text = f.read()
    assert "  DEPENDS:=+iw\n" in text
    with open(recipe, "w") as f:
        f.write(text.replace("  DEPENDS:=+iw\n", "  DEPENDS:=+iw +%s\n" % NEW_DEPENDENCY))
    for release, args in ((1, []), (2, ["--release", "2", "--source", copy])):
        out = os.path.join(work, "r%d" % release)
        done = subprocess.run([os.path.join(PROJECT, "scripts", "package"), *args, out],
                              capture_output=True, text=True)
        assert done.returncode == 0, done.stdout + done.stderr
        assert done.stdout.splitlines()[-1] == out, done.stdout
        print(done.stdout.strip(), file=sys.stderr)
        PACKAGES[release] = out


def stand_in_trees(work):
    """{name: (version, folder of its files)}: the dependencies as the device would have them."""
    libc = os.path.join(work, "libc")
    os.makedirs(os.path.join(libc, "lib"))
    shutil.copy("/usr/lib/mipsel-linux-musl/libc.so", os.path.join(libc, "lib", "libc.so"))
    os.symlink("libc.so", os.path.join(libc, "lib", "ld-musl-mipsel.so.1"))
    iw = os.path.join(work, "iw")
    os.makedirs(os.path.join(iw, "usr", "bin"))
    os.makedirs(os.path.join(iw, "usr", "libexec"))
    shutil.copy(os.path.join(HERE, "feed", "iw"), os.path.join(iw, "usr", "libexec", "iw"))
    shutil.copytree(os.path.join(HERE, "feed", "recorded", "three-aps"),
                    os.path.join(iw, "usr", "share", "iw-recorded"))
    with open(os.path.join(iw, "usr", "bin", "iw"), "w") as f:
        f.write("#!/bin/sh\nIW_RECORDED=/usr/share/iw-recorded exec /usr/libexec/iw \"$@\"\n")
    os.chmod(os.path.join(iw, "usr", "bin", "iw"), 0o755)
    extra = os.path.join(work, NEW_DEPENDENCY)
    os.makedirs(os.path.join(extra, "usr", "lib"))
    open(os.path.join(extra, "usr", "lib", "libnl-tiny.so"), "w").close()
    return {"libc": ("1.2.5-r4", libc), "iw": ("6.9-r1", iw), NEW_DEPENDENCY: ("1-r1", extra)}


class Apk:
    name = "apk"
    new_default = CONFIG + ".apk-new"

    def __init__(self, dev, work):
        self.dev = dev
        for name, (version, files) in stand_in_trees(work).items():
            run_host([os.path.join(PLATFORM, "bin", "apk"), "mkpkg", "--info", "name:" + name,
                      "--info", "version:" + version, "--info", "arch:mipsel_24kc",
                      "--info", "description:stand-in", "--files", files,
                      "--output", dev.path("/tmp/%s.apk" % name)])
        dev.install(os.path.join(PLATFORM, "bin", "apk"), "/usr/bin/apk")
        # The build key's public half makes the package's signature trusted; the stand-ins
        # are not signed.
        dev.install(os.path.join(PACKAGES[1], "station-reporter-build-key.pem"),
                    "/etc/apk/keys/station-reporter-build-key.pem", 0o644)
        # A device keeps its packages on flash; this one's root is a tmpfs, which apk would
        # take for a diskless system that loses what it installs at the next boot.
        dev.write("/etc/apk/config", "root-tmpfs no\n")
        dev.write("/etc/apk/arch", "mipsel_24kc\n")  # as an image has it
        self.run("add", "--initdb", "--allow-untrusted", "/tmp/libc.apk", "/tmp/iw.apk",
                 check=True)

    def run(self, *args, check=False):
        done = self.dev.run(["apk", *args])
        assert not check or done.returncode == 0, done.stdout + done.stderr
        return done

    def add(self, release):
        return self.run("add", "/tmp/" + package_name(release, "apk"))

    def remove(self):
        return self.run("del", "station-reporter")

    @staticmethod
    def refused(done):
        """Whether the run said it failed."""
        return done.returncode != 0

    def add_dependency(self):
        self.run("add", "--allow-untrusted", "/tmp/%s.apk" % NEW_DEPENDENCY, check=True)

    def installed(self):
        """The installed version of station-reporter, or None."""
        found = re.search(r"^station-reporter-(\S+) ", self.run("list", "--installed").stdout,
                          re.M)
        return found and found[1]

    def depends(self):
        lines = self.run("info", "-R", "station-reporter", check=True).stdout.splitlines()
        return sorted(l.strip() for l in lines[1:] if l.strip())

    def conffiles(self):
        """The configuration files as OpenWrt's apk packages register them."""
        with open(self.dev.path("/lib/apk/packages/station-reporter.conffiles")) as f:
            return f.read().split()


class Opkg:
    name = "opkg"
    new_default = CONFIG + "-opkg"

    def __init__(self, dev, work):
        self.dev = dev
        for name, (version, files) in stand_in_trees(work).items():
            os.makedirs(os.path.join(files, "CONTROL"))
            with open(os.path.join(files, "CONTROL", "control"), "w") as f:
                f.write("Package: %s\nVersion: %s\nArchitecture: mipsel_24kc\n"
                        "Description: stand-in\n" % (name, version))
            out = tempfile.mkdtemp(dir=work)
            run_host(["bash", os.path.join(TREE, "scripts", "ipkg-build"), files, out])
            shutil.copy(os.path.join(out, os.listdir(out)[0]), dev.path("/tmp/%s.ipk" % name))
        dev.install(os.path.join(PLATFORM, "bin", "opkg"), "/bin/opkg")
        dev.write("/etc/opkg.conf", "dest root /\nlists_dir ext /var/opkg-lists\n"
                  "arch all 1\narch noarch 1\narch mipsel_24kc 10\n")
        os.makedirs(dev.path("/usr/lib/opkg"), exist_ok=True)
        self.run("install", "/tmp/libc.ipk", "/tmp/iw.ipk", check=True)

    def run(self, *args, check=False):
        done = self.dev.run(["opkg", *args])
        assert not check or done.returncode == 0, done.stdout + done.stderr
        return done

    def add(self, release):
        return self.run("install", "/tmp/" + package_name(release, "ipk"))

    def remove(self):
        return self.run("remove", "station-reporter")

    @staticmethod
    def refused(done):
        # opkg ends a run that installed nothing with status 0 too, after its errors.
        return done.returncode != 0 or "\nCollected errors:\n" in "\n" + done.stdout + done.stderr

    def add_dependency(self):
        self.run("install", "/tmp/%s.ipk" % NEW_DEPENDENCY, check=True)

    def status(self):
        return self.run("status", "station-reporter").stdout

    def installed(self):
        found = re.search(r"^Version: (\S+)$", self.status(), re.M)
        return found and "installed" in self.status() and found[1]

    def depends(self):
        return sorted(re.search(r"^Depends: (.*)$", self.status(), re.M)[1].split(", "))

    def conffiles(self):
        block = re.search(r"^Conffiles:\n((?: .*\n)+)", self.status(), re.M)
        return [line.split()[0] for line in block[1].splitlines()] if block else []


def run_host(command):
    done = subprocess.run(command, capture_output=True, text=True)
    assert done.returncode == 0, "%s: %s%s" % (command, done.stdout, done.stderr)


def package_name(release, kind):
    version = "%s-r%d" % (VERSION, release)
    return ("station-reporter-%s.apk" % version if kind == "apk"
            else "station-reporter_%s_mipsel_24kc.ipk" % version)


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def said(done):
    """What a package manager run printed, for the record."""
    return (done.stdout + done.stderr).strip().replace("\n", "\n    ")


class Install(unittest.TestCase):
    def test_install_upgrade_failures_and_removal(self):
        for manager in (Apk, Opkg):
            with self.subTest(manager=manager.name):
                work = tempfile.mkdtemp(prefix=manager.name + "-")
                self.addCleanup(shutil.rmtree, work)
                with harness.Device(os.path.join(PLATFORM, "root")) as dev:
                    self.dev = dev
                    try:
                        self.lifecycle(manager(dev, work))
                    finally:
                        # What a failed case left running must not meet the next device.
                        for pid, _ in dev.processes():
                            os.kill(pid, signal.SIGKILL)

    def record(self, manager, step, done):
        print("%s %s: exit %d\n    %s" % (manager.name, step, done.returncode, said(done)),
              file=sys.stderr)

    def lifecycle(self, pm):
        dev = self.dev
        for release in (1, 2):
            kind = "apk" if pm.name == "apk" else "ipk"
            shutil.copy(os.path.join(PACKAGES[release], package_name(release, kind)),
                        dev.path("/tmp/"))
        # The platform's ucode has no Wi-Fi to talk to here: the loop takes the iw feed.
        os.remove(dev.path("/usr/lib/ucode/nl80211.so"))
        expected = cmake_installed(DEVICE_BUILD)

        # With apk, release 1 is installed and set up as the README's quick start says.
        quick = quickstart.commands("access point") if pm.name == "apk" else []
        installing = [c for c in quick if c.startswith(("cp ", "apk "))]
        if quick:
            shutil.copy(os.path.join(PACKAGES[1], "station-reporter-build-key.pem"),
                        dev.path("/tmp/"))
            self.assertIn("apk add /tmp/" + package_name(1, "apk"), installing)
            done = dev.run(["sh", "-ec", "\n".join(installing)])
        else:
            done = pm.add(1)
        self.record(pm, "install r1", done)
        self.assertEqual(done.returncode, 0)
        self.assertEqual(pm.installed(), VERSION + "-r1")
        for path, mode in expected.items():
            self.assertEqual(os.stat(dev.path(path)).st_mode & 0o7777, mode, path)
        for link in RC_LINKS:
            self.assertEqual(os.readlink(dev.path(link)), "../init.d/station-reporter")
        self.assertEqual(pm.conffiles(), [CONFIG])
        self.assertEqual(pm.depends(), ["iw", "libc"])
        # The shipped configuration is disabled: installed, nothing runs.
        self.assertEqual(self.programs(), [])
        installed = {path: digest(dev.path(path)) for path in expected}
        folders = sorted({os.path.dirname(path) for path in expected})
        listing = lambda: {f: sorted(os.listdir(dev.path(f))) for f in folders}

        # The user's configuration, and the service started from the installed files.
        decoder, port = sandbox.start_decoder(DECODER, "127.0.0.1:0", "--count", "1")
        if quick:
            # The quick start's server on the loopback; the recorded stations' interface.
            setting = [c.replace("192.0.2.7", "127.0.0.1").replace("=9999", "=%d" % port)
                       for c in quick if c not in installing]
            setting.insert(-2, "uci add_list station-reporter.main.interface=phy0-ap0")
            done = dev.run(["sh", "-ec", "\n".join(setting)])
            self.assertEqual(done.returncode, 0, said(done))
            with open(dev.path(CONFIG)) as f:
                edited = f.read()
            self.assertIn("option server '127.0.0.1'", edited)
        else:
            edited = ("config station-reporter 'main'\n\toption enabled '1'\n"
                      "\toption server '127.0.0.1'\n\toption port '%d'\n\toption interval '5'\n"
                      "\tlist interface 'phy0-ap0'\n" % port)
            dev.write(CONFIG, edited)
            self.assertEqual(dev.run([INIT, "restart"]).returncode, 0)
        self.assertReport(decoder)
        before = self.loop()
        files = listing()

        # Broken runs leave release 1 as it was, still running.
        done = pm.add(2)
        self.record(pm, "upgrade r2 without %s" % NEW_DEPENDENCY, done)
        self.assertTrue(pm.refused(done))
        self.assertIn(NEW_DEPENDENCY, said(done))
        self.assertUnchanged(pm, installed, edited, before)
        self.assertEqual(listing(), files)
        pm.add_dependency()

        free = self.fill_disk()
        done = pm.add(2)
        self.record(pm, "upgrade r2 on a full disk (%d bytes free)" % free, done)
        self.restore_disk()
        self.assertTrue(pm.refused(done))
        self.assertUnchanged(pm, installed, edited, before)
        self.assertEqual(listing(), files)  # no half-written file left behind

        # The upgrade keeps the edit, puts the new default beside it, replaces the rest.
        decoder, _ = sandbox.start_decoder(DECODER, "127.0.0.1:%d" % port, "--count", "1")
        done = pm.add(2)
        self.record(pm, "upgrade r2", done)
        self.assertEqual(done.returncode, 0)
        self.assertEqual(pm.installed(), VERSION + "-r2")
        with open(dev.path(CONFIG)) as f:
            self.assertEqual(f.read(), edited)
        with open(dev.path(pm.new_default)) as f:
            self.assertTrue(f.read().endswith(MARK))
        with open(dev.path("/usr/bin/station-loop")) as f:
            self.assertTrue(f.read().endswith(MARK))
        for path, mode in expected.items():
            self.assertEqual(os.stat(dev.path(path)).st_mode & 0o7777, mode, path)
        for link in RC_LINKS:
            self.assertTrue(os.path.islink(dev.path(link)), link)
        # The service runs the new release, not the loop it ran before.
        after = self.loop()
        self.assertNotIn(after, (None, before))
        self.assertReport(decoder)
        print("%s upgrade: the loop's pid %d before, %d after" % (pm.name, before, after),
              file=sys.stderr)

        # Removal stops and disables the service first, and keeps the edited configuration.
        done = pm.remove()
        self.record(pm, "remove", done)
        self.assertEqual(done.returncode, 0)
        self.assertIsNone(pm.installed() or None)
        time.sleep(0.5)
        self.assertEqual(self.programs(), [])
        self.assertEqual(dev.ubus("call", "service", "list", '{"name": "station-reporter"}')
                         or {}, {})
        for link in RC_LINKS:
            self.assertFalse(os.path.lexists(dev.path(link)), link)
        for path in expected:
            self.assertEqual(os.path.exists(dev.path(path)), path == CONFIG, path)
        with open(dev.path(CONFIG)) as f:
            self.assertEqual(f.read(), edited)
        left = sorted(os.listdir(dev.path("/etc/config")))
        print("%s after removal: /etc/config holds %s" % (pm.name, left), file=sys.stderr)

    def programs(self):
        """The package's programs running, as (pid, command line)."""
        return [p for p in self.dev.processes() if "/usr/bin/station-" in p[1]]

    def loop(self):
        """The pid of the loop procd runs for the service, or None."""
        reply = self.dev.ubus("call", "service", "list", '{"name": "station-reporter"}') or {}
        instance = reply.get("station-reporter", {}).get("instances", {}).get("instance1", {})
        if not instance.get("running"):
            return None
        with open(self.dev.path("/proc/%d/cmdline" % instance["pid"]), "rb") as f:
            self.assertIn(b"/usr/bin/station-loop", f.read())
        return instance["pid"]

    def assertReport(self, decoder):
        """One report of the recorded stations reaches station-decode."""
        out, err = decoder.communicate(timeout=60)
        self.assertEqual(decoder.returncode, 0, err)
        rows = out.decode().splitlines()[1:]
        self.assertGreater(len(rows), 0, err)

    def assertUnchanged(self, pm, installed, edited, loop):
        """Release 1's files, the edit and the running loop are as they were."""
        self.assertEqual(pm.installed(), VERSION + "-r1")
        for path, sha in installed.items():
            if path != CONFIG:
                self.assertEqual(digest(self.dev.path(path)), sha, path)
        with open(self.dev.path(CONFIG)) as f:
            self.assertEqual(f.read(), edited)
        self.assertEqual(self.loop(), loop)

    def fill_disk(self):
        """Shrinks the device's root file system to what it holds and a little more: the
        bytes left."""
        self.dev.run(["sync"])
        stat = os.statvfs(self.dev.root)
        used = (stat.f_blocks - stat.f_bfree) * stat.f_frsize
        subprocess.run(["mount", "-o", "remount,size=%d" % (used + 16384), self.dev.root],
                       check=True)
        stat = os.statvfs(self.dev.root)
        return stat.f_bavail * stat.f_frsize

    def restore_disk(self):
        subprocess.run(["mount", "-o", "remount,size=50%", self.dev.root], check=True)


def project_version():
    with open(os.path.join(PROJECT, "CMakeLists.txt")) as f:
        return re.search(r"^project\(station-reporter VERSION ([0-9.]+)", f.read(), re.M)[1]


if __name__ == "__main__":
    harness.enter(__file__, sys.argv[1:], mipsel=True)
    args = sys.argv[1:]
    PLATFORM, TREE, DEVICE_BUILD, DECODER = (os.path.abspath(a) for a in args[:4])
    VERSION = project_version()
    work = tempfile.mkdtemp(prefix="packages-")
    try:
        build_packages(work)
        unittest.main(argv=[sys.argv[0], "-v"] + args[4:])
    finally:
        shutil.rmtree(work)
