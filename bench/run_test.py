"""The parts of bench/run.py that could go wrong without the run failing.

python3 -m unittest discover -s bench -p '*_test.py'
"""

import json
import math
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

import run


class Percentile(unittest.TestCase):
    def test_nearest_rank(self):
        cases = [
            (list(range(1, 101)), 0.99, 99),
            (list(range(1000, 0, -1)), 0.99, 990),  # order of the samples does not matter
            (list(range(1, 1001)), 0.5, 500),
            ([7.5], 0.99, 7.5),
            ([3, 1, 2], 0.5, 2),
            ([1, 2, 3, 4], 0.5, 2),
        ]
        for values, fraction, expected in cases:
            with self.subTest(values=values[:3], fraction=fraction):
                self.assertEqual(run.percentile(values, fraction), expected)


class Parsing(unittest.TestCase):
    def test_callgrind_total(self):
        cases = [
            ("events: Ir\nsummary: 131772\ntotals: 131772\n", 131772),
            ("events: Ir\nfl=(1)\n0 12\ntotals: 99\n", 99),
            ("events: Ir\nfl=(1)\n0 12\n", None),
        ]
        for text, expected in cases:
            with self.subTest(text=text):
                self.assertEqual(run.callgrind_total(text), expected)

    def test_count_syscalls(self):
        execve = 'execve("./evsnap", ["./evsnap", "press"], 0x7ffd /* 2 vars */) = 0\n'
        cases = [
            (execve + "read(3, \"\\0\"..., 24) = 24\nexit_group(0) = ?\n+++ exited with 0 +++\n", 3),
            # a signal is no call, nor is the death it brings
            (execve + "--- SIGALRM {si_signo=SIGALRM} ---\n+++ killed by SIGALRM +++\n", 1),
            # a call strace split in two is one call
            (execve + "read(3,  <unfinished ...>\n<... read resumed>\"\", 24) = 24\n\n", 2),
            ("", 0),
        ]
        for trace, expected in cases:
            with self.subTest(trace=trace):
                self.assertEqual(run.count_syscalls(trace), expected)

    def test_hyperfine_summary_adds_user_and_system(self):
        result = {"command": "musl-static/evsnap", "mean": 2e-3, "stddev": 4e-4, "median": 1.9e-3,
                  "user": 1.5e-3, "system": 0.0, "min": 1.2e-3, "max": 4e-3,
                  "times": [1.9e-3, 2.1e-3], "exit_codes": [0, 0]}
        got = run.hyperfine_summary(json.dumps({"results": [result]}))
        self.assertEqual(list(got), ["musl-static/evsnap"])
        self.assertEqual(got["musl-static/evsnap"]["median"], result["median"])
        self.assertEqual(got["musl-static/evsnap"]["cpu_mean"], result["user"])
        # neither a system time of 0 nor the exit codes reach the figures
        self.assertEqual(run.bad_figures(got), [])

    @unittest.skipIf(shutil.which("hyperfine") is None, "no hyperfine")
    def test_hyperfine_takes_our_flags_and_exports_what_we_read(self):
        with tempfile.TemporaryDirectory() as scratch:
            out = Path(scratch) / "out.json"
            subprocess.run(
                ["hyperfine", *run.HYPERFINE_FLAGS, "--runs=2", f"--export-json={out}",
                 "--command-name", "true", shutil.which("true")],
                check=True, capture_output=True,
            )
            got = run.hyperfine_summary(out.read_text())
        self.assertEqual(list(got), ["true"])
        self.assertEqual(run.bad_figures(got), [])

    def test_stat_state_past_an_odd_command_name(self):
        cases = [
            ("4242 (evsnap) S 1 4242 4242 0 -1", "S"),
            ("4242 (x y) R 1 4242", "R"),
            ("4242 (a) R (b) S 1 4242", "S"),  # the name is "a) R (b"
        ]
        for text, expected in cases:
            with self.subTest(text=text):
                self.assertEqual(run.stat_state(text), expected)

    def test_kib(self):
        status = "Name:\tevsnap\nVmPeak:\t     40 kB\nVmHWM:\t      32 kB\nVmRSS:\t  28 kB\n"
        cases = [
            (status, "VmHWM", 32),
            ("7f00-7fff ---p 00000000 00:00 0  [rollup]\nRss:                  36 kB\n", "Rss", 36),
            ("Name:\tevsnap\nState:\tZ (zombie)\n", "VmHWM", 0),  # a process gone has no memory
        ]
        for text, field, expected in cases:
            with self.subTest(text=text):
                self.assertEqual(run.kib(text, field), expected)

    def test_absent_names_tool_and_package_once(self):
        self.assertEqual(run.absent({"sh": "dash"}), "")
        got = run.absent({"sh": "dash", "no-such-tool-a": "pkg", "no-such-tool-b": "pkg"})
        self.assertEqual(got, "no no-such-tool-a, no-such-tool-b (Debian: pkg)")

    def test_builds_from_the_table(self):
        with tempfile.TemporaryDirectory() as scratch:
            table = Path(scratch, "targets.txt")
            table.write_text("""# a comment
[armhf-glibc]
triplet    arm-linux-gnueabihf
libc       glibc
debian     armhf
bench      dynamic static
  # an indented comment
[x86_64-musl]
triplet    x86_64-linux-gnu
libc       musl
debian     amd64
max-bytes  24576
boards     the same, on 64-bit PCs
[mips-musl]
triplet    mips-linux-gnu
libc       musl
debian     mips
musl       source
""")
            amd64, arm64 = run.builds(table, "amd64"), run.builds(table, "arm64")
        armhf = {"arm-linux-gnueabihf-g++": "g++-arm-linux-gnueabihf"}
        self.assertEqual(amd64, [
            ("x86_64 glibc dynamic", "host", {}, True, {"c++": "g++"}, None),
            ("x86_64 glibc static", "host", {"EVSNAP_STATIC": "ON"}, True, {"c++": "g++"}, None),
            ("x86_64 musl static", "x86_64-musl", {}, True,
             {"x86_64-linux-gnu-g++": "g++", "x86_64-linux-musl-gcc": "musl-dev"}, 24576),
            ("mips musl static", "mips-musl", {}, False, {"mips-linux-gnu-g++": "g++-mips-linux-gnu"}, None),
            ("armhf glibc dynamic", "armhf-glibc", {}, False, armhf, None),
            ("armhf glibc static", "armhf-glibc", {"EVSNAP_STATIC": "ON"}, False, armhf, None),
        ])
        # on an arm64 machine the x86_64 build is a cross build
        self.assertEqual(arm64[2][3:5], (False, {
            "x86_64-linux-gnu-g++": "g++-x86_64-linux-gnu", "x86_64-linux-musl-gcc": "musl-dev:amd64"}))


@unittest.skipIf(not Path("/proc/self/status").exists(), "no /proc")
class Capture(unittest.TestCase):
    def test_peak_rss_is_read_while_the_program_waits_to_write(self):
        # A stand-in for evsnap that prints the expected line: were the
        # figure read after its exit, /proc would have no peak left to give.
        with tempfile.TemporaryDirectory() as scratch:
            stage = Path(scratch)
            program = stage / run.PROGRAMS["evsnap"]
            line = run.EXPECTED_LINE.decode().strip()
            program.write_text(f"#!/bin/sh\nprintf '%s\\n' {line}\n")
            program.chmod(0o755)
            self.assertGreater(run.peak_rss(stage, "evsnap"), 0)
            program.write_text("#!/bin/sh\nprintf 'other\\n'\n")
            with self.assertRaises(SystemExit):
                run.peak_rss(stage, "evsnap")


class Figures(unittest.TestCase):
    def test_bad_figures_names_what_cannot_be_right(self):
        results = {"mode": "quick", "skipped": {"armhf": "no cross compiler"},
                   "instructions": {"evsnap": 115272, "floor": 0, "ratio": math.inf},
                   "wall_time": {"ratios": [1.01, float("nan"), 0.99], "rounds": 2},
                   "latency_us": {"evsnap": {"median": -3.0, "p99": 40.0}},
                   "met": True, "compiler": None, "load_average": {"start": 0.0, "end": 0.5}}
        self.assertEqual(run.bad_figures(results), ["/instructions/floor", "/instructions/ratio",
                                                    "/wall_time/ratios/1", "/latency_us/evsnap/median"])

    def test_table_marks_each_goal_met_or_missed(self):
        dynamic, musl, arm = "x86_64 glibc dynamic", "x86_64 musl static", "arm musl static"
        results = {
            "date": "2025-01-02", "mode": "quick", "machine": "x86_64", "kernel": "6.1.0",
            "record_bytes": 24, "load_average": {"start": 0.25, "end": 1.0},
            "plan": {"warmup": 3, "runs": 20, "rss_runs": 3, "latency_runs": 20},
            "skipped": {"syscalls": "no strace (Debian: strace)"},
            "goals": {**run.GOALS, "stripped_bytes": {musl: ["bytes", 28672], arm: ["bytes", 26624]}},
            "instructions": {
                dynamic: {"evsnap": 1030, "floor": 1000, "floor_alarm_reset": 1025},
                musl: {"evsnap": 2001, "floor": 3000, "floor_alarm_reset": 3100},
            },
            "wall_us": {dynamic: {"evsnap": 105, "floor": 100}, musl: {"evsnap": 60, "floor": 50}},
            "wall_us_sd": {dynamic: {"evsnap": 5, "floor": 4}, musl: {"evsnap": 5, "floor": 4}},
            "cpu_us": {dynamic: {"evsnap": 50, "floor": 40}},
            "peak_rss_kib": {musl: {"evsnap": 36, "floor": 32}},
            "latency_us": {dynamic: {"evsnap": 50.0, "floor": 100.0}},
            "latency_us_p99": {dynamic: {"evsnap": 90.0, "floor": 90.0}},
            "stripped_bytes": {musl: {"evsnap": 28673, "floor": 20000},
                               arm: {"evsnap": 26624, "floor": 20000}},
            "needed": {dynamic: {"evsnap": ["libc.so.6", "libm.so.6"], "floor": ["libc.so.6"]},
                       musl: {"evsnap": [], "floor": []}},
        }
        lines = run.table(results).splitlines()
        self.assertIn("load average 0.2 to 1.0", lines[0])
        self.assertIn("- left out, syscalls: no strace (Debian: strace)", lines)
        self.assertFalse(any("system calls" in line for line in lines))
        # the Markdown rule below the head, numbers aligned right
        self.assertRegex(lines[3], r"^\|-+\|-+\|-+:\|-+:\|-+:\|-+\|$")
        expected = [
            ("instructions", dynamic, "1.030", ""),  # held to the floor that resets SIGALRM too
            ("instructions", "… floor with evsnap's SIGALRM reset", "1.005", "≤ 1.02 × floor: met"),
            ("instructions", musl, "0.667", "≤ 2,000: **missed**"),
            ("wall time", dynamic, "105 ± 5", "≤ 1.05 × floor: met"),
            ("wall time", dynamic, "1.050", "≤ 1.05 × floor: met"),
            ("wall time", musl, "1.200", "≤ 1.05 × floor: **missed**"),
            ("CPU time", dynamic, "1.250", ""),
            ("peak RSS", musl, "1.125", "≤ 1 × floor: **missed**"),
            ("FIFO", dynamic, "0.500", ""),
            ("99th percentile", dynamic, "1.000", ""),
            ("stripped size", musl, "28,673", "≤ 28 KiB: **missed**"),
            ("stripped size", arm, "26,624", "≤ 26 KiB: met"),
            ("shared libraries", dynamic, "libm.so.6", "libc alone: **missed**"),
            ("shared libraries", musl, "none", ""),
        ]
        for group, build, figure, goal in expected:
            with self.subTest(group=group, build=build):
                # the build's row at or after the figure's heading
                start = next(n for n, line in enumerate(lines) if group in line)
                line = next(line for line in lines[start:] if f" {build} " in line)
                self.assertIn(figure, line)
                self.assertEqual(line.split("|")[6].strip(), goal, line)
        results["instructions"][dynamic]["floor_alarm_reset"] = 1000  # a regression past it
        line = next(line for line in run.table(results).splitlines() if "SIGALRM reset" in line)
        self.assertEqual(line.split("|")[6].strip(), "≤ 1.02 × floor: **missed**", line)


class Doc(unittest.TestCase):
    def test_table_replaces_only_what_stands_between_the_markers(self):
        doc = f"# Benchmark\nbefore\n{run.BEGIN}\nold table\n{run.END}\nafter\n"
        got = run.with_table(doc, "new table")
        self.assertEqual(got, f"# Benchmark\nbefore\n{run.BEGIN}\nnew table\n{run.END}\nafter\n")
        self.assertEqual(run.with_table(got, "new table"), got)
        with self.assertRaises(SystemExit):
            run.with_table("# Benchmark\n", "new table")


@unittest.skipIf(shutil.which("cc") is None, "no C compiler")
class RecordLayout(unittest.TestCase):
    def test_record_is_the_kernel_headers_for_the_binary(self):
        # A program that writes a KEY_A press as <linux/input.h> lays it out:
        # the record the benchmark stages for that same binary must match it.
        program = r"""
            #include <linux/input.h>
            #include <stdio.h>
            #include <string.h>
            int main(void) {
              struct input_event event;
              memset(&event, 0, sizeof event);
              event.type = EV_KEY;
              event.code = KEY_A;
              event.value = 1;
              return fwrite(&event, sizeof event, 1, stdout) != 1;
            }
        """
        with tempfile.TemporaryDirectory() as scratch:
            source, binary = Path(scratch) / "layout.c", Path(scratch) / "layout"
            source.write_text(program)
            subprocess.run(["cc", "-o", binary, source], check=True)
            got = subprocess.run([binary], check=True, capture_output=True).stdout
            self.assertEqual(run.key_record(binary), got)


if __name__ == "__main__":
    unittest.main()
