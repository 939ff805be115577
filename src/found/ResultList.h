// A scan's found files, in the order they were found. They are held in
// blocks of 4096, so that a file keeps its address for as long as the list
// holds it and millions of files cost no allocation each.
#pragma once

#include "found/FoundFile.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

namespace scan {

class ResultList {
public:
    ResultList() = default;
    ResultList(const ResultList&) = delete;
    ResultList& operator=(const ResultList&) = delete;
    ResultList(ResultList&& other) noexcept;
    ResultList& operator=(ResultList&& other) noexcept;
    ~ResultList() { clear(); }

    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    FoundFile* operator[](std::size_t i) const { return m_blocks[i >> kBlockShift] + (i & kBlockMask); }

    FoundFile* at(std::size_t i) const
    {
        if (i >= m_size)
            throw std::out_of_range("no such result");
        return (*this)[i];
    }

    // Moves `file` to the end of the list.
    FoundFile& Append(FoundFile&& file);
    void clear();

    // Changes whenever the list is emptied or replaced: a reader that walks
    // it a piece at a time starts again when it changes.
    std::uint64_t Generation() const { return m_generation; }
    // Changes whenever a scan revises files it listed earlier (their folders,
    // which can be known only once the whole volume was read): a reader that
    // has passed them looks again.
    std::uint64_t Revision() const { return m_revision; }
    void Revised() { ++m_revision; }

    class Iterator {
    public:
        Iterator(const ResultList* list, std::size_t i) : m_list(list), m_i(i) {}
        FoundFile* operator*() const { return (*m_list)[m_i]; }
        Iterator& operator++()
        {
            ++m_i;
            return *this;
        }
        bool operator==(const Iterator& other) const { return m_i == other.m_i; }

    private:
        const ResultList* m_list;
        std::size_t m_i;
    };
    Iterator begin() const { return {this, 0}; }
    Iterator end() const { return {this, m_size}; }

private:
    static constexpr std::size_t kBlockShift = 12;
    static constexpr std::size_t kBlockSize = std::size_t {1} << kBlockShift;
    static constexpr std::size_t kBlockMask = kBlockSize - 1;

    static std::uint64_t NewGeneration();

    std::vector<FoundFile*> m_blocks;  // each room for kBlockSize files
    std::size_t m_size = 0;
    std::uint64_t m_generation = NewGeneration();
    std::uint64_t m_revision = 0;
};

}  // namespace scan
