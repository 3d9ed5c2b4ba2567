#include "app/qt/device_table_model.h"

#include <QHash>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <string>

#include "app/kelvane_view.h"
#include "app/qt/dialog_template.h"
#include "platform/system_lang.h"
#include "platform/text_codec.h"
#include "reporting/device_table.h"
#include "reporting/state_text.h"

namespace {

using RowKind = DeviceTableModel::RowKind;

// Every state text the core can put in a row, in both languages, with what it means. Devices
// send numbers, never these texts, so a device cannot dress one state up as another.
QHash<QString, RowKind> BuildStateKinds() {
    QHash<QString, RowKind> kinds;
    for (uint16_t lang : {platform::kLangEnglishUS, uint16_t{2052}}) {
        for (uint32_t event = 0; event <= kMaxReportEvent; ++event) {
            for (uint32_t state = 0; state <= kMaxIpcState; ++state) {
                char gbk[kIpcStateTextSize];
                std::string text;
                if (GetIPCStateText(lang, event, state, gbk) != 0 || gbk[0] == '\0' || !platform::GbkToUtf8(gbk, &text))
                    continue;
                RowKind kind = RowKind::Open;
                if (!IsStateNotFailed(std::to_string(state).c_str())) {
                    kind = RowKind::Failed;
                } else if (state == 0 &&
                           (static_cast<int>(event) == kFinalEventIpc || static_cast<int>(event) == kFinalEventNvr)) {
                    kind = RowKind::Finished;  // the text a device that has finished ends on
                }
                // A text shared by states of different meaning marks nothing.
                QString key = QString::fromStdString(text);
                auto known = kinds.find(key);
                if (known == kinds.end()) {
                    kinds.insert(key, kind);
                } else if (*known != kind) {
                    *known = RowKind::Open;
                }
            }
        }
    }
    return kinds;
}

// A round badge drawn here rather than taken from the style: styles differ, and some draw
// nothing for these roles.
QIcon Badge(const QColor& fill, bool cross) {
    QIcon icon;
    for (int size : {16, 32}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(size / 16.0, size / 16.0);
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawEllipse(QRectF(1, 1, 14, 14));
        painter.setPen(QPen(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        QPainterPath mark;
        if (cross) {
            mark.moveTo(5, 5), mark.lineTo(11, 11), mark.moveTo(11, 5), mark.lineTo(5, 11);
        } else {
            mark.moveTo(4.5, 8.5), mark.lineTo(7, 11), mark.lineTo(11.5, 5.5);
        }
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(mark);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace

DeviceTableModel::RowKind DeviceTableModel::KindOfState(const QString& stateText) {
    static const QHash<QString, RowKind> kinds = BuildStateKinds();
    return kinds.value(stateText, RowKind::Open);
}

DeviceTableModel::RowColours DeviceTableModel::ColoursOf(RowKind kind) {
    switch (kind) {
        case RowKind::Failed:
            return {QColor(0x8a, 0x10, 0x10), QColor(0xfb, 0xd5, 0xd5)};
        case RowKind::Finished:
            return {QColor(0x11, 0x55, 0x1c), QColor(0xd6, 0xf0, 0xd8)};
        case RowKind::Open:
            break;
    }
    return {};
}

DeviceTableModel::DeviceTableModel(QObject* parent)
    : QAbstractTableModel(parent),
      m_failedIcon(Badge(QColor(0xc6, 0x28, 0x28), true)),
      m_finishedIcon(Badge(QColor(0x2e, 0x7d, 0x32), false)) {}

int DeviceTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int DeviceTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kDeviceListColumns;
}

QVariant DeviceTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(m_rows.size())) return {};
    const Row& row = m_rows[static_cast<size_t>(index.row())];
    switch (role) {
        case Qt::DisplayRole:
            return Cell(index.row(), index.column());
        case Qt::ToolTipRole: {
            // Columns are narrow for English reasons and long versions: the whole text on hover.
            // Tooltips render anything that looks like markup, and devices choose their version
            // texts: the text is escaped, so it is shown as sent and cannot restyle the tooltip.
            QString text = Cell(index.row(), index.column());
            if (text.isEmpty()) return {};
            return QStringLiteral("<p style='white-space:pre'>%1</p>").arg(text.toHtmlEscaped());
        }
        case Qt::ForegroundRole:
        case Qt::BackgroundRole: {
            if (row.kind == RowKind::Open) return {};
            RowColours colours = ColoursOf(row.kind);
            return role == Qt::ForegroundRole ? colours.text : colours.background;
        }
        case Qt::DecorationRole:
            // Beside the number, where the eye runs down the list; the state text keeps its width.
            if (index.column() != kColNumber || row.kind == RowKind::Open) return {};
            return row.kind == RowKind::Failed ? m_failedIcon : m_finishedIcon;
        default:
            return {};
    }
}

QVariant DeviceTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    int count = 0;
    const ColumnTemplate* columns = DeviceListColumns(&count);
    if (orientation != Qt::Horizontal || section < 0 || section >= count) return {};
    if (role == Qt::DisplayRole) return QString::fromUtf8(columns[section].title);
    if (role == Qt::TextAlignmentRole) return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
    return {};
}

void DeviceTableModel::InsertRow(int row, const QString& numberText) {
    AnnounceChanges();  // row numbers of pending changes refer to the rows before the insert
    int count = static_cast<int>(m_rows.size());
    if (row < 0 || row > count) row = count;
    beginInsertRows(QModelIndex(), row, row);
    Row added;
    for (int column = 0; column < kDeviceListColumns; ++column) added.cells.append(QString());
    added.cells[kColNumber] = numberText;
    m_rows.insert(m_rows.begin() + row, added);
    endInsertRows();
}

void DeviceTableModel::SetCell(int row, int column, const QString& text) {
    if (row < 0 || row >= static_cast<int>(m_rows.size()) || column < 0 || column >= kDeviceListColumns) return;
    Row& changed = m_rows[static_cast<size_t>(row)];
    changed.cells[column] = text;
    if (column == kColState) changed.kind = KindOfState(text);
    if (m_dirtyFirst < 0 || row < m_dirtyFirst) m_dirtyFirst = row;
    if (row > m_dirtyLast) m_dirtyLast = row;
}

void DeviceTableModel::DeleteAll() {
    beginResetModel();
    m_rows.clear();
    m_dirtyFirst = m_dirtyLast = -1;
    endResetModel();
}

void DeviceTableModel::AnnounceChanges() {
    if (m_dirtyFirst < 0) return;
    int first = m_dirtyFirst, last = m_dirtyLast;
    m_dirtyFirst = m_dirtyLast = -1;
    // The whole row: a state change recolours every cell of it.
    emit dataChanged(index(first, 0), index(last, kDeviceListColumns - 1));
}

QString DeviceTableModel::Cell(int row, int column) const {
    if (row < 0 || row >= static_cast<int>(m_rows.size()) || column < 0 || column >= kDeviceListColumns) return {};
    return m_rows[static_cast<size_t>(row)].cells[column];
}

DeviceTableModel::RowKind DeviceTableModel::Kind(int row) const {
    if (row < 0 || row >= static_cast<int>(m_rows.size())) return RowKind::Open;
    return m_rows[static_cast<size_t>(row)].kind;
}
