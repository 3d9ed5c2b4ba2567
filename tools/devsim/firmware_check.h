#pragma once
// What a device checks in a downloaded firmware file before it writes any flash.
#include <cstdint>
#include <string>

namespace devsim {

// The report state a device sends for `path`: 0 when it may be written, 2 a checksum failed,
// 3 an unknown magic, 4 the size is wrong (against `tsize` when not -1, or too short for its
// header), 5 the version text is missing or names another model than `model`. `detail` says why.
int CheckFirmware(const std::string& path, uint64_t bytes, int64_t tsize, const std::string& model,
                  std::string* detail);

}  // namespace devsim
