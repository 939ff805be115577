// What a scan could not read or use of a volume's own metadata, and what it
// did instead: a backup boot sector taken, a mirror record used, an
// allocation bitmap assumed, a volume shorter than its boot sector says. Each
// is a sentence for the user, said at the end of the scan (the command line
// and the window), and logged when it is found.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace scan {

class MetadataFaults {
public:
    // Adds a sentence once (a repeated one is not listed twice) and logs it.
    void Add(const std::string& text);
    std::vector<std::string> List() const;
    bool Empty() const;
    void Clear();

private:
    mutable std::mutex m_lock;  // the scan adds while a front end reads
    std::vector<std::string> m_texts;
};

}  // namespace scan
