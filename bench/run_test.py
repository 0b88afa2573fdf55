"""The parts of bench/run.py that could go wrong without the run failing.

python3 -m unittest discover -s bench -p '*_test.py'
"""

import json
import math
import shutil
import struct
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


class Figures(unittest.TestCase):
    def test_bad_figures_names_what_cannot_be_right(self):
        results = {
            "mode": "quick",
            "skipped": {"armhf": "no cross compiler"},
            "instructions": {"evsnap": 115272, "floor": 0, "ratio": math.inf},
            "wall_time": {"ratios": [1.01, float("nan"), 0.99], "rounds": 2},
            "latency_us": {"evsnap": {"median": -3.0, "p99": 40.0}},
            "met": True,
            "compiler": None,
            "load_average": {"start": 0.0, "end": 0.5},
        }
        self.assertEqual(
            run.bad_figures(results),
            [
                "/instructions/floor",
                "/instructions/ratio",
                "/wall_time/ratios/1",
                "/latency_us/evsnap/median",
            ],
        )

    def test_table_shows_each_target_met_or_above(self):
        dynamic, musl = "glibc-dynamic", "musl-static"
        results = {
            "machine": "x86_64",
            "record_bytes": 24,
            "mode": "quick",
            "load_average": {"start": 0.25, "end": 1.0},
            "plan": {"warmup": 3, "runs": 20, "rss_runs": 3, "latency_runs": 20},
            "skipped": {"peak_rss": "no /usr/bin/time"},
            "instructions": {
                dynamic: {"evsnap": 1030, "floor": 1000, "floor_alarm_reset": 1025},
                musl: {"evsnap": 2700, "floor": 3000, "floor_alarm_reset": 3100},
            },
            "syscalls": {dynamic: {"evsnap": 30, "floor": 30}, musl: {"evsnap": 13, "floor": 10}},
            "wall_time": {
                dynamic: {
                    "evsnap": {"median": 105e-6, "stddev": 5e-6, "cpu_mean": 50e-6},
                    "floor": {"median": 100e-6, "stddev": 4e-6, "cpu_mean": 40e-6},
                    "ratio": 1.05,
                },
                musl: {
                    "evsnap": {"median": 60e-6, "stddev": 5e-6, "cpu_mean": 30e-6},
                    "floor": {"median": 50e-6, "stddev": 4e-6, "cpu_mean": 30e-6},
                    "ratio": 1.2,
                },
            },
            "latency_us": {
                dynamic: {"evsnap": {"median": 50.0, "p99": 90.0}, "floor": {"median": 100.0, "p99": 90.0}},
            },
            "stripped_bytes": {
                "host": {musl: {"evsnap": 48 * 1024 + 1, "floor": 20000}},
                "armhf": {musl: {"evsnap": 32 * 1024, "floor": 20000}},
            },
            "needed": {
                "host": {
                    dynamic: {"evsnap": ["libc.so.6", "libm.so.6"], "floor": ["libc.so.6"]},
                    musl: {"evsnap": [], "floor": []},
                },
            },
        }
        lines = run.table(results).splitlines()
        self.assertTrue(lines[0].startswith("evsnap against the floor"), lines[0])
        self.assertIn("load average 0.2 to 1.0", lines[0])
        self.assertIn("skipped peak_rss: no /usr/bin/time", lines)
        expected = [
            ("instructions per capture", "  glibc dynamic", "1.030", "<= 1.02 above"),
            ("instructions per capture", "    floor with SIGALRM reset", "1.005", None),
            ("instructions per capture", "  musl static", "0.900", "evsnap <= 3,000 met"),
            ("system calls", "  glibc dynamic", "1.000", None),
            ("system calls", "  musl static", "1.300", "evsnap <= 12 above"),
            ("wall time", "  glibc dynamic", "1.050", "<= 1.05 met"),
            ("wall time", "  musl static", "1.200", "<= 1.05 above"),
            ("CPU time", "  glibc dynamic", "1.250", None),
            ("FIFO latency median", "  glibc dynamic", "0.500", None),
            ("stripped size, bytes (x86_64)", "  musl static", "49,153", "evsnap <= 48 KiB above"),
            ("stripped size, bytes (armhf)", "  musl static", "32,768", "evsnap <= 32 KiB met"),
            ("shared libraries (x86_64)", "  glibc dynamic", "libm.so.6", "libc alone above"),
            ("shared libraries (x86_64)", "  musl static", "none", None),
        ]
        for group, build, figure, target in expected:
            with self.subTest(group=group, build=build):
                # the build's row under the figure's heading
                start = next(n for n, line in enumerate(lines) if line.startswith(group))
                line = next(line for line in lines[start + 1 :] if line.startswith(build))
                self.assertIn(figure, line)
                if target:
                    self.assertTrue(line.endswith(target), line)
                else:
                    self.assertNotIn("<=", line)


@unittest.skipIf(shutil.which("cc") is None, "no C compiler")
class RecordLayout(unittest.TestCase):
    def test_record_matches_the_kernel_header(self):
        program = r"""
            #include <linux/input.h>
            #include <stddef.h>
            #include <stdio.h>
            int main(void) {
              printf("%zu %zu %zu %zu\n", sizeof(struct input_event),
                     offsetof(struct input_event, type), offsetof(struct input_event, code),
                     offsetof(struct input_event, value));
              return 0;
            }
        """
        with tempfile.TemporaryDirectory() as scratch:
            source = Path(scratch) / "layout.c"
            source.write_text(program)
            subprocess.run(["cc", "-o", Path(scratch) / "layout", source], check=True)
            got = subprocess.run(
                [Path(scratch) / "layout"], check=True, capture_output=True, text=True
            ).stdout.split()
        fields = run.RECORD_FORMAT[1:]
        # Offsets from the format: the size of everything before each field.
        ours = [struct.calcsize(run.RECORD_FORMAT)] + [
            struct.calcsize("@" + fields[:n]) for n in (2, 3, 4)
        ]
        self.assertEqual([int(n) for n in got], ours)


if __name__ == "__main__":
    unittest.main()
