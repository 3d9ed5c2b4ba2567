#pragma once
// A run offers and serves only the files it catalogued. The start records each catalogued file as
// the TFTP service opens it; an entry whose file is gone or is no longer that file (replaced,
// rewritten, even only touched) is withdrawn for the rest of the run, and the service refuses it.
#include <atomic>
#include <deque>
#include <functional>
#include <string>

#include "_libs/tftp/tftp_interface.h"
#include "firmware/upgrade_scan.h"

// How a catalogued file differs from the one the run started with.
enum class FileChange {
    Gone,               // no longer there
    LeavesFolder,       // now a link that leads out of the folder
    Unservable,         // there, but the service could not serve it (detail: why)
    Replaced,           // another file under the same name
    Resized,            // rewritten in place to another size (detail: sizes)
    Modified,           // modification time changed
    StatusChanged,      // status change time changed (permissions, links, a rewrite)
    ChangedInTransfer,  // changed while a device was downloading it
};

// What changed, for the log (English) or the operator (`english` false: Chinese).
std::string DescribeFileChange(FileChange change, const std::string& detail, bool english);

class CatalogueWatch {
public:
    // Told once per withdrawn entry, on the thread that noticed (a request thread or a TFTP worker).
    using Withdrawn = std::function<void(const UpgradeFileInfo& entry, FileChange change, const std::string& detail)>;

    // Forgets the files of the last run. Only while no thread of a run reads them: before the
    // request threads start and while no TFTP read observer calls in.
    void Reset(const char* root, const TftpConfig& settings, Withdrawn onWithdrawn);
    // Records the next catalogue entry (in catalogue order) as the service opened it.
    void Add(const UpgradeFileInfo& entry, const TftpFileIdentity& identity);

    // Whether catalogue entry `index` may be offered: false once withdrawn, and withdraws it when
    // its file is no longer the recorded one (an entry never recorded is offered). A check that
    // fails for want of descriptors or memory withdraws nothing: the service checks again when the
    // device reads the file.
    bool StillOffered(size_t index);
    // The read observer's verdict on a file the service opened: 0 to serve, or 2 (access violation)
    // for a catalogued name or inode that is no longer the recorded file. A file that changed during
    // its transfer withdraws its entry.
    int CheckRead(const TftpReadInfo& read);

private:
    struct Watched {
        UpgradeFileInfo entry;
        std::string systemName;  // the name as the service's observer reports it (UTF-8)
        TftpFileIdentity identity;
        std::atomic<bool> withdrawn{false};
    };
    void Withdraw(Watched& file, FileChange change, const std::string& detail);

    std::string m_root;
    TftpConfig m_settings{};
    Withdrawn m_onWithdrawn;
    std::deque<Watched> m_files;  // a deque: its elements hold atomics and never move
};
