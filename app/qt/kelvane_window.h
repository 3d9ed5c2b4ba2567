#pragma once
// The main window: the dialog of the design, control for control, drawing the main window
// object (CKelvaneDlg) of the core. Everything the core tells it may come from any thread; it is
// queued here in order and applied on the window thread at most once per frame
// (kelvane_window_view.cpp).
#include <QDialog>
#include <QElapsedTimer>
#include <QTimer>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "app/kelvane_view.h"
#include "app/qt/message_prompter.h"

class CKelvaneDlg;
class DeviceTableModel;
class DeviceListView;
class QLabel;

// What the window's initialisation does outside the window, injected so tests can leave the
// process alone.
struct WindowStartup {
    std::function<void()> installCrashHandler;
    std::function<bool()> acquireSingleInstance;  // false: another copy of the program runs
};

class KelvaneWindow : public QDialog, public IKelvaneView {
    Q_OBJECT
public:
    KelvaneWindow(CKelvaneDlg& dlg, MessagePrompter& prompter, QWidget* parent = nullptr);
    ~KelvaneWindow() override;

    // The dialog's initialisation. False when another copy of the program runs: the operator
    // has been told, and the window closes by itself.
    bool OnInitDialog(const WindowStartup& startup);

    // The control of a dialog item, null for an unknown id.
    QWidget* Item(int id) const;
    DeviceTableModel* DeviceModel() const { return m_model; }
    // Applies the queued changes now instead of at the next frame.
    void FlushChanges();
    // True while a start or stop runs off the window thread.
    bool IsBusy() const { return m_busy; }
    void ShowAbout();
    // Shrinks the window, if need be, to fit `available` (a small laptop screen); never below the
    // size that keeps every control usable. The first size is the dialog's own.
    void FitInto(const QSize& available);
    // Closes as the close box does, but answers the question about a running run with yes.
    void CloseWithoutAsking();

    // IKelvaneView, callable from any thread.
    void SetItemText(int item, const std::string& text) override;
    void EnableItem(int item, bool enable) override;
    void ShowItem(int item, bool show) override;
    void OnRowInserted(int row, const std::string& numberText) override;
    void OnCellChanged(int row, int column, const std::string& text) override;
    void OnEnsureVisible(int row) override;
    void OnAllRowsDeleted() override;
    void SetComboItems(int item, const std::vector<std::string>& entries, int selected) override;
    void ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon) override;
    bool Confirm(const std::string& text, const std::string& caption) override;

    // Address requests of this run left unanswered because every address of the range was held,
    // as the marker beside the counts shows them; hidden while there are none.
    QLabel* RangeFullMarker() const { return m_rangeFull; }

    // The device list's own menu: the export entry, in the display language.
    QString ExportActionText() const;
    // Writes the run's results as CSV to a file the operator picks.
    void ExportResults();

signals:
    // A start or stop that ran off the window thread has ended.
    void StartStopFinished();

protected:
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    // Esc and Enter do what the close box does, except Enter in a text field, which takes the text.
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // Keeps the caret at the start of item 1000 when the window first takes the focus.
    bool eventFilter(QObject* watched, QEvent* event) override;
    void reject() override;
    void accept() override;

private:
    static QString FromUtf8(const std::string& text);
    // The caption of message boxes without their own: the executable's name.
    static QString ProgramCaption();
    void CreateControls();
    void PlaceControls();
    void Enqueue(std::function<void()> change);
    void ScheduleFlush();
    void ApplyEnabled(int item);
    void ShowRangeFull();
    void SetBusy(bool busy);
    void OnBrowse();
    void OnStartClicked();
    void OnStartStopEnded();
    // Runs `work` off the window thread with the buttons disabled; `done` then runs on it.
    void RunOffThread(std::function<void()> work, std::function<void()> done);
    void ShowListMenu(const QPoint& at);
    void FinishClose();

    CKelvaneDlg& m_dlg;
    MessagePrompter& m_prompter;
    std::map<int, QWidget*> m_items;
    // Each control's rectangle at the dialog's own size, and the edges it keeps its distance to.
    struct Placement {
        QWidget* widget;
        QRect base;
        int anchors;
    };
    std::vector<Placement> m_placements;
    QSize m_baseSize;
    DeviceTableModel* m_model = nullptr;
    DeviceListView* m_list = nullptr;
    QLabel* m_rangeFull = nullptr;
    int m_rangeFullShown = 0;
    // Requests that find the range full change no row, so nothing else would redraw the marker.
    QTimer m_rangeFullTimer;

    std::mutex m_queueMutex;
    std::vector<std::function<void()>> m_queue;
    bool m_flushPosted = false;
    QTimer m_flushTimer;
    QElapsedTimer m_sinceFlush;
    int m_scrollRow = -1;  // the row to scroll into view at the end of this drawing pass

    std::map<int, bool> m_coreEnabled;  // what the core last asked for each item
    bool m_busy = false;
    bool m_closeRequested = false;
    bool m_closing = false;
    bool m_caretPending = false;
    std::atomic<bool> m_answerYes{false};  // read by Confirm off the window thread
    std::thread m_worker;
    std::function<void()> m_workerDone;
};
