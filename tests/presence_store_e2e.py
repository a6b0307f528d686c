#!/usr/bin/env python3
"""station-presence's database: files not its own refused unchanged, a read-only one queried,
the first schema migrated and resumed, kill -9 at seeded random points of a paced live feed.
usage: presence_store_e2e.py STATION_PRESENCE DATA_DIR [SUITE]"""
import contextlib, glob, hashlib, json, os, pathlib, random, shutil, sqlite3, subprocess, sys
import tempfile, time, unittest

PRESENCE = DATA = None
APS = ["A0B1C2D3E4%02X" % i for i in range(1, 4)]


def digest(path):
    return hashlib.sha256(pathlib.Path(path).read_bytes()).hexdigest()


def sql(path, query):
    with contextlib.closing(sqlite3.connect("file:%s?mode=ro" % path, uri=True)) as db:
        return db.execute(query).fetchall()


def presence(*args, input=None):
    """The program on input (none: no standard input), its output as text."""
    return subprocess.run([PRESENCE, *args], input=input, capture_output=True, text=True,
                          stdin=None if input is not None else subprocess.DEVNULL)


def read_only(folder, *command):
    """command with folder mounted read-only (root cannot write it either)."""
    user = [] if os.geteuid() == 0 else ["--user", "--map-root-user"]
    return subprocess.run(["unshare", *user, "--mount", "--propagation", "private", "sh", "-c",
                           'mount --bind -o ro "$0" "$0" && exec "$@"', folder, *command],
                          capture_output=True, text=True)


class Files(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.folder)

    def v0(self, name):
        """A copy of a database of the first schema."""
        return shutil.copy(os.path.join(DATA, "presence-v0.db"), os.path.join(self.folder, name))

    def ours(self, name):
        path = self.v0(name)
        r = presence("--db", path)  # migrates it
        self.assertEqual(r.returncode, 0, r.stderr)
        return path

    def test_a_file_not_its_own_is_refused_unchanged(self):
        def made(name, script):
            path = os.path.join(self.folder, name)
            sqlite3.connect(path).executescript(script).connection.close()
            return path
        text, page = pathlib.Path(self.folder, "text.db"), os.path.join(self.folder, "page.html")
        text.write_text("not a database\n")
        cases = [
            (made("other.db", "CREATE TABLE t(a)"),
             "not a station-presence database: it has no table aps"),
            (made("other-wal.db", "PRAGMA journal_mode=WAL; CREATE TABLE t(a)"),
             "not a station-presence database: it has no table aps"),
            (made("id.db", "CREATE TABLE t(a); PRAGMA application_id = 7"),
             "not a station-presence database (its application id is 7, its user version 0)"),
            (made(self.ours("newer.db"), "PRAGMA user_version = 2"),
             "made by a newer station-presence (schema version 2; this one's is 1)"),
            (made(self.ours("renamed.db"), "ALTER TABLE stays RENAME TO old_stays"),
             "its schema is damaged: it has no table stays"),
            (str(text), "file is not a database"),
        ]
        for path, reason in cases:
            before = digest(path)
            for command in ([], ["now"], ["visits"], ["aps"], ["report", "--html", page]):
                r = presence(*command, "--db", path)
                self.assertEqual((r.returncode, r.stdout, r.stderr),
                                 (1, "", "station-presence: %s: cannot open: %s\n"
                                  % (path, reason)), command)
                self.assertEqual(digest(path), before, path)
                self.assertFalse(glob.glob(path + "-*") or os.path.exists(page), path)

    def test_each_query_on_each_kind_of_database(self):
        """now, visits, aps and report on an empty, a current, an older (as it is, and
        migrated) and a missing database: the rows the file holds, or that it is missing."""
        empty = os.path.join(self.folder, "empty.db")
        presence("--db", empty)
        current = os.path.join(self.folder, "current.db")
        lines = "".join("127.0.0.1:4000,1,%s,0A1B2C3D4E%02X,%d,-40,6,1,%d.5\n"
                        % (APS[c % 2], c, t, t) for t in range(1796700000, 1796700400, 30)
                        for c in range(1, 4) if t < 1796700100 or c != 3)
        presence("--db", current, input=lines)
        older = self.v0("v0.db")
        rows = {"now": "SELECT mumac FROM visits WHERE departed IS NULL",
                "visits": "SELECT mumac FROM visits", "aps": "SELECT apmac FROM aps"}
        page = os.path.join(self.folder, "page.html")
        for path in (empty, current, older, self.ours("migrated.db"),
                     os.path.join(self.folder, "missing.db")):
            name = os.path.basename(path)
            for mode in ("now", "visits", "aps", "report"):
                with self.subTest(db=name, mode=mode):
                    extra = ["--html", page] if mode == "report" else []
                    r = presence(mode, "--db", path, *extra)
                    if name == "missing.db":
                        self.assertEqual((r.returncode, r.stdout, r.stderr.split(": cannot open: ")[1]),
                                         (1, "", "No such file or directory\n"))
                        continue
                    self.assertEqual((r.returncode, r.stderr), (0, ""))
                    if mode == "report":
                        text = pathlib.Path(page).read_text()
                        macs = [m for (m,) in sql(path, rows["aps"])]
                        self.assertEqual("No data yet" in text, not macs)
                        self.assertTrue(all(m in text for m in macs))
                    else:
                        table = r.stdout.splitlines()
                        self.assertEqual(sorted(t.split()[0] for t in table[1:]),
                                         sorted(m for (m,) in sql(path, rows[mode])))
                        self.assertEqual(table[0].split()[0], {"aps": "ap"}.get(mode, "client"))
        self.assertFalse(os.path.exists(os.path.join(self.folder, "missing.db")))

    def test_old_visits_are_pruned_and_a_client_forgotten(self):
        path = os.path.join(self.folder, "p.db")
        day = 86400
        line = "127.0.0.1:4000,1,%s,%s,%d,-40,6,1,%d.5\n"
        # Day 0: C1 and C2 come and go, C4 comes twice to AP3, which is silent between; day 2:
        # C3 and C1 again.
        seen = [(t, APS[0], c) for t in (0, 30) for c in ("0A1B2C3D4E01", "0A1B2C3D4E02")]
        seen += [(t, APS[2], "0A1B2C3D4E04") for t in (0, 600)]
        seen += [(2 * day + t, APS[1], c) for t in (0, 30) for c in ("0A1B2C3D4E03", "0A1B2C3D4E01")]
        lines = [line % (ap, c, 1796700000 + t, 1796700000 + t) for t, ap, c in sorted(seen)]
        for keep, visits, silences in ((0, 6, 3), (1, 2, 2)):  # 0: for ever; 1 day
            if os.path.exists(path):
                os.remove(path)
            r = presence("--db", path, "--keep-visits", str(keep), "--keep", "1",
                         input="".join(lines))
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(sql(path, "SELECT COUNT(*) FROM visits"), [(visits,)], keep)
            self.assertEqual(sql(path, "SELECT COUNT(*) FROM stays WHERE visit NOT IN "
                                       "(SELECT id FROM visits)"), [(0,)])
            self.assertEqual(sql(path, "SELECT COUNT(*) FROM silences"), [(silences,)], keep)
        self.assertEqual(sql(path, "SELECT mumac FROM visits ORDER BY mumac"),
                         [("0A1B2C3D4E01",), ("0A1B2C3D4E03",)])
        before = sql(path, "SELECT COUNT(*) FROM sightings WHERE mumac != '0A1B2C3D4E01'")
        (rows,), = sql(path, "SELECT (SELECT COUNT(*) FROM stays WHERE visit IN (SELECT id FROM "
                             "visits WHERE mumac = '0A1B2C3D4E01')) + (SELECT COUNT(*) FROM visits "
                             "WHERE mumac = '0A1B2C3D4E01') + (SELECT COUNT(*) FROM sightings "
                             "WHERE mumac = '0A1B2C3D4E01')")
        self.assertGreater(rows, 2)
        cases = [(["0a:1b:2c:3d:4e:01"], 0, "0A1B2C3D4E01: %d rows removed\n" % rows),
                 (["0A1B2C3D4E01"], 0, "0A1B2C3D4E01: 0 rows removed\n"),
                 (["0A1B2C3D4E0"], 2, ""), ([], 2, "")]
        for args, status, said in cases:
            r = presence("forget", *args, "--db", path)
            self.assertEqual((r.returncode, r.stdout), (status, said), args)
        self.assertEqual(sql(path, "SELECT mumac FROM visits"), [("0A1B2C3D4E03",)])
        self.assertEqual(sql(path, "SELECT COUNT(*) FROM sightings WHERE mumac != '0A1B2C3D4E01'"),
                         before)
        r = presence("forget", "0A1B2C3D4E01", "--db", path + ".missing")
        self.assertEqual((r.returncode, os.path.exists(path + ".missing")), (1, False))

    def test_a_read_only_database_is_queried_and_not_followed(self):
        ro, page = os.path.join(self.folder, "ro"), os.path.join(self.folder, "page.html")
        os.mkdir(ro)
        path = self.ours(os.path.join(ro, "presence.db"))
        for db in (path, os.path.join(DATA, "presence-v0.db")):
            for command in (["now"], ["visits"], ["aps"]):
                writable = presence(*command, "--db", db)
                r = read_only(os.path.dirname(db), PRESENCE, *command, "--db", db)
                self.assertEqual((r.returncode, r.stderr), (0, ""), command)
                self.assertEqual(r.stdout, writable.stdout)
                self.assertGreater(len(r.stdout.splitlines()), 1)
        r = read_only(ro, PRESENCE, "report", "--db", path, "--html", page)
        self.assertEqual((r.returncode, r.stderr, os.path.getsize(page) > 0), (0, "", True))
        # Refused at the start, also while a reader has a -wal and a -shm beside it.
        for reader in (None, sqlite3.connect("file:%s?mode=ro" % path, uri=True)):
            if reader:
                reader.execute("SELECT COUNT(*) FROM visits").fetchall()
                self.assertTrue(os.path.exists(path + "-shm"))
            r = read_only(ro, PRESENCE, "--db", path)
            self.assertEqual((r.returncode, r.stderr.split(": cannot open: ")[0]),
                             (1, "station-presence: " + path), reader)
        reader.close()

    def test_a_database_of_the_first_schema_is_migrated_and_resumed(self):
        path = self.v0("v0.db")
        # 0A1B2C3D4E01 is seen again; 0A1B2C3D4E03 is not, and leaves a grace later.
        lines = "".join("127.0.0.1:4000,1,%s,0A1B2C3D4E01,%d,-40,6,1,%.3f\n" % (APS[1], t, t)
                        for t in (1796700910.0, 1796700913.0, 1796700916.0))
        r = presence("--db", path, "--grace", "5", input=lines)
        self.assertEqual(r.returncode, 0, r.stderr)
        events = [json.loads(l) for l in r.stdout.splitlines()]
        self.assertEqual([(e["event"], e["client"], e["since"], e["last_seen"]) for e in events
                          if "client" in e],
                         [("leave", "0A1B2C3D4E03", 1796700000.02, 1796700900.02)])
        self.assertEqual(sql(path, "SELECT * FROM pragma_application_id, pragma_user_version"),
                         [(0x53745072, 1)])
        self.assertEqual(sql(path, "SELECT id, mumac, arrived FROM visits WHERE departed IS NULL"),
                         [(1, "0A1B2C3D4E01", 1796700000.01)])
        self.assertEqual(sql(path, "SELECT (SELECT COUNT(*) FROM visits), "
                               "(SELECT COUNT(*) FROM sightings)"), [(5, 84)])


def schedule(rng, clients, length):
    """Each client's stays: (start, end, access point, rssi); a gap longer than the grace
    between two of them is a departure and a new visit."""
    plan = {}
    for c in range(clients):
        t, stays = rng.uniform(0, 1.5), []
        while t < length:
            end = t + rng.uniform(1.0, 4.0)
            stays.append((t, end, rng.choice(APS), rng.choice([-40, -55, -70])))
            t = end + (rng.uniform(3.5, 4.5) if rng.random() < 0.25 else 0)
        plan["0A1B2C3D4E%02X" % (c + 1)] = stays
    return plan


class Crash(unittest.TestCase):
    GRACE, LENGTH = 3, 7.0

    def start(self, db):
        return subprocess.Popen([PRESENCE, "--db", db, "--interval", "1", "--grace",
                                 str(self.GRACE), "--keep", "1"], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)

    def test_kill_9_loses_at_most_the_last_writes_and_never_tells_an_event_twice(self):
        for seed in (1, 2, 3):
            with self.subTest(seed=seed), tempfile.TemporaryDirectory() as folder:
                self.replay(random.Random(seed), os.path.join(folder, "p.db"))

    def replay(self, rng, db):
        plan = schedule(rng, 6, self.LENGTH)
        kills = sorted(rng.uniform(1.5, self.LENGTH - 1) for _ in range(2))
        proc, told, sent, closed, kept = self.start(db), [], [], {}, 0
        start = time.time()
        while time.time() - start < self.LENGTH + self.GRACE + 1.5:
            t = time.time() - start
            if kills and t >= kills[0]:
                kills.pop(0)
                proc.kill()
                told += [json.loads(l) for l in proc.communicate()[0].splitlines()]
                self.assertEqual(sql(db, "PRAGMA integrity_check"), [("ok",)])
                self.held(db, told)
                # What this run read more than the flush's second or two before the kill is kept.
                before, kept = kept, sql(db, "SELECT COUNT(*) FROM sightings")[0][0]
                cutoff = time.time() - 3
                self.assertGreaterEqual(kept - before, sum(at < cutoff for at, _ in sent))
                # An open visit's last sighting is written once it is an interval newer.
                for mumac, seen in sql(db, "SELECT mumac, last_seen FROM visits "
                                       "WHERE departed IS NULL"):
                    early = [at for at, mu in sent if mu == mumac and at < cutoff]
                    self.assertGreaterEqual(seen, max(early, default=0) - 1.01, mumac)
                sent = []
                self.assertEqual(sql(db, "SELECT mumac FROM visits WHERE departed IS NULL "
                                     "GROUP BY mumac HAVING COUNT(*) > 1"), [])
                closed.update((r[0], r) for r in sql(
                    db, "SELECT * FROM visits WHERE departed IS NOT NULL"))
                proc = self.start(db)
            lines = ["127.0.0.1:4000,1,%s,%s,%d,%d,6,1,%.3f\n" % (ap, mu, now, rssi, now)
                     for mu, stays in plan.items() for (a, b, ap, rssi) in stays
                     if a <= t < min(b, self.LENGTH) for now in [time.time()]]
            if lines:
                proc.stdin.write("".join(lines))
                proc.stdin.flush()
                sent += [(float(l.split(",")[-1]), l.split(",")[3]) for l in lines]
            time.sleep(0.25)
        proc.stdin.close()
        told += [json.loads(l) for l in proc.stdout.read().splitlines()]
        self.assertEqual(proc.wait(10), 0)
        self.assertEqual(sql(db, "PRAGMA integrity_check"), [("ok",)])
        self.held(db, told)
        # Every visit left, each told once: a resumed one by the run that resumed it.
        visits = sql(db, "SELECT id, mumac, arrived, departed FROM visits ORDER BY id")
        self.assertTrue(visits and all(v[3] is not None for v in visits))
        kinds = lambda kind: sorted((e["client"], e["since"]) for e in told if e["event"] == kind)
        self.assertEqual(kinds("arrive"), sorted((v[1], v[2]) for v in visits))
        self.assertEqual(kinds("leave"), kinds("arrive"))
        for id, row in closed.items():
            self.assertIn(row, sql(db, "SELECT * FROM visits WHERE id = %d" % id))

    def held(self, db, told):
        """Every event told is in the database, each visit's arrival and moves as its stays."""
        for v, mumac, arrived, departed in sql(db, "SELECT id, mumac, arrived, departed "
                                               "FROM visits"):
            mine = [e for e in told if e.get("client") == mumac]
            start = [i for i, e in enumerate(mine) if e["event"] == "arrive" and
                     e["since"] == arrived]
            end = [i for i, e in enumerate(mine) if e["event"] == "leave" and
                   e["since"] == arrived] + [len(mine)]
            self.assertEqual(len(start), 1, (mumac, arrived, mine))
            moves = [e["ap"] for e in mine[start[0]:end[0]] if e["event"] in ("arrive", "move")]
            self.assertEqual(moves, [r[0] for r in sql(db, "SELECT apmac FROM stays WHERE "
                                                       "visit = %d ORDER BY rowid" % v)])
            self.assertEqual(end[0] < len(mine), departed is not None, (mumac, arrived))
        visits = set(sql(db, "SELECT mumac, arrived FROM visits"))
        self.assertLessEqual({(e["client"], e["since"]) for e in told
                              if e["event"] == "arrive"}, visits)


if __name__ == "__main__":
    PRESENCE, DATA = sys.argv[1:3]
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[3:])
