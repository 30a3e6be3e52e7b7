#!/usr/bin/env bash
# Sets up the machine, builds everything and runs the reference client on an
# example: encodes a task-list request and decodes a result record.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
cli=build/bin/brevalon-cli
req=$($cli encode GetTaskList '{"FStUID":"abc","FNDataSetVersion":0,"FNIncommingCorrespVersion":0}')
echo "GetTaskList request text: $req"
echo "An empty task list result, decoded:"
$cli decode "rAUzAQUAAAABAAAAAQAAAAAAAAAAAAAAAAAAAAAAAAA="
