#!/usr/bin/env python3
"""A stand-in for the community station directory on loopback, for tests and benchmarks: the
JSON API's search, byuuid and click for made-up stations (about 20,000 by default), plus modes
that misbehave as a broken or hostile mirror would.

The first line on stdout is "PORT <n>" once the server listens (--port 0 picks a free port).

Endpoints (GET; the query as the real directory takes it):
  /json/stations/search   name, tag, country, countrycode, codec, bitrateMin, order
                          (name|votes|clickcount|bitrate|lastcheckok|random), reverse,
                          hidebroken, limit, offset
  /json/stations/byuuid   uuids=a,b,...
  /json/url/<uuid>        counts a click, answers {"ok": true, ...}
  /stats                  what the server saw: {"requests": n, "clicks": {uuid: n},
                          "user_agents": [...distinct...]} (not part of the directory's API)

--station 'NAME|URL[|TAGS|COUNTRY|CODEC|BITRATE|UUID]' adds a station first in the list (its
uuid, made up unless given, is printed on stdout as "UUID <uuid> <NAME>" after the port line);
repeat it for more; two with one URL stand for the directory's duplicates. Empty fields take
made-up values.

--mode changes every directory answer (not /stats):
  good      the API as above (the default)
  hang      accepts, reads the request and never answers
  status    answers --status (default 503) with a short body
  huge      a 200 whose body is 100 MB of one endless JSON list
  deep      a list nested 100,000 deep
  million   a million results (well-formed, about 150 MB)
  bidi      search results led by a station whose name holds a right-to-left override, a line
            break and a zero-width space
  file      search results led by a station at a file: address
  private   search results led by stations at private and loopback addresses
--log FILE appends one line per request: the request line and the User-Agent.
"""

import argparse
import json
import os
import random
import socket
import socketserver
import sys
import threading
import time
import urllib.parse
import http.server
import uuid as uuidlib

ADJECTIVES = ["Blue", "Deep", "Golden", "Night", "Northern", "Quiet", "Radiant", "Silver",
              "Urban", "Wild", "Classic", "Smooth", "Electric", "Coastal", "Mountain"]
NOUNS = ["Wave", "Beat", "Sound", "Groove", "Voice", "Signal", "Breeze", "Pulse", "Echo",
         "Harbour", "Valley", "Lounge", "Jazz", "Rock", "Talk"]
TAGS = ["pop", "rock", "jazz", "news", "talk", "classical", "electronic", "dance", "hits",
        "oldies", "country", "ambient", "chill", "metal", "folk", "80s", "90s", "indie"]
COUNTRIES = [("Germany", "DE"), ("France", "FR"), ("The United States Of America", "US"),
             ("The United Kingdom Of Great Britain And Northern Ireland", "GB"),
             ("Russian Federation", "RU"), ("Brazil", "BR"), ("Japan", "JP"), ("Spain", "ES"),
             ("Italy", "IT"), ("Netherlands", "NL"), ("Poland", "PL"), ("Canada", "CA")]
CODECS = ["MP3", "MP3", "MP3", "AAC", "AAC+", "OGG", "FLAC"]
BITRATES = [32, 48, 64, 96, 128, 128, 128, 192, 256, 320]


def station(rng, i, name=None, url=None, tags=None, country=None, codec=None, bitrate=None,
            uuid=None):
    c = rng.choice(COUNTRIES)
    u = url or f"http://stream{i}.radio.example/live"
    made = str(uuidlib.UUID(int=rng.getrandbits(128), version=4))
    return {
        "changeuuid": str(uuidlib.UUID(int=rng.getrandbits(128), version=4)),
        "stationuuid": uuid or made,
        "name": name or f"{rng.choice(ADJECTIVES)} {rng.choice(NOUNS)} {i}",
        "url": u,
        "url_resolved": u,
        "homepage": f"https://radio.example/{i}",
        "favicon": "",
        "tags": tags if tags is not None else ",".join(rng.sample(TAGS, rng.randint(0, 4))),
        "country": country if country is not None else c[0],
        "countrycode": c[1] if country is None else "",
        "state": "",
        "language": "",
        "votes": rng.randint(0, 50000),
        "lastchangetime": "2026-01-01 00:00:00",
        "codec": codec or rng.choice(CODECS),
        "bitrate": int(bitrate) if bitrate is not None else rng.choice(BITRATES),
        "hls": 0,
        "lastcheckok": 1 if rng.random() < 0.9 else 0,
        "lastchecktime": "2026-01-01 00:00:00",
        "clickcount": rng.randint(0, 5000),
        "clicktrend": 0,
    }


def make_stations(count, extra, seed):
    rng = random.Random(seed)
    stations = []
    for i, spec in enumerate(extra):
        parts = spec.split("|")
        fields = dict(zip(["name", "url", "tags", "country", "codec", "bitrate", "uuid"], parts))
        s = station(rng, i, **{k: v for k, v in fields.items() if v != ""})
        s["lastcheckok"] = 1
        stations.append(s)
    for i in range(count):
        stations.append(station(rng, len(extra) + i))
    return stations


def truthy(value):
    return value.lower() in ("true", "1", "yes")


def search(stations, q):
    def arg(key, default=""):
        return q.get(key, [default])[0]

    name, tag, country = arg("name").lower(), arg("tag").lower(), arg("country").lower()
    code, codec = arg("countrycode").upper(), arg("codec").lower()
    try:
        bitrate_min = int(arg("bitrateMin", "0") or 0)
        limit = int(arg("limit", "100000"))
        offset = int(arg("offset", "0"))
    except ValueError:
        return None
    hide_broken = truthy(arg("hidebroken", "false"))
    found = [s for s in stations
             if (not name or name in s["name"].lower())
             and (not tag or any(tag in t for t in s["tags"].split(",")))
             and (not country or country in s["country"].lower())
             and (not code or s["countrycode"] == code)
             and (not codec or s["codec"].lower() == codec)
             and s["bitrate"] >= bitrate_min
             and (not hide_broken or s["lastcheckok"] == 1)]
    order = arg("order", "name")
    reverse = truthy(arg("reverse", "false"))
    if order == "random":
        random.shuffle(found)
    elif order in ("name", "votes", "clickcount", "bitrate", "lastcheckok"):
        found.sort(key=lambda s: s[order], reverse=reverse)
    return found[offset:offset + limit]


HOSTILE_LEADS = {
    "bidi": lambda port: [{"stationuuid": "0000aaaa-0000-4000-8000-000000000001",
                           "name": "Radio \u202egnp.exe\nline two\u200b", "url": "http://bidi.example/s",
                           "url_resolved": "http://bidi.example/s", "tags": "a\u202eb,\u0007c",
                           "country": "X", "codec": "MP3", "bitrate": 128, "votes": 1,
                           "lastcheckok": 1}],
    "file": lambda port: [{"stationuuid": "0000aaaa-0000-4000-8000-000000000002",
                           "name": "Local file", "url": "file:///etc/passwd",
                           "url_resolved": "file:///etc/passwd", "lastcheckok": 1}],
    "private": lambda port: [
        {"stationuuid": "0000aaaa-0000-4000-8000-000000000003", "name": "Router",
         "url": "http://192.168.1.1/", "url_resolved": "http://192.168.1.1/", "lastcheckok": 1},
        {"stationuuid": "0000aaaa-0000-4000-8000-000000000004", "name": "This machine",
         "url": f"http://127.0.0.1:{port}/stats", "url_resolved": f"http://127.0.0.1:{port}/stats",
         "lastcheckok": 1},
        {"stationuuid": "0000aaaa-0000-4000-8000-000000000005", "name": "Named loopback",
         "url": "http://localhost/", "url_resolved": "http://localhost/", "lastcheckok": 1}],
}


def make_handler(args, stations, stats, lock):
    by_uuid = {s["stationuuid"]: s for s in stations}

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        server_version = "directory-server/1"

        def setup(self):
            super().setup()
            # Head and body go out as separate writes: without this, a kept-alive connection's
            # body would wait for the client's delayed ACK (40 ms), which no real mirror makes.
            self.request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

        def log_request(self, code="-", size="-"):
            pass

        def log_message(self, format, *a):
            sys.stderr.write("directory-server: " + (format % a) + "\n")

        def send_json(self, value, code=200):
            body = json.dumps(value, ensure_ascii=False).encode()
            self.send_response(code)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def stream(self, chunks):
            # No length: the body ends with the connection.
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Connection", "close")
            self.end_headers()
            self.close_connection = True
            try:
                for chunk in chunks:
                    self.wfile.write(chunk)
            except (BrokenPipeError, ConnectionResetError):
                pass

        def do_GET(self):
            agent = self.headers.get("User-Agent", "")
            with lock:
                stats["requests"] += 1
                if agent not in stats["user_agents"]:
                    stats["user_agents"].append(agent)
                if args.log:
                    with open(args.log, "a") as log:
                        log.write(f"{self.requestline}\t{agent}\n")
            url = urllib.parse.urlsplit(self.path)
            if url.path == "/stats":
                with lock:
                    return self.send_json(stats)
            mode = args.mode
            if mode == "hang":
                while True:
                    time.sleep(3600)
            if mode == "status":
                body = b"Service Unavailable"
                self.send_response(args.status)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                return self.wfile.write(body)
            if mode == "huge":
                one = (json.dumps(stations[0]) + ",").encode()
                return self.stream([b"["] + [one * 64] * (100_000_000 // (len(one) * 64)))
            if mode == "deep":
                return self.send_json_bytes(b"[" * 100_000 + b"]" * 100_000)
            if mode == "million":
                def chunks():
                    yield b"["
                    for i in range(1_000_000):
                        s = dict(stations[i % len(stations)])
                        s["url_resolved"] = s["url"] = f"http://m{i}.radio.example/"
                        yield (("," if i else "") + json.dumps(s)).encode()
                    yield b"]"
                return self.stream(chunks())
            q = urllib.parse.parse_qs(url.query)
            if url.path == "/json/stations/search":
                found = search(stations, q)
                if found is None:
                    return self.send_json({"error": "bad parameter"}, 400)
                lead = HOSTILE_LEADS.get(mode)
                return self.send_json((lead(self.server.server_address[1]) if lead else []) + found)
            if url.path == "/json/stations/byuuid":
                uuids = q.get("uuids", [""])[0].split(",")
                return self.send_json([by_uuid[u] for u in uuids if u in by_uuid])
            if url.path.startswith("/json/url/"):
                uuid = url.path[len("/json/url/"):]
                s = by_uuid.get(uuid)
                if s is None:
                    return self.send_json({"ok": False, "message": "station not found"}, 404)
                with lock:
                    stats["clicks"][uuid] = stats["clicks"].get(uuid, 0) + 1
                return self.send_json({"ok": True, "message": "retrieved station url",
                                       "stationuuid": uuid, "name": s["name"], "url": s["url"]})
            self.send_json({"error": "not found"}, 404)

        def send_json_bytes(self, body):
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            try:
                self.wfile.write(body)
            except (BrokenPipeError, ConnectionResetError):
                pass

    return Handler


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--stations", type=int, default=20000, help="made-up stations")
    p.add_argument("--seed", type=int, default=33)
    p.add_argument("--station", action="append", default=[], metavar="NAME|URL[|...|UUID]")
    p.add_argument("--mode", default="good",
                   choices=["good", "hang", "status", "huge", "deep", "million", "bidi", "file",
                            "private"])
    p.add_argument("--status", type=int, default=503)
    p.add_argument("--log")
    args = p.parse_args()

    stations = make_stations(args.stations, args.station, args.seed)
    stats = {"requests": 0, "clicks": {}, "user_agents": []}
    # A test that crashed (a sanitizer's halt) leaves no server behind: it ends with its parent.
    parent = os.getppid()

    def watch_parent():
        while os.getppid() == parent:
            time.sleep(1)
        os._exit(0)

    threading.Thread(target=watch_parent, daemon=True).start()
    server = Server(("127.0.0.1", args.port), make_handler(args, stations, stats, threading.Lock()))
    print(f"PORT {server.server_address[1]}")
    for s in stations[:len(args.station)]:
        print(f"UUID {s['stationuuid']} {s['name']}")
    sys.stdout.flush()
    server.serve_forever()


if __name__ == "__main__":
    main()
