// The main window's part of the firmware catalogue; the scan itself lives in upgrade_scan.cpp.
#include "app/kelvane_dlg.h"
#include "firmware/upgrade_scan.h"

void CKelvaneDlg::SaveUpgradeFileInfo(const std::string& strFolderName) {
    ScanUpgradeFolder(strFolderName, &m_vecUpgradeFileInfo, nullptr);
}
