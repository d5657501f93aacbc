# Entry points. `make demo` and `make test` install what is missing, build, then run.
PYTHON  ?= /usr/bin/python3
BUILD   ?= build
JOBS    ?= $(shell nproc)
PY38    ?= $(HOME)/.pyenv/versions/3.8.18/bin/python3.8
PREFIX  ?= /usr/local

MAKEFLAGS += --no-print-directory

CMAKE_FLAGS = -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(PYTHON)

.PHONY: all deps configure build test demo bench py38 sanitize fuzz fuzz-build fuzz-smoke \
        install format check-format clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

test: build py38 sanitize fuzz-smoke
	@cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# The core and its C++ tests under AddressSanitizer (leaks fail the run) and
# UndefinedBehaviorSanitizer.
sanitize: deps
	@cmake -S . -B $(BUILD)-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_SANITIZE=ON \
	  -DQOR_BUILD_PYTHON=OFF -DQOR_BUILD_EXAMPLES=OFF >/dev/null
	@cmake --build $(BUILD)-asan -j$(JOBS)
	@cd $(BUILD)-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j$(JOBS)

# libFuzzer targets (clang). `make fuzz` runs each for FUZZ_SECONDS on a working corpus grown
# from fuzz/corpus; `make fuzz-smoke` (part of `make test`) runs each briefly over the seeds.
FUZZ_SECONDS ?= 60
# Seconds one input may take: a slow input is a failure like a crash.
FUZZ_TIMEOUT ?= 10
FUZZ_TARGETS = json_fuzz structdiff_fuzz merge_fuzz
fuzz-build: deps
	@CXX=clang++ cmake -S . -B $(BUILD)-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_BUILD_FUZZ=ON \
	  -DQOR_BUILD_PYTHON=OFF -DQOR_BUILD_TESTS=OFF -DQOR_BUILD_CLI=OFF -DQOR_BUILD_EXAMPLES=OFF >/dev/null
	@cmake --build $(BUILD)-fuzz -j$(JOBS)

fuzz: fuzz-build
	@mkdir -p fuzz/crashes
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p fuzz/corpus-work/$$t; \
	  $(BUILD)-fuzz/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -timeout=$(FUZZ_TIMEOUT) -print_final_stats=1 \
	    -artifact_prefix=fuzz/crashes/$$t- fuzz/corpus-work/$$t fuzz/corpus/$$t || exit 1; \
	done

fuzz-smoke: fuzz-build
	@for t in $(FUZZ_TARGETS); do \
	  work=$$(mktemp -d) && \
	  $(BUILD)-fuzz/fuzz/$$t -max_total_time=15 -timeout=$(FUZZ_TIMEOUT) -artifact_prefix=$$work/ $$work fuzz/corpus/$$t \
	    2>$$work/log || { tail -n 40 $$work/log; cp $$work/crash-* fuzz/ 2>/dev/null; rm -rf $$work; exit 1; }; \
	  grep -h '^Done' $$work/log | sed "s/^/$$t: /"; rm -rf $$work; \
	done

demo: build
	@scripts/demo $(BUILD)

bench:
	@scripts/install-deps --bench
	@cmake -S . -B $(BUILD)-bench $(CMAKE_FLAGS) -DQOR_BUILD_BENCH=ON -DQOR_BUILD_TESTS=OFF >/dev/null
	@cmake --build $(BUILD)-bench -j$(JOBS)
	@PYTHONPATH=$(BUILD)-bench/python $(PYTHON) bench/run.py --build $(BUILD)-bench

# Builds the extension modules for CPython 3.8 (when pyenv provides it) and imports them there.
py38: deps
	@if [ -x "$(PY38)" ]; then \
	  cmake -S . -B $(BUILD)-py38 -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(PY38) \
	    -DQOR_BUILD_TESTS=OFF -DQOR_BUILD_EXAMPLES=OFF >/dev/null && \
	  cmake --build $(BUILD)-py38 -j$(JOBS) && \
	  PYTHONPATH=$(BUILD)-py38/python $(PY38) tests/python/import_check.py; \
	else echo "py38: $(PY38) not found, skipped"; fi

# Installs qormerge into $(PREFIX)/bin and the qor_kelm_git package into the site-packages of
# $(PYTHON) (both need root; set PREFIX for a prefix of your own).
install: build
	@cmake --install $(BUILD) --prefix $(PREFIX)

format:
	@scripts/check-format.sh --fix

check-format:
	@scripts/check-format.sh

clean:
	rm -rf $(BUILD) $(BUILD)-bench $(BUILD)-py38 $(BUILD)-asan $(BUILD)-fuzz fuzz/corpus-work
