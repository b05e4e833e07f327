#!/usr/bin/env python3
"""Feeds Ogg files to an Icecast 2.4 mount one after the other, as one chained Ogg stream.

Each file must be a complete Ogg stream; on the mount it becomes one chained link (a new group
of BOS pages with its own comment headers), which is how Ogg radio stations change songs. Pages
are sent at real time, paced by their granule positions (Vorbis and FLAC at their sample rate,
Opus at 48 kHz less its pre-skip): each page as soon as the audio before it is due. Every link
gets fresh serial numbers, so a file that follows itself (a loop of one file) still starts a new
link. The source connects with HTTP PUT and
Basic auth, prints "LIVE" once Icecast has accepted it, and with --loop runs until killed.

  ogg-source.py --port P --password S --mount /chain.ogg --loop a.ogg b.ogg c.ogg
"""

import argparse
import base64
import itertools
import signal
import socket
import struct
import sys
import time

LEAD_SECONDS = 0.25  # how far ahead of real time pages are sent, so the mount never runs dry


def _crc_table():
    table = []
    for i in range(256):
        r = i << 24
        for _ in range(8):
            r = ((r << 1) ^ 0x04C11DB7) if r & 0x80000000 else (r << 1)
        table.append(r & 0xFFFFFFFF)
    return table


CRC_TABLE = _crc_table()


def ogg_crc(data):
    crc = 0
    for b in data:
        crc = ((crc << 8) & 0xFFFFFFFF) ^ CRC_TABLE[((crc >> 24) ^ b) & 0xFF]
    return crc


def read_pages(path):
    """The pages of a well-formed Ogg file as bytearrays; raises ValueError otherwise."""
    data = open(path, "rb").read()
    pages, at = [], 0
    while at < len(data):
        if data[at:at + 4] != b"OggS" or at + 27 > len(data):
            raise ValueError(f"{path}: no Ogg page at byte {at}")
        segments = data[at + 26]
        size = 27 + segments + sum(data[at + 27:at + 27 + segments])
        if at + size > len(data):
            raise ValueError(f"{path}: page at byte {at} cut short")
        pages.append(bytearray(data[at:at + size]))
        at += size
    if not pages or not pages[0][5] & 2:
        raise ValueError(f"{path}: does not start with a BOS page")
    return pages


def first_packet(page):
    segments = page[26]
    body = page[27 + segments:]
    length = 0
    for lace in page[27:27 + segments]:
        length += lace
        if lace < 255:
            break
    return bytes(body[:length])


def clock_of(packet):
    """(samples per second, samples to subtract from granules) of a stream's first packet."""
    if packet.startswith(b"\x01vorbis") and len(packet) >= 16:
        return struct.unpack_from("<I", packet, 12)[0], 0
    if packet.startswith(b"OpusHead") and len(packet) >= 12:
        return 48000, struct.unpack_from("<H", packet, 10)[0]
    if packet.startswith(b"\x7fFLAC") and len(packet) >= 30:
        return (packet[27] << 12) | (packet[28] << 4) | (packet[29] >> 4), 0
    return None


class Link:
    """One file's pages with the second (from the link's start) at which each may be sent."""

    def __init__(self, path):
        self.path = path
        self.pages = read_pages(path)
        clocks = {}
        for page in self.pages:
            if page[5] & 2:
                serial = struct.unpack_from("<I", page, 14)[0]
                clock = clock_of(first_packet(page))
                if clock and clock[0] > 0:
                    clocks[serial] = clock
        if not clocks:
            raise ValueError(f"{path}: no Vorbis, Opus or FLAC stream")
        # The first stream with a known clock paces the link; other streams ride along.
        serials = (struct.unpack_from("<I", p, 14)[0] for p in self.pages)
        lead_serial = next(s for s in serials if s in clocks)
        rate, offset = clocks[lead_serial]
        # A page goes out when the audio before it is due: its own audio (up to its granule
        # position) must be there before the listener needs its first sample.
        self.times, now = [], 0.0
        for page in self.pages:
            self.times.append(now)
            granule = struct.unpack_from("<q", page, 6)[0]
            serial = struct.unpack_from("<I", page, 14)[0]
            if serial == lead_serial and granule >= 0:
                now = max(now, (granule - offset) / rate)
        self.duration = now

    def with_serials(self, serials):
        """The pages with each stream's serial replaced by the next of `serials`."""
        mapping, out = {}, []
        for page in self.pages:
            old = struct.unpack_from("<I", page, 14)[0]
            if old not in mapping:
                mapping[old] = next(serials)
            page = bytearray(page)
            struct.pack_into("<I", page, 14, mapping[old])
            struct.pack_into("<I", page, 22, 0)
            struct.pack_into("<I", page, 22, ogg_crc(page))
            out.append(bytes(page))
        return out


def connect(args):
    sock = socket.create_connection((args.host, args.port), timeout=10)
    auth = base64.b64encode(f"{args.user}:{args.password}".encode()).decode()
    head = (
        f"PUT {args.mount} HTTP/1.1\r\n"
        f"Host: {args.host}:{args.port}\r\n"
        f"Authorization: Basic {auth}\r\n"
        "User-Agent: ogg-source.py\r\n"
        f"Content-Type: {args.content_type}\r\n"
        f"Ice-Name: {args.name}\r\n"
        "Ice-Public: 0\r\n"
        "Expect: 100-continue\r\n"
        "\r\n"
    )
    sock.sendall(head.encode())
    answer = b""
    while b"\r\n\r\n" not in answer:
        chunk = sock.recv(4096)
        if not chunk:
            break
        answer += chunk
    status = answer.split(b"\r\n", 1)[0].decode(errors="replace")
    parts = status.split()
    if len(parts) < 2 or parts[1] not in ("100", "200"):
        raise ConnectionError(f"Icecast refused the source: {status or 'no answer'}")
    sock.settimeout(None)
    return sock


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--user", default="source")
    parser.add_argument("--password", required=True)
    parser.add_argument("--mount", required=True, help="e.g. /chain.ogg")
    parser.add_argument("--content-type", default="application/ogg")
    parser.add_argument("--name", default="Ogg Chain", help="station name (Ice-Name)")
    parser.add_argument("--loop", action="store_true", help="repeat the files until killed")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        links = [Link(f) for f in args.files]
        sock = connect(args)
    except (OSError, ValueError) as e:
        print(f"ogg-source: {e}", file=sys.stderr)
        return 1
    print("LIVE", flush=True)

    serials = itertools.count(0x52410001)
    start = time.monotonic()
    elapsed = 0.0  # stream time at the start of the current link
    try:
        for link in itertools.cycle(links) if args.loop else links:
            for page, at in zip(link.with_serials(serials), link.times):
                delay = start + elapsed + at - LEAD_SECONDS - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
                sock.sendall(page)
            elapsed += link.duration
    except (BrokenPipeError, ConnectionError) as e:
        print(f"ogg-source: connection lost: {e}", file=sys.stderr)
        return 1
    finally:
        sock.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
