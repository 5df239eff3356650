"""End-to-end benchmark: the installed velto_protocol against an asyncio + msgpack server and a
uvloop + msgspec one.

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
from e2e_run import PEERS

ROOT = Path(__file__).resolve().parent.parent
DOC_BEGIN = "<!-- end-to-end results: written by bench/e2e_bench.py -->"
DOC_END = "<!-- end of end-to-end results -->"

FULL = dict(frames=10_000, repetitions=5, idle=1.0, latency_samples=100, answer_calls=20_000,
            answer_rounds=7, import_runs=15, idle_seconds=10.0, rss_frames=1_000_000,
            peer_profile=True, strace=True, stream_seconds=5.0)
QUICK = dict(frames=10_000, repetitions=3, idle=0.5, latency_samples=20, answer_calls=10_000,
             answer_rounds=3, import_runs=5, idle_seconds=2.0, rss_frames=0,
             peer_profile=False, strace=False, stream_seconds=2.0)
STREAM_RATE = 60  # frames a second, a phone's joystick during a drag
FEW_FRAMES = 1_000  # the short run whose counts are subtracted in the profile
LATENCY_SPACING = 0.6  # longer than the serving loop's cycle pause


def micro(seconds):
    return f"{seconds * 1e6:.2f} µs"


def verdict(met):
    return "pass" if met else "FAIL"


def ratio_text(ours, other):
    return f"{ours / other:.2f}" if other else ""


class Table:
    def __init__(self):
        self.rows = []

    def add(self, measure_name, ours, peer="", uvloop="", ratio="", uvloop_ratio="", target="",
            met=None):
        self.rows.append((measure_name, ours, peer, uvloop, ratio, uvloop_ratio, target,
                          "" if met is None else verdict(met)))

    def markdown(self):
        lines = ["| Measure | ours | asyncio peer / floor | uvloop peer | ours / asyncio "
                 "| ours / uvloop | target | met |",
                 "|---|---:|---:|---:|---:|---:|---|---|"]
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
        ours, peer, uvloop = (result[target][kind] for kind in ("ours", "peer", "uvloop"))
        table.add(f"CPU per frame, {config['frames']} queued frames, {label}", micro(ours),
                  micro(peer), micro(uvloop), ratio_text(ours, peer), ratio_text(ours, uvloop),
                  "≤ 0.33 of asyncio" if target == "devnull" else "",
                  ours / peer <= 1 / 3 if target == "devnull" else None)
    quiet, peer, uvloop = (result["devnull"][kind] for kind in ("ours_quiet", "peer", "uvloop"))
    table.add(f"CPU per frame, {config['frames']} queued frames, `console_lines = False`",
              micro(quiet), micro(peer), micro(uvloop), ratio_text(quiet, peer),
              ratio_text(quiet, uvloop), "≤ 0.5 of uvloop", quiet / uvloop <= 0.5)

    print_flush("stream ...")
    streams = measure.stream(STREAM_RATE, config["stream_seconds"], config["idle"])
    notes["stream"] = streams
    quiet_program = streams[False]
    at_zero = quiet_program["ours, read_interval 0"]
    asyncio_peer, uvloop_peer = quiet_program["asyncio peer"], quiet_program["uvloop peer"]
    table.add(f"stream p50, {STREAM_RATE} Hz, read_interval 0", micro(at_zero["p50"]),
              micro(asyncio_peer["p50"]), micro(uvloop_peer["p50"]),
              ratio_text(at_zero["p50"], asyncio_peer["p50"]),
              ratio_text(at_zero["p50"], uvloop_peer["p50"]), "≤ asyncio",
              at_zero["p50"] <= asyncio_peer["p50"])
    table.add(f"stream p99, {STREAM_RATE} Hz, read_interval 0", micro(at_zero["p99"]),
              micro(asyncio_peer["p99"]), micro(uvloop_peer["p99"]), "", "", "≤ 2 ms",
              at_zero["p99"] <= 0.002)
    at_10ms = quiet_program["ours, read_interval 0.01"]
    table.add(f"stream p99, {STREAM_RATE} Hz, read_interval 0.01", micro(at_10ms["p99"]), "",
              "", "", "", "≤ 12 ms", at_10ms["p99"] <= 0.012)
    table.add(f"stream CPU per frame, {STREAM_RATE} Hz, read_interval 0", micro(at_zero["cpu"]),
              micro(asyncio_peer["cpu"]), micro(uvloop_peer["cpu"]),
              ratio_text(at_zero["cpu"], asyncio_peer["cpu"]),
              ratio_text(at_zero["cpu"], uvloop_peer["cpu"]))

    print_flush("instructions (callgrind) ...")
    ours_instructions, breakdown = profile.instructions("ours", config["frames"], FEW_FRAMES)
    peer_instructions = {}
    if config["peer_profile"]:
        for kind in PEERS:
            peer_instructions[kind], _ = profile.instructions(kind, config["frames"], FEW_FRAMES)
    shown = {kind: f"{value:,.0f}" for kind, value in peer_instructions.items()}
    table.add("instructions per frame (callgrind)", f"{ours_instructions:,.0f}",
              shown.get("peer", ""), shown.get("uvloop", ""),
              ratio_text(ours_instructions, peer_instructions.get("peer")),
              ratio_text(ours_instructions, peer_instructions.get("uvloop")), "track per commit")
    notes["breakdown"] = breakdown

    if config["strace"]:
        print_flush("system calls (strace) ...")
        calls = {kind: profile.system_calls(kind, config["frames"], FEW_FRAMES)
                 for kind in ("ours", *PEERS)}
        totals = {kind: sum(counts.values()) for kind, counts in calls.items()}
        table.add("system calls per frame (strace -f)", f"{totals['ours']:.2f}",
                  f"{totals['peer']:.3f}", f"{totals['uvloop']:.3f}", "", "", "≤ 1",
                  totals["ours"] <= 1.0)
        notes["system_calls"] = calls

    print_flush("idle latency ...")
    latency = measure.latency(config["latency_samples"], LATENCY_SPACING)
    for stat in ("p50", "p99"):
        ours, peer, uvloop = (latency[kind][stat] for kind in ("ours", *PEERS))
        table.add(f"idle latency {stat}, send to action ({config['latency_samples']} frames)",
                  micro(ours), micro(peer), micro(uvloop), ratio_text(ours, peer),
                  ratio_text(ours, uvloop), "≤ asyncio" if stat == "p50" else "",
                  ours <= peer if stat == "p50" else None)

    print_flush("answer path ...")
    answer = measure.answer_path(config["answer_calls"], config["answer_rounds"])
    floor = answer["sendall"]
    table.add("`callback(3, Idle, ConfirmResult(True))`", f"{answer['callback']:.0f} ns",
              f"{floor:.0f} ns", "", f"{answer['callback'] / floor:.2f}", "", "≤ 1.1 × floor",
              answer["callback"] <= 1.1 * floor)
    table.add("`sendall(msgpack.packb(...))`, for reference", f"{answer['packb_sendall']:.0f} ns",
              f"{floor:.0f} ns", "", f"{answer['packb_sendall'] / floor:.2f}")
    table.add("`sendall(msgspec encode(...))`, for reference",
              f"{answer['msgspec_sendall']:.0f} ns", f"{floor:.0f} ns", "",
              f"{answer['msgspec_sendall'] / floor:.2f}")

    print_flush("footprint ...")
    imported = measure.import_time(config["import_runs"])
    table.add("import time (`-X importtime`, median)", f"{imported * 1e3:.2f} ms", "", "", "", "",
              "< 5 ms", imported < 0.005)
    idle = {kind: measure.idle_cost(kind, config["idle_seconds"]) for kind in ("ours", *PEERS)}

    def idle_text(figures):
        return f"{figures['cpu'] * 1e3:.3f} ms ({figures['wakeups']})"

    table.add(f"idle CPU over {config['idle_seconds']:.0f} s (wake-ups)", idle_text(idle["ours"]),
              idle_text(idle["peer"]), idle_text(idle["uvloop"]), "", "", "0 (≤ 1 ms)",
              idle["ours"]["cpu"] <= 0.001)
    for interval in ("0.01", "0"):
        figures = measure.idle_cost("ours", config["idle_seconds"], ("--read-interval", interval))
        table.add(f"idle CPU over {config['idle_seconds']:.0f} s (wake-ups), read_interval "
                  f"{interval}", idle_text(figures), "", "", "", "", "0 (≤ 1 ms)",
                  figures["cpu"] <= 0.001)
    if config["rss_frames"]:
        growth = {}
        for kind in ("ours", *PEERS):
            print_flush(f"memory, {config['rss_frames']} frames to {kind} ...")
            growth[kind] = measure.memory_growth(kind, config["rss_frames"], config["frames"])
            notes[f"rss_seconds_{kind}"] = growth[kind]["seconds"]
        deltas = {kind: (g["rss_end"] - g["rss_mark"]) / 1024 for kind, g in growth.items()}
        table.add(f"RSS growth, {config['frames']} → {config['rss_frames']} frames",
                  f"{deltas['ours']:.0f} KiB", f"{deltas['peer']:.0f} KiB",
                  f"{deltas['uvloop']:.0f} KiB", "", "", "< 1 MiB", deltas["ours"] < 1024)
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


def stream_markdown(notes):
    """The stream table: latency percentiles with the program quiet and busy, and CPU per frame."""
    streams = notes["stream"]
    lines = [f"Stream: a joystick dragged at {STREAM_RATE} frames a second, each frame timed from "
             "the client's send to the start of its action (console lines on, to /dev/null):", "",
             "| Server | p50 | p99 | max | frames over 1 ms | waiting for a CPU "
             "| p50, Python thread busy | p99, busy | max, busy | CPU per frame |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]

    def milli(seconds):
        return f"{seconds * 1e3:.2f} ms"

    for label, quiet in streams[False].items():
        busy = streams[True][label]
        lines.append(f"| {label} | {milli(quiet['p50'])} | {milli(quiet['p99'])} | "
                     f"{milli(quiet['max'])} | {quiet['late']} | {milli(quiet['waited'])} | "
                     f"{milli(busy['p50'])} | {milli(busy['p99'])} | {milli(busy['max'])} | "
                     f"{micro(quiet['cpu'])} |")
    lines += ["", "\"Waiting for a CPU\" is the time the serving thread (ours) or the event loop "
              "(the peers) spent runnable while other processes had both CPUs, over the quiet "
              "stream (`/proc/<pid>/task/<tid>/schedstat`): where it is as long as the delays of "
              "the frames over 1 ms, the machine, not the server, made them late.", ""]
    return "\n".join(lines)


def breakdown_markdown(notes, count=12):
    lines = []
    if "system_calls" in notes:
        lines += ["System calls per dispatched frame (`strace -f -c`, whole server process):", "",
                  "| System call | ours | asyncio peer | uvloop peer |", "|---|---:|---:|---:|"]
        calls = notes["system_calls"]
        for name in sorted(set().union(*calls.values()), key=lambda n: -calls["ours"].get(n, 0)):
            lines.append(f"| `{name}` | {calls['ours'].get(name, 0):.3f} | "
                         f"{calls['peer'].get(name, 0):.3f} | {calls['uvloop'].get(name, 0):.3f} |")
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
    parser.add_argument("--stream", action="store_true", help="print only the stream table")
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
    if arguments.stream:
        notes = {"stream": measure.stream(STREAM_RATE, config["stream_seconds"], config["idle"])}
        print(stream_markdown(notes))
        return
    if arguments.rss_frames is not None:
        config["rss_frames"] = arguments.rss_frames
    table, notes = Table(), {}
    run(config, table, notes)
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    mode = "quick" if arguments.quick else "full"
    header = (f"Run {when} ({mode} mode, {notes['seconds']:.0f} s), machine: {machine()}, "
              f"load average {os.getloadavg()[0]:.2f} at the end.")
    text = "\n\n".join([header, table.markdown(), stream_markdown(notes),
                         breakdown_markdown(notes)])
    print()
    print(text)
    if arguments.write_docs:
        write_docs(arguments.write_docs, text)
        print(f"\nwritten into {arguments.write_docs}")


if __name__ == "__main__":
    main()
