# Developer entry points. `make test` and `make demo` install whatever is missing first.
SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
BUILD := build/dev
JOBS ?= 2

APT_PACKAGES := cmake g++ make libmsgpuck-dev libgtest-dev libbenchmark-dev libmsgpack-dev
FUZZ_APT_PACKAGES := clang libclang-rt-14-dev
PIP_PACKAGES := scikit-build-core pytest pytest-timeout hypothesis msgpack mypy
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all setup setup-apt setup-python build cpp-test install python-test typecheck test demo bench fuzz clean

all: build

# Installs only what is missing, so a second run costs a few seconds.
setup-apt:
	@missing=""; for p in $(APT_PACKAGES) $(EXTRA_APT); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi

$(VPY):
	$(PYTHON) -m venv --system-site-packages $(VENV)

setup-python: $(VPY)
	@$(VPY) -c "import scikit_build_core, pytest, pytest_timeout, hypothesis, msgpack, mypy" 2>/dev/null || \
	  $(VPY) -m pip install -q $(PIP_PACKAGES)

setup: setup-apt setup-python

build: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTO_BUILD_TESTS=ON \
	  -DVELTO_WERROR=ON -DPython_EXECUTABLE=$(abspath $(VPY)) > /dev/null
	cmake --build $(BUILD) -j$(JOBS)

cpp-test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

# Installs the module into the project's virtual environment the way a user would (the long
# option: Debian 12's pip 23.0 has no -C).
install: setup
	$(VPY) -m pip install -q --no-build-isolation --no-deps --config-settings=build-dir=build/wheel .

python-test: install
	cd tests/python && ../../$(VPY) -m pytest -q -p no:cacheprovider

# The installed stubs against the installed module, and the typed examples as a user's program
# (run from examples/, so only what is installed in the environment is seen).
TYPED_EXAMPLES := lamp.py joystick_robot.py debug_logging.py reconnect.py
typecheck: install
	$(VPY) -m mypy.stubtest velto_protocol
	cd examples && ../$(VPY) -m mypy --strict --cache-dir=/dev/null $(TYPED_EXAMPLES)

test: cpp-test python-test typecheck

demo: install
	$(VPY) examples/demo.py

bench:
	$(MAKE) setup
	cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DVELTO_BUILD_BENCH=ON \
	  -DVELTO_BUILD_MODULE=OFF > /dev/null
	cmake --build build/bench -j$(JOBS) --target velto_bench
	build/bench/velto_bench --benchmark_min_time=0.2

FUZZ_SECONDS ?= 60
fuzz:
	$(MAKE) setup-apt EXTRA_APT="$(FUZZ_APT_PACKAGES)"
	CC=clang CXX=clang++ CXXFLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -g -O1" \
	  LDFLAGS="-fsanitize=address,undefined" \
	  cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=Debug -DVELTO_BUILD_FUZZ=ON \
	  -DVELTO_BUILD_MODULE=OFF > /dev/null
	cmake --build build/fuzz -j$(JOBS) --target frame_parse_fuzzer
	mkdir -p build/fuzz/corpus
	build/fuzz/frame_parse_fuzzer build/fuzz/corpus fuzz/seeds -max_total_time=$(FUZZ_SECONDS) \
	  -print_final_stats=1

clean:
	rm -rf build
