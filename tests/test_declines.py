"""Why a call read through dulwich: each read the store leaves to dulwich, each
file it will not use and each gate that keeps a call off the native road is
logged at DEBUG on the logger "git_service_cython", once per call, with the
method's name and a short reason; a file's reason once per file identity.
Nothing is logged, and the answers do not change, when nobody listens."""

from __future__ import annotations

import logging
import os
import struct

import _git_store_probe as probe
import git_service_cython as gsc
import pytest
from dulwich.refs import DiskRefsContainer
from dulwich.repo import Repo
from roads import library_service, outcome

LOGGER = "git_service_cython"


def reasons(caplog) -> list[str]:
    """The module's messages, in order."""
    return [record.getMessage() for record in caplog.records if record.name == LOGGER]


def told(messages: list[str], reason: str) -> int:
    """How many messages give `reason` (after the name of the method that met it)."""
    return sum(message.split(": ", 1)[1] == reason for message in messages)


@pytest.fixture
def listening(caplog):
    """The module's logger enabled for DEBUG; gives the records' messages so far."""
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    return lambda: reasons(caplog)


@pytest.fixture
def history(repo):
    """A main of five commits and a branch, all packed (refs and objects)."""
    repo.linear_history(5)
    repo.git("branch", "side", "main~2")
    repo.git("repack", "-adq")
    repo.git("pack-refs", "--all")
    return repo


def same_outcomes_on_both_roads(path, call) -> object:
    native = outcome(lambda: call(gsc.GitServiceCython(str(path))))
    assert native == outcome(lambda: call(library_service(path)))
    return native


# --- references --------------------------------------------------------------------------------------------

def test_a_malformed_packed_refs_line_is_named_with_its_number(history, listening, hide_git):
    packed = history.path / ".git" / "packed-refs"
    lines = packed.read_bytes().splitlines(keepends=True)
    lines.insert(2, b"0123 refs/heads/short\n")
    packed.write_bytes(b"".join(lines))
    hide_git()
    same_outcomes_on_both_roads(history.path, lambda service: service.get_branch_info("main"))
    assert "get_branch_info: packed-refs: line 3 malformed" in listening()


@pytest.mark.parametrize("content, reason", [
    (b"not a ref\n", "loose ref: neither an id nor a symbolic ref"),
    (b"ref: refs/heads/main", "loose ref: no newline at the end"),
])
def test_a_loose_ref_in_another_shape_is_named(history, listening, hide_git, content, reason):
    (history.path / ".git" / "refs" / "heads" / "odd").write_bytes(content)
    hide_git()
    same_outcomes_on_both_roads(history.path, lambda service: service.list_branches())
    assert f"list_branches: {reason}" in listening()


def test_gates_name_what_keeps_a_call_off_the_native_road(history, listening, hide_git):
    hide_git()

    class OwnRefs(DiskRefsContainer):
        pass

    repo = Repo(str(history.path))
    repo.refs.__class__ = OwnRefs
    outcome(lambda: library_service(history.path, repo).get_branch_info("main"))
    assert "get_branch_info: gate: refs container replaced" in listening()

    class OwnRepo(Repo):
        pass

    service = library_service(history.path, OwnRepo(str(history.path)))
    outcome(lambda: service.list_commits("main"))
    assert "list_commits: gate: repo is not dulwich's Repo" in listening()


def test_each_reason_is_logged_once_per_call(history, listening, hide_git):
    (history.path / ".git" / "refs" / "heads" / "odd").write_bytes(b"not a ref\n")
    hide_git()
    service = gsc.GitServiceCython(str(history.path))
    service.list_branches()
    service.list_branches()
    assert listening().count("list_branches: loose ref: neither an id nor a symbolic ref") == 2


def test_an_index_left_to_dulwich_is_named(history, listening, hide_git):
    history.commit("a file", files={"a.txt": "a\n"})
    index = history.path / ".git" / "index"
    data = bytearray(index.read_bytes())
    data[-1] ^= 1
    index.write_bytes(bytes(data))
    hide_git()
    same_outcomes_on_both_roads(history.path, lambda service: service.get_file_status())
    assert "get_file_status: index: checksum mismatch" in listening()


# --- packs and pack indexes --------------------------------------------------------------------------------

def pack_file(history, suffix: str):
    (path,) = (history.path / ".git" / "objects" / "pack").glob(f"*{suffix}")
    os.chmod(path, 0o644)
    return path


def test_a_refused_pack_index_is_logged_once_per_file_identity(history, listening, hide_git):
    index = pack_file(history, ".idx")
    index.write_bytes(index.read_bytes()[:-60])
    hide_git()
    for _ in range(3):
        same_outcomes_on_both_roads(history.path, lambda service: service.list_commits("main"))
    refused = "pack index: shorter than its object count needs"
    assert told(listening(), refused) == 1
    # Another file at the same path is another identity.
    index.write_bytes(index.read_bytes()[:-1])
    outcome(lambda: gsc.GitServiceCython(str(history.path)).list_commits("main"))
    assert told(listening(), refused) == 2


def test_a_pack_whose_checksum_disagrees_with_its_index_is_logged_once(history, listening, hide_git):
    pack = pack_file(history, ".pack")
    data = bytearray(pack.read_bytes())
    data[-1] ^= 1
    pack.write_bytes(bytes(data))
    hide_git()
    for _ in range(2):
        same_outcomes_on_both_roads(history.path, lambda service: service.count_commits("side"))
    assert told(listening(), "pack: checksum differs from the one its index records") == 1


def test_the_probe_gives_the_reasons_of_its_last_store_call(history, probe_format):
    git_dir = history.path / ".git"
    head = history.head()
    assert probe.read_objects(str(git_dir), str(git_dir / "objects"), [head])[0] != "declined"
    assert probe.last_declines() == []
    index = pack_file(history, ".idx")
    index.write_bytes(index.read_bytes()[:-60])
    assert probe.read_objects(str(git_dir), str(git_dir / "objects"), [head]) == ["declined"]
    ((reason, file),) = probe.last_declines()
    assert reason == "pack index: shorter than its object count needs"
    assert isinstance(file, int) and file != 0


# --- the commit-graph --------------------------------------------------------------------------------------

def graph_path(history):
    history.git("commit-graph", "write", "--reachable")
    path = history.path / ".git" / "objects" / "info" / "commit-graph"
    os.chmod(path, 0o644)
    return path


def chunk_offset(data: bytes, chunk: bytes) -> int:
    for entry in range(data[6]):
        at = 8 + 12 * entry
        if data[at:at + 4] == chunk:
            return struct.unpack(">Q", data[at + 4:at + 12])[0]
    raise AssertionError(chunk)


@pytest.mark.parametrize("damage, reason", [
    (lambda data: data.__setitem__(4, 2), "commit-graph: version 2"),
    (lambda data: data.__setitem__(slice(chunk_offset(data, b"OIDF") + 4 * 200, chunk_offset(data, b"OIDF") + 4 * 201),
                                   b"\xff\xff\xff\xff"), "commit-graph: fanout not monotonic"),
], ids=["version", "fanout"])
def test_a_refused_commit_graph_is_logged_once_per_file_identity(history, listening, hide_git, damage, reason):
    path = graph_path(history)
    data = bytearray(path.read_bytes())
    damage(data)
    path.write_bytes(bytes(data))
    hide_git()
    for _ in range(2):
        for call in (lambda service: service.count_commits("side"), lambda service: service.list_commits("main"),
                     lambda service: service.get_merge_base("side")):
            same_outcomes_on_both_roads(history.path, call)
    assert told(listening(), reason) == 1


# --- nobody listening --------------------------------------------------------------------------------------

def test_nothing_is_logged_when_the_logger_is_not_enabled_for_debug(history, caplog, hide_git):
    caplog.set_level(logging.INFO, logger=LOGGER)
    index = pack_file(history, ".idx")
    index.write_bytes(index.read_bytes()[:-60])
    (history.path / ".git" / "refs" / "heads" / "odd").write_bytes(b"not a ref\n")
    hide_git()
    quiet = [same_outcomes_on_both_roads(history.path, lambda service: service.list_commits("main")),
             same_outcomes_on_both_roads(history.path, lambda service: service.list_branches())]
    assert reasons(caplog) == []
    # A file's reason that nobody heard is told once somebody listens, with the same answers.
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    assert outcome(lambda: gsc.GitServiceCython(str(history.path)).list_commits("main")) == quiet[0]
    assert outcome(lambda: gsc.GitServiceCython(str(history.path)).list_branches()) == quiet[1]
    messages = reasons(caplog)
    assert told(messages, "pack index: shorter than its object count needs") == 1
    assert "list_branches: loose ref: neither an id nor a symbolic ref" in messages


def test_a_call_that_leaves_nothing_to_dulwich_logs_nothing(history, listening, hide_git):
    hide_git()
    service = gsc.GitServiceCython(str(history.path))
    service.list_commits("main")
    service.list_branches()
    service.count_commits("side")
    assert listening() == []
