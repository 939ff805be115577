// quenlar: the command-line front end.
#include "cli/Commands.h"
#include "host/Log.h"
#include "store/ResultStore.h"

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

    cli::ScanOptions scanOptions;
    CLI::App* scanCommand = app.add_subcommand("scan", "Find existing and deleted files and list them");
    scanCommand->add_option("volume", scanOptions.volume, "Block device or image file")->required();
    scanCommand->add_flag("--deep", scanOptions.deep,
                          "After the normal scan, search the whole volume for stray NTFS file records "
                          "(Ctrl-C pauses it and saves the results for 'quenlar resume')");
    auto* scanJson = scanCommand->add_flag("--json", scanOptions.json, "One JSON object per found file");
    scanCommand->add_flag("--bodyfile", scanOptions.bodyfile, "The Sleuth Kit's body-file format (for mactime)")
        ->excludes(scanJson);
    scanCommand->add_option("--stop-at-sector", scanOptions.stopAtSector,
                            "Pause the deep scan, keeping its results, once it reaches this sector");

    cli::ResumeOptions resumeOptions;
    CLI::App* resumeCommand = app.add_subcommand("resume", "Continue the saved scan of the current folder's "
                                                           "mydatabase.db and list the results");
    auto* resumeJson = resumeCommand->add_flag("--json", resumeOptions.json, "One JSON object per found file");
    resumeCommand->add_flag("--bodyfile", resumeOptions.bodyfile, "The Sleuth Kit's body-file format")
        ->excludes(resumeJson);
    resumeCommand->add_option("--stop-at-sector", resumeOptions.stopAtSector,
                              "Pause the deep scan again once it reaches this sector");

    cli::RecoverOptions recoverOptions;
    CLI::App* recoverCommand = app.add_subcommand("recover", "Copy found files to a destination folder");
    recoverCommand->add_option("volume", recoverOptions.volume, "Block device or image file (not with --saved)");
    recoverCommand->add_option("--dest", recoverOptions.destination, "Destination folder, on another disk")->required();
    recoverCommand->add_option("--index", recoverOptions.indices, "A result index as 'scan' lists it (repeatable)");
    recoverCommand->add_option("--folder", recoverOptions.folders,
                               "Every file under this folder of the result tree (repeatable)");
    recoverCommand->add_flag("--all", recoverOptions.all, "Every file found");
    recoverCommand->add_flag("--deep", recoverOptions.deep, "Run the deep scan after the normal scan");
    recoverCommand->add_flag("--saved", recoverOptions.saved, "Use the saved scan of mydatabase.db instead of scanning");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? cli::kExitOk : cli::kExitUsage;
    }

    int result = cli::kExitOk;
    if (probeCommand->parsed())
        result = cli::RunProbe(probe);
    else if (scanCommand->parsed())
        result = cli::RunScan(scanOptions);
    else if (resumeCommand->parsed())
        result = cli::RunResume(resumeOptions);
    else if (recoverCommand->parsed())
        result = cli::RunRecover(recoverOptions);
    store::CloseStore();
    host::ShutdownLog();
    return result;
}
