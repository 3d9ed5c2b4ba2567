// kelvane-cli tftp: the built-in TFTP service on its own, until Ctrl-C or SIGTERM.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "_libs/tftp/tftp_interface.h"
#include "app/console/console_command.h"
#include "log/log.h"

namespace {

struct TftpOptions {
    std::string address;
    std::string root = ".";
    int logLevel = -1;
    int port = 69;
    std::string logFile = "Upgrade.log";
    bool readOnly = false;
    int perClient = kTftpMaxRecordsPerClient;
    int maxTransfers = 0;  // 0: the service's default
};

void EchoLine(const char* line, int length) {
    // Lines keep the log's embedded line breaks; the file's CR LF becomes one newline.
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) --length;
    std::fwrite(line, 1, static_cast<size_t>(length), stderr);
    std::fputc('\n', stderr);
}

int RunTftp(const TftpOptions& options) {
    struct stat st {};
    if (stat(options.root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "kelvane-cli tftp: %s is not a folder\n", options.root.c_str());
        return 2;
    }
    if (!options.address.empty() && (options.address[0] < '0' || options.address[0] > '9')) {
        std::fprintf(stderr, "kelvane-cli tftp: --address takes a numeric address, not %s\n", options.address.c_str());
        return 2;
    }
    LogInit(options.logLevel >= 0 ? options.logLevel : LOG_MAJOR, options.logFile.c_str());
    if (options.logLevel >= 0) LogSetMirror(EchoLine);

    // Block the stop signals before any service thread exists, so every thread inherits the mask
    // and only sigwait below ever sees them.
    const sigset_t stopSignals = BlockStopSignals();

    TftpConfig settings = TftpDefaultConfig();
    settings.nPort = options.port;
    settings.nMaxPerClient = options.perClient;
    if (options.maxTransfers > 0) settings.nMaxTransfers = options.maxTransfers;
    if (options.readOnly) settings.nSecurityLevel = kTftpReadOnlyLevel;
    StartTftp(options.address.c_str(), options.root.c_str(), settings);
    TftpServiceStatus status{};
    if (!GetTftpServiceStatus(&status)) {
        std::fprintf(stderr, "kelvane-cli tftp: not serving: %s\n",
                     status.szReason[0] != '\0' ? status.szReason : "the service did not start");
        StopTftp();
        return 1;
    }
    const bool v6 = std::string(status.szAddress).find(':') != std::string::npos;
    std::printf("TFTP service listening on %s%s%s port %s%s, serving %s\n", v6 ? "[" : "", status.szAddress,
                v6 ? "]" : "", status.szPort, options.address.empty() ? " (IPv4 and IPv6)" : "",
                status.szRootDir);
    if (options.readOnly) std::printf("Read-only: write requests are refused.\n");
    std::printf("Press Ctrl-C to stop.\n");
    std::fflush(stdout);

    int received = 0;
    sigwait(&stopSignals, &received);
    std::printf("Stopping the TFTP service...\n");
    std::fflush(stdout);
    StopTftp();
    LogSetMirror(nullptr);
    std::printf("TFTP service stopped.\n");
    return 0;
}

const bool registered = RegisterConsoleCommand([](CLI::App& app) {
    auto options = std::make_shared<TftpOptions>();
    CLI::App* command = app.add_subcommand("tftp", "Run the built-in TFTP service alone until Ctrl-C or SIGTERM");
    command->add_option("--address", options->address,
                        "Numeric local address to listen on (default: every address, IPv4 and IPv6)");
    command->add_option("--root", options->root, "Folder whose files are served (default: the current folder)");
    command->add_option("--port", options->port, "UDP port to listen on")->check(CLI::Range(1, 65535));
    command
        ->add_option("--log-level", options->logLevel,
                     "Write log lines up to this level (0 Major .. 8 ALLLOG) to the log file and the terminal")
        ->check(CLI::Range(0, 8));
    command
        ->add_option("--per-client", options->perClient,
                     "Transfers one client address may hold at once (default 8; 0: no limit, for clients that "
                     "share one address)")
        ->check(CLI::Range(0, 1000));
    command
        ->add_option("--max-transfers", options->maxTransfers,
                     "Transfers served at once (default 100; an upgrade run keeps 256, one per address it lends)")
        ->check(CLI::Range(1, 1000));
    command->add_flag("--read-only", options->readOnly, "Refuse every write request (uploads are accepted by default)");
    command->add_option("--log-file", options->logFile, "Log file (default: Upgrade.log in the current folder)");
    command->callback([options] { SetConsoleExitCode(RunTftp(*options)); });
});

}  // namespace
