#pragma once
// Start and stop of the built-in TFTP service, called by the upgrade run's start and stop.
#include <cstdint>

// Starts the service on `localAddress` (numeric; anything not starting with a digit listens on all
// local addresses, IPv4 and IPv6 on one socket) serving `rootDir`. Returns 1 in every case: ask
// GetTftpServiceStatus whether the service actually listens.
int StartTftp(const char* localAddress, const char* rootDir);
// Stops the service: clients in the middle of a transfer get ERROR 99. Safe to call when stopped.
void StopTftp();

enum TftpListenState {
    TFTP_STOPPED = 0,   // not started, or stopped
    TFTP_STARTING = 1,  // started, listening socket not opened yet
    TFTP_LISTENING = 2, // the listening socket is open
    TFTP_FAILED = 3,    // the listening socket could not be opened; nothing is served
};

struct TftpServiceStatus {
    int32_t nState;        // TftpListenState
    int32_t nError;        // the failing step's error code when nState is TFTP_FAILED
    char szAddress[64];    // numeric address the socket is bound to ("::" for the dual-stack wildcard)
    char szPort[16];       // numeric port
    char szReason[512];    // what went wrong, in one line, when nState is TFTP_FAILED
};

// Fills `status` and returns 1 when the service is listening, 0 otherwise.
int GetTftpServiceStatus(TftpServiceStatus* status);
