"""What a test machine boots: a Debian kernel and busybox, fetched once into a
cache, one folder for each set of packages; the device tree of a board whose
kernel needs one; and an initramfs holding busybox, evsnap, the kernel modules
the input devices need and any helper of the board."""

import fcntl
import gzip
import json
import lzma
import os
import pathlib
import re
import shutil
import struct
import subprocess
import tempfile

MODULE_SUFFIXES = (".ko", ".ko.xz", ".ko.gz", ".ko.zst")


class Unavailable(Exception):
    """The machine cannot be had here (not root, no packages): skip, not fail."""


def cache_dir():
    """EVSNAP_VM_CACHE, else /var/cache/evsnap-vm for root, else the user's cache."""
    if os.environ.get("EVSNAP_VM_CACHE"):
        return pathlib.Path(os.environ["EVSNAP_VM_CACHE"])
    if os.geteuid() == 0:
        return pathlib.Path("/var/cache/evsnap-vm")
    xdg = os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache")
    return pathlib.Path(xdg) / "evsnap-vm"


def _run(args, **kw):
    return subprocess.run(args, check=True, text=True, stdout=subprocess.PIPE, timeout=600, **kw)


def _apt_update(why):
    if os.geteuid() != 0:
        raise Unavailable(f"{why}: run once as root (apt-get update)")
    print("vm: apt-get update", flush=True)
    _run(["apt-get", "update", "-qq"])


def _kernel_package(meta):
    """The versioned kernel package that the meta-package PACKAGE:ARCH depends on."""
    shown = subprocess.run(["apt-cache", "show", "--no-all-versions", meta], text=True,
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=120)
    for line in shown.stdout.splitlines():
        if line.startswith("Depends:"):
            first = line.split(":", 1)[1].split(",")[0].split("|")[0]
            return first.split("(")[0].strip() + ":" + meta.split(":")[1]
    return None


def _download(into, kernel_meta, busybox):
    """apt-get download of the kernel and busybox into `into`; the .deb paths."""
    foreign = _run(["dpkg", "--print-foreign-architectures"]).stdout.split()
    native = _run(["dpkg", "--print-architecture"]).stdout.strip()
    for arch in sorted({p.split(":")[1] for p in (kernel_meta, busybox)} - {native, *foreign}):
        if os.geteuid() != 0:
            raise Unavailable(f"{arch} is not a dpkg architecture here: run once as root")
        _run(["dpkg", "--add-architecture", arch])
        _apt_update(f"no {arch} package lists")
    for attempt in (1, 2):
        kernel = _kernel_package(kernel_meta)
        if kernel:
            # As root, apt's sandbox user could not write to `into`: download as root.
            sandbox = ["-o", "APT::Sandbox::User=root"] if os.geteuid() == 0 else []
            got = subprocess.run(["apt-get", "download", "-q", *sandbox, kernel, busybox],
                                 cwd=into, text=True, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, timeout=600)
            if got.returncode == 0:
                return sorted(pathlib.Path(into).glob("*.deb"))
            print(got.stdout, end="")
        if attempt == 1:
            # Lists unknown or stale (the archive moved on).
            _apt_update(f"the package lists know no {kernel_meta} to download")
    raise Unavailable(f"apt-get download of {kernel_meta} and {busybox} failed")


def fetch(cache, kernel_meta, busybox):
    """The kernel (from its meta-package) and busybox, PACKAGE:ARCH each,
    unpacked in a folder of `cache` for this pair and fetched on first use.
    Returns {"kernel": dir, "busybox": dir}; EVSNAP_VM_REFRESH=1 fetches anew."""
    into = cache / "+".join(p.replace(":", "_") for p in (kernel_meta, busybox))
    into.mkdir(parents=True, exist_ok=True)
    with open(into / "lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)  # one fetch at a time
        stamp = into / "contents.json"
        old = json.loads(stamp.read_text()) if stamp.exists() else {}
        if old and not os.environ.get("EVSNAP_VM_REFRESH"):
            if all((into / d).is_dir() for d in old.values()):
                return {k: into / d for k, d in old.items()}
        with tempfile.TemporaryDirectory(dir=into) as tmp:
            dirs = {}
            for deb in _download(tmp, kernel_meta, busybox):
                tree = deb.name.removesuffix(".deb").replace("%3a", "_")
                shutil.rmtree(into / tree, ignore_errors=True)
                _run(["dpkg-deb", "-x", str(deb), str(into / tree)])
                dirs["busybox" if deb.name.startswith("busybox") else "kernel"] = tree
        stamp.write_text(json.dumps(dirs, indent=1) + "\n")
        for tree in set(old.values()) - set(dirs.values()):
            shutil.rmtree(into / tree, ignore_errors=True)  # superseded versions
        print(f"vm: fetched into {into}", flush=True)
        return {k: into / d for k, d in dirs.items()}


# --- The device tree --------------------------------------------------------


def disable_nodes(source, names):
    """Device tree source with each node named in `names` (say watchdog@7e100000)
    given status = "disabled", in place of any status it had."""
    lines = source.split("\n")
    for name in names:
        opening = next((i for i, line in enumerate(lines) if line.strip() == name + " {"), None)
        if opening is None:
            raise ValueError(f"no node {name} in the device tree")
        indent = re.match(r"\s*", lines[opening]).group()
        close = lines.index(indent + "};", opening)
        inner = indent + "\t"
        body = [line for line in lines[opening + 1 : close]
                if not line.startswith(inner + "status = ")]
        lines[opening + 1 : close] = [inner + 'status = "disabled";', *body]
    return "\n".join(lines)


def device_tree(dtb, out, disable):
    """Writes `out`: the device tree blob `dtb` with the nodes `disable` disabled."""
    source = _run(["dtc", "-q", "-I", "dtb", "-O", "dts", str(dtb)]).stdout
    _run(["dtc", "-q", "-I", "dts", "-O", "dtb", "-o", str(out)],
         input=disable_nodes(source, disable))


# --- Kernel modules -------------------------------------------------------


def module_name(path):
    """Kernel module names treat '-' and '_' alike."""
    name = pathlib.Path(path).name
    for suffix in MODULE_SUFFIXES:
        if name.endswith(suffix):
            name = name[: -len(suffix)]
            break
    return name.replace("-", "_")


def module_bytes(path):
    """The ELF object of a module as the package ships it, plain or compressed."""
    path = pathlib.Path(path)
    data = path.read_bytes()
    if path.name.endswith(".xz"):
        return lzma.decompress(data)
    if path.name.endswith(".gz"):
        return gzip.decompress(data)
    if path.name.endswith(".zst"):
        return subprocess.run(["zstd", "-dc"], input=data, stdout=subprocess.PIPE,
                              check=True, timeout=60).stdout
    return data


def modinfo(elf):
    """The key=value strings of an ELF object's .modinfo section, as a dict of
    lists (a key such as alias may repeat)."""
    if elf[:4] != b"\x7fELF":
        raise ValueError("not an ELF object")
    wide = elf[4] == 2
    order = "<" if elf[5] == 1 else ">"
    if wide:
        shoff, = struct.unpack_from(order + "Q", elf, 0x28)
        shentsize, shnum, shstrndx = struct.unpack_from(order + "HHH", elf, 0x3A)
        header = order + "IIQQQQIIQQ"
    else:
        shoff, = struct.unpack_from(order + "I", elf, 0x20)
        shentsize, shnum, shstrndx = struct.unpack_from(order + "HHH", elf, 0x2E)
        header = order + "IIIIIIIIII"
    sections = [struct.unpack_from(header, elf, shoff + i * shentsize) for i in range(shnum)]
    names_at = sections[shstrndx][4]  # sh_offset of the section name table
    info = {}
    for sh_name, _, _, _, offset, size, *_ in sections:
        end = elf.index(b"\0", names_at + sh_name)
        if elf[names_at + sh_name : end] == b".modinfo":
            for entry in elf[offset : offset + size].split(b"\0"):
                if b"=" in entry:
                    key, value = entry.decode(errors="replace").split("=", 1)
                    info.setdefault(key, []).append(value)
    return info


def depends(elf):
    found = modinfo(elf).get("depends", [""])
    return [module_name(d) for d in found[0].split(",") if d]


def load_order(modules_dir, wanted):
    """The modules to insert, dependencies first, as (name, ELF bytes) pairs.
    modules_dir is lib/modules/VERSION of an unpacked kernel package; modules
    built into the kernel (modules.builtin) need no insertion."""
    modules_dir = pathlib.Path(modules_dir)
    files = {}
    for path in sorted(modules_dir.rglob("*.ko*")):
        if path.name.endswith(MODULE_SUFFIXES):
            files.setdefault(module_name(path), path)
    builtin_list = modules_dir / "modules.builtin"
    builtin = set()
    if builtin_list.exists():
        builtin = {module_name(line) for line in builtin_list.read_text().split()}

    order, state = [], {}

    def visit(name, chain):
        if name in builtin or state.get(name) == "done":
            return
        if state.get(name) == "visiting":
            raise ValueError("modules depend on each other in a cycle: "
                             + " -> ".join(chain + [name]))
        if name not in files:
            raise ValueError(f"module {name} (wanted by {' -> '.join(chain) or 'the tests'})"
                             f" is not in {modules_dir}")
        state[name] = "visiting"
        elf = module_bytes(files[name])
        for dep in depends(elf):
            visit(dep, chain + [name])
        state[name] = "done"
        order.append((name, elf))

    for name in wanted:
        visit(module_name(name), [])
    return order


# --- The initramfs ---------------------------------------------------------


def elf_machine(path):
    """(e_machine, 32 or 64 bits, has a program interpreter) of a little-endian
    ELF executable; (None, None, False) for anything else."""
    elf = pathlib.Path(path).read_bytes()
    if elf[:4] != b"\x7fELF" or elf[4] not in (1, 2) or elf[5] != 1:
        return None, None, False
    bits = 32 * elf[4]
    machine, = struct.unpack_from("<H", elf, 0x12)
    if bits == 64:
        phoff, = struct.unpack_from("<Q", elf, 0x20)
        phentsize, phnum = struct.unpack_from("<HH", elf, 0x36)
    else:
        phoff, = struct.unpack_from("<I", elf, 0x1C)
        phentsize, phnum = struct.unpack_from("<HH", elf, 0x2A)
    interp = any(struct.unpack_from("<I", elf, phoff + i * phentsize)[0] == 3  # PT_INTERP
                 for i in range(phnum))
    return machine, bits, interp


def build_initramfs(out, stage, busybox, evsnap, modules, files):
    """Writes `out` (cpio newc, gzip) from a staging tree: busybox, evsnap, the
    modules in load order (lib/modules/order) and `files` ({path: bytes}),
    scripts and ELF executables among them executable."""
    stage = pathlib.Path(stage)
    shutil.rmtree(stage, ignore_errors=True)
    for d in ("bin", "lib/modules", "etc", "dev", "proc", "sys", "tmp"):
        (stage / d).mkdir(parents=True)
    shutil.copy(busybox, stage / "bin/busybox")
    shutil.copy(evsnap, stage / "bin/evsnap")
    for name, elf in modules:
        (stage / "lib/modules" / (name + ".ko")).write_bytes(elf)
    (stage / "lib/modules/order").write_text("".join(name + "\n" for name, _ in modules))
    for path, data in files.items():
        target = stage / path
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
        if data.startswith((b"#!", b"\x7fELF")):
            target.chmod(0o755)
    names = sorted(str(p.relative_to(stage)) for p in stage.rglob("*"))
    archive = subprocess.run(["cpio", "--quiet", "-o", "-H", "newc", "-R", "0:0"], cwd=stage,
                             input="\n".join(names).encode(), stdout=subprocess.PIPE,
                             check=True, timeout=60).stdout
    pathlib.Path(out).write_bytes(gzip.compress(archive, compresslevel=1))
