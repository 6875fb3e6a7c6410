#!/usr/bin/env bash
# Sealed baselines: a seal that cx makes verifies with ssh-keygen by hand and
# one made by hand verifies with cx; every way a baseline or its seal can be
# rewritten is refused with exit status 2 and one line naming the container;
# cx index --sign replaces a container and its seal together, and a key that
# cannot sign leaves the previous pair as it was. No ssh-agent is used.
set -uo pipefail

# shellcheck source=cli/tests/checks.sh
source "$(dirname "$0")/checks.sh"

unset SSH_AUTH_SOCK
sum() { sha256sum "$@" | cut -d' ' -f1 | tr '\n' ' '; }
leftovers() { (cd "$WORK" && find . -maxdepth 1 -name ".*tmp*" | sort | tr '\n' ' '); }

ssh-keygen -q -t ed25519 -N '' -C cx-test -f "$WORK/key"
ssh-keygen -q -t ed25519 -N '' -C stranger -f "$WORK/stranger"
SIGNERS="$WORK/allowed_signers"
echo "ops@example.org namespaces=\"cx-snapshot\" $(cut -d' ' -f1,2 "$WORK/key.pub")" >"$SIGNERS"

T="$WORK/tree"
mkdir -p "$T/etc" "$T/bin"
echo conf >"$T/etc/conf"
echo prog >"$T/bin/prog"
"$CX" index "$T" "$WORK/snap.cx" 2>/dev/null
"$CX" seal "$WORK/snap.cx" --key "$WORK/key" 2>"$WORK/err"
check "seal" "0 " "$? $(cat "$WORK/err")"
check "seal beside it, private as the container" "600 " "$(stat -c %a "$WORK/snap.cx.sig") $(leftovers)"

# A seal made by cx verifies with ssh-keygen by hand, and with cx --verify,
# which then reports as the check would.
ssh-keygen -Y verify -f "$SIGNERS" -I ops@example.org -n cx-snapshot -s "$WORK/snap.cx.sig" \
  <"$WORK/snap.cx" >/dev/null 2>&1
check "verified by hand" 0 $?
"$CX" check --verify "$SIGNERS" "$WORK/snap.cx" >"$WORK/out" 2>&1
check "check --verify of an unchanged tree" "0 " "$? $(cat "$WORK/out")"
echo more >>"$T/etc/conf"
"$CX" check "$WORK/snap.cx" >"$WORK/plain" 2>&1
"$CX" check --verify "$SIGNERS" "$WORK/snap.cx" >"$WORK/out" 2>&1
status=$?
check "check --verify reports as check" "1 $(cat "$WORK/plain")" "$status $(cat "$WORK/out")"

# A seal made by hand verifies with cx.
"$CX" index "$T" "$WORK/new.cx" 2>/dev/null
ssh-keygen -q -Y sign -n cx-snapshot -f "$WORK/key" "$WORK/new.cx" 2>/dev/null
"$CX" diff --verify "$SIGNERS" "$WORK/snap.cx" "$WORK/new.cx" >"$WORK/out" 2>/dev/null
check "diff --verify of a seal made by hand" "1 M $T/etc/conf" "$? $(cut -f1 "$WORK/out")"

# Refused, each with one line naming the container: a changed byte (the
# origin, which the seal covers as it covers the rows), a truncated file,
# another container's seal, no seal, a key the signers file does not list,
# and a log beside the container whose pages a read would take instead of
# the sealed file's.
forge() {  # forge NAME: prints how NAME.cx is made from the sealed snapshot
  local c="$WORK/$1.cx"
  rm -f "$c"*
  cp "$WORK/snap.cx" "$c" && cp "$WORK/snap.cx.sig" "$c.sig"
  case $1 in
    changed) sqlite3 "$c" "UPDATE Storage SET Value = '/srv' WHERE Key = 'Origin';" ;;
    truncated) truncate -s -1 "$c" ;;
    swapped) cp "$WORK/new.cx.sig" "$c.sig" ;;
    unsealed) rm "$c.sig" ;;
    stranger) ssh-keygen -q -Y sign -n cx-snapshot -f "$WORK/stranger" <"$c" >"$c.sig" 2>/dev/null ;;
    othernamespace) ssh-keygen -q -Y sign -n file -f "$WORK/key" <"$c" >"$c.sig" 2>/dev/null ;;
    logged)
      cp "$c" "$WORK/copy.cx"
      sqlite3 "$WORK/copy.cx" "UPDATE Storage SET Value = '/srv' WHERE Key = 'Origin';" ".shell cp '$WORK/copy.cx-wal' '$c-wal'"
      ;;
  esac
}
for name in changed truncated swapped unsealed stranger othernamespace logged; do
  forge "$name"
  before=$(sum "$WORK/$name.cx"*)
  "$CX" check --verify "$SIGNERS" "$WORK/$name.cx" >"$WORK/out" 2>"$WORK/err"
  check "$name: refused by check" "2 1 yes" "$? $(wc -l <"$WORK/err") $(grep -q "^cx: $WORK/$name.cx: " "$WORK/err" && echo yes)"
  check "$name: nothing reported" "" "$(cat "$WORK/out")"
  "$CX" diff --verify "$SIGNERS" "$WORK/snap.cx" "$WORK/$name.cx" >/dev/null 2>"$WORK/err2"
  status=$?
  check "$name: refused by diff" "2 $(cat "$WORK/err")" "$status $(cat "$WORK/err2")"
  check "$name: left as it was" "$before" "$(sum "$WORK/$name.cx"*)"
done
check "causes" "changed: its seal does not verify: Signature verification failed: incorrect signature
unsealed: not sealed: there is no $WORK/unsealed.cx.sig
stranger: sealed with a key that $SIGNERS does not list
logged: logged.cx-wal beside it holds" \
  "$(for name in changed unsealed stranger logged; do
       forge "$name"
       echo "$name: $("$CX" check --verify "$SIGNERS" "$WORK/$name.cx" 2>&1 >/dev/null | sed "s|^cx: $WORK/$name.cx: ||; s|\(holds\) .*|\1|")"
     done)"

# cx index --sign replaces the container and its seal together (and removes
# a seal a killed run left in a temporary file).
old=$(sum "$WORK/snap.cx" "$WORK/snap.cx.sig")
touch "$WORK/.snap.cx.tmpAbC123.sig"
"$CX" index --sign "$WORK/key" "$T" "$WORK/snap.cx" 2>/dev/null
check "index --sign" "0 no" "$? $([ "$(sum "$WORK/snap.cx" "$WORK/snap.cx.sig")" = "$old" ] && echo yes || echo no)"
"$CX" check --verify "$SIGNERS" "$WORK/snap.cx" >"$WORK/out" 2>&1
check "the new pair verifies" "0  " "$? $(leftovers) $(cat "$WORK/out")"

# A container in the tree it snapshots leaves out its seal as it leaves out
# itself, and so does a check against it.
"$CX" index --sign "$WORK/key" "$T" "$T/own.cx" 2>/dev/null
"$CX" index --sign "$WORK/key" "$T" "$T/own.cx" 2>/dev/null
"$CX" find "$T/own.cx" "$T/own.cx.sig" >/dev/null 2>&1
check "the seal is not in the snapshot" "1 yes" "$? $([ -s "$T/own.cx.sig" ] && echo yes)"
"$CX" check "$T/own.cx" >"$WORK/out" 2>&1
check "nor in a check of the unchanged tree" "0 " "$? $(cat "$WORK/out")"
rm "$T"/own.cx*

# A key that cannot sign, missing or not a key, leaves the previous pair.
echo "not a key" >"$WORK/junk"
echo new >"$T/bin/new"
old=$(sum "$WORK/snap.cx" "$WORK/snap.cx.sig")
for key in "$WORK/missing" "$WORK/junk"; do
  "$CX" index --sign "$key" "$T" "$WORK/snap.cx" 2>"$WORK/err"
  check "index --sign with $key" "2 1 $old " "$? $(wc -l <"$WORK/err") $(sum "$WORK/snap.cx" "$WORK/snap.cx.sig") $(leftovers)"
done
"$CX" check --verify "$SIGNERS" "$WORK/snap.cx" >/dev/null 2>&1
check "the previous pair still verifies" 1 $?

# What cannot be sealed or verified at all.
echo text >"$WORK/notes.txt"
"$CX" seal "$WORK/notes.txt" --key "$WORK/key" 2>"$WORK/err"
check "seal of a file that is not a container" "2 1 no" \
  "$? $(wc -l <"$WORK/err") $([ -e "$WORK/notes.txt.sig" ] && echo yes || echo no)"
PATH=/nonexistent "$CX" check --verify "$SIGNERS" "$WORK/snap.cx" 2>"$WORK/err"
check "no ssh-keygen" "2 cx: $WORK/snap.cx: ssh-keygen not found: install openssh-client" "$? $(cat "$WORK/err")"

checks_summary
