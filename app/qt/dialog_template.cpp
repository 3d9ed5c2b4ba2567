#include "app/qt/dialog_template.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QStringList>
#include <iterator>

#include "app/kelvane_view.h"

namespace {

const ControlTemplate kControls[] = {
    {kNoItemId, ControlKind::Static, "本机地址：", 11, 13, 60, 8, false},
    {IDC_COMBO_LOCAL_IP, ControlKind::ComboBox, "", 75, 11, 84, 30, false},
    {IDC_CHK_FORCE_OLD, ControlKind::CheckBox, "强制升级旧版本", 167, 12, 71, 12, false},
    {IDC_CHK_IP_CHECK, ControlKind::CheckBox, "IP占用检测", 245, 12, 53, 12, false},
    {IDC_BTN_START, ControlKind::PushButton, "开始升级", 384, 8, 52, 16, false},
    {IDC_BTN_PAUSE, ControlKind::PushButton, "暂停测试", 384, 30, 52, 16, true},
    {kNoItemId, ControlKind::Static, "升级文件目录：", 11, 35, 60, 8, false},
    {IDC_EDIT_PATH, ControlKind::Edit, "", 75, 32, 219, 14, false},
    {IDC_BTN_BROWSE, ControlKind::PushButton, "浏览...", 297, 32, 52, 14, false},
    {1006, ControlKind::ListView, "", 8, 59, 429, 245, false},
    {1010, ControlKind::Static, "成功：", 11, 311, 25, 8, false},
    {IDC_STATIC_SUCCESS, ControlKind::Static, "0", 37, 311, 29, 8, false},
    {1012, ControlKind::Static, "失败：", 75, 311, 25, 8, true},
    {IDC_STATIC_FAIL, ControlKind::Static, "0", 101, 311, 29, 8, true},
    {1008, ControlKind::PushButton, "清空列表", 392, 307, 50, 14, false},
};

const ColumnTemplate kColumns[] = {
    {"编号", 50}, {"IP地址", 120}, {"状态", 120}, {"进度", 50}, {"升级前版本", 150}, {"升级后版本", 150},
};

// Rounds like the platform's MulDiv, which the dialog manager uses for this conversion.
int MulDiv(int value, int numerator, int denominator) {
    return (value * numerator + denominator / 2) / denominator;
}

}  // namespace

const ControlTemplate* DialogControls(int* count) {
    *count = static_cast<int>(std::size(kControls));
    return kControls;
}

const ColumnTemplate* DeviceListColumns(int* count) {
    *count = static_cast<int>(std::size(kColumns));
    return kColumns;
}

QFont DialogFont() {
    QString family = QStringLiteral("Noto Serif CJK SC");
    if (!QFontDatabase::hasFamily(family)) {
        QStringList chinese = QFontDatabase::families(QFontDatabase::SimplifiedChinese);
        family = chinese.isEmpty() ? QString() : chinese.front();
    }
    QFont font(family);
    font.setPointSize(9);
    return font;
}

DialogUnits::DialogUnits(const QFont& font) {
    QFontMetrics metrics(font);
    // The average width of the 52 Latin letters, rounded, is the horizontal base unit.
    int letters = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_baseX = (letters / 26 + 1) / 2;
    m_baseY = metrics.height();
}

int DialogUnits::ToPixelsX(int du) const {
    return MulDiv(du, m_baseX, 4);
}
int DialogUnits::ToPixelsY(int du) const {
    return MulDiv(du, m_baseY, 8);
}

QRect DialogUnits::ToPixels(int x, int y, int cx, int cy) const {
    // Both edges are converted, as the dialog manager does, so adjacent controls stay adjacent.
    int left = ToPixelsX(x), top = ToPixelsY(y);
    return QRect(left, top, ToPixelsX(x + cx) - left, ToPixelsY(y + cy) - top);
}
