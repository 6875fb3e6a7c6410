#!/usr/bin/env bash
# Reading snapshots where reading used to write or to be fooled: on read-only
# media, as another user with read permission only in a folder they cannot
# write, a new snapshot in rollback-journal mode, and in a sticky
# world-writable folder where another user planted a log beside the
# container. Every read command works (or refuses the planted file, naming
# it), changes no byte and leaves nothing beside the container. Needs root
# for the mount and the other users; skipped otherwise.
set -uo pipefail

# shellcheck source=cli/tests/checks.sh
source "$(dirname "$0")/checks.sh"

if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: needs root to mount a file system and act as other users"
  exit 0
fi

MEDIA="$WORK/media"
trap 'umount "$MEDIA" 2>/dev/null; rm -rf "$WORK"' EXIT
chmod 0711 "$WORK"  # the other users pass through to their folders

as() {  # as USER COMMAND...: runs the command as USER without root's groups
  local user=$1
  shift
  setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups "$@"
}

# The exit statuses of every read command on OLD and NEW, run as USER ("" for
# root), one per line; the first file found is looked up.
read_all() {  # read_all USER OLD NEW
  local user=$1 old=$2 new=$3
  local -a run=()
  [ -n "$user" ] && run=(setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups)
  for command in "info $new" "ls $new" "ls $new $T/" "find $new $T/x" "review $new" "review --collect $new"; do
    # shellcheck disable=SC2086  # the words of the command
    "${run[@]}" "$CX" $command >/dev/null 2>>"$WORK/stderr"
    echo "$command: $?"
  done
  "${run[@]}" "$CX" diff "$old" "$new" >/dev/null 2>>"$WORK/stderr"
  echo "diff: $?"
}
expected_statuses() {  # the statuses read_all must see on OLD and NEW
  echo "info $2: 0
ls $2: 0
ls $2 $T/: 0
find $2 $T/x: 0
review $2: 0
review --collect $2: 0
diff: 1"
}

beside() {  # the names in FOLDER, sorted, on one line
  find "$1" -mindepth 1 -maxdepth 1 -printf '%f\n' | sort | tr '\n' ' '
}

T="$WORK/tree"
mkdir -p "$T/sub"
echo one >"$T/x"
echo two >"$T/sub/y"
"$CX" index "$T" "$WORK/old.cx" 2>/dev/null
echo changed >"$T/sub/y"
echo three >"$T/z"
"$CX" index "$T" "$WORK/new.cx" 2>/dev/null
chmod 0644 "$WORK/old.cx" "$WORK/new.cx"

# Read-only media.
mkdir "$MEDIA"
if mount -t tmpfs -o size=8m tmpfs "$MEDIA"; then
  cp "$WORK/old.cx" "$WORK/new.cx" "$MEDIA/"
  sums=$(cd "$MEDIA" && sha256sum old.cx new.cx)
  mount -o remount,ro "$MEDIA"
  : >"$WORK/stderr"
  check "read-only media: every read command works" "$(expected_statuses "$MEDIA/old.cx" "$MEDIA/new.cx")" \
    "$(read_all "" "$MEDIA/old.cx" "$MEDIA/new.cx")"
  check "read-only media: no complaint" "" "$(grep -v ' changes: ' "$WORK/stderr")"
  check "read-only media: same bytes" "$sums" "$(cd "$MEDIA" && sha256sum old.cx new.cx)"
  check "read-only media: nothing beside" "new.cx old.cx " "$(beside "$MEDIA")"
  umount "$MEDIA"
else
  echo "note: no tmpfs mount here; the read-only media case did not run"
fi

# Another user with read permission only, in a folder they cannot write.
SHARED="$WORK/shared"
mkdir "$SHARED"
cp "$WORK/old.cx" "$WORK/new.cx" "$SHARED/"
chmod 0644 "$SHARED/old.cx" "$SHARED/new.cx"
chmod 0555 "$SHARED"
sums=$(cd "$SHARED" && sha256sum old.cx new.cx)
: >"$WORK/stderr"
check "other user: every read command works" "$(expected_statuses "$SHARED/old.cx" "$SHARED/new.cx")" \
  "$(read_all nobody "$SHARED/old.cx" "$SHARED/new.cx")"
check "other user: no complaint" "" "$(grep -v ' changes: ' "$WORK/stderr")"
check "other user: same bytes" "$sums" "$(cd "$SHARED" && sha256sum old.cx new.cx)"
check "other user: nothing beside" "new.cx old.cx " "$(beside "$SHARED")"

# A new snapshot in rollback-journal mode keeps its bytes and its mode.
JOURNAL="$WORK/journal"
mkdir "$JOURNAL"
cp "$WORK/old.cx" "$WORK/new.cx" "$JOURNAL/"
sqlite3 "$JOURNAL/new.cx" 'PRAGMA journal_mode=DELETE;' >/dev/null
sums=$(cd "$JOURNAL" && sha256sum old.cx new.cx)
check "rollback-journal new: diff exit" 1 "$("$CX" diff "$JOURNAL/old.cx" "$JOURNAL/new.cx" >/dev/null 2>&1; echo $?)"
check "rollback-journal new: same bytes" "$sums" "$(cd "$JOURNAL" && sha256sum old.cx new.cx)"
check "rollback-journal new: nothing beside" "new.cx old.cx " "$(beside "$JOURNAL")"

# A sticky world-writable folder: the container is daemon's, and nobody
# reads it there, then plants a log taken from a copy with a forged change.
STICKY="$WORK/sticky"
mkdir "$STICKY"
chmod 1777 "$STICKY"
cp "$WORK/new.cx" "$STICKY/c.cx"
chown daemon "$STICKY/c.cx"
chmod 0644 "$STICKY/c.cx"
sum=$(sha256sum <"$STICKY/c.cx")
check "sticky: another user's ls works" 0 "$(as nobody "$CX" ls "$STICKY/c.cx" >/dev/null 2>&1; echo $?)"
check "sticky: another user's ls leaves nothing" "c.cx " "$(beside "$STICKY")"

FORGERY="$WORK/forgery"
mkdir "$FORGERY"
cp "$WORK/new.cx" "$FORGERY/c.cx"
sqlite3 "$FORGERY/c.cx" "PRAGMA wal_autocheckpoint=0; DELETE FROM Files WHERE FileName='x';" \
  ".shell cp $FORGERY/c.cx-wal $FORGERY/planted" >/dev/null
chmod 0644 "$FORGERY/planted"
as nobody cp "$FORGERY/planted" "$STICKY/c.cx-wal"
planted=$(sha256sum <"$STICKY/c.cx-wal")
refusal="cx: $STICKY/c.cx: c.cx-wal is not owned by the container's owner; not reading it"
for user in daemon root; do
  out=$(as "$user" "$CX" find "$STICKY/c.cx" "$T/x" 2>&1)
  check "planted log: $user's find exit" 2 "$?"
  check "planted log: $user's find names the file" "$refusal" "$out"
  out=$(as "$user" "$CX" diff "$WORK/old.cx" "$STICKY/c.cx" 2>&1)
  check "planted log: $user's diff exit" 2 "$?"
  check "planted log: $user's diff names the file" "$refusal" "$out"
done
check "planted log: the container keeps its bytes" "$sum" "$(sha256sum <"$STICKY/c.cx")"
check "planted log: the planted file is not touched" "$planted" "$(sha256sum <"$STICKY/c.cx-wal")"
check "planted log: nothing else beside" "c.cx c.cx-wal " "$(beside "$STICKY")"

# A report describes one state of a container that a program writes in
# place meanwhile, or says it could not and ends with exit status 2: never
# a mix of the states the writer went through.
LIVE="$WORK/live"
mkdir -p "$LIVE/tree"
for d in $(seq 1 60); do mkdir "$LIVE/tree/d$d" && (cd "$LIVE/tree/d$d" && touch f{1..100}); done
"$CX" index "$LIVE/tree" "$LIVE/base.cx" 2>/dev/null
cp "$LIVE/base.cx" "$LIVE/live.cx"
( for r in $(seq 1 150); do
    sqlite3 "$LIVE/live.cx" "UPDATE Files SET Metadata = 'Type=\"file\" Size=\"$r\"';" 2>/dev/null
  done ) &
writer=$!
reports=0
mixed=0
while kill -0 "$writer" 2>/dev/null; do
  "$CX" diff --ignore type "$LIVE/base.cx" "$LIVE/live.cx" >"$LIVE/out" 2>/dev/null
  status=$?
  states=$(grep -o 'size 0->[0-9]*' "$LIVE/out" | sort -u | wc -l)
  reports=$((reports + 1))
  [ "$status" != 2 ] && [ "$states" -gt 1 ] && mixed=$((mixed + 1))
done
wait "$writer"
check "a container written in place: no report mixes its states ($reports reports)" 0 "$mixed"

# The new snapshot is made in a folder only its user can enter: in a sticky
# world-writable folder, no file SQLite makes beside it ever lies where
# another user could have put one first.
"$CX" index "$T" "$STICKY/own.cx" 2>/dev/null
for round in 1 2 3; do
  echo "round $round" >"$T/x"
  "$CX" index --update "$T" "$STICKY/own.cx" 2>/dev/null &
  indexer=$!
  while kill -0 "$indexer" 2>/dev/null; do
    find "$STICKY" -mindepth 1 -maxdepth 1 -name '.own.cx.tmp*' -printf '%f %y %m\n' >>"$WORK/seen"
  done
  wait "$indexer"
done
check "a run's temporary snapshot: only a private folder beside the container" "" \
  "$(grep -v '^\.own\.cx\.tmp[^ -]* d 700$' "$WORK/seen" | sort -u)"

# A snapshot another user replaces would pass to that user: refused unless
# --force, so that the owner and group the README promises are kept.
OPEN="$WORK/open"
mkdir "$OPEN"
chmod 0777 "$OPEN"
"$CX" index "$T" "$OPEN/c.cx" 2>/dev/null
chmod 0644 "$OPEN/c.cx"
out=$(as nobody "$CX" index "$T" "$OPEN/c.cx" 2>&1)
check "another user's index of root's snapshot" "2 root 1" "$? $(stat -c %U "$OPEN/c.cx") $(grep -c 'force' <<<"$out")"
check "another user's index of root's snapshot, forced" "0 nobody" \
  "$(as nobody "$CX" index --force "$T" "$OPEN/c.cx" >/dev/null 2>&1; echo "$? $(stat -c %U "$OPEN/c.cx")")"

# A file the checking user cannot read is unknown, never clean: its content
# may have changed where its size and times did not.
if setfacl -m u:nobody:r "$T/x" 2>/dev/null; then
  SEEN="$WORK/seen-tree"
  mkdir -p "$SEEN"
  echo same >"$SEEN/f"
  chmod 0755 "$SEEN"
  chmod 0644 "$SEEN/f"
  mkdir "$WORK/mine"
  chown nobody "$WORK/mine"
  as nobody "$CX" index --checksum "$SEEN" "$WORK/mine/unreadable.cx" 2>/dev/null
  cp -p "$SEEN/f" "$WORK/f.keep"
  echo diff >"$SEEN/f"
  touch -r "$WORK/f.keep" "$SEEN/f"
  setfacl -m u:nobody:- "$SEEN/f"
  out=$(as nobody "$CX" check --checksum "$WORK/mine/unreadable.cx" 2>/dev/null)
  check "a file the check cannot read is unknown" "1 ? $SEEN/f" "$? $(cut -f1 <<<"$out")"
fi

# Two successive mounts of a memory file system get the same device number
# and hand out the same inode numbers: an unrelated file with the same size
# and time at another path is no move.
MOUNT="$WORK/mounted"
mkdir "$MOUNT"
if mount -t tmpfs -o size=1m tmpfs "$MOUNT" 2>/dev/null; then
  printf abc >"$MOUNT/f"
  touch -d '2001-01-01 UTC' "$MOUNT/f"
  "$CX" index "$MOUNT" "$WORK/mount1.cx" 2>/dev/null
  umount "$MOUNT"
  mount -t tmpfs -o size=1m tmpfs "$MOUNT"
  printf xyz >"$MOUNT/g"
  touch -d '2001-01-01 UTC' "$MOUNT/g"
  "$CX" index "$MOUNT" "$WORK/mount2.cx" 2>/dev/null
  umount "$MOUNT"
  inode() { "$CX" find "$1" "$2" | sed -n 's/.*Inode="\([^"]*\)".*/\1/p'; }
  if [ "$(inode "$WORK/mount1.cx" "$MOUNT/f")" = "$(inode "$WORK/mount2.cx" "$MOUNT/g")" ]; then
    check "files of two mounts are not one file moved" "D $MOUNT/f
A $MOUNT/g" "$("$CX" diff "$WORK/mount1.cx" "$WORK/mount2.cx" 2>/dev/null | grep -v '/$')"
  else
    echo "note: the two mounts gave other device or inode numbers; the move case did not run"
  fi
fi

checks_summary
