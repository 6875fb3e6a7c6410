#!/usr/bin/env bash
# cx index beyond the everyday tree: the metadata text for times far from now
# and unusual modes, the order rows are written in, folders larger than one
# listing, trees deeper than the folders kept open and paths longer than the
# kernel takes, what cannot be read, checksums of files that change or lie
# about their size, and Ctrl-C in the middle of a long checksum.
set -uo pipefail

# shellcheck source=cli/tests/checks.sh
source "$(dirname "$0")/checks.sh"

# A time of PATH as the indexer writes it: FORMAT is stat's %y or %z, RAW
# the matching %.9Y or %.9Z for a time outside the years 0 to 9999.
time_of() {  # time_of PATH FORMAT RAW
  local time
  time=$(TZ=UTC stat -c "$2" "$1")  # 1969-12-31 23:59:59.999999999 +0000
  if [[ $time =~ ^[0-9]{4}- ]]; then
    printf '%s' "${time%% *}T$(cut -d' ' -f2 <<<"$time")Z"
  else  # the seconds since 1970
    printf '@%s' "$(stat -c "$3" "$1")"
  fi
}

# The metadata the indexer must write for PATH, made from stat(1).
expected_metadata() {
  local path=$1 type size mode uid gid nlink inode
  type=$(stat -c '%F' "$path" | sed 's/regular empty file/file/; s/regular file/file/; s/symbolic link/link/;
    s/directory/dir/')
  read -r size mode uid gid nlink inode < <(stat -c '%s %a %u %g %h %d:%i' "$path")
  printf 'Type="%s"' "$type"
  [ "$type" = dir ] || printf ' Size="%s"' "$size"
  printf ' MTime="%s" CTime="%s"' "$(time_of "$path" %y %.9Y)" "$(time_of "$path" %z %.9Z)"
  printf ' Mode="%04o" Uid="%s" Gid="%s"' "$((8#$mode))" "$uid" "$gid"
  [ "$type" = dir ] || printf ' Nlink="%s"' "$nlink"
  printf ' Inode="%s"' "$inode"
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

# Times beyond the calendar's four-digit years, which tmpfs can hold: each
# must read back exactly, and the last second of 9999 and the next apart.
F=$(mktemp -d -p /dev/shm 2>/dev/null || mktemp -d)
trap 'rm -rf "$WORK" "$F"' EXIT
for stamp in 4611686018427387904 -4611686018427387904.25 253402300799.999999999 253402300800; do
  touch -d "@$stamp" "$F/t$stamp" 2>/dev/null
done
if [ "$(stat -c '%.9Y' "$F/t4611686018427387904" "$F/t-4611686018427387904.25" 2>/dev/null)" = \
  "$(printf '4611686018427387904.000000000\n-4611686018427387904.250000000')" ]; then
  "$CX" index "$F" "$WORK/far.cx" 2>/dev/null
  check "far times" "$(cd "$F" && LC_ALL=C && for name in *; do
    printf '%s\t%s\n' "$name" "$(expected_metadata "$name")"
  done)" "$("$CX" ls -l "$WORK/far.cx" "$F/" | cut -f1,3)"
else
  echo "skipped: far times (the file system of $F does not keep a time of 2^62 s)"
fi

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

# ---- a tree deeper than the folders that may be kept open, with paths longer
# than the kernel takes: folders are opened from their parents, one name at a
# time. Also with few descriptors, where folders are opened from the nearest
# ancestor still open.
D="$WORK/deeper"
mkdir "$D"
# 2,500 levels, each with a folder "s" holding a file beside the next "d",
# made 250 levels at a time: a shell that steps down one level at a time
# takes minutes.
(cd "$D" && dirs=() files=() below= && for ((level = 0; level < 250; ++level)); do
  dirs+=("${below}s") files+=("${below}s/file") below+=d/
done && for ((part = 0; part < 10; ++part)); do
  mkdir -p "${dirs[@]}" "$below" && touch "${files[@]}" && cd "$below" || exit
done && : >bottom)
find_list=$(cd "$WORK" && { find deeper -type d -printf '%p/\n'; find deeper ! -type d; } | LC_ALL=C sort | md5sum)
for limit in "" 300; do
  ( [ -z "$limit" ] || ulimit -n "$limit"; "$CX" index "$D" "$WORK/deeper.cx" 2>"$WORK/stderr" )
  check "deep tree summary ${limit:+with $limit descriptors}" \
    "$WORK/deeper.cx: $(find "$D" -type d | wc -l) folders, $(find "$D" ! -type d | wc -l) files, 0 warnings" \
    "$(cut -c1-300 "$WORK/stderr")"
  if command -v sqlite3 >/dev/null && [ -n "$EXTENSION" ]; then
    check "deep tree as find sees it ${limit:+with $limit descriptors}" "$find_list" \
      "$(sqlite3 "$WORK/deeper.cx" -cmd ".load ${EXTENSION%.so}" \
        "SELECT FolderName FROM Folders WHERE FolderName LIKE '$D/%';
         SELECT FolderName || FileName FROM Files JOIN Folders USING (FolderId);" |
        sed "s|^$WORK/||" | LC_ALL=C sort | md5sum)"
  fi
done

# ---- what cannot be read: each is recorded with the reason, the snapshot is
# partial and the run ends as find's does
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null; then
  P="$WORK/perm"
  mkdir -p "$P/open" "$P/closed/inner" "$P/nosearch/sub"
  echo a >"$P/open/file"
  echo b >"$P/closed/inner/file"
  echo c >"$P/nosearch/file"
  echo d >"$P/secret"
  chown -R nobody "$P"
  chmod 711 "$WORK"
  chmod 000 "$P/closed" "$P/secret"
  chmod 444 "$P/nosearch"  # names can be read, but not what they are
  setpriv --reuid=nobody --regid=nogroup --clear-groups "$CX" index --checksum "$P" "$P/perm.cx" 2>"$WORK/stderr"
  check "unreadable: exit" 1 $?
  check "unreadable: one warning each" 4 "$(grep -c 'Permission denied' "$WORK/stderr")"
  check "unreadable: state" "state	partial" "$("$CX" info "$P/perm.cx" | grep '^state')"
  denied=' Unreadable="Permission denied"'
  metadata_in() { "$CX" find "$P/perm.cx" "$1" | grep '^metadata' | cut -f2; }
  check "unreadable: folder" "$(expected_metadata "$P/closed")$denied" "$(metadata_in "$P/closed/")"
  check "unreadable: file" "$(expected_metadata "$P/secret")$denied" "$(metadata_in "$P/secret")"
  check "unreadable: not stat'ed" "Type=\"file\"$denied" "$(metadata_in "$P/nosearch/file")"
  check "unreadable: folder not stat'ed" "Type=\"dir\"$denied" "$(metadata_in "$P/nosearch/sub/")"
  check "unreadable: the rest" "$(expected_metadata "$P/open/file")" \
    "$(metadata_in "$P/open/file" | sed 's/ SHA256="[0-9a-f]*"//')"
  # A run refused for holding another folder's snapshot says only that,
  # though its walk had started (at a folder it cannot read, which it may or
  # may not have reached: five runs).
  setpriv --reuid=nobody --regid=nogroup --clear-groups "$CX" index "$P/open" "$P/open.cx" 2>/dev/null
  for _ in 1 2 3 4 5; do
    setpriv --reuid=nobody --regid=nogroup --clear-groups "$CX" index "$P/closed" "$P/open.cx" 2>>"$WORK/refused"
    echo "exit $?" >>"$WORK/refused"
  done
  check "unreadable: refused runs say only that" "10 5 5" "$(wc -l <"$WORK/refused") \
$(grep -c '(--force replaces it)$' "$WORK/refused") $(grep -c '^exit 2$' "$WORK/refused")"
  chmod 700 "$WORK" "$P/closed" "$P/nosearch"
else
  echo "skipped: unreadable folders and files (needs root and setpriv)"
fi

# ---- each digest algorithm as its standard tool prints it, on files of
# sizes around the algorithms' block sizes and across the walk's reads
H="$WORK/hashed"
mkdir "$H"
for size in 0 1 63 64 65 127 128 129 1048575 1048576 3000001; do
  head -c "$size" /dev/urandom >"$H/f$size"
done
for tool in sha256:sha256sum sha512:sha512sum blake2b:b2sum; do
  "$CX" index --checksum="${tool%%:*}" "$H" "$WORK/hashed.cx" 2>/dev/null
  check "${tool%%:*} digests as ${tool#*:} prints them" \
    "$(cd "$H" && "${tool#*:}" f* | LC_ALL=C sort -k2 | cut -d' ' -f1)" \
    "$("$CX" ls -l "$WORK/hashed.cx" "$H/" | sed 's/.*="\([0-9a-f]*\)"$/\1/')"
  rm -f "$WORK/hashed.cx"
done

# ---- an update takes over the digests of files that did not change, and
# reads again each one whose size, times or inode did: an edit whose size
# and modification time were put back changes its status change time. Names
# that sort apart in bytes, case and sign, and that need escaping, are found.
for name in Zed a $'\xc3\xa9' $'\xff' 'a"b c'; do echo "$name" >"$H/$name"; done
"$CX" index --checksum "$H" "$WORK/update.cx" 2>/dev/null
"$CX" index --update "$H" "$WORK/update.cx" 2>"$WORK/stderr"
check "update of an unchanged tree reads no file" "16 digests of unchanged files taken over, 0 read" \
  "$(grep -o '[0-9]* digests.*read' "$WORK/stderr")"
cp -p "$H/f64" "$WORK/f64.keep"
head -c 64 /dev/urandom >"$H/f64"
touch -r "$WORK/f64.keep" "$H/f64"
CX_TRACE_LEVEL=1 "$CX" index --update "$H" "$WORK/update.cx" 2>"$WORK/stderr"
check "an edit with its size and time put back is read again" "1 1" \
  "$(grep -c "digest of $H/f64 read: status change time changed" "$WORK/stderr") $(grep -c ', 1 read' "$WORK/stderr")"
check "and its new digest is recorded" "$(sha256sum <"$H/f64" | cut -d' ' -f1)" \
  "$("$CX" find "$WORK/update.cx" "$H/f64" | sed -n 's/.*SHA256="\([0-9a-f]*\)".*/\1/p')"

# ---- checksums read no more than stat reported: files under /proc that say
# they are empty are, and a file that grows while read is marked, not summed
if [ -r /proc/sys/kernel/random/uuid ]; then
  mkdir "$WORK/empty"
  : >"$WORK/empty/file"
  "$CX" index --checksum "$WORK/empty" "$WORK/empty.cx" 2>/dev/null
  empty=$("$CX" ls -l "$WORK/empty.cx" "$WORK/empty/" | grep -o 'SHA256="[0-9a-f]*"')
  "$CX" index --checksum /proc/sys/kernel/random "$WORK/proc.cx" 2>/dev/null
  check "pseudo files: exit" 0 $?
  check "pseudo files read to their size" "$("$CX" ls "$WORK/proc.cx" /proc/sys/kernel/random/ | sed "s/.*/$empty/")" \
    "$("$CX" ls -l "$WORK/proc.cx" /proc/sys/kernel/random/ | grep -o 'SHA256="[0-9a-f]*"')"
fi
G="$WORK/growing"
mkdir "$G"
truncate -s 1G "$G/file"  # sparse
(while :; do printf x >>"$G/file"; done) &
grower=$!
"$CX" index --checksum "$G" "$WORK/growing.cx" 2>"$WORK/stderr"
status=$?
kill "$grower"
wait "$grower" 2>/dev/null
check "changed while read: exit" 1 "$status"
check "changed while read: warning" "cx: warning: $G/file: cannot read for its checksum: changed while read" \
  "$(grep '^cx: warning' "$WORK/stderr")"
check "changed while read: marked" 'Unreadable="changed while read"' \
  "$("$CX" ls -l "$WORK/growing.cx" "$G/" | grep -o 'Unreadable=.*\|SHA256=.*')"

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
