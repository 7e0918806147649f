#!/bin/sh
# The test command: installs what is missing, builds every configuration,
# runs the unit tests with sanitizers and on PowerPC under qemu-ppc, then the
# system tests against the host build, those marked ppc against the
# PowerPC launcher under qemu-ppc, and those marked vm on the full-system
# virtual machines, x86 and PowerPC. SWITCH_TARGET=ppc runs all of them
# against the PowerPC launcher as well; SWITCH_MACHINE=vm all that the
# machines can serve on them.
set -eu
cd "$(dirname "$0")/.."

sh scripts/deps.sh
sh scripts/build.sh

echo "== unit tests, host with ASan and UBSan"
(cd build/asan && ctest --output-on-failure -j2)

echo "== unit tests, powerpc-linux-gnu under qemu-ppc"
(cd build/ppc && ctest --output-on-failure -j2)

echo "== fuzz targets, a short pass over each (scripts/fuzz.sh runs them long)"
(cd build/fuzz && ctest --output-on-failure -j2)

echo "== system tests, host build"
SWITCH_MACHINE=ns SWITCH_TARGET=host SWITCH_BUILD_DIR="$PWD/build/host" \
    /usr/bin/python3 -m pytest -q tests/system

if [ "${SWITCH_TARGET:-}" = ppc ]; then
    echo "== system tests, all, PowerPC launcher under qemu-ppc"
    set --
else
    echo "== system tests marked ppc, PowerPC launcher under qemu-ppc"
    set -- -m ppc
fi
SWITCH_MACHINE=ns SWITCH_TARGET=ppc SWITCH_BUILD_DIR="$PWD/build/host" \
    /usr/bin/python3 -m pytest -q "$@" tests/system

if [ "${SWITCH_MACHINE:-}" = vm ]; then
    echo "== system tests, all the machines can serve, on the virtual machines"
    set --
else
    echo "== system tests marked vm, on the x86 machine (Debian's kernel, real drivers)"
    set -- -m vm
fi
SWITCH_MACHINE=vm SWITCH_TARGET=host SWITCH_BUILD_DIR="$PWD/build/host" \
    /usr/bin/python3 -m pytest -q "$@" tests/system

echo "== the same on the PowerPC e500 machine (the shipped launcher, NOR flash, the SoC's I2C)"
SWITCH_MACHINE=vm SWITCH_TARGET=ppc SWITCH_BUILD_DIR="$PWD/build/host" \
    /usr/bin/python3 -m pytest -q "$@" tests/system
