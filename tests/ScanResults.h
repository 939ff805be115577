// Looks up a scan's results by the path they were found at.
#pragma once

#include "volume/VolumeScanner.h"

#include <map>
#include <string>

// Every result under its folder path and full name ("Docs/a.txt").
inline std::map<std::string, const scan::FoundFile*> ResultsByPath(const scan::VolumeScanner& volume)
{
    std::map<std::string, const scan::FoundFile*> byPath;
    for (const scan::FoundFile* f : volume.m_results)
        byPath[f->m_filePath + f->FullNameUtf8()] = f;
    return byPath;
}
