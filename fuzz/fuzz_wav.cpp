// The input is one wav sound file, read through the file-access layer as the engine
// reads it: every frame in turn, then again after a seek into the middle. The bytes are
// held in the file cache under a name, so no run touches the disk.
#include "sound/decoders.h"
#include "storage/file_cache.h"

#include <string>
#include <vector>

using namespace kestrune;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const char* const k_name = "fuzz.wav";
    if (!storage::cache_put(k_name, data, size)) return 0;
    auto file = std::make_unique<storage::ResourceFile>();
    if (!file->create(k_name) || !file->open()) return 0;
    std::string error;
    auto decoder = sound::open_wav(std::move(file), error);
    if (!decoder) return 0;
    std::vector<std::int16_t> frames(4096 * decoder->format().channels);
    std::uint64_t total = 0;
    while (std::size_t n = decoder->read(frames.data(), 4096)) total += n;
    if (total > decoder->total_frames()) __builtin_trap(); // more frames than announced
    decoder->seek(decoder->total_frames() / 2);
    decoder->read(frames.data(), 4096);
    return 0;
}
