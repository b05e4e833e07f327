#!/usr/bin/env python3
"""A loopback HTTP/1.1 file server for tests: serves the files under --root on 127.0.0.1 with
the content type chosen per path, so that a test can hand out the same playlist under its right
type, a wrong one, or none.

The first line on stdout is "PORT <n>" once the server listens (--port 0 picks a free port).
Every request is logged to stderr as one line: the request line, the status and the User-Agent.

Content type of a file, first that applies:
  --type PATH=TYPE      for that path (as in the URL, with or without its leading '/'); an empty
                        TYPE sends no Content-Type header
  --default-type TYPE   for every other path; empty: no Content-Type header
  otherwise             guessed from the extension (playlists, audio, HLS segments, pages)

Also: --redirect PATH=LOCATION answers 302 with that Location (absolute or relative), and
--status PATH=CODE answers that status with an empty body. Missing files give 404. HEAD and
single byte ranges ("Range: bytes=N-" or "bytes=N-M") are supported; the query is ignored.
--ignore-range answers every range request with the whole file (200), as some servers do.
--flat serves every path by its last segment, so a file can stand under any directories.
--log FILE appends one line per request: the request line, the status, the Range header and the
User-Agent.

Example:
  static-server.py --port 0 --root lists --type /a.m3u=audio/mpeg --type b.pls= --redirect /old.m3u=/a.m3u
"""

import argparse
import http.server
import mimetypes
import os
import re
import signal
import socket
import socketserver
import sys
import urllib.parse

KNOWN_TYPES = {
    ".m3u": "audio/x-mpegurl",
    ".m3u8": "application/vnd.apple.mpegurl",
    ".pls": "audio/x-scpls",
    ".xspf": "application/xspf+xml",
    ".asx": "video/x-ms-asf",
    ".wax": "audio/x-ms-wax",
    ".wvx": "video/x-ms-wvx",
    ".mp3": "audio/mpeg",
    ".aac": "audio/aac",
    ".ogg": "audio/ogg",
    ".opus": "audio/ogg",
    ".m4a": "audio/mp4",
    ".ts": "video/mp2t",
    ".html": "text/html",
    ".txt": "text/plain",
}


def path_key(path):
    """A URL path as the options name it: decoded, without query, with one leading '/'."""
    path = urllib.parse.unquote(urllib.parse.urlsplit(path).path)
    return "/" + path.lstrip("/")


def pairs(values, what):
    result = {}
    for value in values:
        path, sep, rest = value.partition("=")
        if not sep or not path:
            sys.exit(f"static-server: --{what} wants PATH=VALUE, got {value!r}")
        result[path_key(path)] = rest
    return result


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--port", type=int, default=0, help="port on 127.0.0.1; 0 picks a free one")
    p.add_argument("--bind", default="127.0.0.1",
                   help="address to listen on; '::' listens on every IPv6 and IPv4 address")
    p.add_argument("--root", required=True, help="directory whose files are served")
    p.add_argument("--type", action="append", default=[], metavar="PATH=TYPE", help="content type of one path")
    p.add_argument("--default-type", help="content type of paths without --type ('' for none)")
    p.add_argument("--redirect", action="append", default=[], metavar="PATH=LOCATION", help="302 to LOCATION")
    p.add_argument("--status", action="append", default=[], metavar="PATH=CODE", help="answer CODE, empty body")
    p.add_argument("--ignore-range", action="store_true", help="answer range requests with 200 and the whole file")
    p.add_argument("--flat", action="store_true", help="serve each path by its last segment")
    p.add_argument("--log", help="append a line per request to this file")
    args = p.parse_args(argv)
    args.type = pairs(args.type, "type")
    args.redirect = pairs(args.redirect, "redirect")
    args.status = {k: int(v) for k, v in pairs(args.status, "status").items()}
    args.root = os.path.realpath(args.root)
    if not os.path.isdir(args.root):
        sys.exit(f"static-server: no directory {args.root}")
    return args


def make_handler(args):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        server_version = "static-server/1"

        def log_request(self, code="-", size="-"):
            agent = self.headers.get("User-Agent", "") if self.headers else ""
            sys.stderr.write(f"{self.requestline} -> {code} User-Agent: {agent}\n")
            sys.stderr.flush()
            if args.log:
                with open(args.log, "a") as log:
                    range_ = self.headers.get("Range", "-") if self.headers else "-"
                    log.write(f"{self.requestline} -> {code} Range: {range_} User-Agent: {agent}\n")

        def log_message(self, format, *a):  # errors of the base class, one line each
            sys.stderr.write("static-server: " + (format % a) + "\n")
            sys.stderr.flush()

        def content_type(self, key):
            if key in args.type:
                return args.type[key]
            if args.default_type is not None:
                return args.default_type
            ext = os.path.splitext(key)[1].lower()
            return KNOWN_TYPES.get(ext) or mimetypes.guess_type(key)[0] or "application/octet-stream"

        def file_for(self, key):
            if args.flat:
                key = key.rsplit("/", 1)[-1]
            path = os.path.realpath(os.path.join(args.root, key.lstrip("/")))
            if path != args.root and not path.startswith(args.root + os.sep):
                return None
            return path if os.path.isfile(path) else None

        def empty(self, code, headers=()):
            self.send_response(code)
            for name, value in headers:
                self.send_header(name, value)
            self.send_header("Content-Length", "0")
            self.end_headers()

        def answer(self, with_body):
            key = path_key(self.path)
            if key in args.redirect:
                return self.empty(302, [("Location", args.redirect[key])])
            if key in args.status:
                return self.empty(args.status[key])
            path = self.file_for(key)
            if path is None:
                return self.empty(404)
            try:
                with open(path, "rb") as f:
                    data = f.read()
            except OSError:
                return self.empty(404)
            code, first, last = 200, 0, len(data) - 1
            m = re.fullmatch(r"bytes=(\d+)-(\d*)", self.headers.get("Range", "").strip())
            if m and not args.ignore_range:
                first = int(m.group(1))
                last = min(int(m.group(2)), len(data) - 1) if m.group(2) else len(data) - 1
                if first >= len(data) or first > last:
                    return self.empty(416, [("Content-Range", f"bytes */{len(data)}")])
                code = 206
            body = data[first:last + 1]
            self.send_response(code)
            ctype = self.content_type(key)
            if ctype:
                self.send_header("Content-Type", ctype)
            if code == 206:
                self.send_header("Content-Range", f"bytes {first}-{last}/{len(data)}")
            self.send_header("Accept-Ranges", "bytes")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            if with_body:
                self.wfile.write(body)

        def do_GET(self):
            self.answer(True)

        def do_HEAD(self):
            self.answer(False)

    return Handler


def server_class(base, address):
    """`base` listening on `address`: an IPv6 address (such as '::') takes IPv4 too."""
    if ":" not in address:
        return base

    class DualStack(base):
        address_family = socket.AF_INET6

        def server_bind(self):
            self.socket.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
            super().server_bind()

    return DualStack


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main(argv):
    args = parse_args(argv)
    server = server_class(Server, args.bind)((args.bind, args.port), make_handler(args))
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print(f"PORT {server.server_address[1]}", flush=True)
    try:
        server.serve_forever()
    except (KeyboardInterrupt, SystemExit):
        pass
    finally:
        server.server_close()


if __name__ == "__main__":
    main(sys.argv[1:])
