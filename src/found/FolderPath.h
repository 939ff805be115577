// A found file's folder path, held once however many files share it: the
// text lives in a pool of the process's folder paths and each file keeps a
// pointer to it. Reads need no lock (a pooled text never changes or goes);
// setting one looks it up in the pool under the pool's lock.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>
#include <string_view>

namespace scan {

class FolderPath {
public:
    FolderPath() = default;  // "/": not resolved yet
    FolderPath(std::string_view text) : m_text(Pooled(text)) {}
    FolderPath(const std::string& text) : m_text(Pooled(text)) {}
    FolderPath(const char* text) : m_text(Pooled(text)) {}
    FolderPath& operator=(std::string_view text)
    {
        m_text = Pooled(text);
        return *this;
    }
    FolderPath& operator=(const std::string& text) { return *this = std::string_view(text); }
    FolderPath& operator=(const char* text) { return *this = std::string_view(text); }

    const std::string& str() const { return *m_text; }
    operator const std::string&() const { return *m_text; }
    const char* c_str() const { return m_text->c_str(); }
    const char* data() const { return m_text->data(); }
    std::size_t size() const { return m_text->size(); }
    bool empty() const { return m_text->empty(); }
    char operator[](std::size_t i) const { return (*m_text)[i]; }
    int compare(std::size_t pos, std::size_t count, const std::string& other) const
    {
        return m_text->compare(pos, count, other);
    }

    // The pool holds each text once: equal texts have equal pointers.
    friend bool operator==(const FolderPath& a, const FolderPath& b) { return a.m_text == b.m_text; }
    friend bool operator!=(const FolderPath& a, const FolderPath& b) { return a.m_text != b.m_text; }
    friend bool operator==(const FolderPath& a, std::string_view b) { return *a.m_text == b; }
    friend bool operator!=(const FolderPath& a, std::string_view b) { return *a.m_text != b; }
    friend bool operator==(const FolderPath& a, const std::string& b) { return *a.m_text == b; }
    friend bool operator!=(const FolderPath& a, const std::string& b) { return *a.m_text != b; }
    friend bool operator==(const FolderPath& a, const char* b) { return *a.m_text == b; }
    friend bool operator!=(const FolderPath& a, const char* b) { return *a.m_text != b; }
    friend std::string operator+(const FolderPath& a, const std::string& b) { return *a.m_text + b; }
    friend std::string operator+(const std::string& a, const FolderPath& b) { return a + *b.m_text; }
    friend std::ostream& operator<<(std::ostream& out, const FolderPath& p);

    // The number of texts in the pool (for tests and benchmarks).
    static std::size_t PoolSize();

    // The path of a file whose folder is not known yet (kept as "/" where
    // paths are stored).
    bool IsUnresolved() const { return m_text == Unresolved(); }

private:
    static const std::string* Pooled(std::string_view text);
    static const std::string* Unresolved();

    const std::string* m_text = Unresolved();
};

}  // namespace scan
