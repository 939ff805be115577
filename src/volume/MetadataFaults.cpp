#include "volume/MetadataFaults.h"

#include "base/Log.h"

#include <algorithm>

namespace scan {

void MetadataFaults::Add(const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (std::find(m_texts.begin(), m_texts.end(), text) != m_texts.end())
        return;
    // A hostile volume could make a fault per folder: the list stays short.
    constexpr std::size_t kMost = 100;
    if (m_texts.size() == kMost) {
        m_texts.push_back("more faults were found; Recovery.log lists them");
    } else if (m_texts.size() > kMost) {
        base::LogLess("Metadata fault: %s", text.c_str());
        return;
    }
    if (m_texts.size() < kMost)
        m_texts.push_back(text);
    base::LogLess("Metadata fault: %s", text.c_str());
}

std::vector<std::string> MetadataFaults::List() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_texts;
}

bool MetadataFaults::Empty() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_texts.empty();
}

void MetadataFaults::Clear()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_texts.clear();
}

}  // namespace scan
