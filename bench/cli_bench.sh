#!/usr/bin/env bash
# cx index, cx check and cx diff beside the tools people use for the same jobs,
# on the same trees in one run:
#   index  cx index | cx index --no-xattrs | mtree -c (a spec) | find -printf
#          (path, type, size, mtime, mode, owner, group, inode) | plocate's
#          updatedb (names only) | aide --init (names, sizes, times, modes and
#          owners; no hashes) | a stat walk (bench/StatWalk.cpp: the system
#          calls of cx's walk on every core, nothing kept; the floor of any
#          tool that records what cx does), with and without the listing of
#          extended attributes
#   verify cx check of the unchanged tree | the stat walk | mtree -f SPEC
#   diff   cx diff of two snapshots | diff of two mtree -C dumps |
#          mtree -f SPEC verifying the tree | diff of two plocate listings
#          (names only) | aide --compare
#   check  cx check of the changed tree against the first snapshot |
#          cx index of it and cx diff | mtree -f SPEC
# on /usr and on a generated tree of 1,000,000 files in 50,000 folders. The
# diffs compare a snapshot with one taken after 1% of the files were added,
# 1% removed and 1% touched; /usr is not changed, its diffs run on a mirror
# of it (same names, types, modes, owners, times and sizes, as sparse files).
# Then SHA-256 digests of every file of a tree of real files and of /etc:
#   digest cx index --checksum | xargs -P2 sha256sum | mtree -c -K sha256digest |
#          aide --init (sha256)
#   reuse  cx index --update --checksum of the unchanged tree (digests taken
#          over) | the full cx index --checksum
#   dcheck cx check --checksum (every file read again) | mtree -f SPEC |
#          aide --check
#
# Prints wall seconds (median of warm runs, to the tenth of a millisecond;
# AIDE's index and compare of the trees run once), CPU seconds, peak resident memory
# and how many times faster cx is than each peer (peer seconds / cx seconds,
# against the cx row above it).
#
#   bench/cli_bench.sh [CX]      CX: the cx binary (default build/bench/cli/cx,
#                                built when missing)
# Environment: CX_BENCH_PHASES (default "index diff digests small": the
# index and verify rows, the diff and check rows, the digest rows on a tree of
# real files, CX_BENCH_DIGEST_TREE, default /usr/lib, and on /etc),
# CX_BENCH_RUNS (default 3), CX_BENCH_SMALL_RUNS (default 15: the runs of
# /etc, where a millisecond of noise is a tenth of a run), CX_BENCH_BASELINE=OTHER-CX also times
# another build's cx index, cx diff and cx check in the same runs (say, the previous
# release's; its diff reads this build's snapshots), printed as "(baseline)", CX_BENCH_AIDE=0 leaves AIDE out (it
# takes minutes on the large tree), CX_BENCH_FILES and CX_BENCH_FOLDERS
# (default 1000000 and 50000) size the generated tree.
#
# Trees are kept under build/bench-trees and reused; outputs go to
# build/bench-scratch. The peers and GNU time are installed when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

CX=${1:-build/bench/cli/cx}
RUNS=${CX_BENCH_RUNS:-3}
SMALL_RUNS=${CX_BENCH_SMALL_RUNS:-15}
WITH_AIDE=${CX_BENCH_AIDE:-1}
BASELINE=${CX_BENCH_BASELINE:-}
FILES=${CX_BENCH_FILES:-1000000}
FOLDERS=${CX_BENCH_FOLDERS:-50000}
PHASES=${CX_BENCH_PHASES:-index diff digests small}
DIGEST_TREE=${CX_BENCH_DIGEST_TREE:-/usr/lib}
TREES=$ROOT/build/bench-trees
SCRATCH=$ROOT/build/bench-scratch
TOOL="python3 $ROOT/bench/cli_trees.py"

# ---------------------------------------------------------------- set-up

missing=()
command -v mtree >/dev/null || missing+=(mtree-netbsd)
{ command -v updatedb >/dev/null && command -v plocate >/dev/null; } || missing+=(plocate)
[ "$WITH_AIDE" = 0 ] || command -v aide >/dev/null || missing+=(aide)
[ -x /usr/bin/time ] || missing+=(time)
if [ ${#missing[@]} -gt 0 ]; then
  echo "cli_bench: installing ${missing[*]}" >&2
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

STATWALK=build/bench/bench/StatWalk
targets=()
[ -x "$CX" ] || targets+=(cx_tool)
[ -x "$STATWALK" ] || targets+=(StatWalk)
if [ ${#targets[@]} -gt 0 ]; then
  cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DCX_BUILD_TESTS=OFF -DCX_BUILD_BENCH=ON >/dev/null
  cmake --build build/bench -j "$(nproc 2>/dev/null || echo 2)" --target "${targets[@]}" >/dev/null
fi
CX=$(realpath "$CX")
STATWALK=$(realpath "$STATWALK")
[ -z "$BASELINE" ] || BASELINE=$(realpath "$BASELINE")

mkdir -p "$TREES" "$SCRATCH"
df -h "$ROOT/build" | sed 's/^/cli_bench: /' >&2
free_kib=$(df -Pk "$ROOT/build" | awk 'NR == 2 { print $4 }')
free_inodes=$(df -Pi "$ROOT/build" | awk 'NR == 2 { print $4 }')
if [ "$free_kib" -lt $((6 * 1024 * 1024)) ] || { [ "$free_inodes" != "-" ] && [ "$free_inodes" -lt 1500000 ]; }; then
  echo "cli_bench: needs about 6 GiB and 1.5 million inodes free under $ROOT/build" >&2
  exit 2
fi

GENERATED=$TREES/files-$FILES
MIRROR=$TREES/usr-mirror
# A run stopped half way leaves its changes behind: undo them first.
for journal in "$TREES"/*.journal; do
  [ -e "$journal" ] && $TOOL restore "$journal"
done
$TOOL generate "$GENERATED" "$FILES" "$FOLDERS"
$TOOL mirror /usr "$MIRROR"

# ---------------------------------------------------------------- measuring

RESULTS=$SCRATCH/results.txt
: >"$RESULTS"

# measure KEY OUT STATUSES CMD...: one run of CMD with its standard output in
# OUT; its seconds and peak KiB go to $SCRATCH/KEY.times. STATUSES lists the
# exit statuses that mean it did its job (diff answers 1 for differences).
measure() {
  local key=$1 out=$2 statuses=$3
  shift 3
  local status=0 start end
  # GNU time counts wall time in hundredths: the clock around it does better.
  start=$(date +%s%N)
  /usr/bin/time -f "%e %M %U %S" -o "$SCRATCH/time.out" "$@" >"$out" 2>"$SCRATCH/stderr.out" || status=$?
  end=$(date +%s%N)
  if [[ " $statuses " != *" $status "* ]]; then
    echo "cli_bench: $key: exit status $status from: $*" >&2
    sed 's/^/  /' "$SCRATCH/stderr.out" | tail -5 >&2
    exit 2
  fi
  tail -1 "$SCRATCH/time.out" | awk -v ns=$((end - start)) '{ $1 = sprintf("%.4f", ns / 1e9); print }' \
    >>"$SCRATCH/$key.times"
}

# record TREE TASK TOOL KEY: the median seconds, the median CPU seconds and
# the largest peak of KEY's runs.
record() {
  local seconds cpu peak
  median='{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
  seconds=$(awk '{ print $1 }' "$SCRATCH/$4.times" | sort -n | awk "$median")
  cpu=$(awk '{ print $3 + $4 }' "$SCRATCH/$4.times" | sort -n | awk "$median")
  peak=$(awk 'BEGIN { m = 0 } $2 > m { m = $2 } END { printf "%.1f", m / 1024 }' "$SCRATCH/$4.times")
  printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$seconds" "$peak" "$cpu" >>"$RESULTS"
  rm -f "$SCRATCH/$4.times"
}

# An AIDE configuration for TREE: DB_IN and DB_NEW are the databases compared,
# DB_OUT the one --init writes. A selection is a prefix: the second rule keeps
# out a sibling whose name goes on from TREE's (files-1000000 and
# files-10000000).
aide_config() {  # aide_config CONF TREE DB_OUT DB_IN DB_NEW
  local regex
  regex=$(printf '%s' "$2" | sed 's/[][\\.^$*+?(){}|]/\\&/g')
  cat >"$1" <<EOF
database_out=file:$3
database_in=file:$4
database_new=file:$5
gzip_dbout=no
report_url=stdout
Snapshot = p+ftype+l+u+g+s+m
$regex Snapshot
!$regex[^/]
EOF
}

UPDATEDB=(updatedb -l 0 --prunepaths '' --prunenames '' --prunefs '' --prune-bind-mounts no)

# snapshot TREE PREFIX: every tool's snapshot of TREE, untimed, as PREFIX.*
snapshot() {
  local tree=$1 prefix=$2
  "$CX" index "$tree" "$prefix.cx" 2>/dev/null
  mtree -c -p "$tree" >"$prefix.mtree"
  rm -f "$prefix.plocate"
  "${UPDATEDB[@]}" -U "$tree" -o "$prefix.plocate"
  if [ "$WITH_AIDE" != 0 ]; then
    rm -f "$prefix.aide"
    aide_config "$SCRATCH/aide.conf" "$tree" "$prefix.aide" /dev/null /dev/null
    aide --init -c "$SCRATCH/aide.conf" >/dev/null
  fi
}

# index_phase TREE LABEL TAG: times every tool's snapshot of TREE, then cx
# check and mtree -f of the unchanged TREE; leaves the snapshots as
# $SCRATCH/TAG-1.* for the diff phase.
index_phase() {
  local tree=$1 label=$2 prefix=$SCRATCH/$3-1
  local listing="find \"\$1\" -printf '%p %y %s %T@ %m %U %G %i\\n' >/dev/null"
  echo "cli_bench: index $label" >&2
  "$CX" index "$tree" "$prefix.cx" 2>/dev/null  # warms the caches for every tool
  for ((run = 1; run <= RUNS; ++run)); do
    measure cx-index /dev/null "0" "$CX" index "$tree" "$prefix.cx"
    measure cx-index-noxattrs /dev/null "0" "$CX" index --no-xattrs "$tree" "$prefix.noxattrs.cx"
    [ -z "$BASELINE" ] || measure baseline-index /dev/null "0" "$BASELINE" index "$tree" "$prefix.baseline.cx"
    measure mtree-index "$prefix.mtree" "0" mtree -c -p "$tree"
    measure find-index /dev/null "0" bash -c "$listing" _ "$tree"
    rm -f "$prefix.plocate"
    measure updatedb-index /dev/null "0" "${UPDATEDB[@]}" -U "$tree" -o "$prefix.plocate"
    measure stat-walk /dev/null "0" "$STATWALK" "$tree"
    measure stat-walk-noxattrs /dev/null "0" "$STATWALK" --no-xattrs "$tree"
    measure cx-verify /dev/null "0" "$CX" check --quiet "$prefix.cx"
    [ -z "$BASELINE" ] || measure baseline-verify /dev/null "0" "$BASELINE" check "$prefix.cx"
    measure mtree-verify-unchanged /dev/null "0" mtree -f "$prefix.mtree" -p "$tree"
  done
  cp "$SCRATCH/stat-walk.times" "$SCRATCH/stat-walk-verify.times"
  record "$label" index "cx index" cx-index
  [ -z "$BASELINE" ] || record "$label" index "cx index (baseline)" baseline-index
  record "$label" index "stat walk (floor)" stat-walk
  record "$label" index "cx index --no-xattrs" cx-index-noxattrs
  record "$label" index "stat walk --no-xattrs" stat-walk-noxattrs
  record "$label" index "mtree -c" mtree-index
  record "$label" index "find -printf" find-index
  record "$label" index "updatedb (names only)" updatedb-index
  if [ "$WITH_AIDE" != 0 ]; then
    rm -f "$prefix.aide"
    aide_config "$SCRATCH/aide.conf" "$tree" "$prefix.aide" /dev/null /dev/null
    measure aide-index /dev/null "0" aide --init -c "$SCRATCH/aide.conf"
    record "$label" index "aide --init" aide-index
  fi
  record "$label" verify "cx check" cx-verify
  [ -z "$BASELINE" ] || record "$label" verify "cx check (baseline)" baseline-verify
  record "$label" verify "stat walk (floor)" stat-walk-verify
  record "$label" verify "mtree -f SPEC" mtree-verify-unchanged
}

# diff_phase TREE LABEL TAG [fresh]: snapshots TREE (unless the index phase
# left them), changes it, snapshots it again, times every tool's comparison
# and puts the tree back.
diff_phase() {
  local tree=$1 label=$2 journal=$TREES/$3.journal
  local one=$SCRATCH/$3-1 two=$SCRATCH/$3-2
  echo "cli_bench: diff $label" >&2
  [ "${4:-}" = fresh ] && snapshot "$tree" "$one"
  $TOOL mutate "$tree" "$journal"
  snapshot "$tree" "$two"
  "$CX" diff --stat "$one.cx" "$two.cx" | sed "s|^|cli_bench: $label: |" >&2 || true
  local dumps="mtree -C -f \"\$1\" >\"\$3\" && mtree -C -f \"\$2\" >\"\$4\" && diff \"\$3\" \"\$4\""
  local listings="plocate -d \"\$1\" / >\"\$3\" && plocate -d \"\$2\" / >\"\$4\" && diff \"\$3\" \"\$4\""
  for ((run = 1; run <= RUNS; ++run)); do
    measure cx-diff "$SCRATCH/cx.diff" "1" "$CX" diff "$one.cx" "$two.cx"
    [ -z "$BASELINE" ] || measure baseline-diff /dev/null "1" "$BASELINE" diff "$one.cx" "$two.cx"
    measure mtree-dumps /dev/null "1" bash -c "$dumps" _ "$one.mtree" "$two.mtree" "$one.dump" "$two.dump"
    measure mtree-verify /dev/null "2" mtree -f "$one.mtree" -p "$tree"
    measure plocate-diff /dev/null "1" bash -c "$listings" _ "$one.plocate" "$two.plocate" "$one.names" "$two.names"
    measure cx-check "$SCRATCH/cx.check" "1" "$CX" check "$one.cx"
    [ -z "$BASELINE" ] || measure baseline-check /dev/null "1" "$BASELINE" check "$one.cx"
    rm -f "$SCRATCH/again.cx"  # a snapshot of the other tree is not replaced without --force
    measure cx-index-diff /dev/null "1" bash -c "\"\$1\" index \"\$2\" \"\$3\" 2>/dev/null && \"\$1\" diff \"\$4\" \"\$3\"" \
      _ "$CX" "$tree" "$SCRATCH/again.cx" "$one.cx"
  done
  cp "$SCRATCH/mtree-verify.times" "$SCRATCH/mtree-verify-again.times"
  record "$label" diff "cx diff" cx-diff
  [ -z "$BASELINE" ] || record "$label" diff "cx diff (baseline)" baseline-diff
  record "$label" diff "diff of mtree -C dumps" mtree-dumps
  record "$label" diff "mtree -f SPEC (tree)" mtree-verify
  record "$label" diff "diff of plocate lists" plocate-diff
  record "$label" check "cx check" cx-check
  [ -z "$BASELINE" ] || record "$label" check "cx check (baseline)" baseline-check
  record "$label" check "cx index + cx diff" cx-index-diff
  record "$label" check "mtree -f SPEC (tree)" mtree-verify-again
  if [ "$WITH_AIDE" != 0 ]; then
    aide_config "$SCRATCH/aide.conf" "$tree" /dev/null "$one.aide" "$two.aide"
    measure aide-diff /dev/null "0 1 2 3 4 5 6 7" aide --compare -c "$SCRATCH/aide.conf"
    record "$label" diff "aide --compare" aide-diff
  fi
  $TOOL restore "$journal"
  rm -f "$one.dump" "$two.dump" "$one.names" "$two.names"
}

# digest_phase TREE LABEL TAG: times a snapshot with SHA-256 digests of every
# file, beside the same digests taken by sha256sum on both cores, mtree and
# AIDE; then a check of the unchanged tree by its digests.
digest_phase() {
  local tree=$1 label=$2 prefix=$SCRATCH/$3
  echo "cli_bench: digests of $label" >&2
  local hashing="find \"\$1\" -type f -print0 | xargs -0 -n 64 -P2 sha256sum >/dev/null"
  "$CX" index --checksum "$tree" "$prefix.cx" 2>/dev/null  # warms the caches for every tool
  # The check reads a snapshot of its own, taken before the rounds: cx check
  # waits until a snapshot written in the last 50 ms has settled (so that a
  # change made to it during the check cannot keep its times), which the
  # snapshot rewritten a few milliseconds before would measure instead.
  "$CX" index --checksum "$tree" "$prefix.check.cx" 2>/dev/null
  for ((run = 1; run <= RUNS; ++run)); do
    measure cx-digest /dev/null "0" "$CX" index --checksum "$tree" "$prefix.cx"
    measure cx-digest-update /dev/null "0" "$CX" index --update --checksum "$tree" "$prefix.cx"
    [ -z "$BASELINE" ] || measure baseline-digest /dev/null "0" "$BASELINE" index --checksum "$tree" "$prefix.baseline.cx"
    measure sha256sum-digest /dev/null "0" bash -c "$hashing" _ "$tree"
    measure mtree-digest "$prefix.mtree" "0" mtree -c -K sha256digest -p "$tree"
    measure cx-digest-check /dev/null "0" "$CX" check --checksum "$prefix.check.cx"
    measure mtree-digest-check /dev/null "0" mtree -f "$prefix.mtree" -p "$tree"
  done
  cp "$SCRATCH/cx-digest.times" "$SCRATCH/cx-digest-full.times"
  record "$label" digest "cx index" cx-digest
  [ -z "$BASELINE" ] || record "$label" digest "cx index (baseline)" baseline-digest
  record "$label" digest "xargs -P2 sha256sum" sha256sum-digest
  record "$label" digest "mtree -c -K sha256digest" mtree-digest
  if [ "$WITH_AIDE" != 0 ]; then
    aide_config "$SCRATCH/aide.conf" "$tree" "$prefix.aide" /dev/null /dev/null
    sed -i 's/^Snapshot = .*/Snapshot = p+ftype+l+u+g+s+m+sha256/' "$SCRATCH/aide.conf"
    for ((run = 1; run <= RUNS; ++run)); do
      rm -f "$prefix.aide"
      measure aide-digest /dev/null "0" aide --init -c "$SCRATCH/aide.conf"
    done
    record "$label" digest "aide --init (sha256)" aide-digest
  fi
  record "$label" reuse "cx index --update" cx-digest-update
  record "$label" reuse "cx index (all read)" cx-digest-full
  record "$label" dcheck "cx check" cx-digest-check
  record "$label" dcheck "mtree -f SPEC" mtree-digest-check
  if [ "$WITH_AIDE" != 0 ]; then
    aide_config "$SCRATCH/aide.conf" "$tree" /dev/null "$prefix.aide" /dev/null
    sed -i 's/^Snapshot = .*/Snapshot = p+ftype+l+u+g+s+m+sha256/' "$SCRATCH/aide.conf"
    for ((run = 1; run <= RUNS; ++run)); do
      measure aide-digest-check /dev/null "0" aide --check -c "$SCRATCH/aide.conf"
    done
    record "$label" dcheck "aide --check" aide-digest-check
  fi
}

# ---------------------------------------------------------------- the runs

count() {  # count TREE: "F folders, N files"
  printf '%s folders, %s files' "$(find "$1" -xdev -type d | wc -l)" "$(find "$1" -xdev ! -type d | wc -l)"
}

echo "cli_bench: $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) CPUs, load $(cut -d' ' -f1-3 /proc/loadavg)," \
     "$RUNS runs per median" >&2
echo "cli_bench: /usr: $(count /usr); generated: $(count "$GENERATED")" >&2

phase() { [[ " $PHASES " == *" $1 "* ]]; }
phase index && index_phase /usr "/usr" usr
phase diff && diff_phase "$MIRROR" "/usr (mirror)" usr-mirror fresh
# Each tree has snapshots of its own: cx index does not replace a snapshot of
# another folder.
phase index && index_phase "$GENERATED" "$FILES files" "generated-$FILES"
phase diff && diff_phase "$GENERATED" "$FILES files" "generated-$FILES" $(phase index || echo fresh)
phase digests && digest_phase "$DIGEST_TREE" "$DIGEST_TREE" "real-files$(printf '%s' "$DIGEST_TREE" | tr / -)"
phase small && RUNS=$SMALL_RUNS digest_phase /etc /etc etc

echo "cli_bench: load at the end $(cut -d' ' -f1-3 /proc/loadavg)" >&2
echo
awk -F'\t' '
  BEGIN { printf "%-16s %-6s %-26s %8s %8s %9s %8s\n", "tree", "task", "tool", "seconds", "CPU s", "peak MiB", "peer/cx" }
  {
    mine = $3 == "cx index" || $3 == "cx index --no-xattrs" || $3 == "cx index --update" || $3 == "cx diff" ||
           $3 == "cx check"
    if (mine) cx = $4
    ratio = (mine || cx == 0) ? "" : sprintf("%.2fx", $4 / cx)
    printf "%-16s %-6s %-26s %8.4f %8.2f %9.1f %8s\n", $1, $2, $3, $4, $6, $5, ratio
  }' "$RESULTS"
