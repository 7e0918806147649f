#!/bin/sh
# Installs the Debian packages that building, testing and the virtual switch
# need, when any is missing. Runs as root on Debian 12.
set -eu

PACKAGES="
build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
googletest zlib1g-dev
g++-powerpc-linux-gnu qemu-user qemu-user-static
libi2c-dev i2c-tools mtd-utils u-boot-tools
busybox-static lrzsz util-linux procps iproute2
dosfstools mtools
python3 python3-fusepy python3-pytest python3-pexpect python3-matplotlib python3-lzo
qemu-system-x86 linux-headers-amd64
qemu-system-ppc linux-source-6.1 gcc-powerpc-linux-gnu libc6-dev-powerpc-cross
bc bison flex libssl-dev libelf-dev xz-utils dpkg-dev patch
stress-ng
"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -n "$missing" ]; then
    echo "Installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing
fi
