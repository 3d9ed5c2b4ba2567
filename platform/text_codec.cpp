#include "platform/text_codec.h"

#include <iconv.h>

#include <cerrno>

namespace platform {

namespace {

bool Convert(const char* to, const char* from, std::string_view in, std::string* out) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    out->clear();
    std::string input(in);
    char* src = input.data();
    size_t srcLeft = input.size();
    char chunk[1024];
    bool ok = true;
    while (srcLeft > 0) {
        char* dst = chunk;
        size_t dstLeft = sizeof chunk;
        size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        out->append(chunk, sizeof chunk - dstLeft);
        if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
            ok = false;  // EILSEQ or EINVAL: not representable, or cut in the middle of a character
            break;
        }
    }
    if (ok) {
        char* dst = chunk;
        size_t dstLeft = sizeof chunk;
        iconv(cd, nullptr, nullptr, &dst, &dstLeft);
        out->append(chunk, sizeof chunk - dstLeft);
    }
    iconv_close(cd);
    return ok;
}

}  // namespace

bool GbkToUtf8(std::string_view gbk, std::string* out) { return Convert("UTF-8", "GBK", gbk, out); }

bool Utf8ToGbk(std::string_view utf8, std::string* out) { return Convert("GBK", "UTF-8", utf8, out); }

std::string EscapeControlChars(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            out += c;
            continue;
        }
        out += "\\x";
        out += kHex[byte >> 4];
        out += kHex[byte & 0xf];
    }
    return out;
}

}  // namespace platform
