// Version texts from firmware headers and devices: splitting and comparing must stay inside
// their buffers and order versions consistently.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "firmware/upgrade_scan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    int kind = data[0] % 4;
    std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    size_t cut = input.find('\n');
    std::string a = input.substr(0, cut);
    std::string b = cut == std::string::npos ? std::string() : input.substr(cut + 1);
    a = a.c_str();  // as C strings they end at the first NUL
    b = b.c_str();

    int ab = CompareVerNum(a.c_str(), b.c_str());
    int ba = CompareVerNum(b.c_str(), a.c_str());
    if (b.empty() != (ab == -2)) std::abort();
    if (!a.empty() && !b.empty() && ab != -ba) std::abort();
    if (CompareVerNum(a.c_str(), a.c_str()) != (a.empty() ? -2 : 0)) std::abort();

    char text[256] = {};
    std::memcpy(text, a.data(), a.size() < 255 ? a.size() : 255);
    UpgradeFileInfo info;
    std::memset(&info, 0, sizeof info);
    SplitVersionText(text, kind, &info);
    if (strnlen(info.szModel, sizeof info.szModel) >= sizeof info.szModel) std::abort();
    if (strnlen(info.szVerNum, sizeof info.szVerNum) >= sizeof info.szVerNum) std::abort();
    if (kind > 1 && (info.szModel[0] != '\0' || info.szVerNum[0] != '\0')) std::abort();
    if (std::strchr(info.szModel, '_') != nullptr) std::abort();
    return 0;
}
