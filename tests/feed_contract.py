"""What the two feeds print for the same stations, written once for both: station-feed (sh/awk
over iw's text) and station-feed.uc (nl80211 and hostapd's ubus objects). Each scenario is a
world of access points and their stations; the awk feed reads it as iw prints it (a recorded
output, or one rendered here in iw 5.19's format), the ucode feed as hostapd's get_clients
gives it (tests/feed/hostapd.uc). Both must print the scenario's lines and say its messages.
Where one feed knows more, the lines differ by design: DIFFERENCES names where and why.
"""
import hashlib, os

RECORDED = os.path.join(os.path.dirname(os.path.abspath(__file__)), "feed", "recorded")

# Fields or lines that differ between the feeds, and why (the README has the same table).
DIFFERENCES = [
    ("lines with assoc 0 of probing clients", "ucode only, with -p CAP: hostapd's probe "
     "notifications; iw shows only the station table"),
    ("clients that associated and left within the interval", "ucode only: hostapd's assoc "
     "notification; iw shows the table at the moment of the dump"),
    ("rssi, rate", "ucode: hostapd's get_clients values, else nl80211's; awk: iw's signal and "
     "tx bitrate lines, nl80211's at the moment of the dump: the same measurements read at "
     "other moments (rate control moves the rate)"),
    ("timestamp", "awk: the time of the dump; ucode: the end of the interval"),
    ("stations of AP/VLAN interfaces of a named AP/VLAN's AP", "ucode: hostapd lists the "
     "BSS's stations under its AP's object, so naming the AP/VLAN alone takes them from "
     "nl80211; awk: from that interface's station dump"),
]

# (frequency in MHz, the kernel's channel number; None: in no band).
BANDS = [(2412, 1), (2437, 6), (2472, 13), (2484, 14), (4920, 184), (4940, 188), (4980, 196),
         (5180, 36), (5885, 177), (5925, 185), (5935, 2), (5955, 1), (6135, 37), (7115, 233),
         (58320, 1), (69120, 6), (2400, None), (2477, None), (3000, None), (5930, None),
         (7120, None), (45000, None)]

# (key file's bytes, client MAC, its pseudonym): the first 12 hex digits of SHA-256 over the
# key file and the MAC as 12 lower-case hex digits, the first byte's bit 1 set and bit 0 clear.
PSEUDONYMS = [(b"not a secret\n", "3C22FBA1B2C3", "CEF1DC53270B"),
              (b"\x00\xffkey\n\x00", "F0D5BF12A4C7", "6A9FC7987066"),
              (b"", "020000000403", "0AEEC5E64F1B")]


def pseudonym(key, mac):
    digest = hashlib.sha256(key + mac.lower().encode()).hexdigest()[:12]
    return "%02X%s" % (int(digest[:2], 16) & 0xFC | 0x02, digest[2:].upper())


def station(mac, signal, rate, assoc=True, on=None):
    """A station: its signal (None: iw shows none, hostapd gives none), tx rate in Mbit/s
    (None: unknown), associated or only authenticated, and its AP/VLAN interface if any."""
    return {"mac": mac, "signal": signal, "rate": rate, "assoc": assoc, "on": on}


def bss(ifname, addr, freq, *stations):
    return {"ifname": ifname, "addr": addr, "freq": freq, "stations": list(stations)}


def line(ap, mu, rssi, channel, rate, assoc=1):
    return "%s,%s,TS,%d,%d,%d,%d" % (ap, mu, rssi, channel, rate, assoc)


def band_world():
    """One AP for each frequency of BANDS, each with one station."""
    return [bss("band%d" % i, "02:b0:00:00:00:%02x" % i, freq,
                station("02:c0:00:00:00:%02x" % i, -40 - i, 6)) for i, (freq, _) in
            enumerate(BANDS)]


def band_lines():
    return [line("02B0000000%02X" % i, "02C0000000%02X" % i, -40 - i, channel, 6)
            for i, (_, channel) in enumerate(BANDS) if channel is not None]


def band_messages():
    return ["band%d: frequency %d MHz is in no band, its clients are not reported" % (i, freq)
            for i, (freq, channel) in enumerate(BANDS) if channel is None]


# name, the recorded iw output (None: rendered from the world), world, interfaces named,
# lines (TS for the timestamp), messages (without station-feed's prefix).
SCENARIOS = [
    ("per-client AP/VLAN interfaces, iw 5.19 on a real kernel", "iw-5.19", [
        bss("wlan0", "02:00:00:00:00:00", 2412,
            station("02:00:00:00:02:00", -40, 1, on="wlan0.4096"),
            station("02:00:00:00:03:00", -45, 1, on="wlan0.4097")),
        bss("wlan1", "02:00:00:00:01:00", 5180, station("02:00:00:00:04:00", -35, 6))], [],
     [line("020000000000", "020000000200", -40, 1, 1),
      line("020000000000", "020000000300", -45, 1, 1),
      line("020000000100", "020000000400", -35, 36, 6)], []),
    ("multi-link stations and one authenticated, not associated", "iw-6.17", [
        bss("phy0-ap0", "02:00:00:00:10:01", 6135,
            station("aa:bb:cc:00:00:01", -40, 2882.3), station("aa:bb:cc:00:00:02", -58, 573.5),
            station("aa:bb:cc:00:00:03", -66, 144.4, assoc=False))], [],
     [line("020000001001", "AABBCC000001", -40, 37, 2882),
      line("020000001001", "AABBCC000002", -58, 37, 573),
      line("020000001001", "AABBCC000003", -66, 37, 144, 0)], []),
    ("a station without a signal", "iw-5.4", [
        bss("wlan0", "a0:b1:c2:d3:e4:f5", 5180, station("3c:22:fb:a1:b2:c3", -52, 866.7),
            station("f0:d5:bf:12:a4:c7", -83, 6, assoc=False),
            station("00:1e:58:ac:01:f2", None, 54))], [],
     [line("A0B1C2D3E4F5", "3C22FBA1B2C3", -52, 36, 866),
      line("A0B1C2D3E4F5", "F0D5BF12A4C7", -83, 36, 6, 0)],
     ["wlan0: station 00:1e:58:ac:01:f2: no signal, skipped"]),
    ("a named AP takes its AP/VLAN interfaces", "ap-vlan", [
        bss("phy0-ap0", "02:0c:43:76:20:01", 2462,
            station("58:ef:68:3a:91:0c", -57, 72.2, on="phy0-ap0.sta1"),
            station("06:1b:2c:3d:4e:5f", -78, 1, on="phy0-ap0.sta2"))], ["phy0-ap0"],
     [line("020C43762001", "58EF683A910C", -57, 11, 72),
      line("020C43762001", "061B2C3D4E5F", -78, 11, 1)], []),
    ("signal 0 is unknown; unknown rate; authenticated only", None, [
        bss("wlan0", "02:0a:00:00:00:01", 2437, station("02:0c:00:00:00:01", 0, 54),
            station("02:0c:00:00:00:02", -61, None), station("02:0c:00:00:00:03", -70, 6,
                                                              assoc=False))], [],
     [line("020A00000001", "020C00000002", -61, 6, 0),
      line("020A00000001", "020C00000003", -70, 6, 6, 0)],
     ["wlan0: station 02:0c:00:00:00:01: no signal, skipped"]),
    ("every band, and frequencies in none", None, band_world(), [], band_lines(),
     band_messages()),
]


def iw_outputs(world):
    """{file: text} of the stand-in iw (tests/feed/iw) for a world, as iw 5.19 prints it."""
    def channel(freq):  # iw's number: 0 for a frequency in no band
        return [c for f, c in BANDS if f == freq][0] or 0

    listing, files = ["phy#0\n"], {}
    for b in world:
        tuned = "\tchannel %d (%d MHz), width: 20 MHz, center1: %d MHz\n" % (
            channel(b["freq"]), b["freq"], b["freq"])
        listing.append("\tInterface %s\n\t\taddr %s\n\t\ttype AP\n\t%s" % (b["ifname"], b["addr"],
                                                                          tuned))
        files[b["ifname"] + ".info"] = "Interface %s\n\taddr %s\n\ttype AP\n\twiphy 0\n%s" % (
            b["ifname"], b["addr"], tuned)
        for s in b["stations"]:
            on = s["on"] or b["ifname"]
            if s["on"] and on + ".info" not in files:
                listing.append("\tInterface %s\n\t\taddr %s\n\t\ttype AP/VLAN\n" % (on, b["addr"]))
                files[on + ".info"] = "Interface %s\n\taddr %s\n\ttype AP/VLAN\n\twiphy 0\n" % (
                    on, b["addr"])
            text = "Station %s (on %s)\n\tinactive time:\t10 ms\n" % (s["mac"], on)
            if s["signal"] is not None:
                text += "\tsignal:  \t%d dBm\n" % s["signal"]
            if s["rate"] is not None:
                text += "\ttx bitrate:\t%.1f MBit/s\n" % s["rate"]
            text += "\tauthenticated:\tyes\n\tassociated:\t%s\n" % ("yes" if s["assoc"] else "no")
            files[on + ".stations"] = files.get(on + ".stations", "") + text
        files.setdefault(b["ifname"] + ".stations", "")
    files["dev"] = "".join(listing)
    return files


def hostapd_clients(b):
    """get_clients's clients of a BSS for tests/feed/hostapd.uc's control object."""
    clients = {}
    for s in b["stations"]:
        c = {"rate": s["rate"] or 0, "assoc": s["assoc"]}
        if s["signal"] is not None:
            c["signal"] = s["signal"]
        clients[s["mac"]] = c
    return clients


def recorded(name):
    """{file: text} of a recorded iw output."""
    folder, files = os.path.join(RECORDED, name), {}
    for name in os.listdir(folder):
        with open(os.path.join(folder, name), newline="") as f:
            files[name] = f.read()
    return files
