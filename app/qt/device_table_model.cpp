#include "app/qt/device_table_model.h"

#include "app/kelvane_view.h"
#include "app/qt/dialog_template.h"

DeviceTableModel::DeviceTableModel(QObject* parent) : QAbstractTableModel(parent) {}

int DeviceTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int DeviceTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kDeviceListColumns;
}

QVariant DeviceTableModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid()) return {};
    return Cell(index.row(), index.column());
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
    QStringList cells;
    for (int column = 0; column < kDeviceListColumns; ++column) cells.append(QString());
    cells[kColNumber] = numberText;
    m_rows.insert(m_rows.begin() + row, cells);
    endInsertRows();
}

void DeviceTableModel::SetCell(int row, int column, const QString& text) {
    if (row < 0 || row >= static_cast<int>(m_rows.size()) || column < 0 || column >= kDeviceListColumns) return;
    m_rows[static_cast<size_t>(row)][column] = text;
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
    emit dataChanged(index(first, 0), index(last, kDeviceListColumns - 1), {Qt::DisplayRole});
}

QString DeviceTableModel::Cell(int row, int column) const {
    if (row < 0 || row >= static_cast<int>(m_rows.size()) || column < 0 || column >= kDeviceListColumns) return {};
    return m_rows[static_cast<size_t>(row)][column];
}
