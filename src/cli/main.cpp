// quenlar: the command-line front end.
#include "cli/Commands.h"
#include "base/Log.h"
#include "host/UiHost.h"
#include "platform/BlockDevice.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Shell.h"
#include "store/ResultStore.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>

#ifndef QUENLAR_VERSION
#define QUENLAR_VERSION "0.0.0"
#endif

namespace {

// Sorts the positional arguments of a result command into volume and folder.
int RunResultCommand(CLI::App* tree, CLI::App* list, CLI::App* filter, const std::vector<std::string>& args,
                     cli::TreeOptions& treeOptions, cli::ListOptions& listOptions, cli::FilterOptions& filterOptions,
                     cli::RecoverOptions& recoverOptions)
{
    cli::SourceOptions& source = tree->parsed()     ? treeOptions.source
                                 : list->parsed()   ? listOptions.source
                                 : filter->parsed() ? filterOptions.source
                                                    : recoverOptions.source;
    const std::size_t wanted = (source.saved ? 0 : 1) + (list->parsed() ? 1 : 0);
    if (args.size() > wanted || (!source.saved && args.empty())) {
        std::fprintf(stderr, "quenlar: %s\n",
                     source.saved ? "with --saved no volume is given" : "give the volume to read");
        return cli::kExitUsage;
    }
    if (!source.saved)
        source.volume = args[0];
    if (list->parsed() && args.size() == wanted)
        listOptions.folder = args.back();
    if (tree->parsed())
        return cli::RunTree(treeOptions);
    if (list->parsed())
        return cli::RunList(listOptions);
    if (filter->parsed())
        return cli::RunFilter(filterOptions);
    return cli::RunRecover(recoverOptions);
}

}  // namespace

int main(int argc, char** argv)
{
    base::ConfigureLog();

    CLI::App app {"Quenlar finds existing and deleted files on NTFS, FAT32 and exFAT volumes "
                  "and copies them out. The volume is only ever read.",
                  "quenlar"};
    app.set_version_flag("--version", "quenlar " QUENLAR_VERSION);
    app.require_subcommand(1);

    cli::DisksOptions disksOptions;
    CLI::App* disksCommand =
        app.add_subcommand("disks", "List the disks, their partitions and the other volumes that can be scanned");
    disksCommand->add_flag("--json", disksOptions.json, "One JSON array of disks");

    cli::PartitionsOptions partitionsOptions;
    CLI::App* partitionsCommand = app.add_subcommand(
        "partitions", "Search a disk or disk image for NTFS, FAT32 and exFAT volumes, also those no partition "
                      "table names any more");
    partitionsCommand->add_option("disk", partitionsOptions.disk, "Block device or disk image file")->required();
    partitionsCommand->add_flag("--whole", partitionsOptions.whole,
                                "Look at every sector, not only where partitions begin (reads the whole disk)");
    partitionsCommand->add_flag("--json", partitionsOptions.json, "One JSON array of the volumes found");

    // A volume is a path, or a disk and partition number as 'quenlar disks'
    // lists them; --at reads the volume that begins at a sector of the disk.
    struct DiskChoice {
        std::uint32_t disk = 0;
        std::uint32_t partition = 0;
        std::uint64_t at = 0;
        CLI::Option* diskOption = nullptr;
        CLI::Option* partitionOption = nullptr;
        CLI::Option* atOption = nullptr;
    };
    auto addVolume = [](CLI::App* command, std::string& volume, DiskChoice& choice) {
        CLI::Option* path = command->add_option("volume", volume, "Block device or image file");
        choice.diskOption = command->add_option("--disk", choice.disk, "Disk number from 'quenlar disks'");
        choice.partitionOption = command->add_option(
            "--partition", choice.partition, "Partition number on that disk (0: the whole disk)");
        choice.diskOption->excludes(path)->needs(choice.partitionOption);
        choice.partitionOption->needs(choice.diskOption);
        choice.atOption = command->add_option("--at", choice.at,
                                              "The volume that begins at this sector (512 bytes) of the disk, "
                                              "as 'quenlar partitions' lists it");
        choice.atOption->excludes(choice.diskOption);
    };

    cli::ProbeOptions probe;
    DiskChoice probeDisk;
    CLI::App* probeCommand =
        app.add_subcommand("probe", "Recognise the file system of a volume and print its geometry");
    addVolume(probeCommand, probe.volume, probeDisk);
    probeCommand->add_flag("--json", probe.json, "Print one JSON object");

    cli::ScanOptions scanOptions;
    DiskChoice scanDisk;
    CLI::App* scanCommand = app.add_subcommand("scan", "Find existing and deleted files and list them");
    addVolume(scanCommand, scanOptions.volume, scanDisk);
    scanCommand->add_flag("--deep", scanOptions.deep,
                          "After the normal scan, search the whole volume for old folders, files by their "
                          "content and stray NTFS file records (Ctrl-C pauses it and saves the results for "
                          "'quenlar resume')");
    scanCommand->add_flag("--no-content", scanOptions.noContent,
                          "Let the deep scan leave out the search for files by their content (faster; finds "
                          "no file whose folder entry and record are gone)");
    auto* scanJson = scanCommand->add_flag("--json", scanOptions.json, "One JSON object per found file");
    scanCommand->add_flag("--bodyfile", scanOptions.bodyfile, "The Sleuth Kit's body-file format (for mactime)")
        ->excludes(scanJson);
    scanCommand->add_flag("--discard-saved", scanOptions.discardSaved,
                          "Let the deep scan replace a paused scan of another volume saved in mydatabase.db");
    scanCommand->add_option("--stop-at-sector", scanOptions.stopAtSector,
                            "Pause the deep scan, keeping its results, once it reaches this sector");
    scanCommand->add_flag("--check", scanOptions.check,
                          "After the scan, check the content of JPEG, PNG, GIF, PDF, ZIP, MP4 and Office files "
                          "(reads their first and last bytes) for a surer verdict");

    cli::ResumeOptions resumeOptions;
    CLI::App* resumeCommand = app.add_subcommand("resume", "Continue the saved scan of the current folder's "
                                                           "mydatabase.db and list the results");
    auto* resumeJson = resumeCommand->add_flag("--json", resumeOptions.json, "One JSON object per found file");
    resumeCommand->add_flag("--bodyfile", resumeOptions.bodyfile, "The Sleuth Kit's body-file format")
        ->excludes(resumeJson);
    resumeCommand->add_option("--stop-at-sector", resumeOptions.stopAtSector,
                              "Pause the deep scan again once it reaches this sector");
    resumeCommand->add_flag("--no-content", resumeOptions.noContent,
                            "Let the deep scan leave out the search for files by their content");
    resumeCommand->add_flag("--check", resumeOptions.check,
                            "Check the content of the files whose kind allows it, for a surer verdict");

    // The commands that work on results take a volume to scan, or --saved.
    std::vector<std::string> positionals;
    auto addSource = [&positionals](CLI::App* command, cli::SourceOptions& source, const char* what) {
        command->add_option("args", positionals, what);
        command->add_flag("--deep", source.deep, "Run the deep scan after the normal scan");
        command->add_flag("--saved", source.saved, "Use the saved scan of mydatabase.db instead of scanning");
        command->add_flag("--discard-saved", source.discardSaved,
                          "With --deep: let the deep scan replace a paused scan of another volume");
        command->add_flag("--check", source.check,
                          "Check the content of the files whose kind allows it, for a surer verdict");
    };

    cli::TreeOptions treeOptions;
    CLI::App* treeCommand = app.add_subcommand("tree", "The folder tree with the files found at or below each folder");
    addSource(treeCommand, treeOptions.source, "VOLUME (not with --saved)");
    treeCommand->add_flag("--json", treeOptions.json, "One JSON object per folder");

    cli::ListOptions listOptions;
    CLI::App* listCommand = app.add_subcommand("ls", "The files found directly in one folder");
    addSource(listCommand, listOptions.source, "VOLUME FOLDER (FOLDER alone with --saved; \"\" is the root)");
    listCommand->add_flag("--json", listOptions.json, "One JSON array (the file row) per file");

    cli::FilterOptions filterOptions;
    CLI::App* filterCommand = app.add_subcommand("filter", "The files of chosen categories, sizes and age");
    addSource(filterCommand, filterOptions.source, "VOLUME (not with --saved)");
    filterCommand->add_flag("--pictures", filterOptions.pictures, "Pictures");
    filterCommand->add_flag("--documents", filterOptions.documents, "Documents");
    filterCommand->add_flag("--videos", filterOptions.videos, "Videos");
    filterCommand->add_flag("--audio", filterOptions.audio, "Audio");
    filterCommand->add_flag("--emails", filterOptions.emails, "E-mail stores");
    filterCommand->add_option("--min-size", filterOptions.minSize, "Smallest size in bytes");
    filterCommand->add_option("--max-size", filterOptions.maxSize, "Largest size in bytes");
    filterCommand->add_option("--hours", filterOptions.hours, "Changed within this many hours");
    filterCommand
        ->add_option("--verdict", filterOptions.verdicts,
                     "Only files with these verdicts (intact, likely, partial, overwritten, unknown; "
                     "comma-separated or repeated)")
        ->delimiter(',');
    filterCommand->add_flag("--json", filterOptions.json, "One JSON array (the file row) per file");

    cli::RecoverOptions recoverOptions;
    CLI::App* recoverCommand = app.add_subcommand("recover", "Copy found files to a destination folder");
    addSource(recoverCommand, recoverOptions.source, "VOLUME (not with --saved)");
    recoverCommand->add_option("--dest", recoverOptions.destination, "Destination folder, on another disk")->required();
    recoverCommand->add_option("--index", recoverOptions.indices, "A result index as 'scan' lists it (repeatable)");
    recoverCommand->add_option("--folder", recoverOptions.folders,
                               "Every file under this folder of the result tree (repeatable)");
    recoverCommand->add_flag("--all", recoverOptions.all, "Every file found");

    cli::VerifyOptions verifyOptions;
    CLI::App* verifyCommand =
        app.add_subcommand("verify", "Hash the files a recovery wrote into DEST again and compare with its receipt");
    verifyCommand->add_option("DEST", verifyOptions.destination, "The destination folder of the recovery")->required();
    verifyCommand->add_flag("--json", verifyOptions.json, "One JSON object per file");

    host::GuiOptions guiOptions;
    bool noBrowser = false;
    double graceSeconds = 10;
    std::vector<std::string> images;
    CLI::App* guiCommand = app.add_subcommand(
        "gui", "Serve the program's window to a browser on this machine (http://127.0.0.1, a secret address)");
    guiCommand->add_flag("--no-browser", noBrowser, "Print the address only; start no browser");
    guiCommand->add_option("--port", guiOptions.port, "Port on 127.0.0.1 (default: any free one)");
    guiCommand->add_option("--grace", graceSeconds,
                           "Seconds to wait for a window after the last one closed, before ending (default 10)")
        ->check(CLI::Range(0.0, 86400.0));
    guiCommand->add_option("images", images, "Image files offered as volumes beside the disks");
    bool userData = false;
    guiCommand->add_flag("--user-data", userData,
                         "Keep the working files (mydatabase.db, Recovery.log, config.ini) in the desktop user's data "
                         "folder (~/.local/share/quenlar) instead of the current folder, as the desktop entry does");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? cli::kExitOk : cli::kExitUsage;
    }
    // The working files go in the current folder, or in the desktop user's
    // data folder when asked (started from the desktop, where the current
    // folder is none the user would look in).
    if (userData && platform::EnterUserDataFolder().empty())
        std::fprintf(stderr, "quenlar: the data folder in the desktop user's home cannot be made; the working files "
                             "go in the current folder\n");
    base::SetLogFile(base::kLogFileName);

    int result = cli::kExitOk;
    // kExitOk when `volume` names the device to read.
    const auto resolve = [](const DiskChoice& choice, std::string& volume) {
        if (choice.diskOption->count() == 0) {
            if (!volume.empty())
                return cli::kExitOk;
            std::fprintf(stderr, "quenlar: give the volume to read, or --disk and --partition\n");
            return cli::kExitUsage;
        }
        return cli::ResolveDiskPartition(choice.disk, choice.partition, volume) ? cli::kExitOk : cli::kExitFailed;
    };
    const auto resolveAt = [&resolve](const DiskChoice& choice, std::string& volume) {
        const int r = resolve(choice, volume);
        if (r == cli::kExitOk && choice.atOption->count() != 0)
            volume = platform::VolumeAtName(volume, choice.at);
        return r;
    };
    if (guiCommand->parsed()) {
        guiOptions.openBrowser = !noBrowser;
        guiOptions.grace = std::chrono::milliseconds(static_cast<std::int64_t>(graceSeconds * 1000));
        for (const std::string& image : images) {
            if (platform::IsFolder(image) || !platform::FileReadable(image)) {
                std::fprintf(stderr, "quenlar: '%s' is no image file that can be read\n", image.c_str());
                base::ShutdownLog();
                return cli::kExitFailed;
            }
            guiOptions.images.push_back(platform::CanonicalPath(image));
        }
        result = host::RunGui(guiOptions);
    } else if (disksCommand->parsed()) {
        result = cli::RunDisks(disksOptions);
    } else if (partitionsCommand->parsed()) {
        result = cli::RunPartitions(partitionsOptions);
    } else if (probeCommand->parsed()) {
        result = resolveAt(probeDisk, probe.volume);
        if (result == cli::kExitOk)
            result = cli::RunProbe(probe);
    } else if (scanCommand->parsed()) {
        result = resolveAt(scanDisk, scanOptions.volume);
        if (result == cli::kExitOk)
            result = cli::RunScan(scanOptions);
    } else if (resumeCommand->parsed()) {
        result = cli::RunResume(resumeOptions);
    } else if (verifyCommand->parsed()) {
        result = cli::RunVerify(verifyOptions);
    } else if (treeCommand->parsed() || listCommand->parsed() || filterCommand->parsed() ||
               recoverCommand->parsed()) {
        result = RunResultCommand(treeCommand, listCommand, filterCommand, positionals, treeOptions, listOptions,
                                  filterOptions, recoverOptions);
    }
    store::CloseStore();
    base::ShutdownLog();
    return result;
}
