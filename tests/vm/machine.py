"""The test machine: QEMU booting the guest, its serial console driven with
pexpect in the protocol of the guest's init, and QMP to press keys, move the
mouse and end QEMU. The work folder gets serial.log (the console, QEMU's own
messages among it), commands.log (QEMU's command line, each console line and
QMP command sent, with times) and boot.sh, to boot the same machine by hand."""

import ctypes
import json
import os
import re
import shlex
import signal
import socket
import subprocess
import time

import pexpect.popen_spawn

from guest import GuestError

HOLD_LIMIT = 15  # the guest kills a command still running after this long


def _die_with_parent():
    # QEMU must not outlive a driver that is killed (say, by a CTest timeout).
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


class Machine:
    def __init__(self, work, qemu):
        """`qemu`: QEMU's binary, the machine and its devices, kernel and initrd."""
        self.runs, self.seen = 0, ""  # seen: the console expect() went past
        qmp = f"evsnap-vm-{os.getpid()}"  # an abstract socket: no path to clean up
        # With -no-reboot, a guest that panics (panic=-1) ends QEMU instead of hanging.
        command = [*qemu, "-display", "none", "-monitor", "none", "-nic", "none", "-serial",
                   "stdio", "-qmp", f"unix:{qmp},server=on,wait=off,abstract=on", "-no-reboot"]
        self.log = open(work / "commands.log", "w", buffering=1)
        self.started = time.monotonic()
        (work / "boot.sh").write_text("#!/bin/sh\n# Boots the test machine, its console here.\n"
                                      f"exec {shlex.join(command)}\n")
        self._note("qemu", shlex.join(command))
        self.console = pexpect.popen_spawn.PopenSpawn(
            command, encoding="utf-8", codec_errors="replace", preexec_fn=_die_with_parent)
        self.console.logfile_read = open(work / "serial.log", "w")
        self.qmp = socket.socket(socket.AF_UNIX)
        while self.qmp.connect_ex("\0" + qmp) != 0:
            if time.monotonic() > self.started + 10 or self.console.proc.poll() is not None:
                raise GuestError("QEMU did not open its QMP socket")
            time.sleep(0.05)
        self.qmp.settimeout(10)
        self.qmp_in = self.qmp.makefile("r")
        self.qmp_in.readline()  # the greeting
        self.execute("qmp_capabilities")

    def _note(self, what, text):
        self.log.write(f"{time.monotonic() - self.started:8.3f} {what}: {text}\n")

    def expect(self, prefixes, timeout):
        """The next console line that starts with one of `prefixes`."""
        try:
            self.console.expect("(?:" + "|".join(map(re.escape, prefixes)) + ")[^\n]*\n", timeout)
        except pexpect.TIMEOUT:
            raise GuestError(f"no {' or '.join(p.strip() for p in prefixes)} within {timeout} s")
        except pexpect.EOF:
            raise GuestError(f"QEMU ended while waiting for {prefixes}")
        self.seen += self.console.before + self.console.after
        return self.console.after.strip()

    def send(self, line):
        self._note("console", line)
        self.console.sendline(line)

    def shell(self, line):
        """Runs guest shell and waits for it, or input sent next would overtake it."""
        if line:
            self.send(line + "; echo @@DONE")
            self.expect(["@@DONE"], 20)

    def start(self, command, console=False):
        """Starts `command` in the guest, its output to files or else to the
        console; its id and whether it opened a device."""
        self.runs += 1
        run = (f"r{self.runs}", len(self.seen))
        self.send(f"start {run[0]} {HOLD_LIMIT} {'console' if console else 'files'} "
                  + shlex.join(command))
        state = self.expect([f"@@{s} {run[0]}" for s in ("OPEN", "EXITED", "NOTOPEN")], 20)
        return run, state.startswith("@@OPEN")

    def finish(self, run):
        """Its status and output: stdout and stderr, or the console's lines since
        it started (the host's aside), which its output went to."""
        self.send(f"finish {run[0]}")
        fields = dict(f.split("=", 1) for f in self.expect(
            [f"@@RESULT {run[0]} "], HOLD_LIMIT + 15).split()[2:])
        if "out" in fields:
            return int(fields["status"]), [bytes.fromhex(fields[f]).decode(errors="replace")
                                           for f in ("out", "err")]
        shown = self.seen[run[1]:].replace("\r", "").splitlines()
        return int(fields["status"]), [s for s in shown if not s.startswith("@@")]

    def execute(self, command, **arguments):
        request = json.dumps({"execute": command, "arguments": arguments})
        self._note("qmp", request)
        try:
            self.qmp.sendall(request.encode() + b"\n")
            while "event" in (reply := json.loads(self.qmp_in.readline() or '{"error": "closed"}')):
                pass
        except OSError as why:
            reply = {"error": str(why)}
        if isinstance(reply.get("error"), str):  # not QMP's own error, an object
            try:  # QEMU ended: its last words (a device it refused) into serial.log
                self.console.expect(pexpect.EOF, 2)
            except pexpect.TIMEOUT:
                pass
        if "error" in reply:
            raise GuestError(f"QMP {command}: {reply['error']}")
        return reply["return"]

    def stop(self):
        try:
            self.execute("quit")
            self.console.proc.wait(10)
        except (GuestError, OSError, ValueError, subprocess.TimeoutExpired):
            self._note("qemu", "killed: did not quit")
            self.console.proc.kill()
