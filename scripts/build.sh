#!/bin/sh
# Configures and builds the three configurations:
#   build/host  optimised host build: launcher, tools, emulated devices, benchmarks
#   build/asan  host build with AddressSanitizer and UndefinedBehaviorSanitizer
#   build/fuzz  the fuzz targets, clang with libFuzzer, ASan and UBSan
#   build/ppc   cross build for the 32-bit big-endian PowerPC target: the
#               launcher as a switch carries it, tests and benchmarks static
#   build/vm    the x86 machine's kernel (Debian's, fetched once) and our
#               modules, built against Debian's headers
#   the PowerPC machine's kernel, I2C module and BusyBox, built once from
#   Debian's sources into /var/cache/vswitch/ppc (or $SWITCH_PPC_CACHE)
set -eu
cd "$(dirname "$0")/.."

configure() {
    dir=$1; shift
    if [ ! -f "$dir/build.ninja" ]; then
        cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    fi
    ninja -C "$dir"
}

configure build/host -DCMAKE_BUILD_TYPE=RelWithDebInfo
configure build/asan -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=ON
configure build/ppc -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/powerpc-linux-gnu.cmake"
configure build/fuzz -DCMAKE_BUILD_TYPE=Debug -DFUZZ=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
sim/vswitch vm-kernel build/vm
sim/vswitch vm-kernel --target ppc
