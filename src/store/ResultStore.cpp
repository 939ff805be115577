#include "store/ResultStore.h"

#include "found/FoundFile.h"
#include "platform/Process.h"
#include "search/Evidence.h"
#include "volume/VolumeScanner.h"

#include <utility>
#include <sqlite3.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace store {
namespace {

// How a paused scan's folder search keeps its state in the tables the
// stray-record finder's uses: a waiting result's parent is stored above 32
// bits, a folder's flags above 16.
constexpr std::int64_t kFolderSearchMark = std::int64_t {1} << 32;
constexpr std::uint32_t kFolderSearchFlag = 0x10000;

sqlite3* g_db = nullptr;
// One process at a time owns the store: two would race for its one saved
// scan.
platform::ProcessLock g_owner;
std::string g_lockHolder;  // who held it when OpenStore last failed for that
// Serialises whole operations: a save's transaction must not take in another
// thread's statements.
std::recursive_mutex g_storeLock;

const char* const kCreateStatements[] = {
    "create table if not exists tbl_fileInfo (id integer primary key autoincrement,\t\tname TEXT,\t\tsuffix "
    "TEXT,\t\tm_accessTime INT64,\t\tm_modifyTime INT64,\t\tm_createTime INT64,\t\tm_filePath TEXT,\t\t"
    "m_startSector INT64,\t\tm_fileSize INT64,\t\tm_fileNo integer,\t\tm_existType CHAR,\t\tm_fileSystemType "
    "integer);",
    "create table if not exists tbl_fileExtent (fileId integer,startSector INT64,totalSector INT64,isPersist CHAR);",
    "create table if not exists tbl_ScanRecordInfo (scanid integer primary key,path TEXT,startTime INT64,useTime "
    "INT64,nextPosition INT64,lastScanFlag integer);",
    // What the three tables above do not hold and a resumed scan needs: which
    // results are folders, which were still waiting for their folder path
    // (-1: none), how NTFS stored their data (torn record, encoding,
    // compression unit, bytes written; NULL in a store of an older version),
    // and the paused deep scan's folder map.
    "create table if not exists tbl_fileState (fileId integer primary key,isDirectory integer,pendingParent INT64,"
    "torn integer,encoding integer,compressionUnit integer,validSize INT64);",
    "create table if not exists tbl_folderMap (recordNo integer primary key,parentNo integer,name TEXT,flags "
    "integer);",
    // The volume a scan record was made of (its row has the record's scanid).
    "create table if not exists tbl_scanVolume (scanid integer primary key,deviceNode TEXT,volumeSectors INT64,"
    "fileSystem integer,serialNumber INT64,bootHash INT64);",
};

// Columns added to tables after their first version, with their types: a
// store made before them gets them when it is opened.
const struct {
    const char* table;
    const char* column;
    const char* type;
} kAddedColumns[] = {
    {"tbl_fileState", "torn", "integer"},
    {"tbl_fileState", "encoding", "integer"},
    {"tbl_fileState", "compressionUnit", "integer"},
    {"tbl_fileState", "validSize", "INT64"},
};

const char* const kTables[] = {"tbl_fileInfo", "tbl_fileExtent", "tbl_ScanRecordInfo", "tbl_fileState",
                               "tbl_folderMap", "tbl_scanVolume"};

bool Exec(const char* sql)
{
    return g_db != nullptr && sqlite3_exec(g_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// A prepared statement, finalised when it goes out of scope.
class Statement {
public:
    explicit Statement(const char* sql)
    {
        if (g_db != nullptr && sqlite3_prepare_v2(g_db, sql, -1, &m_stmt, nullptr) != SQLITE_OK) {
            sqlite3_finalize(m_stmt);
            m_stmt = nullptr;
        }
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool Ok() const { return m_stmt != nullptr; }
    Statement& Bind(int i, std::int64_t v)
    {
        if (m_stmt)
            sqlite3_bind_int64(m_stmt, i, v);
        return *this;
    }
    Statement& Bind(int i, std::uint64_t v) { return Bind(i, static_cast<std::int64_t>(v)); }
    Statement& Bind(int i, std::int32_t v) { return Bind(i, static_cast<std::int64_t>(v)); }
    Statement& Bind(int i, std::uint32_t v) { return Bind(i, static_cast<std::int64_t>(v)); }
    // The text is not copied: it must stay as it is until the statement has run.
    Statement& BindView(int i, std::string_view text)
    {
        if (m_stmt)
            sqlite3_bind_text(m_stmt, i, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
        return *this;
    }
    Statement& BindNull(int i)
    {
        if (m_stmt)
            sqlite3_bind_null(m_stmt, i);
        return *this;
    }
    // The text is not copied: it must stay as it is until the statement has
    // run (every caller binds a string that outlives the Run that follows).
    Statement& Bind(int i, const std::string& text)
    {
        if (m_stmt)
            sqlite3_bind_text(m_stmt, i, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
        return *this;
    }
    // Runs a statement that returns no rows, ready to be bound again (each
    // row binds every parameter, so the last row's values are not cleared).
    bool Run()
    {
        if (!m_stmt)
            return false;
        const int rc = sqlite3_step(m_stmt);
        sqlite3_reset(m_stmt);
        return rc == SQLITE_DONE;
    }
    // Steps through rows; false at the end or on an error (see Failed).
    bool Next()
    {
        if (!m_stmt)
            return false;
        m_rc = sqlite3_step(m_stmt);
        return m_rc == SQLITE_ROW;
    }
    bool Failed() const { return !m_stmt || (m_rc != SQLITE_DONE && m_rc != SQLITE_ROW); }
    int Columns() const { return sqlite3_column_count(m_stmt); }
    std::int64_t Int(int i) const { return sqlite3_column_int64(m_stmt, i); }
    bool Null(int i) const { return sqlite3_column_type(m_stmt, i) == SQLITE_NULL; }
    std::string Text(int i) const
    {
        const auto* p = sqlite3_column_text(m_stmt, i);
        return p ? std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(sqlite3_column_bytes(m_stmt, i)))
                 : std::string();
    }

private:
    sqlite3_stmt* m_stmt = nullptr;
    int m_rc = SQLITE_DONE;
};

// Rows for one table, written many to a statement: SQLite's cost per
// statement run (and, for tbl_fileInfo, the update of its id sequence) is
// paid once per batch. Texts are kept as views: the results they point into
// stay as they are while the save holds their lock.
class RowWriter {
public:
    static constexpr int kBatch = 64;

    RowWriter(const std::string& head, int columns)
        : m_columns(columns), m_one((head + Values(1, columns)).c_str()), m_many((head + Values(kBatch, columns)).c_str())
    {
        m_fields.reserve(static_cast<std::size_t>(kBatch * columns));
    }
    bool Ok() const { return m_one.Ok() && m_many.Ok(); }

    RowWriter& Add(std::int64_t v)
    {
        m_fields.push_back({Field::kInt, v, {}});
        return *this;
    }
    RowWriter& Add(std::uint64_t v) { return Add(static_cast<std::int64_t>(v)); }
    RowWriter& Add(std::int32_t v) { return Add(static_cast<std::int64_t>(v)); }
    RowWriter& Add(std::uint32_t v) { return Add(static_cast<std::int64_t>(v)); }
    RowWriter& Add(std::string_view text)
    {
        m_fields.push_back({Field::kText, 0, text});
        return *this;
    }
    RowWriter& Add(const std::string& text) { return Add(std::string_view(text)); }
    RowWriter& AddNull()
    {
        m_fields.push_back({Field::kNull, 0, {}});
        return *this;
    }
    // Ends a row; a full batch is written.
    bool EndRow()
    {
        return m_fields.size() < static_cast<std::size_t>(kBatch * m_columns) || Flush();
    }
    // Writes the rows not written yet.
    bool Flush()
    {
        const std::size_t rows = m_fields.size() / static_cast<std::size_t>(m_columns);
        bool ok = true;
        if (rows == static_cast<std::size_t>(kBatch)) {
            ok = BindAll(m_many, 0, m_fields.size()) && m_many.Run();
        } else {
            for (std::size_t r = 0; ok && r < rows; ++r)
                ok = BindAll(m_one, r * static_cast<std::size_t>(m_columns), static_cast<std::size_t>(m_columns)) &&
                     m_one.Run();
        }
        m_fields.clear();
        return ok;
    }

private:
    struct Field {
        enum Kind { kInt, kText, kNull } kind;
        std::int64_t number;
        std::string_view text;
    };

    // " values(?,?,…),(?,?,…)…" for `rows` rows of `columns` values.
    static std::string Values(int rows, int columns)
    {
        std::string one = "(";
        for (int c = 0; c < columns; ++c)
            one += c == 0 ? "?" : ",?";
        one += ")";
        std::string all = " values";
        for (int r = 0; r < rows; ++r)
            all += (r == 0 ? "" : ",") + one;
        return all;
    }

    bool BindAll(Statement& st, std::size_t from, std::size_t count)
    {
        for (std::size_t i = 0; i < count; ++i) {
            const Field& f = m_fields[from + i];
            const int at = static_cast<int>(i) + 1;
            if (f.kind == Field::kInt)
                st.Bind(at, f.number);
            else if (f.kind == Field::kText)
                st.BindView(at, f.text);
            else
                st.BindNull(at);
        }
        return true;
    }

    int m_columns;
    Statement m_one;
    Statement m_many;
    std::vector<Field> m_fields;
};

// The statements of one save, prepared once and reused for every batch.
struct SaveStatements {
    RowWriter file {"insert into tbl_fileInfo(name ,suffix ,m_accessTime ,m_modifyTime,m_createTime,\t\tm_filePath,"
                     "m_startSector,m_fileSize,m_existType,m_fileNo ,m_fileSystemType) \t\t",
                     11};
    RowWriter extent {"insert into tbl_fileExtent(fileId ,startSector ,totalSector ,isPersist ) \t\t\t", 4};
    RowWriter state {"insert into tbl_fileState(fileId,isDirectory,pendingParent,torn,encoding,compressionUnit,validSize) ",
                     7};

    bool Ok() const { return file.Ok() && extent.Ok() && state.Ok(); }
    // The rows of the last batches; the files go first, as the others refer to them.
    bool Flush() { return file.Flush() && extent.Flush() && state.Flush(); }
};

// Adds the state row of the file at `position`.
bool WriteState(SaveStatements& s, const scan::FoundFile& f, std::size_t position, std::int64_t pendingParent)
{
    s.state.Add(static_cast<std::int64_t>(position + 1)).Add(f.m_isDirectory).Add(pendingParent);
    s.state.Add(std::int64_t {f.m_torn ? 1 : 0}).Add(std::int64_t {f.m_encoding}).Add(std::int64_t {f.m_compressionUnit});
    if (f.m_validSize == scan::kAllValid)
        s.state.AddNull();
    else
        s.state.Add(f.m_validSize);
    return s.state.EndRow();
}

// Adds the columns a store of an older version lacks.
bool AddMissingColumns()
{
    for (const auto& added : kAddedColumns) {
        Statement info(("PRAGMA table_info(" + std::string(added.table) + ")").c_str());
        bool present = false;
        while (info.Next())
            present = present || info.Text(1) == added.column;
        if (info.Failed())
            return false;
        if (!present && !Exec(("ALTER TABLE " + std::string(added.table) + " ADD COLUMN " + added.column + " " +
                               added.type)
                                  .c_str()))
            return false;
    }
    return true;
}

// Adds one file and its extents.
bool WriteFile(SaveStatements& s, const scan::FoundFile& f, std::size_t position)
{
    const auto fileId = static_cast<std::int64_t>(position + 1);
    s.file.Add(f.name()).Add(f.suffix()).Add(f.m_latestTime).Add(f.m_latestTime).Add(f.m_latestTime);
    s.file.Add(f.m_filePath).Add(std::int64_t {0}).Add(f.m_fileSize);
    s.file.Add(static_cast<std::int64_t>(scan::ExistCode(f))).Add(f.m_fileNo).Add(f.m_fileSystemType);
    if (!s.file.EndRow())
        return false;
    for (const scan::FileExtent& e : f.extents) {
        s.extent.Add(fileId).Add(e.startSector).Add(e.sectorCount).Add(static_cast<std::int64_t>(e.isPersist));
        if (!s.extent.EndRow())
            return false;
    }
    return true;
}

}  // namespace

bool OpenStore(const std::string& file, const std::string& holder)
{
    std::lock_guard<std::recursive_mutex> lock(g_storeLock);
    if (g_db != nullptr)
        CloseStore();
    g_lockHolder.clear();
    const std::string who = "process " + std::to_string(platform::CurrentProcessId()) +
                            (holder.empty() ? std::string() : " (" + holder + ")");
    if (!g_owner.Acquire(file + ".lock", who)) {
        g_lockHolder = g_owner.Holder();
        return false;
    }
    if (sqlite3_initialize() != SQLITE_OK) {
        g_owner.Release();
        return false;
    }
    // Run as root, the store holds names read off raw disks: only root may
    // read it (its journal takes the same rights). A link in its place is
    // not followed.
    if (platform::RunsPrivileged() && !platform::MakeOwnerOnlyFile(file)) {
        g_owner.Release();
        return false;
    }
    // Every use of the connection holds g_storeLock: SQLite's own locking of
    // each call would only cost time.
    if (sqlite3_open_v2(file.c_str(), &g_db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
                        nullptr) != SQLITE_OK) {
        sqlite3_close_v2(g_db);
        g_db = nullptr;
        g_owner.Release();
        return false;
    }
    sqlite3_busy_timeout(g_db, 5000);
    // A save writes every page of a large scan in one transaction: with room
    // for them in memory none is written twice before the commit.
    Exec("PRAGMA cache_size = -65536");
    return CreateTables();
}

std::string LockHolder()
{
    std::lock_guard<std::recursive_mutex> lock(g_storeLock);
    return g_lockHolder;
}

void CloseStore()
{
    std::lock_guard<std::recursive_mutex> lock(g_storeLock);
    if (g_db != nullptr)
        sqlite3_close_v2(g_db);
    g_db = nullptr;
    sqlite3_shutdown();
    g_owner.Release();
}

bool LimitDatabasePages(std::int64_t pages)
{
    std::lock_guard<std::recursive_mutex> lock(g_storeLock);
    return Exec(("PRAGMA max_page_count = " + std::to_string(pages)).c_str());
}

bool CreateTables()
{
    std::lock_guard<std::recursive_mutex> lock(g_storeLock);
    for (const char* sql : kCreateStatements) {
        if (!Exec(sql))
            return false;
    }
    return AddMissingColumns();
}

bool DropTables()
{
    std::lock_guard<std::recursive_mutex> lock(g_storeLock);
    // All or nothing: a store half dropped could be resumed by nobody.
    if (!Exec("BEGIN IMMEDIATE TRANSACTION;"))
        return false;
    bool ok = true;
    for (const char* table : kTables)
        ok = ok && Exec(("DROP TABLE IF EXISTS " + std::string(table)).c_str());
    ok = ok && CreateTables();
    if (ok && Exec("COMMIT TRANSACTION;"))
        return true;
    Exec("ROLLBACK TRANSACTION;");
    return false;
}

bool InsertScanRecord(const ScanRecordInfo& record)
{
    std::lock_guard<std::recursive_mutex> lock(g_storeLock);
    Statement s(
        "insert into tbl_ScanRecordInfo(path,startTime,useTime,nextPosition ,lastScanFlag) \t\tvalues(?,?,?,?,?)");
    if (!s.Bind(1, record.path)
             .Bind(2, record.startTime)
             .Bind(3, record.useTime)
             .Bind(4, record.nextPosition)
             .Bind(5, record.lastScanFlag)
             .Run())
        return false;
    if (!record.hasIdentity)
        return true;
    Statement volume("insert into tbl_scanVolume(scanid,deviceNode,volumeSectors,fileSystem,serialNumber,bootHash) "
                     "values(?,?,?,?,?,?)");
    return volume.Bind(1, static_cast<std::int64_t>(sqlite3_last_insert_rowid(g_db)))
        .Bind(2, record.deviceNode)
        .Bind(3, record.identity.sectors)
        .Bind(4, record.identity.fileSystem)
        .Bind(5, record.identity.serialNumber)
        .Bind(6, record.identity.bootHash)
        .Run();
}

bool ReadLastScanRecord(ScanRecordInfo& record)
{
    std::lock_guard<std::recursive_mutex> lock(g_storeLock);
    Statement s("select * from tbl_ScanRecordInfo order by scanid");
    while (s.Next()) {
        if (s.Columns() != 6)
            continue;
        record.scanid = static_cast<std::int32_t>(s.Int(0));
        record.path = s.Text(1);
        record.startTime = static_cast<std::uint64_t>(s.Int(2));
        record.useTime = static_cast<std::uint64_t>(s.Int(3));
        record.nextPosition = static_cast<std::uint64_t>(s.Int(4));
        record.lastScanFlag = static_cast<std::int32_t>(s.Int(5));
    }
    if (s.Failed())
        return false;
    if (record.path.empty())
        return true;
    Statement volume("select deviceNode,volumeSectors,fileSystem,serialNumber,bootHash from tbl_scanVolume where scanid=?");
    volume.Bind(1, record.scanid);
    record.hasIdentity = volume.Next();
    if (record.hasIdentity) {
        record.deviceNode = volume.Text(0);
        record.identity.sectors = static_cast<std::uint64_t>(volume.Int(1));
        record.identity.fileSystem = static_cast<std::int32_t>(volume.Int(2));
        record.identity.serialNumber = static_cast<std::uint64_t>(volume.Int(3));
        record.identity.bootHash = static_cast<std::uint64_t>(volume.Int(4));
    }
    return true;
}

std::int64_t CountSavedFiles()
{
    std::lock_guard<std::recursive_mutex> lock(g_storeLock);
    Statement s("select count(*) from tbl_fileState where isDirectory<>1");
    return s.Next() ? s.Int(0) : -1;
}

bool SaveScanResults(scan::VolumeScanner& volume, const ScanRecordInfo& record)
{
    std::lock_guard<std::recursive_mutex> storeLock(g_storeLock);
    const scan::ReadResults results = std::as_const(volume).Results();
    if (!Exec("BEGIN IMMEDIATE TRANSACTION;"))
        return false;
    bool ok = true;
    for (const char* table : kTables)
        ok = ok && Exec(("DELETE FROM " + std::string(table)).c_str());
    // Ids start at 1 again, as in a table made anew.
    ok = ok && Exec("DELETE FROM sqlite_sequence WHERE name='tbl_fileInfo'");
    ok = ok && InsertScanRecord(record);

    std::vector<std::int64_t> pendingParent(results->size(), -1);
    for (const scan::PendingPath& p : volume.Deep().paths.pending) {
        if (p.index < pendingParent.size())
            pendingParent[p.index] = p.parent;
    }
    // The folder search's waiting results are told apart by a parent above
    // 32 bits, its folders by a flag above 16.
    for (const scan::PendingPath& p : volume.Deep().folderClusters.pending) {
        if (p.index < pendingParent.size())
            pendingParent[p.index] = std::int64_t {p.parent} + kFolderSearchMark;
    }
    {
        SaveStatements s;
        ok = ok && s.Ok();
        for (std::size_t i = 0; ok && i < results->size(); ++i) {
            const scan::FoundFile& f = *(*results)[i];
            ok = WriteFile(s, f, i) && WriteState(s, f, i, pendingParent[i]);
        }
        ok = ok && s.Flush();
    }
    {
        Statement folder("insert into tbl_folderMap(recordNo,parentNo,name,flags) values(?,?,?,?)");
        ok = ok && folder.Ok();
        for (auto it = volume.Deep().paths.folders.begin(); ok && it != volume.Deep().paths.folders.end(); ++it) {
            const scan::FolderEntry& e = it->second;
            ok = folder.Bind(1, e.recordNumber).Bind(2, e.parent).Bind(3, e.name).Bind(4, std::uint32_t {e.flags}).Run();
        }
        const scan::NtfsPathState& clusters = volume.Deep().folderClusters;
        for (auto it = clusters.folders.begin(); ok && it != clusters.folders.end(); ++it) {
            const scan::FolderEntry& e = it->second;
            ok = folder.Bind(1, e.recordNumber).Bind(2, e.parent).Bind(3, e.name)
                     .Bind(4, std::uint32_t {e.flags} | kFolderSearchFlag).Run();
        }
    }
    if (ok && Exec("COMMIT TRANSACTION;"))
        return true;
    Exec("ROLLBACK TRANSACTION;");
    return false;
}

namespace {

bool ReadFoundFiles(scan::VolumeScanner& volume)
{
    std::lock_guard<std::recursive_mutex> storeLock(g_storeLock);
    const scan::LockedResults results = volume.Results();
    results->clear();
    volume.Deep().paths.Clear();
    volume.Deep().folderClusters.Clear();

    Statement files("select * from tbl_fileInfo order by id");
    while (files.Next()) {
        if (files.Columns() != 12)
            continue;
        scan::FoundFile& file = results->Append(scan::FoundFile());
        scan::FoundFile* f = &file;
        const std::string name = files.Text(1);
        const std::string suffix = files.Text(2);
        f->SetNameUtf8(suffix.empty() ? name : name + "." + suffix);
        f->m_latestTime = std::max({static_cast<std::uint64_t>(files.Int(3)), static_cast<std::uint64_t>(files.Int(4)),
                                    static_cast<std::uint64_t>(files.Int(5))});
        f->m_filePath = files.Text(6);
        f->m_fileSize = static_cast<std::uint64_t>(files.Int(8));
        f->m_fileNo = static_cast<std::uint32_t>(files.Int(9));
        // A file the folder tree had placed was saved as 1, 2 or 3; it is
        // placed again.
        scan::SetExistCode(*f, static_cast<std::uint8_t>(files.Int(10)));
        f->m_fileSystemType = static_cast<std::int32_t>(files.Int(11));
    }
    if (files.Failed())
        return false;

    auto fileAt = [&](std::int64_t fileId) -> scan::FoundFile* {
        if (fileId < 1 || static_cast<std::uint64_t>(fileId) > results->size())
            return nullptr;
        return (*results)[static_cast<std::size_t>(fileId - 1)];
    };
    Statement extents("select * from tbl_fileExtent order by rowid");
    while (extents.Next()) {
        if (extents.Columns() != 4)
            continue;
        if (scan::FoundFile* f = fileAt(extents.Int(0)))
            f->extents.push_back({static_cast<std::uint64_t>(extents.Int(1)), static_cast<std::uint64_t>(extents.Int(2)),
                                  static_cast<std::uint8_t>(extents.Int(3))});
    }
    Statement states(
        "select fileId,isDirectory,pendingParent,torn,encoding,compressionUnit,validSize from tbl_fileState order by "
        "fileId");
    while (states.Next()) {
        scan::FoundFile* f = fileAt(states.Int(0));
        if (f == nullptr)
            continue;
        f->m_isDirectory = static_cast<std::int32_t>(states.Int(1));
        f->m_torn = states.Int(3) != 0;
        f->m_encoding = static_cast<std::uint8_t>(states.Int(4));
        f->m_compressionUnit = static_cast<std::uint8_t>(states.Int(5));
        f->m_validSize = states.Null(6) ? scan::kAllValid : static_cast<std::uint64_t>(states.Int(6));
        const std::int64_t parent = states.Int(2);
        if (parent >= 0 && parent <= 0xFFFFFFFF)
            volume.Deep().paths.pending.push_back(
                {static_cast<std::uint32_t>(states.Int(0) - 1), static_cast<std::uint32_t>(parent)});
        else if (parent >= kFolderSearchMark && parent - kFolderSearchMark <= 0xFFFFFFFF)
            volume.Deep().folderClusters.pending.push_back(
                {static_cast<std::uint32_t>(states.Int(0) - 1), static_cast<std::uint32_t>(parent - kFolderSearchMark)});
    }
    Statement folders("select recordNo,parentNo,name,flags from tbl_folderMap");
    while (folders.Next()) {
        const auto number = static_cast<std::uint32_t>(folders.Int(0));
        const std::int64_t flags = folders.Int(3);
        scan::NtfsPathState& into = (flags & kFolderSearchFlag) != 0 ? volume.Deep().folderClusters : volume.Deep().paths;
        into.folders.emplace(number, scan::FolderEntry {number, static_cast<std::uint32_t>(folders.Int(1)), folders.Text(2),
                                                        static_cast<std::uint16_t>(flags)});
    }
    return true;
}

}  // namespace

bool LoadFoundFiles(scan::VolumeScanner& volume)
{
    if (!ReadFoundFiles(volume))
        return false;
    // The volume may have changed since the scan was saved: what its clusters
    // say now is what counts.
    scan::AssessResults(volume);
    return true;
}

}  // namespace store
