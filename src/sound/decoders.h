// Decoders of the sound files: WAV (PCM, 8 or 16 bits, mono or stereo) and Ogg Vorbis,
// both reading through a ResourceFile so that sounds may lie in archives or loose.
//
// A decoder delivers whole frames of signed 16-bit samples, interleaved by channel, from a
// frame position counted from the start of the audio data.
#pragma once

#include "storage/resource_file.h"

#include <cstdint>
#include <memory>
#include <string>

namespace kestrune::sound {

struct SoundFormat {
    std::uint32_t channels = 0; // 1 or 2
    std::uint32_t rate = 0;     // frames per second, 100 .. 200000
};

class Decoder {
public:
    virtual ~Decoder() = default;
    const SoundFormat& format() const { return m_format; }
    std::uint64_t total_frames() const { return m_total_frames; }
    // Reads up to `frames` frames into dst (frames x channels samples); returns the frames
    // delivered. Fewer than asked means the data ended (or is damaged from there).
    virtual std::size_t read(std::int16_t* dst, std::size_t frames) = 0;
    // Positions the next read at `frame` (clamped to the data).
    virtual bool seek(std::uint64_t frame) = 0;

protected:
    SoundFormat m_format;
    std::uint64_t m_total_frames = 0;
};

// Tries Ogg Vorbis, then WAV. Null with `error` set when neither accepts the file. The
// decoder owns the file from then on.
std::unique_ptr<Decoder> open_decoder(std::unique_ptr<storage::ResourceFile> file,
                                      std::string& error);
std::unique_ptr<Decoder> open_wav(std::unique_ptr<storage::ResourceFile> file, std::string& error);
std::unique_ptr<Decoder> open_ogg(std::unique_ptr<storage::ResourceFile> file, std::string& error);

} // namespace kestrune::sound
