"""The native object store against dulwich, on repositories made with git.

Whatever the store reports as found must be exactly what dulwich reads for
the same id; everything else it leaves to dulwich ("missing" or
"declined"). The probe module `_git_store_probe` is the window on the store.
Tests that take `object_format` run on SHA-1 and on SHA-256 repositories, the
probe reading in the repository's format.
"""

from __future__ import annotations

import functools
import hashlib
import itertools
import os
import random
import shutil
import struct
import zlib
from pathlib import Path

import _git_store_probe as probe
import git_service_cython as gsc
import pytest
from dulwich.errors import ChecksumMismatch
from dulwich.index import ConflictedIndexEntry, Index
from dulwich.objects import Commit, Tree
from dulwich.repo import Repo
from roads import library_service, outcome
from store_helpers import (
    FORMAT_NUMBERS,
    ID_SIZES,
    all_object_ids,
    build_history,
    checksum,
    commit_shapes,
    delta_size,
    dulwich_fields,
    dulwich_format,
    dulwich_reading,
    format_of,
    fresh_repo,
    git,
    hex_size,
    loose_path,
    object_id,
    pack_entry,
    true_objects,
    write_loose,
    write_pack,
    write_version_3,
)

FOUND_IN = ("missing", "declined")

# Every test reads through the probe in its repository's object format.
pytestmark = pytest.mark.usefixtures("probe_format")


def read_all(git_dir: Path, ids: list[str], **options) -> dict[str, object]:
    args = [options.get("loose_limit", -1), options.get("cache_entries", -1)]
    return dict(zip(ids, probe.read_objects(str(git_dir), str(git_dir / "objects"), ids, *args)))


def assert_found_means_dulwich(git_dir: Path, results: dict[str, object]) -> None:
    """Every Found answer equals dulwich's reading of the same id."""
    repo = Repo(str(git_dir.parent if git_dir.name == ".git" else git_dir))
    try:
        for hexid, result in results.items():
            if isinstance(result, tuple):
                assert dulwich_reading(repo, hexid) == result, hexid
                assert object_id(*result, format_of(hexid)) == hexid
            else:
                assert result in FOUND_IN
    finally:
        repo.close()


# --- a repository with every kind of object --------------------------------------------------------------

@pytest.fixture(scope="module")
def history(tmp_path_factory, object_format):
    root = tmp_path_factory.mktemp("history")
    notable = build_history(root / "loose", object_format)
    variants = {"loose": root / "loose"}
    for name, args in (("ofs", ["repack", "-adq"]),
                       ("ref", ["-c", "repack.useDeltaBaseOffset=false", "repack", "-adfq"]),
                       ("v1", ["-c", "pack.indexVersion=1", "repack", "-adfq"])):
        shutil.copytree(root / "loose", root / name, symlinks=True)
        git(root / name, *args)
    # Half packed, half loose: packs first, then the loose file.
    shutil.copytree(root / "ofs", root / "mixed", symlinks=True)
    (root / "mixed" / "late.txt").write_text("written after the repack\n")
    git(root / "mixed", "add", "-A")
    git(root / "mixed", "commit", "-q", "-m", "late")
    variants["mixed"] = root / "mixed"
    variants.update({name: root / name for name in ("ofs", "ref", "v1")})
    return variants, notable, true_objects(root / "mixed")


def pack_entry_kinds(path: Path) -> set[int]:
    """The kinds of the entries of a repository's packs as the probe parses them (6 and 7 for deltas);
    each reference delta's base is an id of the same pack."""
    kinds = set()
    for idx in (path / ".git/objects/pack").glob("*.idx"):
        data = idx.with_suffix(".pack").read_bytes()
        listed = [line.split() for line in git(path, "verify-pack", "-v", str(idx)).splitlines()]
        entries = {fields[0]: int(fields[4]) for fields in listed if fields[1:2] in (["commit"], ["tree"], ["blob"],
                                                                                      ["tag"])}
        for offset in entries.values():
            kind, _, _, base = probe.parse_pack_entry(data, offset)
            kinds.add(kind)
            if kind == 7:
                assert base in entries
    return kinds


@pytest.mark.parametrize("variant", ["loose", "ofs", "ref", "v1", "mixed"])
def test_every_object_reads_as_git_and_dulwich_read_it(history, variant, object_format):
    variants, notable, truth = history
    path = variants[variant]
    ids = all_object_ids(path)
    results = read_all(path / ".git", ids)
    assert_found_means_dulwich(path / ".git", results)
    declined = {hexid for hexid, result in results.items() if not isinstance(result, tuple)}
    if variant == "v1" and object_format == "sha256":
        # dulwich reads a version-1 index as SHA-1 only (it asserts): every packed object is its to read.
        assert declined == set(ids)
        with Repo(str(path)) as repo:
            assert {dulwich_reading(repo, hexid) for hexid in ids} == {AssertionError}
        return
    # The store declines only the commit outside its plain shape, and only
    # where dulwich parses as it reads (loose objects).
    assert declined <= {notable["no_blank"]}
    for hexid in ids:
        if hexid not in declined:
            assert results[hexid] == truth[hexid]
    if variant in ("ref", "ofs"):
        kinds = git(path, "verify-pack", "-v", *map(str, (path / ".git/objects/pack").glob("*.idx")))
        assert "chain length" in kinds
        assert {"ref": 7, "ofs": 6}[variant] in pack_entry_kinds(path)


def test_missing_objects_are_missing(history, object_format):
    variants, _, _ = history
    digits = hex_size(object_format)
    for name, path in variants.items():
        results = read_all(path / ".git", ["0" * digits, "f" * digits, ("1234567890abcdef" * 4)[:digits]])
        # A version-1 index in a SHA-256 repository is dulwich's to read, even for what it does not hold.
        assert set(results.values()) == {"declined" if (name, object_format) == ("v1", "sha256") else "missing"}


def python_reading_of_id(text: bytes) -> tuple[bool, bool, bytes | None]:
    """What the store's id readers must answer: lowercase digits of a SHA-1 or a SHA-256 id, and the raw id that
    40 or 64 digits of either case spell."""
    lowercase = all(byte in b"0123456789abcdef" for byte in text)
    either_case = all(byte in b"0123456789abcdefABCDEF" for byte in text)
    raw = bytes.fromhex(text.decode("latin-1")) if len(text) in (40, 64) and either_case else None
    return lowercase and len(text) == 40, lowercase and len(text) == 64, raw


def test_ids_are_read_and_spelt_as_python_reads_and_spells_them():
    # The readers take eight digits at a time: every byte value at every
    # place of an id (and of texts one digit too short or too long) must be
    # judged on its own, whatever stands beside it.
    rng = random.Random(5)
    for size in (40, 64, 39, 41, 63, 65, 0, 8):
        digits = bytearray(rng.randbytes(size // 2 + 1).hex()[:size].encode())
        for place in range(size):
            for byte in range(256):
                text = bytes(digits[:place]) + bytes([byte]) + bytes(digits[place + 1:])
                assert probe.hex_id(text) == python_reading_of_id(text), text
    # Mixed cases and the bytes on either side of each digit range, anywhere.
    near = b"0123456789abcdefABCDEF/:@G`g\x00\x7f\x80\xb0\xe1\xff"
    for _ in range(5000):
        text = bytes(rng.choice(near) for _ in range(rng.choice((40, 64))))
        assert probe.hex_id(text) == python_reading_of_id(text), text
    for raw in [bytes(range(20)), bytes(range(224, 256)), b"\x00" * 32, b"\xff" * 20,
                *(rng.randbytes(rng.choice((20, 32))) for _ in range(2000))]:
        assert probe.spell_id(raw) == raw.hex()
        assert probe.hex_id(raw.hex().encode()) == (len(raw) == 20, len(raw) == 32, raw)
        assert probe.hex_id(raw.hex().upper().encode())[2] == raw


def test_commits_parse_as_dulwich_parses_them(history):
    variants, notable, truth = history
    repo = Repo(str(variants["mixed"]))
    try:
        for hexid, (type_num, content) in truth.items():
            if type_num != 1:
                continue
            assert probe.parse_commit(content) == dulwich_fields(repo[hexid.encode()])
        assert probe.parse_commit(truth[notable["no_blank"]][1])[4] is None
        octopus = probe.parse_commit(truth[notable["octopus"]][1])
        assert len(octopus[1]) == 4
        assert probe.parse_commit(truth[notable["latin"]][1])[2] == b"J\xf6rg <j@example.com>"
    finally:
        repo.close()


def shaped_commits(path: Path, texts: dict[str, bytes], packed: bool, object_format: str = "sha1") -> dict[str, str]:
    """Writes the commit texts into a new repository of `object_format`, loose or in a pack; their ids by name."""
    git_dir = fresh_repo(path, object_format)
    ids = {name: object_id(1, text, object_format) for name, text in texts.items()}
    if packed:
        write_pack(git_dir / "objects" / "pack", [(ids[name], pack_entry(1, text)) for name, text in texts.items()],
                   object_format=object_format)
    else:
        for name, text in texts.items():
            write_loose(git_dir, ids[name], zlib.compress(b"commit %d\0" % len(text) + text))
    return ids


@pytest.mark.parametrize("packed", [False, True], ids=["loose", "packed"])
def test_commits_in_every_shape_dulwich_reads_parse_as_it_reads_them(tmp_path, packed, object_format):
    digits = hex_size(object_format)
    texts = commit_shapes("a" * digits, "b" * digits)
    ids = shaped_commits(tmp_path, texts, packed, object_format)
    results = read_all(tmp_path / ".git", list(ids.values()))
    with Repo(str(tmp_path)) as repo:
        for name, hexid in ids.items():
            assert results[hexid] == (1, texts[name]), name
            assert probe.parse_commit(texts[name]) == dulwich_fields(repo[hexid.encode()]), name
    overflowing = probe.parse_commit(texts["twenty-digit time"])
    assert overflowing[3] == "overflows"
    assert probe.parse_commit(texts["no committer"])[3] is None


def test_commits_dulwich_raises_on_or_the_store_cannot_hold_are_left_to_dulwich(tmp_path, object_format):
    digits = hex_size(object_format)
    tree, parent = "a" * digits, "b" * digits
    people = b"author A <a@x> 1 +0000\ncommitter C <c@x> 2 +0000\n"
    tag = b"object %s\ntype commit\ntag v1\ntagger T <t@x> 3 %s\n\nsigned" % (parent.encode(), b"%s")

    def with_zone(zone: bytes) -> bytes:
        return b"tree %s\n%s\n" % (tree.encode(), people.replace(b" +0000\nc", b" " + zone + b"\nc"))

    texts = {
        # dulwich parses these, but hands out ids the store holds only as the format's lowercase digits.
        "uppercase tree": b"tree %s\n%s\n" % (tree.upper().encode(), people),
        "mixed-case parent": b"tree %s\nparent %s\n%s\n" % (tree.encode(), b"bB" * (digits // 2), people),
        "parent of the other format": b"tree %s\nparent %s\n%s\n" % (tree.encode(), b"c" * (104 - digits), people),
        "a zone of 643 digits": with_zone(b"+" + b"0" * 640 + b"100"),
        # dulwich raises on these.
        "empty zone": with_zone(b""),
        "zone too large for a float": with_zone(b"+" + b"9" * 320),
        "header without a space": b"tree %s\n%sgpgsig\n\n" % (tree.encode(), people),
        "continued tree": b"tree %s\n more\n%s\n" % (tree.encode(), people),
        "mergetag whose tagger has no zone": b"tree %s\n%smergetag %s\n\n" % (
            tree.encode(), people, (tag % b"").replace(b"\n", b"\n ")),
        "parent not a hex id": b"tree %s\nparent %s\n%s\n" % (tree.encode(), b"g" * digits, people),
    }
    ids = shaped_commits(tmp_path / "loose", texts, packed=False, object_format=object_format)
    results = read_all(tmp_path / "loose" / ".git", list(ids.values()))
    with Repo(str(tmp_path / "loose")) as repo:
        for name, text in texts.items():
            assert probe.parse_commit(text) is None, name
            raises = isinstance(dulwich_reading(repo, ids[name]), type)
            assert probe.parses_like_dulwich(1, text) is not raises, name
            # A loose object is Found only when dulwich parses it as it reads it.
            assert isinstance(results[ids[name]], tuple) is not raises, name
            assert raises is (list(texts).index(name) >= 4), name
    # A mergetag that does not parse as a tag for other reasons is kept as a header.
    untyped = (tag % b"+0000").replace(b"type commit", b"type nothing")
    kept = b"tree %s\n%smergetag %s\n\nm" % (tree.encode(), people, untyped.replace(b"\n", b"\n "))
    assert probe.parse_commit(kept) == dulwich_fields(
        Commit.from_raw_string(1, kept, object_format=dulwich_format(object_format)))


def test_trees_parse_and_flatten_as_dulwich_reads_them(history, object_format):
    variants, _, truth = history
    path = variants["ofs"]
    repo = Repo(str(path))
    try:
        for (type_num, content) in truth.values():
            if type_num == 2:
                tree = Tree.from_raw_string(2, content, object_format=dulwich_format(object_format))
                assert probe.parse_tree(content) == [(name, mode, sha) for name, (mode, sha) in tree._entries.items()]

        def dulwich_flat(tree_id, prefix=b""):
            for name, mode, sha in repo[tree_id].iteritems():
                full = prefix + b"/" + name if prefix else name
                if mode & 0o170000 == 0o040000:
                    yield from dulwich_flat(sha, full)
                else:
                    yield full, mode, sha

        for ref in ("main", "a", "main~10"):
            tree_id = git(path, "rev-parse", f"{ref}^{{tree}}")
            flat = probe.flatten_tree(str(path / ".git"), str(path / ".git/objects"), tree_id)
            assert flat == list(dulwich_flat(tree_id.encode()))
    finally:
        repo.close()


def test_flatten_tree_reports_a_subtree_it_cannot_read(tmp_path, object_format):
    git_dir = fresh_repo(tmp_path / "r", object_format)
    blob = git(tmp_path / "r", "hash-object", "-w", "--stdin", input=b"x")
    inner = git(tmp_path / "r", "mktree", input=f"100644 blob {blob}\tf\n".encode())
    outer = git(tmp_path / "r", "mktree", input=f"040000 tree {inner}\td\n100644 blob {blob}\tg\n".encode())
    objects = str(git_dir / "objects")
    assert probe.flatten_tree(str(git_dir), objects, outer) == [(b"d/f", 0o100644, blob.encode()),
                                                                (b"g", 0o100644, blob.encode())]
    loose_path(git_dir, inner).unlink()
    assert probe.flatten_tree(str(git_dir), objects, outer) is None


def test_a_tree_nested_thousands_deep_flattens_without_recursion(tmp_path):
    git_dir = fresh_repo(tmp_path / "r")
    blob = git(tmp_path / "r", "hash-object", "-w", "--stdin", input=b"deep")
    tree_id = git(tmp_path / "r", "mktree", input=f"100644 blob {blob}\tleaf\n".encode())
    for _ in range(3000):
        raw = b"40000 d\0" + bytes.fromhex(tree_id)
        tree_id = object_id(2, raw)
        write_loose(git_dir, tree_id, zlib.compress(b"tree %d\0" % len(raw) + raw))
    flat = probe.flatten_tree(str(git_dir), str(git_dir / "objects"), tree_id)
    assert flat == [(b"d/" * 3000 + b"leaf", 0o100644, blob.encode())]


# --- deltas ----------------------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def deep_chains(tmp_path_factory):
    path = tmp_path_factory.mktemp("deep")
    fresh_repo(path)
    blobs = []
    lines = [f"{k}: a line that stays the same\n" for k in range(200)]
    head = None
    for i in range(300):
        # One file edited again and again, each time somewhere else: every
        # version is closest to the one before it, so git chains them.
        lines.insert((i * 7919) % len(lines), f"edit {i}\n")
        blobs.append(git(path, "hash-object", "-w", "--stdin", input="".join(lines).encode()))
        tree = git(path, "mktree", input=f"100644 blob {blobs[-1]}\tedited.txt\n".encode())
        head = git(path, "commit-tree", tree, "-m", f"edit {i}", *(["-p", head] if head else []))
    git(path, "update-ref", "refs/heads/main", head)
    git(path, "repack", "-adfq", "--depth=250", "--window=250")
    return path, blobs


@pytest.mark.parametrize("cache_entries", [0, 3, -1])
def test_deep_delta_chains_resolve_with_any_base_cache(deep_chains, cache_entries):
    path, blobs = deep_chains
    depths = [int(line.split()[5]) for line in
              git(path, "verify-pack", "-v", *map(str, (path / ".git/objects/pack").glob("*.idx"))).splitlines()
              if line.split()[1:2] == ["blob"] and len(line.split()) == 7]
    assert max(depths) > 100
    results = read_all(path / ".git", blobs, cache_entries=cache_entries)
    truth = true_objects(path)
    assert all(results[b] == truth[b] for b in blobs)


def test_objects_over_sixteen_mebibytes_read_loose_and_packed(tmp_path):
    block = hashlib.sha256(b"seed").digest() * 32
    content = b"".join(block[i % 512:] + block[:i % 512] + b"%d\n" % i for i in range(17_000))
    assert len(content) > 16 << 20
    git_dir = fresh_repo(tmp_path / "big")
    hexid = git(tmp_path / "big", "hash-object", "-w", "--stdin", input=content)
    assert read_all(git_dir, [hexid])[hexid] == (3, content)
    tree = git(tmp_path / "big", "mktree", input=f"100644 blob {hexid}\tbig\n".encode())
    git(tmp_path / "big", "update-ref", "refs/heads/main", git(tmp_path / "big", "commit-tree", tree, "-m", "big"))
    git(tmp_path / "big", "repack", "-adq")
    assert not loose_path(git_dir, hexid).exists()
    assert read_all(git_dir, [hexid])[hexid] == (3, content)
    # dulwich's loose size limit is honoured: past it the store leaves the object to dulwich.
    write_loose(git_dir, object_id(3, b"x" * 100), zlib.compress(b"blob 100\0" + b"x" * 100))
    small = object_id(3, b"x" * 100)
    # The limit counts the header too, as dulwich's does: 9 + 100 bytes.
    assert read_all(git_dir, [small], loose_limit=108)[small] == "declined"
    assert read_all(git_dir, [small], loose_limit=109)[small] == (3, b"x" * 100)


def test_deltas_build_no_object_over_the_store_bound():
    # Each 4-byte copy instruction repeats up to 16 MiB of the base: 17 of
    # them ask for 272 MiB, more than the store builds; two are built.
    base = bytes(16 << 20)
    copy = bytes([0xF0, 0xFF, 0xFF, 0xFF])  # offset 0, size 0xFFFFFF
    for copies, builds in ((17, False), (2, True)):
        delta = delta_size(len(base)) + delta_size(copies * 0xFFFFFF) + copy * copies
        result = probe.apply_delta(base, delta)
        assert (result is not None) == builds
        if builds:
            assert len(result) == copies * 0xFFFFFF
        del result


def test_reference_and_offset_deltas_made_by_hand(tmp_path, object_format):
    base = b"the base object, long enough to copy from\n" * 4
    target = base[:40] + b"inserted" + base[100:]
    delta = (delta_size(len(base)) + delta_size(len(target))
             + bytes([0x90, 40]) + bytes([8]) + b"inserted" + bytes([0x91, 100, len(base) - 100]))
    base_id, target_id = object_id(3, base, object_format), object_id(3, target, object_format)
    for kind in (6, 7):
        git_dir = fresh_repo(tmp_path / f"kind{kind}", object_format)
        first = pack_entry(3, base)
        second = pack_entry(kind, delta, base=12 if kind == 6 else bytes.fromhex(base_id), offset=12 + len(first))
        pack, _, _ = write_pack(git_dir / "objects/pack", [(base_id, first), (target_id, second)],
                                object_format=object_format)
        # A reference delta names its base by the format's whole raw id.
        assert probe.parse_pack_entry(pack.read_bytes(), 12 + len(first))[3] == (base_id if kind == 7 else 12)
        results = read_all(git_dir, [base_id, target_id])
        assert results == {base_id: (3, base), target_id: (3, target)}
        assert_found_means_dulwich(git_dir, results)


def test_an_offset_delta_of_distance_zero_is_left_to_dulwich(tmp_path):
    git_dir = fresh_repo(tmp_path / "r")
    raw = b"\x65" + b"\x00" + zlib.compress(b"\x05\x05\x91\x00\x05")  # offset delta, size 5, distance 0
    hexid = "ab" * 20
    write_pack(git_dir / "objects/pack", [(hexid, raw)])
    assert read_all(git_dir, [hexid])[hexid] == "declined"
    assert probe.parse_pack_entry(b"PACK" + bytes(8) + raw + bytes(20), 12) is None
    repo = Repo(str(tmp_path / "r"))
    try:
        # dulwich refuses it too (older releases looped forever on it).
        assert dulwich_reading(repo, hexid).__name__ == "ApplyDeltaError"
    finally:
        repo.close()


def test_delta_cycles_and_bases_elsewhere_are_left_to_dulwich(tmp_path, object_format):
    git_dir = fresh_repo(tmp_path / "r", object_format)
    delta = delta_size(5) + delta_size(5) + bytes([0x91, 0, 5])
    size = ID_SIZES[object_format]
    one, two, other = "11" * size, "22" * size, "33" * size
    entries = [(one, pack_entry(7, delta, base=bytes.fromhex(two))),
               (two, pack_entry(7, delta, base=bytes.fromhex(one))),
               (other, pack_entry(7, delta, base=bytes.fromhex("44" * size)))]
    write_pack(git_dir / "objects/pack", entries, object_format=object_format)
    assert set(read_all(git_dir, [one, two, other]).values()) == {"declined"}


# --- alternates ------------------------------------------------------------------------------------------

def test_objects_of_alternates_read_through_the_chain(history, tmp_path, object_format):
    variants, _, truth = history
    shared = tmp_path / "shared"
    git(tmp_path, "clone", "-q", "--shared", str(variants["ofs"]), str(shared))
    assert (shared / ".git/objects/info/alternates").exists()
    missing = "5" * hex_size(object_format)
    results = read_all(shared / ".git", [*truth, missing])
    assert_found_means_dulwich(shared / ".git", results)
    if object_format == "sha1":
        assert sum(isinstance(result, tuple) for result in results.values()) > 0.9 * len(truth)
        assert results[missing] == "missing"
        return
    # dulwich opens an alternate as a store of SHA-1 ids and raises on a SHA-256 id that reaches it,
    # found there or not: whatever the repository does not hold itself is dulwich's to read.
    assert set(results.values()) == {"declined"}
    with Repo(str(shared)) as repo:
        assert {dulwich_reading(repo, hexid) for hexid in results} == {AssertionError}


def test_alternates_stop_at_five_levels_and_at_cycles(tmp_path):
    dirs = [fresh_repo(tmp_path / f"r{i}") for i in range(8)]
    for near, far in itertools.pairwise(dirs):
        (near / "objects/info/alternates").write_text(f"# a comment\n{far / 'objects'}\n")
    ids = []
    for level, git_dir in enumerate(dirs):
        ids.append(git(git_dir.parent, "hash-object", "-w", "--stdin", input=b"level %d\n" % level))
    results = read_all(dirs[0], ids)
    assert [isinstance(results[hexid], tuple) for hexid in ids] == [True] * 6 + [False] * 2
    assert results[ids[6]] == "missing"
    # A line that leads back to a directory on the way there is where dulwich, which looks into it
    # again and again, raises RecursionError: a search that gets that far is left to it.
    (dirs[2] / "objects/info/alternates").write_text(f"{dirs[0] / 'objects'}\n../../../r1/.git/objects\n")
    results = read_all(dirs[0], [ids[1], ids[2], ids[3], "5" * 40])
    assert results[ids[1]][0] == 3 and results[ids[2]][0] == 3
    assert results[ids[3]] == "declined" and results["5" * 40] == "declined"
    # A line naming a directory met elsewhere, not on the way, is looked into once.
    (dirs[0] / "objects/info/alternates").write_text(f"{dirs[1] / 'objects'}\n{dirs[2] / 'objects'}\n")
    (dirs[1] / "objects/info/alternates").write_text(f"{dirs[2] / 'objects'}\n")
    (dirs[2] / "objects/info/alternates").unlink()
    results = read_all(dirs[0], [ids[1], ids[2], "5" * 40])
    assert results[ids[1]][0] == 3 and results[ids[2]][0] == 3 and results["5" * 40] == "missing"


# --- the index file --------------------------------------------------------------------------------------

def dulwich_index(path: Path, object_format: str = "sha1"):
    index = Index(str(path), object_format=dulwich_format(object_format))
    return [(name, None if isinstance(entry, ConflictedIndexEntry) else entry.sha) for name, entry in index.items()]


def store_index(path: Path):
    read = probe.read_index(str(path))
    return None if read is None else [(name, sha) for name, sha, *_ in read[1]]


@pytest.fixture(scope="module")
def conflicted(tmp_path_factory, object_format):
    path = tmp_path_factory.mktemp("conflict")
    fresh_repo(path, object_format)
    for name in ("both.txt", "keep.txt", "zz/deep.txt", "a-first.txt", "ours-only.txt"):
        (path / name).parent.mkdir(parents=True, exist_ok=True)
        (path / name).write_text(f"{name}\n")
    git(path, "add", "-A")
    git(path, "commit", "-q", "-m", "base")
    git(path, "checkout", "-q", "-b", "theirs")
    (path / "both.txt").write_text("theirs\n")
    (path / "ours-only.txt").unlink()
    git(path, "commit", "-q", "-am", "theirs")
    git(path, "checkout", "-q", "main")
    (path / "both.txt").write_text("ours\n")
    (path / "ours-only.txt").write_text("changed by us\n")
    git(path, "commit", "-q", "-am", "ours")
    result = __import__("subprocess").run(["git", "merge", "theirs"], cwd=path, capture_output=True)
    assert result.returncode != 0
    (path / "new-intent.txt").write_text("intent\n")
    git(path, "add", "-N", "new-intent.txt")
    git(path, "update-index", "--skip-worktree", "keep.txt")
    return path


@pytest.mark.parametrize("version", [2, 3, 4])
def test_index_versions_with_conflicts_and_flags_read_as_dulwich_reads_them(conflicted, tmp_path, version,
                                                                            object_format):
    path = tmp_path / "copy"
    shutil.copytree(conflicted, path, symlinks=True)
    git(path, "update-index", "--index-version", str(version))
    index = path / ".git/index"
    read = probe.read_index(str(index))
    # Intent-to-add and skip-worktree need the extended flags: git keeps version 3 at least.
    assert read is not None and read[0] == max(version, 3)
    assert store_index(index) == dulwich_index(index, object_format)
    with Repo(str(path)) as repo:
        assert store_index(index) == [(name, None if isinstance(entry, ConflictedIndexEntry) else entry.sha)
                                      for name, entry in repo.open_index().items()]
    entries = {name: (sha, flags, extended) for name, sha, _mode, flags, extended in read[1]}
    assert entries[b"both.txt"][0] is None and entries[b"ours-only.txt"][0] is None
    assert entries[b"keep.txt"][2] & 0x4000 and entries[b"new-intent.txt"][2] & 0x2000


def test_plain_index_versions_read_as_dulwich_reads_them(history, tmp_path, object_format):
    variants, _, _ = history
    for version in (2, 3, 4):
        path = tmp_path / f"v{version}"
        shutil.copytree(variants["ofs"], path, symlinks=True)
        git(path, "update-index", "--index-version", str(version))
        # Without extended flags git writes version 2 when asked for 3.
        assert probe.read_index(str(path / ".git/index"))[0] == (2 if version == 3 else version)
        assert store_index(path / ".git/index") == dulwich_index(path / ".git/index", object_format)
        assert {len(sha) for _, sha in store_index(path / ".git/index")} == {hex_size(object_format)}


def test_indexes_dulwich_reads_its_own_way_are_left_to_it(conflicted, tmp_path, object_format):
    path = tmp_path / "copy"
    shutil.copytree(conflicted, path, symlinks=True)
    index = path / ".git/index"
    good = index.read_bytes()
    size = ID_SIZES[object_format]
    assert good[-size:] == checksum(good[:-size], object_format)
    # A missing file is an empty index, for dulwich as for the store.
    index.unlink()
    assert probe.read_index(str(index)) == (0, []) and dulwich_index(index, object_format) == []
    # A wrong checksum: dulwich raises.
    index.write_bytes(good[:-1] + bytes([good[-1] ^ 1]))
    assert probe.read_index(str(index)) is None
    with pytest.raises(Exception, match="[Cc]hecksum"):
        dulwich_index(index, object_format)
    # An all-zero checksum (index.skipHash) is accepted unchecked by both; in SHA-256, twenty zero bytes
    # (SHA-1's length) are a wrong checksum.
    index.write_bytes(good[:-size] + bytes(size))
    assert store_index(index) == dulwich_index(index, object_format)
    if object_format == "sha256":
        index.write_bytes(good[:-20] + bytes(20))
        assert probe.read_index(str(index)) is None
        with pytest.raises(Exception, match="[Cc]hecksum"):
            dulwich_index(index, object_format)
    # Cut short at and around its checksum: dulwich takes a checksum cut short as an empty one, its own way.
    index.write_bytes(good)
    whole = dulwich_index(index, object_format)
    for cut in (1, 12, 20, size - 1, size, size + 1):
        index.write_bytes(good[:-cut])
        assert probe.read_index(str(index)) is None, cut
        if cut <= size:
            assert dulwich_index(index, object_format) == whole
    # A split index.
    index.write_bytes(good)
    git(path, "update-index", "--split-index")
    assert probe.read_index(str(index)) is None
    # Version 4 with a path-compression length of 128 or more: dulwich reads
    # that number its own way.
    fresh = tmp_path / "long"
    fresh_repo(fresh, object_format)
    (fresh / ("a" * 150)).mkdir()
    (fresh / ("a" * 150) / "x").write_text("x")
    (fresh / "b").write_text("b")
    git(fresh, "add", "-A")
    git(fresh, "update-index", "--index-version", "4")
    assert probe.read_index(str(fresh / ".git/index")) is None
    try:
        paths = [name for name, _ in dulwich_index(fresh / ".git/index", object_format)]
    except Exception:  # noqa: BLE001 - raising is one way dulwich differs
        paths = None
    assert paths != git(fresh, "ls-files", "-z").encode().split(b"\0")[:-1]


# --- the commit-graph ------------------------------------------------------------------------------------

def graph_parents(git_dir: Path):
    dump = probe.graph_open(str(git_dir), str(git_dir / "objects"))
    if dump is None:
        return None
    return {hexid: None if parents is None else [dump[p][0] for p in parents] for hexid, parents in dump}


def assert_graph_parents_are_dulwich_parents(path: Path, graph: dict) -> None:
    """The parents of every commit of the graph are dulwich's, and git's (`rev-list --parents`)."""
    repo = Repo(str(path))
    try:
        for hexid, parents in graph.items():
            assert [p.decode() for p in repo[hexid.encode()].parents] == parents, hexid
    finally:
        repo.close()
    listed = {commit: parents for commit, *parents in map(str.split, git(path, "rev-list", "--parents", "--all")
                                                                  .splitlines())}
    assert {hexid: listed[hexid] for hexid in graph} == graph


def test_commit_graph_single_chained_and_stale(history, tmp_path, object_format):
    variants, notable, _ = history
    path = tmp_path / "graph"
    shutil.copytree(variants["ofs"], path, symlinks=True)
    git_dir = path / ".git"
    assert graph_parents(git_dir) is None
    git(path, "commit-graph", "write", "--reachable")
    assert (git_dir / "objects/info/commit-graph").read_bytes()[4:6] == bytes([1, FORMAT_NUMBERS[object_format]])
    graph = graph_parents(git_dir)
    assert notable["octopus"] in graph and len(graph[notable["octopus"]]) == 4
    assert_graph_parents_are_dulwich_parents(path, graph)
    # Stale: newer commits are simply not in it.
    git(path, "commit", "-q", "--allow-empty", "-m", "after the graph")
    head = git(path, "rev-parse", "HEAD")
    assert probe.graph_find(str(git_dir), str(git_dir / "objects"), head) is None
    assert probe.graph_find(str(git_dir), str(git_dir / "objects"), notable["octopus"]) is not None
    # A chain of layers, base first.
    (git_dir / "objects/info/commit-graph").unlink()
    git(path, "commit-graph", "write", "--reachable", "--split")
    git(path, "commit", "-q", "--allow-empty", "-m", "next layer")
    git(path, "commit-graph", "write", "--reachable", "--split")
    chain = (git_dir / "objects/info/commit-graphs/commit-graph-chain").read_text().split()
    assert len(chain) == 2 and {len(line) for line in chain} == {hex_size(object_format)}
    graph = graph_parents(git_dir)
    assert git(path, "rev-parse", "HEAD") in graph and head in graph
    assert_graph_parents_are_dulwich_parents(path, graph)


def test_a_graph_of_the_other_hash_version_is_not_used(history, tmp_path, object_format):
    # A graph whose header names the other object format, sealed with a checksum of either hash, and a
    # sound graph read in the other format: none is used.
    variants, _, _ = history
    path = tmp_path / "graph"
    shutil.copytree(variants["ofs"], path, symlinks=True)
    git(path, "commit-graph", "write", "--reachable")
    graph_file = path / ".git/objects/info/commit-graph"
    good = graph_file.read_bytes()
    other = "sha1" if object_format == "sha256" else "sha256"
    body = bytearray(good[:-ID_SIZES[object_format]])
    body[5] = FORMAT_NUMBERS[other]
    for sealed in (bytes(body) + checksum(bytes(body), object_format), bytes(body) + checksum(bytes(body), other)):
        assert probe.graph_parse([sealed]) is None
        graph_file.chmod(0o644)
        graph_file.write_bytes(sealed)
        assert graph_parents(path / ".git") is None
    graph_file.write_bytes(good)
    assert graph_parents(path / ".git") is not None
    before = probe.set_hash_format(other)
    try:
        assert probe.graph_parse([good]) is None
    finally:
        probe.set_hash_format(before)


def test_commit_graph_is_not_used_when_history_is_rewritten(history, tmp_path):
    variants, _, _ = history
    base = tmp_path / "base"
    shutil.copytree(variants["ofs"], base, symlinks=True)
    git(base, "commit-graph", "write", "--reachable")
    assert graph_parents(base / ".git") is not None
    head = git(base, "rev-parse", "HEAD")
    for name, make in (
        ("shallow", lambda p: (p / ".git/shallow").write_text(head + "\n")),
        ("grafts", lambda p: ((p / ".git/info").mkdir(exist_ok=True), (p / ".git/info/grafts").write_text(head))),
        ("replace", lambda p: git(p, "replace", head, git(p, "rev-parse", "HEAD~1"))),
        ("packed", lambda p: (git(p, "replace", head, git(p, "rev-parse", "HEAD~1")),
                              git(p, "pack-refs", "--all"))),
    ):
        path = tmp_path / name
        shutil.copytree(base, path, symlinks=True)
        make(path)
        if name == "packed":
            assert not any((path / ".git/refs/replace").iterdir())
        assert graph_parents(path / ".git") is None, name


def test_damaged_commit_graphs_are_ignored(history, tmp_path, object_format):
    variants, _, _ = history
    path = tmp_path / "graph"
    shutil.copytree(variants["ofs"], path, symlinks=True)
    git(path, "commit-graph", "write", "--reachable")
    graph_file = path / ".git/objects/info/commit-graph"
    good = graph_file.read_bytes()
    trailer = ID_SIZES[object_format]
    assert probe.graph_parse([good]) is not None
    positions = [0, 4, 5, 6, 7, 8, 12, 20, 40, len(good) // 3, len(good) // 2, len(good) - trailer - 1,
                 len(good) - trailer, len(good) - 30, len(good) - 1]
    # The header, the chunk table and the sizes they imply are checked when the file is opened. Damage past
    # them may leave a file that is read (its checksum is not recomputed): then no answer may change.
    structure = {0, 4, 5, 6, 7, 8, 12, 20, 40}
    graph_file.chmod(0o644)
    for position in positions:
        for bit in (0, 7):
            damaged = bytearray(good)
            damaged[position] ^= 1 << bit
            if position in structure:
                assert probe.graph_parse([bytes(damaged)]) is None, position
            else:
                graph_file.write_bytes(bytes(damaged))
                assert walks_answer_as_dulwich(path), (position, bit)
    for size in (0, 8, 40, 100, len(good) // 2, len(good) - 32, len(good) - 21, len(good) - 20, len(good) - 1):
        assert probe.graph_parse([good[:size]]) is None, size
    # On disk too, with the verdict kept for the file: a changed file is checked again.
    graph_file.write_bytes(good)
    assert graph_parents(path / ".git") is not None
    graph_file.write_bytes(ids_out_of_order(good, object_format))
    assert graph_parents(path / ".git") is None
    graph_file.write_bytes(good)
    assert graph_parents(path / ".git") is not None


def walks_answer_as_dulwich(path: Path) -> bool:
    """Whether, without git, the history panes of a fresh service answer as dulwich's walk does for every
    branch: a commit-graph that is read must change no answer."""
    heads = git(path, "for-each-ref", "--format=%(refname:short)", "refs/heads/").split()
    calls = [lambda service, branch: service.list_commits(branch),
             lambda service, branch: service.list_commits(branch, show_full_history=True),
             lambda service, branch: service.count_commits(branch),
             lambda service, branch: service.get_merge_base(branch)]
    saved = os.environ["PATH"]
    os.environ["PATH"] = str(path / ".git" / "no-git-here")
    try:
        native, library = gsc.GitServiceCython(str(path)), library_service(path)
        return all(outcome(functools.partial(call, native, branch)) == outcome(functools.partial(call, library, branch))
                   for branch in heads for call in calls)
    finally:
        os.environ["PATH"] = saved


# --- damage ----------------------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def small(tmp_path_factory, object_format):
    path = tmp_path_factory.mktemp("small")
    fresh_repo(path, object_format)
    for i in range(6):
        (path / "f.txt").write_text("".join(f"line {k}\n" for k in range(40 + i)))
        (path / f"g{i}.txt").write_text(f"g {i}\n")
        git(path, "add", "-A")
        git(path, "commit", "-q", "-m", f"c{i}")
    git(path, "repack", "-adq")
    (path / "loose.txt").write_text("a loose blob\n")
    git(path, "add", "-A")
    git(path, "commit", "-q", "-m", "loose")
    return path, true_objects(path)


def damaged_copy(small, tmp_path: Path, name: str) -> Path:
    path, _ = small
    copy = tmp_path / name
    shutil.copytree(path, copy, symlinks=True)
    for file in (copy / ".git/objects").rglob("*"):
        if file.is_file():
            file.chmod(0o644)
    return copy


def check_damaged(copy: Path, truth: dict, *, ask_dulwich: bool = True) -> dict:
    """Reads everything from a damaged repository: Found answers must be the true objects."""
    results = read_all(copy / ".git", list(truth))
    for hexid, result in results.items():
        assert result in FOUND_IN or result == truth[hexid], hexid
    if ask_dulwich:
        assert_found_means_dulwich(copy / ".git", results)
    return results


def flip(path: Path, position: int, bit: int = 0) -> None:
    data = bytearray(path.read_bytes())
    data[position % len(data)] ^= 1 << bit
    path.write_bytes(bytes(data))


def test_damaged_pack_indexes_never_give_a_wrong_object(small, tmp_path, object_format):
    _, truth = small
    (idx,) = (damaged_copy(small, tmp_path, "probe") / ".git/objects/pack").glob("*.idx")
    size = idx.stat().st_size
    id_size = ID_SIZES[object_format]
    count = struct.unpack(">L", idx.read_bytes()[8 + 255 * 4:8 + 256 * 4])[0]
    names, offsets = 8 + 1024, 8 + 1024 + (id_size + 4) * count
    # The trailer: the pack's checksum, then the index's own, each of the format's length.
    positions = [0, 3, 7, 8 + 4 * 0x10, 8 + 4 * 0x80, 8 + 255 * 4 + 3, names, names + id_size * (count // 2) + 5,
                 offsets, offsets + 4 * (count // 2), offsets + 4 * count - 1, size - 2 * id_size, size - id_size - 1,
                 size - id_size, size - 30, size - 1]
    for number, position in enumerate(positions):
        for bit in (0, 7):
            copy = damaged_copy(small, tmp_path, f"idx{number}-{bit}")
            (idx,) = (copy / ".git/objects/pack").glob("*.idx")
            flip(idx, position, bit)
            # A big fanout value can make dulwich's lookup run forever: ask it nothing then.
            check_damaged(copy, truth, ask_dulwich=position >= 8 + 1024 or position < 8)
    for number, cut in enumerate((0, 3, 8, 600, names + 10, offsets + 2, size - 2 * id_size - 1,
                                  size - 2 * id_size, size - id_size - 1, size - id_size, size - 1)):
        copy = damaged_copy(small, tmp_path, f"idxcut{number}")
        (idx,) = (copy / ".git/objects/pack").glob("*.idx")
        idx.write_bytes(idx.read_bytes()[:cut])
        check_damaged(copy, truth)


def test_damaged_version_3_indexes_look_up_as_version_2_ones(small, tmp_path, object_format):
    # dulwich's version 3 keeps version 2's tables behind a header 8 bytes
    # longer: the same damage to the tables gives the same lookups.
    _, truth = small
    ids = list(truth)
    (idx,) = (damaged_copy(small, tmp_path, "probe") / ".git/objects/pack").glob("*.idx")
    size = idx.stat().st_size
    id_size = ID_SIZES[object_format]
    count = struct.unpack(">L", idx.read_bytes()[8 + 255 * 4:8 + 256 * 4])[0]
    names, offsets = 8 + 1024, 8 + 1024 + (id_size + 4) * count
    loose = {path.parent.name + path.name for path in (small[0] / ".git/objects").glob("??/*")}

    def pair(name: str, change, *, ask_dulwich: bool = True) -> None:
        plain = damaged_copy(small, tmp_path, f"{name}-v2")
        three = damaged_copy(small, tmp_path, f"{name}-v3")
        (plain_idx,), (three_idx,) = ((copy / ".git/objects/pack").glob("*.idx") for copy in (plain, three))
        write_version_3(three_idx, object_format=object_format)
        assert three_idx.read_bytes()[16:-id_size] == plain_idx.read_bytes()[8:-id_size]
        change(plain_idx, 0)
        change(three_idx, 8)
        results = read_all(three / ".git", ids)
        expected = read_all(plain / ".git", ids)
        if object_format == "sha256":
            # dulwich refuses every pack a SHA-256 version-3 index names (see above): what the version-2 index
            # finds packed, the store leaves to it.
            expected = {hexid: "declined" if type(result) is tuple and hexid not in loose else result
                        for hexid, result in expected.items()}
        assert results == expected, name
        check_damaged(three, truth, ask_dulwich=ask_dulwich)

    for number, position in enumerate([8 + 4 * 0x10, 8 + 4 * 0x80, 8 + 255 * 4 + 3, names,
                                       names + id_size * (count // 2) + 5, offsets - 3, offsets,
                                       offsets + 4 * (count // 2), offsets + 4 * count - 1, size - 2 * id_size,
                                       size - 30]):
        for bit in (0, 7):
            # A big fanout value can make dulwich's lookup run forever: ask it nothing then.
            pair(f"flip{number}-{bit}", lambda path, shift, at=position, bit=bit: flip(path, at + shift, bit),
                 ask_dulwich=position >= names)
    for number, cut in enumerate((600, names + 10, offsets + 2, size - 2 * id_size - 1, size - id_size)):
        pair(f"cut{number}", lambda path, shift, cut=cut: path.write_bytes(path.read_bytes()[:cut + shift]))


def test_damaged_packs_never_give_a_wrong_object(small, tmp_path, object_format):
    _, truth = small
    (pack,) = (damaged_copy(small, tmp_path, "probe") / ".git/objects/pack").glob("*.pack")
    size = pack.stat().st_size
    trailer = ID_SIZES[object_format]
    positions = [0, 5, 9, 12, 13, 14, 20, 40, size // 4, size // 3, size // 2, 2 * size // 3, size - trailer - 5,
                 size - trailer - 1, size - trailer, size - 1]
    for number, position in enumerate(positions):
        for bit in (0, 3, 7):
            copy = damaged_copy(small, tmp_path, f"pack{number}-{bit}")
            (pack,) = (copy / ".git/objects/pack").glob("*.pack")
            flip(pack, position, bit)
            check_damaged(copy, truth)
    for number, cut in enumerate((0, 11, 12, 31, size // 2, size - trailer - 1, size - trailer, size - 20,
                                  size - 1)):
        copy = damaged_copy(small, tmp_path, f"packcut{number}")
        (pack,) = (copy / ".git/objects/pack").glob("*.pack")
        pack.write_bytes(pack.read_bytes()[:cut])
        check_damaged(copy, truth)


def test_damaged_loose_objects_never_give_a_wrong_object(small, tmp_path):
    _, truth = small
    copy = damaged_copy(small, tmp_path, "probe")
    loose = sorted(p for p in (copy / ".git/objects").glob("??/*"))
    assert loose
    for number, change in enumerate((
        lambda data: data[:len(data) // 2],
        lambda data: b"",
        lambda data: data[:1],
        lambda data: data + b"trailing",
        lambda data: bytes([data[0] ^ 1]) + data[1:],
        lambda data: data[:-1] + bytes([data[-1] ^ 1]),
        lambda data: data[:8] + bytes([data[8] ^ 0x40]) + data[9:],
        lambda data: zlib.compress(zlib.decompress(data).replace(b" ", b"  ", 1)),
        lambda data: zlib.compress(zlib.decompress(data).replace(b" ", b" 0", 1)),
        lambda data: zlib.compress(zlib.decompress(data).replace(b"\0", b"\0x", 1)),
        lambda data: zlib.compress(b"blub" + zlib.decompress(data)[4:]),
        lambda data: zlib.compressobj(wbits=-15).compress(data),
    )):
        copy = damaged_copy(small, tmp_path, f"loose{number}")
        for file in (copy / ".git/objects").glob("??/*"):
            file.write_bytes(change(file.read_bytes()))
        results = check_damaged(copy, truth)
        assert not any(isinstance(results[p.parent.name + p.name], tuple) for p in loose)


def test_a_pack_replaced_between_two_stores_is_read_afresh(tmp_path):
    git_dir = fresh_repo(tmp_path / "r")
    first, second = object_id(3, b"first"), object_id(3, b"second")
    write_pack(git_dir / "objects/pack", [(first, pack_entry(3, b"first"))], name="pack-same")
    assert read_all(git_dir, [first, second]) == {first: (3, b"first"), second: "missing"}
    write_pack(git_dir / "objects/pack", [(second, pack_entry(3, b"second"))], name="pack-same")
    assert read_all(git_dir, [first, second]) == {first: "missing", second: (3, b"second")}
    # A pack that arrives between two stores is seen by the second.
    third = object_id(3, b"third")
    write_pack(git_dir / "objects/pack", [(third, pack_entry(3, b"third"))], name="pack-new")
    assert probe.pack_count(str(git_dir), str(git_dir / "objects")) == 2
    assert read_all(git_dir, [third]) == {third: (3, b"third")}


# --- how dulwich looks up an index, mirrored ---------------------------------------------------------------

def test_an_index_of_unknown_version_is_passed_over_like_dulwich_does(tmp_path):
    git_dir = fresh_repo(tmp_path / "r")
    hexid = object_id(3, b"in an unreadable index")
    _, idx, _ = write_pack(git_dir / "objects/pack", [(hexid, pack_entry(3, b"in an unreadable index"))])
    data = bytearray(idx.read_bytes())
    # Version 5; and version 3, whose hash format (where version 2 has its
    # first fanout entry, 0 here) is none dulwich knows: a KeyError either way.
    assert data[8:12] == bytes(4)
    for version in (5, 3):
        data[7] = version
        idx.write_bytes(bytes(data))
        assert read_all(git_dir, [hexid])[hexid] == "missing"
        repo = Repo(str(tmp_path / "r"))
        try:
            assert dulwich_reading(repo, hexid) is KeyError
        finally:
            repo.close()


def test_a_version_3_index_is_read_in_the_format_it_names_and_no_other(tmp_path, object_format):
    # dulwich reads a version-3 index only where its header names the repository's object format: the
    # other known one fails its assertion (the store declines, dulwich raises for every id), one it does
    # not know is a KeyError for which it passes the pack over (missing). Of a SHA-256 index in its own
    # format, dulwich takes the pack checksum the index records as SHA-1's twenty bytes, which never
    # equal the pack's trailer: it refuses the pack once (ChecksumMismatch), then reads it; the store
    # leaves it to dulwich.
    git_dir = fresh_repo(tmp_path / "r", object_format)
    contents = [b"object %d" % i for i in range(5)]
    entries = [(object_id(3, c, object_format), pack_entry(3, c)) for c in contents]
    _, idx, _ = write_pack(git_dir / "objects/pack", entries, object_format=object_format)
    ids = [hexid for hexid, _ in entries]
    good = idx.read_bytes()
    other = FORMAT_NUMBERS["sha1" if object_format == "sha256" else "sha256"]
    objects = [(3, c) for c in contents]
    own = (objects, objects) if object_format == "sha1" else (["declined"] * 5, [ChecksumMismatch, *objects[1:]])
    for named, (found, read) in ((FORMAT_NUMBERS[object_format], own), (other, (["declined"] * 5, [AssertionError] * 5)),
                                 (7, (["missing"] * 5, [KeyError] * 5))):
        idx.write_bytes(good)
        write_version_3(idx, named, object_format)
        assert idx.read_bytes()[8:16] == struct.pack(">LL", named, ID_SIZES[object_format])
        assert list(read_all(git_dir, ids).values()) == found, named
        with Repo(str(tmp_path / "r")) as repo:
            assert [dulwich_reading(repo, hexid) for hexid in ids] == read, named


def test_index_lookups_where_dulwich_raises_or_runs_away_are_left_to_it(tmp_path):
    git_dir = fresh_repo(tmp_path / "r")
    contents = [b"object %d" % i for i in range(8)]
    entries = [(object_id(3, c), pack_entry(3, c)) for c in contents]
    _, idx, _ = write_pack(git_dir / "objects/pack", entries)
    good = idx.read_bytes()
    ids = [hexid for hexid, _ in entries]
    assert all(isinstance(r, tuple) for r in read_all(git_dir, ids).values())
    first = int(ids[0][:2], 16)
    # A fanout that goes down: dulwich raises ValueError for ids of that bucket.
    data = bytearray(good)
    data[8 + 4 * first:8 + 4 * first + 4] = struct.pack(">L", 0)
    if first:
        data[8 + 4 * (first - 1):8 + 4 * first] = struct.pack(">L", 5)
    idx.write_bytes(bytes(data))
    assert read_all(git_dir, [ids[0]])[ids[0]] == "declined"
    # Bounds of 2**30 and more overflow dulwich's 32-bit bisection (it may never return).
    for value in (2**30, 2**31 - 1, 2**31, 2**32 - 1):
        data = bytearray(good)
        data[8 + 4 * first:8 + 4 * first + 4] = struct.pack(">L", value)
        idx.write_bytes(bytes(data))
        assert read_all(git_dir, [ids[0]])[ids[0]] in FOUND_IN, value


# --- descriptors and mappings ----------------------------------------------------------------------------

def open_descriptors_and_mappings() -> tuple[int, int]:
    with open("/proc/self/maps") as maps:
        return len(os.listdir("/proc/self/fd")), len(maps.readlines())


def test_thousands_of_stores_leave_descriptors_and_mappings_flat(small, tmp_path, object_format):
    path, truth = small
    git_dir = path / ".git"
    ids = list(truth)
    copy = tmp_path / "graph"
    shutil.copytree(path, copy, symlinks=True)
    git(copy, "commit-graph", "write", "--reachable")

    def work():
        probe.read_objects(str(git_dir), str(git_dir / "objects"), ids)
        probe.read_objects(str(git_dir), str(git_dir / "objects"), ["0" * hex_size(object_format)])
        probe.graph_open(str(copy / ".git"), str(copy / ".git/objects"))
        probe.read_index(str(git_dir / "index"))

    for _ in range(20):
        work()
    before = open_descriptors_and_mappings()
    for _ in range(2000):
        work()
    after = open_descriptors_and_mappings()
    assert after[0] == before[0]
    assert after[1] <= before[1] + 8  # the interpreter's own arenas may come and go


def test_the_shared_mappings_stay_bounded_across_many_repositories(tmp_path):
    probe.clear_mapping_cache()
    base = open_descriptors_and_mappings()[1]
    for i in range(120):
        git_dir = fresh_repo(tmp_path / f"r{i}") if i < 2 else None
        if git_dir is None:
            shutil.copytree(tmp_path / "r1", tmp_path / f"r{i}", symlinks=True)
            git_dir = tmp_path / f"r{i}" / ".git"
        hexid = object_id(3, b"repository %d" % i)
        write_pack(git_dir / "objects/pack", [(hexid, pack_entry(3, b"repository %d" % i))], name=f"pack-{i}")
        assert read_all(git_dir, [hexid])[hexid] == (3, b"repository %d" % i)
    grown = open_descriptors_and_mappings()[1] - base
    assert grown <= 64 + 16
    probe.clear_mapping_cache()
    assert open_descriptors_and_mappings()[1] - base <= 16


def test_stores_in_several_threads_answer_as_one_alone(history):
    from concurrent.futures import ThreadPoolExecutor

    variants, _, truth = history
    paths = [variants[name] / ".git" for name in ("ofs", "ref", "mixed", "v1")]
    ids = list(truth)
    alone = [read_all(path, ids) for path in paths]
    probe.clear_mapping_cache()
    with ThreadPoolExecutor(max_workers=4) as pool:
        together = list(pool.map(lambda k: read_all(paths[k % 4], ids), range(16)))
    assert all(result == alone[k % 4] for k, result in enumerate(together))


def rewrite_offsets(idx: Path, offsets: list[int], large: list[int], object_format: str = "sha1") -> None:
    """Replaces an index's offset table (and its 64-bit table), keeping the checksum right."""
    data = idx.read_bytes()
    size = ID_SIZES[object_format]
    count = struct.unpack(">L", data[8 + 255 * 4:8 + 256 * 4])[0]
    start = 8 + 1024 + (size + 4) * count
    body = (data[:start] + struct.pack(f">{count}L", *offsets) + struct.pack(f">{len(large)}Q", *large)
            + data[-2 * size:-size])
    idx.write_bytes(body + checksum(body, object_format))


def test_index_offsets_out_of_range_and_sixty_four_bit_offsets(tmp_path, object_format):
    git_dir = fresh_repo(tmp_path / "r", object_format)
    contents = [b"first object", b"second object"]
    entries = [(object_id(3, c, object_format), pack_entry(3, c)) for c in contents]
    pack, idx, offsets = write_pack(git_dir / "objects/pack", entries, object_format=object_format)
    ordered = sorted(offsets, key=bytes.fromhex)
    real = [offsets[hexid] for hexid in ordered]
    truth = {hexid: (3, c) for (hexid, _), c in zip(entries, contents, strict=True)}
    trailer = ID_SIZES[object_format]
    # Through the 64-bit table, as packs over 2 GiB have it.
    rewrite_offsets(idx, [0x80000001, 0x80000000], [real[1], real[0]], object_format)
    assert read_all(git_dir, ordered) == {hexid: truth[hexid] for hexid in ordered}
    assert_found_means_dulwich(git_dir, read_all(git_dir, ordered))
    size = pack.stat().st_size
    # Offsets into the pack's trailer are no entry's.
    for bad in ([0, real[1]], [5, real[1]], [size - trailer, real[1]], [size - 20, real[1]], [size - 1, real[1]],
                [size + 100, real[1]], [real[0] + 1, real[1]], [0x80000005, real[1]], [0xFFFFFFFF, real[1]]):
        rewrite_offsets(idx, bad, [], object_format)
        results = read_all(git_dir, ordered)
        assert results[ordered[0]] in FOUND_IN
        assert results[ordered[1]] == truth[ordered[1]]
    rewrite_offsets(idx, [0x80000000, real[1]], [size * 4], object_format)
    assert read_all(git_dir, ordered)[ordered[0]] in FOUND_IN


def test_a_chain_out_of_order_or_with_a_damaged_layer_is_ignored(history, tmp_path, object_format):
    variants, _, _ = history
    path = tmp_path / "graph"
    shutil.copytree(variants["ofs"], path, symlinks=True)
    git(path, "commit-graph", "write", "--reachable", "--split")
    git(path, "commit", "-q", "--allow-empty", "-m", "next layer")
    git(path, "commit-graph", "write", "--reachable", "--split")
    graphs = path / ".git/objects/info/commit-graphs"
    chain_file = graphs / "commit-graph-chain"
    chain = chain_file.read_text().split()
    assert len(chain) == 2 and graph_parents(path / ".git") is not None
    chain_file.write_text("\n".join(reversed(chain)) + "\n")
    assert graph_parents(path / ".git") is None
    chain_file.write_text(chain[1] + "\n")
    assert graph_parents(path / ".git") is None
    # Lines of the other format's length (the files named to match) name no layer of this format.
    other = [name[:40] if object_format == "sha256" else name + "0" * 24 for name in chain]
    for name, renamed in zip(chain, other, strict=True):
        shutil.copy(graphs / f"graph-{name}.graph", graphs / f"graph-{renamed}.graph")
    chain_file.write_text("\n".join(other) + "\n")
    assert graph_parents(path / ".git") is None
    chain_file.write_text("\n".join(chain) + "\n")
    assert graph_parents(path / ".git") is not None
    base = graphs / f"graph-{chain[0]}.graph"
    base.chmod(0o644)
    good = base.read_bytes()
    flip(base, base.stat().st_size // 2)
    assert walks_answer_as_dulwich(path)
    # A layer whose ids are out of order is not used.
    base.write_bytes(ids_out_of_order(good, object_format))
    assert graph_parents(path / ".git") is None


def ids_out_of_order(graph: bytes, object_format: str) -> bytes:
    """The commit-graph file with its second id made a copy of its first."""
    size = ID_SIZES[object_format]
    for k in range(graph[6]):  # the chunk table
        entry = 8 + 12 * k
        if graph[entry:entry + 4] == b"OIDL":
            ids = struct.unpack(">Q", graph[entry + 4:entry + 12])[0]
            return graph[:ids + size] + graph[ids:ids + size] + graph[ids + 2 * size:]
    raise AssertionError("no OIDL chunk")
