# The two user commands: `make run` plays the bundled demo, `make test` runs every test.
# Both install what is missing (Debian 12, as root or through sudo), configure and build.

BUILD ?= build
GAME ?= games/demo
JOBS ?= 2

DEB_PACKAGES := g++ cmake pkg-config make libgtest-dev libbenchmark-dev \
	libsdl2-dev libx11-dev libopenal-dev libfreetype-dev libfontconfig-dev libpng-dev \
	libjpeg62-turbo-dev zlib1g-dev libogg-dev libvorbis-dev libavformat-dev \
	libavcodec-dev libswscale-dev libswresample-dev fonts-wqy-zenhei \
	sox imagemagick xvfb x11-apps clang libpixman-1-dev liblua5.4-dev

.PHONY: all deps configure build run test test-asan test-tsan soak soak-ci bench fuzz format clean golden

all: build

deps:
	@missing=""; for p in $(DEB_PACKAGES); do \
		dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
		echo "installing:$$missing"; \
		if [ "$$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi; \
		$$SUDO apt-get update -qq && \
		DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq --no-install-recommends $$missing; \
	fi

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

configure: deps $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j$(JOBS)

# Without a display the game plays headless, read through by its clickthrough.in when it
# has one.
run: build
	@if [ -z "$$DISPLAY" ] && [ -z "$$WAYLAND_DISPLAY" ]; then \
		if [ -f "$(GAME)/clickthrough.in" ]; then \
			echo "no display: playing $(GAME) headless, clicked through by $(GAME)/clickthrough.in"; \
			./$(BUILD)/kestrune --headless --input "$(GAME)/clickthrough.in" "$(GAME)"; \
		else \
			./$(BUILD)/kestrune --headless "$(GAME)"; \
		fi; \
	else \
		./$(BUILD)/kestrune "$(GAME)"; \
	fi

# Every test through CTest, then each fuzz target for a short bounded run.
test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 600
	FUZZ_BUILD=$(ASAN_BUILD) sh fuzz/run.sh $(CI_FUZZ_SECONDS)

# The whole suite built with AddressSanitizer and UndefinedBehaviorSanitizer (in
# build-asan/, with clang: the fuzz targets are built there too): any report fails the test
# that ran into it, the game runs included.
ASAN_BUILD ?= build-asan
test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_SANITIZE=ON -DKESTRUNE_FUZZ=ON \
		-DKESTRUNE_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=abort_on_error=0:detect_leaks=0 \
		UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
		ctest --output-on-failure -j$(JOBS) --timeout 900

# The threaded parts under ThreadSanitizer (in build-tsan/): the platform's waits and
# threads, the engine frame, and the whole-game tests, whose runs use a thread per script,
# the render thread, the input player and the sound threads. Left out: the demo recorded
# beside a CPU hog and the window photographed after a fixed real-time delay, both far too
# slow under the sanitizer for their limits.
TSAN_BUILD ?= build-tsan
test-tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_TSAN=ON \
		-DKESTRUNE_BENCH=OFF
	cmake --build $(TSAN_BUILD) -j$(JOBS) --target kestrune kestrune-pack test_platform \
		test_frame test_game
	cd $(TSAN_BUILD) && export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/tsan.supp" && \
		./test_platform && ./test_frame && \
		./test_game --gtest_filter=-Stepped.DemoRunsTheSameOnAnIdleAndABusyMachine:Window.*

# The monkey soak (tools/soak.sh): the demo and the kitchen sink played with random input
# for SOAK_SECONDS of wall-clock time; SOAK_BUILD=build-asan soaks the sanitizer
# build that make test-asan made, and SOAK_SEED=S starts from a given seed. soak-ci is the
# one-minute soak of CI (the run under way finishes: about two minutes in all).
SOAK_SECONDS ?= 600
SOAK_BUILD ?= $(BUILD)
SOAK_SEED ?=
soak: build
	sh tools/soak.sh --seconds $(SOAK_SECONDS) --build $(SOAK_BUILD) $(if $(SOAK_SEED),--seed $(SOAK_SEED))

soak-ci: build
	$(MAKE) --no-print-directory soak SOAK_SECONDS=60

bench: build
	@for b in $(BUILD)/bench/*; do [ -x "$$b" ] && "$$b"; done

# libFuzzer targets (clang, address and undefined-behaviour sanitizers), each run for
# FUZZ_SECONDS; findings land in fuzz-out/.
FUZZ_SECONDS ?= 60
CI_FUZZ_SECONDS ?= 20
fuzz: deps
	FUZZ_BUILD=$(ASAN_BUILD) sh fuzz/run.sh $(FUZZ_SECONDS)

format:
	find src tests tools bench -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD)

# Records the demo's first seconds anew as the golden frames of the stepped-run test. Run
# it when a change to what the reader sees is meant, and commit the new list.
golden: build
	cd $(BUILD) && KESTRUNE_WRITE_GOLDEN=$(CURDIR)/tests/game/golden/demo_frames.txt \
		./test_game --gtest_filter=Stepped.DemoFramesMatchTheGoldenRecording
