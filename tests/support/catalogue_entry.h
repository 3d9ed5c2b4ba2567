#pragma once
// A catalogue entry as the folder scan would make it, for tests that need a catalogue without a folder.
#include <cstdio>

#include "firmware/upgrade_scan.h"

namespace testsupport {

inline UpgradeFileInfo CatalogueEntry(const char* model, const char* verNum, const char* file, int devType = 0) {
    UpgradeFileInfo e{};
    std::snprintf(e.szModel, sizeof e.szModel, "%s", model);
    std::snprintf(e.szVerNum, sizeof e.szVerNum, "%s", verNum);
    std::snprintf(e.szVersion, sizeof e.szVersion, "%s-%s", model, verNum);
    std::snprintf(e.szFileName, sizeof e.szFileName, "%s", file);
    e.iHighestVersion = 1;
    e.iDevType = devType;
    return e;
}

}  // namespace testsupport
