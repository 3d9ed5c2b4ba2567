#pragma once
// The rows the device list shows, as the window last drew them. Cell changes are gathered and
// announced once per drawing pass, so a hundred devices reporting several times a second cost
// one repaint per frame instead of one per report.
#include <QAbstractTableModel>
#include <QColor>
#include <QIcon>
#include <QStringList>
#include <vector>

class DeviceTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    // What a row's state text says about the device, for the technician scanning the list.
    enum class RowKind { Open, Failed, Finished };
    // Text and background of a marked row; both are set, so the pair reads the same in light
    // and dark themes.
    struct RowColours {
        QColor text;
        QColor background;
    };
    static RowKind KindOfState(const QString& stateText);
    static RowColours ColoursOf(RowKind kind);

    explicit DeviceTableModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void InsertRow(int row, const QString& numberText);
    void SetCell(int row, int column, const QString& text);
    void DeleteAll();
    // Announces the cells changed since the last call.
    void AnnounceChanges();
    QString Cell(int row, int column) const;
    RowKind Kind(int row) const;

private:
    struct Row {
        QStringList cells;
        RowKind kind = RowKind::Open;
    };
    std::vector<Row> m_rows;
    int m_dirtyFirst = -1;
    int m_dirtyLast = -1;
    QIcon m_failedIcon;
    QIcon m_finishedIcon;
};
