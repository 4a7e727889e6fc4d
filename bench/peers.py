"""What a Python developer would write with pygit2 (on libgit2) to get the module's answers.

Each peer takes a Repository and builds the module's own record classes, so
that the records cost the same. Kept apart from the timing code so that a child
process measuring pygit2's memory imports pygit2 and the records only.
"""

from __future__ import annotations

from collections import deque
from pathlib import Path

import git_service_cython as gsc
import pygit2

BASE_BRANCHES = ("main", "master")
RECENT = 200  # the nearest commits looked at for pushed ids and for the base branch's hidden ones
SORT_NONE = pygit2.enums.SortMode.NONE


def peer_nearest(repo: pygit2.Repository, head: pygit2.Oid, limit: int) -> set[pygit2.Oid]:
    """The ids of the `limit` commits nearest `head`, breadth-first."""
    seen: set[pygit2.Oid] = set()
    queue = deque([head])
    while queue and len(seen) < limit:
        oid = queue.popleft()
        if oid not in seen:
            seen.add(oid)
            queue.extend(repo[oid].parent_ids)
    return seen


def peer_ordered(repo: pygit2.Repository, head: pygit2.Oid, limit: int) -> list[pygit2.Oid]:
    """The same commits in the order of the walk."""
    seen: set[pygit2.Oid] = set()
    order = []
    queue = deque([head])
    while queue and len(order) < limit:
        oid = queue.popleft()
        if oid not in seen:
            seen.add(oid)
            order.append(oid)
            queue.extend(repo[oid].parent_ids)
    return order


def peer_base_head(repo: pygit2.Repository) -> pygit2.Oid | None:
    """The head of main, else of master."""
    for name in BASE_BRANCHES:
        ref = repo.references.get(f"refs/heads/{name}")
        if ref is not None:
            return ref.target
    return None


def peer_list_commits(repo: pygit2.Repository, branch: str, max_count: int = 200, skip: int = 0,
                      show_full_history: bool = False) -> list[gsc.CommitInfo]:
    """list_commits: breadth-first from the branch head over pygit2's commits, building the same records."""
    head = repo.references[f"refs/heads/{branch}"].target
    remote = repo.references.get(f"refs/remotes/origin/{branch}")
    pushed = peer_nearest(repo, remote.target, RECENT) if remote is not None else set()
    hidden: set[pygit2.Oid] = set()
    stop = None
    if branch not in BASE_BRANCHES:
        base = peer_base_head(repo)
        if base is not None and show_full_history:
            stop = repo.merge_base(base, head)
        elif base is not None:
            hidden = peer_nearest(repo, base, RECENT)
    commits: list[gsc.CommitInfo] = []
    skipped = 0
    seen: set[pygit2.Oid] = set()
    queue = deque([head])
    while queue:
        oid = queue.popleft()
        if oid in seen:
            continue
        seen.add(oid)
        commit = repo[oid]
        queue.extend(commit.parent_ids)
        if oid == stop:
            break
        if oid in hidden:
            continue
        if skipped < skip:
            skipped += 1
            continue
        author = commit.author
        commits.append(gsc.CommitInfo(
            str(oid), commit.raw_message.split(b"\n", 1)[0].decode("utf-8", "replace"),
            (b"%s <%s>" % (author.raw_name, author.raw_email)).decode("utf-8", "replace"), commit.commit_time,
            oid in pushed))
        if len(commits) >= max_count:
            break
    return commits


def peer_count_commits(repo: pygit2.Repository, branch: str) -> int:
    """count_commits: a Walker from the branch, hiding main (or master) for the other branches."""
    walker = repo.walk(repo.references[f"refs/heads/{branch}"].target, SORT_NONE)
    if branch not in BASE_BRANCHES:
        walker.hide(peer_base_head(repo))
    return sum(1 for _ in walker)


def peer_merge_base(repo: pygit2.Repository, branch: str) -> str | None:
    """get_merge_base(branch), base main (or master): libgit2's merge base."""
    merge_base = repo.merge_base(peer_base_head(repo), repo.references[f"refs/heads/{branch}"].target)
    return None if merge_base is None else str(merge_base)


def peer_bounded_merge_base(repo: pygit2.Repository, branch: str) -> str | None:
    """The module's answer without git: the first of the branch's 200 nearest commits among the base's 1,000."""
    base = peer_nearest(repo, peer_base_head(repo), 1000)
    for oid in peer_ordered(repo, repo.references[f"refs/heads/{branch}"].target, 200):
        if oid in base:
            return str(oid)
    return None


def peer_commit_refs(repo: pygit2.Repository, sha: str) -> dict:
    """get_commit_refs(sha): one pass over every reference, symbolic ones resolved, then the merge check."""
    target = pygit2.Oid(hex=sha)
    lists: dict[str, list[str]] = {"branches": [], "remote_branches": [], "tags": []}
    for ref in repo.references.iterator():
        oid = ref.target
        if isinstance(oid, str):
            oid = ref.resolve().target
        if oid != target:
            continue
        name = ref.name
        for prefix, key in (("refs/heads/", "branches"), ("refs/remotes/", "remote_branches"),
                            ("refs/tags/", "tags")):
            if name.startswith(prefix):
                lists[key].append(name[len(prefix):])
    parents = repo[target].parent_ids
    merge = len(parents) > 1
    return {"branches": sorted(lists["branches"]), "remote_branches": sorted(lists["remote_branches"]),
            "tags": sorted(lists["tags"]), "is_head": False, "is_merge": merge,
            "merge_parents": [str(oid) for oid in parents] if merge else []}


def peer_fresh_page(root: Path, branch: str) -> list[gsc.CommitInfo]:
    """A fresh Repository and the first page of the branch."""
    return peer_list_commits(pygit2.Repository(str(root)), branch)


# The module's rules for one path's flags, in the order they apply: a file
# missing from the disk is a staged deletion, a change on both sides is
# modified on both, a new index entry is staged.
INDEX_SIDE = (pygit2.enums.FileStatus.INDEX_NEW | pygit2.enums.FileStatus.INDEX_MODIFIED
              | pygit2.enums.FileStatus.INDEX_DELETED | pygit2.enums.FileStatus.INDEX_RENAMED
              | pygit2.enums.FileStatus.INDEX_TYPECHANGE)
WORKTREE_SIDE = (pygit2.enums.FileStatus.WT_MODIFIED | pygit2.enums.FileStatus.WT_NEW
                 | pygit2.enums.FileStatus.WT_DELETED | pygit2.enums.FileStatus.WT_RENAMED
                 | pygit2.enums.FileStatus.WT_TYPECHANGE)


def peer_file_state(flags: int) -> tuple[str, bool, bool]:
    if flags & pygit2.enums.FileStatus.WT_DELETED:
        return "deleted", True, False
    if flags & pygit2.enums.FileStatus.CONFLICTED or (flags & INDEX_SIDE and flags & WORKTREE_SIDE):
        return "modified", True, True
    if flags & pygit2.enums.FileStatus.INDEX_NEW:
        return "staged", True, False
    if flags & INDEX_SIDE:
        return "modified", True, False
    if flags & pygit2.enums.FileStatus.WT_NEW:
        return "untracked", False, True
    return "modified", False, True


def peer_file_status(repo: pygit2.Repository) -> list[gsc.FileStatus]:
    """get_file_status: libgit2's status (index and working tree, untracked files listed one by one)."""
    return [gsc.FileStatus(path, *peer_file_state(flags)) for path, flags in sorted(repo.status().items())]
