#!/usr/bin/env bash
# The Debian package as CPack makes it from this build: its control fields
# (name, the project's version, the architecture of the binaries inside,
# dependencies that are exactly the packages of the libraries the binaries
# load), its contents (the files the manual page names, owned by root,
# stripped); then, as root, installed into a throwaway root with dpkg
# --root, run there, and removed, leaving nothing behind.
#   package_test.sh <build dir> <version> with-sim|no-sim [launcher words...]
# Exit 77 (skipped) without dpkg-deb, or, after the checks that need no
# root, where not root.
set -u
. "$(dirname "$0")/../../scripts/lib.sh" || { echo "FAILED: no scripts/lib.sh beside the tests"; exit 1; }
build=$1
version=$2
with_sim=$3
shift 3
launcher=("$@")
# dpkg looks for ldconfig and the like on PATH, even for a throwaway root.
export PATH=$PATH:/usr/local/sbin:/usr/sbin:/sbin

command -v dpkg-deb >/dev/null || skip "no dpkg-deb: not a Debian system"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"${CPACK:-cpack}" --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; echo "FAILED: cpack -G DEB"; exit 1; }
debs=("$work"/out/*.deb)
if [ ${#debs[@]} != 1 ] || [ ! -f "${debs[0]}" ]; then echo "FAILED: cpack made ${debs[*]}"; exit 1; fi
deb=${debs[0]}
dpkg-deb -x "$deb" "$work/x" || { echo "FAILED: dpkg-deb -x"; exit 1; }

# Contents: what the page's FILES section names (the simulator only where it
# is built), files and the directories above them owned by root.
expected=$(manpage_files "$work/x/usr/share/man/man1/moxtil.1.gz" | sort)
[ "$with_sim" = with-sim ] || expected=$(grep -v '^/usr/bin/moxtil-target-sim$' <<<"$expected")
[ -n "$expected" ] || fail "the package has no manual page with a FILES section"
got=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\.||' | sort)
[ "$got" = "$expected" ] || fail "package files: $(tr '\n' ' ' <<<"$got"); the page names: $(tr '\n' ' ' <<<"$expected")"
not_root=$(dpkg-deb -c "$deb" | awk '$2 != "root/root"')
[ -z "$not_root" ] || fail "entries not owned by root: $not_root"
for f in $(grep '^/usr/bin/' <<<"$expected"); do
  mode=$(stat -c %a "$work/x$f")
  [ "$mode" = 755 ] || fail "$f has mode $mode"
  readelf -S "$work/x$f" | grep -qE '\.(symtab|debug_info)' && fail "$f is not stripped"
done

# Control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = moxtil ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), the project's is $version"
for f in Maintainer Description Section Priority Installed-Size; do
  [ -n "$(field "$f")" ] || fail "no $f field"
done
[ "$(field Description | wc -l)" -ge 2 ] || fail "no long description"
# The architecture of the binaries inside: a 32-bit ARM hard-float build is
# armhf, a host build this machine's.
header=$(readelf -h "$work/x/usr/bin/moxtil")
if grep -q 'Machine: *ARM$' <<<"$header"; then
  grep -q 'hard-float' <<<"$header" || fail "an ARM moxtil without the hard-float ABI"
  arch=armhf
else
  arch=$(dpkg --print-architecture)
fi
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture), the binaries are $arch"
# Depends: the packages holding the libraries the binaries name, no more, no
# fewer (a static binary names none); each installed here at the version asked.
needed=
for f in $(grep '^/usr/bin/' <<<"$expected"); do
  for soname in $(readelf -d "$work/x$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    path=$(ldd "$work/x$f" | awk -v s="$soname" '$1 == s { print $3 }')
    owner=
    for p in "$path" "$(readlink -f "$path")" "/usr$path"; do
      owner=$(dpkg -S "$p" 2>/dev/null | head -1 | cut -d: -f1) && [ -n "$owner" ] && break
    done
    [ -n "$owner" ] || { fail "$f needs $soname ($path), which no package holds"; continue; }
    needed+="$owner"$'\n'
  done
done
needed=$(sort -u <<<"${needed%$'\n'}")
depends=$(field Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//' | sed '/^$/d' | sort -u)
[ "$depends" = "$needed" ] || fail "Depends: $(field Depends); the binaries need: $(tr '\n' ' ' <<<"$needed")"
while read -r name op ver; do
  [ -n "$name" ] || continue
  installed=$(dpkg-query -W -f='${Version}' "$name" 2>/dev/null)
  op=${op#(}
  ver=${ver%)}
  [ -z "$op" ] || dpkg --compare-versions "$installed" "$op" "$ver" ||
    fail "Depends on $name $op $ver; installed here: ${installed:-none}"
done < <(field Depends | tr ',' '\n' | sed 's/^ *//')

[ "$failed" = 0 ] || exit 1
[ "$(id -u)" -eq 0 ] || skip "contents and control fields passed; installing with dpkg needs root"

# Installed into a throwaway root: dpkg keeps its database there too. That
# database holds no libc, so dependencies are not checked here (they are
# above, against this machine's).
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
before=$(cd "$root" && find . | sort)
# A machine set up to leave out manual pages (path-exclude, as in slim
# images) would leave out part of the package: every path is taken here.
dpkg=(dpkg --root="$root" --log=/dev/null --force-depends --path-include='/*')
# A package of another architecture (armhf, run under qemu) installs as on a
# machine that has added that architecture.
if [ "$arch" != "$(dpkg --print-architecture)" ]; then "${dpkg[@]}" --add-architecture "$arch"; fi
"${dpkg[@]}" -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i"; }
[ "$(dpkg-query --root="$root" -W -f='${Status}' moxtil 2>/dev/null)" = "install ok installed" ] ||
  fail "moxtil is not installed in the throwaway root"
for f in $expected; do
  [ -f "$root$f" ] || fail "installed: no $f"
done

# The installed moxtil runs: no arguments, the usage text, exit -1.
"${launcher[@]}" "$root/usr/bin/moxtil" >"$work/usage" 2>&1
status=$?
[ "$status" = 255 ] || fail "installed moxtil without arguments: exit $status, not 255"
grep -q '^D/moxtil: Usage : Moxtil ' "$work/usage" || fail "installed moxtil prints no usage text: $(head -3 "$work/usage")"
if [ "$with_sim" = with-sim ]; then
  "$root/usr/bin/moxtil-target-sim" --help >/dev/null 2>&1 || fail "installed moxtil-target-sim --help"
fi
LC_ALL=C MANWIDTH=80 man -l "$root/usr/share/man/man1/moxtil.1.gz" 2>&1 | grep -q '^MOXTIL(1)' ||
  fail "the installed page does not render"

# Removed, and purged: nothing is left but what was there before.
"${dpkg[@]}" --purge moxtil >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg --purge"; }
dpkg-query --root="$root" -W -f='${Status}' moxtil 2>/dev/null | grep -q ' installed$' &&
  fail "moxtil still installed after the purge"
after=$(cd "$root" && find . -path ./var/lib/dpkg -prune -o -print | sort)
left=$(comm -13 <(echo "$before") <(echo "$after"))
[ -z "$left" ] || fail "left behind after the purge: $(tr '\n' ' ' <<<"$left")"

[ "$failed" = 0 ] && echo "package: passed"
exit "$failed"
