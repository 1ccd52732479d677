#include "movie_clips.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <gtest/gtest.h>

namespace kestrune::testing {

namespace {

struct Writer {
    AVFormatContext* format = nullptr;
    AVCodecContext* video = nullptr;
    AVCodecContext* audio = nullptr;
    AVStream* vs = nullptr;
    AVStream* as = nullptr;
    AVPacket* packet = av_packet_alloc();
    ~Writer() {
        av_packet_free(&packet);
        avcodec_free_context(&video);
        avcodec_free_context(&audio);
        if (format) {
            if (format->pb) avio_closep(&format->pb);
            avformat_free_context(format);
        }
    }
    bool drain(AVCodecContext* c, AVStream* s) {
        for (;;) {
            const int r = avcodec_receive_packet(c, packet);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
            if (r < 0) return false;
            av_packet_rescale_ts(packet, c->time_base, s->time_base);
            packet->stream_index = s->index;
            if (av_interleaved_write_frame(format, packet) < 0) return false;
        }
    }
};

} // namespace

bool write_clip(const std::string& path, const ClipSpec& spec) {
    Writer w;
    if (avformat_alloc_output_context2(&w.format, nullptr, "matroska", path.c_str()) < 0) {
        ADD_FAILURE() << "no matroska muxer";
        return false;
    }
    const AVCodec* ffv1 = avcodec_find_encoder(AV_CODEC_ID_FFV1);
    if (!ffv1) {
        ADD_FAILURE() << "no FFV1 encoder";
        return false;
    }
    w.video = avcodec_alloc_context3(ffv1);
    w.video->width = spec.width;
    w.video->height = spec.height;
    w.video->pix_fmt = AV_PIX_FMT_0RGB32;
    w.video->time_base = AVRational{1, spec.fps};
    w.video->framerate = AVRational{spec.fps, 1};
    w.video->thread_count = 1;
    // Version 3 with slice checksums: a damaged slice is found, not shown as noise.
    w.video->level = 3;
    av_opt_set_int(w.video->priv_data, "slicecrc", 1, 0);
    if (w.format->oformat->flags & AVFMT_GLOBALHEADER)
        w.video->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(w.video, ffv1, nullptr) < 0) {
        ADD_FAILURE() << "FFV1 refused the clip";
        return false;
    }
    w.vs = avformat_new_stream(w.format, nullptr);
    avcodec_parameters_from_context(w.vs->codecpar, w.video);
    w.vs->time_base = w.video->time_base;
    constexpr int k_rate = 44100;
    if (spec.tone_amplitude) {
        const AVCodec* pcm = avcodec_find_encoder(AV_CODEC_ID_PCM_S16LE);
        w.audio = avcodec_alloc_context3(pcm);
        w.audio->sample_fmt = AV_SAMPLE_FMT_S16;
        w.audio->sample_rate = k_rate;
        AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
        av_channel_layout_copy(&w.audio->ch_layout, &stereo);
        w.audio->time_base = AVRational{1, k_rate};
        if (avcodec_open2(w.audio, pcm, nullptr) < 0) {
            ADD_FAILURE() << "PCM refused";
            return false;
        }
        w.as = avformat_new_stream(w.format, nullptr);
        avcodec_parameters_from_context(w.as->codecpar, w.audio);
        w.as->time_base = w.audio->time_base;
    }
    if (avio_open(&w.format->pb, path.c_str(), AVIO_FLAG_WRITE) < 0 ||
        avformat_write_header(w.format, nullptr) < 0) {
        ADD_FAILURE() << "cannot write " << path;
        return false;
    }
    AVFrame* frame = av_frame_alloc();
    const int samples_per_frame = k_rate / spec.fps;
    std::int64_t sample_pos = 0;
    for (int n = 0; n < spec.frames; ++n) {
        frame->format = AV_PIX_FMT_0RGB32;
        frame->width = spec.width;
        frame->height = spec.height;
        av_frame_get_buffer(frame, 0);
        for (int y = 0; y < spec.height; ++y) {
            auto* row = reinterpret_cast<std::uint32_t*>(frame->data[0] + y * frame->linesize[0]);
            for (int x = 0; x < spec.width; ++x) row[x] = spec.colour(n, x, y) & 0xFFFFFF;
        }
        frame->pts = n;
        avcodec_send_frame(w.video, frame);
        av_frame_unref(frame);
        if (!w.drain(w.video, w.vs)) break;
        if (w.audio) {
            frame->format = AV_SAMPLE_FMT_S16;
            frame->sample_rate = k_rate;
            AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
            av_channel_layout_copy(&frame->ch_layout, &stereo);
            frame->nb_samples = samples_per_frame;
            av_frame_get_buffer(frame, 0);
            auto* s = reinterpret_cast<std::int16_t*>(frame->data[0]);
            for (int i = 0; i < samples_per_frame; ++i) {
                const auto v = static_cast<std::int16_t>(
                    ((sample_pos + i) / 50) % 2 ? spec.tone_amplitude : -spec.tone_amplitude);
                s[i * 2] = s[i * 2 + 1] = v;
            }
            frame->pts = sample_pos;
            sample_pos += samples_per_frame;
            avcodec_send_frame(w.audio, frame);
            av_frame_unref(frame);
            if (!w.drain(w.audio, w.as)) break;
        }
    }
    av_frame_free(&frame);
    avcodec_send_frame(w.video, nullptr);
    w.drain(w.video, w.vs);
    if (w.audio) {
        avcodec_send_frame(w.audio, nullptr);
        w.drain(w.audio, w.as);
    }
    const bool ok = av_write_trailer(w.format) >= 0;
    EXPECT_TRUE(ok) << path;
    return ok;
}

} // namespace kestrune::testing
