#pragma once
// Builds firmware files as a device maker would: a valid container from chosen fields, and the
// legacy header files. Tests break a container in exactly one place (and reseal the checksums they
// want to stay right); the demo and labs make firmware folders with it. The upgrade server itself
// only ever reads containers, so this lives with the simulated devices.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace devsim {

struct FmwMark {
    FmwMark(uint32_t markTag, std::string markText, std::optional<uint32_t> markStart = std::nullopt,
                std::optional<uint32_t> markSize = std::nullopt)
        : tag(markTag), text(std::move(markText)), start(markStart), storedSize(markSize) {}
    uint32_t tag = 0;
    std::string text;                    // stored bytes (add the NUL yourself when wanted)
    std::optional<uint32_t> start;       // default: where the layout puts the text
    std::optional<uint32_t> storedSize;  // default: text.size()
};

struct FmwContainer {
    std::string magic = "QLXFMW22";
    int32_t pkgType = 1;
    std::vector<FmwMark> marks;
    std::vector<std::string> images;     // up to 8, slots in order
    std::optional<int32_t> vaNums;       // default: marks.size()
    std::optional<uint32_t> headerSize;  // default: 248 + 12 * marks + text bytes
    bool textsAfterImages = false;       // put the texts at the very end instead of behind the marks

    // The container with every checksum right.
    std::string Build() const;
};

// Which checksums Reseal recomputes; applied in dependency order (images, fixed area, marks,
// header stream, whole file).
enum FmwSeal : unsigned {
    kSealImages = 1,
    kSealFixedArea = 2,
    kSealMarks = 4,
    kSealHeader = 8,
    kSealFile = 16,
    kSealAll = 31,
};
void FmwReseal(std::string& bytes, unsigned what);

uint32_t FmwGet32(const std::string& bytes, size_t offset);
void FmwSet32(std::string& bytes, size_t offset, uint32_t value);
// A container whose only mark is the file-system version `versionText` (NUL added), holding `images`.
std::string ContainerWithVersion(const std::string& versionText, std::vector<std::string> images);
// The version text of a legacy header file: "FIRMWARE" (1556 bytes, text at 296) or "FIRMWNVR"
// (692 bytes, text at 8), padded to `length` bytes (default: the full header).
std::string LegacyFirmware(const std::string& magic, const std::string& versionText, size_t length = 0);

}  // namespace devsim
