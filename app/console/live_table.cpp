#include "app/console/live_table.h"

#include <locale.h>
#include <wchar.h>

#include <algorithm>
#include <cstdio>

namespace {

// Decodes one UTF-8 sequence at `i`; a byte that starts none is taken as itself.
char32_t NextCodepoint(const std::string& text, size_t* i) {
    unsigned char c = static_cast<unsigned char>(text[*i]);
    int length = c < 0xC0 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    if (length == 1 || *i + static_cast<size_t>(length) > text.size()) {
        ++*i;
        return c;
    }
    char32_t cp = c & (0x7F >> length);
    for (int k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[*i + k]) & 0x3F);
    *i += static_cast<size_t>(length);
    return cp;
}

int CodepointWidth(char32_t cp) {
    if (cp < 0x80) return 1;
    // wcwidth knows the terminal widths, but only under a UTF-8 character type; the process's own
    // locale stays as it is.
    static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (utf8 != static_cast<locale_t>(nullptr)) {
        locale_t previous = uselocale(utf8);
        int width = wcwidth(static_cast<wchar_t>(cp));
        uselocale(previous);
        if (width >= 0) return width;
    }
    bool wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) || (cp >= 0xAC00 && cp <= 0xD7A3) ||
                (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
                (cp >= 0xFFE0 && cp <= 0xFFE6);
    return wide ? 2 : 1;
}

std::string Pad(const std::string& text, int width) {
    std::string cut = ElideToWidth(text, width);
    return cut + std::string(static_cast<size_t>(std::max(0, width - DisplayWidth(cut))), ' ');
}

std::string Clock(int64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02d", static_cast<long long>(ms / 60000),
                  static_cast<int>(ms / 1000 % 60));
    return text;
}

std::string Rate(double bytesPerSecond) {
    char text[32];
    if (bytesPerSecond < 1e6) {
        std::snprintf(text, sizeof text, "%.0f kB/s", bytesPerSecond / 1e3);
    } else {
        std::snprintf(text, sizeof text, "%.1f MB/s", bytesPerSecond / 1e6);
    }
    return text;
}

const char* Say(bool english, const char* en, const char* zh) {
    return english ? en : zh;
}

std::string OutcomeText(DeviceOutcome outcome, bool english) {
    switch (outcome) {
        case DeviceOutcome::Succeeded:
            return Say(english, "succeeded", "成功");
        case DeviceOutcome::Failed:
            return Say(english, "failed", "失败");
        case DeviceOutcome::NoUpgrade:
            return Say(english, "up to date", "无需升级");
        case DeviceOutcome::Unfinished:
            break;
    }
    return Say(english, "unfinished", "未完成");
}

std::string VersionText(const DeviceResult& r) {
    return r.versionOffered.empty() ? r.versionBefore : r.versionBefore + " -> " + r.versionOffered;
}

int PhaseRank(DevicePhase phase) {
    switch (phase) {
        case DevicePhase::WritingFlash:
            return 0;
        case DevicePhase::Failed:
            return 1;
        case DevicePhase::Downloading:
            return 2;
        default:
            return 3;
    }
}

}  // namespace

int DisplayWidth(const std::string& text) {
    int width = 0;
    for (size_t i = 0; i < text.size();) width += CodepointWidth(NextCodepoint(text, &i));
    return width;
}

std::string ElideToWidth(const std::string& text, int width) {
    if (width <= 0) return "";
    if (DisplayWidth(text) <= width) return text;
    std::string out;
    int used = 0;
    for (size_t i = 0; i < text.size();) {
        size_t start = i;
        int w = CodepointWidth(NextCodepoint(text, &i));
        if (used + w > width - 1) break;
        out.append(text, start, i - start);
        used += w;
    }
    return out + "~";
}

DevicePhase PhaseOf(const DeviceResult& r) {
    switch (r.outcome) {
        case DeviceOutcome::Succeeded:
            return DevicePhase::Succeeded;
        case DeviceOutcome::Failed:
            return DevicePhase::Failed;
        case DeviceOutcome::NoUpgrade:
            return DevicePhase::UpToDate;
        case DeviceOutcome::Unfinished:
            break;
    }
    // A finished download ("Report_Downloading" with state 0) means the device writes flash next.
    bool downloaded = r.event > 0 || (r.event == 0 && r.state == 0);
    return downloaded ? DevicePhase::WritingFlash : DevicePhase::Downloading;
}

RunCounts CountPhases(const std::vector<DeviceResult>& results) {
    RunCounts counts;
    counts.asked = static_cast<int>(results.size());
    for (const DeviceResult& r : results) {
        switch (PhaseOf(r)) {
            case DevicePhase::Downloading:
                ++counts.downloading;
                break;
            case DevicePhase::WritingFlash:
                ++counts.writingFlash;
                break;
            case DevicePhase::Succeeded:
                ++counts.succeeded;
                break;
            case DevicePhase::Failed:
                ++counts.failed;
                break;
            case DevicePhase::UpToDate:
                ++counts.upToDate;
                break;
        }
    }
    return counts;
}

std::vector<std::string> SummaryItems(const RunCounts& c, const RunHeader& h) {
    const bool en = h.english;
    auto item = [](const char* name, int value) { return std::string(name) + " " + std::to_string(value); };
    std::vector<std::string> items = {item(Say(en, "asked", "请求"), c.asked),
                                      item(Say(en, "downloading", "下载中"), c.downloading),
                                      item(Say(en, "writing flash", "写入闪存"), c.writingFlash),
                                      item(Say(en, "succeeded", "成功"), c.succeeded),
                                      item(Say(en, "failed", "失败"), c.failed),
                                      item(Say(en, "unfinished", "未完成"), c.Unfinished()),
                                      item(Say(en, "up to date", "无需升级"), c.upToDate)};
    // Devices asking while every address is held get no reply and ask again: the operator must see why.
    if (h.rangeFull > 0) items.push_back(item(Say(en, "no free address", "无空闲地址"), h.rangeFull));
    items.push_back(Rate(h.bytesPerSecond));
    items.push_back(Clock(h.elapsedMs));
    return items;
}

std::string SummaryLine(const RunCounts& c, const RunHeader& h) {
    std::string line;
    for (const std::string& item : SummaryItems(c, h)) line += (line.empty() ? "" : " | ") + item;
    return line;
}

std::vector<std::string> SummaryLines(const RunCounts& c, const RunHeader& h, int width) {
    std::vector<std::string> lines;
    for (const std::string& item : SummaryItems(c, h)) {
        if (!lines.empty() && DisplayWidth(lines.back()) + 3 + DisplayWidth(item) <= width) {
            lines.back() += " | " + item;
        } else {
            lines.push_back(ElideToWidth(item, width));
        }
    }
    return lines;
}

std::string ChangeLine(const DeviceResult& r, const RunHeader& h) {
    // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on "text" + temporary.
    std::string line = "[";
    line += Clock(h.elapsedMs);
    line += "] ";
    line += r.mac;
    for (const std::string* part : {&r.lentAddress, &r.stateText, &r.progress}) {
        if (!part->empty()) line += ' ' + *part;
    }
    line += ' ';
    line += VersionText(r);
    line += ' ';
    line += OutcomeText(r.outcome, h.english);
    return line;
}

std::vector<std::string> BuildTableFrame(const std::vector<DeviceResult>& results, const RunHeader& h, int width,
                                         int height) {
    // One column is kept free: a line that fills the last column leaves some terminals about to wrap.
    const int usable = std::max(10, width - 1);
    const bool en = h.english;
    std::vector<std::string> lines;
    lines.push_back(ElideToWidth(std::string("Kelvane ") + Say(en, "on ", "服务地址 ") + h.address +
                                     Say(en, "  (Ctrl-C stops)", "  （Ctrl-C 停止）"),
                                 usable));
    for (const std::string& line : SummaryLines(CountPhases(results), h, usable)) lines.push_back(line);

    // Columns by importance: state, address, progress, outcome, then MAC and versions where room is left.
    int mac = 17, ip = 15, progress = 4,
        outcome = std::max(DisplayWidth(OutcomeText(DeviceOutcome::Unfinished, en)), 10);
    int rest = usable - ip - progress - outcome - 4;
    bool showMac = rest - 18 >= 24;
    if (showMac) rest -= mac + 1;
    bool showVersion = rest >= 30;
    int state = showVersion ? (rest - 1) * 3 / 5 : rest;
    int version = showVersion ? rest - 1 - state : 0;
    auto row = [&](const std::string& m, const std::string& a, const std::string& s, const std::string& p,
                   const std::string& v, const std::string& o) {
        std::string line = showMac ? Pad(m, mac) + " " : "";
        line += Pad(a, ip) + " " + Pad(s, state) + " " + Pad(p, progress) + " ";
        if (showVersion) line += Pad(v, version) + " ";
        line += o;
        return ElideToWidth(line, usable);
    };
    lines.push_back(row("MAC", Say(en, "IP address", "IP地址"), Say(en, "State", "状态"), "%",
                        Say(en, "Version", "版本"), Say(en, "Outcome", "结果")));

    std::vector<const DeviceResult*> shown;
    for (const DeviceResult& r : results) {
        if (PhaseRank(PhaseOf(r)) < 3) shown.push_back(&r);
    }
    std::stable_sort(shown.begin(), shown.end(), [](const DeviceResult* a, const DeviceResult* b) {
        return PhaseRank(PhaseOf(*a)) < PhaseRank(PhaseOf(*b));
    });
    size_t room = shown.size();
    if (height > 0) {
        const size_t free = static_cast<size_t>(std::max(0, height - 1 - static_cast<int>(lines.size())));
        room = shown.size() <= free ? shown.size() : (free > 0 ? free - 1 : 0);
    }
    for (size_t i = 0; i < room; ++i) {
        const DeviceResult& r = *shown[i];
        lines.push_back(row(r.mac, r.lentAddress, r.stateText, r.progress, VersionText(r), OutcomeText(r.outcome, en)));
    }
    if (room < shown.size()) {
        lines.push_back(
            ElideToWidth("... " + std::to_string(shown.size() - room) + Say(en, " more", " 台未显示"), usable));
    }
    if (height > 0 && static_cast<int>(lines.size()) > height - 1)
        lines.resize(static_cast<size_t>(std::max(1, height - 1)));
    return lines;
}

void TableDrawer::Send(const std::string& text) {
    // A terminal that went away (SSH dropped, pipe closed) must not end the run: errors are ignored.
    if (std::fwrite(text.data(), 1, text.size(), m_out) == text.size()) m_bytes += text.size();
    std::fflush(m_out);
    clearerr(m_out);
}

void TableDrawer::Draw(const std::vector<std::string>& frame, int width, int height) {
    std::string out;
    if (!m_active || width != m_width || height != m_height) {
        // The alternate screen has no scrollback: whatever the terminal does on a resize (reflow,
        // pushing lines up), nothing of the live table ends up in the operator's history.
        out += m_active ? "\x1b[H\x1b[2J" : "\x1b[?1049h\x1b[H\x1b[2J";
        m_active = true;
        m_shown.clear();
    }
    m_width = width;
    m_height = height;
    for (size_t i = 0; i < frame.size(); ++i) {
        if (i < m_shown.size() && frame[i] == m_shown[i]) continue;
        out += "\x1b[" + std::to_string(i + 1) + ";1H" + frame[i] + "\x1b[K";
    }
    if (frame.size() < m_shown.size()) out += "\x1b[" + std::to_string(frame.size() + 1) + ";1H\x1b[J";
    m_shown = frame;
    if (!out.empty()) Send(out);
}

void TableDrawer::Leave() {
    if (!m_active) return;
    Send("\x1b[?1049l");
    m_active = false;
    m_shown.clear();
}
