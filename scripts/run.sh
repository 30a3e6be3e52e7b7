#!/usr/bin/env bash
# Sets up the machine, builds everything, and runs the gateway with its
# reference back end on the demo database:
#   - brevalon-appserver on 127.0.0.1:4804 over var/demo.sqlite (created from
#     appserver/seeds/demo.json at the first run, kept afterwards);
#   - brevalon24 in the foreground on HTTP port 8085 and TCP port 2211 (211
#     needs root), with its data directory in var/data.
# Ctrl-C stops both. Options: --http-port N, --tcp-port N, --appserver-port N.
set -euo pipefail
cd "$(dirname "$0")/.."

http_port=8085
tcp_port=2211
app_port=4804
while [ $# -gt 0 ]; do
  case "$1" in
    --http-port) http_port=$2; shift 2 ;;
    --tcp-port) tcp_port=$2; shift 2 ;;
    --appserver-port) app_port=$2; shift 2 ;;
    *) echo "run.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

./scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"

var=$PWD/var
settings_dir=$var/data/QUORV/BrevalonMobile
mkdir -p "$settings_dir"
cat >"$settings_dir/BrevalonMobileSettings.ini" <<EOF
[General]
ConnectionType=SOCKET
[SOCKET]
ServerName=127.0.0.1
[ServerConnect]
ServerPort=$app_port
EOF

build/bin/brevalon-appserver --db "$var/demo.sqlite" --seed appserver/seeds/demo.json \
  --listen 127.0.0.1 --port "$app_port" &
appserver=$!
trap 'kill "$appserver" 2>/dev/null; wait "$appserver" 2>/dev/null || true' EXIT

cat <<EOF

The gateway answers on http://127.0.0.1:$http_port (REST) and 127.0.0.1:$tcp_port (TCP).
Sign in from another terminal, for example as petrova (every demo password is the login + "1"):

  build/bin/brevalon-cli --url http://127.0.0.1:$http_port --session /tmp/brevalon.session \\
      connect --db demo --user petrova --password petrova1
  build/bin/brevalon-cli --url http://127.0.0.1:$http_port --session /tmp/brevalon.session stream

Users of the demo database: ivanov, petrova, sidorov, kuznetsova, smirnov, popova, volkov, fedorova.
Press Ctrl-C to stop.

EOF

build/bin/brevalon24 --console --data-dir "$var/data" --listen 127.0.0.1 \
  --http-port "$http_port" --tcp-port "$tcp_port"
