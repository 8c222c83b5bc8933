#!/usr/bin/env bash
# Installs and builds (setup.sh), starts the Janus media server (build/run/janus/, log in
# build/run/janus.log) and the app server with its live relay and demo data, then the client.
# Options:
#   --students N   also start N scripted students in the first live in progress
#   --tls-cert FILE --tls-key FILE --public-host NAME
#                  for students on other machines: the server listens on every address and serves
#                  HTTPS and WSS with this pair, Janus adds WSS on 8989; NAME is the server's name or
#                  IP as the certificate gives it (the teacher's client then needs https/wss URLs)
# Works on a desktop and under xvfb-run.
set -euo pipefail
cd "$(dirname "$0")/.."
students=0
tls_cert= tls_key= public_host=
while [ $# -gt 0 ]; do
  case "$1" in
    --students) students=${2:?}; shift 2 ;;
    --students=*) students=${1#*=}; shift ;;
    --tls-cert) tls_cert=${2:?}; shift 2 ;;
    --tls-key) tls_key=${2:?}; shift 2 ;;
    --public-host) public_host=${2:?}; shift 2 ;;
    -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
    *) echo "run.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

if [ -n "$tls_cert$tls_key$public_host" ] && { [ -z "$tls_cert" ] || [ -z "$tls_key" ] || [ -z "$public_host" ]; }; then
  echo "run.sh: --tls-cert, --tls-key and --public-host go together" >&2
  exit 2
fi

scripts/setup.sh
build_dir=${LECTERN_BUILD_DIR:-build}
bin="$build_dir/bin"
data="$build_dir/run"
mkdir -p "$data/downloads"

server_pid=
janus_pid=
student_pids=()
# Students first, so they leave their room while the server can still hear it.
cleanup() {
  for p in "${student_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${student_pids[@]}"; do wait "$p" 2>/dev/null || true; done
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
  if [ -n "$janus_pid" ]; then kill "$janus_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

if [ -x "$bin/lectern-server" ]; then
  # The client only knows 8080/8081: another server there would take our students and client.
  if (exec 3<>/dev/tcp/127.0.0.1/8080) 2>/dev/null; then
    echo "run.sh: port 8080 is already taken; stop the other lectern-server first" >&2
    exit 1
  fi
  if (exec 3<>/dev/tcp/127.0.0.1/8188) 2>/dev/null || (exec 3<>/dev/tcp/127.0.0.1/8189) 2>/dev/null; then
    echo "run.sh: port 8188 or 8189 (the media server and its Admin API) is already taken; stop the other Janus first" >&2
    exit 1
  fi
  # A fresh admin key each run: only this lectern-server may create rooms on this Janus.
  janus_key=$(head -c 24 /dev/urandom | od -An -tx1 | tr -d ' \n')
  # Handed over in a file: on a command line ps would show it to every user.
  (umask 077 && printf '%s\n' "$janus_key" > "$data/janus-admin-key")
  janus_tls=() server_tls=()
  if [ -n "$tls_cert" ]; then
    # lectern-server keeps talking to Janus over loopback; browsers come in over WSS.
    janus_tls=(--cert "$tls_cert" --key "$tls_key" --wss-port 8989 --wss-bind 0.0.0.0)
    server_tls=(--host 0.0.0.0 --tls-cert "$tls_cert" --tls-key "$tls_key"
      --janus-public-url "wss://$public_host:8989")
  fi
  # Classes are kept as replays in $data/recordings.
  server/janus/start-janus.sh --dir "$data/janus" --port 8188 --admin-key-file "$data/janus-admin-key" --debug-level 2 \
    --recordings "$data/recordings" "${janus_tls[@]}" > "$data/janus.log" 2>&1 &
  janus_pid=$!
  for _ in $(seq 50); do
    if (exec 3<>/dev/tcp/127.0.0.1/8188) 2>/dev/null; then break; fi
    kill -0 "$janus_pid" 2>/dev/null || { echo "run.sh: Janus did not start (see $data/janus.log)" >&2; exit 1; }
    sleep 0.2
  done
  "$bin/lectern-server" --demo --db "$data/lectern.db" --downloads "$data/downloads" \
    --janus ws://127.0.0.1:8188 --janus-admin-key-file "$data/janus-admin-key" --recordings "$data/recordings" \
    "${server_tls[@]}" &
  server_pid=$!
  # Wait until the app server answers, at most 10 s.
  for _ in $(seq 50); do
    if (exec 3<>/dev/tcp/127.0.0.1/8080) 2>/dev/null; then break; fi
    kill -0 "$server_pid" 2>/dev/null || { echo "run.sh: lectern-server did not start" >&2; exit 1; }
    sleep 0.2
  done
fi

if [ "$students" -gt 0 ] && [ -x "$bin/lectern-student" ]; then
  for i in $(seq "$students"); do
    "$bin/lectern-student" --login "$(printf 'student%02d' "$i")" --password 123456 --chat-every 30 &
    student_pids+=($!)
  done
fi

"$bin/lectern"
