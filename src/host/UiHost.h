// The program with its UI: start-up in the order the program has always had
// (the result store, the log, the documents, the main frame, the start
// document), the web host's loop as the UI thread, and shut-down in reverse.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace host {

struct GuiOptions {
    bool openBrowser = true;   // open the user's browser on the UI when a desktop is there
    std::uint16_t port = 0;    // 0: any free port
    std::vector<std::string> images;  // image files offered as volumes beside the disks
    // How long the program waits, after its last document closed, for one
    // to come back (a reload) before it ends.
    std::chrono::milliseconds grace {std::chrono::seconds(10)};
};

// Runs until the last document has gone for the grace period, or SIGINT or
// SIGTERM came; running work is then stopped, a deep scan's results kept for
// resume. Returns the exit code: 0, or 1 when the UI could not be served.
int RunGui(const GuiOptions& options);

}  // namespace host
