#!/usr/bin/env bash
# Starts Janus with Lectern's configuration only: the VideoRoom plugin and the WebSocket
# transport, on the ports given, with every other plugin, transport, logger and event handler
# that the package ships left out.
#
#   start-janus.sh --dir DIR --port PORT (--admin-key KEY | --admin-key-file FILE)
#                  [--bind ADDR] [--ice-interface IF]
#                  [--local-ip ADDR] [--rtp-ports LOW-HIGH] [--debug-level N]
#                  [--admin-port PORT] [--admin-bind ADDR]
#                  [--cert FILE --key FILE --wss-port PORT [--wss-bind ADDR]]
#                  [--recordings DIR]
#
# Janus accepts sessions only with a token lectern-server hands out through the Admin API, which
# listens on --admin-port (default PORT + 1) at --admin-bind (default 127.0.0.1: give the address
# lectern-server reaches when it runs on another host) and takes the admin key as its secret.
# A service gives the key as a file (its first line), so that it never shows in a process list.
#
# With --cert and --key (PEM, the key unencrypted) the WebSocket transport also serves WSS on
# --wss-port (on --wss-bind, default 0.0.0.0), for students' pages opened over HTTPS; plain WS
# stays on --bind for lectern-server, which should reach it over loopback.
#
# --local-ip is the address Janus writes into its SDP; without it Janus looks for one itself and
# passes over loopback-range addresses.
#
# --recordings is the folder lectern-server's --recordings names: Janus writes the classes'
# recordings there. Janus refuses to record into its protected folders (among them /var) without
# saying so to whoever made the room, so that folder is let out of them: a protected folder on the
# way to it is replaced by everything beside that way, which stays protected.
#
# DIR receives the filled-in configuration and the plugin links; Janus runs in the foreground
# (exec), so whoever started this script stops Janus by stopping it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

dir= port= key= bind=127.0.0.1 iface= localip= rtp=20000-40000 level=3 cert= certkey= wssport= wssbind=0.0.0.0
adminport= adminbind=127.0.0.1 keyfile= recordings=
while (($#)); do
  if [ $# -lt 2 ]; then echo "start-janus: $1 needs a value" >&2; exit 2; fi
  case "$1" in
    --dir) dir=$2; shift 2 ;;
    --port) port=$2; shift 2 ;;
    --admin-key) key=$2; shift 2 ;;
    --admin-key-file) keyfile=$2; shift 2 ;;
    --bind) bind=$2; shift 2 ;;
    --ice-interface) iface=$2; shift 2 ;;
    --local-ip) localip=$2; shift 2 ;;
    --rtp-ports) rtp=$2; shift 2 ;;
    --debug-level) level=$2; shift 2 ;;
    --cert) cert=$2; shift 2 ;;
    --key) certkey=$2; shift 2 ;;
    --wss-port) wssport=$2; shift 2 ;;
    --wss-bind) wssbind=$2; shift 2 ;;
    --admin-port) adminport=$2; shift 2 ;;
    --admin-bind) adminbind=$2; shift 2 ;;
    --recordings) recordings=$2; shift 2 ;;
    *) echo "start-janus: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ -n "$keyfile" ]; then
  if [ -n "$key" ]; then echo "start-janus: give --admin-key or --admin-key-file, not both" >&2; exit 2; fi
  if [ ! -r "$keyfile" ] || [ -d "$keyfile" ]; then echo "start-janus: cannot read the admin key file $keyfile" >&2; exit 2; fi
  IFS= read -r key < "$keyfile" || true
  if [ -z "$key" ]; then echo "start-janus: the admin key file $keyfile is empty" >&2; exit 2; fi
fi
if [ -z "$dir" ] || [ -z "$port" ] || [ -z "$key" ]; then
  echo "start-janus: --dir, --port and --admin-key (or --admin-key-file) are required" >&2
  exit 2
fi
case "$key" in *[!A-Za-z0-9_-]*) echo "start-janus: the admin key may hold only letters, digits, - and _" >&2; exit 2 ;; esac
# Every value goes into the configuration as it is: what could break out of its place is refused.
bad() { echo "start-janus: $1" >&2; exit 2; }
isport() { case "$1" in ''|*[!0-9]*) return 1 ;; esac; [ "${#1}" -le 5 ] && [ "$1" -ge 1 ] && [ "$1" -le 65535 ]; }
isip() { case "$1" in ''|*[!0-9A-Fa-f.:]*) return 1 ;; esac; }
isport "$port" || bad "--port takes a port number (1-65535), not $port"
if [ -z "$adminport" ]; then adminport=$((port + 1)); fi
isport "$adminport" || bad "--admin-port takes a port number (1-65535), not $adminport"
[ "$adminport" != "$port" ] || bad "--admin-port must differ from --port"
isip "$bind" || bad "--bind takes an IP address, not $bind"
isip "$adminbind" || bad "--admin-bind takes an IP address, not $adminbind"
if [ -n "$localip" ]; then isip "$localip" || bad "--local-ip takes an IP address, not $localip"; fi
case "$iface" in *[!A-Za-z0-9_.:,-]*) bad "--ice-interface takes interface names or addresses, not $iface" ;; esac
[[ "$rtp" =~ ^[0-9]{1,5}-[0-9]{1,5}$ ]] && isport "${rtp%-*}" && isport "${rtp#*-}" && [ "${rtp%-*}" -le "${rtp#*-}" ] \
  || bad "--rtp-ports takes LOW-HIGH port numbers, not $rtp"
case "$level" in [0-7]) ;; *) bad "--debug-level takes 0 to 7, not $level" ;; esac
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
  isport "$wssport" || bad "--wss-port takes a port number (1-65535), not $wssport"
  isip "$wssbind" || bad "--wss-bind takes an IP address, not $wssbind"
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

case "$dir" in *[\"\|\\\&$'\n']*) bad "the folder $dir may not hold \", |, &, \\ or a line break" ;; esac
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
case "$dir" in *[\"\|\\\&$'\n']*) bad "the folder $dir may not hold \", |, &, \\ or a line break" ;; esac
rm -rf "$dir/plugins" "$dir/transports" "$dir/events" "$dir/loggers"
mkdir -p "$dir/plugins" "$dir/transports" "$dir/events" "$dir/loggers"
ln -s "$lib/plugins/libjanus_videoroom.so" "$dir/plugins/"
ln -s "$lib/transports/libjanus_websockets.so" "$dir/transports/"

protected=(/bin /boot /dev /etc /initrd /lib /lib32 /lib64 /proc /sbin /sys /usr /var)
if [ -n "$recordings" ]; then
  mkdir -p "$recordings" || bad "cannot create the recordings folder $recordings"
  recordings=$(cd "$recordings" && pwd -P)
  kept=()
  for p in "${protected[@]}"; do
    if [ "$recordings" != "$p" ] && [[ "$recordings" != "$p"/* ]]; then kept+=("$p"); continue; fi
    at=$p rest=${recordings#"$p"}
    rest=${rest#/}
    while [ -n "$rest" ]; do
      step=${rest%%/*}
      for e in "$at"/* "$at"/.[!.]*; do
        [ -e "$e" ] && [ "$e" != "$at/$step" ] || continue
        # Janus compares the start of a path: a folder named like the start of the way down is
        # closed with a slash, so it does not cover the way itself.
        if [ -d "$e" ]; then kept+=("$e/"); else kept+=("$e"); fi
      done
      at=$at/$step rest=${rest#"$step"}
      rest=${rest#/}
    done
  done
  protected=("${kept[@]}")
fi
folders=
for p in "${protected[@]}"; do
  case "$p" in *[\"\|\\\&$'\n']*) continue ;; esac
  folders+="${folders:+, }\"$p\""
done

enforce= local=
if [ -n "$localip" ]; then local="interface = \"$localip\""; fi
if [ -n "$iface" ]; then enforce="ice_enforce_list = \"$iface\""; fi

fill() {
  sed -e "s|@DIR@|$dir|g" -e "s|@PORT@|$port|g" -e "s|@ADMIN_KEY@|$key|g" -e "s|@BIND@|$bind|g" \
      -e "s|@ADMIN_PORT@|$adminport|g" -e "s|@ADMIN_BIND@|$adminbind|g" \
      -e "s|@RTP_PORTS@|$rtp|g" -e "s|@DEBUG_LEVEL@|$level|g" -e "s|@ICE_ENFORCE@|$enforce|g" \
      -e "s|@LOCAL_IP@|$local|g" -e "s|@WSS@|$wss|g" -e "s|@WSS_LISTEN@|$wsslisten|g" \
      -e "s|@WSS_CERTIFICATES@|$wsscerts|g" -e "s|@PROTECTED@|$folders|g" "$1" > "$2"
}
fill "$here/janus.jcfg.in" "$dir/janus.jcfg"
fill "$here/janus.transport.websockets.jcfg.in" "$dir/janus.transport.websockets.jcfg"
fill "$here/janus.plugin.videoroom.jcfg.in" "$dir/janus.plugin.videoroom.jcfg"
# Both hold the admin key.
chmod 600 "$dir/janus.plugin.videoroom.jcfg" "$dir/janus.jcfg"

exec janus -C "$dir/janus.jcfg" -F "$dir"
