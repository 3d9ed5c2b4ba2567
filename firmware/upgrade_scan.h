#pragma once
// The upgrade folder scan: every ".bin" file of the folder whose header is known gives one
// catalogue entry (model, dotted version number, file name, kind); of each model only the files
// with the highest version number stay.
#include <cstdint>
#include <string>
#include <vector>

// One catalogue entry. Texts are NUL-terminated in the system code page (GBK).
struct UpgradeFileInfo {
    char szVersion[256];  // szModel "-" szVerNum: what a device is offered
    char szModel[64];
    char szVerNum[64];     // may be empty
    char szFileName[256];  // name inside the folder, no folder part
    int32_t iHighestVersion;
    int32_t iDevType;  // kDevTypeIpc or kDevTypeNvr
};

constexpr int32_t kDevTypeIpc = 0;  // "FIRMWARE" header or "QLXFMW22" container
constexpr int32_t kDevTypeNvr = 1;  // "FIRMWNVR" header

// Fills szModel and szVerNum from a version text such as "QL_IPC2F_V2.1.0.7" (IPC: second field,
// third field less its first character) or "NVR8_V3.0.1" (NVR: first field, second field less
// its first character). Fields are separated by runs of "_"; `text` (at most 255 characters) is
// consumed. A kind above 1 leaves the record alone.
void SplitVersionText(char* text, int kind, UpgradeFileInfo* info);

// Compares dotted version numbers of up to four decimal parts: 1 when a is higher, -1 when lower,
// 0 when equal, -2 when b is empty. Missing or unparsable parts count as 0.
int CompareVerNum(const char* a, const char* b);

// Why a folder entry is not in the catalogue.
enum class ScanSkipReason {
    Directory,          // a folder, whatever its name
    NotBin,             // the name does not end in ".bin"
    NameNotUsable,      // path or name longer than 255 bytes in GBK, or not representable in GBK
    OpenFailed,         // cannot be opened for reading
    TooShort,           // fewer than 8 bytes
    UnknownHeader,      // none of "QLXFMW22", "FIRMWARE", "FIRMWNVR" (detail holds the 8 bytes)
    AlgorithmPackage,   // a "QLXALG22" package: not firmware
    ContainerRejected,  // the container reader refused it (code holds its result code)
    NoVersionText,      // the container has no version text
    LegacyHeaderShort,  // a "FIRMWARE"/"FIRMWNVR" file shorter than its header
    OlderVersion,       // dropped: another file of the model has a higher version number
    NotServable,        // the TFTP service would refuse a device's request for it (detail: why)
};

struct ScanSkip {
    std::string name;  // UTF-8, as the file system has it
    ScanSkipReason reason;
    int code = 0;  // container result code for ContainerRejected
    // UnknownHeader: the first 8 bytes; LegacyHeaderShort: the magic; OlderVersion: the file
    // offered instead (UTF-8)
    std::string detail;
    std::string verNum;  // OlderVersion: the dropped file's version number (GBK)
};

// Rebuilds `catalogue` from `folder` (UTF-8; `/` or `\` separators, with or without a trailing
// one), logging every step. `skipped`, when given, receives every entry that is not catalogued and
// why. Entries are taken in byte order of their names, so of two equal versions the one whose
// name sorts first comes first. A folder that cannot be read gives an empty catalogue.
void ScanUpgradeFolder(const std::string& folder, std::vector<UpgradeFileInfo>* catalogue,
                       std::vector<ScanSkip>* skipped);

// Whether `name` ends in ".bin", in any letter case.
bool HasBinSuffix(const std::string& name);

// The firmware catalogue of a run. Rebuilt before the run's threads start, so they read it
// without a lock.
class UpgradeCatalogue {
public:
    // Rebuilds the catalogue from the upgrade folder (UTF-8, as the window shows it).
    void SaveUpgradeFileInfo(const std::string& strFolderName) {
        ScanUpgradeFolder(strFolderName, &m_vecUpgradeFileInfo, nullptr);
    }
    std::vector<UpgradeFileInfo> m_vecUpgradeFileInfo;
};
