"""Hostile files in repositories of both object formats, on both roads.

Each case damages a copy of a SHA-256 (or SHA-1) repository with a file of the
other format's sizes, or cut at or around its 32-byte ids and trailers: pack
indexes, packs, commit-graphs and their chains, the index file, trees,
commits, tags, refs, `.git/shallow`, alternates and nested repositories. Every
public method then answers, or raises, alike through the store and through
dulwich, with git on the search path and without it; the same holds for one
service across a rewrite of its files, and for services in threads."""

from __future__ import annotations

import hashlib
import os
import shutil
import struct
import subprocess
import threading
import zlib
from pathlib import Path

import git_service_cython as gsc
import pytest
from conftest import GIT_ENV, init_repo
from decline_reasons import NOTHING, Expected, assert_declined, assert_declined_on_road, listening
from dulwich.repo import Repo
from public_methods import CHANGES_THE_SERVICE, METHODS, Samples, sample_call
from roads import library_service, outcome

HASHES = {"sha1": hashlib.sha1, "sha256": hashlib.sha256}
ID_BYTES = {"sha1": 20, "sha256": 32}
OTHER = {"sha1": "sha256", "sha256": "sha1"}

# git for making and damaging repositories, found while the search path
# still has it: the tests hide it from the module.
GIT = shutil.which("git")


def git(path: Path, *args: str) -> str:
    result = subprocess.run([GIT, *args], cwd=path, capture_output=True, text=True, check=False,
                            env={**os.environ, **GIT_ENV})
    assert result.returncode == 0, (args, result.stderr)
    return result.stdout.strip()


# --- the repositories -------------------------------------------------------------------------------------

def build(path: Path, object_format: str) -> None:
    """Merges, branches, remote-tracking branches, both kinds of tag, one pack
    with a commit-graph, a loose commit above it, and a changed working tree."""
    repo = init_repo(path, object_format=object_format)
    for i in range(1, 5):
        repo.commit(f"base {i}", files={f"f{i}.txt": f"{i}\n", f"dir/sub/g{i}.txt": f"g{i}\n"})
    repo.git("checkout", "-q", "-b", "side", "main~2")
    repo.commit("side 1", files={"side.txt": "1\n"})
    repo.commit("side 2", files={"side.txt": "2\n"})
    repo.git("checkout", "-q", "main")
    when = repo.next_date()
    repo.git("merge", "-q", "--no-ff", "-m", "merge side", "side",
             env={"GIT_AUTHOR_DATE": when, "GIT_COMMITTER_DATE": when})
    repo.git("checkout", "-q", "-b", "feature", "main~1")
    for i in range(1, 4):
        repo.commit(f"feature {i}", files={"feature.txt": f"{i}\n"})
    repo.git("checkout", "-q", "main")
    repo.commit("base 6", files={"both.txt": "both\n", "staged.txt": "staged\n"})
    repo.git("update-ref", "refs/remotes/origin/main", "main~1")
    repo.git("update-ref", "refs/remotes/origin/feature", "feature~1")
    repo.git("tag", "light", "main~3")
    repo.git("tag", "-a", "-m", "annotated", "ann", "main~2")
    repo.git("repack", "-adq")
    repo.git("commit-graph", "write", "--reachable")
    repo.commit("loose 1", files={"loose.txt": "l\n"})
    repo.write("f2.txt", "changed\n")
    repo.write("untracked.txt", "u\n")
    repo.write("staged.txt", "staged now\n")
    repo.git("add", "staged.txt")


@pytest.fixture(scope="module")
def bases(tmp_path_factory) -> dict[str, Path]:
    root = tmp_path_factory.mktemp("bases")
    for object_format in HASHES:
        build(root / object_format, object_format)
    return {object_format: root / object_format for object_format in HASHES}


class Case:
    """A copy of a base repository being damaged."""

    def __init__(self, path: Path, object_format: str, bases: dict[str, Path]):
        self.path = path
        self.format = object_format
        self.bases = bases
        self.git_dir = path / ".git"

    def other(self) -> Path:
        return self.bases[OTHER[self.format]]

    def rev(self, rev: str = "main", path: Path | None = None) -> str:
        return git(path or self.path, "rev-parse", rev)

    def files(self, suffix: str, path: Path | None = None) -> list[Path]:
        return sorted(((path or self.path) / ".git" / "objects" / "pack").glob(f"*{suffix}"))

    def graph(self) -> Path:
        return self.git_dir / "objects" / "info" / "commit-graph"

    def write(self, target: Path, data: bytes | str) -> None:
        if target.exists():
            os.chmod(target, 0o644)
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data if isinstance(data, bytes) else data.encode())

    def cut(self, target: Path, remove: int) -> None:
        self.write(target, target.read_bytes()[:-remove])

    def rechecked(self, target: Path, data: bytes, hash_name: str | None = None) -> None:
        """`data` with its trailing checksum made anew (in the repository's hash unless named)."""
        size = ID_BYTES[self.format]
        body = data[:-size]
        self.write(target, body + HASHES[hash_name or self.format](body).digest())

    def set_ref(self, name: str, value: str) -> None:
        self.write(self.git_dir / name, value + "\n")

    def loose(self, kind: bytes, content: bytes) -> str:
        raw = kind + b" %d\0" % len(content) + content
        hexid = HASHES[self.format](raw).hexdigest()
        target = self.git_dir / "objects" / hexid[:2] / hexid[2:]
        if not target.exists():
            self.write(target, zlib.compress(raw))
        return hexid

    def commit_on_main(self, tree: str, parents: list[str], extra: bytes = b"") -> None:
        text = b"tree %s\n" % tree.encode() + b"".join(b"parent %s\n" % p.encode() for p in parents)
        text += b"author A <a@x> 1700000000 +0000\ncommitter C <c@x> 1700000000 +0000\n" + extra + b"\nhostile\n"
        self.set_ref("refs/heads/main", self.loose(b"commit", text))

    def other_length(self, rev: str) -> str:
        """The other format's id of the same commit in the other base repository."""
        return self.rev(rev, self.other())


# --- hand-made SHA-256 packs ------------------------------------------------------------------------------

def entry_header(type_num: int, size: int) -> bytes:
    byte, size, out = (type_num << 4) | (size & 15), size >> 4, bytearray()
    while size:
        out.append(byte | 0x80)
        byte, size = size & 0x7F, size >> 7
    return bytes(out + bytes([byte]))


def size_bytes(value: int) -> bytes:
    out = bytearray()
    while True:
        byte, value = value & 0x7F, value >> 7
        out.append(byte | (0x80 if value else 0))
        if not value:
            return bytes(out)


def write_sha256_pack(pack_dir: Path, entries: list[tuple[str, bytes]], trailer_cut: int = 0) -> None:
    """A pack of raw entries and its version-2 index of 32-byte names."""
    body = bytearray(b"PACK" + struct.pack(">LL", 2, len(entries)))
    offsets = {}
    for hexid, raw in entries:
        offsets[hexid] = len(body)
        body += raw
    body += hashlib.sha256(body).digest()
    (pack_dir / "pack-hand.pack").write_bytes(bytes(body[:len(body) - trailer_cut]))
    ordered = sorted(offsets.items())
    fanout = [sum(1 for hexid, _ in ordered if int(hexid[:2], 16) <= i) for i in range(256)]
    index = b"\377tOc" + struct.pack(">L256L", 2, *fanout) + b"".join(bytes.fromhex(h) for h, _ in ordered)
    index += b"\0\0\0\0" * len(ordered) + b"".join(struct.pack(">L", offset) for _, offset in ordered)
    index += bytes(body[-32:])
    (pack_dir / "pack-hand.idx").write_bytes(index + hashlib.sha256(index).digest())


def ref_delta_commit(case: Case, base_name_bytes: int = 32, with_base: bool = True, trailer_cut: int = 0) -> None:
    """A commit stored as a reference delta over main~1 (one more line in its message) in a pack of its
    own, holding main~1 too when `with_base`; feature points at it."""
    base_id = case.rev("main~1")
    with Repo(str(case.path)) as library:
        base_raw = library[base_id.encode()].as_raw_string()
    insert = b"and one more line\n"
    new = base_raw + insert
    delta = size_bytes(len(base_raw)) + size_bytes(len(new))
    delta += bytes([0xB0, len(base_raw) & 0xFF, len(base_raw) >> 8, len(insert)]) + insert
    new_id = hashlib.sha256(b"commit %d\0" % len(new) + new).hexdigest()
    entries = [(new_id, entry_header(7, len(delta)) + bytes.fromhex(base_id)[:base_name_bytes] + zlib.compress(delta))]
    if with_base:
        entries.append((base_id, entry_header(1, len(base_raw)) + zlib.compress(base_raw)))
    write_sha256_pack(case.git_dir / "objects" / "pack", entries, trailer_cut)
    case.set_ref("refs/heads/feature", new_id)


# --- the damage -------------------------------------------------------------------------------------------

def cut_each(suffix: str, remove: int):
    return lambda case: [case.cut(f, remove) for f in case.files(suffix)]


def cut_index_names(case: Case) -> None:
    (idx,) = case.files(".idx")
    data = bytearray(idx.read_bytes())
    at = 8 + 1024 + 3 * ID_BYTES[case.format]
    data[at:at + ID_BYTES[case.format]] = b"\xff" * ID_BYTES[case.format]
    case.write(idx, bytes(data))


def version_3_index(named: int):
    def damage(case: Case) -> None:
        (idx,) = case.files(".idx")
        data = idx.read_bytes()
        case.rechecked(idx, data[:4] + struct.pack(">LLL", 3, named, 32) + data[8:])
    return damage


def graph_hash_version(version: int, hash_name: str):
    def damage(case: Case) -> None:
        data = bytearray(case.graph().read_bytes())
        data[5] = version
        case.rechecked(case.graph(), bytes(data), hash_name)
    return damage


def split_graph(case: Case) -> list[Path]:
    """A chain of two layers; returns the layer files, base first."""
    case.graph().unlink()
    git(case.path, "commit-graph", "write", "--reachable", "--split")
    git(case.path, "commit", "-q", "--allow-empty", "-m", "more")
    git(case.path, "commit-graph", "write", "--reachable", "--split=no-merge")
    folder = case.graph().parent / "commit-graphs"
    return [folder / f"graph-{name}.graph" for name in (folder / "commit-graph-chain").read_text().split()]


def chain_lines_cut_to_40(case: Case) -> None:
    split_graph(case)
    chain = case.graph().parent / "commit-graphs" / "commit-graph-chain"
    case.write(chain, "".join(line[:40] + "\n" for line in chain.read_text().split()))


def chain_top_of_hash_version_1(case: Case) -> None:
    top = split_graph(case)[-1]
    data = bytearray(top.read_bytes())
    data[5] = 1
    case.rechecked(top, bytes(data))


def chain_with_the_other_formats_graph(case: Case) -> None:
    split_graph(case)
    graph = (case.other() / ".git" / "objects" / "info" / "commit-graph").read_bytes()
    name = graph[-ID_BYTES[OTHER[case.format]]:].hex()
    folder = case.graph().parent / "commit-graphs"
    case.write(folder / f"graph-{name}.graph", graph)
    case.write(folder / "commit-graph-chain", name + "\n" + (folder / "commit-graph-chain").read_text())


def copy_other(relative: str):
    def damage(case: Case) -> None:
        case.write(case.path / relative, (case.other() / relative).read_bytes())
    return damage


def other_pack(replace: bool):
    def damage(case: Case) -> None:
        if replace:
            for old in case.files(""):
                old.unlink()
        for source in case.files("", case.other()):
            if source.suffix in (".pack", ".idx"):
                case.write(case.git_dir / "objects" / "pack" / source.name, source.read_bytes())
    return damage


def tree_of_ids(sizes: list[int]):
    """main at a commit whose tree's entries hold the first `size` bytes of a blob's id each."""
    def damage(case: Case) -> None:
        blob = bytes.fromhex(case.rev("main:f3.txt"))
        raw = b"".join(b"100644 %c.txt\0" % (97 + i) + (blob + b"\0" * 32)[:size] for i, size in enumerate(sizes))
        case.commit_on_main(case.loose(b"tree", raw), [case.rev()])
    return damage


def commit_naming(what: str):
    """main at a commit whose tree, parent or second parent has the other format's length."""
    def damage(case: Case) -> None:
        tree, head, side = case.rev("main^{tree}"), case.rev(), case.rev("side")
        long = case.format == "sha1"
        swap = (lambda rev: case.other_length(rev)) if long else (lambda rev: case.rev(rev)[:40])
        if what == "tree":
            case.commit_on_main(swap("main^{tree}"), [head])
        elif what == "parent":
            case.commit_on_main(tree, [swap("main")])
        elif what == "second parent":
            case.commit_on_main(tree, [head, swap("side")])
        elif what == "uppercase parent":
            case.commit_on_main(tree, [head.upper()])
        elif what == "mergetag":
            tag = (b"mergetag object %s\n type commit\n tag x\n tagger T <t@x> 1700000000 +0000\n \n msg\n"
                   % swap("side").encode())
            case.commit_on_main(tree, [head, side], tag)
    return damage


def tag_of_other_length(case: Case) -> None:
    named = case.rev()[:40] if case.format == "sha256" else case.other_length("main")
    tag = case.loose(b"tag", b"object %s\ntype commit\ntag odd\ntagger T <t@x> 1700000000 +0000\n\nmsg\n"
                     % named.encode())
    case.set_ref("refs/tags/odd", tag)
    case.set_ref("refs/heads/tagged", tag)


def shallow_of_both_lengths(case: Case) -> None:
    own, other = case.rev("main~2"), case.other_length("side~1")
    case.write(case.git_dir / "shallow", f"{own}\n{other}\n{case.rev('side~1')[:40]}\n")


def packed_refs_of_both_lengths(case: Case) -> None:
    git(case.path, "pack-refs", "--all")
    packed = case.git_dir / "packed-refs"
    lines = []
    for line in packed.read_text().splitlines(keepends=True):
        if "refs/heads/feature" in line and case.format == "sha256":
            line = line[:40] + line[64:]
        lines.append(line)
    side = case.rev("side")
    lines.append(f"{side[:40]} refs/heads/short\n{case.other_length('side')} refs/heads/other\n")
    case.write(packed, "".join(lines))


def loose_refs_of_the_other_length(case: Case) -> None:
    for name, rev in (("refs/heads/feature", "feature"), ("refs/remotes/origin/main", "main")):
        case.set_ref(name, case.rev(rev)[:40] if case.format == "sha256" else case.other_length(rev))


def alternates_into_the_other_format(case: Case) -> None:
    # A copy of its own: the store tells why it refuses a file once per file.
    other = case.path.parent / "other"
    shutil.copytree(case.other(), other, symlinks=True)
    case.write(case.git_dir / "objects" / "info" / "alternates", str(other / ".git" / "objects") + "\n")
    case.set_ref("refs/heads/other", case.rev("main", other))


def config_format(text: str):
    def damage(case: Case) -> None:
        config = case.git_dir / "config"
        case.write(config, config.read_text().replace("objectformat = sha256", text))
    return damage


# What the native road declines for each damage (decline_reasons), with git hidden: a reason, several, or
# NOTHING where the store reads the damaged repository as dulwich does. A pack it refuses leaves every read of
# a call to dulwich once the commit-graph is open.
REFUSED_BEFORE_THE_GRAPH = "objects: packs or alternates dulwich raises on, met before using the graph"
CHECKSUM = "pack: checksum differs from the one its index records"
INDEX_TOO_SHORT = "pack index: shorter than its object count needs"
UNPARSED_COMMIT = "commit: a shape the store does not parse"
UNPARSED_TREE = "loose object: a tree dulwich would not parse"
MISSING_OBJECTS = ("commit: not in the store", "tree: not in the store")

SHA256_DAMAGE = {
    **{f"pack index cut by {n}": (cut_each(".idx", n), (CHECKSUM, REFUSED_BEFORE_THE_GRAPH))
       for n in (1, 20, 32, 33, 64)},
    "pack index cut by 65": (cut_each(".idx", 65), (INDEX_TOO_SHORT, REFUSED_BEFORE_THE_GRAPH)),
    **{f"pack cut by {n}": (cut_each(".pack", n), (CHECKSUM, REFUSED_BEFORE_THE_GRAPH)) for n in (1, 20, 32, 33)},
    **{f"commit-graph cut by {n}": (lambda case, n=n: case.cut(case.graph(), n), "commit-graph: chunk outside the file")
       for n in (1, 20, 32, 33, 64)},
    **{f"index file cut by {n}": (lambda case, n=n: case.cut(case.git_dir / "index", n),
                                  "index: an extension past the end") for n in (1, 20, 32, 33)},
    "a pack index name out of order": (cut_index_names, NOTHING),
    "version-3 index naming SHA-256": (version_3_index(2), (
        "pack index version 3 of SHA-256: dulwich reads its pack checksum as SHA-1's", REFUSED_BEFORE_THE_GRAPH)),
    "version-3 index naming SHA-1": (version_3_index(1), (
        "pack index version 3 of the other object format", REFUSED_BEFORE_THE_GRAPH)),
    # dulwich passes over an index naming a format it does not know: its objects are missing on both roads.
    "version-3 index naming no format": (version_3_index(9), (
        *MISSING_OBJECTS, "commit-graph: a row's commit not in the store")),
    "graph of hash version 1": (graph_hash_version(1, "sha256"), "commit-graph: hash version 1"),
    "graph of hash version 1, SHA-1 trailer": (graph_hash_version(1, "sha1"), "commit-graph: hash version 1"),
    "a SHA-1 repository's graph": (copy_other(".git/objects/info/commit-graph"), "commit-graph: hash version 1"),
    "a chain of 40-digit lines": (chain_lines_cut_to_40,
                                  "commit-graph: a chain line that is no id of the object format"),
    "a chain whose top layer is of hash version 1": (chain_top_of_hash_version_1, "commit-graph: hash version 1"),
    "a chain holding a SHA-1 layer": (chain_with_the_other_formats_graph,
                                      "commit-graph: a chain line that is no id of the object format"),
    "a SHA-1 pack beside the packs": (other_pack(replace=False), (INDEX_TOO_SHORT, REFUSED_BEFORE_THE_GRAPH)),
    "a SHA-1 pack instead of the packs": (other_pack(replace=True), (INDEX_TOO_SHORT, REFUSED_BEFORE_THE_GRAPH)),
    "an index file written by a SHA-1 git": (copy_other(".git/index"), "index: extended flags dulwich reads otherwise"),
    "a reference delta whose base is in another pack": (lambda case: ref_delta_commit(case, with_base=False),
                                                        "pack: delta base not in the same pack"),
    "a reference delta whose base is named by 20 bytes": (lambda case: ref_delta_commit(case, base_name_bytes=20),
                                                          "pack: delta base not in the same pack"),
    **{f"a hand-made pack whose trailer is cut by {n}": (lambda case, n=n: ref_delta_commit(case, trailer_cut=n),
                                                         (CHECKSUM, REFUSED_BEFORE_THE_GRAPH)) for n in (1, 12, 20)},
    "a tree entry's id cut short": (tree_of_ids([32, 20]), UNPARSED_TREE),
    "a tree of 20-byte ids": (tree_of_ids([20, 20]), UNPARSED_TREE),
    "a tree with bytes after its last id": (tree_of_ids([34]), UNPARSED_TREE),
    "a commit naming a 40-digit tree": (commit_naming("tree"), UNPARSED_COMMIT),
    "a commit with a 40-digit parent": (commit_naming("parent"), UNPARSED_COMMIT),
    "a merge with a 40-digit second parent": (commit_naming("second parent"), UNPARSED_COMMIT),
    "a commit with an uppercase parent": (commit_naming("uppercase parent"), UNPARSED_COMMIT),
    "a mergetag naming a 40-digit object": (commit_naming("mergetag"), NOTHING),
    "a tag naming a 40-digit object": (tag_of_other_length, NOTHING),
    "shallow lines of both lengths": (shallow_of_both_lengths, NOTHING),
    "packed-refs of both lengths": (packed_refs_of_both_lengths, NOTHING),
    "loose refs of 40 digits": (loose_refs_of_the_other_length, NOTHING),
    "HEAD of 40 digits": (lambda case: case.write(case.git_dir / "HEAD", case.rev()[:40] + "\n"), NOTHING),
    "alternates into a SHA-1 repository": (alternates_into_the_other_format, (
        "alternates: dulwich reads them as SHA-1 stores", REFUSED_BEFORE_THE_GRAPH)),
    # Read as a SHA-1 repository: the refs name no object of the store (the walks that would open the graph,
    # of the other hash version, decline before it), and the index is of the other id length.
    **{f"config naming {named}": (config_format(text), (
        *MISSING_OBJECTS, "index: a path of 4095 bytes or more, or past the end"))
       for named, text in (("SHA-1", "objectformat = sha1"), ("no format", ""),
                           ("an unknown format", "objectformat = sha512"))},
}

SHA1_DAMAGE = {
    "a commit with a 64-digit parent": (commit_naming("parent"), UNPARSED_COMMIT),
    "a merge with a 64-digit second parent": (commit_naming("second parent"), UNPARSED_COMMIT),
    "a commit naming a 64-digit tree": (commit_naming("tree"), UNPARSED_COMMIT),
    "a tag naming a 64-digit object": (tag_of_other_length, NOTHING),
    "a tree of 32-byte ids": (tree_of_ids([32, 32]), UNPARSED_TREE),
    "shallow lines of both lengths": (shallow_of_both_lengths, NOTHING),
    "packed-refs of both lengths": (packed_refs_of_both_lengths, NOTHING),
    "loose refs of 64 digits": (loose_refs_of_the_other_length, NOTHING),
    "a SHA-256 pack beside the packs": (other_pack(replace=False), (CHECKSUM, REFUSED_BEFORE_THE_GRAPH)),
    "an index file written by a SHA-256 git": (copy_other(".git/index"),
                                               "index: a path of 4095 bytes or more, or past the end"),
    "a SHA-256 repository's graph": (copy_other(".git/objects/info/commit-graph"), "commit-graph: hash version 2"),
    "alternates into a SHA-256 repository": (alternates_into_the_other_format, (CHECKSUM, REFUSED_BEFORE_THE_GRAPH)),
}


# --- every public method on both roads --------------------------------------------------------------------

def samples_of(path: Path) -> Samples:
    """Sample arguments, read while the repository is intact."""
    head = git(path, "rev-parse", "main")
    with Repo(str(path)) as library:
        tree = library[library[head.encode()].tree]
    shas = git(path, "log", "--format=%H", "--all").split()[:6]
    return Samples(commit=head, shas=[*shas, head[:40], "0" * 64], tree=tree, path_parts=["dir", "sub", "g1.txt"],
                   root=path)


def public_calls(samples: Samples, bases: dict[str, Path]) -> dict:
    calls = {name: sample_call(name, samples) for name in METHODS
             if name not in CHANGES_THE_SERVICE and name != "__reduce__"}
    calls["list feature in full"] = lambda s: s.list_commits("feature", show_full_history=True)
    calls["count feature"] = lambda s: s.count_commits("feature")
    calls["remote commits of feature"] = lambda s: s._get_remote_commits("feature")
    calls["merge base of side"] = lambda s: s.get_merge_base("side")
    calls["walk from the raw id"] = lambda s: [p[0] for p in s._iter_commits_optimized(
        bytes.fromhex(samples.commit), 5)]
    calls["walk from 40 digits"] = lambda s: [p[0] for p in s._iter_commits_optimized(samples.commit[:40].encode(), 5)]
    calls["refs of 40 digits"] = lambda s: s.get_commit_refs(samples.commit[:40])
    for object_format, path in bases.items():
        with Repo(str(path)) as library:
            tree = library[library[b"HEAD"].tree]
        calls[f"find in a {object_format} tree"] = lambda s, t=tree: s._find_in_tree(t, ["dir", "sub", "g1.txt"])
        calls[f"map of a {object_format} tree"] = lambda s, t=tree: s._build_head_file_map(t, "")
    return calls


def answers(service, calls: dict) -> dict:
    return {name: outcome(lambda call=call: call(service)) for name, call in calls.items()}


def assert_roads_agree(path: Path, calls: dict, hide_git, git_on_path: bool, declines: Expected) -> None:
    """Both roads answer alike, the native road declining for `declines`."""
    if not git_on_path:
        hide_git()
    with listening() as heard:
        native = answers(gsc.GitServiceCython(str(path)), calls)
    assert_declined_on_road(heard.reasons, declines, git_on_path)
    plain = answers(library_service(path), calls)
    assert {name: native[name] for name in native if native[name] != plain[name]} == {}, \
        {name: plain[name] for name in native if native[name] != plain[name]}


def damaged(bases, tmp_path, object_format: str, damage) -> tuple[Path, Samples]:
    path = tmp_path / "repo"
    shutil.copytree(bases[object_format], path, symlinks=True)
    samples = samples_of(path)
    damage(Case(path, object_format, bases))
    return path, samples


@pytest.mark.parametrize("git_on_path", [True, False], ids=["git", "no git"])
@pytest.mark.parametrize("damage", list(SHA256_DAMAGE))
def test_a_damaged_sha256_repository_answers_alike_on_both_roads(bases, tmp_path, hide_git, damage, git_on_path):
    make, declines = SHA256_DAMAGE[damage]
    path, samples = damaged(bases, tmp_path, "sha256", make)
    assert_roads_agree(path, public_calls(samples, bases), hide_git, git_on_path, declines)


@pytest.mark.parametrize("git_on_path", [True, False], ids=["git", "no git"])
@pytest.mark.parametrize("damage", list(SHA1_DAMAGE))
def test_sha256_sizes_in_a_sha1_repository_answer_alike_on_both_roads(bases, tmp_path, hide_git, damage,
                                                                      git_on_path):
    make, declines = SHA1_DAMAGE[damage]
    path, samples = damaged(bases, tmp_path, "sha1", make)
    assert_roads_agree(path, public_calls(samples, bases), hide_git, git_on_path, declines)


# --- nested repositories of the other format --------------------------------------------------------------

@pytest.mark.parametrize("moved", [False, True], ids=["at the gitlink", "moved on"])
@pytest.mark.parametrize("outer, inner", [("sha256", "sha1"), ("sha1", "sha256"), ("sha256", "sha256"),
                                          ("sha1", "sha1")])
def test_a_submodule_of_either_format_is_compared_alike_on_both_roads(tmp_path, hide_git, outer, inner, moved):
    """The scan reads a submodule's HEAD at the repository's id length, as git
    does: a HEAD of the other length cannot be resolved, and the submodule
    counts as unchanged on both roads."""
    parent = init_repo(tmp_path / "outer", object_format=outer)
    parent.commit("outer", files={"o.txt": "o\n"})
    child = init_repo(tmp_path / "outer" / "sub", object_format=inner)
    head = child.commit("inner", files={"i.txt": "i\n"})
    size = 2 * ID_BYTES[outer]
    gitlink = "1" * size if moved else (head + "0" * 24)[:size]
    parent.git("update-index", "--add", "--cacheinfo", f"160000,{gitlink},sub")
    parent.git("commit", "-q", "-m", "gitlink")
    expected = [("sub", "modified")] if outer == inner and moved else []
    assert git(parent.path, "status", "--porcelain", "-u") == ("M sub" if expected else "")
    hide_git()
    for service in (gsc.GitServiceCython(str(parent.path)), library_service(parent.path)):
        assert [(row.path, row.status) for row in service.get_file_status()] == expected


# --- files rewritten between two calls of one service ----------------------------------------------------

def repacked_with_a_new_commit(case: Case) -> None:
    git(case.path, "commit", "-q", "--allow-empty", "-m", "new")
    git(case.path, "repack", "-adq")
    git(case.path, "commit-graph", "write", "--reachable")


# Each rewrite, and what the native road declines for it after (before it, nothing).
REWRITES = {
    "graph of hash version 1": (graph_hash_version(1, "sha256"), "commit-graph: hash version 1"),
    "repacked, with a new commit and graph": (repacked_with_a_new_commit, NOTHING),
    "graph split into a chain": (split_graph, NOTHING),
    "SHA-1 pack instead of the packs": (other_pack(replace=True), (INDEX_TOO_SHORT, REFUSED_BEFORE_THE_GRAPH)),
    "index file written by a SHA-1 git": (copy_other(".git/index"), "index: extended flags dulwich reads otherwise"),
    "packed-refs of both lengths": (packed_refs_of_both_lengths, NOTHING),
    "shallow lines of both lengths": (shallow_of_both_lengths, NOTHING),
    "alternates into a SHA-1 repository": (alternates_into_the_other_format, (
        "alternates: dulwich reads them as SHA-1 stores", REFUSED_BEFORE_THE_GRAPH)),
}


@pytest.mark.parametrize("rewrite", list(REWRITES))
def test_one_service_sees_a_rewrite_as_dulwich_does(bases, tmp_path, hide_git, rewrite):
    path = tmp_path / "repo"
    shutil.copytree(bases["sha256"], path, symlinks=True)
    calls = public_calls(samples_of(path), bases)
    hide_git()
    native, plain = gsc.GitServiceCython(str(path)), library_service(path)
    with listening() as heard:
        before = answers(native, calls)
    assert_declined(heard.reasons, NOTHING)
    assert before == answers(plain, calls)
    make, declines = REWRITES[rewrite]
    make(Case(path, "sha256", bases))
    with listening() as heard:
        after = answers(native, calls)
    assert_declined(heard.reasons, declines)
    assert after == answers(plain, calls)


# --- services in threads ----------------------------------------------------------------------------------

def test_services_of_both_formats_in_threads_answer_as_one_after_the_other(bases, tmp_path, hide_git):
    """Several hundred files, some changed: the scan hashes them on its worker threads."""
    paths = []
    for number, object_format in enumerate(("sha256", "sha1", "sha256")):
        path = tmp_path / f"repo{number}"
        shutil.copytree(bases[object_format], path, symlinks=True)
        for i in range(300):
            (path / f"many{i}.txt").write_text(f"{i}\n" * i)
        git(path, "add", "-A")
        git(path, "commit", "-q", "-m", "many")
        for i in range(0, 300, 7):
            (path / f"many{i}.txt").write_text("changed\n")
        paths.append((path, public_calls(samples_of(path), bases)))
    hide_git()
    expected = [answers(gsc.GitServiceCython(str(path)), calls) for path, calls in paths]
    shared = [gsc.GitServiceCython(str(path)) for path, _ in paths]
    failures = []

    def work(k: int) -> None:
        path, calls = paths[k % 3]
        for _ in range(2):
            service = shared[k % 3] if k % 2 else gsc.GitServiceCython(str(path))
            got = answers(service, calls)
            failures.extend((k, name) for name in got if got[name] != expected[k % 3][name])

    threads = [threading.Thread(target=work, args=(k,)) for k in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=600)
    assert not any(thread.is_alive() for thread in threads)
    assert failures == []
