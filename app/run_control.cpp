// The start and stop of an upgrade run and the window's small handlers, without the pixels.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "_libs/tftp/tftp_interface.h"
#include "app/kelvane_dlg.h"
#include "log/log.h"
#include "negotiation/address_alloc.h"
#include "negotiation/local_identity.h"
#include "negotiation/ping.h"
#include "platform/app_paths.h"
#include "platform/ini_file.h"
#include "platform/module_path.h"
#include "platform/system_error_text.h"
#include "platform/system_lang.h"
#include "platform/net_interface.h"
#include "platform/local_time.h"
#include "platform/text_codec.h"
#include "platform/udp_socket.h"

namespace {

constexpr int kLocalIpBytes = 64;
constexpr int kFolderBytes = 256;
// The start waits this long for the threads of the last run (a request may still be probing);
// their work is bounded by the probe and send time-outs, far below it.
constexpr int kLastRunWaitMs = 15000;
constexpr const char* kLogFile = "Upgrade.log";
// How long a start waits for the TFTP service and the listener to report that they listen.
constexpr int kSettleWaitMs = 10000;

std::string Format(const std::string& pattern, const std::string& a, const std::string& b = "") {
    std::string out;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%' && i + 1 < pattern.size() && (pattern[i + 1] == '1' || pattern[i + 1] == '2')) {
            out += pattern[++i] == '1' ? a : b;
        } else {
            out += pattern[i];
        }
    }
    return out;
}

std::string ExecutableName() {
    std::string path = platform::ExecutablePath();
    std::string name = path.substr(path.find_last_of('/') + 1);
    return name.substr(0, name.find('.'));
}

// The GBK text of `utf8`, cut to fit `size` bytes with its NUL; false when it is not representable.
bool ToGbkBuffer(const std::string& utf8, char* out, size_t size) {
    std::string gbk;
    std::memset(out, 0, size);
    if (!platform::Utf8ToGbk(utf8, &gbk)) return false;
    std::memcpy(out, gbk.data(), std::min(gbk.size(), size - 1));
    return true;
}

}  // namespace

std::string CKelvaneDlg::Text(const char* english, const char* chinese) const {
    return English() ? english : chinese;
}

bool CKelvaneDlg::English() const {
    return m_wLangID == platform::kLangEnglishUS;
}

void CKelvaneDlg::SetItemInput(int item, const std::string& utf8) {
    std::lock_guard<std::mutex> lock(m_inputMutex);
    (item == IDC_EDIT_PATH ? m_strUpgradeDir : m_strLocalIpText) = utf8;
}

std::string CKelvaneDlg::GetItemInput(int item) const {
    std::lock_guard<std::mutex> lock(m_inputMutex);
    return item == IDC_EDIT_PATH ? m_strUpgradeDir : m_strLocalIpText;
}

std::string CKelvaneDlg::LastStartError() const {
    std::lock_guard<std::mutex> lock(m_inputMutex);
    return m_strStartError;
}

void CKelvaneDlg::InitDialogState() {
    for (int item : {IDC_STATIC_FAIL_LABEL, IDC_STATIC_FAIL, IDC_BTN_PAUSE}) {
        m_ui.Post([item](IKelvaneView& view) { view.ShowItem(item, false); });
    }
    std::string ini = platform::ConfigIniPath();
    std::string folder;
    if (access(ini.c_str(), R_OK) == 0) {
        std::string gbk = platform::IniReadString(ini, "CNFINFO", "Path", "C:");
        folder = GbkToDisplayText(gbk.c_str());
    } else {
        folder = platform::ExecutableDir();
    }
    SetItemInput(IDC_EDIT_PATH, folder);
    m_ui.Post([folder](IKelvaneView& view) { view.SetItemText(IDC_EDIT_PATH, folder); });
    LogInit(ReadLogThreshold(ini), kLogFile);

    char list[kLocalIpMaxCount][kLocalIpSlotSize] = {};
    int count = GetLocalIpList(list);
    std::vector<std::string> addresses(list, list + count);
    SetItemInput(IDC_COMBO_LOCAL_IP, addresses.empty() ? "" : addresses.front());
    m_ui.Post([addresses](IKelvaneView& view) {
        view.SetComboItems(IDC_COMBO_LOCAL_IP, addresses, addresses.empty() ? -1 : 0);
    });
}

void CKelvaneDlg::OnBtnStart() {
    std::lock_guard<std::mutex> lock(m_runControl);
    m_bRunning = m_bRunning ? 0 : 1;
    if (m_bRunning) {
        if (!StartRun()) m_bRunning = 0;
    } else {
        StopRun();
    }
}

void CKelvaneDlg::RefuseStart(const std::string& reason, const std::string& caption) {
    LogMessage(LOG_MAJOR, "start refused: %s", reason.c_str());
    {
        std::lock_guard<std::mutex> lock(m_inputMutex);
        m_strStartError = reason;
    }
    m_ui.Post([reason, caption](IKelvaneView& view) { view.ShowMessage(reason, caption, kIconError); });
}

bool CKelvaneDlg::StartRun() {
    {
        std::lock_guard<std::mutex> lock(m_inputMutex);
        m_strStartError.clear();
    }
    const std::string caption = "Error";

    // The local address first: the MAC the devices are told is that of its interface.
    std::string localIp = GetItemInput(IDC_COMBO_LOCAL_IP);
    char ip[kLocalIpBytes];
    platform::LocalInterface iface;
    if (localIp.find('.') == std::string::npos || !ToGbkBuffer(localIp, ip, sizeof ip) ||
        !platform::ParseIPv4(ip, &iface.address)) {
        RefuseStart(Format(Text("The local address \"%1\" is not an IPv4 address. Choose one of this computer's "
                                "addresses.",
                                "本机地址“%1”不是IPv4地址，请选择本机的一个地址。"),
                           localIp),
                    caption);
        return false;
    }
    if (!platform::FindLocalInterface(ip, &iface)) {
        RefuseStart(Format(Text("The address %1 is not on this computer. Choose one of this computer's addresses.",
                                "地址%1不属于本机，请选择本机的一个地址。"),
                           localIp),
                    caption);
        return false;
    }
    char mac[kLocalMacTextSize] = {};
    if (GetMacAddress(mac, ip) != 0) {
        LogMessage(LOG_SUGGESTIVE, "RequestIpaddrProc GetMacAddress error, return");
        {
            std::lock_guard<std::mutex> lock(m_inputMutex);
            m_strStartError = "获取本机MAC失败!!!";
        }
        std::string name = ExecutableName();
        m_ui.Post([name](IKelvaneView& view) { view.ShowMessage("获取本机MAC失败!!!", name, kIconNone); });
        return false;
    }
    for (char* p = mac; *p != '\0'; ++p) {
        if (*p == '-') *p = ':';
    }

    // The folder: a run without files to offer would only fail every device.
    std::string folder = GetItemInput(IDC_EDIT_PATH);
    if (folder.empty()) {
        RefuseStart("请选择升级文件目录", caption);
        return false;
    }
    char folderGbk[kFolderBytes];
    struct stat st {};
    std::string why;
    if (!ToGbkBuffer(folder, folderGbk, sizeof folderGbk)) {
        why = Text("its name has characters the devices cannot be sent", "其名称含有无法发送给设备的字符");
    } else if (stat(folder.c_str(), &st) != 0 || access(folder.c_str(), R_OK | X_OK) != 0) {
        why = platform::SystemErrorText(errno, English());
    } else if (!S_ISDIR(st.st_mode)) {
        why = Text("not a folder", "不是目录");
    }
    if (!why.empty()) {
        RefuseStart(Format(Text("Cannot read the upgrade folder %1: %2. Choose a folder of firmware files.",
                                "无法读取升级文件目录%1：%2。请选择存放固件文件的目录。"),
                           folder, why),
                    caption);
        return false;
    }
    std::vector<UpgradeFileInfo> catalogue;
    ScanUpgradeFolder(folder, &catalogue, nullptr);
    if (catalogue.empty()) {
        RefuseStart(Format(Text("The upgrade folder %1 holds no usable firmware file. Run \"kelvane-cli scan %1\" "
                                "to see why each file was left out.",
                                "升级文件目录%1中没有可用的固件文件。运行“kelvane-cli scan %1”可查看每个文件未被采用的原因。"),
                           folder),
                    caption);
        return false;
    }
    const std::string grant = "sudo setcap cap_net_bind_service,cap_net_raw+ep " + platform::ExecutablePath();
    if (m_bIpCheck && CheckPingSocket() != 0) {
        RefuseStart(Format(Text("The address occupancy check needs an ICMP socket, which this user may not open. Run "
                                "as root, grant the capability once (%1), or untick the check.",
                                "IP占用检测需要ICMP套接字，当前用户无权打开。请以root运行，或授予权限（%1），或取消勾选该检测。"),
                           grant),
                    caption);
        return false;
    }

    // Threads of the last run may still read its values; they are rewritten only once they are gone.
    if (!WaitThreadsGone(kLastRunWaitMs)) {
        RefuseStart(Text("The last run is still finishing its address requests. Try again in a few seconds.",
                         "上一次升级的地址请求仍在处理中，请稍后再试。"),
                    caption);
        return false;
    }

    int listenError = OpenDeviceListenSocket(ip, &m_listenSocket);
    if (listenError != 0) {
        std::string holder = platform::DescribeUdpPortHolder(kDeviceListenPort);
        if (listenError == EADDRINUSE) {
            RefuseStart(Format(Text("Port 10011 (device messages) is held by another program%1. Is another Kelvane "
                                    "running? Stop it and start again.",
                                    "10011端口（设备消息）已被其他程序占用%1。是否已有另一个Kelvane在运行？请关闭后再开始升级。"),
                               holder.empty() ? "" : " (" + holder + ")"),
                        caption);
        } else {
            RefuseStart(Format(Text("Cannot listen for devices on %1 port 10011: %2.",
                                    "无法在%1的10011端口接收设备消息：%2。"),
                               localIp, platform::SystemErrorText(listenError, English())),
                        caption);
        }
        return false;
    }

    TftpConfig tftpSettings = m_tftpSettings;
    // Devices flash what the folder holds: nothing from the LAN may change it under a run.
    tftpSettings.nSecurityLevel = kTftpReadOnlyLevel;
    // Every address of the range may download at once.
    tftpSettings.nMaxTransfers = std::max(tftpSettings.nMaxTransfers, kRunTftpTransfers);
    StartTftp(ip, folder.c_str(), tftpSettings);
    TftpServiceStatus tftp{};
    // On a loaded machine the service may still be opening its socket: a slow start is no refusal.
    for (int waited = 0; !GetTftpServiceStatus(&tftp) && tftp.nState == TFTP_STARTING && waited < kSettleWaitMs;
         waited += 20) {
        usleep(20000);
    }
    if (tftp.nState != TFTP_LISTENING) {
        StopTftp();
        m_listenSocket.socket.Close();
        std::string holder = platform::DescribeUdpPortHolder(69);
        if (tftp.nError == EADDRINUSE || tftp.nError == 10048) {
            RefuseStart(Format(Text("Port 69 (TFTP) on %1 is held by another program%2. Stop it (for example the "
                                    "system's TFTP service) and start again.",
                                    "%1的69端口（TFTP）已被其他程序占用%2。请先关闭该程序（例如系统的TFTP服务）再开始升级。"),
                               localIp, holder.empty() ? "" : " (" + holder + ")"),
                        caption);
        } else if (tftp.nError == EACCES || tftp.nError == EPERM || tftp.nError == 10013) {
            RefuseStart(Format(Text("No permission to use port 69 (TFTP). Run as root, or grant the capability once: %1",
                                    "没有使用69端口（TFTP）的权限。请以root运行，或授予权限：%1"),
                               grant),
                        caption);
        } else {
            // The service words its reason in English; a Chinese run gets the system error in Chinese.
            std::string why = English() && tftp.szReason[0] != '\0' ? std::string(tftp.szReason)
                              : tftp.nError != 0 ? platform::SystemErrorText(tftp.nError, English())
                                                 : Text("unknown reason", "原因不明");
            RefuseStart(Format(Text("The TFTP service cannot start: %1.", "TFTP服务无法启动：%1。"), why), caption);
        }
        return false;
    }

    m_bTftpStarted = true;

    // What the catalogue offers, the service must serve: a name it would refuse fails every device.
    // Each file is recorded as the service opens it, so that one changed under the run is noticed.
    m_catalogueWatch.Reset(tftp.szRootDir, tftpSettings,
                           [this](const UpgradeFileInfo& entry, FileChange change, const std::string& detail) {
                               TellWithdrawn(entry, change, detail);
                           });
    for (const UpgradeFileInfo& entry : catalogue) {
        char why[160] = "";
        TftpFileIdentity identity{};
        if (TftpCheckServable(tftp.szRootDir, entry.szFileName, tftpSettings, why, sizeof why, &identity) != 0) {
            StopTftp();
            m_bTftpStarted = false;
            m_listenSocket.socket.Close();
            RefuseStart(Format(Text("The TFTP service could not serve the firmware file %1 (%2). Rename or move it "
                                    "and start again.",
                                    "TFTP服务无法提供固件文件%1（%2）。请重命名或移走该文件后再开始升级。"),
                               platform::EscapeControlChars(GbkToDisplayText(entry.szFileName)), why),
                        caption);
            return false;
        }
        m_catalogueWatch.Add(entry, identity);
    }
    // Set once the files are recorded: the observer reads them, and a removal waits for its calls.
    SetTftpReadObserver(
        [](void* context, const TftpReadInfo& read) {
            auto* dlg = static_cast<CKelvaneDlg*>(context);
            int verdict = dlg->m_catalogueWatch.CheckRead(read);
            // A device that starts its download from its lent address keeps the address until its outcome.
            if (verdict == 0 && read.nEvent == TFTP_READ_OPENED && read.clientAddress != 0) {
                dlg->m_addressRequests.m_leases.MarkAddressStarted(platform::FormatIPv4(in_addr{read.clientAddress}),
                                                                   platform::SteadyMs());
            }
            return verdict;
        },
        this);

    // Everything can serve: from here the run is on.
    std::memcpy(m_szLocalMac, mac, sizeof m_szLocalMac);
    std::memcpy(m_szLocalIP, ip, sizeof m_szLocalIP);
    m_lstInfo.DeleteAllItems();
    ClearIpcInfo();
    m_results.Clear();
    m_addressRequests.m_leases.Clear();
    m_addressRequests.m_nRangeFullRequests = 0;
    m_bPauseTest = 0;
    for (int item : {IDC_CHK_FORCE_OLD, IDC_CHK_IP_CHECK, IDC_COMBO_LOCAL_IP, IDC_EDIT_PATH, IDC_BTN_BROWSE}) {
        m_ui.Queue([item](IKelvaneView& view) { view.EnableItem(item, false); });
    }
    m_ui.Queue([](IKelvaneView& view) {
        view.SetItemText(IDC_BTN_PAUSE, "暂停升级");
        view.ShowItem(IDC_BTN_PAUSE, true);
        view.SetItemText(IDC_BTN_START, "停止升级");
    });
    m_ui.Deliver();

    std::string ini = platform::ConfigIniPath();
    if (!platform::MakeParentDirs(ini) || !platform::IniWriteString(ini, "CNFINFO", "Path", folderGbk)) {
        // The run does not need it; the next start of the window just shows another folder.
        LogMessage(LOG_GENERAL, "cannot write %s: %s", ini.c_str(), std::strerror(errno));
    }
    m_nRequestSeq = 0;
    ResetCounters();
    AddressAllocator(m_szNextAllocIp, m_csAllocIp, PingApi).ResetCursor(m_szLocalIP);
    m_vecUpgradeFileInfo = std::move(catalogue);
    LogMessage(LOG_GENERAL, "run started on %s, folder %s, %d catalogue entries", m_szLocalIP, folderGbk,
               static_cast<int>(m_vecUpgradeFileInfo.size()));

    if (!StartMessagingThreads() || !WaitListenerSettled(kSettleWaitMs) ||
        GetListenerStatus().state != ListenerStatus::Listening) {
        const ListenerStatus listener = GetListenerStatus();
        // A listener that has not settled has no error of its own; errno here would be a stranger's.
        std::string why;
        if (English() && !listener.error.empty()) {
            why = listener.error;
        } else if (listener.errorCode != 0) {
            why = platform::SystemErrorText(listener.errorCode, English());
        } else {
            why = Text("the listener did not start in time", "设备消息监听未能及时启动");
        }
        m_bRunning = 0;
        StopRun();
        RefuseStart(Format(Text("The run could not start its threads: %1.", "升级无法启动其线程：%1。"), why),
                    caption);
        return false;
    }
    return true;
}

void CKelvaneDlg::TellWithdrawn(const UpgradeFileInfo& entry, FileChange change, const std::string& detail) {
    std::string text =
        Format(Text("The firmware file %1 changed after the run started: %2. This run no longer offers "
                    "it: its devices are told there is nothing newer. Restore the file and start the run "
                    "again.",
                    "固件文件%1在升级开始后发生了变化：%2。本次升级不再提供该文件，相应设备将被告知没有"
                    "新版本。请恢复该文件后重新开始升级。"),
               platform::EscapeControlChars(GbkToDisplayText(entry.szFileName)),
               DescribeFileChange(change, detail, English()));
    // From a request thread or a TFTP worker: the front ends only queue what they are shown.
    m_ui.Post(
        [text, caption = Text("Error", "错误")](IKelvaneView& view) { view.ShowMessage(text, caption, kIconError); });
}

void CKelvaneDlg::StopRun() {
    if (m_bTftpStarted) StopTftp();
    m_bTftpStarted = false;
    SetTftpReadObserver(nullptr, nullptr);
    StopMessagingThreads();
    m_listenSocket.socket.Close();
    LogMessage(LOG_GENERAL, "run stopped");
    ShowIdle();
}

void CKelvaneDlg::ShowIdle() {
    m_ui.Queue([](IKelvaneView& view) { view.SetItemText(IDC_BTN_START, "开始升级"); });
    for (int item : {IDC_CHK_FORCE_OLD, IDC_CHK_IP_CHECK, IDC_COMBO_LOCAL_IP, IDC_EDIT_PATH, IDC_BTN_BROWSE}) {
        m_ui.Queue([item](IKelvaneView& view) { view.EnableItem(item, true); });
    }
    m_ui.Queue([](IKelvaneView& view) {
        view.ShowItem(IDC_BTN_PAUSE, false);
        view.EnableItem(IDC_BTN_START, true);
    });
    m_ui.Deliver();
}

void CKelvaneDlg::OnBtnPause() {
    m_bPauseTest = m_bPauseTest ? 0 : 1;
    std::string caption = m_bPauseTest ? "继续升级" : "暂停升级";
    m_ui.Post([caption](IKelvaneView& view) { view.SetItemText(IDC_BTN_PAUSE, caption); });
}

void CKelvaneDlg::OnBtnClearList() {
    m_lstInfo.DeleteAllItems();
    ResetCounters();
}

void CKelvaneDlg::OnChkIpCheck(bool checked) {
    m_bIpCheck = checked ? 1 : 0;
    if (!checked) return;
    m_ui.Post([](IKelvaneView& view) {
        view.ShowMessage("IP占用检测需要一定时间，若勾选该功能，\n建议同时升级设备不要超过10台!", "提示",
                         kIconInformation);
    });
}

void CKelvaneDlg::OnChkForceOld(bool checked) { m_bForceUpgrade = checked ? 1 : 0; }

bool CKelvaneDlg::OnClose() {
    if (!m_bRunning) return true;
    std::string caption = ExecutableName();
    bool ok = m_ui.Ask([caption](IKelvaneView& view) { return view.Confirm("升级服务还未停止，确定退出？", caption); });
    if (!ok) return false;
    if (m_bRunning) OnBtnStart();
    m_lstInfo.DeleteAllItems();
    ClearIpcInfo();
    return true;
}
