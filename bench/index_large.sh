#!/usr/bin/env bash
# cx index and cx check of a generated tree of ten million files beside one of
# a million (the same shape: 20 files a folder), in the same run. The times
# should grow with the number of files and the peak memory not at all.
#
#   bench/index_large.sh [CX]    CX: the cx binary (default build/bench/cli/cx,
#                                built when missing)
# Environment: CX_BENCH_RUNS (default 3), CX_BENCH_SCALE (default 10).
#
# The trees are kept under build/bench-trees and reused, as bench/cli_bench.sh
# keeps its own (the million-file one is the same). The large tree takes about
# 8 GiB and 10.5 million inodes, its snapshots 2 GiB each; the script skips,
# saying so, when the file system lacks the room.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

CX=${1:-build/bench/cli/cx}
RUNS=${CX_BENCH_RUNS:-3}
SCALE=${CX_BENCH_SCALE:-10}
FILES=1000000
FOLDERS=50000
TREES=$ROOT/build/bench-trees
SCRATCH=$ROOT/build/bench-scratch
SMALL=$TREES/files-$FILES
LARGE=$TREES/files-$((FILES * SCALE))

if [ ! -x "$CX" ]; then
  cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DCX_BUILD_TESTS=OFF -DCX_BUILD_BENCH=ON >/dev/null
  cmake --build build/bench -j "$(nproc 2>/dev/null || echo 2)" --target cx_tool >/dev/null
fi
CX=$(realpath "$CX")
[ -x /usr/bin/time ] || { echo "index_large: needs GNU time (/usr/bin/time)" >&2; exit 2; }
mkdir -p "$TREES" "$SCRATCH"

# Room for whichever tree is still to be made, two snapshots of each size
# (the one replaced and its successor) and a margin.
need_kib=$(((SCALE + 1) * 2 * 220 * 1024 + 1024 * 1024))
need_inodes=100000
for tree in "$SMALL" "$LARGE"; do
  if [ ! -d "$tree" ]; then
    files=${tree##*-}
    need_kib=$((need_kib + files * 850 / 1000))
    need_inodes=$((need_inodes + files * 106 / 100))
  fi
done
free_kib=$(df -Pk "$ROOT/build" | awk 'NR == 2 { print $4 }')
free_inodes=$(df -Pi "$ROOT/build" | awk 'NR == 2 { print $4 }')
if [ "$free_kib" -lt "$need_kib" ] || { [ "$free_inodes" != "-" ] && [ "$free_inodes" -lt "$need_inodes" ]; }; then
  echo "index_large: skipped: needs $((need_kib / 1024 / 1024)) GiB and $need_inodes inodes free under" \
       "$ROOT/build, which has $((free_kib / 1024 / 1024)) GiB and $free_inodes" >&2
  exit 0
fi

python3 bench/cli_trees.py generate "$SMALL" "$FILES" "$FOLDERS"
python3 bench/cli_trees.py generate "$LARGE" $((FILES * SCALE)) $((FOLDERS * SCALE))

echo "index_large: $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) CPUs, load $(cut -d' ' -f1-3 /proc/loadavg)," \
     "$RUNS runs per median" >&2
# A first run of each warms the caches, as for every later one.
for tree in "$SMALL" "$LARGE"; do
  "$CX" index "$tree" "$SCRATCH/${tree##*/}.cx" 2>/dev/null
  rm -f "$SCRATCH/${tree##*/}.times" "$SCRATCH/${tree##*/}.check.times"
done
for ((run = 1; run <= RUNS; ++run)); do
  for tree in "$SMALL" "$LARGE"; do
    /usr/bin/time -f "%e %U %S %M" -o "$SCRATCH/time.out" "$CX" index "$tree" "$SCRATCH/${tree##*/}.cx" 2>/dev/null
    tail -1 "$SCRATCH/time.out" >>"$SCRATCH/${tree##*/}.times"
    # The tree is as the snapshot has it: cx check answers 0.
    /usr/bin/time -f "%e %U %S %M" -o "$SCRATCH/time.out" "$CX" check --quiet "$SCRATCH/${tree##*/}.cx"
    tail -1 "$SCRATCH/time.out" >>"$SCRATCH/${tree##*/}.check.times"
  done
done

# One line per tree and job: files, median seconds, median CPU seconds,
# largest peak MiB, snapshot bytes per file.
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
summary() {  # summary TREE TIMES-SUFFIX
  local times=$SCRATCH/${1##*/}$2 files=${1##*-}
  printf '%s %s %s %s %s\n' "$files" \
    "$(awk '{ print $1 }' "$times" | median)" \
    "$(awk '{ print $2 + $3 }' "$times" | median)" \
    "$(awk '$4 > m { m = $4 } END { printf "%.1f", m / 1024 }' "$times")" \
    "$(($(stat -c %s "$SCRATCH/${1##*/}.cx") / files))"
}
echo
for job in index check; do
  suffix=.times
  [ "$job" = check ] && suffix=.check.times
  printf '%s\n%s\n' "$(summary "$SMALL" "$suffix")" "$(summary "$LARGE" "$suffix")" | awk -v job="cx $job" '
    NR == 1 { printf "%-9s %12s %9s %12s %9s %14s\n", "", "files", "seconds", "CPU seconds", "peak MiB", "bytes a file" }
    { printf "%-9s %12d %9.2f %12.2f %9.1f %14d\n", job, $1, $2, $3, $4, $5; s[NR] = $2; c[NR] = $3; f[NR] = $1; m[NR] = $4 }
    END { printf "%-9s %gx the files: %.2fx the time, %.2fx the CPU time, %.2fx the peak memory\n", job, f[2] / f[1],
                 s[2] / s[1], c[2] / c[1], m[2] / m[1] }'
done
