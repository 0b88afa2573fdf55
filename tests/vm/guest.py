"""What a test machine boots: Debian's kernel and busybox, fetched once into a
cache; the kernel modules, its device tree and the initramfs; and readelf's
facts of the executables that go in."""

import fcntl
import functools
import gzip
import lzma
import os
import pathlib
import pwd
import re
import shutil
import subprocess
import tempfile


class Unavailable(Exception):
    """The machine cannot be had here (no mirror, no packages): skip, not fail."""


class GuestError(Exception):
    """The guest did not answer as the protocol says: later steps cannot run."""


def cache_dir():
    """EVSNAP_VM_CACHE, else /var/cache/evsnap-vm for root, else the user's cache."""
    user = os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache")
    return pathlib.Path(os.environ.get("EVSNAP_VM_CACHE") or (
        "/var/cache/evsnap-vm" if os.geteuid() == 0 else f"{user}/evsnap-vm"))


def _run(args, **kw):
    return subprocess.run(args, check=True, text=True, stdout=subprocess.PIPE, timeout=600, **kw)


def sources_list(targets, release):
    """apt's sources for `release` (trixie) from `targets`, lines "URI RELEASE"
    of the machine's Debian archives (apt-get indextargets): each mirror's main
    archive, as its own release names it, taken for `release`; deb.debian.org
    when there is none. Updates and security archives (bookworm-security) stay
    out: the main archive holds the kernel its meta-package names."""
    uris = sorted({uri for uri, suite in map(str.split, targets.splitlines()) if "-" not in suite})
    uris = uris or ["http://deb.debian.org/debian"]
    return "".join(f"deb {uri} {release} main\n" for uri in uris)


def _download(apt, release, kernel_meta, busybox):
    """apt-get download into `apt`, with an apt configuration of its own there
    (sources, lists, cache: the machine's dpkg architectures and apt sources
    stay as they are), of busybox and of the kernel package that the
    meta-package `kernel_meta` depends on: {"kernel": deb, "busybox": deb}."""
    for folder in ("lists/partial", "archives/partial"):
        (apt / folder).mkdir(parents=True)
    (apt / "status").touch()
    targets = subprocess.run(["apt-get", "indextargets", "--format", "$(REPO_URI) $(RELEASE)",
                              "Origin: Debian"], text=True, stdout=subprocess.PIPE, timeout=60)
    (apt / "sources.list").write_text(sources_list(targets.stdout, release))
    conf = {"Dir::Etc::SourceList": apt / "sources.list", "Dir::Etc::SourceParts": apt / "none",
            "Dir::State::Lists": apt / "lists", "Dir::State::status": apt / "status",
            "Dir::Cache": apt,
            # As root, apt's sandbox user could not write to `apt`: this user downloads.
            "APT::Sandbox::User": pwd.getpwuid(os.geteuid()).pw_name}
    arches = " ".join(f'"{p.split(":")[1]}";' for p in {kernel_meta, busybox})
    (apt / "apt.conf").write_text("".join(f'{key} "{value}";\n' for key, value in conf.items())
                                  + f"APT::Architectures {{ {arches} }};\n")
    apt_get = functools.partial(subprocess.run, text=True, stdout=subprocess.PIPE, timeout=600,
                                env={**os.environ, "APT_CONFIG": str(apt / "apt.conf")})
    print(f"vm: apt-get update for Debian {release}", flush=True)
    if apt_get(["apt-get", "update", "-qq"]).returncode:
        raise Unavailable(f"apt-get update for Debian {release} failed (no mirror?)")
    kernel = re.search(r"Depends: (\S+)",
                       apt_get(["apt-cache", "depends", "--important", kernel_meta]).stdout)
    if not kernel or apt_get(["apt-get", "download", "-q", kernel[1], busybox],
                             cwd=apt).returncode:
        raise Unavailable(f"apt-get download of {kernel_meta} and {busybox} failed")
    return {"kernel": next(apt.glob("linux-image-*.deb")),
            "busybox": next(apt.glob("busybox*.deb"))}


def fetch(cache, release, kernel_meta, busybox):
    """The kernel (from its meta-package) and busybox, PACKAGE:ARCH each, of
    Debian `release` (bookworm), unpacked on first use into kernel/ and
    busybox/ of a folder of `cache` for this pair, which it returns as
    {"kernel": dir, "busybox": dir}. EVSNAP_VM_REFRESH=1 fetches them anew."""
    into = cache / "+".join([release, *(p.replace(":", "_") for p in (kernel_meta, busybox))])
    dirs = {"kernel": into / "kernel", "busybox": into / "busybox"}
    into.mkdir(parents=True, exist_ok=True)
    with open(into / "lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)  # one fetch at a time
        if all(d.is_dir() for d in dirs.values()) and not os.environ.get("EVSNAP_VM_REFRESH"):
            return dirs
        for old in into.iterdir():
            if old.name != "lock":
                shutil.rmtree(old) if old.is_dir() else old.unlink()
        with tempfile.TemporaryDirectory(dir=into) as tmp:
            for role, deb in _download(pathlib.Path(tmp), release, kernel_meta, busybox).items():
                _run(["dpkg-deb", "-x", str(deb), str(dirs[role])])
                print(f"vm: {deb.name} unpacked into {dirs[role]}", flush=True)
        return dirs


def device_tree(dtb, out, disable):
    """Writes `out`: the device tree blob `dtb` with each node of `disable` (a
    path, say /soc/watchdog@7e100000) disabled."""
    shutil.copy(dtb, out)
    for node in disable:
        _run(["fdtput", "-t", "s", str(out), node, "status", "disabled"])


def modules(tree, wanted):
    """The modules to insert for `wanted`, dependencies first, as (name, ELF
    bytes); built-in ones need none. kmod reads the unpacked kernel package
    `tree`, whose modules lie in lib/modules or (Debian 13) usr/lib/modules."""
    link = pathlib.Path(tree) / "lib/modules"
    if not link.exists():
        link.parent.mkdir(exist_ok=True)
        link.symlink_to("../usr/lib/modules")
    version = next(link.iterdir()).name
    if not (link / version / "modules.dep").exists():
        _run(["depmod", "-b", str(tree), version])
    shown = _run(["modprobe", "-C", "/dev/null", "-d", str(tree), "-S", version, "-a",
                  "--show-depends", *wanted]).stdout
    paths = {}
    for path in (pathlib.Path(line.split()[1]) for line in shown.splitlines()
                 if line.startswith("insmod ")):
        paths.setdefault(path.name.split(".ko")[0].replace("-", "_"), path)
    unpack = {".xz": lzma.decompress, ".gz": gzip.decompress}
    return [(name, unpack.get(path.suffix, bytes)(path.read_bytes()))
            for name, path in paths.items()]


def elf_facts(path):
    """What readelf says of an executable: (machine, bits, byte order, static),
    say ("ARM", 32, "little", True); None when it is no ELF file."""
    shown = subprocess.run(["readelf", "-hlW", str(path)], text=True, stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, timeout=60)
    fields = dict(re.findall(r"^ +(Class|Data|Machine): +(.*)$", shown.stdout, re.M))
    if shown.returncode or len(fields) != 3:
        return None
    return (fields["Machine"], int(fields["Class"].removeprefix("ELF")),
            "big" if "big endian" in fields["Data"] else "little", " INTERP " not in shown.stdout)


def build_initramfs(out, stage, files):
    """Writes `out`, an initramfs (cpio newc, gzip) of `files` ({path: bytes}),
    scripts and ELF executables among them executable, staged in `stage`."""
    shutil.rmtree(stage, ignore_errors=True)
    for path, data in files.items():
        (stage / path).parent.mkdir(parents=True, exist_ok=True)
        (stage / path).write_bytes(data)
        (stage / path).chmod(0o755 if data.startswith((b"#!", b"\x7fELF")) else 0o644)
    for folder in ("dev", "proc", "sys", "tmp"):
        (stage / folder).mkdir()
    subprocess.run(["sh", "-c", 'find . | LC_ALL=C sort | cpio --quiet -o -H newc -R 0:0 |'
                    ' gzip -1 >"$0"', str(out)], cwd=stage, check=True, timeout=60)
