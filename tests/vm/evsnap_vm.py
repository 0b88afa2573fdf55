#!/usr/bin/env python3
"""evsnap on a real kernel: boots a machine of BOARDS under QEMU with Debian's
kernel for it and runs the static evsnap inside against real input devices in
each case of readme_cases() and scenarios(). Exits 0 when every case passes, 1
when one fails, 77 when the machine cannot be had here (tools or packages
missing and not root)."""

import argparse
import dataclasses
import functools
import pathlib
import re
import shlex
import shutil
import signal
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean
HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "support"))
import guest  # noqa: E402
import record  # noqa: E402
from guest import GuestError  # noqa: E402

try:
    from machine import HOLD_LIMIT, Machine
except ImportError:  # no python3-pexpect: main() says so
    Machine, HOLD_LIMIT = None, 0

# The docs whose examples the machines run.
DOCS = [HERE.parent.parent / "README.md", *sorted(HERE.parent.parent.glob("doc/*.md"))]
EV_SYN, EV_KEY, EV_REL, EV_MSC, EV_REP = 0, 1, 2, 4, 0x14
KEY_E, KEY_A, KEY_G, KEY_F, KEY_C, KEY_B, BTN_LEFT = 18, 30, 34, 33, 46, 48, 0x110
QCODES = {KEY_E: "e", KEY_A: "a", KEY_G: "g", KEY_F: "f", KEY_C: "c", KEY_B: "b"}
BOOT_LIMIT = 60  # seconds
SETTLE = 0.2  # seconds for input sent before evsnap starts to reach the device


@dataclasses.dataclass(frozen=True)
class Board:
    """A machine the tests boot: QEMU's side, Debian's packages, the guest's."""
    qemu: tuple  # QEMU's binary, then its machine, CPU and device options
    kernel: str  # PACKAGE:ARCH, the meta-package whose first dependency is the kernel
    busybox: str  # PACKAGE:ARCH
    release: str  # the Debian release both come from
    modules: tuple  # to insert, after whatever they depend on (modprobe's names)
    inputs: dict  # what the input device of each role is called
    elf: str  # the machine evsnap is built for, as readelf names it
    cpu: str  # what uname -m says in the guest
    by_qmp: bool = True  # input through QMP; else through the guest's uinput keyboard
    displays: dict = dataclasses.field(default_factory=dict)  # {role: display its device is on}
    button: str = "power"  # the input role a boot script waits on
    console: str = "ttyAMA0"  # the serial port's name in the guest
    dtb: str = None  # the board's device tree, in the kernel package
    disable: tuple = ()  # its nodes for hardware QEMU does not emulate


# virtio_input drives only modern (non-legacy) virtio-mmio devices. QMP input
# that names no display goes to a device bound to none: the virtio ones, once
# the guest's driver has taken them up. The USB keyboard is bound to a display
# of its own (a secondary-vga: it needs no firmware), input sent there reaches
# it alone.
VIRT = ("-m", "256", "-global", "virtio-mmio.force-legacy=false",
        "-device", "virtio-keyboard-device", "-device", "virtio-mouse-device",
        "-device", "secondary-vga,id=usb", "-device", "qemu-xhci", "-device", "usb-kbd,display=usb")
VIRT_MODULES = ("virtio_mmio", "virtio_input", "evdev", "xhci_pci", "usbhid", "hid_generic")
VIRT_INPUTS = {"keyboard": "QEMU Virtio Keyboard", "mouse": "QEMU Virtio Mouse",
               "usb": "QEMU QEMU USB Keyboard"}
VIRT_BOARD = {"modules": VIRT_MODULES, "inputs": VIRT_INPUTS, "displays": {"usb": "usb"}}
# ARM's virt board has a power button too: gpio-keys, pressed by system_powerdown.
VIRT_POWER = {**VIRT_BOARD, "modules": (*VIRT_MODULES, "gpio_keys"),
              "inputs": {**VIRT_INPUTS, "power": "gpio-keys"}}
BOARDS = {
    "armhf": Board(("qemu-system-arm", "-M", "virt,highmem=off", "-cpu", "cortex-a15", *VIRT),
                   "linux-image-armmp:armhf", "busybox-static:armhf", "bookworm", **VIRT_POWER,
                   elf="ARM", cpu="armv7l"),
    "arm64": Board(("qemu-system-aarch64", "-M", "virt", "-cpu", "cortex-a53", *VIRT),
                   "linux-image-arm64:arm64", "busybox-static:arm64", "bookworm", **VIRT_POWER,
                   elf="AArch64", cpu="aarch64"),
    "raspi0": Board(("qemu-system-arm", "-M", "raspi0"), "linux-image-rpi:armel",
                    "busybox-static:armel", "bookworm", ("uinput", "evdev"),
                    {"keyboard": "evsnap-vm keyboard"},  # the name keyboard.c gives it
                    elf="ARM", cpu="armv6l", by_qmp=False, button="keyboard",
                    # QEMU 7.2 lacks the power management block: the kernel faults probing it.
                    dtb="bcm2835-rpi-zero.dtb", disable=("/soc/watchdog@7e100000",)),
    # Debian's Malta kernel is built for MIPS32r2: a 24Kc. The board's PS/2
    # keyboard can be bound to no display: input that names none goes there,
    # the virtio devices are bound to a display of their own, the USB keyboard
    # (on the board's UHCI) to another. Interrupts reach PCI slots 18 to 21
    # alone. Its default VGA would need SeaBIOS's ROM.
    "malta": Board(("qemu-system-mipsel", "-M", "malta", "-cpu", "24Kc", "-m", "256",
                    "-vga", "none", "-device", "secondary-vga,id=virtio,addr=0x14",
                    "-device", "secondary-vga,id=usb,addr=0x15", "-device", "usb-kbd,display=usb",
                    "-device", "virtio-keyboard-pci,display=virtio,addr=0x12",
                    "-device", "virtio-mouse-pci,display=virtio,addr=0x13"),
                   "linux-image-4kc-malta:mipsel", "busybox-static:mipsel", "bookworm",
                   ("virtio_pci", "virtio_input", "evdev", "uhci_hcd", "usbhid", "hid_generic"),
                   {**VIRT_INPUTS, "ps2": "AT Raw Set 2 keyboard"},
                   displays={"keyboard": "virtio", "mouse": "virtio", "usb": "usb"},
                   elf="MIPS R3000", cpu="mips", button="keyboard", console="ttyS0"),
    # Debian 12 has no riscv64 kernel: Debian 13's, and its busybox. QEMU's
    # OpenSBI starts the kernel.
    "riscv64": Board(("qemu-system-riscv64", "-M", "virt", "-bios", "default", *VIRT),
                     "linux-image-riscv64:riscv64", "busybox-static:riscv64", "trixie",
                     **VIRT_BOARD, elf="RISC-V", cpu="riscv64", button="keyboard", console="ttyS0"),
}


def key(code, *values):
    """Records of the key `code`: 1 down, 0 up, in the order given."""
    return [(EV_KEY, code, value) for value in values]


POWER = "power button"  # stands for QMP system_powerdown in a report
# How to make each device deliver a press, and the line evsnap prints for it.
PRESS = {
    "keyboard": {"inject": key(KEY_E, 1, 0), "out": "0x80010012\n"},  # KEY_E is 18
    "mouse": {"inject": key(BTN_LEFT, 1, 0), "out": "0x80010110\n", "role": "mouse"},
    "power": {"inject": POWER, "out": "0x80010074\n", "role": "power"},  # KEY_POWER is 116
    # USB keyboards send the key's scan code (HID usage 0x70008) ahead of it,
    # PS/2 ones theirs.
    "usb": {"inject": key(KEY_E, 1, 0), "out": "0x00040004\n", "role": "usb"},
    "ps2": {"inject": key(KEY_E, 1, 0), "out": "0x00040004\n", "role": "ps2"},
}


@dataclasses.dataclass
class Case:
    name: str
    args: list  # evsnap's arguments; {keyboard}, {mouse}, {link}... name nodes
    inject: object = None  # a report, (type, code, value) records, once evsnap has the device
    out: str = ""
    err: str = ""
    status: int = 0
    opens: bool = True  # evsnap holds the device open before it ends (None: may end first)
    hold: float = 0  # seconds between the open and the input
    setup: str = ""  # guest shell run first
    before: list = None  # a report sent before evsnap starts
    after: list = None  # a report sent once evsnap has ended
    cleanup: str = ""  # guest shell run last
    readers: int = 1  # how many evsnaps read at once
    needs: tuple = ()  # input roles, or "scan", that the board must have
    role: str = "keyboard"  # the input role whose device gets the reports
    command: tuple = ("evsnap",)  # what runs, args after it
    files: dict = dataclasses.field(default_factory=dict)  # {guest path: text} written first
    console: list = None  # output to the console, as a boot script's: the lines it shows
    lasts: float = 0  # seconds the run waits out (a timeout) before it ends


def held(role):
    """KEY_G held before evsnap opens `role`'s device, with the kernel's auto-repeat on."""
    return {"setup": f"cat /etc/repeat-on >{{{role}}}", "before": key(KEY_G, 1),
            "after": key(KEY_G, 0), "cleanup": f"cat /etc/repeat-off >{{{role}}}", "role": role}


def scenarios(board, default_device, record_size):
    """The cases that apply to `board`, whose /dev/input/event0 has the role
    `default_device` and whose records are `record_size` bytes."""
    missing = "/dev/input/nosuch"
    cases = [
        Case("key press", ["-t", "5", "{keyboard}"], key(KEY_A, 1), "0x8001001e\n"),
        # KEY_A is still down from the case above. Held past the kernel's 250 ms
        # repeat delay: a repeat record would print 0x8001001e.
        Case("release alone, after holding the key", ["-t", "5", "{keyboard}"],
             key(KEY_A, 0), "", hold=0.6),
        Case("motion along x", ["-t", "5", "{mouse}"], [(EV_REL, 0, 5)], "0x00020000\n",
             needs=["mouse"], role="mouse"),
        Case("motion along y", ["-t", "5", "{mouse}"], [(EV_REL, 1, -3)], "0x00020001\n",
             needs=["mouse"], role="mouse"),
        Case("mouse button", ["-t", "5", "{mouse}"], **PRESS["mouse"], needs=["mouse"]),
        Case("power button", ["-t", "5", "{power}"], **PRESS["power"], needs=["power"]),
        Case("no record within -t 1", ["-t", "1", "{keyboard}"], status=142),
        # Only records that arrive after the open count: with repeat off a held
        # key sends none, with repeat on the input core sends value 2 records.
        Case("key held before the open, repeat off: nothing within -t 1",
             ["-t", "1", "{keyboard}"], status=142, before=key(KEY_G, 1), after=key(KEY_G, 0)),
        # A repeat comes every 33 ms: evsnap may end before the guest sees it open.
        Case("key held before the open, repeat on: its repeat", ["-t", "2", "{keyboard}"],
             out="0x80010022\n", opens=None, **held("keyboard")),  # KEY_G is 34
        Case("scan code ahead of the key", ["-t", "5", "{keyboard}"],
             [(EV_MSC, 4, 0x70004), *key(KEY_A, 1, 0)], "0x00040004\n", needs=["scan"]),
        Case("USB keyboard, a press: its scan record", ["-t", "5", "{usb}"], **PRESS["usb"],
             needs=["usb"]),
        # The input core repeats the key alone, without its scan record.
        Case("USB keyboard, key held before the open: its repeat", ["-t", "2", "{usb}"],
             out="0x80010022\n", opens=None, needs=["usb"], **held("usb")),
        Case("-t 0 still prints after 3 s", ["-t", "0", "{keyboard}"], key(KEY_B, 1, 0),
             "0x80010030\n", hold=3),  # KEY_B is 48
        Case("missing device", ["-t", "5", missing],
             err=f"error reading {missing}, read -1 out of {record_size} bytes.\n",
             status=1, opens=False),
        Case(f"no operand reads /dev/input/event0 ({board.inputs[default_device]})",
             ["-t", "5"], **PRESS[default_device]),
        Case("long symbolic link to the keyboard", ["-t", "5", "{link}"], key(KEY_C, 1, 0),
             "0x8001002e\n", setup="mkdir -p {link_dir} && ln -s {keyboard} {link}"),
        Case("two evsnaps on the keyboard at once", ["-t", "5", "{keyboard}"], key(KEY_F, 1, 0),
             "0x80010021\n", readers=2),  # KEY_F is 33: nothing grabs the device
    ]
    # "scan": a keyboard that sends the scan codes the test asks for, which QMP cannot make.
    has = {*board.inputs, *([] if board.by_qmp else ["scan"])}
    return [case for case in cases if set(case.needs) <= has]


# The case pattern the lookup compares names with: a line ending in ")" with no $.
LOOKUP_NAME = re.compile(r"^([ \t]*)([^$\n]*)\)$", re.M)
EXAMPLE_DEVICE = re.compile(r"/dev/input/[\w./-]+")
# Its wait: the seconds it starts with, or evsnap's own -t.
EXAMPLE_TIMEOUT = re.compile(r"(?:\bleft=|\$\(evsnap -t )(\d+)\b")


def readme_examples(markdown):
    """The docs' lookup of a device by name and their boot example: the sh
    blocks whose first lines name them find-device and boot-recovery;
    ValueError when one is missing or of a shape that readme_cases() cannot
    fill in."""
    def named(name):
        found = re.search(rf"^```sh\n(# example: {name}\n.*?)^```$", markdown, re.M | re.S)
        return found[1] if found else ""

    lookup, boot = named("find-device"), named("boot-recovery")
    if len(LOOKUP_NAME.findall(lookup)) != 1:
        raise ValueError("no example find-device with one case pattern")
    if len(set(EXAMPLE_DEVICE.findall(boot))) != 1 or not EXAMPLE_TIMEOUT.search(boot):
        raise ValueError("no example boot-recovery naming one device and its wait")
    return lookup, boot


def docs():
    return "".join(doc.read_text() for doc in DOCS)


def readme_cases(board, examples, nodes):
    """The docs' examples on `board`, its button's name and node put in: the
    lookup must find that node; the boot example, its output on the console as
    a boot script's, must take its branch with a press and after its timeout
    without, and show nothing more (no "Alarm clock" from the shell). The run
    without a press comes first: the virt board's release, 100 ms after its
    press, could reach an evsnap started soon after."""
    role = board.button
    lookup = LOOKUP_NAME.sub(lambda m: f'{m[1]}"{board.inputs[role]}")', examples[0])
    boot = EXAMPLE_DEVICE.sub(nodes[role], examples[1])
    wait = int(EXAMPLE_TIMEOUT.search(boot)[1])
    script = {"command": ("ash", "/tmp/boot.sh"), "files": {"/tmp/boot.sh": boot}}
    return [
        Case(f"find-device finds {board.inputs[role]} by name", [],
             command=("ash", "-c", '. /tmp/lookup.sh && echo "$device"'),
             files={"/tmp/lookup.sh": lookup}, out=nodes[role] + "\n", opens=False),
        Case(f"boot-recovery, no press: its branch after {wait} s", [],
             console=["no button: booting normally"], lasts=wait, **script),
        Case("boot-recovery, a press", [], PRESS[role]["inject"], role=role,
             console=["button pressed: starting the recovery system"], **script),
    ]


def qmp_event(type_, code, value):
    if type_ == EV_KEY and code == BTN_LEFT:
        return {"type": "btn", "data": {"down": bool(value), "button": "left"}}
    if type_ == EV_KEY:
        return {"type": "key", "data": {"down": bool(value),
                                        "key": {"type": "qcode", "data": QCODES[code]}}}
    if type_ == EV_REL:
        return {"type": "rel", "data": {"axis": "xy"[code], "value": value}}
    raise GuestError(f"QMP sends no records of type {type_}")


def send(vm, board, report, role):
    """Makes the device of `role` deliver `report`: QEMU's, through QMP (to the
    display it is bound to, if any), or the guest's uinput keyboard, written
    to, which says when it has."""
    display = board.displays.get(role)
    if report == POWER:
        vm.execute("system_powerdown")
    elif board.by_qmp:
        vm.execute("input-send-event", events=[qmp_event(*event) for event in report],
                   **({"device": display} if display else {}))
    else:
        vm.send(f"echo {' '.join(f'{t} {c} {v}' for t, c, v in report)} >/tmp/keys")
        if (line := vm.expect(["@@SENT", "@@ERROR"], 10)).startswith("@@ERROR"):
            raise GuestError(line[2:])


def run(vm, board, nodes, case):
    """The problems found, none when the case passes."""
    vm.shell(case.setup.format(**nodes))
    if case.before:
        send(vm, board, case.before, case.role)
        time.sleep(SETTLE)
    for path, text in case.files.items():
        vm.shell(f"printf '%s\\n' {shlex.join(text.splitlines())} >{path}")
    command, began = [*case.command, *(a.format(**nodes) for a in case.args)], time.monotonic()
    runs = [vm.start(command, case.console is not None) for _ in range(case.readers)]
    problems = [f"evsnap {'did not open' if case.opens else 'opened'} the device"
                for _, opened in runs if case.opens is not None and opened != case.opens]
    time.sleep(case.hold)
    if case.inject and all(opened for _, opened in runs):
        send(vm, board, case.inject, case.role)
    for status, output in (vm.finish(r) for r, _ in runs):
        if status == 128 + signal.SIGKILL:
            problems.append(f"hung: killed after {HOLD_LIMIT} s")
        if status == 128 + signal.SIGILL:
            problems.append("Illegal instruction: evsnap needs a newer CPU than this one")
        checks = [("status", status, case.status)] + (
            [("console", output, case.console)] if case.console is not None else
            list(zip(("stdout", "stderr"), output, (case.out, case.err))))
        problems += [f"{what} {got!r}, expected {want!r}" for what, got, want in checks
                     if got != want]
    took = time.monotonic() - began
    if case.lasts and not case.lasts <= took < case.lasts + 2:
        problems.append(f"ended after {took:.1f} s, expected {case.lasts} s and a little")
    if case.after:
        send(vm, board, case.after, case.role)
    vm.shell(case.cleanup.format(**nodes))
    return problems


def boot(work, board, dirs, evsnap, keyboard, pack):
    """Boots `board` from an initramfs of busybox, evsnap, the modules its
    inputs need and its keyboard helper; the machine, and the name of each
    input node."""
    tree = dirs["kernel"]
    vmlinuz = next((tree / "boot").glob("vmlinu[xz]-*"))
    qemu = [*board.qemu, "-kernel", str(vmlinuz), "-append", f"console={board.console} panic=-1",
            "-initrd", str(work / "initramfs.cpio.gz")]
    try:
        # Debian 13's busybox lies in usr/bin.
        busybox = next(p for p in ("bin", "usr/bin") if (dirs["busybox"] / p / "busybox").exists())
        modules = guest.modules(tree, board.modules)
        if board.dtb:
            guest.device_tree(next(tree.glob(f"usr/lib/linux-image-*/{board.dtb}")),
                              work / board.dtb, board.disable)
            qemu += ["-dtb", str(work / board.dtb)]
    except (StopIteration, subprocess.CalledProcessError) as why:
        raise GuestError(f"{board.dtb or 'a module or busybox'}: {why or 'not in its package'}")
    print(f"vm: {vmlinuz.name}, modules in load order: {' '.join(n for n, _ in modules)}")
    # A device takes EV_REP records written to its node, then a SYN_REPORT, as
    # its repeat delay and period: 0 and 0 turn repeat off, as the guest has it
    # at boot so that a held key sends nothing more, the kernel's own turn it on.
    repeat = {f"etc/repeat-{name}": b"".join(map(pack, (EV_REP, EV_REP, EV_SYN), (0, 1, 0),
                                                  (delay, period, 0)))
              for name, delay, period in (("off", 0, 0), ("on", 250, 33))}
    guest.build_initramfs(work / "initramfs.cpio.gz", work / "initramfs", {
        "init": (HERE / "init").read_bytes(), **repeat,
        "bin/busybox": (dirs["busybox"] / busybox / "busybox").read_bytes(),
        "bin/evsnap": evsnap.read_bytes(),
        **({"bin/keyboard": keyboard.read_bytes()} if keyboard else {}),
        **{f"lib/modules/{name}.ko": elf for name, elf in modules},
        "lib/modules/order": "".join(name + "\n" for name, _ in modules).encode(),
        "etc/input-names": "".join(name + "\n" for name in board.inputs.values()).encode()})
    vm, nodes = Machine(work, qemu), {}
    while not (line := vm.expect(["@@KERNEL ", "@@NODE ", "@@READY", "@@ERROR"],
                                 BOOT_LIMIT)).startswith("@@READY"):
        if line.startswith("@@ERROR"):
            raise GuestError(line[2:])
        if line.startswith("@@KERNEL"):
            print(f"vm: guest kernel {line.split(' ', 1)[1]}, at a shell"
                  f" {time.monotonic() - vm.started:.1f} s after QEMU started", flush=True)
            if line.split()[-1] != board.cpu:
                raise GuestError(f"uname -m says {line.split()[-1]}, expected {board.cpu}")
        else:
            nodes[line.split()[1]] = line.split(" ", 2)[2]
    return vm, nodes


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("evsnap", type=pathlib.Path, help="the static evsnap for the machine")
    parser.add_argument("--machine", choices=BOARDS, required=True)
    parser.add_argument("--keyboard", type=pathlib.Path, help="keyboard.c built, for raspi0")
    parser.add_argument("--work", type=pathlib.Path, required=True, help="for the logs")
    options = parser.parse_args()
    board, work = BOARDS[options.machine], options.work.resolve()
    work.mkdir(parents=True, exist_ok=True)
    (work / "serial.log").unlink(missing_ok=True)
    tools = [board.qemu[0], "cpio", "apt-get", "dpkg-deb", "depmod", "modprobe", "readelf",
             *(["fdtput"] if board.dtb else [])]
    missing = [t for t in tools if not shutil.which(t)] + ([] if Machine else ["python3-pexpect"])
    if missing:
        print(f"SKIPPED vm: needs {' '.join(missing)}")
        return 77
    keyboard = None if board.by_qmp else options.keyboard or parser.error("--keyboard needed")
    facts = [guest.elf_facts(b) if b.is_file() else None for b in (options.evsnap, keyboard) if b]
    if not all(elf and elf[0] == board.elf and elf[3] for elf in facts):
        print(f"vm: evsnap or the keyboard is no static {board.elf} executable: build it first")
        return 1
    # The record's layout and byte order are evsnap's own.
    pack = functools.partial(record.pack, bits=facts[0][1], endian=facts[0][2])
    try:
        examples = readme_examples(docs())
        dirs = guest.fetch(guest.cache_dir(), board.release, board.kernel, board.busybox)
    except guest.Unavailable as why:
        print(f"SKIPPED vm: {why}")
        return 77

    began, passed, failed, vm = time.monotonic(), 0, 0, None
    try:
        vm, by_node = boot(work, board, dirs, options.evsnap, keyboard, pack)
        print("vm: " + ", ".join(f"{n} is {name}" for n, name in sorted(by_node.items())))
        nodes = {role: next((n for n, name in by_node.items() if name == board.inputs[role]),
                            None) for role in board.inputs}
        default = next((r for r in board.inputs if nodes[r] == "/dev/input/event0"), None)
        if None in nodes.values() or default is None:
            raise GuestError("an input device is missing or /dev/input/event0 is unknown")
        nodes["link"] = "/tmp/" + "/".join(["a-folder-name-of-some-length"] * 5) + "/keyboard"
        nodes["link_dir"] = nodes["link"].rsplit("/", 1)[0]
        # The docs' examples first: their press's late release has long gone when the
        # button's next reader comes.
        for case in (readme_cases(board, examples, nodes)
                     + scenarios(board, default, len(pack(0, 0, 0)))):
            t = time.monotonic()
            problems = run(vm, board, nodes, case)
            print(f"{'FAIL' if problems else 'ok  '} {case.name} ({time.monotonic() - t:.1f} s)"
                  + "".join(f"\n     {p}" for p in problems), flush=True)
            failed, passed = failed + bool(problems), passed + (not problems)
    except GuestError as why:
        log = work / "serial.log"  # there from QEMU's start, when a boot fails too
        shown = log.read_text(errors="replace").splitlines()[-15:] if log.exists() else []
        print(f"FAIL the machine: {why}\n     last console lines:" + "\n       ".join(["", *shown]))
        failed += 1
    finally:
        if vm:
            vm.stop()
    print(f"vm: {options.machine} suite took {time.monotonic() - began:.1f} s; logs and boot.sh"
          f" in {work}\nvm: {passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
