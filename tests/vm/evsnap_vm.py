#!/usr/bin/env python3
"""evsnap on a real kernel with real input devices: boots one of the machines
below under QEMU with Debian's kernel for it, runs the static evsnap inside,
makes the machine's input devices deliver records and checks what evsnap
prints, its error text and its status. Then the README's examples as they
stand: its lookup of a device by name under busybox ash must find the node the
guest lists for the board's button, and its boot example, run as a boot script
with its output on the console, must say what it took, with a press and after
its timeout without, and nothing more: no "Alarm clock" from the shell.

  armhf   virt board, Cortex-A15, Debian's armhf kernel: virtio keyboard and
          mouse driven through QMP, and the board's power button
  arm64   the same on the 64-bit virt board, Cortex-A53, Debian's arm64 kernel
  raspi0  QEMU's Raspberry Pi Zero (ARM1176, ARMv6), Debian's kernel for the
          Pi Zero and Pi 1: a uinput keyboard made by the helper keyboard.c,
          driven from the guest's shell

Usage: evsnap_vm.py [--machine NAME] [--work DIR] [--keyboard HELPER]
                   [--readme FILE] EVSNAP
Exits 0 when every scenario passes, 1 when one fails, 77 when the machine
cannot be had here (tools or packages missing and not root)."""

import argparse
import dataclasses
import pathlib
import re
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean
import guest  # noqa: E402
from machine import GuestError, Machine  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
README = HERE.parent.parent / "README.md"
EV_SYN, EV_KEY, EV_REL, EV_MSC, EV_REP = 0, 1, 2, 4, 0x14
SYN_REPORT, REL_X, REL_Y, MSC_SCAN, REP_DELAY, REP_PERIOD = 0, 0, 1, 4, 0, 1
KEY_E, KEY_A, KEY_G, KEY_F, KEY_D, KEY_C, KEY_B, BTN_LEFT = 18, 30, 34, 33, 32, 46, 48, 0x110
QCODES = {KEY_E: "e", KEY_A: "a", KEY_G: "g", KEY_F: "f", KEY_D: "d", KEY_C: "c", KEY_B: "b"}
BUTTONS, AXES = {BTN_LEFT: "left"}, {REL_X: "x", REL_Y: "y"}
EM_ARM, EM_AARCH64 = 40, 183
ELF_MACHINES = {EM_ARM: "ARM", EM_AARCH64: "AArch64"}
BOOT_LIMIT, SUITE_LIMIT = 60, 170  # seconds
HOLD_LIMIT = 15  # the guest kills a command still running after this long
SETTLE = 0.2  # seconds for input sent before evsnap starts to reach the device


@dataclasses.dataclass(frozen=True)
class Board:
    """A machine the tests boot: QEMU's side, Debian's packages, the guest's."""
    qemu: tuple  # QEMU's binary, then its machine, CPU and device options
    kernel: str  # PACKAGE:ARCH, the meta-package whose first dependency is the kernel
    busybox: str  # PACKAGE:ARCH
    modules: tuple  # to insert, after whatever they depend on
    inputs: dict  # what the input device of each role is called
    by_qmp: bool  # input through QMP; else through the guest's uinput keyboard
    elf: int  # evsnap's e_machine
    bits: int  # the kernel's word, which the record's two time fields take
    cpu: str  # what uname -m says in the guest
    preset: str  # the configure preset that builds evsnap for it
    button: str = "power"  # the input role a boot script waits on
    console: str = "ttyAMA0"
    dtb: str = None  # the board's device tree, in the kernel package
    disable: tuple = ()  # its nodes for hardware QEMU does not emulate

    @property
    def record(self):
        """struct input_event: two words of time, then type, code, value."""
        word = "Q" if self.bits == 64 else "I"
        return struct.Struct(f"<{word}{word}HHi")

    def has(self, needs):
        """Whether the board has the input roles `needs` names; "scan" is a
        keyboard that sends scan codes, which QMP cannot make."""
        return set(needs) <= set(self.inputs) | ({"scan"} if not self.by_qmp else set())


# virtio_input drives only modern (non-legacy) virtio-mmio devices.
VIRTIO_INPUT = ("-global", "virtio-mmio.force-legacy=false",
                "-device", "virtio-keyboard-device", "-device", "virtio-mouse-device")
VIRT_INPUTS = {"keyboard": "QEMU Virtio Keyboard", "mouse": "QEMU Virtio Mouse",
               "power": "gpio-keys"}  # the virt board's power button
BOARDS = {
    "armhf": Board(
        qemu=("qemu-system-arm", "-M", "virt,highmem=off", "-cpu", "cortex-a15", "-m", "256",
              *VIRTIO_INPUT),
        kernel="linux-image-armmp:armhf", busybox="busybox-static:armhf",
        modules=("virtio_mmio", "virtio_input", "evdev"),  # gpio_keys is built in
        inputs=VIRT_INPUTS, by_qmp=True, elf=EM_ARM, bits=32, cpu="armv7l", preset="arm"),
    "arm64": Board(
        qemu=("qemu-system-aarch64", "-M", "virt", "-cpu", "cortex-a53", "-m", "256",
              *VIRTIO_INPUT),
        kernel="linux-image-arm64:arm64", busybox="busybox-static:arm64",
        modules=("virtio_mmio", "virtio_input", "gpio_keys", "evdev"),
        inputs=VIRT_INPUTS, by_qmp=True, elf=EM_AARCH64, bits=64, cpu="aarch64",
        preset="aarch64"),
    "raspi0": Board(
        qemu=("qemu-system-arm", "-M", "raspi0"),
        kernel="linux-image-rpi:armel", busybox="busybox-static:armel",
        modules=("uinput", "evdev"),
        inputs={"keyboard": "evsnap-vm keyboard"},  # the name keyboard.c gives it
        by_qmp=False, elf=EM_ARM, bits=32, cpu="armv6l", preset="arm", button="keyboard",
        # QEMU 7.2 lacks the power management block, and the kernel faults probing it.
        dtb="bcm2835-rpi-zero.dtb", disable=("watchdog@7e100000",)),
}


def press(code):
    return [(EV_KEY, code, 1)]


def release(code):
    return [(EV_KEY, code, 0)]


def tap(code):
    return press(code) + release(code)


POWER = "power button"  # stands for QMP system_powerdown in a report

# How to make each device deliver a press, and the line evsnap prints for it.
PRESS = {
    "keyboard": (tap(KEY_E), "0x80010012\n"),  # KEY_E is 18
    "mouse": (tap(BTN_LEFT), "0x80010110\n"),
    "power": (POWER, "0x80010074\n"),  # KEY_POWER is 116
}


@dataclasses.dataclass
class Case:
    name: str
    args: list  # evsnap's arguments; {keyboard}, {mouse}, {link} name nodes
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
    command: tuple = ("evsnap",)  # what runs, args after it
    files: dict = dataclasses.field(default_factory=dict)  # {guest path: text} written first
    console: list = None  # output to the console, as a boot script's: the lines it shows
    lasts: float = 0  # seconds the run waits out (a timeout) before it ends


def long_link():
    """A path of more than 127 characters, through a symbolic link."""
    path = "/tmp/" + "/".join(["a-folder-name-of-some-length"] * 5) + "/keyboard"
    assert len(path) > 127
    return path


def scenarios(board, default_device):
    """The cases that apply to `board`, whose /dev/input/event0 has the role
    `default_device`."""
    missing = "/dev/input/nosuch"
    repeat = {"setup": "cat /etc/repeat-on >{keyboard}", "before": press(KEY_G),
              "after": release(KEY_G), "cleanup": "cat /etc/repeat-off >{keyboard}"}
    cases = [
        Case("key press", ["-t", "5", "{keyboard}"], press(KEY_A), "0x8001001e\n"),
        # KEY_A is still down from the case above. Held past the kernel's 250 ms
        # repeat delay: a repeat record would print 0x8001001e.
        Case("release alone, after holding the key", ["-t", "5", "{keyboard}"],
             release(KEY_A), "", hold=0.6),
        Case("motion along x", ["-t", "5", "{mouse}"], [(EV_REL, REL_X, 5)], "0x00020000\n",
             needs=["mouse"]),
        Case("motion along y", ["-t", "5", "{mouse}"], [(EV_REL, REL_Y, -3)], "0x00020001\n",
             needs=["mouse"]),
        Case("mouse button", ["-t", "5", "{mouse}"], *PRESS["mouse"], needs=["mouse"]),
        Case("no record within -t 1", ["-t", "1", "{keyboard}"], status=142),
        # Only records that arrive after the open count: with repeat off a held
        # key sends none, with repeat on the input core sends value 2 records.
        Case("key held before the open, repeat off: nothing within -t 1",
             ["-t", "1", "{keyboard}"], status=142, before=press(KEY_G), after=release(KEY_G)),
        # A repeat comes every 33 ms: evsnap may end before the guest sees it open.
        Case("key held before the open, repeat on: its repeat", ["-t", "2", "{keyboard}"],
             out="0x80010022\n", opens=None, **repeat),  # KEY_G is 34
        # USB keyboards send the key's scan code (here HID usage 0x70004) ahead of it.
        Case("scan code ahead of the key", ["-t", "5", "{keyboard}"],
             [(EV_MSC, MSC_SCAN, 0x70004), *tap(KEY_A)], "0x00040004\n", needs=["scan"]),
        Case("-t 0 still prints after 3 s", ["-t", "0", "{keyboard}"], tap(KEY_B),
             "0x80010030\n", hold=3),  # KEY_B is 48
        Case("missing device", ["-t", "5", missing],
             err=f"error reading {missing}, read -1 out of {board.record.size} bytes.\n",
             status=1, opens=False),
        Case(f"no operand reads /dev/input/event0 ({board.inputs[default_device]})",
             ["-t", "5"], *PRESS[default_device]),
        Case("long symbolic link to the keyboard", ["-t", "5", "{link}"], tap(KEY_C),
             "0x8001002e\n", setup="mkdir -p {link_dir} && ln -s {keyboard} {link}"),
        Case("two evsnaps on the keyboard at once", ["-t", "5", "{keyboard}"], tap(KEY_F),
             "0x80010021\n", readers=2),  # KEY_F is 33: nothing grabs the device
    ]
    return [case for case in cases if board.has(case.needs)]


LOOKUP_NAME = re.compile(r'= "[^"]*" \]')  # the name the lookup compares with
EXAMPLE_DEVICE = re.compile(r"/dev/input/[\w./-]+")
EXAMPLE_TIMEOUT = re.compile(r"\$\(evsnap -t (\d+) ")


def readme_examples(markdown):
    """The README's lookup of a device by its name (the sh block under "##
    Finding your device" that sets device=) and its boot example (the first sh
    block that takes evsnap's line), as they stand; ValueError when either is
    missing or not of the shape that readme_cases() fills in."""
    blocks, heading, block = [], None, None
    for line in markdown.splitlines(keepends=True):
        if block is not None:
            if line.rstrip() == "```":
                blocks.append((heading, "".join(block)))
                block = None
            else:
                block.append(line)
        elif line.startswith("## "):
            heading = line[3:].strip()
        elif line.rstrip() == "```sh":
            block = []
    lookup = next((b for h, b in blocks if h == "Finding your device" and "device=" in b), "")
    boot = next((b for _, b in blocks if "$(evsnap" in b), "")
    if len(LOOKUP_NAME.findall(lookup)) != 1:
        raise ValueError("no lookup by name comparing one quoted name under"
                         " '## Finding your device'")
    if len(set(EXAMPLE_DEVICE.findall(boot))) != 1 or not EXAMPLE_TIMEOUT.search(boot):
        raise ValueError("no boot example naming one device and $(evsnap -t N")
    return lookup, boot


def readme_cases(board, examples, nodes):
    """The README's examples on `board` (see readme_examples), its button's name
    and node put in: the lookup must find that node; the boot example must take
    its branch with a press and after its timeout without, and show nothing but
    that on the console. The run without a press comes first: the virt board's
    release, 100 ms after its press, could reach an evsnap started soon after."""
    lookup, boot = examples
    role = board.button
    lookup = LOOKUP_NAME.sub(f'= "{board.inputs[role]}" ]', lookup)
    boot = EXAMPLE_DEVICE.sub(nodes[role], boot)
    wait = int(EXAMPLE_TIMEOUT.search(boot).group(1))
    script = {"command": ("ash", "/tmp/boot.sh"), "files": {"/tmp/boot.sh": boot}}
    return [
        Case(f"README's lookup finds {board.inputs[role]} by name", [],
             command=("ash", "-c", '. /tmp/lookup.sh && echo "$device"'),
             files={"/tmp/lookup.sh": lookup}, out=nodes[role] + "\n", opens=False),
        Case(f"README's boot example, no press: its branch after {wait} s", [],
             console=["no button: booting normally"], lasts=wait, **script),
        Case("README's boot example, a press", [], PRESS[role][0],
             console=["button pressed: starting the recovery system"], **script),
    ]


def qmp_event(type_, code, value):
    if type_ == EV_KEY and code in BUTTONS:
        return {"type": "btn", "data": {"down": bool(value), "button": BUTTONS[code]}}
    if type_ == EV_KEY:
        return {"type": "key", "data": {"down": bool(value),
                                        "key": {"type": "qcode", "data": QCODES[code]}}}
    if type_ == EV_REL:
        return {"type": "rel", "data": {"axis": AXES[code], "value": value}}
    raise GuestError(f"QMP sends no records of type {type_}")


class Suite:
    def __init__(self, vm, board, nodes):
        self.vm, self.board, self.nodes, self.serial = vm, board, nodes, 0

    def send(self, report):
        """Makes the devices deliver `report`: through QEMU's virtual devices,
        or written to the guest's uinput keyboard, which says when it has."""
        if report == POWER:
            self.vm.execute("system_powerdown")
        elif self.board.by_qmp:
            self.vm.send_input([qmp_event(*event) for event in report])
        else:
            self.vm.send(f"echo {' '.join(f'{t} {c} {v}' for t, c, v in report)} >/tmp/keys")
            line = self.vm.expect(["@@SENT", "@@ERROR"], 10)
            if line.startswith("@@ERROR"):
                raise GuestError(line[2:])

    def start(self, command, limit=HOLD_LIMIT, console=False):
        """Starts `command` in the guest, its output to files or else to the
        console; its id and whether it opened a device."""
        self.serial += 1
        run = f"r{self.serial}"
        self.vm.send(f"{'on_console' if console else 'start'} {run} {limit} {shlex.join(command)}")
        state = self.vm.expect([f"@@{s} {run}" for s in ("OPEN", "EXITED", "NOTOPEN")], 20)
        return run, state.split()[0] == "@@OPEN"

    def finish(self, run):
        """Its status, stdout and stderr; None for output that went to the console."""
        self.vm.send(f"finish {run}")
        line = self.vm.expect([f"@@RESULT {run} "], HOLD_LIMIT + 15)
        fields = dict(f.split("=", 1) for f in line.split()[2:])
        out, err = (bytes.fromhex(fields[f]) if f in fields else None for f in ("out", "err"))
        return int(fields["status"]), out, err

    def write(self, path, text):
        """Puts `text` in the guest's file `path`, line by line through the console."""
        self.vm.send(f"printf '%s\\n' {shlex.join(text.splitlines())} >{path}; echo @@DONE")
        self.vm.expect(["@@DONE"], 20)

    def shell(self, line):
        """Runs a line of guest shell and waits for it: input sent next through
        QMP would otherwise overtake it."""
        if line:
            self.vm.send(line.format(**self.nodes) + "; echo @@DONE")
            self.vm.expect(["@@DONE"], 20)

    def run(self, case):
        """The problems found, none when the case passes."""
        self.shell(case.setup)
        if case.before:
            self.send(case.before)
            time.sleep(SETTLE)
        for path, text in case.files.items():
            self.write(path, text)
        args = [a.format(**self.nodes) for a in case.args]
        mark, began = self.vm.mark(), time.monotonic()
        console = case.console is not None
        runs = [self.start([*case.command, *args], console=console) for _ in range(case.readers)]
        problems = []
        for run, opened in runs:
            if case.opens is not None and opened != case.opens:
                problems.append("evsnap " + ("did not open" if case.opens else "opened")
                                + " the device")
        time.sleep(case.hold)
        if case.inject and all(opened for _, opened in runs):
            self.send(case.inject)
        for run, _ in runs:
            status, out, err = self.finish(run)
            if console:
                # The host's own lines aside, what a boot would show.
                shown = [line for line in self.vm.console_since(mark) if not line.startswith("@@")]
                output = [("console", shown, case.console)]
            else:
                output = [("stdout", out.decode(errors="replace"), case.out),
                          ("stderr", err.decode(errors="replace"), case.err)]
            if status == 128 + signal.SIGKILL:
                problems.append(f"hung: killed after {HOLD_LIMIT} s")
            if status == 128 + signal.SIGILL:
                problems.append("Illegal instruction: evsnap needs a newer CPU than this one")
            for what, got, want in [("status", status, case.status), *output]:
                if got != want:
                    problems.append(f"{what} {got!r}, expected {want!r}")
        took = time.monotonic() - began
        if case.lasts and not case.lasts <= took < case.lasts + 2:
            problems.append(f"ended after {took:.1f} s, expected {case.lasts} s and a little")
        if case.after:
            self.send(case.after)
        self.shell(case.cleanup)
        return problems

    def first_record(self, node, events, held=None):
        """The first record a device node delivers for `events`, read raw; with
        the report `held` sent first and repeat on, what the input core repeats."""
        if held:
            self.shell(f"cat /etc/repeat-on >{node}")
            self.send(held)
            time.sleep(SETTLE)
        record = self.board.record
        run, opened = self.start(["dd", f"if={node}", f"bs={record.size}", "count=1"], 3)
        if opened and events:
            self.send(events)
        status, raw, _ = self.finish(run)
        if held:
            self.send([(t, c, 0) for t, c, _ in held])
            self.shell(f"cat /etc/repeat-off >{node}")
        if status != 0 or len(raw) != record.size:
            return f"none (status {status}, {len(raw)} bytes)"
        _, _, type_, code, value = record.unpack(raw)
        return f"type {type_}, code {code}, value {value}"


def repeat_records(record, delay, period):
    """Records that set a device's repeat, for its node. The input core holds
    records back until a SYN_REPORT: without one, these would reach the first
    reader ahead of its first real record."""
    return b"".join(record.pack(0, 0, type_, code, value) for type_, code, value in
                    ((EV_REP, REP_DELAY, delay), (EV_REP, REP_PERIOD, period),
                     (EV_SYN, SYN_REPORT, 0)))


def boot(work, board, dirs, evsnap, keyboard):
    kernel_tree = dirs["kernel"]
    vmlinuz = next((kernel_tree / "boot").glob("vmlinuz-*"))
    modules_dir = next((kernel_tree / "lib/modules").iterdir())
    try:
        modules = guest.load_order(modules_dir, board.modules)
    except ValueError as why:
        raise GuestError(why) from None
    print(f"vm: kernel {vmlinuz.name}, modules in load order: "
          + " ".join(name for name, _ in modules), flush=True)
    qemu = list(board.qemu)
    if board.dtb:
        dtb = work / board.dtb
        try:
            guest.device_tree(next(kernel_tree.glob(f"usr/lib/linux-image-*/{board.dtb}")),
                              dtb, board.disable)
        except (StopIteration, ValueError, subprocess.CalledProcessError) as why:
            raise GuestError(f"device tree {board.dtb}: {why or 'not in the kernel package'}")
        qemu += ["-dtb", str(dtb)]
        print(f"vm: {board.dtb} with {', '.join(board.disable)} disabled", flush=True)
    files = {"init": (HERE / "init").read_bytes(),
             # Off at boot, so that a held key sends nothing more; the kernel's
             # default delay and period turn it on.
             "etc/repeat-off": repeat_records(board.record, 0, 0),
             "etc/repeat-on": repeat_records(board.record, 250, 33),
             "etc/input-names": "".join(n + "\n" for n in board.inputs.values()).encode()}
    if keyboard:
        files["bin/keyboard"] = keyboard.read_bytes()
    initrd = work / "initramfs.cpio.gz"
    guest.build_initramfs(initrd, work / "initramfs", dirs["busybox"] / "bin/busybox", evsnap,
                          modules, files)
    vm = Machine(work, qemu, board.console, vmlinuz, initrd)
    vm.start()
    nodes = {}
    while True:
        line = vm.expect(["@@KERNEL ", "@@NODE ", "@@READY", "@@ERROR"], BOOT_LIMIT)
        if line.startswith("@@ERROR"):
            raise GuestError(line[2:])
        if line.startswith("@@KERNEL"):
            print(f"vm: guest kernel {line.split(' ', 1)[1]}, at a shell"
                  f" {time.monotonic() - vm.started:.1f} s after QEMU started", flush=True)
            if line.split()[-1] != board.cpu:
                raise GuestError(f"uname -m says {line.split()[-1]}, expected {board.cpu}")
        elif line == "@@READY":
            return vm, nodes
        else:
            _, node, name = line.split(" ", 2)
            nodes[node] = name


def too_long(*_):
    raise GuestError(f"the suite took more than {SUITE_LIMIT} s")


def built_for(path, board):
    """Why `path` cannot run on `board`, or None when it is a static executable for it."""
    if guest.elf_machine(path) != (board.elf, board.bits, False):
        return (f"{path} is not a static {board.bits}-bit {ELF_MACHINES[board.elf]} executable"
                f" (the {board.preset} preset builds one)")
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("evsnap", type=pathlib.Path, help="the static evsnap for the machine")
    parser.add_argument("--machine", choices=BOARDS, default="armhf",
                        help="the machine to boot (default: armhf)")
    parser.add_argument("--keyboard", type=pathlib.Path,
                        help="the uinput keyboard helper (target vm_keyboard), for raspi0")
    parser.add_argument("--work", type=pathlib.Path,
                        help="where the initramfs and the logs go (default: EVSNAP's dir/vm)")
    parser.add_argument("--readme", type=pathlib.Path, default=README,
                        help="the README whose examples run (default: the project's)")
    options = parser.parse_args()
    board = BOARDS[options.machine]
    work = (options.work or options.evsnap.parent / "vm").resolve()
    work.mkdir(parents=True, exist_ok=True)

    tools = [board.qemu[0], "cpio", "apt-get", "dpkg-deb"] + (["dtc"] if board.dtb else [])
    missing = [t for t in tools if not shutil.which(t)]
    if missing:
        print(f"SKIPPED vm: needs {' '.join(missing)}")
        return 77
    if board.by_qmp:
        options.keyboard = None
    elif not options.keyboard:
        parser.error(f"--keyboard is needed for {options.machine}")
    for binary in filter(None, (options.evsnap, options.keyboard)):
        if not binary.is_file():
            print(f"vm: no {binary}: build it first (targets evsnap, vm_keyboard)")
            return 1
        if why := built_for(binary, board):
            print(f"vm: {why}")
            return 1
    try:
        examples = readme_examples(options.readme.read_text())
    except (OSError, ValueError) as why:
        print(f"vm: {options.readme}: {why}")
        return 1
    try:
        dirs = guest.fetch(guest.cache_dir(), board.kernel, board.busybox)
    except guest.Unavailable as why:
        print(f"SKIPPED vm: {why}")
        return 77

    began = time.monotonic()
    signal.signal(signal.SIGALRM, too_long)
    signal.alarm(SUITE_LIMIT)
    passed = failed = 0
    vm = None
    try:
        vm, by_node = boot(work, board, dirs, options.evsnap, options.keyboard)
        nodes = {role: next((n for n, name in by_node.items() if name == board.inputs[role]),
                            None) for role in board.inputs}
        nodes["link"] = long_link()
        nodes["link_dir"] = str(pathlib.PurePosixPath(nodes["link"]).parent)
        default = next((r for r in board.inputs if nodes[r] == "/dev/input/event0"), None)
        print("vm: " + ", ".join(f"{n} is {name}" for n, name in sorted(by_node.items())))
        if None in nodes.values() or default is None:
            raise GuestError("an input device is missing or /dev/input/event0 is unknown")
        suite = Suite(vm, board, nodes)
        # The README's first: its press's late release has long gone when the
        # button's next reader comes.
        for case in readme_cases(board, examples, nodes) + scenarios(board, default):
            t = time.monotonic()
            problems = suite.run(case)
            took = time.monotonic() - t
            print(f"{'FAIL' if problems else 'ok  '} {case.name} ({took:.1f} s)"
                  + "".join(f"\n     {p}" for p in problems), flush=True)
            failed += bool(problems)
            passed += not problems
        print("vm: first record each device delivers:")
        for role, what, events, held in (
                ("keyboard", "key press", tap(KEY_D), None),
                ("keyboard", "key held before the open, repeat on", None, press(KEY_D)),
                ("mouse", "button press", PRESS["mouse"][0], None),
                ("mouse", "motion along x", [(EV_REL, REL_X, 7)], None),
                ("power", "power button", POWER, None)):
            if role in nodes:
                print(f"     {board.inputs[role]}, {what}: "
                      + suite.first_record(nodes[role], events, held))
    except GuestError as why:
        print(f"FAIL the machine: {why}\n     last console lines:\n       "
              + "\n       ".join(vm.last_lines() if vm else []))
        failed += 1
    finally:
        signal.alarm(0)
        if vm:
            vm.stop()
    print(f"vm: {options.machine} suite took {time.monotonic() - began:.1f} s")
    if failed:
        print(f"vm: console in {work / 'serial.log'}, command lines in "
              f"{work / 'commands.log'}, boot by hand with {work / 'boot.sh'}")
    print(f"vm: {passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
