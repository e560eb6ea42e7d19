#!/usr/bin/env bash
# Makes the Debian package from a release build of its own, with CPack.
#   scripts/package.sh        this machine's architecture: moxtil, the
#                             simulator (moxtil-target-sim), the manual page
#   scripts/package.sh arm    armhf: the static 32-bit ARM moxtil and the page
# The package lands in $MOXTIL_BUILD_ROOT/package-<variant>/ (default build/),
# named moxtil_<version>_<architecture>.deb; its path is the last line printed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=${MOXTIL_BUILD_ROOT:-$top/build}
variant=${1:-host}
case $variant in
  host) options=() ;;
  arm) options=(-DCMAKE_TOOLCHAIN_FILE="$top/cmake/arm-linux-gnueabihf.cmake") ;;
  *) echo "package.sh: no variant $variant (host arm)" >&2; exit 2 ;;
esac

"$top/scripts/setup.sh"
dir=$out/package-$variant
# Without tests the build is what the package holds: moxtil, the simulator
# where it is built, the page.
cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMOXTIL_BUILD_TESTS=OFF "${options[@]}" >/dev/null
cmake --build "$dir"
rm -f "$dir"/*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
deb=$(ls "$dir"/*.deb)
dpkg-deb -I "$deb" | sed -n '/^ [A-Z][A-Za-z-]*:/p'
dpkg-deb -c "$deb"
echo "$deb"
