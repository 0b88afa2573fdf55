#!/usr/bin/env python3
"""Boots a kernel and an initramfs whose init-premount runs the example boot
script on the PC keyboard, under qemu-system-x86_64 (TCG) with break=mount:
once with a key pressed through QMP while the script waits, once without.
Then USB_INITRD, whose script asks for a USB keyboard: the keyboard is
plugged in through QMP a second after the script began to wait, and a key
pressed. Prints what boot-key held each time.

With --disk and DISK, an ext4 image of the root that holds the example unit enabled as
shipped, and the test's report (evsnap-boot-report.service), boots that root
instead: without the unit (masked: the control); with it, as shipped, waiting
for a device this machine lacks; once to adapt it, as its comment says, to
QEMU's USB keyboard; and with that keyboard, a key pressed and not.

Usage: initramfs_boot.py WORK KERNEL INITRD USB_INITRD
       initramfs_boot.py --disk WORK KERNEL INITRD DISK
Exits 0 when every boot went as it should, 1 when not."""

import pathlib
import re
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "vm"))
import machine  # noqa: E402
import pexpect  # noqa: E402

BOARD = ("qemu-system-x86_64", "-machine", "pc", "-accel", "tcg", "-m", "512")
USB = ("-device", "qemu-xhci")  # the USB keyboard comes later, by device_add
# The first record of an AT keyboard is its scan code (EV_MSC, MSC_SCAN), not the key.
PRESSED = "0x00040004"
PREMOUNT = "Begin: Running /scripts/init-premount"  # printed as the scripts start
SHELL = "Spawning shell within the initramfs"  # after init-premount, before the prompt
# The boot script says nothing, not even the shell's "Alarm clock".
SILENT = re.compile(r"Begin: Running /scripts/init-premount \.\.\. done\.\r?\n" + SHELL)
BOOT_LIMIT = 180  # seconds; a cold TCG boot takes a tenth of it
# initramfs-tools takes panic= as "reboot instead of a shell"; loglevel=3
# keeps the kernel's lines out of the boot scripts' own.
APPEND = "console=ttyS0 loglevel=3 break=mount"
A_KEY = [{"type": "key", "data": {"down": down, "key": {"type": "qcode", "data": "a"}}}
         for down in (True, False)]


def boot(work, kernel, initrd, press, usb=False):
    """boot-key's text and the console's, from one boot."""
    work.mkdir(parents=True)
    vm = machine.Machine(work, [*BOARD, *(USB if usb else ()), "-kernel", str(kernel), "-initrd",
                                str(initrd), "-append", APPEND])
    try:
        deadline = time.monotonic() + BOOT_LIMIT
        if usb:  # the script waits already: its line ends only once it is done
            try:
                vm.console.expect_exact(PREMOUNT, BOOT_LIMIT)
            except (pexpect.TIMEOUT, pexpect.EOF):
                raise machine.GuestError("init-premount did not start")
            time.sleep(1)
            vm.execute("device_add", driver="usb-kbd")
        while True:
            try:
                vm.expect([SHELL], 0.2)
                break
            except machine.GuestError:
                if vm.console.proc.poll() is not None or time.monotonic() > deadline:
                    raise
            # Keys before evsnap opens the keyboard only reach the VT.
            if press:
                vm.execute("input-send-event", events=A_KEY)
        # The first echo ends the prompt's line, which has no newline; the
        # quotes keep the command's echo from looking like its output.
        vm.send('echo; echo "BOOT""-KEY=[$(cat /run/evsnap/boot-key)]"')
        key = vm.expect(["BOOT-KEY="], 30)[len("BOOT-KEY=["):-1]
    finally:
        vm.stop()
    return key, (work / "serial.log").read_text(errors="replace")


def main():
    work, kernel, initrd, usb_initrd = (pathlib.Path(a) for a in sys.argv[1:5])
    failed = False
    # A USB keyboard's first record is its scan code too.
    for name, image, press, usb, want in (("key", initrd, True, False, PRESSED),
                                          ("no-key", initrd, False, False, ""),
                                          ("usb-late", usb_initrd, True, True, PRESSED)):
        started = time.monotonic()
        try:
            key, console = boot(work / name, kernel, image, press, usb)
            print(f"boot {name}: boot-key '{key}' after {time.monotonic() - started:.0f} s")
            problems = [f"boot-key '{key}', want '{want}'"] * (key != want)
            problems += ["the console shows 'Alarm clock'"] * ("Alarm clock" in console)
            problems += ["init-premount was not silent"] * (not SILENT.search(console))
        except machine.GuestError as error:
            problems = [str(error)]
        for problem in problems:
            print(f"FAIL: boot {name}: {problem}")
        if problems:
            failed = True
            print("its console's last lines:")
            print(*(work / name / "serial.log").read_text(errors="replace").splitlines()[-20:],
                  sep="\n")
    return 1 if failed else 0


# The unit's own wait (its TIMEOUT=), and what more a board without its device
# may take to reach multi-user.target than the same boot without the unit.
UNIT_WAIT, UNIT_SLACK = 3, 10
UNIT_BOOT = ["root=/dev/vda", "rw", "console=ttyS0", "loglevel=3",
             "systemd.mask=serial-getty@ttyS0.service"]  # its prompt would cut the report's lines
# No floppy, CD or VGA: their drivers would take most of a TCG boot.
USB_KBD = ["-nodefaults", "-device", "qemu-xhci", "-device", "usb-kbd"]


def unit_boot(work, kernel, initrd, disk, append, press):
    """What evsnap-boot-report printed, by name, from one boot of the disk."""
    work.mkdir(parents=True)
    vm = machine.Machine(work, [*BOARD, "-kernel", str(kernel), "-initrd", str(initrd),
                                "-append", " ".join(UNIT_BOOT + append), *USB_KBD,
                                "-drive", f"file={disk},format=raw,if=virtio"])
    try:
        deadline = time.monotonic() + BOOT_LIMIT
        while True:
            try:
                vm.expect(["@@END"], 0.2)
                break
            except machine.GuestError:
                if vm.console.proc.poll() is not None or time.monotonic() > deadline:
                    raise
            if press:
                vm.execute("input-send-event", events=A_KEY)  # to the USB keyboard, the last
        vm.console.expect(machine.pexpect.EOF, 60)  # it powers off, its disk clean
    finally:
        vm.stop()
    report = {}
    for line in re.findall(r"@@(\w+) ?(.*?)\r?$", vm.seen, re.M):
        report[line[0]] = " | ".join(filter(None, (report.get(line[0]), line[1])))
    return report


def unit_main():
    work, kernel, initrd, disk = (pathlib.Path(a) for a in sys.argv[2:6])
    mask = ["systemd.mask=evsnap-boot-key.service"]
    shipped = "evsnap: no input device /dev/input/by-path/platform-gpio-keys-event"
    # name, kernel arguments, press, want: boot-key (None: no file),
    # the unit's result, the unit's journal.
    # The shipped unit waits for a device this machine lacks; the control,
    # the same machine without it, then adapts it to the USB keyboard.
    boots = (("no-device", [], False, "", "success", shipped),
             ("control", mask + ["evsnap.adapt"], False, None, "", ""),
             ("key", [], True, PRESSED, "success", ""),
             ("no-key", [], False, "", "success", ""))
    reached, failed = {}, False
    for name, append, press, want, result, journal in boots:
        started = time.monotonic()
        try:
            got = unit_boot(work / name, kernel, initrd, disk, append, press)
            reached[name] = int(got.get("REACHED") or 0) / 1e6
            print(f"boot {name}: boot-key {got.get('KEY')}, {got.get('UNIT')}, "
                  f"multi-user.target after {reached[name]:.1f} s, "
                  f"{time.monotonic() - started:.0f} s in all")
            key = got["KEY"][1:-1] if got.get("KEY", "absent") != "absent" else None
            problems = [f"boot-key {got.get('KEY')}, want {want!r}"] * (key != want)
            problems += [f"the unit's {got.get('UNIT')}, want Result={result}"] * (
                bool(result) and f"Result={result}" not in got.get("UNIT", ""))
            problems += [f"its journal says '{got.get('JOURNAL', '')}', want '{journal}'"] * (
                bool(result) and got.get("JOURNAL", "") != journal)
            problems += ["boot-key is root's: evsnap ran as root"] * (
                key is not None and got.get("OWNER") in ("0", None))
            if name == "control":
                print(f"boot control: DEVICE={got.get('ADAPTED')}")
                problems += ["no link for the USB keyboard"] * (not got.get("ADAPTED"))
                bound = reached["no-device"] - UNIT_WAIT - UNIT_SLACK
                problems += [f"multi-user.target after {reached[name]:.1f} s, and "
                             f"{reached['no-device']:.1f} s with the unit waiting for no "
                             f"device: more than {UNIT_WAIT + UNIT_SLACK} s later"] * (
                    reached[name] < bound)
        except (machine.GuestError, KeyError) as error:
            problems = [str(error)]
        for problem in problems:
            print(f"FAIL: boot {name}: {problem}")
        if problems:
            failed = True
            print("its report:")
            print(*(line for line in (work / name / "serial.log").read_text(
                errors="replace").splitlines() if line.startswith("@@")), sep="\n")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(unit_main() if sys.argv[1] == "--disk" else main())
