// What the core tells the window, from any thread: queued in order and applied on the window
// thread at most once per frame.
#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QThread>
#include <algorithm>

#include "app/qt/device_list_view.h"
#include "app/qt/device_table_model.h"
#include "app/kelvane_dlg.h"
#include "app/qt/kelvane_window.h"
#include "platform/system_lang.h"

namespace {

constexpr int kFrameMs = 16;
// The failure count is shown: a technician must see failures without counting red rows.
constexpr int kAlwaysShownItems[] = {IDC_STATIC_FAIL_LABEL, IDC_STATIC_FAIL};
// The dialog's own prompts, which the operator answers by doing what they ask: plain boxes, as
// the dialog has always shown them. Refusals that give a cause and a remedy carry a warning.
bool IsPlainPrompt(const QString& text) {
    return text == QStringLiteral("请选择升级文件目录") || text == QStringLiteral("获取本机MAC失败!!!");
}
// Buttons that stay disabled while a start or stop runs off the window thread.
constexpr int kBusyItems[] = {IDC_BTN_START, IDC_BTN_PAUSE, IDC_BTN_CLEAR};

}  // namespace

void KelvaneWindow::Enqueue(std::function<void()> change) {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_queue.push_back(std::move(change));
    if (m_flushPosted) return;
    m_flushPosted = true;
    QMetaObject::invokeMethod(this, &KelvaneWindow::ScheduleFlush, Qt::QueuedConnection);
}

void KelvaneWindow::ScheduleFlush() {
    if (m_flushTimer.isActive()) return;
    qint64 wait = kFrameMs - m_sinceFlush.elapsed();
    m_flushTimer.start(static_cast<int>(std::max<qint64>(0, wait)));
}

void KelvaneWindow::FlushChanges() {
    m_flushTimer.stop();
    std::vector<std::function<void()>> changes;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        changes.swap(m_queue);
        m_flushPosted = false;
    }
    for (auto& change : changes) change();
    m_model->AnnounceChanges();
    if (m_scrollRow >= 0 && m_scrollRow < m_model->rowCount()) m_list->ScrollFullyTo(m_model->index(m_scrollRow, 0));
    m_scrollRow = -1;
    ShowRangeFull();
    m_sinceFlush.restart();
}

void KelvaneWindow::ShowRangeFull() {
    const int unanswered = m_dlg.RangeFullRequests();
    if (unanswered == m_rangeFullShown) return;
    m_rangeFullShown = unanswered;
    m_rangeFull->setVisible(unanswered > 0);
    if (unanswered == 0) return;
    const bool english = m_dlg.m_wLangID == platform::kLangEnglishUS;
    const QString count = QString::number(unanswered);
    m_rangeFull->setText(english ? QStringLiteral(" No free address: %1 requests unanswered").arg(count)
                                 : QStringLiteral(" 无空闲地址：%1 次请求未答复").arg(count));
    m_rangeFull->setToolTip(
        english ? QStringLiteral("Every address of the range was held by a device still upgrading, so %1 address "
                                 "requests got no reply. The devices ask again; an address comes free when its "
                                 "device finishes, or when it has not started its download within a minute.")
                      .arg(count)
                : QStringLiteral("地址范围内的每个地址都被尚未完成升级的设备占用，%1 次地址请求未获答复。"
                                 "设备会重新请求；设备升级结束，或一分钟内未开始下载时，其地址即被释放。")
                      .arg(count));
}

void KelvaneWindow::SetItemText(int item, const std::string& text) {
    Enqueue([this, item, text = FromUtf8(text)] {
        QWidget* widget = Item(item);
        if (auto* label = qobject_cast<QLabel*>(widget))
            label->setText(text);
        else if (auto* button = qobject_cast<QAbstractButton*>(widget))
            button->setText(text);
        else if (auto* edit = qobject_cast<QLineEdit*>(widget))
            edit->setText(text);
        else if (auto* combo = qobject_cast<QComboBox*>(widget))
            combo->setEditText(text);
    });
}

void KelvaneWindow::EnableItem(int item, bool enable) {
    Enqueue([this, item, enable] {
        m_coreEnabled[item] = enable;
        ApplyEnabled(item);
    });
}

void KelvaneWindow::ShowItem(int item, bool show) {
    Enqueue([this, item, show] {
        bool shown = show || std::find(std::begin(kAlwaysShownItems), std::end(kAlwaysShownItems), item) !=
                                 std::end(kAlwaysShownItems);
        if (QWidget* widget = Item(item)) widget->setVisible(shown);
    });
}

void KelvaneWindow::OnRowInserted(int row, const std::string& numberText) {
    Enqueue([this, row, text = FromUtf8(numberText)] { m_model->InsertRow(row, text); });
}

void KelvaneWindow::OnCellChanged(int row, int column, const std::string& text) {
    Enqueue([this, row, column, text = FromUtf8(text)] { m_model->SetCell(row, column, text); });
}

void KelvaneWindow::OnEnsureVisible(int row) {
    // Only the last row asked for in one drawing pass is scrolled to: a burst of new devices
    // costs one layout of the list, not one per device.
    Enqueue([this, row] { m_scrollRow = row; });
}

void KelvaneWindow::OnAllRowsDeleted() {
    Enqueue([this] {
        m_model->DeleteAll();
        m_scrollRow = -1;
    });
}

void KelvaneWindow::SetComboItems(int item, const std::vector<std::string>& entries, int selected) {
    QStringList texts;
    for (const std::string& entry : entries) texts.append(FromUtf8(entry));
    Enqueue([this, item, texts, selected] {
        auto* combo = qobject_cast<QComboBox*>(Item(item));
        if (combo == nullptr) return;
        combo->clear();
        combo->addItems(texts);
        combo->setCurrentIndex(selected);
        if (selected < 0) combo->setEditText(QString());
    });
}

void KelvaneWindow::ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon) {
    Enqueue([this, text = FromUtf8(text), caption = FromUtf8(caption), icon] {
        if (IsPlainPrompt(text)) {
            m_prompter.Inform(this, text, ProgramCaption(), MessagePrompter::NoIcon);
            return;
        }
        MessagePrompter::Icon shown = icon == kIconInformation ? MessagePrompter::Information
                                      : icon == kIconError     ? MessagePrompter::Warning
                                                               : MessagePrompter::NoIcon;
        m_prompter.Inform(this, text, caption, shown);
    });
}

bool KelvaneWindow::Confirm(const std::string& text, const std::string& caption) {
    if (m_answerYes) return true;
    // The close handler runs off the window thread while a run stops; the question is asked
    // on the window thread all the same, after everything drawn before it.
    bool answer = false;
    auto ask = [this, &answer, text = FromUtf8(text), caption = FromUtf8(caption)] {
        FlushChanges();
        answer = m_prompter.Ask(this, text, caption);
    };
    if (QThread::currentThread() == thread()) {
        ask();
    } else {
        QMetaObject::invokeMethod(this, ask, Qt::BlockingQueuedConnection);
    }
    return answer;
}

void KelvaneWindow::ApplyEnabled(int item) {
    QWidget* widget = Item(item);
    if (widget == nullptr) return;
    auto wanted = m_coreEnabled.find(item);
    bool enable = wanted == m_coreEnabled.end() || wanted->second;
    if (m_busy && std::find(std::begin(kBusyItems), std::end(kBusyItems), item) != std::end(kBusyItems)) {
        enable = false;
    }
    widget->setEnabled(enable);
}

void KelvaneWindow::SetBusy(bool busy) {
    m_busy = busy;
    for (int item : kBusyItems) ApplyEnabled(item);
}
