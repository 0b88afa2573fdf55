"""The test machine: QEMU booting the guest, its serial console spoken to line
by line and read back (what a run showed there among it), and QMP to press
keys, move the mouse and end QEMU."""

import ctypes
import json
import os
import pathlib
import shlex
import signal
import socket
import subprocess
import tempfile
import threading
import time


def qemu_command(board, console, kernel, initrd, qmp_socket, append="panic=-1"):
    """QEMU's command line: `board` (the binary and its machine, CPU and device
    options), then what every machine gets, and `append` for the kernel. No
    board needs the guest to power off: the driver ends QEMU through QMP once
    it has every result."""
    return [
        *board,
        "-display", "none", "-monitor", "none", "-nic", "none", "-serial", "stdio",
        "-qmp", f"unix:{qmp_socket},server=on,wait=off",
        "-kernel", str(kernel), "-initrd", str(initrd),
        # panic=-1 with -no-reboot: a guest that panics ends QEMU instead of
        # hanging, on a board that can reset (the raspi0 cannot: time limits end it).
        "-append", f"console={console} {append}", "-no-reboot",
    ]


def _die_with_parent():
    # QEMU must not outlive a driver that is killed (say, by a CTest timeout).
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


class GuestError(Exception):
    """The guest did not answer as the protocol says: later steps cannot run."""


class Machine:
    """One boot of the guest. Everything sent and received is logged in `work`:
    serial.log (the console), commands.log (QEMU's command line, each console
    line and QMP command), qemu.stderr and boot.sh (to boot it by hand)."""

    def __init__(self, work, board, console, kernel, initrd, append="panic=-1"):
        self.work = pathlib.Path(work)
        self.tmp = tempfile.TemporaryDirectory(prefix="evsnap-vm-")  # short socket path
        self.qmp_path = os.path.join(self.tmp.name, "qmp.sock")
        self.command = qemu_command(board, console, kernel, initrd, self.qmp_path, append)
        self.log = open(self.work / "commands.log", "w", buffering=1)
        self.serial_log = open(self.work / "serial.log", "wb")
        self.lines, self.cursor, self.partial = [], 0, b""
        self.changed = threading.Condition()
        self.started = time.monotonic()
        self.proc = self.qmp = None
        by_hand = [a.replace(self.qmp_path, "qmp.sock") for a in self.command]
        (self.work / "boot.sh").write_text(
            "#!/bin/sh\n# Boots the test machine by hand, its console here.\n"
            'cd "$(dirname "$0")" && exec ' + shlex.join(by_hand) + "\n")
        self._note("qemu", shlex.join(self.command))

    def _note(self, what, text):
        self.log.write(f"{time.monotonic() - self.started:8.3f} {what}: {text}\n")

    def start(self):
        self.proc = subprocess.Popen(
            self.command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=open(self.work / "qemu.stderr", "wb"), preexec_fn=_die_with_parent)
        threading.Thread(target=self._read_console, daemon=True).start()
        deadline = time.monotonic() + 10
        while True:
            try:
                self.qmp = socket.socket(socket.AF_UNIX)
                self.qmp.connect(self.qmp_path)
                break
            except OSError:
                self.qmp.close()
                if time.monotonic() > deadline or self.proc.poll() is not None:
                    raise GuestError("QEMU did not open its QMP socket")
                time.sleep(0.05)
        self.qmp.settimeout(10)
        self.qmp_in = self.qmp.makefile("r")
        self._qmp_reply()  # greeting
        self.execute("qmp_capabilities")

    def _read_console(self):
        while chunk := os.read(self.proc.stdout.fileno(), 4096):
            self.serial_log.write(chunk)
            self.serial_log.flush()
            with self.changed:
                *complete, self.partial = (self.partial + chunk).split(b"\n")
                self.lines += [c.decode(errors="replace").rstrip("\r") for c in complete]
                self.changed.notify_all()
        with self.changed:
            self.lines.append(None)  # QEMU has ended
            self.changed.notify_all()

    def expect(self, prefixes, timeout):
        """The next console line that starts with one of `prefixes`."""
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                while self.cursor < len(self.lines):
                    line = self.lines[self.cursor]
                    if line is None:
                        raise GuestError(f"QEMU ended while waiting for {prefixes}")
                    self.cursor += 1
                    if line.startswith(tuple(prefixes)):
                        return line
                left = deadline - time.monotonic()
                if left <= 0:
                    wanted = " or ".join(p.strip() for p in prefixes)
                    raise GuestError(f"no {wanted} within {timeout} s")
                self.changed.wait(left)

    def mark(self):
        """Where the console stands now, for console_since()."""
        with self.changed:
            return len(self.lines)

    def console_since(self, mark):
        """The console lines from `mark` to the last that expect() returned."""
        with self.changed:
            return self.lines[mark : self.cursor]

    def send(self, line):
        """One line of shell to the guest's console."""
        self._note("console", line)
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()

    def _qmp_reply(self):
        while True:
            line = self.qmp_in.readline()
            if not line:
                raise GuestError("QMP closed")
            reply = json.loads(line)
            if "event" not in reply:
                self._note("qmp reply", line.strip())
                return reply

    def execute(self, command, **arguments):
        request = {"execute": command}
        if arguments:
            request["arguments"] = arguments
        self._note("qmp", json.dumps(request))
        self.qmp.sendall(json.dumps(request).encode() + b"\n")
        reply = self._qmp_reply()
        if "error" in reply:
            raise GuestError(f"QMP {command}: {reply['error']}")
        return reply["return"]

    def send_input(self, events):
        self.execute("input-send-event", events=events)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            try:
                if self.qmp:
                    self.execute("quit")
            except (GuestError, OSError, ValueError):
                pass
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self._note("qemu", "killed: did not quit")
                self.proc.kill()
                self.proc.wait()
        self.log.close()
        self.serial_log.close()
        self.tmp.cleanup()

    def last_lines(self, count=15):
        with self.changed:
            return [line for line in self.lines[-count:] if line is not None]
