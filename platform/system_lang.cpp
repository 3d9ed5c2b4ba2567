#include "platform/system_lang.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace platform {

namespace {

struct LocaleLang {
    const char* name;  // language, or language_TERRITORY
    uint16_t langId;
};

// Most specific first; a bare language gives its primary identifier with the default sublanguage.
constexpr LocaleLang kLocales[] = {
    {"en_US", 1033}, {"en_GB", 2057}, {"en_AU", 3081}, {"en_CA", 4105}, {"en_NZ", 5129}, {"en_IE", 6153},
    {"en_IN", 16393}, {"zh_CN", 2052}, {"zh_TW", 1028}, {"zh_HK", 3076}, {"zh_SG", 4100}, {"zh_MO", 5124},
    {"de_DE", 1031}, {"de_AT", 3079}, {"de_CH", 2055}, {"fr_FR", 1036}, {"fr_BE", 2060}, {"fr_CA", 3084},
    {"fr_CH", 4108}, {"es_ES", 3082}, {"es_MX", 2058}, {"pt_BR", 1046}, {"pt_PT", 2070}, {"it_IT", 1040},
    {"nl_NL", 1043}, {"ja_JP", 1041}, {"ko_KR", 1042}, {"ru_RU", 1049}, {"pl_PL", 1045}, {"tr_TR", 1055},
    {"ar_SA", 1025}, {"he_IL", 1037}, {"th_TH", 1054}, {"vi_VN", 1066}, {"cs_CZ", 1029}, {"hu_HU", 1038},
    {"sv_SE", 1053}, {"fi_FI", 1035}, {"da_DK", 1030}, {"nb_NO", 1044}, {"el_GR", 1032}, {"uk_UA", 1058},
    {"id_ID", 1057}, {"en", 1033}, {"zh", 2052}, {"de", 1031}, {"fr", 1036}, {"es", 3082}, {"pt", 2070},
    {"it", 1040}, {"nl", 1043}, {"ja", 1041}, {"ko", 1042}, {"ru", 1049}, {"pl", 1045}, {"tr", 1055},
};

constexpr uint16_t kLangNeutral = 0x0400;  // LANG_NEUTRAL with the user-default sublanguage

}  // namespace

uint16_t LangIdFromLocale(const char* locale) {
    if (locale == nullptr || *locale == '\0' || std::strcmp(locale, "C") == 0 || std::strcmp(locale, "POSIX") == 0 ||
        std::strncmp(locale, "C.", 2) == 0) {
        return kLangEnglishUS;
    }
    std::string name(locale);
    name = name.substr(0, name.find_first_of(".@"));
    for (const LocaleLang& entry : kLocales) {
        if (name == entry.name) return entry.langId;
    }
    std::string language = name.substr(0, name.find('_'));
    for (const LocaleLang& entry : kLocales) {
        if (language == entry.name) return entry.langId;
    }
    return kLangNeutral;
}

uint16_t GetSystemDefaultLangID() {
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(var);
        if (value != nullptr && *value != '\0') return LangIdFromLocale(value);
    }
    return kLangEnglishUS;
}

}  // namespace platform
