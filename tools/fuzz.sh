#!/usr/bin/env bash
# make fuzz: builds the libFuzzer targets (tests/fuzz, preset `fuzz`: clang,
# AddressSanitizer + UndefinedBehaviorSanitizer), runs each in turn for
# FUZZ_SECONDS, then measures the line coverage that the committed corpora
# reach when replayed (preset `fuzz-coverage`, clang's source-based coverage).
#
# Settings (environment):
#   FUZZ_SECONDS   run time of each target (default 180; 0: no fuzzing, only
#                  the coverage report)
#   FUZZ_TARGETS   which targets, in order (default: all four)
#   FUZZ_COVERAGE  0 skips the coverage report
#   JOBS           parallel build jobs
#
# Each target starts from its committed corpus (tests/fuzz/corpus/NAME) and
# from what earlier runs found (build/fuzz/found/NAME, kept between runs);
# the fuzzers run under nice -n 19, one at a time. An input that breaks an
# invariant or trips a sanitizer is left as build/fuzz/run/NAME/crash-*; the
# script then says so and fails. To keep such an input as a regression case,
# copy it to tests/fuzz/corpus/NAME/regress-WHAT once it is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-180}
targets=${FUZZ_TARGETS:-"frames_in frames_out sendqueue qvcat_input"}
jobs=${JOBS:-$(nproc 2>/dev/null || echo 2)}

bash tools/install-deps.sh clang-14 libclang-rt-14-dev llvm-14 cmake ninja-build

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"

# The longest input each target makes: frames_in needs room for frames of
# 40960 bytes and a wrap; qvcat_input for a line over 40955 bytes.
max_len() {
  case "$1" in
    frames_in) echo 100000 ;;
    frames_out) echo 4096 ;;
    sendqueue) echo 20000 ;;
    qvcat_input) echo 50000 ;;
  esac
}

failed=()
for t in $targets; do
  [ "$seconds" -gt 0 ] || break
  run="build/fuzz/run/$t"
  found="build/fuzz/found/$t"
  rm -rf "$run"
  mkdir -p "$run" "$found"
  echo "== fuzz_$t: ${seconds} s"
  status=0
  # In its own folder: the library writes ./Log there. The target's own
  # output is closed: the library's console traces, and the debug reports
  # of the invalid calls frames_out makes by the thousand per second
  # (libFuzzer's messages and sanitizer reports still come).
  (cd "$run" && nice -n 19 ../../tests/fuzz/"fuzz_$t" -max_total_time="$seconds" -max_len="$(max_len "$t")" \
     -timeout=30 -rss_limit_mb=4096 -close_fd_mask=3 -print_final_stats=1 -artifact_prefix=./ \
     ../../found/"$t" ../../../../tests/fuzz/corpus/"$t" >fuzz.log 2>&1) || status=$?
  grep -E '^#[0-9]+[[:space:]]+(DONE|INITED)' "$run/fuzz.log" | tail -n 2 || true
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$run/fuzz.log" || true
  if [ "$status" -ne 0 ]; then
    echo "!! fuzz_$t found a fault (status $status):"
    grep -E 'ERROR:|SUMMARY:|Test unit written' "$run/fuzz.log" | head -n 8 || true
    # Once more with its output open, for the invariant that broke.
    for crash in "$run"/crash-* "$run"/timeout-* "$run"/leak-*; do
      [ -f "$crash" ] || continue
      (cd "$run" && ../../tests/fuzz/"fuzz_$t" "$(basename "$crash")" 2>&1 | grep -E 'broken:' | head -n 1) || true
    done
    failed+=("$t")
  fi
done

if [ "${FUZZ_COVERAGE:-1}" != "0" ]; then
  echo "== line coverage reached by the committed corpora (tests/fuzz/corpus), replayed"
  cmake --preset fuzz-coverage >/dev/null
  cmake --build --preset fuzz-coverage -j "$jobs" >/dev/null
  cov="build/fuzz-coverage/coverage"
  rm -rf "$cov"
  mkdir -p "$cov"
  files=(connection/qvsendqueue.cpp connection/qvchunkpool.cpp connection/qvlengthcodec.cpp connection/qvconnection.cpp
         tools/qvcat/qvcatinput.cpp)
  objects=()
  printf "  %-12s %-30s %6s %6s %8s\n" target file lines missed cover
  for t in $targets; do
    bin="build/fuzz-coverage/tests/fuzz/qvnet_fuzz_replay_$t"
    objects+=(-object "$bin")
    (cd "$cov" && LLVM_PROFILE_FILE="$t.profraw" "../tests/fuzz/qvnet_fuzz_replay_$t" \
       "../../../tests/fuzz/corpus/$t" >/dev/null 2>"$t.log") || { echo "!! replay of $t failed"; failed+=("$t"); }
    llvm-profdata-14 merge -sparse "$cov/$t.profraw" -o "$cov/$t.profdata"
    llvm-cov-14 report "$bin" -instr-profile="$cov/$t.profdata" "${files[@]}" 2>/dev/null |
      awk -v t="$t" '$1 ~ /\.cpp$/ && $8 > 0 && $9 < $8 { printf "  %-12s %-30s %6s %6s %8s\n", t, $1, $8, $9, $10 }'
  done
  llvm-profdata-14 merge -sparse "$cov"/*.profraw -o "$cov/all.profdata"
  echo "  -- all corpora together: the data path of connection/qvconnection.cpp, by function"
  llvm-cov-14 report -show-functions -Xdemangler=c++filt "${objects[@]:1}" -instr-profile="$cov/all.profdata" \
    connection/qvconnection.cpp 2>/dev/null |
    grep -E '^QvConnection::(OnRead|ReadAndCut|KeepRest|CutFrames|Send|EncodeAndQueue|Queue|AfterQueued|Drain|OnError)\(' |
    awk '{ name = $1; sub(/\(.*/, "()", name); printf "  %-43s %6s %6s %8s\n", name, $(NF-5), $(NF-4), $(NF-3) }' || true
fi

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found faults in: ${failed[*]}"
  exit 1
fi
echo "fuzzing found no fault"
