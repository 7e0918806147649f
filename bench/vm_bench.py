#!/usr/bin/python3
"""The full-system virtual machine against the namespaces' virtual switch.
Prints figures; asserts nothing about time.

1. Power-on to application: `vswitch boot` started to the test
   application's first line on the console, for a board with an
   application in slot 1, on each machine: the namespaces, the x86 machine
   and the PowerPC machine (median of N boots; the x86 machine's
   accelerator is printed, TCG where KVM does not work; the PowerPC one is
   always TCG). On the machines it includes the kernel's start, its drivers
   and the initramfs made for the boot; on the namespaces it is the
   launcher's own start. Also the PowerPC kernel's build time, as its cache
   recorded it when it was built.
2. How far a power cut keeps the flash on each machine: a program booted in
   the launcher's place erases the rescue partition and writes it in 1 KiB
   pieces on one open descriptor, as the installer does, numbering each
   piece and saying on the console which piece it has just written; the
   runner cuts the power (`vswitch cut`) at a chosen piece. Printed: the
   last piece the console showed written, and the pieces the partition file
   holds after the cut (the machine's flash stores each write in the file
   before the write returns: none written and shown should be lost).

Usage: bench/vm_bench.py [--boots 3] [--cuts 5]   (root; sh scripts/build.sh first)
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "sim"))
from vsw.ppckernel import prepare_ppc_kernel  # noqa: E402
from vsw.vm import accelerator, machine_cache  # noqa: E402

BUILD = os.environ.get("SWITCH_BUILD_DIR", os.path.join(REPO, "build", "host"))
VSWITCH = os.path.join(REPO, "sim", "vswitch")
IMGTOOL = os.path.join(BUILD, "tools", "imgtool")
APP = "#!/bin/sh\necho BENCH-APP up\nexit 7\n"
# Writes 1 KiB pieces to the rescue partition from one open descriptor; each
# piece starts with its number. The console shows the number once written.
WRITER = """#!/bin/sh
flash_eraseall -q /dev/mtd-rescue > /dev/null 2>&1
exec 3> /dev/mtd-rescue
n=0
while [ $n -lt 8000 ]; do
    n=$((n + 1))
    printf '%08d' $n | dd bs=1024 conv=sync 2>/dev/null >&3
    echo "piece $n"
done
sleep 60
"""


def app_image(work):
    tree = os.path.join(work, "tree")
    os.makedirs(os.path.join(tree, "home", "bin"))
    with open(os.path.join(tree, "home", "bin", "mp.elf.strip"), "w") as f:
        f.write(APP)
    os.chmod(os.path.join(tree, "home", "bin", "mp.elf.strip"), 0o755)
    with open(os.path.join(tree, "home", "bin", "distro-id"), "w") as f:
        f.write("bench\n")
    archive = os.path.join(work, "app.tar.gz")
    subprocess.run(["tar", "-czf", archive, "-C", tree, "home"], check=True)
    image = os.path.join(work, "app.img")
    subprocess.run([IMGTOOL, "create", image, f"application:1.0.0.1:{archive}"], check=True,
                   capture_output=True)
    return image


MACHINES = {"ns": ["--machine", "ns"], "x86": ["--machine", "vm"],
            "ppc": ["--machine", "vm", "--target", "ppc"]}


def boot_until(board, machine, wanted, launcher=None, on_line=None):
    """Seconds from `vswitch boot` to the console line holding `wanted`."""
    argv = [VSWITCH, "boot", board, *MACHINES[machine], "--timeout", "300",
            "--escape", "none"] + (["--launcher", launcher] if launcher else [])
    start = time.monotonic()
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            env=dict(os.environ, SWITCH_BUILD_DIR=BUILD))
    seen = None
    for raw in proc.stdout:
        line = raw.decode(errors="replace").strip()
        if seen is None and wanted in line:
            seen = time.monotonic() - start
        if on_line and on_line(line):
            break
    proc.stdout.close()
    proc.wait()
    return seen


def power_on_figures(work, boots):
    image = app_image(work)
    for machine in MACHINES:
        board = os.path.join(work, f"board-{machine}")
        subprocess.run([VSWITCH, "create", board, "--image1", image, "--boot-slot", "1",
                        "--force"], check=True, capture_output=True)
        times = [boot_until(board, machine, "BENCH-APP up") for _ in range(boots)]
        times = [t for t in times if t is not None]
        what = {"ns": "the namespaces (device model)",
                "x86": f"the x86 machine ({accelerator(machine_cache(), None)})",
                "ppc": "the PowerPC machine (tcg)"}[machine]
        print(f"power-on to application, {what}: median {statistics.median(times):.2f} s "
              f"of {len(times)} boots (min {min(times):.2f}, max {max(times):.2f})")


def pieces_in(board_path):
    with open(os.path.join(board_path, "dev", "mtd-rescue.bin"), "rb") as f:
        data = f.read()
    n = 0
    while n * 1024 + 8 <= len(data) and data[n * 1024:n * 1024 + 8] == b"%08d" % (n + 1):
        n += 1
    return n


def cut_figures(work, cuts):
    writer = os.path.join(work, "writer.sh")
    with open(writer, "w") as f:
        f.write(WRITER)
    os.chmod(writer, 0o755)
    board = os.path.join(work, "board-cut")
    for machine in ("x86", "ppc"):
        print(f"power cut during 1 KiB flash writes on the {machine} machine "
              "(one open descriptor):")
        for target in [400 + 1500 * i for i in range(cuts)]:
            cut_once(board, writer, machine, target)


def cut_once(board, writer, machine, target):
    subprocess.run([VSWITCH, "create", board, "--force"], check=True, capture_output=True)
    shown = [0]

    def on_line(line):
        if line.startswith("piece "):
            shown[0] = int(line.split()[1])
            if shown[0] == target:
                subprocess.run([VSWITCH, "cut", board], check=True)
        return line.startswith("vswitch: ")

    boot_until(board, machine, "piece 1", writer, on_line)
    held = pieces_in(board)
    print(f"  cut once the console showed piece {target} written (last shown {shown[0]}): "
          f"the partition file holds pieces 1..{held} ({shown[0] - held} written "
          f"and shown, lost)")


def kernel_figure():
    vmlinux, _modules = prepare_ppc_kernel()
    with open(os.path.join(os.path.dirname(vmlinux), "build-seconds")) as f:
        words = f.read().split()
    seconds = int(words[0])
    cores = f"{words[1]} cores" if len(words) > 1 else "cores not recorded"
    print(f"PowerPC kernel build, cold, as its cache recorded it: {seconds // 60} min "
          f"{seconds % 60} s ({cores}; unpacking the source included; whatever else ran "
          "then is not recorded)")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--boots", type=int, default=3)
    p.add_argument("--cuts", type=int, default=5)
    args = p.parse_args()
    with tempfile.TemporaryDirectory(prefix="vm-bench-") as work:
        kernel_figure()
        power_on_figures(work, args.boots)
        cut_figures(work, args.cuts)


if __name__ == "__main__":
    main()
