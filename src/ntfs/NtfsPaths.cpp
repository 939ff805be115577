#include "ntfs/NtfsPaths.h"

#include "ntfs/NtfsRecord.h"

#include <algorithm>
#include <array>
#include <unordered_set>

namespace scan {
namespace {

// Record numbers already passed on one walk up the folders. Short walks (all
// real ones) stay in the small array; a long chain of damaged records moves
// to a hash set so it cannot cost quadratic time.
class Visited {
public:
    explicit Visited(std::uint32_t first) { Add(first); }

    bool Contains(std::uint32_t n) const
    {
        if (!m_many.empty())
            return m_many.count(n) != 0;
        return std::find(m_few.begin(), m_few.begin() + static_cast<std::ptrdiff_t>(m_count), n) !=
               m_few.begin() + static_cast<std::ptrdiff_t>(m_count);
    }

    void Add(std::uint32_t n)
    {
        if (m_count < m_few.size() && m_many.empty()) {
            m_few[m_count++] = n;
            return;
        }
        if (m_many.empty())
            m_many.insert(m_few.begin(), m_few.end());
        m_many.insert(n);
    }

private:
    std::array<std::uint32_t, 32> m_few {};
    std::size_t m_count = 0;
    std::unordered_set<std::uint32_t> m_many;
};

// Walks up from `parent`, prefixing each folder's name; stops at the root,
// at a missing or non-folder record, or at a loop. Returns true at the root.
bool Walk(const NtfsPathState& state, std::uint32_t parent, std::string& path)
{
    path.clear();
    Visited visited(parent);
    std::uint32_t p = parent;
    while (p != kRootRecord) {
        const auto it = state.folders.find(p);
        if (it == state.folders.end() || (it->second.flags & 2) == 0 || visited.Contains(it->second.parent))
            return false;
        visited.Add(it->second.parent);
        path.insert(0, it->second.name + "\\");
        p = it->second.parent;
    }
    return true;
}

}  // namespace

bool ResolveNtfsPath(const NtfsPathState& state, std::uint32_t parent, std::string& path)
{
    std::string built;
    if (!Walk(state, parent, built))
        return false;
    path = std::move(built);
    return true;
}

bool FinalNtfsPath(const NtfsPathState& state, std::uint32_t parent, std::string& path)
{
    if (Walk(state, parent, path))
        return true;
    path.insert(0, kLostDir);
    return false;
}

}  // namespace scan
