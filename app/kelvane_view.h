#pragma once
// The one small interface through which the main window object reaches the screen. The Qt
// window and the console implement it. Calls may come from any thread, one at a time and in
// the order the core made the changes (UiChannel); a front end that draws on its own thread
// marshals them there itself, keeping that order.
#include <string>
#include <vector>

// Dialog items the core talks about.
enum KelvaneItem {
    IDC_EDIT_PATH = 1000,       // upgrade folder
    IDC_COMBO_LOCAL_IP = 1001,  // local address
    IDC_BTN_BROWSE = 1003,
    IDC_LIST_INFO = 1006,
    IDC_BTN_START = 1007,
    IDC_BTN_CLEAR = 1008,
    IDC_CHK_FORCE_OLD = 1009,  // "强制升级旧版本"
    IDC_STATIC_SUCCESS_LABEL = 1010,
    IDC_STATIC_SUCCESS = 1011,
    IDC_STATIC_FAIL_LABEL = 1012,
    IDC_STATIC_FAIL = 1013,
    IDC_CHK_IP_CHECK = 1014,  // "IP占用检测"
    IDC_BTN_PAUSE = 1016,
};

// Columns of the device list.
enum DeviceListColumn {
    kColNumber = 0,
    kColIpAddr = 1,
    kColState = 2,
    kColSchedule = 3,
    kColOldVersion = 4,
    kColNewVersion = 5,
    kDeviceListColumns = 6,
};

enum MessageIcon { kIconNone, kIconInformation, kIconError };

class IKelvaneView {
public:
    virtual ~IKelvaneView() = default;
    // Texts are UTF-8.
    virtual void SetItemText(int item, const std::string& text) = 0;
    virtual void EnableItem(int item, bool enable) = 0;
    virtual void ShowItem(int item, bool show) = 0;
    // The entries of a combo box, with entry `selected` chosen (-1: none).
    virtual void SetComboItems(int item, const std::vector<std::string>& entries, int selected) = 0;
    // A message for the operator that needs no answer. Comes in order with the other changes, so
    // a front end may show it later than it was made, but never before an earlier change.
    virtual void ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon) = 0;
    // A question with OK and Cancel, answered before the call returns: true for OK. Only the close
    // handler asks, on the thread the front end calls it from; nothing of the core is locked then.
    virtual bool Confirm(const std::string& text, const std::string& caption) = 0;

    // The device list, as its model changes.
    virtual void OnRowInserted(int row, const std::string& numberText) = 0;
    virtual void OnCellChanged(int row, int column, const std::string& text) = 0;
    virtual void OnEnsureVisible(int row) = 0;
    virtual void OnAllRowsDeleted() = 0;
};
