"""The parts of bench/run.py that could go wrong without the run failing.

python3 -m unittest discover -s bench -p '*_test.py'
"""

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
        results = {
            "machine": "x86_64",
            "record_bytes": 24,
            "mode": "quick",
            "load_average": {"start": 0.25, "end": 1.0},
            "skipped": {"peak_rss": "no /usr/bin/time"},
            "instructions": {"evsnap": 1030, "floor": 1000, "floor_alarm_reset": 1025},
            "wall_time": {
                "rounds": 2,
                "captures_per_round": 20,
                "ratio_median": 1.05,
                "us_per_capture_median": {"evsnap": 105.0, "floor": 100.0},
            },
            "cpu_time": {
                "rounds": 2,
                "captures_per_round": 20,
                "ratio_median": 1.25,
                "us_per_capture_median": {"evsnap": 50.0, "floor": 40.0},
            },
            "stripped_bytes": {"host": {"evsnap": 100, "floor": 100}},
            "latency_us": {
                "runs": 20,
                "evsnap": {"median": 50.0, "p99": 90.0},
                "floor": {"median": 100.0, "p99": 90.0},
            },
            "needed": {"evsnap": ["libc.so.6", "libm.so.6"], "floor": ["libc.so.6"]},
        }
        lines = run.table(results).splitlines()
        expected = [
            ("evsnap against the floor", "load average 0.2 to 1.0", None),
            ("instructions per capture", "1.030", "<= 1.02 above"),
            ("wall time per capture", "1.050", "<= 1.05 met"),
            ("CPU time per capture", "1.250", None),
            ("FIFO latency median", "0.500", None),
            ("shared libraries (host)", "libm.so.6", "libc alone above"),
            ("skipped peak_rss", "no /usr/bin/time", None),
        ]
        for start, figure, target in expected:
            with self.subTest(row=start):
                line = next(line for line in lines if line.startswith(start))
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
