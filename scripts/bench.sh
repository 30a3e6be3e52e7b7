#!/usr/bin/env bash
# Builds the Release benchmarks (build-rel) and measures what docs/performance.md
# records: the micro benchmarks, GetStream and GetTaskList over keep-alive HTTP
# beside nginx serving a fixed answer of the same size, a perf profile of the
# gateway under the GetTaskList load, and the memory of many idle signed-in
# sessions. Prints the figures; every comparison runs in the same pass as its
# reference, REPEAT times (default 3).
#
# Needs wrk and nginx (installed with apt-get when missing) and, for the
# profile, perf (skipped when it does not work). Everything listens on
# 127.0.0.1 only; every server started here is stopped by its pid on exit.
#
# Environment: BUILD_DIR (default build-rel), REPEAT (3), DURATION (10 s),
# SESSIONS (10000, lowered to what the open-files limit allows), SKIP_BUILD=1,
# SKIP_MICRO=1 (only the HTTP measurements).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build-rel}
REPEAT=${REPEAT:-3}
DURATION=${DURATION:-10}
SESSIONS=${SESSIONS:-10000}
BIN=$BUILD/bin

missing=()
command -v wrk >/dev/null || missing+=(wrk)
command -v nginx >/dev/null || [ -x /usr/sbin/nginx ] || missing+=(nginx-light)
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq && apt-get install -y -qq "${missing[@]}" >/dev/null
fi
NGINX=$(command -v nginx || echo /usr/sbin/nginx)

if [ "${SKIP_BUILD:-0}" != 1 ]; then
  # ccache speeds rebuilds where it is installed; nothing needs it.
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" \
    -DBREVALON_BENCH=ON -DBREVALON_TESTS=OFF >/dev/null
  cmake --build "$BUILD" -j2 --target brevalon24 brevalon-appserver bench_base64 bench_rdc_roundtrip \
    bench_dataset_versions bench_run_method bench_http_load
fi

# As many open files as allowed: each gateway session holds its client
# connection and two back-end connections.
ulimit -n "$(ulimit -Hn)" || true
FD_LIMIT=$(ulimit -n)

TMP=$(mktemp -d)
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$TMP"
}
trap cleanup EXIT

section() { printf '\n== %s  (load average:%s)\n' "$1" "$(uptime | sed 's/.*load average://')"; }

# Waits for a line matching $2 in file $1 and prints it.
wait_line() {
  for _ in $(seq 1 300); do
    if grep -m1 -E "$2" "$1" 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  echo "timed out waiting for '$2' in $1" >&2
  cat "$1" >&2
  return 1
}

AS_PID=0 GW_PID=0 AS_PORT=0 GW_PORT=0
start_appserver() {
  rm -f "$TMP/as.out"
  "$BIN/brevalon-appserver" --db "$TMP/demo.sqlite" --seed "$ROOT/appserver/seeds/demo.json" \
    --listen 127.0.0.1 --port 0 ${AS_ARGS:-} >"$TMP/as.out" 2>"$TMP/as.err" &
  AS_PID=$!
  PIDS+=("$AS_PID")
  AS_PORT=$(wait_line "$TMP/as.out" 'listening on' | sed 's/.*://')
}
start_gateway() {
  local dir=$TMP/data/QUORV/BrevalonMobile
  mkdir -p "$dir"
  printf '[General]\nConnectionType=SOCKET\n[SOCKET]\nServerName=127.0.0.1\n[ServerConnect]\nServerPort=%s\n' \
    "$AS_PORT" >"$dir/BrevalonMobileSettings.ini"
  rm -f "$TMP/gw.out"
  ${EATMYDATA:-} "$BIN/brevalon24" --console --data-dir "$TMP/data" --http-port 0 --tcp-port 0 --listen 127.0.0.1 \
    >"$TMP/gw.out" 2>"$TMP/gw.err" &
  GW_PID=$!
  PIDS+=("$GW_PID")
  GW_PORT=$(wait_line "$TMP/gw.out" 'HTTP port' | sed -E 's/.*HTTP port ([0-9]+).*/\1/')
}
stop() {
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

if [ "${SKIP_MICRO:-0}" != 1 ]; then
  section "micro benchmarks"
  for b in run_method base64 rdc_roundtrip dataset_versions; do
    "$BIN/bench_$b" --benchmark_repetitions="$REPEAT" --benchmark_report_aggregates_only=true
  done
fi

start_appserver
start_gateway
echo "appserver pid $AS_PID port $AS_PORT, gateway pid $GW_PID port $GW_PORT"
STREAM=/datasnap/rest/TServerMethods/GetStream

# The same bodies for nginx: GetStream's answer, and GetTaskList's steady
# answer (50 tasks prepared, nothing changed since the version).
"$BIN/bench_http_load" prepare --port "$GW_PORT" --tasks 50
"$BIN/bench_http_load" tasklist --port "$GW_PORT" --conns 1 --seconds 1 --body-out "$TMP/tasklist.body"
curl -s "http://127.0.0.1:$GW_PORT$STREAM" >"$TMP/stream.body"

NG_PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$TMP/nginx/logs"
quote() { sed -e 's/\\/\\\\/g' -e "s/'/\\\\'/g" "$1"; }
cat >"$TMP/nginx/nginx.conf" <<EOF
worker_processes 2;
pid $TMP/nginx/nginx.pid;
error_log $TMP/nginx/logs/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  keepalive_timeout 75s;
  keepalive_requests 100000000;
  client_body_temp_path $TMP/nginx/body;
  proxy_temp_path $TMP/nginx/proxy;
  fastcgi_temp_path $TMP/nginx/fastcgi;
  uwsgi_temp_path $TMP/nginx/uwsgi;
  scgi_temp_path $TMP/nginx/scgi;
  default_type application/json;
  server {
    listen 127.0.0.1:$NG_PORT;
    location = /stream { return 200 '$(quote "$TMP/stream.body")'; }
    location = /tasklist { return 200 '$(quote "$TMP/tasklist.body")'; }
  }
}
EOF
"$NGINX" -p "$TMP/nginx" -c "$TMP/nginx/nginx.conf" -g 'daemon off;' 2>"$TMP/nginx/stderr" &
NG_PID=$!
PIDS+=("$NG_PID")
sleep 1
cmp <(curl -s "http://127.0.0.1:$NG_PORT/stream") "$TMP/stream.body"
cmp <(curl -s "http://127.0.0.1:$NG_PORT/tasklist") "$TMP/tasklist.body"
echo "nginx pid $NG_PID port $NG_PORT; bodies: stream $(wc -c <"$TMP/stream.body") B, tasklist $(wc -c <"$TMP/tasklist.body") B"

# wrk sends the session back: each thread takes the id of its first answer.
cat >"$TMP/session.lua" <<'EOF'
local session = nil
response = function(status, headers, body)
  if session == nil then
    local pragma = headers["Pragma"] or headers["pragma"]
    if pragma then session = pragma:match("dssession=([^,]+)") end
  end
end
request = function()
  if session then
    return wrk.format("GET", nil, { ["Pragma"] = "dssession=" .. session })
  end
  return wrk.format("GET")
end
EOF
rps() { grep 'Requests/sec' | awk '{print $2}'; }
# User + system CPU of a process so far, in clock ticks.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
TICKS=$(getconf CLK_TCK)

section "GetStream, wrk -t2 -c64 -d${DURATION}s, keep-alive"
for r in $(seq 1 "$REPEAT"); do
  n=$(wrk -t2 -c64 -d"${DURATION}s" "http://127.0.0.1:$NG_PORT/stream" | rps)
  g=$(wrk -t2 -c64 -d"${DURATION}s" -s "$TMP/session.lua" "http://127.0.0.1:$GW_PORT$STREAM" | rps)
  echo "run $r: nginx $n req/s, gateway (session sent back) $g req/s, ratio $(python3 -c "print(round($g/$n,3))")"
done

tasklist_runs() {  # label
  for r in $(seq 1 "$REPEAT"); do
    nginx_line=$("$BIN/bench_http_load" get --port "$NG_PORT" --conns 32 --seconds "$DURATION" --target /tasklist)
    echo "run $r nginx:   $nginx_line"
    g0=$(cpu_ticks "$GW_PID") a0=$(cpu_ticks "$AS_PID")
    out=$("$BIN/bench_http_load" tasklist --port "$GW_PORT" --conns 32 --seconds "$DURATION" 2>/dev/null | tr '\n' ' ')
    g1=$(cpu_ticks "$GW_PID") a1=$(cpu_ticks "$AS_PID")
    n=$(echo "$out" | grep -Eo 'requests=[0-9]+' | cut -d= -f2)
    ng=$(echo "$nginx_line" | grep -Eo 'rps=[0-9]+' | cut -d= -f2)
    gw=$(echo "$out" | grep -Eo 'rps=[0-9]+' | cut -d= -f2)
    echo "run $r gateway$1: $out"
    echo "run $r ratio $(python3 -c "print(round($gw/$ng,3))"); CPU per request: gateway $(((g1 - g0) * 1000000 / TICKS / n)) us, appserver $(((a1 - a0) * 1000000 / TICKS / n)) us"
  done
}

section "GetTaskList, 50 tasks, nothing changed, 32 signed-in sessions, ${DURATION}s"
tasklist_runs ""

if perf stat -e task-clock true >/dev/null 2>&1; then
  section "profile under the GetTaskList load (whole machine, by process, then the gateway's symbols)"
  "$BIN/bench_http_load" tasklist --port "$GW_PORT" --conns 32 --seconds "$DURATION" >/dev/null 2>&1 &
  LOAD=$!
  sleep 3
  perf record -q -F 499 -a -g -o "$TMP/perf.data" -- sleep 5 >/dev/null 2>&1 || true
  wait "$LOAD" || true
  { perf report -i "$TMP/perf.data" --no-children --sort comm --stdio -g none 2>/dev/null || true; } |
    grep -E '^ +[0-9]' | head -12 || true
  PARTS='ExecuteCall|GetTaskList|CallMethods|CallBatch|RdcClient|DatasetPacket|FirstWhere|ReadFileBytes'
  PARTS+='|TDataSetVersionsManager|KeepUnchanged|SaveToFile|DatasetAccess::(Load|Save)|TResultWriter|GetBase64Data'
  PARTS+='|Http|Rest|CallPool|RunMethod|ThreadMain|entry_SYSCALL|start_thread'
  # The gateway alone with DWARF call graphs (the Release build keeps no frame
  # pointers): inclusive share of the parts of a call, on-CPU time only.
  "$BIN/bench_http_load" tasklist --port "$GW_PORT" --conns 32 --seconds "$DURATION" >/dev/null 2>&1 &
  LOAD=$!
  sleep 3
  perf record -q -F 199 --call-graph dwarf,16384 -p "$GW_PID" -o "$TMP/perf-gw.data" -- sleep 4 \
    >/dev/null 2>&1 || true
  wait "$LOAD" || true
  { perf report -i "$TMP/perf-gw.data" --children --sort symbol --stdio -g none 2>/dev/null || true; } |
    grep -E '^ +[0-9]' | grep -E "$PARTS" | head -40 || true
  # Off-CPU: how often the gateway waits for the disk (the snapshot files).
  strace -f -c -e trace=fsync,fdatasync,rename,openat,unlink -p "$GW_PID" -o "$TMP/strace.txt" 2>/dev/null &
  ST=$!
  "$BIN/bench_http_load" tasklist --port "$GW_PORT" --conns 32 --seconds 5 2>/dev/null | head -1
  kill -INT "$ST" 2>/dev/null || true
  wait "$ST" 2>/dev/null || true
  cat "$TMP/strace.txt" 2>/dev/null || true
fi

section "GetTaskList as above, the reference servers reading every list from the database (--no-answer-cache)"
stop "$GW_PID"
stop "$AS_PID"
AS_ARGS=--no-answer-cache start_appserver
start_gateway >/dev/null
tasklist_runs " (no answer cache)"
stop "$GW_PID"
stop "$AS_PID"
start_appserver
start_gateway >/dev/null

if command -v eatmydata >/dev/null; then
  section "diagnosis: GetTaskList with the gateway's fsync calls made no-ops (eatmydata)"
  stop "$GW_PID"
  EATMYDATA=eatmydata start_gateway >/dev/null
  for r in $(seq 1 "$REPEAT"); do
    echo "run $r gateway without fsync: $("$BIN/bench_http_load" tasklist --port "$GW_PORT" --conns 32 --seconds "$DURATION" 2>/dev/null | head -1)"
  done
fi

section "GetStream without the session sent back (a new session per request), wrk -t2 -c64 -d${DURATION}s"
# Every request opens a session with its worker; the gateway is restarted
# after each run so the leftover sessions do not weigh on the next one.
for r in $(seq 1 "$REPEAT"); do
  stop "$GW_PID"
  start_gateway >/dev/null
  g=$(wrk -t2 -c64 -d"${DURATION}s" "http://127.0.0.1:$GW_PORT$STREAM" | rps)
  echo "run $r: gateway (new session per request) $g req/s"
done

section "idle signed-in sessions: resident memory"
stop "$GW_PID"
stop "$NG_PID"
stop "$AS_PID"
start_appserver
start_gateway >/dev/null
# gateway: client connection + 2 back-end connections per session; keep a margin.
MAX_SESSIONS=$(((FD_LIMIT - 200) / 3))
if [ "$SESSIONS" -gt "$MAX_SESSIONS" ]; then
  echo "open-files limit $FD_LIMIT allows $MAX_SESSIONS sessions (3 descriptors each), not $SESSIONS"
  SESSIONS=$MAX_SESSIONS
fi
"$BIN/bench_http_load" hold --port "$GW_PORT" --sessions "$SESSIONS" --threads 4 --pid "$GW_PID" --pid2 "$AS_PID"
echo "gateway threads: $(ls /proc/"$GW_PID"/task | wc -l)"
