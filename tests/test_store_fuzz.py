"""Arbitrary bytes through the object store's parsers: never a crash, and
whatever they accept reads as dulwich reads it.

Quick in every run; `make fuzz` runs the long profile (HYPOTHESIS_PROFILE=fuzz).
Properties that take `object_format` run for SHA-1 and for SHA-256, the probe
reading in that format.
"""

from __future__ import annotations

import hashlib
import os
import platform
import re
import struct
import tempfile
import zlib

import _git_store_probe as probe
import profiles
import pytest
from dulwich.index import ConflictedIndexEntry, Index
from dulwich.objects import Commit, Tag, Tree
from dulwich.pack import apply_delta as dulwich_apply_delta
from dulwich.refs import DiskRefsContainer, check_ref_format
from hypothesis import example, given
from hypothesis import strategies as st
from store_helpers import (
    ID_SIZES,
    checksum,
    delta_size,
    dulwich_fields,
    dulwich_format,
    format_of,
    fresh_repo,
    git,
    hex_size,
    object_id,
    write_loose,
)

FUZZ = profiles.examples(ci=150, fuzz=2_000)

# Every property reads through the probe in its repository's object format.
pytestmark = pytest.mark.usefixtures("probe_format")


def dulwich_or_error(call, *args):
    try:
        return call(*args)
    except Exception as error:  # noqa: BLE001 - any exception is an answer to compare
        return type(error)


# --- SHA-1 -----------------------------------------------------------------------------------------------

@pytest.mark.parametrize(("data", "digest"), [
    (b"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"),
    (b"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"),
    (b"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"),
    (b"a" * 1_000_000, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"),
])
def test_sha1_known_vectors_with_both_engines(data, digest):
    assert probe.sha1(data) == digest
    assert probe.sha1(data, True) == digest


@FUZZ
@given(st.binary(max_size=3000))
@example(b"x" * 55)
@example(b"x" * 56)
@example(b"x" * 64)
@example(b"x" * 119)
def test_sha1_engines_agree_with_each_other_and_hashlib(data):
    assert probe.sha1(data) == probe.sha1(data, True) == hashlib.sha1(data).hexdigest()


def test_blob_ids_are_gits(tmp_path, object_format):
    fresh_repo(tmp_path, object_format)
    for content in (b"", b"hello\n", os.urandom(100_000)):
        assert probe.object_id(3, content) == git(tmp_path, "hash-object", "--stdin", input=content)


# --- SHA-256 ---------------------------------------------------------------------------------------------

ENGINES = [pytest.param(False, id="best"), pytest.param(True, id="portable")]


@pytest.mark.parametrize("portable", ENGINES)
@pytest.mark.parametrize(("data", "digest"), [
    (b"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"),
    (b"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"),
    (b"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"),
    (b"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
     "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"),
    (b"a" * 1_000_000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"),
])
def test_sha256_known_vectors_with_both_engines(data, digest, portable):
    assert probe.sha256(data, portable) == digest
    assert probe.sha256(data, portable, []) == digest


@pytest.mark.parametrize("portable", ENGINES)
def test_sha256_every_length_around_the_block_boundaries(portable):
    # Up to 300 bytes: the padding in one block or two (55, 56), whole blocks
    # (64, 128, ...), and each length hashed in one update and in pieces.
    source = os.urandom(300)
    wrong = [size for size in range(301)
             if not probe.sha256(source[:size], portable) == probe.sha256(source[:size], portable, [])
             == hashlib.sha256(source[:size]).hexdigest()]
    assert wrong == []


@pytest.mark.parametrize("portable", ENGINES)
@pytest.mark.parametrize("size", [1 << 20, (5 << 20) + 55, (3 << 20) + 119])
def test_sha256_large_inputs(size, portable):
    data = os.urandom(size)
    expected = hashlib.sha256(data).hexdigest()
    assert probe.sha256(data, portable, []) == expected
    assert probe.sha256(data, portable, [size // 3, size // 3 + 1, size - 64]) == expected


@st.composite
def cut_data(draw):
    data = draw(st.binary(max_size=3000))
    cuts = draw(st.lists(st.integers(min_value=0, max_value=len(data)), max_size=12))
    return data, sorted(cuts)


@FUZZ
@given(cut_data())
@example((b"x" * 55, [55]))
@example((b"x" * 56, [1, 55]))
@example((b"x" * 64, [63]))
@example((b"x" * 119, [0, 0, 64, 119]))
@example((b"x" * 120, [56, 120]))
def test_sha256_updates_split_anywhere_agree_with_hashlib(data_and_cuts):
    data, cuts = data_and_cuts
    expected = hashlib.sha256(data).hexdigest()
    assert probe.sha256(data, False, cuts) == probe.sha256(data, True, cuts) == expected


def test_sha_engines_are_chosen_by_what_the_processor_offers():
    if platform.machine() not in ("x86_64", "AMD64"):
        # Only x86-64 has a hardware engine; under emulation /proc/cpuinfo
        # describes the host's processor, not the emulated one.
        assert probe.sha1_hardware() is probe.sha256_hardware() is False
        return
    try:
        with open("/proc/cpuinfo") as info:
            flags = set(re.search(r"^flags\s*:(.*)$", info.read(), re.MULTILINE).group(1).split())
    except (OSError, AttributeError):
        pytest.skip("no processor flags to compare with")
    offered = {"sha_ni", "ssse3", "sse4_1"} <= flags
    assert probe.sha1_hardware() == probe.sha256_hardware() == offered


# --- pack entries, zlib, deltas ---------------------------------------------------------------------------

@FUZZ
@given(st.binary(max_size=200), st.integers(min_value=0, max_value=300))
def test_pack_entries_parse_or_are_refused(object_format, body, offset):
    trailer = ID_SIZES[object_format]
    pack = b"PACK\0\0\0\2\0\0\0\1" + body + bytes(trailer)
    entry = probe.parse_pack_entry(pack, offset)
    if entry is not None:
        kind, _size, data, base = entry
        assert kind in (1, 2, 3, 4, 6, 7)
        assert 12 <= offset < data < len(pack) - trailer
        if kind == 6:
            assert 12 <= base < offset
        if kind == 7:  # the base's raw id lies before the data, within the entries
            assert len(base) == hex_size(object_format) and bytes.fromhex(base) in pack[offset:data]


@FUZZ
@given(st.binary(max_size=300), st.integers(min_value=0, max_value=400))
def test_inflation_takes_only_whole_streams_of_the_stated_size(data, size):
    assert probe.inflate(data, size) in (None, zlib.decompress(data) if _inflates(data, size) else None)
    compressed = zlib.compress(data)
    assert probe.inflate(compressed + b"more", len(data)) == data
    assert probe.inflate(compressed, len(data) + 1) is None
    if data:
        assert probe.inflate(compressed, len(data) - 1) is None
        assert probe.inflate(compressed[:-1], len(data)) is None


def _inflates(data: bytes, size: int) -> bool:
    try:
        out = zlib.decompressobj()
        result = out.decompress(data)
        return out.eof and len(result) == size
    except zlib.error:
        return False


copy_op = st.tuples(st.integers(0, 300), st.integers(0, 300)).map(
    lambda pair: bytes([0x80 | 0x01 | 0x02 | 0x10 | 0x20]) + struct.pack("<HH", *pair))
insert_op = st.binary(min_size=0, max_size=20).map(lambda data: bytes([len(data)]) + data)
raw_op = st.binary(min_size=1, max_size=4)


@FUZZ
@given(st.binary(max_size=300), st.lists(st.one_of(copy_op, insert_op, raw_op), max_size=12),
       st.integers(-2, 2), st.integers(-2, 2), st.binary(max_size=40))
def test_deltas_apply_as_dulwich_applies_them(base, ops, base_skew, result_skew, junk):
    body = b"".join(ops)
    # The result size that the instructions would give, give or take.
    produced = 0
    at = 0
    while at < len(body):
        op = body[at]
        at += 1
        if op & 0x80:
            length = 0
            at += (op & 0x0F).bit_count()
            for k in range(3):
                if op & (0x10 << k):
                    length |= (body[at] if at < len(body) else 0) << (8 * k)
                    at += 1
            produced += length or 0x10000
        else:
            produced += op
            at += op
    for delta in (delta_size(max(0, len(base) + base_skew)) + delta_size(max(0, produced + result_skew)) + body,
                  junk, delta_size(len(base)) + junk):
        ours = probe.apply_delta(base, delta)
        # dulwich allocates the result size the delta declares before reading
        # any instruction: gigabytes for random bytes, which the sanitizer
        # build refuses outright. Such a delta can give no result anyway.
        if declared_result_size(delta) > 1 << 20:
            assert ours is None
            continue
        theirs = dulwich_or_error(lambda b, d: b"".join(dulwich_apply_delta(b, d)), base, delta)
        if ours is not None:
            assert ours == theirs


def declared_result_size(delta):
    """The second size of a delta's header (the result's), as far as the bytes spell it."""
    at, sizes = 0, []
    for _ in range(2):
        value = shift = 0
        while at < len(delta):
            byte = delta[at]
            at += 1
            value |= (byte & 0x7F) << shift
            shift += 7
            if not byte & 0x80:
                break
        sizes.append(value)
    return sizes[1]


# --- commits, trees, tags -------------------------------------------------------------------------------

HEX = "0123456789abcdef"
hex_id = st.text(HEX, min_size=40, max_size=40)


def mostly(common, rare, odds=4):
    """`common`, and one time in `odds` `rare`."""
    return st.integers(1, odds).flatmap(lambda i: rare if i == odds else common)


def commit_ids(digits: int):
    """Ids dulwich takes (either case, of either format's length) and ids it raises on; mostly `digits`
    lowercase digits, the other format's length now and then."""
    main = st.text(HEX, min_size=digits, max_size=digits)
    return mostly(main.map(str.encode), odds=10, rare=st.one_of(
        main.map(lambda h: h.upper().encode()), main.map(lambda h: (h[:20] + h[20:].upper()).encode()),
        st.text(HEX, min_size=104 - digits, max_size=104 - digits).map(str.encode),
        st.sampled_from([b"a" * (digits - 1), b"a" * (digits + 1), b"g" * digits, b"a" * digits + b"\r", b"",
                         b" " + b"a" * digits])))


COMMIT_IDS = {digits: commit_ids(digits) for digits in (40, 64)}
person = st.sampled_from([b"Ann <ann@example.com>", b"J\xf6rg <j@x>", b"<>", b"a > b <c>", b"x> y>", b"nobody", b""])
# What Python's int() reads or refuses: signs, whitespace, underscores, digit runs long and short.
digit_run = mostly(st.text("0123456789", min_size=1, max_size=12),
                   st.sampled_from(["9" * 19, "9223372036854775808", "12345678901234567890", "0" * 30 + "7",
                                    "0" * 640 + "1", "1" * 4301, str(100 * (2**1024 - 2**970)),
                                    str(100 * (2**1024 - 2**970) - 1)]))
number = st.builds(
    lambda space, sign, digits, underscores, after: space + sign + digits.replace("0", underscores, 1) + after,
    st.sampled_from(["", "", "", " ", "\t", "\x0b", "\x1c"]),
    st.sampled_from(["", "", "", "+", "-", "--", "+-"]),
    digit_run,
    st.sampled_from(["0", "0", "0", "0_0", "_0", "0__0"]),
    st.sampled_from(["", "", "", " ", "\r", "_", "x"]),
).map(str.encode)
zone = mostly(st.builds(lambda sign, digits: sign + digits, st.sampled_from([b"+", b"-"]),
                        st.sampled_from([b"0000", b"0130", b"05", b"-700"])),
              st.one_of(st.builds(lambda sign, digits: sign + digits, st.sampled_from([b"+", b"-", b"", b"*"]), number),
                        st.sampled_from([b"", b"+", b"+0000\r", b"+00 00"])))
when = mostly(st.sampled_from([b"1700000000 +0000", b"0 -0130", b"1700000000 -0000"]), odds=3, rare=st.one_of(
    st.builds(lambda time, zone: time + b" " + zone, number, zone),
    st.sampled_from([b"1700000000", b"", b" ", b"1  +0000"])))
person_value = st.builds(lambda who, sep, when: who + sep + when, person, mostly(st.just(b" "), st.just(b""), 10), when)
tag_text = st.sampled_from([
    b"object " + b"a" * 40 + b"\ntype commit\ntag t\ntagger A <a> 1 +0000\n\nm",
    b"object " + b"A" * 40 + b"\ntype tree\ntag t\n",
    b"object x\ntype commit\ntag t", b"no space here\nx y", b"a b\n\nmessage", b"object " + b"a" * 40 + b"\nnospace",
    b"object " + b"a" * 40 + b"\ntype commit\ntag t\ntagger A <a> 1 \n\nm",
    b"object " + b"a" * 40 + b"\ntype commit\ntag t\ntagger A <a> x \nnospace",
    b"object " + b"a" * 40 + b"\ntype commit\ntag t\ntagger A <a> 1 +" + b"9" * 320,
    b"object " + b"a" * 40 + b"\ntype commit\ntag t\ntagger A <a> 1 +0000\ntagger B <b> 1 \n",
    b" lead\nobject " + b"a" * 40 + b"\ntype blob\ntag t\n\nbody",
    b"object " + b"a" * 64 + b"\ntype commit\ntag t\ntagger A <a> 1 +0000\n\nm",
])
EXTRA_HEADERS = {digits: st.one_of(
    st.tuples(st.sampled_from([b"tree", b"parent"]), COMMIT_IDS[digits]),
    st.tuples(st.sampled_from([b"author", b"committer"]), person_value),
    st.tuples(st.just(b"encoding"), st.sampled_from([b"UTF-8", b"ISO-8859-1", b""])),
    st.tuples(st.sampled_from([b"gpgsig", b"gpgsig-sha256", b"x-extra", b"Fix", b""]),
              st.binary(max_size=30).map(lambda v: v.replace(b"\n", b"\n "))),
    st.tuples(st.just(b"mergetag"), tag_text.map(lambda v: v.replace(b"\n", b"\n "))),
) for digits in (40, 64)}


@st.composite
def commit_texts(draw, digits: int = 40):
    """Commit texts in the shapes dulwich's parser meets: headers in any order, repeated, continued on the next
    line or without a space, odd times and zones, parts missing, with or without the blank line and message;
    their ids mostly of `digits` digits."""
    commit_id, extra_header = COMMIT_IDS[digits], EXTRA_HEADERS[digits]
    headers = [(b"tree", draw(commit_id))]
    headers += [(b"parent", parent) for parent in draw(st.lists(commit_id, max_size=3))]
    headers += [(b"author", draw(person_value)), (b"committer", draw(person_value))]
    if draw(st.integers(0, 7)) == 0:
        headers = draw(st.permutations(headers))
    for _ in range(draw(st.integers(0, 3))):
        headers.insert(draw(mostly(st.integers(1, len(headers)), st.just(0), 20)), draw(extra_header))
    if draw(st.integers(0, 5)) == 0:
        del headers[draw(st.integers(0, len(headers) - 1))]
    lines = [draw(st.sampled_from([b" dropped\n", b"nospace\n", b"\r\n"]))] if draw(st.integers(0, 12)) == 0 else []
    for key, value in headers:
        if value and draw(st.integers(0, 8)) == 0:  # the value goes on on a continuation line
            cut = draw(st.integers(0, len(value)))
            value = value[:cut] + b"\n " + value[cut:]
        lines.append(key + b" " + value + b"\n")
        if draw(st.integers(0, 10)) == 0:
            lines.append(b" " + draw(st.sampled_from([b"", b"more", b"+0000", b"> 1 +0000"])) + b"\n")
    text = b"".join(lines)
    ending = draw(st.integers(0, 3))
    if ending == 0:
        text = text[:-1]  # the headers run to the end, the last without its newline
    elif ending > 1:
        text += b"\n" + draw(st.binary(max_size=40))
    if draw(st.integers(0, 7)) == 0:
        cut = draw(st.integers(0, len(text)))
        text = text[:cut] + draw(st.binary(max_size=3)) + text[cut:]
    return text


def dulwich_commit(text: bytes, object_format: str = "sha1"):
    """dulwich's reading of a commit's content in a repository of `object_format`: its fields as the probe
    gives them, or the exception's class."""
    try:
        return dulwich_fields(Commit.from_raw_string(1, text, object_format=dulwich_format(object_format)))
    except Exception as error:  # noqa: BLE001 - any exception is an answer to compare
        return type(error)


def ids_held(fields: tuple, object_format: str = "sha1") -> bool:
    """Whether the store holds a commit's ids as dulwich gives them: the format's lowercase hexadecimal digits
    (dulwich takes ids of either length in either format)."""
    return all(len(i) == hex_size(object_format) and i == i.lower() for i in [fields[0], *fields[1]])


@FUZZ
@given(st.one_of(commit_texts(), commit_texts(64), st.binary(max_size=200)))
@example(b"tree " + b"a" * 40 + b"\nauthor A <a> 1 +" + str(100 * (2**1024 - 2**970) - 1).encode() + b"\n\n")
@example(b"tree " + b"a" * 40 + b"\nauthor A <a> 1 +" + str(100 * (2**1024 - 2**970)).encode() + b"\n\n")
@example(b"tree " + b"a" * 40 + b"\nauthor A\n ")
@example(b"tree " + b"a" * 64 + b"\nparent " + b"b" * 40 + b"\nauthor A <a> 1 +0000\n\n")
def test_commits_parse_exactly_when_dulwich_parses_them_and_alike(object_format, text):
    parsed = probe.parse_commit(text)
    theirs = dulwich_commit(text, object_format)
    assert probe.parses_like_dulwich(1, text) is not isinstance(theirs, type)
    if isinstance(theirs, type) or not ids_held(theirs, object_format):
        assert parsed is None
    elif re.search(rb"[0-9](?:_?[0-9]){640}", text):
        # More digits than every setting of the host's int() reads alike: the
        # store may leave the commit to dulwich, where such a number is read.
        assert parsed in (None, theirs)
    else:
        assert parsed == theirs


def tree_texts(id_size: int):
    """Trees of entries whose ids are mostly `id_size` raw bytes."""
    entry = st.builds(
        lambda mode, name, sha: mode + b" " + name + b"\0" + sha,
        st.one_of(st.sampled_from([b"100644", b"40000", b"120000", b"160000", b"100755"]),
                  st.sampled_from([b"040000", b"", b"8", b"+644", b"77777777777", b"1234567"])),
        st.one_of(st.binary(min_size=1, max_size=6).filter(lambda name: b"\0" not in name),
                  st.sampled_from([b"a", b"", b"x/y", b"\xff", b"a b"])),
        st.one_of(st.binary(min_size=id_size, max_size=id_size), st.binary(max_size=id_size - 1)),
    )
    return st.lists(entry, max_size=5).map(b"".join)


@FUZZ
@given(st.one_of(tree_texts(20), tree_texts(32), st.binary(max_size=120)))
def test_trees_the_store_parses_are_what_dulwich_parses(object_format, text):
    parsed = probe.parse_tree(text)
    if parsed is None:
        return
    tree = Tree.from_raw_string(2, text, object_format=dulwich_format(object_format))
    assert parsed == [(name, mode, sha) for name, (mode, sha) in tree._entries.items()]


@FUZZ
@given(st.lists(st.sampled_from([
    b"object " + b"a" * 40, b"object " + b"a" * 64, b"object xyz", b"type commit", b"type blob", b"type nothing",
    b"tag v1", b"tag",
    b"tagger Ann <a> 1700000000 +0000", b"tagger Ann <a> x +0000", b"tagger nobody", b"extra field", b"",
    b" continued", b"nospace",
]), max_size=7), st.binary(max_size=20))
def test_tags_the_store_accepts_dulwich_parses(object_format, lines, message):
    text = b"\n".join(lines) + b"\n" + message
    if probe.plain_tag(text):
        assert (b"object " + b"a" * hex_size(object_format) + b"\n") in b"\n" + text
        Tag.from_raw_string(4, text, object_format=dulwich_format(object_format))


@pytest.fixture(scope="module")
def loose_repo(tmp_path_factory, object_format):
    return fresh_repo(tmp_path_factory.mktemp("loose"), object_format)


@FUZZ
@given(st.sampled_from([1, 2, 3, 4]), st.one_of(commit_texts(), commit_texts(64), st.binary(max_size=100)),
       st.sampled_from(["plain", "size", "type", "garbage", "raw"]))
def test_loose_objects_read_only_as_dulwich_reads_them(loose_repo, object_format, type_num, content, shape):
    git_dir = loose_repo
    name = {1: b"commit", 2: b"tree", 3: b"blob", 4: b"tag"}[type_num]
    hexid = object_id(type_num, content, object_format)
    header = name + b" %d\0" % len(content)
    raw = {"plain": zlib.compress(header + content),
           "size": zlib.compress(name + b" %d\0" % (len(content) + 1) + content),
           "type": zlib.compress(b"blob" + header[len(name):] + content),
           "garbage": zlib.compress(header + content) + b"\0",
           "raw": content}[shape]
    write_loose(git_dir, hexid, raw)
    (result,) = probe.read_objects(str(git_dir), str(git_dir / "objects"), [hexid])
    if isinstance(result, tuple):
        from dulwich.repo import Repo

        repo = Repo(str(git_dir.parent))
        try:
            obj = repo[hexid.encode()]
            assert (obj.type_num, obj.as_raw_string()) == result == (type_num, content)
        finally:
            repo.close()


# --- index files and commit-graphs ---------------------------------------------------------------------

@pytest.fixture(scope="module")
def sample_files(tmp_path_factory, object_format):
    path = tmp_path_factory.mktemp("samples")
    fresh_repo(path, object_format)
    for i in range(12):
        (path / f"d{i % 3}").mkdir(exist_ok=True)
        (path / f"d{i % 3}" / f"file{i}.txt").write_text(f"{i}\n")
        git(path, "add", "-A")
        git(path, "commit", "-q", "-m", f"c{i}")
    git(path, "merge", "-q", "--no-ff", "-m", "m", git(path, "commit-tree", "HEAD^{tree}", "-p", "HEAD~3",
                                                        "-m", "side"))
    git(path, "commit-graph", "write", "--reachable")
    indexes = {}
    for version in (2, 3, 4):
        git(path, "update-index", "--index-version", str(version))
        indexes[version] = (path / ".git/index").read_bytes()
    return indexes, (path / ".git/objects/info/commit-graph").read_bytes()


def with_checksum(data: bytes, object_format: str = "sha1") -> bytes:
    """`data` with its last id's worth of bytes replaced by the format's checksum of the rest."""
    size = ID_SIZES[object_format]
    return data[:-size] + checksum(data[:-size], object_format)


@FUZZ
@given(st.sampled_from([2, 3, 4]), st.lists(st.tuples(st.integers(0, 10_000), st.integers(0, 255)), max_size=4),
       st.integers(0, 10_000), st.booleans())
def test_index_files_the_store_reads_are_what_dulwich_reads(sample_files, object_format, version, changes, cut, fix):
    indexes, _ = sample_files
    data = bytearray(indexes[version])
    for position, value in changes:
        data[position % len(data)] = value
    data = bytes(data)
    if cut % 3 == 0:
        data = data[:cut % (len(data) + 1)]
    if fix and len(data) >= ID_SIZES[object_format]:
        data = with_checksum(data, object_format)
    read = probe.parse_index(data)
    if read is None:
        return
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "index")
        with open(path, "wb") as out:
            out.write(data)
        index = Index(path, object_format=dulwich_format(object_format))
        expected = [(n, None if isinstance(e, ConflictedIndexEntry) else e.sha) for n, e in index.items()]
    assert [(name, sha) for name, sha, *_ in read[1]] == expected


@FUZZ
@given(st.binary(max_size=300))
def test_arbitrary_bytes_are_no_index_file(object_format, data):
    probe.parse_index(data)
    probe.parse_index(b"DIRC\0\0\0\2" + data)
    probe.parse_index(with_checksum(b"DIRC\0\0\0\4" + data + bytes(ID_SIZES[object_format]), object_format))


@FUZZ
@given(st.lists(st.tuples(st.integers(0, 100_000), st.integers(0, 255)), min_size=1, max_size=4), st.booleans(),
       st.integers(0, 100_000))
def test_commit_graphs_that_pass_the_checks_are_consistent(sample_files, object_format, changes, fix, cut):
    _, graph = sample_files
    data = bytearray(graph)
    for position, value in changes:
        data[position % len(data)] = value
    data = bytes(data)
    if cut % 4 == 0:
        data = data[:cut % (len(data) + 1)]
    if fix and len(data) >= ID_SIZES[object_format]:
        data = with_checksum(data, object_format)
    dump = probe.graph_parse([data])
    if dump is not None:
        # A row's parent fields are checked where they are read: what a row gives is inside the graph.
        assert all(p < len(dump) for _, parents in dump if parents is not None for p in parents)
        assert [hexid for hexid, _ in dump] == sorted(hexid for hexid, _ in dump)
    probe.graph_parse([graph, data])


# --- whole packs made at random ------------------------------------------------------------------------

def simple_delta(base: bytes, target: bytes) -> bytes:
    """A delta that copies the common prefix of base and target and inserts the rest."""
    common = 0
    while common < min(len(base), len(target), 0xFFFF) and base[common] == target[common]:
        common += 1
    out = bytearray(delta_size(len(base)) + delta_size(len(target)))
    if common:
        out += bytes([0x80 | 0x10 | 0x20]) + struct.pack("<H", common)
    rest = target[common:]
    for at in range(0, len(rest), 127):
        piece = rest[at:at + 127]
        out += bytes([len(piece)]) + piece
    return bytes(out)


@st.composite
def random_packs(draw):
    """Packs of up to six entries, as plans that `pack_of` makes in either object format: whole objects,
    offset and reference deltas of an earlier one, and junk deltas filed under an id of nothing; and bit
    flips for the pack. Each planned entry is (kind, base entry or None, type, content, raw bytes of the
    junk id or None); a delta's content is its target."""
    plan = []
    for _ in range(draw(st.integers(1, 6))):
        kind = draw(st.sampled_from(["whole", "ofs", "ref", "junk"]))
        bases = [k for k, entry in enumerate(plan) if not entry[0].startswith("junk")]
        if kind == "whole" or not bases:
            plan.append(("whole", None, draw(st.sampled_from([1, 2, 3, 4])), draw(st.binary(max_size=60)), None))
            continue
        base = draw(st.sampled_from(bases))
        _, _, type_num, content, _ = plan[base]
        if kind == "junk":
            kind = draw(st.sampled_from(["junk ref", "junk ofs"]))
            plan.append((kind, base, type_num, draw(st.binary(max_size=30)), draw(st.binary(min_size=32, max_size=32))))
        else:
            target = draw(st.binary(max_size=20)) + content[draw(st.integers(0, len(content))):]
            plan.append((kind, base, type_num, target, None))
    flips = draw(st.lists(st.tuples(st.integers(0, 10_000), st.integers(1, 255)), max_size=2))
    return plan, flips


def pack_of(plan, object_format: str) -> list:
    """The entries of a planned pack in `object_format`: (id, raw entry, resolved (type, content) or None for
    junk), an entry whose id is already there left out (a base named twice is its first copy)."""
    from store_helpers import pack_entry

    entries, offsets, placed = [], [], []  # placed: the entry each planned one stands as
    for kind, base, type_num, data, junk_id in plan:
        if kind == "whole":
            entry = (object_id(type_num, data, object_format), pack_entry(type_num, data), (type_num, data))
        else:
            base_id, _, (_, base_content) = entries[placed[base]]
            delta = data if kind.startswith("junk") else simple_delta(base_content, data)
            offset = 12 + sum(len(raw) for _, raw, _ in entries)
            if kind.endswith("ref"):
                raw = pack_entry(7, delta, base=bytes.fromhex(base_id))
            else:
                raw = pack_entry(6, delta, base=offsets[placed[base]], offset=offset)
            if kind.startswith("junk"):
                entry = (junk_id[:ID_SIZES[object_format]].hex(), raw, None)
            else:
                entry = (object_id(type_num, data, object_format), raw, (type_num, data))
        known = [hexid for hexid, _, _ in entries]
        if entry[0] in known:
            placed.append(known.index(entry[0]))
            continue
        placed.append(len(entries))
        offsets.append(12 + sum(len(raw) for _, raw, _ in entries))
        entries.append(entry)
    return entries


@pytest.fixture
def pack_repo(tmp_path_factory, object_format):
    return fresh_repo(tmp_path_factory.mktemp("packs"), object_format)


def assert_found_as_dulwich_reads(pack_repo, ids: list[str], results: list) -> None:
    """Every object the store found hashes to its id and is what dulwich reads under it."""
    from dulwich.repo import Repo

    found = [(hexid, result) for hexid, result in zip(ids, results) if isinstance(result, tuple)]
    if found:
        repo = Repo(str(pack_repo.parent))
        try:
            for hexid, result in found:
                assert object_id(*result, format_of(hexid)) == hexid
                assert repo.object_store.get_raw(hexid.encode()) == result
        finally:
            repo.close()


@FUZZ
@given(random_packs())
def test_random_packs_read_only_as_dulwich_reads_them(pack_repo, object_format, pack):
    import shutil

    from store_helpers import write_pack

    plan, flips = pack
    entries = pack_of(plan, object_format)
    pack_dir = pack_repo / "objects/pack"
    shutil.rmtree(pack_dir, ignore_errors=True)
    pack_path, _, _ = write_pack(pack_dir, [(hexid, raw) for hexid, raw, _ in entries], object_format=object_format)
    if flips:
        data = bytearray(pack_path.read_bytes())
        for position, mask in flips:
            data[position % len(data)] ^= mask
        pack_path.write_bytes(bytes(data))
    ids = [hexid for hexid, _, _ in entries]
    results = probe.read_objects(str(pack_repo), str(pack_repo / "objects"), ids)
    if not flips:
        for (hexid, _, expected), result in zip(entries, results):
            if expected is not None:
                assert result == expected, hexid
    assert_found_as_dulwich_reads(pack_repo, ids, results)


WHOLE_X = [("whole", None, 3, b"x", None)]


@FUZZ
@given(random_packs(), st.sampled_from([1, 2, 3]),
       st.lists(st.tuples(st.integers(0, 1400), st.integers(1, 255)), max_size=3),
       st.one_of(st.none(), st.integers(0, 1400)))
@example((WHOLE_X, []), 3, [(11, 1)], None)
@example((WHOLE_X, []), 3, [(11, 2)], None)
@example((WHOLE_X, []), 3, [], 1070)
@example((WHOLE_X, []), 2, [], 1100)  # an index of one object: SHA-1's whole size, inside SHA-256's trailer
@example((WHOLE_X, []), 2, [], 1104)  # SHA-256's pack checksum whole, its index checksum gone
def test_pack_indexes_of_every_version_read_only_as_dulwich_reads_them(pack_repo, object_format, pack, version,
                                                                      flips, cut):
    import shutil

    from store_helpers import write_pack, write_version_3

    plan, _ = pack
    entries = pack_of(plan, object_format)
    pack_dir = pack_repo / "objects/pack"
    shutil.rmtree(pack_dir, ignore_errors=True)
    _, idx, _ = write_pack(pack_dir, [(hexid, raw) for hexid, raw, _ in entries], idx_version=min(version, 2),
                           object_format=object_format)
    if version == 3:
        write_version_3(idx, object_format=object_format)
    data = bytearray(idx.read_bytes())
    for position, mask in flips:
        data[position % len(data)] ^= mask
    idx.write_bytes(bytes(data[:cut]))
    ids = [hexid for hexid, _, _ in entries]
    results = probe.read_objects(str(pack_repo), str(pack_repo / "objects"), ids)
    # In SHA-256 dulwich reads no version-1 index, and refuses the pack of a version-3 one (tests/test_store.py).
    if not flips and cut is None and (version == 2 or object_format == "sha1"):
        for (hexid, _, expected), result in zip(entries, results):
            if expected is not None:
                assert result == expected, hexid
    # Only what the store found is asked of dulwich: a damaged fanout can make its lookup run away.
    assert_found_as_dulwich_reads(pack_repo, ids, results)


# --- packed-refs ------------------------------------------------------------------------------------------

VALID_REF_NAMES = [b"refs/heads/main", b"refs/heads/a", b"refs/heads/a/b", b"refs/heads/a-b", b"refs/tags/v1",
                   b"refs/tags/v1.0", b"refs/remotes/origin/main", "refs/heads/f\u00e9".encode(), b"refs/heads/\xff",
                   b"refs/heads/at@sign", b"refs/stash"]
REFUSED_REF_NAMES = [b"refs/heads/x.lock", b"refs/heads/.hidden", b"refs/heads/a..b", b"refs/heads/sp ace", b"HEAD",
                     b"refs/heads/with@{1}", b"@", b"refs/heads/a//b", b"refs/heads/end.", b"refs/heads/",
                     b"refs/heads/back\\slash", b"refs/heads/tab\t"]
REF_NAMES = VALID_REF_NAMES + REFUSED_REF_NAMES
HEX_IDS = st.binary(min_size=20, max_size=20).map(lambda raw: raw.hex().encode())
HEADERS = [b"", b"# pack-refs with: peeled fully-peeled sorted \n", b"# pack-refs with: peeled\n",
           b"# pack-refs with: sorted\n", b"# pack-refs with:peeled\n", b"# a comment\n",
           b"# pack-refs with: fully-peeled\n", b"# pack-refs with: peeled  \r\n"]
ODD_LINES = st.one_of(
    st.sampled_from([b"\n", b"# comment\n", b"^" + b"a" * 40 + b"\n", b"A" * 40 + b" refs/heads/up\n",
                     b"a" * 64 + b" refs/heads/long\n", b"a" * 39 + b" refs/heads/short\n",
                     b"a" * 40 + b" refs/heads/crlf\r\n", b"a" * 40 + b"  refs/heads/two-spaces\n",
                     b"a" * 40 + b" refs/heads/x extra\n", b"a" * 40 + b"\n"]),
    st.binary(max_size=60))


@st.composite
def packed_refs_files(draw):
    """A packed-refs file: a header, ref lines (sorted or not, some peeled) and perhaps damage.
    Returns the text and whether every line is one of the plain forms."""
    header = draw(st.sampled_from(HEADERS))
    if draw(st.booleans()):
        names = st.sampled_from(VALID_REF_NAMES)
    else:
        tails = st.one_of(st.text("ab/.-_\u00e9@{", max_size=8).map(str.encode), st.binary(max_size=8))
        names = st.one_of(st.sampled_from(REF_NAMES), tails.map(lambda tail: b"refs/heads/" + tail))
    records = draw(st.lists(st.tuples(names, HEX_IDS, st.one_of(st.none(), HEX_IDS)), max_size=12))
    if draw(st.booleans()):
        records.sort(key=lambda record: record[0])
    lines = []
    for name, hexid, peeled in records:
        lines.append(hexid + b" " + name + b"\n")
        if peeled is not None:
            lines.append(b"^" + peeled + b"\n")
    damaged = draw(st.integers(0, 2)) == 0
    odd = draw(st.lists(st.tuples(st.integers(0, len(lines)), ODD_LINES), max_size=2)) if damaged else []
    for at, line in odd:
        lines.insert(at, line)
    text = header + b"".join(lines)
    cut = draw(st.integers(0, max(0, len(text) - 1))) if damaged and draw(st.booleans()) else None
    if cut is not None:
        text = text[:cut]
    peeled_header = header.startswith(b"# pack-refs") and b" peeled" in header.rstrip()
    plain = (bool(text) and not odd and cut is None
             and all(check_ref_format(name) for name, _, _ in records)
             and (peeled_header or all(peeled is None for _, _, peeled in records)))
    return text, plain


@pytest.fixture(scope="module")
def packed_refs_dir(tmp_path_factory):
    return tmp_path_factory.mktemp("packed-refs")


@FUZZ
@given(packed_refs_files(), st.lists(st.sampled_from(REF_NAMES), max_size=4),
       st.sampled_from([b"", b"refs/heads/", b"refs/heads/a", b"refs/tags/", b"refs/remotes/", b"refs/heads/\xff"]))
@example((b"# pack-refs with: peeled fully-peeled sorted \n" + b"a" * 40 + b" refs/heads/a\n^" + b"b" * 40 + b"\n"
          + b"c" * 40 + b" refs/heads/b\n", True), [b"refs/heads/a"], b"refs/heads/")
@example((b"a" * 40 + b" refs/heads/b\n" + b"c" * 40 + b" refs/heads/a\n" + b"d" * 40 + b" refs/heads/b\n", True),
         [b"refs/heads/b"], b"")
def test_packed_refs_read_as_dulwich_reads_them(packed_refs_dir, file, extra_names, prefix):
    text, plain = file
    (packed_refs_dir / "packed-refs").write_bytes(text)
    # A new container reads the file afresh.
    expected = dulwich_or_error(DiskRefsContainer(str(packed_refs_dir)).get_packed_refs)
    names = sorted(set(extra_names) | (set(expected) if isinstance(expected, dict) else set()))
    answer = probe.packed_refs(text, names, prefix)
    if plain:
        assert answer is not None
    if answer is None:
        return
    # What the reading takes, dulwich takes too, and reads alike.
    assert isinstance(expected, dict)
    found, listed = answer
    assert found == {name: expected[name] for name in names if name in expected}
    assert listed == sorted((name, hexid) for name, hexid in expected.items() if name.startswith(prefix))
