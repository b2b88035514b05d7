#!/usr/bin/env python3
"""What an operator relies on, against the real program on loopback: the config file and its
errors, the access log, /healthz and /readyz, /metrics as promtool reads it, and a backup of a live
SQLite file under a write load.

Usage: operator_test.py PATH/TO/velk-service
"""
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import threading
import unittest
import urllib.error
import urllib.request

SERVICE = None


def get(url):
    """(status, body) of a GET."""
    try:
        with urllib.request.urlopen(url, timeout=10) as answer:
            return answer.status, answer.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()


class Operator(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="velk-operator-")
        self.db = os.path.join(self.work, "velk.sqlite")
        self.processes = []

    def tearDown(self):
        for process in self.processes:
            if process.poll() is None:
                process.kill()
                process.wait()
            process.stdout.close()
            process.stderr.close()
        shutil.rmtree(self.work, ignore_errors=True)

    def config(self, text):
        path = os.path.join(self.work, "velk.conf")
        with open(path, "w", encoding="utf-8") as file:
            file.write(text)
        return path

    def velk(self, *args):
        return subprocess.run([SERVICE, *args], capture_output=True, text=True, check=False)

    def serve(self, *args):
        """Starts serve; returns the process, its base URL and its metrics URL."""
        process = subprocess.Popen([SERVICE, "serve", *args], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True, cwd=self.work)
        self.processes.append(process)
        line = process.stdout.readline()
        match = re.search(r"listening on (http://127\.0\.0\.1:\d+) \(data in (.*); metrics on "
                          r"(http://127\.0\.0\.1:\d+/metrics)\)", line)
        if not match:
            process.kill()
            self.fail(line + process.stderr.read())
        def keep_log():  # the rest of standard output, the access log, goes on to a file
            with open(os.path.join(self.work, "access.log"), "w", encoding="utf-8") as log:
                shutil.copyfileobj(process.stdout, log)

        self.log_thread = threading.Thread(target=keep_log, daemon=True)
        self.log_thread.start()
        return process, match.group(1), match.group(3), match.group(2)

    def stop(self, process):
        process.terminate()
        self.assertEqual(process.wait(timeout=30), 0)
        self.log_thread.join(timeout=10)
        errors = process.stderr.read()
        for report in ("WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "runtime error:"):
            self.assertNotIn(report, errors)
        return errors

    def test_config_file_errors_name_file_line_and_key(self):
        for text, line, key, problem in (
                ("# settings\n\nport = 8080\nprot = 80\n", 4, "prot", "not an option"),
                ("threads = 2\nimage-cache-mb = lots\n", 2, "image-cache-mb", "whole number"),
                ("access-log = maybe\n", 1, "access-log", "on or off"),
                ("metrics-address = localhost:9464\n", 1, "metrics-address", "ADDR:PORT")):
            path = self.config(text)
            result = self.velk("serve", "--config", path)
            self.assertEqual(result.returncode, 2, result.stderr)
            self.assertIn('%s:%d: key "%s": ' % (path, line, key), result.stderr)
            self.assertIn(problem, result.stderr)
        self.assertEqual(self.velk("serve", "--config", self.config("port = 0\n"),
                                   "--treads", "2").returncode, 2)
        # The template lists every option commented out, so it reads as a valid file.
        template = self.velk("config").stdout
        options = re.findall(r"^#([a-z-]+) =", template, re.M)
        self.assertGreaterEqual(len(set(options)), 19, template)
        self.assertTrue({"db", "port", "metrics-address", "access-log"} <= set(options))
        path = self.config(template.replace("#port = 8080", "port = 0"))
        process, _, _, data = self.serve("--config", path)
        self.assertEqual(data, "velk-service.sqlite")
        self.stop(process)

    def test_traffic_moves_the_metrics_and_the_access_log(self):
        key = self.velk("adduser", "--db", self.db, "--key", "98765", "amy").stdout.strip()
        self.assertEqual(key, "98765")
        # The file sets the data file elsewhere and the access log off; the command line wins.
        path = self.config("db = %s\nport = 0\naccess-log = off\nreport-interval-ms = 60000\n"
                           % os.path.join(self.work, "other.sqlite"))
        process, base, metrics, data = self.serve("--config", path, "--db", self.db,
                                                  "--access-log", "on")
        self.assertEqual(data, self.db)
        report = base + "/signature/generate/?user=amy&key=%s&artist=A&title=T&album=&year=&genre="
        self.assertEqual(get(report % "98765")[0], 200)
        self.assertEqual(get(report % "98765")[0], 429)  # kept: within the interval
        self.assertEqual(get(report % "11111")[0], 403)
        self.assertEqual(get(base + "/signature/amy.png")[0], 200)
        self.assertEqual(get(base + "/signature/amy.png")[0], 200)
        self.assertEqual(get(base + "/healthz"), (200, b"ok\n"))
        self.assertEqual(get(base + "/readyz"), (200, b"ready\n"))
        self.assertEqual(get(base + "/metrics")[0], 404)
        self.assertEqual(get(metrics.replace("/metrics", "/readyz"))[0], 200)
        status, text = get(metrics)
        self.assertEqual(status, 200)
        check = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True,
                               check=False)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        samples = dict(line.rsplit(" ", 1) for line in text.decode().splitlines()
                       if line and not line.startswith("#"))
        expected = {
            'velk_reports_total{outcome="applied"}': "1",
            'velk_reports_total{outcome="kept"}': "1",
            'velk_reports_total{outcome="refused"}': "1",
            'velk_http_requests_total{route="/signature/generate/",status="200"}': "1",
            'velk_http_requests_total{route="/signature/generate/",status="403"}': "1",
            'velk_http_requests_total{route="/signature/{user}.png",status="200"}': "2",
            'velk_http_requests_total{route="/readyz",status="200"}': "1",
            'velk_http_request_duration_seconds_count{route="/signature/{user}.png"}': "2",
            'velk_image_cache_lookups_total{outcome="hit"}': "1",
            'velk_store_write_queue': "0",
            'velk_store_errors_total': "0",
            'velk_render_missing_glyphs_total': "0",
        }
        self.assertEqual({name: samples.get(name) for name in expected}, expected)
        self.assertGreaterEqual(int(samples["velk_render_duration_seconds_count"]), 1)
        self.assertGreaterEqual(int(samples["velk_store_commit_duration_seconds_count"]), 2)
        self.stop(process)
        with open(os.path.join(self.work, "access.log"), encoding="utf-8") as log:
            lines = log.read().splitlines()
        self.assertEqual(len(lines), 9, lines)  # the metrics listener keeps no access log
        self.assertRegex(lines[2], r'^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z 127\.0\.0\.1 '
                                   r'"GET /signature/generate/" 403 \d+ \d+\.\d{6}$')
        self.assertFalse([line for line in lines if "key" in line or "98765" in line])

    def test_backup_of_a_live_file_under_writes(self):
        subprocess.run([SERVICE, "adduser", "--db", self.db, "--key", "1", "writer"], check=True,
                       capture_output=True)
        process, base, _, _ = self.serve("--db", self.db, "--port", "0", "--report-interval-ms",
                                         "0", "--access-log", "off")
        acknowledged = []
        stop = threading.Event()

        def reports():
            for n in range(100000):
                if stop.is_set():
                    break
                get(base + "/signature/generate/?user=writer&key=1&artist=A&title=%d" % n)

        def accounts():
            for n in range(1000):
                if stop.is_set():
                    break
                name = "user%04d" % n
                if self.velk("adduser", "--db", self.db, "--key", "1", name).returncode == 0:
                    acknowledged.append(name)

        threads = [threading.Thread(target=reports), threading.Thread(target=accounts)]
        for thread in threads:
            thread.start()
        while len(acknowledged) < 5:
            threading.Event().wait(0.05)
        before = list(acknowledged)
        copy = os.path.join(self.work, "copy.sqlite")
        result = self.velk("backup", "--db", self.db, copy)
        stop.set()
        for thread in threads:
            thread.join()
        self.stop(process)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertFalse(os.path.exists(copy + "-wal"))
        with sqlite3.connect("file:%s?mode=ro" % copy, uri=True) as db:
            self.assertEqual(db.execute("PRAGMA integrity_check").fetchall(), [("ok",)])
            names = {row[0] for row in db.execute("SELECT name FROM accounts")}
        self.assertEqual(sorted(set(before) - names), [])
        # A PostgreSQL database is pg_dump's business, and a missing file is no backup.
        self.assertIn("pg_dump", self.velk("backup", "--db", "postgresql://x/velk", copy).stderr)
        missing = self.velk("backup", "--db", os.path.join(self.work, "none.sqlite"), copy)
        self.assertEqual((missing.returncode, os.path.exists(copy)), (1, True))


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    SERVICE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
