#!/usr/bin/env bash
# The Debian packages, made from the build given (scripts/package.sh --no-build, so nothing is
# compiled again), checked as an operator's machine meets them: their files, modes, links,
# conffiles and dependencies, lintian, the units under systemd-analyze verify, and the server
# started from the extracted package with its shipped configuration inside private network and
# mount namespaces, where it answers /healthz, signs in, serves the page and counts the sign-in,
# and where a bad key in the configuration stops it with the line.
#
#   check-packages.sh BUILD_DIR        (as root: it makes namespaces)
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "check-packages: $*" >&2; exit 1; }
for tool in lintian systemd-analyze dpkg-deb fakeroot curl openssl unshare ip readelf; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup.sh installs it)"
done

"$src/scripts/package.sh" --build-dir "$build" --no-build --out "$work/out" > "$work/package.log" 2>&1 \
  || { cat "$work/package.log" >&2; fail "package.sh failed"; }
version=$(sed -n 's/^LECTERN_CLIENT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
server_deb=$work/out/lectern-server_${version}_${arch}.deb
client_deb=$work/out/lectern_${version}_${arch}.deb
[ -f "$server_deb" ] && [ -f "$client_deb" ] || fail "no packages named for version $version in $work/out"
grep -q -- "--publish rided4a_win_$version " "$work/package.log" || fail "package.sh does not say how to publish the client"

# Contents: "mode owner path [-> target]" lines of each package.
listing() { dpkg-deb -c "$1" | awk '{ $3=$4=$5=""; print }' | tr -s ' '; }
listing "$server_deb" > "$work/server.list"
listing "$client_deb" > "$work/client.list"
expect() { # list line...
  local list=$1; shift
  for line in "$@"; do
    grep -qxF -- "$line" "$work/$list.list" || fail "$list package lacks \"$line\""
  done
}
expect server \
  "-rwxr-xr-x root/root ./usr/lib/lectern/lectern-server" \
  "lrwxrwxrwx root/root ./usr/bin/lectern-server -> ../lib/lectern/lectern-server" \
  "-rw-r--r-- root/root ./etc/lectern/lectern-server.conf" \
  "-rw-r--r-- root/root ./etc/lectern/janus.env" \
  "-rw-r--r-- root/root ./lib/systemd/system/lectern-server.service" \
  "-rw-r--r-- root/root ./lib/systemd/system/lectern-janus.service" \
  "-rwxr-xr-x root/root ./usr/lib/lectern/janus/start-janus.sh" \
  "-rw-r--r-- root/root ./usr/lib/lectern/janus/janus.plugin.videoroom.jcfg.in" \
  "-rw-r--r-- root/root ./usr/lib/lectern/web/student/index.html" \
  "-rw-r--r-- root/root ./usr/lib/lectern/web/student/lib/janus.js" \
  "-rw-r--r-- root/root ./usr/share/doc/lectern-server/copyright"
expect client \
  "-rwxr-xr-x root/root ./usr/lib/lectern/lectern" \
  "lrwxrwxrwx root/root ./usr/bin/lectern -> ../lib/lectern/lectern" \
  "-rw-r--r-- root/root ./usr/share/applications/lectern.desktop" \
  "-rw-r--r-- root/root ./usr/share/icons/hicolor/48x48/apps/lectern.png" \
  "-rw-r--r-- root/root ./usr/lib/lectern/LibreOfficePortable/Data/settings/user/basic/ExportImages/ExportImages.xba" \
  "-rw-r--r-- root/root ./usr/share/doc/lectern/copyright"
grep -q ' ./usr/lib/lectern/translations/qt.*_zh_CN\.qm$' "$work/client.list" || fail "client package lacks the Qt catalogues"
for list in server client; do
  # Only links in /usr/bin; nothing anyone but root owns; nothing writable by others.
  if grep -E ' \./usr/bin/.' "$work/$list.list" | grep -qv '^l'; then fail "$list package puts more than links in /usr/bin"; fi
  if grep -qv ' root/root ' "$work/$list.list"; then fail "$list package has files not owned by root"; fi
  if grep -qE '^[^l].{7}w' "$work/$list.list"; then fail "$list package has world-writable entries"; fi
done

# Control data: conffiles, dependencies, version, and the stock Janus disabled on install.
dpkg-deb -e "$server_deb" "$work/server.ctl"
dpkg-deb -e "$client_deb" "$work/client.ctl"
[ "$(cat "$work/server.ctl/conffiles")" = "$(printf '/etc/lectern/janus.env\n/etc/lectern/lectern-server.conf')" ] \
  || fail "server conffiles are: $(cat "$work/server.ctl/conffiles")"
field() { sed -n "s/^$2: //p" "$work/$1.ctl/control"; }
[ "$(field server Version)" = "$version" ] && [ "$(field client Version)" = "$version" ] || fail "package versions are not $version"
for dep in janus janus-tools ffmpeg adduser libqt5core5a; do
  field server Depends | tr ',' '\n' | grep -q "^ *$dep\b" || fail "lectern-server does not depend on $dep"
done
for dep in libreoffice-impress gstreamer1.0-plugins-good gstreamer1.0-nice libqt5widgets5; do
  field client Depends | tr ',' '\n' | grep -q "^ *$dep\b" || fail "lectern does not depend on $dep"
done
grep -q 'deb-systemd-helper disable janus.service' "$work/server.ctl/postinst" || fail "postinst leaves janus.service enabled"
grep -q "disabling Debian's janus.service" "$work/server.ctl/postinst" || fail "postinst does not say it disables janus.service"

lintian --fail-on error --no-tag-display-limit "$server_deb" "$client_deb" > "$work/lintian.log" 2>&1 \
  || { cat "$work/lintian.log" >&2; fail "lintian reports errors"; }

# Extracted server: stripped, units verified against it with the host's systemd copied in.
root=$work/root
dpkg-deb -x "$server_deb" "$root"
if readelf -S "$root/usr/lib/lectern/lectern-server" | grep -q '\.debug_info'; then fail "lectern-server is not stripped"; fi
mkdir -p "$root/usr/lib" "$root/bin"
cp -a /usr/lib/systemd "$root/usr/lib/"
cp -L /bin/sh "$root/bin/sh"
systemd-analyze verify --root="$root" lectern-server.service lectern-janus.service > "$work/verify.log" 2>&1 \
  || { cat "$work/verify.log" >&2; fail "systemd-analyze verify refuses the units"; }

# The shipped configuration names every option the server has (set or commented out).
conf=$root/etc/lectern/lectern-server.conf
for opt in $("$root/usr/lib/lectern/lectern-server" --help | sed -n 's/^  --\([a-z-]*\) .*/\1/p'); do
  case "$opt" in help | help-all | config | publish) continue ;; esac
  grep -Eq "^#?$opt = " "$conf" || fail "the shipped configuration does not document \"$opt\""
done

# The server records into the folder its Janus is allowed to write (Janus protects /var).
grep -q '^recordings = /var/lib/lectern/recordings$' "$conf" || fail "the shipped configuration records nowhere"
grep -q -- '--recordings /var/lib/lectern/recordings' "$root/lib/systemd/system/lectern-janus.service" \
  || fail "lectern-janus.service does not let Janus record into /var/lib/lectern/recordings"

# Run as installed: /var/lib is a fresh tmpfs in a private mount namespace, the network a private
# one with only its loopback. The media server's key is the one thing the package makes on install.
od -An -tx1 -N16 /dev/urandom | tr -d ' \n' > "$work/janus-key"
cat > "$work/run.sh" <<EOF
set -euo pipefail
ip link set lo up
mount -t tmpfs tmpfs /var/lib
mkdir -p /var/lib/lectern/downloads
server() { "$root/usr/bin/lectern-server" --config "\$@"; }
server "$conf" --janus-admin-key-file "$work/janus-key" user add zhou "pw 7" 周老师 teacher >/dev/null
"$root/usr/bin/lectern-server" --config "$conf" --janus-admin-key-file "$work/janus-key" > "$work/server.log" 2>&1 &
pid=\$!
for _ in \$(seq 100); do
  if curl -fsS http://127.0.0.1:8080/healthz > "$work/health" 2>/dev/null; then break; fi
  kill -0 \$pid 2>/dev/null || { cat "$work/server.log" >&2; echo "the server ended" >&2; exit 1; }
  sleep 0.1
done
[ "\$(cat "$work/health")" = ok ] || { echo "healthz: \$(cat "$work/health")" >&2; exit 1; }
h1=\$(printf %s "pw 7" | openssl sha1 -binary | base64)
salted=\$(printf %s "\${h1}4321" | openssl sha1 -binary | base64)
curl -fsS -o "$work/login" -H 'Content-Type: application/json' -d "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"user.login\",\"params\":{\"loginId\":\"zhou\",\"saltedPassword\":\"\$salted\",\"salt\":\"4321\",\"channel\":\"PC\",\"appType\":\"rided4a_win\",\"clientVersion\":\"rided4a_win_$version\"}}" \
  http://127.0.0.1:8080/app-server/jsonrpc/ && grep -q '"ak"' "$work/login" || { echo "sign-in failed" >&2; exit 1; }
curl -fsS -o "$work/page" http://127.0.0.1:8080/student/ && grep -qi '<html' "$work/page" || { echo "no students' page" >&2; exit 1; }
curl -fsS -o "$work/metrics" http://127.0.0.1:8080/metrics && grep -qx 'lectern_sign_ins_total 1' "$work/metrics" \
  || { echo "sign-in not counted" >&2; exit 1; }
kill -TERM \$pid
wait \$pid || { echo "the server did not end cleanly" >&2; exit 1; }
[ -s /var/lib/lectern/lectern.db ] || { echo "no database in /var/lib/lectern" >&2; exit 1; }

cp "$conf" "$work/bad.conf"
echo "prot = 8080" >> "$work/bad.conf"
line=\$(wc -l < "$work/bad.conf")
if server "$work/bad.conf" --janus-admin-key-file "$work/janus-key" 2> "$work/bad.log"; then
  echo "a bad key did not stop the server" >&2; exit 1
fi
grep -qF "bad.conf:\$line: unknown key \"prot\"" "$work/bad.log" || { cat "$work/bad.log" >&2; exit 1; }
EOF
unshare -mn --propagation private bash "$work/run.sh" || fail "the installed server failed (above)"
echo "check-packages: lectern-server and lectern $version pass"
