// The window on the offscreen platform. Its main enters a private network namespace first, as
// every test binary does.
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <QTextDocumentFragment>
#include <QTranslator>
#include <cmath>
#include <cstdio>
#include <thread>
#include <tuple>

#include "app/kelvane_dlg.h"
#include "app/qt/about_dialog.h"
#include "app/qt/app_setup.h"
#include "app/qt/device_table_model.h"
#include "app/qt/dialog_template.h"
#include "app/qt/kelvane_window.h"
#include "app/version.h"
#include "log/log.h"
#include "platform/app_paths.h"
#include "platform/module_path.h"
#include "support/netns.h"
#include "support/temp_dir.h"

namespace {

// WCAG's contrast ratio of two colours: 4.5 and above reads as body text.
double Contrast(const QColor& a, const QColor& b) {
    auto luminance = [](const QColor& c) {
        auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// What a tooltip shows, as the operator reads it.
QString TooltipText(const QModelIndex& index) {
    return QTextDocumentFragment::fromHtml(index.data(Qt::ToolTipRole).toString()).toPlainText();
}

// Answers every box at once and remembers what was asked.
class AnsweringPrompter : public MessagePrompter {
public:
    void Inform(QWidget*, const QString& text, const QString& caption, Icon icon) override {
        shown << caption + "|" + text;
        icons << icon;
    }
    void Alert(QWidget*, const QString& text, const QString& caption) override { shown << caption + "|" + text; }
    bool Ask(QWidget*, const QString& text, const QString&) override {
        shown << "ask|" + text;
        return answer;
    }
    bool ChooseFolder(QWidget*, const QString&, QString* folder) override {
        if (!folder_.isEmpty()) *folder = folder_;
        return !folder_.isEmpty();
    }
    bool ChooseSaveFile(QWidget*, const QString&, const QString&, QString* file) override {
        *file = saveAs;
        return true;
    }
    QStringList shown;
    QList<Icon> icons;
    bool answer = false;
    QString folder_;
    QString saveAs;
};

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT

    testsupport::TempDir m_dir;
    std::unique_ptr<CKelvaneDlg> m_dlg;
    std::unique_ptr<AnsweringPrompter> m_prompter;
    std::unique_ptr<KelvaneWindow> m_window;

    KelvaneWindow& Open(const char* lang = "zh_CN.UTF-8", bool firstCopy = true) {
        setenv("LANG", lang, 1);
        cleanup();
        m_dlg = std::make_unique<CKelvaneDlg>();
        m_prompter = std::make_unique<AnsweringPrompter>();
        m_window = std::make_unique<KelvaneWindow>(*m_dlg, *m_prompter);
        m_window->OnInitDialog({nullptr, [firstCopy] { return firstCopy; }});
        m_window->show();
        m_window->FlushChanges();
        return *m_window;
    }
    template <class T>
    T* Item(int id) {
        return qobject_cast<T*>(m_window->Item(id));
    }
    QString Text(int id) {
        QWidget* w = m_window->Item(id);
        if (auto* label = qobject_cast<QLabel*>(w)) return label->text();
        if (auto* button = qobject_cast<QAbstractButton*>(w)) return button->text();
        return {};
    }

private slots:
    void init() {
        platform::SetAppFilesDir(m_dir.Path());
        std::remove(m_dir.File("Config.ini").c_str());
    }
    void cleanup() {
        m_window.reset();
        m_dlg.reset();
    }

    void controlsMatchTheResource() {
        KelvaneWindow& w = Open();
        QCOMPARE(w.windowTitle(), QStringLiteral("Kelvane_V1.1.3"));
        QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(w.windowFlags() & Qt::WindowMinimizeButtonHint);
        DialogUnits du(w.font());
        QCOMPARE(w.size(), QSize(du.ToPixelsX(445), du.ToPixelsY(323)));
        // clang-format off
        const std::tuple<int, const char*, const char*, QRect, bool> expected[] = {
            {1001, "QComboBox", "", {75, 11, 84, 30}, true}, {1009, "QCheckBox", "强制升级旧版本", {167, 12, 71, 12}, true},
            {1014, "QCheckBox", "IP占用检测", {245, 12, 53, 12}, true}, {1007, "QPushButton", "开始升级", {384, 8, 52, 16}, true},
            {1016, "QPushButton", "暂停测试", {384, 30, 52, 16}, false}, {1000, "QLineEdit", "", {75, 32, 219, 14}, true},
            {1003, "QPushButton", "浏览...", {297, 32, 52, 14}, true}, {1006, "QTableView", "", {8, 59, 429, 245}, true},
            {1010, "QLabel", "成功：", {11, 311, 25, 8}, true}, {1011, "QLabel", "0", {37, 311, 29, 8}, true},
            {1012, "QLabel", "失败：", {75, 311, 25, 8}, true}, {1013, "QLabel", "0", {101, 311, 29, 8}, true},
            {1008, "QPushButton", "清空列表", {392, 307, 50, 14}, true}};
        // clang-format on
        for (const auto& [id, kind, text, rect, visible] : expected) {
            QWidget* item = w.Item(id);
            QVERIFY2(item != nullptr && item->inherits(kind), qPrintable(QString::number(id)));
            QCOMPARE(Text(id), QString::fromUtf8(text));
            QCOMPARE(item->isVisible(), visible);
            QRect px = du.ToPixels(rect.x(), rect.y(), rect.width(), rect.height());
            if (id == 1001) px.setHeight(item->height());  // the closed box; 30 includes the drop-down list
            QCOMPARE(item->geometry(), px);
        }
        int labels = 0;
        for (auto* label : w.findChildren<QLabel*>()) {
            if (label->text() == "本机地址：") labels += label->geometry() == du.ToPixels(11, 13, 60, 8);
            if (label->text() == "升级文件目录：") labels += label->geometry() == du.ToPixels(11, 35, 60, 8);
        }
        QCOMPARE(labels, 2);
        QTableView* list = Item<QTableView>(IDC_LIST_INFO);
        QVERIFY(list->showGrid());
        QCOMPARE(list->selectionBehavior(), QAbstractItemView::SelectRows);
        const char* titles[] = {"编号", "IP地址", "状态", "进度", "升级前版本", "升级后版本"};
        const int widths[] = {50, 120, 120, 50, 150, 150};
        for (int c = 0; c < 6; ++c) {
            QCOMPARE(list->model()->headerData(c, Qt::Horizontal).toString(), QString::fromUtf8(titles[c]));
            if (c < 5) QCOMPARE(list->columnWidth(c), widths[c]);
        }
        // The last column takes the spare width instead of leaving it empty.
        QVERIFY(list->columnWidth(5) > 150);
        QTRY_COMPARE(list->horizontalHeader()->length(), list->viewport()->width());
        // The dialog manager's rounding: with base units 8 x 17, 445 x 323 units are 890 x 686 pixels.
        QCOMPARE(DialogUnits(8, 17).ToPixels(0, 0, 445, 323).size(), QSize(890, 686));
    }

    void configFileFillsTheFolderAndLog() {
        QCOMPARE(Open().findChild<QLineEdit*>("item1000")->text(), QString::fromStdString(platform::ExecutableDir()));
        m_dir.Write("Config.ini", "[CNFINFO]\r\nLogSwitch=0\r\n");
        QCOMPARE(Open().findChild<QLineEdit*>("item1000")->text(), QStringLiteral("C:"));
        m_dir.Write("Config.ini",
                    "[CNFINFO]\r\nPath=/srv/firmware/very/long/folder/name/of/many/parts\r\nLogSwitch=1\r\n");
        QCOMPARE(chdir(m_dir.Path().c_str()), 0);  // "Upgrade.log" is relative to the working folder
        auto* path = Open().findChild<QLineEdit*>("item1000");
        QCOMPARE(path->text(), QStringLiteral("/srv/firmware/very/long/folder/name/of/many/parts"));
        QTRY_COMPARE(path->cursorPosition(), 0);
        QVERIFY(!path->hasSelectedText());
        QCOMPARE(m_dlg->GetItemInput(IDC_EDIT_PATH), path->text().toStdString());
        LogMessage(LOG_INFO, "level three reaches the file");
        QVERIFY(m_dir.Read("Upgrade.log").find("level three reaches the file") != std::string::npos);
    }

    void handlersDrawWhatTheCoreSays() {
        Open();
        auto* pause = Item<QPushButton>(IDC_BTN_PAUSE);
        for (const char* caption : {"继续升级", "暂停升级", "继续升级"}) {
            pause->click();
            m_window->FlushChanges();
            QCOMPARE(pause->text(), QString::fromUtf8(caption));
        }
        auto* folder = Item<QLineEdit>(IDC_EDIT_PATH);
        QString before = folder->text();
        Item<QPushButton>(IDC_BTN_BROWSE)->click();  // cancelled: nothing changes
        QCOMPARE(folder->text(), before);
        m_prompter->folder_ = "/srv/fw";
        Item<QPushButton>(IDC_BTN_BROWSE)->click();
        QCOMPARE(m_dlg->GetItemInput(IDC_EDIT_PATH), std::string("/srv/fw"));
        auto* ipCheck = Item<QCheckBox>(IDC_CHK_IP_CHECK);
        QTest::mouseClick(ipCheck, Qt::LeftButton);  // checks: warning
        QTest::mouseClick(ipCheck, Qt::LeftButton);  // unchecks: nothing
        m_window->FlushChanges();
        QCOMPARE(m_prompter->shown.size(), 1);
        QVERIFY(m_prompter->shown[0].startsWith("提示|IP占用检测需要一定时间"));

        m_dlg->RegisterIpcInfo("AA", "10.0.0.9", "IPC-A1-2.0.1.6", 0);
        m_dlg->ReportMsgProc(3,
                             "Msg:Report_Filesystem\r\nIpaddr:10.0.0.9\r\nIPCMac:AA\r\nSchedule:100\r\nState:0\r\n"
                             "Version:IPC*A1-2.0.1.5-b\r\n");
        m_window->FlushChanges();
        QCOMPARE(Text(IDC_STATIC_SUCCESS), QStringLiteral("1"));
        QCOMPARE(m_window->DeviceModel()->rowCount(), 1);
        Item<QPushButton>(IDC_BTN_CLEAR)->click();
        m_window->FlushChanges();
        QCOMPARE(Text(IDC_STATIC_SUCCESS), QStringLiteral("0"));
        QCOMPARE(m_window->DeviceModel()->rowCount(), 0);
    }

    void closeDuringARunAsks() {
        Open();
        m_dlg->m_bRunning = 1;  // the close path only looks at the flag; stopping a run that never began is safe
        QTest::keyClick(m_window.get(), Qt::Key_Escape);
        QTRY_VERIFY(!m_window->IsBusy());
        QCOMPARE(m_prompter->shown, QStringList{"ask|升级服务还未停止，确定退出？"});
        QVERIFY(m_window->isVisible() && m_dlg->IsRunning());
        m_prompter->answer = true;
        m_window->close();  // the close box
        QTRY_VERIFY(!m_window->isVisible());
        QVERIFY(!m_dlg->IsRunning());
    }

    void refusedStartRunsOffTheWindowThread() {
        Open();
        auto* start = Item<QPushButton>(IDC_BTN_START);
        Item<QComboBox>(IDC_COMBO_LOCAL_IP)->setEditText("no address");
        start->click();
        QVERIFY(m_window->IsBusy() && !start->isEnabled() && !Item<QPushButton>(IDC_BTN_CLEAR)->isEnabled());
        QTRY_VERIFY(!m_window->IsBusy());
        QVERIFY(start->isEnabled() && !m_dlg->IsRunning());
        QCOMPARE(start->text(), QStringLiteral("开始升级"));
        QCOMPARE(m_prompter->shown.size(), 1);
        QVERIFY(m_prompter->shown[0].startsWith("Error|本机地址“no address”不是IPv4地址"));
    }

    void changesFromAnotherThreadArriveInOrderOncePerFrame() {
        Open();
        QSignalSpy changed(m_window->DeviceModel(), &QAbstractItemModel::dataChanged);
        std::thread worker([this] {
            for (int row = 0; row < 100; ++row) m_window->OnRowInserted(row, std::to_string(row + 1));
            for (int round = 0; round < 20; ++round) {
                for (int row = 0; row < 100; ++row) m_window->OnCellChanged(row, 3, std::to_string(round) + "%");
            }
        });
        worker.join();
        QTRY_COMPARE(m_window->DeviceModel()->rowCount(), 100);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(m_window->DeviceModel()->Cell(99, 0), QStringLiteral("100"));
        QCOMPARE(m_window->DeviceModel()->Cell(42, 3), QStringLiteral("19%"));
    }

    void exportWritesTheResults() {
        Open();
        m_dlg->m_results.OnOffered("AA:BB", "IPC-A1", "IPC-A1-2.0.1.5", "2.0.1.6", "a.bin", "10.0.0.10", 0);
        m_prompter->saveAs = QString::fromStdString(m_dir.File("results.csv"));
        m_window->ExportResults();
        std::string csv = m_dir.Read("results.csv");
        QVERIFY(csv.find("AA:BB") != std::string::npos && csv.find("10.0.0.10") != std::string::npos);
        m_prompter->saveAs = QString::fromStdString(m_dir.File("no/such/folder/r.csv"));
        m_window->ExportResults();
        QCOMPARE(m_prompter->shown.size(), 1);  // told, not silently lost, in the window's language
        QVERIFY2(m_prompter->shown[0].contains("没有那个文件或目录"), qPrintable(m_prompter->shown[0]));
    }

    // A row's look follows what its state text says; only the state column decides it.
    void failedAndFinishedRowsStandOut() {
        Open("en_US.UTF-8");
        using Kind = DeviceTableModel::RowKind;
        const std::tuple<int, const char*, Kind> cases[] = {
            {kColState, "Firmware size check failed", Kind::Failed},
            {kColState, "升级完成", Kind::Finished},
            {kColState, "Is writting the Configuration", Kind::Open},
            {kColState, "Uboot Version not inconsisten, second repair", Kind::Open},  // repaired, not failed
            {kColNewVersion, "Upgrade complete", Kind::Open},         // a device's own text marks nothing
            {kColOldVersion, "<b>IPC</b><img src='x'>", Kind::Open},  // nor restyles the tooltip
        };
        DeviceTableModel* model = m_window->DeviceModel();
        for (const auto& [column, text, kind] : cases) {
            model->InsertRow(0, "1");
            model->SetCell(0, column, QString::fromUtf8(text));
            QCOMPARE(model->Kind(0), kind);
            QModelIndex number = model->index(0, kColNumber);
            QCOMPARE(number.data(Qt::BackgroundRole).isValid(), kind != Kind::Open);
            QCOMPARE(number.data(Qt::DecorationRole).isValid(), kind != Kind::Open);
            QCOMPARE(TooltipText(model->index(0, column)), QString::fromUtf8(text));
            model->DeleteAll();
        }
        // Text and background are both set, so they read alike in light and dark themes.
        auto failed = DeviceTableModel::ColoursOf(Kind::Failed), finished = DeviceTableModel::ColoursOf(Kind::Finished);
        QVERIFY(Contrast(failed.text, failed.background) >= 4.5);
        QVERIFY(Contrast(finished.text, finished.background) >= 4.5);
        QVERIFY(failed.background != finished.background);

        // Through the core: the failure is counted where the technician sees it.
        m_dlg->RegisterIpcInfo("AA", "10.0.0.9", "IPC-A1-2.0.1.6", 0);
        m_dlg->ReportMsgProc(2,
                             "Msg:Report_Kernel\r\nIpaddr:10.0.0.9\r\nIPCMac:AA\r\nSchedule:40\r\nState:4\r\n"
                             "Version:IPC*A1-2.0.1.5-b\r\n");
        m_window->FlushChanges();
        QCOMPARE(model->Kind(0), Kind::Failed);
        QCOMPARE(TooltipText(model->index(0, kColState)), QStringLiteral("Firmware size check failed"));
        QVERIFY(Item<QLabel>(IDC_STATIC_FAIL)->isVisible() && Item<QLabel>(IDC_STATIC_FAIL_LABEL)->isVisible());
        QCOMPARE(Text(IDC_STATIC_FAIL), QStringLiteral("1"));
        QVERIFY(Item<QLabel>(IDC_STATIC_FAIL_LABEL)->x() > Item<QLabel>(IDC_STATIC_SUCCESS)->x());
    }

    // Requests left unanswered because the range is full show beside the counts, in the run's
    // language (anything but en_US reads Chinese), only while there are any, without covering a
    // control of the dialog.
    void unansweredRequestsShowBesideTheCounts() {
        const std::tuple<const char*, const char*> cases[] = {
            {"zh_CN.UTF-8", "无空闲地址：3 次请求未答复"},
            {"de_DE.UTF-8", "无空闲地址：3 次请求未答复"},
            {"en_US.UTF-8", "No free address: 3 requests unanswered"}};
        for (const auto& [lang, text] : cases) {
            KelvaneWindow& w = Open(lang);
            QLabel* marker = w.RangeFullMarker();
            QVERIFY(!marker->isVisible());
            m_dlg->m_addressRequests.m_nRangeFullRequests = 3;
            w.FlushChanges();
            QVERIFY(marker->isVisible());
            QCOMPARE(marker->text().trimmed(), QString::fromUtf8(text));
            QVERIFY(marker->toolTip().contains("3"));
            QVERIFY(w.rect().contains(marker->geometry()));
            for (int id : {IDC_STATIC_FAIL, IDC_BTN_CLEAR, IDC_LIST_INFO}) {
                QVERIFY2(!marker->geometry().intersects(w.Item(id)->geometry()), qPrintable(QString::number(id)));
            }
            m_dlg->m_addressRequests.m_nRangeFullRequests = 0;  // the next run starts from none
            QTRY_VERIFY(!marker->isVisible());  // by the poll: no row changes when requests go unanswered
        }
    }

    void enterInATextFieldKeepsTheWindow() {
        Open();
        auto* folder = Item<QLineEdit>(IDC_EDIT_PATH);
        folder->clear();
        folder->setFocus();
        QTest::keyClicks(folder, "/srv/firmware/new");
        QTest::keyClick(folder, Qt::Key_Return);
        QVERIFY(m_window->isVisible());
        QCOMPARE(m_dlg->GetItemInput(IDC_EDIT_PATH), std::string("/srv/firmware/new"));
        auto* address = Item<QComboBox>(IDC_COMBO_LOCAL_IP);
        address->setFocus();
        QTest::keyClick(address, Qt::Key_Enter);
        QVERIFY(m_window->isVisible());
        QVERIFY(m_prompter->shown.isEmpty());
        QTest::keyClick(m_window.get(), Qt::Key_Escape);  // idle: Esc closes at once, as the close box
        QTRY_VERIFY(!m_window->isVisible());
    }

    void fitsASmallScreenAndKeepsTheNewestRowInView() {
        KelvaneWindow& w = Open();
        const QSize screen(1024, 600 - 32);  // a small laptop's screen less a title bar
        auto corner = [&w](int id) { return w.rect().bottomRight() - w.Item(id)->geometry().bottomRight(); };
        auto* list = Item<QTableView>(IDC_LIST_INFO);
        const int listHeight = list->height(), startRight = w.width() - w.Item(IDC_BTN_START)->geometry().right();
        const QPoint clearCorner = corner(IDC_BTN_CLEAR);
        QVERIFY(w.minimumWidth() <= screen.width() && w.minimumHeight() <= screen.height());
        w.FitInto(screen);
        QVERIFY(w.width() <= screen.width() && w.height() <= screen.height());
        for (int id : {1000, 1001, 1003, 1006, 1007, 1008, 1009, 1011, 1013, 1014}) {
            QVERIFY2(w.rect().contains(w.Item(id)->geometry()), qPrintable(QString::number(id)));
        }
        QVERIFY(list->height() < listHeight);
        QCOMPARE(corner(IDC_BTN_CLEAR), clearCorner);
        QCOMPARE(w.width() - w.Item(IDC_BTN_START)->geometry().right(), startRight);
        w.resize(screen);  // wider than the dialog: the list and its last column take it
        QTRY_COMPARE(list->horizontalHeader()->length(), list->viewport()->width());
        QCOMPARE(corner(IDC_BTN_CLEAR), clearCorner);

        for (int row = 0; row < 60; ++row) m_window->OnRowInserted(row, std::to_string(row + 1));
        m_window->OnEnsureVisible(59);
        m_window->FlushChanges();
        QVERIFY(list->viewport()->rect().contains(list->visualRect(m_window->DeviceModel()->index(59, 0))));
    }

    void qtTextsFollowTheWindowLanguage() {
        QString problem;
        QCOMPARE(InstallQtTranslations(1033, &problem), nullptr);
        std::unique_ptr<QTranslator> chinese(InstallQtTranslations(2052, &problem));
        QVERIFY2(chinese != nullptr, qPrintable(problem));
        QDialogButtonBox buttons(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
        QCOMPARE(buttons.button(QDialogButtonBox::Cancel)->text(), QStringLiteral("取消"));
    }

    // The dialog's own prompts are plain boxes with the program's name; refusals warn.
    void promptsArePlainAndRefusalsWarn() {
        Open();
        const std::tuple<const char*, MessageIcon, QString, MessagePrompter::Icon> cases[] = {
            {"请选择升级文件目录", kIconError, "kelvane|请选择升级文件目录", MessagePrompter::NoIcon},
            {"地址10.9.9.9不属于本机，请选择本机的一个地址。", kIconError,
             "Error|地址10.9.9.9不属于本机，请选择本机的一个地址。", MessagePrompter::Warning},
        };
        for (const auto& [text, icon, shown, shownIcon] : cases) {
            m_prompter->shown.clear();
            m_prompter->icons.clear();
            m_window->ShowMessage(text, "Error", icon);
            m_window->FlushChanges();
            QCOMPARE(m_prompter->shown, QStringList{shown});
            QCOMPARE(m_prompter->icons.value(0), shownIcon);
        }
    }

    void aboutBoxShowsTheIconAndTheVersion() {
        Open();
        CAboutDlg about(m_window.get());
        auto* icon = about.findChild<QLabel*>("aboutIcon");
        const int side = std::min(icon->width(), icon->height());
        QCOMPARE(icon->pixmap().deviceIndependentSize().toSize(), QSize(side, side));
        QCOMPARE(icon->alignment(), Qt::AlignCenter);
        QVERIFY(about.findChild<QLabel*>("aboutVersion")->text().endsWith(QStringLiteral(KELVANE_VERSION)));
    }

    void secondCopyTellsAndCloses() {
        Open("zh_CN.UTF-8", false);
        QCOMPARE(m_prompter->shown, QStringList{"kelvane|该程序已经启动!"});
        QTRY_VERIFY(!m_window->isVisible());
    }
};

int main(int argc, char** argv) {
    testsupport::EnterPrivateNetworkOrExit();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    WindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "window_test.moc"
