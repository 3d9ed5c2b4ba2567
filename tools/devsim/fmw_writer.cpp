#include "tools/devsim/fmw_writer.h"

#include <zlib.h>

#include <algorithm>
#include <stdexcept>

#include "firmware/fmw_header.h"

namespace devsim {

namespace {

constexpr size_t kFixed = 248;
constexpr size_t kMark = 12;

uint32_t Crc(const std::string& bytes, size_t from, size_t length) {
    if (from >= bytes.size()) return 0;
    length = std::min(length, bytes.size() - from);
    return static_cast<uint32_t>(
        crc32_z(crc32(0, Z_NULL, 0), reinterpret_cast<const Bytef*>(bytes.data() + from), length));
}

}  // namespace

uint32_t FmwGet32(const std::string& bytes, size_t offset) {
    auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes.at(offset + i))); };
    return b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24;
}

void FmwSet32(std::string& bytes, size_t offset, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) bytes.at(offset + i) = static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::string FmwContainer::Build() const {
    if (images.size() > 8) throw std::invalid_argument("at most 8 images");
    size_t textBytes = 0;
    for (const FmwMark& m : marks) textBytes += m.text.size();
    size_t markEnd = kFixed + kMark * marks.size();
    size_t imageStart = textsAfterImages ? markEnd : markEnd + textBytes;
    size_t imageBytes = 0;
    for (const std::string& image : images) imageBytes += image.size();
    size_t textStart = textsAfterImages ? imageStart + imageBytes : markEnd;

    std::string bytes(std::max(imageStart + imageBytes, textStart + textBytes), '\0');
    bytes.replace(0, 8, magic.substr(0, 8));
    FmwSet32(bytes, 24, headerSize.value_or(static_cast<uint32_t>(markEnd + textBytes)));
    FmwSet32(bytes, 28, 0x12345678);  // uninterpreted bytes still count for the checksums
    FmwSet32(bytes, 32, static_cast<uint32_t>(pkgType));
    FmwSet32(bytes, 48, static_cast<uint32_t>(vaNums.value_or(static_cast<int32_t>(marks.size()))));
    size_t at = imageStart;
    for (size_t i = 0; i < images.size(); ++i) {
        FmwSet32(bytes, 64 + 24 * i, static_cast<uint32_t>(at));
        FmwSet32(bytes, 68 + 24 * i, static_cast<uint32_t>(images[i].size()));
        bytes.replace(at, images[i].size(), images[i]);
        at += images[i].size();
    }
    at = textStart;
    for (size_t i = 0; i < marks.size(); ++i) {
        const FmwMark& m = marks[i];
        size_t base = kFixed + kMark * i;
        FmwSet32(bytes, base, m.tag);
        FmwSet32(bytes, base + 4, m.start.value_or(static_cast<uint32_t>(at)));
        FmwSet32(bytes, base + 8, m.storedSize.value_or(static_cast<uint32_t>(m.text.size())));
        bytes.replace(at, m.text.size(), m.text);
        at += m.text.size();
    }
    FmwReseal(bytes, kSealAll);
    return bytes;
}

void FmwReseal(std::string& bytes, unsigned what) {
    if (what & kSealImages) {
        for (size_t i = 0; i < 8; ++i) {
            uint32_t size = FmwGet32(bytes, 68 + 24 * i);
            if (size != 0) FmwSet32(bytes, 72 + 24 * i, Crc(bytes, FmwGet32(bytes, 64 + 24 * i), size));
        }
    }
    if (what & kSealFixedArea) FmwSet32(bytes, 16, Crc(bytes, 24, kFixed - 24));
    int32_t vaNums = static_cast<int32_t>(FmwGet32(bytes, 48));
    size_t marks = vaNums > 0 ? std::min<size_t>(static_cast<size_t>(vaNums), (bytes.size() - kFixed) / kMark) : 0;
    if (what & kSealMarks) FmwSet32(bytes, 20, Crc(bytes, kFixed, kMark * marks));
    if (what & kSealHeader) {
        std::string stream = bytes.substr(24, kFixed - 24 + kMark * marks);
        for (size_t i = 0; i < marks; ++i) {
            uint32_t start = FmwGet32(bytes, kFixed + kMark * i + 4);
            uint32_t size = FmwGet32(bytes, kFixed + kMark * i + 8);
            if (start < bytes.size()) stream += bytes.substr(start, size);
        }
        FmwSet32(bytes, 12, Crc(stream, 0, stream.size()));
    }
    if (what & kSealFile) FmwSet32(bytes, 8, Crc(bytes, 12, bytes.size()));
}

std::string ContainerWithVersion(const std::string& versionText, std::vector<std::string> images) {
    FmwContainer container;
    container.marks.emplace_back(FMW_VA_TAG_FS_VER, versionText + '\0');
    container.images = std::move(images);
    return container.Build();
}

std::string LegacyFirmware(const std::string& magic, const std::string& versionText, size_t length) {
    bool nvr = magic == "FIRMWNVR";
    size_t full = nvr ? 692 : 1556;
    std::string bytes(full, '\0');
    bytes.replace(0, 8, magic.substr(0, 8));
    bytes.replace(nvr ? 8 : 296, versionText.size(), versionText);
    bytes.resize(length == 0 ? full : length, '\0');
    return bytes;
}

}  // namespace devsim
