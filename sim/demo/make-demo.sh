#!/bin/sh
# Builds a demo application and diagnostics image, makes a virtual switch
# with them in both slots and the rescue partition, and boots it.
#
#   sim/demo/make-demo.sh [--no-boot] [DIR]
#
# DIR (default: demo-board in the work tree) receives images/ (the image
# files) and board/ (the switch). The switch powers on again after every
# reboot until Ctrl-] powers it off. Booting needs root; see
# sim/README-vswitch.md for the other modes of the same switch.
set -eu

boot=yes
if [ "${1:-}" = --no-boot ]; then
    boot=no
    shift
fi
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
build=${SWITCH_BUILD_DIR:-$repo/build/host}
imgtool=$build/tools/imgtool
vswitch=$repo/sim/vswitch
out=${1:-$repo/demo-board}

if [ ! -x "$imgtool" ]; then
    echo "make-demo: $imgtool not built (scripts/build.sh)" >&2
    exit 1
fi

rm -rf "$out/images" "$out/stage"
mkdir -p "$out/images" "$out/stage"
stage=$out/stage

# The application: a BusyBox script that names its image and shows what it
# inherited from the launcher, then offers a shell on the console.
app() {  # app NAME VERSION OUTPUT.tar.gz
    dir=$stage/$1
    mkdir -p "$dir/home/bin"
    echo "demo distribution for the virtual switch" > "$dir/home/bin/distro-id"
    cat > "$dir/home/bin/mp.elf.strip" <<APP
#!/bin/sh
echo "*** demo application: image '$1', version $2 ***"
echo "LD_PRELOAD=\${LD_PRELOAD:-}"
echo "descriptors inherited from the launcher:"
ls -l /proc/$$/fd
if [ -t 0 ]; then
    echo "demo shell: try 'ls /user/images', 'cat /.vswitch/board.log', 'reboot'"
    PS1='switch# ' exec /bin/sh -i
fi
APP
    chmod +x "$dir/home/bin/mp.elf.strip"
    tar -czf "$3" -C "$dir" home
}

# The diagnostics image: the program at the top level of the archive, which
# the launcher moves into the application's place.
diags() {  # diags VERSION OUTPUT.tar.gz
    dir=$stage/diags
    mkdir -p "$dir/home/bin"
    echo "demo distribution for the virtual switch" > "$dir/home/bin/distro-id"
    cat > "$dir/mpdiag.elf.strip" <<DIAG
#!/bin/sh
echo "*** demo diagnostics, version $1 ***"
echo "user files after the erase:"
ls -R /user 2>&1
if [ -t 0 ]; then
    PS1='diags# ' exec /bin/sh -i
fi
DIAG
    chmod +x "$dir/mpdiag.elf.strip"
    tar -czf "$2" -C "$dir" mpdiag.elf.strip home
}

app image1 1.0.0.1 "$stage/app1.tar.gz"
app image2 2.0.0.2 "$stage/app2.tar.gz"
app recovery 3.0.0.3 "$stage/recovery.tar.gz"
diags 9.0.0.1 "$stage/diags.tar.gz"
"$imgtool" create "$out/images/image1" "application:1.0.0.1:$stage/app1.tar.gz" >/dev/null
"$imgtool" create "$out/images/image2" "application:2.0.0.2:$stage/app2.tar.gz" >/dev/null
"$imgtool" create "$out/images/diags.img" "diags:9.0.0.1:$stage/diags.tar.gz" >/dev/null
"$imgtool" create "$out/images/recovery.img" \
    "application:3.0.0.3:$stage/recovery.tar.gz" >/dev/null
# An image whose record is damaged: one payload byte flipped.
cp "$out/images/image2" "$out/images/broken.img"
printf '\377' | dd of="$out/images/broken.img" bs=1 seek=40 conv=notrunc 2>/dev/null
rm -rf "$stage"

"$vswitch" create "$out/board" --force \
    --image1 "$out/images/image1" --image2 "$out/images/image2" \
    --rescue "$out/images/diags.img" --boot-slot 1 --usb-boot 0

echo "make-demo: images in $out/images, board in $out/board"
if [ "$boot" = yes ]; then
    # A reboot on the demo switch powers it on again; only Ctrl-] ends it.
    exec "$vswitch" boot "$out/board" --reboots always
fi
