#!/usr/bin/env bash
# Installs what is needed, builds, and starts the service in the foreground from ./run (its
# application directory: settings, layouts and Service.txt are kept there), together with the
# site simulator (a Central server, a camera, an IO board and a watchdog on loopback), so that
# everything can be seen working on one machine. Ctrl+C stops both.
#
#   ./tools/run.sh                  service + simulated site
#   ./tools/run.sh --service-only   the service alone, talking to the Central server set in
#                                   run/settings.ini
#   ./tools/run.sh --tls            HTTPS on the event, relay and status ports, with a
#                                   self-signed certificate made once in run/tls/ (HTTP/2 for
#                                   browsers, so a page shows all sixteen demo cameras at once);
#                                   combines with --service-only
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
simulate=1
tls=0
while [ $# -gt 0 ]; do
    case "$1" in
        --service-only) simulate=0 ;;
        --tls) tls=1 ;;
        *) break ;;
    esac
    shift
done

"$top/tools/install-deps.sh"
cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(veltra-service)
[ "$simulate" = 1 ] && targets+=(veltra-simulator)
cmake --build "$top/build" --target "${targets[@]}"

rundir="$top/run"
mkdir -p "$rundir"
cp "$top/build/app/veltra-service" "$rundir/"

# The [TLS] section --tls writes names the demo certificate; a run without --tls takes that
# section out again (and only that one: a certificate of the site's own stays), so the demo is
# plain HTTP as before.
ini="$rundir/settings.ini"
demo_cert=tls/demo.crt
demo_key=tls/demo.key
rewrite_ini() { # awk program: settings.ini rewritten in place, keeping its owner-only mode
    local new
    new=$(mktemp)
    awk "$1" "$ini" >"$new" && cat "$new" >"$ini"
    rm -f "$new"
}
if [ -f "$ini" ] && grep -qx "certificate=$demo_cert" "$ini"; then
    rewrite_ini '/^\[/ { skip = ($0 == "[TLS]") } !skip'
fi
scheme=http
if [ "$tls" = 1 ]; then
    scheme=https
    if [ -f "$ini" ] && grep -q '^certificate=.' "$ini"; then
        echo "Using the certificate set in $ini ([TLS])."
    else
        if [ ! -s "$rundir/$demo_cert" ] || [ ! -s "$rundir/$demo_key" ]; then
            mkdir -p "$rundir/tls"
            (umask 077 && openssl req -x509 -newkey rsa:2048 -nodes -days 825 -subj "/CN=$(hostname)" \
                -addext "subjectAltName=IP:127.0.0.1,DNS:localhost" \
                -keyout "$rundir/$demo_key" -out "$rundir/$demo_cert" 2>/dev/null)
            echo "Made a self-signed certificate: $rundir/$demo_cert (key $rundir/$demo_key, owner-only)"
        fi
        (umask 077 && printf '\n[TLS]\ncertificate=%s\nkey=%s\n' "$demo_cert" "$demo_key" >>"$ini")
    fi
fi

# The camera wall is on the status port ([Status] port and address; 8089 on 127.0.0.1 until the
# first start writes them).
status_port=8089
status_host=127.0.0.1
if [ -f "$ini" ]; then
    read -r status_port status_address < <(awk -F= '/^\[/ { s = ($0 == "[Status]") }
        s && $1 == "port" { p = $2 } s && $1 == "address" { a = $2 }
        END { print (p == "" ? 8089 : p), (a == "" ? "127.0.0.1" : a) }' "$ini")
    case "$status_address" in 0.0.0.0|::|"") ;; *) status_host=$status_address ;; esac
fi
wall="$scheme://$status_host:$status_port/cameras"

if [ "$simulate" = 0 ]; then
    [ "$status_port" != 0 ] && echo "Camera wall: $wall"
    exec "$rundir/veltra-service" "$@"
fi

# The simulated site uses the service's default ports: Central on 5001/5002, layouts on 8087,
# IPC on 11223; the relayed camera is offered on 8090.
if [ -f "$rundir/settings.ini" ]; then
    sed -i -e 's/^serverAddress=.*/serverAddress=127.0.0.1/' -e 's/^serverSendPort=.*/serverSendPort=5001/' \
        -e 's/^serverRecvPort=.*/serverRecvPort=5002/' -e 's/^eventPort=.*/eventPort=8087/' \
        -e 's/^ipcPort=.*/ipcPort=11223/' "$rundir/settings.ini"
fi

# A demo operator, so that the pages ask for a login as they do on a real site. The password is
# made once and kept beside the service (owner-only).
login="$rundir/demo-login.txt"
if [ ! -s "$login" ]; then
    (umask 077 && printf 'demo %s\n' "$(openssl rand -hex 6)" >"$login")
fi
read -r demo_user demo_password <"$login"
printf '%s\n' "$demo_password" | "$rundir/veltra-service" --add-user "$demo_user" --role operator >/dev/null

# The simulator keeps the terminal's input, for its "board fail" and "board ok" commands.
sim_options=()
[ "$tls" = 1 ] && sim_options+=(--https)
"$top/build/tools/simulator/veltra-simulator" "${sim_options[@]}" <&0 &
simulator=$!
stop_simulator() { kill -TERM "$simulator" 2>/dev/null || true; wait "$simulator" 2>/dev/null || true; }
trap stop_simulator EXIT
trap ':' INT  # Ctrl+C reaches both programs through the terminal; the script only waits.

echo "Starting the service in $rundir; open the links the simulator prints once it registers."
echo "  Camera wall: $wall"
echo "  Layouts: $scheme://127.0.0.1:8087/    Cameras: $scheme://127.0.0.1:8090/    Status: $scheme://$status_host:$status_port/"
if [ "$tls" = 1 ]; then
    echo "  All sixteen cameras on the wall above, and on the layout page:"
    echo "  https://127.0.0.1:8087/DemoDVR/Gate.html#cameras"
    echo "  The certificate is self-signed: accept the browser's warning; if the pictures stay"
    echo "  blank, open https://127.0.0.1:8090/ once and accept it there too (some browsers ask per port)."
fi
echo "  Type \"board fail\" or \"board ok\" here to make the simulated IO board fail or answer again,"
echo "  \"push\" to have the Central server send the configuration again."
echo "  Log in as $demo_user, password $demo_password (kept in $login)"
status=0
"$rundir/veltra-service" "$@" || status=$?
exit $status
