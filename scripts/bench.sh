#!/bin/sh
# Prints the benchmark figures (host, and gen_crc under qemu-ppc).
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh
sh scripts/build.sh
echo "== host"
build/host/bench/bench_crc
build/host/bench/bench_flash
echo "== powerpc-linux-gnu under qemu-ppc"
qemu-ppc build/ppc/bench/bench_crc
echo "== boot path on the virtual switch (32 MiB record; root)"
/usr/bin/python3 bench/boot_bench.py
echo "== virtual switch: 15 MiB install, serial download (root only)"
SWITCH_BUILD_DIR="$PWD/build/host" /usr/bin/python3 bench/rescue_bench.py
echo "== virtual switch: XMODEM-1K receiver against lrzsz's rx, and at 115200 baud (root only)"
SWITCH_BUILD_DIR="$PWD/build/host" /usr/bin/python3 bench/xmodem_bench.py
echo "== virtual switch: power cuts during an install (SWITCH_POWER_CUTS points)"
SWITCH_BUILD_DIR="$PWD/build/host" SWITCH_POWER_CUTS="${SWITCH_POWER_CUTS:-60}" \
    /usr/bin/python3 -m pytest -q -s tests/system/test_install_power_cut.py | grep -E "power cuts|passed|failed|skipped"
