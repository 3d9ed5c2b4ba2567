#pragma once
// The main window's resource: its controls with their ids, kinds, first texts and rectangles in
// dialog units, and the device list's columns. Dialog units become pixels through the dialog
// font, as on the system the window was designed for.
#include <QFont>
#include <QRect>
#include <QString>

enum class ControlKind { Static, ComboBox, CheckBox, PushButton, Edit, ListView };

struct ControlTemplate {
    int id;  // -1 for labels that are never addressed
    ControlKind kind;
    const char* text;  // UTF-8
    int x, y, cx, cy;  // dialog units
    bool hidden;       // hidden during initialisation
};

constexpr const char* kDialogTitle = "Kelvane_V1.1.3";
constexpr int kDialogWidthDu = 445;
constexpr int kDialogHeightDu = 323;
constexpr int kNoItemId = -1;

const ControlTemplate* DialogControls(int* count);

struct ColumnTemplate {
    const char* title;
    int widthPx;
};
const ColumnTemplate* DeviceListColumns(int* count);

// "宋体" 9 pt, as this system has it: Noto Serif CJK SC, else any face with simplified Chinese.
QFont DialogFont();

// The dialog's base units: average character width and character height of its font.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);
    DialogUnits(int baseX, int baseY) : m_baseX(baseX), m_baseY(baseY) {}
    int ToPixelsX(int du) const;
    int ToPixelsY(int du) const;
    QRect ToPixels(int x, int y, int cx, int cy) const;

private:
    int m_baseX;
    int m_baseY;
};
