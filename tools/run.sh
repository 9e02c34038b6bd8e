#!/usr/bin/env bash
# Installs what is needed, builds, and starts the service in the foreground from ./run
# (its application directory: settings, layouts and Service.txt are kept there).
# Ctrl+C stops it cleanly.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/install-deps.sh"
cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$top/build" --target veltra-service
mkdir -p "$top/run"
cp "$top/build/app/veltra-service" "$top/run/"
exec "$top/run/veltra-service" "$@"
