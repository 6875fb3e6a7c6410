#!/usr/bin/env bash
# cx diff checked against an independent reference: for each size, a generated
# tree is snapshotted, changed (about 1% of the files added, 1% removed and 1%
# touched, a few folders added and removed), snapshotted again and put back;
# the events of cx diff must be exactly what find(1) lists of the tree before
# and after, compared with sort and join. With two sizes or more, the peak
# memory of cx index and cx diff at the largest must be about that at the
# smallest (at most twice it plus 8 MiB). cx check of the changed tree
# against the first snapshot must report exactly the same; so must it on a
# small tree changed at random, seed after seed (CX_CHECK_SEEDS, default 12),
# where its report must also be, line for line, what cx index of the changed
# tree and cx diff report.
#
#   diff_against_find.sh CX TREES WORK FILES...
#
# TREES keeps the generated trees between runs (bench/cli_trees.py); WORK
# receives the snapshots, listings and events of each size, and the figures.
set -euo pipefail

cx=$1 trees=$2 work=$3
shift 3
sizes=("$@")
tree_tool=(python3 "$(dirname "$0")/../../bench/cli_trees.py")
tab=$'\t'
mkdir -p "$trees" "$work"
: >"$work/figures"

# A tree left changed by an interrupted run is put back on the way out.
journal=""
trap '[ -z "$journal" ] || "${tree_tool[@]}" restore "$journal"' EXIT

# timed FILES NAME OUT CMD...: runs CMD with its standard output in OUT and
# adds a line "FILES, NAME, EVENTS, SECONDS, PEAK-KiB" (tab-separated) to the
# figures, EVENTS being how many lines OUT got ("-" for /dev/null). Exit
# status 1 is fine: cx diff found changes.
timed() {
  local files=$1 name=$2 out=$3 status=0 events=- seconds peak
  shift 3
  /usr/bin/time -f '%e %M' -o "$work/time" "$@" >"$out" 2>"$work/stderr" || status=$?
  if [ "$status" -gt 1 ]; then
    echo "diff against find: exit status $status from: $*" >&2
    tail -n 5 "$work/stderr" >&2
    exit 1
  fi
  [ "$out" = /dev/null ] || events=$(wc -l <"$out")
  read -r seconds peak < <(tail -n 1 "$work/time")
  printf '%s\t%s\t%s\t%s\t%s\n' "$files" "$name" "$events" "$seconds" "$peak" >>"$work/figures"
}

# listing TREE OUT: one "path<TAB>attributes" line per entry of TREE, sorted
# by path, folders ending with "/" as in a container. The attributes are
# what cx index records: type, size (not of folders), modification time,
# mode, owner, group and link target.
listing() {
  find "$1" \( -type d -printf '%p/\t%y %T@ %m %U %G\n' \) -o -printf '%p\t%y %s %T@ %m %U %G %l\n' |
    LC_ALL=C sort -t "$tab" -k 1,1 >"$2"
}

# expected_events OLD NEW: the lines cx diff should print, from two listings.
expected_events() {
  LC_ALL=C join -t "$tab" -v 1 "$1" "$2" | cut -f 1 | sed 's/^/D /'
  LC_ALL=C join -t "$tab" -v 2 "$1" "$2" | cut -f 1 | sed 's/^/A /'
  LC_ALL=C join -t "$tab" "$1" "$2" | awk -F "$tab" '$2 != $3 { print "M " $1 }'
}

# run_size FILES: snapshots a generated tree of FILES files, changes it,
# snapshots it again, puts it back, and checks that cx diff of the two
# snapshots reports exactly the changes the listings show.
run_size() {
  local files=$1 tree=$trees/files-$1 out=$work/$1
  mkdir -p "$out"
  journal=$trees/stress-$files.journal
  echo "== diff against find, $files files"
  "${tree_tool[@]}" restore "$journal"
  "${tree_tool[@]}" generate "$tree" "$files" $((files / 20))
  tree=$(realpath "$tree")
  timed "$files" "cx index" /dev/null "$cx" index "$tree" "$out/old.cx"
  listing "$tree" "$out/old.list"
  "${tree_tool[@]}" mutate "$tree" "$journal" --folders
  timed "$files" "cx index (changed tree)" /dev/null "$cx" index "$tree" "$out/new.cx"
  listing "$tree" "$out/new.list"
  timed "$files" "cx check" "$out/check-events" "$cx" check --folder-mtime "$out/old.cx"
  "${tree_tool[@]}" restore "$journal"
  journal=""

  # Folders' times compared too, as the listings do; the changed attributes
  # that follow a tab are left out.
  timed "$files" "cx diff" "$out/events" "$cx" diff --folder-mtime "$out/old.cx" "$out/new.cx"
  cut -f 1 "$out/events" | LC_ALL=C sort >"$out/events.sorted"
  expected_events "$out/old.list" "$out/new.list" | LC_ALL=C sort >"$out/expected"
  # Every kind of event must be there, or the check proves little.
  local kind count summary="" counts
  for kind in "A .*/" "A .*[^/]" "D .*/" "D .*[^/]" "M .*/" "M .*[^/]"; do
    count=$(grep -c "^$kind\$" "$out/expected" || true)
    if [ "$count" -eq 0 ]; then
      echo "diff against find: $files files: the changed tree shows no \"$kind\" event; the mutation did not work" >&2
      exit 1
    fi
    summary+=" $count"
  done
  if ! cmp -s "$out/expected" "$out/events.sorted"; then
    echo "diff against find: $files files: cx diff disagrees with the listings of the tree" \
         "($(wc -l <"$out/events.sorted") events, $(wc -l <"$out/expected") expected); first differences" \
         "(< expected only, > cx diff only):" >&2
    diff "$out/expected" "$out/events.sorted" | grep '^[<>]' | head -n 20 >&2 || true
    echo "diff against find: the files compared are in $out" >&2
    exit 1
  fi
  if ! cut -f 1 "$out/check-events" | LC_ALL=C sort | cmp -s "$out/expected" -; then
    echo "diff against find: $files files: cx check disagrees with the listings of the tree; first differences:" >&2
    cut -f 1 "$out/check-events" | LC_ALL=C sort | diff "$out/expected" - | grep '^[<>]' | head -n 20 >&2 || true
    exit 1
  fi
  read -r -a counts <<<"$summary"
  echo "cx diff agrees with find: ${counts[0]} folders and ${counts[1]} files added," \
       "${counts[2]} folders and ${counts[3]} files deleted, ${counts[4]} folders and ${counts[5]} files modified"
}

for files in "${sizes[@]}"; do
  run_size "$files"
done

# cx check against find on a small tree changed at random, seed after seed.
seeded=$trees/seeded
"${tree_tool[@]}" generate "$seeded" 3000 150 2>/dev/null
seeded=$(realpath "$seeded")
for seed in $(seq 1 "${CX_CHECK_SEEDS:-12}"); do
  journal=$trees/seeded.journal
  "${tree_tool[@]}" restore "$journal"
  "$cx" index "$seeded" "$work/seeded.cx" 2>/dev/null
  listing "$seeded" "$work/seeded-old.list"
  "${tree_tool[@]}" mutate "$seeded" "$journal" --folders --seed="$seed" 2>/dev/null
  listing "$seeded" "$work/seeded-new.list"
  status=0
  "$cx" check --folder-mtime "$work/seeded.cx" >"$work/seeded-events" 2>"$work/stderr" || status=$?
  "$cx" index "$seeded" "$work/seeded-new.cx" 2>/dev/null
  "$cx" diff --folder-mtime "$work/seeded.cx" "$work/seeded-new.cx" >"$work/seeded-diff" 2>/dev/null || true
  rm -f "$work/seeded-new.cx"
  "${tree_tool[@]}" restore "$journal"
  journal=""
  expected_events "$work/seeded-old.list" "$work/seeded-new.list" | LC_ALL=C sort >"$work/seeded-expected"
  if [ "$status" -gt 1 ] || ! cut -f 1 "$work/seeded-events" | LC_ALL=C sort | cmp -s "$work/seeded-expected" -; then
    echo "diff against find: cx check disagrees with find for seed $seed (exit status $status):" >&2
    cut -f 1 "$work/seeded-events" | LC_ALL=C sort | diff "$work/seeded-expected" - | grep '^[<>]' | head -n 20 >&2 || true
    exit 1
  fi
  if ! cmp -s "$work/seeded-diff" "$work/seeded-events"; then
    echo "diff against find: cx check and cx index + cx diff report differently for seed $seed:" >&2
    diff "$work/seeded-diff" "$work/seeded-events" | head -n 20 >&2 || true
    exit 1
  fi
done
echo "cx check agrees with find, and with cx index + cx diff, for ${CX_CHECK_SEEDS:-12} random changes of a" \
     "3000-file tree"

echo "== diff against find, figures"
# Memory must not grow with the tree: at the largest size each command may
# take at most twice its peak at the smallest, plus 8 MiB.
awk -F "$tab" -v small="${sizes[0]}" -v large="${sizes[${#sizes[@]} - 1]}" '
  BEGIN { printf "%9s  %-24s %8s %9s %9s\n", "files", "command", "events", "seconds", "peak MiB" }
  {
    printf "%9d  %-24s %8s %9.2f %9.1f\n", $1, $2, $3, $4, $5 / 1024
    command = $2
    sub(/ \(.*/, "", command)
    if ($5 > peak[$1, command]) peak[$1, command] = $5
  }
  END {
    if (small == large) exit 0
    split("cx index,cx diff", commands, ",")
    for (i = 1; i <= 2; ++i) {
      c = commands[i]
      bound = 2 * peak[small, c] + 8192
      verdict = peak[large, c] <= bound ? "flat" : "GROWS"
      printf "%s peak: %.1f MiB at %d files, %.1f MiB at %d files (bound %.1f MiB): %s\n", c,
             peak[small, c] / 1024, small, peak[large, c] / 1024, large, bound / 1024, verdict
      if (verdict != "flat") failed = 1
    }
    exit failed
  }' "$work/figures" || { echo "diff against find: peak memory grows with the size of the tree" >&2; exit 1; }
