"""Runs the pytest suite against the module built with AddressSanitizer and
UndefinedBehaviorSanitizer, the sanitizer runtime preloaded into the interpreter, then reads the
sanitizer reports: any memory or undefined-behaviour error fails the run, and so does any leak
whose allocation stack passes through the module. Leaks whose stacks do not (the interpreter's,
or those of other programs the tests start, which inherit the preload) are counted and listed by
their top frame, not failed.

Usage: sanitized_pytest.py MODULE_DIR REPORT_DIR [pytest arguments...]
"""

import glob
import os
import re
import shutil
import subprocess
import sys

# A frame of the module: its file, its namespace or one of its sources.
MODULE_FRAME = re.compile(r"velto_protocol\.cpython|velto::|/src/(?:python|net|wire|common)/")

# A serving thread that wants the interpreter lock while the program exits is torn down by the
# interpreter, which ends it without unwinding its handler: the thread's own state (its registry
# snapshot and its attachment to the interpreter, made once per thread) stays allocated until the
# process is gone, since its references may not be released once finalization has begun. Such
# records are allocated by these functions alone; they are counted apart, one set per thread
# alive at exit, and never grow with the frames served.
#
# An indirect leak is memory that only other leaked blocks point to. Module memory held by a
# Python object the interpreter did not free at exit (an ErrorResult's text, say) is such a leak;
# the module's own loss of a block shows as a direct leak, and that fails the run.
TORN_DOWN_THREAD_STATE = ("make_serving_dispatch", "clone_action_registry",
                          "serving_dispatch.cpp:69")


def runtime_library(name):
    path = subprocess.run(["g++", f"-print-file-name={name}"], capture_output=True, text=True,
                          check=True).stdout.strip()
    if not os.path.isabs(path):
        sys.exit(f"{name} not found: install g++")
    return path


# The sanitizer runtime's own false report when a thread is unwound by force (the interpreter
# ending a thread at exit): __asan_handle_no_return reads the signal stack into a local that the
# unwound frames left poisoned. It is raised by an interceptor, so the process goes on
# (halt_on_error=0 does not affect the instrumented code, built without recovery).
RUNTIME_FALSE_REPORT = re.compile(r"ERROR: AddressSanitizer: stack-buffer-underflow.*\n.*\n"
                                  r"\s*#0 \S+ in __interceptor_sigaltstack .*\n"
                                  r"\s*#1 \S+ in __asan::PlatformUnpoisonStacks\(\) .*\n"
                                  r"\s*#2 \S+ in __asan_handle_no_return ")


def leak_blocks(report):
    """The "Direct leak of ..." / "Indirect leak of ..." blocks of one LeakSanitizer report."""
    blocks = re.split(r"\n(?=(?:Direct|Indirect) leak of )", report)
    return [block for block in blocks if re.match(r"(?:Direct|Indirect) leak of ", block)]


def first_frame(block):
    for line in block.splitlines():
        match = re.match(r"\s*#\d+ 0x[0-9a-f]+ in (\S+)", line)
        if match and not re.search(r"malloc|calloc|realloc|^operator$", match.group(1)):
            return match.group(1)
    return "?"


def main():
    module_dir, report_dir, *pytest_args = sys.argv[1:]
    shutil.rmtree(report_dir, ignore_errors=True)
    os.makedirs(report_dir)
    prefix = os.path.join(os.path.abspath(report_dir), "report")
    env = dict(os.environ)
    env.update({
        "LD_PRELOAD": " ".join([runtime_library("libasan.so"), runtime_library("libubsan.so")]),
        # Python objects from the C allocator, so that ASan sees them (pymalloc hides them in
        # its arenas).
        "PYTHONMALLOC": "malloc",
        "PYTHONPATH": os.path.abspath(module_dir),
        # Reports go to files: the tests read the programs' standard error themselves, and a
        # leak found at an interpreter's exit must not change its exit status.
        "ASAN_OPTIONS": f"log_path={prefix}:detect_leaks=1:abort_on_error=0:"
                        "halt_on_error=0:exitcode=86:detect_stack_use_after_return=0",
        "LSAN_OPTIONS": f"log_path={prefix}:exitcode=0:malloc_context_size=40",
        "UBSAN_OPTIONS": f"log_path={prefix}:print_stacktrace=1:halt_on_error=1:exitcode=87",
    })
    check = ("import velto_protocol; "
             f"assert {os.path.abspath(module_dir)!r} in velto_protocol.__file__, "
             "velto_protocol.__file__")
    subprocess.run([sys.executable, "-c", check], env=env, check=True)

    tests = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider",
                            *pytest_args], env=env, cwd="tests/python")

    errors, module_leaks, torn_down, other_leaks = [], [], [], {}
    held_by_leaked_objects, runtime_false_reports = 0, []
    for path in sorted(glob.glob(prefix + "*")):
        with open(path, errors="replace") as file:
            report = file.read()
        if RUNTIME_FALSE_REPORT.search(report):
            runtime_false_reports.append(path)
            report = RUNTIME_FALSE_REPORT.sub("", report)
        if re.search(r"ERROR: AddressSanitizer|runtime error:", report):
            errors.append((path, report))
        for block in leak_blocks(report):
            if any(function in block for function in TORN_DOWN_THREAD_STATE):
                torn_down.append(path)
            elif MODULE_FRAME.search(block) and block.startswith("Direct"):
                module_leaks.append((path, block))
            elif MODULE_FRAME.search(block):
                held_by_leaked_objects += 1
            else:
                top = first_frame(block)
                other_leaks[top] = other_leaks.get(top, 0) + 1

    for path, report in errors:
        print(f"--- sanitizer error ({path}):\n{report}")
    for path, block in module_leaks:
        print(f"--- leak through the module ({path}):\n{block}")
    count = sum(other_leaks.values())
    print(f"sanitized pytest: exit {tests.returncode}; {len(errors)} sanitizer errors; "
          f"{len(module_leaks)} direct leaks through the module. Not failed: "
          f"{len(runtime_false_reports)} false reports of the runtime on forced unwinding; "
          f"{len(torn_down)} records of the state of serving threads torn down at exit, in "
          f"{len(set(torn_down))} programs; {held_by_leaked_objects} module blocks held by "
          f"objects the interpreter did not free; {count} other leak records in "
          f"{len(other_leaks)} places")
    for top, n in sorted(other_leaks.items(), key=lambda item: -item[1])[:10]:
        print(f"  {n:6d}  {top}")
    failed = tests.returncode != 0 or errors or module_leaks
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
