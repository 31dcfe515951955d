#!/usr/bin/env bash
# Usage: scripts/fuzz.sh [seconds per target, default 60] [target ...]
#   e.g. scripts/fuzz.sh 600                  every target for 10 minutes (the full run)
#        scripts/fuzz.sh 30 fuzz_forwarding    one target, briefly
# Builds the libFuzzer targets (the `fuzz` preset: clang, ASan + UBSan) and runs each
# for N seconds under `nice -n 19`, FUZZ_JOBS (default 2) at a time.
#
# Seeds: fuzz/<area>/seeds/<target>/, and for a target that has a
# fuzz/<area>/<target>.captures file also the receiver captures (tests/data/captures)
# cut into 2047-byte pieces, the most one receive tick takes. New inputs
# go to build/fuzz-corpus/<target>, crashes and slow inputs to build/fuzz-findings/<target>/,
# each run's output to build/fuzz-logs/<target>.log, and one line per target (runs,
# coverage, seconds, findings) to build/fuzz-logs/summary.txt.
# Extra libFuzzer options for one target: fuzz/<area>/<target>.options (one line).
# Exits non-zero when a target fails to build or reports any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
seconds="${1:-60}"
shift || true
only=("$@")
jobs="${FUZZ_JOBS:-2}"
captures="$root/tests/data/captures"

./scripts/deps.sh run clang libclang-rt-14-dev
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

pieces="$root/build/fuzz-seeds"
if [[ ! -d "$pieces" ]]; then
  mkdir -p "$pieces.tmp"
  for f in "$captures"/*; do
    [[ -f "$f" && "$f" == *.log ]] || continue
    split -b 2047 -a 3 "$f" "$pieces.tmp/$(basename "$f")."
  done
  mv "$pieces.tmp" "$pieces"
fi

mapfile -t targets < <(find build/fuzz/fuzz -mindepth 2 -maxdepth 2 -type f -executable | sort)
if [[ ${#only[@]} -gt 0 ]]; then
  wanted=()
  for exe in "${targets[@]}"; do
    for name in "${only[@]}"; do
      [[ "$(basename "$exe")" == "$name" ]] && wanted+=("$exe")
    done
  done
  targets=("${wanted[@]}")
fi
if [[ ${#targets[@]} -eq 0 ]]; then
  echo "no fuzz targets found under build/fuzz/fuzz" >&2
  exit 1
fi

logs="$root/build/fuzz-logs"
mkdir -p "$logs"
summary="$logs/summary.txt"
: >"$summary"

# One target: runs it, then appends its line to the summary. Returns 1 on a finding.
run_one() {
  local exe="$1" name area dirs options scratch findings log start rc=0
  name="$(basename "$exe")"
  area="$(basename "$(dirname "$exe")")"
  dirs=()
  [[ -d "fuzz/$area/seeds/$name" ]] && dirs+=("$root/fuzz/$area/seeds/$name")
  [[ -f "fuzz/$area/$name.captures" ]] && dirs+=("$pieces")
  options=()
  if [[ -f "fuzz/$area/$name.options" ]]; then
    read -r -a options <"fuzz/$area/$name.options"
  fi
  scratch="$root/build/fuzz-corpus/$name"
  findings="$root/build/fuzz-findings/$name"
  log="$logs/$name.log"
  mkdir -p "$scratch" "$findings"
  echo "== $name (${seconds}s, seeds: ${dirs[*]:-none})"
  start=$SECONDS
  nice -n 19 "$exe" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$findings/" "${options[@]}" "$scratch" "${dirs[@]}" >"$log" 2>&1 || rc=$?
  local runs cov ft corpus found=0
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  cov="$(grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9]+[a-zA-Z]*' "$log" | tail -1)"
  [[ $rc -ne 0 ]] && found=1
  printf '%-26s runs %-10s %-40s %4ss findings %s\n' "$name" "${runs:-?}" "${cov:-?}" \
    "$((SECONDS - start))" "$found" | tee -a "$summary"
  if [[ $rc -ne 0 ]]; then
    echo "FINDING in $name; see $log and $findings/"
    grep -E "ERROR|SUMMARY|Test unit written" "$log" | head -5 || true
    return 1
  fi
}

failed=()
pids=()
names=()
collect() {  # waits for the oldest running target
  if ! wait "${pids[0]}"; then failed+=("${names[0]}"); fi
  pids=("${pids[@]:1}")
  names=("${names[@]:1}")
}
for exe in "${targets[@]}"; do
  [[ ${#pids[@]} -ge $jobs ]] && collect
  run_one "$exe" &
  pids+=("$!")
  names+=("$(basename "$exe")")
done
while [[ ${#pids[@]} -gt 0 ]]; do collect; done

if [[ ${#failed[@]} -gt 0 ]]; then
  echo "fuzz findings: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: no findings in ${#targets[@]} targets (summary: $summary)"
