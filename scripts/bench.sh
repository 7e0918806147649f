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
echo "== the launcher a switch carries (build/ppc, installed stripped)"
tree=build/ppc-rootfs
rm -rf "$tree"
DESTDIR="$PWD/$tree" cmake --install build/ppc --prefix / --strip >/dev/null
echo "stripped size: $(wc -c < "$tree/sbin/launcher") bytes"
echo "needs: $(powerpc-linux-gnu-readelf -d "$tree/sbin/launcher" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')"
echo "== boot path on the virtual switch (32 MiB record; root)"
/usr/bin/python3 bench/boot_bench.py
echo "== virtual switch: 15 MiB install, serial download (root only)"
SWITCH_BUILD_DIR="$PWD/build/host" /usr/bin/python3 bench/rescue_bench.py
echo "== virtual switch: USB stick left in at start-up, installs from the stick (root only)"
SWITCH_BUILD_DIR="$PWD/build/host" /usr/bin/python3 bench/usb_bench.py
echo "== virtual switch: XMODEM-1K receiver against lrzsz's rx, and at 115200 baud (root only)"
SWITCH_BUILD_DIR="$PWD/build/host" /usr/bin/python3 bench/xmodem_bench.py
echo "== virtual switch: power cuts at every point of seven updates and of a USB replacement (root only; about an hour)"
SWITCH_BUILD_DIR="$PWD/build/host" /usr/bin/python3 bench/power_cut_bench.py
echo "== the virtual machine against the namespaces: power-on to application, flash kept at a power cut (root only)"
SWITCH_BUILD_DIR="$PWD/build/host" /usr/bin/python3 bench/vm_bench.py
