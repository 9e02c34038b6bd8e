#!/usr/bin/env bash
# Installs every Debian package needed to build, run and test the service.
# Safe to run again; uses sudo when not already root.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5sql5-sqlite
    libzmq3-dev cppzmq-dev
    # HTTP/2 framing, flow control and header compression for the TLS ports.
    libnghttp2-dev
    # Smaller pictures for viewers that ask for a width: libjpeg-turbo's DCT-scaled decoding.
    libturbojpeg0-dev
    protobuf-compiler libprotobuf-dev
    sqlite3 clang-format openssl
    # The unit test boots systemd in private namespaces and checks the unit there.
    systemd iproute2 python3
)
if [ "${WITH_FUZZ:-0}" = 1 ]; then
    packages+=(clang libclang-rt-14-dev)
fi
# The checks the test suite runs with outside tools: `promtool check metrics` on a live /metrics,
# `promtool check rules` and `test rules` on the alert rules, and the Prometheus server itself
# scraping a live site for the dashboard's queries (prometheus); Alertmanager delivering an alert
# raised by those rules to the test's receiver (prometheus-alertmanager); the rule checks read
# the rule files (python3-yaml); `lintian` on the built package.
if [ "${WITH_CHECKS:-0}" = 1 ]; then
    packages+=(prometheus prometheus-alertmanager python3-yaml lintian)
fi
if [ "${WITH_BROWSER:-0}" = 1 ]; then
    packages+=(chromium chromium-driver python3)
    # The camera wall is tested in Firefox ESR too, trusting the test's CA in a fresh profile
    # (certutil); the wall benchmark's HTTP/1.1 viewers are curl.
    packages+=(firefox-esr libnss3-tools curl)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
