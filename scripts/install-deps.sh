#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; does nothing when all are there.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev libsystemd-dev
    clang libclang-rt-14-dev   # sanitizer runtimes and libFuzzer
    systemd dbus util-linux procps iproute2   # the real service manager for the service tests
    chromium   # the web front door's page in a real browser (its test skips without it)
    nodejs     # llhttp, the reference of the front door's differential test (skips without it)
    curl       # the front door's own-network test drives it from inside the namespace
    prometheus # promtool checks the metrics scrape and alert rules; the server scrapes in a test
    debhelper dpkg-dev fakeroot lintian ccache   # the Debian package (scripts/package.sh)
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
