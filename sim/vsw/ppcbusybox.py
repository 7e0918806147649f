"""BusyBox for the PowerPC machine's root filesystem. No Debian 12 package
ships a PowerPC BusyBox, so the source package of the host's busybox-static
is fetched through a private sources list (deb-src for bookworm, the
system's apt configuration left alone), configured as Debian configures
busybox-static plus sim/vm/ppc/busybox.config, patched where its applets
fail the switch's commands (sim/vm/ppc/*.patch), and cross-built static. The
result is cached beside the kernel, keyed by the version and the fragment."""

import os
import re
import shutil
import subprocess

from vsw.common import VswitchError
from vsw.ppckernel import PPC_DIR, digest, locked, package_version, ppc_cache, say

FRAGMENT = os.path.join(PPC_DIR, "busybox.config")
# BusyBox's rx reports a failed transfer as a success and the reverse.
PATCHES = [os.path.join(PPC_DIR, "busybox-rx-status.patch")]
SOURCES = """\
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] \
http://deb.debian.org/debian bookworm main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] \
http://deb.debian.org/debian-security bookworm-security main
"""


def prepare_ppc_busybox():
    """(busybox, busybox.links) for the PowerPC root filesystem."""
    # The host's binary package may be a rebuild (+bN) of the same source.
    version = re.sub(r"\+b\d+$", "", package_version("busybox-static"))
    key = f"busybox-{version.replace(':', '_')}-{digest(FRAGMENT, *PATCHES)}"
    with locked(ppc_cache(), key) as entry:
        busybox = os.path.join(entry, "busybox")
        if not os.path.exists(busybox):
            build_busybox(entry, version)
    return busybox, os.path.join(entry, "busybox.links")


def build_busybox(entry, version):
    shutil.rmtree(entry, ignore_errors=True)
    work = os.path.join(entry, "work")
    os.makedirs(os.path.join(work, "lists", "partial"))
    with open(os.path.join(work, "sources.list"), "w") as f:
        f.write(SOURCES)
    apt = ["apt-get", "-qq", "-o", f"Dir::Etc::SourceList={work}/sources.list",
           "-o", "Dir::Etc::SourceParts=/dev/null", "-o", f"Dir::State::Lists={work}/lists",
           "-o", f"Dir::Cache={work}/cache"]
    say(f"fetching the busybox {version} source package")
    run(apt + ["update"], work, "apt-get update (deb-src)")
    run(apt + ["source", "--download-only", f"busybox={version}"], work, "apt-get source")
    dsc = [n for n in os.listdir(work) if n.endswith(".dsc")]
    run(["dpkg-source", "-q", "-x", dsc[0], "src"], work, "dpkg-source")
    src = os.path.join(work, "src")
    for patch in PATCHES:
        run(["patch", "-p1", "-i", patch], src, f"patch {os.path.basename(patch)}")
    with open(os.path.join(src, "debian", "config", "pkg", "static")) as f:
        config = f.read()
    with open(FRAGMENT) as f:
        for line in f:
            setting = re.match(r"(CONFIG_\w+)=|# (CONFIG_\w+) is not set$", line.strip())
            if setting:
                name = setting.group(1) or setting.group(2)
                config = re.sub(rf"^# {name} is not set$|^{name}=.*$", line.strip(), config,
                                flags=re.M)
    with open(os.path.join(src, ".config"), "w") as f:
        f.write(config)
    cross = ["CROSS_COMPILE=powerpc-linux-gnu-"]
    say("building BusyBox for PowerPC")
    subprocess.run(["make", "-C", src, *cross, "oldconfig"], input="\n" * 200,
                   capture_output=True, text=True, check=True)
    run(["make", "-C", src, *cross, f"-j{os.cpu_count() or 1}", "busybox"], work, "make")
    run(["make", "-C", src, *cross, "busybox.links"], work, "make busybox.links")
    shutil.copyfile(os.path.join(src, "busybox"), os.path.join(entry, "busybox"))
    os.chmod(os.path.join(entry, "busybox"), 0o755)
    shutil.copyfile(os.path.join(src, "busybox.links"), os.path.join(entry, "busybox.links"))
    shutil.rmtree(work)


def run(argv, cwd, what):
    result = subprocess.run(argv, cwd=cwd, capture_output=True, text=True)
    if result.returncode != 0:
        raise VswitchError(f"PowerPC BusyBox: {what} failed:\n"
                           + "\n".join((result.stdout + result.stderr).splitlines()[-20:]))
