"""Shallow clones: a commit named in .git/shallow has no parents for every
walk, as git treats it, on both roads; outside shallow clones a missing parent
is damage and still raises. In SHA-1 repositories and SHA-256 ones, whose
shallow file names commits by 64 digits."""

from __future__ import annotations

import contextlib
import shutil
import subprocess
from collections import deque
from pathlib import Path

import git_service_cython as gsc
import pytest
from decline_reasons import NOTHING, assert_declined, listening
from roads import LibraryRepo, OwnWalk, library_service
from store_helpers import git


@contextlib.contextmanager
def services(path: Path):
    """The module on its native road, and on the dulwich road twice over."""
    with LibraryRepo(str(path)) as repo:
        yield {"native": gsc.GitServiceCython(str(path)), "library": library_service(path, repo),
               "own walk": OwnWalk(str(path))}


def source_repository(path: Path, object_format: str = "sha1") -> None:
    """main: 60 commits, every ninth merging a side commit forked two back; feature: 4 commits off main~6."""
    git(path.parent, "init", "-q", "-b", "main", f"--object-format={object_format}", str(path))
    lines = []
    mark = 0
    main_marks = []
    for i in range(60):
        merge = None
        if i % 9 == 8:
            mark += 1
            merge = mark
            lines.append(b"commit refs/heads/side\nmark :%d\ncommitter C <c@x> %d +0000\ndata 4\ns%02d\nfrom :%d\n\n"
                         % (mark, 1_600_000_000 + 10 * i, i, main_marks[-2]))
        mark += 1
        lines.append(b"commit refs/heads/main\nmark :%d\ncommitter C <c@x> %d +0000\ndata 4\nm%02d\n"
                     % (mark, 1_600_000_000 + 10 * i + 5, i))
        if main_marks:
            lines.append(b"from :%d\n" % main_marks[-1])
        if merge:
            lines.append(b"merge :%d\n" % merge)
        lines.append(b"\n")
        main_marks.append(mark)
    git(path, "fast-import", "--quiet", "--force", input=b"".join(lines))
    git(path, "branch", "feature", "main~6")
    for i in range(4):
        commit = git(path, "commit-tree", "-m", f"f{i}", "-p", "feature", "feature^{tree}")
        git(path, "update-ref", "refs/heads/feature", commit)
    git(path, "commit-graph", "write", "--reachable")


def expected_walk(path: Path, head: str, limit: int = -1) -> list[str]:
    """The module's breadth-first walk over the parents git reports (none at the shallow cut)."""
    parents = {}
    for line in git(path, "rev-list", "--parents", head).splitlines():
        commit, *rest = line.split()
        parents[commit] = rest
    start = git(path, "rev-parse", head)
    seen, order, queue = set(), [], deque([start])
    while queue and (limit < 0 or len(order) < limit):
        commit = queue.popleft()
        if commit in seen:
            continue
        seen.add(commit)
        order.append(commit)
        queue.extend(parents[commit])
    return order


@pytest.fixture(scope="module")
def source(tmp_path_factory, object_format):
    path = tmp_path_factory.mktemp("shallow") / "source"
    source_repository(path, object_format)
    return path


def shallow_clone(source: Path, path: Path, depth: int, single_branch: bool, with_graph: bool) -> Path:
    args = ["clone", "-q", f"--depth={depth}", "--single-branch" if single_branch else "--no-single-branch"]
    git(source.parent, *args, source.as_uri(), str(path))
    if not single_branch:
        git(path, "branch", "feature", "origin/feature")
    if with_graph:
        # A graph written before the clone was cut: it names parents that are not here.
        shutil.copy(source / ".git" / "objects" / "info" / "commit-graph", path / ".git" / "objects" / "info")
    assert (path / ".git" / "shallow").exists()
    assert {len(line) for line in (path / ".git" / "shallow").read_text().split()} == {len(git(path, "rev-parse", "HEAD"))}
    return path


def hide(monkeypatch):
    def missing(*args, **kwargs):
        raise FileNotFoundError(2, "No such file or directory: 'git'")
    monkeypatch.setattr(subprocess, "run", missing)


@pytest.mark.parametrize("depth", [1, 3, 50])
@pytest.mark.parametrize("single_branch", [True, False], ids=["single-branch", "all-branches"])
@pytest.mark.parametrize("with_graph", [False, True], ids=["", "stale graph"])
def test_shallow_histories_end_at_the_cut_on_every_road(source, tmp_path, monkeypatch, depth, single_branch,
                                                        with_graph):
    path = shallow_clone(source, tmp_path / "clone", depth, single_branch, with_graph)
    branches = ["main"] if single_branch else ["main", "feature"]
    main_walk = expected_walk(path, "main")
    expected = {
        "list main": main_walk[:200],
        "walk main": main_walk,
        "remote main": set(expected_walk(path, "origin/main", 200)),
        "count main": int(git(path, "rev-list", "--count", "main")),
    }
    if not single_branch:
        hidden = set(expected_walk(path, "main", 200))
        expected["list feature"] = [c for c in expected_walk(path, "feature") if c not in hidden][:200]
        expected["count feature"] = int(git(path, "rev-list", "--count", "feature", "^main"))
        base = subprocess.run(["git", "merge-base", "main", "feature"], cwd=path, capture_output=True, text=True,
                              check=False)
        expected["merge base feature"] = base.stdout.strip() or None
    assert len(main_walk) < 200 and expected["count main"] == len(main_walk)

    with services(path) as every:
        with_git = {(name, branch): service.count_commits(branch) for name, service in every.items()
                    for branch in branches}
    assert with_git == {(name, branch): expected[f"count {branch}"] for name in every for branch in branches}
    main_head = git(path, "rev-parse", "main").encode()
    feature_walk = expected_walk(path, "feature") if not single_branch else []
    hide(monkeypatch)
    with services(path) as every:
        for name, service in every.items():
            with listening() as heard:
                check_answers(service, name, expected, main_head, feature_walk)
            if name == "native":
                # The store reads a shallow clone itself, its stale graph unused.
                assert_declined(heard.reasons, NOTHING)


def check_answers(service, name, expected, main_head, feature_walk):
    """One service's answers without git against git's view of the same shallow history."""
    found = {
        "list main": [c.sha for c in service.list_commits("main")],
        "walk main": [sha.decode() for sha, _ in service._iter_commits_optimized(main_head, -1)],
        "remote main": service._get_remote_commits("main"),
        "count main": service.count_commits("main"),
    }
    if feature_walk:
        found["list feature"] = [c.sha for c in service.list_commits("feature")]
        found["count feature"] = service.count_commits("feature")
        found["merge base feature"] = service.get_merge_base("feature")
        full = [c.sha for c in service.list_commits("feature", show_full_history=True)]
        assert full == feature_walk[:len(full)]
        assert found["merge base feature"] not in full
    assert found == expected, name


def test_a_missing_parent_outside_a_shallow_clone_still_raises(source, tmp_path, monkeypatch):
    path = shallow_clone(source, tmp_path / "cut", 3, True, False)
    (path / ".git" / "shallow").unlink()
    hide(monkeypatch)
    with services(path) as every:
        for name, service in every.items():
            with listening() as heard, pytest.raises(KeyError):
                service.list_commits("main")
            if name == "native":
                # The walk leaves the missing parent to dulwich, which raises for it.
                assert_declined(heard.reasons, "commit: not in the store")
            with pytest.raises(KeyError):
                service.count_commits("main")
            assert len(service._get_remote_commits("main")) == 3, name  # those read before the missing parent
