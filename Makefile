# Developer entry points. `make run` builds, installs and runs the main job; `make test`
# builds, installs and runs every test. Both set up their own virtual environment.
SHELL := /bin/bash
.DEFAULT_GOAL := test

JOBS ?= 2
VENV ?= .venv
BUILD ?= build
SANITIZE ?= 0
PY := $(VENV)/bin/python
export CMAKE_BUILD_PARALLEL_LEVEL := $(JOBS)

CMAKE_DEFINES := -DKIVO_SANITIZE=$(if $(filter 1,$(SANITIZE)),ON,OFF)

# The one pytest command line; its options are in pyproject.toml. $(call run_pytest,V,B,P) runs
# venv V's interpreter after P (environment settings, a launcher), with the test-only modules of
# build tree B.
run_pytest = KIVO_TEST_EXT_DIR=$(abspath $(2)/tests/tests/ext) $(3) $(1)/bin/python -m pytest \
  $(PYTEST_ARGS)

# Under the sanitizers the interpreter itself is not instrumented: preload the runtimes and
# let the interpreter use malloc so every allocation is seen.
ifeq ($(SANITIZE),1)
SAN_ENV := LD_PRELOAD="$$(g++ -print-file-name=libasan.so):$$(g++ -print-file-name=libubsan.so)" \
	PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	KIVO_MEMORY_CHECKER=1
endif

.PHONY: run test install venv cpp-tests test-ext pytest typecheck asan valgrind bench bench-scale \
  format format-check wheel test-without-extras clean

# The Debian packages a goal needs (scripts/system-packages.txt, the one list): installed first
# when running as root, otherwise named in a clear error before anything is built.
SYSTEM_DEPS := $(addprefix system-deps-,run test bench valgrind format)
.PHONY: $(SYSTEM_DEPS)
$(SYSTEM_DEPS): system-deps-%:
	@scripts/system-deps.sh $*

$(VENV)/.stamp: pyproject.toml scripts/find-python313.sh
	@py313=$$(scripts/find-python313.sh) || exit 1; \
	  echo "creating $(VENV) with $$py313"; \
	  "$$py313" -m venv --clear $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q --group dev
	touch $@

venv: $(VENV)/.stamp

install: system-deps-run venv
	$(PY) -m pip install -q --no-build-isolation --no-deps \
	  -C build-dir=$(BUILD)/wheel -C cmake.define.KIVO_SANITIZE=$(if $(filter 1,$(SANITIZE)),ON,OFF) \
	  $(EXTRA_INSTALL_ARGS) .

run: install
	$(PY) -m kivotools

# The test build: GoogleTests and the test-only extension modules (tests/ext).
TEST_EXT_TARGETS := _kivotest_a _kivotest_b _kivotest_c _kivotest_shapes _convtest _layertest \
  _layertest_peer family

$(BUILD)/tests/build.ninja: | system-deps-test venv
	$(VENV)/bin/cmake -S . -B $(BUILD)/tests -G Ninja -DKIVO_BUILD_TESTS=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) $(CMAKE_DEFINES) $(TEST_CMAKE_DEFINES)

cpp-tests: $(BUILD)/tests/build.ninja
	$(VENV)/bin/cmake --build $(BUILD)/tests
	cd $(BUILD)/tests && $(abspath $(VENV))/bin/ctest --output-on-failure -j$(JOBS)

# Only what pytest needs of the test build: the test-only modules, not the GoogleTests.
test-ext: $(BUILD)/tests/build.ninja
	$(VENV)/bin/cmake --build $(BUILD)/tests --target $(TEST_EXT_TARGETS)

pytest: install test-ext
	$(call run_pytest,$(VENV),$(BUILD),$(SAN_ENV))

# Static checks: mypy over the package, its stubs and a typed usage sample (tests/typing);
# stubtest then compares the stubs as installed with the installed modules.
STUBBED_MODULES := kivotools.kivoc._norvek kivotools.kivoc._quedrin kivotools.kivoc._adopt \
  kivotools.kivoc.norvek kivotools.kivoc.quedrin

typecheck: install
	$(PY) -m mypy --cache-dir $(BUILD)/mypy-cache
	@mkdir -p $(BUILD) && printf '[mypy]\ncache_dir = $(BUILD)/stubtest-cache\n' > $(BUILD)/stubtest.ini
	$(PY) -m mypy.stubtest --mypy-config-file $(BUILD)/stubtest.ini $(STUBBED_MODULES)

test: system-deps-test install cpp-tests pytest typecheck

# Every test with AddressSanitizer and UndefinedBehaviorSanitizer built in (the type check adds
# nothing there, and its import of the modules cannot preload the sanitizer runtime).
asan: system-deps-test
	$(MAKE) install cpp-tests pytest VENV=.venv-asan BUILD=build/asan SANITIZE=1

# pytest under valgrind memcheck, every child interpreter included. The interpreter's own
# allocator is off (PYTHONMALLOC=malloc) so every allocation is seen; its known noise is
# suppressed (scripts/valgrind-python.supp) and scripts/valgrind-report.py fails the run on any
# report with a frame of the project's code. The memory soak runs shorter there.
VALGRIND_VENV ?= .venv-valgrind
VALGRIND_BUILD ?= build/valgrind
VALGRIND_OUT = $(abspath $(VALGRIND_BUILD))/memcheck
VALGRIND := valgrind --tool=memcheck --leak-check=no --num-callers=40 --error-exitcode=0 \
	--suppressions=$(abspath scripts/valgrind-python.supp) --trace-children=yes \
	--trace-children-skip='*/sh,*/bash,*/env' --child-silent-after-fork=yes \
	--xml=yes --xml-file=$(VALGRIND_OUT)/vg.%p.xml

valgrind: system-deps-test system-deps-valgrind
	$(MAKE) install cpp-tests VENV=$(VALGRIND_VENV) BUILD=$(VALGRIND_BUILD)
	rm -rf $(VALGRIND_OUT) && mkdir -p $(VALGRIND_OUT)
	$(call run_pytest,$(VALGRIND_VENV),$(VALGRIND_BUILD),PYTHONMALLOC=malloc KIVO_MEMORY_CHECKER=1 \
	  KIVO_MEMORY_CYCLES=2000 $(VALGRIND)); \
	  status=$$?; $(VALGRIND_VENV)/bin/python scripts/valgrind-report.py $(VALGRIND_OUT) $(CURDIR) \
	  && exit $$status

# The performance benchmark: its own venv and build tree, never part of `make test`. Installs
# the package, builds the peer modules (nanobind, pybind11, raw C API) of bench/, runs every case
# and writes bench/results/. See bench/README.md.
BENCH_VENV ?= .venv-bench
BENCH_BUILD ?= build/bench
BENCH_PY := $(BENCH_VENV)/bin/python

# Our modules and the peers are built alike: RelWithDebInfo (-O2 -g), symbols kept for callgrind.
bench: system-deps-bench
	$(MAKE) venv VENV=$(BENCH_VENV)
	$(BENCH_PY) -m pip install -q -r bench/requirements.txt
	$(BENCH_PY) -m pip install -q --no-build-isolation --no-deps -C build-dir=$(BENCH_BUILD)/wheel \
	  -C cmake.build-type=RelWithDebInfo .
	$(BENCH_VENV)/bin/cmake -S bench -B $(BENCH_BUILD)/peers -G Ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(abspath $(BENCH_PY))
	$(BENCH_VENV)/bin/cmake --build $(BENCH_BUILD)/peers
	$(BENCH_PY) bench/run.py --peers $(BENCH_BUILD)/peers $(BENCH_ARGS)

# The scale case: hundreds of generated modules of the family against nanobind's (bench/scale.py,
# bench/scale/). Reuses the benchmark's venv and installs the package as `make bench` does; the
# members are built once into $(BENCH_BUILD)/scale and rebuilt only when they change.
bench-scale:
	$(MAKE) venv VENV=$(BENCH_VENV)
	$(BENCH_PY) -m pip install -q -r bench/requirements.txt
	$(BENCH_PY) -m pip install -q --no-build-isolation --no-deps -C build-dir=$(BENCH_BUILD)/wheel \
	  -C cmake.build-type=RelWithDebInfo .
	$(BENCH_PY) bench/scale.py --build $(BENCH_BUILD)/scale $(SCALE_ARGS)

# The wheel as users get it: sdist, wheel from the read-only sdist, auditwheel repair, a fresh
# venv and the installed-package tests run outside the source tree (scripts/wheel.sh).
wheel: system-deps-run
	scripts/wheel.sh $(BUILD)/dist

# The product against stand-ins built without their extras (no log read-back, no test controls),
# as the real toolkit libraries are: its own venv and build trees, and the whole suite but the
# tests marked needs_extras (they would only fail on the missing extras).
NOEXTRAS_VENV ?= .venv-noextras
NOEXTRAS_BUILD ?= build/noextras

test-without-extras:
	$(MAKE) install test-ext VENV=$(NOEXTRAS_VENV) BUILD=$(NOEXTRAS_BUILD) \
	  EXTRA_INSTALL_ARGS=-Ccmake.define.KIVO_TOOLKIT_EXTRAS=OFF TEST_CMAKE_DEFINES=-DKIVO_TOOLKIT_EXTRAS=OFF
	$(call run_pytest,$(NOEXTRAS_VENV),$(NOEXTRAS_BUILD),) -m "not needs_extras"

format: system-deps-format
	clang-format -i $$(git ls-files '*.cc' '*.h')

# Fails on any C++ source that `make format` would change.
format-check: system-deps-format
	clang-format --dry-run --Werror $$(git ls-files '*.cc' '*.h')

clean:
	rm -rf build dist .venv .venv-asan .venv-valgrind .venv-bench .venv-wheel .venv-noextras
