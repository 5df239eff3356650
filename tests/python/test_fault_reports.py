"""Fault reports on standard error, checked in a fresh interpreter: one report per fault with
thread, source location and message, and the banner and traceback of a PanicException that
comes back through Python code."""

import re

LAMBDA_MESSAGE = 'the function name "<lambda>" has no "_"'


def test_a_fault_is_reported_once_and_raised(python_process):
    result = python_process(
        """
        import velto_protocol as vp
        try:
            vp.on(vp.ComSocketServer("h:1"))(lambda widget: None)
        except Exception:
            print("caught by except Exception")
        except BaseException as error:
            print(type(error).__name__, len(error.args))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "PanicException 1\n"
    assert result.stderr.count("faulted at") == 1
    report = re.search(r"thread '([^']*)' faulted at (\S+):(\d+):\n(.*)\n", result.stderr)
    assert report is not None, result.stderr
    assert report.group(2).endswith("python/decorator.cpp")
    assert LAMBDA_MESSAGE in report.group(4)


def test_a_returning_panic_is_recognised(python_process):
    result = python_process(
        """
        import velto_protocol as vp
        s = vp.ComSocketServer("h:1")

        @vp.on(s)
        def ClickButton_1():
            vp.on(s)(lambda widget: None)

        try:
            ClickButton_1()
        except BaseException as error:
            print(type(error).__name__, error.args[0])
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("PanicException on(): ")
    assert LAMBDA_MESSAGE in result.stdout
    stderr = result.stderr
    # reported where it was raised, and not a second time when recognised
    assert stderr.count("faulted at") == 1
    banner_at = stderr.index("Python stack trace below:\n")
    assert stderr[:banner_at].rstrip("\n").splitlines()[-1].startswith("velto_protocol: ")
    trace = stderr[banner_at:]
    assert "Traceback (most recent call last):" in trace
    assert "in ClickButton_1" in trace
    assert re.search(r"PanicException: on\(\): .*<lambda>", trace)


def test_an_uncaught_fault_ends_the_program_with_its_traceback(python_process):
    result = python_process(
        """
        import velto_protocol as vp
        vp.on(vp.ComSocketServer("h:1"))(lambda widget: None)
        """
    )
    assert result.returncode == 1
    assert result.stderr.count("faulted at") == 1
    assert "PanicException: on(): " in result.stderr
