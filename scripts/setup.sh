#!/usr/bin/env bash
# Prepares everything the build and the tests need, idempotently:
#   - Debian packages (cross compiler, wine, virtual display, fonts, service libraries, NSIS)
#   - libsodium.dll cross-built from Debian's libsodium source
#   - GoogleTest cross-built for mingw
#   - the project's own wine prefix (Chinese fonts, no prompts)
# What it builds is cached under .deps/ (git-ignored); delete that folder to start over.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DEPS="$ROOT/.deps"
mkdir -p "$DEPS"
log() { printf '[setup] %s\n' "$*"; }

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

PACKAGES=(
  # cross compiler for the Windows client
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  cmake make ninja-build pkg-config
  # running and testing the client
  wine wine64 xvfb xauth xdotool imagemagick x11-utils
  # the checks of `make run`: who holds a port, a private network for the run
  iproute2 util-linux
  fonts-noto-cjk fonts-wqy-microhei
  # building libsodium.dll from source
  dpkg-dev autoconf automake libtool
  # native tests and the reference service
  g++ googletest libgtest-dev
  libcpp-httplib-dev nlohmann-json3-dev libsqlite3-dev sqlite3 libsodium-dev libssl-dev openssl ca-certificates
  libpq-dev
  # the service's deployment and shared-database tests: nginx in front, PostgreSQL behind (both are
  # started by the tests themselves in temporary folders; no system service is used)
  nginx postgresql
  wrk curl
  # make fuzz: the service's libFuzzer targets are built with clang
  clang libclang-rt-dev
  # the release packages (make dist): the Windows installer is built with NSIS
  nsis
  # the service's room result page, opened in a real browser by its test
  chromium
  # the simulated machines of the room test and benchmark: a relay from each machine's network to
  # the one service, and each machine's own clock error
  socat libfaketime
  # NTP implementations we did not write: chrony serves each simulated machine's standard time and, with
  # sntp, probes the service's SNTP responder in its tests (installed without starting any daemon here:
  # the tests run their own chronyd -x / -Q, which never touch the host's clock)
  chrony sntp
)

# Installed without what they recommend (their configuration programs would bring a GUI toolkit).
PLAIN_PACKAGES=(
  # a window manager, for the test of the ball on a desktop that has one
  openbox
)

not_installed() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}
mapfile -t missing < <(not_installed "${PACKAGES[@]}")
mapfile -t missing_plain < <(not_installed "${PLAIN_PACKAGES[@]}")
if [ ${#missing[@]} -gt 0 ] || [ ${#missing_plain[@]} -gt 0 ]; then
  log "installing: ${missing[*]} ${missing_plain[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # Others may run apt at the same time: wait for the lock instead of failing.
  $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
  [ ${#missing[@]} -eq 0 ] ||
    $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}" >/dev/null
  [ ${#missing_plain[@]} -eq 0 ] ||
    $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing_plain[@]}" >/dev/null
fi

MINGW_PREFIX="$DEPS/mingw"
mkdir -p "$MINGW_PREFIX"

# Debian's source packages, for what is built from them below.
ensure_deb_src() {
  if ! grep -rqs 'deb-src' /etc/apt/sources.list.d/ /etc/apt/sources.list; then
    src=/etc/apt/sources.list.d/debian.sources
    if [ -f "$src" ]; then
      sed 's/^Types: deb$/Types: deb-src/' "$src" | $SUDO tee /etc/apt/sources.list.d/orvane-deb-src.sources >/dev/null
    else
      echo "deb-src http://deb.debian.org/debian bookworm main" | $SUDO tee /etc/apt/sources.list.d/orvane-deb-src.list >/dev/null
    fi
    $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
  fi
}

# ---- libsodium.dll -------------------------------------------------------------------------
if [ ! -f "$MINGW_PREFIX/bin/libsodium.dll" ]; then
  log "building libsodium.dll from Debian's source"
  ensure_deb_src
  rm -rf "$DEPS/libsodium-src" && mkdir -p "$DEPS/libsodium-src"
  (cd "$DEPS/libsodium-src" && apt-get source -qq libsodium >/dev/null 2>&1)
  srcdir=$(find "$DEPS/libsodium-src" -maxdepth 1 -mindepth 1 -type d -name 'libsodium-*' | head -n1)
  [ -n "$srcdir" ] || { echo "libsodium source not found" >&2; exit 1; }
  (
    cd "$srcdir"
    ./autogen.sh -s >/dev/null 2>&1
    ./configure -q --host=x86_64-w64-mingw32 --prefix="$MINGW_PREFIX" --enable-shared --disable-ssp \
      --without-pthreads CFLAGS="-O2" LDFLAGS=-static-libgcc >/dev/null
    make -s -j"$(nproc)" >/dev/null 2>&1
    make -s install >/dev/null 2>&1
  )
  dll=$(ls "$MINGW_PREFIX"/bin/libsodium-*.dll | head -n1)
  x86_64-w64-mingw32-strip -o "$MINGW_PREFIX/bin/libsodium.dll" "$dll"
  rm -rf "$DEPS/libsodium-src"
fi

# ---- cpp-httplib's source ---------------------------------------------------------------------
# The ThreadSanitizer build (make check-threads) compiles Debian's cpp-httplib in from its source, the
# same version and patches as the shared library, so that the sanitizer sees inside it too.
if [ ! -f "$DEPS/cpp-httplib-src/httplib.h" ]; then
  log "fetching Debian's cpp-httplib source"
  ensure_deb_src
  rm -rf "$DEPS/cpp-httplib-fetch" && mkdir -p "$DEPS/cpp-httplib-fetch"
  (cd "$DEPS/cpp-httplib-fetch" && apt-get source -qq cpp-httplib >/dev/null 2>&1)
  srcdir=$(find "$DEPS/cpp-httplib-fetch" -maxdepth 1 -mindepth 1 -type d -name 'cpp-httplib-*' | head -n1)
  [ -n "$srcdir" ] && [ -f "$srcdir/httplib.h" ] || { echo "cpp-httplib source not found" >&2; exit 1; }
  mkdir -p "$DEPS/cpp-httplib-src"
  cp "$srcdir/httplib.h" "$srcdir/LICENSE" "$DEPS/cpp-httplib-src/"
  rm -rf "$DEPS/cpp-httplib-fetch"
fi

# ---- GoogleTest for mingw ------------------------------------------------------------------
if [ ! -f "$MINGW_PREFIX/lib/libgtest.a" ]; then
  log "building GoogleTest for mingw"
  rm -rf "$DEPS/gtest-build"
  cmake -S /usr/src/googletest -B "$DEPS/gtest-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$MINGW_PREFIX" -Dgtest_disable_pthreads=ON -DBUILD_GMOCK=ON \
    -DCMAKE_CROSSCOMPILING_EMULATOR= >/dev/null
  cmake --build "$DEPS/gtest-build" >/dev/null
  cmake --install "$DEPS/gtest-build" >/dev/null
  rm -rf "$DEPS/gtest-build"
fi

# ---- wine prefix -----------------------------------------------------------------------------
"$ROOT/scripts/wine-prefix.sh"

log "ready"
