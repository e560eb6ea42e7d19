#!/usr/bin/env bash
# Makes the Debian package from a release build of its own, with CPack; or
# the binary an Android update app bundles.
#   scripts/package.sh          this machine's architecture: moxtil, the
#                               simulator (moxtil-target-sim), the manual page
#   scripts/package.sh arm      armhf: the static 32-bit ARM moxtil and the page
#   scripts/package.sh android  the same static 32-bit ARM moxtil, stripped,
#                               alone: $MOXTIL_BUILD_ROOT/package-android/moxtil
# A package lands in $MOXTIL_BUILD_ROOT/package-<variant>/ (default build/),
# named moxtil_<version>_<architecture>.deb; the path of what was made is the
# last line printed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=${MOXTIL_BUILD_ROOT:-$top/build}
variant=${1:-host}
arm=(-DCMAKE_TOOLCHAIN_FILE="$top/cmake/arm-linux-musleabihf.cmake")
case $variant in
  host) options=() ;;
  arm) options=("${arm[@]}") ;;
  android) options=("${arm[@]}") ;;
  *) echo "package.sh: no variant $variant (host arm android)" >&2; exit 2 ;;
esac

"$top/scripts/setup.sh"
dir=$out/package-$variant
if [ "$variant" = android ]; then
  # One file: the app ships it as lib/armeabi-v7a/libmoxtil.so (README).
  cmake -S "$top" -B "$dir/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMOXTIL_BUILD_TESTS=OFF "${options[@]}" >/dev/null
  cmake --build "$dir/build" --target moxtil
  strip=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "$dir/build/CMakeCache.txt")
  "$strip" -o "$dir/moxtil" "$dir/build/moxtil"
  file "$dir/moxtil"
  stat -c '%s bytes' "$dir/moxtil"
  echo "$dir/moxtil"
  exit 0
fi
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
