#!/bin/sh
# Sets up, builds and runs every test: unit tests and end-to-end runs of the
# real program, all under Wine. Exits non-zero when any test fails.
set -eu
cd "$(dirname "$0")/.."
sh scripts/setup-debian.sh
cmake --preset mingw
cmake --build --preset mingw
ctest --preset mingw
