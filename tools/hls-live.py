#!/usr/bin/env python3
"""A live HLS stream of a sine tone on 127.0.0.1, with titles in ID3 tags that change.

Formats (--format):
  ts    ffmpeg's hls muxer: MPEG-TS segments (AAC audio) and a timed-ID3 data stream
        (stream type 0x15, "ID3 " metadata descriptor), copied from a small MPEG-TS input this
        script writes; short segments, a sliding list, old segments deleted.
  aac   packed audio: ADTS segments, each beginning with an ID3 tag (PRIV timestamp, TPE1,
        TIT2). FFmpeg 5.1's hls muxer writes no packed audio, so this script cuts the segments
        from an ADTS tone itself and keeps the live list (sliding, old segments deleted).
  mp3   the same with MP3 frames.

The titles take turns every --title-every seconds of stream time. Add "--key" to encrypt the
segments with AES-128 (the key is served next to them). With "--variants" (aac, mp3) a master
playlist, master.m3u8, names two variants: live.m3u8 (the tone, BANDWIDTH=128000) and
b-live.m3u8 (the tone + 220 Hz, BANDWIDTH=64000); its address is then the first line.

The first line on stdout is the playlist's address, "http://127.0.0.1:PORT/live.m3u8", once
the first segments exist (https with "--tls-cert/--tls-key"). Every request is logged to
DIR/www/requests.log as "METHOD PATH STATUS USER-AGENT", and every TCP connection accepted to
DIR/www/connections.log as "PORT". With "--keep-alive" the server answers HTTP/1.1 and keeps
connections open between requests. The script runs until killed (SIGTERM ends ffmpeg too).

Example: hls-live.py --dir /tmp/h --format ts --title 'Artist - One' --title 'Artist - Two'
"""

import argparse
import http.server
import os
import shutil
import signal
import socketserver
import struct
import subprocess
import sys
import tempfile
import threading
import time

# ---------------------------------------------------------------------------------------------
# ID3v2.4 tags


def synchsafe(n):
    return bytes([(n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F, n & 0x7F])


def id3_frame(frame_id, body):
    return frame_id.encode() + synchsafe(len(body)) + b"\0\0" + body


def id3_tag(artist_title, pts90k=None):
    artist, _, title = artist_title.partition(" - ")
    frames = b""
    if pts90k is not None:
        # What packed-audio segments carry for the demuxer's timestamps.
        frames += id3_frame("PRIV", b"com.apple.streaming.transportStreamTimestamp\0" +
                            struct.pack(">Q", pts90k & ((1 << 33) - 1)))
    if title:
        frames += id3_frame("TPE1", b"\x03" + artist.encode())
        frames += id3_frame("TIT2", b"\x03" + title.encode())
    else:
        frames += id3_frame("TIT2", b"\x03" + artist.encode())
    return b"ID3\x04\x00\x00" + synchsafe(len(frames)) + frames


# ---------------------------------------------------------------------------------------------
# A minimal MPEG-TS holding only a timed-ID3 stream, as input for ffmpeg's hls muxer


def crc32_mpeg(data):
    crc = 0xFFFFFFFF
    for b in data:
        crc ^= b << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else crc << 1
            crc &= 0xFFFFFFFF
    return crc


class TsWriter:
    PMT_PID = 0x1000
    ID3_PID = 0x0100

    def __init__(self):
        self.cc = {}
        self.out = bytearray()

    def _packets(self, pid, payload, unit_start):
        first = True
        while payload or first:
            cc = self.cc.get(pid, 0)
            self.cc[pid] = (cc + 1) & 0xF
            head = bytes([0x47, (0x40 if (first and unit_start) else 0) | (pid >> 8), pid & 0xFF])
            room = 184
            chunk = payload[:room]
            if len(chunk) < room:
                # Adaptation field of stuffing fills the last packet.
                stuff = room - len(chunk)
                if stuff == 1:
                    adapt = b"\x00"
                else:
                    adapt = bytes([stuff - 1, 0x00]) + b"\xFF" * (stuff - 2)
                pkt = head + bytes([0x30 | cc]) + adapt + chunk
            else:
                pkt = head + bytes([0x10 | cc]) + chunk
            assert len(pkt) == 188
            self.out += pkt
            payload = payload[len(chunk):]
            first = False

    def _section(self, pid, table_id, ext, body):
        sec = bytes([table_id]) + struct.pack(">H", 0xB000 | (len(body) + 9)) + \
            struct.pack(">H", ext) + b"\xC1\x00\x00" + body
        sec += struct.pack(">I", crc32_mpeg(sec))
        self._packets(pid, b"\x00" + sec, True)

    def tables(self):
        self._section(0, 0x00, 1, struct.pack(">HH", 1, 0xE000 | self.PMT_PID))
        desc = bytes([0x26, 13]) + b"\xFF\xFFID3 \xFFID3 \x00\x0F"
        es = bytes([0x15]) + struct.pack(">HH", 0xE000 | self.ID3_PID, 0xF000 | len(desc)) + desc
        self._section(self.PMT_PID, 0x02, 1, struct.pack(">HH", 0xE000 | 0x1FFF, 0xF000) + es)

    def id3_pes(self, pts90k, tag):
        pts = bytes([0x21 | ((pts90k >> 29) & 0x0E), (pts90k >> 22) & 0xFF,
                     0x01 | ((pts90k >> 14) & 0xFE), (pts90k >> 7) & 0xFF,
                     0x01 | ((pts90k << 1) & 0xFE)])
        # FFmpeg's MPEG-TS demuxer takes the first 5 payload bytes of stream type 0x15 for a
        # metadata access-unit header and drops them; give it one, so the tag arrives whole.
        au_header = bytes([0x00, 0x00, 0xDF]) + struct.pack(">H", len(tag))
        payload = au_header + tag
        pes = b"\x00\x00\x01\xBD" + struct.pack(">H", len(payload) + 8) + b"\x80\x80\x05" + pts
        self._packets(self.ID3_PID, pes + payload, True)


def write_id3_ts(path, titles, every, duration):
    ts = TsWriter()
    t = 0.0
    i = 0
    while t <= duration:
        if i % 8 == 0:
            ts.tables()
        ts.id3_pes(int(t * 90000) + 90000, id3_tag(titles[i % len(titles)]))
        t += every
        i += 1
    with open(path, "wb") as f:
        f.write(ts.out)


# ---------------------------------------------------------------------------------------------
# Packed audio, cut from an encoded tone


def adts_frames(data):
    frames, i = [], 0
    while i + 7 <= len(data) and data[i] == 0xFF and (data[i + 1] & 0xF6) == 0xF0:
        size = ((data[i + 3] & 3) << 11) | (data[i + 4] << 3) | (data[i + 5] >> 5)
        if size < 7:
            break
        frames.append(data[i:i + size])
        i += size
    return frames, 1024


MP3_BITRATES = [0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320]
MP3_RATES = [44100, 48000, 32000]


def mp3_frames(data):
    frames, i = [], 0
    while i + 4 <= len(data):
        if data[i] != 0xFF or (data[i + 1] & 0xFE) != 0xFA:  # MPEG-1 layer III
            i += 1
            continue
        br = MP3_BITRATES[data[i + 2] >> 4]
        rate = MP3_RATES[(data[i + 2] >> 2) & 3] if ((data[i + 2] >> 2) & 3) < 3 else 0
        if br == 0 or rate == 0:
            i += 1
            continue
        size = 144 * br * 1000 // rate + ((data[i + 2] >> 1) & 1)
        frames.append(data[i:i + size])
        i += size
    return frames, 1152


def encode_tone(work, fmt, frequency):
    out = os.path.join(work, f"tone{frequency}.{fmt}")
    codec = ["-c:a", "aac", "-b:a", "96k", "-f", "adts"] if fmt == "aac" else \
        ["-c:a", "libmp3lame", "-b:a", "128k", "-write_xing", "0", "-id3v2_version", "0",
         "-f", "mp3"]
    # 20 s holds a whole number of periods of any integer frequency: no click at the wrap.
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    f"sine=frequency={frequency}:sample_rate=44100:duration=20", "-ac", "2"]
                   + codec + [out], check=True)
    with open(out, "rb") as f:
        data = f.read()
    return adts_frames(data) if fmt == "aac" else mp3_frames(data)


class PackedLive(threading.Thread):
    """Writes a segment every segment duration and keeps a sliding live playlist."""

    def __init__(self, out, fmt, frames, samples_per_frame, titles, every, seg_seconds,
                 list_size, key, prefix=""):
        super().__init__(daemon=True)
        self.out, self.fmt, self.frames = out, fmt, frames
        self.per_seg = max(1, round(seg_seconds * 44100 / samples_per_frame))
        self.seg_seconds = self.per_seg * samples_per_frame / 44100
        self.samples_per_frame = samples_per_frame
        self.titles, self.every, self.list_size, self.key = titles, every, list_size, key
        self.prefix = prefix
        self.ready = threading.Event()

    def segment(self, n):
        start = n * self.per_seg
        body = b"".join(self.frames[(start + k) % len(self.frames)] for k in range(self.per_seg))
        t = n * self.seg_seconds
        title = self.titles[int(t // self.every) % len(self.titles)]
        pts = int(start * self.samples_per_frame * 90000 / 44100) + 90000
        return id3_tag(title, pts) + body

    def run(self):
        n = 0
        begin = time.monotonic()
        while True:
            name = f"{self.prefix}seg{n}.{self.fmt}"
            write_segment(os.path.join(self.out, name), self.segment(n), self.key, n)
            first = max(0, n - self.list_size + 1)
            lines = ["#EXTM3U", "#EXT-X-VERSION:3",
                     f"#EXT-X-TARGETDURATION:{int(self.seg_seconds + 0.999)}",
                     f"#EXT-X-MEDIA-SEQUENCE:{first}"]
            if self.key:
                lines.append('#EXT-X-KEY:METHOD=AES-128,URI="key.bin"')
            for k in range(first, n + 1):
                lines += [f"#EXTINF:{self.seg_seconds:.6f},", f"{self.prefix}seg{k}.{self.fmt}"]
            atomic_write(os.path.join(self.out, f"{self.prefix}live.m3u8"),
                         ("\n".join(lines) + "\n").encode())
            old = os.path.join(self.out, f"{self.prefix}seg{first - 3}.{self.fmt}")
            if os.path.exists(old):
                os.remove(old)
            if n >= 2:
                self.ready.set()
            n += 1
            time.sleep(max(0.0, begin + n * self.seg_seconds - time.monotonic()))


def atomic_write(path, data):
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def write_segment(path, data, key, n):
    if key:
        # The IV of a segment without an IV attribute is its media sequence number.
        iv = n.to_bytes(16, "big")
        pad = 16 - len(data) % 16
        proc = subprocess.run(["openssl", "enc", "-aes-128-cbc", "-nopad", "-K", key.hex(),
                               "-iv", iv.hex()], input=data + bytes([pad]) * pad,
                              capture_output=True, check=True)
        data = proc.stdout
    atomic_write(path, data)


# ---------------------------------------------------------------------------------------------
# Serving


def serve(directory, port, keep_alive=False, tls=None):
    log = open(os.path.join(directory, "requests.log"), "a", buffering=1)
    connections = open(os.path.join(directory, "connections.log"), "a", buffering=1)

    class Handler(http.server.SimpleHTTPRequestHandler):
        protocol_version = "HTTP/1.1" if keep_alive else "HTTP/1.0"

        def __init__(self, *a, **kw):
            super().__init__(*a, directory=directory, **kw)

        def setup(self):
            connections.write(f"{self.client_address[1]}\n")
            super().setup()

        def log_request(self, code="-", size="-"):
            log.write(f"{self.command} {self.path} {code} {self.headers.get('User-Agent', '')}\n")

        def log_message(self, *args):
            pass

        def end_headers(self):
            self.send_header("Cache-Control", "no-cache")
            super().end_headers()

        def guess_type(self, path):
            if path.endswith(".m3u8"):
                return "application/vnd.apple.mpegurl"
            if path.endswith(".ts"):
                return "video/mp2t"
            if path.endswith(".aac"):
                return "audio/aac"
            if path.endswith(".mp3"):
                return "audio/mpeg"
            return super().guess_type(path)

    class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
        daemon_threads = True
        allow_reuse_address = True

    server = Server(("127.0.0.1", port), Handler)
    if tls:
        import ssl
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(*tls)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.server_address[1]


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--dir", help="directory for the segments (default: a new temporary one)")
    p.add_argument("--port", type=int, default=0, help="port on 127.0.0.1; 0 picks a free one")
    p.add_argument("--format", choices=["ts", "aac", "mp3"], default="ts")
    p.add_argument("--frequency", type=int, default=440)
    p.add_argument("--title", action="append", help="'ARTIST - TITLE', repeatable")
    p.add_argument("--title-every", type=float, default=4.0, help="seconds between title turns")
    p.add_argument("--segment", type=float, default=1.0, help="segment duration in seconds")
    p.add_argument("--list-size", type=int, default=4, help="segments in the live list")
    p.add_argument("--key", action="store_true", help="AES-128-encrypt the segments")
    p.add_argument("--variants", action="store_true",
                   help="a master playlist of two variants (aac, mp3 only)")
    p.add_argument("--keep-alive", action="store_true", help="HTTP/1.1 with persistent connections")
    p.add_argument("--tls-cert", help="PEM certificate: serve https")
    p.add_argument("--tls-key", help="PEM key of --tls-cert")
    args = p.parse_args()
    titles = args.title or ["Test Artist - First Title", "Test Artist - Second Title"]
    work = args.dir or tempfile.mkdtemp(prefix="hls-live-")
    os.makedirs(work, exist_ok=True)
    out = os.path.join(work, "www")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    key = os.urandom(16) if args.key else None
    if key:
        atomic_write(os.path.join(out, "key.bin"), key)

    children = []

    def stop(*_):
        for c in children:
            c.terminate()
        sys.exit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    if args.format == "ts":
        id3_ts = os.path.join(work, "id3.ts")
        write_id3_ts(id3_ts, titles, args.title_every, 6 * 3600)
        cmd = ["ffmpeg", "-nostdin", "-loglevel", "error", "-y",
               "-re", "-f", "lavfi", "-i", f"sine=frequency={args.frequency}:sample_rate=44100",
               "-re", "-i", id3_ts, "-map", "0:a", "-map", "1:d",
               "-c:a", "aac", "-b:a", "96k", "-ac", "2", "-c:d", "copy",
               "-f", "hls", "-hls_time", str(args.segment), "-hls_list_size", str(args.list_size),
               "-hls_flags", "delete_segments", "-hls_segment_filename",
               os.path.join(out, "seg%d.ts")]
        if key:
            info = os.path.join(work, "key.info")
            with open(info, "w") as f:
                f.write(f"key.bin\n{os.path.join(out, 'key.bin')}\n")
            cmd += ["-hls_key_info_file", info]
        cmd.append(os.path.join(out, "live.m3u8"))
        children.append(subprocess.Popen(cmd))
        ready = lambda: playlist_has(out, 2)
    else:
        frames, spf = encode_tone(work, args.format, args.frequency)
        live = PackedLive(out, args.format, frames, spf, titles, args.title_every, args.segment,
                          args.list_size, key)
        live.start()
        ready = live.ready.is_set
        if args.variants:
            frames_b, _ = encode_tone(work, args.format, args.frequency + 220)
            other = PackedLive(out, args.format, frames_b, spf, titles, args.title_every,
                               args.segment, args.list_size, key, prefix="b-")
            other.start()
            atomic_write(os.path.join(out, "master.m3u8"), (
                "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=64000,CODECS=\"mp4a.40.2\"\nb-live.m3u8\n"
                "#EXT-X-STREAM-INF:BANDWIDTH=128000,CODECS=\"mp4a.40.2\"\nlive.m3u8\n").encode())
            ready = lambda: live.ready.is_set() and other.ready.is_set()

    tls = (args.tls_cert, args.tls_key) if args.tls_cert else None
    port = serve(out, args.port, args.keep_alive, tls)
    deadline = time.monotonic() + 30
    while not ready():
        if time.monotonic() > deadline or any(c.poll() is not None for c in children):
            print("hls-live: no segments appeared", file=sys.stderr)
            stop()
        time.sleep(0.05)
    name = "master.m3u8" if args.variants else "live.m3u8"
    print(f"{'https' if tls else 'http'}://127.0.0.1:{port}/{name}", flush=True)
    while True:
        if any(c.poll() is not None for c in children):
            print("hls-live: ffmpeg ended", file=sys.stderr)
            sys.exit(1)
        time.sleep(0.5)


def playlist_has(out, segments):
    try:
        with open(os.path.join(out, "live.m3u8")) as f:
            return f.read().count("#EXTINF") >= segments
    except OSError:
        return False


if __name__ == "__main__":
    main()
