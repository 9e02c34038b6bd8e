#!/usr/bin/env bash
# Installs what is needed, builds, and starts the service in the foreground from ./run (its
# application directory: settings, layouts and Service.txt are kept there), together with the
# site simulator (a Central server, a camera, an IO board and a watchdog on loopback), so that
# everything can be seen working on one machine. Ctrl+C stops both.
#
#   ./tools/run.sh                  service + simulated site
#   ./tools/run.sh --service-only   the service alone, talking to the Central server set in
#                                   run/settings.ini
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
simulate=1
if [ "${1:-}" = "--service-only" ]; then
    simulate=0
    shift
fi

"$top/tools/install-deps.sh"
cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(veltra-service)
[ "$simulate" = 1 ] && targets+=(veltra-simulator)
cmake --build "$top/build" --target "${targets[@]}"

rundir="$top/run"
mkdir -p "$rundir"
cp "$top/build/app/veltra-service" "$rundir/"

if [ "$simulate" = 0 ]; then
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
"$top/build/tools/simulator/veltra-simulator" <&0 &
simulator=$!
stop_simulator() { kill -TERM "$simulator" 2>/dev/null || true; wait "$simulator" 2>/dev/null || true; }
trap stop_simulator EXIT
trap ':' INT  # Ctrl+C reaches both programs through the terminal; the script only waits.

echo "Starting the service in $rundir; open the links the simulator prints once it registers."
echo "  Layouts: http://127.0.0.1:8087/    Cameras: http://127.0.0.1:8090/    Status: http://127.0.0.1:8089/"
echo "  Type \"board fail\" or \"board ok\" here to make the simulated IO board fail or answer again."
echo "  Log in as $demo_user, password $demo_password (kept in $login)"
status=0
"$rundir/veltra-service" "$@" || status=$?
exit $status
