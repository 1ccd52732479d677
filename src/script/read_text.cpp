#include "script/read_text.h"

#include <algorithm>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>

namespace kestrune::script {

namespace {

constexpr std::size_t k_node_name_max = 259;
constexpr std::size_t k_saved_name_size = 260;
// No script file the engine loads is larger than its 2 GiB read limit.
constexpr std::uint32_t k_saved_length_max = 0x7fffffffu;

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(std::uint8_t(v >> (8 * i)));
}
std::uint32_t get_u32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}
constexpr std::uint8_t k_placeholder = 0x10; // written by the text-section scan

std::mutex g_map_mutex;
std::list<std::unique_ptr<ReadTextNode>> g_nodes;

bool is_line_end(std::uint8_t b) {
    return b == '\r' || b == '\n';
}

// Marks the line end at i (CR, and an LF after it) as read; returns the index after it.
std::size_t flag_line_end(std::vector<std::uint8_t>& flags, const std::uint8_t* t, std::size_t n,
                          std::size_t i) {
    if (i < n && t[i] == '\r') flags[i++] = 1;
    if (i < n && t[i] == '\n') flags[i++] = 1;
    return i;
}

// Fresh flags: every byte read except line ends, which start unread unless they close a
// comment (a comment is never shown to the reader, so its line counts as passed).
void initial_flags(std::vector<std::uint8_t>& flags, const std::uint8_t* t, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) flags[i] = is_line_end(t[i]) ? 0 : 1;
    bool quoted = false;
    bool line_start = true;
    std::size_t i = 0;
    while (i < n) {
        const std::uint8_t b = t[i];
        if (line_start && b == '.' && !quoted) {
            while (i < n && !is_line_end(t[i])) ++i;
            i = flag_line_end(flags, t, n, i);
            continue;
        }
        line_start = false;
        if (b >= 0x80) {
            i += 2;
            continue;
        }
        if (b == '"') {
            quoted = !quoted;
            ++i;
            continue;
        }
        if (!quoted && b == '/' && i + 1 < n && t[i + 1] == '/') {
            while (i < n && !is_line_end(t[i])) ++i;
            i = flag_line_end(flags, t, n, i);
            line_start = true;
            continue;
        }
        if (!quoted && b == '/' && i + 1 < n && t[i + 1] == '*') {
            int depth = 0;
            while (i < n) {
                if (t[i] == '/' && i + 1 < n && t[i + 1] == '*') {
                    ++depth;
                    i += 2;
                } else if (t[i] == '*' && i + 1 < n && t[i + 1] == '/') {
                    i += 2;
                    if (--depth == 0) break;
                } else {
                    ++i;
                }
            }
            const std::size_t after = flag_line_end(flags, t, n, i);
            line_start = after != i;
            i = after;
            continue;
        }
        if (is_line_end(b)) line_start = true;
        ++i;
    }
}

} // namespace

ReadTextNode* read_text_node_for(const std::string& name, std::uint8_t* text, std::size_t length,
                                 const std::vector<Placeholder>& placeholders) {
    std::lock_guard guard(g_map_mutex);
    const std::string key = name.substr(0, k_node_name_max);
    ReadTextNode* node = nullptr;
    for (auto& n : g_nodes) {
        if (n->name == key) {
            node = n.get();
            break;
        }
    }
    if (!node || node->length != length) {
        if (!node) {
            g_nodes.push_back(std::make_unique<ReadTextNode>());
            node = g_nodes.back().get();
            node->name = key;
        }
        node->length = length;
        node->flags.assign(length, 0);
        initial_flags(node->flags, text, length);
    }
    for (const Placeholder& ph : placeholders) {
        if (ph.offset >= length || text[ph.offset] != k_placeholder) continue;
        text[ph.offset] = ph.original;
        node->flags[ph.offset] = 1;
    }
    return node;
}

bool read_text_mark(ReadTextNode* node, std::size_t offset) {
    if (!node || offset >= node->length) return false;
    std::uint8_t& flag = node->flags[offset];
    if (flag) return false;
    flag = 1;
    return true;
}

void read_text_mark_range(ReadTextNode* node, std::size_t first, std::size_t last, bool read) {
    if (!node || node->length == 0 || first > last) return;
    if (last >= node->length) last = node->length - 1;
    for (std::size_t i = first; i <= last; ++i) node->flags[i] = read ? 1 : 0;
}

bool read_text_is_read(const ReadTextNode* node, std::size_t offset) {
    return node && offset < node->length && node->flags[offset] != 0;
}

bool read_text_range_read(const ReadTextNode* node, std::size_t first, std::size_t last) {
    if (!node || first > last || last >= node->length) return false;
    for (std::size_t i = first; i <= last; ++i)
        if (!node->flags[i]) return false;
    return true;
}

ReadTextNode* read_text_find(const std::string& name) {
    std::lock_guard guard(g_map_mutex);
    const std::string key = name.substr(0, k_node_name_max);
    for (auto& n : g_nodes)
        if (n->name == key) return n.get();
    return nullptr;
}

void clear_read_text_map() {
    std::lock_guard guard(g_map_mutex);
    g_nodes.clear();
}

std::vector<std::uint8_t> read_text_serialise() {
    std::lock_guard guard(g_map_mutex);
    std::vector<std::uint8_t> out;
    put_u32(out, std::uint32_t(g_nodes.size()));
    for (const auto& n : g_nodes) {
        put_u32(out, std::uint32_t(n->length));
        const std::size_t at = out.size();
        out.resize(at + k_saved_name_size, 0);
        std::memcpy(out.data() + at, n->name.data(), std::min(n->name.size(), k_node_name_max));
        out.insert(out.end(), n->flags.begin(), n->flags.end());
    }
    return out;
}

bool read_text_restore(std::span<const std::uint8_t> data, std::string& error) {
    struct Parsed {
        std::string name;
        std::size_t offset, length;
    };
    std::vector<Parsed> parsed;
    if (data.size() < 4) {
        error = "shorter than its node count";
        return false;
    }
    const std::uint32_t count = get_u32(data.data());
    // Every node takes at least its 264 header bytes, which bounds the count.
    if (count > (data.size() - 4) / (4 + k_saved_name_size)) {
        error = "node count larger than the file";
        return false;
    }
    std::size_t pos = 4;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (data.size() - pos < 4 + k_saved_name_size) {
            error = "node " + std::to_string(i) + " cut short";
            return false;
        }
        const std::uint32_t length = get_u32(data.data() + pos);
        const char* name = reinterpret_cast<const char*>(data.data() + pos + 4);
        const std::size_t name_len = strnlen(name, k_node_name_max);
        pos += 4 + k_saved_name_size;
        if (length > k_saved_length_max || length > data.size() - pos) {
            error = "node " + std::to_string(i) + " has more flags than the file holds";
            return false;
        }
        if (name_len == 0) {
            error = "node " + std::to_string(i) + " has no name";
            return false;
        }
        parsed.push_back({std::string(name, name_len), pos, length});
        pos += length;
    }
    std::lock_guard guard(g_map_mutex);
    for (const Parsed& p : parsed) {
        ReadTextNode* node = nullptr;
        for (auto& n : g_nodes)
            if (n->name == p.name) node = n.get();
        if (!node) {
            g_nodes.push_back(std::make_unique<ReadTextNode>());
            node = g_nodes.back().get();
            node->name = p.name;
        }
        const std::uint8_t* flags = data.data() + p.offset;
        node->length = p.length;
        node->flags.assign(flags, flags + p.length);
        // Any non-zero byte counts as read; keep the flags 0 or 1.
        for (auto& f : node->flags) f = f ? 1 : 0;
    }
    return true;
}

} // namespace kestrune::script
