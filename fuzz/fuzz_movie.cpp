// The input is a whole movie file: the decoder reads it through its byte stream, decodes
// every picture and sound block, and converts each picture (with and without a mask half).
#include <cstring>
#include <memory>

#include "platform/movie_decoder.h"

using namespace kestrune;

namespace {

class MemoryStream : public platform::ByteStream {
public:
    MemoryStream(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    std::size_t read(void* dst, std::size_t bytes) override {
        const std::size_t n = std::min(bytes, m_size - m_pos);
        std::memcpy(dst, m_data + m_pos, n);
        m_pos += n;
        return n;
    }
    bool seek(std::int64_t position) override {
        if (position < 0 || static_cast<std::size_t>(position) > m_size) return false;
        m_pos = static_cast<std::size_t>(position);
        return true;
    }
    std::int64_t size() override { return static_cast<std::int64_t>(m_size); }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string error;
    auto d = platform::MovieDecoder::open(std::make_unique<MemoryStream>(data, size), error);
    if (!d) return 0;
    // Small targets keep each run quick; odd sizes check that rows never run over.
    constexpr int k_w = 17, k_h = 9;
    std::vector<std::uint8_t> pixels(k_w * 4 * k_h + platform::k_row_slack);
    platform::FrameConverter conv;
    for (int i = 0; i < 64; ++i) {
        platform::DecodedItem item = d->next();
        if (item.kind == platform::DecodedItem::Kind::video) {
            conv.convert(*item.frame, pixels.data(), k_w * 4, k_w, k_h, (i & 1) != 0);
        } else if (item.kind != platform::DecodedItem::Kind::audio) {
            break;
        }
        if (i == 8) d->seek(0);
    }
    return 0;
}
