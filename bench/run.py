#!/usr/bin/env python3
"""What one capture costs evsnap, side by side with a plain C floor.

Builds evsnap (the host preset's Release flags, and the armhf preset's for its
size) and the floor program in bench/floor.c with the same build type and
toolchain, writes one KEY_A press record in this machine's layout, and measures
both programs on it in one run:

  instructions   one capture, whole process, counted by valgrind's callgrind
  wall time      batches of captures, evsnap and floor in turn, over rounds
  peak RSS       GNU time's maximum resident set size of one capture
  size           stripped binaries, host and armhf; the shared libraries needed
  latency        a record written into a FIFO the program already waits on,
                 to the line on its standard output

It prints a table and writes the figures as JSON. Targets are shown, never
enforced: the script fails only when a step itself fails.
"""

import argparse
import json
import math
import os
import platform
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"
ARM_PREFIX = "arm-linux-gnueabihf-"

EV_KEY = 1
KEY_A = 30
EXPECTED_LINE = b"0x8001001e\n"
# struct input_event as <linux/input.h> lays it out: two kernel longs of time,
# then type, code and value. Native alignment gives this machine's size.
RECORD_FORMAT = "@LLHHi"
# Every program runs with this environment alone, so instruction counts do not
# depend on the caller's.
ENV = {"PATH": "/usr/bin:/bin", "LC_ALL": "C"}

TARGETS = {"instructions": 1.02, "wall_time": 1.05, "peak_rss": 1.0}

QUICK = {"rounds": 2, "captures": 20, "rss_runs": 3, "latency_runs": 20}
FULL = {"rounds": 7, "captures": 1000, "rss_runs": 21, "latency_runs": 1000}


def step(what):
    print(f"bench: {what}", file=sys.stderr, flush=True)


def run(cmd):
    """Runs a build or inspection command; its output only shows if it fails."""
    done = subprocess.run(
        cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True
    )
    if done.returncode != 0:
        sys.stderr.write(done.stdout)
        raise SystemExit(f"bench: failed ({done.returncode}): {' '.join(map(str, cmd))}")
    return done.stdout


def cache_value(build_dir, name, default=None):
    for line in (build_dir / "CMakeCache.txt").read_text().splitlines():
        if line.startswith(f"{name}:"):
            return line.split("=", 1)[1]
    if default is None:
        raise SystemExit(f"bench: no {name} in {build_dir}/CMakeCache.txt")
    return default


def build(preset, toolchain=None):
    """evsnap from the preset, the floor with the same build type and toolchain."""
    evsnap_dir = BUILD / preset
    floor_dir = BUILD / f"floor-{preset}"
    run(["cmake", "--preset", preset, "-B", evsnap_dir, "-DBUILD_TESTING=OFF"])
    run(["cmake", "--build", evsnap_dir, "--target", "evsnap", "-j2"])
    build_type = cache_value(evsnap_dir, "CMAKE_BUILD_TYPE")
    configure = ["cmake", "-S", ROOT / "bench", "-B", floor_dir, f"-DCMAKE_BUILD_TYPE={build_type}"]
    if toolchain:
        configure += ["--toolchain", toolchain]
    run(configure)
    run(["cmake", "--build", floor_dir, "-j2"])
    # A toolchain file sets the compiler without caching it.
    compiler = cache_value(floor_dir, "CMAKE_C_COMPILER", default="cc")
    flags = cache_value(floor_dir, f"CMAKE_C_FLAGS_{build_type.upper()}")
    return {
        "evsnap": evsnap_dir / "evsnap",
        "floor": floor_dir / "floor",
        "floor_alarm_reset": floor_dir / "floor_alarm_reset",
        "build_type": build_type,
        "compiler": compiler,
        "floor_command": f"{Path(compiler).name} {flags} -Wl,--as-needed",
    }


def stripped_size(binary, strip):
    with tempfile.TemporaryDirectory() as scratch:
        out = Path(scratch) / "stripped"
        run([strip, "-o", out, binary])
        return out.stat().st_size


def needed(binary):
    lines = run(["readelf", "-d", binary]).splitlines()
    return [line.split("[", 1)[1].rstrip("]") for line in lines if "(NEEDED)" in line]


def check_line(name, got):
    if got != EXPECTED_LINE:
        raise SystemExit(f"bench: {name} printed {got!r}, not {EXPECTED_LINE!r}")


def instructions(binary, record, scratch):
    out = scratch / f"callgrind.{binary.name}"
    done = subprocess.run(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", binary, record],
        env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True,
    )
    check_line(binary.name, done.stdout)
    total = callgrind_total(out.read_text())
    if total is None:
        raise SystemExit(f"bench: no instruction total in {out}")
    return total


def callgrind_total(text):
    """The instructions a callgrind output file counts for the whole run."""
    for line in text.splitlines():
        if line.startswith(("totals:", "summary:")):
            return int(line.split()[1])
    return None


def spawn(binary, record, stdout_fd):
    return os.posix_spawn(
        binary, [str(binary), str(record)], ENV, file_actions=[(os.POSIX_SPAWN_DUP2, stdout_fd, 1)]
    )


def reap(name, pid):
    """Waits for the program to end well; returns the CPU seconds it used."""
    _, status, usage = os.wait4(pid, 0)
    if status != 0:
        raise SystemExit(f"bench: {name} ended with wait status {status}")
    return usage.ru_utime + usage.ru_stime


def batch(binary, record, count, devnull):
    """Wall and CPU seconds of count captures, one after the other."""
    cpu = 0.0
    start = time.perf_counter()
    for _ in range(count):
        cpu += reap(binary.name, spawn(binary, record, devnull))
    return time.perf_counter() - start, cpu


def wall_time(programs, record, rounds, captures):
    """Batches of captures, the programs in turn (A B A B ...): wall and CPU
    seconds per batch. CPU time leaves out the waits of a busy machine."""
    wall = {name: [] for name in programs}
    cpu = {name: [] for name in programs}
    with open(os.devnull, "wb") as devnull:
        for _ in range(rounds):
            for name, binary in programs.items():
                seconds, used = batch(binary, record, captures, devnull.fileno())
                wall[name].append(seconds)
                cpu[name].append(used)
    return wall, cpu


def peak_rss(programs, record, runs, scratch):
    """GNU time's maximum resident set size in KiB, the programs in turn."""
    report = scratch / "time.out"
    kib = {name: [] for name in programs}
    for _ in range(runs):
        for name, binary in programs.items():
            done = subprocess.run(
                ["/usr/bin/time", "-f", "%M", "-o", report, binary, record],
                env=ENV, stdout=subprocess.PIPE, check=True,
            )
            check_line(name, done.stdout)
            kib[name].append(int(report.read_text().split()[-1]))
    return kib


def stat_state(text):
    """The state letter of a /proc/PID/stat line. The command name before it
    may hold spaces and parentheses; the last ')' closes it."""
    return text.rsplit(")", 1)[1].split()[0]


def wait_blocked_on(pid, fifo, name):
    """Returns once the process has the FIFO open and sleeps, which after its
    open only the read of the record can make it do."""
    deadline = time.monotonic() + 5
    fd_dir = f"/proc/{pid}/fd"
    while time.monotonic() < deadline:
        try:
            if any(os.readlink(f"{fd_dir}/{fd}") == fifo for fd in os.listdir(fd_dir)):
                with open(f"/proc/{pid}/stat") as stat:
                    if stat_state(stat.read()) == "S":
                        return
        except FileNotFoundError:
            pass  # a descriptor closed while being listed
        time.sleep(0.0001)
    raise SystemExit(f"bench: {name} did not wait on the FIFO within 5 seconds")


def latency(programs, runs, record_bytes, scratch):
    """Microseconds from a record written into the FIFO to the line read back."""
    fifo = str((scratch / "fifo").resolve())
    os.mkfifo(fifo)
    # Held open for writing, so the programs' open does not wait for a writer.
    writer = os.open(fifo, os.O_RDWR)
    micros = {name: [] for name in programs}
    order = list(programs.items())
    try:
        for _ in range(runs):
            # A B, then B A: neither program always follows the other's exit.
            order.reverse()
            for name, binary in order:
                out_r, out_w = os.pipe()
                pid = spawn(binary, fifo, out_w)
                os.close(out_w)
                wait_blocked_on(pid, fifo, name)
                start = time.perf_counter_ns()
                os.write(writer, record_bytes)
                line = b""
                while not line.endswith(b"\n"):
                    chunk = os.read(out_r, 64)
                    if not chunk:
                        break
                    line += chunk
                stop = time.perf_counter_ns()
                os.close(out_r)
                reap(name, pid)
                check_line(name, line)
                micros[name].append((stop - start) / 1000)
    finally:
        os.close(writer)
    return micros


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[max(0, math.ceil(fraction * len(ordered)) - 1)]


def tool_version(cmd):
    try:
        return run(cmd).splitlines()[0].strip()
    except (OSError, SystemExit):
        return None


def measure(args):
    plan = QUICK if args.quick else FULL
    results = {
        "mode": "quick" if args.quick else "full",
        "machine": platform.machine(),
        "kernel": platform.release(),
        "record_bytes": struct.calcsize(RECORD_FORMAT),
        "load_average": {"start": os.getloadavg()[0]},
        "skipped": {},
    }

    step("building evsnap and the floor (host)")
    host = build("host")
    results["build"] = {
        "evsnap": f"cmake --preset host ({host['build_type']})",
        "floor": f"cmake -S bench ({host['build_type']}): {host['floor_command']}",
        "compiler": tool_version([host["compiler"], "--version"]),
        "valgrind": tool_version(["valgrind", "--version"]),
    }
    programs = {"evsnap": host["evsnap"], "floor": host["floor"]}

    sizes = {"host": {name: stripped_size(path, "strip") for name, path in programs.items()}}
    results["needed"] = {name: needed(path) for name, path in programs.items()}
    arm_tools = [ARM_PREFIX + tool for tool in ("gcc", "g++", "strip")]
    missing = [tool for tool in arm_tools if shutil.which(tool) is None]
    if missing:
        results["skipped"]["armhf"] = f"no {', '.join(missing)} (Debian: g++-arm-linux-gnueabihf)"
    else:
        step("building evsnap and the floor (armhf)")
        arm = build("arm", ROOT / "cmake" / "armhf.cmake")
        sizes["armhf"] = {
            name: stripped_size(arm[name], ARM_PREFIX + "strip") for name in programs
        }
        results["needed_armhf"] = {name: needed(arm[name]) for name in programs}
    results["stripped_bytes"] = sizes

    with tempfile.TemporaryDirectory(prefix="evsnap-bench-") as scratch_name:
        scratch = Path(scratch_name)
        record_bytes = struct.pack(RECORD_FORMAT, 0, 0, EV_KEY, KEY_A, 1)
        record = scratch / "press"
        record.write_bytes(record_bytes)

        if shutil.which("valgrind") is None:
            results["skipped"]["instructions"] = "no valgrind (Debian: valgrind)"
        else:
            step("counting instructions (callgrind)")
            counts = {name: instructions(path, record, scratch) for name, path in programs.items()}
            counts["floor_alarm_reset"] = instructions(host["floor_alarm_reset"], record, scratch)
            results["instructions"] = {
                **counts,
                "ratio": counts["evsnap"] / counts["floor"],
                "ratio_to_floor_alarm_reset": counts["evsnap"] / counts["floor_alarm_reset"],
            }

        step(f"timing {plan['rounds']} rounds of {plan['captures']} captures each")
        batches = {"rounds": plan["rounds"], "captures": plan["captures"]}
        for key, seconds in zip(("wall_time", "cpu_time"), wall_time(programs, record, **batches)):
            ratios = [a / b for a, b in zip(seconds["evsnap"], seconds["floor"])]
            results[key] = {
                "rounds": plan["rounds"],
                "captures_per_round": plan["captures"],
                "seconds": seconds,
                "ratios": ratios,
                "ratio_median": statistics.median(ratios),
                "us_per_capture_median": {
                    name: statistics.median(s) / plan["captures"] * 1e6
                    for name, s in seconds.items()
                },
            }

        if not os.access("/usr/bin/time", os.X_OK):
            results["skipped"]["peak_rss"] = "no /usr/bin/time (Debian: time)"
        else:
            step(f"peak resident memory over {plan['rss_runs']} runs each")
            kib = peak_rss(programs, record, plan["rss_runs"], scratch)
            results["peak_rss_kib"] = {
                "runs": plan["rss_runs"],
                **{name: statistics.median(values) for name, values in kib.items()},
                "min": {name: min(values) for name, values in kib.items()},
                "max": {name: max(values) for name, values in kib.items()},
            }

        step(f"latency through a FIFO over {plan['latency_runs']} runs each")
        micros = latency(programs, plan["latency_runs"], record_bytes, scratch)
        results["latency_us"] = {
            "runs": plan["latency_runs"],
            **{
                name: {"median": statistics.median(values), "p99": percentile(values, 0.99)}
                for name, values in micros.items()
            },
        }
    results["load_average"]["end"] = os.getloadavg()[0]
    return results


def bad_figures(results, where=""):
    """Paths of numbers that are not positive and finite: every figure is a
    count, a size, a time or a ratio, so anything else means a broken step."""
    if isinstance(results, bool):
        return []
    if isinstance(results, (int, float)):
        return [] if math.isfinite(results) and results > 0 else [where or "."]
    if isinstance(results, dict):
        # The machine's load is context, and may well be 0.
        items = [(key, value) for key, value in results.items() if key != "load_average"]
    elif isinstance(results, list):
        items = enumerate(results)
    else:
        return []
    return [bad for key, value in items for bad in bad_figures(value, f"{where}/{key}")]


def table(results):
    rows = [("figure", "evsnap", "floor", "ratio", "target")]

    def verdict(ratio, limit):
        return f"<= {limit:.2f} {'met' if ratio <= limit else 'above'}"

    def row(figure, evsnap, floor, fmt, limit=None):
        ratio = evsnap / floor
        target = verdict(ratio, limit) if limit is not None else ""
        rows.append((figure, format(evsnap, fmt), format(floor, fmt), f"{ratio:.3f}", target))

    if "instructions" in results:
        count = results["instructions"]
        limit = TARGETS["instructions"]
        row("instructions per capture", count["evsnap"], count["floor"], ",", limit)
        row("  floor with evsnap's SIGALRM reset", count["evsnap"], count["floor_alarm_reset"], ",")
    for key, what, limit in (
        ("wall_time", "wall time", TARGETS["wall_time"]),
        ("cpu_time", "CPU time", None),
    ):
        times = results[key]
        per = times["us_per_capture_median"]
        rows.append(
            (
                f"{what} per capture, us ({times['rounds']} x {times['captures_per_round']})",
                f"{per['evsnap']:.0f}",
                f"{per['floor']:.0f}",
                f"{times['ratio_median']:.3f}",
                verdict(times["ratio_median"], limit) if limit else "",
            )
        )
    if "peak_rss_kib" in results:
        rss = results["peak_rss_kib"]
        row("peak RSS, KiB (median)", rss["evsnap"], rss["floor"], "g", TARGETS["peak_rss"])
    for target, sizes in results["stripped_bytes"].items():
        row(f"stripped size, bytes ({target})", sizes["evsnap"], sizes["floor"], ",")
    lat = results["latency_us"]
    row(
        f"FIFO latency median, us ({lat['runs']} runs)",
        lat["evsnap"]["median"],
        lat["floor"]["median"],
        ".0f",
    )
    row("FIFO latency p99, us", lat["evsnap"]["p99"], lat["floor"]["p99"], ".0f")
    for key, target in (("needed", "host"), ("needed_armhf", "armhf")):
        if key in results:
            needs = results[key]
            only_libc = needs["evsnap"] == ["libc.so.6"]
            rows.append(
                (
                    f"shared libraries ({target})",
                    " ".join(needs["evsnap"]),
                    " ".join(needs["floor"]),
                    "",
                    f"libc alone {'met' if only_libc else 'above'}",
                )
            )

    widths = [max(len(r[i]) for r in rows) for i in range(4)]
    load = results["load_average"]
    lines = [
        f"evsnap against the floor: {results['machine']}, {results['record_bytes']}-byte records, "
        f"{results['mode']} run, load average {load['start']:.1f} to {load['end']:.1f}"
    ]
    for r in rows:
        cells = [r[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(r[1:4], widths[1:4])]
        lines.append("  ".join(cells + [r[4]]).rstrip())
    for what, why in results["skipped"].items():
        lines.append(f"skipped {what}: {why}")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="few runs, a few seconds (for CI)")
    parser.add_argument(
        "--json",
        type=Path,
        default=BUILD / "results.json",
        help="where to write the figures (default: build/bench/results.json)",
    )
    args = parser.parse_args()
    results = measure(args)
    print(table(results), flush=True)
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps(results, indent=2) + "\n")
    step(f"figures written to {args.json}")
    bad = bad_figures(results)
    if bad:
        raise SystemExit(f"bench: figures that cannot be right: {', '.join(bad)}")


if __name__ == "__main__":
    main()
