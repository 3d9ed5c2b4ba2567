#include "app/device_list_model.h"

#include "platform/text_codec.h"

std::string GbkToDisplayText(const char* gbk) {
    if (gbk == nullptr) return {};
    // Rows carry device text (addresses, versions): escaped before conversion, since GBK turns
    // no byte into a control character.
    std::string safe = platform::EscapeControlChars(gbk);
    std::string utf8;
    if (platform::GbkToUtf8(safe, &utf8)) return utf8;
    std::string shown;
    for (char c : safe) shown += (static_cast<unsigned char>(c) < 0x80) ? c : '?';
    return shown;
}

int DeviceListModel::GetItemCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_rows.size());
}

int DeviceListModel::InsertItem(int row, const char* gbkNumberText) {
    std::string text = GbkToDisplayText(gbkNumberText);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (row < 0 || row > static_cast<int>(m_rows.size())) row = static_cast<int>(m_rows.size());
        Row added;
        added[kColNumber] = text;
        m_rows.insert(m_rows.begin() + row, added);
        m_channel.Queue([row, text](IKelvaneView& view) { view.OnRowInserted(row, text); });
    }
    m_channel.Deliver();
    return row;
}

bool DeviceListModel::SetItemText(int row, int column, const char* gbkText) {
    std::string text = GbkToDisplayText(gbkText);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (row < 0 || row >= static_cast<int>(m_rows.size()) || column < 0 || column >= kDeviceListColumns) {
            return false;
        }
        m_rows[static_cast<size_t>(row)][static_cast<size_t>(column)] = text;
        m_channel.Queue([row, column, text](IKelvaneView& view) { view.OnCellChanged(row, column, text); });
    }
    m_channel.Deliver();
    return true;
}

void DeviceListModel::EnsureVisible(int row) {
    m_channel.Post([row](IKelvaneView& view) { view.OnEnsureVisible(row); });
}

void DeviceListModel::DeleteAllItems() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_rows.clear();
        m_channel.Queue([](IKelvaneView& view) { view.OnAllRowsDeleted(); });
    }
    m_channel.Deliver();
}

std::vector<DeviceListModel::Row> DeviceListModel::Rows() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_rows;
}
