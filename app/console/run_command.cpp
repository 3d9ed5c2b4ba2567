// kelvane-cli run: an upgrade run from the console, through the same run control as the window.
#include <memory>

#include "app/console/console_command.h"
#include "app/console/run_console.h"

namespace {

const bool registered = RegisterConsoleCommand([](CLI::App& app) {
    auto options = std::make_shared<RunOptions>();
    CLI::App* command = app.add_subcommand("run", "Run an upgrade: answer devices, serve firmware, show progress");
    command->add_option("--folder", options->folder, "Folder of firmware files")->required();
    command->add_option("--address", options->address,
                        "Local IPv4 address to serve on (default: the first local address)");
    command->add_flag("--force-old", options->forceOld, "Offer the folder's file even when it is not newer");
    command->add_flag("--ip-check", options->ipCheck, "Probe every address with ICMP echo before lending it");
    command->add_option("--lang", options->lang, "Language of every text of the run (default: from the locale)")
        ->check(CLI::IsMember({"en", "zh"}));
    command->add_option("--results", options->results,
                        "Keep every device's result in this file (CSV, or JSON for *.json), rewritten as outcomes "
                        "come in; its run_state column says \"running\" until the run has ended, then \"finished\"");
    command->add_option("--events", options->events,
                        "Write one JSON object per line for every change of a device to this file (- for standard "
                        "output; the run's own lines then go to standard error)");
    command->add_option("--devices", options->devices, "End once this many devices have an outcome")
        ->check(CLI::PositiveNumber);
    command
        ->add_option("--idle", options->idleSeconds,
                     "End after this many seconds without a device message, once a device has an outcome")
        ->check(CLI::PositiveNumber);
    command->add_option("--log-level", options->logLevel, "Log level for Upgrade.log (0 Major .. 8 ALLLOG)")
        ->check(CLI::Range(0, 8));
    command->footer(
        "Exit status: 0 every device offered a file succeeded; 1 a device failed or did not finish, or the results "
        "could not be written; 2 usage error or the run could not start; 3 no device asked for an address.\n"
        "Ctrl-C stops the run; while devices are writing flash it asks for a second Ctrl-C within 5 seconds. "
        "SIGTERM, SIGHUP and SIGQUIT stop at once.");
    command->callback([options] { SetConsoleExitCode(RunUpgrade(*options)); });
});

}  // namespace
