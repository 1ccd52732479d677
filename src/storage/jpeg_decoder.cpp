// JPEG through libjpeg(-turbo). The library reports fatal errors through error_exit,
// which must not return; ours jumps back into run_jpeg, the one function holding the jump
// point, so a damaged file fails the load instead of ending the program.
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
// jpeglib.h needs size_t and FILE declared first.
#include <jerror.h>
#include <jpeglib.h>

#include "storage/image_loader.h"

namespace kestrune::storage {

namespace {

struct JpegJob {
    jpeg_error_mgr mgr; // first: libjpeg hands back a pointer to it
    std::jmp_buf jump;
    const std::uint8_t* data;
    std::size_t size;
    PixelImage image;
    bool truncated;
    char message[JMSG_LENGTH_MAX];
};

void on_error_exit(j_common_ptr cinfo) {
    auto* job = reinterpret_cast<JpegJob*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, job->message);
    std::longjmp(job->jump, 1);
}

void on_message(j_common_ptr cinfo, int level) {
    // Warnings (level -1) are not printed; running out of data is remembered, since the
    // library then pads the image with grey and carries on.
    if (level < 0) {
        auto* job = reinterpret_cast<JpegJob*>(cinfo->err);
        if (cinfo->err->msg_code == JWRN_JPEG_EOF) job->truncated = true;
        cinfo->err->num_warnings++;
    }
}

bool run_jpeg(jpeg_decompress_struct* cinfo, JpegJob* job, const char** fault) {
    if (setjmp(job->jump)) return false;
    jpeg_mem_src(cinfo, job->data, static_cast<unsigned long>(job->size));
    jpeg_read_header(cinfo, TRUE);
    if (cinfo->num_components != 1 && cinfo->num_components != 3) {
        *fault = "only colour and grey images are supported";
        return false;
    }
    if (!image_size_ok(cinfo->image_width, cinfo->image_height)) {
        *fault = "image too large";
        return false;
    }
    // The library writes the engine's own pixel order straight into the image, grey
    // included, and fills the fourth byte with 255; every byte of every row is written, so
    // the picture is not cleared first.
    cinfo->out_color_space = JCS_EXT_BGRA;
    jpeg_start_decompress(cinfo);
    PixelImage& image = job->image;
    if (cinfo->output_components != 4 ||
        !image.allocate_for_overwrite(std::int32_t(cinfo->output_width),
                                      std::int32_t(cinfo->output_height))) {
        *fault = "unexpected output layout";
        return false;
    }
    image.kind = k_kind_jpeg;
    // All remaining rows are offered at once: the library returns as many as one pass of
    // its output makes, without an extra copy for a single row.
    while (cinfo->output_scanline < cinfo->output_height && !job->truncated) {
        const std::int32_t y = std::int32_t(cinfo->output_scanline);
        if (jpeg_read_scanlines(cinfo, image.rows.data() + y, JDIMENSION(image.height - y)) == 0)
            break;
    }
    if (job->truncated) {
        *fault = "file ends inside the image data";
        return false;
    }
    // Rows the library did not deliver stay blank rather than unset.
    const std::int32_t delivered = std::int32_t(cinfo->output_scanline);
    if (delivered < image.height)
        std::fill(image.row(delivered), image.pixels.data() + image.pixels.size(), std::uint8_t{0});
    jpeg_finish_decompress(cinfo);
    return !job->truncated;
}

} // namespace

bool sniff_jpeg(const std::uint8_t* data, std::size_t size) {
    return data && size >= 11 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF;
}

bool decode_jpeg(const std::uint8_t* data, std::size_t size, std::string_view file, PixelImage& out,
                 std::string* error) {
    auto fail = [&](const char* fault) {
        if (error) *error = std::string(file) + ": invalid JPEG image: " + fault;
        return false;
    };
    if (!sniff_jpeg(data, size)) return fail("bad signature");
    JpegJob job{};
    job.data = data;
    job.size = size;
    jpeg_decompress_struct cinfo{};
    cinfo.err = jpeg_std_error(&job.mgr);
    job.mgr.error_exit = on_error_exit;
    job.mgr.emit_message = on_message;
    jpeg_create_decompress(&cinfo);
    const char* fault = nullptr;
    const bool ok = run_jpeg(&cinfo, &job, &fault);
    jpeg_destroy_decompress(&cinfo);
    if (!ok) return fail(fault ? fault : job.message[0] ? job.message : "decoding failed");
    out = std::move(job.image);
    return true;
}

} // namespace kestrune::storage
