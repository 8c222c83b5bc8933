#!/usr/bin/env bash
# Builds the Debian packages lectern-server and lectern (the client) into OUT:
#
#   scripts/package.sh [--app-server-url URL] [--live-url URL] [--version X.Y]
#                      [--build-dir DIR] [--out OUT]
#   scripts/package.sh --build-dir DIR --no-build [--out OUT]
#
# The client reads no configuration, so its endpoints are compiled in: a school builds its own
# client package with its server's URLs (default: loopback). The package's version is the
# client's: publish the package with the command this script prints, and installed clients of
# another version are told to update.
#
# Programs and the files beside them live in /usr/lib/lectern, with links in /usr/bin; the
# server's state in /var/lib/lectern (made on install, owned by the system user lectern), its
# configuration in /etc/lectern. --no-build packages what DIR already holds, as it was built
# (the tests do this on the build they run from).
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)

app_url= live_url= version= build=build-package out=dist no_build=0
while (($#)); do
  case "$1" in
    --app-server-url) app_url=$2; shift 2 ;;
    --live-url) live_url=$2; shift 2 ;;
    --version) version=$2; shift 2 ;;
    --build-dir) build=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --no-build) no_build=1; shift ;;
    *) echo "package: unknown argument $1 (see the head of $0)" >&2; exit 2 ;;
  esac
done
if [ -n "$version" ] && ! [[ $version =~ ^[0-9]+(\.[0-9]+)*$ ]]; then
  echo "package: --version takes numbers with dots, e.g. 1.2, not $version" >&2
  exit 2
fi
for tool in dpkg-deb dpkg-shlibdeps fakeroot strip; do
  command -v "$tool" >/dev/null || { echo "package: $tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done

if ((no_build)); then
  if [ -n "$app_url$live_url$version" ]; then
    echo "package: --no-build packages the build as it is; the URLs and the version need a build" >&2
    exit 2
  fi
  [ -f "$build/CMakeCache.txt" ] || { echo "package: $build is not a build folder" >&2; exit 1; }
else
  args=(-DLECTERN_APP_SERVER_URL="${app_url:-http://127.0.0.1:8080/app-server/jsonrpc/}"
        -DLECTERN_LIVE_URL="${live_url:-ws://127.0.0.1:8081/live}")
  if [ -n "$version" ]; then args+=(-DLECTERN_CLIENT_VERSION="$version"); fi
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLECTERN_TESTS=OFF "${args[@]}"
  else
    cmake "$build" "${args[@]}" >/dev/null
  fi
  cmake --build "$build" -j "$(nproc)" --target lectern-server lectern
fi
cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
version=$(cache LECTERN_CLIENT_VERSION)
app_url=$(cache LECTERN_APP_SERVER_URL)
live_url=$(cache LECTERN_LIVE_URL)
[ -n "$version" ] || { echo "package: $build has no LECTERN_CLIENT_VERSION" >&2; exit 1; }
bin=$build/bin
for f in "$bin/lectern-server" "$bin/lectern" "$bin/web/student/index.html"; do
  [ -e "$f" ] || { echo "package: $f is missing: build lectern-server and lectern first" >&2; exit 1; }
done

arch=$(dpkg --print-architecture)
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Copies a tree with the modes Debian expects: folders 755, files 644 (executables 755).
copy_tree() {
  mkdir -p "$2"
  cp -R --no-preserve=mode,ownership "$1/." "$2/"
  find "$2" -type d -exec chmod 755 {} +
  find "$2" -type f -exec chmod 644 {} +
}
strip_into() {
  install -D -m 755 "$1" "$2"
  strip --strip-unneeded --remove-section=.comment --remove-section=.note "$2"
}
docs() { # package
  local d=$1/usr/share/doc/$(basename "$1")
  install -d "$d"
  install -m 644 "$src/packaging/copyright" "$d/copyright"
  printf '%s (%s) stable; urgency=medium\n\n  * Lectern %s: the client with its compiled-in endpoints\n    %s and %s.\n\n -- Lectern developers <lectern@example.org>  %s\n' \
    "$(basename "$1")" "$version" "$version" "$app_url" "$live_url" "$(date -R -d @"${SOURCE_DATE_EPOCH:-$(date +%s)}")" \
    | gzip -9n > "$d/changelog.gz"
}
# shlibs:Depends of the package's ELF files, as dpkg-shlibdeps computes them.
shlib_depends() { # package files...
  local pkg=$1; shift
  mkdir -p "$work/shlibs/debian"
  printf 'Source: lectern\n\nPackage: %s\nArchitecture: any\n' "$pkg" > "$work/shlibs/debian/control"
  (cd "$work/shlibs" && dpkg-shlibdeps -O "$@" 2>/dev/null) | sed -n 's/^shlibs:Depends=//p'
}
control() { # package depends description-synopsis description-body...
  local root=$1 depends=$2 synopsis=$3; shift 3
  local size
  size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
  {
    printf 'Package: %s\nVersion: %s\nArchitecture: %s\nMaintainer: Lectern developers <lectern@example.org>\n' \
      "$(basename "$root")" "$version" "$arch"
    printf 'Installed-Size: %s\nDepends: %s\nSection: education\nPriority: optional\n' "$size" "$depends"
    printf 'Homepage: https://lectern.example.org/\nDescription: %s\n' "$synopsis"
    for line in "$@"; do
      if [ -z "$line" ]; then printf ' .\n'; else printf ' %s\n' "$line"; fi
    done
  } > "$root/DEBIAN/control"
  (cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z | xargs -0 md5sum) \
    > "$root/DEBIAN/md5sums"
  chmod 644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"
}

# lectern-server
s=$work/lectern-server
install -d "$s/DEBIAN" "$s/usr/bin" "$s/etc/lectern" "$s/lib/systemd/system"
strip_into "$bin/lectern-server" "$s/usr/lib/lectern/lectern-server"
copy_tree "$bin/web/student" "$s/usr/lib/lectern/web/student"
install -d "$s/usr/lib/lectern/janus"
install -m 755 "$src/server/janus/start-janus.sh" "$s/usr/lib/lectern/janus/"
install -m 644 "$src"/server/janus/*.jcfg.in "$s/usr/lib/lectern/janus/"
ln -s ../lib/lectern/lectern-server "$s/usr/bin/lectern-server"
install -m 644 "$src/packaging/lectern-server.conf" "$src/packaging/janus.env" "$s/etc/lectern/"
install -m 644 "$src/packaging/lectern-server.service" "$src/packaging/lectern-janus.service" "$s/lib/systemd/system/"
docs "$s"
gzip -9n < "$src/README.md" > "$s/usr/share/doc/lectern-server/README.md.gz"
for script in postinst prerm postrm; do
  install -m 755 "$src/packaging/lectern-server.$script" "$s/DEBIAN/$script"
done
printf '/etc/lectern/janus.env\n/etc/lectern/lectern-server.conf\n' > "$s/DEBIAN/conffiles"
chmod 644 "$s/DEBIAN/conffiles"
control "$s" "$(shlib_depends lectern-server "$s/usr/lib/lectern/lectern-server"), adduser, janus, janus-tools, ffmpeg, openssl" \
  "Lectern live class server: app server, live relay and students' page" \
  "lectern-server answers the Lectern teacher's client (JSON-RPC over HTTP on" \
  "SQLite), relays each live class's messages over WebSocket, serves the" \
  "students' web page and client updates, and makes each class's VideoRoom on" \
  "the Janus media server, which it runs with its own configuration as" \
  "lectern-janus.service (Debian's janus.service is disabled on install)." \
  "" \
  "Configuration: /etc/lectern/lectern-server.conf; state: /var/lib/lectern;" \
  "health and metrics: /healthz and /metrics on the app server's port."
fakeroot dpkg-deb --root-owner-group -Zxz --build "$s" "$out/lectern-server_${version}_${arch}.deb" >/dev/null

# lectern (the client)
c=$work/lectern
install -d "$c/DEBIAN" "$c/usr/bin"
strip_into "$bin/lectern" "$c/usr/lib/lectern/lectern"
copy_tree "$bin/translations" "$c/usr/lib/lectern/translations"
copy_tree "$src/client/slides/LibreOfficeProfile" "$c/usr/lib/lectern/LibreOfficePortable/Data/settings"
ln -s ../lib/lectern/lectern "$c/usr/bin/lectern"
install -D -m 644 "$src/client/resources/lectern.desktop" "$c/usr/share/applications/lectern.desktop"
install -D -m 644 "$src/client/resources/icons/start.png" "$c/usr/share/icons/hicolor/48x48/apps/lectern.png"
docs "$c"
control "$c" "$(shlib_depends lectern "$c/usr/lib/lectern/lectern"), gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, gstreamer1.0-plugins-bad, gstreamer1.0-nice, libreoffice-impress, fonts-wqy-zenhei" \
  "Teacher's desktop client for Lectern live online classes" \
  "The teacher's desktop client of Lectern: the lobby of the teacher's lives, the" \
  "live room with camera, screen share and sound over WebRTC, the students'" \
  "discussion and microphones, a whiteboard, and slides converted by LibreOffice." \
  "" \
  "This build talks to $app_url" \
  "and $live_url."
fakeroot dpkg-deb --root-owner-group -Zxz --build "$c" "$out/lectern_${version}_${arch}.deb" >/dev/null

echo "built $out/lectern-server_${version}_${arch}.deb"
echo "built $out/lectern_${version}_${arch}.deb (client $version for $app_url)"
echo "publish the client to installed clients with:"
echo "  lectern-server --config /etc/lectern/lectern-server.conf --publish rided4a_win_$version $out/lectern_${version}_${arch}.deb"
