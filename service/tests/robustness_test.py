#!/usr/bin/env python3
"""Robustness tests of velk-service against the real program on loopback: what it acknowledges is
stored (full and read-only disks, kill -9), kept reports, key guessing, floods, registration,
connection limits, validators, framing, and an output nobody reads.

Usage: robustness_test.py PATH/TO/velk-service

As root, the test runs itself again in a private mount namespace (unshare), so that the small
tmpfs file systems it mounts vanish with it; elsewhere the disk tests are skipped.
"""
import http.client
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.request
from urllib.parse import quote

SERVICE = None
KEY = "12345678901234567890"
PRIVATE_MOUNTS = os.environ.get("VELK_PRIVATE_MOUNTS") == "1"


class Service:
    """One velk-service process on a free loopback port, with its own data file."""

    def __init__(self, db, *options, names=(), limits=None):
        self.db = db
        if names:
            result = subprocess.run([SERVICE, "adduser", "--db", db, "--key", KEY, *names],
                                    capture_output=True, text=True, check=False)
            assert result.returncode == 0, result.stderr
        command = [SERVICE, "serve", "--db", db, "--port", "0", "--access-log", "off", *options]
        if limits:
            command = ["prlimit", "--nofile=%d:%d" % (limits, limits), *command]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True)
        line = self.process.stdout.readline()
        match = re.search(r"listening on http://127\.0\.0\.1:(\d+)", line)
        if not match:
            self.process.kill()
            raise RuntimeError("the service did not start: " + self.process.stderr.read())
        self.port = int(match.group(1))
        metrics = re.search(r"metrics on (http://\S+/metrics)", line)
        self.metrics = metrics and metrics.group(1)

    def stop(self, kill=False):
        if kill:
            self.process.send_signal(signal.SIGKILL)
        else:
            self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=30)
        errors = self.process.stderr.read()
        self.process.stdout.close()
        self.process.stderr.close()
        for report in ("WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "runtime error:"):
            assert report not in errors, errors
        assert kill or self.process.returncode == 0, errors
        return errors

    def exchange(self, raw, timeout=10, source="127.0.0.1"):
        """Sends raw bytes on one connection from the loopback address `source`; returns all that
        came back until the close or the end of one whole answer."""
        with socket.create_connection(("127.0.0.1", self.port), timeout=timeout,
                                      source_address=(source, 0)) as s:
            s.sendall(raw)
            received = b""
            while True:
                try:
                    chunk = s.recv(65536)
                except ConnectionResetError:
                    break
                if not chunk:
                    break
                received += chunk
                head, _, body = received.partition(b"\r\n\r\n")
                match = re.search(rb"Content-Length: (\d+)", head)
                if match and len(body) >= int(match.group(1)) and b"close" not in head:
                    break
            return received

    def get(self, path, *headers, source="127.0.0.1"):
        raw = "GET %s HTTP/1.1\r\nHost: localhost\r\n%s\r\n" % (
            path, "".join(h + "\r\n" for h in headers))
        answer = self.exchange(raw.encode("latin-1"), source=source)
        head, _, body = answer.partition(b"\r\n\r\n")
        fields = dict(line.split(": ", 1) for line in head.decode("latin-1").split("\r\n")[1:])
        return int(head.split(b" ")[1]), fields, body

    def report(self, user, title, artist="Artist", key=KEY, source="127.0.0.1"):
        path = ("/signature/generate/?user=%s&key=%s&artist=%s&title=%s" % (
            user, key, quote(artist), quote(title)) +
                ("" if artist == "stopped" else "&album=&year=&genre="))
        return self.get(path, source=source)[0]

    def state(self, user):
        status, _, body = self.get("/signature/%s.json" % user)
        assert status == 200, (status, body)
        return json.loads(body)


def show(db, user):
    """The account's state as the file holds it, read without the service."""
    result = subprocess.run([SERVICE, "show", user, "--db", db], capture_output=True, text=True,
                            check=True)
    return dict(re.findall(r"^([a-z ]+):\s+(.*)$", result.stdout, re.M))


class Scratch(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="velk-robust-")
        self.services = []

    def tearDown(self):
        for service in self.services:
            if service.process.poll() is None:
                service.stop(kill=True)
        if PRIVATE_MOUNTS:
            subprocess.run(["umount", "-l", self.work], stderr=subprocess.DEVNULL, check=False)
        shutil.rmtree(self.work, ignore_errors=True)

    def start(self, *options, db=None, **kwargs):
        service = Service(db or os.path.join(self.work, "velk.sqlite"), *options, **kwargs)
        self.services.append(service)
        return service


@unittest.skipUnless(PRIVATE_MOUNTS, "needs root and a private mount namespace")
class Disk(Scratch):
    def mount(self, size):
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=" + size, "velk-test", self.work],
                       check=True)

    def test_full_disk_answers_503_applies_nothing_and_recovers(self):
        self.mount("1M")
        names = ["full%d" % i for i in range(40)]
        service = self.start("--report-interval-ms", "0", names=names)
        self.assertEqual(service.report("full0", "Before"), 200)
        filler = os.path.join(self.work, "filler")
        fd = os.open(filler, os.O_WRONLY | os.O_CREAT)
        try:
            while os.write(fd, b"\0" * 4096):
                pass
        except OSError:
            pass
        os.close(fd)
        refused = None
        for i in range(400):  # until the log needs room it no longer has
            name = names[i % len(names)]
            status = service.report(name, "T%d%s" % (i, "x" * 200))
            self.assertIn(status, (200, 503))
            if status == 503:
                refused = (name, "T%d%s" % (i, "x" * 200))
                break
        self.assertIsNotNone(refused, "no write ever failed on the full disk")
        self.assertNotEqual(service.state(refused[0])["title"], refused[1])
        os.remove(filler)
        self.assertEqual(service.report(refused[0], "After"), 200)
        service.stop()
        self.assertEqual(show(service.db, refused[0])["title"], "After")

    def test_read_only_file_refuses_to_start(self):
        self.mount("4M")
        db = os.path.join(self.work, "velk.sqlite")
        subprocess.run([SERVICE, "adduser", "ro", "--db", db], capture_output=True, check=True)
        subprocess.run(["mount", "-o", "remount,ro", self.work], check=True)
        result = subprocess.run([SERVICE, "serve", "--db", db, "--port", "0"], capture_output=True,
                                text=True, timeout=30, check=False)
        self.assertNotEqual(result.returncode, 0)
        self.assertRegex(result.stderr, r"can only be read|cannot be written")
        self.assertNotIn("listening", result.stdout)


class Crash(Scratch):
    def test_kill_9_loses_no_acknowledged_report(self):
        names = ["crash%d" % i for i in range(40)]
        service = self.start("--report-interval-ms", "0", names=names)
        acknowledged = {}  # account -> number of the last report answered 200
        lock = threading.Lock()
        stop = time.time() + 1.0

        def send(part):
            n = 0
            while time.time() < stop and n < 5000:
                n += 1
                for name in part:
                    try:
                        status = service.report(name, "T%d" % n)
                    except (OSError, IndexError, ValueError):
                        return  # killed: no whole answer
                    if status == 200:
                        with lock:
                            acknowledged[name] = n

        threads = [threading.Thread(target=send, args=(names[i::8],)) for i in range(8)]
        for t in threads:
            t.start()
        time.sleep(0.8)
        service.stop(kill=True)  # while reports are under way
        for t in threads:
            t.join()
        self.assertEqual(len(acknowledged), 40)
        for name, n in acknowledged.items():
            # The file holds the last acknowledged report, or one after it that was under way.
            stored = int(show(service.db, name)["title"][1:])
            self.assertGreaterEqual(stored, n, name)

    def test_kept_report_survives_kill_9_and_is_applied_by_the_service(self):
        service = self.start(names=["keeper"])
        self.assertEqual(service.report("keeper", "Song"), 200)
        self.assertEqual(service.report("keeper", "stopped", artist="stopped"), 429)
        service.stop(kill=True)
        restarted = self.start(db=service.db)
        deadline = time.time() + 10
        while show(service.db, "keeper")["playback"] != "stopped" and time.time() < deadline:
            time.sleep(0.2)  # no look-up through the service: it applies the report by itself
        self.assertEqual(show(service.db, "keeper")["playback"], "stopped")
        self.assertEqual(restarted.state("keeper")["title"], "Song")


class Keys(Scratch):
    def test_wrong_keys_are_bounded_per_address_and_the_right_key_keeps_working(self):
        service = self.start(names=["target", "other"])
        self.assertEqual(service.report("target", "Mine"), 200)
        guesser = "127.0.0.2"
        statuses = [service.report("target", "Guess", key=str(10000 + i), source=guesser)
                    for i in range(30)]
        self.assertEqual(statuses.count(403), 20, statuses)
        self.assertEqual(statuses[20:], [429] * 10)
        status, fields, _ = service.get("/signature/generate/?user=other&key=99999&artist=a",
                                        source=guesser)
        self.assertEqual((status, fields.get("Retry-After", "")[:1].isdigit()), (429, True))
        time.sleep(2.1)
        # From any other address the owners' keys are checked, a key never seen before too.
        self.assertEqual(service.report("target", "Still mine"), 200)
        self.assertEqual(service.report("other", "Untouched"), 200)

    def test_a_flood_of_wrong_keys_does_not_starve_other_accounts(self):
        names = ["first%d" % i for i in range(3)]
        service = self.start("--key-check-queue", "8", names=["victim", *names])
        stop = time.time() + 3
        counts = {}

        def flood(n):
            i = 0
            while time.time() < stop and i < 2000:
                status = service.report("victim", "x", key=str(n * 100000 + i),
                                        source="127.0.0.%d" % (2 + n % 2))
                counts[status] = counts.get(status, 0) + 1
                i += 1

        flooders = [threading.Thread(target=flood, args=(n,)) for n in range(16)]
        for t in flooders:
            t.start()
        time.sleep(0.5)
        firsts = [service.report(name, "Hello") for name in names]
        for t in flooders:
            t.join()
        self.assertEqual(firsts, [200, 200, 200], counts)
        self.assertLessEqual(counts.get(403, 0), 40, counts)  # 20 from each of two addresses


class Registration(Scratch):
    def test_registrations_are_bounded_per_address_with_a_clear_page(self):
        service = self.start("--registrations-per-hour", "3")
        statuses = []
        _, fields, form = service.get("/user/register")  # the form's cookie and token
        cookie = fields["Set-Cookie"].split(";")[0]
        csrf = re.search(rb'name="csrf" value="([0-9a-f]+)"', form).group(1).decode()
        for i in range(5):
            body = "name=reg%d&codepage=1252&csrf=%s" % (i, csrf)
            answer = service.exchange(
                ("POST /user/register HTTP/1.1\r\nHost: localhost\r\nCookie: %s\r\n"
                 "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: %d\r\n"
                 "\r\n%s"
                 % (cookie, len(body), body)).encode())
            statuses.append(int(answer.split(b" ")[1]))
        self.assertEqual(statuses, [303, 303, 303, 429, 429])
        self.assertIn(b"try again in 60 minutes", answer)
        self.assertIn(b"Retry-After: ", answer)


class Connections(Scratch):
    def test_per_address_cap_and_408_for_a_head_that_does_not_arrive(self):
        service = self.start("--connections-per-address", "4", "--request-timeout-s", "1")
        # A client that leaves halfway through a head: its time limit must not outlive it.
        with socket.create_connection(("127.0.0.1", service.port), timeout=10) as gone:
            gone.sendall(b"GET / HTTP/1.1\r\nHost: lo")
        time.sleep(1.5)
        held = [socket.create_connection(("127.0.0.1", service.port), timeout=10) for _ in range(4)]
        try:
            for s in held:
                s.sendall(b"GET /signature/x.png HTTP/1.1\r\nHost: loc")
            refused = service.exchange(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
            self.assertTrue(refused.startswith(b"HTTP/1.1 503"), refused[:300])
            started = time.time()
            answer = held[0].recv(65536)
            self.assertTrue(answer.startswith(b"HTTP/1.1 408"), answer)
            self.assertIn(b"Connection: close", answer)
            self.assertLess(time.time() - started, 5)
        finally:
            for s in held:
                s.close()

    def test_past_the_descriptor_budget_clients_are_closed_not_left_hanging(self):
        service = self.start("--connections-per-address", "1000", limits=128)
        held = []
        try:
            for _ in range(120):
                held.append(socket.create_connection(("127.0.0.1", service.port), timeout=10))
            started = time.time()
            try:
                answer = service.exchange(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n", timeout=5)
            except socket.timeout:
                answer = None
            self.assertEqual(answer, b"")
            self.assertLess(time.time() - started, 2)
        finally:
            for s in held:
                s.close()
        time.sleep(0.2)
        self.assertEqual(service.get("/signature/x.png")[0], 200)
        self.assertLessEqual(service.stop().count("velk-service: "), 2)


class Wire(Scratch):
    def test_a_changed_image_never_answers_304(self):
        service = self.start(names=["lm"])
        self.assertEqual(service.report("lm", "Song"), 200)
        _, first, _ = service.get("/signature/lm.png")
        self.assertEqual(service.report("lm", "stopped", artist="stopped"), 429)
        time.sleep(2.3)  # the kept stop is applied by now
        status, later, _ = service.get("/signature/lm.png",
                                       "If-Modified-Since: " + first["Last-Modified"])
        self.assertEqual(status, 200)
        self.assertNotEqual(later["ETag"], first["ETag"])
        self.assertNotEqual(later["Last-Modified"], first["Last-Modified"])

    def test_bare_cr_and_unknown_transfer_codings_get_400_and_a_close(self):
        service = self.start(names=["framed"])
        smuggled = (b"GET /signature/framed.png HTTP/1.1\r\nX: y\rContent-Length: 46\r\n\r\n"
                    b"GET /signature/generate/?user=framed HTTP/1.1\r\n\r\n")
        gzip = (b"POST /signature/generate/ HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n\r\n"
                b"0\r\n\r\n")
        for raw in (smuggled, gzip):
            answer = service.exchange(raw)
            self.assertTrue(answer.startswith(b"HTTP/1.1 400"), answer[:300])
            self.assertIn(b"Connection: close", answer)
            self.assertEqual(answer.count(b"HTTP/1.1 "), 1)
        body = b"user=framed&key=" + KEY.encode() + b"&artist=A&title=Chunked&album=&year=&genre="
        chunked = (b"POST /signature/generate/ HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n"
                   b"Content-Type: application/x-www-form-urlencoded\r\n\r\n"
                   + b"%x\r\n" % len(body) + body + b"\r\n0\r\n\r\n")
        self.assertTrue(service.exchange(chunked).startswith(b"HTTP/1.1 200"))
        self.assertEqual(service.state("framed")["title"], "Chunked")


class Logs(Scratch):
    def test_an_output_nobody_reads_stops_neither_answers_nor_sigterm(self):
        # Standard output and error are pipes that nobody reads until the test says so. Long paths
        # fill the pipe and then the log's queue within the first few thousand access lines.
        service = self.start("--access-log", "on")
        path = "/" + "x" * 600  # not found: a short answer with a long access line

        def answer(count):
            connection = http.client.HTTPConnection("127.0.0.1", service.port, timeout=5)
            answered = 0
            try:
                for _ in range(count):
                    connection.request("GET", path)
                    response = connection.getresponse()
                    response.read()
                    answered += response.status == 404
            except OSError:
                pass  # no answer within 5 s: the count tells
            finally:
                connection.close()
            return answered

        self.assertEqual(answer(3000), 3000)
        with urllib.request.urlopen(service.metrics, timeout=10) as exposition:
            dropped = re.search(rb"^velk_log_lines_dropped_total (\d+)$", exposition.read(), re.M)
        dropped = int(dropped.group(1))
        self.assertGreater(dropped, 0)
        # Once the output moves again, the lines queued come out whole and one line tells how
        # many were dropped.
        out, err = b"", b""
        streams = [service.process.stdout.fileno(), service.process.stderr.fileno()]
        deadline = time.time() + 10
        ready = streams
        while (ready or b"log lines dropped" not in err) and time.time() < deadline:
            ready = select.select(streams, [], [], 0.5)[0]
            for stream in ready:
                chunk = os.read(stream, 65536)
                out, err = (out + chunk, err) if stream == streams[0] else (out, err + chunk)
        notices = re.findall(rb"Z error velk-service: log lines dropped: (\d+) \(", err)
        self.assertEqual(sum(map(int, notices)), dropped, err[-500:])
        lines = out.splitlines()
        self.assertEqual(len(lines), 3000 - dropped)
        self.assertTrue(all(re.fullmatch(rb'\S+Z 127\.0\.0\.1 "GET %s" 404 \d+ \d+\.\d{6}'
                                         % path.encode(), line) for line in lines), lines[:3])
        # Stuck again, the service still answers and ends on SIGTERM within its bound.
        self.assertEqual(answer(1000), 1000)
        service.process.send_signal(signal.SIGTERM)
        started = time.time()
        try:
            service.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.fail("still running 5 s after SIGTERM")
        self.assertLess(time.time() - started, 5)
        self.assertNotIn("Sanitizer", err.decode() + service.stop())


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    if (os.geteuid() == 0 and not PRIVATE_MOUNTS and shutil.which("unshare") and
            subprocess.run(["unshare", "--mount", "--propagation", "private", "true"],
                           check=False).returncode == 0):
        os.environ["VELK_PRIVATE_MOUNTS"] = "1"
        os.execvp("unshare", ["unshare", "--mount", "--propagation", "private", sys.executable,
                              os.path.abspath(__file__), *sys.argv[1:]])
    SERVICE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
