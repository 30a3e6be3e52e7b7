#!/usr/bin/env bash
# Sets up the machine and runs every test: the optimised build, the same tests
# under AddressSanitizer + UndefinedBehaviorSanitizer, and a short run of each
# libFuzzer target. Usage: scripts/test.sh [--long]   (--long: long fuzz runs)
set -euo pipefail
cd "$(dirname "$0")/.."

long=0
[ "${1:-}" = "--long" ] && long=1

./scripts/install-deps.sh
jobs=$(nproc)
passed=0
failed=0

run_ctest() {  # build dir, extra ctest args...
  local dir=$1; shift
  local log
  log=$(mktemp)
  if ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 600 "$@" 2>&1 | tee "$log"; then :; fi
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1 || true)
  if [ -z "$line" ]; then
    echo "test.sh: no test results from $dir" >&2
    failed=$((failed + 1))
  else
    local nfail total
    nfail=$(sed -E 's/.*passed, ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.*passed, ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
    passed=$((passed + total - nfail))
    failed=$((failed + nfail))
  fi
  rm -f "$log"
}

stage() { echo "== $1 (at ${SECONDS}s)"; }

# Line tables only (-g1): stack traces keep file and line, without the
# variable tracking that makes sanitized test files take minutes each.
stage "optimised build (g++)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" >/dev/null
cmake --build build -j"$jobs"
run_ctest build

# One clang tree for the sanitized tests and the fuzz targets: everything
# carries the fuzzer's coverage hooks, so the libraries are compiled once for
# both, and the code meets a second compiler. -O1 keeps the build quick and
# the reports exact.
stage "AddressSanitizer + UndefinedBehaviorSanitizer build (clang, with the fuzz targets)"
CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" \
  -DBREVALON_SANITIZE=address,undefined -DBREVALON_FUZZ=ON -DBREVALON_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_ctest build-asan

stage "libFuzzer targets"
if [ "$long" = 1 ]; then runs=10000000; else runs=20000; fi
for f in build-asan/bin/fuzz_*; do
  [ -x "$f" ] || continue
  name=${f##*/fuzz_}
  corpus=$(mktemp -d)
  [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$corpus/"
  if "$f" -runs="$runs" -max_len=4096 -timeout=10 "$corpus" >"build-asan/$name.log" 2>&1; then
    echo "fuzz $name: $runs runs, no finding"
    passed=$((passed + 1))
  else
    echo "fuzz $name: FINDING (see build-asan/$name.log)"; tail -40 "build-asan/$name.log"
    failed=$((failed + 1))
  fi
  rm -rf "$corpus"
done

echo
echo "all: $passed passed, $failed failed (${SECONDS}s)"
[ "$failed" -eq 0 ]
