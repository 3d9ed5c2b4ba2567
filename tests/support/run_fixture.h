#pragma once
// The run control as the window drives it, on 10.77.0.1 at one end of a veth pair whose other end
// is in the devices' namespace (10.77.0.2), with settings and log in folders of the test's own,
// a firmware folder to fill and a view that records what the operator would see.
#include <gtest/gtest.h>

#include "app/kelvane_dlg.h"
#include "firmware/fmw_header.h"
#include "platform/app_paths.h"
#include "support/log_capture.h"
#include "support/peer_namespace.h"
#include "support/recording_view.h"
#include "support/temp_dir.h"
#include "support/veth_link.h"

namespace testsupport {

class RunFixture : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_link.Ok() && m_link.AddAddress("10.77.0.1/24 brd +") && m_devices.Ok());
        platform::SetAppFilesDir(m_home.Path());
        m_dlg.m_wLangID = 1033;
        m_dlg.SetView(&m_view);
        m_dlg.SetItemInput(IDC_EDIT_PATH, m_folder.Path());
        m_dlg.SetItemInput(IDC_COMBO_LOCAL_IP, "10.77.0.1");
        SetFmwNarrationSink([](const char*) {});  // every container check would print its steps
    }
    void TearDown() override {
        if (m_dlg.IsRunning()) m_dlg.OnBtnStart();
        m_dlg.SetView(nullptr);
        platform::SetAppFilesDir("");
        SetFmwNarrationSink(nullptr);
    }
    void Start() {
        m_dlg.OnBtnStart();
        ASSERT_TRUE(m_dlg.IsRunning()) << m_dlg.LastStartError();
    }

    VethLink m_link{"va"};
    PeerNamespace m_devices{m_link.Peer(), "10.77.0.2/24 brd +"};
    TempDir m_home, m_folder;
    LogCapture m_log{LOG_INFO};
    RecordingView m_view;
    CKelvaneDlg m_dlg;
};

}  // namespace testsupport
