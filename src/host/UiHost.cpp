#include "host/UiHost.h"

#include "base/Log.h"
#include "bridge/MainFrame.h"
#include "disks/Disks.h"
#include "host/Archive.h"
#include "host/WebHost.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Shell.h"
#include "store/ResultStore.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

namespace host {
namespace {

constexpr const char* kIconFile = "tallowin.ico";
constexpr std::size_t kIconLimit = 1u << 20;
constexpr const char* kStartDocument = "app/index.html";

// The workers' notifications, handed to the host for every document.
class Channel final : public bridge::UiChannel {
public:
    explicit Channel(WebHost& host) : m_host(host) {}
    void Call(const std::string& function, bridge::Values args) override { m_host.Notify(function, args); }
    void CallDocument(bridge::DocumentId document, const std::string& function, bridge::Values args) override
    {
        m_host.NotifyDocument(document, function, args);
    }
    std::size_t Backlog(bridge::DocumentId document) override { return m_host.Backlog(document); }

private:
    WebHost& m_host;
};

// What the host asks of the program, on the UI thread.
class Documents final : public WebHostHandler {
public:
    Documents(const Archive& archive, const Archive& resources, std::string icon, std::chrono::milliseconds grace)
        : m_archive(archive), m_resources(resources), m_icon(std::move(icon)), m_grace(grace)
    {
    }

    void Attach(WebHost& host, bridge::MainFrame& frame)
    {
        m_host = &host;
        m_frame = &frame;
    }

    bool Call(bridge::DocumentId document, const std::string& name, const bridge::Values& args,
              bridge::Value& result) override
    {
        return m_frame != nullptr && m_frame->HandleCall(document, name, args, result);
    }

    void DocumentLeft(bridge::DocumentId document) override
    {
        if (m_frame != nullptr)
            m_frame->DocumentLeft(document);
    }

    bool Serve(std::string_view path, std::string_view& body, std::string& contentType) override
    {
        if (path.substr(0, 4) == "app/") {
            std::string item;
            if (!AppArchivePath("this://app/" + std::string(path.substr(4)), item) || !m_archive.Find(item, body))
                return false;
            contentType = ContentTypeOf(item);
            return true;
        }
        if (path.substr(0, 4) == "res/") {
            ResourceName resource;
            if (!ResolveResourceUrl("res:" + std::string(path.substr(4)), resource) ||
                !m_resources.Find(ResourceKey(resource), body) || body.empty())
                return false;
            contentType = ResourceContentType(resource.type);
            return true;
        }
        if (path == "icon") {
            // The program's icon from the current folder when there is one,
            // else the one the documents carry.
            if (!m_icon.empty()) {
                body = m_icon;
                contentType = "image/x-icon";
                return true;
            }
            if (!m_archive.Find("favicon.svg", body))
                return false;
            contentType = "image/svg+xml";
            return true;
        }
        return false;
    }

    void DocumentsChanged(std::size_t connected) override
    {
        ++m_generation;
        if (connected != 0) {
            m_everConnected = true;
            return;
        }
        if (!m_everConnected || m_ending)
            return;
        // A reload closes the document and opens it again: wait a while
        // before taking the last one's going for the end.
        const std::uint64_t generation = m_generation;
        m_host->After(m_grace, [this, generation] {
            if (generation == m_generation && m_host->Documents() == 0)
                End("the last document was closed");
        });
    }

    void Signalled(int signal) override { End(signal == 2 ? "interrupted (SIGINT)" : "asked to end (SIGTERM)"); }

    // Running work is asked to stop, keeping what a deep scan found, and the
    // loop ends; the main frame then waits for the work as it goes.
    void End(const char* why)
    {
        if (m_ending)
            return;
        m_ending = true;
        base::LogLess("The program ends: %s", why);
        std::fprintf(stderr, "quenlar: %s; ending%s\n", why,
                     m_frame != nullptr && m_frame->WorkFlag() != 0 ? " once the running work has stopped" : "");
        if (m_frame != nullptr)
            m_frame->StopRunningWork();
        m_host->Stop();
    }

private:
    const Archive& m_archive;
    const Archive& m_resources;
    const std::string m_icon;
    const std::chrono::milliseconds m_grace;
    WebHost* m_host = nullptr;
    bridge::MainFrame* m_frame = nullptr;
    std::uint64_t m_generation = 0;
    bool m_everConnected = false;
    bool m_ending = false;
};

void OpenBrowserOn(const std::string& url, std::string& redirectFile)
{
    switch (platform::OpenInBrowser(url, redirectFile)) {
    case 0:
        break;
    case 5:
        std::fprintf(stderr, "quenlar: running as root with no desktop user named (sudo and pkexec name one): no "
                             "browser is started as root; open the address above yourself\n");
        break;
    default:
        std::fprintf(stderr, "quenlar: no browser could be started; open the address above yourself\n");
        break;
    }
}

// What a lock file says of its holder, fit for a terminal: printable ASCII
// only, and not much of it.
std::string Sanitised(const std::string& text)
{
    std::string out;
    for (const char c : text.substr(0, 200))
        out += c >= 0x20 && c < 0x7f ? c : '?';
    return out;
}

// A second instance shows the running one's UI: its address is in a file of
// a folder only the running one's user can write, and is taken only in the
// exact form the program writes.
int ShowRunningInstance(const std::string& urlFile, const std::string& holder, bool openBrowser)
{
    std::string url;
    if (platform::ReadSmallFile(urlFile, url, 4096)) {
        while (!url.empty() && (url.back() == '\n' || url.back() == '\r'))
            url.pop_back();
    }
    if (!IsUiAddress(url)) {
        std::fprintf(stderr, "quenlar: Quenlar is already running (%s) and its address cannot be read here\n",
                     Sanitised(holder).c_str());
        return 1;
    }
    std::printf("%s\n", url.c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "quenlar: Quenlar is already running (%s); its UI is at the address above\n",
                 Sanitised(holder).c_str());
    if (openBrowser && platform::HasDesktopSession()) {
        std::string redirect;
        OpenBrowserOn(url, redirect);
        if (!redirect.empty()) {
            // Long enough for the browser to read the page that sends it on.
            std::this_thread::sleep_for(std::chrono::seconds(5));
            platform::RemoveFile(redirect);
        }
    }
    return 0;
}

}  // namespace

int RunGui(const GuiOptions& options)
{
    // One instance on the machine, marked in a folder no other user can
    // write. Without one the program still runs, only unmarked.
    platform::ProcessLock instance;
    std::string lockProblem;
    const std::string lockFile = platform::MachineLockPath(bridge::kInstanceName, &lockProblem);
    const std::string urlFile = lockFile.empty() ? std::string() : lockFile + ".url";
    if (lockFile.empty()) {
        std::fprintf(stderr, "quenlar: no private folder for the running program's mark (%s): a second 'quenlar gui' "
                             "will not find this one\n",
                     Sanitised(lockProblem).c_str());
        base::LogLess("No folder for the instance lock: %s", lockProblem.c_str());
    } else if (!instance.Acquire(lockFile, "quenlar gui, process " + std::to_string(platform::CurrentProcessId()))) {
        return ShowRunningInstance(urlFile, instance.Holder(), options.openBrowser);
    }

    // What comes before the entry: the result store, the log's settings.
    if (!store::OpenStore(store::kDatabaseFile, "quenlar gui, process " + std::to_string(platform::CurrentProcessId()))) {
        const std::string holder = store::LockHolder();
        std::fprintf(stderr, "quenlar: the result store '%s' here %s: deep scans cannot be saved for later\n",
                     store::kDatabaseFile, holder.empty() ? "cannot be opened" : ("is in use by " + holder).c_str());
    }
    base::ConfigureLog();
    // The entry: the log file, the documents, the main frame, the icon, the
    // start document, the frame published, the loop.
    base::SetLogFile(base::kLogFileName);
    Archive archive;
    Archive resources;
    if (!archive.Open(kUiArchive, kUiArchiveSize) || !resources.Open(kResourceArchive, kResourceArchiveSize)) {
        std::fprintf(stderr, "quenlar: the documents built into the program are damaged\n");
        base::LogLess("The UI archive cannot be opened");
        return 1;
    }
    disks::SetOfferedImages(options.images);
    std::string icon;
    if (!platform::ReadSmallFile(kIconFile, icon, kIconLimit))
        icon.clear();

    Documents documents(archive, resources, std::move(icon), options.grace);
    WebHost host(documents);
    WebHostSettings settings;
    settings.port = options.port;
    std::string error;
    if (!host.Listen(settings, error)) {
        std::fprintf(stderr, "quenlar: %s\n", error.c_str());
        return 1;
    }
    Channel channel(host);
    std::string redirect;
    {
        auto frame = std::make_unique<bridge::MainFrame>(channel);
        frame->InstanceHeldByHost();
        documents.Attach(host, *frame);
        const std::string url = host.Url(kStartDocument);
        base::LogLess("The UI is served at http://127.0.0.1:%u/", static_cast<unsigned>(host.Port()));
        if (!urlFile.empty() && !platform::WritePrivateFile(urlFile, url + "\n"))
            base::LogLess("The UI's address cannot be left for a second instance in %s", urlFile.c_str());
        std::printf("%s\n", url.c_str());
        std::fflush(stdout);
        frame->StartDeviceMonitor();
        if (options.openBrowser && platform::HasDesktopSession()) {
            OpenBrowserOn(url, redirect);
        } else {
            std::fprintf(stderr,
                         "quenlar: open the address above in a browser on this machine; from another one, forward "
                         "the port first: ssh -L %u:127.0.0.1:%u THIS-MACHINE\n",
                         static_cast<unsigned>(host.Port()), static_cast<unsigned>(host.Port()));
        }
        host.Run();
        // The main frame goes first: it waits for the running work to end.
        frame.reset();
    }
    if (!urlFile.empty())
        platform::RemoveFile(urlFile);
    if (!redirect.empty())
        platform::RemoveFile(redirect);
    store::CloseStore();
    base::ShutdownLog();
    return 0;
}

}  // namespace host
