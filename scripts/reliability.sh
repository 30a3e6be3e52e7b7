#!/usr/bin/env bash
# The long reliability runs, apart from the default tests: every libFuzzer
# target (clang, ASan + UBSan) for RUNS executions each (default 10 million),
# then the SIGKILL-during-writes test for KILLS rounds (default 500).
# Usage: scripts/reliability.sh [fuzz|kill|all]
#   RUNS=10000000 KILLS=500 JOBS=$(nproc)
# A fuzz finding leaves its input in build-fuzz/findings/<target>/ and makes
# the script exit 1; new corpus entries stay in build-fuzz/corpus/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."

what=${1:-all}
runs=${RUNS:-10000000}
kills=${KILLS:-500}
jobs=${JOBS:-$(nproc)}
status=0

if [ "$what" = fuzz ] || [ "$what" = all ]; then
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBREVALON_FUZZ=ON -DBREVALON_SANITIZE=address,undefined -DBREVALON_TESTS=OFF \
    -DBREVALON_BENCH=OFF >/dev/null
  mapfile -t targets < <(for f in fuzz/*.cpp; do n=${f##*/}; echo "fuzz_${n%.cpp}"; done)
  cmake --build build-fuzz -j"$jobs" --target "${targets[@]}"
  for t in "${targets[@]}"; do
    name=${t#fuzz_}
    corpus=build-fuzz/corpus/$name
    findings=build-fuzz/findings/$name
    mkdir -p "$corpus" "$findings"
    [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$corpus/"
    log=build-fuzz/$name.long.log
    start=$SECONDS
    if "build-fuzz/bin/$t" -runs="$runs" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
         -artifact_prefix="$findings/" -print_final_stats=1 "$corpus" >"$log" 2>&1; then
      done_runs=$(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -Eo '[0-9]+$' || echo "?")
      echo "fuzz $name: $done_runs executions in $((SECONDS - start)) s, no finding"
    else
      echo "fuzz $name: FINDING, input in $findings/ (log $log)"
      tail -40 "$log"
      status=1
    fi
  done
fi

if [ "$what" = kill ] || [ "$what" = all ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j"$jobs" --target test_reliability brevalon24
  if BREVALON_KILL_ROUNDS=$kills build/bin/test_reliability \
       --gtest_filter='*SigkillInTheMiddleOfWrites*'; then
    echo "SIGKILL during writes: $kills rounds, every snapshot loads"
  else
    echo "SIGKILL during writes: FAILED"
    status=1
  fi
fi

exit $status
