#!/usr/bin/env python3
"""Tests of velk-service on PostgreSQL: a real PostgreSQL server in a temporary folder on a Unix
socket (run as `nobody` when the tests run as root), two service instances on it, and nginx in
front of them on loopback, configured by service/deploy/nginx.conf. Everything started here is
stopped on every exit.

Usage: postgres_test.py PATH/TO/velk-service
"""
import atexit
import concurrent.futures
import json
import os
import re
import shutil
import signal
import socket
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
WRONG_KEYS = 3
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
        self.nginx = None
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
             str(INTERVAL_MS), "--wrong-keys-per-minute", str(WRONG_KEYS),
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
        prefix = os.path.join(self.work, "nginx")
        os.makedirs(os.path.join(prefix, "tmp"), exist_ok=True)
        self.nginx_port = free_port()
        with open(NGINX_CONF) as f:
            conf = f.read()
        conf = conf.replace("127.0.0.1:8080", "127.0.0.1:%d" % self.nginx_port)
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

    def port(self, name):
        return self.nginx_port if name == "nginx" else self.instances[name][1]

    def stop(self):
        if self.stopped:
            return
        self.stopped = True
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


def request(where, path, headers=None):
    """GET through `where` ("A", "B" or "nginx"); returns (status, headers, body)."""
    req = urllib.request.Request("http://127.0.0.1:%d%s" % (CLUSTER.port(where), path),
                                 headers=headers or {})
    try:
        with urllib.request.urlopen(req, timeout=20) as answer:
            return answer.status, dict(answer.headers), answer.read()
    except urllib.error.HTTPError as error:
        return error.code, dict(error.headers), error.read()


def report(where, user, title, key=None, artist="Artist"):
    query = urllib.parse.urlencode({"user": user, "key": key or KEYS[user], "artist": artist,
                                    "title": title, "album": "", "year": "", "genre": ""})
    return request(where, "/signature/generate/?" + query)[0]


def image(where, user):
    status, headers, body = request(where, "/signature/%s.png" % user)
    assert status == 200, status
    return body, headers["ETag"], headers["Last-Modified"]


def title_of(where, user):
    status, _, body = request(where, "/signature/%s.json" % user)
    assert status == 200, (status, body)
    return json.loads(body)["title"]


def wait_for(predicate, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.1)
    return predicate()


KEYS = {}
USERS = ["shown", "paced", "guessed", "downed", "renewed", "donor"] + ["stream%d" % i for i in range(8)]


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


class SharedDatabase(unittest.TestCase):
    def test_the_schema_is_upgraded_and_a_newer_one_refused(self):
        subprocess.run([PG_BIN + "/createdb", "-h", CLUSTER.socket_dir, "-U", "velk", "older"],
                       check=True, capture_output=True)
        older = CLUSTER.db_uri("keyword").replace("dbname=velk", "dbname=older")

        def show():
            return subprocess.run([SERVICE, "show", "nobody", "--db", older], capture_output=True,
                                  text=True)

        self.assertEqual(show().returncode, 1)  # no such account, in tables just made
        # As a database of the first version: without the settings table.
        CLUSTER.psql("DROP TABLE account_settings; UPDATE service_meta SET value = 1 "
                     "WHERE name = 'schema_version'", "older")
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

    def test_a_report_to_one_instance_shows_at_once_everywhere_alike(self):
        self.assertEqual(report("A", "shown", "First"), 200)
        first = {where: image(where, "shown") for where in ("A", "B", "nginx")}
        self.assertEqual(first["A"], first["B"])  # bytes, ETag and Last-Modified
        self.assertEqual(first["A"], first["nginx"])
        self.assertEqual(title_of("B", "shown"), "First")
        # B holds the image in its cache now; the next report through A must replace it there.
        time.sleep(INTERVAL_MS / 1000 + 0.1)
        self.assertEqual(report("A", "shown", "Second"), 200)
        second = image("B", "shown")
        self.assertNotEqual(second[1], first["B"][1])
        self.assertEqual(second, image("A", "shown"))
        status, _, _ = request("B", "/signature/shown.png", {"If-None-Match": second[1]})
        self.assertEqual(status, 304)

    def test_the_report_interval_and_the_kept_report_hold_across_instances(self):
        self.assertEqual(report("A", "paced", "One"), 200)
        self.assertEqual(report("B", "paced", "Two"), 429)  # kept by B, due after the interval
        self.assertEqual(title_of("A", "paced"), "One")
        # Either instance may apply it when it is due, and only once.
        self.assertTrue(wait_for(lambda: title_of("A", "paced") == "Two", 10))
        self.assertEqual(CLUSTER.psql("SELECT count(*) FROM kept_reports WHERE name_key = "
                                      "'paced'"), "0")

    def test_the_wrong_key_limit_holds_across_instances(self):
        for i in range(WRONG_KEYS):
            self.assertEqual(report("AB"[i % 2], "guessed", "x", key="9%d" % i), 403)
        # Both instances refuse the next new key without checking it.
        for where in ("A", "B"):
            status, headers, _ = request(where, "/signature/generate/?user=guessed&key=77&"
                                         "artist=a&title=b&album=&year=&genre=")
            self.assertEqual(status, 429)
            self.assertGreater(int(headers["Retry-After"]), 0)


    def test_a_key_replaced_elsewhere_stops_working_at_once(self):
        self.assertEqual(report("B", "renewed", "Old key"), 200)  # B now knows this key passes
        # Another instance's account page gives it a new key: here, the hash of donor's key.
        CLUSTER.psql("UPDATE accounts SET key_hash = (SELECT key_hash FROM accounts WHERE "
                     "name_key = 'donor') WHERE name_key = 'renewed'")
        time.sleep(INTERVAL_MS / 1000 + 0.1)
        self.assertEqual(report("B", "renewed", "Old key again"), 403)
        self.assertEqual(report("B", "renewed", "New key", key=KEYS["donor"]), 200)


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
                shown = int(title_of("B", user)[1:])
                self.assertGreaterEqual(shown, n, user)
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
                self.assertEqual(unavailable, image("B", "stream7")[0])  # a message image
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


def main():
    global SERVICE
    SERVICE = os.path.abspath(sys.argv.pop(1))
    for sig in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        signal.signal(sig, lambda *_: sys.exit(1))  # atexit then stops the cluster
    unittest.main(verbosity=2)


if __name__ == "__main__":
    main()
