#!/usr/bin/env bash
# cx index beyond the everyday tree: the metadata text for times far from now
# and unusual modes, the order rows are written in, folders larger than one
# listing, trees deeper than the folders kept open, and Ctrl-C in the middle
# of a long checksum.
set -uo pipefail

# shellcheck source=cli/tests/checks.sh
source "$(dirname "$0")/checks.sh"

# The metadata the indexer must write for PATH, made from stat(1) and date(1).
expected_metadata() {
  local path=$1 type size mode uid gid mtime
  type=$(stat -c '%F' "$path" | sed 's/regular empty file/file/; s/regular file/file/; s/symbolic link/link/;
    s/directory/dir/')
  read -r size mode uid gid < <(stat -c '%s %a %u %g' "$path")
  mtime=$(TZ=UTC stat -c '%y' "$path")  # 1969-12-31 23:59:59.999999999 +0000
  printf 'Type="%s"' "$type"
  [ "$type" = dir ] || printf ' Size="%s"' "$size"
  printf ' MTime="%sT%sZ" Mode="%04o" Uid="%s" Gid="%s"' "${mtime%% *}" "$(cut -d' ' -f2 <<<"$mtime")" \
    "$((8#$mode))" "$uid" "$gid"
  printf ' Inode="%s"' "$(stat -c '%d:%i' "$path")"
  [ "$type" = link ] && printf ' Target="%s"' "$(readlink "$path")"
  printf '\n'
}

# ---- metadata text
T="$WORK/times"
mkdir -p "$T/sub"
for stamp in "1901-12-14 00:00:01.5" "1969-12-31 23:59:59.999999999" "1970-01-01 00:00:00.000000001" \
             "2000-02-29 12:00:00" "2038-01-19 03:14:08" "2446-05-10 22:38:55.123"; do
  name="t-${stamp//[ :]/_}"
  printf 'x%.0s' $(seq 1 $((${#stamp} % 7 + 1))) >"$T/$name"
  touch -h -d "$stamp UTC" "$T/$name"
done
chmod 4751 "$T/t-2000-02-29_12_00_00"
chmod 0600 "$T/t-1901-12-14_00_00_01.5"
ln -s "t-2000-02-29_12_00_00" "$T/link"
mkfifo "$T/pipe"
touch -d "1999-12-31 23:59:59.25 UTC" "$T/sub"
"$CX" index "$T" "$WORK/times.cx" 2>/dev/null
actual=$("$CX" ls -l "$WORK/times.cx" "$T/" | cut -f1,3)
wanted=$(cd "$T" && for name in $(LC_ALL=C ls -A); do
  [ -d "$name" ] && [ ! -L "$name" ] && continue
  printf '%s\t%s\n' "$name" "$(expected_metadata "$name")"
done)
check "metadata of files" "$wanted" "$actual"
check "metadata of a folder" "metadata	$(expected_metadata "$T/sub")" \
  "$("$CX" find "$WORK/times.cx" "$T/sub/" | grep '^metadata')"

# ---- order, large folders, deep trees
O="$WORK/order"
mkdir -p "$O/a/b" "$O/a-b" "$O/a.b" "$O/a b" "$O/A" "$O/a\\b" "$O/é" "$O/big"
for name in z y "a b" a-b a.b A é "back\\slash" 10 9; do
  echo "$name" >"$O/a/$name"
done
# More files than one listing of a folder holds, so it is read in parts.
(cd "$O/big" && seq -f 'f%06g' 1 33000 | xargs touch)
deep="$O/deep"
for ((level = 0; level < 300; ++level)); do deep="$deep/d"; done
mkdir -p "$deep"
touch "$deep/bottom"
"$CX" index "$O" "$WORK/order.cx" 2>"$WORK/stderr"
check "order summary" \
  "$WORK/order.cx: $(find "$O" -type d | wc -l) folders, $(find "$O" ! -type d | wc -l) files, 0 warnings" \
  "$(cat "$WORK/stderr")"
check "every file of the large folder" 33000 "$("$CX" ls "$WORK/order.cx" "$O/big/" | wc -l | tr -d ' ')"
check "the bottom of the deep tree" 0 "$("$CX" find "$WORK/order.cx" "$deep/bottom" >/dev/null; echo $?)"
if command -v sqlite3 >/dev/null && [ -n "$EXTENSION" ]; then
  query() { sqlite3 "$WORK/order.cx" -cmd ".load ${EXTENSION%.so}" "$1"; }
  # Ids follow the order the container reads rows back in: folders in their
  # collation order, files by folder and then by name (a folder read in parts
  # only part by part).
  check "folder ids in folder order" "$(query 'SELECT FolderName FROM Folders ORDER BY FolderName;' | md5sum)" \
    "$(query 'SELECT FolderName FROM Folders ORDER BY FolderId;' | md5sum)"
  small="FROM Files JOIN Folders USING (FolderId) WHERE FolderName NOT LIKE '%/big/'"
  check "file ids in name order" "$(query "SELECT FolderName, FileName $small ORDER BY FolderId, FileName;")" \
    "$(query "SELECT FolderName, FileName $small ORDER BY FileId;")"
  big="FROM Files JOIN Folders USING (FolderId) WHERE FolderName LIKE '%/big/'"
  check "a large folder in sorted parts" 2 "$(query "SELECT FileName $big ORDER BY FileId;" |
    awk 'NR > 1 && $0 < last { ++breaks } { last = $0 } END { print breaks + 1 }')"
fi

# ---- Ctrl-C while a huge file is read for its checksum
I="$WORK/interrupt"
mkdir -p "$I/a" "$I/z"
echo a >"$I/a/x"
echo z >"$I/z/small"
truncate -s 256G "$I/z/huge"  # sparse: reading it through would take minutes
"$CX" index --checksum "$I" "$WORK/interrupt.cx" 2>"$WORK/stderr" &
pid=$!
sleep 0.5
start=$(date +%s)
kill -INT "$pid"
wait "$pid"
status=$?
check "interrupted exit" 130 "$status"
check "interrupted promptly" yes "$([ $(($(date +%s) - start)) -le 5 ] && echo yes || echo no)"
check "interrupted summary" 1 "$(grep -c 'interrupted: snapshot incomplete' "$WORK/stderr")"
check "interrupted state" "state	incomplete" "$("$CX" info "$WORK/interrupt.cx" | grep '^state')"
check "what was read before is kept" 0 "$("$CX" find "$WORK/interrupt.cx" "$I/a/x" >/dev/null 2>&1; echo $?)"
check "the file being read is left out" 1 "$("$CX" find "$WORK/interrupt.cx" "$I/z/huge" >/dev/null 2>&1; echo $?)"
if command -v sqlite3 >/dev/null && [ -n "$EXTENSION" ]; then
  check "interrupted container is sound" ok \
    "$(sqlite3 "$WORK/interrupt.cx" -cmd ".load ${EXTENSION%.so}" 'PRAGMA integrity_check;')"
fi

checks_summary
