#!/usr/bin/env bash
# The program's memory and CPU while a hostile station plays for a minute, and after switching
# away from it (BENCHMARKS.md, "A hostile station's memory"). Two stations:
#   junk-adts   a second of real AAC, then endless 8-byte ADTS frames (a header and one byte),
#               sent as fast as they are read
#   tiny-flac   FLAC of 16-sample frames (2,756 packets a second), sent as fast as read
#   ogg-links   chained Ogg of 30 ms Vorbis links alternating 44.1 kHz stereo and 48 kHz mono,
#               sent as fast as read, PAUSED (MPRIS Pause) 2 s after the start
#   blast-8kbit an 8 kbit/s MP3 sent as fast as read, PAUSED likewise
# The program (offscreen) plays line 0; after SECONDS it is told to go to line 1 (a plain MP3)
# over its media controls on a private session bus, and measured again 10 s later.
#
#   bench/playback/hostile_memory.sh RADIOLIST_BINARY [SECONDS]
#
# Prints one line per station: VmRSS (MiB) at start-up, its peak over the minute, at the end, and
# 10 s after the switch; the process's CPU seconds over the minute.
set -euo pipefail
BIN=$(realpath "$1")
SECONDS_PLAYED=${2:-60}
REPO=$(cd "$(dirname "$0")/../.." && pwd)
WORK=$(mktemp -d /tmp/rl-hostile-memory-XXXXXX)
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  # The stream servers, started in command substitutions (subshells), left their ids here.
  [ -f "$WORK/servers" ] && while read -r p; do kill "$p" 2>/dev/null || true; done <"$WORK/servers"
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

ff() { ffmpeg -nostdin -loglevel error -y "$@"; }
ff -f lavfi -i sine=frequency=660:duration=1 -ac 2 -c:a aac -b:a 96k -f adts "$WORK/junk.aac"
python3 -c "import sys; sys.stdout.buffer.write(b'\xff\xf1\x50\x80\x01\x1f\xfc\x00' * 4000000)" \
  >>"$WORK/junk.aac"
ff -f lavfi -i sine=frequency=660:duration=20 -ac 2 -c:a flac -frame_size 16 "$WORK/tiny.flac"
ff -f lavfi -i sine=frequency=440:duration=20 -ac 2 -c:a libmp3lame -b:a 128k "$WORK/plain.mp3"
ff -f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 -ac 2 -c:a libvorbis -t 0.03 "$WORK/a.ogg"
ff -f lavfi -i sine=frequency=440:sample_rate=48000:duration=1 -ac 1 -c:a libvorbis -t 0.03 "$WORK/b.ogg"
python3 -c "import sys; a, b = (open(f, 'rb').read() for f in sys.argv[1:3]); sys.stdout.buffer.write((a + b) * 2000)" \
  "$WORK/a.ogg" "$WORK/b.ogg" >"$WORK/links.ogg"
ff -f lavfi -i sine=frequency=440:sample_rate=8000:duration=20 -ac 1 -c:a libmp3lame -b:a 8k "$WORK/8kbit.mp3"

# A private sound server with a null sink, and a session bus.
mkdir -p "$WORK/pulse"
HOME=$WORK XDG_RUNTIME_DIR=$WORK/pulse pulseaudio -n --daemonize=no --exit-idle-time=-1 \
  --load=module-null-sink --load="module-native-protocol-unix socket=$WORK/pulse/native" \
  >"$WORK/pulse.log" 2>&1 &
PIDS+=($!)
dbus-daemon --session --nofork --print-address=1 >"$WORK/bus" &
PIDS+=($!)
for _ in $(seq 100); do [ -S "$WORK/pulse/native" ] && [ -s "$WORK/bus" ] && break; sleep 0.1; done
export PULSE_SERVER=unix:$WORK/pulse/native
export DBUS_SESSION_BUS_ADDRESS
DBUS_SESSION_BUS_ADDRESS=$(head -1 "$WORK/bus")

serve() {  # file content-type -> prints the port
  python3 "$REPO/tools/teststream.py" --port 0 --file "$1" --content-type "$2" --rate "$3" \
    >"$WORK/port.$$" &
  echo $! >>"$WORK/servers"
  for _ in $(seq 100); do grep -q PORT "$WORK/port.$$" 2>/dev/null && break; sleep 0.1; done
  awk '/PORT/ {print $2}' "$WORK/port.$$"
}
mib() { awk '/VmRSS/ {printf "%.1f", $2 / 1024}' "/proc/$1/status"; }
cpu() { awk '{print ($14 + $15) / 100}' "/proc/$1/stat"; }

PLAIN=$(serve "$WORK/plain.mp3" audio/mpeg 16000)
for station in ${STATIONS:-junk-adts tiny-flac ogg-links blast-8kbit}; do
  case $station in
    junk-adts) PORT=$(serve "$WORK/junk.aac" audio/aac 0) ;;
    tiny-flac) PORT=$(serve "$WORK/tiny.flac" audio/flac 0) ;;
    ogg-links) PORT=$(serve "$WORK/links.ogg" application/ogg 0) ;;
    blast-8kbit) PORT=$(serve "$WORK/8kbit.mp3" audio/mpeg 0) ;;
  esac
  dir=$WORK/$station
  mkdir -p "$dir" && cp -r "$REPO/imag" "$dir/"
  printf 'Hostile\r\nPlain\r\n' >"$dir/Name.txt"
  printf 'http://127.0.0.1:%s/live\r\nhttp://127.0.0.1:%s/plain\r\n' "$PORT" "$PLAIN" >"$dir/url.txt"
  (cd "$dir" && QT_QPA_PLATFORM=offscreen XDG_STATE_HOME=$dir/state exec "$BIN" 2>/dev/null) &
  P=$!
  PIDS+=($P)
  sleep 2
  case $station in
    ogg-links | blast-8kbit)
      dbus-send --session --type=method_call --dest=org.mpris.MediaPlayer2.radiolist \
        /org/mpris/MediaPlayer2 org.mpris.MediaPlayer2.Player.Pause ;;
  esac
  start=$(mib $P) peak=$start cpu0=$(cpu $P)
  for _ in $(seq "$SECONDS_PLAYED"); do
    sleep 1
    now=$(mib $P)
    peak=$(awk -v a="$peak" -v b="$now" 'BEGIN {print (b > a) ? b : a}')
  done
  end=$(mib $P) cpu1=$(cpu $P)
  dbus-send --session --type=method_call --dest=org.mpris.MediaPlayer2.radiolist \
    /org/mpris/MediaPlayer2 org.mpris.MediaPlayer2.Player.Next
  sleep 10
  printf '%-10s start %6s  peak %6s  after %ss %6s  10 s after switching away %6s MiB;  CPU %.1f s in %ss\n' \
    "$station" "$start" "$peak" "$SECONDS_PLAYED" "$end" "$(mib $P)" \
    "$(awk -v a="$cpu0" -v b="$cpu1" 'BEGIN {print b - a}')" "$SECONDS_PLAYED"
  kill $P
  wait $P 2>/dev/null || true
done
