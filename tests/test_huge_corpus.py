"""A sample of calls on the benchmark's huge corpus (a million commits, two hundred thousand refs, a hundred
thousand files): the module's own reading answers as dulwich's (and, where dulwich would take minutes, as git's) does. Run by `make huge-check`, and
under the sanitizer by `make huge-check-sanitize`, which build the corpus first (outside the clone, once);
skipped unless GSC_HUGE_CORPUS names the directory of one of its sizes."""

from __future__ import annotations

import os
import subprocess
from pathlib import Path

import git_service_cython as gsc
import pytest
from roads import library_service, outcome

CORPUS = os.environ.get("GSC_HUGE_CORPUS")
pytestmark = pytest.mark.skipif(not CORPUS, reason="GSC_HUGE_CORPUS names no huge corpus")
HISTORIES = ("history", "history-split", "history-plain")


def repository(name: str) -> Path:
    return Path(CORPUS or "") / name


def git(path: Path, *args: str) -> str:
    return subprocess.run(["git", *args], cwd=path, capture_output=True, text=True, check=True).stdout.strip()


def answers(service: gsc.GitServiceCython, commits: list[str]) -> dict:
    """What the history panes answer for a sample of calls that read no whole history."""
    found = {
        "feature": outcome(lambda: service.list_commits("feature")),
        "main": outcome(lambda: service.list_commits("main")),
        "feature page 2": outcome(lambda: service.list_commits("feature", skip=200)),
        "main page 2": outcome(lambda: service.list_commits("main", max_count=50, skip=5_000)),
        "full view": outcome(lambda: service.list_commits("feature", show_full_history=True)),
        "merge base": outcome(lambda: service.get_merge_base("feature", "main")),
        "remote": outcome(lambda: sorted(service._get_remote_commits("feature"))),
    }
    for sha in commits:
        found[f"refs {sha}"] = outcome(lambda sha=sha: service.get_commit_refs(sha))
    return found


@pytest.mark.parametrize("name", HISTORIES)
def test_history_panes_answer_as_dulwich(name, hide_git):
    path = repository(name)
    commits = git(path, "rev-list", "--max-count=3", "main").split() + [git(path, "rev-parse", "feature")]
    merges = git(path, "rev-list", "--merges", "--max-count=2", "main").split()
    hide_git()
    assert answers(gsc.GitServiceCython(str(path)), commits + merges) == answers(library_service(path), commits + merges)


@pytest.mark.parametrize("name", HISTORIES)
def test_counts_without_git_are_gits(name, hide_git):
    # dulwich's walk of a million commits takes minutes: git's count is the same answer here (no commit of
    # the feature branch is reachable from main, whose history holds every commit of the branch below the
    # fork).
    path = repository(name)
    expected = {"main": int(git(path, "rev-list", "--count", "main")),
                "feature": int(git(path, "rev-list", "--count", "main..feature"))}
    hide_git()
    service = gsc.GitServiceCython(str(path))
    assert {branch: service.count_commits(branch) for branch in expected} == expected
    # Once the rows are compared, a second count reads no commit: the same answer.
    assert {branch: gsc.GitServiceCython(str(path)).count_commits(branch) for branch in expected} == expected


def test_refs_panes_answer_as_dulwich(hide_git):
    path = repository("refs")
    sample = [line.split()[0] for line in git(path, "for-each-ref", "--count=5", "--sort=-refname",
                                              "--format=%(objectname) %(refname)", "refs/heads/").splitlines()]
    head = git(path, "rev-parse", "HEAD")
    hide_git()
    native, library = gsc.GitServiceCython(str(path)), library_service(path)
    assert native.list_branches() == library.list_branches()
    assert native.list_remote_branches() == library.list_remote_branches()
    for sha in [head, *sample]:
        assert native.get_commit_refs(sha) == library.get_commit_refs(sha)
    assert gsc.GitServiceCython(str(path)).list_commits("main") == library.list_commits("main")


def test_the_scan_answers_as_dulwich_and_git(hide_git):
    path = repository("worktree")
    with_git = gsc.GitServiceCython(str(path)).get_file_status()
    hide_git()
    scanned = gsc.GitServiceCython(str(path)).get_file_status()
    assert scanned == library_service(path).get_file_status()
    # git's status is the other road's; both name the same files the same way.
    assert {(f.path, f.status) for f in scanned} == {(f.path, f.status) for f in with_git}
