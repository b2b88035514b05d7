#!/usr/bin/env python3
"""Listening-history figures of the signature service on one database, printed as lines
"label: value" that scripts/bench_service puts side by side:

- plug-in reports and ListenBrainz singles stored per second, with history on and with it off
  (--history-listens 0), each through wrk for SECONDS;
- a cached "recently played" image against a cached "now playing" image (requests/s);
- listens per second taken through ListenBrainz imports of 1,000 listens each;
- one account with a year of history (100,000 listens): its chart image cached (requests/s) and
  drawn fresh after each new listen (milliseconds, median and 90th percentile).

Usage: bench_history.py VELK_SERVICE DB WORK SECONDS
DB is a SQLite file to create or a PostgreSQL URI; WORK a folder for logs and scripts. Every load
loop is bounded in count and time; traffic stays on loopback."""
import http.client
import json
import os
import re
import statistics
import subprocess
import sys
import threading
import time

SERVICE, DB, WORK, SECONDS = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
KEY = "12345678901234567890"
ACCOUNTS = 200
YEAR_LISTENS = 100000
TOKEN_FILE = os.path.join(WORK, "history-tokens")


def velk(*args):
    return subprocess.run([SERVICE, *args, "--db", DB], check=True, capture_output=True,
                          text=True, timeout=600).stdout


def start(label, *options, access_log="off"):
    log = open(os.path.join(WORK, "history-%s.out" % label), "w")
    process = subprocess.Popen([SERVICE, "serve", "--db", DB, "--port", "0", "--threads", "2",
                                "--access-log", access_log, "--metrics-address", "off",
                                "--report-interval-ms", "50",
                                "--listenbrainz-requests-per-minute", "1000000000", *options],
                               stdout=log, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        with open(log.name) as f:
            found = re.search(r"listening on http://127\.0\.0\.1:(\d+)", f.read())
        if found:
            return process, int(found.group(1))
        time.sleep(0.05)
    sys.exit("the service did not start: " + open(log.name).read())


def stop(process):
    process.terminate()
    process.wait(timeout=30)


def get(port, path, body=None, token=None):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    headers = {"Authorization": "Token " + token} if token else {}
    connection.request("POST" if body is not None else "GET", path, body, headers)
    answer = connection.getresponse()
    data = answer.read()
    connection.close()
    return answer.status, data


def wrk(port, script, path="/", **env):
    """Runs wrk for SECONDS with `script`; returns its requests/s (every answer 200 or 429)."""
    out = subprocess.run(["wrk", "-t2", "-c32", "-d%ds" % SECONDS, "--timeout", "5s", "-s", script,
                          "http://127.0.0.1:%d%s" % (port, path)],
                         env=dict(os.environ, TOKENS=TOKEN_FILE, KEY=KEY,
                                  **{k: str(v) for k, v in env.items()}),
                         check=True, capture_output=True, text=True, timeout=SECONDS + 60).stdout
    found = re.search(r"RESULT ([\d.]+) (\d+)", out)
    if int(found.group(2)):
        sys.exit("%s: %s answers were neither 200 nor 429" % (path, found.group(2)))
    return float(found.group(1)), int(found.group(2))


LUA = r"""
-- MODE plugin: plug-in reports of the accounts in turn; single: a ListenBrainz single each;
-- else GET of the URL. Counts the answers that are neither 200 nor 429 (kept, also committed).
local threads = {}
setup = function(thread) table.insert(threads, thread) end
init = function(args)
  tokens = {}
  for line in io.lines(os.getenv("TOKENS")) do table.insert(tokens, line) end
  counter = math.random(1, 1000000) * 1000
  failed = 0
end
request = function()
  counter = counter + 1
  local n = counter % #tokens
  if os.getenv("MODE") == "plugin" then
    return wrk.format("GET", "/signature/generate/?user=hist" .. n .. "&key=" .. os.getenv("KEY") ..
      "&artist=Artist&title=Title%20" .. counter .. "&album=Album&year=&genre=")
  end
  if os.getenv("MODE") == "single" then
    local body = '{"listen_type":"single","payload":[{"listened_at":' .. (1700000000 + counter) ..
      ',"track_metadata":{"artist_name":"Artist ' .. (counter % 50) .. '","track_name":"Title ' ..
      counter .. '"}}]}'
    return wrk.format("POST", "/1/submit-listens", {["Authorization"] = "Token " .. tokens[n + 1],
      ["Content-Type"] = "application/json"}, body)
  end
  return wrk.format("GET")
end
response = function(status) if status ~= 200 and status ~= 429 then failed = failed + 1 end end
done = function(summary)
  local f = 0
  for _, thread in ipairs(threads) do f = f + thread:get("failed") end
  io.write(string.format("RESULT %.1f %d\n", summary.requests / (summary.duration / 1e6), f))
end
"""


def listens_body(first_at, count, step, artist_of):
    return json.dumps({"listen_type": "import", "payload": [
        {"listened_at": first_at + i * step,
         "track_metadata": {"artist_name": artist_of(i), "track_name": "Track %d" % (i % 997),
                            "release_name": "Album"}} for i in range(count)]})


def imports(port, tokens):
    """Listens/s through imports of 1,000 from 4 clients, for SECONDS at most."""
    bodies = [listens_body(1500000000 + n * 1000, 1000, 1, lambda i: "Artist %d" % (i % 300))
              for n in range(120)]
    taken = [0]
    lock = threading.Lock()
    end = time.monotonic() + SECONDS

    def client(c):
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
        for n in range(c, len(bodies), 4):
            if time.monotonic() > end:
                break
            connection.request("POST", "/1/submit-listens", bodies[n],
                               {"Authorization": "Token " + tokens[c + 1]})
            answer = connection.getresponse()
            answer.read()
            if answer.status == 200:
                with lock:
                    taken[0] += 1000
        connection.close()

    begun = time.monotonic()
    threads = [threading.Thread(target=client, args=(c,)) for c in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return taken[0] / (time.monotonic() - begun)


def year_of_history(port, token):
    """Imports 100,000 listens over a year for hist0."""
    now = int(time.time())
    step = 365 * 86400 // YEAR_LISTENS
    for n in range(YEAR_LISTENS // 1000):
        body = listens_body(now - 365 * 86400 + n * 1000 * step, 1000, step,
                            lambda i: "Artist %d" % ((i * 7919) % 400))
        status, data = get(port, "/1/submit-listens", body, token)
        if status != 200:
            sys.exit("import refused: %d %s" % (status, data[:200]))


def fresh_charts(port, token, first):
    """Draws hist0's artist chart (all time and 7 days in turn) 40 times, each after a new listen
    made it stale; returns the times the client waited (ms), sorted."""
    now = int(time.time())
    times = []
    for n in range(first, first + 40):
        single = json.dumps({"listen_type": "single", "payload": [
            {"listened_at": now - 3600 + n, "track_metadata": {"artist_name": "Fresh",
                                                               "track_name": "Song %d" % n}}]})
        get(port, "/1/submit-listens", single, token)
        time.sleep(0.15)  # its turn comes after the report interval
        begun = time.monotonic()
        status, _ = get(port, "/signature/hist0/top-artists.png?period=%s" % ("all", "7d")[n % 2])
        times.append((time.monotonic() - begun) * 1000)
        if status != 200:
            sys.exit("chart answered %d" % status)
    return sorted(times)


def main():
    velk("adduser", "--key", KEY, *["hist%d" % n for n in range(ACCOUNTS)])
    tokens = [velk("token", "hist%d" % n).strip() for n in range(ACCOUNTS)]
    with open(TOKEN_FILE, "w") as f:
        f.write("\n".join(tokens) + "\n")
    script = os.path.join(WORK, "history.lua")
    with open(script, "w") as f:
        f.write(LUA)
    figures = {}
    for label, options in (("on", ["--history-listens", str(YEAR_LISTENS)]),
                           ("off", ["--history-listens", "0"])):
        process, port = start(label, *options)
        try:
            figures["plug-in reports/s, history " + label] = wrk(
                port, script, MODE="plugin")[0]
            figures["LB singles/s, history " + label] = wrk(
                port, script, MODE="single")[0]
            if label == "off":
                continue
            figures["LB import listens/s"] = imports(port, tokens)
            get(port, "/signature/generate/?user=hist0&key=%s&artist=A&title=T&album=&year=&genre="
                % KEY)
            time.sleep(0.2)
            figures["cached now-playing image/s"] = wrk(port, script, "/signature/hist0.png")[0]
            get(port, "/signature/hist0/recent.png?count=5")
            figures["cached recent.png/s"] = wrk(port, script,
                                                 "/signature/hist0/recent.png?count=5")[0]
            year_of_history(port, tokens[0])
            get(port, "/signature/hist0/top-artists.png?period=all")
            figures["cached chart, 100k listens/s"] = wrk(
                port, script, "/signature/hist0/top-artists.png?period=all")[0]
        finally:
            stop(process)
    # The fresh charts again with the access log on, whose lines give the service's own time for
    # each answer; the client's also counts the wake-up of an idle machine after each pause.
    process, port = start("charts", "--history-listens", str(YEAR_LISTENS), access_log="on")
    try:
        waited = fresh_charts(port, tokens[0], 0)
    finally:
        stop(process)
    with open(os.path.join(WORK, "history-charts.out")) as f:
        served = sorted(float(line.split()[-1]) * 1000 for line in f
                        if "/top-artists.png" in line and '" 200 ' in line)
    figures["fresh chart, 100k listens, p50 ms (served)"] = statistics.median(served)
    figures["fresh chart, 100k listens, p90 ms (served)"] = served[int(len(served) * 0.9)]
    figures["fresh chart, 100k listens, p50 ms (client)"] = statistics.median(waited)
    for label, value in figures.items():
        print("%s: %.1f" % (label, value))


main()
