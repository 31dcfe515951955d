#!/usr/bin/env bash
# Builds the libFuzzer targets (the `fuzz` preset, clang) and runs every one of them
# for N seconds each, one after the other.
#
#   scripts/fuzz.sh [seconds per target, default 60]
#
# Seeds: fuzz/<area>/seeds when that folder exists, otherwise the shared captures
# (OSTREL_CORPUS_DIR, default ../shared/corpus) cut into 2047-byte pieces, the most one
# receive tick takes. New inputs go to build/fuzz-corpus/<target>, crashes and slow
# inputs to build/fuzz-findings/<target>/, each run's output to build/fuzz-logs/.
# Extra libFuzzer options for one target: fuzz/<area>/<target>.options (one line).
# Exits non-zero when a target fails to build or reports any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
seconds="${1:-60}"
captures="${OSTREL_CORPUS_DIR:-$root/../shared/corpus}"

cmake --preset fuzz >/dev/null
cmake --build build/fuzz --target fuzz/all

pieces="$root/build/fuzz-seeds"
if [[ ! -d "$pieces" ]]; then
  mkdir -p "$pieces.tmp"
  for f in "$captures"/*; do
    [[ -f "$f" && "$f" != *.md ]] || continue
    split -b 2047 -a 3 "$f" "$pieces.tmp/$(basename "$f")."
  done
  mv "$pieces.tmp" "$pieces"
fi

mapfile -t targets < <(find build/fuzz/fuzz -mindepth 2 -maxdepth 2 -type f -executable | sort)
if [[ ${#targets[@]} -eq 0 ]]; then
  echo "no fuzz targets found under build/fuzz/fuzz" >&2
  exit 1
fi

failed=()
for exe in "${targets[@]}"; do
  name="$(basename "$exe")"
  area="$(basename "$(dirname "$exe")")"
  seeds="$root/fuzz/$area/seeds"
  [[ -d "$seeds" ]] || seeds="$pieces"
  options=()
  if [[ -f "fuzz/$area/$name.options" ]]; then
    read -r -a options < "fuzz/$area/$name.options"
  fi
  scratch="$root/build/fuzz-corpus/$name"
  findings="$root/build/fuzz-findings/$name"
  log="$root/build/fuzz-logs/$name.log"
  mkdir -p "$scratch" "$findings" "$(dirname "$log")"
  echo "== $name (${seconds}s, seeds: $seeds)"
  if "$exe" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$findings/" "${options[@]}" "$scratch" "$seeds" >"$log" 2>&1; then
    grep -E "^stat::number_of_executed_units|^stat::new_units_added" "$log" | tr '\n' ' '
    echo
  else
    echo "FINDING in $name; see $log and $findings/"
    grep -E "ERROR|SUMMARY|Test unit written" "$log" | head -5 || true
    failed+=("$name")
  fi
done

if [[ ${#failed[@]} -gt 0 ]]; then
  echo "fuzz findings: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: no findings in ${#targets[@]} targets"
