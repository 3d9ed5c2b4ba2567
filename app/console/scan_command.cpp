// kelvane-cli scan FOLDER: builds the firmware catalogue the way a run does and says, in plain
// words, which file each model is offered and why every other file is left out. This is what to
// run when a camera answers "no new version".
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/console/console_command.h"
#include "firmware/fmw_header.h"
#include "firmware/upgrade_scan.h"
#include "platform/text_codec.h"

namespace {

// Catalogue texts are GBK; show them as UTF-8, and bytes that are neither as \xNN.
std::string Show(const std::string& gbk) {
    std::string utf8;
    if (platform::GbkToUtf8(gbk, &utf8)) {
        bool printable = true;
        for (unsigned char c : utf8) printable = printable && c >= 0x20 && c != 0x7F;
        if (printable) return utf8;
    }
    std::string out;
    for (unsigned char c : gbk) {
        char buf[8];
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out;
}

const char* ContainerProblem(int code) {
    switch (code) {
        case FMW_ERR_ALLOC_HANDLE:
            return "out of memory";
        case FMW_ERR_TOO_SHORT:
            return "shorter than the 248-byte container header";
        case FMW_ERR_OPEN:
            return "cannot be opened";
        case FMW_ERR_READ_FIXED:
            return "its header cannot be read";
        case FMW_ERR_MAGIC:
            return "its magic does not match its package type";
        case FMW_ERR_FA_CRC:
            return "the checksum of its fixed header does not match";
        case FMW_ERR_ALLOC_MARKS:
            return "its count of header entries is impossible";
        case FMW_ERR_MARKS:
            return "its header entries are missing or cut off";
        case FMW_ERR_MARK_CRC:
            return "the checksum of its header entries does not match";
        case FMW_ERR_HEADER_CRC:
            return "the checksum of its header texts does not match, or a text lies outside the file";
        case FMW_ERR_FILE_CRC:
            return "the checksum of the whole file does not match: damaged or incompletely copied";
        case FMW_ERR_IMG_CRC:
            return "the checksum of one of its images does not match";
        default:
            return "rejected";
    }
}

const UpgradeFileInfo* FindByName(const std::vector<UpgradeFileInfo>& catalogue, const std::string& utf8Name) {
    std::string gbk;
    if (!platform::Utf8ToGbk(utf8Name, &gbk)) return nullptr;
    for (const UpgradeFileInfo& info : catalogue) {
        if (gbk == info.szFileName) return &info;
    }
    return nullptr;
}

std::string Why(const ScanSkip& skip, const std::vector<UpgradeFileInfo>& catalogue) {
    switch (skip.reason) {
        case ScanSkipReason::Directory:
            return "a folder, not a file";
        case ScanSkipReason::NotBin:
            return "the name does not end in .bin";
        case ScanSkipReason::NameNotUsable:
            return "the path is longer than 255 bytes or has characters outside the GBK code page, so devices "
                   "could not be given its name";
        case ScanSkipReason::OpenFailed:
            return "cannot be opened for reading (permissions, or not a regular file)";
        case ScanSkipReason::TooShort:
            return "shorter than 8 bytes, so no firmware header";
        case ScanSkipReason::UnknownHeader:
            return "not a firmware file: it starts with \"" + Show(skip.detail) +
                   "\", not QLXFMW22, FIRMWARE or FIRMWNVR";
        case ScanSkipReason::AlgorithmPackage:
            return "a QLXALG22 package, not firmware";
        case ScanSkipReason::ContainerRejected:
            return std::string("firmware container failed its checks: ") + ContainerProblem(skip.code) + " (code " +
                   std::to_string(skip.code) + ")";
        case ScanSkipReason::NoVersionText:
            return "firmware container without a version text";
        case ScanSkipReason::LegacyHeaderShort:
            return "shorter than its " + skip.detail + " header (" + (skip.detail == "FIRMWNVR" ? "692" : "1556") +
                   " bytes)";
        case ScanSkipReason::OlderVersion: {
            std::string why = "version " + Show(skip.verNum) + " is older than ";
            if (const UpgradeFileInfo* kept = FindByName(catalogue, skip.detail)) {
                why += Show(kept->szVerNum) + " of model " + Show(kept->szModel) + " in ";
            }
            return why + skip.detail;
        }
        case ScanSkipReason::NotServable:
            return "the TFTP service would refuse it: " + skip.detail;
    }
    return "skipped";
}

void PrintCatalogue(const std::vector<UpgradeFileInfo>& catalogue) {
    struct Row {
        std::string model, version, kind, file, note;
    };
    std::vector<Row> rows;
    for (size_t i = 0; i < catalogue.size(); ++i) {
        const UpgradeFileInfo& info = catalogue[i];
        Row row{Show(info.szModel), info.szVerNum[0] != '\0' ? Show(info.szVerNum) : "(none)",
                info.iDevType == kDevTypeNvr ? "NVR" : "IPC", Show(info.szFileName), ""};
        for (size_t j = 0; j < i && info.szVerNum[0] != '\0'; ++j) {
            if (std::string(catalogue[j].szModel) == info.szModel &&
                CompareVerNum(info.szVerNum, catalogue[j].szVerNum) == 0) {
                row.note = "  (same version as " + Show(catalogue[j].szFileName) + ", which is offered first)";
                break;
            }
        }
        rows.push_back(row);
    }
    size_t wModel = 5, wVersion = 7;
    for (const Row& r : rows) {
        wModel = std::max(wModel, r.model.size());
        wVersion = std::max(wVersion, r.version.size());
    }
    std::printf("  %-*s  %-*s  KIND  FILE\n", static_cast<int>(wModel), "MODEL", static_cast<int>(wVersion), "VERSION");
    for (const Row& r : rows) {
        std::printf("  %-*s  %-*s  %-4s  %s%s\n", static_cast<int>(wModel), r.model.c_str(), static_cast<int>(wVersion),
                    r.version.c_str(), r.kind.c_str(), r.file.c_str(), r.note.c_str());
    }
}

int RunScan(const std::string& folder, bool verbose) {
    struct stat st {};
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || access(folder.c_str(), R_OK | X_OK) != 0) {
        std::fprintf(stderr, "kelvane-cli scan: %s is not a folder that can be read\n", folder.c_str());
        return 2;
    }
    std::vector<UpgradeFileInfo> catalogue;
    std::vector<ScanSkip> skipped;
    // The container reader narrates each check; keep that out of the summary unless asked for.
    if (!verbose) SetFmwNarrationSink([](const char*) {});
    ScanUpgradeFolder(folder, &catalogue, &skipped);
    SetFmwNarrationSink(nullptr);

    std::printf("Firmware folder %s\n", folder.c_str());
    if (catalogue.empty()) {
        std::printf("Catalogue: empty. Devices will be told there is nothing to upgrade.\n");
    } else {
        std::printf("Catalogue: %zu file%s\n", catalogue.size(), catalogue.size() == 1 ? "" : "s");
        PrintCatalogue(catalogue);
    }
    if (!skipped.empty()) {
        std::printf("Not in the catalogue: %zu\n", skipped.size());
        for (const ScanSkip& skip : skipped) std::printf("  %s: %s\n", skip.name.c_str(), Why(skip, catalogue).c_str());
    }
    return catalogue.empty() ? 1 : 0;
}

const bool g_registered = RegisterConsoleCommand([](CLI::App& app) {
    CLI::App* scan = app.add_subcommand("scan",
                                        "Check a firmware folder: the catalogue a run would offer, and why "
                                        "every other file is left out");
    auto folder = std::make_shared<std::string>();
    auto verbose = std::make_shared<bool>(false);
    scan->add_option("FOLDER", *folder, "The upgrade folder")->required();
    scan->add_flag("-v,--verbose", *verbose, "Also show each firmware container check as it runs");
    scan->footer(
        "Exit status: 0 when the catalogue holds at least one file, 1 when it is empty, 2 when the folder "
        "cannot be read.");
    scan->callback([folder, verbose] { SetConsoleExitCode(RunScan(*folder, *verbose)); });
});

}  // namespace
