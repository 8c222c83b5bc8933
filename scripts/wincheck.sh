#!/usr/bin/env bash
# Syntax-checks the product's sources for Windows with MinGW-w64 and Qt's own headers, so the
# Windows branches cannot rot while no Windows build machine exists. Sources that need
# GStreamer, the server's libraries or other Linux-only headers (directly or through our own
# headers) are left out and named. Usage: scripts/wincheck.sh BUILD_DIR [file…]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: scripts/wincheck.sh BUILD_DIR [file…]}
shift
cxx=$(command -v x86_64-w64-mingw32-g++-posix || true)
if [ -z "$cxx" ]; then
  echo "wincheck: x86_64-w64-mingw32-g++-posix not found (package g++-mingw-w64-x86-64-posix)" >&2
  exit 1
fi
qt=$(pkg-config --variable=includedir Qt5Core)
if [ ! -d "$qt/QtCore" ]; then
  echo "wincheck: Qt 5 headers not found (pkg-config Qt5Core)" >&2
  exit 1
fi

# Header-only dependencies come from folders that hold only them: adding /usr/include would put
# the host's C library ahead of MinGW's own headers.
extra=$(mktemp -d)
trap 'rm -rf "$extra"' EXIT
for h in xxhash.h simdjson.h; do
  if [ -f "/usr/include/$h" ]; then ln -s "/usr/include/$h" "$extra/$h"; fi
done

includes=(-I . -I client -I client/ilive -I protocol -I janus -I "$build/client" -I "$extra"
  -I /usr/include/jsoncpp -I "$qt")
for m in QtCore QtGui QtWidgets QtNetwork QtWebSockets QtConcurrent; do
  includes+=(-I "$qt/$m")
done
# The forms' generated headers and the configured header come from the native build.
for d in "$build"/client/*_autogen/include "$build"/tools/*/*_autogen/include; do
  if [ -d "$d" ]; then includes+=(-I "$d"); fi
done
if [ ! -f "$build/client/lectern_config.h" ]; then
  echo "wincheck: $build/client/lectern_config.h missing: build the native tree first" >&2
  exit 1
fi

# Headers a Windows build cannot have. A source is left out when it, or one of our headers it
# includes, names one of these.
linux_only='^[[:space:]]*#[[:space:]]*include[[:space:]]*<(gst/|glib|gio/|sys/|unistd\.h|linux/|microhttpd|SQLiteCpp|sqlite3|gnutls|httplib\.h)'

declare -A verdict=()
# Prints the reason a file needs Linux-only headers, or nothing.
linux_reason() {
  local f=$1
  if [ -n "${verdict[$f]+x}" ]; then
    printf '%s' "${verdict[$f]}"
    return
  fi
  verdict[$f]=""
  local reason="" hit
  hit=$(grep -Eo "$linux_only" "$f" | head -1 | sed -E 's/.*<//' || true)
  if [ -n "$hit" ]; then
    reason="<$hit…>"
  else
    local inc dir path
    dir=$(dirname "$f")
    while IFS= read -r inc; do
      for path in "$dir/$inc" "$inc" "client/$inc" "client/ilive/$inc" "protocol/$inc" "janus/$inc"; do
        if [ -f "$path" ]; then
          local sub
          sub=$(linux_reason "$(realpath --relative-to=. "$path")")
          if [ -n "$sub" ]; then reason="$inc → $sub"; fi
          break
        fi
      done
      if [ -n "$reason" ]; then break; fi
    done < <(sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1/p' "$f")
  fi
  verdict[$f]=$reason
  printf '%s' "$reason"
}

if (($#)); then
  files=("$@")
else
  mapfile -t files < <(find base client protocol janus live media tools -name '*.cpp' ! -name '*_linux.cpp' | sort)
fi

checked=0
failed=()
left=()
for f in "${files[@]}"; do
  reason=$(linux_reason "$f")
  if [ -n "$reason" ]; then
    left+=("$f ($reason)")
    continue
  fi
  checked=$((checked + 1))
  if ! "$cxx" -std=c++17 -fsyntax-only -Wall -Wextra -Wno-attributes -DUNICODE -D_UNICODE \
      -DQT_CORE_LIB -DQT_GUI_LIB -DQT_WIDGETS_LIB -DQT_NETWORK_LIB "${includes[@]}" "$f"; then
    failed+=("$f")
  fi
done

echo "wincheck: left out (Linux-only headers):"
for l in "${left[@]}"; do echo "  $l"; done
echo "wincheck: $checked files checked for Windows, ${#failed[@]} failed"
for f in "${failed[@]}"; do echo "  FAILED $f"; done
if ((${#failed[@]})); then exit 1; fi
