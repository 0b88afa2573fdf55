#!/usr/bin/env python3
"""Boots a kernel and an initramfs whose init-premount runs the example boot
script on the PC keyboard, under qemu-system-x86_64 (TCG) with break=mount:
once with a key pressed through QMP while the script waits, once without.
Then USB_INITRD, whose script asks for a USB keyboard: the keyboard is
plugged in through QMP a second after the script began to wait, and a key
pressed. Prints what boot-key held each time.

Usage: initramfs_boot.py WORK KERNEL INITRD USB_INITRD
Exits 0 when all boots went as they should, 1 when not."""

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


if __name__ == "__main__":
    sys.exit(main())
