#pragma once
// Process-wide state of the TFTP service, shared by its start/stop entries and its main thread.
#include <pthread.h>

#include <atomic>
#include <cstddef>

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
extern TftpTransfer* pTftpFirst;

// eventfd helpers: Set makes it readable, Drain reads it back to not signalled.
void TftpSetEvent(int fd);
void TftpDrainEvent(int fd);
// Created once per process and never closed, so a worker left behind by a stop never writes
// into a descriptor that has been reused.
int TftpServiceEvent();
// Raised by the main thread once every active client has its ERROR 99: transfers then end at once.
void TftpSignalAbort();
void TftpClearAbort();

// Starts a detached-never, joinable thread with a small stack: the requested size, raised to what
// the platform (and sanitizers) need.
bool TftpStartThread(void* (*body)(void*), void* argument, size_t requestedStack, pthread_t* thread);

void TftpSetListenStatus(int state, int error, const char* address, const char* port, const char* reason);
