// The content checks of the command line, and `quenlar verify`: the files a
// recovery wrote, hashed again against its receipts.
#include "cli/Commands.h"
#include "cli/Progress.h"
#include "cli/Terminal.h"

#include "base/Sha256.h"
#include "base/StopRequest.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "recover/Receipt.h"
#include "search/Evidence.h"
#include "volume/VolumeScanner.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace cli {
namespace {

extern "C" void StopChecks()
{
    base::StopRequest.store(base::kStopDiscard);
}

// Paths as UTF-8 on every platform.
std::filesystem::path Utf8Path(const std::string& text)
{
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string Utf8Text(const std::filesystem::path& path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// The SHA-256 of the file at `path`; false when it cannot be read.
bool HashFile(const std::filesystem::path& path, std::string& hex)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    base::Sha256 hash;
    std::vector<char> buffer(1 << 20);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        hash.Add(buffer.data(), static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad())
        return false;
    hex = hash.FinishHex();
    return true;
}

// Whether `relative` stays inside the destination: a receipt is read from a
// folder anyone may have written to.
bool InsideDestination(const std::string& relative)
{
    const std::filesystem::path p = Utf8Path(relative);
    if (relative.empty() || p.is_absolute() || p.has_root_name())
        return false;
    for (const auto& part : p) {
        if (part == "..")
            return false;
    }
    return true;
}

}  // namespace

std::size_t CheckResultContents(scan::VolumeScanner& volume)
{
    base::StopRequest = 0;
    platform::OnInterrupt(StopChecks);
    std::atomic<std::uint64_t> done {0};
    const std::size_t total = volume.ResultCount();
    Progress progress(platform::StderrIsTerminal());
    progress.Start([&](double) {
        return "checking content: " + std::to_string(done.load()) + " / " + std::to_string(total) + " results";
    });
    const std::size_t checked = scan::CheckContents(volume, &done);
    progress.Stop();
    if (base::StopRequested())
        std::fprintf(stderr, "quenlar: content checks stopped after %llu of %zu results\n",
                     static_cast<unsigned long long>(done.load()), total);
    base::StopRequest = 0;
    return checked;
}

int RunVerify(const VerifyOptions& options)
{
    namespace fs = std::filesystem;
    const fs::path destination = Utf8Path(platform::AbsolutePath(options.destination));
    std::vector<fs::path> receipts;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(destination, error)) {
        const std::string name = Utf8Text(entry.path().filename());
        if (name.rfind(recover::kReceiptName, 0) == 0 && entry.path().extension() == ".json")
            receipts.push_back(entry.path());
    }
    if (error) {
        std::fprintf(stderr, "quenlar: cannot read the folder '%s': %s\n", Utf8Text(destination).c_str(),
                     error.message().c_str());
        return kExitFailed;
    }
    if (receipts.empty()) {
        std::fprintf(stderr, "quenlar: no %s.json in '%s'\n", recover::kReceiptName, Utf8Text(destination).c_str());
        return kExitFailed;
    }
    std::sort(receipts.begin(), receipts.end());
    std::size_t same = 0, changed = 0, missing = 0, unusable = 0;
    for (const fs::path& receipt : receipts) {
        nlohmann::json doc;
        try {
            std::ifstream in(receipt, std::ios::binary);
            doc = nlohmann::json::parse(in);
        } catch (const std::exception&) {
            std::fprintf(stderr, "quenlar: the receipt '%s' cannot be read (cut short or changed)\n",
                         Utf8Text(receipt).c_str());
            ++unusable;
            continue;
        }
        if (!doc.is_object() || !doc.contains("files") || !doc["files"].is_array()) {
            std::fprintf(stderr, "quenlar: '%s' is no receipt\n", Utf8Text(receipt).c_str());
            ++unusable;
            continue;
        }
        for (const auto& file : doc["files"]) {
            if (!file.is_object() || !file.contains("recovered") || !file["recovered"].is_string() ||
                !file.contains("sha256") || !file["sha256"].is_string())
                continue;  // nothing was kept of it
            const std::string relative = file["recovered"].get<std::string>();
            const std::string expected = file["sha256"].get<std::string>();
            std::string status;
            std::string actual;
            if (!InsideDestination(relative)) {
                status = "not checked (its path leads outside the folder)";
                ++unusable;
            } else if (!HashFile(destination / Utf8Path(relative), actual)) {
                status = "missing";
                ++missing;
            } else if (actual != expected) {
                status = "changed";
                ++changed;
            } else {
                ++same;
            }
            if (options.json)
                std::printf("{\"file\":%s,\"status\":\"%s\"}\n", nlohmann::json(relative).dump().c_str(),
                            status.empty() ? "same" : status == "missing" ? "missing"
                                                  : status == "changed" ? "changed" : "unchecked");
            else if (!status.empty())
                std::printf("%s: %s\n", status.c_str(), Printable(relative).c_str());
        }
    }
    if (!options.json)
        std::printf("%zu files as written, %zu changed, %zu missing\n", same, changed, missing);
    return changed + missing + unusable == 0 ? kExitOk : kExitFailed;
}

}  // namespace cli
