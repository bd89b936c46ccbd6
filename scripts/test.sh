#!/usr/bin/env bash
# Sets up, builds and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
BUILD_DIR=${BUILD_DIR:-build}
# The publisher's Debian package, kept in $BUILD_DIR/package (tests/tools/tst_debianpackage
# makes and installs its own copy).
(cd "$BUILD_DIR" && cpack -G DEB > /dev/null)
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)" "$@"
