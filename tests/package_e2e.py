#!/usr/bin/env python3
"""The package recipe on OpenWrt's own build tree (made ready by tests/platform/sdk.sh): its
metadata as the package scan reads it, linked or copied into the tree; the .ipk that
package.mk and cmake.mk build from it, against what CMake installs; rebuilds on a source
change; and the program as OpenWrt compiles it, through the end-to-end suite under qemu.

usage: package_e2e.py OPENWRT_TREE DEVICE_BUILD STATION_DECODE
"""
import io, os, re, shutil, subprocess, sys, tarfile, tempfile, unittest

HERE = os.path.dirname(os.path.abspath(__file__))
PROJECT = os.path.dirname(HERE)
TREE = DEVICE_BUILD = DECODER = None
CHECKOUT = None  # a copy of the project's sources that the tests may edit
BUDGET = 8192


def make(*args, env=None, check=True):
    """OpenWrt's make in the tree, as the SDK runs it for one package."""
    done = subprocess.run(["make", *args], cwd=TREE, capture_output=True, text=True,
                          env={**os.environ, "TOPDIR": TREE, **(env or {})})
    if check and done.returncode != 0:
        raise AssertionError("make %s failed:\n%s%s" % (" ".join(args), done.stdout[-3000:],
                                                       done.stderr[-3000:]))
    return done


def fields(text):
    """The 'Name: value' lines of a package's metadata or control file."""
    return dict(re.findall(r"^([A-Za-z-]+): ?(.*)$", text, re.M))


def ipk_members(path):
    """(control file text, conffiles text, {path: (mode, uid, gid)}, every byte of the ipk's
    files) of an opkg package: a gzipped tar of debian-binary and two gzipped tars."""
    outer = tarfile.open(path)
    inner = {m.name.lstrip("./"): tarfile.open(fileobj=io.BytesIO(outer.extractfile(m).read()))
             for m in outer.getmembers() if m.name.endswith(".tar.gz")}
    control = inner["control.tar.gz"]
    read = lambda t, name: t.extractfile(name).read().decode()
    files, blob = {}, b""
    for m in inner["data.tar.gz"].getmembers():
        if m.isfile():
            files[m.name[1:]] = (m.mode, m.uid, m.gid)
            blob += inner["data.tar.gz"].extractfile(m).read()
    blob += b"".join(control.extractfile(m).read() for m in control.getmembers() if m.isfile())
    return read(control, "./control"), read(control, "./conffiles"), files, blob


def cmake_installed(build):
    """{path: mode} of what `cmake --install` of the device build puts under the prefix /usr."""
    stage = tempfile.mkdtemp()
    subprocess.run(["cmake", "--install", build, "--prefix", "/usr"], check=True,
                   env={**os.environ, "DESTDIR": stage}, capture_output=True)
    found = {}
    for folder, _, names in os.walk(stage):
        for name in names:
            path = os.path.join(folder, name)
            found["/" + os.path.relpath(path, stage)] = os.stat(path).st_mode & 0o7777
    return found


def link_recipe(source):
    """The recipe's folder of source, linked into the tree's package/ as the README says."""
    target = os.path.join(TREE, "package", "station-reporter")
    if os.path.lexists(target):
        os.unlink(target) if os.path.islink(target) else shutil.rmtree(target)
    os.symlink(os.path.join(source, "openwrt", "station-reporter"), target)


def build_package():
    """Builds the package from the linked recipe: the .ipk's path and make's output."""
    done = make("-C", "package/station-reporter", "compile", "CONFIG_PACKAGE_station-reporter=m")
    ipks = [os.path.join(folder, name) for folder, _, names in os.walk(os.path.join(TREE, "bin"))
            for name in names if name.startswith("station-reporter_")]
    assert len(ipks) == 1, ipks
    return ipks[0], done.stdout


class Package(unittest.TestCase):
    def test_scan_lists_the_package_linked_or_copied(self):
        link_recipe(CHECKOUT)
        make("prepare-tmpinfo")
        with open(os.path.join(TREE, "tmp", ".packageinfo")) as f:
            scanned = f.read()
        self.assertIn("Source-Makefile: package/station-reporter/Makefile\n", scanned)
        listed = [block for block in scanned.split("\n\n")
                  if "\nPackage: station-reporter\n" in "\n" + block]
        self.assertEqual(len(listed), 1)
        info = fields(listed[0])
        print("scan: " + "; ".join("%s: %s" % (k, info[k]) for k in (
            "Package", "Version", "Depends", "License", "LicenseFiles", "Maintainer")),
            file=sys.stderr)
        self.assertEqual((info["Version"], info["Depends"], info["License"],
                          info["LicenseFiles"], info["Section"]),
                         (VERSION + "-r1", "+libc +iw", "MIT", "LICENSE", "net"))
        self.assertRegex(info["Maintainer"], r"^[^<>]+ <[^@<>]+@[^@<>]+>$")

        # A copy of the folder in a feed is told where the checkout is, or says it is not.
        feed = tempfile.mkdtemp()
        shutil.copytree(os.path.join(CHECKOUT, "openwrt", "station-reporter"),
                        os.path.join(feed, "station-reporter"))
        for env, version in (({"STATION_REPORTER_SOURCE": CHECKOUT}, VERSION + "-r1"),
                             ({}, None)):
            with self.subTest(env=env):
                dump = make("-r", "DUMP=1", "-C", os.path.join(feed, "station-reporter"),
                            env=env, check=False)
                if version:
                    self.assertEqual(fields(dump.stdout)["Version"], version, dump.stderr)
                else:
                    self.assertNotEqual(dump.returncode, 0)
                    self.assertIn("set STATION_REPORTER_SOURCE", dump.stderr)

    def test_ipk_holds_what_cmake_installs(self):
        link_recipe(CHECKOUT)
        ipk, _ = build_package()
        self.assertEqual(os.path.basename(ipk),
                         "station-reporter_%s-r1_mipsel_24kc.ipk" % VERSION)
        control, conffiles, files, blob = ipk_members(ipk)
        print("ipk: " + "  ".join("%s %o" % (p, m[0]) for p, m in sorted(files.items())),
              file=sys.stderr)
        self.assertEqual({p: m[0] for p, m in files.items()}, cmake_installed(DEVICE_BUILD))
        self.assertEqual({m[1:] for m in files.values()}, {(0, 0)})
        info = fields(control)
        self.assertEqual((info["Package"], info["Version"], info["Depends"], info["License"],
                          info["Architecture"], info["Source"]),
                         ("station-reporter", VERSION + "-r1", "libc, iw", "MIT", "mipsel_24kc",
                          "package/station-reporter"))
        self.assertEqual(conffiles.split(), ["/etc/config/station-reporter"])
        # No path of the build machine, in the metadata or in the programs.
        for path in {TREE, CHECKOUT, PROJECT, os.path.realpath(TREE)}:
            self.assertNotIn(path.encode(), blob)

    def test_rebuilt_when_the_sources_change(self):
        link_recipe(CHECKOUT)
        ipk, _ = build_package()
        _, again = build_package()
        self.assertNotIn("Building CXX object", again)
        with open(os.path.join(CHECKOUT, "src", "diag", "debug_log.cpp"), "a") as f:
            f.write("// edited\n")
        _, edited = build_package()
        self.assertIn("Building CXX object src/diag/CMakeFiles/diag.dir/debug_log.cpp.o", edited)

    def test_program_as_openwrt_compiles_it(self):
        link_recipe(CHECKOUT)
        ipk, _ = build_package()
        program = os.path.join(tempfile.mkdtemp(), "station-reporter")
        with open(program, "wb") as f:
            data = tarfile.open(fileobj=io.BytesIO(tarfile.open(ipk).extractfile(
                "./data.tar.gz").read()))
            f.write(data.extractfile("./usr/bin/station-reporter").read())
        os.chmod(program, 0o755)
        header = subprocess.run(["mipsel-linux-gnu-readelf", "-hldW", program],
                                capture_output=True, text=True, check=True).stdout
        symbols = subprocess.run(["mipsel-linux-gnu-readelf", "--dyn-syms", "-W", program],
                                 capture_output=True, text=True, check=True).stdout
        for mark in ("mips16", "GNU_RELRO", "BIND_NOW"):
            self.assertIn(mark, header)
        self.assertIn("__stack_chk_fail", symbols)
        size = os.path.getsize(program)
        print("openwrt flags: station-reporter %d bytes as the package strips it; "
              "budget %d" % (size, BUDGET), file=sys.stderr)
        suite = subprocess.run([sys.executable, os.path.join(HERE, "e2e.py"), program,
                                "--emulator", "qemu-mipsel-static", "--decoder", DECODER],
                               capture_output=True, text=True, timeout=600)
        self.assertEqual(suite.returncode, 0, suite.stderr[-5000:])


def project_version():
    with open(os.path.join(PROJECT, "CMakeLists.txt")) as f:
        return re.search(r"^project\(station-reporter VERSION ([0-9.]+)", f.read(), re.M)[1]


if __name__ == "__main__":
    args = sys.argv[1:]
    TREE, DEVICE_BUILD, DECODER = (os.path.abspath(a) for a in args[:3])
    VERSION = project_version()
    CHECKOUT = tempfile.mkdtemp(prefix="checkout-")
    for name in ("CMakeLists.txt", "LICENSE", "cmake", "src", "openwrt"):
        source = os.path.join(PROJECT, name)
        (shutil.copytree if os.path.isdir(source) else shutil.copy)(
            source, os.path.join(CHECKOUT, name))
    try:
        unittest.main(argv=[sys.argv[0], "-v"] + args[3:])
    finally:
        shutil.rmtree(CHECKOUT)
