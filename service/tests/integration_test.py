#!/usr/bin/env python3
"""Integration tests of velk-service: a real server on a free loopback port, the plug-in's exact
requests replayed as raw bytes, and everything else through curl.

Usage: integration_test.py PATH/TO/velk-service
"""
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

SERVICE = None   # path of the program under test
PORT = None
WORK = None
PROCESS = None
KEYS = {}        # account name -> key


def velk(*args):
    return subprocess.run([SERVICE, *args, "--db", os.path.join(WORK, "velk.sqlite")],
                          capture_output=True, text=True, check=False)


def start_service():
    """Starts the service on a free port (--port 0) and returns the process and the port."""
    process = subprocess.Popen([SERVICE, "serve", "--db", os.path.join(WORK, "velk.sqlite"),
                                "--address", "127.0.0.1", "--port", "0", "--access-log", "off"],
                               stdout=subprocess.PIPE, stderr=sys.stderr, text=True)
    line = process.stdout.readline()
    match = re.search(r"listening on http://127\.0\.0\.1:(\d+)", line)
    if not match:
        process.kill()
        raise RuntimeError("the service did not start: " + line)
    return process, int(match.group(1))


def stop_service(process):
    process.send_signal(signal.SIGTERM)
    code = process.wait(timeout=30)
    process.stdout.close()
    return code


def setUpModule():
    global WORK, PROCESS, PORT
    WORK = tempfile.mkdtemp(prefix="velk-integration-")
    for name, codepage in (("bob", "1251"), ("amy", "1252"), ("greta", "1253"), ("kenji", "932"),
                           ("capper", "1252"), ("rater", "1252"), ("keeper", "1252"),
                           ("unsure", "1252"), ("bjork", "1252")):
        result = velk("adduser", name, "--codepage", codepage)
        assert result.returncode == 0, result.stderr
        KEYS[name] = result.stdout.strip()
    PROCESS, PORT = start_service()


def tearDownModule():
    if PROCESS and PROCESS.poll() is None:
        PROCESS.kill()
        PROCESS.wait()
        PROCESS.stdout.close()
    shutil.rmtree(WORK, ignore_errors=True)


def url(path):
    return "http://127.0.0.1:%d%s" % (PORT, path)


def curl(*args):
    """Runs curl; returns (status, headers as a lower-case dict, body bytes)."""
    if os.path.exists(os.path.join(WORK, "body")):
        os.remove(os.path.join(WORK, "body"))  # curl writes no file for an empty body
    result = subprocess.run(["curl", "-s", "-S", "--max-time", "20", "-D", "-", "-o",
                             os.path.join(WORK, "body"), *args], capture_output=True, check=True)
    head = result.stdout.decode("latin-1")
    blocks = [b for b in head.split("\r\n\r\n") if b.strip()]
    lines = blocks[-1].split("\r\n")
    status = int(lines[0].split()[1])
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    body = b""
    if os.path.exists(os.path.join(WORK, "body")):
        with open(os.path.join(WORK, "body"), "rb") as f:
            body = f.read()
    return status, headers, body


def state(name):
    status, _, body = curl(url("/signature/%s.json" % name))
    assert status == 200, (status, body)
    return json.loads(body)


def exchange(raw, expect_answers=1):
    """Sends raw request bytes on one connection and returns what came back, as bytes."""
    with socket.create_connection(("127.0.0.1", PORT), timeout=20) as s:
        s.sendall(raw)
        received = b""
        while received.count(b"HTTP/1.1 ") < expect_answers or not complete(received, expect_answers):
            chunk = s.recv(65536)
            if not chunk:
                break
            received += chunk
        return received


def complete(received, answers):
    """Whether `received` holds `answers` whole answers (head and Content-Length bytes each)."""
    rest = received
    for _ in range(answers):
        head_end = rest.find(b"\r\n\r\n")
        if head_end < 0:
            return False
        match = re.search(rb"Content-Length: (\d+)", rest[:head_end])
        length = int(match.group(1)) if match else 0
        if len(rest) < head_end + 4 + length:
            return False
        rest = rest[head_end + 4 + length:]
    return True


def plugin_get(user, key, artist, title, album=b"", year=b"", genre=b"", ending=b"\r"):
    """The plug-in's GET: the whole path with its query as the object, raw bytes 0x80-0xFF as they
    are, and the one header line "User-Agent: Velk/1.3" ended by a lone CR; what the HTTP library
    adds follows it."""
    query = (b"user=" + user + b"&key=" + key + b"&artist=" + artist + b"&title=" + title +
             b"&album=" + album + b"&year=" + year + b"&genre=" + genre)
    return (b"GET /signature/generate/?" + query + b" HTTP/1.1\r\n"
            b"User-Agent: Velk/1.3" + ending +
            b"Host: localhost\r\nCache-Control: no-cache\r\n\r\n")


def plugin_post(body):
    """The plug-in's POST: the object without the query, four header lines, the query as body."""
    return (b"POST /signature/generate/ HTTP/1.1\r\n"
            b"Accept: text/*\r\n"
            b"User-Agent: Velk/1.2  Moxel\r\n"
            b"Accept-Language: en-us\r\n"
            b"Content-type: application/x-www-form-urlencoded\r\n"
            b"Host: localhost\r\n"
            b"Content-Length: " + str(len(body)).encode() + b"\r\n"
            b"Cache-Control: no-cache\r\n\r\n" + body)


def status_of(answer):
    return int(answer.split(b" ", 2)[1])


class PlugInRequests(unittest.TestCase):
    def test_get_with_raw_high_bytes_and_a_lone_cr(self):
        answer = exchange(plugin_get(b"bob", KEYS["bob"].encode(), b"\xca\xe8\xed\xee",
                                     b"\xc3\xf0\xf3\xef\xef\xe0%20\xea\xf0\xee\xe2\xe8",
                                     year=b"1988"))
        self.assertEqual(status_of(answer), 200, answer)
        s = state("bob")
        self.assertEqual((s["playback"], s["artist"], s["title"], s["year"]),
                         ("playing", "Кино", "Группа крови", "1988"))

    def test_get_exactly_as_wine_sends_it(self):
        # Wine's WinINet turns the header's lone CR into CR LF and puts Host first.
        answer = exchange(b"GET /signature/generate/?user=bjork&key=" + KEYS["bjork"].encode() +
                          b"&artist=Bj\xF6rk&title=J\xF3ga&album=Homogenic&year=1997"
                          b"&genre=\xC9lectronique HTTP/1.1\r\n"
                          b"Host: localhost\r\n"
                          b"User-Agent: Velk/1.3\r\n"
                          b"\r\n")
        self.assertEqual(status_of(answer), 200, answer)
        s = state("bjork")
        self.assertEqual((s["artist"], s["title"], s["genre"]), ("Björk", "Jóga", "Électronique"))

    def test_get_whose_lone_cr_is_followed_by_crlf(self):
        answer = exchange(plugin_get(b"greta", KEYS["greta"].encode(), b"\xc2\xe1\xf3\xdf\xeb\xe7\xf2",
                                     b"\xc1\xf7%20\xc5\xeb\xeb\xdc\xe4\xe1", ending=b"\r\r\n"))
        self.assertEqual(status_of(answer), 200, answer)
        self.assertEqual(state("greta")["title"], "Αχ Ελλάδα")

    def test_post_with_form_body(self):
        body = (b"user=amy&key=" + KEYS["amy"].encode() +
                b"&artist=Salt%20%26%20Sand&title=Caf\xe9%20%28Live%29&album=Tides&year=2001"
                b"&genre=Rock")
        answer = exchange(plugin_post(body))
        self.assertEqual(status_of(answer), 200, answer)
        s = state("amy")
        self.assertEqual((s["artist"], s["title"], s["album"], s["genre"]),
                         ("Salt & Sand", "Café (Live)", "Tides", "Rock"))

    def test_double_byte_tags_and_the_stopped_report(self):
        # "宇多田ヒカル" in Shift_JIS; "ダ" (0x83 0x5F) arrives as 0x83 "%20" since "_" is escaped as a blank.
        answer = exchange(plugin_get(b"kenji", KEYS["kenji"].encode(),
                                     b"\x89\x46\x91\xbd\x93\x63\x83\x71\x83\x4a\x83\x8b",
                                     b"\x83%20\x83\x93\x83\x58"))
        self.assertEqual(status_of(answer), 200, answer)
        self.assertEqual(state("kenji")["artist"], "宇多田ヒカル")
        self.assertEqual(state("kenji")["title"], "ダンス")
        time.sleep(2.1)  # one report per account every 2 seconds
        stop = (b"GET /signature/generate/?user=kenji&key=" + KEYS["kenji"].encode() +
                b"&artist=stopped&title=stopped HTTP/1.1\r\nUser-Agent: Velk/1.3\r"
                b"Host: localhost\r\n\r\n")
        self.assertEqual(status_of(exchange(stop)), 200)
        s = state("kenji")
        self.assertEqual((s["playback"], s["artist"]), ("stopped", "宇多田ヒカル"))
        self.assertGreater(s["stopped_at"], 0)

    def test_wrong_key_and_unknown_user_are_refused(self):
        self.assertEqual(status_of(exchange(plugin_get(b"unsure", b"Key", b"a", b"b"))), 403)
        self.assertEqual(status_of(exchange(plugin_get(b"unsure", b"99", b"a", b"b"))), 403)
        self.assertEqual(status_of(exchange(plugin_get(b"nobody", b"1", b"a", b"b"))), 403)
        s = state("unsure")
        self.assertEqual((s["playback"], s["wrong_key"]), ("none", True))


class Limits(unittest.TestCase):
    def test_caps_answer_4xx_and_store_nothing(self):
        key = KEYS["capper"]
        long_target = "/signature/generate/?user=capper&key=%s&artist=a&title=%s" % (key, "x" * 8300)
        self.assertEqual(curl(url(long_target))[0], 414)
        body = "user=capper&key=%s&artist=a&title=%s" % (key, "y" * 4200)
        self.assertEqual(curl("--data-binary", body, url("/signature/generate/"))[0], 413)
        tag = "/signature/generate/?user=capper&key=%s&artist=a&title=%s" % (key, "z" * 256)
        status, _, text = curl(url(tag))
        self.assertEqual(status, 400)
        self.assertIn(b"255", text)
        self.assertEqual(state("capper")["playback"], "none")
        huge_head = b"GET / HTTP/1.1\r\n" + b"X-Pad: " + b"p" * 20000 + b"\r\n\r\n"
        self.assertEqual(status_of(exchange(huge_head)), 431)

    def test_second_report_within_two_seconds_is_dropped(self):
        first = "/signature/generate/?user=rater&key=%s&artist=A&title=One&album=&year=&genre=" % KEYS["rater"]
        self.assertEqual(curl(url(first))[0], 200)
        self.assertEqual(curl(url(first.replace("One", "Two")))[0], 429)
        self.assertEqual(state("rater")["title"], "One")

    def test_half_sent_requests_do_not_hold_up_others(self):
        idle = []
        for _ in range(16):
            s = socket.create_connection(("127.0.0.1", PORT), timeout=20)
            s.sendall(b"GET /signature/bob.png HTTP/1.1\r\nHost: loc")
            idle.append(s)
        try:
            self.assertEqual(curl(url("/signature/bob.png"))[0], 200)
        finally:
            for s in idle:
                s.close()


class Images(unittest.TestCase):
    def test_png_with_caching_headers_and_304(self):
        status, headers, body = curl(url("/signature/bob.png"))
        self.assertEqual(status, 200)
        self.assertEqual(headers["content-type"], "image/png")
        self.assertEqual(headers["cache-control"], "public, max-age=30")
        self.assertTrue(body.startswith(b"\x89PNG\r\n\x1a\n"))
        self.assertEqual(int.from_bytes(body[16:20], "big"), 400)
        self.assertEqual(int.from_bytes(body[20:24], "big"), 60)
        self.assertLess(len(body), 30 * 1024)
        etag = headers["etag"]
        status, again, body = curl("-H", "If-None-Match: " + etag, url("/signature/bob.png"))
        self.assertEqual((status, body), (304, b""))
        self.assertEqual(again["etag"], etag)
        status, _, _ = curl("-H", "If-Modified-Since: " + headers["last-modified"],
                            url("/signature/bob.png"))
        self.assertEqual(status, 304)
        status, _, _ = curl("-H", 'If-None-Match: "stale"', url("/signature/bob.png"))
        self.assertEqual(status, 200)

    def test_problems_still_answer_200_with_a_png(self):
        for path in ("/signature/nobody.png", "/signature/%3Cb%3E.png"):
            status, headers, body = curl(url(path))
            self.assertEqual(status, 200, path)
            self.assertEqual(headers["content-type"], "image/png")
            self.assertTrue(body.startswith(b"\x89PNG"))

    def test_keep_alive_and_pipelined_requests(self):
        # HEAD answers of every kind announce a length but send no body, so each answer after
        # them starts where it should; every answer has its reason phrase and nosniff.
        heads = [("/signature/amy.png", b"200 OK"), ("/", b"302 Found"),
                 ("/nowhere", b"404 Not Found"), ("/account/signin", b"303 See Other"),
                 ("/account/settings", b"405 Method Not Allowed"),
                 ("/account/preview.png", b"403 Forbidden")]
        raw = b"GET /signature/amy.png HTTP/1.1\r\nHost: x\r\n\r\n"
        for path, _ in heads:
            raw += b"HEAD %s HTTP/1.1\r\nHost: x\r\n\r\n" % path.encode()
        raw += b"GET /signature/amy.png HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"
        with socket.create_connection(("127.0.0.1", PORT), timeout=20) as s:
            s.sendall(raw)
            received = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                received += chunk
        expected = [(b"200 OK", True)] + [(status, False) for _, status in heads] + \
            [(b"200 OK", True)]
        for status, has_body in expected:
            head, _, received = received.partition(b"\r\n\r\n")
            self.assertTrue(head.startswith(b"HTTP/1.1 " + status), (status, head))
            self.assertIn(b"\r\nX-Content-Type-Options: nosniff", head)
            length = int(re.search(rb"Content-Length: (\d+)", head).group(1))
            self.assertGreater(length, 0)
            if has_body:
                self.assertTrue(received.startswith(b"\x89PNG"))
                received = received[length:]
        self.assertEqual(received, b"")


def register(fields, *args):
    """Posts the registration form as a browser does: its page first, for the form's cookie and
    token. `args` go to curl as well; returns what curl() does."""
    jar = os.path.join(WORK, "cookies")
    if os.path.exists(jar):
        os.remove(jar)
    form = curl("-c", jar, url("/user/register"))[2]
    csrf = re.search(rb'name="csrf" value="([0-9a-f]+)"', form).group(1).decode()
    return curl(*args, "-b", jar, "-c", jar, "--data", fields + "&csrf=" + csrf,
                url("/user/register"))


class Accounts(unittest.TestCase):
    def test_registration_form_post_gives_a_working_key(self):
        # Another site's page cannot post the form, even with its cookie and token.
        status, headers, _ = register("name=Zoe-1&codepage=1251", "-H",
                                      "Origin: https://evil.example")
        self.assertEqual(status, 403)
        self.assertNotIn("velk_session", headers.get("set-cookie", ""))
        # The answer sends the browser on to the new account's page, which shows the key.
        status, _, page = register("name=Zoe-1&codepage=1251", "-L")
        self.assertEqual(status, 200, page)
        key = re.search(rb'id="key">(\d+)<', page).group(1).decode()
        self.assertIn(b"/signature/Zoe-1.png", page)
        report = "/signature/generate/?user=Zoe-1&key=%s&artist=%%C0&title=t&album=&year=&genre=" % key
        self.assertEqual(curl(url(report))[0], 200)
        self.assertEqual(state("zoe-1")["artist"], "А")
        status, _, page = register("name=zoe-1&codepage=1252")
        self.assertEqual(status, 409)
        self.assertIn(b"taken", page)

    def test_cli_adduser_with_a_chosen_key_then_show(self):
        result = velk("adduser", "demo", "--key", "4242")
        self.assertEqual((result.returncode, result.stdout), (0, "4242\n"), result.stderr)
        self.assertNotEqual(velk("adduser", "DEMO").returncode, 0)
        report = "/signature/generate/?user=demo&key=4242&artist=A&title=T&album=&year=&genre="
        self.assertEqual(curl(url(report))[0], 200)
        time.sleep(0.5)  # the writer commits in the background
        shown = velk("show", "demo")
        self.assertEqual(shown.returncode, 0, shown.stderr)
        self.assertIn("playing", shown.stdout)
        self.assertIn("/signature/demo.png", shown.stdout)


class Restart(unittest.TestCase):
    def test_state_survives_a_restart(self):
        global PROCESS, PORT
        key = KEYS["keeper"]
        report = "/signature/generate/?user=keeper&key=%s&artist=Kept&title=T&album=&year=&genre=" % key
        self.assertEqual(curl(url(report))[0], 200)
        self.assertEqual(stop_service(PROCESS), 0)
        PROCESS, PORT = start_service()
        self.assertEqual(state("keeper")["artist"], "Kept")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    SERVICE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
