"""The virtual machine's kernel: Debian 12's own, taken from its package
(downloaded and unpacked, never installed on the host), with the modules
the board needs, and our own modules (the I2C buses, the flash) built
against Debian's headers of the same version. Everything lands in a cache
directory, made once and reused while the installed headers and the list
of modules stay the same; our modules are built again whenever their
sources change."""

import glob
import hashlib
import lzma
import os
import re
import shutil
import struct
import subprocess

from vsw.common import SIM_DIR, VswitchError

# The drivers of the board, in the order init loads them (their own
# dependencies come first, found from each module's information).
BOARD_MODULES = [
    "virtio_pci", "virtio_console", "9pnet_virtio", "9p",
    "mtd", "mtdblock", "jffs2",
    "i2c-dev",
    "xhci-pci", "usb-storage", "sd_mod", "vfat", "nls_cp437", "nls_ascii", "nls_utf8",
    "e1000",
]
# Ours, from sim/vm: the I2C buses with their chips, and the NOR flash.
OWN_MODULES = ("vswitch_i2c", "vswitch_flash")
OWN_SOURCES = os.path.join(SIM_DIR, "vm")
STAMP = "kernel.stamp"
OWN_STAMP = "own.stamp"


def headers_dir():
    """Debian's headers of the newest installed kernel ABI (linux-headers-amd64)."""
    found = sorted(glob.glob("/usr/src/linux-headers-*-amd64"), key=abi_key)
    if not found:
        raise VswitchError("no kernel headers: install linux-headers-amd64")
    return found[-1]


def abi_key(path):
    return [int(n) for n in re.findall(r"\d+", os.path.basename(path))]


def kernel_key(headers):
    """What the cache's kernel was made for: the headers' release and the
    board's module list."""
    release = os.path.basename(headers)[len("linux-headers-"):]
    return " ".join([release, *BOARD_MODULES])


def kernel_ready(cache, headers):
    """The cache's kernel, when it matches the installed headers and the
    module list: its paths (vmlinux, the modules' directory), else None."""
    try:
        with open(os.path.join(cache, STAMP)) as f:
            if f.read().strip() != kernel_key(headers):
                return None
    except OSError:
        return None
    return os.path.join(cache, "vmlinux"), os.path.join(cache, "modules")


def prepare_kernel(cache):
    """The kernel and modules for the machine, from the cache, made first
    if need be (fetch_kernel), with our own modules built from their
    current sources. Returns (vmlinux, modules dir)."""
    cache = os.path.abspath(cache)  # make runs in the headers' tree
    headers = headers_dir()
    ready = kernel_ready(cache, headers) or fetch_kernel(cache, headers)
    own_modules(headers, cache, ready[1])
    return ready


def fetch_kernel(cache, headers):
    """Fetches and unpacks the kernel package matching the installed headers,
    extracts the uncompressed vmlinux (booted through its PVH entry, which
    skips the decompression that costs seconds under TCG) and copies the
    board's modules."""
    release = os.path.basename(headers)[len("linux-headers-"):]
    os.makedirs(cache, exist_ok=True)
    package_dir = os.path.join(cache, "package")
    shutil.rmtree(package_dir, ignore_errors=True)
    os.makedirs(package_dir)
    deb = download(f"linux-image-{release}", package_dir)
    tree = os.path.join(package_dir, "tree")
    subprocess.run(["dpkg-deb", "-x", deb, tree], check=True)
    vmlinux = os.path.join(cache, "vmlinux")
    extract_vmlinux(os.path.join(tree, "boot", f"vmlinuz-{release}"), vmlinux)
    modules = os.path.join(cache, "modules")
    shutil.rmtree(modules, ignore_errors=True)
    os.makedirs(modules)
    order = module_closure(os.path.join(tree, "lib", "modules", release), BOARD_MODULES)
    with open(os.path.join(modules, "board.order"), "w") as f:
        for name, path in order:
            shutil.copyfile(path, os.path.join(modules, name + ".ko"))
            f.write(name + "\n")
    shutil.rmtree(package_dir)
    with open(os.path.join(cache, STAMP), "w") as f:
        f.write(kernel_key(headers) + "\n")
    return vmlinux, modules


def download(package, where):
    result = subprocess.run(["apt-get", "download", package], cwd=where,
                            capture_output=True, text=True)
    debs = glob.glob(os.path.join(where, "*.deb"))
    if result.returncode != 0 or not debs:
        raise VswitchError(f"apt-get download {package} failed: "
                           f"{result.stderr.strip().splitlines()[-1:]}")
    return debs[0]


def extract_vmlinux(vmlinuz, out):
    """The ELF kernel inside a bzImage: Debian compresses it with xz."""
    with open(vmlinuz, "rb") as f:
        data = f.read()
    start = data.find(b"\xfd7zXZ\x00")
    if start < 0:
        raise VswitchError(f"{vmlinuz}: no xz-compressed kernel inside")
    elf = lzma.LZMADecompressor().decompress(data[start:])
    if elf[:4] != b"\x7fELF":
        raise VswitchError(f"{vmlinuz}: the payload is not an ELF kernel")
    with open(out, "wb") as f:
        f.write(elf)


def module_closure(tree, wanted):
    """[(name, path)] of the wanted modules and all they depend on, each
    after its dependencies. Names as the kernel writes them (underscores)."""
    paths = {}
    for path in glob.glob(os.path.join(tree, "kernel", "**", "*.ko"), recursive=True):
        paths[canonical(os.path.basename(path)[:-3])] = path
    order, seen = [], set()

    def visit(name):
        name = canonical(name)
        if name in seen:
            return
        seen.add(name)
        if name not in paths:
            raise VswitchError(f"kernel module {name} not in the package")
        for dep in module_depends(paths[name]):
            visit(dep)
        order.append((name, paths[name]))

    for name in wanted:
        visit(name)
    return order


def canonical(name):
    return name.replace("-", "_")


def module_depends(path):
    """The depends= entry of a module's .modinfo section."""
    with open(path, "rb") as f:
        data = f.read()
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum, shstrndx = struct.unpack_from("<HHH", data, 0x3A)

    def section(i):
        name, _type, _flags, _addr, offset, size = struct.unpack_from(
            "<IIQQQQ", data, shoff + i * shentsize)
        return name, offset, size

    _n, stroff, _s = section(shstrndx)
    for i in range(shnum):
        name, offset, size = section(i)
        if data[stroff + name:data.index(b"\0", stroff + name)] == b".modinfo":
            for entry in data[offset:offset + size].split(b"\0"):
                if entry.startswith(b"depends="):
                    return [d for d in entry[8:].decode().split(",") if d]
    return []


def own_modules(headers, cache, modules):
    """Our modules in `modules`, built against `headers` unless those there
    were built from the same sources and headers (their stamp says which),
    so that an edited source never boots the old module."""
    key = own_key(headers)
    stamp = os.path.join(modules, OWN_STAMP)
    try:
        with open(stamp) as f:
            if f.read().strip() == key:
                return
    except OSError:
        pass
    build_own_modules(headers, os.path.join(cache, "own-build"), modules)
    with open(stamp, "w") as f:
        f.write(key + "\n")


def own_key(headers):
    digest = hashlib.sha256()
    for name in OWN_MODULES:
        with open(os.path.join(OWN_SOURCES, name + ".c"), "rb") as f:
            digest.update(f.read())
    return f"{os.path.basename(headers)} {digest.hexdigest()}"


def build_own_modules(headers, build, modules):
    shutil.rmtree(build, ignore_errors=True)
    os.makedirs(build)
    for name in OWN_MODULES:
        shutil.copyfile(os.path.join(OWN_SOURCES, name + ".c"), os.path.join(build, name + ".c"))
    with open(os.path.join(build, "Kbuild"), "w") as f:
        f.write("obj-m := " + " ".join(name + ".o" for name in OWN_MODULES) + "\n")
    result = subprocess.run(["make", "-s", "-C", headers, f"M={build}", "modules"],
                            capture_output=True, text=True)
    built = [os.path.join(build, name + ".ko") for name in OWN_MODULES]
    if result.returncode != 0 or not all(map(os.path.exists, built)):
        raise VswitchError("our kernel modules did not build:\n" + result.stdout + result.stderr)
    for ko in built:
        shutil.copyfile(ko, os.path.join(modules, os.path.basename(ko)))
