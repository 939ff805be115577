#!/usr/bin/env python3
"""Builds the test volumes with the file systems' own tools.

    sudo python3 tests/images/make-images.py [OUTDIR]

Writes ntfs.img.xz, ntfs-reformatted.img.xz, ntfs-packed-512.img.xz,
ntfs-packed-4k.img.xz, ntfs-1k-on-4k.img.xz, ntfs-4k-on-1k.img.xz,
fat32.img.xz, exfat.img.xz, ntfs-overwritten.img.xz, fat32-overwritten.img.xz,
exfat-overwritten.img.xz, ntfs-reformat-overwritten.img.xz, fat32-formatted.img.xz,
exfat-formatted.img.xz, and the disks gpt-lost.img.xz, mbr-lost.img.xz and
repartitioned.img.xz with a manifest each (NAME.manifest.tsv) into
OUTDIR (default: this folder); with names after OUTDIR only those. Needs root,
FUSE and loop devices: mkntfs + ntfs-3g (and setfattr), mkfs.vfat + mtools,
mkfs.exfat + exfat-fuse.

Each volume holds folders, existing files, deleted files, a deleted folder
with files in it and non-ASCII names; NTFS also a resident file, an empty file,
a fragmented large file and a $MFT in several runs. The "packed" NTFS volumes,
with 512- and 4096-byte sectors (the second has 4096-byte file records, as
Windows writes them on 4Kn disks), hold LZNT1-compressed files (a folder marked
compressed through ntfs-3g's system.ntfs_attrib_be) and sparse files (written
past their end and truncated to more), existing and deleted. The two
"on" volumes are NTFS volumes quick-formatted over an earlier one whose file
records have the other size ("1k-on-4k": 1024-byte records formatted over
4096-byte ones). Deletions happen only after every file was
written: ntfs-3g hands a freed MFT record to the next file at once, and mtools
reuses freed directory slots first-fit, so deleting early would overwrite the
very records the scans are meant to find.

The "overwritten" volumes are filled with well-formed JPEG, PNG, PDF, ZIP and
plain files; every other one is deleted, new files are written (taking freed
clusters) and some of those deleted too; the reformat one is quick-formatted
over its first files before new ones are written. A deleted (or formatted)
file whose bytes at its own clusters, read back by The Sleuth Kit (icat, or
istat's cluster list from before the format), no longer hash to what was
written is marked "overwritten".

The "formatted" volumes are camera cards (photos in DCIM folders, documents
and music in folders with long names) quick-formatted after they were
written: every file is "formatted", and only the old folders' clusters that
the format left know their names.

The disks "gpt-lost" and "mbr-lost" (200 MiB) hold two partitions each
(NTFS and exFAT under a GPT, FAT32 and NTFS under an MBR) with a few files,
and then lose their tables (the GPT at both ends, the MBR); "repartitioned"
holds an NTFS volume at sector 63 and, partitioned again, a new NTFS volume
at sector 2048 written over it. Their manifests put each file under
"@START/", and NAME.partitions.tsv lists the volumes (start, sectors, file
system).

The manifest has one row per written path (folders too), tab-separated:
    path  type(f|d)  size  sha256  state(existing|deleted|formatted|overwritten)
Paths use "/" and are relative to the volume root. File contents come from a
fixed seed, so the manifests are the same on every run; the images' layout is
whatever the tools choose.
"""
import hashlib
import os
import random
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ENV = dict(os.environ, MTOOLS_SKIP_CHECK="1", LC_ALL="C.UTF-8")

# Leading bytes of the formats the signature check knows, so later tests can
# confirm starts of deleted files by their header.
HEADERS = {
    ".jpg": b"\xff\xd8\xff\xe0\x00\x10JFIF\x00",
    ".png": b"\x89PNG\r\n\x1a\n",
    ".pdf": b"%PDF-1.4\n",
    ".docx": b"PK\x03\x04",
    ".zip": b"PK\x03\x04",
}


def run(*cmd, **kw):
    subprocess.run(cmd, check=True, env=ENV, **kw)


def content(path, size):
    rnd = random.Random(path)
    head = HEADERS.get(os.path.splitext(path)[1].lower(), b"")
    body = bytes(rnd.getrandbits(8) for _ in range(min(size, 4096)))
    # Past the first 4 KiB use os-independent but cheap bytes.
    if size > 4096:
        block = hashlib.sha256(path.encode()).digest() * 128
        body += (block * (size // len(block) + 1))[: size - 4096]
        # Vary each 4 KiB so clusters are told apart.
        ba = bytearray(body)
        for off in range(4096, size, 4096):
            ba[off:off + 8] = off.to_bytes(8, "little")
        body = bytes(ba)
    data = (head + body)[:size]
    return data


class Manifest:
    def __init__(self):
        self.rows = {}

    def file(self, path, data):
        self.rows[path] = ["f", len(data), hashlib.sha256(data).hexdigest(), "existing"]

    def folder(self, path):
        self.rows[path] = ["d", 0, "-", "existing"]

    def delete(self, path):
        for p, row in self.rows.items():
            if p == path or p.startswith(path + "/"):
                row[3] = "deleted"

    def write(self, out):
        with open(out, "w", encoding="utf-8") as f:
            f.write("path\ttype\tsize\tsha256\tstate\n")
            for p in sorted(self.rows):
                t, size, digest, state = self.rows[p]
                f.write(f"{p}\t{t}\t{size}\t{digest}\t{state}\n")


# The common tree. Sizes chosen so that small files stay resident on NTFS and
# others span several clusters.
TREE_FOLDERS = [
    "Documents", "Documents/Archive", "Pictures", "Pictures/Ünïcødé фото",
    "日本語", "Trash", "DeletedFolder", "DeletedFolder/Sub",
]
TREE_FILES = [
    ("readme.txt", 300),
    ("empty.txt", 0),
    ("Documents/report.pdf", 50_000),
    ("Documents/notes.txt", 5_000),
    ("Documents/Archive/old.docx", 30_000),
    ("Pictures/holiday.jpg", 120_000),
    ("Pictures/Ünïcødé фото/sunset.png", 40_000),
    ("日本語/テスト.txt", 2_000),
    ("Trash/gone.jpg", 60_000),
    ("Trash/gelöscht.txt", 700),
    ("Trash/kept.txt", 900),
    ("DeletedFolder/inner1.jpg", 25_000),
    ("DeletedFolder/inner2.txt", 3_000),
    ("DeletedFolder/Sub/inner3.pdf", 10_000),
    ("a very long file name that needs many long name entries.txt", 1_234),
    ("sixteen chars ok.txt", 321),
]
TREE_DELETE = ["Trash/gone.jpg", "Trash/gelöscht.txt", "DeletedFolder"]


def write_tree_posix(mnt, manifest, fragmented=None):
    """Writes the common tree into a mounted volume."""
    for d in TREE_FOLDERS:
        os.mkdir(os.path.join(mnt, d))
        manifest.folder(d)
    for p, size in TREE_FILES:
        data = content(p, size)
        with open(os.path.join(mnt, p), "wb") as f:
            f.write(data)
        manifest.file(p, data)
    if fragmented:
        write_interleaved(mnt, manifest, *fragmented)
    os.sync()


def write_interleaved(mnt, manifest, big, big_size, partner):
    """Writes two files in alternating pieces, each synced, so the file
    system allocates their clusters in turn and the big one ends up in many
    runs."""
    big_data = content(big, big_size)
    piece = 64 * 1024
    small_piece = 4096
    partner_data = content(partner, (big_size // piece + 1) * small_piece)
    with open(os.path.join(mnt, big), "wb") as b, open(os.path.join(mnt, partner), "wb") as s:
        for i in range(0, big_size, piece):
            b.write(big_data[i:i + piece]); b.flush(); os.fsync(b.fileno())
            j = i // piece * small_piece
            s.write(partner_data[j:j + small_piece]); s.flush(); os.fsync(s.fileno())
    manifest.file(big, big_data)
    manifest.file(partner, partner_data)


def text_content(path, size):
    line = (path + " ").encode()
    return (line * (size // len(line) + 1))[:size]


def fragment_mft(mnt, manifest, folder):
    """Makes the $MFT grow in pieces: files take the clusters after the
    $MFT's first allocation, a filler takes all the rest, then the filler
    gives back its last 2 MiB and more files make the $MFT grow into whatever
    clusters are free there, one small run at a time."""
    os.mkdir(os.path.join(mnt, folder))
    manifest.folder(folder)

    def small(name):
        p = f"{folder}/{name}.txt"
        data = text_content(p, 3000)
        with open(os.path.join(mnt, p), "wb") as f:
            f.write(data)
        manifest.file(p, data)

    for i in range(60):
        small(f"pre_{i:03d}")
    filler = f"{folder}/filler.bin"
    chunk = b"filler " * 9362
    written = 0
    f = open(os.path.join(mnt, filler), "wb")
    try:
        while True:
            f.write(chunk)
            f.flush()
            written += len(chunk)
    except OSError:
        pass
    try:
        f.close()
    except OSError:
        pass
    size = os.path.getsize(os.path.join(mnt, filler)) - 2 * 1024 * 1024
    os.truncate(os.path.join(mnt, filler), size)
    os.sync()
    with open(os.path.join(mnt, filler), "rb") as f:
        manifest.file(filler, f.read())
    for i in range(120):
        small(f"post_{i:03d}")
    os.sync()


def delete_posix(mnt, manifest, paths):
    for p in paths:
        full = os.path.join(mnt, p)
        if os.path.isdir(full):
            shutil.rmtree(full)
        else:
            os.remove(full)
        manifest.delete(p)
    os.sync()


def make_ntfs(work, out):
    img = os.path.join(work, "ntfs.img")
    mnt = os.path.join(work, "mnt")
    os.makedirs(mnt, exist_ok=True)
    with open(img, "wb") as f:
        f.truncate(24 * 1024 * 1024)
    run("mkntfs", "-F", "-f", "-q", "-L", "QUENLAR", img, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    m = Manifest()
    run("ntfs-3g", img, mnt)
    try:
        os.mkdir(os.path.join(mnt, "big"))
        m.folder("big")
        write_tree_posix(mnt, m, fragmented=("big/fragmented.bin", 1_500_000, "big/partner.bin"))
        fragment_mft(mnt, m, "many")
        delete_posix(mnt, m, TREE_DELETE)
    finally:
        run("umount", mnt)
    finish(img, m, out, "ntfs")


OLD_FOLDERS = ["Old Photos", "Old Photos/2019", "Letters"]
OLD_FILES = [
    ("Old Photos/2019/beach.jpg", 70_000),
    ("Old Photos/cat.png", 20_000),
    ("Letters/letter to grandma.txt", 4_000),
    ("Letters/tiny.txt", 200),
    ("taxes.pdf", 33_000),
]


def make_ntfs_reformatted(work, out):
    """An NTFS volume quick-formatted over an earlier one. The earlier
    volume's $MFT was made to grow into runs away from the start of the
    volume before the files that matter were written, so their records lie
    where the new format writes nothing; after the format a few new files are
    written. The manifest marks the earlier files "formatted": only a deep
    scan can find them."""
    format_over(work, out, "ntfs-reformatted", [], [], ["New"],
                [("New/fresh.txt", 1_000), ("after-format.bin", 9_000)])


def format_over(work, out, name, old_options, new_options, new_folders, new_files):
    """Writes the OLD_FOLDERS and OLD_FILES into a new NTFS volume (mkntfs
    with `old_options`), their records pushed away from the $MFT's first
    clusters, then formats the volume again (`new_options`) and writes the
    new folders and files."""
    img = os.path.join(work, name + ".img")
    mnt = os.path.join(work, "mnt")
    os.makedirs(mnt, exist_ok=True)
    with open(img, "wb") as f:
        f.truncate(24 * 1024 * 1024)
    m = Manifest()
    run("mkntfs", "-F", "-f", "-q", *old_options, "-L", "OLD", img, stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL)
    run("ntfs-3g", img, mnt)
    try:
        scratch = Manifest()
        fragment_mft(mnt, scratch, "spacer")
        for d in OLD_FOLDERS:
            os.mkdir(os.path.join(mnt, d))
            m.folder(d)
        for p, size in OLD_FILES:
            data = content(p, size)
            with open(os.path.join(mnt, p), "wb") as f:
                f.write(data)
            m.file(p, data)
        # Make room again so the files above keep their clusters but the new
        # format's files have space.
        os.remove(os.path.join(mnt, "spacer/filler.bin"))
        os.sync()
    finally:
        run("umount", mnt)
    for row in m.rows.values():
        row[3] = "formatted"
    run("mkntfs", "-F", "-f", "-q", *new_options, "-L", "NEW", img, stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL)
    run("ntfs-3g", img, mnt)
    try:
        for d in new_folders:
            os.mkdir(os.path.join(mnt, d))
            m.folder(d)
        for p, size in new_files:
            data = content(p, size)
            with open(os.path.join(mnt, p), "wb") as f:
                f.write(data)
            m.file(p, data)
        os.sync()
    finally:
        run("umount", mnt)
    finish(img, m, out, name)


def random_content(path, size):
    """Bytes no compression can shrink, the same on every run."""
    return random.Random(path).randbytes(size)


def mixed_content(path, size):
    """64 KiB of text and 64 KiB of random bytes in turn: some compression
    units of the file are stored compressed, the others as they are."""
    out = bytearray()
    i = 0
    while len(out) < size:
        block = text_content(f"{path}#{i}", 65536) if i % 2 == 0 else random_content(f"{path}#{i}", 65536)
        out += block
        i += 1
    return bytes(out[:size])


# name, content maker, size. Sizes are chosen so files span many compression
# units (64 KiB with 4 KiB clusters), end inside one, or stay resident.
PACKED_COMPRESSED = [
    ("Compressed/letters.txt", text_content, 300_000),
    ("Compressed/noise.bin", random_content, 40_000),
    ("Compressed/mixed.bin", mixed_content, 300_001),
    ("Compressed/tiny.txt", text_content, 600),
    ("Compressed/Deep/report.txt", text_content, 1_000_000),
    ("Compressed/gone.txt", text_content, 250_000),
    ("Compressed/gone-mixed.bin", mixed_content, 140_000),
    ("GoneFolder/inside.txt", text_content, 150_000),
    ("GoneFolder/inside.bin", random_content, 20_000),
]
PACKED_DELETE = ["Compressed/gone.txt", "Compressed/gone-mixed.bin", "GoneFolder", "Sparse/gone-holes.bin"]


def write_sparse(mnt, manifest, path, pieces, size):
    """Writes `pieces` ((offset, bytes) in order) into a new file and
    truncates it to `size`: what lies between is a hole."""
    data = bytearray(size)
    with open(os.path.join(mnt, path), "wb") as f:
        for offset, piece in pieces:
            f.seek(offset)
            f.write(piece)
            data[offset:offset + len(piece)] = piece
        f.truncate(size)
    manifest.file(path, bytes(data))


def make_ntfs_packed(work, out, name, sector):
    img = os.path.join(work, name + ".img")
    mnt = os.path.join(work, "mnt")
    os.makedirs(mnt, exist_ok=True)
    with open(img, "wb") as f:
        f.truncate(32 * 1024 * 1024)
    # NTFS compresses only with clusters of 4 KiB or less.
    run("mkntfs", "-F", "-f", "-q", "-s", str(sector), "-c", "4096", "-L", "PACKED", img,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    m = Manifest()
    run("ntfs-3g", img, mnt)
    try:
        for d in ["Compressed", "GoneFolder"]:
            os.mkdir(os.path.join(mnt, d))
            run("setfattr", "-n", "system.ntfs_attrib_be", "-v", "0x00000800", os.path.join(mnt, d))
            m.folder(d)
        os.mkdir(os.path.join(mnt, "Compressed", "Deep"))
        m.folder("Compressed/Deep")
        for d in ["Sparse", "Plain"]:
            os.mkdir(os.path.join(mnt, d))
            m.folder(d)
        for p, make, size in PACKED_COMPRESSED:
            data = make(p, size)
            with open(os.path.join(mnt, p), "wb") as f:
                f.write(data)
            m.file(p, data)
        t = text_content
        write_sparse(mnt, m, "Sparse/leading-hole.bin", [(1 << 20, t("lead", 10_000))], (1 << 20) + 10_000)
        write_sparse(mnt, m, "Sparse/middle-hole.bin", [(0, t("mid-a", 100_000)), (2_200_000, t("mid-b", 100_000))],
                     2_300_000)
        write_sparse(mnt, m, "Sparse/trailing-hole.bin", [(0, t("tail", 50_000))], 3 << 20)
        write_sparse(mnt, m, "Sparse/gone-holes.bin", [(0, t("g1", 30_000)), (1 << 20, t("g2", 30_000))],
                     2 << 20)
        for p, size in [("Plain/photo.jpg", 90_000), ("Plain/resident.txt", 400)]:
            data = content(p, size)
            with open(os.path.join(mnt, p), "wb") as f:
                f.write(data)
            m.file(p, data)
        os.sync()
        delete_posix(mnt, m, PACKED_DELETE)
    finally:
        run("umount", mnt)
    finish(img, m, out, name)


def make_ntfs_over(work, out, name, old_sector, new_sector):
    """An NTFS volume with file records of one size quick-formatted over one
    with the other size (4096-byte records come with 4096-byte sectors), as
    ntfs-reformatted is made."""
    format_over(work, out, name, ["-s", str(old_sector), "-c", "4096"], ["-s", str(new_sector), "-c", "4096"], [],
                [("fresh.txt", 1_000)])


def mtools(*args):
    run(*args)


def mcopy(work, img, path, data):
    """Writes `data` as `path` into the FAT32 image `img` through mtools."""
    local = os.path.join(work, "src", "f")
    os.makedirs(os.path.dirname(local), exist_ok=True)
    with open(local, "wb") as f:
        f.write(data)
    mtools("mcopy", "-i", img, local, "::/" + path)


def make_fat32(work, out):
    img = os.path.join(work, "fat32.img")
    with open(img, "wb") as f:
        f.truncate(40 * 1024 * 1024)
    run("mkfs.vfat", "-F", "32", "-s", "1", "-n", "QUENLAR", img, stdout=subprocess.DEVNULL)
    m = Manifest()
    src = os.path.join(work, "src")
    os.makedirs(src, exist_ok=True)
    for d in TREE_FOLDERS:
        mtools("mmd", "-i", img, "::/" + d)
        m.folder(d)
    for p, size in TREE_FILES:
        data = content(p, size)
        tmp = os.path.join(src, "f")
        with open(tmp, "wb") as f:
            f.write(data)
        mtools("mcopy", "-i", img, tmp, "::/" + p)
        m.file(p, data)
    # An 8.3-only name, the kind whose deleted entry keeps no long name.
    data = content("Trash/SHORT.TXT", 1500)
    with open(os.path.join(src, "f"), "wb") as f:
        f.write(data)
    mtools("mcopy", "-i", img, os.path.join(src, "f"), "::/Trash/SHORT.TXT")
    m.file("Trash/SHORT.TXT", data)
    # Files above cluster 65535, so their start cluster has a high word: a
    # filler takes the clusters below, then the files are written into the
    # folder High.
    filler = os.path.join(src, "filler")
    with open(filler, "wb") as f:
        f.write(b"filler " * (66000 * 512 // 7))
    mtools("mcopy", "-i", img, filler, "::/filler.bin")
    with open(filler, "rb") as f:
        m.file("filler.bin", f.read())
    mtools("mmd", "-i", img, "::/High")
    m.folder("High")
    high_files = [("High/photo.jpg", 30_000), ("High/image.png", 20_000), ("High/paper.pdf", 15_000),
                  ("High/letter.docx", 12_000), ("High/plain.txt", 3_000), ("High/noext", 2_000)]
    for p, size in high_files:
        data = content(p, size)
        with open(os.path.join(src, "f"), "wb") as f:
            f.write(data)
        mtools("mcopy", "-i", img, os.path.join(src, "f"), "::/" + p)
        m.file(p, data)
    for p in TREE_DELETE + ["Trash/SHORT.TXT"] + [p for p, _ in high_files]:
        if m.rows[p][0] == "d":
            mtools("mdeltree", "-i", img, "::/" + p)
        else:
            mtools("mdel", "-i", img, "::/" + p)
        m.delete(p)
    clear_deleted_high_words(img, "HIGH")
    finish(img, m, out, "fat32")


def clear_deleted_high_words(img, folder):
    """Windows clears the high word of a deleted entry's start cluster
    (bytes 20-21); mtools keeps it. Clear it in the deleted short entries of
    the named root folder, as Windows would have, so the start search is
    needed to find these files again."""
    with open(img, "r+b") as f:
        boot = f.read(512)
        bps = int.from_bytes(boot[11:13], "little")
        spc = boot[13]
        reserved = int.from_bytes(boot[14:16], "little")
        fats = boot[16]
        spf = int.from_bytes(boot[36:40], "little")
        root = int.from_bytes(boot[44:48], "little")
        data = (reserved + fats * spf) * bps
        cluster_bytes = spc * bps

        def read_cluster(c):
            f.seek(data + (c - 2) * cluster_bytes)
            return f.read(cluster_bytes)

        def chain(c):
            while 2 <= c < 0x0FFFFFF8:
                yield c
                f.seek(reserved * bps + 4 * c)
                c = int.from_bytes(f.read(4), "little") & 0x0FFFFFFF

        target = None
        for c in chain(root):
            entries = read_cluster(c)
            for at in range(0, len(entries), 32):
                e = entries[at:at + 32]
                if e[11] == 0x10 and e[0:11] == folder.ljust(11).encode():
                    target = int.from_bytes(e[20:22], "little") << 16 | int.from_bytes(e[26:28], "little")
        assert target, folder
        cleared = 0
        for c in list(chain(target)):
            block = bytearray(read_cluster(c))
            for at in range(0, len(block), 32):
                if block[at] == 0xE5 and block[at + 11] != 0x0F and block[at + 20:at + 22] != b"\0\0":
                    block[at + 20:at + 22] = b"\0\0"
                    cleared += 1
            f.seek(data + (c - 2) * cluster_bytes)
            f.write(block)
        assert cleared >= 4, cleared


def make_exfat(work, out):
    img = os.path.join(work, "exfat.img")
    mnt = os.path.join(work, "mnt")
    os.makedirs(mnt, exist_ok=True)
    with open(img, "wb") as f:
        f.truncate(16 * 1024 * 1024)
    run("mkfs.exfat", "-L", "QUENLAR", img, stdout=subprocess.DEVNULL)
    m = Manifest()
    loop = subprocess.run(["losetup", "-f", "--show", img], check=True, capture_output=True, text=True).stdout.strip()
    try:
        run("mount.exfat-fuse", loop, mnt, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            os.mkdir(os.path.join(mnt, "big"))
            m.folder("big")
            write_tree_posix(mnt, m, fragmented=("big/fragmented.bin", 800_000, "big/partner.bin"))
            # A folder deleted before more was written: its entry stays in
            # Documents, its first cluster is taken by the next file (written
            # in the root, so the entry is not overwritten), and the scan
            # must drop it.
            os.mkdir(os.path.join(mnt, "Documents", "Reused"))
            with open(os.path.join(mnt, "Documents", "Reused", "lost.txt"), "wb") as f:
                f.write(content("Documents/Reused/lost.txt", 1000))
            os.sync()
            shutil.rmtree(os.path.join(mnt, "Documents", "Reused"))
            os.sync()
            data = content("taker.bin", 20_000)
            with open(os.path.join(mnt, "taker.bin"), "wb") as f:
                f.write(data)
            m.file("taker.bin", data)
            os.sync()
            delete_posix(mnt, m, TREE_DELETE)
        finally:
            run("umount", mnt)
    finally:
        run("losetup", "-d", loop)
    finish(img, m, out, "exfat")


# Well-formed files of the kinds the content check knows, with bodies that
# compress (as content() makes them), so the images stay small.
def jpeg_content(path, size):
    body = bytearray(content(path + "#", max(size - 200, 16)))
    for i in range(len(body)):  # no markers inside the scan
        if body[i] == 0xFF:
            body[i] = 0xFE
    head = (b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"
            b"\xff\xdb\x00\x43\x00" + bytes(range(1, 65)) +
            b"\xff\xc0\x00\x11\x08\x00\x10\x00\x10\x03\x01\x22\x00\x02\x11\x01\x03\x11\x01"
            b"\xff\xda\x00\x0c\x03\x01\x00\x02\x11\x03\x11\x00\x3f\x00")
    return (head + bytes(body))[: size - 2] + b"\xff\xd9"


def png_chunk(kind, data):
    import zlib
    return len(data).to_bytes(4, "big") + kind + data + zlib.crc32(kind + data).to_bytes(4, "big")


def png_content(path, size):
    ihdr = png_chunk(b"IHDR", (16).to_bytes(4, "big") * 2 + b"\x08\x02\x00\x00\x00")
    end = png_chunk(b"IEND", b"")
    body = content(path + "#", max(size - 8 - len(ihdr) - len(end) - 12, 1))
    return b"\x89PNG\r\n\x1a\n" + ihdr + png_chunk(b"IDAT", body) + end


def pdf_content(path, size):
    tail = b"\ntrailer\n<< /Root 1 0 R >>\n%%EOF\n"
    body = text_content(path, max(size - 9 - len(tail), 1))
    return b"%PDF-1.4\n" + body + tail


def zip_content(path, size):
    import io
    import zipfile
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_STORED) as z:
        half = max(size // 2 - 100, 1)
        # A fixed time, so that the manifests are the same on every run.
        z.writestr(zipfile.ZipInfo("a.bin", (2020, 1, 1, 0, 0, 0)), content(path + "#a", half))
        z.writestr(zipfile.ZipInfo("b.bin", (2020, 1, 1, 0, 0, 0)), content(path + "#b", half))
    return buffer.getvalue()


def kind_content(path, size):
    maker = {".jpg": jpeg_content, ".png": png_content, ".pdf": pdf_content, ".zip": zip_content}
    return maker.get(os.path.splitext(path)[1].lower(), content)(path, size)


KINDS = [".jpg", ".png", ".pdf", ".zip", ".bin"]


def overwrite_plan(prefix):
    """The first files (every other deleted), then the new ones (every
    third deleted)."""
    rnd = random.Random(prefix)
    first = [(f"Album/{prefix}{i:02d}{KINDS[i % len(KINDS)]}", rnd.randrange(8_000, 160_000)) for i in range(48)]
    later = [(f"New/{prefix}new{i:02d}{KINDS[(i + 2) % len(KINDS)]}", rnd.randrange(60_000, 260_000))
             for i in range(14)]
    return first, first[1::2], later, later[::3]


def mark_overwritten(img, manifest, offset_sectors=0):
    """Marks each deleted file whose bytes The Sleuth Kit reads back from its
    own clusters differ from what was written."""
    listing = subprocess.run(["fls", "-r", "-p", "-d", img], check=True, capture_output=True, text=True).stdout
    found = {}
    for line in listing.splitlines():
        meta, _, path = line.partition("\t")
        inode = meta.split()[-1].rstrip(":")
        found.setdefault(path, inode)
    for path, row in manifest.rows.items():
        if row[0] != "f" or row[3] != "deleted":
            continue
        inode = found.get(path)
        data = subprocess.run(["icat", img, inode], capture_output=True).stdout if inode else b""
        if hashlib.sha256(data).hexdigest() != row[2]:
            row[3] = "overwritten"


def write_files(mnt, manifest, files):
    for p, size in files:
        data = kind_content(p, size)
        os.makedirs(os.path.dirname(os.path.join(mnt, p)), exist_ok=True)
        with open(os.path.join(mnt, p), "wb") as f:
            f.write(data)
        manifest.file(p, data)
    os.sync()


def make_overwritten_mounted(work, out, name, make, mount):
    """Fills a volume, deletes every other file, writes new files and deletes
    some of those, through a FUSE mount (`mount(img, mnt)`)."""
    img = os.path.join(work, name + ".img")
    mnt = os.path.join(work, "mnt")
    os.makedirs(mnt, exist_ok=True)
    with open(img, "wb") as f:
        f.truncate(16 * 1024 * 1024)
    run(*make, img, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    first, gone, later, later_gone = overwrite_plan(name)
    m = Manifest()
    m.folder("Album")
    m.folder("New")
    for files, deleted in ((first, gone), (later, later_gone)):
        cleanup = mount(img, mnt)
        try:
            write_files(mnt, m, files)
            delete_posix(mnt, m, [p for p, _ in deleted])
        finally:
            run("umount", mnt)
            cleanup()
    mark_overwritten(img, m)
    finish(img, m, out, name)


def ntfs_mount(img, mnt):
    run("ntfs-3g", img, mnt)
    return lambda: None


def exfat_mount(img, mnt):
    loop = subprocess.run(["losetup", "-f", "--show", img], check=True, capture_output=True, text=True).stdout.strip()
    run("mount.exfat-fuse", loop, mnt, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return lambda: run("losetup", "-d", loop)


def make_fat32_overwritten(work, out):
    """The same on FAT32 through mtools, which takes freed clusters first."""
    name = "fat32-overwritten"
    img = os.path.join(work, name + ".img")
    with open(img, "wb") as f:
        f.truncate(40 * 1024 * 1024)
    run("mkfs.vfat", "-F", "32", "-s", "1", "-n", "QUENLAR", img, stdout=subprocess.DEVNULL)
    # mtools goes on from the last cluster it gave: a file that stays fills
    # the volume but for 1 MiB, so that the new files must take freed ones.
    first, gone, later, later_gone = overwrite_plan(name)
    m = Manifest()
    src = os.path.join(work, "src")
    for folder in ("Album", "New"):
        mtools("mmd", "-i", img, "::/" + folder)
        m.folder(folder)
    for files, deleted in ((first, gone), (later, later_gone)):
        for p, size in files:
            data = kind_content(p, size)
            local = os.path.join(src, os.path.basename(p))
            os.makedirs(src, exist_ok=True)
            with open(local, "wb") as f:
                f.write(data)
            mtools("mcopy", "-i", img, local, "::/" + p)
            m.file(p, data)
        if files is first:
            listing = subprocess.run(["mdir", "-i", img, "::/"], check=True, capture_output=True, text=True,
                                     env=ENV).stdout
            free = int(listing.strip().splitlines()[-1].split("bytes free")[0].replace(" ", ""))
            filler = content("filler.bin", free - 1024 * 1024)
            local = os.path.join(src, "filler.bin")
            with open(local, "wb") as f:
                f.write(filler)
            mtools("mcopy", "-i", img, local, "::/filler.bin")
            m.file("filler.bin", filler)
        for p, _ in deleted:
            mtools("mdel", "-i", img, "::/" + p)
            m.delete(p)
    mark_overwritten(img, m)
    finish(img, m, out, name)


def istat_clusters(img, inode):
    """The clusters of a file's $DATA as istat lists them."""
    text = subprocess.run(["istat", img, inode], check=True, capture_output=True, text=True).stdout
    clusters, reading = [], False
    for line in text.splitlines():
        if line.startswith("Type: $DATA"):
            reading = "Non-Resident" in line
            continue
        if line.startswith("Type: "):
            reading = False
        elif reading:
            clusters += [int(c) for c in line.split()]
    return clusters


def make_ntfs_reformat_overwritten(work, out):
    """An NTFS volume filled, quick-formatted and written again: the first
    files are found only by their stray records, and those whose clusters
    the new files took are marked "overwritten"."""
    name = "ntfs-reformat-overwritten"
    img = os.path.join(work, name + ".img")
    mnt = os.path.join(work, "mnt")
    os.makedirs(mnt, exist_ok=True)
    with open(img, "wb") as f:
        f.truncate(16 * 1024 * 1024)
    run("mkntfs", "-F", "-f", "-q", "-c", "4096", img, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    first, _, later, _ = overwrite_plan(name)
    m = Manifest()
    m.folder("Album")
    ntfs_mount(img, mnt)
    try:
        # Small files first, so that the records that matter lie past what
        # the new format writes of its $MFT.
        write_files(mnt, m, [(f"Notes/note{i:03d}.txt", 300) for i in range(150)])
        write_files(mnt, m, first)
    finally:
        run("umount", mnt)
    listing = subprocess.run(["fls", "-r", "-p", img], check=True, capture_output=True, text=True).stdout
    old = {}
    for line in listing.splitlines():
        meta, _, path = line.partition("\t")
        if path in m.rows and m.rows[path][0] == "f":
            old[path] = istat_clusters(img, meta.split()[-1].rstrip(":"))
    for row in m.rows.values():
        row[3] = "formatted"
    run("mkntfs", "-F", "-f", "-q", "-Q", "-c", "4096", img, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    ntfs_mount(img, mnt)
    try:
        write_files(mnt, m, later)
    finally:
        run("umount", mnt)
    with open(img, "rb") as f:
        for path, clusters in old.items():
            if not clusters:
                continue  # resident: its bytes lay in its record
            data = b""
            for c in clusters:
                f.seek(c * 4096)
                data += f.read(4096)
            data = data[: m.rows[path][1]]
            if hashlib.sha256(data).hexdigest() != m.rows[path][2]:
                m.rows[path][3] = "overwritten"
    finish(img, m, out, name)


# A camera card: photos in DCIM folders, and folders of documents and music
# with long names, nothing in the root but folders.
def card_plan():
    rnd = random.Random("card")
    folders = ["DCIM", "DCIM/100CANON", "DCIM/101CANON", "Documents", "Documents/Letters to the bank",
               "Music", "Music/Ünïcødé Ålbum (2019 remaster)"]
    files = [(f"DCIM/100CANON/IMG_{i:04d}.JPG", rnd.randrange(40_000, 240_000)) for i in range(1, 41)]
    files += [(f"DCIM/101CANON/Family holiday at the lake, day {i} of the summer.jpg", rnd.randrange(30_000, 90_000))
              for i in range(1, 9)]
    files += [("Documents/Letters to the bank/Mortgage application - final version.pdf", 70_000),
              ("Documents/Letters to the bank/Kontoauszüge März und April.zip", 50_000),
              ("Documents/Letters to the bank/notes.txt", 3_000),
              ("Documents/Budget for the whole year 2025.png", 45_000)]
    files += [(f"Music/Ünïcødé Ålbum (2019 remaster)/{i:02d} - A song whose title needs three long entries.bin",
               rnd.randrange(100_000, 300_000)) for i in range(1, 7)]
    return folders, files


def make_fat32_formatted(work, out):
    """A FAT32 card written through mtools and quick-formatted with
    mkfs.vfat: its FAT and root folder are new, its other folders' clusters
    are still there. Clusters of 512 bytes, so that folders span several
    (and grow between the files they name)."""
    name = "fat32-formatted"
    img = os.path.join(work, name + ".img")
    with open(img, "wb") as f:
        f.truncate(48 * 1024 * 1024)
    make = ["mkfs.vfat", "-F", "32", "-s", "1", "-n", "CARD"]
    run(*make, img, stdout=subprocess.DEVNULL)
    folders, files = card_plan()
    m = Manifest()
    for folder in folders:
        mtools("mmd", "-i", img, "::/" + folder)
        m.folder(folder)
    for p, size in files:
        data = kind_content(p, size)
        mcopy(work, img, p, data)
        m.file(p, data)
    run(*make, img, stdout=subprocess.DEVNULL)
    for row in m.rows.values():
        row[3] = "formatted"
    finish(img, m, out, name)


def make_exfat_formatted(work, out):
    """The same card on exFAT, written through exfat-fuse and quick-formatted
    with mkfs.exfat."""
    name = "exfat-formatted"
    img = os.path.join(work, name + ".img")
    mnt = os.path.join(work, "mnt")
    os.makedirs(mnt, exist_ok=True)
    with open(img, "wb") as f:
        f.truncate(48 * 1024 * 1024)
    make = ["mkfs.exfat", "-L", "CARD"]
    run(*make, img, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    folders, files = card_plan()
    m = Manifest()
    cleanup = exfat_mount(img, mnt)
    try:
        for folder in folders:
            os.makedirs(os.path.join(mnt, folder), exist_ok=True)
            m.folder(folder)
        write_files(mnt, m, files)
    finally:
        run("umount", mnt)
        cleanup()
    run(*make, img, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for row in m.rows.values():
        row[3] = "formatted"
    finish(img, m, out, name)


# Files as cameras and office programs write them, for the search by
# content: JPEGs with EXIF dates, PDFs with titles, Office documents, MP4s.
def exif_jpeg_content(path, size, taken):
    """A JPEG whose EXIF data says it was taken at `taken`
    ("2019:07:04 15:30:12") by a "Quenlar Test Camera"."""
    model = b"Quenlar Test Camera\x00"
    date = taken.encode() + b"\x00"

    def entry(tag, kind, count, value):
        return tag.to_bytes(2, "little") + kind.to_bytes(2, "little") + count.to_bytes(4, "little") + value

    # TIFF header (8), IFD0 with 2 entries (2 + 24 + 4), the Exif IFD with
    # one (2 + 12 + 4), then the model and the date.
    ifd0, exif = 8, 8 + 30
    model_at = exif + 18
    date_at = model_at + len(model)
    tiff = (b"II*\x00" + ifd0.to_bytes(4, "little") +
            (2).to_bytes(2, "little") + entry(0x0110, 2, len(model), model_at.to_bytes(4, "little")) +
            entry(0x8769, 4, 1, exif.to_bytes(4, "little")) + bytes(4) +
            (1).to_bytes(2, "little") + entry(0x9003, 2, len(date), date_at.to_bytes(4, "little")) + bytes(4) +
            model + date)
    app1 = b"\xff\xe1" + (2 + 6 + len(tiff)).to_bytes(2, "big") + b"Exif\x00\x00" + tiff
    plain = jpeg_content(path, size - len(app1))
    return plain[:2] + app1 + plain[2:]


def pdf_titled_content(path, size, title):
    head = f"%PDF-1.4\n1 0 obj\n<< /Title ({title}) /Producer (Quenlar tests) >>\nendobj\n".encode()
    tail = b"\ntrailer\n<< /Root 2 0 R /Info 1 0 R >>\n%%EOF\n"
    return head + text_content(path, max(size - len(head) - len(tail), 1)) + tail


def office_content(path, size, title):
    """A .docx or .xlsx as an office program zips it (deflated entries)."""
    import io
    import zipfile
    word = path.lower().endswith(".docx")
    main = "word/document.xml" if word else "xl/worksheets/sheet1.xml"
    stamp = (2021, 3, 4, 5, 6, 8)
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as z:
        def put(name, data):
            z.writestr(zipfile.ZipInfo(name, stamp), data, compress_type=zipfile.ZIP_DEFLATED)
        put("[Content_Types].xml", '<?xml version="1.0"?><Types xmlns="http://schemas.openxmlformats.org/'
                                   'package/2006/content-types"/>')
        put("_rels/.rels", '<?xml version="1.0"?><Relationships/>')
        put("docProps/core.xml", f'<?xml version="1.0"?><cp:coreProperties><dc:title>{title}</dc:title>'
                                 '</cp:coreProperties>')
        if not word:
            put("xl/workbook.xml", '<?xml version="1.0"?><workbook/>')
        # Bytes that do not compress, so that the file spans clusters.
        put(main, random_content(path, size).hex())
    return buffer.getvalue()


def mp4_content(path, size, made=3_700_000_000):
    """ftyp, mdat with the media, then moov with its movie header, made
    `made` seconds after 1904."""
    def box(kind, body):
        return (8 + len(body)).to_bytes(4, "big") + kind + body
    ftyp = box(b"ftyp", b"isom" + (512).to_bytes(4, "big") + b"isomiso2mp41")
    mvhd = box(b"mvhd", bytes(4) + made.to_bytes(4, "big") * 2 + (1000).to_bytes(4, "big") +
               (5000).to_bytes(4, "big") + bytes(80))
    moov = box(b"moov", mvhd)
    mdat = box(b"mdat", content(path + "#", max(size - len(ftyp) - len(moov) - 8, 1)))
    return ftyp + mdat + moov


def tiff_content(path, size, taken=None, raw=None):
    """A TIFF of a few strips. As a camera writes it ("camera"): the
    directory first with the date taken in an Exif directory, the strips
    last; a CR2 ("cr2") does so after its own 8 bytes; else as libtiff
    writes it: the strips, then the values, then the directory pointing back."""
    data = random_content(path, size)
    strips = 4
    step = (len(data) + strips - 1) // strips
    pieces = [data[i:i + step] for i in range(0, len(data), step)]

    def le(v, n):
        return v.to_bytes(n, "little")

    def entry(tag, kind, count, value):
        return le(tag, 2) + le(kind, 2) + le(count, 4) + value

    date = (taken or "2000:01:01 00:00:00").encode() + b"\x00"
    n = len(pieces)
    entries = 6
    directory_bytes = 2 + entries * 12 + 4
    values_bytes = 8 * n + len(date) + 18
    first = 16 if raw == "cr2" else 8
    if raw is None:  # libtiff's order
        strip_at, values_at = first, first + len(data)
        directory_at = values_at + values_bytes
    else:
        directory_at = first
        values_at = directory_at + directory_bytes
        strip_at = values_at + values_bytes
    offsets_at, counts_at = values_at, values_at + 4 * n
    date_at, exif_at = counts_at + 4 * n, counts_at + 4 * n + len(date)
    offsets, at = [], strip_at
    for piece in pieces:
        offsets.append(at)
        at += len(piece)
    directory = (le(entries, 2) + entry(256, 3, 1, le(640, 4)) + entry(257, 3, 1, le(480, 4)) +
                 entry(273, 4, n, le(offsets_at, 4)) + entry(279, 4, n, le(counts_at, 4)) +
                 entry(0x0132, 2, len(date), le(date_at, 4)) + entry(0x8769, 4, 1, le(exif_at, 4)) + le(0, 4))
    values = (b"".join(le(o, 4) for o in offsets) + b"".join(le(len(p), 4) for p in pieces) + date +
              le(1, 2) + entry(0x9003, 2, len(date), le(date_at, 4)) + le(0, 4))
    head = b"II*\x00" + le(first if raw else directory_at, 4)
    if raw == "cr2":
        head += b"CR\x02\x00" + le(0, 4)
    if raw is None:
        return head + data + values + directory
    return head + directory + values + data


def compound_content(path, size, stream):
    """A compound file (as Word and Excel 97 write them) of 512-byte
    sectors holding one stream named `stream` ("WordDocument", "Workbook")."""
    data = random_content(path, size)
    data_sectors = (len(data) + 511) // 512
    # The FAT, then the directory, then the stream; FAT sectors of 128 entries.
    fats = 1
    while fats * 128 < fats + 1 + data_sectors:
        fats += 1
    directory = fats
    first_data = fats + 1
    fat = [0xFFFFFFFD] * fats + [0xFFFFFFFE]
    fat += [first_data + i + 1 for i in range(data_sectors - 1)] + [0xFFFFFFFE]
    fat += [0xFFFFFFFF] * (fats * 128 - len(fat))

    def le(v, n):
        return v.to_bytes(n, "little")

    def dir_entry(name, kind, start, length):
        wide = (name + "\x00").encode("utf-16-le")
        return (wide.ljust(64, b"\x00") + le(len(wide), 2) + bytes([kind, 1]) + le(0xFFFFFFFF, 4) * 2 +
                le(1 if kind == 5 else 0xFFFFFFFF, 4) + bytes(16) + le(0, 4) + bytes(16) + le(start, 4) +
                le(length, 4) + le(0, 4))

    header = (bytes.fromhex("D0CF11E0A1B11AE1") + bytes(16) + le(0x3E, 2) + le(3, 2) + le(0xFFFE, 2) +
              le(9, 2) + le(6, 2) + bytes(6) + le(0, 4) + le(fats, 4) + le(directory, 4) + le(0, 4) +
              le(4096, 4) + le(0xFFFFFFFE, 4) + le(0, 4) + le(0xFFFFFFFE, 4) + le(0, 4) +
              b"".join(le(i, 4) for i in range(fats)) + le(0xFFFFFFFF, 4) * (109 - fats))
    entries = (dir_entry("Root Entry", 5, 0xFFFFFFFE, 0) + dir_entry(stream, 2, first_data, len(data)) +
               dir_entry("", 0, 0xFFFFFFFF, 0) * 2)
    body = data.ljust(data_sectors * 512, b"\x00")
    return header + b"".join(le(e, 4) for e in fat) + entries + body


def mp3_content(path, size):
    """MPEG-1 layer III frames at 128 kbit/s, 44.1 kHz, between an ID3v2 tag
    and an ID3v1 tag."""
    rnd = random.Random(path)
    tag = b"ID3\x03\x00\x00" + bytes([0, 0, 2, 0])  # 256 bytes of frames
    tag += (b"TIT2" + (30).to_bytes(4, "big") + b"\x00\x00\x00" + os.path.basename(path).encode().ljust(29, b" ")
            ).ljust(256, b"\x00")
    frames, n = [], 0
    while sum(map(len, frames)) < size:
        padded = n % 3 == 1
        audio = bytes(rnd.getrandbits(8) for _ in range(32)) * 13
        frames.append(b"\xff\xfb" + bytes([0x90 | (2 if padded else 0), 0x64]) + audio[:414 if padded else 413])
        n += 1
    v1 = b"TAG" + os.path.basename(path).encode().ljust(30, b" ")[:30] + bytes(95)
    return tag + b"".join(frames) + v1


def rtf_content(path, size):
    words = text_content(path, size).decode().replace("{", "(").replace("}", ")").replace("\\", "/")
    return ("{\\rtf1\\ansi\\deff0 {\\fonttbl {\\f0 Times New Roman;}}\n{\\b " + os.path.basename(path) +
            "}\\par\n" + words + "\\par\n}").encode()


def sevenzip_content(work, path, size):
    """A 7z archive made by 7-Zip of one file that does not compress."""
    folder = tempfile.mkdtemp(dir=work)
    inner = os.path.join(folder, "data.bin")
    with open(inner, "wb") as f:
        f.write(random_content(path, size))
    os.utime(inner, (1_600_000_000, 1_600_000_000))
    archive = os.path.join(folder, "out.7z")
    run("7zz", "a", "-bd", "-mx=1", "-mtm=off", archive, inner, stdout=subprocess.DEVNULL)
    with open(archive, "rb") as f:
        data = f.read()
    shutil.rmtree(folder)
    return data


def rar_content(path, size):
    """A RAR 5 archive of one file stored (the way RAR writes one that does
    not compress)."""
    import zlib
    data = random_content(path, size)

    def number(v):
        out = b""
        while True:
            out += bytes([(v & 0x7F) | (0x80 if v >= 0x80 else 0)])
            v >>= 7
            if not v:
                return out

    def block(header):
        sized = number(len(header)) + header
        return zlib.crc32(sized).to_bytes(4, "little") + sized

    name = os.path.basename(path).encode()
    main = block(number(1) + number(0) + number(0))
    file = block(number(2) + number(2) + number(len(data)) + number(4) + number(len(data)) + number(0x20) +
                 zlib.crc32(data).to_bytes(4, "little") + number(0) + number(1) + number(len(name)) + name)
    end = block(number(5) + number(0) + number(0))
    return b"Rar!\x1a\x07\x01\x00" + main + file + data + end


def carve_plan(prefix, work):
    """The files of a volume whose folders or $MFT are lost: (path, bytes,
    what the search by content should call it, or None)."""
    rnd = random.Random(prefix)
    files = []
    for i in range(1, 25):
        taken = f"2019:07:{1 + i % 28:02d} {8 + i % 12:02d}:{(i * 7) % 60:02d}:{(i * 13) % 60:02d}"
        p = f"DCIM/100CANON/IMG_{i:04d}.JPG"
        files.append((p, exif_jpeg_content(p, rnd.randrange(20_000, 180_000), taken),
                      "IMG_" + taken.replace(":", "").replace(" ", "_") + ".jpg"))
    for i in range(1, 4):
        p = f"Pictures/scan {i}.jpg"
        files.append((p, jpeg_content(p, rnd.randrange(10_000, 60_000)), None))
    for i in range(1, 5):
        p = f"Pictures/chart {i}.png"
        files.append((p, png_content(p, rnd.randrange(5_000, 70_000)), None))
    for i, title in enumerate(["Mortgage application", "Holiday plans 2024", "Letter to the tax office"], 1):
        p = f"Documents/doc{i}.pdf"
        files.append((p, pdf_titled_content(p, rnd.randrange(8_000, 90_000), title), title + ".pdf"))
    for i, ext in enumerate([".docx", ".docx", ".xlsx", ".xlsx"], 1):
        p = f"Documents/office{i}{ext}"
        files.append((p, office_content(p, rnd.randrange(6_000, 40_000), f"Report {i}"), None))
    import datetime
    for i in range(1, 4):
        p = f"Videos/clip{i}.mp4"
        made = 3_700_000_000 + i * 90_061
        when = datetime.datetime(1904, 1, 1) + datetime.timedelta(seconds=made)
        files.append((p, mp4_content(p, rnd.randrange(50_000, 400_000), made), when.strftime("VID_%Y%m%d_%H%M%S.mp4")))
    for i in range(1, 4):
        p = f"Archive/backup{i}.zip"
        files.append((p, zip_content(p, rnd.randrange(10_000, 80_000)), None))
    for i in range(1, 4):
        p = f"Documents/note{i}.txt"
        files.append((p, text_content(p, rnd.randrange(2_000, 9_000)), None))
    # TIFF as a scanner (libtiff) and as a camera writes it, a Canon raw
    # photo, Word and Excel 97 files, MP3s, RTF, 7z and RAR archives.
    p = "Pictures/scan.tif"
    files.append((p, tiff_content(p, rnd.randrange(20_000, 90_000)), None))
    taken = "2020:02:29 23:59:58"
    p = "DCIM/100CANON/IMG_0100.TIF"
    files.append((p, tiff_content(p, rnd.randrange(20_000, 90_000), taken, "camera"), "IMG_20200229_235958.tif"))
    taken = "2021:12:24 18:00:01"
    p = "DCIM/100CANON/IMG_0101.CR2"
    files.append((p, tiff_content(p, rnd.randrange(60_000, 200_000), taken, "cr2"), "IMG_20211224_180001.cr2"))
    for i, (ext, stream) in enumerate([(".doc", "WordDocument"), (".xls", "Workbook")], 1):
        p = f"Documents/old{i}{ext}"
        files.append((p, compound_content(p, rnd.randrange(10_000, 60_000), stream), None))
    for i in range(1, 3):
        p = f"Music/track{i}.mp3"
        files.append((p, mp3_content(p, rnd.randrange(30_000, 150_000)), None))
    p = "Documents/letter.rtf"
    files.append((p, rtf_content(p, rnd.randrange(3_000, 20_000)), None))
    p = "Archive/photos.7z"
    files.append((p, sevenzip_content(work, p, rnd.randrange(20_000, 80_000)), None))
    p = "Archive/old.rar"
    files.append((p, rar_content(p, rnd.randrange(20_000, 80_000)), None))
    return files


def write_carve_plan(m, files, put):
    for p, data, _ in files:
        put(p, data)
        m.file(p, data)
    with open(m.names_file, "w", encoding="utf-8") as f:
        for p, _, name in files:
            if name:
                f.write(f"{p}\t{name}\n")


def folder_sectors(img, fs):
    """The sectors of every folder but the root, as The Sleuth Kit lists them."""
    listing = subprocess.run(["fls", "-f", fs, "-r", "-D", "-p", img], check=True, capture_output=True,
                             text=True).stdout
    sectors = []
    for line in listing.splitlines():
        meta = line.partition("\t")[0].split()[-1].rstrip(":")
        if not meta.isdigit():
            continue
        text = subprocess.run(["istat", "-f", fs, img, meta], check=True, capture_output=True, text=True).stdout
        sectors += [int(s) for s in text.partition("Sectors:")[2].split() if s.isdigit()]
    return sectors


def zero_sectors(img, sectors):
    with open(img, "r+b") as f:
        for s in sectors:
            f.seek(s * 512)
            f.write(bytes(512))


def make_carved(work, out, fs):
    """A card quick-formatted after it was written, whose old folders' clusters
    were then written over (zeroed): only the files' content is left."""
    name = f"{fs}-carved"
    img = os.path.join(work, name + ".img")
    # FAT32 wants 65,525 clusters at least: 1 KiB ones on this card.
    with open(img, "wb") as f:
        f.truncate(80 * 1024 * 1024)
    make = ["mkfs.vfat", "-F", "32", "-s", "2", "-n", "CARD"] if fs == "fat32" else ["mkfs.exfat", "-L", "CARD"]
    run(*make, img, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    m = Manifest()
    m.names_file = os.path.join(out, name + ".names.tsv")
    files = carve_plan(name, work)
    for folder in ["DCIM", "DCIM/100CANON", "Pictures", "Documents", "Videos", "Archive", "Music"]:
        m.folder(folder)
    if fs == "fat32":
        for folder in ["DCIM", "DCIM/100CANON", "Pictures", "Documents", "Videos", "Archive", "Music"]:
            mtools("mmd", "-i", img, "::/" + folder)
        write_carve_plan(m, files, lambda p, data: mcopy(work, img, p, data))
    else:
        mnt = os.path.join(work, "mnt")
        os.makedirs(mnt, exist_ok=True)
        cleanup = exfat_mount(img, mnt)

        def put(p, data):
            os.makedirs(os.path.dirname(os.path.join(mnt, p)), exist_ok=True)
            with open(os.path.join(mnt, p), "wb") as f:
                f.write(data)
        try:
            write_carve_plan(m, files, put)
            os.sync()
        finally:
            run("umount", mnt)
            cleanup()
    folders = folder_sectors(img, "fat" if fs == "fat32" else "exfat")
    run(*make, img, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    zero_sectors(img, folders)
    for row in m.rows.values():
        row[3] = "formatted"
    finish(img, m, out, name)


def make_ntfs_carved(work, out):
    """An NTFS volume whose whole $MFT was written over (zeroed): its boot
    sector is left, and the files' content."""
    name = "ntfs-carved"
    img = os.path.join(work, name + ".img")
    mnt = os.path.join(work, "mnt")
    os.makedirs(mnt, exist_ok=True)
    with open(img, "wb") as f:
        f.truncate(48 * 1024 * 1024)
    run("mkntfs", "-F", "-f", "-q", "-c", "4096", img, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    m = Manifest()
    m.names_file = os.path.join(out, name + ".names.tsv")
    files = carve_plan(name, work)
    for folder in ["DCIM", "DCIM/100CANON", "Pictures", "Documents", "Videos", "Archive", "Music"]:
        m.folder(folder)
    ntfs_mount(img, mnt)
    try:
        def put(p, data):
            os.makedirs(os.path.dirname(os.path.join(mnt, p)), exist_ok=True)
            with open(os.path.join(mnt, p), "wb") as f:
                f.write(data)
        write_carve_plan(m, files, put)
    finally:
        run("umount", mnt)
    # (istat ends the $MFT's list with a 0 for the part allocated past its
    # size: the boot sector is kept.)
    mft = [c for c in istat_clusters(img, "0") if c != 0]
    zero_sectors(img, [c * 8 + i for c in mft for i in range(8)])
    for row in m.rows.values():
        row[3] = "formatted"
    finish(img, m, out, name)


def volume_file(work, name, sectors, make, files, manifest, prefix):
    """A file system of `sectors` sectors made in its own file by `make`
    ("ntfs", "exfat" or "fat32") with `files` written into it (their paths
    in the manifest under `prefix`). Returns the file."""
    img = os.path.join(work, name)
    mnt = os.path.join(work, "mnt")
    os.makedirs(mnt, exist_ok=True)
    with open(img, "wb") as f:
        f.truncate(sectors * 512)
    if make[0] == "ntfs":
        run("mkntfs", "-F", "-f", "-q", "-p", str(make[1]), "-L", make[2], img, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        mount = ntfs_mount
    elif make[0] == "exfat":
        run("mkfs.exfat", "-L", make[2], img, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        mount = exfat_mount
    else:
        run("mkfs.vfat", "-F", "32", "-h", str(make[1]), "-n", make[2], img, stdout=subprocess.DEVNULL)
        mount = None
    local = Manifest()
    if mount:
        cleanup = mount(img, mnt)
        try:
            write_files(mnt, local, files)
        finally:
            run("umount", mnt)
            cleanup()
    else:
        for p, size in files:
            folder = ""
            for part in p.split("/")[:-1]:
                folder += "/" + part
                subprocess.run(["mmd", "-i", img, "::" + folder], env=ENV, capture_output=True)
            mcopy(work, img, p, kind_content(p, size))
            local.file(p, kind_content(p, size))
    for p, row in local.rows.items():
        manifest.rows[prefix + p] = row
    return img


def place(disk, volume, sector):
    with open(volume, "rb") as src, open(disk, "r+b") as dst:
        dst.seek(sector * 512)
        shutil.copyfileobj(src, dst, 1 << 20)


def disk_files(tag):
    rnd = random.Random(tag)
    return [(f"Photos/{tag} {i:02d}.jpg", rnd.randrange(20_000, 90_000)) for i in range(6)] + \
           [(f"Papers/{tag} contract.pdf", 40_000), (f"Papers/{tag} letters.zip", 30_000)]


def make_lost_table(work, out, name):
    """A 200 MiB disk with two partitions (GPT: NTFS and exFAT; MBR: FAT32
    and NTFS) whose tables were zeroed afterwards: the primary and backup
    GPT, or the MBR."""
    disk = os.path.join(work, name + ".img")
    sectors = 200 * 2048
    with open(disk, "wb") as f:
        f.truncate(sectors * 512)
    gpt = name == "gpt-lost"
    first, second = (2048, 100 * 2048), (2048 + 100 * 2048, 90 * 2048)
    layout = "label: gpt\n" if gpt else "label: dos\n"
    kinds = (("ntfs", "exfat") if gpt else ("fat32", "ntfs"))
    types = {"ntfs": "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7" if gpt else "7",
             "exfat": "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7" if gpt else "7",
             "fat32": "c"}
    for (start, size), kind in zip((first, second), kinds):
        layout += f"start={start}, size={size}, type={types[kind]}\n"
    subprocess.run(["sfdisk", "-q", disk], input=layout, text=True, check=True, env=ENV, stdout=subprocess.DEVNULL)
    m = Manifest()
    for (start, size), kind, label in zip((first, second), kinds, ("FIRST", "SECOND")):
        img = volume_file(work, f"{name}-{start}.vol", size, (kind, start, label), disk_files(label), m, f"@{start}/")
        place(disk, img, start)
        os.remove(img)
    # The tables go: the MBR, and for GPT its header and entries at both ends.
    with open(disk, "r+b") as f:
        f.write(bytes(512 * (34 if gpt else 1)))
        if gpt:
            f.seek((sectors - 33) * 512)
            f.write(bytes(33 * 512))
    m.write(os.path.join(out, name + ".manifest.tsv"))
    with open(os.path.join(out, name + ".partitions.tsv"), "w") as f:
        f.write("start\tsectors\tfs\n")
        for (start, size), kind in zip((first, second), kinds):
            f.write(f"{start}\t{size}\t{kind}\n")
    subprocess.run(["xz", "-9", "-f", "-k", disk], check=True)
    shutil.move(disk + ".xz", os.path.join(out, name + ".img.xz"))


def make_repartitioned(work, out):
    """A disk whose NTFS partition began at sector 63, partitioned again
    with a new NTFS volume at sector 2048 over the old one: the old volume's
    first sectors and $MFT are still there."""
    name = "repartitioned"
    disk = os.path.join(work, name + ".img")
    sectors = 160 * 2048
    with open(disk, "wb") as f:
        f.truncate(sectors * 512)
    m = Manifest()
    old = volume_file(work, "old.vol", 120 * 2048, ("ntfs", 63, "OLD"), disk_files("old"), m, "@63/")
    place(disk, old, 63)
    os.remove(old)
    subprocess.run(["sfdisk", "-q", disk], input=f"label: dos\nstart=2048, size={150 * 2048}, type=7\n",
                   text=True, check=True, env=ENV, stdout=subprocess.DEVNULL)
    new = volume_file(work, "new.vol", 150 * 2048, ("ntfs", 2048, "NEW"), disk_files("new"), m, "@2048/")
    place(disk, new, 2048)
    os.remove(new)
    m.write(os.path.join(out, name + ".manifest.tsv"))
    with open(os.path.join(out, name + ".partitions.tsv"), "w") as f:
        f.write(f"start\tsectors\tfs\n63\t{120 * 2048}\tntfs\n2048\t{150 * 2048}\tntfs\n")
    subprocess.run(["xz", "-9", "-f", "-k", disk], check=True)
    shutil.move(disk + ".xz", os.path.join(out, name + ".img.xz"))


def finish(img, manifest, out, name):
    manifest.write(os.path.join(out, name + ".manifest.tsv"))
    subprocess.run(["xz", "-9", "-f", "-k", img], check=True)
    shutil.move(img + ".xz", os.path.join(out, name + ".img.xz"))


def main():
    out = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else HERE)
    if os.geteuid() != 0:
        sys.exit("make-images: needs root (FUSE mounts and loop devices)")
    makers = {
        "ntfs": lambda w: make_ntfs(w, out),
        "ntfs-reformatted": lambda w: make_ntfs_reformatted(w, out),
        "ntfs-packed-512": lambda w: make_ntfs_packed(w, out, "ntfs-packed-512", 512),
        "ntfs-packed-4k": lambda w: make_ntfs_packed(w, out, "ntfs-packed-4k", 4096),
        "ntfs-1k-on-4k": lambda w: make_ntfs_over(w, out, "ntfs-1k-on-4k", 4096, 512),
        "ntfs-4k-on-1k": lambda w: make_ntfs_over(w, out, "ntfs-4k-on-1k", 512, 4096),
        "fat32": lambda w: make_fat32(w, out),
        "exfat": lambda w: make_exfat(w, out),
        "ntfs-overwritten": lambda w: make_overwritten_mounted(
            w, out, "ntfs-overwritten", ["mkntfs", "-F", "-f", "-q"], ntfs_mount),
        "exfat-overwritten": lambda w: make_overwritten_mounted(
            w, out, "exfat-overwritten", ["mkfs.exfat"], exfat_mount),
        "fat32-overwritten": lambda w: make_fat32_overwritten(w, out),
        "ntfs-reformat-overwritten": lambda w: make_ntfs_reformat_overwritten(w, out),
        "fat32-formatted": lambda w: make_fat32_formatted(w, out),
        "exfat-formatted": lambda w: make_exfat_formatted(w, out),
        "fat32-carved": lambda w: make_carved(w, out, "fat32"),
        "exfat-carved": lambda w: make_carved(w, out, "exfat"),
        "ntfs-carved": lambda w: make_ntfs_carved(w, out),
        "gpt-lost": lambda w: make_lost_table(w, out, "gpt-lost"),
        "mbr-lost": lambda w: make_lost_table(w, out, "mbr-lost"),
        "repartitioned": lambda w: make_repartitioned(w, out),
    }
    names = sys.argv[2:] or list(makers)
    with tempfile.TemporaryDirectory() as work:
        for name in names:
            makers[name](work)


if __name__ == "__main__":
    main()
