#!/usr/bin/env bash
# cx index never destroys what it replaces: files that are not containers are
# refused, the previous snapshot survives a failed, interrupted or killed
# re-index byte for byte, two writers never both win, a program's open
# transaction is respected, and the container keeps its permissions.
set -uo pipefail

# shellcheck source=cli/tests/checks.sh
source "$(dirname "$0")/checks.sh"

sum() { sha256sum "$1" | cut -d' ' -f1; }
state() { "$CX" info "$1" 2>/dev/null | sed -n 's/^state\t//p'; }
leftovers() { (cd "$(dirname "$1")" && find . -maxdepth 1 -name "*$(basename "$1")*" ! -name "$(basename "$1")" | sort | tr '\n' ' '); }
files_in() { "$CX" ls "$1" 2>/dev/null | while read -r folder; do "$CX" ls "$1" "$folder"; done | wc -l; }

T="$WORK/tree"
mkdir -p "$T/a/b" "$T/c"
echo one >"$T/a/x"
echo two >"$T/a/b/y"
echo three >"$T/c/z"

# Not a container: refused before a byte is written, unless --force. Nothing
# beside it is touched either: a file of another program named like a run's
# leftover stays, and the folder is not modified.
sqlite3 "$WORK/other.db" 'CREATE TABLE Accounts (Id, Name); INSERT INTO Accounts VALUES (1, "a");'
printf 'notes\n' >"$WORK/notes.txt"
echo "another program's" >"$WORK/.notes.txt.tmpA1b2C3"
: >"$WORK/err"
touch -d 2020-01-01 "$WORK"
for f in other.db notes.txt; do
  before=$(sum "$WORK/$f")
  "$CX" index "$T" "$WORK/$f" 2>"$WORK/err"
  check "$f refused" 2 $?
  check "$f unchanged" "$before" "$(sum "$WORK/$f")"
  check "$f one line naming it" "1 yes" "$(wc -l <"$WORK/err") $(grep -q "$f" "$WORK/err" && echo yes)"
  "$CX" index --update "$T" "$WORK/$f" 2>/dev/null
  check "$f refused for --update" "2 $before" "$? $(sum "$WORK/$f")"
done
check "leftovers of refusals" "" "$(leftovers "$WORK/other.db")"
check "refusals leave the folder alone" "2020-01-01 yes" \
  "$(date -r "$WORK" +%F) $([ -f "$WORK/.notes.txt.tmpA1b2C3" ] && echo yes)"
"$CX" index --force "$T" "$WORK/notes.txt" 2>/dev/null
check "--force replaces" "0 complete" "$? $(state "$WORK/notes.txt")"

# Where the container goes: as the kernel resolves it, in a folder that exists.
"$CX" index "$T" "$WORK/missing/c.cx" 2>/dev/null
check "missing folder refused" "2 no" "$? $([ -e "$WORK/missing" ] && echo yes || echo no)"
"$CX" index "$T" "$WORK/notadir/" 2>/dev/null
check "folder name refused" "2 no" "$? $([ -e "$WORK/notadir" ] && echo yes || echo no)"
mkdir -p "$WORK/deep/inner"
ln -s "$WORK/deep/inner" "$WORK/lnk"
"$CX" index "$T" "$WORK/lnk/../keep.cx" 2>/dev/null
check "lnk/.. is the link's parent" "yes no" \
  "$([ -f "$WORK/deep/keep.cx" ] && echo yes || echo no) $([ -e "$WORK/keep.cx" ] && echo yes || echo no)"

# Permissions: a new container is private, a replaced one keeps its mode.
"$CX" index "$T" "$WORK/s.cx" 2>/dev/null
check "new container mode" 600 "$(stat -c %a "$WORK/s.cx")"
chmod 640 "$WORK/s.cx"
"$CX" index "$T" "$WORK/s.cx" 2>/dev/null
check "replaced container keeps its mode" 640 "$(stat -c %a "$WORK/s.cx")"
check "no side files after index" "" "$(leftovers "$WORK/s.cx")"

# One whose owner and group a new snapshot could not keep is refused, and
# nothing beside it is touched: not even the user's own leftovers.
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null; then
  O="$WORK/owned"
  mkdir "$O"
  "$CX" index "$T" "$O/c.cx" 2>/dev/null
  chmod 666 "$O/c.cx"
  chown nobody "$O"
  chmod 711 "$WORK"
  as_nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  "${as_nobody[@]}" mkdir -m700 "$O/.c.cx.tmpAAAAAA"
  touch -d 2020-01-01 "$O"
  before=$(sum "$O/c.cx")
  "${as_nobody[@]}" "$CX" index "$T" "$O/c.cx" 2>"$WORK/err"
  check "another owner's container refused" "2 1 yes" \
    "$? $(wc -l <"$WORK/err") $(grep -q 'could not keep' "$WORK/err" && echo yes)"
  check "another owner's container: nothing touched" "$before 2020-01-01 yes" \
    "$(sum "$O/c.cx") $(date -r "$O" +%F) $([ -d "$O/.c.cx.tmpAAAAAA" ] && echo yes)"
  chmod 700 "$WORK"
else
  echo "skipped: another owner's container (needs root and setpriv)"
fi

# --update keeps the container equal to the tree.
rm "$T/c/z"
rm -r "$T/a/b"
echo four >"$T/a/w"
"$CX" index --update "$T" "$WORK/s.cx" 2>"$WORK/err"
check "update exit" 0 $?
check "update summary" "2 files" "$(grep -o '[0-9]* files' "$WORK/err")"
check "update holds what is there" 2 "$(files_in "$WORK/s.cx")"
check "update drops gone folders" "" "$("$CX" ls "$WORK/s.cx" | grep '/a/b/')"
check "update state" complete "$(state "$WORK/s.cx")"

# --update walks as the snapshot was taken: its digests and exclude rules
# stay, and an option given replaces its one setting.
U="$WORK/settings"
mkdir -p "$U/src" "$U/logs"
echo a >"$U/src/a"
echo l >"$U/logs/l"
digests() { "$CX" find "$WORK/u.cx" "$U/src/a" | grep -c 'SHA256='; }
"$CX" index --checksum --exclude logs/ "$U" "$WORK/u.cx" 2>/dev/null
"$CX" index --update "$U" "$WORK/u.cx" 2>/dev/null
check "--update keeps the digests" "0 1" "$? $(digests)"
check "--update keeps the exclude rules" "exclude	logs/ no" \
  "$("$CX" info "$WORK/u.cx" | grep '^exclude') $("$CX" ls "$WORK/u.cx" | grep -q '/logs/' && echo yes || echo no)"
"$CX" index --update --no-checksum "$U" "$WORK/u.cx" 2>/dev/null
check "an option given replaces its one setting" "0 0 exclude	logs/" \
  "$? $(digests) $("$CX" info "$WORK/u.cx" | grep '^exclude')"

# A snapshot of another folder is neither updated nor replaced unless asked.
mkdir -p "$WORK/one/x" "$WORK/two/y"
touch "$WORK/one/x/f" "$WORK/two/y/g"
"$CX" index "$WORK/one" "$WORK/snap.cx" 2>/dev/null
before=$(sum "$WORK/snap.cx")
"$CX" index --update "$WORK/two" "$WORK/snap.cx" 2>"$WORK/err"
check "--update of another folder refused" "2 1 $before" "$? $(wc -l <"$WORK/err") $(sum "$WORK/snap.cx")"
check "the refusal names both folders" yes \
  "$(grep -q "$WORK/one" "$WORK/err" && grep -q "$WORK/two" "$WORK/err" && echo yes)"
"$CX" index "$WORK/two" "$WORK/snap.cx" 2>/dev/null
check "a new snapshot of another folder refused" "2 $before" "$? $(sum "$WORK/snap.cx")"
"$CX" index --update --force "$WORK/two" "$WORK/snap.cx" 2>/dev/null
check "--force starts afresh" "0 $WORK/two/y/ no" \
  "$? $("$CX" ls "$WORK/snap.cx" | grep "$WORK/two/y/") $("$CX" ls "$WORK/snap.cx" | grep -q "$WORK/one" && echo yes || echo no)"

# A recorded setting that cannot be read back stops a check and an update:
# nothing is compared with half the rules.
cp "$WORK/u.cx" "$WORK/bad.cx"
sqlite3 "$WORK/bad.cx" "UPDATE Storage SET Value = 'logs' || char(10) || 'bad\' WHERE Key = 'ExcludeRules';"
"$CX" check "$WORK/bad.cx" >"$WORK/out" 2>"$WORK/err"
check "check with a malformed rule" "2 1 yes" \
  "$? $(wc -l <"$WORK/err") $(grep 'bad.cx' "$WORK/err" | grep -q 'ExcludeRules' && echo yes)"
"$CX" index --update "$U" "$WORK/bad.cx" 2>"$WORK/err"
check "update with a malformed rule" "2 yes" "$? $(grep -q 'ExcludeRules' "$WORK/err" && echo yes)"

# A program holding a write transaction on the container is respected.
fifo="$WORK/host.fifo"
mkfifo "$fifo"
sqlite3 "$WORK/s.cx" <"$fifo" >"$WORK/host.out" 2>&1 &
host=$!
exec 7>"$fifo"
echo "BEGIN IMMEDIATE; INSERT INTO Storage VALUES ('Host', 'kept');" >&7
sleep 0.3
"$CX" index "$T" "$WORK/s.cx" 2>"$WORK/err"
check "index beside a host's transaction" "2 locked by another writer" "$? $(grep -o 'locked by another writer' "$WORK/err")"
echo "COMMIT;" >&7
exec 7>&-
wait "$host"
check "host's commit kept" "kept" "$(sqlite3 "$WORK/s.cx" "SELECT Value FROM Storage WHERE Key='Host'")"

# Two writers at once: never both succeed, never a lost or mixed snapshot.
# In odd rounds the first is held still (SIGSTOP) once it has started its
# temporary file, so the second surely runs while the first holds the
# container; in even ones both start together, and whichever runs second may
# then succeed after the first: the container must hold one whole snapshot
# either way.
B="$WORK/big"
for d in $(seq 1 20); do mkdir -p "$B/d$d" && (cd "$B/d$d" && touch f{1..200}); done
both=0
bad=0
overlapped=0
for round in $(seq 1 50); do
  rm -f "$WORK/two.cx"
  "$CX" index "$B" "$WORK/two.cx" 2>/dev/null &
  first=$!
  held=0
  if [ $((round % 2)) = 1 ]; then
    for _ in $(seq 1 200); do
      if [ -n "$(find "$WORK" -maxdepth 1 -name '.two.cx.tmp*' -print -quit)" ]; then
        # Held still while its temporary file is there: it holds the lock.
        kill -STOP "$first" 2>/dev/null &&
          [ -n "$(find "$WORK" -maxdepth 1 -name '.two.cx.tmp*' -print -quit)" ] && held=1
        [ "$held" = 1 ] || kill -CONT "$first" 2>/dev/null
        break
      fi
      kill -0 "$first" 2>/dev/null || break
      sleep 0.01
    done
  fi
  "$CX" index "$T" "$WORK/two.cx" 2>/dev/null &
  second=$!
  if [ "$held" = 1 ]; then
    wait "$second"
    s2=$?
    kill -CONT "$first"
    wait "$first"
    s1=$?
  else
    wait "$first"
    s1=$?
    wait "$second"
    s2=$?
  fi
  [ "$held" = 1 ] && [ "$s1" = 0 ] && [ "$s2" = 0 ] && both=$((both + 1))
  overlapped=$((overlapped + held))
  case "$(state "$WORK/two.cx"):$(files_in "$WORK/two.cx")" in
    complete:4000 | complete:2) ;;
    *) bad=$((bad + 1)) ;;
  esac
done
check "two writers: never both" 0 "$both"
[ "$overlapped" -gt 0 ] || check "two writers overlapped at least once" some none
check "two writers: never lost or mixed" 0 "$bad"
check "two writers: no leftovers" "" "$(leftovers "$WORK/two.cx")"

# Ctrl-C and SIGKILL at random moments leave the previous snapshot as it was.
"$CX" index "$T" "$WORK/keep.cx" 2>/dev/null
for signal in INT KILL; do
  changed=0
  for round in $(seq 1 20); do
    before=$(sum "$WORK/keep.cx")
    "$CX" index --force "$B" "$WORK/keep.cx" 2>/dev/null &
    pid=$!
    sleep "0.0$((RANDOM % 10))"
    kill -"$signal" "$pid" 2>/dev/null
    { wait "$pid"; } 2>/dev/null
    status=$?
    # A kill that lands after the rename finds the new snapshot in place,
    # whole; anything else must leave the previous one as it was.
    if [ "$status" != 0 ] && [ "$(sum "$WORK/keep.cx")" != "$before" ] &&
      { [ "$signal" = INT ] || [ "$(state "$WORK/keep.cx"):$(files_in "$WORK/keep.cx")" != complete:4000 ]; }; then
      changed=$((changed + 1))
    fi
    [ "$status" = 0 ] && "$CX" index --force "$T" "$WORK/keep.cx" 2>/dev/null  # finished first: start again from the small one
    [ "$signal" = INT ] && [ -n "$(leftovers "$WORK/keep.cx")" ] && changed=$((changed + 1))
  done
  check "SIG$signal keeps the previous snapshot" 0 "$changed"
done
"$CX" index --force "$T" "$WORK/keep.cx" 2>/dev/null
check "the next run removes a killed run's leftovers" "" "$(leftovers "$WORK/keep.cx")"

# Inside the tree, a dead run's leftovers are removed and never recorded;
# a folder named so that holds more than a run puts there stays, and is
# recorded like anything else.
I="$WORK/inside"
mkdir "$I"
echo a >"$I/f"
"$CX" index "$I" "$I/in.cx" 2>/dev/null
mkdir -m700 "$I/.in.cx.tmpAAAAAA" "$I/.in.cx.tmpBBBBBB"
echo dead >"$I/.in.cx.tmpAAAAAA/in.cx"
echo planted >"$I/.in.cx.tmpBBBBBB/other"
"$CX" index "$I" "$I/in.cx" 2>/dev/null
"$CX" check "$I/in.cx" >"$WORK/out" 2>&1
status=$?
check "leftovers inside the tree: removed, or recorded" "no 0 0 " \
  "$([ -e "$I/.in.cx.tmpAAAAAA" ] && echo yes || echo no) \
$("$CX" find "$I/in.cx" "$I/.in.cx.tmpBBBBBB/other" >/dev/null 2>&1; echo $?) $status $(cat "$WORK/out")"

# A second Ctrl-C ends a run at once, and still leaves nothing behind; a
# log or a cron mail gets plain lines, never a terminal's control bytes.
left=0
escapes=0
for round in $(seq 1 15); do
  "$CX" index --force --checksum "$B" "$WORK/twice.cx" 2>"$WORK/err" &
  pid=$!
  sleep "0.0$((RANDOM % 10))"
  kill -INT "$pid" 2>/dev/null
  kill -INT "$pid" 2>/dev/null
  { wait "$pid"; } 2>/dev/null
  [ -n "$(leftovers "$WORK/twice.cx")" ] && left=$((left + 1))
  grep -q $'\033' "$WORK/err" && escapes=$((escapes + 1))
done
check "two Ctrl-C leave nothing behind" 0 "$left"
check "no control bytes on a stderr that is no terminal" 0 "$escapes"
check "state after the rounds" complete "$(state "$WORK/keep.cx")"

# A first snapshot cut short keeps what was written, marked incomplete.
"$CX" index "$B" "$WORK/first.cx" 2>/dev/null &
pid=$!
sleep 0.05
kill -INT "$pid" 2>/dev/null
wait "$pid"
case "$?:$(state "$WORK/first.cx")" in
  130:incomplete | 0:complete) check "interrupted first snapshot" ok ok ;;
  *) check "interrupted first snapshot" "130:incomplete" "$?:$(state "$WORK/first.cx")" ;;
esac

# A real full disk at many points of the write: the previous snapshot stays.
if [ "$(id -u)" = 0 ] && mkdir -p "$WORK/disk" && mount -t tmpfs -o size=4m tmpfs "$WORK/disk" 2>/dev/null; then
  "$CX" index "$T" "$WORK/disk/c.cx" 2>/dev/null
  cp "$WORK/disk/c.cx" "$WORK/small.cx"
  umount "$WORK/disk"
  changed=0
  failed=0
  for kib in 160 224 288 352 416 480 544 608 672 736 800 864 928 992; do
    mount -t tmpfs -o size=${kib}k tmpfs "$WORK/disk" || break
    cp "$WORK/small.cx" "$WORK/disk/c.cx"
    before=$(sum "$WORK/disk/c.cx")
    "$CX" index --force "$B" "$WORK/disk/c.cx" 2>/dev/null
    status=$?
    if [ "$status" != 0 ]; then
      failed=$((failed + 1))
      [ "$(sum "$WORK/disk/c.cx")" != "$before" ] && changed=$((changed + 1))
      [ -n "$(leftovers "$WORK/disk/c.cx")" ] && changed=$((changed + 1))
    fi
    umount "$WORK/disk"
  done
  check "full disk keeps the previous snapshot" 0 "$changed"
  [ "$failed" -gt 0 ] || check "the disk filled at least once" "some" "none"
else
  echo "skipped: the full-disk rounds need root to mount a tmpfs"
fi

checks_summary
