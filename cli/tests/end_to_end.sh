#!/usr/bin/env bash
# End-to-end test of the cx tool: snapshot a generated tree, change it,
# snapshot again, and check diff, review, find, ls, info and dups, their exact
# output and exit statuses, and the refusals of missing and foreign files.
set -uo pipefail

# shellcheck source=cli/tests/checks.sh
source "$(dirname "$0")/checks.sh"

run() {  # run OUTFILE ARGS...: runs cx, stdout to OUTFILE, echoes the status
  local out=$1
  shift
  "$CX" "$@" >"$out" 2>"$WORK/stderr"
  echo $?
}

T="$WORK/tree"
mkdir -p "$T/a/b" "$T/c" "$T/odd"
echo one >"$T/a/x.txt"
echo two >"$T/a/b/y.txt"
echo three >"$T/c/z"
ln -s a/x.txt "$T/link"
printf 'p' >"$T/odd/per%cent%%s"
printf 'q' >"$T/odd/new
line"

check "index exit" 0 "$(run "$WORK/out" index "$T" "$WORK/s1.cx")"
check "index keeps stdout clean" "" "$(cat "$WORK/out")"
# The loader must never look for cx's libraries in the folder it is run from.
mkdir "$WORK/planted" && : >"$WORK/planted/libsqlite3.so.0" && : >"$WORK/planted/libstdc++.so.6"
check "no library taken from the working folder" "0" \
  "$(cd "$WORK/planted" && "$CX" --version >/dev/null 2>"$WORK/stderr"; echo "$?" "$(cat "$WORK/stderr")" | xargs)"
check "identical diff exit" 0 "$(run "$WORK/out" diff "$WORK/s1.cx" "$WORK/s1.cx")"
check "identical diff output" "" "$(cat "$WORK/out")"

# Change the tree: add, modify, remove a file, remove a folder with its file.
sleep 0.01
echo added >"$T/a/new.txt"
echo "one, longer" >"$T/a/x.txt"
rm "$T/c/z"
rm -r "$T/a/b"
check "second index exit" 0 "$(run "$WORK/out" index "$T" "$WORK/s2.cx")"
indexed_folders=$(sed -n 's/.*: \([0-9]*\) folders, .*/\1/p' "$WORK/stderr")

# A digest recorded on one side only is no change; a note names it.
"$CX" index --checksum "$T" "$WORK/s2sum.cx" 2>/dev/null
check "one-sided digest exit" 0 "$(run "$WORK/out" diff "$WORK/s2.cx" "$WORK/s2sum.cx")"
check "one-sided digest output" "" "$(cat "$WORK/out")"
check "one-sided digest note" "cx: note: not compared, recorded in one snapshot only: SHA256" "$(cat "$WORK/stderr")"

check "diff exit" 1 "$(run "$WORK/diff.txt" diff "$WORK/s1.cx" "$WORK/s2.cx")"
# A folder whose entries changed is not reported for its time alone.
check "diff output" "A $T/a/new.txt
M $T/a/x.txt
D $T/a/b/
D $T/a/b/y.txt
D $T/c/z" "$(cut -f 1 "$WORK/diff.txt")"
check "diff names the changed attributes" "size 4->12 mtime" \
  "$(awk -F '\t' '/x.txt/ { split($3, time, " "); print $2, time[1] }' "$WORK/diff.txt")"

check "collapsed folders" "A $T/a/new.txt
M $T/a/x.txt
D $T/a/b/
D $T/c/z" "$("$CX" diff --collapse-folders "$WORK/s1.cx" "$WORK/s2.cx" 2>/dev/null | cut -f 1)"
check "collapsed folders, former name" "$("$CX" diff --collapse-folders "$WORK/s1.cx" "$WORK/s2.cx" 2>/dev/null)" \
  "$("$CX" diff --no-recurse-deleted "$WORK/s1.cx" "$WORK/s2.cx" 2>/dev/null)"

check "stat" "added     0 folders, 1 files
deleted   1 folders, 2 files
modified  0 folders, 1 files
moved     0 folders, 0 files
unknown   0 folders, 0 files" "$("$CX" diff --stat "$WORK/s1.cx" "$WORK/s2.cx" 2>/dev/null)"

# Progress marks of the comparison never reach the report.
"$CX" diff --check-period 1 "$WORK/s1.cx" "$WORK/s2.cx" >"$WORK/marks.txt" 2>/dev/null
check "report holds only report lines" "$(cat "$WORK/diff.txt")" "$(cat "$WORK/marks.txt")"

"$CX" diff --json "$WORK/s1.cx" "$WORK/s2.cx" >"$WORK/diff.json" 2>/dev/null
check "json line count" 5 "$(wc -l <"$WORK/diff.json" | tr -d ' ')"
if command -v python3 >/dev/null; then
  check "json is valid" ok "$(python3 -c '
import json, sys
rows = [json.loads(line) for line in open(sys.argv[1])]
assert rows[0] == {"version": 1, "path": sys.argv[2] + "/a/new.txt", "kind": "file", "change": "added",
                   "type": "file", "changes": {}, "old": None, "new": rows[0]["new"]}, rows[0]
assert rows[2]["kind"] == "folder" and rows[2]["change"] == "deleted" and rows[2]["type"] == "dir"
print("ok")' "$WORK/diff.json" "$T")"
fi

# Hostile names stay one entry per line.
check "escaped names" "odd/new\\nline
odd/per%cent%%s" "$("$CX" ls "$WORK/s2.cx" "$T/odd/" | sed 's/^/odd\//')"

check "review clean exit" 0 "$(run "$WORK/out" review "$WORK/s2.cx")"
check "review clean output" "" "$(cat "$WORK/out")"

check "find exit" 0 "$(run "$WORK/out" find "$WORK/s2.cx" "$T/a/x.txt")"
check "find metadata" 1 "$(grep -c '^metadata	Type="file" Size="12" ' "$WORK/out")"
check "find link" 1 "$("$CX" find "$WORK/s2.cx" "$T/link" | grep -c 'Target=\\"a/x.txt\\"\|Target="a/x.txt"')"
check "find folder" 0 "$(run "$WORK/out" find "$WORK/s2.cx" "$T/a/")"
check "find missing exit" 1 "$(run "$WORK/out" find "$WORK/s2.cx" "$T/nope")"
check "find missing message" "cx: $T/nope: not found" "$(cat "$WORK/stderr")"

# Path arguments are taken as the index stored them.
check "find relative path" "file	$T/a/x.txt" "$(cd "$T/a" && "$CX" find "$WORK/s2.cx" ./x.txt | head -1)"
check "find with // and .." "file	$T/a/x.txt" "$("$CX" find "$WORK/s2.cx" "$T//c/../a/x.txt" | head -1)"
check "find file as folder" 1 "$(run "$WORK/out" find "$WORK/s2.cx" "$T/a/x.txt/")"
check "find file as folder message" "cx: $T/a/x.txt/: not found" "$(cat "$WORK/stderr")"
check "find root as //" "folder	/" "$("$CX" find "$WORK/s2.cx" // | head -1)"
check "ls root as //" 0 "$(run "$WORK/out" ls "$WORK/s2.cx" //)"
check "ls relative folder" "new.txt
x.txt" "$(cd "$T" && "$CX" ls "$WORK/s2.cx" a)"

# Names that are not UTF-8 stay apart and recoverable in JSON.
# A link whose target differs only inside an escaped byte is modified.
mkdir -p "$WORK/bytes"
ln -s "$(printf 't\001"q')" "$WORK/bytes/link"
touch -h -d '2001-01-01 UTC' "$WORK/bytes/link"
"$CX" index "$WORK/bytes" "$WORK/bytes1.cx" 2>/dev/null
printf 1 >"$WORK/bytes/$(printf '\377')-x"
printf 2 >"$WORK/bytes/$(printf '\376')-x"
ln -sfn "$(printf 't\002"q')" "$WORK/bytes/link"
touch -h -d '2001-01-01 UTC' "$WORK/bytes/link"
"$CX" index "$WORK/bytes" "$WORK/bytes2.cx" 2>/dev/null
"$CX" diff --json "$WORK/bytes1.cx" "$WORK/bytes2.cx" >"$WORK/bytes.json" 2>/dev/null
check "json base64 beside names not UTF-8" 2 "$(grep -c '"path_base64":' "$WORK/bytes.json")"
check "escaped byte in a value compared" 1 \
  "$(grep -c "^{\"version\":1,\"path\":\"$WORK/bytes/link\",\"kind\":\"file\",\"change\":\"modified\"" "$WORK/bytes.json")"
if command -v python3 >/dev/null; then
  check "json names recoverable" "/bytes/fe-x /bytes/ff-x" "$(python3 -c '
import base64, json, sys
rows = [json.loads(line) for line in open(sys.argv[1])]
names = [base64.b64decode(row["path_base64"]).split(b"/")[-2:] for row in rows if "path_base64" in row]
print(" ".join(sorted("/%s/%s-x" % (d.decode(), n[:1].hex()) for d, n in names if n[1:] == b"-x")))' \
    "$WORK/bytes.json")"
fi

check "info" "origin	$T
state	complete
folders	$indexed_folders
ancestors	$(realpath "$T" | tr -cd / | wc -c)
files	5" "$("$CX" info "$WORK/s2.cx" | grep -E '^(origin|state|folders|ancestors|files)	')"

check "dups" "a" "$(printf 'a\nb\na\nA\n' | "$CX" dups)"
check "dups ignoring case" "A
a" "$(printf 'a\nb\na\nA\n' | "$CX" dups --ignore-case -j 2 | LC_ALL=C sort)"

# Collect marks and their review.
"$CX" index --collect 'y*' "$T" "$WORK/s3.cx" 2>/dev/null
mkdir -p "$T/k/l"
echo y >"$T/k/l/y1"
"$CX" index --collect 'y*' --exclude 'c' "$T" "$WORK/s3.cx" 2>/dev/null
check "exclude" "" "$("$CX" ls "$WORK/s3.cx" | grep "/c/")"
# Exclude rules: folders only, anchored, "**", rules from a file with a
# negation, mixed in the order given; the snapshot records them.
E="$WORK/rules"
mkdir -p "$E/logs" "$E/y/logs" "$E/z" "$E/src/sub" "$E/lib/src" "$E/top" "$E/a/top" "$E/deep/er/x"
touch "$E/logs/1" "$E/y/logs/2" "$E/z/logs" "$E/src/a.o" "$E/src/sub/b.o" "$E/lib/src/c.o" "$E/top/f" \
      "$E/a/top/f" "$E/deep/er/x/f" "$E/x" "$E/t.tmp" "$E/keep.tmp"
printf '# scratch files\n\n*.tmp\r\n!keep.tmp\n' >"$WORK/rules.txt"
listing() {  # listing CONTAINER ROOT: what the snapshot holds below ROOT, relative, sorted
  "$CX" ls "$1" | while IFS= read -r folder; do
    case $folder in
      "$2/") "$CX" ls "$1" "$folder" ;;
      "$2"/*) echo "${folder#"$2"/}" && "$CX" ls "$1" "$folder" | sed "s|^|${folder#"$2"/}|" ;;
    esac
  done | LC_ALL=C sort
}
check "exclude rules exit" 0 "$(run "$WORK/out" index --exclude 'logs/' --exclude-from "$WORK/rules.txt" \
      --exclude 'src/*.o' --exclude '/top' --exclude '**/x' "$E" "$WORK/rules.cx")"
check "exclude rules" "a/
a/top/
a/top/f
deep/
deep/er/
keep.tmp
lib/
lib/src/
lib/src/c.o
src/
src/sub/
src/sub/b.o
y/
z/
z/logs" "$(listing "$WORK/rules.cx" "$E")"
check "exclude rules recorded" "exclude	logs/
exclude	*.tmp
exclude	!keep.tmp
exclude	src/*.o
exclude	/top
exclude	**/x" "$("$CX" info "$WORK/rules.cx" | grep '^exclude')"
check "exclude comment refused" "2 cx: --exclude '#x': a pattern starting with # is a comment (a backslash before the # makes it a name)" \
      "$(run "$WORK/out" index --exclude '#x' "$E" "$WORK/rules2.cx") $(cat "$WORK/stderr")"
check "exclude file missing" "2 cx: $WORK/none: No such file or directory" \
      "$(run "$WORK/out" index --exclude-from "$WORK/none" "$E" "$WORK/rules2.cx") $(cat "$WORK/stderr")"

# Options of cx itself work after the command's name too.
check "option after the command" "0 0" \
      "$(run "$WORK/out" diff -v "$WORK/s1.cx" "$WORK/s1.cx") $(run "$WORK/out" index "$E" "$WORK/rules2.cx" -v)"

check "collect review" "$T/k/l/	" "$("$CX" review --collect "$WORK/s3.cx" | grep -F "$T/k/l/" | cut -f1 | tr '\n' '\t')"

# Ctrl-C during an index: what was written is committed and the snapshot is
# marked incomplete (or, had the index already finished, complete).
B="$WORK/big"
for d in $(seq 1 40); do mkdir -p "$B/d$d" && (cd "$B/d$d" && touch f{1..500}); done
"$CX" index "$B" "$WORK/big.cx" 2>/dev/null &
pid=$!
sleep 0.05
kill -INT "$pid" 2>/dev/null
wait "$pid"
status=$?
state=$("$CX" info "$WORK/big.cx" | grep '^state' | cut -f2)
case "$status:$state" in
  130:incomplete | 0:complete) check "interrupted index" ok ok ;;
  *) check "interrupted index" "130:incomplete" "$status:$state" ;;
esac
if command -v sqlite3 >/dev/null && [ -n "$EXTENSION" ]; then
  check "interrupted index is intact" ok "$(sqlite3 "$WORK/big.cx" -cmd ".load ${EXTENSION%.so}" 'PRAGMA integrity_check;')"
fi

# A container inside the tree it snapshots leaves itself out, whatever path
# leads to it.
"$CX" index "$T" "$T/inside.cx" 2>/dev/null
check "own container left out" "" "$("$CX" ls "$WORK/s2.cx" "$T/" >/dev/null; "$CX" ls "$T/inside.cx" "$T/" | grep inside)"
rm -f "$T/inside.cx"*
ln -s "$T" "$WORK/tlink"
"$CX" index "$T" "$WORK/tlink/inside.cx" 2>/dev/null
check "own container left out through a link" "" "$("$CX" ls "$T/inside.cx" "$T/" | grep inside)"
rm -f "$T/inside.cx"* "$WORK/tlink"

# Missing, foreign and damaged containers: exit 2 and one clear line.
check "missing container" 2 "$(run "$WORK/out" diff "$WORK/none.cx" "$WORK/s2.cx")"
check "missing message" "cx: $WORK/none.cx: no such file" "$(cat "$WORK/stderr")"
check "missing new side is not created" "no" "$([ -e "$WORK/none.cx" ] && echo yes || echo no)"
: >"$WORK/zero.cx"
check "zero-byte container" "2 cx: $WORK/zero.cx: not a content container (an empty file)" \
  "$(run "$WORK/out" info "$WORK/zero.cx") $(cat "$WORK/stderr")"
check "empty container name" "2 cx: the container name is empty" "$(run "$WORK/out" info '') $(cat "$WORK/stderr")"
check "empty container name to index" "2 cx: the container name is empty" \
  "$(run "$WORK/out" index "$T" '') $(cat "$WORK/stderr")"
check "unknown command" "2 cx: bogus: no such command (cx --help lists them)" \
  "$(run "$WORK/out" bogus "$WORK/s2.cx") $(cat "$WORK/stderr")"
# cx's own help lists every command, however it is asked for before one.
for help in "-vh -- index" "--help=1 -- info" "-hv -- find"; do
  # shellcheck disable=SC2086
  check "help lists every command: $help" "0 9" \
    "$(run "$WORK/out" $help) $(sed -n '/^Subcommands:/,$p' "$WORK/out" | grep -c '^  [a-z]')"
done
head -c 8192 /dev/urandom >"$WORK/noise.cx"
check "noise container" 2 "$(run "$WORK/out" review "$WORK/noise.cx")"
check "noise message" 1 "$(grep -c 'not a content container' "$WORK/stderr")"
if command -v python3 >/dev/null; then
  # A writer killed half way through a transaction leaves a journal that
  # only a writer may roll back: a reader says so.
  python3 - "$WORK/halfway.cx" <<'PYTHON'
import os, sqlite3, sys
db = sqlite3.connect(sys.argv[1], isolation_level=None)
db.execute("CREATE TABLE Folders (FolderId, FolderName, Metadata, RecordCreateTime, RecordUpdateTime)")
db.close()
if os.fork() == 0:
    db = sqlite3.connect(sys.argv[1], isolation_level=None)
    db.execute("PRAGMA cache_size=2")
    db.execute("BEGIN")
    for i in range(2000):
        db.execute("INSERT INTO Folders (FolderName) VALUES (?)", ("/%d/%s" % (i, "x" * 500),))
    os._exit(0)
os.wait()
PYTHON
  check "halfway journal" "2 cx: $WORK/halfway.cx: a writer stopped half way and left its journal beside it, which only a writer may roll back" \
    "$(run "$WORK/out" info "$WORK/halfway.cx") $(cat "$WORK/stderr")"
fi
check "directory container" 2 "$(run "$WORK/out" info "$WORK")"
check "unreadable tree" 2 "$(run "$WORK/out" index "$WORK/no-such-dir" "$WORK/s4.cx")"
mkfifo "$WORK/fifo.cx"
check "fifo container" 2 "$(timeout 20 "$CX" ls "$WORK/fifo.cx" >"$WORK/out" 2>"$WORK/stderr"; echo $?)"
check "fifo message" "cx: $WORK/fifo.cx: not a content container (not a regular file)" "$(cat "$WORK/stderr")"
if command -v sqlite3 >/dev/null; then
  sqlite3 "$WORK/other.db" 'PRAGMA journal_mode=WAL; CREATE TABLE Accounts (Id, Name);' >/dev/null
  before=$(sha256sum <"$WORK/other.db")
  check "foreign container" 2 "$(run "$WORK/out" review "$WORK/other.db")"
  check "foreign container untouched" "$before" "$(sha256sum <"$WORK/other.db")"
  check "nothing beside the foreign container" "" "$(cd "$WORK" && ls other.db-* 2>/dev/null)"
fi

if command -v sqlite3 >/dev/null && [ -n "$EXTENSION" ]; then
  cp "$WORK/s2.cx" "$WORK/s5.cx"
  check "stock shell integrity" ok "$(sqlite3 "$WORK/s5.cx" -cmd ".load ${EXTENSION%.so}" 'PRAGMA integrity_check;')"
  sqlite3 "$WORK/s5.cx" -cmd ".load ${EXTENSION%.so}" "DELETE FROM Folders WHERE FolderName='$T/';"
  check "review finds the removed folder" "$T/" "$("$CX" review "$WORK/s5.cx")"
  check "review exit" 1 "$(run "$WORK/out" review "$WORK/s5.cx")"
fi

# Whatever is read from a container is escaped on output.
if command -v sqlite3 >/dev/null; then
  cp "$WORK/s2.cx" "$WORK/crafted.cx"
  sqlite3 "$WORK/crafted.cx" "UPDATE Storage SET Value = char(27) || '[2Jfake' || char(10) || 'files' || char(9) || '9'
    WHERE Key IN ('SnapshotState', 'Origin', 'OriginQuery');
    INSERT OR REPLACE INTO Storage VALUES ('SnapshotProblems', char(27) || '[2J');"
  check "crafted info stays on its lines" "origin	\\x1B[2Jfake\\nfiles\\t9
origin query	\\x1B[2Jfake\\nfiles\\t9
state	\\x1B[2Jfake\\nfiles\\t9
problems	\\x1B[2J" "$("$CX" info "$WORK/crafted.cx" | grep -E '^(origin|origin query|state|problems)	')"
  check "crafted state and origin in the diff's warning and note" \
    "cx: warning: $WORK/crafted.cx: the snapshot is in state \"\\x1B[2Jfake\\nfiles\\t9\"
cx: note: the snapshots are of different folders ($T and \\x1B[2Jfake\\nfiles\\t9); --relative compares the paths below each" \
    "$("$CX" diff "$WORK/s2.cx" "$WORK/crafted.cx" 2>&1 >/dev/null)"
fi

# A folder a snapshot could not read: what was below it is unknown, neither
# added nor deleted, and the snapshot is named as partial.
if command -v sqlite3 >/dev/null && [ -n "$EXTENSION" ]; then
  cp "$WORK/s2.cx" "$WORK/partial.cx"
  sqlite3 "$WORK/partial.cx" -cmd ".load ${EXTENSION%.so}" "
    DELETE FROM Files WHERE FolderId = (SELECT FolderId FROM Folders WHERE FolderName = '$T/a/');
    UPDATE Folders SET Metadata = Metadata || ' Unreadable=\"Permission denied\"' WHERE FolderName = '$T/a/';
    UPDATE Storage SET Value = 'partial' WHERE Key = 'SnapshotState';
    INSERT OR REPLACE INTO Storage VALUES ('SnapshotProblems', '1');"
  check "partial diff" "1 ? $T/a/
? $T/a/new.txt
? $T/a/x.txt" "$(run "$WORK/out" diff "$WORK/s2.cx" "$WORK/partial.cx") $(cat "$WORK/out")"
  check "partial diff warning" "cx: warning: $WORK/partial.cx: the snapshot is partial (1 folders or files could not be read)
cx: $WORK/s2.cx vs $WORK/partial.cx: 3 changes: 0 added, 0 deleted, 0 modified, 0 moved, 3 unknown" "$(cat "$WORK/stderr")"
  check "partial diff, old side" "? $T/a/
? $T/a/new.txt
? $T/a/x.txt" "$("$CX" diff "$WORK/partial.cx" "$WORK/s2.cx" 2>/dev/null)"
  check "partial stat" "unknown   1 folders, 2 files" "$("$CX" diff --stat "$WORK/s2.cx" "$WORK/partial.cx" 2>/dev/null | tail -1)"
  check "partial json" 3 "$("$CX" diff --json "$WORK/s2.cx" "$WORK/partial.cx" 2>/dev/null | grep -c '"change":"unknown"')"
  check "partial json stat" '"unknown":{"folders":1,"files":2}}' \
    "$("$CX" diff --json --stat "$WORK/s2.cx" "$WORK/partial.cx" 2>/dev/null | grep -o '"unknown".*')"
  sqlite3 "$WORK/partial.cx" "UPDATE Storage SET Value = 'incomplete' WHERE Key = 'SnapshotState';"
  check "incomplete diff warning" "cx: warning: $WORK/partial.cx: the snapshot is incomplete (its indexing was interrupted)" \
    "$("$CX" diff "$WORK/s2.cx" "$WORK/partial.cx" 2>&1 >/dev/null | grep warning)"
  check "incomplete snapshot against itself warned once" 1 \
    "$("$CX" diff "$WORK/partial.cx" "$WORK/partial.cx" 2>&1 >/dev/null | grep -c warning)"
fi

# cx check: the live tree against a snapshot, and a copy against its
# original; cx diff --relative: the copy's snapshot against the original's.
C="$WORK/checked"
mkdir -p "$C/sub"
printf 'abcdef' >"$C/sub/data"
echo keep >"$C/keep"
"$CX" index --checksum "$C" "$WORK/checked.cx" 2>/dev/null
chmod 444 "$WORK/checked.cx"
check "check of an unchanged tree" "0 " "$(run "$WORK/out" check "$WORK/checked.cx") $(cat "$WORK/out")"
cp -a "$C" "$WORK/copy"
check "check of an exact copy" "0 " "$(run "$WORK/out" check "$WORK/checked.cx" "$WORK/copy") $(cat "$WORK/out")"
"$CX" index --checksum "$WORK/copy" "$WORK/copy.cx" 2>/dev/null
check "relative diff of an exact copy" "0 " \
  "$(run "$WORK/out" diff --relative "$WORK/checked.cx" "$WORK/copy.cx") $(cat "$WORK/out")"
check "relative diff names the two roots once" \
  "cx: comparing $C/ ($WORK/checked.cx) with $WORK/copy/ ($WORK/copy.cx) by the paths below them" "$(cat "$WORK/stderr")"
check "diff of a copy's snapshot points to --relative" \
  "cx: note: the snapshots are of different folders ($C and $WORK/copy); --relative compares the paths below each" \
  "$("$CX" diff "$WORK/checked.cx" "$WORK/copy.cx" 2>&1 >/dev/null | grep note)"
printf 'abcxef' >"$WORK/copy/sub/data"
touch -r "$C/sub/data" "$WORK/copy/sub/data"
check "check of a copy with one byte changed" "1 sub/data" \
  "$(run "$WORK/out" check "$WORK/checked.cx" "$WORK/copy") $(cut -f1 "$WORK/out" | cut -d' ' -f2)"
check "check of a copy: JSON names the entry below the roots and in each tree" \
  "sub/data $C/sub/data $WORK/copy/sub/data" \
  "$("$CX" check --json "$WORK/checked.cx" "$WORK/copy" 2>/dev/null | python3 -c '
import json, sys
for row in map(json.loads, sys.stdin):
    print(row["path"], row["old_full_path"], row["new_full_path"])')"
rm "$C/keep"
check "check of a changed tree" "1 D $C/keep" \
  "$(run "$WORK/out" check "$WORK/checked.cx") $(grep -v '/$' "$WORK/out")"
check "check leaves nothing behind" "" "$(ls -A "$TMPDIR")"
# Contents are compared only by digests of one algorithm on both sides.
"$CX" index "$C" "$WORK/nodigests.cx" 2>/dev/null
check "check --checksum of a snapshot without digests" "2 1" \
  "$(run "$WORK/out" check --checksum "$WORK/nodigests.cx") $(grep -c 'cx index --checksum' "$WORK/stderr")"
"$CX" index --checksum=xxh128 "$C" "$WORK/xxh.cx" 2>/dev/null
check "digests of two algorithms" \
  "cx: note: contents not compared: the snapshots hold digests of different algorithms (sha256 and xxh128)" \
  "$("$CX" diff "$WORK/checked.cx" "$WORK/xxh.cx" 2>&1 >/dev/null | grep note)"
# libcrypto is loaded for the first digest: one that cannot be loaded is
# trouble, said as such, and the snapshot in place stays as it was.
mkdir "$WORK/nocrypto" && : >"$WORK/nocrypto/libcrypto.so.3"
cp "$WORK/nodigests.cx" "$WORK/nodigests.keep"
check "no libcrypto: index --checksum fails and keeps the snapshot" "2 1 same" \
  "$(LD_LIBRARY_PATH="$WORK/nocrypto" run "$WORK/out" index --checksum "$C" "$WORK/nodigests.cx") \
$(grep -c 'cannot load libcrypto.so.3, which digests need' "$WORK/stderr") \
$(cmp -s "$WORK/nodigests.cx" "$WORK/nodigests.keep" && echo same)"
check "no libcrypto: check --checksum fails" "2 1" \
  "$(LD_LIBRARY_PATH="$WORK/nocrypto" run "$WORK/out" check --checksum "$WORK/checked.cx") \
$(grep -c 'cannot load libcrypto.so.3, which digests need' "$WORK/stderr")"
check "no libcrypto: xxh128 needs none" "0" \
  "$(LD_LIBRARY_PATH="$WORK/nocrypto" run "$WORK/out" check --checksum "$WORK/xxh.cx")"
# A long extended attribute value is recorded by its SHA-256, digests asked
# for or not: an OpenSSL that cannot take one fails the run rather than
# record a value that matches any other.
L="$WORK/longxattr"
mkdir "$L" && : >"$L/f"
if setfattr -n user.big -v "$(head -c 300 /dev/zero | tr '\0' a)" "$L/f" 2>/dev/null; then
  printf 'openssl_conf = init\n[init]\nproviders = p\n[p]\nbase = b\n[b]\nactivate = 1\n' >"$WORK/base-only.cnf"
  check "OpenSSL without SHA-256: a long extended attribute fails the index" "2 1 " \
    "$(OPENSSL_CONF="$WORK/base-only.cnf" run "$WORK/out" index "$L" "$WORK/longxattr.cx") \
$(grep -c 'cannot take SHA-256 digests' "$WORK/stderr") $(ls "$WORK"/longxattr.cx* 2>/dev/null)"
else
  echo "long extended attribute case skipped: no user extended attributes here"
fi

# A policy per path: logs grow, /etc is hashed, /home is left out; the
# snapshot records it, so that the check applies it untold.
P="$WORK/server"
mkdir -p "$P/var/log" "$P/etc" "$P/home/u" "$P/usr"
echo start >"$P/var/log/syslog"
echo a=1 >"$P/etc/conf"
echo bin >"$P/usr/tool"
echo x >"$P/home/u/f"
chmod 644 "$P/var/log/syslog"
printf '# a server\n/var/log/**  -size -mtime -ctime -digest\n/etc/**      +digest\n/home/       exclude\n' >"$WORK/policy"
"$CX" index --policy "$WORK/policy" "$P" "$WORK/server.cx" 2>/dev/null
check "policy: /etc digested, elsewhere not" "1 0" \
  "$("$CX" find "$WORK/server.cx" "$P/etc/conf" | grep -c SHA256=) $("$CX" find "$WORK/server.cx" "$P/usr/tool" | grep -c SHA256=)"
check "policy: /home left out" 1 "$("$CX" find "$WORK/server.cx" "$P/home/" >/dev/null 2>&1; echo $?)"
check "policy: cx info lists it" "policy	/etc/**      +digest" "$("$CX" info "$WORK/server.cx" | grep '^policy.*etc')"
echo more >>"$P/var/log/syslog"
check "policy: a growing log is not reported" "0 " "$(run "$WORK/out" check "$WORK/server.cx") $(cat "$WORK/out")"
chmod 600 "$P/var/log/syslog"
check "policy: its mode change is" "1 M $P/var/log/syslog	mode 0644->0600" \
  "$(run "$WORK/out" check "$WORK/server.cx") $(cat "$WORK/out")"
cp -p "$P/etc/conf" "$WORK/conf.keep"
echo a=2 >"$P/etc/conf"
touch -r "$WORK/conf.keep" "$P/etc/conf"
check "policy: an edit below /etc shows in its digest" "digest" \
  "$("$CX" check --ignore ctime "$WORK/server.cx" 2>/dev/null | grep "$P/etc/conf" | cut -f2 | cut -d' ' -f1)"
check "policy: a bad policy refused" "2 1" \
  "$(printf '/x  -colour\n' >"$WORK/bad.policy"; run "$WORK/out" index --policy "$WORK/bad.policy" "$P" "$WORK/bad.cx") $(grep -c 'line 1' "$WORK/stderr")"

# cx check compares as it walks and writes nothing: not in the temporary
# folder, whatever it holds or is named (a user's own file named like the
# scratch files of earlier versions stays), and not beside the snapshot.
S="$WORK/private-tmp"
mkdir -p "$S"
: >"$S/cx-scratch.backup"
touch -d '2 minutes ago' "$S/cx-scratch.backup"
before=$(ls -A "$WORK" | LC_ALL=C sort)
check "check with TMPDIR=file:x, no such folder" "2 cx-scratch.backup" \
  "$(cd "$S" && TMPDIR=file:x "$CX" check "$WORK/checked.cx" >/dev/null 2>&1; echo "$? $(ls -A)")"
check "diff's temporary file goes to TMPDIR" "2 1" \
  "$(TMPDIR="$S/none" "$CX" diff "$WORK/s1.cx" "$WORK/s2.cx" >/dev/null 2>"$WORK/stderr"; echo "$? $(grep -c "$S/none" "$WORK/stderr")")"
mkdir "$S/file:x"
check "check with TMPDIR=file:x, a folder" "1 " \
  "$(cd "$S" && TMPDIR=file:x "$CX" check "$WORK/checked.cx" >/dev/null 2>&1; echo "$? $(ls -A file:x)")"
rmdir "$S/file:x"
check "check leaves a temporary folder as it was" "cx-scratch.backup" \
  "$(TMPDIR="$S" "$CX" check "$WORK/checked.cx" >/dev/null 2>&1; ls -A "$S")"
check "check writes nothing beside the snapshot" "$before" "$(ls -A "$WORK" | LC_ALL=C sort)"
# A snapshot kept inside the tree it is of is no part of it, for cx check as
# for cx index.
mkdir -p "$WORK/self/sub"
echo x >"$WORK/self/sub/f"
"$CX" index "$WORK/self" "$WORK/self/snap.cx" 2>/dev/null
check "a snapshot inside its tree is left out" "0 " "$(run "$WORK/out" check "$WORK/self/snap.cx") $(cat "$WORK/out")"

# A write error on standard output is trouble; a reader that left is not.
if [ -w /dev/full ]; then
  full() {  # full [STDIN] -- ARGS...: runs cx into a full disk; echoes status and stderr
    local input=$1
    shift 2
    printf '%s' "$input" | "$CX" "$@" >/dev/full 2>"$WORK/stderr"
    echo "$? $(cat "$WORK/stderr")"
  }
  nospace="2 cx: standard output: No space left on device"
  check "ls to a full disk" "$nospace" "$(full '' -- ls "$WORK/s2.cx")"
  check "diff to a full disk" "$nospace" "$(full '' -- diff "$WORK/s1.cx" "$WORK/s2.cx")"
  check "review to a full disk" "$nospace" "$(full '' -- review --collect "$WORK/s3.cx")"
  check "find to a full disk" "$nospace" "$(full '' -- find "$WORK/s2.cx" "$T/a/")"
  check "info to a full disk" "$nospace" "$(full '' -- info "$WORK/s2.cx")"
  check "dups to a full disk" "$nospace" "$(full 'a
a
' -- dups)"
  check "help to a full disk" "$nospace" "$(full '' -- --help)"
fi
mkfifo "$WORK/closed"
# shellcheck disable=SC2094
exec 7<>"$WORK/closed" 8>"$WORK/closed"
exec 7<&-  # no reader is left: writes to descriptor 8 fail with EPIPE
check "closed pipe" "141 " "$( (trap '' PIPE; "$CX" ls "$WORK/s2.cx" >&8 2>"$WORK/stderr"; echo "$? $(cat "$WORK/stderr")"))"
exec 8>&-

checks_summary
