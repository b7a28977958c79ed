#!/usr/bin/env bash
# convert on file systems that share blocks between files (XFS with reflink, Btrfs), each made in a
# file and loop-mounted: every data block of the new bands is shared with the old bands, and the image
# is the same byte for byte. Also across file systems (nothing can be shared there), both ways.
# Judged by filefrag, dd and sha256sum, not by the tool. Needs root and loop devices; skips (77)
# with the reason where they are missing.
# Usage: reflink_test.sh PATH-TO-quorbel-imagetool PATH-TO-test_imagetool
set -uo pipefail
tool=$1
unit_tests=$2

skip() { echo "SKIP: $*"; exit 77; }
[[ $(id -u) -eq 0 ]] || skip "making and mounting a file system needs root"
command -v filefrag >/dev/null || skip "filefrag (e2fsprogs) is not installed"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/quorbel-reflink-XXXXXX")
mounts=()
cleanup() {
  for m in "${mounts[@]}"; do umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null; done
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# mount_new TYPE: a fresh, small file system of TYPE mounted at $scratch/TYPE; false when impossible.
mount_new() {
  local type=$1 image=$scratch/$1.img dir=$scratch/$1
  mkdir -p "$dir"
  truncate -s 512M "$image"
  case $type in
    xfs) command -v mkfs.xfs >/dev/null && mkfs.xfs -q -m reflink=1 "$image" ;;
    btrfs) command -v mkfs.btrfs >/dev/null && mkfs.btrfs -q "$image" >/dev/null ;;
  esac || { echo "note: cannot make a $type file system"; return 1; }
  mount -o loop "$image" "$dir" 2>"$scratch/mount.err" || {
    echo "note: cannot mount a $type file system: $(cat "$scratch/mount.err")"
    return 1
  }
  mounts+=("$dir")
}

plist() {  # BAND-BYTES SIZE
  cat <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleInfoDictionaryVersion</key>
	<string>6.0</string>
	<key>band-size</key>
	<integer>$1</integer>
	<key>bundle-backingstore-version</key>
	<integer>1</integer>
	<key>diskimage-bundle-type</key>
	<string>com.apple.diskimage.sparsebundle</string>
	<key>size</key>
	<integer>$2</integer>
</dict>
</plist>
EOF
}

mib=1048576
size=$((10 * mib + 512))
# A bundle of 1 MiB bands: full, missing, short with an end inside a block, holes inside, the short
# last band.
make_source() {
  local b=$1
  mkdir -p "$b/bands"
  plist $mib $size >"$b/Info.plist"
  cp "$b/Info.plist" "$b/Info.bckup"
  : >"$b/token"
  head -c $mib /dev/urandom >"$b/bands/0"
  head -c 5000 /dev/urandom >"$b/bands/2"
  head -c 65536 /dev/urandom >"$b/bands/3"
  head -c 65536 /dev/urandom | dd of="$b/bands/3" bs=65536 seek=10 status=none
  truncate -s $mib "$b/bands/3"
  head -c $mib /dev/urandom >"$b/bands/5"
  head -c 300000 /dev/urandom | dd of="$b/bands/9" bs=4096 seek=3 status=none
  head -c 512 /dev/urandom >"$b/bands/a"
}

# The flat image of bundle $1 (bands of $2 bytes, size $3), checksummed.
image_sum() {
  local b=$1 band=$2 flat=$scratch/flat
  rm -f "$flat"
  truncate -s "$3" "$flat"
  for f in "$b"/bands/*; do
    [[ -e $f ]] || continue
    dd if="$f" of="$flat" bs="$band" seek=$((16#${f##*/})) conv=notrunc status=none
  done
  sha256sum <"$flat" | cut -d' ' -f1
}

# Bytes of data in the files under $1 that are not shared with another file.
unshared_bytes() {
  local total=0 f n
  for f in "$1"/bands/*; do
    [[ -e $f ]] || continue
    n=$(filefrag -v -b1 "$f" | awk -F: '/^ *[0-9]+:/ && $0 !~ /shared/ { gsub(/ /, "", $4); s += $4 } END { print s + 0 }')
    total=$((total + n))
  done
  echo $total
}

convert() {  # FROM TO SECTORS
  "$tool" convert "$1" -format UDSB -o "$2" -imagekey sparse-band-size="$3" >/dev/null 2>"$scratch/err" ||
    { fail "convert $1 -> $2: $(cat "$scratch/err")"; return 1; }
}

ordinary=$scratch/ordinary
mkdir -p "$ordinary"
tested=0
for type in xfs btrfs; do
  mount_new "$type" || continue
  tested=$((tested + 1))
  dir=$scratch/$type
  make_source "$dir/src.sparsebundle"
  sync -f "$dir"
  want=$(image_sum "$dir/src.sparsebundle" $mib $size)
  # Larger bands, bands that do not divide them, and back: every range is whole blocks, so every
  # block is shared.
  from=$dir/src.sparsebundle
  for sectors in 4096 3072 2048; do
    to=$dir/s$sectors.sparsebundle
    convert "$from" "$to" $sectors || continue
    [[ $(image_sum "$to" $((sectors * 512)) $size) == "$want" ]] || fail "$type: the image changed converting to $sectors sectors"
    n=$(unshared_bytes "$to")
    # The last band ends inside a block (its 512 bytes), which is copied rather than shared; so is
    # the 5000-byte band's last part block.
    ((n <= 8192)) || fail "$type: $n bytes of data not shared after converting to $sectors sectors"
    from=$to
  done
  [[ -z $(find "$dir/s3072.sparsebundle/bands" -type f -size 0) ]] || fail "$type: an empty band was left"
  # Bands that are not whole blocks: ranges sit unlike in their blocks, and go the other ways.
  convert "$dir/src.sparsebundle" "$dir/odd.sparsebundle" 2049 &&
    { [[ $(image_sum "$dir/odd.sparsebundle" $((2049 * 512)) $size) == "$want" ]] || fail "$type: the image changed with odd bands"; }
  # Across file systems nothing is shared; the bytes are the same.
  convert "$dir/src.sparsebundle" "$ordinary/from-$type.sparsebundle" 4096 &&
    { [[ $(image_sum "$ordinary/from-$type.sparsebundle" $((4096 * 512)) $size) == "$want" ]] || fail "$type: the image changed copied out"; }
  convert "$ordinary/from-$type.sparsebundle" "$dir/back.sparsebundle" 3072 &&
    { [[ $(image_sum "$dir/back.sparsebundle" $((3072 * 512)) $size) == "$want" ]] || fail "$type: the image changed copied in"; }
  # The range copier's own account of what it shared, against the kernel's extent map.
  QUORBEL_COW_DIR=$dir "$unit_tests" --gtest_filter='RangeCopy.WholeBlocksAreShared*' >"$scratch/unit" 2>&1 ||
    fail "$type: $(grep -A12 Failure "$scratch/unit")"
  echo "$type: checked"
done
((tested > 0)) || skip "no copy-on-write file system could be made and mounted here"
((failures == 0)) || exit 1
echo "PASS"
