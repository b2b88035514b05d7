#!/usr/bin/env python3
"""Tests of velk-service on PostgreSQL: a real PostgreSQL server in a temporary folder on a Unix
socket (run as `nobody` when the tests run as root), two service instances on it, and nginx in
front of them on loopback, configured by service/deploy/nginx.conf. Everything started here is
stopped on every exit.

Usage: postgres_test.py PATH/TO/velk-service
"""
import atexit
import concurrent.futures
import email.utils
import http.client
import json
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request

PG_BIN = "/usr/lib/postgresql/15/bin"
NGINX = shutil.which("nginx") or "/usr/sbin/nginx"  # sbin is not on every user's PATH
NGINX_CONF = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "deploy", "nginx.conf")
INTERVAL_MS = 1500
WRONG_KEYS = 20  # per address: each test that guesses does it from an address of its own
SERVICE = None
CLUSTER = None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Cluster:
    """PostgreSQL, two instances A and B, and nginx; stop() ends whatever runs, and may be called
    any number of times."""

    def __init__(self):
        self.work = tempfile.mkdtemp(prefix="velk-postgres-")
        os.chmod(self.work, 0o755)
        self.pgdata = os.path.join(self.work, "pg")
        self.socket_dir = os.path.join(self.work, "socket")
        self.instances = {}  # name -> (process, port)
        self.nginx_port = free_port()  # in place of 80
        self.tls_port = free_port()  # in place of 443, where instances send page requests
        self.nginx = None
        self.registrations_per_hour = 100  # the sessions scenario registers 20 through nginx
        self.stopped = False
        atexit.register(self.stop)

    def as_db_user(self, *command):
        """A command line that runs as an unprivileged user: PostgreSQL refuses to run as root."""
        if os.geteuid() == 0:
            return ["runuser", "-u", "nobody", "--", *command]
        return list(command)

    def start_database(self):
        for folder in (self.pgdata, self.socket_dir):
            os.makedirs(folder, exist_ok=True)
            if os.geteuid() == 0:
                shutil.chown(folder, "nobody")
        subprocess.run(self.as_db_user(PG_BIN + "/initdb", "-D", self.pgdata, "-U", "velk",
                                       "--auth=trust", "-E", "UTF8", "--no-locale"),
                       check=True, capture_output=True)
        self.pg_ctl("start")
        subprocess.run([PG_BIN + "/createdb", "-h", self.socket_dir, "-U", "velk", "velk"],
                       check=True, capture_output=True)

    def pg_ctl(self, action, *args):
        options = "-k %s -c listen_addresses='' -c fsync=off" % self.socket_dir
        subprocess.run(self.as_db_user(PG_BIN + "/pg_ctl", action, "-D", self.pgdata, "-w", "-t",
                                       "30", "-l", os.path.join(self.pgdata, "log"), "-o",
                                       options, *args),
                       check=True, capture_output=True)

    def db_uri(self, form="uri"):
        if form == "uri":
            return "postgresql:///velk?host=%s&user=velk" % self.socket_dir
        return "host=%s dbname=velk user=velk" % self.socket_dir

    def psql(self, sql, database="velk"):
        result = subprocess.run([PG_BIN + "/psql", "-h", self.socket_dir, "-U", "velk", "-d",
                                 database, "-At", "-c", sql], check=True, capture_output=True,
                                text=True)
        return result.stdout.strip()

    def start_instance(self, name, form="uri", port=0):
        process = subprocess.Popen(
            [SERVICE, "serve", "--db", self.db_uri(form), "--port", str(port), "--report-interval-ms",
             str(INTERVAL_MS), "--wrong-keys-per-minute", str(WRONG_KEYS), "--trusted-proxy",
             "127.0.0.1", "--https-url", "https://127.0.0.1:%d" % self.tls_port,
             "--registrations-per-hour", str(self.registrations_per_hour),
             "--metrics-address", "127.0.0.1:0", "--access-log", "off"],
            stdout=subprocess.PIPE, stderr=sys.stderr, text=True)
        line = process.stdout.readline()
        match = re.search(r"listening on http://127\.0\.0\.1:(\d+)", line)
        if not match:
            process.kill()
            process.wait()
            raise RuntimeError("instance %s did not start: %s" % (name, line))
        self.instances[name] = (process, int(match.group(1)))

    def kill_instance(self, name, sig=signal.SIGKILL):
        """Ends the instance with `sig` (SIGKILL after 30 s); returns its exit status."""
        process, _ = self.instances.pop(name)
        process.send_signal(sig)
        try:
            code = process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
            code = process.wait()
        process.stdout.close()
        return code

    def start_nginx(self):
        """nginx with deploy/nginx.conf on free loopback ports: nginx_port in place of 80,
        tls_port in place of 443, with a self-signed certificate for 127.0.0.1 (tls_cert)."""
        prefix = os.path.join(self.work, "nginx")
        os.makedirs(os.path.join(prefix, "tmp"), exist_ok=True)
        os.makedirs(os.path.join(prefix, "tls"), exist_ok=True)
        self.tls_cert = os.path.join(prefix, "tls", "velk.crt")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                        "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", os.path.join(prefix, "tls", "velk.key"), "-out",
                        self.tls_cert], check=True, capture_output=True)
        with open(NGINX_CONF) as f:
            conf = f.read()
        conf = conf.replace("listen 80;", "listen 127.0.0.1:%d;" % self.nginx_port)
        conf = conf.replace("listen 443 ssl;", "listen 127.0.0.1:%d ssl;" % self.tls_port)
        conf = conf.replace("127.0.0.1:8081", "127.0.0.1:%d" % self.port("A"))
        conf = conf.replace("127.0.0.1:8082", "127.0.0.1:%d" % self.port("B"))
        with open(os.path.join(prefix, "nginx.conf"), "w") as f:
            f.write(conf)
        self.nginx = subprocess.Popen([NGINX, "-p", prefix, "-c", "nginx.conf", "-g",
                                       "daemon off;"], stderr=sys.stderr)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.nginx_port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("nginx did not start")

    def postgres_pids(self):
        """The postmaster first, then its children (the backends and helpers)."""
        with open(os.path.join(self.pgdata, "postmaster.pid")) as f:
            postmaster = int(f.readline())
        children = []
        for entry in os.listdir("/proc"):
            try:
                with open("/proc/%s/stat" % entry) as f:
                    if int(f.read().rsplit(")", 1)[1].split()[1]) == postmaster:
                        children.append(int(entry))
            except (OSError, ValueError, IndexError):
                pass
        return [postmaster] + children

    def freeze_database(self):
        """Stops every PostgreSQL process as a hung server would; thaw_database undoes it, and so
        does stop(), on any exit."""
        self.frozen = self.postgres_pids()
        for pid in self.frozen:
            os.kill(pid, signal.SIGSTOP)

    def thaw_database(self):
        for pid in getattr(self, "frozen", []):
            try:
                os.kill(pid, signal.SIGCONT)
            except ProcessLookupError:
                pass
        self.frozen = []

    def port(self, name):
        return self.nginx_port if name == "nginx" else self.instances[name][1]

    def stop(self):
        if self.stopped:
            return
        self.stopped = True
        self.thaw_database()
        if self.nginx and self.nginx.poll() is None:
            self.nginx.send_signal(signal.SIGQUIT)
            try:
                self.nginx.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.nginx.kill()
                self.nginx.wait()
        for name in list(self.instances):
            self.kill_instance(name)
        if os.path.exists(os.path.join(self.pgdata, "postmaster.pid")):
            subprocess.run(self.as_db_user(PG_BIN + "/pg_ctl", "stop", "-D", self.pgdata, "-m",
                                           "immediate", "-w"), capture_output=True)
        shutil.rmtree(self.work, ignore_errors=True)


def request(where, path, headers=None, source="127.0.0.1", method="GET", body=None):
    """A request to `where` ("A", "B" or "nginx") from the loopback address `source`; returns
    (status, headers, body)."""
    connection = http.client.HTTPConnection("127.0.0.1", CLUSTER.port(where), timeout=20,
                                            source_address=(source, 0))
    try:
        connection.request(method, path, body=body, headers=headers or {})
        answer = connection.getresponse()
        return answer.status, dict(answer.headers), answer.read()
    finally:
        connection.close()


def exchange(where, method, path, body=None, cookie=None, source="127.0.0.1"):
    """One request without following redirects, as a browser sends it: through nginx over HTTPS,
    or straight to an instance as from a TLS front on loopback; returns (status, cookies set,
    body text). `source` is the client's loopback address: nginx limits page requests per address."""
    if where == "nginx":
        context = ssl.create_default_context(cafile=CLUSTER.tls_cert)
        connection = http.client.HTTPSConnection("127.0.0.1", CLUSTER.tls_port, timeout=20,
                                                 context=context, source_address=(source, 0))
        headers = {}
    else:
        connection = http.client.HTTPConnection("127.0.0.1", CLUSTER.port(where), timeout=20)
        headers = {"X-Forwarded-Proto": "https"}
    try:
        if cookie:
            headers["Cookie"] = cookie
        if body is not None:
            headers["Content-Type"] = "application/x-www-form-urlencoded"
            body = urllib.parse.urlencode(body)
        connection.request(method, path, body=body, headers=headers)
        answer = connection.getresponse()
        cookies = {}
        for field in answer.headers.get_all("Set-Cookie") or []:
            name, value = field.split(";")[0].split("=", 1)
            cookies[name] = value
        return answer.status, cookies, answer.read().decode("utf-8", "replace")
    finally:
        connection.close()


def csrf_of(page):
    return re.search(r'name="csrf" value="([0-9a-f]+)"', page).group(1)


def register(where, name, source="127.0.0.1"):
    """Registers `name`; returns (session cookie, the account page's csrf, the key), the key as
    the page after the redirect shows it once (None when it does not)."""
    _, cookies, form = exchange(where, "GET", "/user/register", source=source)
    status, cookies, page = exchange(where, "POST", "/user/register",
                                     {"name": name, "codepage": "1252", "csrf": csrf_of(form)},
                                     "velk_signin=" + cookies["velk_signin"], source)
    assert status == 303, (status, page)
    session = "velk_session=" + cookies["velk_session"]
    _, _, page = exchange(where, "GET", "/account", None,
                          session + "; velk_flash=" + cookies.get("velk_flash", ""), source)
    key = re.search(r'class="key"[^>]*>(\d{20})<', page)
    return session, csrf_of(page), key.group(1) if key else None


def sign_in(where, name, key):
    """Signs in through the form of `where`; returns the session cookie, or None."""
    _, cookies, form = exchange(where, "GET", "/account")
    nonce = "velk_signin=" + cookies["velk_signin"]
    status, cookies, _ = exchange(where, "POST", "/account/signin",
                                  {"name": name, "key": key, "csrf": csrf_of(form)}, nonce)
    return "velk_session=" + cookies["velk_session"] if status == 303 else None


def signed_in(where, cookie, source="127.0.0.1"):
    status, _, page = exchange(where, "GET", "/account", cookie=cookie, source=source)
    return status == 200 and 'id="signout"' in page


def report(where, user, title, key=None, artist="Artist", source="127.0.0.1"):
    query = urllib.parse.urlencode({"user": user, "key": key or KEYS[user], "artist": artist,
                                    "title": title, "album": "", "year": "", "genre": ""})
    return request(where, "/signature/generate/?" + query, source=source)[0]


def submit_listens(where, token, listen_type, titles, source="127.0.0.1"):
    """Sends listens of `titles` (played a minute apart, the first a minute ago) to ListenBrainz's
    endpoint; returns the status."""
    now = int(time.time())
    payload = [{"listened_at": now - 60 * (i + 1),
                "track_metadata": {"artist_name": "Artist", "track_name": title}}
               for i, title in enumerate(titles)]
    return request(where, "/1/submit-listens", {"Authorization": "Token " + token,
                                                "Content-Type": "application/json"}, source,
                   "POST", json.dumps({"listen_type": listen_type, "payload": payload}))[0]


def state_of(where, user):
    status, _, body = request(where, "/signature/%s.json" % user)
    assert status == 200, (status, body)
    return json.loads(body)


def image(where, user):
    status, headers, body = request(where, "/signature/%s.png" % user)
    assert status == 200, status
    return body, headers["ETag"], headers["Last-Modified"]


def title_of(where, user):
    return state_of(where, user)["title"]


def wait_for(predicate, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.1)
    return predicate()


KEYS = {}
KEPT = ["kept%d" % i for i in range(40)]
USERS = ["shown", "paced", "guessed", "downed", "renewed", "donor", "noticed", "edited"] + \
    ["stream%d" % i for i in range(8)] + ["hung%d" % i for i in range(6)] + KEPT + \
    ["twice%d" % i for i in range(10)] + \
    ["batchholder", "lbone", "lbtwo", "lbimport", "plugone", "plugtwo", "keptone", "marked",
     "historied"]


def setUpModule():
    global CLUSTER
    CLUSTER = Cluster()
    try:
        CLUSTER.start_database()
        created = subprocess.run([SERVICE, "adduser", "--db", CLUSTER.db_uri("keyword"), *USERS],
                                 check=True, capture_output=True, text=True)
        for line in created.stdout.split("\n"):
            if line:
                name, key = line.split()
                KEYS[name] = key
        CLUSTER.start_instance("A", "uri")
        CLUSTER.start_instance("B", "keyword")
        CLUSTER.start_nginx()
    except BaseException:
        CLUSTER.stop()
        raise


def tearDownModule():
    try:
        # A clean stop commits what is queued and closes its connections, leaks checked.
        codes = {name: CLUSTER.kill_instance(name, signal.SIGTERM) for name in list(CLUSTER.instances)}
    finally:
        CLUSTER.stop()
    assert set(codes.values()) == {0}, codes


# What the version after it added for other players' reports, dropped to make an older database.
PLAYER_COLUMNS = "DROP COLUMN ends_at, DROP COLUMN token_hash, DROP COLUMN token_md5"
KEPT_PLAYER_COLUMNS = "DROP COLUMN source, DROP COLUMN started_at, DROP COLUMN duration_s"


class SharedDatabase(unittest.TestCase):
    def test_the_schema_is_upgraded_and_a_newer_one_refused(self):
        subprocess.run([PG_BIN + "/createdb", "-h", CLUSTER.socket_dir, "-U", "velk", "older"],
                       check=True, capture_output=True)
        older = CLUSTER.db_uri("keyword").replace("dbname=velk", "dbname=older")

        def show():
            return subprocess.run([SERVICE, "show", "nobody", "--db", older], capture_output=True,
                                  text=True)

        self.assertEqual(show().returncode, 1)  # no such account, in tables just made
        # As a database of version 2, with an account and a kept report: no identities, key
        # versions, sessions or kept-report numbers yet.
        CLUSTER.psql("DROP TABLE sessions, service_secrets; ALTER TABLE accounts DROP COLUMN id, "
                     "DROP COLUMN key_version, " + PLAYER_COLUMNS + "; ALTER TABLE kept_reports "
                     "DROP COLUMN seq, " + KEPT_PLAYER_COLUMNS + "; "
                     "DROP SEQUENCE account_ids, kept_report_seqs; UPDATE service_meta SET "
                     "value = 2 WHERE name = 'schema_version'; INSERT INTO accounts (name_key, "
                     "name, key_hash, code_page, created_at) VALUES ('nobody', 'Nobody', 'h', "
                     "1252, 1), ('other', 'Other', 'h', 1252, 1); INSERT INTO kept_reports "
                     "VALUES ('nobody', false, '', 'T', '', '', '', 1, 2)", "older")
        self.assertEqual(show().returncode, 0)
        self.assertEqual(CLUSTER.psql("SELECT count(DISTINCT id), min(key_version) FROM accounts",
                                      "older"), "2|1")
        self.assertEqual(CLUSTER.psql("SELECT seq > 0 FROM kept_reports", "older"), "t")
        self.assertEqual(CLUSTER.psql("SELECT count(*) FROM accounts WHERE ends_at = 0 AND "
                                      "token_hash IS NULL", "older"), "2")
        CLUSTER.psql("DELETE FROM accounts; DELETE FROM kept_reports", "older")
        # As a database of the first version: without the settings table either.
        CLUSTER.psql("DROP TABLE account_settings, sessions, service_secrets; ALTER TABLE accounts "
                     "DROP COLUMN id, DROP COLUMN key_version, " + PLAYER_COLUMNS + "; ALTER "
                     "TABLE kept_reports DROP COLUMN seq, " + KEPT_PLAYER_COLUMNS + "; DROP SEQUENCE account_ids, kept_report_seqs; UPDATE "
                     "service_meta SET value = 1 WHERE name = 'schema_version'", "older")
        self.assertEqual(show().returncode, 1)
        self.assertEqual(CLUSTER.psql("SELECT value FROM service_meta WHERE name = "
                                      "'schema_version'", "older"),
                         CLUSTER.psql("SELECT value FROM service_meta WHERE name = "
                                      "'schema_version'"))
        self.assertEqual(CLUSTER.psql("SELECT count(*) FROM account_settings", "older"), "0")
        CLUSTER.psql("UPDATE service_meta SET value = 99 WHERE name = 'schema_version'", "older")
        refused = show()
        self.assertEqual(refused.returncode, 1)
        self.assertIn("newer than this velk-service knows", refused.stderr)

    def test_a_report_to_one_instance_shows_everywhere_alike_once_notified(self):
        self.assertEqual(report("A", "shown", "First"), 200)
        first = {where: image(where, "shown") for where in ("A", "B", "nginx")}
        self.assertEqual(first["A"], first["B"])  # bytes, ETag and Last-Modified
        self.assertEqual(first["A"], first["nginx"])
        self.assertEqual(title_of("B", "shown"), "First")
        # B answers from memory now; the change notice of the next report through A must end that.
        time.sleep(INTERVAL_MS / 1000 + 0.1)
        self.assertEqual(report("A", "shown", "Second"), 200)
        self.assertTrue(wait_for(lambda: image("B", "shown")[1] != first["B"][1], 2))
        second = image("B", "shown")
        self.assertEqual(second, image("A", "shown"))
        status, _, _ = request("B", "/signature/shown.png", {"If-None-Match": second[1]})
        self.assertEqual(status, 304)

    def test_the_report_interval_and_the_kept_report_hold_across_instances(self):
        # Tags that the database's array syntax would take apart if they went unquoted.
        one, two = 'One, "1" {a}', 'Two \\ "NULL" {b, c}'
        self.assertEqual(report("A", "paced", one), 200)
        self.assertEqual(report("B", "paced", two), 429)  # kept by B, due after the interval
        self.assertEqual(title_of("A", "paced"), one)
        # Either instance may apply it when it is due, and only once.
        self.assertTrue(wait_for(lambda: title_of("A", "paced") == two, 10))
        self.assertEqual(CLUSTER.psql("SELECT count(*) FROM kept_reports WHERE name_key = "
                                      "'paced'"), "0")

    def test_the_wrong_key_limit_holds_across_instances_for_the_guessing_address(self):
        guesser = "127.0.0.9"
        for i in range(WRONG_KEYS):
            self.assertEqual(report("AB"[i % 2], "guessed", "x", key="9%d" % i, source=guesser),
                             403)
        # Both instances refuse the address's next new key without checking it, and its tokens.
        for where in ("A", "B"):
            status, headers, _ = request(where, "/signature/generate/?user=guessed&key=77&"
                                         "artist=a&title=b&album=&year=&genre=", source=guesser)
            self.assertEqual(status, 429)
            self.assertGreater(int(headers["Retry-After"]), 0)
            self.assertEqual(submit_listens(where, "0" * 32, "single", ["x"], guesser), 429)
        # The owner, elsewhere, is not locked out: a key neither instance has checked yet passes.
        self.assertEqual(report("B", "guessed", "Mine"), 200)

    def test_the_wrong_key_marker_is_the_same_on_every_instance(self):
        self.assertEqual(report("A", "marked", "x", key="12345"), 403)
        self.assertTrue(state_of("A", "marked")["wrong_key"])
        self.assertTrue(wait_for(lambda: state_of("B", "marked")["wrong_key"], 2))
        self.assertEqual(report("B", "marked", "Right"), 200)
        self.assertTrue(wait_for(lambda: not state_of("A", "marked")["wrong_key"], 2))

    def test_a_flash_is_shown_once_on_every_instance(self):
        _, cookies, form = exchange("A", "GET", "/user/register")
        status, cookies, _ = exchange("A", "POST", "/user/register",
                                      {"name": "flashed", "codepage": "1252",
                                       "csrf": csrf_of(form)}, "velk_signin=" + cookies["velk_signin"])
        self.assertEqual(status, 303)
        cookie = "velk_session=%s; velk_flash=%s" % (cookies["velk_session"], cookies["velk_flash"])
        shown = [re.search(r'class="key"[^>]*>(\d{20})<', exchange(where, "GET", "/account",
                                                                   cookie=cookie)[2])
                 for where in ("A", "B", "A")]
        self.assertIsNotNone(shown[0])
        self.assertEqual(shown[1:], [None, None])

    def test_one_batch_of_listens_an_import_reports_and_a_kept_report_is_stored(self):
        tokens = {name: subprocess.run([SERVICE, "token", name, "--db", CLUSTER.db_uri()],
                                       check=True, capture_output=True, text=True).stdout.strip()
                  for name in ("lbone", "lbtwo", "lbimport")}
        self.assertEqual(report("A", "keptone", "First"), 200)
        # While the writer waits for holder's row, the rest queue up: its next batch holds them all.
        locker = subprocess.Popen(
            [PG_BIN + "/psql", "-h", CLUSTER.socket_dir, "-U", "velk", "-d", "velk", "-c",
             "BEGIN; SELECT 1 FROM accounts WHERE name_key = 'batchholder' FOR UPDATE; "
             "SELECT pg_sleep(0.8); COMMIT"], stdout=subprocess.DEVNULL)
        time.sleep(0.2)
        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            held = pool.submit(report, "A", "batchholder", "Held")
            time.sleep(0.2)
            batch = {
                "lbone": pool.submit(submit_listens, "A", tokens["lbone"], "single", ["One"]),
                "lbtwo": pool.submit(submit_listens, "A", tokens["lbtwo"], "single", ["Two"]),
                "lbimport": pool.submit(submit_listens, "A", tokens["lbimport"], "import",
                                        ["Imported %d" % i for i in range(50)]),
                "plugone": pool.submit(report, "A", "plugone", "Plugged one"),
                "plugtwo": pool.submit(report, "A", "plugtwo", "Plugged two"),
                "keptone": pool.submit(report, "A", "keptone", "Second"),
            }
            answers = {name: future.result() for name, future in batch.items()}
            answers["batchholder"] = held.result()
        locker.wait(10)
        self.assertEqual(answers, {"batchholder": 200, "lbone": 200, "lbtwo": 200, "lbimport": 200,
                                   "plugone": 200, "plugtwo": 200, "keptone": 429})
        self.assertEqual([title_of("B", name) for name in ("lbone", "lbtwo", "lbimport",
                                                           "plugone", "plugtwo")],
                         ["One", "Two", "Imported 0", "Plugged one", "Plugged two"])
        self.assertTrue(wait_for(lambda: title_of("A", "keptone") == "Second", 5))


    def test_a_listen_taken_by_one_instance_shows_in_the_others_history_image(self):
        token = subprocess.run([SERVICE, "token", "historied", "--db", CLUSTER.db_uri()],
                               check=True, capture_output=True, text=True).stdout.strip()
        path = "/signature/historied/recent.png?count=3"
        self.assertEqual(report("A", "historied", "Playing now"), 200)
        self.assertTrue(wait_for(lambda: title_of("B", "historied") == "Playing now", 5))
        before = request("B", path)[1]["ETag"]  # B draws and keeps the list without the listen
        # Older than what plays: only the history changes (and the report is kept for its turn).
        self.assertEqual(submit_listens("A", token, "import", ["Heard on A"]), 200)
        self.assertTrue(wait_for(lambda: request("B", path)[1]["ETag"] != before, 5))
        shown = json.loads(request("B", "/signature/historied/recent.json")[2])
        self.assertEqual((shown["playing"]["title"], shown["listens"][0]["title"]),
                         ("Playing now", "Heard on A"))

    def test_a_key_replaced_elsewhere_stops_working_at_once(self):
        self.assertEqual(report("B", "renewed", "Old key"), 200)  # B now knows this key passes
        # Another instance's account page gives it a new key: here, the hash of donor's key.
        CLUSTER.psql("UPDATE accounts SET key_hash = (SELECT key_hash FROM accounts WHERE "
                     "name_key = 'donor') WHERE name_key = 'renewed'")
        time.sleep(INTERVAL_MS / 1000 + 0.1)
        self.assertEqual(report("B", "renewed", "Old key again"), 403)
        self.assertEqual(report("B", "renewed", "New key", key=KEYS["donor"]), 200)


def listeners(instance):
    """The server processes of `instance`'s notification connections (one, or none while it
    connects again)."""
    pids = CLUSTER.psql("SELECT pid FROM pg_stat_activity WHERE application_name = "
                        "'velk-service changes %d'" % CLUSTER.instances[instance][0].pid)
    return [int(pid) for pid in pids.split()]


class ChangeNotices(unittest.TestCase):
    def shown_alike(self, user, title):
        return title_of("B", user) == title and image("B", user) == image("A", user)

    def test_a_change_made_while_the_notices_were_down_is_served_once_they_are_back(self):
        self.assertEqual(report("A", "noticed", "Before"), 200)
        self.assertTrue(wait_for(lambda: self.shown_alike("noticed", "Before"), 2))
        before = image("B", "noticed")  # B holds it
        time.sleep(INTERVAL_MS / 1000 + 0.1)
        [old] = listeners("B")
        # Stopped, B's notification connection hears nothing of the report; ended, it loses what
        # the server queued for it.
        os.kill(old, signal.SIGSTOP)
        try:
            self.assertEqual(report("A", "noticed", "While down"), 200)
            CLUSTER.psql("SELECT pg_terminate_backend(%d)" % old)
        finally:
            os.kill(old, signal.SIGCONT)
        self.assertTrue(wait_for(lambda: [old] != listeners("B") != [], 5))
        time.sleep(0.5)  # listening, and vouching for what B holds again
        after = image("B", "noticed")
        self.assertEqual(after, image("A", "noticed"))
        self.assertNotEqual(after[1], before[1])
        self.assertEqual(title_of("B", "noticed"), "While down")

    def test_a_change_made_by_another_program_is_picked_up(self):
        self.assertEqual(report("A", "edited", "Reported"), 200)
        self.assertTrue(wait_for(lambda: self.shown_alike("edited", "Reported"), 2))
        before = image("B", "edited")
        # The tables' triggers send the notice by themselves.
        CLUSTER.psql("UPDATE accounts SET title = 'Edited' WHERE name_key = 'edited'")
        self.assertTrue(wait_for(lambda: self.shown_alike("edited", "Edited"), 2))
        edited = image("B", "edited")
        self.assertNotEqual(edited[1], before[1])
        self.assertGreater(email.utils.parsedate_to_datetime(edited[2]),
                           email.utils.parsedate_to_datetime(before[2]))
        # With the triggers off, the program sends the notice itself.
        CLUSTER.psql("SET session_replication_role = replica; UPDATE accounts SET title = "
                     "'Edited again' WHERE name_key = 'edited'; "
                     "NOTIFY velk_changes, 'edited'")
        self.assertTrue(wait_for(lambda: self.shown_alike("edited", "Edited again"), 2))
class HeldAcrossInstances(unittest.TestCase):
    def test_every_account_ends_on_its_newest_acknowledged_report(self):
        def send(user):
            return [report("A", user, "r1"), report("A", user, "r2"), report("B", user, "r3")]

        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            answers = dict(zip(KEPT, pool.map(send, KEPT)))
        self.assertEqual({tuple(a) for a in answers.values()}, {(200, 429, 429)})
        wait_for(lambda: all(title_of("nginx", user) == "r3" for user in KEPT), 10)
        self.assertEqual({user: title_of("nginx", user) for user in KEPT},
                         {user: "r3" for user in KEPT})
        self.assertEqual(CLUSTER.psql("SELECT count(*) FROM kept_reports WHERE name_key LIKE "
                                      "'kept%'"), "0")

    def test_reports_of_one_account_at_once_are_decided_in_turn(self):
        # Sent together, an account's reports may come in one of the writer's batches.
        users = ["twice%d" % i for i in range(10)]
        with concurrent.futures.ThreadPoolExecutor(20) as pool:
            answers = list(pool.map(lambda user: report("A", user, "t"), users * 2))
        self.assertEqual(sorted(answers), [200] * 10 + [429] * 10)
        self.assertEqual(sorted(answers[:10][i] + answers[10:][i] for i in range(10)), [629] * 10)

    def test_a_new_key_or_a_deletion_ends_sessions_on_every_instance(self):
        owner, csrf, key = register("A", "holder")
        leaked = sign_in("B", "holder", key)
        self.assertTrue(signed_in("B", leaked))
        status, _, _ = exchange("A", "POST", "/account/key", {"csrf": csrf}, owner)
        self.assertEqual(status, 303)
        self.assertFalse(signed_in("B", leaked))
        self.assertTrue(signed_in("B", owner))  # the page that made the new key stays
        # A session of a deleted account does not pass to the next owner of its name.
        status, _, _ = exchange("A", "POST", "/account/delete", {"csrf": csrf, "confirm": "holder"},
                                owner)
        self.assertEqual(status, 303)
        # B learns of the deletion from its change notice, within the staleness bound.
        self.assertTrue(wait_for(lambda: request("B", "/signature/holder.json")[0] == 404, 2))
        register("B", "Holder")
        self.assertFalse(signed_in("A", owner))
        status, _, _ = exchange("B", "POST", "/account/settings", {"csrf": csrf}, owner)
        self.assertEqual(status, 401)

    def test_sessions_survive_a_restart_and_need_no_affinity(self):
        # Twenty people, each from an address of their own (nginx limits each address's pages).
        sources = ["127.0.1.%d" % (10 + i) for i in range(20)]
        registered = [register("nginx", "through%d" % i, sources[i]) for i in range(20)]
        # The page after the redirect shows the key whichever instance nginx sends it to.
        self.assertNotIn(None, [key for _, _, key in registered])
        cookies = [cookie for cookie, _, _ in registered]
        self.assertEqual(sum(signed_in("nginx", *pair) for pair in zip(cookies, sources)), 20)
        cookie = register("A", "restarted")[0]
        port = CLUSTER.port("A")
        self.assertEqual(CLUSTER.kill_instance("A", signal.SIGTERM), 0)
        CLUSTER.start_instance("A", port=port)
        self.assertTrue(signed_in("A", cookie))


class Failures(unittest.TestCase):
    def test_killing_an_instance_loses_no_acknowledged_report(self):
        acknowledged = {}  # user -> the last title answered 200
        stop = threading.Event()

        def stream(user):
            for n in range(200):
                if stop.is_set():
                    return
                try:
                    if report("A", user, "n%d" % n) == 200:
                        acknowledged[user] = n
                except OSError:
                    return  # the instance is gone
                time.sleep(INTERVAL_MS / 1000 + 0.05)

        users = ["stream%d" % i for i in range(4)]
        port = CLUSTER.port("A")
        with concurrent.futures.ThreadPoolExecutor(len(users)) as pool:
            futures = [pool.submit(stream, user) for user in users]
            time.sleep(4)
            CLUSTER.kill_instance("A")
            stop.set()
            for future in futures:
                future.result(timeout=30)
        try:
            self.assertTrue(acknowledged)
            for user, n in acknowledged.items():
                # What B shows is the acknowledged report, or one sent after it.
                self.assertTrue(wait_for(lambda: int(title_of("B", user)[1:]) >= n, 2), user)
        finally:
            CLUSTER.start_instance("A", port=port)  # where nginx expects it

    def test_the_database_stopped_and_started_under_load(self):
        self.assertEqual(report("B", "downed", "Before"), 200)
        time.sleep(INTERVAL_MS / 1000 + 0.1)
        normal = image("B", "downed")[0]
        answers = {}  # status -> count, of the reports sent while the database is down
        stop = threading.Event()

        def load(user, where):
            n = 0
            while not stop.is_set() and n < 400:
                try:
                    status = report(where, user, "load%d" % n)
                except OSError:
                    status = "error"
                answers[status] = answers.get(status, 0) + 1
                n += 1
                time.sleep(0.05)

        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            loads = [pool.submit(load, "stream5", "A"), pool.submit(load, "stream6", "B")]
            time.sleep(0.5)
            CLUSTER.pg_ctl("stop", "-m", "fast")
            try:
                answers.clear()
                time.sleep(1.5)
                down = dict(answers)
                for where in ("A", "B", "nginx"):
                    self.assertEqual(report(where, "downed", "Lost"), 503, where)
                    self.assertEqual(request(where, "/signature/downed.json")[0], 503)
                unavailable = image("A", "downed")[0]
                self.assertNotEqual(unavailable, normal)
                # A message image: for a name no test shows (an image confirmed within the last
                # minute, as the hung-database test's are, would still be served).
                self.assertEqual(unavailable, image("B", "never-shown")[0])
            finally:
                CLUSTER.pg_ctl("start")
            self.assertNotIn(200, down)
            self.assertGreater(down.get(503, 0), 0)
            # Both instances reconnect by themselves, under load.
            time.sleep(INTERVAL_MS / 1000 + 0.1)
            self.assertTrue(wait_for(lambda: report("A", "downed", "After") == 200, 10))
            # Each of B's connections tries again within a second of its last failure.
            def b_is_back():
                status, _, body = request("B", "/signature/downed.json")
                return status == 200 and json.loads(body)["title"] == "After" and \
                    image("B", "downed")[0] != unavailable
            self.assertTrue(wait_for(b_is_back, 5))
            stop.set()
            for future in loads:
                future.result(timeout=60)


    def test_a_hung_database_holds_no_request(self):
        warm = ["hung%d" % i for i in range(6)]  # two for each place the load goes to
        for user in warm:
            self.assertIn(report("A", user, "warm"), (200, 429))
        time.sleep(INTERVAL_MS / 1000 + 0.1)
        for user in warm:
            for where in ("A", "B"):
                image(where, user)  # cached now, and fresh
        paths = ["/signature/%s.png" % user for user in warm] + \
            ["/signature/stream7.png", "/signature/stream7.json", "/user/register", "/"]
        slowest = {}  # what -> (seconds, status) of the slowest answer
        acknowledged = {}  # user -> the last report number answered 200 or 429
        stop = threading.Event()

        def timed(what, call):
            started = time.monotonic()
            try:
                status = call()
            except OSError as error:
                status = str(error)
            took = time.monotonic() - started
            if took >= slowest.get(what, (0,))[0]:
                slowest[what] = (took, status)
            return status

        def load(where):
            for n in range(400):
                if stop.is_set():
                    return
                user = warm[2 * ("A", "B", "nginx").index(where) + n % 2]
                if timed("report", lambda: report(where, user, "n%d" % n)) in (200, 429):
                    acknowledged[user] = max(acknowledged.get(user, -1), n)
                path = paths[n % len(paths)]
                timed(path, lambda: request(where, path)[0])
                time.sleep(0.1)

        with concurrent.futures.ThreadPoolExecutor(3) as pool:
            loads = [pool.submit(load, where) for where in ("A", "B", "nginx")]
            time.sleep(0.5)
            CLUSTER.freeze_database()
            try:
                time.sleep(15)
            finally:
                CLUSTER.thaw_database()
            thawed = time.monotonic()
            self.assertTrue(wait_for(lambda: report("A", "downed", "Thawed") in (200, 429) and
                                     report("B", "downed", "Thawed") in (200, 429), 2))
            recovered = time.monotonic() - thawed
            stop.set()
            for future in loads:
                future.result(timeout=60)
        late = {what: answer for what, answer in slowest.items() if answer[0] > 2}
        self.assertEqual(late, {})
        self.assertLess(recovered, 2)
        self.assertTrue(acknowledged)

        def nothing_lost():
            return all(int(title_of("A", user)[1:]) >= n for user, n in acknowledged.items())
        self.assertTrue(wait_for(nothing_lost, 10), acknowledged)


class OtherPlayers(unittest.TestCase):
    def test_listenbrainz_and_history_scenarios_on_postgresql(self):
        """The players test's ListenBrainz and history scenarios on this database, where the
        newest-wins rule of listens is decided under the account's row lock, kept reports carry
        their source, and the plug-in's listens are found in the report's transaction."""
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "players_test.py")
        result = subprocess.run([sys.executable, script, SERVICE, "ListenBrainz", "History"],
                                env=dict(os.environ, VELK_PLAYERS_DB=CLUSTER.db_uri("keyword")),
                                capture_output=True, text=True, timeout=180, check=False)
        self.assertEqual(result.returncode, 0, result.stderr[-4000:])


class History(unittest.TestCase):
    def test_store_scenario_on_postgresql(self):
        """The store's history scenario of service_tests (beside velk-service), on a database of
        its own on this server."""
        tests = os.path.join(os.path.dirname(os.path.abspath(SERVICE)), "service_tests")
        if not os.path.exists(tests):
            self.skipTest("no service_tests beside velk-service")
        subprocess.run([PG_BIN + "/createdb", "-h", CLUSTER.socket_dir, "-U", "velk", "history"],
                       check=True, capture_output=True)
        conninfo = CLUSTER.db_uri("keyword").replace("dbname=velk", "dbname=history")
        result = subprocess.run([tests, "--gtest_filter=Stores/CHistoryTest.*/1"],
                                env=dict(os.environ, VELK_TEST_POSTGRES=conninfo),
                                capture_output=True, text=True, timeout=120, check=False)
        self.assertEqual(result.returncode, 0, result.stdout[-4000:])
        self.assertIn("[  PASSED  ] 1 test.", result.stdout)


class ReplicatedCluster(Cluster):
    """A primary (this cluster's server) with a synchronous streaming standby of it (`standby`,
    a cluster of its own folder and socket), and instances on both hosts: they write wherever the
    server takes writes."""

    def __init__(self):
        super().__init__()
        self.standby = Cluster()

    def start_database(self):
        super().start_database()
        os.makedirs(self.standby.socket_dir)
        os.makedirs(self.standby.pgdata, mode=0o700)
        if os.geteuid() == 0:
            shutil.chown(self.standby.socket_dir, "nobody")
            shutil.chown(self.standby.pgdata, "nobody")
        subprocess.run(self.as_db_user(PG_BIN + "/pg_basebackup", "-h", self.socket_dir,
                                       "-U", "velk", "-D", self.standby.pgdata, "-R",
                                       "-X", "stream", "-c", "fast"),
                       check=True, capture_output=True)
        self.standby.pg_ctl("start")
        # Only now, so that the standby's copy of the settings does not wait for a standby itself.
        self.psql("ALTER SYSTEM SET synchronous_standby_names = '*'")
        self.psql("SELECT pg_reload_conf()")
        if not wait_for(lambda: self.psql("SELECT sync_state FROM pg_stat_replication") == "sync",
                        10):
            raise RuntimeError("the standby did not become synchronous")

    def db_uri(self, form="uri"):
        return "postgresql:///velk?host=%s,%s&user=velk&target_session_attrs=read-write" % (
            self.socket_dir, self.standby.socket_dir)

    def stop(self):
        try:
            super().stop()
        finally:
            self.standby.stop()


class Failover(unittest.TestCase):
    def test_a_promoted_standby_keeps_every_acknowledged_report(self):
        """The primary killed with SIGKILL under reports through two instances, its standby
        promoted 2 s later: nothing is acknowledged while no server takes writes, reports are
        stored again within 3 s of the promotion, and the new primary holds every report
        acknowledged before, during and after."""
        cluster = ReplicatedCluster()
        try:
            cluster.start_database()
            users = ["failover%d" % i for i in range(20)]
            created = subprocess.run([SERVICE, "adduser", "--db", cluster.db_uri(), *users],
                                     check=True, capture_output=True, text=True)
            keys = dict(line.split() for line in created.stdout.split("\n") if line)
            cluster.start_instance("A")
            cluster.start_instance("B")
            answers = []  # (sent, answered, user, n, status), monotonic seconds
            stop = threading.Event()

            def stream(i):
                user = users[i]
                port = cluster.port("AB"[i % 2])
                for n in range(100):
                    if stop.is_set():
                        return
                    query = urllib.parse.urlencode({"user": user, "key": keys[user],
                                                    "artist": "Artist", "title": "n%d" % n})
                    sent = time.monotonic()
                    try:
                        with urllib.request.urlopen("http://127.0.0.1:%d/signature/generate/?%s"
                                                    % (port, query), timeout=10) as answer:
                            status = answer.status
                    except urllib.error.HTTPError as error:
                        status = error.code
                    answers.append((sent, time.monotonic(), user, n, status))
                    time.sleep(INTERVAL_MS / 1000 + 0.05)

            with concurrent.futures.ThreadPoolExecutor(len(users)) as pool:
                streams = [pool.submit(stream, i) for i in range(len(users))]
                time.sleep(3)
                for pid in cluster.postgres_pids():
                    os.kill(pid, signal.SIGKILL)
                killed = time.monotonic()
                # A dead server's pid file: stop() must not signal whatever gets that pid next.
                os.unlink(os.path.join(cluster.pgdata, "postmaster.pid"))
                time.sleep(2)
                promoting = time.monotonic()
                cluster.standby.pg_ctl("promote")
                promoted = time.monotonic()
                time.sleep(4)
                stop.set()
                for future in streams:
                    future.result(timeout=30)

            def acknowledged(status):
                return status in (200, 429)
            # Sent once the primary was gone and answered before the standby was told to take over.
            between = [a for a in answers if a[0] > killed and a[1] < promoting]
            self.assertTrue(between)
            self.assertEqual([a for a in between if acknowledged(a[4])], [])
            stored = [a[1] for a in answers if a[0] >= promoting and a[4] == 200]
            self.assertTrue(stored)
            self.assertLess(min(stored) - promoted, 3)
            newest = {}
            for _, _, user, n, status in answers:
                if acknowledged(status):
                    newest[user] = max(newest.get(user, -1), n)
            self.assertEqual(len(newest), len(users))

            def all_on_the_new_primary():
                rows = cluster.standby.psql("SELECT name_key, title FROM accounts")
                titles = dict(row.split("|") for row in rows.split("\n") if row)
                return all(int(titles[user][1:]) >= n for user, n in newest.items())
            self.assertTrue(wait_for(all_on_the_new_primary, 5), newest)
            sys.stderr.write("failover: first report stored %.2f s after the promotion (which "
                             "took %.2f s); %d acknowledged reports of %d accounts checked\n" % (
                                 min(stored) - promoted, promoted - promoting,
                                 sum(acknowledged(a[4]) for a in answers), len(newest)))
        finally:
            cluster.stop()


def main():
    global SERVICE
    SERVICE = os.path.abspath(sys.argv.pop(1))
    for sig in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        signal.signal(sig, lambda *_: sys.exit(1))  # atexit then stops the cluster
    unittest.main(verbosity=2)


if __name__ == "__main__":
    main()
