#!/usr/bin/env python3
"""What one capture costs evsnap, side by side with a plain C floor: see doc/benchmark.md.
Goals are shown met or missed, never enforced: the run fails only when a step does."""

import argparse
import contextlib
import fcntl
import json
import math
import os
import re
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "support"))
import record  # the tests' builder of input records

BUILD = ROOT / "build" / "bench"
DOC = ROOT / "doc" / "benchmark.md"
TABLE = ROOT / "targets.txt"
BEGIN, END = "<!-- bench/run.py writes the table from here -->", "<!-- to here -->"

EXPECTED_LINE = b"0x8001001e\n"  # the line of the record each program reads: KEY_A pressed
# musl's start-up walks the environment and path: each program runs with this alone, as ./X.
ENV = {"PATH": "/usr/bin:/bin", "LC_ALL": "C"}
PROGRAMS = {"evsnap": "e", "floor": "f", "floor_alarm_reset": "r"}  # CMake target: short name
PAIR = ("evsnap", "floor")

TOOLS = {"cmake": "cmake", "make": "make", "readelf": "binutils"}
FIGURE_TOOLS = {"instructions": "valgrind", "syscalls": "strace", "wall_time": "hyperfine"}
# By figure and build ("*": all): ("ratio", x) is evsnap at most x times its floor, or with a
# third element, the floor program it is held to; ("most", n) evsnap at most n; stripped sizes'
# ("bytes", n) are the table's max-bytes. evsnap must reset SIGALRM and the plain floor does
# not: the glibc dynamic build, whose instructions are nearly all the loader's, is held to the
# floor that resets it too, like for like.
GOALS = {
    "instructions": {"x86_64 glibc dynamic": ("ratio", 1.02, "floor_alarm_reset"),
                     "x86_64 musl static": ("most", 2000)},
    "syscalls": {"x86_64 musl static": ("most", 11)},
    "wall_us": {"*": ("ratio", 1.05)},
    "peak_rss_kib": {"x86_64 musl static": ("ratio", 1.0)},
}
HYPERFINE_FLAGS = ["--shell=none", "--output=null", "--style=basic"]  # no shell between
QUICK = {"warmup": 3, "runs": 20, "rss_runs": 3, "latency_runs": 20}
FULL = {"warmup": 50, "runs": 1000, "rss_runs": 21, "latency_runs": 1000}


def builds(table=TABLE, host_arch=None):
    """What is measured, as doc/benchmark.md lists it and cmake/targets.sh derives it from the
    table: (name, preset, cache settings, runs here, tools {program: Debian package}, most
    stripped bytes or None), host_arch the Debian architecture of this machine unless given."""
    env = {**os.environ, "evsnap_targets_file": str(table)}
    if host_arch:
        env["evsnap_host_arch"] = host_arch
    got = json.loads(run(["bash", ROOT / "cmake" / "targets.sh", "--json"], env=env))
    return [(b["name"], b["preset"], {"EVSNAP_STATIC": "ON"} if b["static"] else {}, b["native"],
             b["tools"], b["max-bytes"]) for b in got["bench"]]


def run(cmd, cwd=ROOT, env=None):
    """Runs a step and returns its standard output; the rest shows if it fails."""
    done = subprocess.run(cmd, cwd=cwd, env=env, capture_output=True)
    if done.returncode != 0:
        sys.stderr.buffer.write(done.stdout + done.stderr)
        raise SystemExit(f"bench: failed ({done.returncode}): {' '.join(map(str, cmd))}")
    return done.stdout


def absent(tools):
    """One line on which tools (name: Debian package) are missing, or ''."""
    gone = {tool: package for tool, package in tools.items() if not shutil.which(tool)}
    return f"no {', '.join(gone)} (Debian: {', '.join(sorted(set(gone.values())))})" if gone else ""


def key_record(binary):
    """A KEY_A press as the binary reads it: its ELF class is the kernel long's size, its data
    the byte order."""
    header = run(["readelf", "-h", binary]).decode()
    bits = int(re.search(r"^\s*Class:\s*ELF(\d+)$", header, re.M).group(1))
    endian = re.search(r"^\s*Data:.* (little|big) endian$", header, re.M).group(1)
    return record.pack(1, 30, 1, bits=bits, endian=endian)  # EV_KEY, KEY_A, pressed


def build(name, preset, settings, results):
    """evsnap and its floors, staged with the record as evsnap reads it in ./p."""
    out, stage = BUILD / name.replace(" ", "-"), BUILD / name.replace(" ", "-") / "stage"
    # Said either way, so that a cache from an earlier configure cannot decide.
    settings = {"BUILD_TESTING": "OFF", "EVSNAP_FLOOR": "ON", "EVSNAP_STATIC": "OFF", **settings}
    run(["cmake", "--preset", preset, "-B", out, *(f"-D{k}={v}" for k, v in settings.items())])
    run(["cmake", "--build", out, "-j2", "--target", *PROGRAMS])
    shutil.rmtree(stage, ignore_errors=True)
    stage.mkdir()
    for program, short in PROGRAMS.items():
        shutil.copy(out / ("" if program == "evsnap" else "bench") / program, stage / short)
    (stage / "p").write_bytes(key_record(stage / PROGRAMS["evsnap"]))
    cache = dict(re.findall(r"^(\w+):\w+=(.*)$", (out / "CMakeCache.txt").read_text(), re.M))
    for p in PAIR:
        run([cache["CMAKE_STRIP"], "-o", "stripped", PROGRAMS[p]], cwd=stage)
        results["stripped_bytes"].setdefault(name, {})[p] = (stage / "stripped").stat().st_size
        dynamic = run(["readelf", "-d", PROGRAMS[p]], cwd=stage).decode()
        results["needed"].setdefault(name, {})[p] = re.findall(r"\(NEEDED\).*\[(.*)\]", dynamic)
    return stage


def traced(tool, stage, name):
    """What the tool, callgrind or strace, wrote to ./trace of one capture."""
    got = run([*tool, f"./{PROGRAMS[name]}", "p"], cwd=stage, env=ENV)
    if got != EXPECTED_LINE:
        raise SystemExit(f"bench: {name} printed {got!r}, not {EXPECTED_LINE!r}")
    return (stage / "trace").read_text()


def callgrind_total(text):
    """The instructions a callgrind output file counts for the whole run."""
    totals = (line for line in text.splitlines() if line.startswith(("totals:", "summary:")))
    return next((int(line.split()[1]) for line in totals), None)


def count_syscalls(trace):
    """strace's calls, execve to exit_group, a line each; ---, +++ and <... resumed> lines are none."""
    lines = (line.strip() for line in trace.splitlines())
    return sum(1 for line in lines if line and not line.startswith(("---", "+++", "<...")))


def hyperfine_summary(text):
    """Seconds per run by command from hyperfine's JSON; CPU time is user + system (either may be 0)."""
    return {r["command"]: {**{k: r[k] for k in ("median", "mean", "stddev", "min", "max")},
                           "cpu_mean": r["user"] + r["system"]}
            for r in json.loads(text)["results"]}


def stat_state(text):
    """The state in a /proc/PID/stat line: after the last ')', as the name may hold any."""
    return text.rsplit(")", 1)[1].split()[0]


def kib(text, field):
    """The KiB a /proc/PID/status or smaps_rollup text gives for the field, 0 without."""
    found = re.search(rf"^{field}:\s*(\d+) kB$", text, re.M)
    return int(found.group(1)) if found else 0


@contextlib.contextmanager
def asleep(stage, name, device, fill=0, prefix=()):
    """Runs the program, its output a pipe holding fill bytes; once it sleeps, waiting for the
    record (a FIFO) or to write its line (a full pipe), yields (pid, pipe, what was read)."""
    out, into = os.pipe()
    fill = fill and fcntl.fcntl(into, fcntl.F_SETPIPE_SZ, fill)  # the size it is given
    os.write(into, bytes(fill))
    proc = subprocess.Popen([*prefix, f"./{PROGRAMS[name]}", device], cwd=stage, env=ENV, stdout=into)
    os.close(into)
    deadline, seen = time.monotonic() + 0.9, bytearray()  # its alarm(1) would end it
    while stat_state(Path(f"/proc/{proc.pid}/stat").read_text()) != "S":
        if time.monotonic() > deadline:
            raise SystemExit(f"bench: {name} did not wait within 0.9 seconds")
        time.sleep(0.0001)
    yield proc.pid, out, seen
    while chunk := os.read(out, 65536):
        seen += chunk
    os.close(out)
    if proc.wait() != 0 or seen[fill:] != EXPECTED_LINE:
        raise SystemExit(f"bench: {name} ended with {proc.returncode}, printing {seen[fill:]!r}")


def peak_rss(stage, name):
    """KiB the program ever had resident, read when only its exit is left: its peak, or what
    it holds where the kernel counts pages late (in batches, by thread or by processor).
    Address randomisation would move it by a page from run to run: setarch -R turns it off."""
    with asleep(stage, name, "p", 4096, ["setarch", "-R"]) as (pid, _, _):
        status, rollup = (Path(f"/proc/{pid}/{f}").read_text() for f in ("status", "smaps_rollup"))
        return max(kib(status, "VmHWM"), kib(rollup, "Rss"))


def latency(stage, runs):
    """Microseconds from a record into a FIFO the program waits on to its line."""
    os.mkfifo(stage / "q")
    writer = os.open(stage / "q", os.O_RDWR)  # held: the program's open need not wait
    press = (stage / "p").read_bytes()
    micros = {name: [] for name in PAIR}
    for n in range(runs):
        for name in PAIR[:: -1 if n % 2 else 1]:  # neither always runs right after the other
            with asleep(stage, name, "q") as (_, out, seen):
                start = time.perf_counter_ns()
                os.write(writer, press)
                seen += os.read(out, 64)  # written at once, and a pipe keeps it whole
                micros[name].append((time.perf_counter_ns() - start) / 1000)
    os.close(writer)
    return micros


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[max(0, math.ceil(fraction * len(ordered)) - 1)]


def figures(stage, plan, skipped):
    """The staged programs' figures, by program, of those whose tools are here."""
    got, callgrind = {}, ["valgrind", "--tool=callgrind", "--callgrind-out-file=trace"]
    if "instructions" not in skipped:
        got["instructions"] = {p: callgrind_total(traced(callgrind, stage, p)) for p in PROGRAMS}
    if "syscalls" not in skipped:
        got["syscalls"] = {p: count_syscalls(traced(["strace", "-o", "trace"], stage, p)) for p in PAIR}
    if "wall_time" not in skipped:
        commands = [arg for p in PAIR for arg in ("--command-name", p, f"./{PROGRAMS[p]} p")]
        run(["hyperfine", *HYPERFINE_FLAGS, f"--warmup={plan['warmup']}", f"--runs={plan['runs']}",
             "--export-json=times.json", *commands], cwd=stage, env=ENV)
        got["hyperfine_s"] = hyperfine_summary((stage / "times.json").read_text())
        for figure, field in ("wall_us", "median"), ("wall_us_sd", "stddev"), ("cpu_us", "cpu_mean"):
            got[figure] = {p: times[field] * 1e6 for p, times in got["hyperfine_s"].items()}
    rss = {p: [peak_rss(stage, p) for _ in range(plan["rss_runs"])] for p in PAIR}
    got["peak_rss_kib"] = {p: statistics.median(kib) for p, kib in rss.items()}
    micros = latency(stage, plan["latency_runs"])
    got["latency_us"] = {p: statistics.median(us) for p, us in micros.items()}
    got["latency_us_p99"] = {p: percentile(us, 0.99) for p, us in micros.items()}
    return got


def measure(quick):
    plan = QUICK if quick else FULL
    results = {"mode": "quick" if quick else "full", "date": time.strftime("%Y-%m-%d"), "plan": plan,
               "machine": os.uname().machine, "kernel": os.uname().release, "record_bytes": None,
               "load_average": {"start": os.getloadavg()[0]}, "stripped_bytes": {}, "needed": {},
               "goals": {**GOALS, "stripped_bytes": {}},
               "skipped": {f: absent({t: t}) for f, t in FIGURE_TOOLS.items() if absent({t: t})}}
    for name, preset, settings, runs, tools, most in builds():
        if absent({**TOOLS, **tools}):
            results["skipped"][name] = absent({**TOOLS, **tools})
            continue
        print(f"bench: {name}", file=sys.stderr, flush=True)
        stage = build(name, preset, settings, results)
        if most:
            results["goals"]["stripped_bytes"][name] = ("bytes", most)
        if runs:  # the builds that run here are this machine's: their records are alike
            results["record_bytes"] = (stage / "p").stat().st_size
            for figure, value in figures(stage, plan, results["skipped"]).items():
                results.setdefault(figure, {})[name] = value
    results["load_average"]["end"] = os.getloadavg()[0]
    return results


def bad_figures(results, where=""):
    """Paths of numbers not positive and finite, which no figure can be."""
    if isinstance(results, (dict, list)):  # the machine's load is context, and may well be 0
        items = results.items() if isinstance(results, dict) else enumerate(results)
        return [bad for k, v in items if k != "load_average" for bad in bad_figures(v, f"{where}/{k}")]
    number = isinstance(results, (int, float)) and not isinstance(results, bool)
    return [where or "."] if number and not (math.isfinite(results) and results > 0) else []


def verdict(goal, evsnap, ratio):
    """The goal, and whether evsnap met it."""
    kind, limit = goal[:2]
    shown = {"ratio": f"{limit:g} × floor", "bytes": f"{limit / 1024:g} KiB"}.get(kind, f"{limit:,}")
    return f"≤ {shown}: {'met' if (ratio if kind == 'ratio' else evsnap) <= limit else '**missed**'}"


# The table's figures and their format; a figure's KEY_sd, if any, follows it after ±.
ROWS = [
    ("instructions", "instructions per capture", ","),
    ("syscalls", "system calls, execve to exit", "d"),
    ("wall_us", "wall time, median µs ± sd ({runs} runs after {warmup})", ".0f"),
    ("cpu_us", "CPU time, user + system, mean µs", ".0f"),
    ("peak_rss_kib", "peak RSS, KiB (median of {rss_runs})", "g"),
    ("latency_us", "record into a FIFO to line out, median µs ({latency_runs} runs)", ".0f"),
    ("latency_us_p99", "the same, 99th percentile, µs", ".0f"),
    ("stripped_bytes", "stripped size, bytes", ","),
]


def table(results):
    """A Markdown table: for each figure, a row for each build."""
    rows = []
    for key, heading, fmt in ROWS:
        goals, spread = results["goals"].get(key, {}), results.get(f"{key}_sd", {})
        for n, (name, figure) in enumerate(results.get(key, {}).items()):
            ratio = {p: f"{figure['evsnap'] / (v or math.nan):.3f}" for p, v in figure.items()}
            cell = {p: f"{v:{fmt}}" + (f" ± {spread[name][p]:{fmt}}" if name in spread else "")
                    for p, v in figure.items()}
            goal = goals.get(name, goals.get("*"))
            held_to = goal[2] if goal and len(goal) > 2 else "floor"  # its row has the verdict
            met = dict.fromkeys(figure, "")
            if goal:
                met[held_to] = verdict(goal, figure["evsnap"], float(ratio[held_to]))
            rows.append([heading.format(**results["plan"]) if n == 0 else "", name, cell["evsnap"],
                         cell["floor"], ratio["floor"], met["floor"]])
            if "floor_alarm_reset" in figure:
                rows.append(["", "… floor with evsnap's SIGALRM reset", "", cell["floor_alarm_reset"],
                             ratio["floor_alarm_reset"], met["floor_alarm_reset"]])
    for n, (name, libs) in enumerate(results["needed"].items()):
        alone = f"libc alone: {'met' if libs['evsnap'] == ['libc.so.6'] else '**missed**'}"
        rows.append(["shared libraries" if n == 0 else "", name, " ".join(libs["evsnap"]) or "none",
                     " ".join(libs["floor"]) or "none", "", alone if libs["evsnap"] else ""])
    head = ["figure", "build", "evsnap", "floor", "evsnap / floor", "goal"]
    widths = [max(len(row[i]) for row in [head, *rows]) for i in range(len(head))]
    rule = ["-" * (w + 1) + (":" if i in (2, 3, 4) else "-") for i, w in enumerate(widths)]
    lines = [f"| {' | '.join(c.ljust(w) for c, w in zip(row, widths))} |" for row in [head, *rows]]
    lines.insert(1, f"|{'|'.join(rule)}|")  # numbers to the right
    caption = "{date}, {mode} run: {machine}, Linux {kernel}, {record_bytes}-byte records, ".format(**results)
    lines.insert(0, caption + "load average {start:.1f} to {end:.1f}.\n".format(**results["load_average"]))
    if results["skipped"]:
        lines += ["", *(f"- left out, {what}: {why}" for what, why in results["skipped"].items())]
    return "\n".join(lines)


def with_table(doc, text):
    """The document with the text in place of what stands between its markers."""
    marked = f"(?s){re.escape(BEGIN)}.*?{re.escape(END)}"
    doc, found = re.subn(marked, lambda _: f"{BEGIN}\n{text}\n{END}", doc, count=1)
    if not found:
        raise SystemExit(f"bench: no {BEGIN} and {END} in {DOC}")
    return doc


def main():
    parser = argparse.ArgumentParser(description=__doc__.split(":")[0])
    parser.add_argument("--quick", action="store_true", help="few runs, the doc left alone (CI)")
    parser.add_argument("--json", type=Path, default=BUILD / "results.json", help="the figures")
    args = parser.parse_args()
    results = measure(args.quick)
    print(table(results), flush=True)
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps(results, indent=2, ensure_ascii=False) + "\n")
    if bad_figures(results):
        raise SystemExit(f"bench: figures that cannot be right: {', '.join(bad_figures(results))}")
    if not args.quick:
        DOC.write_text(with_table(DOC.read_text(), table(results)))


if __name__ == "__main__":
    main()
