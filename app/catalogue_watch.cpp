#include "app/catalogue_watch.h"

#include <netinet/in.h>

#include <cerrno>
#include <cstring>

#include "log/log.h"
#include "platform/text_codec.h"
#include "platform/udp_socket.h"

namespace {

// The first difference that matters to the operator: a new inode says more than a new ctime.
FileChange Classify(const TftpFileIdentity& was, const TftpFileIdentity& now, std::string* detail) {
    if (was.nDevice != now.nDevice || was.nInode != now.nInode) return FileChange::Replaced;
    if (was.nSize != now.nSize) {
        *detail = std::to_string(was.nSize) + " -> " + std::to_string(now.nSize);
        return FileChange::Resized;
    }
    if (was.nMtimeSec != now.nMtimeSec || was.nMtimeNsec != now.nMtimeNsec) return FileChange::Modified;
    return FileChange::StatusChanged;
}

// Failures that say nothing about the file: it is checked again when it is read.
bool Transient(int err) {
    return err == EMFILE || err == ENFILE || err == ENOMEM || err == EAGAIN || err == EINTR;
}

}  // namespace

std::string DescribeFileChange(FileChange change, const std::string& detail, bool english) {
    switch (change) {
        case FileChange::Gone:
            return english ? "deleted" : "已被删除";
        case FileChange::LeavesFolder:
            return english ? "now a link that leads out of the folder" : "已变成指向目录之外的链接";
        case FileChange::Unservable:
            return (english ? "it cannot be served any more, " : "已无法提供，") + detail;
        case FileChange::Replaced:
            return english ? "replaced by another file" : "已被另一个文件替换";
        case FileChange::Resized:
            return (english ? "rewritten, size " : "已被改写，大小 ") + detail + (english ? " bytes" : " 字节");
        case FileChange::Modified:
            return english ? "rewritten or touched (modification time changed)" : "已被改写或修改时间已变";
        case FileChange::StatusChanged:
            return english ? "its status changed (permissions, links or contents)" : "其属性（权限、链接或内容）已变化";
        case FileChange::ChangedInTransfer:
            return english ? "changed while a device was downloading it" : "在设备下载时发生了变化";
    }
    return "";
}

void CatalogueWatch::Reset(const char* root, const TftpConfig& settings, Withdrawn onWithdrawn) {
    m_root = root;
    m_settings = settings;
    m_onWithdrawn = std::move(onWithdrawn);
    m_files.clear();
}

void CatalogueWatch::Add(const UpgradeFileInfo& entry, const TftpFileIdentity& identity) {
    Watched& file = m_files.emplace_back();
    file.entry = entry;
    if (!platform::GbkToUtf8(entry.szFileName, &file.systemName)) file.systemName = entry.szFileName;
    file.identity = identity;
}

void CatalogueWatch::Withdraw(Watched& file, FileChange change, const std::string& detail) {
    if (file.withdrawn.exchange(true)) return;
    LogMessage(LOG_MAJOR, "firmware file %s withdrawn from this run: %s", file.entry.szFileName,
               DescribeFileChange(change, detail, true).c_str());
    if (m_onWithdrawn) m_onWithdrawn(file.entry, change, detail);
}

bool CatalogueWatch::StillOffered(size_t index) {
    // A catalogue filled without a run's start (SaveUpgradeFileInfo) has nothing recorded to hold to.
    if (index >= m_files.size()) return true;
    Watched& file = m_files[index];
    if (file.withdrawn.load()) return false;
    TftpFileIdentity now{};
    char why[160] = "";
    int refusal = TftpCheckServable(m_root.c_str(), file.entry.szFileName, m_settings, why, sizeof why, &now);
    if (refusal != 0 && Transient(now.nOpenError)) {
        LogMessage(LOG_GENERAL, "firmware file %s not checked (%s): offered, its read is checked",
                   file.entry.szFileName, std::strerror(now.nOpenError));
        return true;
    }
    if (refusal != 0) {
        FileChange change = now.nOpenError == ENOENT ? FileChange::Gone
                            : refusal == 2           ? FileChange::LeavesFolder
                                                     : FileChange::Unservable;
        Withdraw(file, change, why);
        return false;
    }
    if (SameTftpFile(now, file.identity)) return true;
    std::string detail;
    FileChange change = Classify(file.identity, now, &detail);
    Withdraw(file, change, detail);
    return false;
}

int CatalogueWatch::CheckRead(const TftpReadInfo& read) {
    // By inode first (a hard link, or the catalogued file under another spelling), else by name.
    Watched* match = nullptr;
    for (Watched& file : m_files) {
        if (file.identity.nDevice == read.identity.nDevice && file.identity.nInode == read.identity.nInode) {
            match = &file;
            break;
        }
    }
    for (size_t i = 0; match == nullptr && i < m_files.size(); ++i) {
        if (m_files[i].systemName == read.szRelPath) match = &m_files[i];
    }
    if (match == nullptr) return 0;
    if (read.nEvent == TFTP_READ_CHANGED) {
        Withdraw(*match, FileChange::ChangedInTransfer, "");
        return 0;
    }
    if (SameTftpFile(read.identity, match->identity)) return 0;
    std::string detail;
    FileChange change = Classify(match->identity, read.identity, &detail);
    LogMessage(LOG_MAJOR, "read of firmware file %s from %s refused: %s since the run started", match->entry.szFileName,
               platform::FormatIPv4(in_addr{read.clientAddress}).c_str(), DescribeFileChange(change, detail, true).c_str());
    Withdraw(*match, change, detail);
    return 2;
}
