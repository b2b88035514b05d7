#!/usr/bin/env python3
"""Tests of the committed nginx front, service/deploy/nginx.conf, with real nginx and a
self-signed certificate, before two instances on one PostgreSQL server (the PostgreSQL test's
cluster): each client counted by its own address, pages over HTTPS and reports on plain HTTP, and
one address's half-sent requests leaving the others answered. Clients use their own loopback
source addresses (127.0.0.x).

Usage: proxy_test.py PATH/TO/velk-service
"""
import http.client
import json
import os
import re
import resource
import signal
import socket
import ssl
import subprocess
import sys
import time
import unittest
import urllib.parse

import postgres_test as pg

KEY = "12345678901234567890"
CLUSTER = None


def exchange(source, method, path, tls=False, body=None, headers=None, port=None):
    """One request from loopback address `source` through nginx (HTTPS with `tls`), or straight
    to `port`; returns (status, headers as a list of pairs, body)."""
    if port:
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=20,
                                                source_address=(source, 0))
    elif tls:
        context = ssl.create_default_context(cafile=CLUSTER.tls_cert)
        connection = http.client.HTTPSConnection("127.0.0.1", CLUSTER.tls_port, timeout=20,
                                                 source_address=(source, 0), context=context)
    else:
        connection = http.client.HTTPConnection("127.0.0.1", CLUSTER.nginx_port, timeout=20,
                                                source_address=(source, 0))
    all_headers = {"Content-Type": "application/x-www-form-urlencoded"} if body else {}
    all_headers.update(headers or {})
    try:
        connection.request(method, path, body=body, headers=all_headers)
        answer = connection.getresponse()
        return answer.status, answer.getheaders(), answer.read()
    finally:
        connection.close()


def field(headers, name):
    return [value for key, value in headers if key.lower() == name.lower()]


def register(source, name, headers=None, **where):
    """Registers through the form as a browser does: its page first, for the form's cookie and
    token (none where the page is not served), then the post."""
    _, form_headers, form = exchange(source, "GET", "/user/register", headers=headers, **where)
    csrf = re.search(rb'name="csrf" value="([0-9a-f]+)"', form)
    cookie = "; ".join(c.split(";")[0] for c in field(form_headers, "Set-Cookie"))
    fields = {"name": name, "codepage": "1252", "csrf": csrf.group(1).decode() if csrf else ""}
    return exchange(source, "POST", "/user/register", body=urllib.parse.urlencode(fields),
                    headers={**(headers or {}), "Cookie": cookie}, **where)


def setUpModule():
    global CLUSTER
    CLUSTER = pg.Cluster()
    CLUSTER.registrations_per_hour = 10
    try:
        CLUSTER.start_database()
        subprocess.run([pg.SERVICE, "adduser", "--db", CLUSTER.db_uri(), "--key", KEY, "player"],
                       check=True, capture_output=True)
        CLUSTER.start_instance("A")
        CLUSTER.start_instance("B")
        CLUSTER.start_nginx()
    except BaseException:
        CLUSTER.stop()
        raise


def tearDownModule():
    try:
        codes = [CLUSTER.kill_instance(name, signal.SIGTERM) for name in list(CLUSTER.instances)]
    finally:
        CLUSTER.stop()
    assert set(codes) == {0}, codes


class Front(unittest.TestCase):
    def test_each_client_is_counted_by_its_own_address(self):
        # Thirty people in a minute, each from an address of their own: all welcome, all given a
        # cookie that never travels over plain HTTP.
        for n in range(30):
            status, headers, page = register("127.0.0.%d" % (10 + n), "person%d" % n, tls=True)
            self.assertEqual(status, 303, page)
            for cookie in field(headers, "Set-Cookie"):
                self.assertIn("; Secure", cookie)
            self.assertTrue(field(headers, "Strict-Transport-Security"))
        # One address gets ten, whatever forwarding fields it sends itself.
        for n in range(11):
            forged = {"X-Forwarded-For": "198.51.100.%d" % n, "X-Real-IP": "198.51.100.%d" % n,
                      "X-Forwarded-Proto": "http"}
            status, _, page = register("127.0.0.60", "busy%d" % n, forged, tls=True)
            self.assertEqual(status, 303 if n < 10 else 429, (n, page))
        self.assertIn(b"Please try again in 60 minutes.", page)
        # Straight at an instance, a client's forwarding fields are its own words: it did not
        # come over HTTPS, whatever it says.
        direct = {"X-Forwarded-For": "127.0.0.60", "X-Forwarded-Proto": "https"}
        status, headers, _ = register("127.0.0.61", "direct", direct, port=CLUSTER.port("A"))
        self.assertEqual(status, 301)

    def test_reports_on_port_80_and_pages_on_https(self):
        # The plug-in's own bytes: raw 0xE9, and the User-Agent line ended by a lone CR.
        raw = (b"GET /signature/generate/?user=player&key=" + KEY.encode() +
               b"&artist=Caf\xe9&title=T&album=&year=&genre= HTTP/1.1\r\nUser-Agent: Velk/1.3\r"
               b"Host: localhost\r\nCache-Control: no-cache\r\n\r\n")
        with socket.create_connection(("127.0.0.1", CLUSTER.nginx_port), timeout=20,
                                      source_address=("127.0.0.70", 0)) as s:
            s.sendall(raw)
            self.assertTrue(s.recv(4096).startswith(b"HTTP/1.1 200 OK\r\n"))
        query = urllib.parse.urlencode({"user": "player", "key": KEY, "artist": "Kino",
                                        "title": "Gruppa krovi", "album": "", "year": "",
                                        "genre": ""})
        time.sleep(pg.INTERVAL_MS / 1000 + 0.1)
        status, headers, _ = exchange("127.0.0.70", "GET", "/signature/generate/?" + query)
        self.assertEqual(status, 200)
        self.assertFalse(field(headers, "Strict-Transport-Security"))
        # The other instance shows it once its change notice came.
        self.assertTrue(pg.wait_for(lambda: b'"title":"Gruppa krovi"' in exchange(
            "127.0.0.70", "GET", "/signature/player.json")[2], 2))
        # Images on both, alike; HSTS only over HTTPS.
        plain = exchange("127.0.0.70", "GET", "/signature/player.png")
        secure = exchange("127.0.0.70", "GET", "/signature/player.png", tls=True)
        self.assertEqual((plain[0], secure[0]), (200, 200))
        self.assertEqual(plain[2], secure[2])
        self.assertEqual(field(plain[1], "ETag"), field(secure[1], "ETag"))
        self.assertEqual(field(secure[1], "Strict-Transport-Security"), ["max-age=31536000"])
        self.assertEqual(exchange("127.0.0.70", "GET", "/signature/player.json", tls=True)[0], 200)
        # People's pages move to HTTPS.
        for path in ("/account", "/user/register", "/"):
            status, headers, _ = exchange("127.0.0.70", "GET", path)
            self.assertEqual(status, 301, path)
            self.assertEqual(field(headers, "Location"),
                             ["https://127.0.0.1:%d%s" % (CLUSTER.tls_port, path)])
        self.assertEqual(exchange("127.0.0.70", "GET", "/account", tls=True)[0], 200)
        # Other players' imports up to 10,240,000 bytes pass to the service (here: a wrong token);
        # beyond, nginx refuses in the protocol's form, and the instances stay in service.
        listens = [{"listened_at": 1700000000 + n, "track_metadata": {
            "artist_name": "Artist %d" % n, "track_name": "Title",
            "additional_info": {"comment": "x" * 2000}}} for n in range(1000)]
        body = json.dumps({"listen_type": "import", "payload": listens})
        self.assertGreater(len(body), 2 << 20)
        for body, code in ((body, 401), ("x" * 10240001, 413), (body, 401)):
            status, headers, answer = exchange(
                "127.0.0.70", "POST", "/1/submit-listens", tls=True, body=body,
                headers={"Authorization": "Token wrong", "Content-Type": "application/json"})
            self.assertEqual((status, json.loads(answer)["code"]), (code, code))
            self.assertEqual(bool(field(headers, "X-RateLimit-Remaining")), code == 401)

    def test_half_sent_requests_from_one_address_leave_the_others_answered(self):
        held = []
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        if soft < 2000:
            resource.setrlimit(resource.RLIMIT_NOFILE, (min(4096, hard), hard))
        try:
            for _ in range(1200):
                s = socket.create_connection(("127.0.0.1", CLUSTER.nginx_port), timeout=10,
                                             source_address=("127.0.0.2", 0))
                held.append(s)
                try:
                    s.sendall(b"GET /signature/player.png HTTP/1.1\r\nHost: loc")
                except OSError:
                    pass  # nginx closed it already: the address has its share
            answered = 0
            for _ in range(100):
                try:
                    status, _, body = exchange("127.0.0.3", "GET", "/signature/player.png")
                    answered += status == 200 and body.startswith(b"\x89PNG")
                except OSError:
                    pass
            self.assertEqual(answered, 100)
        finally:
            for s in held:
                s.close()


def main():
    pg.SERVICE = os.path.abspath(sys.argv.pop(1))
    for sig in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        signal.signal(sig, lambda *_: sys.exit(1))  # atexit then stops the cluster
    unittest.main(verbosity=2)


if __name__ == "__main__":
    main()
