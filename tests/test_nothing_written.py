"""Nothing written: on both roads, calling every method leaves every file of the
repository byte for byte and timestamp for timestamp as it was, and no file
appears or disappears. The one exception is .git/index, which `git status`
itself refreshes when it can; with GIT_OPTIONAL_LOCKS=0 in the host's
environment it leaves that alone too."""

import hashlib
import os

import pytest
from git_service_cython import GitServiceCython
from hardening_helpers import build_rich, intact_trees, method_calls

OLD = 1_000_000_000_000_000_000  # 2001, in nanoseconds


def snapshot(root, skip=()):
    """path -> what it is: a file's size, time and content digest; a link's
    target; a directory's time (except the repository's .git itself, whose
    time git's own index refresh moves)."""
    seen = {}
    for directory, names, files in os.walk(root):
        for name in names + files:
            path = os.path.join(directory, name)
            relative = os.path.relpath(path, root)
            if relative in skip:
                continue
            info = os.lstat(path)
            if os.path.islink(path):
                seen[relative] = ("link", os.readlink(path))
            elif os.path.isdir(path):
                seen[relative] = ("directory", None if relative == ".git" else info.st_mtime_ns)
            else:
                with open(path, "rb") as handle:
                    digest = hashlib.sha256(handle.read()).hexdigest()
                seen[relative] = ("file", info.st_size, info.st_mtime_ns, digest)
    return seen


def age(root):
    """Sets every file and directory time far into the past, so that any rewrite shows."""
    for directory, names, files in os.walk(root, topdown=False):
        for name in names + files:
            os.utime(os.path.join(directory, name), ns=(OLD, OLD), follow_symlinks=False)
    os.utime(root, ns=(OLD, OLD))


@pytest.fixture
def aged(tmp_path):
    rich = build_rich(tmp_path / "repo")
    rich.repo.git("pack-refs", "--all")
    rich.repo.git("update-ref", "refs/heads/loose", rich.ids["first"])
    (rich.path / "link").symlink_to("a.txt")
    rich.repo.write("sub/dir/deep.txt", "deep\n")
    trees = intact_trees(rich)
    age(rich.path)
    return rich, trees


@pytest.mark.parametrize("road", ["git", "no git"])
def test_calling_every_method_writes_nothing(aged, request, road):
    rich, trees = aged
    before = snapshot(rich.path, skip={".git/index"})
    service = GitServiceCython(str(rich.path))
    if road == "no git":
        request.getfixturevalue("no_git")
    calls = method_calls(rich, trees)
    for call in calls.values():
        try:
            call(service)
        except Exception:  # noqa: BLE001, S110 - only what the calls leave on disk matters here
            pass
    del service
    assert snapshot(rich.path, skip={".git/index"}) == before


def index_state(rich):
    index = rich.path / ".git" / "index"
    return index.stat().st_mtime_ns, index.read_bytes()


def test_without_optional_locks_git_status_leaves_the_index_alone(aged, monkeypatch):
    rich, _ = aged
    service = GitServiceCython(str(rich.path))
    # A tracked file touched without a change makes the index's stat data stale.
    os.utime(rich.path / "src" / "c.txt")
    before = index_state(rich)
    monkeypatch.setenv("GIT_OPTIONAL_LOCKS", "0")
    first = service.get_file_status()
    assert index_state(rich) == before
    # Without the setting git refreshes the index it just read, and the answer is the same.
    monkeypatch.delenv("GIT_OPTIONAL_LOCKS")
    assert service.get_file_status() == first
    assert index_state(rich) != before
