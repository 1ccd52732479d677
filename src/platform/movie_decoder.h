// Movie decoding through FFmpeg: a demuxer and decoders over a byte stream that the engine
// supplies (so that movies are read through the file-access layer, loose or archived),
// delivering timed video frames and stereo float samples, and a converter that writes a
// frame into 32-bit engine pixel rows.
//
// Threading: a MovieDecoder belongs to one thread at a time (the movie's decoder thread
// once it runs). A VideoFrame may be handed to another thread and converted there by that
// thread's own FrameConverter; frames and converters are independent of the decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct AVFrame;

namespace kestrune::platform {

// Where a movie's bytes come from.
class ByteStream {
public:
    virtual ~ByteStream() = default;
    // Reads up to `bytes`; 0 at the end of the data.
    virtual std::size_t read(void* dst, std::size_t bytes) = 0;
    // Absolute position; false when it cannot go there.
    virtual bool seek(std::int64_t position) = 0;
    virtual std::int64_t size() = 0; // -1 when unknown
};

// One decoded picture with its time on the movie's own clock.
class VideoFrame {
public:
    explicit VideoFrame(AVFrame* frame);
    ~VideoFrame();
    VideoFrame(const VideoFrame&) = delete;
    VideoFrame& operator=(const VideoFrame&) = delete;
    std::int64_t pts_ms = 0;      // from the start of the movie
    std::int64_t duration_ms = 0; // at least 1
    int width() const;
    int height() const;
    const AVFrame* frame() const { return m_frame; }

private:
    AVFrame* m_frame;
};

struct DecodedItem {
    enum class Kind { video, audio, end, failed } kind = Kind::end;
    std::unique_ptr<VideoFrame> frame; // video
    std::vector<float> samples;        // audio: interleaved stereo
    std::int64_t pts_ms = 0;           // audio: time of the first sample
};

class MovieDecoder {
public:
    // Opens the stream and its first video stream (and first audio stream, if any). Null
    // with `error` saying what is wrong when the data is no movie FFmpeg can play.
    static std::unique_ptr<MovieDecoder> open(std::unique_ptr<ByteStream> stream,
                                              std::string& error);
    ~MovieDecoder();

    int width() const;
    int height() const;
    std::int64_t duration_ms() const; // of the pictures; 0 when the container does not say
    bool has_audio() const;
    std::uint32_t audio_rate() const;

    // Decodes on until a video frame or a block of audio comes out, or the data ends.
    // Damaged packets are skipped; the first fault is kept in problem().
    DecodedItem next();
    // Positions the next frames at or before `ms` (the caller drops those before it).
    bool seek(std::int64_t ms);
    const std::string& problem() const;

private:
    MovieDecoder();
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// Writes frames into engine pixels (blue, green, red, alpha; straight alpha) with swscale,
// scaling to the target size. Without alpha every pixel gets alpha 255; with alpha the
// frame's lower half is the mask: output row y takes its colours from the frame's row y
// (scaled to the target) and its alpha from the green of the frame's row y + height / 2.
class FrameConverter {
public:
    FrameConverter();
    ~FrameConverter();
    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;

    // `rows` is the target's first row, `stride` its bytes per row; the last row must be
    // followed by at least k_row_slack writable bytes (the scaler may write whole blocks of
    // pixels). False when the frame cannot be converted (the target is left as it was).
    bool convert(const VideoFrame& frame, std::uint8_t* rows, int stride, int width, int height,
                 bool alpha);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// Bytes a converter may write past the last pixel of a target row.
inline constexpr std::size_t k_row_slack = 64;

// Quietens FFmpeg's own logging (the engine reports movie faults itself). Called once.
void quiet_movie_library();

} // namespace kestrune::platform
