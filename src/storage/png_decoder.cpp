// PNG through libpng 1.6. Every colour type is accepted and converted to 8-bit BGRA:
// palettes and grey are expanded, a transparency chunk becomes alpha, 16-bit channels are
// reduced and interlaced images are de-interlaced by the library.
#include <png.h>

#include <cstdio>
#include <cstring>

#include "storage/image_loader.h"

namespace kestrune::storage {

namespace {

struct PngJob {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos;
    PixelImage image;
    bool rows_done;
    char message[200];
};

void read_bytes(png_structp png, png_bytep out, png_size_t len) {
    auto* job = static_cast<PngJob*>(png_get_io_ptr(png));
    if (len > job->size - job->pos) png_error(png, "file ends inside the image data");
    std::memcpy(out, job->data + job->pos, len);
    job->pos += len;
}

void on_error(png_structp png, png_const_charp msg) {
    auto* job = static_cast<PngJob*>(png_get_error_ptr(png));
    std::snprintf(job->message, sizeof job->message, "%s", msg);
    png_longjmp(png, 1);
}

void on_warning(png_structp, png_const_charp) {}

// The only function that holds a libpng jump point. It declares no object with a
// destructor; everything it builds lives in the job, outside this frame.
bool run_png(png_structp png, png_infop info, PngJob* job) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_read_fn(png, job, read_bytes);
    png_set_user_limits(png, k_max_image_side, k_max_image_side);
    png_set_chunk_malloc_max(png, 16u << 20);
    png_read_info(png, info);

    png_uint_32 w = 0, h = 0;
    int depth = 0, ctype = 0, interlace = 0;
    png_get_IHDR(png, info, &w, &h, &depth, &ctype, &interlace, nullptr, nullptr);
    if (!image_size_ok(w, h)) png_error(png, "image too large");

    const bool has_trns = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    const bool alpha = (ctype & PNG_COLOR_MASK_ALPHA) != 0 || has_trns;
    if (ctype == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (ctype == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
    if (has_trns) png_set_tRNS_to_alpha(png);
    if (depth == 16) png_set_scale_16(png);
    if (ctype == PNG_COLOR_TYPE_GRAY || ctype == PNG_COLOR_TYPE_GRAY_ALPHA)
        png_set_gray_to_rgb(png);
    double file_gamma = 0;
    if (png_get_gAMA(png, info, &file_gamma) && file_gamma > 0) png_set_gamma(png, 2.2, file_gamma);
    png_set_bgr(png);
    if (!alpha) png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != png_size_t(w) * 4)
        png_error(png, "unexpected row layout after conversion");

    if (!job->image.allocate(std::int32_t(w), std::int32_t(h))) png_error(png, "out of memory");
    job->image.kind = alpha ? k_kind_png_alpha : k_kind_png;
    png_read_image(png, job->image.rows.data());
    job->rows_done = true;
    png_read_end(png, nullptr);
    return true;
}

// The chunk list as the file holds it: every chunk but the image data must fit in the
// bytes that follow its header. libpng would otherwise read (and allocate for) whatever
// length a damaged header claims, up to 2 GiB, before it finds the file ends. Image data
// is left to libpng, which keeps the rows of a file cut inside its last data chunk.
const char* chunk_past_end(const std::uint8_t* data, std::size_t size) {
    std::size_t pos = 8;
    while (pos + 8 <= size) {
        const std::uint32_t length = (std::uint32_t(data[pos]) << 24) |
                                     (std::uint32_t(data[pos + 1]) << 16) |
                                     (std::uint32_t(data[pos + 2]) << 8) | data[pos + 3];
        const bool image_data = std::memcmp(data + pos + 4, "IDAT", 4) == 0;
        if (std::memcmp(data + pos + 4, "IEND", 4) == 0) return nullptr;
        if (!image_data && std::uint64_t(length) + 12 > size - pos)
            return "a chunk runs past the end of the file";
        pos += std::size_t(length) + 12;
    }
    return nullptr;
}

} // namespace

bool sniff_png(const std::uint8_t* data, std::size_t size) {
    return data && size >= 8 && png_sig_cmp(data, 0, 8) == 0;
}

bool decode_png(const std::uint8_t* data, std::size_t size, std::string_view file, PixelImage& out,
                std::string* error) {
    auto fail = [&](const char* fault) {
        if (error) *error = std::string(file) + ": invalid PNG image: " + fault;
        return false;
    };
    if (!sniff_png(data, size)) return fail("bad signature");
    if (const char* fault = chunk_past_end(data, size)) return fail(fault);
    PngJob job{data, size, 0, {}, false, {}};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &job, on_error, on_warning);
    if (!png) return fail("out of memory");
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return fail("out of memory");
    }
    bool ok = run_png(png, info, &job);
    png_destroy_read_struct(&png, &info, nullptr);
    // A file cut after the last image row (only the end chunk missing) still shows
    // every pixel; keep it.
    if (!ok && !job.rows_done) return fail(job.message[0] ? job.message : "decoding failed");
    out = std::move(job.image);
    return true;
}

} // namespace kestrune::storage
