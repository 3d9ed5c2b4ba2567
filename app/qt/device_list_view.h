#pragma once
#include <QTableView>

// The device list. Its scroll range is laid out lazily, after the rows just inserted; scrolling
// to the newest row before that stops short and leaves the row half hidden.
class DeviceListView : public QTableView {
public:
    using QTableView::QTableView;
    void ScrollFullyTo(const QModelIndex& index) {
        updateGeometries();
        scrollTo(index, QAbstractItemView::EnsureVisible);
    }
};
