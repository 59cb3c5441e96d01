# The two front-door commands:
#   make demo   set up everything needed and run the example
#   make test   set up everything needed and run the Python and C++ test suites
VENV := .venv
PY := $(VENV)/bin/python
CPP_BUILD := build/cpp-tests

.PHONY: setup demo test test-python test-cpp bench lint

setup:
	@bash scripts/setup.sh

demo: setup
	@$(VENV)/bin/zorp demo --plot zorp_demo.png

test: setup
	@$(MAKE) --no-print-directory test-cpp test-python

test-python:
	$(VENV)/bin/pytest -q

test-cpp:
	@$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DZORP_BUILD_MODULE=OFF -DZORP_BUILD_TESTS=ON \
		-DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@$(VENV)/bin/cmake --build $(CPP_BUILD)
	cd $(CPP_BUILD) && $(abspath $(VENV)/bin/ctest) --output-on-failure

bench: setup
	$(PY) benchmarks/run.py

lint: setup
	$(VENV)/bin/ruff check zorp tests benchmarks scripts
