"""Packs beyond the plain ones, on both roads: pack indexes of version 3
(which dulwich reads and git does not)."""

from __future__ import annotations

import shutil
import struct
from pathlib import Path

import _git_store_probe as probe
import git_service_cython as gsc
import pytest
from dulwich.repo import Repo
from roads import library_service, outcome
from store_helpers import all_object_ids, build_history, dulwich_reading, git, write_version_3

BRANCHES = ("main", "a", "odd", "missing")


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
def history(tmp_path_factory):
    """A history of merges and unusual commits with remote branches, in one pack."""
    path = tmp_path_factory.mktemp("packs") / "repo"
    build_history(path)
    git(path, "update-ref", "refs/remotes/origin/main", "main~3")
    git(path, "update-ref", "refs/remotes/origin/a", "a")
    git(path, "repack", "-adq")
    commits = git(path, "rev-list", "--all").split()
    return path, commits[:12] + commits[-3:], all_object_ids(path)


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
def test_a_version_3_index_reads_as_dulwich_reads_it(history, tmp_path, hide_git, graph):
    _, commits, ids = history
    plain = copy_of(history, tmp_path, "v2", graph=graph)
    path = copy_of(history, tmp_path, "v3", graph=graph)
    (idx,) = pack_files(path, ".idx")
    write_version_3(idx)
    assert idx.read_bytes()[:16] == b"\377tOc" + struct.pack(">LLL", 3, 1, 20)
    # The store reads every object itself, as dulwich reads it.
    results = probe.read_objects(str(path / ".git"), str(path / ".git" / "objects"), ids)
    with Repo(str(path)) as repo:
        assert results == [dulwich_reading(repo, hexid) for hexid in ids]
    hide_git()  # git does not read this version
    native = history_answers(gsc.GitServiceCython(str(path)), commits)
    assert native == history_answers(library_service(path), commits)
    assert native == history_answers(gsc.GitServiceCython(str(plain)), commits)
    assert native["count main"] > 30 and isinstance(native["merge base a"], str)


# What dulwich raises for a version-3 index it cannot read; a hash format
# it does not know is a KeyError, for which it passes the pack over.
UNREADABLE = {
    "SHA-256": (2, None, AssertionError),
    "unknown hash format": (7, None, KeyError),
    "cut in the header": (1, 14, struct.error),
    "cut in the fanout": (1, 16 + 600, struct.error),
    "cut in the tables": (1, 16 + 1024 + 20 * 30, AssertionError),
}


@pytest.mark.parametrize("case", list(UNREADABLE))
def test_version_3_indexes_dulwich_cannot_read_are_left_to_it(history, tmp_path, hide_git, case):
    _, commits, ids = history
    hash_format, cut, raised = UNREADABLE[case]
    path = copy_of(history, tmp_path, "v3")
    (idx,) = pack_files(path, ".idx")
    write_version_3(idx, hash_format)
    if cut is not None:
        idx.write_bytes(idx.read_bytes()[:cut])
    results = probe.read_objects(str(path / ".git"), str(path / ".git" / "objects"), ids)
    with Repo(str(path)) as repo:
        readings = [dulwich_reading(repo, hexid) for hexid in ids]
    if raised is KeyError:  # the packed objects are missing, the loose ones found
        assert results == [reading if type(reading) is tuple else "missing" for reading in readings]
        assert KeyError in readings
    else:
        assert set(results) == {"declined"} and set(readings) == {raised}
    hide_git()
    native = history_answers(gsc.GitServiceCython(str(path)), commits)
    assert native == history_answers(library_service(path), commits)
    assert native["list main"][0] in (KeyError, raised)
