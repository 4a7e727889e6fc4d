"""Reftables in plain Python: a writer of git's format (for tables git would
write and for damaged ones), a reading of it by git's rules, and dulwich's
readings of the same bytes, to hold the store's reader against."""

from __future__ import annotations

import os
import struct
import zlib
from io import BytesIO
from pathlib import Path

from dulwich.reftable import ReftableReader, ReftableRefsContainer

DELETION, ID, PEELED, SYMBOLIC = range(4)
HASH_IDS = {1: (b"sha1", 20), 2: (b"s256", 32)}


def varint(value: int) -> bytes:
    """git's varint: seven bits a byte, most significant first, each
    continuation byte standing for one more than its bits say."""
    out = [value & 0x7F]
    value >>= 7
    while value:
        value -= 1
        out.append(0x80 | (value & 0x7F))
        value >>= 7
    return bytes(reversed(out))


def read_varint(data: bytes, at: int, end: int) -> tuple[int, int] | None:
    if at >= end:
        return None
    byte = data[at]
    at += 1
    value = byte & 0x7F
    while byte & 0x80:
        if at >= end:
            return None
        byte = data[at]
        at += 1
        value = ((value + 1) << 7) | (byte & 0x7F)
        if value >= 1 << 64:
            return None
    return value, at


def header(version: int, block_size: int, min_index: int, max_index: int, hash_name: bytes | None = None) -> bytes:
    head = b"REFT" + bytes([version]) + block_size.to_bytes(3, "big") + struct.pack(">QQ", min_index, max_index)
    if version == 2:
        head += hash_name if hash_name is not None else b"sha1"
    return head


def encode_record(previous: bytes, record: tuple, min_index: int, restart: bool) -> tuple[bytes, bool]:
    """One record after `previous`; (bytes, whether it holds its whole name)."""
    name, kind, value, update_index = record
    prefix = 0
    if not restart:
        while prefix < min(len(previous), len(name)) and previous[prefix] == name[prefix]:
            prefix += 1
    suffix = name[prefix:]
    out = varint(prefix) + varint((len(suffix) << 3) | kind) + suffix + varint(update_index - min_index)
    if kind == SYMBOLIC:
        out += varint(len(value)) + value
    else:
        out += value  # raw id bytes (two ids for PEELED, none for a deletion)
    return out, prefix == 0


def ref_block(records: list[tuple], header_off: int, min_index: int, interval: int = 16) -> bytes:
    """A ref block as git writes it: records, then the offsets of those
    written with their whole name, then their count."""
    body = b""
    restarts = []
    previous = b""
    for number, record in enumerate(records):
        encoded, whole = encode_record(previous, record, min_index, number % interval == 0)
        if whole:
            restarts.append(header_off + 4 + len(body))
        body += encoded
        previous = record[0]
    tail = b"".join(offset.to_bytes(3, "big") for offset in restarts) + len(restarts).to_bytes(2, "big")
    length = header_off + 4 + len(body) + len(tail)
    return b"r" + length.to_bytes(3, "big") + body + tail


def write_table(records: list[tuple], version: int = 1, *, hash_name: bytes | None = None, block_size: int = 4096,
                per_block: int = 1000, interval: int = 16, padded: bool = False,
                min_index: int | None = None, max_index: int | None = None) -> bytes:
    """A table of `records` ((name, kind, value, update_index), names
    ascending), `per_block` records a block."""
    indexes = [record[3] for record in records] or [1]
    low = min(indexes) if min_index is None else min_index
    high = max(indexes) if max_index is None else max_index
    head = header(version, block_size, low, high, hash_name)
    out = head
    for start in range(0, len(records), per_block):
        block = ref_block(records[start:start + per_block], len(head) if start == 0 else 0, low, interval)
        out += block
        last = start + per_block >= len(records)
        if padded and block_size and not last and len(out) % block_size:
            out += b"\0" * (block_size - len(out) % block_size)
    footer = head + struct.pack(">QQQQQ", 0, 0, 0, 0, 0)
    return out + footer + struct.pack(">I", zlib.crc32(footer))


# --- git's rules, read plainly ---

def read_table(data: bytes):
    """What git reads from a whole table, held strictly to what git writes:
    (version, id size, min, max, [(name, kind, value, update index)]) with
    values as dulwich keeps them (hexadecimal digits of ids, a target's
    name), or None."""
    if len(data) < 5 or data[:4] != b"REFT" or data[4] not in (1, 2):
        return None
    version = data[4]
    head_size, foot_size = (24, 68) if version == 1 else (28, 72)
    if len(data) < head_size + foot_size:
        return None
    block_size = int.from_bytes(data[5:8], "big")
    low, high = struct.unpack(">QQ", data[8:24])
    if low > high:
        return None
    id_size = 20
    if version == 2:
        names = {name: size for name, size in HASH_IDS.values()}
        if data[24:28] not in names:
            return None
        id_size = names[data[24:28]]
    limit = len(data) - foot_size
    footer = data[limit:]
    if footer[:head_size] != data[:head_size] or zlib.crc32(footer[:-4]) != int.from_bytes(footer[-4:], "big"):
        return None
    refs = []
    offset = 0
    while offset < limit:
        header_off = head_size if offset == 0 else 0
        if offset + header_off >= limit or data[offset + header_off] != ord("r"):
            break
        block = read_block(data, offset, header_off, limit, block_size, id_size, low, high)
        if block is None:
            return None
        records, offset = block
        for record in records:
            if refs and not refs[-1][0] < record[0]:
                return None
            refs.append(record)
    return version, id_size, low, high, refs


def read_block(data, offset, header_off, limit, block_size, id_size, low, high):
    available = limit - offset
    if header_off + 4 > available:
        return None
    length = int.from_bytes(data[offset + header_off + 1:offset + header_off + 4], "big")
    if length < header_off + 6 or length > available or (block_size and length > block_size):
        return None
    fetched = min(max(block_size or 4096, length), available)
    full = block_size
    if not block_size or (length < block_size and length < fetched and data[offset + length] != 0):
        full = length
    count = int.from_bytes(data[offset + length - 2:offset + length], "big")
    start = header_off + 4
    if count == 0 or 3 * count + 2 > length - start:
        return None
    end = length - 2 - 3 * count
    restarts = [int.from_bytes(data[offset + end + 3 * i:offset + end + 3 * i + 3], "big") for i in range(count)]
    if restarts[0] != start or restarts != sorted(set(restarts)):
        return None
    records = []
    name = b""
    at = offset + start
    starts = []
    while at < offset + end:
        starts.append(at - offset)
        decoded = read_record(data, at, offset + end, name, id_size, low, high)
        if decoded is None:
            return None
        record, prefix, at = decoded
        name = record[0]
        if starts[-1] in restarts and prefix != 0:
            return None
        records.append(record)
    if not set(restarts) <= set(starts):
        return None
    return records, offset + full


def read_record(data, at, end, previous, id_size, low, high):
    read = read_varint(data, at, end)
    if read is None:
        return None
    prefix, at = read
    read = read_varint(data, at, end)
    if read is None:
        return None
    suffix_and_type, at = read
    suffix = suffix_and_type >> 3
    if prefix > len(previous) or suffix > end - at:
        return None
    name = previous[:prefix] + data[at:at + suffix]
    at += suffix
    if not name or b"\0" in name:
        return None
    read = read_varint(data, at, end)
    if read is None or read[0] > high - low:
        return None
    delta, at = read
    kind = suffix_and_type & 7
    if kind == DELETION:
        value = b""
    elif kind in (ID, PEELED):
        if kind * id_size > end - at:
            return None
        value = data[at:at + kind * id_size].hex().encode()
        at += kind * id_size
    elif kind == SYMBOLIC:
        read = read_varint(data, at, end)
        if read is None or read[0] > end - read[1] or b"\0" in data[read[1]:read[1] + read[0]]:
            return None
        value = data[read[1]:read[1] + read[0]]
        at = read[1] + read[0]
    else:
        return None
    return (name, kind, value, low + delta), prefix, at


# --- dulwich ---

def dulwich_table(data: bytes):
    """(min_update_index, {name: (type, value)}) as dulwich's ReftableReader
    reads the bytes, or the class of what it raises."""
    try:
        reader = ReftableReader(BytesIO(data))
    except Exception as error:  # noqa: BLE001 - what it raises is the answer
        return type(error)
    return reader.min_update_index, dict(reader.refs)


def dulwich_stack(git_dir: Path):
    """ReftableRefsContainer's merged reading of the repository's tables, or the
    class of what it raises."""
    try:
        return dict(ReftableRefsContainer(os.fsencode(git_dir))._read_all_tables())
    except Exception as error:  # noqa: BLE001 - what it raises is the answer
        return type(error)
