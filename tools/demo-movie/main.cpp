// Makes the demo's movie games/demo/cg/stars.mkv: stars twinkling over the hill and a
// shooting star, 320 x 120, 12 frames a second, four seconds that loop seamlessly. The
// lower half of each frame is the mask (its green is the opacity), so that only the stars
// show over the night sky behind them.
//
//   demo-movie OUTPUT.mkv
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr int k_w = 320, k_h = 120, k_fps = 12, k_frames = 48;
constexpr double k_pi = 3.14159265358979;

struct Star {
    double x, y, size, phase, speed;
};

std::vector<Star> stars() {
    std::vector<Star> s;
    std::uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) / double(1 << 24);
    };
    for (int i = 0; i < 36; ++i)
        s.push_back({next() * k_w, next() * k_h, 0.6 + next() * 1.4, next() * 2 * k_pi,
                     1.0 + std::floor(next() * 3)});
    return s;
}

// Brightness 0..1 of the sky at (x, y) in frame n.
double light(const std::vector<Star>& s, int n, double x, double y) {
    double v = 0;
    const double t = double(n) / k_frames; // one loop is t in 0..1
    for (const Star& st : s) {
        // Whole turns per loop keep the twinkle seamless.
        const double twinkle = 0.55 + 0.45 * std::sin(st.phase + 2 * k_pi * st.speed * t);
        const double d2 = (x - st.x) * (x - st.x) + (y - st.y) * (y - st.y);
        v += twinkle * std::exp(-d2 / (st.size * st.size));
    }
    // The shooting star crosses in frames 12 to 20, with a fading tail.
    if (n >= 12 && n <= 20) {
        const double p = (n - 12) / 8.0;
        const double hx = 40 + p * 200, hy = 20 + p * 50;
        for (int k = 0; k < 12; ++k) {
            const double tx = hx - k * 5.0, ty = hy - k * 1.25;
            const double d2 = (x - tx) * (x - tx) + (y - ty) * (y - ty);
            v += (1.0 - k / 12.0) * (1.0 - p * 0.5) * std::exp(-d2 / 2.0);
        }
    }
    return std::min(1.0, v);
}

} // namespace

int main(int argc, char** argv) {
    av_log_set_level(AV_LOG_ERROR);
    if (argc != 2) {
        std::fprintf(stderr, "usage: demo-movie OUTPUT.mkv\n");
        return 2;
    }
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) codec = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
    AVFormatContext* fmt = nullptr;
    avformat_alloc_output_context2(&fmt, nullptr, "matroska", argv[1]);
    AVCodecContext* c = avcodec_alloc_context3(codec);
    c->width = k_w;
    c->height = k_h * 2;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = AVRational{1, k_fps};
    c->framerate = AVRational{k_fps, 1};
    c->gop_size = k_frames;
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(c->priv_data, "crf", "26", 0);
    av_opt_set(c->priv_data, "preset", "slow", 0);
    if (avcodec_open2(c, codec, nullptr) < 0) {
        std::fprintf(stderr, "demo-movie: the encoder refused the movie\n");
        return 1;
    }
    AVStream* st = avformat_new_stream(fmt, nullptr);
    avcodec_parameters_from_context(st->codecpar, c);
    st->time_base = c->time_base;
    if (avio_open(&fmt->pb, argv[1], AVIO_FLAG_WRITE) < 0 ||
        avformat_write_header(fmt, nullptr) < 0) {
        std::fprintf(stderr, "demo-movie: cannot write %s\n", argv[1]);
        return 1;
    }
    SwsContext* sws = sws_getContext(k_w, k_h * 2, AV_PIX_FMT_BGRA, k_w, k_h * 2,
                                     AV_PIX_FMT_YUV420P, SWS_POINT, nullptr, nullptr, nullptr);
    std::vector<std::uint8_t> bgra(std::size_t(k_w) * k_h * 2 * 4);
    AVFrame* f = av_frame_alloc();
    AVPacket* pkt = av_packet_alloc();
    auto drain = [&] {
        while (avcodec_receive_packet(c, pkt) == 0) {
            av_packet_rescale_ts(pkt, c->time_base, st->time_base);
            pkt->stream_index = st->index;
            av_interleaved_write_frame(fmt, pkt);
        }
    };
    const std::vector<Star> sky = stars();
    for (int n = 0; n < k_frames; ++n) {
        for (int y = 0; y < k_h; ++y)
            for (int x = 0; x < k_w; ++x) {
                const double v = light(sky, n, x, y);
                std::uint8_t* colour = &bgra[(std::size_t(y) * k_w + x) * 4];
                std::uint8_t* mask = &bgra[(std::size_t(y + k_h) * k_w + x) * 4];
                // Pale gold stars; the mask is their brightness.
                colour[0] = 200;
                colour[1] = 235;
                colour[2] = 255;
                colour[3] = 255;
                const auto a = static_cast<std::uint8_t>(std::lround(v * 255));
                mask[0] = mask[1] = mask[2] = a;
                mask[3] = 255;
            }
        f->format = AV_PIX_FMT_YUV420P;
        f->width = k_w;
        f->height = k_h * 2;
        av_frame_get_buffer(f, 0);
        const std::uint8_t* src[1] = {bgra.data()};
        const int src_stride[1] = {k_w * 4};
        sws_scale(sws, src, src_stride, 0, k_h * 2, f->data, f->linesize);
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
    sws_freeContext(sws);
    return 0;
}
