#!/usr/bin/env python3
"""station-presence against a model of the rules its README states, written for clarity, not
speed: seeded fleets (roaming, 802.11r order, clients heard by many access points, probing-only
clients and one-off probes, leaving and coming back, access points silent and back, equal
signals, a report from the future and lines out of order) are replayed through the program and
through the model, and every client's and access point's events must be the same.

usage: presence_model.py STATION_PRESENCE [--seeds N]
"""
import json, random, re, subprocess, sys, time, unittest

PRESENCE = None
SEEDS = 6
START = 1796700000.0


# ---- the model ----------------------------------------------------------------------------

class Model:
    """The README's rules, read plainly. Times are milliseconds."""

    VIEWS = 4

    def __init__(self, interval=30, grace=None, hysteresis=5):
        self.interval = interval * 1000
        self.grace = (grace if grace is not None else 4 * interval) * 1000
        self.hysteresis = hysteresis
        self.aps = {}      # apmac -> {"address", "last", "silent"}
        self.clients = {}  # mumac -> state
        self.events = []
        self.clock = None
        self.held = []     # a report from too far ahead, until a second one agrees

    # -- the clock: lines far ahead wait for a second report; lines behind take its time
    def line(self, t, address, record):
        bound = self.grace // 2
        if self.clock is None:
            self.clock = t
        if t - self.clock > bound:
            if self.held and (self.held[0][0], self.held[0][1]) != (t, address):
                if t >= self.held[0][0] - bound:
                    for line in self.held + [(t, address, record)]:
                        self.take(*line)
                    self.held = []
                    return
                self.held = []
            self.held.append((t, address, record))
            return
        self.take(t, address, record)
        if self.held:
            if self.held[0][0] - self.clock <= bound:
                for line in self.held:
                    self.take(*line)
            self.held = []

    def take(self, t, address, record):
        t = max(t, self.clock)
        self.clock = t
        self.advance(t)
        if record is None:  # a heartbeat keeps every access point at its address alive
            for apmac, ap in self.aps.items():
                if ap["address"] == address:
                    self.hear(apmac, t)
            return
        apmac, mumac, rssi, assoc = record
        ap = self.aps.setdefault(apmac, {"address": address, "last": t, "silent": False})
        ap["address"] = address
        self.hear(apmac, t)
        self.see(mumac, apmac, t, rssi, assoc)

    # -- time passing: no sighting for more than the grace
    def advance(self, now):
        due = []
        for mumac, c in self.clients.items():
            if c["last_seen"] + self.grace < now:
                due.append((c["last_seen"] + self.grace, 0, mumac))
        for apmac, ap in self.aps.items():
            if not ap["silent"] and ap["last"] + self.grace < now:
                due.append((ap["last"] + self.grace, 1, apmac))
        for at, kind, key in sorted(due):
            if kind == 0:
                c = self.clients.pop(key)
                if c["present"]:
                    c["dwell"][c["ap"]] = c["dwell"].get(c["ap"], 0) + max(
                        0, c["last_seen"] - c["ap_since"])
                    self.client_event("leave", at, key, c, since=c["first_seen"],
                                      last_seen=c["last_seen"], dwell=dict(c["dwell"]))
            else:
                self.aps[key]["silent"] = True
                self.ap_event("ap-silent", at, key)

    def hear(self, apmac, t):
        ap = self.aps[apmac]
        ap["last"] = t
        if ap["silent"]:
            ap["silent"] = False
            self.ap_event("ap-back", t, apmac)

    # -- which access point
    def current(self, view, t):
        """Seen in the last 1.5 intervals, and its access point has not reported more than
        half an interval later without it."""
        return (t - view["seen"] <= self.interval * 3 // 2 and
                self.aps[view["ap"]]["last"] - view["seen"] <= self.interval // 2)

    def rank(self, view):
        """Associated first, then the stronger signal, the later sighting, the lower apmac."""
        return (view["assoc"], view["rssi"], view["seen"], -view["ap"])

    def keep(self, c, view, t):
        """At most four access points' current sightings; the current access point's stays."""
        views = {ap: v for ap, v in c["views"].items() if self.current(v, t)}
        if view["ap"] in views or len(views) < self.VIEWS:
            views[view["ap"]] = view
        else:
            others = [v for ap, v in views.items() if ap != c["ap"]]
            weakest = min(others, key=self.rank)
            if self.rank(view) > self.rank(weakest):
                del views[weakest["ap"]]
                views[view["ap"]] = view
        c["views"] = views

    def see(self, mumac, apmac, t, rssi, assoc):
        c = self.clients.get(mumac)
        if c is None:
            c = self.clients[mumac] = {"first_seen": t, "last_seen": t, "present": False,
                                       "ap": None, "views": {}, "dwell": {}}
        c["last_seen"] = t
        self.keep(c, {"ap": apmac, "seen": t, "rssi": rssi, "assoc": assoc}, t)
        now = [v for v in c["views"].values() if self.current(v, t)]
        if not c["present"]:
            if not assoc and t - c["first_seen"] < self.interval // 2:
                return
            best = max(now, key=self.rank)
            c.update(present=True, ap=best["ap"], rssi=best["rssi"], assoc=best["assoc"],
                     ap_since=c["first_seen"])
            self.client_event("arrive", t, mumac, c, since=c["first_seen"])
            return
        here = [v for v in now if v["ap"] == c["ap"]]
        others = [v for v in now if v["ap"] != c["ap"]]
        if not others:
            if here:
                c.update(rssi=here[0]["rssi"], assoc=here[0]["assoc"])
            return
        best = max(others, key=self.rank)
        if here:
            cur = here[0]
            stronger = best["rssi"] >= cur["rssi"] + max(self.hysteresis, 1)
            if not ((best["assoc"] and not cur["assoc"]) or
                    (best["assoc"] == cur["assoc"] and stronger)):
                c.update(rssi=cur["rssi"], assoc=cur["assoc"])
                return
        old = c["ap"]
        c["dwell"][old] = c["dwell"].get(old, 0) + t - c["ap_since"]
        c.update(ap=best["ap"], rssi=best["rssi"], assoc=best["assoc"], ap_since=t)
        self.client_event("move", t, mumac, c, **{"from": old})

    # -- events, in the program's JSON terms
    def client_event(self, kind, t, mumac, c, **extra):
        e = {"event": kind, "time": t, "client": mumac, "ap": c["ap"], "rssi": c["rssi"],
             "assoc": int(c["assoc"])}
        e.update(extra)
        self.events.append(e)

    def ap_event(self, kind, t, apmac):
        clients = sum(1 for c in self.clients.values() if c["present"] and c["ap"] == apmac)
        self.events.append({"event": kind, "time": t, "ap": apmac, "clients": clients})


# ---- the fleets ---------------------------------------------------------------------------

def fleet(seed):
    """A generated fleet's lines, in order of receive time: (ms, address, record or None)."""
    rng = random.Random(seed)
    aps = [0xA0B1C2000000 + i for i in range(rng.randint(6, 24))]
    interval = 30000
    offset = {ap: rng.randrange(0, interval * 2 // 3) for ap in aps}
    rounds = 40
    silent = {rng.choice(aps): range(a, a + rng.randint(4, 9))
              for a in rng.sample(range(5, rounds - 10), 2)}
    clients = []
    for i in range(rng.randint(40, 120)):
        kind = rng.choices(["assoc", "probing", "many"], [6, 2, 1])[0]
        clients.append({"mac": 0x0A0000000000 + seed * 0x10000 + i, "kind": kind,
                        "ap": rng.choice(aps), "rssi": rng.randint(-80, -40),
                        "leaves": rng.randrange(rounds * 2), "back": rng.randrange(rounds * 2),
                        "old": None, "tie": rng.random() < 0.3})
        base = rng.randint(-85, -50)
        clients[-1]["heard"] = [(ap, base if clients[-1]["tie"] else rng.randint(-90, -45))
                                for ap in rng.sample(aps, 2 if kind == "probing" else 7)]
    sightings = {}  # (round, ap) -> [(mumac, rssi, assoc)]

    def add(r, ap, mac, rssi, assoc):
        if rng.random() > 0.05:  # an access point misses a client now and then
            sightings.setdefault((r, ap), []).append((mac, max(-128, min(127, rssi)), assoc))

    for r in range(rounds):
        for c in clients:
            if c["leaves"] <= r < c["back"]:
                continue
            noise = rng.randint(-3, 3)
            if c["kind"] == "assoc":
                if rng.random() < 0.08:  # roams; with 802.11r the old one lists it a round
                    c["old"] = c["ap"] if rng.random() < 0.5 else None
                    c["ap"], c["rssi"] = rng.choice(aps), rng.randint(-80, -40)
                add(r, c["ap"], c["mac"], c["rssi"] + noise, 1)
                if c["old"] is not None:
                    add(r, c["old"], c["mac"], c["rssi"] + rng.randint(-8, 8), 1)
                    c["old"] = None
                for ap in rng.sample(aps, rng.randint(0, 3)):  # probes heard elsewhere
                    add(r, ap, c["mac"], rng.choice([c["rssi"], c["rssi"] - 10, -90]), 0)
            else:  # heard probing by the same few access points, now and then equally well
                for ap, rssi in c["heard"]:
                    if rng.random() < 0.8:
                        add(r, ap, c["mac"], rssi + (0 if c["tie"] else noise), 0)
        for _ in range(3):  # one-off probes of random addresses
            add(r, rng.choice(aps), 0x020000000000 + rng.getrandbits(40), -88, 0)
    lines = []
    for r in range(rounds):
        for ap in aps:
            if ap in silent and r in silent[ap]:
                continue
            t = int(START * 1000) + r * interval + offset[ap] + rng.randrange(0, 300)
            address = "127.1.%d.%d" % (ap >> 8 & 0xFF, ap & 0xFF)
            rows = sightings.get((r, ap), [])
            lines += [(t, address, (ap,) + row) for row in rows] or [(t, address, None)]
    lines.sort(key=lambda line: line[0])
    # A line a little out of order, then a report from a day ahead.
    at = rng.randrange(1, len(lines) // 3)
    lines.insert(at, (lines[at - 1][0] - 700,) + lines[at][1:])
    at = rng.randrange(len(lines) // 2, len(lines))
    lines.insert(at, (lines[at][0] + 86400000, "127.9.9.9",
                      (0xA0B1C2FFFFFF, 0x0AFFFFFFFFFF, -40, 1)))
    return lines


def csv(lines):
    out = ["from,record,apmac,mumac,timestamp,rssi,channel,assoc,received"]
    for n, (t, address, record) in enumerate(lines):
        fields = "0,,,,,," if record is None else "1,%012X,%012X,%d,%d,6,%d" % (
            *record[:2], t // 1000, *record[2:])
        out.append("%s:%d,%s,%d.%03d" % (address, 40000 + n % 1000, fields, *divmod(t, 1000)))
    return "\n".join(out) + "\n"


# ---- the comparison -----------------------------------------------------------------------

def normalise(e):
    """A program's event in the model's terms: milliseconds, MACs as numbers, no address."""
    ms, mac = lambda v: round(v * 1000), lambda v: int(v, 16)
    terms = {"time": ms, "since": ms, "last_seen": ms, "client": mac, "ap": mac, "from": mac,
             "dwell": lambda d: {mac(k): ms(v) for k, v in d.items()}}
    return {k: terms.get(k, lambda v: v)(v) for k, v in e.items() if k != "address"}


def by_subject(events):
    subjects = {}
    for e in events:
        key = ("client", e["client"]) if "client" in e else ("ap", e["ap"])
        subjects.setdefault(key, []).append(e)
    return subjects


def run_program(lines, options, before="", pause=0):
    """The program on the lines from a pipe, after the text before and a pause: its events
    and its standard error."""
    run = subprocess.Popen([PRESENCE, *options], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True)
    run.stdin.write(before)
    run.stdin.flush()
    time.sleep(pause)
    out, err = run.communicate(csv(lines), timeout=60)
    if run.returncode != 0:
        raise AssertionError("station-presence failed: " + err)
    return [json.loads(line) for line in out.splitlines()], err


# The model's settings, each the program's option of the same name.
SETTINGS = [{}, {"hysteresis": 0}, {"interval": 20, "grace": 50, "hysteresis": 8}]


class Fleets(unittest.TestCase):
    def test_the_program_follows_the_model_on_every_fleet(self):
        for seed in range(1, SEEDS + 1):
            settings = SETTINGS[seed % len(SETTINGS)]
            options = [text for k, v in settings.items() for text in ("--" + k, str(v))]
            with self.subTest(seed=seed, options=" ".join(options)):
                lines = fleet(seed)
                model = Model(**settings)
                for line in lines:
                    model.line(*line)
                got, stderr = run_program(lines, options)
                ours, theirs = by_subject(map(normalise, got)), by_subject(model.events)
                differ = sorted(k for k in set(ours) | set(theirs)
                                if ours.get(k) != theirs.get(k))
                # The first three subjects that differ, each from its first event that does.
                detail = ""
                for key in differ[:3]:
                    a, b = ours.get(key, []), theirs.get(key, [])
                    i = next(i for i in range(max(len(a), len(b))) if a[i:i + 1] != b[i:i + 1])
                    detail += "\n%s %X: program %s\n  model %s" % (*key, a[i:i + 2], b[i:i + 2])
                self.assertEqual(differ, [], "%d of %d subjects differ (the model's events: %d, "
                                 "the program's: %d)%s" % (len(differ), len(theirs),
                                                           len(model.events), len(got), detail))
                # The fleet does exercise the rules.
                kinds = {e["event"] for e in model.events}
                self.assertTrue({"arrive", "move", "leave", "ap-silent", "ap-back"} <= kinds)
                self.assertIn("ahead of the clock, not confirmed", stderr)

    def test_a_replay_gives_the_same_events_however_its_first_line_comes(self):
        lines = fleet(1)[:2000]
        at_once, said = run_program(lines, [])
        counts = re.search(r"(\d+) lines, .* (\d+) refused", said).groups()
        self.assertGreater(len(at_once), 50)
        for name, before, pause in (("late", "", 1.5),
                                    ("after a line too long", "x" * 70000 + "\n", 1.5)):
            with self.subTest(name):
                later, said = run_program(lines, [], before, pause)
                self.assertEqual(later, at_once)
                # The rest of the line too long is no line of its own.
                more = 1 if before else 0
                self.assertEqual(re.search(r"(\d+) lines, .* (\d+) refused", said).groups(),
                                 tuple(str(int(n) + more) for n in counts))


if __name__ == "__main__":
    PRESENCE = sys.argv.pop(1)
    if "--seeds" in sys.argv:
        SEEDS = int(sys.argv.pop(sys.argv.index("--seeds") + 1))
        sys.argv.remove("--seeds")
    unittest.main()
