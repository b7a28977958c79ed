#!/usr/bin/env bash
# attach / detach end to end, judged by programs that did not write the data: fsck.ext4 / fsck.exfat on
# the image read back by an independent reader (read_encrypted_bundle.py for encrypted bundles), file
# hashes through a fresh attach, the macOS-made fixtures' known hashes. Needs root, /dev/fuse and loop
# devices; skips (77) naming what is missing.
# Usage: attach_test.sh PATH-TO-quorbel-imagetool SOURCE-DIR
set -uo pipefail
tool=$1 src=$2
reader=$src/tests/imagetool/crypto/read_encrypted_bundle.py fixtures=$src/../shared/fixtures/macos
skip() { echo "SKIP: $*"; exit 77; }
[[ $(id -u) -eq 0 ]] || skip "loop devices and mounts need root"
[[ -c /dev/fuse ]] || skip "/dev/fuse is missing"
losetup -f >/dev/null 2>&1 || skip "no free loop device"
for p in mkfs.ext4 fsck.ext4 fsck.exfat mount.exfat-fuse python3; do command -v $p >/dev/null || skip "$p is missing"; done

s=$(mktemp -d "${TMPDIR:-/tmp}/quorbel-attach-XXXXXX") pw=sécret failures=0
cleanup() {
  for m in $(findmnt -rn -o TARGET | grep "^$s"); do umount -l "$m"; done
  losetup -j "$s/mp/"* 2>/dev/null | cut -d: -f1 | xargs -r losetup -d
  rm -rf "$s"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
qtool() { printf %s "$pw" | "$tool" "$@"; }
attach() { out=$(qtool attach -stdinpass -mountpoint "$s/mp" "$@") && img=$(sed -n 's/^image: //p' <<<"$out"); }
daemon() { for p in /proc/[0-9]*; do [[ $(readlink "$p"/fd/* 2>/dev/null) == *"$1"* ]] && basename $p; done | head -1; }
# The bundle's image, flattened without the tool; then: every band present holds non-zero plain data.
flatten() {
  if [[ -s $1/token ]]; then printf %s "$pw" | python3 "$reader" "$1" "$2" --skip-missing || return 1
  else python3 -c 'import plistlib,os,sys; b,o=sys.argv[1:]; i=plistlib.load(open(b+"/Info.plist","rb")); f=open(o,"wb"); f.truncate(i["size"])
for n in os.listdir(b+"/bands"): f.seek(int(n,16)*i["band-size"]); f.write(open(b+"/bands/"+n,"rb").read())' "$1" "$2"; fi
  python3 -c 'import plistlib,os,sys; b,o=sys.argv[1:]; z=plistlib.load(open(b+"/Info.plist","rb"))["band-size"]; f=open(o,"rb")
old=open(b+".old").read().split(); bad=[n for n in os.listdir(b+"/bands") if n not in old and (f.seek(int(n,16)*z) or 1) and not any(f.read(z))]; sys.exit("zero bands: %s" % bad if bad else 0)' "$1" "$2"
}
# A tree of files 0 B to 64 MiB with non-ASCII names, made once; its hashes judge every copy.
mkdir -p "$s/tree/dossier été/日本語"
for f in "vide:0" "un octet:1" "dossier été/bloc:4095" "dossier été/日本語/ファイル:1048579" "grand:67108864"; do
  head -c "${f#*:}" /dev/urandom >"$s/tree/${f%:*}"
done
(cd "$s/tree" && find . -type f -print0 | sort -z | xargs -0 sha256sum) >"$s/sums"

# fs NAME ACTION DEV: make (mkfs), mount, check a file system of the table's kind.
fs() {
  case $1:$2 in
    ext4:make) mkfs.ext4 -q -F "$3" ;; ext4:mount) mount "$3" "$s/vol" ${4:+"$4" "$5"} ;; ext4:check) fsck.ext4 -fn "$3" >/dev/null ;;
    exfat:make) true ;; exfat:mount) mount.exfat-fuse ${4:+"$4" "$5"} "$3" "$s/vol" >/dev/null 2>&1 ;; exfat:check) fsck.exfat -n "$3" >/dev/null ;;
  esac
}
offset() { [[ $1 == ext4 ]] && echo 0 || echo 20480; }  # exFAT sits in the partition create made
mkdir -p "$s/vol"
for enc in none AES-128 AES-256; do
  for kind in ext4 exfat; do
    case=$enc/$kind b=$s/$enc-$kind.sparsebundle
    opts=(); [[ $enc != none ]] && opts=(-encryption "$enc" -stdinpass)
    qtool create -size 256m -type SPARSEBUNDLE "${opts[@]}" -fs exFAT -volname V "$b" >/dev/null || { fail "$case: create"; continue; }
    ls "$b/bands" >"$b.old"
    attach "$b" || { fail "$case: attach"; continue; }
    dd if=/dev/zero of="$img" bs=1M seek=100 count=2 conv=notrunc status=none && [[ ! -e $b/bands/c ]] ||
      fail "$case: zeros made a band"
    cmp -s -n 1048576 -i 104857600 "$img" /dev/zero || fail "$case: an absent band does not read as zeros"
    dev=$(losetup -f --show -o "$(offset $kind)" "$img") && fs $kind make "$dev" && fs $kind mount "$dev" &&
      cp -r "$s/tree/." "$s/vol/" && sync && umount "$s/vol" || fail "$case: writing the tree"
    losetup -d "$dev"; "$tool" detach "$b" >/dev/null || fail "$case: detach"
    flatten "$b" "$s/flat" || fail "$case: bands"
    dev=$(losetup -f --show -o "$(offset $kind)" "$s/flat") && fs $kind check "$dev" || fail "$case: fsck"
    losetup -d "$dev"
    attach -readonly "$b" && dev=$(losetup -f --show -r -o "$(offset $kind)" "$img") && fs $kind mount "$dev" -o ro &&
      (cd "$s/vol" && sha256sum --quiet -c "$s/sums") || fail "$case: files after a fresh attach"
    umount "$s/vol"; losetup -d "$dev"; "$tool" detach "$s/mp" >/dev/null || fail "$case: second detach"
    [[ ! -e $s/mp ]] || fail "$case: mount point left"
    rm -f "$s/flat"
  done
done

# While attached: an open image or a loop device stops detach; the other writers and a second attach
# refuse; nothing in the bundle changes.
b=$s/AES-128-ext4.sparsebundle
snapshot() { (cd "$b" && find . -type f -print0 | sort -z | xargs -0 sha256sum); }
before=$(snapshot)
attach "$b" || fail "attach for the faults"
exec 3<"$img"
"$tool" detach "$b" 2>/dev/null && fail "detach with the image open succeeded"
exec 3<&-
dev=$(losetup -f --show "$img")
"$tool" detach "$img" 2>"$s/err" && fail "detach with a loop device succeeded"
grep -q "$dev" "$s/err" || fail "the refusal does not name $dev: $(cat "$s/err")"
for verb in "attach -stdinpass -mountpoint $s/mp2 $b" "compact -stdinpass $b" "resize -size 300m -stdinpass $b"; do
  qtool $verb >/dev/null 2>&1 && fail "$verb while attached succeeded"
done
printf '%s\0%s' "$pw" new | "$tool" chpass "$b" -oldstdinpass -newstdinpass >/dev/null 2>&1 && fail "chpass while attached"
truncate -s 300m "$img" 2>/dev/null && fail "the image's size changed"
[[ $(snapshot) == "$before" && ! -e $s/mp2 ]] || fail "the refused verbs changed something"
"$tool" imageinfo "$b" | grep -qx "	Mount Point: $s/mp" || fail "imageinfo does not say where the bundle is attached"

# kill -9 of the daemon in a write loop: the next attach clears the dead mount; synced files are intact.
mount "$dev" "$s/vol" && for i in 1 2 3; do head -c 3M /dev/urandom >"$s/vol/f$i" && sync "$s/vol/f$i"; done
(cd "$s/vol" && sha256sum f1 f2 f3) >"$s/synced"
for ((i = 0; i < 500; i++)); do dd if=/dev/urandom of="$s/vol/loose$i" bs=1M count=1 oflag=direct status=none || break; done 2>/dev/null &
writer=$!
until [[ -e $s/vol/loose3 ]]; do :; done
kill -9 "$(daemon "$b")"
kill "$writer" 2>/dev/null; wait "$writer"
umount -l "$s/vol"; losetup -d "$dev"
attach "$b" && dev=$(losetup -f --show "$img") && mount "$dev" "$s/vol" && (cd "$s/vol" && sha256sum --quiet -c "$s/synced") ||
  fail "synced files after kill -9"
umount "$s/vol"; fsck.ext4 -fn "$dev" >/dev/null || fail "fsck after kill -9"
losetup -d "$dev"; "$tool" detach "$s/mp" >/dev/null && rmdir "$s/mp" || fail "detach after kill -9"

# Bad input: a clear error and nothing made.
mkdir -p "$s/folder" "$s/full" && touch "$s/full/x"
cp -r "$s/none-ext4.sparsebundle" "$s/link.sparsebundle" && rm -r "$s/link.sparsebundle/bands" &&
  ln -s "$b/bands" "$s/link.sparsebundle/bands"
while IFS='|' read -r what password args; do
  pw=$password attach $args 2>"$s/err" && fail "$what: attached" && "$tool" detach "$s/mp"
  [[ -s $s/err && ! -e $s/mp && ! -e $b/inside ]] || fail "$what: no message, or something was made"
  [[ -z $(findmnt -rn -t fuse.quorbel -o SOURCE,TARGET | grep -F "$s") ]] || fail "$what: a mount is left"
done <<TABLE
not a bundle|$pw|$s/folder
bands a link|$pw|$s/link.sparsebundle
wrong password|wrong|$b
mount point not empty|$pw|-mountpoint $s/full $b
mount point inside the bundle|$pw|-mountpoint $b/inside $b
TABLE

# The macOS-made fixtures read-only: the image byte for byte; the encrypted one written through attach
# (partial chunks at both ends) keeps its password and holds what was written, read back by the
# independent reader.
if [[ -d $fixtures ]]; then
  pw=foo
  for f in Test1:2ee8196920a422db4bab64f36b3cf01e06d1962c5f53180cf0eeaa9f540ff8e7 \
    Test1Enc:3ee9ad51168c1502eef71d94a5d27bd2f6651e6fcbd68cbeacc84c812af68987; do
    cp -r "$fixtures/${f%:*}.sparsebundle" "$s/" && chmod -R u+w "$s/${f%:*}.sparsebundle"
    attach -readonly "$s/${f%:*}.sparsebundle" && [[ $(sha256sum <"$img") == "${f#*:}  -" ]] || fail "${f%:*}: image differs"
    dd if=/dev/zero of="$img" bs=512 count=1 conv=notrunc status=none 2>/dev/null && fail "${f%:*}: written read-only"
    "$tool" detach "$s/mp" >/dev/null
  done
  head -c 1048576 /dev/urandom >"$s/data"
  attach "$s/Test1Enc.sparsebundle" && dd if="$s/data" of="$img" bs=1000 seek=300 conv=notrunc,fsync status=none
  "$tool" detach "$s/mp" >/dev/null || fail "Test1Enc: detach"
  printf foo | python3 "$reader" "$s/Test1Enc.sparsebundle" "$s/flat" && cmp -s -i 300000:0 -n 1048576 "$s/flat" "$s/data" ||
    fail "Test1Enc: what was written is not there"
else
  echo "note: $fixtures is absent; the macOS fixtures were not tried"
fi
((failures == 0)) && echo "all attach cases passed"
exit $((failures > 0))
