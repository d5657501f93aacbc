# Entry points. `make demo` and `make test` install what is missing, build, then run.
PYTHON  ?= /usr/bin/python3
BUILD   ?= build
JOBS    ?= $(shell nproc)
PREFIX  ?= /usr/local
DESTDIR ?=
# CPython 3.8, for a second set of extension modules: a python3.8 on PATH that runs (pyenv puts
# shims there that only run when 3.8 is selected), else pyenv's own; none when neither exists.
ifeq ($(origin PY38),undefined)
PY38 := $(shell for p in $$(command -v python3.8) $(HOME)/.pyenv/versions/3.8.*/bin/python3.8; do \
          "$$p" -c 'import sys; print(sys.executable)' 2>/dev/null && break; done)
endif
# The release build: programs, modules, examples, and the tests when TESTS=ON (`make test` sets
# it; otherwise the build keeps its setting, OFF for a new one).
TESTS   ?= $(or $(shell sed -n 's/^QOR_BUILD_TESTS:BOOL=//p' $(BUILD)/CMakeCache.txt 2>/dev/null),OFF)
CMAKE_FLAGS = -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(PYTHON) \
              -DQOR_EXTRA_PYTHONS="$(PY38)" -DQOR_BUILD_TESTS=$(TESTS)
# The clang build of the core and its C++ tests under AddressSanitizer and UBSan, with the
# libFuzzer targets.
CLANG_BUILD = $(BUILD)-clang

MAKEFLAGS += --no-print-directory

.PHONY: all deps deps-test deps-packaging configure build build-clang test test-release \
        test-clang demo bench py38 sanitize fuzz fuzz-build fuzz-smoke fuzz-smoke-run install \
        uninstall wheel deb test-packaging format check-format clean

all: build

deps:
	@scripts/install-deps
deps-test:
	@scripts/install-deps --test
deps-packaging:
	@scripts/install-deps --packaging

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

# Everything: the format check, the release build with the tests and the modules for CPython 3.8
# (when present), the clang build; then all CTest groups of both, and the fuzz smoke. The two
# builds run side by side, and so do the two CTest runs.
test: deps-test check-format
	@$(MAKE) -j2 --output-sync=target TESTS=ON build build-clang
	@$(MAKE) -j2 --output-sync=target test-release test-clang
	@$(MAKE) fuzz-smoke-run

test-release:
	@cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

build-clang: deps-test
	@CXX=clang++ cmake -S . -B $(CLANG_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_BUILD_FUZZ=ON \
	  -DQOR_SANITIZE=ON -DQOR_BUILD_TESTS=ON -DQOR_BUILD_PYTHON=OFF -DQOR_BUILD_CLI=OFF \
	  -DQOR_BUILD_EXAMPLES=OFF >/dev/null
	@cmake --build $(CLANG_BUILD) -j$(JOBS)

# The core's C++ tests under AddressSanitizer (leaks fail the run) and UBSan.
test-clang:
	@cd $(CLANG_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j$(JOBS)

sanitize: build-clang
	@$(MAKE) test-clang

# libFuzzer targets. `make fuzz` runs each for FUZZ_SECONDS on a working corpus grown from
# fuzz/corpus; `make fuzz-smoke` (part of `make test`) runs each for 15 seconds over the seeds,
# all at once.
FUZZ_SECONDS ?= 60
# Seconds one input may take: a slow input is a failure like a crash.
FUZZ_TIMEOUT ?= 10
FUZZ_TARGETS = json_fuzz structdiff_fuzz merge_fuzz
fuzz-build: build-clang

fuzz: fuzz-build
	@mkdir -p fuzz/crashes
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p fuzz/corpus-work/$$t; \
	  $(CLANG_BUILD)/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -timeout=$(FUZZ_TIMEOUT) -print_final_stats=1 \
	    -artifact_prefix=fuzz/crashes/$$t- fuzz/corpus-work/$$t fuzz/corpus/$$t || exit 1; \
	done

fuzz-smoke: fuzz-build
	@$(MAKE) fuzz-smoke-run

fuzz-smoke-run:
	@work=$$(mktemp -d) && trap 'rm -rf "$$work"' EXIT && \
	for t in $(FUZZ_TARGETS); do \
	  mkdir -p $$work/$$t && \
	  { $(CLANG_BUILD)/fuzz/$$t -max_total_time=15 -timeout=$(FUZZ_TIMEOUT) \
	      -artifact_prefix=$$work/$$t/ $$work/$$t \
	      fuzz/corpus/$$t 2>$$work/$$t.log; echo $$? > $$work/$$t.status; } & \
	done; wait; status=0; \
	for t in $(FUZZ_TARGETS); do \
	  if [ "$$(cat $$work/$$t.status)" != 0 ]; then \
	    tail -n 40 $$work/$$t.log; cp $$work/$$t/crash-* fuzz/ 2>/dev/null; status=1; \
	  else grep -h '^Done' $$work/$$t.log | sed "s/^/$$t: /"; fi; \
	done; exit $$status

demo: configure
	@cmake --build $(BUILD) -j$(JOBS) --target qormerge qordiff qorgit notebook_summary
	@scripts/demo $(BUILD)

bench:
	@scripts/install-deps --test --bench
	@cmake -S . -B $(BUILD)-bench $(CMAKE_FLAGS) -DQOR_BUILD_BENCH=ON -DQOR_BUILD_TESTS=OFF >/dev/null
	@cmake --build $(BUILD)-bench -j$(JOBS)
	@PYTHONPATH=$(BUILD)-bench/python $(PYTHON) bench/run.py --build $(BUILD)-bench
	@$(PYTHON) bench/resolve_page.py --qorgit $(BUILD)-bench/bin/qorgit
	@$(PYTHON) bench/interrupt.py --build $(BUILD)-bench

# The extension modules for CPython 3.8 (when present), imported and run there.
py38: configure
	@if [ -n "$(PY38)" ]; then \
	  cmake --build $(BUILD) -j$(JOBS) --target qor_python_py38 && \
	  PYTHONPATH=$(BUILD)/python $(PY38) tests/python/import_check.py; \
	else echo "py38: no CPython 3.8 found, skipped"; fi

# `make install` builds only what it installs: the commands into PREFIX/bin, the package into
# the site directory that PYTHON uses for PREFIX, the README and licence into
# PREFIX/share/doc/qor-kelm-git; DESTDIR stages the whole for packagers. `make uninstall`, with
# the same PREFIX and DESTDIR, removes what that install put in place (recorded per PREFIX and
# DESTDIR in $(BUILD)/install-manifests).
MANIFEST = $(BUILD)/install-manifests/$(shell printf '%s|%s' '$(DESTDIR)' '$(PREFIX)' | md5sum | cut -c1-16)
install: configure
	@cmake --build $(BUILD) -j$(JOBS) --target qor_installables
	@DESTDIR='$(DESTDIR)' cmake --install $(BUILD) --prefix '$(PREFIX)'
	@mkdir -p $(BUILD)/install-manifests && cp $(BUILD)/install_manifest.txt $(MANIFEST)

uninstall:
	@cmake -DMANIFEST=$(MANIFEST) -DDESTDIR='$(DESTDIR)' -P cmake/uninstall.cmake

# The Python wheel (for PYTHON) and the Debian package, into $(BUILD)/packages.
wheel: deps-packaging configure
	@QOR_CMAKE_BUILD_DIR=$(abspath $(BUILD)) $(PYTHON) -m build --wheel --no-isolation \
	  --outdir $(BUILD)/packages . >$(BUILD)/wheel.log 2>&1 || { tail -n 40 $(BUILD)/wheel.log; exit 1; }
	@ls $(BUILD)/packages/*.whl

deb: deps-packaging configure
	@cmake --build $(BUILD) -j$(JOBS) --target qor_installables qor_deb_changelog
	@cd $(BUILD) && cpack -G DEB >cpack.log 2>&1 || { tail -n 40 cpack.log; exit 1; }
	@ls $(BUILD)/packages/*.deb

# The packages as a user installs them: the wheel into fresh virtual environments, the Debian
# package unpacked, `make install` into a staging root. Reuses the release build.
test-packaging: deb
	@scripts/test-packaging $(BUILD) $(PYTHON) $(PY38)

format:
	@scripts/check-format.sh --fix

check-format:
	@scripts/check-format.sh

clean:
	rm -rf $(BUILD) $(BUILD)-bench $(CLANG_BUILD) build-setuptools fuzz/corpus-work
