// Decoding and converting a 1024 x 576, 30 fps clip to engine pixels: the engine's movie
// decoder (custom I/O over a byte stream, one decoder thread's worth of work) and its frame
// converter, beside bare libavformat + libavcodec decoding and sws_scale to BGRA on the
// same file. Both decode on one thread.
//
// Counter "fps": frames decoded and converted per second of CPU; real time needs 30.
#include <benchmark/benchmark.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/movie_decoder.h"

namespace {

using namespace kestrune;

constexpr int k_width = 1024, k_height = 576, k_fps = 30, k_frames = 90;

std::string g_codec_name;

// Encodes the clip once: a moving gradient with detail, in the first of H.264, VP9,
// Theora or MPEG-4 that this FFmpeg can encode.
std::string clip_path() {
    static const std::string path = [] {
        const std::string p =
            (std::filesystem::temp_directory_path() / "kestrune_movie_bench.mkv").string();
        const AVCodec* codec = nullptr;
        for (const char* name : {"libx264", "libvpx-vp9", "libtheora", "mpeg4"})
            if ((codec = avcodec_find_encoder_by_name(name))) {
                g_codec_name = name;
                break;
            }
        if (!codec) return std::string();
        AVFormatContext* fmt = nullptr;
        avformat_alloc_output_context2(&fmt, nullptr, "matroska", p.c_str());
        AVCodecContext* c = avcodec_alloc_context3(codec);
        c->width = k_width;
        c->height = k_height;
        c->pix_fmt = AV_PIX_FMT_YUV420P;
        c->time_base = AVRational{1, k_fps};
        c->framerate = AVRational{k_fps, 1};
        c->bit_rate = 2000000;
        c->gop_size = 30;
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (avcodec_open2(c, codec, nullptr) < 0) return std::string();
        AVStream* st = avformat_new_stream(fmt, nullptr);
        avcodec_parameters_from_context(st->codecpar, c);
        st->time_base = c->time_base;
        avio_open(&fmt->pb, p.c_str(), AVIO_FLAG_WRITE);
        if (avformat_write_header(fmt, nullptr) < 0) return std::string();
        AVFrame* f = av_frame_alloc();
        AVPacket* pkt = av_packet_alloc();
        auto drain = [&] {
            while (avcodec_receive_packet(c, pkt) == 0) {
                av_packet_rescale_ts(pkt, c->time_base, st->time_base);
                pkt->stream_index = st->index;
                av_interleaved_write_frame(fmt, pkt);
            }
        };
        for (int n = 0; n < k_frames; ++n) {
            f->format = AV_PIX_FMT_YUV420P;
            f->width = k_width;
            f->height = k_height;
            av_frame_get_buffer(f, 0);
            for (int y = 0; y < k_height; ++y)
                for (int x = 0; x < k_width; ++x)
                    f->data[0][y * f->linesize[0] + x] =
                        static_cast<std::uint8_t>(x + y + n * 4 + ((x ^ y) & 15));
            for (int y = 0; y < k_height / 2; ++y)
                for (int x = 0; x < k_width / 2; ++x) {
                    f->data[1][y * f->linesize[1] + x] = static_cast<std::uint8_t>(128 + x / 8 - n);
                    f->data[2][y * f->linesize[2] + x] = static_cast<std::uint8_t>(128 + y / 8 + n);
                }
            f->pts = n;
            avcodec_send_frame(c, f);
            av_frame_unref(f);
            drain();
        }
        avcodec_send_frame(c, nullptr);
        drain();
        av_write_trailer(fmt);
        avio_closep(&fmt->pb);
        avformat_free_context(fmt);
        avcodec_free_context(&c);
        av_frame_free(&f);
        av_packet_free(&pkt);
        return p;
    }();
    return path;
}

class FileStream : public platform::ByteStream {
public:
    explicit FileStream(const std::string& p) : m_in(p, std::ios::binary), m_path(p) {}
    std::size_t read(void* dst, std::size_t bytes) override {
        m_in.read(static_cast<char*>(dst), static_cast<std::streamsize>(bytes));
        return static_cast<std::size_t>(m_in.gcount());
    }
    bool seek(std::int64_t position) override {
        m_in.clear();
        m_in.seekg(position);
        return static_cast<bool>(m_in);
    }
    std::int64_t size() override {
        return static_cast<std::int64_t>(std::filesystem::file_size(m_path));
    }

private:
    std::ifstream m_in;
    std::string m_path;
};

void BM_EngineMovie(benchmark::State& state) {
    const std::string path = clip_path();
    if (path.empty()) {
        state.SkipWithError("no video encoder");
        return;
    }
    // Engine pixels: rows of 32-bit pixels with a little room after the last one.
    std::vector<std::uint8_t> pixels(std::size_t(k_width) * 4 * k_height + platform::k_row_slack);
    std::int64_t frames = 0;
    for (auto _ : state) {
        std::string error;
        auto d = platform::MovieDecoder::open(std::make_unique<FileStream>(path), error);
        platform::FrameConverter conv;
        for (;;) {
            platform::DecodedItem item = d->next();
            if (item.kind != platform::DecodedItem::Kind::video) break;
            conv.convert(*item.frame, pixels.data(), k_width * 4, k_width, k_height, false);
            ++frames;
        }
    }
    state.counters["fps"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
    state.SetLabel(g_codec_name);
}

void BM_BareFFmpeg(benchmark::State& state) {
    const std::string path = clip_path();
    if (path.empty()) {
        state.SkipWithError("no video encoder");
        return;
    }
    std::vector<std::uint8_t> pixels(std::size_t(k_width) * 4 * k_height + 64);
    std::int64_t frames = 0;
    for (auto _ : state) {
        AVFormatContext* fmt = nullptr;
        avformat_open_input(&fmt, path.c_str(), nullptr, nullptr);
        avformat_find_stream_info(fmt, nullptr);
        const int vi = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        const AVCodec* codec = avcodec_find_decoder(fmt->streams[vi]->codecpar->codec_id);
        AVCodecContext* c = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(c, fmt->streams[vi]->codecpar);
        c->thread_count = 1;
        avcodec_open2(c, codec, nullptr);
        AVPacket* pkt = av_packet_alloc();
        AVFrame* f = av_frame_alloc();
        SwsContext* sws = nullptr;
        auto receive = [&] {
            while (avcodec_receive_frame(c, f) == 0) {
                sws = sws_getCachedContext(sws, f->width, f->height,
                                           static_cast<AVPixelFormat>(f->format), k_width, k_height,
                                           AV_PIX_FMT_BGRA, SWS_POINT, nullptr, nullptr, nullptr);
                std::uint8_t* dst[4] = {pixels.data(), nullptr, nullptr, nullptr};
                const int stride[4] = {k_width * 4, 0, 0, 0};
                sws_scale(sws, f->data, f->linesize, 0, f->height, dst, stride);
                av_frame_unref(f);
                ++frames;
            }
        };
        while (av_read_frame(fmt, pkt) >= 0) {
            if (pkt->stream_index == vi) {
                avcodec_send_packet(c, pkt);
                receive();
            }
            av_packet_unref(pkt);
        }
        avcodec_send_packet(c, nullptr);
        receive();
        sws_freeContext(sws);
        av_frame_free(&f);
        av_packet_free(&pkt);
        avcodec_free_context(&c);
        avformat_close_input(&fmt);
    }
    state.counters["fps"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
    state.SetLabel(g_codec_name);
}

BENCHMARK(BM_EngineMovie)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_BareFFmpeg)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

} // namespace

BENCHMARK_MAIN();
