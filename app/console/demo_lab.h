#pragma once
// The demo's private lab: this process in a network namespace of its own, joined by a veth pair to
// a second namespace where simulated cameras and NVRs live, and a generated firmware folder.
// Front ends run the upgrade against it with their own view (the console's table, a window):
//
//   std::string error;
//   if (!DemoLab::EnterPrivateNetwork(&error)) ...;  // first, while the process has one thread
//   DemoLab lab;
//   if (!lab.SetUp(&error) || !lab.StartDevices(&error)) ...;
//   ... run an upgrade on lab.ServerAddress() with lab.FirmwareFolder() until the devices end ...
//   DemoVerdict verdict = lab.Compare(dlg.ResultsSnapshot());
//   lab.TearDown();  // also done by the destructor
#include <memory>
#include <string>
#include <vector>

#include "app/run_results.h"

namespace devsim {
class DeviceSimulator;
}

struct DemoVerdict {
    bool ok = false;
    int upgraded = 0, failedAsInjected = 0, upToDate = 0;
    std::vector<std::string> problems;  // one line per device that did not end as expected
};

class DemoLab {
public:
    DemoLab();
    ~DemoLab();
    DemoLab(const DemoLab&) = delete;
    DemoLab& operator=(const DemoLab&) = delete;

    // Moves the whole process into a fresh network namespace: directly as root, otherwise through
    // an unprivileged user namespace. Must run before any thread starts. Afterwards the process
    // sees only its own loopback; false with the reason (and what to do) when it cannot.
    static bool EnterPrivateNetwork(std::string* error);

    // Makes the device namespace and the link to it, and writes the firmware folder into a fresh
    // temporary folder. Refuses unless the process is in a namespace holding only loopback.
    bool SetUp(std::string* error);
    // Starts the simulated devices; they ask for an address until the run answers.
    bool StartDevices(std::string* error);
    // Waits until every device has ended; false when `timeoutMs` passed first.
    bool WaitDevices(int timeoutMs);
    // Stops the devices, removes the link, the device namespace and the temporary folder.
    void TearDown();

    const std::string& ServerAddress() const { return m_serverIp; }
    const std::string& FirmwareFolder() const { return m_firmware; }
    // A folder for the run's own files (settings, log) that TearDown removes.
    const std::string& WorkFolder() const { return m_home; }
    int DeviceCount() const;
    // Lines describing the devices and the firmware, for the operator before the run.
    std::vector<std::string> Describe() const;
    // Whether the run counted every device as the device itself ended.
    DemoVerdict Compare(const std::vector<DeviceResult>& run) const;

private:
    std::string m_serverIp = "10.77.0.1";
    std::string m_root;  // the temporary folder
    std::string m_firmware, m_home;
    std::vector<std::string> m_files;
    int m_deviceNs = -1;  // held open: the device namespace lives as long as this descriptor
    bool m_link = false;
    std::unique_ptr<devsim::DeviceSimulator> m_sim;
};
