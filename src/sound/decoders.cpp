// WAV and Ogg Vorbis decoders over the file-access layer.
#include "sound/decoders.h"

#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

namespace kestrune::sound {

namespace {

std::uint32_t le32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint16_t le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

bool read_exact(storage::ResourceFile& f, void* dst, std::size_t n) {
    return f.read(dst, 1, n) == n;
}

// ---- WAV ----------------------------------------------------------------------------------------

class WavDecoder final : public Decoder {
public:
    WavDecoder(std::unique_ptr<storage::ResourceFile> file, SoundFormat format, std::uint32_t bits,
               std::int64_t data_start, std::uint64_t frames)
        : m_file(std::move(file)), m_bits(bits), m_data_start(data_start) {
        m_format = format;
        m_total_frames = frames;
        m_frame_bytes = format.channels * bits / 8;
    }

    std::size_t read(std::int16_t* dst, std::size_t frames) override {
        frames = static_cast<std::size_t>(
            std::min<std::uint64_t>(frames, m_total_frames - std::min(m_pos, m_total_frames)));
        std::size_t done = 0;
        while (done < frames) {
            if (m_raw_at == m_raw_frames && !refill(frames - done)) break;
            const std::size_t n = std::min(frames - done, m_raw_frames - m_raw_at);
            const std::uint8_t* src = m_raw.data() + m_raw_at * m_frame_bytes;
            std::int16_t* out = dst + done * m_format.channels;
            const std::size_t samples = n * m_format.channels;
            if (m_bits == 8) {
                for (std::size_t i = 0; i < samples; ++i)
                    out[i] = static_cast<std::int16_t>((src[i] - 128) * 256);
            } else if constexpr (std::endian::native == std::endian::little) {
                std::memcpy(out, src, samples * 2);
            } else {
                for (std::size_t i = 0; i < samples; ++i)
                    out[i] = static_cast<std::int16_t>(le16(src + i * 2));
            }
            m_raw_at += n;
            done += n;
        }
        m_pos += done;
        return done;
    }

    bool seek(std::uint64_t frame) override {
        m_pos = std::min(frame, m_total_frames);
        m_raw_at = m_raw_frames = 0;
        return m_file->seek(m_data_start + static_cast<std::int64_t>(m_pos * m_frame_bytes), 0) ==
               0;
    }

private:
    std::unique_ptr<storage::ResourceFile> m_file;
    std::uint32_t m_bits;
    std::int64_t m_data_start;
    std::uint32_t m_frame_bytes = 0;
    std::uint64_t m_pos = 0;
    // Read ahead of the decoding in large pieces: a stream asks for a few thousand frames
    // at a time, and a read from the file for each would cost more than the decoding.
    static constexpr std::size_t k_read_ahead = 64 * 1024;
    std::vector<std::uint8_t> m_raw;
    std::size_t m_raw_at = 0, m_raw_frames = 0; // frames used and held in m_raw

    // At least `wanted` frames (as far as the data goes) or a whole read-ahead piece.
    bool refill(std::size_t wanted) {
        const std::uint64_t file_pos = m_pos + (m_raw_frames - m_raw_at);
        const std::uint64_t left = m_total_frames - std::min(file_pos, m_total_frames);
        const std::size_t frames = static_cast<std::size_t>(std::min<std::uint64_t>(
            left, std::max(wanted, k_read_ahead / std::max<std::uint32_t>(1, m_frame_bytes))));
        m_raw_at = m_raw_frames = 0;
        if (frames == 0) return false;
        if (m_raw.size() < frames * m_frame_bytes) m_raw.resize(frames * m_frame_bytes);
        m_raw_frames = m_file->read(m_raw.data(), 1, frames * m_frame_bytes) / m_frame_bytes;
        return m_raw_frames > 0;
    }
};

// ---- Ogg Vorbis
// ------------------------------------------------------------------------------------

std::size_t ogg_read(void* dst, std::size_t size, std::size_t count, void* source) {
    return static_cast<storage::ResourceFile*>(source)->read(dst, size, count);
}
int ogg_seek(void* source, ogg_int64_t offset, int origin) {
    return static_cast<storage::ResourceFile*>(source)->seek(offset, origin);
}
long ogg_tell(void* source) {
    return static_cast<long>(static_cast<storage::ResourceFile*>(source)->tell());
}

class OggDecoder final : public Decoder {
public:
    explicit OggDecoder(std::unique_ptr<storage::ResourceFile> file) : m_file(std::move(file)) {}
    ~OggDecoder() override {
        if (m_open) ov_clear(&m_vf);
    }

    bool open(std::string& error) {
        // The file stays ours: vorbisfile gets no close function.
        const ov_callbacks callbacks{ogg_read, ogg_seek, nullptr, ogg_tell};
        if (ov_open_callbacks(m_file.get(), &m_vf, nullptr, 0, callbacks) != 0) {
            error = "not an Ogg Vorbis stream";
            return false;
        }
        m_open = true;
        if (!ov_seekable(&m_vf)) {
            error = "the Ogg Vorbis stream cannot be sought";
            return false;
        }
        const vorbis_info* info = ov_info(&m_vf, 0);
        if (!info || info->channels < 1 || info->channels > 2 || info->rate < 100 ||
            info->rate > 200000) {
            error = "unsupported Ogg Vorbis format (1 or 2 channels, 100 to 200000 Hz)";
            return false;
        }
        m_format.channels = static_cast<std::uint32_t>(info->channels);
        m_format.rate = static_cast<std::uint32_t>(info->rate);
        // A chained stream plays while its links keep the first link's format: the frames
        // counted are those of the leading links that match.
        const long links = ov_streams(&m_vf);
        std::uint64_t total = 0;
        for (long i = 0; i < links; ++i) {
            const vorbis_info* li = ov_info(&m_vf, static_cast<int>(i));
            if (!li || li->channels != info->channels || li->rate != info->rate) break;
            const ogg_int64_t n = ov_pcm_total(&m_vf, static_cast<int>(i));
            if (n < 0) break;
            total += static_cast<std::uint64_t>(n);
        }
        m_total_frames = total;
        return true;
    }

    std::size_t read(std::int16_t* dst, std::size_t frames) override {
        const std::size_t channels = m_format.channels;
        std::size_t got = 0;
        int holes = 0;
        while (got < frames && m_pos < m_total_frames) {
            const std::size_t want = static_cast<std::size_t>(
                std::min<std::uint64_t>(frames - got, m_total_frames - m_pos));
            const int bytes = static_cast<int>(std::min<std::size_t>(want * channels * 2, 4096));
            int link = 0;
            const long n = ov_read(&m_vf, reinterpret_cast<char*>(dst + got * channels), bytes, 0,
                                   2, 1, &link);
            if (n == OV_HOLE && ++holes < 64) continue; // a gap in the data: read on
            if (n <= 0) break;
            const vorbis_info* li = ov_info(&m_vf, link);
            if (!li || static_cast<std::uint32_t>(li->channels) != m_format.channels ||
                static_cast<std::uint32_t>(li->rate) != m_format.rate)
                break; // a link of another format ends the data
            const std::size_t f = static_cast<std::size_t>(n) / (channels * 2);
            got += f;
            m_pos += f;
        }
        return got;
    }

    bool seek(std::uint64_t frame) override {
        frame = std::min(frame, m_total_frames);
        // Where reading already stands, a seek would only decode the pre-roll again.
        if (frame == m_pos && ov_pcm_tell(&m_vf) == static_cast<ogg_int64_t>(frame)) return true;
        m_pos = frame;
        return ov_pcm_seek(&m_vf, static_cast<ogg_int64_t>(m_pos)) == 0;
    }

private:
    std::unique_ptr<storage::ResourceFile> m_file;
    OggVorbis_File m_vf{};
    bool m_open = false;
    std::uint64_t m_pos = 0;
};

} // namespace

std::unique_ptr<Decoder> open_wav(std::unique_ptr<storage::ResourceFile> file, std::string& error) {
    storage::ResourceFile& f = *file;
    if (f.seek(0, 0) != 0) {
        error = "cannot be read";
        return nullptr;
    }
    std::uint8_t head[12];
    if (!read_exact(f, head, 12) || std::memcmp(head, "RIFF", 4) != 0 ||
        std::memcmp(head + 8, "WAVE", 4) != 0) {
        error = "not a RIFF WAVE file";
        return nullptr;
    }
    const std::int64_t file_size = f.size();
    std::int64_t pos = 12;
    bool have_format = false;
    SoundFormat format;
    std::uint32_t bits = 0;
    // Chunks are walked by their sizes (plus the pad byte of an odd size); "fmt " must come
    // before "data".
    while (pos + 8 <= file_size) {
        std::uint8_t chunk[8];
        if (f.seek(pos, 0) != 0 || !read_exact(f, chunk, 8)) break;
        const std::uint32_t size = le32(chunk + 4);
        const std::int64_t body = pos + 8;
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            std::uint8_t fmt[16];
            if (size < 16 || !read_exact(f, fmt, 16)) {
                error = "its format chunk is too short";
                return nullptr;
            }
            const std::uint16_t tag = le16(fmt), channels = le16(fmt + 2);
            const std::uint32_t rate = le32(fmt + 4), byte_rate = le32(fmt + 8);
            const std::uint16_t align = le16(fmt + 12);
            bits = le16(fmt + 14);
            if (tag != 1) {
                error = "only PCM WAV data is played (format tag " + std::to_string(tag) + ")";
                return nullptr;
            }
            if (channels < 1 || channels > 2 || (bits != 8 && bits != 16) || rate < 100 ||
                rate > 200000 || align != channels * bits / 8 || byte_rate != rate * align) {
                error = "unsupported or inconsistent WAV format (" + std::to_string(channels) +
                        " channels, " + std::to_string(bits) + " bits, " + std::to_string(rate) +
                        " Hz)";
                return nullptr;
            }
            format.channels = channels;
            format.rate = rate;
            have_format = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!have_format) {
                error = "its data chunk comes before the format chunk";
                return nullptr;
            }
            // The data ends at its size or at the end of the file, in whole frames.
            const std::uint32_t frame_bytes = format.channels * bits / 8;
            const std::int64_t present = std::min<std::int64_t>(size, file_size - body);
            const std::uint64_t frames = static_cast<std::uint64_t>(present) / frame_bytes;
            auto d = std::make_unique<WavDecoder>(std::move(file), format, bits, body, frames);
            d->seek(0);
            return d;
        }
        pos = body + static_cast<std::int64_t>(size) + (size & 1);
    }
    error = have_format ? "it has no data chunk" : "it has no format chunk";
    return nullptr;
}

std::unique_ptr<Decoder> open_ogg(std::unique_ptr<storage::ResourceFile> file, std::string& error) {
    if (file->seek(0, 0) != 0) {
        error = "cannot be read";
        return nullptr;
    }
    auto d = std::make_unique<OggDecoder>(std::move(file));
    if (!d->open(error)) return nullptr;
    return d;
}

std::unique_ptr<Decoder> open_decoder(std::unique_ptr<storage::ResourceFile> file,
                                      std::string& error) {
    std::uint8_t magic[4] = {};
    file->seek(0, 0);
    const bool got = read_exact(*file, magic, 4);
    if (got && std::memcmp(magic, "OggS", 4) == 0) return open_ogg(std::move(file), error);
    if (got && std::memcmp(magic, "RIFF", 4) == 0) return open_wav(std::move(file), error);
    error = "neither Ogg Vorbis nor WAV";
    return nullptr;
}

} // namespace kestrune::sound
