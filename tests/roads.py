"""The two roads a pane can take: the module on its own (the native object
store where nobody can tell), and forced through dulwich by a repository
object that is not dulwich's own class or a subclass with a walk of its own."""

from __future__ import annotations

from pathlib import Path

import git_service_cython as gsc
from dulwich.repo import Repo


class LibraryRepo(Repo):
    """dulwich's Repo under another name: the module then reads through it."""


class OwnWalk(gsc.GitServiceCython):
    """A subclass with a walk of its own (the same one): history reads through dulwich."""

    def _iter_commits_optimized(self, head_sha, max_count):
        return super()._iter_commits_optimized(head_sha, max_count)


def library_service(path: Path, repo: Repo | None = None) -> gsc.GitServiceCython:
    """A service whose `repo` is `repo` (a new LibraryRepo by default): it reads through dulwich."""
    service = gsc.GitServiceCython(str(path))
    service.__setstate__((repo if repo is not None else LibraryRepo(str(path)), Path(path).resolve()))
    return service


def outcome(call):
    """What a call gives: its answer, or the class and text of what it raised."""
    try:
        return call()
    except Exception as error:  # noqa: BLE001 - both roads must raise alike
        return type(error), str(error)
