// FFmpeg behind the movie decoder: custom I/O over the engine's byte stream, one video
// and one audio decoder, swresample to stereo float, swscale to engine pixels.
#include "platform/movie_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstring>
#include <mutex>

namespace kestrune::platform {

namespace {

constexpr int k_io_buffer = 64 * 1024;

int read_packet(void* opaque, std::uint8_t* buf, int size) {
    auto* s = static_cast<ByteStream*>(opaque);
    const std::size_t n = s->read(buf, static_cast<std::size_t>(size));
    return n == 0 ? AVERROR_EOF : static_cast<int>(n);
}

std::int64_t seek_stream(void* opaque, std::int64_t offset, int whence) {
    auto* s = static_cast<ByteStream*>(opaque);
    if (whence & AVSEEK_SIZE) return s->size();
    whence &= ~AVSEEK_FORCE;
    if (whence != SEEK_SET) {
        if (whence == SEEK_END) {
            const std::int64_t size = s->size();
            if (size < 0) return -1;
            offset += size;
        } else {
            return -1; // FFmpeg tracks the position itself and asks absolute or from the end
        }
    }
    return s->seek(offset) ? offset : -1;
}

std::string av_error_text(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

std::int64_t to_ms(std::int64_t ts, AVRational base) {
    return av_rescale_q(ts, base, AVRational{1, 1000});
}

} // namespace

void quiet_movie_library() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

// ---- frames ------------------------------------------------------------------------------

VideoFrame::VideoFrame(AVFrame* frame) : m_frame(frame) {}
VideoFrame::~VideoFrame() {
    av_frame_free(&m_frame);
}
int VideoFrame::width() const {
    return m_frame->width;
}
int VideoFrame::height() const {
    return m_frame->height;
}

// ---- decoder -----------------------------------------------------------------------------

struct MovieDecoder::Impl {
    std::unique_ptr<ByteStream> stream;
    AVIOContext* io = nullptr;
    AVFormatContext* format = nullptr;
    AVCodecContext* video = nullptr;
    AVCodecContext* audio = nullptr;
    SwrContext* resampler = nullptr;
    int video_index = -1, audio_index = -1;
    std::int64_t start_ms = 0; // the container's start time (its first timestamp)
    std::int64_t frame_ms = 40;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    bool input_ended = false;
    bool video_drained = false, audio_drained = false;
    std::string problem;

    ~Impl() {
        av_packet_free(&packet);
        av_frame_free(&frame);
        swr_free(&resampler);
        avcodec_free_context(&video);
        avcodec_free_context(&audio);
        if (format) avformat_close_input(&format);
        if (io) {
            av_freep(&io->buffer);
            avio_context_free(&io);
        }
    }

    void note(const std::string& text) {
        if (problem.empty()) problem = text;
    }

    AVCodecContext* open_codec(int index, std::string& error) {
        AVStream* st = format->streams[index];
        const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
        if (!codec) {
            error = std::string("no decoder for its ") +
                    av_get_media_type_string(st->codecpar->codec_type) + " codec " +
                    avcodec_get_name(st->codecpar->codec_id);
            return nullptr;
        }
        AVCodecContext* c = avcodec_alloc_context3(codec);
        if (!c) return nullptr;
        avcodec_parameters_to_context(c, st->codecpar);
        c->pkt_timebase = st->time_base;
        // One thread: the movie's own decoder thread does the work, so that a stepped run
        // decodes in the same order every time and a movie costs one core at most.
        c->thread_count = 1;
        const int r = avcodec_open2(c, codec, nullptr);
        if (r < 0) {
            error = "its decoder refused it (" + av_error_text(r) + ")";
            avcodec_free_context(&c);
            return nullptr;
        }
        return c;
    }

    bool open_resampler() {
        AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
        AVChannelLayout in = audio->ch_layout;
        if (in.order == AV_CHANNEL_ORDER_UNSPEC || in.nb_channels <= 0)
            av_channel_layout_default(&in, std::max(1, audio->ch_layout.nb_channels));
        const int r =
            swr_alloc_set_opts2(&resampler, &stereo, AV_SAMPLE_FMT_FLT, audio->sample_rate, &in,
                                audio->sample_fmt, audio->sample_rate, 0, nullptr);
        return r >= 0 && swr_init(resampler) >= 0;
    }

    std::int64_t frame_time(const AVFrame* f, AVRational base) const {
        std::int64_t ts = f->best_effort_timestamp;
        if (ts == AV_NOPTS_VALUE) ts = f->pts;
        if (ts == AV_NOPTS_VALUE) return -1;
        return to_ms(ts, base) - start_ms;
    }

    // Takes one decoded frame out of a codec, if any: true with `out` filled.
    bool receive(bool want_video, DecodedItem& out) {
        AVCodecContext* c = want_video ? video : audio;
        if (!c) return false;
        const int r = avcodec_receive_frame(c, frame);
        if (r == AVERROR_EOF) {
            (want_video ? video_drained : audio_drained) = true;
            return false;
        }
        if (r < 0) return false; // EAGAIN: it wants more input
        AVStream* st = format->streams[want_video ? video_index : audio_index];
        if (want_video) {
            AVFrame* kept = av_frame_clone(frame);
            av_frame_unref(frame);
            if (!kept) return false;
            auto vf = std::make_unique<VideoFrame>(kept);
            vf->pts_ms = frame_time(kept, st->time_base);
            const std::int64_t d = to_ms(kept->pkt_duration, st->time_base);
            vf->duration_ms = std::max<std::int64_t>(1, d > 0 ? d : frame_ms);
            out.kind = DecodedItem::Kind::video;
            out.frame = std::move(vf);
            return true;
        }
        out.kind = DecodedItem::Kind::audio;
        out.pts_ms = frame_time(frame, st->time_base);
        const int max_out = swr_get_out_samples(resampler, frame->nb_samples);
        out.samples.assign(static_cast<std::size_t>(std::max(0, max_out)) * 2, 0.0f);
        auto* dst = reinterpret_cast<std::uint8_t*>(out.samples.data());
        const int n =
            swr_convert(resampler, &dst, max_out,
                        const_cast<const std::uint8_t**>(frame->extended_data), frame->nb_samples);
        av_frame_unref(frame);
        out.samples.resize(static_cast<std::size_t>(std::max(0, n)) * 2);
        return true;
    }
};

MovieDecoder::MovieDecoder() : m_impl(std::make_unique<Impl>()) {}
MovieDecoder::~MovieDecoder() = default;

std::unique_ptr<MovieDecoder> MovieDecoder::open(std::unique_ptr<ByteStream> stream,
                                                 std::string& error) {
    quiet_movie_library();
    std::unique_ptr<MovieDecoder> d(new MovieDecoder());
    Impl& m = *d->m_impl;
    m.stream = std::move(stream);
    auto* buffer = static_cast<std::uint8_t*>(av_malloc(k_io_buffer));
    if (!buffer) {
        error = "out of memory";
        return nullptr;
    }
    m.io = avio_alloc_context(buffer, k_io_buffer, 0, m.stream.get(), read_packet, nullptr,
                              seek_stream);
    m.format = avformat_alloc_context();
    if (!m.io || !m.format) {
        if (!m.io) av_free(buffer);
        error = "out of memory";
        return nullptr;
    }
    m.format->pb = m.io;
    m.format->flags |= AVFMT_FLAG_CUSTOM_IO;
    int r = avformat_open_input(&m.format, nullptr, nullptr, nullptr);
    if (r < 0) {
        m.format = nullptr; // freed by the failed open
        error = "not a movie format the decoder knows (" + av_error_text(r) + ")";
        return nullptr;
    }
    r = avformat_find_stream_info(m.format, nullptr);
    if (r < 0) {
        error = "its streams could not be read (" + av_error_text(r) + ")";
        return nullptr;
    }
    m.video_index = av_find_best_stream(m.format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (m.video_index < 0) {
        error = "it holds no video stream";
        return nullptr;
    }
    m.video = m.open_codec(m.video_index, error);
    if (!m.video) return nullptr;
    if (m.video->width <= 0 || m.video->height <= 0 || m.video->width > 16384 ||
        m.video->height > 16384) {
        error = "its picture size " + std::to_string(m.video->width) + " x " +
                std::to_string(m.video->height) + " is out of range";
        return nullptr;
    }
    AVStream* vs = m.format->streams[m.video_index];
    const AVRational rate = av_guess_frame_rate(m.format, vs, nullptr);
    if (rate.num > 0 && rate.den > 0)
        m.frame_ms = std::max<std::int64_t>(1, av_rescale(1000, rate.den, rate.num));
    m.audio_index =
        av_find_best_stream(m.format, AVMEDIA_TYPE_AUDIO, -1, m.video_index, nullptr, 0);
    if (m.audio_index >= 0) {
        std::string audio_error;
        m.audio = m.open_codec(m.audio_index, audio_error);
        if (m.audio && !m.open_resampler()) avcodec_free_context(&m.audio);
        if (!m.audio) {
            m.audio_index = -1;
            m.note("its sound cannot be played" +
                   (audio_error.empty() ? std::string() : " (" + audio_error + ")"));
        }
    }
    if (m.format->start_time != AV_NOPTS_VALUE)
        m.start_ms = av_rescale(m.format->start_time, 1000, AV_TIME_BASE);
    m.packet = av_packet_alloc();
    m.frame = av_frame_alloc();
    if (!m.packet || !m.frame) {
        error = "out of memory";
        return nullptr;
    }
    return d;
}

int MovieDecoder::width() const {
    return m_impl->video->width;
}
int MovieDecoder::height() const {
    return m_impl->video->height;
}
std::int64_t MovieDecoder::duration_ms() const {
    // The pictures' own length where the container gives one (a sound track may run on).
    const AVStream* vs = m_impl->format->streams[m_impl->video_index];
    if (vs->duration > 0) return to_ms(vs->duration, vs->time_base);
    const AVFormatContext* f = m_impl->format;
    return f->duration > 0 ? av_rescale(f->duration, 1000, AV_TIME_BASE) : 0;
}
bool MovieDecoder::has_audio() const {
    return m_impl->audio != nullptr;
}
std::uint32_t MovieDecoder::audio_rate() const {
    return m_impl->audio ? static_cast<std::uint32_t>(m_impl->audio->sample_rate) : 0;
}
const std::string& MovieDecoder::problem() const {
    return m_impl->problem;
}

DecodedItem MovieDecoder::next() {
    Impl& m = *m_impl;
    DecodedItem item;
    for (int guard = 0; guard < 100000; ++guard) {
        if (m.receive(true, item) || m.receive(false, item)) return item;
        if (m.input_ended) {
            if (m.video_drained && (!m.audio || m.audio_drained)) {
                item.kind = DecodedItem::Kind::end;
                return item;
            }
            continue; // the drained decoders say so on the next receive
        }
        const int r = av_read_frame(m.format, m.packet);
        if (r < 0) {
            if (r != AVERROR_EOF) m.note("its data breaks off (" + av_error_text(r) + ")");
            m.input_ended = true;
            avcodec_send_packet(m.video, nullptr);
            if (m.audio) avcodec_send_packet(m.audio, nullptr);
            continue;
        }
        AVCodecContext* c = m.packet->stream_index == m.video_index   ? m.video
                            : m.packet->stream_index == m.audio_index ? m.audio
                                                                      : nullptr;
        if (c) {
            const int s = avcodec_send_packet(c, m.packet);
            if (s < 0 && s != AVERROR(EAGAIN))
                m.note("damaged data near " +
                       std::to_string(
                           m.packet->pts == AV_NOPTS_VALUE
                               ? 0
                               : to_ms(m.packet->pts,
                                       m.format->streams[m.packet->stream_index]->time_base) -
                                     m.start_ms) +
                       " ms was skipped");
        }
        av_packet_unref(m.packet);
    }
    item.kind = DecodedItem::Kind::failed;
    m.note("the decoder stopped making progress");
    return item;
}

bool MovieDecoder::seek(std::int64_t ms) {
    Impl& m = *m_impl;
    const std::int64_t target =
        av_rescale(std::max<std::int64_t>(0, ms) + m.start_ms, AV_TIME_BASE, 1000);
    int r = avformat_seek_file(m.format, -1, INT64_MIN, target, target, 0);
    if (r < 0) r = av_seek_frame(m.format, -1, target, AVSEEK_FLAG_BACKWARD);
    if (r < 0) {
        // Formats without an index: read again from the start.
        r = avformat_seek_file(m.format, -1, INT64_MIN, 0, INT64_MAX, AVSEEK_FLAG_BYTE);
    }
    avcodec_flush_buffers(m.video);
    if (m.audio) avcodec_flush_buffers(m.audio);
    if (m.resampler) swr_init(m.resampler);
    m.input_ended = false;
    m.video_drained = m.audio_drained = false;
    return r >= 0;
}

// ---- conversion --------------------------------------------------------------------------

struct FrameConverter::Impl {
    SwsContext* sws = nullptr;
    std::vector<std::uint8_t> scratch; // alpha movies: the whole frame before the split
    ~Impl() { sws_freeContext(sws); }
};

FrameConverter::FrameConverter() : m_impl(std::make_unique<Impl>()) {}
FrameConverter::~FrameConverter() = default;

bool FrameConverter::convert(const VideoFrame& vf, std::uint8_t* rows, int stride, int width,
                             int height, bool alpha) {
    const AVFrame* f = vf.frame();
    if (!f || f->width <= 0 || f->height <= 0 || width <= 0 || height <= 0) return false;
    if (alpha && f->height < 2) return false;
    Impl& m = *m_impl;
    // With alpha the whole frame is scaled to twice the target height, so that its lower
    // half lines up with the upper one row for row.
    const int out_h = alpha ? height * 2 : height;
    m.sws =
        sws_getCachedContext(m.sws, f->width, f->height, static_cast<AVPixelFormat>(f->format),
                             width, out_h, AV_PIX_FMT_BGRA, SWS_POINT, nullptr, nullptr, nullptr);
    if (!m.sws) return false;
    if (!alpha) {
        std::uint8_t* dst[4] = {rows, nullptr, nullptr, nullptr};
        const int dst_stride[4] = {stride, 0, 0, 0};
        return sws_scale(m.sws, f->data, f->linesize, 0, f->height, dst, dst_stride) == height;
    }
    const std::size_t row_bytes = static_cast<std::size_t>(width) * 4;
    m.scratch.resize(row_bytes * static_cast<std::size_t>(out_h) + k_row_slack);
    std::uint8_t* dst[4] = {m.scratch.data(), nullptr, nullptr, nullptr};
    const int dst_stride[4] = {static_cast<int>(row_bytes), 0, 0, 0};
    if (sws_scale(m.sws, f->data, f->linesize, 0, f->height, dst, dst_stride) != out_h)
        return false;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* colour = m.scratch.data() + row_bytes * static_cast<std::size_t>(y);
        const std::uint8_t* mask =
            m.scratch.data() + row_bytes * static_cast<std::size_t>(y + height);
        std::uint8_t* out = rows + static_cast<std::ptrdiff_t>(stride) * y;
        for (int x = 0; x < width; ++x) {
            out[x * 4 + 0] = colour[x * 4 + 0];
            out[x * 4 + 1] = colour[x * 4 + 1];
            out[x * 4 + 2] = colour[x * 4 + 2];
            out[x * 4 + 3] = mask[x * 4 + 1];
        }
    }
    return true;
}

} // namespace kestrune::platform
