# Developer entry points. `make test` and `make demo` install whatever is missing first.
SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
BUILD := build/dev
JOBS ?= 2

# What building the module and running the demo need (all that `make demo` installs), then what
# the tests and benchmarks add.
DEMO_APT_PACKAGES := cmake g++ make libmsgpuck-dev
APT_PACKAGES := $(DEMO_APT_PACKAGES) libgtest-dev libbenchmark-dev libmsgpack-dev
FUZZ_APT_PACKAGES := clang libclang-rt-14-dev
DEMO_PIP_PACKAGES := scikit-build-core msgpack
DEMO_PIP_MODULES := scikit_build_core, msgpack
PIP_PACKAGES := $(DEMO_PIP_PACKAGES) pytest pytest-timeout hypothesis mypy
PIP_MODULES := $(DEMO_PIP_MODULES), pytest, pytest_timeout, hypothesis, mypy
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all setup setup-apt setup-python setup-demo build cpp-test install python-test typecheck test demo \
  bench fuzz clean test-sanitize test-pythons soak
.PHONY: bench-codec bench-setup bench-quick bench-instructions

all: build

# $(call apt_install,PACKAGES): installs those of PACKAGES that are missing, so a second run costs
# a few seconds.
define apt_install
	@missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi
endef

# $(call pip_install,MODULES,PACKAGES): installs PACKAGES unless every one of MODULES imports.
define pip_install
	@$(VPY) -c "import $(1)" 2>/dev/null || { echo "installing into $(VENV) what is missing of: $(2)"; \
	  $(VPY) -m pip install -q $(2); }
endef

setup-apt:
	$(call apt_install,$(APT_PACKAGES) $(EXTRA_APT))

$(VPY):
	$(PYTHON) -m venv --system-site-packages $(VENV)

setup-python: $(VPY)
	$(call pip_install,$(PIP_MODULES),$(PIP_PACKAGES))

setup: setup-apt setup-python

setup-demo: $(VPY)
	$(call apt_install,$(DEMO_APT_PACKAGES))
	$(call pip_install,$(DEMO_PIP_MODULES),$(DEMO_PIP_PACKAGES))

build: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTO_BUILD_TESTS=ON \
	  -DVELTO_WERROR=ON -DPython_EXECUTABLE=$(abspath $(VPY)) > /dev/null
	cmake --build $(BUILD) -j$(JOBS)

cpp-test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

# Installs the module into the project's virtual environment the way a user would (the long
# option: Debian 12's pip 23.0 has no -C). The first build takes a minute or more, in which pip
# alone says nothing: its steps and the compiler's progress are shown, the whole log is kept in
# build/install.log, and its end is shown when the build fails.
define install_module
	@echo "building velto_protocol into $(VENV) (C++: a minute or more the first time, seconds after)"
	@mkdir -p build
	@set -o pipefail; $(VPY) -m pip install -v --no-build-isolation --no-deps \
	  --config-settings=build-dir=build/wheel . 2>&1 | tee build/install.log | \
	  { grep --line-buffered -E '^ *\*\*\* |^ *\[ *[0-9]+(%|/[0-9]+)\] ' | \
	    sed -u -E 's/Building C(XX)? object CMakeFiles\/[^/]+\.dir\//compiling /; s/\.o$$//' || true; } || \
	  { echo "the build failed; the end of build/install.log:"; tail -n 40 build/install.log; exit 1; }
	@echo "installed velto_protocol and velto-client into $(VENV)"
endef

install: setup
	$(install_module)

python-test: install
	cd tests/python && ../../$(VPY) -m pytest -q -p no:cacheprovider

# The installed stubs against the installed module, and the typed examples as a user's program
# (run from examples/, so only what is installed in the environment is seen).
TYPED_EXAMPLES := lamp.py joystick_robot.py debug_logging.py reconnect.py asyncio_robot.py
typecheck: install
	$(VPY) -m mypy.stubtest velto_protocol
	cd examples && ../$(VPY) -m mypy --strict --cache-dir=/dev/null $(TYPED_EXAMPLES)

test: cpp-test python-test typecheck

# Only what the demo needs: the module's build and velto-client's msgpack.
demo: setup-demo
	$(install_module)
	$(VPY) examples/demo.py

# Benchmarks (not part of `make test`). `make bench` runs the codec micro-benchmark, then the
# end-to-end comparison with an asyncio server, and writes its table into docs/performance.md;
# `make bench-quick` is the same comparison in about a minute and a half, without the memory run;
# `make bench-instructions` prints only the callgrind instructions per dispatched frame.
BENCH_APT_PACKAGES := valgrind strace
# The peers the end-to-end run compares with: the fastest asyncio server takes uvloop and msgspec.
BENCH_PIP_PACKAGES := uvloop msgspec
# A build of the module that keeps its symbols, so that profiles name its functions.
PROFILE_SITE := build/profile-site
E2E_BENCH := $(VPY) bench/e2e_bench.py --profile-module $(PROFILE_SITE)

bench-codec:
	$(MAKE) setup
	cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DVELTO_BUILD_BENCH=ON \
	  -DVELTO_BUILD_MODULE=OFF > /dev/null
	cmake --build build/bench -j$(JOBS) --target velto_bench
	build/bench/velto_bench --benchmark_min_time=0.2

bench-setup:
	$(MAKE) setup-apt EXTRA_APT="$(BENCH_APT_PACKAGES)"
	$(MAKE) install
	@$(VPY) -c "import uvloop, msgspec" 2>/dev/null || $(VPY) -m pip install -q $(BENCH_PIP_PACKAGES)
	$(VPY) -m pip install -q --no-build-isolation --no-deps --upgrade --target $(PROFILE_SITE) \
	  --config-settings=install.strip=false --config-settings=build-dir=build/profile .

bench: bench-codec bench-setup
	$(E2E_BENCH) --write-docs docs/performance.md

bench-quick: bench-setup
	$(E2E_BENCH) --quick

bench-instructions: bench-setup
	$(E2E_BENCH) --instructions

FUZZ_SECONDS ?= 60
# Each runs FUZZ_SECONDS under ASan and UBSan, from the committed seeds.
FUZZ_TARGETS := frame_parse_fuzzer frame_stream_fuzzer
fuzz:
	$(MAKE) setup-apt EXTRA_APT="$(FUZZ_APT_PACKAGES)"
	CC=clang CXX=clang++ CXXFLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -g -O1" \
	  LDFLAGS="-fsanitize=address,undefined" \
	  cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=Debug -DVELTO_BUILD_FUZZ=ON \
	  -DVELTO_BUILD_MODULE=OFF > /dev/null
	cmake --build build/fuzz -j$(JOBS) --target $(FUZZ_TARGETS)
	for target in $(FUZZ_TARGETS); do \
	  mkdir -p build/fuzz/corpus-$$target && \
	  build/fuzz/$$target build/fuzz/corpus-$$target fuzz/seeds -max_total_time=$(FUZZ_SECONDS) \
	    -print_final_stats=1 2>&1 | tee build/fuzz/$$target.log | grep -E "^(#[0-9]+ +DONE|stat::|==)" ; \
	  test $${PIPESTATUS[0]} -eq 0 || { tail -60 build/fuzz/$$target.log; exit 1; }; \
	done

# The C++ tests and the module under AddressSanitizer + UndefinedBehaviorSanitizer (gcc's
# runtimes), the whole pytest suite against that module with the runtime preloaded into the
# interpreter, and the C++ tests again under ThreadSanitizer for the concurrent network code.
# The plain installation comes first: the client tool's tests run its installed console script.
SANITIZE_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -O1 -g
TSAN_FLAGS := -fsanitize=thread -O1 -g
test-sanitize: install
	cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DVELTO_BUILD_TESTS=ON -DVELTO_WERROR=ON \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) -DCMAKE_C_FLAGS="$(SANITIZE_FLAGS)" \
	  -DCMAKE_CXX_FLAGS="$(SANITIZE_FLAGS)" > /dev/null
	cmake --build build/asan -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  build/asan/velto_cpp_tests --gtest_brief=1
	$(VPY) checks/sanitized_pytest.py build/asan build/asan/reports -q -x
	cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DVELTO_BUILD_TESTS=ON -DVELTO_WERROR=ON \
	  -DVELTO_BUILD_MODULE=OFF -DCMAKE_C_FLAGS="$(TSAN_FLAGS)" -DCMAKE_CXX_FLAGS="$(TSAN_FLAGS)" \
	  > /dev/null
	cmake --build build/tsan -j$(JOBS) --target velto_cpp_tests
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build/tsan/velto_cpp_tests --gtest_brief=1

# The pytest suite on each CPython 3.9 to 3.13 that pyenv offers here (which are skipped and
# why is printed at the end).
test-pythons: setup-apt
	JOBS=$(JOBS) COVERED=$(COVERED) checks/test_pythons.sh

# Frames, lifecycle cycles and exits at full size against the installed module; CI runs a
# shorter version (SOAK_ARGS="--frames 30000 --cycles 300").
SOAK_ARGS ?=
soak: install
	$(VPY) checks/soak.py $(SOAK_ARGS)

clean:
	rm -rf build
