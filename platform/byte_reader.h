#pragma once
// Reads received or file bytes without trusting any length inside them: every fetch reports
// whether it fit, and after the first that did not, every later fetch fails too, so a parser can
// read a whole header and check once.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace platform {

class ByteReader {
public:
    ByteReader(const void* data, size_t size) : m_data(static_cast<const uint8_t*>(data)), m_size(size) {}

    size_t Offset() const { return m_offset; }
    size_t Remaining() const { return m_ok ? m_size - m_offset : 0; }

    // Moves to `offset` from the start; false (and failed) past the end.
    bool Seek(size_t offset) {
        if (!m_ok || offset > m_size) return Fail();
        m_offset = offset;
        return true;
    }
    bool Skip(size_t count) { return count <= Remaining() ? Seek(m_offset + count) : Fail(); }

    bool U8(uint8_t* out) { return Fetch(out, 1); }
    bool Le16(uint16_t* out) {
        uint8_t b[2];
        if (!Fetch(b, sizeof b)) return false;
        *out = static_cast<uint16_t>(b[0] | (b[1] << 8));
        return true;
    }
    bool Le32(uint32_t* out) {
        uint8_t b[4];
        if (!Fetch(b, sizeof b)) return false;
        *out = static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) | (static_cast<uint32_t>(b[2]) << 16) |
               (static_cast<uint32_t>(b[3]) << 24);
        return true;
    }
    // Network byte order.
    bool Be16(uint16_t* out) {
        uint8_t b[2];
        if (!Fetch(b, sizeof b)) return false;
        *out = static_cast<uint16_t>((b[0] << 8) | b[1]);
        return true;
    }
    // A NUL-terminated string within the remaining bytes: `text` points at it in place, the NUL
    // is skipped. Fails when no NUL is left.
    bool CString(const char** text, size_t* length) {
        const void* nul = Remaining() > 0 ? std::memchr(m_data + m_offset, 0, Remaining()) : nullptr;
        if (nul == nullptr) return Fail();
        *text = reinterpret_cast<const char*>(m_data + m_offset);
        *length = static_cast<size_t>(static_cast<const uint8_t*>(nul) - (m_data + m_offset));
        m_offset += *length + 1;
        return true;
    }
    // `count` bytes as they are (for example an address in network byte order).
    bool Bytes(void* out, size_t count) { return Fetch(out, count); }

private:
    bool Fetch(void* out, size_t count) {
        if (count > Remaining()) return Fail();
        if (count > 0) std::memcpy(out, m_data + m_offset, count);
        m_offset += count;
        return true;
    }
    bool Fail() {
        m_ok = false;
        return false;
    }

    const uint8_t* m_data;
    size_t m_size;
    size_t m_offset = 0;
    bool m_ok = true;
};

}  // namespace platform
