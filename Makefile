# The two front-door commands:
#   make demo   set up everything needed and run the example
#   make test   set up everything needed and run the Python and C++ test suites
#               (with ZORP_SANITIZE=1 also their sanitizer run, see test-sanitize)
VENV := .venv
PY := $(VENV)/bin/python
CPP_BUILD := build/cpp-tests

.PHONY: setup demo test test-python test-cpp test-sanitize bench lint

setup:
	@bash scripts/setup.sh

demo: setup
	@$(VENV)/bin/zorp demo --plot zorp_demo.png --overwrite

test: setup
	@$(MAKE) --no-print-directory test-cpp test-python \
		$(if $(filter 1 ON on yes true,$(ZORP_SANITIZE)),test-sanitize)

# The slow tests (marked "slow") run when ZORP_SLOW=1, as CI sets it.
test-python:
	$(VENV)/bin/pytest -q $(if $(filter 1 ON on yes true,$(ZORP_SLOW)),,-m "not slow")

test-cpp:
	@$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DZORP_BUILD_MODULE=OFF -DZORP_BUILD_TESTS=ON -DZORP_WERROR=ON \
		-DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DCMAKE_BUILD_TYPE=Release \
		-DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	@$(VENV)/bin/cmake --build $(CPP_BUILD) -j 2
	cd $(CPP_BUILD) && $(abspath $(VENV)/bin/ctest) --output-on-failure

# Both suites against an AddressSanitizer + UndefinedBehaviorSanitizer build.
test-sanitize:
	@bash scripts/sanitize.sh

bench: setup
	$(PY) benchmarks/run.py

lint: setup
	$(VENV)/bin/ruff check zorp tests benchmarks scripts
	$(VENV)/bin/ruff format --check zorp tests benchmarks scripts
	@cf=$$(command -v clang-format || ls /usr/bin/clang-format-[0-9]* 2>/dev/null | head -n 1); \
	if [ -n "$$cf" ]; then \
		$$cf --dry-run -Werror zorp/_native/*.cpp zorp/_native/*.hpp tests/cpp/*.cpp; \
	else echo "clang-format not installed; C++ formatting not checked"; fi
