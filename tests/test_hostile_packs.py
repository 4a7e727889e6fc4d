"""Packs beyond the plain ones, on both roads: pack indexes of version 3
(which dulwich reads and git does not), and packs dulwich refuses as a whole
because their trailer or object count disagrees with their index. dulwich
raises for such a pack the first time a Repo reads from it, and never again
for that Repo: a sequence of calls on one service must raise, or answer, in
the same calls on both roads. Tests that take `object_format` run on SHA-1
and on SHA-256 repositories, whose packs and indexes end in 32-byte trailers."""

from __future__ import annotations

import os
import shutil
import struct
from pathlib import Path

import _git_store_probe as probe
import git_service_cython as gsc
import pytest
from decline_reasons import NOTHING, AnyOf, Expected, assert_declined, expected_reasons, listening, probe_reasons
from dulwich.errors import ChecksumMismatch
from dulwich.repo import Repo
from roads import library_service, outcome
from store_helpers import (
    FORMAT_NUMBERS,
    ID_SIZES,
    all_object_ids,
    build_history,
    dulwich_reading,
    git,
    write_version_3,
)

BRANCHES = ("main", "a", "odd", "missing")

# What the native road declines (decline_reasons): a pack it refuses leaves every read of a call to dulwich once
# the commit-graph is open.
REFUSED_BEFORE_THE_GRAPH = "objects: packs or alternates dulwich raises on, met before using the graph"
CHECKSUM = "pack: checksum differs from the one its index records"


def with_graph(declines: Expected, graph: bool) -> Expected:
    return (*expected_reasons(declines), REFUSED_BEFORE_THE_GRAPH) if graph else declines


def history_answers(service, commits: list[str]) -> dict:
    """Each call without git, in order, on one service."""
    answers = {}
    for branch in BRANCHES:
        answers[f"list {branch}"] = outcome(lambda b=branch: service.list_commits(b))
        answers[f"count {branch}"] = outcome(lambda b=branch: service.count_commits(b))
        answers[f"merge base {branch}"] = outcome(lambda b=branch: service.get_merge_base(b))
        answers[f"remote {branch}"] = outcome(lambda b=branch: service._get_remote_commits(b))
    for commit in commits:
        answers[f"refs {commit}"] = outcome(lambda c=commit: service.get_commit_refs(c))
    return answers


@pytest.fixture(scope="module")
def histories(tmp_path_factory):
    """Makes, once per object format, a history of merges and unusual commits with remote branches, in one pack."""
    made = {}

    def history_of(object_format: str):
        if object_format not in made:
            path = tmp_path_factory.mktemp("packs") / "repo"
            build_history(path, object_format)
            git(path, "update-ref", "refs/remotes/origin/main", "main~3")
            git(path, "update-ref", "refs/remotes/origin/a", "a")
            git(path, "repack", "-adq")
            commits = git(path, "rev-list", "--all").split()
            made[object_format] = path, commits[:12] + commits[-3:], all_object_ids(path)
        return made[object_format]
    return history_of


@pytest.fixture
def history(histories, request):
    """The history in the test's object_format where it takes one, in SHA-1 otherwise."""
    return histories(request.getfixturevalue("object_format") if "object_format" in request.fixturenames else "sha1")


def copy_of(history, tmp_path: Path, name: str, *, graph: bool = False) -> Path:
    source, _, _ = history
    path = tmp_path / name
    shutil.copytree(source, path, symlinks=True)
    if graph:
        git(path, "commit-graph", "write", "--reachable")
    return path


def pack_files(path: Path, suffix: str) -> list[Path]:
    return sorted((path / ".git" / "objects" / "pack").glob(f"*{suffix}"))


# --- version 3 -------------------------------------------------------------------------------------------

@pytest.mark.parametrize("graph", [False, True], ids=["packed", "with a commit-graph"])
def test_a_version_3_index_reads_as_dulwich_reads_it(history, tmp_path, hide_git, graph, object_format,
                                                     probe_format):
    _, commits, ids = history
    plain = copy_of(history, tmp_path, "v2", graph=graph)
    path = copy_of(history, tmp_path, "v3", graph=graph)
    (idx,) = pack_files(path, ".idx")
    write_version_3(idx, object_format=object_format)
    size = ID_SIZES[object_format]
    assert idx.read_bytes()[:16] == b"\377tOc" + struct.pack(">LLL", 3, FORMAT_NUMBERS[object_format], size)
    results = probe.read_objects(str(path / ".git"), str(path / ".git" / "objects"), ids)
    store_declines = probe_reasons()
    with Repo(str(path)) as repo:
        readings = [dulwich_reading(repo, hexid) for hexid in ids]
    hide_git()  # git does not read this version
    with listening() as heard:
        native = history_answers(gsc.GitServiceCython(str(path)), commits)
    assert native == history_answers(library_service(path), commits)
    if object_format == "sha1":
        # The store reads every object itself, as dulwich reads it.
        assert_declined(store_declines, NOTHING)
        assert_declined(heard.reasons, NOTHING)
        assert results == readings
        assert native == history_answers(gsc.GitServiceCython(str(plain)), commits)
        assert native["count main"] > 30 and isinstance(native["merge base a"], str)
        return
    # Of a SHA-256 one, dulwich takes the pack checksum the index records as SHA-1's twenty bytes: it
    # refuses the pack the first time it reads it, then reads it. The store leaves the pack to it.
    refusal = "pack index version 3 of SHA-256: dulwich reads its pack checksum as SHA-1's"
    assert_declined(store_declines, refusal)
    assert_declined(heard.reasons, with_graph(refusal, graph))
    refused = [k for k, reading in enumerate(readings) if reading is ChecksumMismatch]
    assert len(refused) == 1 and readings == [
        ChecksumMismatch if k in refused else reading
        for k, reading in enumerate(probe.read_objects(str(plain / ".git"), str(plain / ".git" / "objects"), ids))]
    # What the store finds is loose, and dulwich's reading; the packed objects it declines.
    assert results.count("declined") > len(ids) / 2
    assert all(result in ("declined", reading) for result, reading in zip(results, readings, strict=True))
    # (The listing's remote set is what meets the refusal, and swallows it.)
    assert native["count main"] > 30


def test_a_version_1_index_of_a_sha256_repository_is_left_to_dulwich(histories, tmp_path, hide_git):
    # dulwich reads version-1 indexes as SHA-1 ones only: it asserts on one in a SHA-256 repository, in
    # every call that looks into the packs, and so do the panes on both roads.
    _, commits, _ = histories("sha256")
    path = copy_of(histories("sha256"), tmp_path, "v1")
    git(path, "-c", "pack.indexVersion=1", "repack", "-adfq")
    (idx,) = pack_files(path, ".idx")
    assert idx.read_bytes()[:4] != b"\377tOc"
    hide_git()
    with listening() as heard:
        native = history_answers(gsc.GitServiceCython(str(path)), commits)
    assert_declined(heard.reasons, "pack index version 1 in a SHA-256 repository")
    assert native == history_answers(library_service(path), commits)
    assert native["list main"][0] is AssertionError and native["count main"][0] is AssertionError


# What dulwich raises for a version-3 index it cannot read (with the hash
# format it names, and the size it is cut to, for an index of `object_format`),
# and why the store declines it; a hash format dulwich does not know is a
# KeyError, for which it passes the pack over, and so does the store.
UNREADABLE = {
    "the other format": (lambda f: FORMAT_NUMBERS["sha256" if f == "sha1" else "sha1"], None, AssertionError,
                         "pack index version 3 of the other object format"),
    "unknown hash format": (lambda f: 7, None, KeyError, NOTHING),
    "cut in the header": (None, lambda f: 14, struct.error, "pack index: shorter than its header"),
    "cut in the fanout": (None, lambda f: 16 + 600, struct.error, "pack index: shorter than its fanout"),
    "cut in the tables": (None, lambda f: 16 + 1024 + ID_SIZES[f] * 30, AssertionError,
                          "pack index: shorter than its object count needs"),
}


@pytest.mark.parametrize("case", list(UNREADABLE))
def test_version_3_indexes_dulwich_cannot_read_are_left_to_it(history, tmp_path, hide_git, case, object_format,
                                                              probe_format):
    _, commits, ids = history
    named, cut, raised, declines = UNREADABLE[case]
    path = copy_of(history, tmp_path, "v3")
    (idx,) = pack_files(path, ".idx")
    write_version_3(idx, named and named(object_format), object_format)
    if cut is not None:
        idx.write_bytes(idx.read_bytes()[:cut(object_format)])
    results = probe.read_objects(str(path / ".git"), str(path / ".git" / "objects"), ids)
    assert_declined(probe_reasons(), declines)
    with Repo(str(path)) as repo:
        readings = [dulwich_reading(repo, hexid) for hexid in ids]
    if raised is KeyError:  # the packed objects are missing, the loose ones found
        assert results == [reading if type(reading) is tuple else "missing" for reading in readings]
        assert KeyError in readings
    else:
        assert set(results) == {"declined"} and set(readings) == {raised}
    hide_git()
    with listening() as heard:
        native = history_answers(gsc.GitServiceCython(str(path)), commits)
    # The walks leave a commit the store does not hold to dulwich, which raises for it.
    assert_declined(heard.reasons, "commit: not in the store" if raised is KeyError else declines)
    assert native == history_answers(library_service(path), commits)
    assert native["list main"][0] in (KeyError, raised)


# --- packs dulwich refuses -------------------------------------------------------------------------------

def split_in_two(path: Path) -> Path:
    """Two packs: the history of a, b and c, and everything else. Returns the second."""
    pack_dir = path / ".git" / "objects" / "pack"
    (old,) = pack_files(path, ".pack")
    older = git(path, "pack-objects", "--revs", "-q", str(pack_dir / "pack"), input=b"a\nb\nc\n")
    newer = git(path, "pack-objects", "--revs", "--all", "-q", str(pack_dir / "pack"), input=b"^a\n^b\n^c\n")
    assert older != newer
    old.unlink()
    old.with_suffix(".idx").unlink()
    return pack_dir / f"pack-{newer}.pack"


def flip_byte(path: Path, position: int) -> None:
    os.chmod(path, 0o644)
    data = bytearray(path.read_bytes())
    data[position] ^= 0x01
    path.write_bytes(bytes(data))


def count_one_more(pack: Path) -> None:
    os.chmod(pack, 0o644)
    data = bytearray(pack.read_bytes())
    data[8:12] = struct.pack(">L", struct.unpack(">L", data[8:12])[0] + 1)
    pack.write_bytes(bytes(data))


def cut_one_byte(pack: Path) -> None:
    os.chmod(pack, 0o644)
    os.truncate(pack, pack.stat().st_size - 1)


# Each damage to a pack of `object_format`, whose trailer and the index's records of it are ids of the format,
# and why the store refuses the pack.
REFUSED = {
    "trailer": (lambda pack, object_format: flip_byte(pack, -1), CHECKSUM),
    "trailer cut short": (lambda pack, object_format: cut_one_byte(pack), CHECKSUM),
    "checksum the index records": (lambda pack, object_format: flip_byte(pack.with_suffix(".idx"),
                                                                         -ID_SIZES[object_format] - 1), CHECKSUM),
    "object count": (lambda pack, object_format: count_one_more(pack), "pack: object count differs from its index's"),
}

# Each order begins with another call, so that a different one meets the
# pack first: the remote set swallows what dulwich raises, the others let it through.
ORDERS = {
    "remote set first": ["remote main", "list main", "count main", "merge base main", "refs", "status", "map",
                         "list main"],
    "listing first": ["list main", "remote main", "list main", "count odd", "refs"],
    "count first": ["count main", "list a", "merge base a", "remote a", "list main"],
    "scan first": ["status", "map", "count main", "remote main"],
    "untouched first": ["list a", "count a", "remote a", "list main", "remote main"],
}


def calls(service, head: str, tree) -> dict:
    return {
        "remote main": lambda: service._get_remote_commits("main"),
        "remote a": lambda: service._get_remote_commits("a"),
        "list main": lambda: service.list_commits("main"),
        "list a": lambda: service.list_commits("a"),
        "count main": lambda: service.count_commits("main"),
        "count a": lambda: service.count_commits("a"),
        "count odd": lambda: service.count_commits("odd"),
        "merge base main": lambda: service.get_merge_base("main"),
        "merge base a": lambda: service.get_merge_base("a"),
        "refs": lambda: service.get_commit_refs(head),
        "status": lambda: sorted(service.get_file_status(), key=repr),
        "map": lambda: service._build_head_file_map(tree),
    }


def in_order(service, order: list[str], head: str, tree) -> list:
    steps = calls(service, head, tree)
    return [(name, outcome(steps[name])) for name in order]


def assert_roads_agree(path: Path, head: str, tree, declines) -> list:
    """Every order of calls, each on a fresh service per road: the same outcome per call; the native road
    declines for `declines` (a file's reason told by the first order that meets it)."""
    seen, reasons = [], set()
    for name, order in ORDERS.items():
        with listening() as heard:
            native = in_order(gsc.GitServiceCython(str(path)), order, head, tree)
        reasons |= heard.reasons
        assert native == in_order(library_service(path), order, head, tree), name
        seen += [answer for _, answer in native]
    assert_declined(reasons, declines)
    return seen


def head_and_tree(path: Path, objects_from: Path | None = None):
    """main's head in `path`, and its tree read from `path` or from the repository `objects_from`."""
    with Repo(str(path)) as repo:
        head = repo.refs[b"refs/heads/main"]
        tree_id = repo[head].tree
    with Repo(str(objects_from or path)) as repo:
        return head.decode(), repo[tree_id]


@pytest.mark.parametrize("graph", [False, True], ids=["packed", "with a commit-graph"])
@pytest.mark.parametrize("damage", list(REFUSED))
def test_a_pack_dulwich_refuses_raises_in_the_same_calls_on_both_roads(history, tmp_path, hide_git, damage,
                                                                      graph, object_format):
    path = copy_of(history, tmp_path, "refused")
    git(path, "checkout", "-q", "-f", "main")
    (path / "edited.txt").write_text("changed in the working tree\n")
    newer = split_in_two(path)
    if graph:
        git(path, "commit-graph", "write", "--reachable")
    head, tree = head_and_tree(path)
    # Rows of the graph compared with their commits while the pack was whole.
    gsc.GitServiceCython(str(path)).count_commits("a")
    make, refusal = REFUSED[damage]
    make(newer, object_format)
    hide_git()
    seen = assert_roads_agree(path, head, tree, with_graph(refusal, graph))
    # dulwich's check raised in some calls, and in others the pack was read.
    assert {raised(answer) for answer in seen} & {AssertionError, ChecksumMismatch}
    assert any(type(answer) is list and answer for answer in seen)


def raised(answer):
    """The exception class of an outcome, or None for an answer."""
    if type(answer) is tuple and len(answer) == 2 and isinstance(answer[0], type):
        return answer[0]
    return None


@pytest.mark.parametrize("graph", [False, True], ids=["packed", "with a commit-graph"])
def test_a_pack_dulwich_refuses_in_an_alternate_raises_in_the_same_calls(history, tmp_path, hide_git, graph,
                                                                        object_format):
    # The shared history lies in another repository's objects, named by
    # objects/info/alternates; the newer commits are the repository's own.
    # dulwich opens an alternate as a store of SHA-1 ids: in a SHA-256
    # repository it raises AssertionError for every id that reaches one,
    # before the damage matters.
    shared = copy_of(history, tmp_path, "shared")
    path = tmp_path / "borrowing"
    git(tmp_path, "clone", "-q", "--shared", str(shared), str(path))
    git(path, "update-ref", "refs/remotes/origin/main", "origin/main~3")
    git(path, "commit", "-q", "--allow-empty", "-m", "own commit")
    git(path, "repack", "-adlq")
    assert (path / ".git" / "objects" / "info" / "alternates").exists()
    if graph:
        git(path, "commit-graph", "write", "--reachable")
    head, tree = head_and_tree(path, objects_from=shared)
    gsc.GitServiceCython(str(path)).count_commits("main")
    (shared_pack,) = pack_files(shared, ".pack")
    flip_byte(shared_pack, -1)
    hide_git()
    refusal = {"sha1": CHECKSUM, "sha256": "alternates: dulwich reads them as SHA-1 stores"}[object_format]
    seen = assert_roads_agree(path, head, tree, with_graph(refusal, graph))
    assert {"sha1": ChecksumMismatch, "sha256": AssertionError}[object_format] in {raised(answer) for answer in seen}


# Changes made in place to a pack of `object_format` or to its index (the same files, the index the same size:
# dulwich maps indexes) between two calls of one service, and why the store then declines. The bytes flipped
# in the entries fall in deltas and whole objects: which a call meets first depends on the history's ids.
BETWEEN_CALLS = {
    "entries": (lambda pack, object_format: [flip_byte(pack, at) for at in (300, 700, 1100)],
                AnyOf("pack: object data does not inflate to its size", "pack: delta does not inflate to its size")),
    "trailer": (lambda pack, object_format: flip_byte(pack, -ID_SIZES[object_format]), CHECKSUM),
    "trailer cut off": (lambda pack, object_format: os.truncate(pack, pack.stat().st_size - ID_SIZES[object_format]),
                        CHECKSUM),
    "the index's record of the trailer": (lambda pack, object_format: flip_byte(pack.with_suffix(".idx"),
                                                                                -2 * ID_SIZES[object_format]),
                                          CHECKSUM),
}


@pytest.mark.parametrize(("change", "graph"), [
    *((change, False) for change in BETWEEN_CALLS),
    # (Damaged entries under a sound graph: tests/test_native_road.py.)
    *((change, True) for change in BETWEEN_CALLS if change != "entries"),
])
def test_a_pack_changed_between_two_calls_of_one_service_answers_as_dulwich_does(history, tmp_path, hide_git, change,
                                                                                 graph, object_format):
    # Each road's service read the pack whole first. dulwich checks a pack's trailer only when it first
    # reads it: a changed trailer changes nothing for it then; changed entries it meets.
    _, commits, _ = history
    path = copy_of(history, tmp_path, "changed", graph=graph)
    hide_git()
    native, plain = gsc.GitServiceCython(str(path)), library_service(path)
    before = history_answers(native, commits)
    assert before == history_answers(plain, commits)
    (pack,) = pack_files(path, ".pack")
    os.chmod(pack, 0o644)
    make, declines = BETWEEN_CALLS[change]
    make(pack, object_format)
    with listening() as heard:
        after = history_answers(native, commits)
    assert_declined(heard.reasons, with_graph(declines, graph))
    assert after == history_answers(plain, commits)
    assert (after != before) is (change == "entries")


def test_many_sound_packs_keep_the_commit_graph_in_use(history, tmp_path, hide_git):
    # Twenty-one packs, each sound: the graph still stands for commits that
    # can no longer be read (the entries of the newest pack are gone, its
    # header and trailer kept).
    path = copy_of(history, tmp_path, "many")
    for number in range(20):
        git(path, "commit", "-q", "--allow-empty", "-m", f"more {number}")
        git(path, "repack", "-dq")
    assert len(pack_files(path, ".pack")) == 21
    git(path, "commit-graph", "write", "--reachable")
    hide_git()
    count = gsc.GitServiceCython(str(path)).count_commits("main")
    newest = max(pack_files(path, ".pack"), key=lambda pack: pack.stat().st_mtime_ns)
    os.chmod(newest, 0o644)
    data = bytearray(newest.read_bytes())
    data[12:-20] = bytes(len(data) - 32)
    newest.write_bytes(bytes(data))
    with listening() as heard:
        assert gsc.GitServiceCython(str(path)).count_commits("main") == count
    assert_declined(heard.reasons, NOTHING)
    assert raised(outcome(lambda: library_service(path).count_commits("main"))) is not None


# A first line of alternates (given the repository's path and a regular file), and why the store declines it.
OWN_DIRECTORY = "alternates: a line naming its own directory or one that borrows from it"
FIRST_LINES = {
    "": (lambda path, file: "", OWN_DIRECTORY),
    ".": (lambda path, file: ".", OWN_DIRECTORY),
    "itself": (lambda path, file: str(path / ".git" / "objects"), OWN_DIRECTORY),
    "a regular file": (lambda path, file: str(file), "alternates: a line naming no directory"),
}


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")  # dulwich's packs, left half made
@pytest.mark.parametrize("line", list(FIRST_LINES))
@pytest.mark.parametrize("graph", [False, True], ids=["packed", "with a commit-graph"])
def test_an_alternate_dulwich_cannot_pass_over_answers_as_dulwich(history, tmp_path, hide_git, line,
                                                                            graph):
    # dulwich reads alternates in order and looks into each before the next: one naming the
    # repository's own objects first (an empty line, ".", its own path) is a store that borrows from
    # itself, so an object found only further on is never reached (it raises RecursionError, or the
    # remote set comes out empty); one naming a regular file raises NotADirectoryError as dulwich lists
    # its packs. git passes such lines over; the roads must still agree.
    shared = copy_of(history, tmp_path, "shared")
    path = tmp_path / "borrowing"
    git(tmp_path, "clone", "-q", "--shared", str(shared), str(path))
    git(path, "update-ref", "refs/remotes/origin/main", "origin/main~3")
    git(path, "commit", "-q", "--allow-empty", "-m", "own commit")
    git(path, "repack", "-adlq")
    if graph:
        git(path, "commit-graph", "write", "--reachable")
    alternates = path / ".git" / "objects" / "info" / "alternates"
    (tmp_path / "a file").write_text("not a directory\n")
    first, declines = FIRST_LINES[line]
    alternates.write_text(f"{first(path, tmp_path / 'a file')}\n{alternates.read_text()}")
    commits = git(shared, "rev-list", "--all").split()[:3]
    hide_git()
    with listening() as heard:
        native = history_answers(gsc.GitServiceCython(str(path)), commits)
    assert_declined(heard.reasons, with_graph(declines, graph))
    assert native == history_answers(library_service(path), commits)
