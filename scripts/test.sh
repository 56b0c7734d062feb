#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test configuration:
#   gcc   -Wall -Wextra -Werror, optimised; all unit and end-to-end tests, fuzz seed replays
#   asan  clang with AddressSanitizer + UndefinedBehaviorSanitizer over the same tests; the same
#         tree also builds the libFuzzer binaries (one sanitized compile serves both stages)
#   tsan  clang with ThreadSanitizer over the concurrency-heavy tests
#   fuzz  the libFuzzer binaries, each run for a fixed number of executions (or a time cap)
#   format clang-format check
# OMBREL_STAGES="gcc asan" runs a subset. The last line sums up every stage.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$root"

"$root/scripts/install-deps.sh" || exit 1

stages=${OMBREL_STAGES:-gcc asan tsan fuzz format}
fuzz_runs=${OMBREL_FUZZ_RUNS:-20000}
# Targets that run whole handshakes per input stop at this many seconds instead.
fuzz_seconds=${OMBREL_FUZZ_SECONDS:-45}
# Tests that exercise threads and queues; ThreadSanitizer builds the binaries whose file names
# match tsan_files and runs the tests whose names match tsan_filter.
tsan_filter='Dispatch|Queue|Timer|Connection|Transport|Listener|Session|Controller|Control|Streaming|Clipboard|AIChannel|FileOverConnection|FileReceiver|Relay|STUNProbe|Pasteboard'
tsan_files='connection|transport|queue|timer|listener|session|control|streaming|clipboard_sync|ai_channel|file_transfer|relay_client|relay_server|stun|pasteboard'

# Target names of the test binaries (one per test file) and of the fuzz targets.
test_targets() {
  find "$root/tests" -name '*_test.cpp' -printf '%f\n' | sed 's/\.cpp$//' | grep -E "$1" | sort
}
fuzz_targets() {
  find "$root/fuzz" -maxdepth 1 -name '*_fuzzer.cpp' -printf '%f\n' | sed 's/\.cpp$//' | sort
}

passed=0
failed=0
asan_tree=
failures=()

# ctest_stage NAME DIR [ctest args...]
ctest_stage() {
  local name=$1 dir=$2
  shift 2
  local log="$root/build/$name-ctest.log"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 600 "$@" 2>&1 | tee "$log"
  local summary
  summary=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  if [ -z "$summary" ]; then
    if grep -q 'No tests were found' "$log"; then return 0; fi
    failures+=("$name: ctest did not finish")
    failed=$((failed + 1))
    return
  fi
  local nfail total
  nfail=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$summary")
  total=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$summary")
  passed=$((passed + total - nfail))
  failed=$((failed + nfail))
  [ "$nfail" -eq 0 ] || failures+=("$name: $nfail failed")
}

# build_stage NAME [cmake args...]; BUILD_TARGETS limits what is built (default: everything).
build_stage() {
  local name=$1
  shift
  echo "=== build $name"
  local targets=()
  for t in ${BUILD_TARGETS:-}; do targets+=(--target "$t"); done
  if ! configure "$name" "$@" || ! cmake --build "$root/build/$name" -j"$jobs" "${targets[@]}"; then
    failures+=("$name: build failed")
    failed=$((failed + 1))
    return 1
  fi
}

start_services() {
  start_xvfb 90 || return 1
}

stop_services() {
  stop_xvfb
}
trap stop_services EXIT
start_services || { echo "could not start the test services" >&2; exit 1; }

for stage in $stages; do
  case $stage in
    gcc)
      # Line tables are enough for a readable backtrace and compile much faster than full -g;
      # -O1 keeps the optimiser's warnings and the tests' speed at a fifth less compile time.
      build_stage gcc -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=gcc \
        -DCMAKE_CXX_COMPILER=g++ -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
        -DOMBREL_WERROR=ON && ctest_stage gcc build/gcc
      ;;
    asan)
      build_stage asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-gline-tables-only -O1" \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DOMBREL_BENCH=OFF \
        -DOMBREL_SANITIZE=address,undefined -DOMBREL_FUZZ=ON && asan_tree=build/asan &&
        ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
          ctest_stage asan build/asan -LE fuzz
      ;;
    tsan)
      BUILD_TARGETS=$(test_targets "$tsan_files" | tr '\n' ' ') build_stage tsan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-gline-tables-only -O1" \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DOMBREL_BENCH=OFF \
        -DOMBREL_SANITIZE=thread &&
        TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$root/scripts/tsan-suppressions.txt \
          ctest_stage tsan build/tsan -LE fuzz -R "$tsan_filter" -E NOT_BUILT
      ;;
    fuzz)
      fuzz_tree=${asan_tree:-}
      if [ -z "$fuzz_tree" ] && BUILD_TARGETS=$(fuzz_targets | tr '\n' ' ') build_stage fuzz \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DOMBREL_BENCH=OFF -DOMBREL_FUZZ=ON; then
        fuzz_tree=build/fuzz
      fi
      if [ -n "$fuzz_tree" ]; then
        for fuzzer in $(tr ';' ' ' <"$fuzz_tree/fuzzers.txt"); do
          bin=$(find "$fuzz_tree/fuzz" -maxdepth 1 -name "$fuzzer" -type f | head -1)
          corpus="$root/build/fuzz-corpus/$fuzzer"
          mkdir -p "$corpus"
          echo "=== fuzz $fuzzer ($fuzz_runs runs or ${fuzz_seconds} s)"
          if "$bin" -runs="$fuzz_runs" -max_total_time="$fuzz_seconds" -max_len=65536 -rss_limit_mb=2048 -timeout=10 \
            -print_final_stats=0 "$corpus" "fuzz/corpus/$fuzzer" >"build/fuzz-$fuzzer.log" 2>&1; then
            passed=$((passed + 1))
          else
            tail -40 "build/fuzz-$fuzzer.log"
            failures+=("fuzz: $fuzzer")
            failed=$((failed + 1))
          fi
        done
      fi
      ;;
    format)
      echo "=== format"
      if scripts/format.sh --check; then
        passed=$((passed + 1))
      else
        failures+=("format: run scripts/format.sh")
        failed=$((failed + 1))
      fi
      ;;
  esac
done

for f in "${failures[@]}"; do echo "FAILED $f"; done
echo "ombrel: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
