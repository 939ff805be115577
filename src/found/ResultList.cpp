#include "found/ResultList.h"

#include <atomic>
#include <new>
#include <utility>

namespace scan {

std::uint64_t ResultList::NewGeneration()
{
    static std::atomic<std::uint64_t> generations {0};
    return ++generations;
}

ResultList::ResultList(ResultList&& other) noexcept
    : m_blocks(std::move(other.m_blocks)), m_size(std::exchange(other.m_size, 0))
{
    other.m_blocks.clear();
    other.m_generation = NewGeneration();
}

ResultList& ResultList::operator=(ResultList&& other) noexcept
{
    if (this != &other) {
        clear();
        m_blocks = std::move(other.m_blocks);
        m_size = std::exchange(other.m_size, 0);
        other.m_blocks.clear();
        m_generation = NewGeneration();
        other.m_generation = NewGeneration();
    }
    return *this;
}

FoundFile& ResultList::Append(FoundFile&& file)
{
    if ((m_size >> kBlockShift) == m_blocks.size()) {
        m_blocks.reserve(m_blocks.size() + 1);
        m_blocks.push_back(static_cast<FoundFile*>(
            ::operator new(kBlockSize * sizeof(FoundFile), std::align_val_t {alignof(FoundFile)})));
    }
    FoundFile* slot = m_blocks[m_size >> kBlockShift] + (m_size & kBlockMask);
    new (slot) FoundFile(std::move(file));
    ++m_size;
    return *slot;
}

void ResultList::clear()
{
    for (std::size_t i = 0; i < m_size; ++i)
        (*this)[i]->~FoundFile();
    for (FoundFile* block : m_blocks)
        ::operator delete(block, std::align_val_t {alignof(FoundFile)});
    m_blocks.clear();
    m_size = 0;
    m_generation = NewGeneration();
}

}  // namespace scan
