#!/usr/bin/env bash
# What cx diff says about each change: the attributes that changed with
# their old and new values (text and JSON), what an intruder changes without
# touching the content (capabilities, extended attributes, ACLs, flags, hard
# links, a content edit with its time put back), moves, --ignore, path
# filters, --no-renames, and the progress line on a terminal.
set -uo pipefail

# shellcheck source=cli/tests/checks.sh
source "$(dirname "$0")/checks.sh"
tab=$'\t'

fixed() { touch -h -d '2001-01-01 UTC' "$@"; }
when=2001-01-01T00:00:00.000000000Z

# One entry per attribute, changed alone: NAME|SETUP|CHANGE|EXPECTED FIELD.
# Every change but one moves the status change time as well, which the
# table leaves out (--ignore ctime) and the ctime row shows alone.
acl1=u::rw-,u:1000:r--,g::r--,m::r--,o::r--
acl2=u::rw-,u:1000:r--,u:1001:r--,g::r--,m::r--,o::r--
rows=(
  "mtime|printf abc >mtime|touch -d '2002-02-02 UTC' mtime|mtime $when->2002-02-02T00:00:00.000000000Z"
  "mode|printf abc >mode; chmod 644 mode|chmod 600 mode|mode 0644->0600"
  "size|printf abc >size|printf abcde >size; fixed size|size 3->5"
  "target|ln -s aaaa target|ln -sfn bbbb target; fixed target|target aaaa->bbbb"
  "digest|printf abc >digest|printf abd >digest; fixed digest|digest"
  "nlink|printf abc >nlink|ln nlink ../nlink.hard|nlink 1->2"
)
# What the file system and the user can change here: each is tried first.
probe="$WORK/probe"
: >"$probe"
if setfattr -n user.probe -v 1 "$probe" 2>/dev/null; then
  rows+=("xattr|printf abc >xattr|setfattr -n user.note -v 1 xattr|xattr.user.note (none)->1")
else
  echo "xattr row skipped: no user extended attributes here"
fi
if setfacl -m u:1000:r "$probe" 2>/dev/null; then
  # A second named entry leaves the mask, and so the mode bits, as they were.
  rows+=("acl|printf abc >acl; chmod 644 acl; setfacl -m u:1000:r acl|setfacl -m u:1001:r acl|acl $acl1->$acl2"
         "dacl/|mkdir dacl|setfacl -d -m u:1000:rx dacl|default_acl (none)->u::rwx,u:1000:r-x,g::r-x,m::r-x,o::r-x")
else
  echo "acl rows skipped: no ACLs here"
fi
if [ "$(id -u)" = 0 ]; then
  rows+=("uid|printf abc >uid; chown 0 uid|chown 65534 uid|uid 0->65534"
         "gid|printf abc >gid; chgrp 0 gid|chgrp 65534 gid|gid 0->65534"
         "rdev|mknod rdev c 1 3|rm rdev; mknod rdev c 1 5; fixed rdev|rdev 259->261")
  setcap cap_setuid+ep "$probe" 2>/dev/null &&
    rows+=("caps|printf abc >caps|setcap cap_setuid+ep caps|caps (none)->cap_setuid=ep")
  chattr +i "$probe" 2>/dev/null && chattr -i "$probe" &&
    rows+=("immutable|printf abc >immutable|chattr +i immutable|flags (none)->i"
           "append|printf abc >append|chattr +a append|flags (none)->a")
else
  echo "uid, gid, rdev, caps and flags rows skipped: not root"
fi
rows+=("ctime|printf abc >ctime|printf abd >ctime; fixed ctime|ctime")

T="$WORK/attributes"
mkdir -p "$T"
for row in "${rows[@]}"; do
  IFS='|' read -r name setup _ <<<"$row"
  (cd "$T" && eval "$setup" && fixed "$name")
done
# Digests in a pair of their own: every other row changes its content.
"$CX" index "$T" "$WORK/a1.cx" 2>/dev/null
"$CX" index --checksum "$T" "$WORK/c1.cx" 2>/dev/null
for row in "${rows[@]}"; do
  IFS='|' read -r _ _ change _ <<<"$row"
  (cd "$T" && eval "$change")
done
"$CX" index "$T" "$WORK/a2.cx" 2>/dev/null
"$CX" index --checksum "$T" "$WORK/c2.cx" 2>/dev/null
chattr -i -a "$T/immutable" "$T/append" 2>/dev/null  # so that the folder can go

value() { "$CX" find "$1" "$T/$2" | sed -n "s/.* $3=\"\([^\"]*\)\".*/\1/p"; }  # value CONTAINER NAME KEY
expected=""
for row in "${rows[@]}"; do
  IFS='|' read -r name _ _ field <<<"$row"
  [ "$name" != digest ] || field="digest $(value "$WORK/c1.cx" digest SHA256)->$(value "$WORK/c2.cx" digest SHA256)"
  [ "$name" = ctime ] && continue
  expected+="M $T/$name$tab$field"$'\n'
done
expected=$(printf '%s' "$expected" | LC_ALL=C sort)
both() {  # both ARGS...: cx diff ARGS of the plain pair, and the digest line of the other pair
  "$CX" diff --ignore ctime "$@" "$WORK/a1.cx" "$WORK/a2.cx"
  "$CX" diff --ignore ctime "$@" "$WORK/c1.cx" "$WORK/c2.cx" | grep -F "$T/digest"
}
both >"$WORK/text" 2>"$WORK/stderr"
check "each attribute alone, text" "$expected" "$(LC_ALL=C sort "$WORK/text")"
check "each attribute alone, no note" "" "$(grep -v ' changes: ' "$WORK/stderr")"
both --json >"$WORK/json"
check "each attribute alone, JSON" "$expected" "$(python3 -c '
import json, sys
for line in open(sys.argv[1]):
    row = json.loads(line)
    folder = row["path"].endswith("/")
    assert row["change"] == "modified" and row["kind"] == ("folder" if folder else "file"), row
    (name, values), = row["changes"].items()
    assert row["type"] == ("dir" if folder else {"target": "link", "rdev": "chardev"}.get(name, "file")), row
    kinds = {type(values["old"]), type(values["new"])} - {type(None)}
    assert kinds == ({int} if name in ("size", "uid", "gid", "nlink", "rdev") else {str}), row
    shown = lambda value: "(none)" if value is None else value
    print("M %s\t%s %s->%s" % (row["path"], name, shown(values["old"]), shown(values["new"])))' "$WORK/json" |
  LC_ALL=C sort)"
# An edit whose modification time was put back is seen by its status change
# time, which no one but the kernel sets.
check "content edit with its time put back" \
  "M $T/ctime${tab}ctime $(value "$WORK/a1.cx" ctime CTime)->$(value "$WORK/a2.cx" ctime CTime)" \
  "$("$CX" diff "$WORK/a1.cx" "$WORK/a2.cx" "$T/ctime")"
check "ctime and an extended attribute ignored" "$(grep -v -e "^M $T/xattr$tab" -e "^M $T/digest$tab" <<<"$expected")" \
  "$("$CX" diff --ignore ctime,xattr.user.note "$WORK/a1.cx" "$WORK/a2.cx" | LC_ALL=C sort)"

check "ignore" "$(grep -v -e "^M $T/mode$tab" -e "^M $T/size$tab" -e "^M $T/mtime$tab" <<<"$expected")" \
  "$(both --ignore mode,size --ignore MTime | LC_ALL=C sort)"
check "folder times only when asked" "0 1" \
  "$("$CX" diff "$WORK/a1.cx" "$WORK/a2.cx" | grep -c "^M $T/$tab") $("$CX" diff --folder-mtime "$WORK/a1.cx" "$WORK/a2.cx" | grep -c "^M $T/${tab}mtime ")"
check "path filter" "M $T/size${tab}size 3->5" "$("$CX" diff --ignore ctime "$WORK/a1.cx" "$WORK/a2.cx" "$T/size")"
check "relative path filters" "$(grep -e "^M $T/mode$tab" -e "^M $T/target$tab" <<<"$expected")" \
  "$(cd "$T" && "$CX" diff --ignore ctime "$WORK/a1.cx" "$WORK/a2.cx" target ./mode)"
check "ignore digest" "0:" \
  "$("$CX" diff --ignore digest,ctime "$WORK/c1.cx" "$WORK/c2.cx" "$T/digest" >"$WORK/out"; echo "$?:$(cat "$WORK/out")")"
check "path filter is no name prefix" "1: cx: $T/mod: in neither snapshot" \
  "$("$CX" diff "$WORK/a1.cx" "$WORK/a2.cx" "$T/mod" >"$WORK/out" 2>"$WORK/stderr"; echo "$?:$(cat "$WORK/out") $(cat "$WORK/stderr")")"

# Moves: a file, a file moved and changed, a folder moved with an entry
# removed from it, and a file deleted whose inode a new file got.
M="$WORK/moves"
mkdir -p "$M/from/inner" "$M/to"
for name in from/inner/keep from/gone single chm reused tomove; do printf '%s' "$name" >"$M/$name"; done
chmod 644 "$M/chm"
"$CX" index "$M" "$WORK/m1.cx" 2>/dev/null
mv "$M/from" "$M/to/moved"
rm "$M/to/moved/gone"
mv "$M/single" "$M/to/single2"
mv "$M/chm" "$M/to/chm2"
chmod 600 "$M/to/chm2"
rm "$M/reused"
printf 'reused' >"$M/fresh"
mkdir "$M/new"
mv "$M/tomove" "$M/new/tomove"  # into a folder the old snapshot lacks
"$CX" index "$M" "$WORK/m2.cx" 2>/dev/null
inode() { "$CX" find "$1" "$2" | sed -n 's/.*Inode="\([^"]*\)".*/\1/p'; }
if [ -n "$EXTENSION" ]; then
  # The new file stands for one that got the inode the deleted file freed.
  sqlite3 "$WORK/m2.cx" -cmd ".load ${EXTENSION%.so}" "UPDATE Files SET Metadata =
    replace(Metadata, 'Inode=\"$(inode "$WORK/m2.cx" "$M/fresh")\"', 'Inode=\"$(inode "$WORK/m1.cx" "$M/reused")\"')
    WHERE FileName = 'fresh';"
  check "reused inode stands" "$(inode "$WORK/m1.cx" "$M/reused")" "$(inode "$WORK/m2.cx" "$M/fresh")"
fi
check "moves" "A $M/fresh
D $M/reused
D $M/from/gone
A $M/new/
R $M/tomove -> $M/new/tomove
R $M/chm -> $M/to/chm2${tab}mode 0644->0600
R $M/single -> $M/to/single2
R $M/from/ -> $M/to/moved/" "$("$CX" diff "$WORK/m1.cx" "$WORK/m2.cx" 2>/dev/null)"
check "moves, stat" "moved     1 folders, 3 files" "$("$CX" diff --stat "$WORK/m1.cx" "$WORK/m2.cx" | grep '^moved')"
# Collapsing a folder only one side has hides what did not move, never a move.
check "moves with collapsed folders" "$("$CX" diff "$WORK/m1.cx" "$WORK/m2.cx" 2>/dev/null)" \
  "$("$CX" diff --collapse-folders "$WORK/m1.cx" "$WORK/m2.cx" 2>/dev/null)"
check "moves with collapsed folders, stat" "moved     1 folders, 3 files" \
  "$("$CX" diff --stat --collapse-folders "$WORK/m1.cx" "$WORK/m2.cx" | grep '^moved')"
check "move, JSON" "moved file file $M/chm {'mode': {'old': '0644', 'new': '0600'}}" "$("$CX" diff --json "$WORK/m1.cx" "$WORK/m2.cx" |
  python3 -c '
import json, sys
for row in map(json.loads, sys.stdin):
    if row["path"].endswith("/chm2"):
        print(row["change"], row["kind"], row["type"], row["old_path"], row["changes"])')"
check "move into a path filter" "R $M/single -> $M/to/single2" "$("$CX" diff "$WORK/m1.cx" "$WORK/m2.cx" "$M/to/single2")"
check "no renames" "D $M/chm
A $M/fresh
D $M/reused
D $M/single
D $M/tomove
D $M/from/
D $M/from/gone
D $M/from/inner/
D $M/from/inner/keep
A $M/new/
A $M/new/tomove
A $M/to/chm2
A $M/to/single2
A $M/to/moved/
A $M/to/moved/inner/
A $M/to/moved/inner/keep" "$("$CX" diff --no-renames "$WORK/m1.cx" "$WORK/m2.cx")"
check "collapsed folders, both kinds" "D $M/from/
A $M/new/
A $M/to/moved/" "$("$CX" diff --no-renames --collapse-folders "$WORK/m1.cx" "$WORK/m2.cx" | grep /$)"

# Every line splits back at its separators, whatever the names and values
# hold: "->" in a name or a link's target is written -\x3E.
S="$WORK/separators"
mkdir -p "$S"
printf a >"$S/a -> b"
ln -s "p->q" "$S/target"
"$CX" index "$S" "$WORK/sep1.cx" 2>/dev/null
mv "$S/a -> b" "$S/x -> y"
ln -sfn "q->r" "$S/target"
"$CX" index "$S" "$WORK/sep2.cx" 2>/dev/null
check "separators in names and values" "M $S/target${tab}target p-\\x3Eq->q-\\x3Er
R $S/a -\\x3E b -> $S/x -\\x3E y" \
  "$("$CX" diff --ignore ctime,mtime "$WORK/sep1.cx" "$WORK/sep2.cx" 2>/dev/null)"

# A typo in an attribute's name is said, not passed over.
check "--ignore of a name no side records" "2 1" \
  "$("$CX" diff --ignore mtim "$WORK/m1.cx" "$WORK/m2.cx" >/dev/null 2>"$WORK/stderr"; echo "$? $(grep -c mtim "$WORK/stderr")")"

# Every line of the JSON reports holds to the published schema: the
# attributes above and the moves (added, deleted, modified, moved), a folder
# one side could not read (unknown), a copy compared by the paths below the
# roots, names and values that are not UTF-8, and the counts of --stat.
R="$WORK/reports"
mkdir -p "$R"
cp "$WORK/json" "$R/attributes"
"$CX" diff --json "$WORK/m1.cx" "$WORK/m2.cx" >"$R/moves"
"$CX" diff --json --stat "$WORK/m1.cx" "$WORK/m2.cx" >"$R/moves-stat"
if [ -n "$EXTENSION" ]; then
  cp "$WORK/m2.cx" "$WORK/unread.cx"
  sqlite3 "$WORK/unread.cx" -cmd ".load ${EXTENSION%.so}" "
    DELETE FROM Files WHERE FolderId = (SELECT FolderId FROM Folders WHERE FolderName = '$M/to/');
    UPDATE Folders SET Metadata = Metadata || ' Unreadable=\"Permission denied\"' WHERE FolderName = '$M/to/';"
  "$CX" diff --json "$WORK/m2.cx" "$WORK/unread.cx" >"$R/unknown" 2>/dev/null
  "$CX" diff --json --stat "$WORK/m2.cx" "$WORK/unread.cx" >"$R/unknown-stat" 2>/dev/null
fi
# Hard links keep the files' identity in the copy, so its moves are found.
cp -al "$M" "$WORK/linked"
"$CX" check --json "$WORK/m1.cx" "$WORK/linked" >"$R/copy" 2>/dev/null
B="$WORK/bytes"
mkdir -p "$B/$(printf 'd\377')"
printf 1 >"$B/$(printf 'd\377')/f"
ln -s "$(printf 't\376')" "$B/link"
fixed "$B/link"
"$CX" index "$B" "$WORK/b1.cx" 2>/dev/null
mv "$B/$(printf 'd\377')" "$B/$(printf 'm\375')"
ln -sfn "$(printf 't\374')" "$B/link"
fixed "$B/link"
printf 2 >"$B/$(printf 'n\373')"
"$CX" index "$B" "$WORK/b2.cx" 2>/dev/null
"$CX" diff --json "$WORK/b1.cx" "$WORK/b2.cx" >"$R/bytes"
cp -a "$B" "$WORK/bytes-copy"
"$CX" check --json "$WORK/b1.cx" "$WORK/bytes-copy" >"$R/bytes-copy" 2>/dev/null
# What the reports hold between them, so that a case that stops making its
# shape shows; and each _base64 member's bytes are the text beside it, each
# byte that is not UTF-8 shown as U+FFFD.
covered="added base64:changes.target.new base64:changes.target.old base64:new base64:new_full_path"
covered+=" base64:old base64:old_full_path base64:old_path base64:path counts deleted full_paths modified moved"
covered+=" number:nlink number:size"
[ "$(id -u)" = 0 ] && covered+=" number:gid number:rdev number:uid"
[ -n "$EXTENSION" ] && covered+=" unknown"
check "JSON reports hold to the schema" "$(tr ' ' '\n' <<<"$covered" | LC_ALL=C sort | xargs)" "$(python3 - \
  "$(dirname "$0")/../report.schema.json" "$R"/* <<'EOF' 2>&1
import base64, codecs, json, os, sys
from jsonschema import Draft202012Validator
schema = json.load(open(sys.argv[1]))
Draft202012Validator.check_schema(schema)
validator = Draft202012Validator(schema)
codecs.register_error("per_byte", lambda error: ("\ufffd", error.start + 1))
seen = set()
def shown(owner, where):
    for key, value in owner.items():
        if key.endswith("_base64"):
            seen.add("base64:" + where + key[:-7])
            assert value and base64.b64decode(value).decode("utf-8", "per_byte") == owner[key[:-7]], (where, key)
for name in sys.argv[2:]:
    for number, line in enumerate(open(name, encoding="utf-8"), 1):
        row = json.loads(line)
        for error in validator.iter_errors(row):
            print("%s:%d: %s at %s" % (os.path.basename(name), number, error.message, list(error.absolute_path)))
        if "path" not in row:
            seen.add("counts")
            continue
        seen.add(row["change"])
        seen.update({"full_paths"} if "old_full_path" in row else set())
        shown(row, "")
        for attribute, values in row["changes"].items():
            shown(values, "changes.%s." % attribute)
            if any(isinstance(value, int) for value in values.values()):
                seen.add("number:" + attribute)
print(" ".join(sorted(seen)))
EOF
)"

# Unattended: after the report a summary on standard error; with --quiet only
# the exit status; with --syslog each change (the first 1000, then how many
# more) and the summary as messages of their own.
"$CX" diff "$WORK/m1.cx" "$WORK/m2.cx" >"$WORK/out" 2>"$WORK/err"
status=$?
check "summary after the report" \
  "1 8 cx: $WORK/m1.cx vs $WORK/m2.cx: 8 changes: 2 added, 2 deleted, 0 modified, 4 moved, 0 unknown" \
  "$status $(wc -l <"$WORK/out") $(tail -1 "$WORK/err")"
check "--quiet: changes" "1" "$("$CX" diff --quiet "$WORK/m1.cx" "$WORK/m2.cx" 2>&1; echo "$?")"
check "--quiet: none" "0" "$("$CX" diff --quiet "$WORK/m1.cx" "$WORK/m1.cx" 2>&1; echo "$?")"
if [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null; then
  mkdir -p "$WORK/many" "$WORK/dev"
  "$CX" index "$WORK/many" "$WORK/few.cx" 2>/dev/null
  (cd "$WORK/many" && touch $(seq -f 'f%04g' 1003))
  "$CX" index "$WORK/many" "$WORK/many.cx" 2>/dev/null
  # A syslog of the test's own: /dev/log in a mount namespace of cx's.
  python3 -c '
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
open(sys.argv[1] + ".ready", "w").close()
with open(sys.argv[2], "w") as out:
    while True:
        message = s.recv(65536).decode(errors="replace")
        out.write(message.split(": ", 1)[1] + "\n")
        out.flush()' "$WORK/dev/log" "$WORK/syslog" &
  listener=$!
  for _ in $(seq 50); do [ -e "$WORK/dev/log.ready" ] && break; sleep 0.1; done
  unshare -m sh -c 'touch "$1/null" && mount --bind /dev/null "$1/null" && mount --rbind "$1" /dev &&
                    "$2" diff --quiet --syslog "$3" "$4"' _ "$WORK/dev" "$CX" "$WORK/few.cx" "$WORK/many.cx"
  status=$?
  sleep 0.5
  kill "$listener"
  check "--syslog: exit status, one message a change up to 1000" "1 1000 A $WORK/many/f0001" \
    "$status $(grep -c '^A ' "$WORK/syslog") $(head -1 "$WORK/syslog")"
  check "--syslog: how many more, and the summary" "and 3 more changes
$WORK/few.cx vs $WORK/many.cx: 1003 changes: 1003 added, 0 deleted, 0 modified, 0 moved, 0 unknown" \
    "$(tail -2 "$WORK/syslog")"
fi

# On a terminal, one labelled line that is gone at the end: none of the
# comparison's unlabelled marks.
if command -v script >/dev/null; then
  script -qec "$CX diff --check-period 1 $WORK/m1.cx $WORK/m2.cx" /dev/null >"$WORK/terminal"
  check "no raw progress marks on a terminal" 0 "$(grep -c '[0-9]   [0-9]' "$WORK/terminal")"
fi

checks_summary
