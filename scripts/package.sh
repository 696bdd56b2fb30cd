#!/usr/bin/env bash
# Builds the Debian package (dpkg-buildpackage -b) from a clean copy of the source tree, the
# files git tracks or would track, and checks it with lintian. The packages land in build-deb/
# (or the folder given): vx-connectivity-tester_<version>_<arch>.deb and its -dbgsym.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build-deb}")

# One version for the programs and the package.
version=$(sed -n 's/^project(VXConnectivityTester VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
changelog=$(dpkg-parsechangelog -S Version)
if [ "$version" != "$changelog" ]; then
    echo "package.sh: debian/changelog says $changelog, CMakeLists.txt says $version" >&2
    exit 1
fi

rm -rf "$out"
mkdir -p "$out/src"
git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$out/src"
# A second run (a developer's) reuses the compiler's work: the copy's path stays the same, and
# the cache lies outside the temporary HOME that debhelper gives the build.
if command -v ccache >/dev/null; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR=$out/src
    export CCACHE_DIR=${CCACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/ccache}
fi
(cd "$out/src" && DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" \
    dpkg-buildpackage -b -uc -us >"$out/build.log" 2>&1) || {
    tail -n 20 "$out/build.log" | cut -c1-300 >&2
    echo "package.sh: dpkg-buildpackage failed; the whole log is $out/build.log" >&2
    exit 1
}
rm -rf "$out/src"

arch=$(dpkg --print-architecture)
changes=$out/vx-connectivity-tester_${version}_$arch.changes
lintian --fail-on error,warning --display-info "$changes"
ls -l "$out"/*.deb
