#!/usr/bin/env python3
"""The server's Debian package under the real dpkg, in a throwaway root (dpkg --root) that holds
BusyBox as the shell its maintainer scripts run in (dpkg chroots into the root for them) and no
systemd. The root has no libraries: dpkg is told --force-depends, and Depends is checked
against the packages that hold the libraries the programs load here; the programs run from the
root with the host's libraries. A second release (dpkg-deb of the first with a new version and
a new default configuration) upgrades it; then it is removed and purged.

usage: deb_install_e2e.py PACKAGE.deb
"""
import ipaddress, os, re, shutil, subprocess, sys, tempfile, unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sandbox

DEB = None
CONFIG = "/etc/station-presence.conf"
STATE = "/var/lib/station-presence"
PRIVATE = "/var/lib/private/station-presence"  # where systemd keeps it with DynamicUser=
FILES = {"/usr/bin/station-presence": 0o755, "/usr/bin/station-decode": 0o755,
         "/lib/systemd/system/station-presence.service": 0o644, CONFIG: 0o644,
         "/usr/share/doc/station-presence/copyright": 0o644,
         "/usr/share/doc/station-presence/changelog.Debian.gz": 0o644,
         "/usr/share/doc/station-presence/README.md": 0o644}
NEW_DEFAULT = "# a new default of release 2\n"
EDIT = "grace 300\n"


def run(*command, **kwargs):
    done = subprocess.run(command, capture_output=True, text=True, **kwargs)
    assert done.returncode == 0, "%s: %s%s" % (command, done.stdout, done.stderr)
    return done.stdout


class Root:
    """An empty system for dpkg: its database, /dev/null, and BusyBox with its libraries."""

    def __init__(self, path):
        self.path = path
        for folder in ("var/lib/dpkg/info", "var/lib/dpkg/updates", "bin", "dev"):
            os.makedirs(self.at("/" + folder))
        open(self.at("/var/lib/dpkg/status"), "w").close()
        open(self.at("/dev/null"), "w").close()
        run("mount", "--bind", "/dev/null", self.at("/dev/null"))
        busybox = os.path.realpath(shutil.which("busybox"))
        for lib in re.findall(r"(/\S+) \(0x", run("ldd", busybox)):
            os.makedirs(os.path.dirname(self.at(lib)), exist_ok=True)
            shutil.copy(lib, self.at(lib))
        shutil.copy(busybox, self.at("/bin/busybox"))
        for applet in run(busybox, "--list").split():
            if not os.path.exists(self.at("/bin/" + applet)):
                os.symlink("busybox", self.at("/bin/" + applet))

    def at(self, path):
        return self.path + path

    def dpkg(self, *args):
        return run("dpkg", "--root=" + self.path, "--force-depends", *args)

    def status(self):
        """The package's state, not-installed when dpkg no longer knows it."""
        done = subprocess.run(["dpkg-query", "--root=" + self.path, "-W",
                               "-f=${db:Status-Status}", "station-presence"],
                              capture_output=True, text=True)
        return done.stdout if done.returncode == 0 else "not-installed"

    def field(self, name):
        return run("dpkg-query", "--root=" + self.path, "-W", "-f=${%s}" % name,
                   "station-presence")

    def read(self, path):
        with open(self.at(path)) as f:
            return f.read()


def owner(lib):
    """The host's package that holds lib, under /lib or /usr/lib (merged here, not in dpkg's
    database)."""
    other = lib[4:] if lib.startswith("/usr/") else "/usr" + lib
    done = subprocess.run(["dpkg", "-S", lib, other], capture_output=True, text=True)
    return done.stdout.split(":")[0]


def release_2(work):
    """The package again as version -2 with one more line in its default configuration."""
    tree = os.path.join(work, "tree")
    run("dpkg-deb", "-R", DEB, tree)
    control = os.path.join(tree, "DEBIAN", "control")
    with open(control) as f:
        text = f.read()
    with open(control, "w") as f:
        f.write(re.sub(r"^Version: (.*)-1$", r"Version: \1-2", text, flags=re.M))
    with open(tree + CONFIG, "a") as f:
        f.write(NEW_DEFAULT)
    sums = run("md5sum", CONFIG[1:], cwd=tree)
    md5sums = os.path.join(tree, "DEBIAN", "md5sums")
    with open(md5sums) as f:
        lines = [l for l in f if not l.endswith("  %s\n" % CONFIG[1:])]
    with open(md5sums, "w") as f:
        f.writelines(lines + [sums])
    out = os.path.join(work, "release-2.deb")
    run("dpkg-deb", "--root-owner-group", "-b", tree, out)
    return out


class Package(unittest.TestCase):
    def test_install(self):
        root = self.root()
        root.dpkg("-i", DEB)
        self.assertEqual(root.status(), "installed")
        for path, mode in FILES.items():
            self.assertEqual(os.stat(root.at(path)).st_mode & 0o7777, mode, path)
        self.assertEqual(root.field("Conffiles").split()[0], CONFIG)
        version = root.field("Version").split("-")[0]
        for program in ("station-presence", "station-decode"):
            self.assertEqual(run(root.at("/usr/bin/" + program), "--version"),
                             "%s %s\n" % (program, version))
        # Each library the programs link comes from a package the package depends on.
        depends = {d.split()[0] for d in root.field("Depends").split(", ")}
        for program in ("station-presence", "station-decode"):
            path = root.at("/usr/bin/" + program)
            found = dict(re.findall(r"(\S+) => (/\S+)", run("ldd", path)))
            for name in re.findall(r"\(NEEDED\).*\[(.*)\]", run("readelf", "-d", path)):
                self.assertIn(owner(found[name]), depends, name)
        # The shipped settings are taken by the program, and take reports only from loopback
        # and private networks, whether their lines are on or still commented out.
        db = root.at("/tmp.db")
        run(root.at("/usr/bin/station-presence"), "--config", "/dev/null", "--db", db,
            stdin=subprocess.DEVNULL)
        run(root.at("/usr/bin/station-presence"), "aps", "--config", root.at(CONFIG), "--db", db)
        allowed = re.findall(r"^#? *allow (\S+)$", root.read(CONFIG), re.M)
        self.assertIn("127.0.0.0/8", allowed)
        for network in allowed:
            self.assertTrue(ipaddress.ip_network(network).is_private, network)
        self.assertIn("db %s/presence.db\n" % STATE, root.read(CONFIG))

    def test_upgrade_remove_purge(self):
        new = release_2(self.work)
        # The database where systemd's DynamicUser= puts it (linked from STATE) or in STATE
        # itself; a root that looks like a running systemd to the scripts, without systemctl.
        for edited, linked, systemd in ((True, True, False), (False, False, True)):
            with self.subTest(edited=edited, linked=linked, systemd=systemd):
                root = self.root()
                if systemd:
                    os.makedirs(root.at("/run/systemd/system"))
                root.dpkg("-i", DEB)
                shipped = root.read(CONFIG)
                if edited:
                    with open(root.at(CONFIG), "a") as f:
                        f.write(EDIT)
                os.makedirs(root.at(PRIVATE if linked else STATE))
                if linked:
                    os.symlink("private/station-presence", root.at(STATE))
                run(root.at("/usr/bin/station-presence"), "--config", "/dev/null", "--db",
                    root.at(STATE + "/presence.db"), stdin=subprocess.DEVNULL)

                root.dpkg("--force-confold", "-i", new)
                self.assertTrue(root.field("Version").endswith("-2"))
                # An edit is kept and the new default put beside it; else the new one is taken.
                want = shipped + EDIT if edited else shipped + NEW_DEFAULT
                self.assertEqual(root.read(CONFIG), want)
                self.assertEqual(os.path.exists(root.at(CONFIG + ".dpkg-dist")), edited)

                root.dpkg("-r", "station-presence")
                self.assertEqual(root.status(), "config-files")
                self.assertFalse(os.path.exists(root.at("/usr/bin/station-presence")))
                self.assertEqual(root.read(CONFIG), want)
                self.assertTrue(os.path.isfile(root.at(STATE + "/presence.db")))

                root.dpkg("-P", "station-presence")
                self.assertEqual(root.status(), "not-installed")
                left = [p for p in (CONFIG, CONFIG + ".dpkg-dist", STATE, PRIVATE)
                        if os.path.lexists(root.at(p))]
                self.assertEqual(left, [])

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="deb-")
        self.addCleanup(shutil.rmtree, self.work)
        self.roots = 0

    def root(self):
        self.roots += 1
        path = os.path.join(self.work, "root%d" % self.roots)
        root = Root(path)
        self.addCleanup(subprocess.run, ["umount", root.at("/dev/null")])
        return root


if __name__ == "__main__":
    sandbox.enter(__file__, sys.argv[1:])
    DEB = os.path.abspath(sys.argv[1])
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[2:])
