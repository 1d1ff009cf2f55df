# Thin wrapper over CMake: `make demo`, `make test`, `make bench`, `make sweep`, `make install`.
BUILD ?= build
JOBS ?= 2
CMAKE_ARGS ?=
DEMO_DIR := $(BUILD)/demo

.PHONY: all build demo test bench sweep install clean setup

# Installs (as root) or names the Debian packages that mzfscan and the tests need.
setup:
	sh tools/setup-deps

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Records samples/hello.mzf as a tape, converts the recording back and checks the result. Builds
# only the three programs it runs.
demo: setup $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target mzfextract tapesynth mzfscan
	rm -rf $(DEMO_DIR) && mkdir -p $(DEMO_DIR)
	$(BUILD)/tapesynth $(DEMO_DIR)/hello.wav samples/hello.mzf
	cd $(DEMO_DIR) && ../mzfextract hello.wav
	cmp $(DEMO_DIR)/HELLO_DEMO_______#001.MZF samples/hello.mzf
	@echo "demo: $(DEMO_DIR)/HELLO_DEMO_______#001.MZF equals samples/hello.mzf"
	@# mzfscan rescues a 16-bit stereo recording whose first body copy has a dropout.
	$(BUILD)/tapesynth --rate 44100 --format s16 --channels 2 --signal-channel 2 \
	  --dropout body1 $(DEMO_DIR)/worn.wav samples/hello.mzf
	$(BUILD)/mzfscan -o $(DEMO_DIR)/rescued $(DEMO_DIR)/worn.wav
	cmp $(DEMO_DIR)/rescued/HELLO_DEMO_______#001.MZF samples/hello.mzf
	@echo "demo: mzfscan rescued $(DEMO_DIR)/rescued/HELLO_DEMO_______#001.MZF from the second copy"

test: setup build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench:
	cmake -S . -B $(BUILD)-bench -DCMAKE_BUILD_TYPE=Release -DMZF_BENCH=ON -DMZF_TESTS=OFF
	cmake --build $(BUILD)-bench -j $(JOBS)
	$(BUILD)-bench/bench/mzfextract_bench
	$(BUILD)-bench/bench/mzfscan_bench

# Climbs each impairment of tapesynth recordings and prints where mzfextract and mzfscan break;
# SWEEP_ARGS passes options (--quick, --axis NAME, --jobs N) to bench/sweep.py.
SWEEP_ARGS ?=
sweep: setup
	cmake -S . -B $(BUILD)-sweep -DCMAKE_BUILD_TYPE=Release -DMZF_TESTS=OFF
	cmake --build $(BUILD)-sweep -j $(JOBS) --target mzfextract mzfscan tapesynth
	python3 bench/sweep.py --build $(BUILD)-sweep $(SWEEP_ARGS)

install: build
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

clean:
	rm -rf $(BUILD) $(BUILD)-bench $(BUILD)-sweep
