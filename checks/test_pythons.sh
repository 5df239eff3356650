#!/usr/bin/env bash
# Builds the module and runs the pytest suite on every CPython from 3.9 to 3.13 that pyenv has
# on this machine, each with its own virtual environment and build directory under
# build/pythons/. Says which versions it skipped and why; fails when one that exists fails.
set -uo pipefail
cd "$(dirname "$0")/.."
PYENV_ROOT=${PYENV_ROOT:-$HOME/.pyenv}
PIP_PACKAGES="scikit-build-core pytest pytest-timeout hypothesis msgpack"
failed=() passed=() skipped=()

# COVERED: a version whose full run has just been made elsewhere (CI's `make test`), left out to
# keep CI within its time.
COVERED=${COVERED:-}

for minor in 9 10 11 12 13; do
    version="3.$minor"
    if [ "$version" = "$COVERED" ]; then
        skipped+=("$version (its suite has just run in make test)")
        continue
    fi
    # the newest installed patch release of this minor version
    interpreter=$(ls -d "$PYENV_ROOT"/versions/"$version".* 2>/dev/null | sort -V | tail -1)
    if [ -z "$interpreter" ] || [ ! -x "$interpreter/bin/python3" ]; then
        skipped+=("$version (not installed under $PYENV_ROOT/versions)")
        continue
    fi
    python="$interpreter/bin/python3"
    if ! "$python" -c "import sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()['include'], 'Python.h')))"; then
        skipped+=("$version (no Python.h beside $python)")
        continue
    fi
    home="build/pythons/$version"
    echo "=== $($python --version) ($python)"
    [ -x "$home/venv/bin/python" ] || "$python" -m venv "$home/venv" || { failed+=("$version (venv)"); continue; }
    "$home/venv/bin/python" -c "import scikit_build_core, pytest, pytest_timeout, hypothesis, msgpack" 2>/dev/null ||
        "$home/venv/bin/python" -m pip install -q $PIP_PACKAGES || { failed+=("$version (pip)"); continue; }
    if ! CMAKE_BUILD_PARALLEL_LEVEL="${JOBS:-2}" "$home/venv/bin/python" -m pip install -q \
            --no-build-isolation --no-deps --config-settings=build-dir="$home/build" .; then
        failed+=("$version (build)")
        continue
    fi
    if (cd tests/python && "../../$home/venv/bin/python" -m pytest -x -q -p no:cacheprovider); then
        passed+=("$($python --version)")
    else
        failed+=("$version (tests)")
    fi
done

echo "=== passed: ${passed[*]:-none}"
for reason in "${skipped[@]}"; do echo "=== skipped: $reason"; done
echo "=== 3.14: not offered by pyenv here, nor as a Debian package or on PyPI, so not tested"
if [ ${#failed[@]} -gt 0 ]; then
    echo "=== FAILED: ${failed[*]}"
    exit 1
fi
[ ${#passed[@]} -gt 0 ] || [ -n "$COVERED" ] || { echo "=== no Python to test"; exit 1; }
