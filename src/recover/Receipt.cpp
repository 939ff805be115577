#include "recover/Receipt.h"

#include "browse/FileRow.h"
#include "browse/ScriptValue.h"
#include "platform/OutputFile.h"
#include "platform/Time.h"
#include "search/Evidence.h"
#include "volume/VolumeScanner.h"

#include <memory>

namespace recover {
namespace {

// A CSV field, quoted when it must be.
std::string CsvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string ScanKind(const scan::VolumeScanner& volume)
{
    switch (volume.ScanMode()) {
    case scan::kScanDeepFinished: return "deep";
    case scan::kScanDeepRunning: return "deep, not finished";
    default: return "normal";
    }
}

std::string NowText()
{
    const platform::LocalTime t = platform::NowLocal();
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return text;
}

}  // namespace

ReceiptWriter::ReceiptWriter() = default;

ReceiptWriter::~ReceiptWriter()
{
    delete m_json;
    delete m_csv;
}

void ReceiptWriter::Put(platform::OutputFile& file, const std::string& text)
{
    if (file.Write(text.data(), text.size()) != text.size())
        m_failed = true;
}

bool ReceiptWriter::Open(const std::string& destination, const scan::VolumeScanner& volume,
                         const std::string& version, std::size_t results)
{
    auto json = std::make_unique<platform::OutputFile>();
    auto csv = std::make_unique<platform::OutputFile>();
    for (int n = 0; n < 1000; ++n) {
        const std::string stem = destination + kReceiptName + (n == 0 ? "" : "_" + std::to_string(n));
        if (platform::PathExists(stem + ".json") || platform::PathExists(stem + ".csv"))
            continue;
        if (json->CreateNew(stem + ".json") != platform::CreateResult::Created)
            continue;
        if (csv->CreateNew(stem + ".csv") != platform::CreateResult::Created) {
            json->Close();
            continue;
        }
        m_jsonPath = stem + ".json";
        break;
    }
    if (m_jsonPath.empty())
        return false;
    m_json = json.release();
    m_csv = csv.release();
    const scan::VolumeIdentity& id = volume.Identity();
    std::string head = "{\"program\":" + browse::JsonQuote("quenlar " + version) +
                       ",\"made\":" + browse::JsonQuote(NowText()) + ",\"volume\":{\"path\":" +
                       browse::JsonQuote(volume.DevicePath()) + ",\"fileSystem\":" +
                       browse::JsonQuote(scan::FileSystemName(id.fileSystem)) + ",\"sectors\":" +
                       std::to_string(id.sectors) + ",\"serial\":" + browse::JsonQuote(scan::SerialText(id)) +
                       ",\"bootHash\":" + std::to_string(id.bootHash) + "},\"scan\":{\"kind\":" +
                       browse::JsonQuote(ScanKind(volume)) + ",\"results\":" +
                       std::to_string(results) + "},\"files\":[\n";
    Put(*m_json, head);
    Put(*m_csv, "original,recovered,size,written,sha256,verdict,reason,taken,shared,content,outcome,reasons,"
                "time_restored,extents\r\n");
    return true;
}

void ReceiptWriter::Add(const scan::VolumeScanner& volume, const scan::CBaseFileObject& file,
                        const ReceiptEntry& entry)
{
    if (m_json == nullptr)
        return;
    std::string extents;
    std::string line = m_first ? "{" : ",\n{";
    m_first = false;
    line += "\"original\":" + browse::JsonQuote(entry.original) + ",\"recovered\":" +
            (entry.recovered.empty() ? std::string("null") : browse::JsonQuote(entry.recovered)) +
            ",\"size\":" + std::to_string(file.m_fileSize) + ",\"written\":" + std::to_string(entry.written) +
            ",\"sha256\":" + (entry.sha256.empty() ? std::string("null") : "\"" + entry.sha256 + "\"") + ",";
    browse::AppendEvidenceJson(file, scan::ClustersOf(volume, file), line);
    line += ",\"extents\":[";
    for (const scan::FileExtent& e : file.extents) {
        if (!extents.empty()) {
            extents += ';';
            line += ',';
        }
        extents += std::to_string(e.startSector) + "+" + std::to_string(e.sectorCount);
        line += "[" + std::to_string(e.startSector) + "," + std::to_string(e.sectorCount) + "," +
                std::to_string(unsigned {e.isPersist}) + "]";
    }
    line += "],\"outcome\":\"" + std::string(entry.outcome) + "\",\"reasons\":" + browse::JsonQuote(entry.reasons) +
            ",\"timeRestored\":" + (entry.timeRestored ? "true" : "false") + "}";
    Put(*m_json, line);
    const scan::FileEvidence& e = file.m_evidence;
    Put(*m_csv, CsvField(entry.original) + "," + CsvField(entry.recovered) + "," + std::to_string(file.m_fileSize) +
                    "," + std::to_string(entry.written) + "," + entry.sha256 + "," + scan::VerdictName(e.verdict) +
                    "," + CsvField(scan::EvidenceReason(file)) + "," + std::to_string(e.taken) + "," +
                    std::to_string(e.shared) + "," + scan::ContentName(e.content) + "," + entry.outcome + "," +
                    CsvField(entry.reasons) + "," + (entry.timeRestored ? "yes" : "no") + "," + extents + "\r\n");
}

void ReceiptWriter::Close(std::size_t whole, std::size_t doubtful, std::size_t partial, std::size_t failed,
                          bool stopped)
{
    if (m_json == nullptr)
        return;
    Put(*m_json, "\n],\"summary\":{\"whole\":" + std::to_string(whole) + ",\"doubtful\":" + std::to_string(doubtful) +
                     ",\"partial\":" + std::to_string(partial) + ",\"failed\":" + std::to_string(failed) +
                     ",\"stopped\":" + (stopped ? "true" : "false") + "}}\n");
    m_json->Close();
    m_csv->Close();
}

}  // namespace recover
