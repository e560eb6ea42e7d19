#!/usr/bin/env bash
# cmake --install as a user runs it: into a prefix given on the command line,
# and into DESTDIR under the prefix the build was configured with, each time
# exactly the files the manual page's FILES section names (under the prefix
# in place of /usr) and nothing else; with --strip, binaries without symbols.
# The installed moxtil prints the usage text as the built one does, the
# installed simulator runs, and man finds the installed page.
#   install_test.sh <build dir> with-sim|no-sim [launcher words...]
set -u
. "$(dirname "$0")/../../scripts/lib.sh" || { echo "FAILED: no scripts/lib.sh beside the tests"; exit 1; }
build=$1
with_sim=$2
shift 2
launcher=("$@")
cmake=${CMAKE:-cmake}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The files below a directory, one a line, relative to it.
files_under() { (cd "$1" && find . -type f -o -type l) | sed 's|^\./||' | sort; }

# The page's paths relative to /usr; the simulator's only where it is built.
expected=$(manpage_files "$build/doc/moxtil.1.gz" | sed -n 's|^/usr/||p' | sort)
[ "$with_sim" = with-sim ] || expected=$(grep -v '^bin/moxtil-target-sim$' <<<"$expected")
for f in bin/moxtil share/man/man1/moxtil.1.gz; do
  grep -qx "$f" <<<"$expected" || fail "the page's FILES section does not name /usr/$f"
done

# Into a prefix given at install time.
prefix=$work/prefix
"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "cmake --install --prefix"; }
got=$(files_under "$prefix")
[ "$got" = "$expected" ] || fail "installed under --prefix: $(tr "\n" " " <<<"$got"); the page names: $(tr "\n" " " <<<"$expected")"

# Into DESTDIR, under the prefix the build was configured with.
configured=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
DESTDIR=$work/dest "$cmake" --install "$build" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "DESTDIR=... cmake --install"; }
got=$(files_under "$work/dest$configured")
[ "$got" = "$expected" ] || fail "installed under DESTDIR and $configured: $(tr "\n" " " <<<"$got")"
[ "$(files_under "$work/dest" | wc -l)" = "$(wc -l <<<"$expected")" ] || fail "files outside $configured: $(files_under "$work/dest" | tr '\n' ' ')"

# Stripped on request, the renamed simulator too.
"$cmake" --install "$build" --prefix "$work/stripped" --strip >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "cmake --install --strip"; }
for f in $(grep '^bin/' <<<"$expected"); do
  if [ ! -f "$work/stripped/$f" ]; then
    fail "--strip: no $f"
  elif readelf -S "$work/stripped/$f" | grep -qE '\.(symtab|debug_info)'; then
    fail "--strip left symbols in $f"
  fi
done

# The installed programs run. moxtil with no arguments prints the usage text
# and exits with -1; it must be what the built one prints.
"${launcher[@]}" "$build/moxtil" >"$work/usage.built" 2>&1
"${launcher[@]}" "$prefix/bin/moxtil" >"$work/usage.installed" 2>&1
status=$?
[ "$status" = 255 ] || fail "installed moxtil without arguments: exit $status, not 255"
grep -q '^D/moxtil: Usage : Moxtil ' "$work/usage.installed" || fail "installed moxtil prints no usage text: $(head -3 "$work/usage.installed")"
cmp -s "$work/usage.built" "$work/usage.installed" || fail "installed moxtil prints another text than the built one"
if [ "$with_sim" = with-sim ]; then
  "$prefix/bin/moxtil-target-sim" --help >"$work/sim.help" 2>&1 || fail "installed moxtil-target-sim --help: $(head -3 "$work/sim.help")"
fi

# man moxtil finds the page once the prefix's share/man is searched.
found=$(MANPATH=$prefix/share/man man -w moxtil 2>&1)
[ "$found" = "$prefix/share/man/man1/moxtil.1.gz" ] || fail "man -w moxtil with the prefix's manual pages: $found"

[ "$failed" = 0 ] && echo "install: passed"
exit "$failed"
