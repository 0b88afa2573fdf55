#!/usr/bin/env python3
"""What one capture costs evsnap, side by side with a plain C floor.

Builds evsnap three ways for this machine: glibc dynamic (the host preset),
glibc static (host with EVSNAP_STATIC=ON) and musl static (the musl preset),
and the same three for armhf (arm, arm with EVSNAP_STATIC=ON, arm-musl) for
their size. Each build has its floor: bench/floor.c with the same build type
and toolchain file, linked the same way. On one KEY_A press record in this
machine's layout it measures both programs of each host build:

  instructions   one capture, whole process, counted by valgrind's callgrind
  system calls   one capture, execve to exit_group, as strace lists them
  wall time      hyperfine without a shell: warm-up runs, then many runs of
                 each program; median, spread, and the CPU time it saw
  peak RSS       GNU time's maximum resident set size of one capture
  latency        a record written into a FIFO the program already waits on,
                 to the line on its standard output
  size           stripped binaries, host and armhf; the shared libraries needed

It prints a table and writes the figures as JSON. Targets are shown, never
enforced: the script fails only when a step itself fails. A build or a figure
whose tools are missing is left out, and the table says why.
"""

import argparse
import json
import math
import os
import platform
import shlex
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from collections import namedtuple
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

# One way of building evsnap and its floor: the preset, a binary directory of
# its own under build/bench, and whether both link fully static.
Build = namedtuple("Build", "preset directory static")
HOST_BUILDS = {
    "glibc-dynamic": Build("host", "host", False),
    "glibc-static": Build("host", "host-static", True),
    "musl-static": Build("musl", "musl", True),
}
ARMHF_BUILDS = {
    "glibc-dynamic": Build("arm", "arm", False),
    "glibc-static": Build("arm", "arm-static", True),
    "musl-static": Build("arm-musl", "arm-musl", True),
}
# The compilers each preset's toolchain file names, and their Debian packages.
ARM_TOOLS = [(ARM_PREFIX + tool, "g++-arm-linux-gnueabihf") for tool in ("gcc", "g++", "strip")]
PRESET_TOOLS = {
    "host": [],
    "musl": [("x86_64-linux-musl-gcc", "musl-dev")],
    "arm": ARM_TOOLS,
    "arm-musl": ARM_TOOLS + [("arm-linux-musleabihf-gcc", "musl-dev:armhf")],
}

# Shown, never enforced, per figure and build ("*": every build). "ratio": evsnap
# over the floor of the same build; "evsnap": evsnap's own figure.
TARGETS = {
    "instructions": {"glibc-dynamic": ("ratio", 1.02), "musl-static": ("evsnap", 3000)},
    "syscalls": {"musl-static": ("evsnap", 12)},
    "wall_time": {"*": ("ratio", 1.05)},
    "peak_rss": {"*": ("ratio", 1.0)},
    "stripped_host": {"musl-static": ("evsnap", 48 * 1024)},
    "stripped_armhf": {"musl-static": ("evsnap", 32 * 1024)},
}

# No shell between hyperfine and the program, whose output goes to /dev/null.
HYPERFINE_FLAGS = ["--shell=none", "--output=null", "--style=basic"]
QUICK = {"warmup": 3, "runs": 20, "rss_runs": 3, "latency_runs": 20}
FULL = {"warmup": 50, "runs": 1000, "rss_runs": 21, "latency_runs": 1000}


def step(what):
    print(f"bench: {what}", file=sys.stderr, flush=True)


def run(cmd, env=None):
    """Runs a build or inspection command; its output only shows if it fails."""
    done = subprocess.run(
        cmd, cwd=ROOT, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True
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


def missing_tools(preset):
    """Why the preset cannot be built here, or None."""
    missing = [(tool, package) for tool, package in PRESET_TOOLS[preset] if not shutil.which(tool)]
    if not missing:
        return None
    packages = sorted({package for _, package in missing})
    return f"no {', '.join(tool for tool, _ in missing)} (Debian: {', '.join(packages)})"


def build(key, recipe):
    """evsnap from the preset, the floor with the same build type, toolchain
    file and link."""
    evsnap_dir = BUILD / recipe.directory
    floor_dir = BUILD / f"floor-{recipe.directory}"
    # Said either way, so that a cache from an earlier configure cannot decide;
    # the musl presets link static whatever it says.
    link = f"-DEVSNAP_STATIC={'ON' if recipe.static else 'OFF'}"
    run(["cmake", "--preset", recipe.preset, "-B", evsnap_dir, "-DBUILD_TESTING=OFF", link])
    run(["cmake", "--build", evsnap_dir, "--target", "evsnap", "-j2"])
    build_type = cache_value(evsnap_dir, "CMAKE_BUILD_TYPE")
    toolchain = cache_value(evsnap_dir, "CMAKE_TOOLCHAIN_FILE", default="")
    configure = ["cmake", "-S", ROOT / "bench", "-B", floor_dir]
    configure += [f"-DCMAKE_BUILD_TYPE={build_type}", link]
    if toolchain:
        configure += ["--toolchain", toolchain]
    run(configure)
    run(["cmake", "--build", floor_dir, "-j2"])
    programs = {"evsnap": evsnap_dir / "evsnap", "floor": floor_dir / "floor"}
    libraries = {name: needed(path) for name, path in programs.items()}
    for name, libs in libraries.items():
        # Linked another way, the two would not be compared like for like.
        if recipe.static == bool(libs):
            how = "static" if recipe.static else "dynamic"
            raise SystemExit(f"bench: {name} of the {key} build is not linked {how}: {libs}")
    compiler = c_compiler(floor_dir)
    flags = cache_value(floor_dir, f"CMAKE_C_FLAGS_{build_type.upper()}")
    static = " -static" if recipe.static else ""
    return {
        **programs,
        "floor_alarm_reset": floor_dir / "floor_alarm_reset",
        "needed": libraries,
        "about": {
            "evsnap": f"cmake --preset {recipe.preset} {link} ({build_type})",
            "floor": f"cmake -S bench ({build_type}): "
            f"{Path(compiler).name} {flags} -Wl,--as-needed{static}",
            "compiler": tool_version([compiler, "--version"]),
        },
    }


def c_compiler(build_dir):
    """The C compiler CMake settled on; a toolchain file's is not in the cache."""
    for found in sorted((build_dir / "CMakeFiles").glob("*/CMakeCCompiler.cmake")):
        for line in found.read_text().splitlines():
            if line.startswith("set(CMAKE_C_COMPILER "):
                return line.split('"')[1]
    raise SystemExit(f"bench: no C compiler found in {build_dir}/CMakeFiles")


def build_all(builds, where, skipped):
    """The builds whose tools are here, by key; the others go to skipped."""
    done = {}
    for key, recipe in builds.items():
        why = missing_tools(recipe.preset)
        if why:
            skipped[f"{where} {label(key)}"] = why
            continue
        step(f"building evsnap and the floor ({where}, {label(key)})")
        done[key] = build(key, recipe)
    return done


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


def pair(evsnap, floor, **more):
    return {"evsnap": evsnap, "floor": floor, "ratio": evsnap / floor, **more}


def instructions(binary, record, scratch):
    out = scratch / "callgrind.out"
    done = subprocess.run(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", binary, record],
        env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True,
    )
    check_line(binary, done.stdout)
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


def syscalls(binary, record, scratch):
    out = scratch / "strace.out"
    done = subprocess.run(
        ["strace", "-o", out, binary, record],
        env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True,
    )
    check_line(binary, done.stdout)
    return count_syscalls(out.read_text())


def count_syscalls(trace):
    """The system calls in strace's output, execve and exit_group included:
    one line each. A signal (---), the end of the process (+++) and the second
    half of a call strace split in two (<... resumed>) are not calls."""
    lines = (line.strip() for line in trace.splitlines())
    return sum(1 for line in lines if line and not line.startswith(("---", "+++", "<...")))


def hyperfine(programs, record, plan, scratch):
    """Wall time of the programs, by name, with hyperfine: the runs of one
    program follow each other, after its warm-up runs."""
    out = scratch / "hyperfine.json"
    cmd = ["hyperfine", *HYPERFINE_FLAGS, f"--warmup={plan['warmup']}", f"--runs={plan['runs']}"]
    cmd += [f"--export-json={out}"]
    for name, binary in programs.items():
        cmd += ["--command-name", name, shlex.join([str(binary), str(record)])]
    run(cmd, env=ENV)
    return hyperfine_summary(out.read_text())


def hyperfine_summary(text):
    """Seconds per run, by command name, from hyperfine's JSON export. User and
    system time are added up: a short run often shows no system time at all."""
    return {
        result["command"]: {
            **{key: result[key] for key in ("median", "mean", "stddev", "min", "max")},
            "cpu_mean": result["user"] + result["system"],
        }
        for result in json.loads(text)["results"]
    }


def reap(name, pid):
    """Waits for the program to end, and to end well."""
    _, status = os.waitpid(pid, 0)
    if status != 0:
        raise SystemExit(f"bench: {name} ended with wait status {status}")


def spawn(binary, record, stdout_fd):
    return os.posix_spawn(
        binary, [str(binary), str(record)], ENV, file_actions=[(os.POSIX_SPAWN_DUP2, stdout_fd, 1)]
    )


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


def latency(programs, runs, record_bytes, fifo):
    """Microseconds from a record written into a new FIFO to the line read back."""
    fifo = str(fifo.resolve())
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
        "plan": plan,
        "skipped": {},
    }
    skipped = results["skipped"]

    host = build_all(HOST_BUILDS, "host", skipped)
    arm_missing = missing_tools("arm")
    if arm_missing:
        skipped["armhf"] = arm_missing
        arm = {}
    else:
        arm = build_all(ARMHF_BUILDS, "armhf", skipped)
    results["builds"] = {
        where: {key: done["about"] for key, done in builds.items()}
        for where, builds in (("host", host), ("armhf", arm))
        if builds
    }
    results["tools"] = {
        name: tool_version([name, "--version"]) for name in ("valgrind", "strace", "hyperfine")
    }
    results["tools"]["hyperfine_flags"] = HYPERFINE_FLAGS
    results["stripped_bytes"] = {}
    results["needed"] = {}
    for where, builds, strip in (("host", host, "strip"), ("armhf", arm, ARM_PREFIX + "strip")):
        if builds:
            results["stripped_bytes"][where] = {
                key: pair(*(stripped_size(done[name], strip) for name in ("evsnap", "floor")))
                for key, done in builds.items()
            }
            results["needed"][where] = {key: done["needed"] for key, done in builds.items()}

    with tempfile.TemporaryDirectory(prefix="evsnap-bench-") as scratch_name:
        scratch = Path(scratch_name)
        record_bytes = struct.pack(RECORD_FORMAT, 0, 0, EV_KEY, KEY_A, 1)
        record = scratch / "press"
        record.write_bytes(record_bytes)

        if shutil.which("valgrind") is None:
            skipped["instructions"] = "no valgrind (Debian: valgrind)"
        else:
            step("counting instructions (callgrind)")
            results["instructions"] = {}
            for key, done in host.items():
                counts = {
                    name: instructions(done[name], record, scratch)
                    for name in ("evsnap", "floor", "floor_alarm_reset")
                }
                results["instructions"][key] = pair(
                    **counts, ratio_to_floor_alarm_reset=counts["evsnap"] / counts["floor_alarm_reset"]
                )

        if shutil.which("strace") is None:
            skipped["syscalls"] = "no strace (Debian: strace)"
        else:
            step("counting system calls (strace)")
            results["syscalls"] = {
                key: pair(*(syscalls(done[name], record, scratch) for name in ("evsnap", "floor")))
                for key, done in host.items()
            }

        if shutil.which("hyperfine") is None:
            skipped["wall_time"] = "no hyperfine (Debian: hyperfine)"
        else:
            step(f"timing {plan['runs']} runs of each program (hyperfine)")
            programs = {
                f"{key}/{name}": done[name] for key, done in host.items() for name in ("evsnap", "floor")
            }
            seconds = hyperfine(programs, record, plan, scratch)
            results["wall_time"] = {}
            for key in host:
                evsnap, floor = seconds[f"{key}/evsnap"], seconds[f"{key}/floor"]
                results["wall_time"][key] = {
                    "evsnap": evsnap,
                    "floor": floor,
                    "ratio": evsnap["median"] / floor["median"],
                    "ratio_mean": evsnap["mean"] / floor["mean"],
                    "cpu_ratio": evsnap["cpu_mean"] / floor["cpu_mean"],
                }

        if not os.access("/usr/bin/time", os.X_OK):
            skipped["peak_rss"] = "no /usr/bin/time (Debian: time)"
        else:
            step(f"peak resident memory over {plan['rss_runs']} runs each")
            results["peak_rss_kib"] = {}
            for key, done in host.items():
                programs = {name: done[name] for name in ("evsnap", "floor")}
                kib = peak_rss(programs, record, plan["rss_runs"], scratch)
                results["peak_rss_kib"][key] = pair(
                    *(statistics.median(kib[name]) for name in programs),
                    min={name: min(values) for name, values in kib.items()},
                    max={name: max(values) for name, values in kib.items()},
                )

        step(f"latency through a FIFO over {plan['latency_runs']} runs each")
        results["latency_us"] = {}
        for key, done in host.items():
            programs = {name: done[name] for name in ("evsnap", "floor")}
            micros = latency(programs, plan["latency_runs"], record_bytes, scratch / f"fifo-{key}")
            results["latency_us"][key] = {
                name: {"median": statistics.median(values), "p99": percentile(values, 0.99)}
                for name, values in micros.items()
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


def label(key):
    return key.replace("-", " ")


def verdict(figure, key, ratio, evsnap):
    """The target of the figure for the build, met or above; "" if none."""
    targets = TARGETS.get(figure, {})
    kind, limit = targets.get(key, targets.get("*", (None, None)))
    if kind == "ratio":
        return f"<= {limit:.2f} {'met' if ratio <= limit else 'above'}"
    if kind == "evsnap":
        shown = f"{limit / 1024:g} KiB" if figure.startswith("stripped") else f"{limit:,}"
        return f"evsnap <= {shown} {'met' if evsnap <= limit else 'above'}"
    return ""


def table(results):
    """Figure by figure, a row for each build: evsnap, its floor, the ratio."""
    rows = [("figure / build", "evsnap", "floor", "ratio", "target")]
    plan = results["plan"]

    def figure_rows(title, figure, by_build, fmt, value=lambda figures: figures):
        if by_build is None:
            return
        rows.append((title,))
        for key, figures in by_build.items():
            evsnap, floor = value(figures["evsnap"]), value(figures["floor"])
            ratio = evsnap / floor
            cells = (format(evsnap, fmt), format(floor, fmt), f"{ratio:.3f}")
            rows.append((f"  {label(key)}", *cells, verdict(figure, key, ratio, evsnap)))
            if "floor_alarm_reset" in figures:
                reset = figures["floor_alarm_reset"]
                rows.append(
                    ("    floor with SIGALRM reset", "", format(reset, fmt), f"{evsnap / reset:.3f}", "")
                )

    figure_rows(
        "instructions per capture", "instructions", results.get("instructions"), ","
    )
    figure_rows("system calls, execve to exit", "syscalls", results.get("syscalls"), "d")
    if "wall_time" in results:
        rows.append((f"wall time, median us ± sd (hyperfine, {plan['runs']} runs)",))
        for key, times in results["wall_time"].items():
            cells = [
                f"{times[name]['median'] * 1e6:.0f} ±{times[name]['stddev'] * 1e6:.0f}"
                for name in ("evsnap", "floor")
            ]
            ratio = times["ratio"]
            rows.append((f"  {label(key)}", *cells, f"{ratio:.3f}", verdict("wall_time", key, ratio, 0)))
    figure_rows(
        "CPU time, user + system mean us (hyperfine)",
        "cpu_time",
        results.get("wall_time"),
        ".0f",
        lambda seconds: seconds["cpu_mean"] * 1e6,
    )
    figure_rows(
        f"peak RSS, KiB (median of {plan['rss_runs']})", "peak_rss", results.get("peak_rss_kib"), "g"
    )
    lat = results.get("latency_us")
    runs = plan["latency_runs"]
    figure_rows(f"FIFO latency median, us ({runs} runs)", "", lat, ".0f", lambda us: us["median"])
    figure_rows("FIFO latency p99, us", "", lat, ".0f", lambda us: us["p99"])
    machines = {"host": results["machine"], "armhf": "armhf"}
    for where, sizes in results["stripped_bytes"].items():
        figure_rows(f"stripped size, bytes ({machines[where]})", f"stripped_{where}", sizes, ",")
    for where, needs in results["needed"].items():
        rows.append((f"shared libraries ({machines[where]})",))
        for key, libs in needs.items():
            cells = [" ".join(libs[name]) or "none" for name in ("evsnap", "floor")]
            target = ""
            if libs["evsnap"]:
                target = f"libc alone {'met' if libs['evsnap'] == ['libc.so.6'] else 'above'}"
            rows.append((f"  {label(key)}", *cells, "", target))

    cells = [r for r in rows if len(r) > 1]
    widths = [max(len(r[i]) for r in cells) for i in range(4)]
    load = results["load_average"]
    lines = [
        f"evsnap against the floor: {results['machine']}, {results['record_bytes']}-byte records, "
        f"{results['mode']} run, load average {load['start']:.1f} to {load['end']:.1f}"
    ]
    for r in rows:
        if len(r) == 1:
            lines.append(r[0])
            continue
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
