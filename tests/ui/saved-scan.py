#!/usr/bin/env python3
"""Writes a finished scan of VOLUME with COUNT files in FOLDER into the
result database DB (whose tables the program made), as the program saves a
scan: a large folder for the documents to list, and names a damaged or
crafted volume may hold, without scanning a volume that holds them."""
import sqlite3
import sys


def main(db, volume, folder, count):
    con = sqlite3.connect(db)
    with con:
        con.execute("delete from tbl_fileInfo")
        con.execute("delete from tbl_fileExtent")
        con.execute("delete from tbl_fileState")
        con.execute("delete from tbl_ScanRecordInfo")
        # 2026-01-01 00:00 UTC as a FILETIME, one minute more per file.
        base = 134116128000000000
        con.executemany(
            "insert into tbl_fileInfo(name,suffix,m_accessTime,m_modifyTime,m_createTime,m_filePath,"
            "m_startSector,m_fileSize,m_fileNo,m_existType,m_fileSystemType) values(?,?,?,?,?,?,?,?,?,?,?)",
            ((f"file {i:06d}", "txt" if i % 3 else "jpg", t, t, t, folder + "\\", 0, 1000 + i, 100 + i,
              20 if i % 2 else 10, 1)
             for i in range(count) for t in [base + i * 600000000]))
        # Names a damaged or crafted volume may hold, in a folder of their own.
        odd = ["קובץ חשוב מאוד.docx", "ملف مهم.pdf", "📷 wedding 💍 2019.jpg", "\ufffd\ufffdbroken\ufffd.txt",
               "<img src=x onerror=alert(1)>.html", "x" * 250 + ".txt", "a\u202eexe.txt", "ok.txt"]
        con.executemany(
            "insert into tbl_fileInfo(name,suffix,m_accessTime,m_modifyTime,m_createTime,m_filePath,"
            "m_startSector,m_fileSize,m_fileNo,m_existType,m_fileSystemType) values(?,?,?,?,?,?,?,?,?,?,?)",
            ((name.rsplit(".", 1)[0], name.rsplit(".", 1)[1], base, base, base, path, 0, 10, 0, 20, 1)
             for name in odd for path in ["Odd\\", "Odd\\תמונות מהחתונה 👰\\"]))
        con.execute("insert into tbl_ScanRecordInfo(path,startTime,useTime,nextPosition,lastScanFlag) "
                    "values(?,0,0,0,3)", (volume,))
    con.close()


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]))
