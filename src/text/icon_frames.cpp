// Frame-list values of the text icon: "pattern#N", a file-name pattern with one integer
// conversion and a frame count. The pattern is taken apart here and formatted by hand:
// it comes from a script variable or the settings file, so it is never given to a
// printf-style formatter.
#include "text/icons.h"

#include <charconv>

namespace kestrune::text {

namespace {

// Longest file name a pattern may produce (the path buffer of the settings readers).
constexpr std::size_t k_max_name = 259;

} // namespace

std::string IconPattern::name(int index) const {
    std::string out = before;
    if (has_conversion) {
        const std::string digits = std::to_string(index);
        if (static_cast<int>(digits.size()) < width)
            out.append(static_cast<std::size_t>(width) - digits.size(), zero_pad ? '0' : ' ');
        out += digits;
    }
    out += after;
    return out;
}

bool parse_icon_pattern(std::string_view value, IconPattern& out, std::string& error) {
    const std::size_t hash = value.rfind('#');
    if (hash == std::string_view::npos) {
        error = "no \"#\" and frame count after the file pattern";
        return false;
    }
    const std::string_view count_text = value.substr(hash + 1);
    int count = 0;
    const char* end = count_text.data() + count_text.size();
    auto [p, ec] = std::from_chars(count_text.data(), end, count);
    if (count_text.empty() || ec != std::errc() || p != end || count_text[0] == '-' ||
        count_text[0] == '+') {
        error = "the frame count after \"#\" is not a number";
        return false;
    }
    if (count > k_max_icon_frames) {
        error = "a frame count above " + std::to_string(k_max_icon_frames) + " is refused";
        return false;
    }
    const std::string_view pattern = value.substr(0, hash);
    if (pattern.empty()) {
        error = "the file pattern is empty";
        return false;
    }

    IconPattern r;
    r.count = count;
    std::string* part = &r.before;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c != '%') {
            *part += c;
            continue;
        }
        std::size_t j = i + 1;
        if (j < pattern.size() && pattern[j] == '%') {
            *part += '%';
            i = j;
            continue;
        }
        if (r.has_conversion) {
            error = "the file pattern holds more than one conversion";
            return false;
        }
        bool zero = false;
        if (j < pattern.size() && pattern[j] == '0') {
            zero = true;
            ++j;
        }
        int width = 0, digits = 0;
        while (j < pattern.size() && pattern[j] >= '0' && pattern[j] <= '9' && digits < 3) {
            width = width * 10 + (pattern[j] - '0');
            ++j;
            ++digits;
        }
        if (digits > 2 || j >= pattern.size() ||
            (pattern[j] != 'd' && pattern[j] != 'i' && pattern[j] != 'u')) {
            error = "only one integer conversion (%d, %02d, %03d ...) is allowed in the file "
                    "pattern";
            return false;
        }
        r.has_conversion = true;
        r.zero_pad = zero;
        r.width = width;
        part = &r.after;
        i = j;
    }
    if (r.name(count).size() > k_max_name) {
        error = "the file names made from the pattern are too long";
        return false;
    }
    out = std::move(r);
    return true;
}

std::vector<std::shared_ptr<PixelImage>> load_icon_frames(const IconPattern& pattern,
                                                          const IconImageLoader& load) {
    std::vector<std::shared_ptr<PixelImage>> frames;
    for (int i = 0; i <= pattern.count && static_cast<int>(frames.size()) < pattern.count; ++i) {
        std::shared_ptr<PixelImage> image = load(pattern.name(i));
        if (image && !image->empty()) frames.push_back(std::move(image));
    }
    return frames;
}

} // namespace kestrune::text
