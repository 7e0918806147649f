"""The PowerPC machine's kernel: built from Debian's linux-source-6.1 for
the e500 with the switch's drivers built in (sim/vm/ppc/kernel.defconfig,
a minimal configuration as `make savedefconfig` writes it), and our I2C
adapter module cross-built against that tree. Both are cached outside the
checkout (/var/cache/vswitch/ppc, or $SWITCH_PPC_CACHE), keyed by the
source package's version and the configuration (the module by its source
too), so that CI and a second checkout on the same machine build them
once; a lock keeps two builders of the same key apart."""

import fcntl
import hashlib
import os
import shutil
import subprocess
import sys
import time
from contextlib import contextmanager

from vsw.common import SIM_DIR, VswitchError

PPC_DIR = os.path.join(SIM_DIR, "vm", "ppc")
KERNEL_CONFIG = os.path.join(PPC_DIR, "kernel.defconfig")
I2C_SOURCE = os.path.join(SIM_DIR, "vm", "vswitch_i2c.c")
SOURCE_PACKAGE = "linux-source-6.1"
SOURCE_TARBALL = "/usr/src/linux-source-6.1.tar.xz"
CROSS = ["ARCH=powerpc", "CROSS_COMPILE=powerpc-linux-gnu-"]
COMPLETE = ".complete"


def ppc_cache():
    return os.environ.get("SWITCH_PPC_CACHE", "/var/cache/vswitch/ppc")


def package_version(package):
    result = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package],
                            capture_output=True, text=True)
    if result.returncode != 0 or not result.stdout:
        raise VswitchError(f"{package} is not installed (scripts/deps.sh installs it)")
    return result.stdout


def digest(*paths):
    h = hashlib.sha256()
    for path in paths:
        with open(path, "rb") as f:
            h.update(f.read())
    return h.hexdigest()[:12]


@contextmanager
def locked(cache, name):
    """Holds the lock of one cache entry: a second builder waits, then
    finds the entry made."""
    os.makedirs(cache, exist_ok=True)
    with open(os.path.join(cache, f".{name}.lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield os.path.join(cache, name)


def prepare_ppc_kernel():
    """(vmlinux, modules dir) of the PowerPC machine, built first if the
    cache has no complete entry for this source version and configuration."""
    cache = ppc_cache()
    key = f"kernel-{package_version(SOURCE_PACKAGE)}-{digest(KERNEL_CONFIG)}"
    with locked(cache, key) as entry:
        if not os.path.exists(os.path.join(entry, COMPLETE)):
            build_kernel(entry)
    modules = own_module(cache, entry)
    return os.path.join(entry, "vmlinux"), modules


def build_kernel(entry):
    shutil.rmtree(entry, ignore_errors=True)
    src, build = os.path.join(entry, "src"), os.path.join(entry, "build")
    os.makedirs(src)
    os.makedirs(build)
    started = time.monotonic()
    say(f"unpacking {SOURCE_TARBALL}")
    subprocess.run(["tar", "-xJf", SOURCE_TARBALL, "--strip-components=1", "-C", src],
                   check=True)
    shutil.copyfile(KERNEL_CONFIG, os.path.join(build, ".config"))
    make(src, build, "olddefconfig")
    # "all": the kernel, and what modules built against it need (Module.symvers).
    make(src, build, f"-j{os.cpu_count() or 1}", "all", progress=True)
    shutil.copyfile(os.path.join(build, "vmlinux"), os.path.join(entry, "vmlinux"))
    seconds = time.monotonic() - started
    with open(os.path.join(entry, "build-seconds"), "w") as f:
        f.write(f"{seconds:.0f} {os.cpu_count()}\n")  # seconds, and the cores it had
    open(os.path.join(entry, COMPLETE), "w").close()
    say(f"kernel built in {seconds:.0f} s")


def make(src, build, *targets, progress=False):
    """Runs make in the build tree; with progress, a line every 250 files
    compiled, so a long first build shows it is going."""
    argv = ["make", "-C", src, f"O={build}", *CROSS, *targets]
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    tail, compiled = [], 0
    for line in proc.stdout:
        tail = (tail + [line])[-30:]
        if progress and line.lstrip().startswith("CC "):
            compiled += 1
            if compiled % 250 == 0:
                say(f"kernel build: {compiled} files compiled")
    if proc.wait() != 0:
        raise VswitchError(f"the PowerPC kernel did not build ({' '.join(targets)}):\n"
                           + "".join(tail))


def say(text):
    print(f"vswitch: {text}", file=sys.stderr, flush=True)


def own_module(cache, entry):
    """Our I2C adapter module, cross-built for the kernel of `entry` from
    its current source: a new source is a new cache entry, never the old
    module."""
    key = f"i2c-{os.path.basename(entry)}-{digest(I2C_SOURCE)}"
    with locked(cache, key) as modules:
        ko = os.path.join(modules, "vswitch_i2c.ko")
        if not os.path.exists(ko):
            shutil.rmtree(modules, ignore_errors=True)
            work = os.path.join(modules, "build")
            os.makedirs(work)
            shutil.copyfile(I2C_SOURCE, os.path.join(work, "vswitch_i2c.c"))
            with open(os.path.join(work, "Kbuild"), "w") as f:
                f.write("obj-m := vswitch_i2c.o\n")
            result = subprocess.run(["make", "-C", os.path.join(entry, "build"), *CROSS,
                                     f"M={work}", "modules"], capture_output=True, text=True)
            if result.returncode != 0:
                shutil.rmtree(modules, ignore_errors=True)
                raise VswitchError("the I2C module did not build for the PowerPC kernel:\n"
                                   + result.stdout + result.stderr)
            # Everything the kernel has is built in: init loads no other module.
            open(os.path.join(modules, "board.order"), "w").close()
            shutil.move(os.path.join(work, "vswitch_i2c.ko"), ko)
            shutil.rmtree(work)
    return modules

