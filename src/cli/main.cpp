// quenlar: the command-line front end.
#include "cli/Commands.h"
#include "host/Log.h"

#include <CLI/CLI.hpp>

#ifndef QUENLAR_VERSION
#define QUENLAR_VERSION "0.0.0"
#endif

int main(int argc, char** argv)
{
    host::ConfigureLog();
    host::SetLogFile(host::kLogFileName);

    CLI::App app {"Quenlar finds existing and deleted files on NTFS, FAT32 and exFAT volumes "
                  "and copies them out. The volume is only ever read.",
                  "quenlar"};
    app.set_version_flag("--version", "quenlar " QUENLAR_VERSION);
    app.require_subcommand(1);

    cli::ProbeOptions probe;
    CLI::App* probeCommand =
        app.add_subcommand("probe", "Recognise the file system of a volume and print its geometry");
    probeCommand->add_option("volume", probe.volume, "Block device or image file")->required();
    probeCommand->add_flag("--json", probe.json, "Print one JSON object");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? cli::kExitOk : cli::kExitUsage;
    }

    int result = cli::kExitOk;
    if (probeCommand->parsed())
        result = cli::RunProbe(probe);
    host::ShutdownLog();
    return result;
}
