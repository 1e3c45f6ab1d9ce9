# The developer's road. `make test` and `make demo` work on a fresh machine: they create the
# virtual environment, install pinned packages from PyPI, build the extension modules and run.
PY      ?= python3
VENV    ?= .venv
VPY     := $(VENV)/bin/python
PIPENV  := PIP_CONSTRAINT=$(CURDIR)/constraints.txt PIP_DISABLE_PIP_VERSION_CHECK=1
BUILD   ?= build/dev
MODULES ?=
PYTEST_ARGS ?=

.PHONY: venv install build test demo bench sanitize fuzz clean

$(VENV)/.ready: pyproject.toml constraints.txt
	test -x $(VPY) || $(PY) -m venv $(VENV)
	$(PIPENV) $(VPY) -m pip install -q --upgrade pip
	$(PIPENV) $(VPY) -m pip install -q scikit-build-core nanobind cmake ninja \
	    pandas numpy boto3 botocore s3fs pyarrow tqdm pytz openpyxl pytest "moto[server]" matplotlib
	touch $@

venv: $(VENV)/.ready

# Build and install the package into the environment (incremental: build/ is kept).
install: venv
	$(PIPENV) $(VPY) -m pip install -q --no-build-isolation --no-deps .

# Developer build in place: the .so files land beside src/orvane_data/*/__init__.py.
# MODULES="api volume" builds only those; BUILD=build/mine keeps a separate build tree.
build: venv
	$(VPY) -m cmake -S . -B $(BUILD) -G Ninja -DORVANE_INPLACE=ON \
	    -DPython_EXECUTABLE=$(abspath $(VPY)) -DORVANE_MODULES="$(MODULES)" >/dev/null
	$(VPY) -m cmake --build $(BUILD) -j2

test: install
	$(VPY) -m pytest -q $(PYTEST_ARGS) tests

demo: install
	$(VPY) examples/demo.py

bench: install
	$(VPY) bench/run.py

# AddressSanitizer + UBSan build in place, then the whole suite on it (run `make build` afterwards
# to put the normal modules back).
sanitize: venv
	$(VPY) -m cmake -S . -B build/asan -G Ninja -DORVANE_SANITIZE=ON -DORVANE_INPLACE=ON \
	    -DPython_EXECUTABLE=$(abspath $(VPY)) >/dev/null
	$(VPY) -m cmake --build build/asan -j2
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	    ASAN_OPTIONS=detect_leaks=0 PYTHONPATH=src $(VPY) -m pytest -q tests

# Mutation fuzzing of the native CSV bar reader under ASan/UBSan (seconds as FUZZ_SECONDS).
FUZZ_SECONDS ?= 600
fuzz:
	mkdir -p build
	g++ -std=c++20 -O1 -g -fsanitize=address,undefined -fno-sanitize-recover=undefined -Icpp \
	    tests/cpp/fuzz_csv_bars.cpp cpp/core/csv_bars.cpp -o build/fuzz_csv_bars
	build/fuzz_csv_bars $(FUZZ_SECONDS)

clean:
	rm -rf build $(VENV) src/orvane_data/*/*.so
