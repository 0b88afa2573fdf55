#!/usr/bin/env python3
"""evsnap on a real kernel with real input devices: boots Debian's armhf kernel
under qemu-system-arm with a virtio keyboard and mouse, runs the static ARM
evsnap inside, injects input through QMP and checks what evsnap prints.

Usage: evsnap_vm.py [--work DIR] EVSNAP
Exits 0 when every scenario passes, 1 when one fails, 77 when the machine
cannot be had here (tools or packages missing and not root)."""

import argparse
import dataclasses
import pathlib
import shlex
import shutil
import signal
import struct
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean
import guest  # noqa: E402
from machine import GuestError, Machine  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
MODULES = ["virtio_mmio", "virtio_input", "evdev"]
NAMES = {
    "keyboard": "QEMU Virtio Keyboard",
    "mouse": "QEMU Virtio Mouse",
    "power": "gpio-keys",  # the virt board's power button, built into the kernel
}
# struct input_event on armhf: two 32-bit words of time, type, code, value.
RECORD = struct.Struct("<IIHHi")
EV_SYN, SYN_REPORT, EV_REP, REP_DELAY, REP_PERIOD = 0, 0, 0x14, 0, 1
ARM_MACHINE = 40  # EM_ARM
BOOT_LIMIT, SUITE_LIMIT = 60, 170  # seconds
HOLD_LIMIT = 15  # the guest kills a command still running after this long


def key(qcode, down):
    return {"type": "key", "data": {"down": down, "key": {"type": "qcode", "data": qcode}}}


def tap(qcode):
    return [key(qcode, True), key(qcode, False)]


def button(name, down):
    return {"type": "btn", "data": {"down": down, "button": name}}


def motion(axis, value):
    return {"type": "rel", "data": {"axis": axis, "value": value}}


POWER = "power button"  # stands for QMP system_powerdown in an input list

# How to make each device deliver a press, and the line evsnap prints for it.
PRESS = {
    "keyboard": (tap("e"), "0x80010012\n"),  # KEY_E is 18
    "mouse": ([button("left", True), button("left", False)], "0x80010110\n"),  # BTN_LEFT
    "power": (POWER, "0x80010074\n"),  # KEY_POWER is 116
}


@dataclasses.dataclass
class Case:
    name: str
    args: list  # evsnap's arguments; {keyboard}, {mouse}, {link} name nodes
    inject: object = None  # input events once evsnap has the device open
    out: str = ""
    err: str = ""
    status: int = 0
    opens: bool = True  # evsnap holds the device open before it ends
    hold: float = 0  # seconds between the open and the input
    setup: str = ""  # guest shell run first
    readers: int = 1  # how many evsnaps read at once


def long_link():
    """A path of more than 127 characters, through a symbolic link."""
    path = "/tmp/" + "/".join(["a-folder-name-of-some-length"] * 5) + "/keyboard"
    assert len(path) > 127
    return path


def scenarios(default_device):
    missing = "/dev/input/nosuch"
    return [
        Case("key press", ["-t", "5", "{keyboard}"], [key("a", True)], "0x8001001e\n"),
        # KEY_A is still down from the case above. Held past the kernel's 250 ms
        # repeat delay: a repeat record would print 0x8001001e.
        Case("release alone, after holding the key", ["-t", "5", "{keyboard}"],
             [key("a", False)], "", hold=0.6),
        Case("motion along x", ["-t", "5", "{mouse}"], [motion("x", 5)], "0x00020000\n"),
        Case("motion along y", ["-t", "5", "{mouse}"], [motion("y", -3)], "0x00020001\n"),
        Case("mouse button", ["-t", "5", "{mouse}"], PRESS["mouse"][0], PRESS["mouse"][1]),
        Case("no record within -t 1", ["-t", "1", "{keyboard}"], status=142),
        Case("-t 0 still prints after 3 s", ["-t", "0", "{keyboard}"], tap("b"),
             "0x80010030\n", hold=3),  # KEY_B is 48
        Case("missing device", ["-t", "5", missing],
             err=f"error reading {missing}, read -1 out of {RECORD.size} bytes.\n",
             status=1, opens=False),
        Case(f"no operand reads /dev/input/event0 ({NAMES[default_device]})", ["-t", "5"],
             *PRESS[default_device]),
        Case("long symbolic link to the keyboard", ["-t", "5", "{link}"], tap("c"),
             "0x8001002e\n", setup="mkdir -p {link_dir} && ln -s {keyboard} {link}"),
        Case("two evsnaps on the keyboard at once", ["-t", "5", "{keyboard}"], tap("f"),
             "0x80010021\n", readers=2),  # KEY_F is 33: nothing grabs the device
    ]


class Suite:
    def __init__(self, vm, nodes):
        self.vm, self.nodes, self.serial = vm, nodes, 0

    def start(self, command):
        """Starts `command` in the guest; its id and whether it opened a device."""
        self.serial += 1
        run = f"r{self.serial}"
        self.vm.send(f"start {run} {HOLD_LIMIT} {shlex.join(command)}")
        state = self.vm.expect([f"@@{s} {run}" for s in ("OPEN", "EXITED", "NOTOPEN")], 20)
        return run, state.split()[0] == "@@OPEN"

    def finish(self, run):
        self.vm.send(f"finish {run}")
        line = self.vm.expect([f"@@RESULT {run} "], HOLD_LIMIT + 15)
        fields = dict(f.split("=", 1) for f in line.split()[2:])
        return int(fields["status"]), bytes.fromhex(fields["out"]), bytes.fromhex(fields["err"])

    def inject(self, events):
        if events == POWER:
            self.vm.execute("system_powerdown")
        elif events:
            self.vm.send_input(events)

    def run(self, case):
        """The problems found, none when the case passes."""
        if case.setup:
            self.vm.send(case.setup.format(**self.nodes))
        args = [a.format(**self.nodes) for a in case.args]
        runs = [self.start(["evsnap", *args]) for _ in range(case.readers)]
        problems = []
        for run, opened in runs:
            if opened != case.opens:
                problems.append("evsnap " + ("did not open" if case.opens else "opened")
                                + " the device")
        time.sleep(case.hold)
        if case.inject and all(opened for _, opened in runs):
            self.inject(case.inject)
        for run, _ in runs:
            status, out, err = self.finish(run)
            out, err = out.decode(errors="replace"), err.decode(errors="replace")
            if status == 128 + signal.SIGKILL:
                problems.append(f"hung: killed after {HOLD_LIMIT} s")
            for what, got, want in (("status", status, case.status), ("stdout", out, case.out),
                                    ("stderr", err, case.err)):
                if got != want:
                    problems.append(f"{what} {got!r}, expected {want!r}")
        return problems

    def first_record(self, node, events):
        """The first record a device node delivers for `events`, read raw."""
        run, opened = self.start(["dd", f"if={node}", f"bs={RECORD.size}", "count=1"])
        if opened:
            self.inject(events)
        status, raw, _ = self.finish(run)
        if status != 0 or len(raw) != RECORD.size:
            return f"none (status {status}, {len(raw)} bytes)"
        _, _, type_, code, value = RECORD.unpack(raw)
        return f"type {type_}, code {code}, value {value}"


def static_arm(path):
    machine, interp = guest.elf_machine(path)
    return machine == ARM_MACHINE and not interp


def boot(work, dirs, evsnap):
    kernel_tree = dirs["kernel"]
    vmlinuz = next((kernel_tree / "boot").glob("vmlinuz-*"))
    modules_dir = next((kernel_tree / "lib/modules").iterdir())
    try:
        modules = guest.load_order(modules_dir, MODULES)
    except ValueError as why:
        raise GuestError(why) from None
    print(f"vm: kernel {vmlinuz.name}, modules in load order: "
          + " ".join(name for name, _ in modules), flush=True)
    # The input core holds records back until a SYN_REPORT: without one, these
    # would reach the first reader ahead of its first real record.
    repeat_off = b"".join(RECORD.pack(0, 0, type_, code, 0) for type_, code in
                          ((EV_REP, REP_DELAY), (EV_REP, REP_PERIOD), (EV_SYN, SYN_REPORT)))
    initrd = work / "initramfs.cpio.gz"
    guest.build_initramfs(
        initrd, work / "initramfs", dirs["busybox"] / "bin/busybox", evsnap, modules,
        {"init": (HERE / "init").read_bytes(), "etc/repeat-off": repeat_off,
         "etc/input-names": "".join(n + "\n" for n in NAMES.values()).encode()})
    vm = Machine(work, vmlinuz, initrd)
    vm.start()
    nodes = {}
    while True:
        line = vm.expect(["@@KERNEL ", "@@NODE ", "@@READY", "@@ERROR"], BOOT_LIMIT)
        if line.startswith("@@ERROR"):
            raise GuestError(line[2:])
        if line.startswith("@@KERNEL"):
            print(f"vm: guest kernel {line.split(' ', 1)[1]}, at a shell"
                  f" {time.monotonic() - vm.started:.1f} s after QEMU started", flush=True)
        elif line == "@@READY":
            return vm, nodes
        else:
            _, node, name = line.split(" ", 2)
            nodes[node] = name


def too_long(*_):
    raise GuestError(f"the suite took more than {SUITE_LIMIT} s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("evsnap", type=pathlib.Path, help="the static ARM evsnap")
    parser.add_argument("--work", type=pathlib.Path,
                        help="where the initramfs and the logs go (default: EVSNAP's dir/vm)")
    options = parser.parse_args()
    work = (options.work or options.evsnap.parent / "vm").resolve()
    work.mkdir(parents=True, exist_ok=True)

    missing = [t for t in ("qemu-system-arm", "cpio", "apt-get", "dpkg-deb")
               if not shutil.which(t)]
    if missing:
        print(f"SKIPPED vm: needs {' '.join(missing)}")
        return 77
    if not static_arm(options.evsnap):
        print(f"vm: {options.evsnap} is not a static 32-bit ARM executable"
              " (cmake --preset arm-musl && cmake --build --preset arm-musl --target evsnap)")
        return 1
    try:
        dirs = guest.fetch(guest.cache_dir())
    except guest.Unavailable as why:
        print(f"SKIPPED vm: {why}")
        return 77

    began = time.monotonic()
    signal.signal(signal.SIGALRM, too_long)
    signal.alarm(SUITE_LIMIT)
    passed = failed = 0
    vm = None
    try:
        vm, by_node = boot(work, dirs, options.evsnap)
        nodes = {role: next((n for n, name in by_node.items() if name == NAMES[role]), None)
                 for role in NAMES}
        nodes["link"] = long_link()
        nodes["link_dir"] = str(pathlib.PurePosixPath(nodes["link"]).parent)
        default = next((r for r in NAMES if nodes[r] == "/dev/input/event0"), None)
        print("vm: " + ", ".join(f"{n} is {name}" for n, name in sorted(by_node.items())))
        if None in nodes.values() or default is None:
            raise GuestError("an input device is missing or /dev/input/event0 is unknown")
        suite = Suite(vm, nodes)
        for case in scenarios(default):
            t = time.monotonic()
            problems = suite.run(case)
            took = time.monotonic() - t
            print(f"{'FAIL' if problems else 'ok  '} {case.name} ({took:.1f} s)"
                  + "".join(f"\n     {p}" for p in problems), flush=True)
            failed += bool(problems)
            passed += not problems
        print("vm: first record each device delivers:")
        for role, what, events in (("keyboard", "key press", tap("d")),
                                   ("mouse", "button press", PRESS["mouse"][0]),
                                   ("mouse", "motion along x", [motion("x", 7)]),
                                   ("power", "power button", POWER)):
            print(f"     {NAMES[role]}, {what}: {suite.first_record(nodes[role], events)}")
    except GuestError as why:
        print(f"FAIL the machine: {why}\n     last console lines:\n       "
              + "\n       ".join(vm.last_lines() if vm else []))
        failed += 1
    finally:
        signal.alarm(0)
        if vm:
            vm.stop()
    print(f"vm: suite took {time.monotonic() - began:.1f} s")
    if failed:
        print(f"vm: console in {work / 'serial.log'}, command lines in "
              f"{work / 'commands.log'}, boot by hand with {work / 'boot.sh'}")
    print(f"vm: {passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
