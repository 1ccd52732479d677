// The input is one png image file.
#include "storage/image_loader.h"

using namespace kestrune;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    PixelImage image;
    std::string error;
    if (storage::decode_png(data, size, "fuzz.png", image, &error)) {
        // Touch the last pixel: the image must be as large as it claims.
        volatile std::uint32_t last = image.row32(image.height - 1)[image.width - 1];
        (void)last;
    }
    return 0;
}
