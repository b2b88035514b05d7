#!/usr/bin/env python3
"""Other players feeding a signature: the ListenBrainz endpoints driven with the documented
payloads and errors, and a real client nobody here wrote (mpd playing a tagged file, mpdscribble
speaking Audioscrobbler 1.2 to the service), all on loopback.

Usage: players_test.py PATH/TO/velk-service
"""
import hashlib
import http.client
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

SERVICE = None
WORK = None
PROCESSES = []  # every process started, stopped at the end whatever happens
PORT = None
TOKENS = {}     # account name -> player token
KEYS = {}       # account name -> key
REQUESTS_PER_MINUTE = 100  # ListenBrainz requests per client address

ARTIST, TITLE, ALBUM = "Кино", "夜に駆ける", "Группа крови"


def database():
    """The data file, or the PostgreSQL database that VELK_PLAYERS_DB names."""
    return os.environ.get("VELK_PLAYERS_DB") or os.path.join(WORK, "velk.sqlite")


def velk(*args):
    result = subprocess.run([SERVICE, *args, "--db", database()],
                            capture_output=True, text=True, check=False, timeout=30)
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


def start(command, log):
    with open(log, "w") as out:
        process = subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT,
                                   stdin=subprocess.DEVNULL)
    PROCESSES.append(process)
    return process


def read(name):
    with open(os.path.join(WORK, name), encoding="utf-8", errors="replace") as f:
        return f.read()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def setUpModule():
    global WORK, PORT
    WORK = tempfile.mkdtemp(prefix="velk-players-")
    for name in ("listener", "mpd", "refused", "importer", "historian"):
        KEYS[name] = velk("adduser", name)
        TOKENS[name] = velk("token", name)
    log = os.path.join(WORK, "service.log")
    start([SERVICE, "serve", "--db", database(), "--port", "0",
           "--listenbrainz-requests-per-minute", str(REQUESTS_PER_MINUTE)], log)
    deadline = time.monotonic() + 20
    while PORT is None and time.monotonic() < deadline:
        time.sleep(0.05)
        match = re.search(r"listening on http://127\.0\.0\.1:(\d+)", read("service.log"))
        PORT = int(match.group(1)) if match else None
    assert PORT, read("service.log")


def tearDownModule():
    for process in reversed(PROCESSES):
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
    errors = read("service.log")
    shutil.rmtree(WORK, ignore_errors=True)
    for report in ("WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "runtime error:"):
        assert report not in errors, errors


def request(method, path, body=None, token=None, source="127.0.0.1"):
    """One HTTP exchange from `source`; returns (status, headers, body text)."""
    connection = http.client.HTTPConnection("127.0.0.1", PORT, timeout=20,
                                            source_address=(source, 0))
    headers = {"Authorization": "Token " + token} if token else {}
    if body is not None and not isinstance(body, (bytes, str)):
        body = json.dumps(body)
        headers["Content-Type"] = "application/json"
    connection.request(method, path, body=body, headers=headers)
    answer = connection.getresponse()
    text = answer.read().decode(errors="replace")  # (images are checked by their head)
    connection.close()
    return answer.status, {k.lower(): v for k, v in answer.getheaders()}, text


def state(name):
    return json.loads(request("GET", "/signature/%s.json" % name)[2])


def listen(artist, title, listened_at=None, **info):
    entry = {"track_metadata": {"artist_name": artist, "track_name": title,
                                "additional_info": info}}
    if listened_at is not None:
        entry["listened_at"] = listened_at
    return entry


def submit(listen_type, *listens, token=None):
    return request("POST", "/1/submit-listens", {"listen_type": listen_type,
                                                "payload": list(listens)},
                   token=token or TOKENS["listener"])


def account_page(name):
    """Signs in to `name`'s account page; returns post(path, fields) (with the page's form token)
    and get(path), each giving (status, headers, body text)."""
    cookies = {}

    def exchange(path, body=None):
        connection = http.client.HTTPConnection("127.0.0.1", PORT, timeout=20)
        headers = {"Cookie": "; ".join("%s=%s" % c for c in cookies.items())}
        if body is not None:
            headers["Content-Type"] = "application/x-www-form-urlencoded"
        connection.request("POST" if body is not None else "GET", path, body, headers)
        answer = connection.getresponse()
        for field, value in answer.getheaders():
            if field.lower() == "set-cookie":
                cookie = value.partition(";")[0]
                cookies[cookie.split("=", 1)[0]] = cookie.split("=", 1)[1]
        text = answer.read().decode()
        connection.close()
        return answer.status, {k.lower(): v for k, v in answer.getheaders()}, text

    def post(path, fields=""):
        csrf = re.search(r'name="csrf" value="([^"]+)"', exchange("/account")[2]).group(1)
        return exchange(path, "csrf=%s%s" % (csrf, fields))

    assert post("/account/signin", "&name=%s&key=%s" % (name, KEYS[name]))[0] == 303
    return post, exchange


class ListenBrainz(unittest.TestCase):
    def token_from_account_page(self, name):
        """Signs in with the key, makes a new player token, and returns it as the page shows it
        once."""
        post, get = account_page(name)
        self.assertEqual(post("/account/token")[0], 303)
        page = get("/account")[2]
        self.assertIn("/audioscrobbler/", page)
        token = re.search(r'id="player-token">([0-9a-f-]{36})<', page).group(1)
        self.assertNotIn(token, get("/account")[2])  # a reload shows it no more
        return token

    def test_listens_and_errors(self):
        # Turns of one account, each after the report interval (2 s) except the last.
        status, _, body = submit("playing_now", listen("Daft Punk", "One More Time",
                                                       duration_ms=180000))
        self.assertEqual((status, json.loads(body)), (200, {"status": "ok"}))
        now = state("listener")
        self.assertEqual((now["playback"], now["title"]), ("playing", "One More Time"))
        self.assertEqual(now["ends_at"], now["track_at"] + 180 + 15)

        time.sleep(2.1)  # an older listen does not hide what plays now
        self.assertEqual(submit("single", listen("Older", "Song", int(time.time()) - 600))[0], 200)
        self.assertEqual(state("listener")["title"], "One More Time")

        time.sleep(2.1)  # the newest of an import of 1,000 is the last played track
        start = int(time.time()) - 1000
        listens = [listen("Artist %d" % i, "Track %d" % i, start + i, duration=100)
                   for i in (999, *range(999))]
        listens[0]["track_metadata"]["release_name"] = ALBUM
        status, _, body = submit("import", *listens)
        self.assertEqual(status, 200, body)
        last = state("listener")
        self.assertEqual((last["playback"], last["title"], last["album"], last["track_at"]),
                         ("stopped", "Track 999", ALBUM, start + 999))

        # Too soon after the import: kept, acknowledged, and shown in its turn, in UTF-8 although
        # the account's code page is 1252.
        self.assertEqual(submit("playing_now", listen(ARTIST, TITLE))[0], 200)
        time.sleep(2.3)
        kept = state("listener")
        self.assertEqual((kept["playback"], kept["artist"], kept["title"], kept["ends_at"]),
                         ("playing", ARTIST, TITLE, 0))

        def refused(answer, status, words):
            self.assertEqual(answer[0], status, answer)
            self.assertEqual(answer[1]["content-type"], "application/json")
            error = json.loads(answer[2])
            self.assertEqual(error["code"], status)
            self.assertIn(words, error["error"])

        refused(request("POST", "/1/submit-listens", {"listen_type": "single", "payload": []}),
                401, "Authorization")
        refused(submit("single", listen("A", "B", 1), token="0-wrong"), 401, "Invalid")
        refused(submit("single", listen("  ", "Title", int(time.time()))), 400, "artist_name")
        refused(submit("playing_now", listen("A", "B", int(time.time()))), 400, "listened_at")
        refused(submit("single", listen("A", "B")), 400, "listened_at")
        refused(submit("import", *[listen("A", "B", 1)] * 1001), 400, "at most 1000")
        refused(request("POST", "/1/submit-listens", "{\"listen_type\":", TOKENS["listener"]),
                400, "Cannot parse")
        # Oversized: refused from its head, before the body is read.
        with socket.create_connection(("127.0.0.1", PORT), timeout=10) as s:
            s.sendall(b"POST /1/submit-listens HTTP/1.1\r\nHost: x\r\nContent-Length: 10240001"
                      b"\r\n\r\n{")
            answer = s.recv(65536).decode()
        self.assertTrue(answer.startswith("HTTP/1.1 400 "), answer)
        for name in ("Limit", "Remaining", "Reset-In", "Reset"):  # before the address is known
            self.assertIn("\r\nX-RateLimit-%s: " % name, answer)
        self.assertIn('"code":400', answer)
        self.assertEqual(state("listener")["title"], TITLE)  # none of that changed anything

        self.assertEqual(json.loads(request("GET", "/1/validate-token",
                                            token=TOKENS["listener"])[2]),
                         {"code": 200, "message": "Token valid.", "valid": True,
                          "user_name": "listener"})
        status, _, body = request("GET", "/1/validate-token", token="nope")
        self.assertEqual((status, json.loads(body)["valid"]), (200, False))
        refused(request("GET", "/1/validate-token"), 400, "token")

        # Wrong tokens count per client: another address is limited, this one is not.
        for _ in range(20):
            request("GET", "/1/validate-token", token="guess", source="127.0.0.2")
        status, headers, _ = request("GET", "/1/validate-token", token=TOKENS["listener"],
                                     source="127.0.0.2")
        self.assertEqual((status, headers["x-ratelimit-remaining"]), (429, "0"))
        self.assertGreater(int(headers["x-ratelimit-reset-in"]), 0)
        self.assertEqual(request("GET", "/1/validate-token", token=TOKENS["listener"])[0], 200)

        # A new token from the account page, shown once: the old one is refused at once.
        old = TOKENS["listener"]
        TOKENS["listener"] = self.token_from_account_page("listener")
        self.assertFalse(json.loads(request("GET", "/1/validate-token", token=old)[2])["valid"])
        self.assertTrue(json.loads(request("GET", "/1/validate-token",
                                           token=TOKENS["listener"])[2])["valid"])


class ListenBrainzAsDocumented(unittest.TestCase):
    def test_fields_on_every_answer_and_the_documented_limits(self):
        connection = http.client.HTTPConnection("127.0.0.1", PORT, timeout=20,
                                                source_address=("127.0.0.3", 0))

        def send(path, listens=None, token=TOKENS["importer"]):
            body = listens and json.dumps({"listen_type": listens[0], "payload": listens[1:]})
            connection.request("POST" if body else "GET", path, body,
                               {"Authorization": "Token " + token})
            answer = connection.getresponse()
            text = answer.read().decode()
            limit, left, reset_in, reset = (int(answer.getheader("X-RateLimit-" + name)) for name
                                            in ("Limit", "Remaining", "Reset-In", "Reset"))
            self.assertEqual(limit, REQUESTS_PER_MINUTE)
            self.assertTrue(0 < reset_in <= 60 and abs(reset - time.time() - reset_in) <= 2)
            self.reset_in = reset_in
            return answer.status, left, json.loads(text).get("error", "")

        while send("/1/validate-token")[1] != REQUESTS_PER_MINUTE - 1 or self.reset_in < 30:
            time.sleep(self.reset_in + 0.2)  # so that what follows fits in one window
        # 1,000 listens of 2.1 MB in all, each under 10,240 bytes, are taken; a larger listen and
        # one before 2002-10-01 are not.
        at = int(time.time()) - 5000
        batch = [listen("Artist %d" % i, "Track %d" % i, at + i, c="x" * 2000) for i in range(1000)]
        self.assertGreater(len(json.dumps(batch)), 2 << 20)
        answers = [send("/1/submit-listens", ["import", *batch]),
                   send("/1/submit-listens", ["single", listen("A", "B", at, c="x" * 10240)]),
                   send("/1/submit-listens", ["single", listen("A", "B", 1033430399)]),
                   send("/1/submit-listens", ["single", listen("A", "B", 1033430400)]),
                   send("/1/submit-listens", ["single"], token="bad"),
                   send("/1/submit-listens")]
        self.assertEqual(answers, [
            (200, REQUESTS_PER_MINUTE - 2, ""),
            (400, REQUESTS_PER_MINUTE - 3, "Listen 0: a listen may take at most 10240 bytes."),
            (400, REQUESTS_PER_MINUTE - 4,
             "Listen 0: listened_at must be 1033430400 (2002-10-01) or later."),
            (200, REQUESTS_PER_MINUTE - 5, ""),
            (401, REQUESTS_PER_MINUTE - 6, "Invalid authorization token."),
            (405, REQUESTS_PER_MINUTE - 7, "Listens are submitted with POST.")])
        self.assertEqual(state("importer")["title"], "Track 999")
        # Up to the limit, then 429 until the window ends.
        for n in range(REQUESTS_PER_MINUTE - 7):
            self.assertEqual(send("/1/validate-token")[:2], (200, REQUESTS_PER_MINUTE - 8 - n))
        self.assertEqual(send("/1/validate-token"), (
            429, 0, "Too many requests from your address: at most %d a minute; try again in %d s."
            % (REQUESTS_PER_MINUTE, self.reset_in)))
        connection.close()


class AudioscrobblerRefusals(unittest.TestCase):
    def test_handshake_and_session_refusals(self):
        token = velk("token", "refused")

        def handshake(password, at=None):
            at = str(at or int(time.time()))
            auth = hashlib.md5((hashlib.md5(password.encode()).hexdigest() + at).encode())
            return request("GET", "/audioscrobbler/?hs=true&p=1.2&c=tst&v=1&u=refused&t=%s&a=%s"
                           % (at, auth.hexdigest()))[2].split("\n")

        self.assertEqual(handshake("wrong")[0], "BADAUTH")
        self.assertEqual(handshake(token, int(time.time()) - 3600)[0], "BADTIME")
        ok, session, now_playing, _, _ = handshake(token)
        self.assertEqual((ok, now_playing), ("OK", "http://127.0.0.1:%d/audioscrobbler/nowplaying"
                                             % PORT))
        post = "s=%s&a=A&t=T" % session
        self.assertEqual(request("POST", "/audioscrobbler/nowplaying", post)[2], "OK\n")
        self.assertEqual(request("POST", "/audioscrobbler/nowplaying", "s=x" + post)[2],
                         "BADSESSION\n")
        self.assertIn("FAILED", request("POST", "/audioscrobbler/submit",
                                        "s=%s&a[0]=A&t[0]=T" % session)[2])  # no start time
        velk("token", "refused")  # a new token ends the sessions of the old one
        self.assertEqual(request("POST", "/audioscrobbler/nowplaying", post)[2], "BADSESSION\n")


class MpdScribble(unittest.TestCase):
    """mpd plays a 40 s Ogg Vorbis file to a null output; mpdscribble reports it."""

    def mpd_command(self, *commands):
        with socket.create_connection(("127.0.0.1", self.mpd_port), timeout=10) as s:
            f = s.makefile("rwb")
            f.readline()  # "OK MPD version"
            for command in commands:
                f.write(command.encode() + b"\n")
                f.flush()
                lines = []
                while True:
                    line = f.readline().decode().rstrip("\n")
                    self.assertFalse(line.startswith("ACK"), line)
                    if line == "OK" or not line:
                        break
                    lines.append(line)
            return dict(line.split(": ", 1) for line in lines if ": " in line)

    def wait_for(self, what, seconds, check):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            seen = state("mpd")
            if check(seen):
                return seen
            time.sleep(0.25)
        self.fail("%s: not within %d s; state %s\nmpdscribble log:\n%s" % (
            what, seconds, seen, read("mpdscribble.log")[-3000:]))

    def test_mpdscribble_reports_what_mpd_plays(self):
        music = os.path.join(WORK, "music")
        os.makedirs(music)
        subprocess.run(["sox", "-n", "-r", "44100", "-c", "2", "-b", "16", os.path.join(WORK, "tone.wav"),
                        "synth", "40", "sine", "440", "vol", "0.1"], check=True, timeout=60)
        subprocess.run(["oggenc", "-Q", "-a", ARTIST, "-t", TITLE, "-l", ALBUM, "-G", "Rock",
                        "-d", "1988", "-o", os.path.join(music, "song.ogg"),
                        os.path.join(WORK, "tone.wav")], check=True, timeout=60)
        self.mpd_port = free_port()
        with open(os.path.join(WORK, "mpd.conf"), "w") as f:
            f.write('music_directory "%s"\ndb_file "%s/mpd.db"\nstate_file "%s/mpd.state"\n'
                    'bind_to_address "127.0.0.1"\nport "%d"\nzeroconf_enabled "no"\n'
                    'audio_output {\n type "null"\n name "silence"\n}\n'
                    % (music, WORK, WORK, self.mpd_port))
        start(["mpd", "--no-daemon", "--stderr", os.path.join(WORK, "mpd.conf")],
              os.path.join(WORK, "mpd.log"))
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.mpd_port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.1)
        self.mpd_command("update")
        deadline = time.monotonic() + 15
        while "updating_db" in self.mpd_command("status") and time.monotonic() < deadline:
            time.sleep(0.1)
        with open(os.path.join(WORK, "mpdscribble.conf"), "w") as f:
            f.write("host = 127.0.0.1\nport = %d\nlog = %s/mpdscribble.log\nverbose = 3\n"
                    "[velk]\nurl = http://127.0.0.1:%d/audioscrobbler/\nusername = mpd\n"
                    "password = %s\njournal = %s/journal\n"
                    % (self.mpd_port, WORK, PORT, TOKENS["mpd"], WORK))
        start(["mpdscribble", "--no-daemon", "--conf", os.path.join(WORK, "mpdscribble.conf")],
              os.path.join(WORK, "mpdscribble.out"))

        self.mpd_command("add song.ogg", "play")
        started = time.monotonic()
        playing = self.wait_for("playing", 15, lambda s: s["playback"] == "playing")
        shown_at = time.monotonic()
        self.assertEqual((playing["artist"], playing["title"], playing["album"]),
                         (ARTIST, TITLE, ALBUM))
        self.assertGreater(playing["ends_at"], playing["track_at"] + 40)
        # mpdscribble submits the track when it ends: then it is the last played one.
        last = self.wait_for("last played", 40 + 20 - (time.monotonic() - started),
                             lambda s: s["playback"] == "stopped")
        self.assertEqual((last["title"], last["expired"]), (TITLE, False), last)
        print("\nmpd started playing; the signature showed it playing after %.1f s and last "
              "played after %.1f s" % (shown_at - started, time.monotonic() - started),
              file=sys.stderr)
        # And it stays so once the track's length and the grace have passed.
        time.sleep(max(0.0, 40 + 15 + 1 - (time.monotonic() - started)))
        self.assertNotEqual(state("mpd")["playback"], "playing")


class History(unittest.TestCase):
    """One account's history from the plug-in, a ListenBrainz import and Audioscrobbler
    submissions: the recent list, the charts, the images, the download, keeping it off, deleting
    it."""

    def recent(self, count=10):
        return json.loads(request("GET", "/signature/historian/recent.json?count=%d" % count)[2])

    def test_one_history_from_every_player(self):
        name, token = "historian", TOKENS["historian"]
        plugin = "/signature/generate/?user=%s&key=%s&artist=Plug&title=%%s&album=Al&year=&genre=" % (
            name, KEYS[name])
        self.assertEqual(request("GET", plugin % "First")[0], 200)
        started = time.monotonic()
        now = int(time.time())
        old = [listen(ARTIST, "Песня %d" % i, now - 3000 + i * 100) for i in range(3)]
        old[2]["track_metadata"]["artist_name"] = "ずっと真夜中でいいのに。"
        # The same listen twice in one import, and once more on its own: kept once.
        self.assertEqual(submit("import", *old, old[0], token=token)[0], 200)
        time.sleep(2.1)
        self.assertEqual(submit("single", old[0], token=token)[0], 200)
        at = str(now)
        auth = hashlib.md5((hashlib.md5(token.encode()).hexdigest() + at).encode()).hexdigest()
        session = request("GET", "/audioscrobbler/?hs=true&p=1.2&c=tst&v=1&u=%s&t=%s&a=%s"
                          % (name, at, auth))[2].split("\n")[1]
        form = "s=%s&a[0]=Scrobbled&t[0]=One&i[0]=%d&o[0]=P&l[0]=200&a[1]=Scrobbled&t[1]=Two&" \
               "i[1]=%d&o[1]=P&l[1]=200" % (session, now - 900, now - 600)
        self.assertEqual(request("POST", "/audioscrobbler/submit", form)[2], "OK\n")

        shown = self.recent()
        self.assertEqual(shown["playing"]["title"], "First")
        self.assertEqual([(l["title"], l["source"]) for l in shown["listens"]],
                         [("Two", "audioscrobbler"), ("One", "audioscrobbler"),
                          ("Песня 2", "listenbrainz"), ("Песня 1", "listenbrainz"),
                          ("Песня 0", "listenbrainz")])
        artists = json.loads(request("GET", "/signature/%s/top-artists.json?period=7d" % name)[2])
        self.assertEqual([(r["artist"], r["plays"]) for r in artists["rows"]],
                         [("Scrobbled", 2), (ARTIST, 2), ("ずっと真夜中でいいのに。", 1)])
        self.assertEqual(request("GET", "/signature/%s/recent.png?count=11" % name)[0], 400)

        # The plug-in's track counts once it played 30 s; one cut short does not.
        time.sleep(max(0.0, 31 - (time.monotonic() - started)))
        self.assertEqual(request("GET", plugin % "Second")[0], 200)
        time.sleep(2.1)
        self.assertEqual(request("GET", plugin.replace("%s", "stopped").replace(
            "artist=Plug", "artist=stopped").replace("&album=Al&year=&genre=", ""))[0], 200)
        shown = self.recent()
        self.assertIsNone(shown["playing"])
        self.assertEqual([(l["title"], l["source"]) for l in shown["listens"][:2]],
                         [("First", "velk"), ("Two", "audioscrobbler")])
        tracks = json.loads(request("GET", "/signature/%s/top-tracks.json?period=all" % name)[2])
        self.assertEqual(sum(r["plays"] for r in tracks["rows"]), 5)  # the first five of six

        for kind in ("recent.png?count=5", "recent.svg?count=10", "top-artists.png?period=all",
                     "top-tracks.svg?period=30d"):
            status, headers, body = request("GET", "/signature/%s/%s" % (name, kind))
            self.assertEqual(status, 200, kind)
            self.assertEqual(headers["content-type"],
                             "image/svg+xml" if ".svg" in kind else "image/png")
            if ".svg" in kind:
                self.assertNotIn("<text", body)
                self.assertLess(len(body.encode()), 64 * 1024)
            connection = http.client.HTTPConnection("127.0.0.1", PORT, timeout=20)
            connection.request("GET", "/signature/%s/%s" % (name, kind),
                               headers={"If-None-Match": headers["etag"]})
            self.assertEqual(connection.getresponse().status, 304)
            connection.close()

        post, get = account_page(name)
        download = json.loads(get("/account/history/download")[2])
        self.assertEqual([(l["listened_at"], l["track_metadata"]["track_name"])
                          for l in download],
                         [(l["listened_at"], l["title"]) for l in self.recent()["listens"]][:6])
        self.assertEqual(len(download), 6)

        # Kept no more: a new listen changes the signature but not the history.
        self.assertEqual(post("/account/history")[0], 303)
        self.assertEqual(submit("single", listen("Unkept", "Song", int(time.time())),
                                token=token)[0], 200)
        self.assertNotIn("Unkept", [l["artist"] for l in self.recent()["listens"]])
        self.assertEqual(post("/account/history/delete")[0], 303)
        self.assertEqual(self.recent()["listens"], [])
        for chart in ("top-artists", "top-tracks"):
            self.assertEqual(json.loads(request(
                "GET", "/signature/%s/%s.json?period=all" % (name, chart))[2])["rows"], [])


if __name__ == "__main__":
    SERVICE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
