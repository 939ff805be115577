#!/usr/bin/env python3
"""Big test volumes written directly, without a file-system driver.

    bench/mkvolume.py ntfs  IMAGE --files N [--folders K] [--deleted-every D] [--stray S] [--manifest FILE]
    bench/mkvolume.py fat32 IMAGE --files N [--folders K] [--deleted-every D] [--manifest FILE]
                      [--cluster BYTES] [--min-size BYTES] [--photos] [--spread]

The image is a sparse file holding N files in K folders under the root,
each folder's files written together (every D-th of them deleted afterwards, as a driver would leave it).
Most files are small; every 16th holds a few clusters. NTFS keeps small data
resident in the file record; its folders have B+ tree indexes, so that other
tools (fls, icat) list the volume too. --stray writes S more file records in
free clusters outside the $MFT, as an earlier format would have left them.
FAT32 only: --photos makes every file a JPEG (its first bytes a JFIF
header); --spread puts the files' data evenly over the whole volume rather
than one after another, so that most start clusters have a high half other
than their folder's (deleted entries keep only the low half, as Windows
leaves them: the start search then has to find the rest).

The manifest has one JSON line per file written: path ("d000/f0000001.txt"),
size, sha256, and whether it was deleted or stray. File contents are a
function of the file's number, so the same arguments make the same image.
"""
import argparse
import array
import hashlib
import json
import os
import struct
import sys

SECTOR = 512
CLUSTER = 4096
TIME = 132223104000000000  # 2020-01-01 as a FILETIME


def content(number, size):
    """The bytes of file `number`: its number, then a counter, repeated."""
    unit = b"file %d " % number
    return (unit * (size // len(unit) + 1))[:size]


def file_size(number):
    if number % 16 == 5:
        return CLUSTER * (1 + number % 5) - number % 700  # a few clusters
    return 40 + number * 37 % 600  # fits in a file record


def layout(files, folders, deleted_every, photos=False):
    """[(folder index, number, name, deleted)] in the order they are written."""
    out = []
    per_folder = (files + folders - 1) // max(folders, 1)
    for n in range(files):
        folder = n // max(per_folder, 1)  # a folder's files written one after another, as a copy would
        deleted = deleted_every > 0 and n % deleted_every == deleted_every - 1
        out.append((folder, n, "f%07d.%s" % (n, "jpg" if photos else ("txt", "jpg", "doc", "bin")[n % 4]), deleted))
    return out


JFIF = b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"


class Writer:
    """A sparse image written in order-free pieces."""

    def __init__(self, path, size):
        self.f = open(path, "wb")
        self.f.truncate(size)
        self.size = size

    def put(self, offset, data):
        if offset + len(data) > self.size:
            raise SystemExit("image too small for its contents")
        self.f.seek(offset)
        self.f.write(data)

    def close(self):
        self.f.close()


# ---------------------------------------------------------------- NTFS

RECORD = 1024
INDEX_BLOCK = 4096
FIRST_USER = 64


def runs_bytes(runs):
    """NTFS data runs for [(lcn, length)], ended by a zero byte."""
    out = bytearray()
    previous = 0
    for lcn, length in runs:
        lb = length.to_bytes(8, "little").rstrip(b"\0") or b"\0"
        delta = lcn - previous
        ob = delta.to_bytes(8, "little", signed=True)
        k = 8
        while k > 1 and ((ob[k - 1] == 0 and ob[k - 2] < 0x80) or (ob[k - 1] == 0xFF and ob[k - 2] >= 0x80)):
            k -= 1
        out.append(len(lb) | (k << 4))
        out += lb + ob[:k]
        previous = lcn
    out.append(0)
    return bytes(out)


def align8(n):
    return (n + 7) & ~7


def resident(kind, value, attr_id, name="", indexed=False):
    uname = name.encode("utf-16-le")
    value_at = align8(0x18 + len(uname))
    length = align8(value_at + len(value))
    a = bytearray(length)
    struct.pack_into("<IIBBHHHIHB", a, 0, kind, length, 0, len(name), 0x18, 0, attr_id, len(value), value_at,
                     1 if indexed else 0)
    a[0x18:0x18 + len(uname)] = uname
    a[value_at:value_at + len(value)] = value
    return bytes(a)


def nonresident(kind, runs, size, attr_id, name=""):
    uname = name.encode("utf-16-le")
    runs_at = align8(0x40 + len(uname))
    rb = runs_bytes(runs)
    length = align8(runs_at + len(rb))
    clusters = sum(n for _, n in runs)
    a = bytearray(length)
    struct.pack_into("<IIBBHHHQQHBxxxxxQQQ", a, 0, kind, length, 1, len(name), 0x40, 0, attr_id, 0,
                     max(clusters - 1, 0), runs_at, 0, clusters * CLUSTER, size, size)
    a[0x40:0x40 + len(uname)] = uname
    a[runs_at:runs_at + len(rb)] = rb
    return bytes(a)


def standard_information(folder):
    return struct.pack("<QQQQIIIIIIQQ", TIME, TIME, TIME, TIME, 0x10 if folder else 0x20, 0, 0, 0, 0, 0, 0, 0)


def file_name_value(parent_ref, name, size, folder):
    uname = name.encode("utf-16-le")
    v = struct.pack("<QQQQQQQII", parent_ref, TIME, TIME, TIME, TIME, (size + CLUSTER - 1) // CLUSTER * CLUSTER,
                    size, 0x10000000 if folder else 0x20, 0)
    return v + bytes([len(name), 1]) + uname


def fixed(block, usa_at, sectors, usn=1):
    """The block as it lies on disk, the update sequence applied."""
    block = bytearray(block)
    struct.pack_into("<H", block, usa_at, usn)
    for i in range(1, sectors + 1):
        end = SECTOR * i
        block[usa_at + 2 * i:usa_at + 2 * i + 2] = block[end - 2:end]
        struct.pack_into("<H", block, end - 2, usn)
    return bytes(block)


def file_record(number, attributes, folder, in_use, sequence=1):
    rec = bytearray(RECORD)
    first = 0x38
    body = b"".join(attributes) + struct.pack("<II", 0xFFFFFFFF, 0)
    if first + len(body) > RECORD:
        raise ValueError("attributes overflow the record")
    flags = (1 if in_use else 0) | (2 if folder else 0)
    struct.pack_into("<4sHHQHHHHIIQHxxI", rec, 0, b"FILE", 0x30, 3, 0, sequence, 1, first, flags,
                     first + len(body), RECORD, 0, len(attributes) + 1, number)
    rec[first:first + len(body)] = body
    return fixed(rec, 0x30, RECORD // SECTOR)


def index_entry(ref, key, child=None, last=False):
    length = align8(0x10 + len(key)) + (8 if child is not None else 0)
    e = bytearray(length)
    struct.pack_into("<QHHI", e, 0, ref, length, len(key), (1 if child is not None else 0) | (2 if last else 0))
    e[0x10:0x10 + len(key)] = key
    if child is not None:
        struct.pack_into("<Q", e, length - 8, child)
    return bytes(e)


def end_entry(child=None):
    return index_entry(0, b"", child, last=True)


def node_header(entries_at, used, allocated, has_children):
    return struct.pack("<IIIB3x", entries_at, used, allocated, 1 if has_children else 0)


class Ntfs:
    def __init__(self, args):
        self.args = args
        self.files = layout(args.files, args.folders, args.deleted_every, args.photos)
        self.folder_count = args.folders
        self.records = FIRST_USER + args.folders + args.files
        self.mft_clusters = (self.records * RECORD + CLUSTER - 1) // CLUSTER
        self.mft_lcn = 16
        self.next_lcn = self.mft_lcn + self.mft_clusters + 1
        self.mirror_lcn = self.next_lcn
        self.next_lcn += 1
        self.used = []  # (lcn, count) runs in use
        data_clusters = sum((file_size(n) + CLUSTER - 1) // CLUSTER for _, n, _, _ in self.files
                            if file_size(n) > 600)
        index_clusters = args.files * 120 // INDEX_BLOCK * 2 + 64 * args.folders
        need = self.next_lcn + data_clusters + index_clusters + args.stray // 4 + 4096
        self.clusters = max(need * 5 // 4, args.min_size // CLUSTER)
        self.writer = Writer(args.image, self.clusters * CLUSTER + SECTOR)  # the backup boot sector at the end

    def take(self, count):
        lcn = self.next_lcn
        self.next_lcn += count
        if self.next_lcn >= self.clusters:
            raise SystemExit("volume too small")
        return lcn

    def put_record(self, number, rec):
        self.writer.put(self.mft_lcn * CLUSTER + number * RECORD, rec)
        if number < 4:
            self.writer.put(self.mirror_lcn * CLUSTER + number * RECORD, rec)

    def ref(self, number, sequence=1):
        return number | (sequence << 48)

    def build_index(self, number, entries, other_attributes):
        """The folder's index attributes for its sorted [(ref, key)]: one
        root when it fits in the record, else a B+ tree of index blocks."""
        free = RECORD - 0x38 - 8 - sum(len(a) for a in other_attributes) - (0x20 + 0x20)
        if sum(align8(0x10 + len(k)) for _, k in entries) + 0x10 <= free:
            body = b"".join(index_entry(r, k) for r, k in entries) + end_entry()
            return [self.index_root(body, False, 2)]
        blocks = []  # each index block's entries and whether it has children, by VCN
        # A level of the tree: (ref, key, child VCN of what sorts before it),
        # and the child holding what sorts after them all. Leaves have none.
        level, rightmost = [(r, k, None) for r, k in entries], None
        while True:
            nodes, promoted = [], []
            current, room = [], INDEX_BLOCK - 0x40 - 0x18
            for r, k, c in level:
                e = index_entry(r, k, c)
                if len(e) > room and current:
                    # this entry moves up; what it had before it ends the node
                    nodes.append((current, c))
                    promoted.append((r, k, len(blocks) + len(nodes) - 1))
                    current, room = [], INDEX_BLOCK - 0x40 - 0x18
                    continue
                current.append(e)
                room -= len(e)
            nodes.append((current, rightmost))
            inner = level[0][2] is not None
            for chunk, end_child in nodes:
                blocks.append((chunk + [end_entry(end_child)], inner))
            level, rightmost = promoted, len(blocks) - 1
            body = b"".join(index_entry(r, k, c) for r, k, c in level) + end_entry(rightmost)
            if len(body) <= free:
                break
        alloc = self.take(len(blocks))
        self.writer.put(alloc * CLUSTER, b"".join(self.index_block(vcn, chunk, inner)
                                                  for vcn, (chunk, inner) in enumerate(blocks)))
        bitmap = bytearray(align8((len(blocks) + 7) // 8))
        for i in range(len(blocks)):
            bitmap[i // 8] |= 1 << (i % 8)
        self.used.append((alloc, len(blocks)))
        return [self.index_root(body, True, 2),
                nonresident(0xA0, [(alloc, len(blocks))], len(blocks) * INDEX_BLOCK, 3, "$I30"),
                resident(0xB0, bytes(bitmap), 4, "$I30")]

    @staticmethod
    def index_block(vcn, entries, has_children):
        blk = bytearray(INDEX_BLOCK)
        body = b"".join(entries)
        struct.pack_into("<4sHHQQ", blk, 0, b"INDX", 0x28, INDEX_BLOCK // SECTOR + 1, 0, vcn)
        blk[0x18:0x28] = node_header(0x28, 0x28 + len(body), INDEX_BLOCK - 0x18, has_children)
        blk[0x40:0x40 + len(body)] = body
        return fixed(blk, 0x28, INDEX_BLOCK // SECTOR)

    def index_root(self, body, large, attr_id):
        value = struct.pack("<IIIB3x", 0x30, 1, INDEX_BLOCK, 1) + node_header(0x10, 0x10 + len(body), 0x10 + len(body),
                                                                            large) + body
        return resident(0x90, value, attr_id, "$I30")

    def system_name(self, number):
        return ["$MFT", "$MFTMirr", "$LogFile", "$Volume", "$AttrDef", ".", "$Bitmap", "$Boot", "$BadClus",
                "$Secure", "$UpCase", "$Extend"][number]

    def write(self, manifest):
        args = self.args
        folder_record = [FIRST_USER + k for k in range(self.folder_count)]
        first_file = FIRST_USER + self.folder_count
        in_use_records = set(range(12)) | set(folder_record)
        children = {k: [] for k in range(self.folder_count)}
        data_runs = []
        # Files, in record order, their data written as they come.
        batch, batch_first = bytearray(), first_file
        for folder, n, name, deleted in self.files:
            number = first_file + n
            size = file_size(n)
            data = content(n, size)
            parent = self.ref(folder_record[folder])
            attrs = [resident(0x10, standard_information(False), 0),
                     resident(0x30, file_name_value(parent, name, size, False), 1, indexed=True)]
            if size > 600:
                count = (size + CLUSTER - 1) // CLUSTER
                lcn = self.take(count)
                self.writer.put(lcn * CLUSTER, data)
                attrs.append(nonresident(0x80, [(lcn, count)], size, 2))
                if deleted:
                    data_runs.append((lcn, count))
                else:
                    self.used.append((lcn, count))
            else:
                attrs.append(resident(0x80, data, 2))
            sequence = 2 if deleted else 1
            batch += file_record(number, attrs, False, not deleted, sequence)
            if deleted:
                pass
            else:
                in_use_records.add(number)
                children[folder].append((self.ref(number), file_name_value(parent, name, size, False)))
            manifest.write(json.dumps({"path": "d%03d/%s" % (folder, name), "size": size, "deleted": deleted,
                                       "sha256": hashlib.sha256(data).hexdigest()}) + "\n")
            if len(batch) >= 4096 * RECORD:
                self.writer.put(self.mft_lcn * CLUSTER + batch_first * RECORD, bytes(batch))
                batch_first += len(batch) // RECORD
                batch = bytearray()
        self.writer.put(self.mft_lcn * CLUSTER + batch_first * RECORD, bytes(batch))

        # Folders, each with the index of its files.
        root_entries = []
        for k, number in enumerate(folder_record):
            name = "d%03d" % k
            fn = file_name_value(self.ref(5), name, 0, True)
            attrs = [resident(0x10, standard_information(True), 0), resident(0x30, fn, 1, indexed=True)]
            entries = sorted(children[k], key=lambda e: self.key_name(e[1]))
            self.put_record(number, file_record(number, attrs + self.build_index(number, entries, attrs), True, True))
            root_entries.append((self.ref(number), fn))

        # The root: the folders and the file system's own files.
        for number in range(12):
            fn = file_name_value(self.ref(5), self.system_name(number), 0, number in (5, 11))
            root_entries.append((self.ref(number), fn))
        root_entries.sort(key=lambda e: self.key_name(e[1]))
        attrs = [resident(0x10, standard_information(True), 0),
                 resident(0x30, file_name_value(self.ref(5), ".", 0, True), 1, indexed=True)]
        self.put_record(5, file_record(5, attrs + self.build_index(5, root_entries, attrs), True, True))

        # The file system's own files.
        mft_bitmap = bytearray(align8((self.records + 7) // 8))
        for r in in_use_records:
            mft_bitmap[r // 8] |= 1 << (r % 8)
        bitmap_lcn = self.take((len(mft_bitmap) + CLUSTER - 1) // CLUSTER)
        self.writer.put(bitmap_lcn * CLUSTER, bytes(mft_bitmap))
        upcase = bytearray(struct.pack("<65536H", *[c - 32 if 0x61 <= c <= 0x7A else c for c in range(65536)]))
        upcase_lcn = self.take(len(upcase) // CLUSTER)
        self.writer.put(upcase_lcn * CLUSTER, bytes(upcase))
        volume_bitmap = bytearray(align8((self.clusters + 7) // 8))
        volume_bitmap_clusters = (len(volume_bitmap) + CLUSTER - 1) // CLUSTER
        volume_bitmap_lcn = self.take(volume_bitmap_clusters)
        used_end = self.next_lcn
        system = {
            0: [nonresident(0x80, [(self.mft_lcn, self.mft_clusters)], self.records * RECORD, 2),
                nonresident(0xB0, [(bitmap_lcn, (len(mft_bitmap) + CLUSTER - 1) // CLUSTER)], len(mft_bitmap), 3)],
            1: [nonresident(0x80, [(self.mirror_lcn, 1)], 4 * RECORD, 2)],
            2: [resident(0x80, b"", 2)],
            3: [resident(0x60, "BIG".encode("utf-16-le"), 2),
                resident(0x70, struct.pack("<QBBH4x", 0, 3, 1, 0), 3),
                resident(0x80, b"", 4)],
            4: [resident(0x80, b"", 2)],
            6: [nonresident(0x80, [(volume_bitmap_lcn, volume_bitmap_clusters)], len(volume_bitmap), 2)],
            7: [nonresident(0x80, [(0, 2)], 2 * CLUSTER, 2)],
            8: [resident(0x80, b"", 2)],
            9: [resident(0x80, b"", 2)],
            10: [nonresident(0x80, [(upcase_lcn, len(upcase) // CLUSTER)], len(upcase), 2)],
        }
        for number in range(12):
            if number == 5:
                continue
            folder = number == 11
            fn = file_name_value(self.ref(5), self.system_name(number), 0, folder)
            attrs = [resident(0x10, standard_information(folder), 0), resident(0x30, fn, 1, indexed=True)]
            if folder:
                attrs += self.build_index(number, [], attrs)
            else:
                attrs += system[number]
            self.put_record(number, file_record(number, attrs, folder, True))
        for number in range(12, FIRST_USER):
            self.put_record(number, file_record(number, [], False, False))
        if self.next_lcn != used_end:
            raise SystemExit("an index was placed after the volume bitmap was sized")

        # What is in use: everything placed, but the clusters of deleted files.
        for lcn in range(0, used_end):
            volume_bitmap[lcn // 8] |= 1 << (lcn % 8)
        for lcn, count in data_runs:
            for c in range(lcn, lcn + count):
                volume_bitmap[c // 8] &= ~(1 << (c % 8)) & 0xFF
        for c in range(self.clusters, len(volume_bitmap) * 8):  # past the end counts as in use
            volume_bitmap[c // 8] |= 1 << (c % 8)
        self.writer.put(volume_bitmap_lcn * CLUSTER, bytes(volume_bitmap))

        # Stray records of an earlier, larger $MFT, in free clusters after the used ones.
        stray_lcn = used_end + 64
        for s in range(args.stray):
            number = 3000000 + s
            name = "s%07d.txt" % s
            data = content(number, 40 + s % 500)
            attrs = [resident(0x10, standard_information(False), 0),
                     resident(0x30, file_name_value(self.ref(2999999), name, len(data), False), 1, indexed=True),
                     resident(0x80, data, 2)]
            self.writer.put(stray_lcn * CLUSTER + s * RECORD, file_record(number, attrs, False, True))
            manifest.write(json.dumps({"path": name, "size": len(data), "stray": True,
                                       "sha256": hashlib.sha256(data).hexdigest()}) + "\n")
        if stray_lcn * CLUSTER + args.stray * RECORD > self.clusters * CLUSTER:
            raise SystemExit("volume too small for the stray records")

        boot = bytearray(SECTOR)
        boot[0:3] = b"\xEB\x52\x90"
        boot[3:11] = b"NTFS    "
        struct.pack_into("<HBH", boot, 0x0B, SECTOR, CLUSTER // SECTOR, 0)
        boot[0x15] = 0xF8
        struct.pack_into("<HHI", boot, 0x18, 63, 255, 0)
        struct.pack_into("<QQQbxxxbxxxQ", boot, 0x28, self.clusters * (CLUSTER // SECTOR), self.mft_lcn,
                         self.mirror_lcn, -10, 1, 0x1234567890ABCDEF)
        boot[0x1FE:0x200] = b"\x55\xAA"
        self.writer.put(0, bytes(boot))
        self.writer.put(self.clusters * CLUSTER, bytes(boot))
        self.writer.close()

    @staticmethod
    def key_name(fn_value):
        n = fn_value[0x40]
        return fn_value[0x42:0x42 + 2 * n].decode("utf-16-le").upper()


# ---------------------------------------------------------------- FAT32


def lfn_checksum(short):
    total = 0
    for b in short:
        total = (((total & 1) << 7) + (total >> 1) + b) & 0xFF
    return total


def dir_entries(long_name, short, attr, cluster, size, deleted):
    """The long-name entries and the short entry of one file, in the order
    they lie in the folder. A deleted entry keeps only the low half of its
    first cluster, as Windows leaves it."""
    units = long_name.encode("utf-16-le")
    units += b"\0\0" if len(units) % 26 else b""
    units += b"\xFF" * (-len(units) % 26)
    pieces = [units[i:i + 26] for i in range(0, len(units), 26)]
    checksum = lfn_checksum(short)
    out = bytearray()
    for i in range(len(pieces), 0, -1):
        p = pieces[i - 1]
        e = bytearray(32)
        e[0] = 0xE5 if deleted else (i | (0x40 if i == len(pieces) else 0))
        e[1:11] = p[0:10]
        e[11] = 0x0F
        e[13] = checksum
        e[14:26] = p[10:22]
        e[28:32] = p[22:26]
        out += e
    e = bytearray(32)
    e[0:11] = short
    if deleted:
        e[0] = 0xE5
    e[11] = attr
    dos_time, dos_date = 12 << 11, (40 << 9) | (1 << 5) | 1  # 2020-01-01 12:00
    struct.pack_into("<BBHHHHHHHI", e, 12, 0, 0, dos_time, dos_date, dos_date, 0 if deleted else cluster >> 16,
                     dos_time, dos_date, cluster & 0xFFFF, size)
    out += e
    return bytes(out)


class Fat32:
    def __init__(self, args):
        self.args = args
        self.cluster = args.cluster
        self.spc = self.cluster // SECTOR
        self.files = layout(args.files, args.folders, args.deleted_every)
        per_file = sum((max(file_size(n), 1) + self.cluster - 1) // self.cluster for _, n, _, _ in self.files)
        dir_clusters = (args.files * 96 + args.folders * 64) // self.cluster + 2 * args.folders + 8
        need = per_file + dir_clusters + 16
        self.clusters = max(need * 5 // 4, 66000, args.min_size // self.cluster)
        self.reserved = 32
        self.fat_sectors = ((self.clusters + 2) * 4 + SECTOR - 1) // SECTOR
        self.data_sector = self.reserved + 2 * self.fat_sectors
        self.total_sectors = self.data_sector + self.clusters * self.spc
        self.fat = bytearray((self.clusters + 2) * 4)
        struct.pack_into("<II", self.fat, 0, 0x0FFFFFF8, 0x0FFFFFFF)
        self.next = 3  # 2 is the root
        self.spread_next = None  # with --spread: where the next file's data goes
        self.writer = Writer(args.image, self.total_sectors * SECTOR)

    def take(self, count, chain=True):
        first = self.next
        self.next += count
        if self.next > self.clusters + 2:
            raise SystemExit("volume too small")
        if chain:
            self.link(first, count)
        return first

    def link(self, first, count):
        for c in range(first, first + count):
            struct.pack_into("<I", self.fat, 4 * c, c + 1 if c + 1 < first + count else 0x0FFFFFFF)

    def offset(self, cluster):
        return (self.data_sector + (cluster - 2) * self.spc) * SECTOR

    def write_folder(self, first, body):
        count = max(1, (len(body) + self.cluster - 1) // self.cluster)
        self.writer.put(self.offset(first), body + bytes(count * self.cluster - len(body)))

    def write(self, manifest):
        args = self.args
        folders = {k: bytearray() for k in range(args.folders)}
        # Each folder's clusters are placed before its files' so that the
        # folder grows into one run: sized up front from its entries.
        counts = {k: 0 for k in range(args.folders)}
        for folder, _, _, _ in self.files:
            counts[folder] += 1
        folder_first = {}
        for k in range(args.folders):
            size = 64 + counts[k] * 96
            folder_first[k] = self.take(max(1, (size + self.cluster - 1) // self.cluster))
        for k in range(args.folders):
            folders[k] += dir_entries(".", b".          ", 0x10, folder_first[k], 0, False)[-32:]
            folders[k] += dir_entries("..", b"..         ", 0x10, 0, 0, False)[-32:]
        if args.spread:
            # Files from some way past the folders (the root's later
            # clusters go between) to the end of the volume, evenly.
            base = self.next + 1024
            stride = (self.clusters + 2 - base - 16) // max(1, len(self.files))
            if stride < 16:
                raise SystemExit("volume too small to spread the files")
        for folder, n, name, deleted in self.files:
            size = file_size(n)
            data = content(n, size)
            if args.photos:
                data = (JFIF + data)[:max(size, len(JFIF))]
                size = len(data)
            count = max(1, (size + self.cluster - 1) // self.cluster)
            if args.spread:
                first = base + n * stride
                if not deleted:
                    self.link(first, count)
            else:
                first = self.take(count, chain=not deleted)
            self.writer.put(self.offset(first), data)
            long_name = "file " + name[1:]
            short = b"N%07d" % (n % 10000000) + name[-3:].upper().encode()
            folders[folder] += dir_entries(long_name, short, 0x20, first, size, deleted)
            manifest.write(json.dumps({"path": "d%03d/%s" % (folder, long_name), "size": size, "deleted": deleted,
                                       "sha256": hashlib.sha256(data).hexdigest()}) + "\n")
        root = bytearray(dir_entries("BIG", b"BIG        ", 0x08, 0, 0, False)[-32:])
        for k in range(args.folders):
            root += dir_entries("d%03d" % k, b"D%03d       " % k, 0x10, folder_first[k], 0, False)
            self.write_folder(folder_first[k], bytes(folders[k]))
        root_clusters = max(1, (len(root) + self.cluster - 1) // self.cluster)
        # the root's first cluster is 2; the rest follow the files
        rest = self.take(root_clusters - 1, chain=False) if root_clusters > 1 else None
        chain = [2] + ([] if rest is None else list(range(rest, rest + root_clusters - 1)))
        for a, b in zip(chain, chain[1:] + [0x0FFFFFFF]):
            struct.pack_into("<I", self.fat, 4 * a, b)
        for i, c in enumerate(chain):
            piece = bytes(root[i * self.cluster:(i + 1) * self.cluster])
            self.writer.put(self.offset(c), piece + bytes(self.cluster - len(piece)))
        free = array.array("I", bytes(self.fat[8:])).count(0)

        boot = bytearray(SECTOR)
        boot[0:3] = b"\xEB\x58\x90"
        boot[3:11] = b"MKVOLUME"
        struct.pack_into("<HBHBHHBHHHII", boot, 0x0B, SECTOR, self.spc, self.reserved, 2, 0, 0, 0xF8, 0, 63, 255, 0,
                         self.total_sectors)
        struct.pack_into("<IHHIHH", boot, 0x24, self.fat_sectors, 0, 0, 2, 1, 6)
        struct.pack_into("<BxBI11s8s", boot, 0x40, 0x80, 0x29, 0x12345678, b"BIG        ", b"FAT32   ")
        boot[0x1FE:0x200] = b"\x55\xAA"
        info = bytearray(SECTOR)
        info[0:4] = b"RRaA"
        struct.pack_into("<4sII", info, 0x1E4, b"rrAa", free, self.next)
        info[0x1FC:0x200] = b"\x00\x00\x55\xAA"
        for at in (0, 6):
            self.writer.put((at) * SECTOR, bytes(boot))
            self.writer.put((at + 1) * SECTOR, bytes(info))
        for i in range(2):
            self.writer.put((self.reserved + i * self.fat_sectors) * SECTOR, bytes(self.fat))
        self.writer.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("kind", choices=["ntfs", "fat32"])
    parser.add_argument("image")
    parser.add_argument("--files", type=int, required=True)
    parser.add_argument("--folders", type=int, default=0, help="default: one per 100 files, at most 1000")
    parser.add_argument("--deleted-every", type=int, default=5)
    parser.add_argument("--stray", type=int, default=0, help="NTFS only")
    parser.add_argument("--min-size", type=int, default=64 << 20, help="bytes")
    parser.add_argument("--cluster", type=int, default=4096, choices=[512, 1024, 2048, 4096, 8192, 16384, 32768],
                        help="FAT32 only")
    parser.add_argument("--photos", action="store_true", help="FAT32 only: every file a JPEG")
    parser.add_argument("--spread", action="store_true", help="FAT32 only: files' data over the whole volume")
    parser.add_argument("--manifest", default=os.devnull)
    args = parser.parse_args()
    if args.files < 0 or args.deleted_every < 0 or args.stray < 0:
        parser.error("counts cannot be negative")
    if args.folders <= 0:
        args.folders = max(1, min(1000, args.files // 100))
    with open(args.manifest, "w") as manifest:
        if args.kind == "ntfs":
            Ntfs(args).write(manifest)
        else:
            Fat32(args).write(manifest)


if __name__ == "__main__":
    main()
