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
    command->add_option("--lang", options->lang, "Language of the state texts (default: from the locale)")
        ->check(CLI::IsMember({"en", "zh"}));
    command->add_option("--results", options->results,
                        "Write every device's result to this file at the end (CSV, or JSON for *.json)");
    command->add_option("--devices", options->devices, "End once this many devices have an outcome")
        ->check(CLI::PositiveNumber);
    command->add_option("--idle", options->idleSeconds,
                        "End after this many seconds without a device message, once a device has an outcome")
        ->check(CLI::PositiveNumber);
    command->add_option("--log-level", options->logLevel, "Log level for Upgrade.log (0 Major .. 8 ALLLOG)")
        ->check(CLI::Range(0, 8));
    command->callback([options] { SetConsoleExitCode(RunUpgrade(*options)); });
});

}  // namespace
