#!/usr/bin/env python3
"""Crafted volumes: copies of the real-tool test images with documented byte
edits, each the shape of a hostile or damaged volume that once cost a scan
hours or gigabytes, or gave a wrong result.

    python3 tests/crafted.py IMAGES OUTDIR      # writes every crafted image

Each maker takes the bytes of a test image (from tests/images, unpacked) and
returns the edited bytes; its docstring says what was changed and why.
"""
import os
import struct
import sys

# ---------------------------------------------------------------- NTFS


class Ntfs:
    """Just enough of NTFS to find records and free clusters and to edit
    records with their fix-ups kept right."""

    def __init__(self, data):
        self.data = data
        bps = struct.unpack_from("<H", data, 0x0B)[0]
        self.cluster = bps * data[0x0D]
        self.mft = struct.unpack_from("<Q", data, 0x30)[0] * self.cluster
        per = struct.unpack_from("<b", data, 0x40)[0]
        self.record_size = (1 << -per) if per < 0 else per * self.cluster
        self.mft_runs = self.runs(self.unfixed(self.mft), 0x80)

    @staticmethod
    def unfix(rec):
        """The record with the saved words put back (as the scanners see it)."""
        rec = bytearray(rec)
        usa, count = struct.unpack_from("<HH", rec, 4)
        for i in range(1, count):
            rec[512 * i - 2:512 * i] = rec[usa + 2 * i:usa + 2 * i + 2]
        return rec

    @staticmethod
    def fix(rec):
        """The record as it lies on disk: the end word of every 512 bytes
        saved into the update sequence array and replaced by its number."""
        rec = bytearray(rec)
        usa, count = struct.unpack_from("<HH", rec, 4)
        sequence = rec[usa:usa + 2]
        for i in range(1, count):
            rec[usa + 2 * i:usa + 2 * i + 2] = rec[512 * i - 2:512 * i]
            rec[512 * i - 2:512 * i] = sequence
        return rec

    def unfixed(self, offset):
        return self.unfix(self.data[offset:offset + self.record_size])

    @staticmethod
    def attributes(rec):
        """(offset, type, length) of each attribute of an unfixed record."""
        pos = struct.unpack_from("<H", rec, 0x14)[0]
        out = []
        while pos + 8 <= len(rec):
            kind, length = struct.unpack_from("<II", rec, pos)
            if kind == 0xFFFFFFFF or length == 0:
                break
            out.append((pos, kind, length))
            pos += length
        return out

    def runs(self, rec, kind):
        """(lcn, clusters) of the first non-resident attribute of `kind`."""
        for pos, k, _ in self.attributes(rec):
            if k != kind or rec[pos + 8] == 0:
                continue
            at = pos + struct.unpack_from("<H", rec, pos + 0x20)[0]
            lcn, out = 0, []
            while rec[at] != 0:
                lb, ob = rec[at] & 0x0F, rec[at] >> 4
                length = int.from_bytes(rec[at + 1:at + 1 + lb], "little")
                delta = int.from_bytes(rec[at + 1 + lb:at + 1 + lb + ob], "little", signed=True)
                lcn += delta
                out.append((lcn, length))
                at += 1 + lb + ob
            return out
        return []

    def record_offset(self, number):
        vcn, within = divmod(number * self.record_size, self.cluster)
        first = 0
        for lcn, length in self.mft_runs:
            if first <= vcn < first + length:
                return (lcn + vcn - first) * self.cluster + within
            first += length
        raise ValueError(f"record {number} is not in the $MFT")

    def find_record(self, name):
        """The number of the record whose $FILE_NAME is `name`."""
        want = name.encode("utf-16-le")
        for n in range(36, 100000):
            try:
                rec = self.unfixed(self.record_offset(n))
            except ValueError:
                break
            for pos, kind, _ in self.attributes(rec):
                if kind == 0x30:
                    value = pos + struct.unpack_from("<H", rec, pos + 0x14)[0]
                    length = rec[value + 0x40]
                    if rec[value + 0x42:value + 0x42 + 2 * length] == want:
                        return n
        raise ValueError(name)

    def free_clusters(self, count):
        """The first `count` free clusters in a row, from $Bitmap (record 6)."""
        bitmap = b"".join(self.data[lcn * self.cluster:(lcn + length) * self.cluster]
                          for lcn, length in self.runs(self.unfixed(self.record_offset(6)), 0x80))
        run = 0
        for c in range(len(bitmap) * 8):
            if (bitmap[c // 8] >> (c % 8)) & 1:
                run = 0
                continue
            run += 1
            if run == count and c + 1 - count > 16:
                return c + 1 - count
        raise ValueError(f"no {count} free clusters in a row")


def ntfs_attribute_list_flood(data, entries=8192, copies=2000):
    """A file whose $ATTRIBUTE_LIST points every $DATA piece at record 0.

    ntfs-packed-512's Plain/resident.txt gets, after its
    $STANDARD_INFORMATION, a non-resident $ATTRIBUTE_LIST of `entries`
    entries (32 bytes each, in free clusters), every one a $DATA piece held
    by record 0 (the $MFT, no extension record of this file), half of them
    naming the same first cluster (duplicates). Then `copies` copies of the
    record are written into free space, for the deep scan to meet. Before the
    fix a list like this gave the file one extent per entry and a size of
    entries x the $MFT's, and the copies made the deep scan read the list
    once each."""
    data = bytearray(data)
    fs = Ntfs(data)
    number = fs.find_record("resident.txt")
    offset = fs.record_offset(number)
    rec = fs.unfixed(offset)
    list_bytes = bytearray()
    for i in range(entries):
        vcn = i // 2  # every second entry repeats the one before
        list_bytes += struct.pack("<IHBBQQH6x", 0x80, 0x20, 0, 0x1A, vcn, 0, i)
    clusters = (len(list_bytes) + fs.cluster - 1) // fs.cluster
    lcn = fs.free_clusters(clusters + (copies * fs.record_size) // fs.cluster + 1)
    data[lcn * fs.cluster:lcn * fs.cluster + len(list_bytes)] = list_bytes
    # The non-resident $ATTRIBUTE_LIST: header 0x40 bytes, one run.
    run = bytes([0x32]) + clusters.to_bytes(2, "little") + lcn.to_bytes(3, "little") + b"\0"
    attr = bytearray(0x48)
    struct.pack_into("<IIBBHHH", attr, 0, 0x20, 0x48, 1, 0, 0x40, 0, 5)
    struct.pack_into("<QQHB", attr, 0x10, 0, clusters - 1, 0x40, 0)
    struct.pack_into("<QQQ", attr, 0x28, clusters * fs.cluster, len(list_bytes), len(list_bytes))
    attr[0x40:0x40 + len(run)] = run
    first = fs.attributes(rec)[1][0]  # after $STANDARD_INFORMATION
    used = struct.unpack_from("<I", rec, 0x18)[0]
    rec[first:used + len(attr)] = attr + rec[first:used]
    struct.pack_into("<I", rec, 0x18, used + len(attr))
    assert used + len(attr) <= fs.record_size - 8
    fixed = fs.fix(rec)
    data[offset:offset + fs.record_size] = fixed
    at = (lcn + clusters + 1) * fs.cluster
    for i in range(copies):
        data[at + i * fs.record_size:at + (i + 1) * fs.record_size] = fixed
    return bytes(data)


def ntfs_rename(data, old, new):
    """Renames a file in place in every $FILE_NAME of the $MFT that holds
    `old` (the folders' indexes keep the old name: the scanners do not read
    them); `new` must be as long in UTF-16 units. Records are edited with
    their fix-ups undone, then done again."""
    assert len(new) == len(old)
    data = bytearray(data)
    fs = Ntfs(data)
    pattern_count = 0
    for n in range(0, 100000):
        try:
            offset = fs.record_offset(n)
        except ValueError:
            break
        if data[offset:offset + 4] != b"FILE":
            continue
        rec = fs.unfixed(offset)
        changed = False
        for ns in (0, 1, 2, 3):
            pattern = bytes([len(old), ns]) + old.encode("utf-16-le")
            at = rec.find(pattern)
            while at != -1:
                rec[at + 2:at + 2 + 2 * len(new)] = new.encode("utf-16-le")
                changed = True
                pattern_count += 1
                at = rec.find(pattern, at + 1)
        if changed:
            data[offset:offset + fs.record_size] = fs.fix(rec)
    assert pattern_count > 0, old
    return bytes(data)


def ntfs_control_characters(data):
    """ntfs.img with readme.txt renamed to ESC [2J, a line feed and "ab.tx":
    a name that, printed raw, clears the terminal and splits a row."""
    return ntfs_rename(data, "readme.txt", "\x1b[2J\nab.tx")


# ---------------------------------------------------------------- FAT32


class Fat32:
    def __init__(self, data):
        self.data = data
        self.bps = struct.unpack_from("<H", data, 0x0B)[0]
        self.spc = data[0x0D]
        self.reserved = struct.unpack_from("<H", data, 0x0E)[0]
        self.fats = data[0x10]
        self.per_fat = struct.unpack_from("<I", data, 0x24)[0]
        self.root = struct.unpack_from("<I", data, 0x2C)[0]
        self.cluster = self.bps * self.spc
        self.heap = (self.reserved + self.fats * self.per_fat) * self.bps
        self.entries = self.per_fat * self.bps // 4

    def fat(self, c):
        return struct.unpack_from("<I", self.data, self.reserved * self.bps + 4 * c)[0] & 0x0FFFFFFF

    def set_fat(self, c, value):
        for i in range(self.fats):
            struct.pack_into("<I", self.data, (self.reserved + i * self.per_fat) * self.bps + 4 * c, value)

    def offset(self, c):
        return self.heap + (c - 2) * self.cluster

    def chain(self, c):
        while 2 <= c < 0x0FFFFFF8:
            yield c
            c = self.fat(c)

    def free_run(self, count):
        run = 0
        for c in range(2, self.entries):
            run = run + 1 if self.fat(c) == 0 else 0
            if run == count:
                return c + 1 - count
        raise ValueError(f"no {count} free clusters in a row")

    def free_root_slot(self):
        """The offset of the first unused entry of the root folder."""
        for c in self.chain(self.root):
            for at in range(self.offset(c), self.offset(c) + self.cluster, 32):
                if self.data[at] == 0:
                    return at
        raise ValueError("the root folder is full")


def short_entry(name, attr, cluster, size):
    """A directory entry with an 8.3 name (11 bytes as stored)."""
    e = bytearray(32)
    e[0:11] = name
    e[11] = attr
    struct.pack_into("<HH", e, 20, cluster >> 16, 0)
    struct.pack_into("<HHHI", e, 22, 0x6000, 0x5A21, cluster & 0xFFFF, size)
    return e


def fat32_with_folder(data, name, count, entries_of):
    """fat32.img with a new folder `name` (11 bytes as stored) in its root:
    an entry in the root's first free slot, its clusters a chain made in
    free clusters of the FAT, room for `count` entries, which
    `entries_of(fs, first)` gives after "." and ".."."""
    data = bytearray(data)
    fs = Fat32(data)
    per_cluster = fs.cluster // 32
    clusters = (count + 2) // per_cluster + 1
    first = fs.free_run(clusters)
    for i in range(clusters):
        fs.set_fat(first + i, first + i + 1 if i + 1 < clusters else 0x0FFFFFFF)
    entries = [short_entry(b".          ", 0x10, first, 0), short_entry(b"..         ", 0x10, 0, 0)]
    entries += entries_of(fs, first)
    blob = b"".join(entries)
    start = fs.offset(first)
    data[start:start + clusters * fs.cluster] = bytes(clusters * fs.cluster)
    data[start:start + len(blob)] = blob
    slot = fs.free_root_slot()
    data[slot:slot + 32] = short_entry(name, 0x10, first, 0)
    return bytes(data)


def fat32_namesakes(data, count=32000):
    """fat32.img with a new folder SAME that holds `count` deleted entries
    all named AME.TXT (first byte 0xE5). Numbering them _1, _2, ... used to
    start from 1 for each: quadratic."""
    return fat32_with_folder(data, b"SAME       ", count,
                             lambda fs, first: [short_entry(b"\xe5AME    TXT", 0x20, 3, 100) for _ in range(count)])


def fat32_shared_chain(data, count=20000):
    """fat32.img with a new folder LOOP holding `count` files in use of
    almost 4 GiB each, all beginning at one cluster whose chain runs through
    a stretch of free clusters, every other one, and back to its start: a
    chain without end that every file shares."""
    def entries(fs, first):
        ring = fs.free_run(2000)
        for i in range(0, 2000, 2):
            fs.set_fat(ring + i, ring + (i + 2) % 2000)
        return [short_entry(b"F%07dBIN" % n, 0x20, ring, 0xFFFFFF00) for n in range(count)]
    return fat32_with_folder(data, b"LOOP       ", count, entries)


# ---------------------------------------------------------------- exFAT


class Exfat:
    def __init__(self, data):
        self.data = data
        self.sector = 1 << data[0x6C]
        self.cluster = self.sector << data[0x6D]
        self.heap = struct.unpack_from("<I", data, 0x58)[0] * self.sector
        self.count = struct.unpack_from("<I", data, 0x5C)[0]
        self.root = struct.unpack_from("<I", data, 0x60)[0]

    def offset(self, c):
        return self.heap + (c - 2) * self.cluster


def fat32_folder_maze(data, folders=5000):
    """fat32-formatted.img (a quick-formatted card) whose free clusters hold
    `folders` old folders, one a cluster: each names the next as its
    subfolder and is named by the one before, the last names the first, and
    each holds 13 files whose data lies in the folders themselves. The deep
    scan's folder search must place them all, in bounded time and depth."""
    data = bytearray(data)
    fs = Fat32(data)
    first = fs.free_run(folders)
    for i in range(folders):
        c = first + i
        nxt = first + (i + 1) % folders
        parent = first + (i - 1) % folders
        entries = [short_entry(b".          ", 0x10, c, 0), short_entry(b"..         ", 0x10, parent, 0),
                   short_entry(b"D%07d   " % ((i + 1) % folders), 0x10, nxt, 0)]
        entries += [short_entry(b"F%07dBIN" % k, 0x20, first + (i + k) % folders, 300) for k in range(13)]
        blob = b"".join(entries)[:fs.cluster]
        data[fs.offset(c):fs.offset(c) + len(blob)] = blob
    return bytes(data)


def exfat_set(name, folder, first, length, no_fat_chain=True):
    """A File, Stream Extension and File Name entry set (in use)."""
    assert len(name) <= 15
    f = bytearray(32)
    f[0], f[1] = 0x85, 2
    struct.pack_into("<H", f, 4, 0x10 if folder else 0x20)
    struct.pack_into("<III", f, 8, 0x5A216000, 0x5A216000, 0x5A216000)
    s = bytearray(32)
    s[0], s[1], s[3] = 0xC0, 0x03 if no_fat_chain else 0x01, len(name)
    struct.pack_into("<Q", s, 8, length)
    struct.pack_into("<IQ", s, 20, first, length)
    n = bytearray(32)
    n[0] = 0xC1
    n[2:2 + 2 * len(name)] = name.encode("utf-16-le")
    return bytes(f + s + n)


def exfat_overlapping_folders(data, folders=40, clusters=2000, start=1000):
    """exfat.img with readme.txt's entry set in the root turned into a
    folder X: contiguous (no FAT chain) over `clusters` clusters from
    `start`. The first of them holds `folders` folder entry sets, folder i
    contiguous from cluster start + 1 + i to the end of the same range; the
    other clusters are filled with file entry sets (42 to a 4 KiB cluster).
    When only each folder's first cluster was remembered as walked, every
    folder walked nearly the whole range again: 40 times the files."""
    data = bytearray(data)
    fs = Exfat(data)
    end = start + clusters
    assert end <= fs.count + 2
    first = bytearray(fs.cluster)
    for i in range(folders):
        c = start + 1 + i
        first[96 * i:96 * (i + 1)] = exfat_set(f"D{i:02d}", True, c, (end - c) * fs.cluster)
    data[fs.offset(start):fs.offset(start) + fs.cluster] = first
    files = b"".join(exfat_set("f.bin", False, 5, 100) for _ in range(fs.cluster // 96))
    files = files.ljust(fs.cluster, b"\0")
    for c in range(start + 1, end):
        data[fs.offset(c):fs.offset(c) + fs.cluster] = files
    root = fs.offset(fs.root)
    for at in range(root, root + fs.cluster, 32):
        if data[at] == 0x85 and data[at + 64 + 2:at + 64 + 22] == "readme.txt".encode("utf-16-le"):
            data[at:at + 96] = exfat_set("X", True, start, clusters * fs.cluster)
            return bytes(data)
    raise ValueError("readme.txt is not in the root's first cluster")


# ---------------------------------------------------------------- geometry


def with_bytes(data, offset, value):
    data = bytearray(data)
    data[offset:offset + len(value)] = value
    return bytes(data)


def fat32_no_fat(data):
    """fat32.img with its number of FATs (0x10) set to 0."""
    return with_bytes(data, 0x10, b"\0")


def fat32_255_fats(data):
    """fat32.img with its number of FATs (0x10) set to 255."""
    return with_bytes(data, 0x10, b"\xff")


def exfat_no_fat(data):
    """exfat.img with its number of FATs (0x6E) set to 0."""
    return with_bytes(data, 0x6E, b"\0")


def exfat_endless(data):
    """exfat.img whose volume length (0x48) is 2^64 - 1 sectors."""
    return with_bytes(data, 0x48, b"\xff" * 8)


def ntfs_endless(data):
    """ntfs.img whose total sectors (0x28) are 2^40: far past the image."""
    return with_bytes(data, 0x28, struct.pack("<Q", 1 << 40))

def fat32_fake_headers(data):
    """fat32-formatted.img whose every free cluster begins a file the search
    by content follows: a whole GIF of 35 bytes in most, and in every 100th
    an MP4 whose boxes claim more than the volume holds. The search must
    read the volume once and keep no more files than its budget."""
    data = bytearray(data)
    fs = Fat32(data)
    gif = (b"GIF89a\x01\x00\x01\x00\x00\x00\x00" + b"\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00" +
           b"\x02\x02\x44\x01\x00\x3b")
    movie = (b"\x00\x00\x00\x10ftypisom\x00\x00\x00\x00" + b"\x00\x00\x00\x01mdat" +
             (1 << 40).to_bytes(8, "big"))
    clusters = min(fs.entries, 2 + (len(data) - fs.heap) // fs.cluster)
    for c in range(2, clusters):
        if fs.fat(c) == 0:
            blob = movie if c % 100 == 0 else gif
            data[fs.offset(c):fs.offset(c) + len(blob)] = blob
    return bytes(data)


CRAFTED = {
    # name: (source image, maker)
    "ntfs-attribute-list-flood": ("ntfs-packed-512", ntfs_attribute_list_flood),
    "ntfs-control-characters": ("ntfs", ntfs_control_characters),
    "fat32-namesakes": ("fat32", fat32_namesakes),
    "fat32-shared-chain": ("fat32", fat32_shared_chain),
    "fat32-folder-maze": ("fat32-formatted", fat32_folder_maze),
    "fat32-fake-headers": ("fat32-formatted", fat32_fake_headers),
    "exfat-overlapping-folders": ("exfat", exfat_overlapping_folders),
    "fat32-no-fat": ("fat32", fat32_no_fat),
    "fat32-255-fats": ("fat32", fat32_255_fats),
    "exfat-no-fat": ("exfat", exfat_no_fat),
    "exfat-endless": ("exfat", exfat_endless),
    "ntfs-endless": ("ntfs", ntfs_endless),
}


def make(images, name, outdir):
    """Writes crafted image `name` into `outdir`; returns its path."""
    source, maker = CRAFTED[name]
    with open(os.path.join(images, source + ".img"), "rb") as f:
        data = maker(f.read())
    path = os.path.join(outdir, name + ".img")
    with open(path, "wb") as f:
        f.write(data)
    return path


if __name__ == "__main__":
    for crafted in CRAFTED:
        print(make(sys.argv[1], crafted, sys.argv[2]))
