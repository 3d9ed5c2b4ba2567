#pragma once
// The rows of the device list, held by the core so that the message thread never waits for
// the window: the row count is read here, and front ends draw from the change notifications.
// Texts come in as single-byte GBK, as devices send them, and are kept as UTF-8.
#include <array>
#include <mutex>
#include <string>
#include <vector>

#include "app/kelvane_view.h"
#include "app/ui_channel.h"

class DeviceListModel {
public:
    using Row = std::array<std::string, kDeviceListColumns>;

    explicit DeviceListModel(UiChannel& channel) : m_channel(channel) {}

    int GetItemCount() const;
    // Inserts a row at `row` (clamped to the end) with the text of column 0; returns its index.
    int InsertItem(int row, const char* gbkNumberText);
    bool SetItemText(int row, int column, const char* gbkText);
    void EnsureVisible(int row);
    void DeleteAllItems();
    std::vector<Row> Rows() const;

private:
    mutable std::mutex m_mutex;
    std::vector<Row> m_rows;
    UiChannel& m_channel;
};

// GBK bytes as UTF-8; a byte sequence that is not GBK is shown with "?" in its place, so a
// broken device text is still visible instead of lost.
std::string GbkToDisplayText(const char* gbk);
