#!/usr/bin/env python3
"""The server's .deb under the real dpkg in a throwaway root (dpkg --root), which has no
systemd and BusyBox as the shell dpkg chroots into for the maintainer scripts. The root has no
libraries (--force-depends): Depends is checked against the host's packages of the libraries
the programs link, and the programs run from the root on the host's.

usage: deb_install_e2e.py PACKAGE.deb
"""
import ipaddress, os, re, shutil, subprocess, sys, tempfile, unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sandbox

CONFIG, STATE = "/etc/station-presence.conf", "/var/lib/station-presence"
PRIVATE = "/var/lib/private/station-presence"  # the state folder with DynamicUser=
BIN, DOC = "/usr/bin/station-", "/usr/share/doc/station-presence/"
NEW_DEFAULT, EDIT = "# a new default of release 2\n", "grace 300\n"


def run(*command, **kwargs):
    done = subprocess.run(command, capture_output=True, text=True, **kwargs)
    assert done.returncode == 0, "%s: %s%s" % (command, done.stdout, done.stderr)
    return done.stdout


class Root:
    def __init__(self, path):
        self.path = path
        for folder in ("/var/lib/dpkg/info", "/var/lib/dpkg/updates", "/bin", "/dev"):
            os.makedirs(self.at(folder))
        for name in ("/var/lib/dpkg/status", "/dev/null"):
            open(self.at(name), "w").close()
        run("mount", "--bind", "/dev/null", self.at("/dev/null"))
        busybox = os.path.realpath(shutil.which("busybox"))
        for lib in re.findall(r"(/\S+) \(0x", run("ldd", busybox)) + [busybox]:
            os.makedirs(os.path.dirname(self.at(lib)), exist_ok=True)
            shutil.copy(lib, self.at(lib))
        for applet in run(busybox, "--list").split():
            if not os.path.lexists(self.at("/bin/" + applet)):
                os.symlink(busybox, self.at("/bin/" + applet))

    def at(self, path):
        return self.path + path

    def dpkg(self, *args):
        run("dpkg", "--root=" + self.path, "--force-depends", *args)

    def query(self, field):
        """A field of the package's entry, "" once dpkg no longer knows it."""
        return subprocess.run(["dpkg-query", "--root=" + self.path, "-W", "-f=${%s}" % field,
                               "station-presence"], capture_output=True, text=True).stdout

    def read(self, path):
        with open(self.at(path)) as f:
            return f.read()


def owner(lib):
    """The host's package of lib, which dpkg may know under /lib or under /usr/lib."""
    other = lib[4:] if lib.startswith("/usr/") else "/usr" + lib
    return subprocess.run(["dpkg", "-S", lib, other], capture_output=True,
                          text=True).stdout.split(":")[0]


def release_2(work):
    """The package again as version -2 with one more line in its default configuration."""
    tree, out = os.path.join(work, "tree"), os.path.join(work, "release-2.deb")
    run("dpkg-deb", "-R", DEB, tree)
    run("sed", "-i", r"s/^\(Version: .*\)-1$/\1-2/", tree + "/DEBIAN/control")
    with open(tree + CONFIG, "a") as f:
        f.write(NEW_DEFAULT)
    run("sed", "-i", r"s|^\S*  %s$|%s|" % (CONFIG[1:], run("md5sum", CONFIG[1:], cwd=tree)
                                             .strip()), tree + "/DEBIAN/md5sums")
    run("dpkg-deb", "--root-owner-group", "-b", tree, out)
    return out


class Package(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="deb-")
        self.addCleanup(shutil.rmtree, self.work)

    def root(self, name):
        root = Root(os.path.join(self.work, name))
        self.addCleanup(subprocess.run, ["umount", root.at("/dev/null")])
        return root

    def test_install(self):
        root = self.root("install")
        root.dpkg("-i", DEB)
        lua = re.search(r"^Global Lua Plugins:\s*(\S+)", run("tshark", "-G", "folders"), re.M)
        modes = {BIN + "presence": 0o755, BIN + "decode": 0o755, CONFIG: 0o644,
                 "/lib/systemd/system/station-presence.service": 0o644,
                 DOC + "copyright": 0o644, DOC + "changelog.Debian.gz": 0o644,
                 DOC + "README.md": 0o644, lua[1] + "/station_report.lua": 0o644}
        # The server's programs only, none of the access point's.
        listed = run("dpkg-query", "--root=" + root.path, "-L", "station-presence").split()
        self.assertEqual(sorted(p for p in listed if p.startswith(BIN[:-8])),
                         [BIN + "decode", BIN + "presence"])
        for path, mode in modes.items():
            self.assertEqual(os.stat(root.at(path)).st_mode & 0o7777, mode, path)
        self.assertEqual((root.query("db:Status-Status"), root.query("Conffiles").split()[0]),
                         ("installed", CONFIG))
        depends = {d.split()[0] for d in root.query("Depends").split(", ")}
        for program in ("presence", "decode"):
            path = root.at(BIN + program)
            self.assertEqual(run(path, "--version"), "station-%s %s\n" % (
                program, root.query("Version").split("-")[0]))
            found = dict(re.findall(r"(\S+) => (/\S+)", run("ldd", path)))
            for name in re.findall(r"\(NEEDED\).*\[(.*)\]", run("readelf", "-d", path)):
                self.assertIn(owner(found[name]), depends, name)
        # The shipped settings parse, and take reports from loopback and private networks
        # only, whether their lines are on or still commented out.
        db = root.at("/tmp.db")
        run(root.at(BIN + "presence"), "--config", "/dev/null", "--db", db, stdin=subprocess.DEVNULL)
        run(root.at(BIN + "presence"), "aps", "--config", root.at(CONFIG), "--db", db)
        allowed = re.findall(r"^#? *allow (\S+)$", root.read(CONFIG), re.M)
        self.assertIn("127.0.0.0/8", allowed)
        for network in allowed:
            self.assertTrue(ipaddress.ip_network(network).is_private, network)

    def test_upgrade_remove_purge(self):
        new = release_2(self.work)
        # The database where DynamicUser= keeps it (linked from STATE) or in STATE itself; a
        # root that looks like a running systemd to the scripts, without systemctl.
        for edited, linked, systemd in ((True, True, False), (False, False, True)):
            with self.subTest(edited=edited, linked=linked, systemd=systemd):
                root = self.root("%s-%s" % (edited, linked))
                if systemd:
                    os.makedirs(root.at("/run/systemd/system"))
                root.dpkg("-i", DEB)
                want = root.read(CONFIG) + (EDIT if edited else NEW_DEFAULT)
                if edited:
                    with open(root.at(CONFIG), "a") as f:
                        f.write(EDIT)
                os.makedirs(root.at(PRIVATE if linked else STATE))
                if linked:
                    os.symlink("private/station-presence", root.at(STATE))
                database = root.at(STATE + "/presence.db")
                run(root.at(BIN + "presence"), "--config", "/dev/null", "--db", database,
                    stdin=subprocess.DEVNULL)
                # An edit is kept with the new default beside it; else the new one is taken.
                root.dpkg("--force-confold", "-i", new)
                self.assertTrue(root.query("Version").endswith("-2"))
                self.assertEqual(root.read(CONFIG), want)
                self.assertEqual(os.path.exists(root.at(CONFIG + ".dpkg-dist")), edited)
                root.dpkg("-r", "station-presence")
                self.assertEqual(root.query("db:Status-Status"), "config-files")
                self.assertFalse(os.path.exists(root.at(BIN + "presence")))
                self.assertEqual(root.read(CONFIG), want)
                self.assertTrue(os.path.isfile(database))
                root.dpkg("-P", "station-presence")
                self.assertIn(root.query("db:Status-Status"), ("", "not-installed"))
                left = [p for p in (CONFIG, CONFIG + ".dpkg-dist", STATE, PRIVATE)
                        if os.path.lexists(root.at(p))]
                self.assertEqual(left, [])


if __name__ == "__main__":
    sandbox.enter(__file__, sys.argv[1:])
    DEB = os.path.abspath(sys.argv[1])
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[2:])
