#!/usr/bin/env bash
# Installs what building, testing and running Lectern need (Debian 12), then configures and
# builds into build/. Idempotent: with everything present it only runs an incremental build.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  # build
  cmake g++ make pkg-config
  qtbase5-dev libqt5websockets5-dev qttranslations5-l10n
  # the server's event dispatcher keeps its timers with Qt's own timer list
  qtbase5-private-dev
  libjsoncpp-dev libcpp-httplib-dev libmicrohttpd-dev libsqlitecpp-dev libsqlite3-dev
  # HTTPS/WSS: the check that a certificate and key belong together; certificates for trials and tests
  libgnutls28-dev openssl
  # live video: the media server, GStreamer's WebRTC stack and its headers
  janus gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-nice
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libgstreamer-plugins-bad1.0-dev
  # the teacher's microphones and speakers through the sound server; the device tests start their own
  gstreamer1.0-pulseaudio pulseaudio pulseaudio-utils
  # media tests run in a private network namespace built with ip
  iproute2
  # the board: the digest its saved pictures are keyed by (header-only), the page file reader
  libxxhash-dev libsimdjson-dev
  # running and testing the client without a desktop
  xvfb xauth fonts-wqy-zenhei fonts-liberation2
  # slides: the office suite that exports them, and the PDF pipeline the benchmark compares with
  libreoffice-impress-nogui poppler-utils
  # replays: unpacking the media server's recordings, composing one video file
  janus-tools ffmpeg
  # benchmarks
  wrk
  # Debian packages (scripts/package.sh) and their test: building, checking, the units, the requests
  dpkg-dev fakeroot binutils lintian systemd curl
  # the pinned formatter scripts/format.sh checks with
  clang-format-14
  # fuzz targets: clang with libFuzzer and the sanitizer runtimes
  clang libclang-rt-14-dev
  # the Windows syntax check of the client's sources (scripts/wincheck.sh)
  g++-mingw-w64-x86-64-posix
  # the students' page: its browser libraries, and the browser its tests drive
  libjs-janus-gateway libjs-webrtc-adapter chromium
)
# The page's browser tests and its lint run on Node; a machine with Node from elsewhere keeps its own.
if ! command -v npm >/dev/null; then
  packages+=(nodejs npm)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo=()
  if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The browser tests' and the lint's npm packages, exactly as locked.
if [ ! -d tests/web/node_modules/puppeteer-core ] || [ ! -d tests/web/node_modules/eslint ] \
  || [ tests/web/package-lock.json -nt tests/web/node_modules ]; then
  (cd tests/web && npm ci --no-audit --no-fund)
fi

build_dir=${LECTERN_BUILD_DIR:-build}
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
  cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${LECTERN_CMAKE_ARGS:-}
fi
cmake --build "$build_dir" -j "$(nproc)"
