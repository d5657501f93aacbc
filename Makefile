# Entry points. `make demo` and `make test` install what is missing, build, then run.
PYTHON  ?= /usr/bin/python3
BUILD   ?= build
JOBS    ?= $(shell nproc)
PY38    ?= $(HOME)/.pyenv/versions/3.8.18/bin/python3.8
PREFIX  ?= /usr/local

MAKEFLAGS += --no-print-directory

CMAKE_FLAGS = -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(PYTHON)

.PHONY: all deps configure build test demo bench py38 install format check-format clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

test: build py38
	@cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

demo: build
	@scripts/demo $(BUILD)

bench: deps
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
	rm -rf $(BUILD) $(BUILD)-bench $(BUILD)-py38
