#include "found/FolderPath.h"

#include <functional>
#include <ostream>
#include <mutex>
#include <unordered_set>

namespace scan {

namespace {

// Looked up by view, so that a text already there costs no copy.
struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view> {}(text); }
};

struct Pool {
    std::mutex lock;
    // Node-based: a text keeps its address while others are added.
    std::unordered_set<std::string, TextHash, std::equal_to<>> texts;
};

Pool& ThePool()
{
    static Pool* pool = new Pool;  // never destroyed: results may outlive static destruction
    return *pool;
}

}  // namespace

const std::string* FolderPath::Unresolved()
{
    static const std::string* const kUnresolved = Pooled("/");
    return kUnresolved;
}

const std::string* FolderPath::Pooled(std::string_view text)
{
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    const auto found = pool.texts.find(text);
    return &*(found != pool.texts.end() ? found : pool.texts.emplace(text).first);
}

std::ostream& operator<<(std::ostream& out, const FolderPath& p)
{
    return out << p.str();
}

std::size_t FolderPath::PoolSize()
{
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    return pool.texts.size();
}

}  // namespace scan
