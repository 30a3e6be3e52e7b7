#!/usr/bin/env bash
# The soak run: builds the Release programs, starts brevalon-appserver on a
# fresh copy of the demo database and brevalon24 --console on a temporary data
# folder (both on 127.0.0.1, ports 0), drives the gateway with bench_soak for
# MINUTES with SESSIONS phones (every method mixed, malformed requests,
# sessions closing and left to expire, every answer checked), sampling both
# processes' memory, threads and descriptors; then sends SIGTERM to the
# gateway while the load still runs, times its exit and checks its status.
#
# Environment (defaults in brackets):
#   SESSIONS [1000]  MINUTES [10]  THREADS [64]  MALFORMED [10] (percent)
#   CLOSE [2], ABANDON [1] (percent of a phone's steps that close its session,
#   or drop it to expire; ABANDON=0 keeps the session population steady)
#   SAMPLE [10] (seconds between samples)  CALL_TIMEOUT_MS [10000] (the
#   gateway's back-end call timeout, written to its settings file; the stop
#   must end within 2000 ms + this)  ALLOW_FAILED [0] (1: calls answering 1
#   with a message do not fail the run)  BUILD_DIR [build-soak]
#   SKIP_BUILD [0]  NICE [0] (niceness of all three processes)
#   KEEP [0] (1: keep the temporary folder with the logs)
# Short check: SESSIONS=50 MINUTES=0.5 scripts/soak.sh
#
# The gateway ends an HTTP session 300000 ms after its last request (not
# configurable), so sessions left to expire are seen expiring only in runs
# longer than five minutes.
#
# Exit status: bench_soak's verdict, or 1 when the gateway's exit status is
# not 0 or a process could not be started.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build-soak}
SESSIONS=${SESSIONS:-1000}
MINUTES=${MINUTES:-10}
THREADS=${THREADS:-64}
MALFORMED=${MALFORMED:-10}
CLOSE=${CLOSE:-2}
ABANDON=${ABANDON:-1}
SAMPLE=${SAMPLE:-10}
CALL_TIMEOUT_MS=${CALL_TIMEOUT_MS:-10000}
NICE=${NICE:-0}
BIN=$BUILD/bin
SESSION_TIMEOUT_MS=300000
STOP_WAIT_MS=2000

if [ "${SKIP_BUILD:-0}" != 1 ]; then
  # ccache speeds rebuilds where it is installed; nothing needs it.
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" \
    -DBREVALON_BENCH=ON -DBREVALON_TESTS=OFF >/dev/null
  cmake --build "$BUILD" -j2 --target brevalon24 brevalon-appserver bench_soak
fi

# Each gateway session holds its client connection and two back-end ones;
# each phone of the load one connection and its I/O context.
ulimit -n "$(ulimit -Hn)" || true
echo "open-files limit $(ulimit -n)"

TMP=$(mktemp -d)
AS_PID=0 GW_PID=0
cleanup() {
  for pid in "$GW_PID" "$AS_PID"; do
    if [ "$pid" != 0 ]; then
      kill "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
  if [ "${KEEP:-0}" = 1 ]; then echo "logs kept in $TMP"; else rm -rf "$TMP"; fi
}
trap cleanup EXIT

# Prints the first line of file $1 matching $2, waiting up to 30 s for it.
wait_line() {
  for _ in $(seq 1 300); do
    if grep -m1 -E "$2" "$1" 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  echo "timed out waiting for '$2' in $1" >&2
  cat "$1" "${1%.out}.err" >&2 || true
  return 1
}

nice -n "$NICE" "$BIN/brevalon-appserver" --db "$TMP/demo.sqlite" --seed "$ROOT/appserver/seeds/demo.json" \
  --listen 127.0.0.1 --port 0 >"$TMP/as.out" 2>"$TMP/as.err" &
AS_PID=$!
AS_PORT=$(wait_line "$TMP/as.out" 'listening on' | sed 's/.*://')

SETTINGS=$TMP/data/QUORV/BrevalonMobile
mkdir -p "$SETTINGS"
printf '[General]\nConnectionType=SOCKET\nCallTimeoutMs=%s\n[SOCKET]\nServerName=127.0.0.1\n[ServerConnect]\nServerPort=%s\n' \
  "$CALL_TIMEOUT_MS" "$AS_PORT" >"$SETTINGS/BrevalonMobileSettings.ini"
nice -n "$NICE" "$BIN/brevalon24" --console --data-dir "$TMP/data" --http-port 0 --tcp-port 0 --listen 127.0.0.1 \
  >"$TMP/gw.out" 2>"$TMP/gw.err" &
GW_PID=$!
GW_PORT=$(wait_line "$TMP/gw.out" 'HTTP port' | sed -E 's/.*HTTP port ([0-9]+).*/\1/')
echo "appserver pid $AS_PID port $AS_PORT; gateway pid $GW_PID port $GW_PORT; load average:$(uptime | sed 's/.*load average://')"

SECONDS_RUN=$(python3 -c "print(float('$MINUTES') * 60)")
STOP_LIMIT_MS=$((STOP_WAIT_MS + CALL_TIMEOUT_MS))
FLAGS=()
[ "${ALLOW_FAILED:-0}" = 1 ] && FLAGS+=(--allow-failed)
status=0
nice -n "$NICE" "$BIN/bench_soak" --port "$GW_PORT" --sessions "$SESSIONS" --threads "$THREADS" \
  --seconds "$SECONDS_RUN" --malformed "$MALFORMED" --close "$CLOSE" --abandon "$ABANDON" --session-timeout-ms "$SESSION_TIMEOUT_MS" \
  --call-timeout-ms $((CALL_TIMEOUT_MS + 60000)) --gateway-pid "$GW_PID" --appserver-pid "$AS_PID" \
  --sample-every "$SAMPLE" --stop-gateway --stop-limit-ms "$STOP_LIMIT_MS" "${FLAGS[@]}" || status=$?

# bench_soak has timed the exit; the status is ours to collect. When it did
# not stop the gateway (a failure before the end), stop it here.
state() { awk '{print $3}' "/proc/$1/stat" 2>/dev/null || echo gone; }
if [ "$(state "$GW_PID")" != Z ] && [ "$(state "$GW_PID")" != gone ]; then
  echo "the gateway is still running: SIGTERM"
  kill -TERM "$GW_PID" 2>/dev/null || true
  for _ in $(seq 1 $((STOP_LIMIT_MS / 100 + 50))); do
    case "$(state "$GW_PID")" in Z | gone) break ;; esac
    sleep 0.1
  done
  if [ "$(state "$GW_PID")" != Z ] && [ "$(state "$GW_PID")" != gone ]; then
    echo "the gateway did not exit: SIGKILL"
    kill -KILL "$GW_PID" 2>/dev/null || true
    status=1
  fi
fi
gw_status=0
wait "$GW_PID" || gw_status=$?
GW_PID=0
echo "gateway exit status $gw_status"
if [ "$gw_status" != 0 ]; then
  status=1
  echo "gateway standard error (last lines):"
  tail -20 "$TMP/gw.err"
fi
grep -E 'threads still running|stopped' "$TMP/gw.out" "$TMP/gw.err" || true
echo "appserver: $(grep -c . "$TMP/as.err" || true) lines on standard error; load average:$(uptime | sed 's/.*load average://')"
exit "$status"
