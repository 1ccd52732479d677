// Little-endian byte writing and bounded reading for the engine's save blocks.
//
// A SaveReader never reads past the end it was given: every read checks the bytes left,
// and the first short or out-of-range read puts the reader in the failed state, in which
// every further read returns zeros. A parser reads all its fields and checks ok() once per
// record (or where a count decides how much follows), so that damaged save files are
// refused instead of read past their end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::storage {

inline constexpr std::uint32_t k_save_block_tag = 0xF1F122C4u;

class SaveWriter {
public:
    void u8(std::uint8_t v) { m_out.push_back(v); }
    void u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) m_out.push_back(std::uint8_t(v >> (8 * i)));
    }
    void i32(std::int32_t v) { u32(std::uint32_t(v)); }
    void f64(double v) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, 8);
        u32(std::uint32_t(bits));
        u32(std::uint32_t(bits >> 32));
    }
    void bytes(const void* p, std::size_t n) {
        const auto* b = static_cast<const std::uint8_t*>(p);
        m_out.insert(m_out.end(), b, b + n);
    }
    // A text as its length (u32) and its bytes.
    void text(std::string_view s) {
        u32(std::uint32_t(s.size()));
        bytes(s.data(), s.size());
    }
    // Overwrites a u32 written earlier (sizes known only at the end).
    void patch_u32(std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) m_out[at + std::size_t(i)] = std::uint8_t(v >> (8 * i));
    }
    std::size_t size() const { return m_out.size(); }
    std::vector<std::uint8_t>& data() { return m_out; }

private:
    std::vector<std::uint8_t> m_out;
};

class SaveReader {
public:
    explicit SaveReader(std::span<const std::uint8_t> data) : m_data(data) {}

    bool ok() const { return m_ok; }
    std::size_t left() const { return m_ok ? m_data.size() - m_pos : 0; }
    std::size_t position() const { return m_pos; }
    // Marks the reader failed (a field out of its range); the reason of the first failure
    // is kept.
    bool fail(const char* why) {
        if (m_ok) m_why = why;
        m_ok = false;
        return false;
    }
    const char* why() const { return m_why; }

    std::uint8_t u8() {
        if (!need(1)) return 0;
        return m_data[m_pos++];
    }
    std::uint32_t u32() {
        if (!need(4)) return 0;
        const std::uint8_t* p = m_data.data() + m_pos;
        m_pos += 4;
        return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
               std::uint32_t(p[3]) << 24;
    }
    std::int32_t i32() { return std::int32_t(u32()); }
    double f64() {
        const std::uint64_t lo = u32();
        const std::uint64_t hi = u32();
        const std::uint64_t bits = lo | hi << 32;
        double v;
        std::memcpy(&v, &bits, 8);
        return v;
    }
    // A u32 that must not exceed max.
    std::uint32_t count(std::uint32_t max, const char* why) {
        const std::uint32_t v = u32();
        if (v > max) fail(why);
        return m_ok ? v : 0;
    }
    // A text written by SaveWriter::text, at most max_len bytes long.
    std::string text(std::size_t max_len) {
        const std::uint32_t n = u32();
        if (n > max_len) {
            fail("text longer than its field");
            return {};
        }
        if (!need(n)) return {};
        std::string s(reinterpret_cast<const char*>(m_data.data() + m_pos), n);
        m_pos += n;
        return s;
    }
    // A view of the next n bytes (empty and failed when fewer are left).
    std::span<const std::uint8_t> bytes(std::size_t n) {
        if (!need(n)) return {};
        auto s = m_data.subspan(m_pos, n);
        m_pos += n;
        return s;
    }

private:
    bool need(std::size_t n) {
        if (!m_ok) return false;
        if (m_data.size() - m_pos < n) return fail("cut short");
        return true;
    }
    std::span<const std::uint8_t> m_data;
    std::size_t m_pos = 0;
    bool m_ok = true;
    const char* m_why = "";
};

} // namespace kestrune::storage
