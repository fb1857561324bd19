#!/usr/bin/env bash
# Builds the fuzz targets of the device-answer readers and runs each one long, one after the
# other on a single core, then prints how many inputs each target executed.
#
#   scripts/fuzz-long.sh [RUNS | SECONDSs] [TARGET...]
#     10000000 (the default)  ten million executions per target
#     600s                    600 seconds per target
#     TARGET...               only these targets (descriptor_strings, cell_texts, ...); all by default
#
# The build tree is $OSTREVANE_FUZZ_BUILD_DIR (default build-fuzz). Each target fuzzes from
# its seed corpus in fuzz/corpus/<target>/ and keeps what it learns in
# <build>/fuzz/long/<target>/corpus, which later long runs start from as well; the source tree
# is never written. A crash leaves its input in <build>/fuzz/long/<target>/: once the fault is
# fixed, keep that input in fuzz/regressions/<target>/ so that every test run replays it.
set -euo pipefail
cd "$(dirname "$0")/.."

budget="${1:-10000000}"
only=("${@:2}")
case "$budget" in
  *[0-9]s) limit=(-max_total_time="${budget%s}") ;;
  *[0-9])  limit=(-runs="$budget") ;;
  *) echo "usage: $0 [RUNS | SECONDSs] [TARGET...]" >&2; exit 2 ;;
esac

scripts/setup.sh

build_dir="${OSTREVANE_FUZZ_BUILD_DIR:-build-fuzz}"
CC=clang CXX=clang++ cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Debug -DOSTREVANE_CROSS_X64=OFF \
  -DOSTREVANE_CROSS_ZIG_X64=OFF -DOSTREVANE_CROSS_ZIG_ARM64=OFF >/dev/null
cmake --build "$build_dir" -j2

failed=0
summary=()
# One line per target: name, program, seed corpus, input size limit.
while read -r name program corpus max_len; do
  if [ ${#only[@]} -gt 0 ] && [[ " ${only[*]} " != *" $name "* ]]; then
    continue
  fi
  work="$build_dir/fuzz/long/$name"
  mkdir -p "$work/corpus"
  log="$work/fuzz.log"
  echo "== $name: ${limit[*]} (log: $log)"
  start=$SECONDS
  result=ok
  UBSAN_OPTIONS=print_stacktrace=1 "$program" "${limit[@]}" -max_len="$max_len" -print_final_stats=1 \
    -artifact_prefix="$work/" "$work/corpus" "$corpus" >"$log" 2>&1 || result=FAILED
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  seed=$(sed -n 's/.*Seed: \([0-9]*\).*/\1/p' "$log" | head -n 1)
  if [ "$result" != ok ]; then
    failed=1
    result="FAILED, input kept in $work/ ($(grep -m 1 -E 'ERROR|violated|runtime error' "$log" || true))"
  fi
  summary+=("$(printf '%-22s %14s executions %7s s  seed %-11s %s' "$name" "${executions:-?}" $((SECONDS - start)) "$seed" "$result")")
done <"$build_dir/fuzz/fuzz-targets.txt"

if [ ${#summary[@]} -eq 0 ]; then
  echo "no fuzz target is named ${only[*]}" >&2
  exit 2
fi
printf '%s\n' "${summary[@]}"
exit "$failed"
