"""End-to-end benchmark: the installed velto_protocol against an asyncio + msgpack server.

Each server runs in its own process on 127.0.0.1; the client is this process. Run after
`make install` (or through `make bench`, `make bench-quick`, `make bench-instructions`):

    .venv/bin/python bench/e2e_bench.py [--quick] [--instructions] [--write-docs FILE]
"""

import argparse
import datetime
import os
import platform
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import e2e_measure as measure
import e2e_profile as profile

ROOT = Path(__file__).resolve().parent.parent
DOC_BEGIN = "<!-- end-to-end results: written by bench/e2e_bench.py -->"
DOC_END = "<!-- end of end-to-end results -->"

FULL = dict(frames=10_000, repetitions=5, idle=1.0, latency_samples=100, answer_calls=20_000,
            answer_rounds=7, import_runs=15, idle_seconds=10.0, rss_frames=1_000_000,
            peer_profile=True, strace=True)
QUICK = dict(frames=10_000, repetitions=3, idle=0.5, latency_samples=20, answer_calls=10_000,
             answer_rounds=3, import_runs=5, idle_seconds=2.0, rss_frames=0,
             peer_profile=False, strace=False)
FEW_FRAMES = 1_000  # the short run whose counts are subtracted in the profile
LATENCY_SPACING = 0.6  # longer than the serving loop's cycle pause


def micro(seconds):
    return f"{seconds * 1e6:.2f} µs"


def verdict(met):
    return "pass" if met else "FAIL"


class Table:
    def __init__(self):
        self.rows = []

    def add(self, measure_name, ours, peer="", ratio="", target="", met=None):
        self.rows.append((measure_name, ours, peer, ratio, target,
                          "" if met is None else verdict(met)))

    def markdown(self):
        lines = ["| Measure | ours | asyncio peer / floor | ratio | target | met |",
                 "|---|---:|---:|---:|---|---|"]
        lines += ["| " + " | ".join(row) + " |" for row in self.rows]
        return "\n".join(lines)


def machine():
    model = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                  if line.startswith("model name")), platform.processor())
    commit = subprocess.run(["git", "-C", str(ROOT), "describe", "--always", "--dirty"],
                            capture_output=True, text=True).stdout.strip()
    return (f"{model}, {os.cpu_count()} CPUs, Linux {platform.release()}, "
            f"Python {platform.python_version()}, commit {commit or 'unknown'}")


def print_flush(text):
    print(text, flush=True)


def run(config, table, notes):
    started = time.monotonic()
    print_flush(f"load average at start: {os.getloadavg()[0]:.2f}")

    print_flush("throughput ...")
    with tempfile.NamedTemporaryFile(dir=ROOT / "build", prefix="console-") as console:
        result = measure.throughput(config["frames"], config["repetitions"], config["idle"],
                                    console.name)
    for target, label in (("devnull", "stdout to /dev/null"), ("file", "stdout to a file")):
        ours, peer = result[target]["ours"], result[target]["peer"]
        ratio = ours / peer
        table.add(f"CPU per frame, {config['frames']} queued frames, {label}", micro(ours),
                  micro(peer), f"{ratio:.2f}", "≤ 0.33 of peer" if target == "devnull" else "",
                  ratio <= 1 / 3 if target == "devnull" else None)

    print_flush("instructions (callgrind) ...")
    ours_instructions, breakdown = profile.instructions("ours", config["frames"], FEW_FRAMES)
    peer_instructions = None
    if config["peer_profile"]:
        peer_instructions, _ = profile.instructions("peer", config["frames"], FEW_FRAMES)
    table.add("instructions per frame (callgrind)", f"{ours_instructions:,.0f}",
              f"{peer_instructions:,.0f}" if peer_instructions else "",
              f"{ours_instructions / peer_instructions:.2f}" if peer_instructions else "",
              "track per commit")
    notes["breakdown"] = breakdown

    if config["strace"]:
        print_flush("system calls (strace) ...")
        ours_calls = profile.system_calls("ours", config["frames"], FEW_FRAMES)
        peer_calls = profile.system_calls("peer", config["frames"], FEW_FRAMES)
        ours_total, peer_total = sum(ours_calls.values()), sum(peer_calls.values())
        table.add("system calls per frame (strace -f)", f"{ours_total:.2f}", f"{peer_total:.3f}",
                  "", "≤ 1", ours_total <= 1.0)
        notes["system_calls"] = {"ours": ours_calls, "peer": peer_calls}

    print_flush("idle latency ...")
    latency = measure.latency(config["latency_samples"], LATENCY_SPACING)
    for stat in ("p50", "p99"):
        ours, peer = latency["ours"][stat], latency["peer"][stat]
        table.add(f"idle latency {stat}, send to action ({config['latency_samples']} frames)",
                  micro(ours), micro(peer), f"{ours / peer:.2f}",
                  "≤ peer" if stat == "p50" else "", ours <= peer if stat == "p50" else None)

    print_flush("answer path ...")
    answer = measure.answer_path(config["answer_calls"], config["answer_rounds"])
    floor = answer["sendall"]
    table.add("`callback(3, Idle, ConfirmResult(True))`", f"{answer['callback']:.0f} ns",
              f"{floor:.0f} ns", f"{answer['callback'] / floor:.2f}", "≤ 1.1 × floor",
              answer["callback"] <= 1.1 * floor)
    table.add("`sendall(msgpack.packb(...))`, for reference", f"{answer['packb_sendall']:.0f} ns",
              f"{floor:.0f} ns", f"{answer['packb_sendall'] / floor:.2f}", "")

    print_flush("footprint ...")
    imported = measure.import_time(config["import_runs"])
    table.add("import time (`-X importtime`, median)", f"{imported * 1e3:.2f} ms", "", "", "< 5 ms",
              imported < 0.005)
    idle = {kind: measure.idle_cost(kind, config["idle_seconds"]) for kind in ("ours", "peer")}
    table.add(f"idle CPU over {config['idle_seconds']:.0f} s (wake-ups)",
              f"{idle['ours']['cpu'] * 1e3:.3f} ms ({idle['ours']['wakeups']})",
              f"{idle['peer']['cpu'] * 1e3:.3f} ms ({idle['peer']['wakeups']})", "",
              "0 (≤ 1 ms)", idle["ours"]["cpu"] <= 0.001)
    if config["rss_frames"]:
        growth = {}
        for kind in ("ours", "peer"):
            print_flush(f"memory, {config['rss_frames']} frames to {kind} ...")
            growth[kind] = measure.memory_growth(kind, config["rss_frames"], config["frames"])
            notes[f"rss_seconds_{kind}"] = growth[kind]["seconds"]
        deltas = {kind: (g["rss_end"] - g["rss_mark"]) / 1024 for kind, g in growth.items()}
        table.add(f"RSS growth, {config['frames']} → {config['rss_frames']} frames",
                  f"{deltas['ours']:.0f} KiB", f"{deltas['peer']:.0f} KiB", "", "< 1 MiB",
                  deltas["ours"] < 1024)
    notes["seconds"] = time.monotonic() - started
    print_flush(f"load average at end: {os.getloadavg()[0]:.2f}")


def short_name(function):
    """A demangled C++ name without its parameter list and ABI tags, its object file kept."""
    name, _, where = function.partition("  [")
    name = name.replace("(anonymous namespace)", "{anonymous}").replace("[abi:cxx11]", "")
    if "(" in name:
        name = name[:name.index("(")]
    name = name.replace("{anonymous}", "(anonymous namespace)")
    return f"{name}  [{where}" if where else name


def breakdown_markdown(notes, count=12):
    lines = []
    if "system_calls" in notes:
        lines += ["System calls per dispatched frame (`strace -f -c`, whole server process):", "",
                  "| System call | ours | peer |", "|---|---:|---:|"]
        calls = notes["system_calls"]
        for name in sorted(set(calls["ours"]) | set(calls["peer"]),
                           key=lambda n: -calls["ours"].get(n, 0)):
            lines.append(f"| `{name}` | {calls['ours'].get(name, 0):.3f} | "
                         f"{calls['peer'].get(name, 0):.3f} |")
        lines.append("")
    for kind in ("self", "inclusive"):
        lines += [f"Instructions per dispatched frame by function, ours, {kind} cost "
                  f"(callgrind, top {count}):", "", "| Function | instructions |", "|---|---:|"]
        for name, cost in notes["breakdown"][kind][:count]:
            lines.append(f"| `{short_name(name)}` | {cost:,.0f} |")
        lines.append("")
    return "\n".join(lines)


def write_docs(path, text):
    document = path.read_text()
    if DOC_BEGIN in document:
        head, rest = document.split(DOC_BEGIN, 1)
        tail = rest.split(DOC_END, 1)[1]
    else:
        head, tail = document.rstrip() + "\n\n", "\n"
    path.write_text(head + DOC_BEGIN + "\n" + text.strip() + "\n" + DOC_END + tail)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repetitions, about 2 minutes")
    parser.add_argument("--instructions", action="store_true",
                        help="print only the callgrind instructions per frame of ours")
    parser.add_argument("--profile-module", help="directory holding a build of the module with "
                        "its symbols, used for the callgrind and strace runs")
    parser.add_argument("--rss-frames", type=int, help="frames of the memory run (0: skip)")
    parser.add_argument("--write-docs", type=Path, help="markdown file to write the results into")
    arguments = parser.parse_args()
    if arguments.profile_module:
        profile.MODULE_PATH["PYTHONPATH"] = str(Path(arguments.profile_module).resolve())
    (ROOT / "build").mkdir(exist_ok=True)

    if arguments.instructions:
        per_frame, breakdown = profile.instructions("ours", FULL["frames"], FEW_FRAMES)
        print(f"instructions per dispatched frame (ours): {per_frame:,.0f}")
        for name, cost in breakdown["self"][:10]:
            print(f"  {cost:8,.0f}  {short_name(name)}")
        return

    config = dict(QUICK if arguments.quick else FULL)
    if arguments.rss_frames is not None:
        config["rss_frames"] = arguments.rss_frames
    table, notes = Table(), {}
    run(config, table, notes)
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    mode = "quick" if arguments.quick else "full"
    header = (f"Run {when} ({mode} mode, {notes['seconds']:.0f} s), machine: {machine()}, "
              f"load average {os.getloadavg()[0]:.2f} at the end.")
    text = "\n\n".join([header, table.markdown(), breakdown_markdown(notes)])
    print()
    print(text)
    if arguments.write_docs:
        write_docs(arguments.write_docs, text)
        print(f"\nwritten into {arguments.write_docs}")


if __name__ == "__main__":
    main()
