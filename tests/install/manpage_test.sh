#!/usr/bin/env bash
# The manual page as the build makes it: it renders without a warning, in 80
# columns; it carries the project's version; its OPTIONS section names every
# option the command line takes and none it does not (the letters of the
# parser's switch and the fixed words it passes over, read from
# Options.cpp); its STATUS LINES section has every status line the program
# writes, as the code spells it, and none other.
#   manpage_test.sh <built page> <moxtil/config/Options.cpp> <common/output.h> <version>
set -u
. "$(dirname "$0")/../../scripts/lib.sh" || { echo "FAILED: no scripts/lib.sh beside the tests"; exit 1; }
page=$1
options_cpp=$2
output_h=$3
version=$4

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Renders without a warning, through groff and through man.
groff -ww -man -Tutf8 -z "$page" 2>"$work/groff.err"
[ -s "$work/groff.err" ] && fail "groff -ww: $(cat "$work/groff.err")"
LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" >"$work/page.utf8" 2>"$work/man.err" || fail "man -l failed"
[ -s "$work/man.err" ] && fail "man --warnings: $(cat "$work/man.err")"
width=$(col -bx <"$work/page.utf8" | wc -L)
[ "$width" -le 80 ] || fail "the page is $width columns wide in 80: $(col -bx <"$work/page.utf8" | awk 'length > 80' | head -3)"
env -u MAN_KEEP_FORMATTING LC_ALL=C MANWIDTH=80 man -l "$page" 2>/dev/null | col -bx >"$work/page.txt"
grep -q "^moxtil $version " "$work/page.txt" || fail "the footer does not carry version $version: $(tail -1 "$work/page.txt")"

# The tags of a section's paragraphs, from the page's source: the line after
# each .TP, its font macro, quotes and escaped minus signs taken away.
tags() {
  sed -n "/^\.SH \"*$1\"*\$/,/^\.SH/p" "$page" | sed -n '/^\.TP/{n;p}' |
    sed 's/^\.[BIR]* //; s/"//g; s/\\-/-/g; s/\\f[BIRP]//g'
}

# Options. The parser takes "-X..." by its second character in TakeOption's
# switch, answers or passes over the fixed words it compares an argument with.
letters=$(sed -n '/^bool TakeOption(/,/^}/p' "$options_cpp" | sed -n "s/^ *case '\(.\)':.*/\1/p" | sort -u)
words=$(grep -o 'strcmp(arg, "[^"]*")' "$options_cpp" |
  sed 's/.*"\(.*\)")/\1/' | sort -u)
[ "$(wc -w <<<"$letters")" -ge 10 ] || fail "found only '$(tr '\n' ' ' <<<"$letters")' in TakeOption: has the parser moved?"
[ -n "$words" ] || fail "found no fixed words in Options.cpp: has the parser moved?"
parser=$( (sed 's/^/-/' <<<"$letters"; echo "$words") | sort -u)
# A tag names one or more options, separated by commas, each with its value
# attached (-Bbase, -LTseconds: the value is the macro's next argument); a
# fixed word is named whole.
documented=$(tags OPTIONS | tr ',' '\n' | while read -r option _; do
  # printf, not echo: echo takes "-E" and "-n" for its own options.
  if grep -qxF -- "$option" <<<"$words"; then printf '%s\n' "$option"; else printf '%s\n' "${option:0:2}"; fi
done | sort -u)
[ "$documented" = "$parser" ] ||
  fail "options: the parser takes $(tr '\n' ' ' <<<"$parser"), the page names $(tr '\n' ' ' <<<"$documented")"

# Status lines: every text of namespace status in common/output.h (its line feed
# and the blank at the end of one are not seen on the page).
code=$(sed -n '/^namespace status/,/^}/p' "$output_h" | sed -n 's/^inline constexpr char k[A-Za-z]*\[\] = "\(.*\)";$/\1/p' |
  sed 's/\\n$//; s/ *$//' | sort -u)
[ "$(wc -l <<<"$code")" -ge 15 ] || fail "found only $(wc -l <<<"$code") status lines in common/output.h: has it moved?"
shown=$(tags 'STATUS LINES' | sed 's/ *$//' | grep -E '^(-1 |[0-9]{3} %)' | sort -u)
[ "$shown" = "$code" ] || fail "status lines: in the code and not on the page:
$(comm -23 <(echo "$code") <(echo "$shown"))
on the page and not in the code:
$(comm -13 <(echo "$code") <(echo "$shown"))"

[ "$failed" = 0 ] && echo "manual page: passed"
exit "$failed"
