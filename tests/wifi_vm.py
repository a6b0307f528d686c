#!/usr/bin/env python3
"""The feeds against a real kernel Wi-Fi stack: Debian's kernel booted in QEMU (TCG, no KVM)
from an initramfs of Debian's own binaries (BusyBox, iw, hostapd, wpa_supplicant, the
cfg80211/mac80211/mac80211_hwsim modules, the signed regulatory database) and this build's
reporter and station-decode. tests/wifi_vm/init sets up the radios, access points and stations
and runs the rounds in one boot; this side checks what arrived at station-decode against what
the VM was told to be: each station's address, its AP's address and channel, and the signal
its transmit power gives (mac80211_hwsim reports the sender's power less 50 dBm).

usage: wifi_vm.py STATION_REPORTER STATION_DECODE [--platform ROOT] [--record DIR] [--console FILE]
  --platform ROOT  tests/platform/build.sh's root: its ucode, modules and libraries, for the ucode feed
  --record DIR   writes the iw outputs of the VM there, in the stand-in iw's layout
  --console FILE keeps the VM's console output
"""
import glob, json, os, re, shutil, subprocess, sys, tempfile, time, unittest

import feed_contract
import sandbox

HERE = os.path.dirname(os.path.abspath(__file__))
FEED = os.path.join(HERE, "..", "src", "feed")
KEY = b"a key for the VM\n"
# Radios, as tests/wifi_vm/init sets them up: AP interface -> channel; station -> (AP, dBm).
CHANNELS = {"wlan0": 1, "wlan1": 36}
STATIONS = {"wlan2": ("wlan0", 10), "wlan3": ("wlan0", 5), "wlan4": ("wlan1", 15)}
LEAVES = "wlan3"
CONSOLE = {}  # block name -> text, from the one boot


def copy_with_libraries(root, programs, search=""):
    """Copies each program (source path -> path in root) and every library ldd names for it,
    looking in search first."""
    libraries = set()
    for source, target in programs.items():
        dest = os.path.join(root, target.lstrip("/"))
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        shutil.copy(source, dest)
        out = subprocess.run(["ldd", source], capture_output=True, text=True,
                             env={**os.environ, "LD_LIBRARY_PATH": search}).stdout
        libraries |= set(re.findall(r"(/\S+) \(0x", out))
    for library in libraries:
        if search and library.startswith(search + "/"):
            library_path = "/usr/lib" + library[len(search):]
        else:
            library_path = library
        dest = os.path.join(root, library_path.lstrip("/"))
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        shutil.copy(os.path.realpath(library), dest)


def kernel():
    """The newest installed kernel that has its modules: (vmlinuz, modules folder)."""
    for image in sorted(glob.glob("/boot/vmlinuz-*"), reverse=True):
        modules = "/lib/modules/" + image.split("vmlinuz-", 1)[1]
        if os.path.exists(modules + "/modules.dep"):
            return image, modules
    raise RuntimeError("no kernel with modules in /boot (Debian's linux-image-amd64)")


def copy_modules(root, modules, wanted=("mac80211_hwsim.ko",)):
    """The wanted modules and what they need, and their load order in /modules/order."""
    deps = {}
    for line in open(modules + "/modules.dep"):
        name, _, needs = line.partition(":")
        deps[name] = needs.split()
    order = []
    for want in wanted:
        module = next(n for n in deps if n.endswith("/" + want))
        order += [m for m in list(reversed(deps[module])) + [module] if m not in order]
    for module in order:
        dest = os.path.join(root, "modules", module)
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        shutil.copy(os.path.join(modules, module), dest)
    with open(os.path.join(root, "modules", "order"), "w") as f:
        f.write("".join(m + "\n" for m in order))


def build_initramfs(folder, reporter, decoder, platform):
    root = os.path.join(folder, "root")
    busybox = shutil.which("busybox")
    programs = {busybox: "/bin/busybox", shutil.which("iw"): "/usr/sbin/iw",
                shutil.which("hostapd"): "/usr/sbin/hostapd",
                shutil.which("wpa_supplicant"): "/usr/sbin/wpa_supplicant",
                reporter: "/usr/bin/station-reporter", decoder: "/usr/bin/station-decode"}
    for name in os.listdir(FEED):
        if name.startswith("station-"):
            programs[os.path.join(FEED, name)] = "/usr/bin/" + name
    copy_with_libraries(root, programs)
    if platform:
        # ucode finds its modules in /usr/lib/ucode, as on a device; they and ucode link the
        # platform's libraries, which land in /usr/lib.
        lib = os.path.join(platform, "usr", "lib")
        modules = {os.path.join(lib, "ucode", m): "/usr/lib/ucode/" + m
                   for m in os.listdir(os.path.join(lib, "ucode")) if m.endswith(".so")}
        copy_with_libraries(root, {os.path.join(platform, "usr", "bin", "ucode"): "/usr/bin/ucode",
                                   **modules}, search=lib)
    for applet in subprocess.run([busybox, "--list"], capture_output=True, text=True,
                                 check=True).stdout.split():
        link = os.path.join(root, "bin", applet)
        if not os.path.lexists(link):
            os.symlink("busybox", link)
    for name in ("proc", "sys", "dev", "tmp", "run", "etc", "lib/firmware"):
        os.makedirs(os.path.join(root, name), exist_ok=True)
    for name in ("regulatory.db", "regulatory.db.p7s"):
        shutil.copy(os.path.realpath("/lib/firmware/" + name),
                    os.path.join(root, "lib", "firmware", name))
    with open(os.path.join(root, "etc", "station.key"), "wb") as f:
        f.write(KEY)
    image, modules = kernel()
    copy_modules(root, modules)
    shutil.copy(os.path.join(HERE, "wifi_vm", "init"), os.path.join(root, "init"))
    return image, write_cpio(root, os.path.join(folder, "initramfs.cpio"))


def write_cpio(root, initramfs):
    """The tree under root as an initramfs, every file root's; returns its path."""
    files = subprocess.run(["find", "."], cwd=root, capture_output=True, check=True).stdout
    with open(initramfs, "wb") as out:
        subprocess.run(["cpio", "--quiet", "-o", "-H", "newc", "-R", "0:0"], cwd=root,
                       input=files, stdout=out, check=True)
    return initramfs


def boot(image, initramfs, devices=(), append="", timeout=300):
    """Runs the VM to its end; returns its console output."""
    command = ["qemu-system-x86_64", "-accel", "tcg", "-smp", "1", "-m", "512", "-nic", "none",
               "-kernel", image, "-initrd", initramfs, "-no-reboot", "-display", "none",
               "-monitor", "none", "-serial", "stdio", *devices,
               "-append", "console=ttyS0 quiet loglevel=1 panic=-1 rdinit=/init " + append]
    with tempfile.TemporaryFile() as out:
        vm = subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT)
        try:
            vm.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            vm.kill()
            vm.wait()
        out.seek(0)
        return out.read().decode(errors="replace").replace("\r\n", "\n")


def blocks(console):
    found = {}
    for m in re.finditer(r"^@@begin (\S+)\n(.*?)^@@end \1$", console, re.S | re.M):
        found[m.group(1)] = m.group(2)
    return found


def pseudonym(mac):
    return feed_contract.pseudonym(KEY, mac)


def address(iw_info):
    return re.search(r"\baddr (\S+)", iw_info).group(1).replace(":", "").upper()


def expected(stations, keyed=False):
    """(apmac, mumac, rssi, channel, assoc) the VM's stations must arrive as."""
    rows = []
    for station in stations:
        ap, dbm = STATIONS[station]
        mu = address(CONSOLE["station/" + station])
        rows.append((address(CONSOLE["iw/%s.info" % ap]), pseudonym(mu) if keyed else mu,
                     dbm - 50, CHANNELS[ap], 1))
    return sorted(rows)


def decoded(name):
    return sorted((g["apmac"], g["mumac"], g["rssi"], g["channel"], g["assoc"])
                  for g in map(json.loads, CONSOLE["decoded/" + name].splitlines()))


class KernelWifi(unittest.TestCase):
    def test_every_associated_station_once_a_round(self):
        everyone = sorted(STATIONS)
        left = [s for s in everyone if s != LEAVES]
        cases = [("awk", everyone, False), ("awk-keyed", everyone, True),
                 ("awk-after-leave", left, False)]
        if PLATFORM:
            cases += [("ucode", everyone, False), ("ucode-after-leave", left, False)]
        for name, stations, keyed in cases:
            with self.subTest(round=name):
                self.assertEqual(STATUS.get(name), "0", CONSOLE.get("feed-errors/" + name))
                self.assertEqual(CONSOLE["feed-errors/" + name], "")
                self.assertEqual(decoded(name), expected(stations, keyed))

    def test_both_feeds_give_the_same_lines(self):
        if not PLATFORM:
            self.skipTest("no --platform: the ucode feed did not run")
        # The rate is read at other moments, and mac80211's rate control moves it.
        def lines(name):
            return sorted(l.split(",")[:2] + l.split(",")[3:5] + l.split(",")[6:]
                          for l in CONSOLE["lines/" + name].splitlines())
        everyone = [(ap, mu, str(rssi), str(channel), str(assoc))
                    for ap, mu, rssi, channel, assoc in expected(sorted(STATIONS))]
        # Named, the 2.4 GHz AP takes its per-client AP/VLAN interfaces.
        on_wlan0 = [e for e in everyone if e[3] == str(CHANNELS["wlan0"])]
        for name, want in (("awk", everyone), ("ucode", everyone), ("awk-named", on_wlan0),
                           ("ucode-named", on_wlan0)):
            with self.subTest(feed=name):
                self.assertEqual([tuple(l) for l in lines(name)], want)

    def test_the_band_table_numbers_as_the_kernel_does(self):
        # Every frequency the simulated radio offers, with its channel number as iw gives it.
        offered = {int(f): int(c) for f, c in re.findall(r"\* (\d+)(?:\.0)? MHz \[(\d+)\]",
                                                          CONSOLE["phy/phy0"])}
        self.assertTrue({2484, 5180, 5925, 5955, 7115} <= set(offered), offered)
        table = dict(feed_contract.BANDS)
        self.assertEqual({f: c for f, c in table.items() if f in offered},
                         {f: offered[f] for f in table if f in offered})

    def test_the_ucode_feed_names_the_interfaces_it_reads(self):
        if not PLATFORM:
            self.skipTest("no --platform: the ucode feed did not run")
        # The last round's: the AP/VLAN of the station that left is gone with it.
        self.assertRegex(CONSOLE["messages"], r"access-point interfaces: wlan0 wlan0\.\d+ wlan1\n")

    def test_clients_of_the_per_client_interfaces(self):
        # hostapd's per_sta_vif on the 2.4 GHz AP: its clients sit on AP/VLAN interfaces.
        listing = CONSOLE["iw/dev"]
        self.assertEqual(listing.count("type AP/VLAN"), 2, listing)
        self.assertNotIn("Station", CONSOLE["iw/wlan0.stations"])


if __name__ == "__main__":
    args = sys.argv[1:]
    PLATFORM = sandbox.take_option(args, "--platform")
    record = sandbox.take_option(args, "--record")
    keep = sandbox.take_option(args, "--console")
    reporter, decoder = os.path.abspath(args[0]), os.path.abspath(args[1])
    started = time.time()
    with tempfile.TemporaryDirectory() as folder:
        image, initramfs = build_initramfs(folder, reporter, decoder, PLATFORM and
                                           os.path.abspath(PLATFORM))
        built = time.time()
        console = boot(image, initramfs)
    if keep:
        with open(keep, "w") as f:
            f.write(console)
    CONSOLE = blocks(console)
    STATUS = dict(re.findall(r"^@@status (\S+) (\d+)$", console, re.M))
    print("initramfs %.1fs, VM %.1fs; %s" % (built - started, time.time() - built, " ".join(
        re.findall(r"^@@(associated [\d.]+|done [\d.]+|failed .*)$", console, re.M))),
        file=sys.stderr)
    if "@@done" not in console:
        sys.exit("the VM did not finish:\n" + console[-3000:])
    if record:
        os.makedirs(record, exist_ok=True)
        for name, text in CONSOLE.items():
            if name.startswith("iw/"):
                with open(os.path.join(record, name[3:]), "w") as f:
                    f.write(text)
    unittest.main(argv=[sys.argv[0], "-v"] + args[2:])
