// A sound voice fed by one thread while another stops and restarts it, as a movie's
// decoder thread feeds its voice while a script (or a load) seeks the movie. The buffer
// lists must stay whole: under the sanitizers an unguarded list shows as a race or a use
// after free.
#include "platform/audio.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

using namespace kestrune::platform;

// In a child process, so that OpenAL's own threads never run in the test binary, whose
// other tests fork.
[[noreturn]] void feed_and_stop() {
    prepare_loopback_audio();
    AudioOptions options;
    options.loopback = true;
    if (!open_audio(options)) std::exit(0); // no OpenAL loopback device: nothing to test
    bool empty = false;
    {
        AudioVoice voice;
        if (!voice.valid()) std::exit(1);
        const std::vector<float> block(2 * 441, 0.25f);
        std::atomic<bool> done{false};
        std::thread feeder([&] {
            for (int i = 0; i < 3000; ++i) {
                voice.queue(block, 44100);
                voice.reclaim();
            }
            done = true;
        });
        while (!done.load()) {
            voice.stop();
            voice.play();
        }
        feeder.join();
        voice.stop();
        empty = voice.queued() == 0;
    }
    close_audio();
    std::exit(empty ? 0 : 1);
}

TEST(AudioVoice, FedFromOneThreadWhileAnotherStopsIt) {
    EXPECT_EXIT(feed_and_stop(), ::testing::ExitedWithCode(0), "");
}
