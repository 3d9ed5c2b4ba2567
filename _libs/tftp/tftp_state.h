#pragma once
// The service's main-thread entry, shared by its start/stop, its listener and its pool.
#include <pthread.h>

#include <atomic>

#include "_libs/tftp/tftp.h"

constexpr int TH_TFTP = 0;

struct TftpThreadEntry {
    std::atomic<int> gRunning{0};
    pthread_t hThread{};
    bool bThreadValid = false;
    // Auto-reset event as an eventfd: set by StopTftp and by every worker that ends.
    int hEvent = -1;
    std::atomic<int> skListen{-1};
    std::atomic<int> bInitDone{0};
};

extern TftpThreadEntry tThreads[1];
// The transfer records, touched by the main thread only.
extern TftpTransfer* pTftpFirst;
