#include "app/qt/kelvane_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QResizeEvent>
#include <algorithm>
#include <memory>

#include "app/kelvane_dlg.h"
#include "app/qt/about_dialog.h"
#include "app/qt/device_list_view.h"
#include "app/qt/device_table_model.h"
#include "app/qt/dialog_template.h"
#include "app/run_results.h"
#include "platform/system_lang.h"
#include "platform/thread.h"

namespace {

// The least height the device list keeps when the window is made small.
constexpr int kMinListHeightPx = 150;
// The marker of unanswered address requests: in the empty stretch of the counts' row, between
// the failure count and the clear button, in dialog units.
constexpr int kRangeFullLeftDu = 138, kRangeFullRightDu = 384;
constexpr int kRangeFullPollMs = 500;

// The edges a control keeps its distance to when the window is resized; none: top and left.
enum Anchor { kFollowRight = 1, kFollowBottom = 2, kGrowWide = 4, kGrowTall = 8 };

int AnchorsOf(int id) {
    switch (id) {
        case IDC_BTN_START:
        case IDC_BTN_PAUSE:
            return kFollowRight;
        case IDC_LIST_INFO:
            return kGrowWide | kGrowTall;
        case IDC_STATIC_SUCCESS_LABEL:
        case IDC_STATIC_SUCCESS:
        case IDC_STATIC_FAIL_LABEL:
        case IDC_STATIC_FAIL:
            return kFollowBottom;
        case IDC_BTN_CLEAR:
            return kFollowRight | kFollowBottom;
        default:
            return 0;
    }
}

bool IsTextField(QWidget* widget) {
    auto* combo = qobject_cast<QComboBox*>(widget);
    return qobject_cast<QLineEdit*>(widget) != nullptr || (combo != nullptr && combo->isEditable());
}

}  // namespace

QString KelvaneWindow::FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString KelvaneWindow::ProgramCaption() {
    return QStringLiteral("kelvane");
}

KelvaneWindow::KelvaneWindow(CKelvaneDlg& dlg, MessagePrompter& prompter, QWidget* parent)
    : QDialog(parent), m_dlg(dlg), m_prompter(prompter) {
    // A window of its own (taskbar entry), with minimize and close boxes but no maximize box.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setWindowTitle(QString::fromUtf8(kDialogTitle));
    m_flushTimer.setSingleShot(true);
    connect(&m_flushTimer, &QTimer::timeout, this, &KelvaneWindow::FlushChanges);
    m_sinceFlush.start();
    CreateControls();
    m_dlg.SetView(this);
}

KelvaneWindow::~KelvaneWindow() {
    m_dlg.SetView(nullptr);
    if (m_worker.joinable()) m_worker.join();
}

void KelvaneWindow::CreateControls() {
    setFont(DialogFont());
    DialogUnits units(font());
    m_baseSize = QSize(units.ToPixelsX(kDialogWidthDu), units.ToPixelsY(kDialogHeightDu));

    int count = 0;
    const ControlTemplate* controls = DialogControls(&count);
    for (int i = 0; i < count; ++i) {
        const ControlTemplate& control = controls[i];
        QString text = QString::fromUtf8(control.text);
        QWidget* widget = nullptr;
        QRect rect = units.ToPixels(control.x, control.y, control.cx, control.cy);
        switch (control.kind) {
            case ControlKind::Static:
                widget = new QLabel(text, this);
                break;
            case ControlKind::ComboBox: {
                auto* combo = new QComboBox(this);
                combo->setEditable(true);
                combo->setInsertPolicy(QComboBox::NoInsert);
                // The resource height includes the dropped list; the closed box is one line high.
                rect.setHeight(std::min(rect.height(), combo->sizeHint().height()));
                widget = combo;
                break;
            }
            case ControlKind::CheckBox:
                widget = new QCheckBox(text, this);
                break;
            case ControlKind::PushButton: {
                auto* button = new QPushButton(text, this);
                button->setAutoDefault(false);  // Enter is the close box's, not a button's
                widget = button;
                break;
            }
            case ControlKind::Edit:
                widget = new QLineEdit(this);
                break;
            case ControlKind::ListView: {
                m_list = new DeviceListView(this);
                m_model = new DeviceTableModel(m_list);
                m_list->setModel(m_model);
                m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
                m_list->verticalHeader()->hide();
                m_list->setWordWrap(false);
                m_list->setContextMenuPolicy(Qt::CustomContextMenu);
                widget = m_list;
                break;
            }
        }
        widget->setGeometry(rect);
        m_placements.push_back({widget, rect, control.id == kNoItemId ? 0 : AnchorsOf(control.id)});
        if (control.id != kNoItemId) {
            widget->setObjectName(QStringLiteral("item%1").arg(control.id));
            m_items[control.id] = widget;
        }
    }
    // Not a control of the dialog: it only appears when devices go unanswered, so that the
    // operator sees why they keep asking.
    m_rangeFull = new QLabel(this);
    m_rangeFull->setObjectName(QStringLiteral("rangeFull"));
    m_rangeFull->setAutoFillBackground(true);
    QPalette warning = m_rangeFull->palette();
    // A failed row's colours: text and background both set, so it reads alike in dark themes.
    const auto colours = DeviceTableModel::ColoursOf(DeviceTableModel::RowKind::Failed);
    warning.setColor(QPalette::Window, colours.background);
    warning.setColor(QPalette::WindowText, colours.text);
    m_rangeFull->setPalette(warning);
    m_rangeFull->hide();
    const QRect countsRow = units.ToPixels(kRangeFullLeftDu, 311, kRangeFullRightDu - kRangeFullLeftDu, 8);
    m_rangeFull->setGeometry(countsRow);
    m_placements.push_back({m_rangeFull, countsRow, kFollowBottom | kGrowWide});
    connect(&m_rangeFullTimer, &QTimer::timeout, this, &KelvaneWindow::ShowRangeFull);
    m_rangeFullTimer.start(kRangeFullPollMs);

    auto button = [this](int id) { return static_cast<QPushButton*>(Item(id)); };
    auto check = [this](int id) { return static_cast<QCheckBox*>(Item(id)); };
    connect(button(IDC_BTN_BROWSE), &QPushButton::clicked, this, &KelvaneWindow::OnBrowse);
    connect(button(IDC_BTN_START), &QPushButton::clicked, this, &KelvaneWindow::OnStartClicked);
    connect(button(IDC_BTN_PAUSE), &QPushButton::clicked, this, [this] { m_dlg.OnBtnPause(); });
    connect(button(IDC_BTN_CLEAR), &QPushButton::clicked, this, [this] { m_dlg.OnBtnClearList(); });
    connect(check(IDC_CHK_IP_CHECK), &QCheckBox::clicked, this, [this](bool on) { m_dlg.OnChkIpCheck(on); });
    connect(check(IDC_CHK_FORCE_OLD), &QCheckBox::clicked, this, [this](bool on) { m_dlg.OnChkForceOld(on); });
    // The core reads what the operator typed or picked when a run starts.
    connect(static_cast<QLineEdit*>(Item(IDC_EDIT_PATH)), &QLineEdit::textChanged, this,
            [this](const QString& text) { m_dlg.SetItemInput(IDC_EDIT_PATH, text.toStdString()); });
    connect(static_cast<QComboBox*>(Item(IDC_COMBO_LOCAL_IP)), &QComboBox::editTextChanged, this,
            [this](const QString& text) { m_dlg.SetItemInput(IDC_COMBO_LOCAL_IP, text.toStdString()); });
    connect(m_list, &QWidget::customContextMenuRequested, this, &KelvaneWindow::ShowListMenu);
    // Enter in the folder box takes the folder; the window stays (keyPressEvent).
    connect(static_cast<QLineEdit*>(Item(IDC_EDIT_PATH)), &QLineEdit::returnPressed, this, [this] {
        m_dlg.SetItemInput(IDC_EDIT_PATH, static_cast<QLineEdit*>(Item(IDC_EDIT_PATH))->text().toStdString());
    });

    // Resizable down to what a 1024 x 600 screen holds: the controls beside the list keep their
    // distance to the edges they sit at, and the list takes what is left.
    int leftReach = 0, rightReach = 0;
    for (const Placement& placed : m_placements) {
        if (placed.anchors & kGrowWide) continue;
        if (placed.anchors & kFollowRight) {
            rightReach = std::max(rightReach, m_baseSize.width() - placed.base.left());
        } else {
            leftReach = std::max(leftReach, placed.base.right() + 1);
        }
    }
    const QRect list = m_list->geometry();
    setMinimumSize(leftReach + units.ToPixelsX(8) + rightReach, m_baseSize.height() - list.height() + kMinListHeightPx);
    resize(m_baseSize);
}

void KelvaneWindow::PlaceControls() {
    const int dw = width() - m_baseSize.width(), dh = height() - m_baseSize.height();
    for (const Placement& placed : m_placements) {
        QRect rect = placed.base;
        if (placed.anchors & kFollowRight) rect.translate(dw, 0);
        if (placed.anchors & kFollowBottom) rect.translate(0, dh);
        if (placed.anchors & kGrowWide) rect.setWidth(rect.width() + dw);
        if (placed.anchors & kGrowTall) rect.setHeight(rect.height() + dh);
        placed.widget->setGeometry(rect);
    }
}

void KelvaneWindow::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    PlaceControls();
}

void KelvaneWindow::FitInto(const QSize& available) {
    resize(m_baseSize.boundedTo(available).expandedTo(minimumSize()));
}

bool KelvaneWindow::OnInitDialog(const WindowStartup& startup) {
    setWindowIcon(QApplication::windowIcon());
    if (startup.installCrashHandler) startup.installCrashHandler();
    if (startup.acquireSingleInstance && !startup.acquireSingleInstance()) {
        m_prompter.Alert(this, QStringLiteral("该程序已经启动!"), ProgramCaption());
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
        return false;
    }
    // Hidden items, "Config.ini" ("Path", "LogSwitch"), the local addresses: the core's part.
    m_dlg.InitDialogState();
    FlushChanges();
    auto* path = static_cast<QLineEdit*>(Item(IDC_EDIT_PATH));
    path->setCursorPosition(0);  // the start of a long path is what tells folders apart
    path->setFocus();
    // Activating the window gives the focus again, and that selects the whole text with the
    // caret at its end; the first focus-in puts the caret back.
    m_caretPending = true;
    path->installEventFilter(this);

    // A report view with full-row selection and grid lines; the six columns, left-aligned.
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setShowGrid(true);
    QHeaderView* header = m_list->horizontalHeader();
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // The last column takes the spare width; every column can be dragged wider to read it whole.
    header->setStretchLastSection(true);
    header->setHighlightSections(false);
    int count = 0;
    const ColumnTemplate* columns = DeviceListColumns(&count);
    for (int column = 0; column < count; ++column) {
        header->setSectionResizeMode(column, QHeaderView::Interactive);
        m_list->setColumnWidth(column, columns[column].widthPx);
    }
    m_list->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_list->verticalHeader()->setDefaultSectionSize(m_list->fontMetrics().height() + 4);
    return true;
}

QWidget* KelvaneWindow::Item(int id) const {
    auto found = m_items.find(id);
    return found != m_items.end() ? found->second : nullptr;
}

// ---- Handlers -------------------------------------------------------------------------

void KelvaneWindow::OnBrowse() {
    auto* path = static_cast<QLineEdit*>(Item(IDC_EDIT_PATH));
    QString folder;
    if (m_prompter.ChooseFolder(this, path->text(), &folder)) path->setText(folder);
}

void KelvaneWindow::RunOffThread(std::function<void()> work, std::function<void()> done) {
    if (m_worker.joinable()) m_worker.join();
    SetBusy(true);
    m_workerDone = std::move(done);
    m_worker = std::thread([this, work = std::move(work)] {
        platform::SetCurrentThreadName("kv-startstop");
        work();
        QMetaObject::invokeMethod(this, &KelvaneWindow::OnStartStopEnded, Qt::QueuedConnection);
    });
}

void KelvaneWindow::OnStartStopEnded() {
    m_worker.join();
    FlushChanges();  // the core's own enabling of the buttons comes first
    SetBusy(false);
    std::function<void()> done = std::move(m_workerDone);
    m_workerDone = nullptr;
    if (done) done();
    emit StartStopFinished();
    if (m_closeRequested && !m_closing) {
        m_closeRequested = false;
        close();
    }
}

void KelvaneWindow::OnStartClicked() {
    if (m_busy) return;
    // Start and stop take seconds (the TFTP service's start, the joins); the window keeps drawing.
    RunOffThread([this] { m_dlg.OnBtnStart(); }, nullptr);
}

QString KelvaneWindow::ExportActionText() const {
    return m_dlg.m_wLangID == platform::kLangEnglishUS ? QStringLiteral("Export results...")
                                                       : QStringLiteral("导出结果...");
}

void KelvaneWindow::ShowListMenu(const QPoint& at) {
    QMenu menu(this);
    menu.addAction(ExportActionText(), this, &KelvaneWindow::ExportResults);
    menu.exec(m_list->viewport()->mapToGlobal(at));
}

void KelvaneWindow::ExportResults() {
    std::vector<DeviceResult> results = m_dlg.ResultsSnapshot();
    QString suggested = QStringLiteral("kelvane-results-%1.csv")
                            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
    QString file;
    if (!m_prompter.ChooseSaveFile(this, ExportActionText().remove(QStringLiteral("...")), suggested, &file)) return;
    std::string error;
    if (!WriteResultsFile(results, file.toStdString(), &error, nullptr, m_dlg.m_wLangID == platform::kLangEnglishUS)) {
        m_prompter.Inform(
            this, FromUtf8(error),
            m_dlg.m_wLangID == platform::kLangEnglishUS ? QStringLiteral("Error") : QStringLiteral("错误"),
            MessagePrompter::Error);
    }
}

void KelvaneWindow::ShowAbout() {
    CAboutDlg about(this);
    about.exec();
}

void KelvaneWindow::contextMenuEvent(QContextMenuEvent* event) {
    // The window manager's menu cannot take an entry of ours; the dialog's own menu carries it.
    QMenu menu(this);
    menu.addAction(QStringLiteral("关于 Kelvane(&A)..."), this, &KelvaneWindow::ShowAbout);
    menu.exec(event->globalPos());
}

void KelvaneWindow::closeEvent(QCloseEvent* event) {
    if (m_closing) {
        event->accept();
        return;
    }
    if (m_busy) {
        // A start or stop is under way; the close is handled once it has ended.
        m_closeRequested = true;
        event->ignore();
        return;
    }
    event->ignore();
    if (!m_dlg.IsRunning()) {
        if (m_dlg.OnClose()) FinishClose();
        return;
    }
    // Asks, then stops the run: off the window thread, which only answers the question.
    auto allowed = std::make_shared<bool>(false);
    RunOffThread([this, allowed] { *allowed = m_dlg.OnClose(); },
                 [this, allowed] {
                     if (*allowed) FinishClose();
                 });
}

void KelvaneWindow::CloseWithoutAsking() {
    m_answerYes = true;
    close();
}

void KelvaneWindow::FinishClose() {
    m_closing = true;
    QDialog::done(QDialog::Rejected);
    hide();
}

void KelvaneWindow::keyPressEvent(QKeyEvent* event) {
    bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && event->modifiers() == Qt::NoModifier) {
        // Enter on a push button presses it; in a text field it takes the text (the field has
        // done so already) and the typed folder is not lost to a closing window; anywhere else
        // it asks to close, like the close box.
        if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
            button->click();
        } else if (IsTextField(focusWidget())) {
            event->accept();
        } else {
            close();
        }
        return;
    }
    QDialog::keyPressEvent(event);  // Esc reaches reject()
}

bool KelvaneWindow::eventFilter(QObject* watched, QEvent* event) {
    if (m_caretPending && event->type() == QEvent::FocusIn && watched == Item(IDC_EDIT_PATH)) {
        m_caretPending = false;
        auto* path = static_cast<QLineEdit*>(watched);
        QMetaObject::invokeMethod(
            path,
            [path] {
                path->deselect();
                path->setCursorPosition(0);
            },
            Qt::QueuedConnection);
    }
    return QDialog::eventFilter(watched, event);
}

void KelvaneWindow::reject() {
    close();
}

void KelvaneWindow::accept() {
    close();
}
