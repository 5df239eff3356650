"""Counts that do not depend on the machine's load: instructions (callgrind), system calls (strace).

Each count is taken for a run with many frames and a run with few; the difference divided by
the difference in frames is the cost of one dispatched frame, start-up and shutdown cancelled out.
"""

import re
import subprocess
import tempfile
from pathlib import Path

from e2e_frames import encode_frames
from e2e_run import ServerProcess


# Where a build of the module with its symbols is installed, so that profiles name its functions.
MODULE_PATH = {}


def _serve(kind, frames, wrapper):
    with ServerProcess(kind, frames=frames, wrapper=wrapper, extra_env=MODULE_PATH,
                       timeout=600) as server:
        server.expect("ready")
        server.connection.sendall(encode_frames(frames))
        server.expect("done")


def _callgrind_file(kind, frames, directory):
    out = Path(directory) / f"callgrind.{kind}.{frames}"
    _serve(kind, frames, ["valgrind", "--tool=callgrind", "--quiet", f"--callgrind-out-file={out}"])
    return out


def _total_instructions(out):
    for line in out.read_text().splitlines():
        if line.startswith(("summary:", "totals:")):
            return int(line.split()[1])
    raise RuntimeError(f"no instruction total in {out}")


COST_LINE = re.compile(r"^\s*([\d,]+)\s+\(\s*[\d.]+%\)\s+(.*?)(?:\s+\[([^\]]*)\])?$")
SOURCE_PREFIX = re.compile(r"^(?:\?\?\?|.*\.(?:c|cc|cpp|h|hpp|S|s)):")


def _per_function(out, inclusive):
    """Instructions per function, as callgrind_annotate lists them.

    A function can be listed more than once (with and without its object file): self costs of
    such lines add up, inclusive costs overlap, so the largest is kept.
    """
    text = subprocess.run(["callgrind_annotate", f"--inclusive={'yes' if inclusive else 'no'}",
                           "--threshold=100", str(out)], capture_output=True, text=True,
                          timeout=300, check=True).stdout
    costs, objects = {}, {}
    for line in text.splitlines():
        match = COST_LINE.match(line)
        if not match or "PROGRAM TOTALS" in line:
            continue
        function = SOURCE_PREFIX.sub("", match.group(2)).strip()
        cost = int(match.group(1).replace(",", ""))
        costs[function] = max(costs.get(function, 0), cost) if inclusive else \
            costs.get(function, 0) + cost
        if match.group(3):
            objects[function] = Path(match.group(3)).name
    return {f"{name}  [{objects[name]}]" if name in objects else name: cost
            for name, cost in costs.items()}


def instructions(kind, frames, few):
    """Instructions per dispatched frame, and the per-frame cost of the top functions."""
    with tempfile.TemporaryDirectory() as directory:
        many_file = _callgrind_file(kind, frames, directory)
        few_file = _callgrind_file(kind, few, directory)
        per_frame = (_total_instructions(many_file) - _total_instructions(few_file)) / (
            frames - few)
        breakdown = {}
        for inclusive in (False, True):
            many = _per_function(many_file, inclusive)
            few_costs = _per_function(few_file, inclusive)
            breakdown["inclusive" if inclusive else "self"] = sorted(
                ((name, (cost - few_costs.get(name, 0)) / (frames - few))
                 for name, cost in many.items()), key=lambda item: -item[1])
    return per_frame, breakdown


def _strace_counts(kind, frames, directory):
    out = Path(directory) / f"strace.{kind}.{frames}"
    _serve(kind, frames, ["strace", "-f", "-c", "-o", str(out)])
    counts = {}
    for line in out.read_text().splitlines():
        parts = line.split()
        if len(parts) >= 5 and parts[-1] != "total" and parts[3].isdigit():
            counts[parts[-1]] = int(parts[3])
    return counts


def system_calls(kind, frames, few):
    """System calls per dispatched frame, by name (all threads of the server process)."""
    with tempfile.TemporaryDirectory() as directory:
        many = _strace_counts(kind, frames, directory)
        few_counts = _strace_counts(kind, few, directory)
    per_name = {name: (count - few_counts.get(name, 0)) / (frames - few)
                for name, count in many.items()}
    return {name: value for name, value in sorted(per_name.items(), key=lambda item: -item[1])
            if value >= 0.001}
