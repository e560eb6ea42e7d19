#!/usr/bin/env bash
# Installs every Debian package that building, testing, the demo and the
# benchmarks need. Safe to run again: it installs only what is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev googletest        # unit and end-to-end tests
  nlohmann-json3-dev python3     # the tests read the record (-J)
  libcli11-dev libssl-dev        # the target simulator's options and checksums
  nettle-dev                     # SHA-256 of the record (-J)
  iproute2                       # network namespaces for the broadcast test
  clang libclang-rt-14-dev       # fuzzing
  qemu-user                      # the 32-bit ARM build's tests run under qemu
  binutils-arm-linux-gnueabihf   # strip and nm for the ARM binary (its compiler: Zig, below)
  make m4                        # the ARM build makes nettle from source
  android-liblog-dev             # the liblog build
  socat time                     # benchmark baseline and its measurements; the terminal test's port block
  strace linux-perf              # the benchmark's profile (system calls counted, CPU sampled)
  tmux                           # the terminal test reads moxtil's screen through it
  jq                             # the manual page's examples over a record (the identity test)
  file                           # shows what a cross build made
  dpkg-dev                       # the Debian package: its dependencies and architecture
  groff-base man-db bsdextrautils  # the manual page rendered and checked (groff, man, col)
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# The toolchain comes from the npm registry (below); npm is Node.js's.
command -v npm >/dev/null || missing+=(npm)

need_root() {  # what for
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: need root to $1" >&2
    exit 1
  fi
}
# One index that cannot be had (a mirror in the middle of a sync) must not
# stop the rest: try once more, then go on with the indexes there are; an
# install of a package that truly cannot be had fails by itself.
apt_update() {
  apt-get -o DPkg::Lock::Timeout=600 update -qq ||
    { sleep 5 && apt-get -o DPkg::Lock::Timeout=600 update -qq; } ||
    echo "setup: apt-get update failed twice; going on with the package lists there are" >&2
}
export DEBIAN_FRONTEND=noninteractive
if [ ${#missing[@]} -gt 0 ]; then
  need_root "install: ${missing[*]}"
  echo "setup: installing ${missing[*]}"
  apt_update
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
fi

# The 32-bit ARM build: Zig's clang, musl and libc++ (cmake/zig-arm), and
# nettle's source, which that build compiles for the target. Both are pinned
# in cmake/arm-musl.env, checked before use, and installed only when missing:
# the builds need no network afterwards.
# shellcheck source=../cmake/arm-musl.env
. "$(dirname "$0")/../cmake/arm-musl.env"
if [ ! -x "$MOXTIL_ZIG_DIR/zig" ]; then
  need_root "install Zig into $MOXTIL_ZIG_DIR"
  echo "setup: installing $MOXTIL_ZIG_PACKAGE into $MOXTIL_ZIG_DIR"
  tmp=$(mktemp -d)
  (cd "$tmp" && npm pack --silent "$MOXTIL_ZIG_PACKAGE" >/dev/null)
  tgz=$(ls "$tmp"/*.tgz)
  got=$(python3 -c 'import base64, hashlib, sys
print("sha512-" + base64.b64encode(hashlib.sha512(open(sys.argv[1], "rb").read()).digest()).decode())' "$tgz")
  if [ "$got" != "$MOXTIL_ZIG_INTEGRITY" ]; then
    echo "setup: $MOXTIL_ZIG_PACKAGE: integrity $got, not the pinned $MOXTIL_ZIG_INTEGRITY" >&2
    rm -rf "$tmp"
    exit 1
  fi
  mkdir "$tmp/unpacked"
  tar -xzf "$tgz" -C "$tmp/unpacked" --strip-components=1 --no-same-owner
  "$tmp/unpacked/zig" version >/dev/null
  mkdir -p "$(dirname "$MOXTIL_ZIG_DIR")"
  rm -rf "$MOXTIL_ZIG_DIR"
  mv "$tmp/unpacked" "$MOXTIL_ZIG_DIR"
  rm -rf "$tmp"
fi
if [ ! -f "$MOXTIL_NETTLE_SOURCE" ]; then
  need_root "fetch nettle's source into $(dirname "$MOXTIL_NETTLE_SOURCE")"
  echo "setup: fetching nettle $MOXTIL_NETTLE_VERSION's source (Debian's source package)"
  # Debian's source index, from the mirror the machine's own packages come from.
  if ! apt-get source --print-uris nettle >/dev/null 2>&1; then
    mirror=$(sed -n 's/^URIs: *\([^ ]*\/debian\)$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n1)
    printf 'Types: deb-src\nURIs: %s\nSuites: bookworm\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
      "${mirror:-http://deb.debian.org/debian}" >/etc/apt/sources.list.d/moxtil-src.sources
    apt_update
  fi
  version=$(apt-cache showsrc nettle | sed -n "s/^Version: \($MOXTIL_NETTLE_VERSION-.*\)/\1/p" | head -n1)
  if [ -z "$version" ]; then
    echo "setup: Debian's source index has no nettle $MOXTIL_NETTLE_VERSION" >&2
    exit 1
  fi
  tmp=$(mktemp -d)
  # apt checks each file against the .dsc, and the .dsc against the signed
  # index; root downloads into the folder of root's.
  (cd "$tmp" && apt-get source -qq -o APT::Sandbox::User=root --download-only "nettle=$version" >/dev/null)
  orig=$tmp/nettle_$MOXTIL_NETTLE_VERSION.orig.tar.gz
  if ! echo "$MOXTIL_NETTLE_SHA256  $orig" | sha256sum -c --quiet; then
    echo "setup: $orig is not nettle $MOXTIL_NETTLE_VERSION as pinned" >&2
    rm -rf "$tmp"
    exit 1
  fi
  mkdir -p "$(dirname "$MOXTIL_NETTLE_SOURCE")"
  mv "$orig" "$MOXTIL_NETTLE_SOURCE"
  rm -rf "$tmp"
fi
