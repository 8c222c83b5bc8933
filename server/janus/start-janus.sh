#!/usr/bin/env bash
# Starts Janus with Lectern's configuration only: the VideoRoom plugin and the WebSocket
# transport, on the ports given, with every other plugin, transport, logger and event handler
# that the package ships left out.
#
#   start-janus.sh --dir DIR --port PORT --admin-key KEY [--bind ADDR] [--ice-interface IF]
#                  [--local-ip ADDR] [--rtp-ports LOW-HIGH] [--debug-level N]
#                  [--cert FILE --key FILE --wss-port PORT [--wss-bind ADDR]]
#
# With --cert and --key (PEM, the key unencrypted) the WebSocket transport also serves WSS on
# --wss-port (on --wss-bind, default 0.0.0.0), for students' pages opened over HTTPS; plain WS
# stays on --bind for lectern-server, which should reach it over loopback.
#
# --local-ip is the address Janus writes into its SDP; without it Janus looks for one itself and
# passes over loopback-range addresses.
#
# DIR receives the filled-in configuration and the plugin links; Janus runs in the foreground
# (exec), so whoever started this script stops Janus by stopping it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

dir= port= key= bind=127.0.0.1 iface= localip= rtp=20000-40000 level=3 cert= certkey= wssport= wssbind=0.0.0.0
while (($#)); do
  case "$1" in
    --dir) dir=$2; shift 2 ;;
    --port) port=$2; shift 2 ;;
    --admin-key) key=$2; shift 2 ;;
    --bind) bind=$2; shift 2 ;;
    --ice-interface) iface=$2; shift 2 ;;
    --local-ip) localip=$2; shift 2 ;;
    --rtp-ports) rtp=$2; shift 2 ;;
    --debug-level) level=$2; shift 2 ;;
    --cert) cert=$2; shift 2 ;;
    --key) certkey=$2; shift 2 ;;
    --wss-port) wssport=$2; shift 2 ;;
    --wss-bind) wssbind=$2; shift 2 ;;
    *) echo "start-janus: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ -z "$dir" ] || [ -z "$port" ] || [ -z "$key" ]; then
  echo "start-janus: --dir, --port and --admin-key are required" >&2
  exit 2
fi
case "$key" in *[!A-Za-z0-9_-]*) echo "start-janus: the admin key may hold only letters, digits, - and _" >&2; exit 2 ;; esac
wss=false wsslisten= wsscerts=
if [ -n "$cert$certkey$wssport" ]; then
  if [ -z "$cert" ] || [ -z "$certkey" ] || [ -z "$wssport" ]; then
    echo "start-janus: --cert, --key and --wss-port go together" >&2
    exit 2
  fi
  for f in "$cert" "$certkey"; do
    if ! [ -f "$f" ] || ! [ -r "$f" ]; then echo "start-janus: cannot read $f" >&2; exit 2; fi
  done
  # Janus would start without WSS on a certificate it cannot load; refuse here instead.
  if ! openssl x509 -in "$cert" -noout 2>/dev/null; then
    echo "start-janus: $cert is not a PEM certificate" >&2; exit 2
  fi
  if [ "$(openssl x509 -in "$cert" -noout -pubkey 2>/dev/null)" != "$(openssl pkey -in "$certkey" -pubout 2>/dev/null)" ]; then
    echo "start-janus: the key $certkey does not belong to the certificate $cert" >&2; exit 2
  fi
  cert=$(cd "$(dirname "$cert")" && pwd)/$(basename "$cert")
  certkey=$(cd "$(dirname "$certkey")" && pwd)/$(basename "$certkey")
  case "$cert$certkey" in *[\"\|\\\&]*) echo "start-janus: certificate paths may not hold \", |, & or \\" >&2; exit 2 ;; esac
  case "$wssport" in ''|*[!0-9]*) echo "start-janus: --wss-port takes a port number" >&2; exit 2 ;; esac
  case "$wssbind" in *[!0-9A-Fa-f.:]*) echo "start-janus: --wss-bind takes an IP address" >&2; exit 2 ;; esac
  wss=true
  wsslisten="wss_port = $wssport\n\twss_ip = \"$wssbind\""
  wsscerts="cert_pem = \"$cert\"\n\tcert_key = \"$certkey\""
fi

lib=
for candidate in /usr/lib/*/janus /usr/lib/janus /usr/local/lib/janus; do
  if [ -e "$candidate/plugins/libjanus_videoroom.so" ]; then lib=$candidate; break; fi
done
if [ -z "$lib" ]; then
  echo "start-janus: Janus's VideoRoom plugin is not installed (Debian package janus)" >&2
  exit 1
fi

mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
rm -rf "$dir/plugins" "$dir/transports" "$dir/events" "$dir/loggers"
mkdir -p "$dir/plugins" "$dir/transports" "$dir/events" "$dir/loggers"
ln -s "$lib/plugins/libjanus_videoroom.so" "$dir/plugins/"
ln -s "$lib/transports/libjanus_websockets.so" "$dir/transports/"

enforce= local=
if [ -n "$localip" ]; then local="interface = \"$localip\""; fi
if [ -n "$iface" ]; then enforce="ice_enforce_list = \"$iface\""; fi

fill() {
  sed -e "s|@DIR@|$dir|g" -e "s|@PORT@|$port|g" -e "s|@ADMIN_KEY@|$key|g" -e "s|@BIND@|$bind|g" \
      -e "s|@RTP_PORTS@|$rtp|g" -e "s|@DEBUG_LEVEL@|$level|g" -e "s|@ICE_ENFORCE@|$enforce|g" \
      -e "s|@LOCAL_IP@|$local|g" -e "s|@WSS@|$wss|g" -e "s|@WSS_LISTEN@|$wsslisten|g" \
      -e "s|@WSS_CERTIFICATES@|$wsscerts|g" "$1" > "$2"
}
fill "$here/janus.jcfg.in" "$dir/janus.jcfg"
fill "$here/janus.transport.websockets.jcfg.in" "$dir/janus.transport.websockets.jcfg"
fill "$here/janus.plugin.videoroom.jcfg.in" "$dir/janus.plugin.videoroom.jcfg"
chmod 600 "$dir/janus.plugin.videoroom.jcfg"

exec janus -C "$dir/janus.jcfg" -F "$dir"
