#!/usr/bin/env python3
"""What the program costs while it plays, is paused and is stopped: wakeups a second (voluntary
and involuntary context switches of all its threads) and CPU seconds a minute, sampled from
/proc/<pid>/task/*/{stat,status}; the same for mpv and ffplay (-nodisp) playing the same stream,
each skipped when not installed.

The program runs headless on a private session bus, playing a loopback Icecast station into the
private PulseAudio server's null sink; it is paused and stopped over MPRIS, as the desktop does.

    tools/servers/test-servers.sh start $PWD/build/bench-servers 19480
    python3 bench/app/idle_cost.py build/app/radiolist $PWD/build/bench-servers [seconds]
    tools/servers/test-servers.sh stop $PWD/build/bench-servers

Per state it prints the whole process's figures and, with -v, each thread's (by name), which is
how the threads that wake are found.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

TICK = os.sysconf("SC_CLK_TCK")


def read_env(servers):
    env = {}
    with open(os.path.join(servers, "env")) as f:
        for line in f:
            key, _, value = line.strip().partition("=")
            env[key] = value
    return env


def tasks(pid):
    """{tid: (name, cpu ticks, context switches)} of every thread of `pid` now."""
    out = {}
    base = f"/proc/{pid}/task"
    try:
        tids = os.listdir(base)
    except FileNotFoundError:
        return out
    for tid in tids:
        try:
            with open(f"{base}/{tid}/stat") as f:
                stat = f.read()
            with open(f"{base}/{tid}/status") as f:
                status = f.read()
        except (FileNotFoundError, ProcessLookupError):
            continue
        name = stat[stat.index("(") + 1 : stat.rindex(")")]
        fields = stat[stat.rindex(")") + 2 :].split()
        ticks = int(fields[11]) + int(fields[12])  # utime + stime
        switches = 0
        for line in status.splitlines():
            if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                switches += int(line.split()[1])
        out[tid] = (name, ticks, switches)
    return out


def sample(pid, seconds):
    """Wakeups/s, CPU s/min and per-thread-name wakeups/s of `pid` over `seconds`. Threads that
    came or went meanwhile count from (or up to) the moment they were seen."""
    before = tasks(pid)
    start = time.monotonic()
    seen = dict(before)
    end = start + seconds
    while time.monotonic() < end:
        time.sleep(min(1.0, max(0.0, end - time.monotonic())))
        now = tasks(pid)
        for tid, value in now.items():
            seen[tid] = value
            before.setdefault(tid, value)
    elapsed = time.monotonic() - start
    wakeups = 0
    ticks = 0
    per_name = {}
    for tid, (name, t1, s1) in seen.items():
        _, t0, s0 = before[tid]
        wakeups += s1 - s0
        ticks += t1 - t0
        per_name[name] = per_name.get(name, 0) + (s1 - s0)
    return (
        wakeups / elapsed,
        ticks / TICK / elapsed * 60,
        {k: v / elapsed for k, v in sorted(per_name.items(), key=lambda kv: -kv[1])},
        len(tasks(pid)),
    )


def report(label, result, verbose):
    wakeups, cpu, per_name, threads = result
    print(f"| {label} | {wakeups:.1f} | {cpu:.2f} | {threads} |", flush=True)
    if verbose:
        for name, rate in per_name.items():
            if rate >= 0.05:
                print(f"|   {name} | {rate:.1f} | | |", flush=True)


class Bus:
    def __init__(self):
        self.proc = subprocess.Popen(
            ["dbus-daemon", "--session", "--nofork", "--print-address=1"],
            stdout=subprocess.PIPE,
            text=True,
        )
        self.address = self.proc.stdout.readline().strip()

    def call(self, method):
        subprocess.run(
            [
                "dbus-send",
                "--session",
                "--print-reply",
                "--dest=org.mpris.MediaPlayer2.radiolist",
                "/org/mpris/MediaPlayer2",
                "org.mpris.MediaPlayer2.Player." + method,
            ],
            env=dict(os.environ, DBUS_SESSION_BUS_ADDRESS=self.address),
            check=True,
            stdout=subprocess.DEVNULL,
            timeout=10,
        )

    def close(self):
        self.proc.terminate()
        self.proc.wait()


def stop(proc):
    proc.terminate()
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def main():
    args = [a for a in sys.argv[1:] if a != "-v"]
    verbose = "-v" in sys.argv[1:]
    if len(args) < 2:
        sys.exit(__doc__)
    program = os.path.abspath(args[0])
    servers = args[1]
    seconds = float(args[2]) if len(args) > 2 else 30
    source_dir = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    env = read_env(servers)
    url = env["ICECAST_URL"] + env["MOUNT_TONE440_MP3"]
    pulse = {"PULSE_SERVER": env["PULSE_SERVER"], "PULSE_SINK": env["RADIOLIST_SINK"]}

    print(f"| {seconds:.0f} s each | wakeups/s | CPU s/min | threads |")
    print("|---|---|---|---|")
    work = tempfile.mkdtemp(prefix="radiolist-idle-")
    bus = Bus()
    try:
        os.makedirs(os.path.join(work, "imag"))
        for glyph in ("glossyicon.bmp", "delete.bmp", "play.bmp", "stop.bmp"):
            shutil.copy(os.path.join(source_dir, "imag", glyph), os.path.join(work, "imag"))
        with open(os.path.join(work, "Name.txt"), "w") as f:
            f.write("Tone\n")
        with open(os.path.join(work, "url.txt"), "w") as f:
            f.write(url + "\n")
        program_env = dict(
            os.environ,
            QT_QPA_PLATFORM="offscreen",
            XDG_STATE_HOME=os.path.join(work, "state"),
            XDG_CONFIG_HOME=os.path.join(work, "config"),
            DBUS_SESSION_BUS_ADDRESS=bus.address,
            **pulse,
        )
        proc = subprocess.Popen([program], cwd=work, env=program_env, stderr=subprocess.DEVNULL)
        try:
            time.sleep(8)  # it plays the first row shortly after its start
            report("radiolist playing", sample(proc.pid, seconds), verbose)
            bus.call("Pause")
            time.sleep(2)
            report("radiolist paused", sample(proc.pid, seconds), verbose)
            bus.call("Play")
            time.sleep(3)
            bus.call("Stop")
            time.sleep(10)  # what a stop lets go of goes after a few seconds
            report("radiolist stopped", sample(proc.pid, seconds), verbose)
            bus.call("Play")
            time.sleep(5)
            report("radiolist playing again", sample(proc.pid, min(seconds, 10)), verbose)
        finally:
            stop(proc)
    finally:
        bus.close()
        shutil.rmtree(work, ignore_errors=True)

    others = {
        "mpv": ["mpv", "--no-video", "--no-terminal", "--ao=pulse", url],
        "ffplay": ["ffplay", "-nodisp", "-loglevel", "quiet", url],
    }
    for name, argv in others.items():
        if shutil.which(argv[0]) is None:
            print(f"| {name} playing | not installed | | |")
            continue
        proc = subprocess.Popen(
            argv,
            env=dict(os.environ, **pulse),
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        try:
            time.sleep(8)
            report(f"{name} playing", sample(proc.pid, seconds), verbose)
        finally:
            stop(proc)


if __name__ == "__main__":
    main()
