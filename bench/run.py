"""Times every public method against its floor, the bare work it cannot avoid, and against pygit2.

For a method that runs git, the floor is the same git command(s) run through
subprocess.run with the same arguments; for work read through dulwich, the
same reads done in the tightest plain loop. Where pygit2 (on libgit2) can give
the same answer, that is timed too: the peer a Python developer would write
instead of calling the module, checked once to answer exactly as the module
does. Method, floor and peer are measured in the same run, interleaved,
several times; the table gives medians and the spread of the method's times.

The methods that read objects and refs natively are measured on SHA-256 twins
of their repositories too (the same histories, refs and working trees in
git's SHA-256 object format), each in the same turns as its SHA-1 row, and a
second table gives every SHA-256 row beside its SHA-1 twin.

    python bench/run.py [--scale tiny|quick|full] [--repeats N] [--json FILE] [--only SUBSTRING]
                        [--readme README.md]
    python bench/run.py --from-json FILE --readme README.md

With --readme, the table between the README's two markers is rewritten from
the run's JSON: only from a whole full-scale run, so that a quick or partial
run never replaces the full table. --from-json rewrites it from the JSON of an
earlier run without measuring.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import functools
import importlib.metadata
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from collections import deque
from collections.abc import Callable
from pathlib import Path

import git_service_cython as gsc
import pygit2
from dulwich.index import Index
from dulwich.objects import Blob
from dulwich.repo import Repo

sys.path.insert(0, str(Path(__file__).resolve().parent))
import corpus

BRANCH_FORMAT = "--format=%(refname:short)|%(objectname)|%(committerdate:unix)"
TAG_FORMAT = "--format=%(refname:short)|%(objectname)|%(creatordate:unix)|%(contents:subject)|%(objecttype)"
LOG_FORMAT = "--pretty=format:%H%x00%D%x00%P%x00%s"
DECORATE = ["--decorate-refs=refs/heads/*", "--decorate-refs=refs/remotes/*", "--decorate-refs=refs/tags/*"]


@dataclasses.dataclass
class Case:
    method: str
    repo: str
    road: str  # "git", or "no git" for the fallback roads
    run: Callable[[], object]
    floor: Callable[[], object]
    peer: Peer | None = None  # the same answer through pygit2, where it can give it


@dataclasses.dataclass
class Peer:
    run: Callable[[], object]
    how: str  # what the peer does, in a few words, for the table


@dataclasses.dataclass
class Row:
    method: str
    repo: str
    road: str
    module_ms: float
    floor_ms: float
    module_min_ms: float
    module_max_ms: float
    pygit2_ms: float | None = None
    pygit2_peer: str = ""

    @property
    def ratio(self) -> float:
        return self.module_ms / self.floor_ms if self.floor_ms else float("nan")

    @property
    def overhead_ms(self) -> float:
        return self.module_ms - self.floor_ms

    @property
    def module_per_pygit2(self) -> float | None:
        if self.pygit2_ms is None:
            return None
        return self.module_ms / self.pygit2_ms if self.pygit2_ms else float("nan")


class PeerMismatch(AssertionError):
    """pygit2's peer does not give the module's answer: its time would say nothing."""


# --- the bare work ----------------------------------------------------------------------------------


def git(root: Path, *args: str, timeout: int, text: bool = True):
    return subprocess.run(["git", *args], capture_output=True, text=text, timeout=timeout, cwd=str(root))


def try_git(root: Path, *args: str, timeout: int):
    """A git run that is expected to fail for want of git (the fallback roads try it first)."""
    with contextlib.suppress(OSError):
        git(root, *args, timeout=timeout)


def walk(repo: Repo, head: bytes, limit: int):
    """The breadth-first walk the module does, as (id, commit) pairs."""
    seen: set[bytes] = set()
    queue = deque([head])
    count = 0
    while queue and (limit < 0 or count < limit):
        sha = queue.popleft()
        if sha in seen:
            continue
        seen.add(sha)
        commit = repo[sha]
        count += 1
        yield sha, commit
        queue.extend(commit.parents)


def reads_of_listing(repo: Repo, branch: str, max_count: int = 200, skip: int = 0) -> list[bytes]:
    """The commit ids the default-view listing reads, in order."""
    ids: list[bytes] = []
    remote = repo.refs.as_dict().get(f"refs/remotes/origin/{branch}".encode())
    if remote:
        ids += [sha for sha, _ in walk(repo, remote, 200)]
    base: set[bytes] = set()
    if branch not in ("main", "master"):
        for name in ("main", "master"):
            head = repo.refs.as_dict().get(f"refs/heads/{name}".encode())
            if head:
                for sha, _ in walk(repo, head, 200):
                    ids.append(sha)
                    base.add(sha)
                break
    listed = 0
    for sha, _ in walk(repo, repo.refs[f"refs/heads/{branch}".encode()], -1):
        ids.append(sha)
        if branch in ("main", "master") or sha not in base:
            listed += 1
            if listed >= skip + max_count:
                break
    return ids


def read_commits(repo: Repo, ids: list[bytes]) -> None:
    for sha in ids:
        repo[sha].parents


def read_listed_commits(repo: Repo, ids: list[bytes], listed: set[bytes]) -> None:
    """The reads of a listing: every walked commit's parents, and the fields of the listed ones."""
    for sha in ids:
        commit = repo[sha]
        commit.parents
        if sha in listed:
            commit.message, commit.author, commit.commit_time


def listed_ids(service: gsc.GitServiceCython, branch: str, **options) -> set[bytes]:
    return {commit.sha.encode() for commit in service.list_commits(branch, **options)}


def decorations_log(root: Path, branch: str, page: list[str]):
    return git(root, "log", branch, f"--max-count={len(page)}", "--oneline", LOG_FORMAT, *DECORATE, timeout=5)


def labelled(root: Path, branch: str, page: list[str]) -> list[str]:
    """The ids of `page` that the log run labels (it lists the first len(page) commits of the branch)."""
    logged = {line.split("\0")[0] for line in decorations_log(root, branch, page).stdout.splitlines()}
    return [sha for sha in page if sha in logged]


def decorations_floor(root: Path, repo: Repo, branch: str, page: list[str], matched: list[str]) -> None:
    """One git log run, then the library's merge check of every commit it labels."""
    decorations_log(root, branch, page)
    repo.refs[b"HEAD"]
    for sha in matched:
        repo[bytes.fromhex(sha)].parents


def ref_scan_floor(repo: Repo, sha: str) -> None:
    """Three scans of the ref names, the targets under each prefix, and the merge check."""
    for prefix in (b"refs/heads/", b"refs/remotes/", b"refs/tags/"):
        for name in repo.refs.keys():
            if name.startswith(prefix):
                repo.refs[name]
    repo[bytes.fromhex(sha)].parents


def fresh_page_floor(root: Path, branch: str, reads: list[bytes], listed: set[bytes]) -> None:
    """A fresh Repo, the ref lookups of a first page and the reads of its commits."""
    with Repo(str(root)) as repo:
        repo.refs[f"refs/heads/{branch}".encode()]
        with contextlib.suppress(KeyError):
            repo.refs[f"refs/remotes/origin/{branch}".encode()]
        read_listed_commits(repo, reads, listed)


def head_file_map(repo: Repo) -> dict[str, bytes]:
    files: dict[str, bytes] = {}
    stack = [("", repo[repo[repo.refs[b"HEAD"]].tree])]
    while stack:
        prefix, tree = stack.pop()
        for entry in tree.iteritems():
            path = f"{prefix}{entry.path.decode()}"
            if entry.mode & 0o170000 == 0o040000:
                stack.append((path + "/", repo[entry.sha]))
            else:
                files[path] = entry.sha
    return files


def scan_floor(root: Path) -> None:
    """Reading the index, the HEAD tree and hashing every indexed file: the scan's rules, through dulwich,
    with the repository's hash."""
    with Repo(str(root)) as repo:
        object_format = repo.object_format
        entries = [path.decode() for path, _ in Index(str(root / ".git" / "index"), object_format=object_format).items()]
        head_file_map(repo)
    for path in entries:
        with contextlib.suppress(OSError):
            blob = Blob()
            blob.data = (root / path).read_bytes()
            blob.get_id(object_format)


# --- the pygit2 peers --------------------------------------------------------------------------------
#
# What a Python developer would write with pygit2 to get the module's answers,
# with libgit2's defaults and the module's own record classes (so that the
# records cost the same). Each peer keeps a Repository open, as a host keeps
# its service, so parsed objects stay in libgit2's cache between its calls
# (the module reads every call afresh). The Repository is the peer's own: what
# one peer leaves in the cache changes another's times (after a Walker over the
# whole history, libgit2's merge base takes several times as long), and each
# row is to measure its own call, whatever ran before it.

BASE_BRANCHES = ("main", "master")
RECENT = 200  # the nearest commits looked at for pushed ids and for the base branch's hidden ones
SORT_NONE = pygit2.enums.SortMode.NONE


def object_format(root: Path) -> str:
    """The repository's object format, as git names it: "sha1" or "sha256"."""
    return git(root, "rev-parse", "--show-object-format", timeout=5).stdout.strip()


@functools.cache
def pygit2_opens(root: Path) -> bool:
    """Whether pygit2 reads the repository. libgit2 reads SHA-256 repositories only when built with its
    experimental SHA-256 support, which pygit2's builds leave out ("unknown object format 'sha256'"):
    such a repository's rows have no peer."""
    try:
        pygit2.Repository(str(root))
    except pygit2.GitError:
        if object_format(root) == corpus.SHA256:
            return False
        raise
    return True


def pygit2_peer(root: Path, answer: Callable[[pygit2.Repository], object], how: str) -> Peer | None:
    """A peer with a Repository of its own; none where pygit2 cannot read the repository."""
    if not pygit2_opens(root):
        return None
    repo = pygit2.Repository(str(root))
    return Peer(lambda: answer(repo), how)


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


# --- the cases --------------------------------------------------------------------------------------


def history_cases(name: str, root: Path, base: str) -> list[Case]:
    service = gsc.GitServiceCython(str(root))
    repo = Repo(str(root))
    feature_reads = reads_of_listing(repo, "feature")
    feature_listed = listed_ids(service, "feature")
    base_reads = reads_of_listing(repo, base)
    base_listed = listed_ids(service, base)
    next_reads = reads_of_listing(repo, "feature", skip=200)
    next_listed = listed_ids(service, "feature", skip=200)
    base_next_reads = reads_of_listing(repo, base, skip=200)
    base_next_listed = listed_ids(service, base, skip=200)
    page = [c.sha for c in service.list_commits("feature")]
    merge_base = git(root, "merge-base", base, "feature", timeout=5).stdout.strip()
    full_reads = [sha for sha, _ in walk(repo, repo.refs[b"refs/remotes/origin/feature"], 200)]
    for sha, _ in walk(repo, repo.refs[b"refs/heads/feature"], -1):
        full_reads.append(sha)
        if sha.decode() == merge_base:
            break
    full_listed = listed_ids(service, "feature", show_full_history=True)
    matched = labelled(root, "feature", page)
    newest = page[0]
    all_reads = [sha for sha, _ in walk(repo, repo.refs[b"refs/heads/feature"], -1)]
    all_reads += [sha for sha, _ in walk(repo, repo.refs[f"refs/heads/{base}".encode()], -1)]
    fallback_reads = [sha for sha, _ in walk(repo, repo.refs[f"refs/heads/{base}".encode()], 1000)]
    base_ids = set(fallback_reads)
    for sha, _ in walk(repo, repo.refs[b"refs/heads/feature"], 200):
        fallback_reads.append(sha)
        if sha in base_ids:
            break

    def count_feature_floor():
        result = git(root, "merge-base", "main", "feature", timeout=10)
        if result.returncode == 0:
            git(root, "rev-list", "--count", f"{result.stdout.strip()}..feature", timeout=10)
        else:
            read_commits(repo, all_reads)

    walk_peer = "breadth-first over repo[id]"
    merge_base_peer = "repo.merge_base"
    return [
        Case("list_commits(feature)", name, "git", lambda: service.list_commits("feature"),
             lambda: read_listed_commits(repo, feature_reads, feature_listed),
             pygit2_peer(root, lambda repo: peer_list_commits(repo, "feature"), walk_peer)),
        Case(f"list_commits({base})", name, "git", lambda: service.list_commits(base),
             lambda: read_listed_commits(repo, base_reads, base_listed),
             pygit2_peer(root, lambda repo: peer_list_commits(repo, base), walk_peer)),
        Case("list_commits(feature, skip=200)", name, "git", lambda: service.list_commits("feature", skip=200),
             lambda: read_listed_commits(repo, next_reads, next_listed),
             pygit2_peer(root, lambda repo: peer_list_commits(repo, "feature", skip=200), walk_peer)),
        Case(f"list_commits({base}, skip=200)", name, "git", lambda: service.list_commits(base, skip=200),
             lambda: read_listed_commits(repo, base_next_reads, base_next_listed),
             pygit2_peer(root, lambda repo: peer_list_commits(repo, base, skip=200), walk_peer)),
        Case("list_commits(feature, full history)", name, "git",
             lambda: service.list_commits("feature", show_full_history=True),
             lambda: (git(root, "merge-base", base, "feature", timeout=5),
                      read_listed_commits(repo, full_reads, full_listed)),
             pygit2_peer(root, lambda repo: peer_list_commits(repo, "feature", show_full_history=True),
                  f"{merge_base_peer}, then {walk_peer}")),
        Case(f"count_commits({base})", name, "git", lambda: service.count_commits(base),
             lambda: git(root, "rev-list", "--count", base, timeout=10),
             pygit2_peer(root, lambda repo: peer_count_commits(repo, base), "Walker")),
        Case("count_commits(feature)", name, "git", lambda: service.count_commits("feature"), count_feature_floor,
             pygit2_peer(root, lambda repo: peer_count_commits(repo, "feature"), f"Walker, {base} hidden")),
        Case("get_merge_base(feature)", name, "git", lambda: service.get_merge_base("feature", base),
             lambda: git(root, "merge-base", base, "feature", timeout=5),
             pygit2_peer(root, lambda repo: peer_merge_base(repo, "feature"), merge_base_peer)),
        Case("get_commit_refs_from_git_log", name, "git",
             lambda: service.get_commit_refs_from_git_log("feature", page),
             lambda: decorations_floor(root, repo, "feature", page, matched)),
        Case("get_commit_refs", name, "git", lambda: service.get_commit_refs(newest),
             lambda: ref_scan_floor(repo, newest)),
        Case("get_branch_info", name, "git", lambda: service.get_branch_info("feature"),
             lambda: (repo.refs[b"refs/heads/feature"], repo.refs.read_ref(b"HEAD"),
                      repo.refs[b"refs/remotes/origin/feature"])),
        Case("get_commit_diff", name, "git", lambda: service.get_commit_diff(newest),
             lambda: git(root, "show", newest, "--no-color", timeout=10)),
        Case("count_commits(feature)", name, "no git", lambda: service.count_commits("feature"),
             lambda: (try_git(root, "merge-base", "main", "feature", timeout=10), read_commits(repo, all_reads)),
             pygit2_peer(root, lambda repo: peer_count_commits(repo, "feature"), f"Walker, {base} hidden")),
        # Without git the module looks only at the 1,000 nearest commits of the
        # base and the 200 nearest of the branch; libgit2's merge base looks
        # further, so the peer walks as the module does.
        Case("get_merge_base(feature)", name, "no git", lambda: service.get_merge_base("feature", base),
             lambda: (try_git(root, "merge-base", base, "feature", timeout=5), read_commits(repo, fallback_reads)),
             pygit2_peer(root, lambda repo: peer_bounded_merge_base(repo, "feature"), "breadth-first, 1,000 + 200 commits")),
    ]


def refs_cases(name: str, root: Path) -> list[Case]:
    service = gsc.GitServiceCython(str(root))
    repo = Repo(str(root))
    head = git(root, "rev-parse", "HEAD", timeout=5).stdout.strip()
    reads = reads_of_listing(repo, "main")
    listed = listed_ids(service, "main")
    return [
        Case("get_commit_refs(head)", name, "git", lambda: service.get_commit_refs(head),
             lambda: ref_scan_floor(repo, head),
             pygit2_peer(root, lambda repo: peer_commit_refs(repo, head), "one pass over references.iterator()")),
        Case("a fresh service's first page", name, "git",
             lambda: gsc.GitServiceCython(str(root)).list_commits("main"),
             lambda: fresh_page_floor(root, "main", reads, listed),
             Peer(lambda: peer_fresh_page(root, "main"), "a fresh Repository, breadth-first over repo[id]")
             if pygit2_opens(root) else None),
        Case("list_branches", name, "git", service.list_branches,
             lambda: git(root, "for-each-ref", "refs/heads/", BRANCH_FORMAT, timeout=5)),
        Case("list_remote_branches", name, "git", service.list_remote_branches,
             lambda: git(root, "for-each-ref", "refs/remotes/", BRANCH_FORMAT, timeout=5)),
        Case("list_tags", name, "git", service.list_tags, lambda: tags_floor(root)),
        Case("list_branches", name, "no git", service.list_branches,
             lambda: (try_git(root, "for-each-ref", "refs/heads/", BRANCH_FORMAT, timeout=5),
                      [repo.refs[k] for k in repo.refs.keys() if k.startswith(b"refs/heads/")])),
        Case("list_remote_branches", name, "no git", service.list_remote_branches,
             lambda: (try_git(root, "for-each-ref", "refs/remotes/", BRANCH_FORMAT, timeout=5),
                      [repo.refs[k] for k in repo.refs.keys() if k.startswith(b"refs/remotes/")])),
    ]


def stash_list_floor(root: Path) -> None:
    """The stash list, then one time lookup per stash."""
    listing = git(root, "stash", "list", timeout=5).stdout.strip()
    for index in range(len(listing.splitlines()) if listing else 0):
        git(root, "show", "-s", "--format=%at", f"stash@{{{index}}}", timeout=2)


def status_floor(root: Path) -> None:
    git(root, "status", "--porcelain", "-u", timeout=10)
    git(root, "diff", "--cached", "--name-only", timeout=5)


def tags_floor(root: Path) -> None:
    """The tag listing, then the tag object of each annotated tag with an empty subject."""
    listing = git(root, "for-each-ref", "refs/tags/", TAG_FORMAT, timeout=120, text=False).stdout
    for line in listing.splitlines():
        if line.endswith(b"||tag"):
            git(root, "cat-file", "tag", line.split(b"|")[0].decode(), timeout=1)


def worktree_cases(name: str, root: Path) -> list[Case]:
    service = gsc.GitServiceCython(str(root))

    return [
        Case("get_file_status", name, "git", service.get_file_status, lambda: status_floor(root)),
        Case("list_stashes", name, "git", service.list_stashes, lambda: stash_list_floor(root)),
        Case("get_stash_diff", name, "git", lambda: service.get_stash_diff(0),
             lambda: (git(root, "stash", "show", "stash@{0}", "--stat", "--color=always", timeout=5),
                      git(root, "stash", "show", "stash@{0}", "-p", "--color=always", timeout=5))),
        # libgit2 trusts the index's cached file data where it matches the
        # disk and reads only the files that differ, as the scan does.
        Case("get_file_status (scan)", name, "no git", service.get_file_status,
             lambda: (try_git(root, "status", "--porcelain", "-u", timeout=10), scan_floor(root)),
             pygit2_peer(root, lambda repo: peer_file_status(repo), "repo.status(): stat data, hashes only files left in doubt")),
    ]


def open_sequence(name: str, root: Path, branch: str) -> Case:
    """What a host does when the user opens a repository."""

    def method():
        service = gsc.GitServiceCython(str(root))
        service.list_branches()
        commits = service.list_commits(branch)
        service.get_commit_refs_from_git_log(branch, [c.sha for c in commits])
        service.get_file_status()
        service.list_tags()
        service.list_stashes()

    service = gsc.GitServiceCython(str(root))
    with Repo(str(root)) as repo:
        reads = reads_of_listing(repo, branch)
    listed = listed_ids(service, branch)
    page = [c.sha for c in service.list_commits(branch)]
    matched = labelled(root, branch, page)

    def floor():
        with Repo(str(root)) as repo:
            git(root, "for-each-ref", "refs/heads/", BRANCH_FORMAT, timeout=5)
            read_listed_commits(repo, reads, listed)
            decorations_floor(root, repo, branch, page, matched)
            status_floor(root)
            tags_floor(root)
            stash_list_floor(root)

    return Case("open a repository", name, "git", method, floor)


def reads_natively(case: Case) -> bool:
    """Whether the case is of the methods measured on the SHA-256 twins too: the history pane, counting, the
    merge base, the refs of a commit and the fallback scan, which read objects and refs themselves."""
    return case.method.startswith(("list_commits", "count_commits", "get_merge_base")) or case.method in {
        "get_commit_refs", "get_commit_refs(head)", "a fresh service's first page", "get_file_status (scan)"}


def sha256_twin_cases(name: str, repos: dict[str, Path], make: Callable[..., list[Case]], *args: str) -> list[Case]:
    """The cases of `name`'s SHA-256 twin that read natively."""
    twin = corpus.twin_name(name, corpus.SHA256)
    return [case for case in make(twin, repos[twin], *args) if reads_natively(case)]


def all_cases(repos: dict[str, Path]) -> list[Case]:
    cases = history_cases("history-main", repos["history-main"], "main")
    cases += sha256_twin_cases("history-main", repos, history_cases, "main")
    cases += history_cases("history-master", repos["history-master"], "master")
    cases += history_cases("history-plain", repos["history-plain"], "main")
    cases += sha256_twin_cases("history-plain", repos, history_cases, "main")
    cases += refs_cases("refs", repos["refs"])
    cases += sha256_twin_cases("refs", repos, refs_cases)
    cases += worktree_cases("worktree", repos["worktree"])
    cases += sha256_twin_cases("worktree", repos, worktree_cases)
    cases += [open_sequence("history-main", repos["history-main"], "feature"),
              open_sequence("refs", repos["refs"], "main"),
              open_sequence("worktree", repos["worktree"], "main")]
    return cases


# --- measuring --------------------------------------------------------------------------------------


@contextlib.contextmanager
def road(name: str):
    """Hides git from PATH for the fallback roads."""
    if name == "git":
        yield
        return
    saved = os.environ.get("PATH", "")
    with tempfile.TemporaryDirectory() as empty:
        os.environ["PATH"] = empty
        try:
            yield
        finally:
            os.environ["PATH"] = saved


def abridged(answer: object) -> str:
    text = repr(answer)
    return text if len(text) <= 300 else f"{text[:300]}... ({len(text)} characters)"


def check_peer(case: Case) -> None:
    """The peer's answer is the module's, or the run stops here."""
    assert case.peer is not None
    expected = case.run()
    answer = case.peer.run()
    if answer == expected:
        return
    where = ""
    if isinstance(expected, list) and isinstance(answer, list):
        first = next((i for i, (a, b) in enumerate(zip(expected, answer, strict=False)) if a != b),
                     min(len(expected), len(answer)))
        where = (f" (lengths {len(expected)} and {len(answer)}; first difference at {first}: "
                 f"{abridged(expected[first:first + 1])} and {abridged(answer[first:first + 1])})")
    raise PeerMismatch(f"pygit2's peer of {case.method} on {case.repo} ({case.road}) answers differently{where}:\n"
                       f"  module: {abridged(expected)}\n  pygit2: {abridged(answer)}")


def measure(case: Case, repeats: int) -> Row:
    return measure_together([case], repeats)[0]


def measure_together(cases: list[Case], repeats: int) -> list[Row]:
    """Rows of cases of one road, measured in the same turns: a SHA-256 row meets the machine's moods as its
    SHA-1 twin does."""
    (road_name,) = {case.road for case in cases}
    timed: list[tuple[Case, list[float], list[float], list[float]]] = []  # module, floor and peer times
    contenders = []
    for case in cases:
        module_times, floor_times, peer_times = [], [], []
        timed.append((case, module_times, floor_times, peer_times))
        contenders += [(case.run, module_times), (case.floor, floor_times)]
        if case.peer is not None:
            contenders.append((case.peer.run, peer_times))
    with road(road_name):
        for case in cases:
            if case.peer is not None:
                check_peer(case)
        for function, _ in contenders:
            function()
        for i in range(repeats):
            # Each takes its turn first.
            turn = i % len(contenders)
            for function, times in contenders[turn:] + contenders[:turn]:
                start = time.perf_counter()
                result = function()
                times.append((time.perf_counter() - start) * 1000)
                # Freeing the answer is the caller's work, done outside the timing.
                del result
    rows = []
    for case, module_times, floor_times, peer_times in timed:
        row = Row(case.method, case.repo, case.road, statistics.median(module_times),
                  statistics.median(floor_times), min(module_times), max(module_times))
        if case.peer is not None:
            row.pygit2_ms = statistics.median(peer_times)
            row.pygit2_peer = case.peer.how
        rows.append(row)
    return rows


def sha1_twin(repo: str) -> str | None:
    """The SHA-1 repository whose SHA-256 twin `repo` is, if it is one."""
    return corpus.SHA256_TWINS.get(repo)


def measure_all(cases: list[Case], repeats: int) -> list[Row]:
    """Every case's row, in the cases' order; a SHA-256 twin's case is measured with its SHA-1 twin's."""
    twins = {(case.method, case.repo, case.road): case for case in cases}
    pairs: dict[int, Case] = {}  # SHA-1 case -> its SHA-256 twin's case
    paired: set[int] = set()
    for case in cases:
        sha1 = sha1_twin(case.repo)
        if sha1 is not None and (case.method, sha1, case.road) in twins:
            pairs[id(twins[case.method, sha1, case.road])] = case
            paired.add(id(case))
    rows: dict[int, Row] = {}
    for case in cases:
        if id(case) in paired:
            continue
        if id(case) in pairs:
            twin = pairs[id(case)]
            rows[id(case)], rows[id(twin)] = measure_together([case, twin], repeats)
        else:
            rows[id(case)] = measure(case, repeats)
    return [rows[id(case)] for case in cases]


HEADER = ["method", "repository", "road", "module ms", "floor ms", "ratio", "overhead ms", "module spread ms",
          "pygit2 ms", "module / pygit2", "pygit2 peer"]


def table(rows: list[Row]) -> str:
    lines = [HEADER, ["---"] * len(HEADER)]
    for row in rows:
        peer = ["", "", ""]
        if row.pygit2_ms is not None:
            peer = [f"{row.pygit2_ms:.2f}", f"{row.module_per_pygit2:.3f}", row.pygit2_peer]
        lines.append([row.method, row.repo, row.road, f"{row.module_ms:.2f}", f"{row.floor_ms:.2f}",
                      f"{row.ratio:.3f}", f"{row.overhead_ms:+.2f}",
                      f"{row.module_min_ms:.2f}–{row.module_max_ms:.2f}", *peer])
    return "\n".join("| " + " | ".join(cells) + " |" for cells in lines)


README_BEGIN = "<!-- The table below is written by `make bench SCALE=full` from its JSON: edit bench/run.py. -->"
README_END = "<!-- End of the table written by `make bench SCALE=full`. -->"


class NotAFullRun(ValueError):
    """A run whose rows must not replace the README's full-scale table."""


def rows_from_json(payload: dict) -> list[Row]:
    fields = {field.name for field in dataclasses.fields(Row)}
    return [Row(**{key: value for key, value in row.items() if key in fields}) for row in payload["rows"]]


SHA256_HEADER = ["method", "repository", "road", "SHA-1 ms", "SHA-256 ms", "SHA-256 / SHA-1", "floors' SHA-256 / SHA-1"]


def ratio(part: float, whole: float) -> float:
    return part / whole if whole else float("nan")


def sha256_pairs(rows: list[Row]) -> list[tuple[Row, Row]]:
    """(SHA-1 row, SHA-256 row) for every SHA-256 row whose twin is there, in the SHA-256 rows' order."""
    by_key = {(row.method, row.repo, row.road): row for row in rows}
    pairs = []
    for row in rows:
        sha1 = sha1_twin(row.repo)
        if sha1 is not None and (row.method, sha1, row.road) in by_key:
            pairs.append((by_key[row.method, sha1, row.road], row))
    return pairs


def sha256_table(rows: list[Row]) -> str:
    """Every SHA-256 row beside its SHA-1 twin's (named by the SHA-1 repository), with the ratio of the
    module's times and that of the floors' (where git or dulwich is slower on SHA-256 too); empty when no row
    has a twin."""
    pairs = sha256_pairs(rows)
    if not pairs:
        return ""
    lines = [SHA256_HEADER, ["---"] * len(SHA256_HEADER)]
    for sha1, sha256 in pairs:
        lines.append([sha1.method, sha1.repo, sha1.road, f"{sha1.module_ms:.2f}", f"{sha256.module_ms:.2f}",
                      f"{ratio(sha256.module_ms, sha1.module_ms):.3f}", f"{ratio(sha256.floor_ms, sha1.floor_ms):.3f}"])
    without_peer = any(sha1.pygit2_ms is not None and sha256.pygit2_ms is None for sha1, sha256 in pairs)
    note = (" pygit2 does not read SHA-256 repositories (libgit2 reads them only when built with its"
            " experimental SHA-256 support), so the SHA-256 rows have no peer." if without_peer else "")
    return ("SHA-256 beside SHA-1: the module's times on each `-sha256` repository (the same history, refs or"
            " working tree made with `git init --object-format=sha256`) and on its SHA-1 twin, measured in the"
            f" same turns.{note}\n\n" + "\n".join("| " + " | ".join(cells) + " |" for cells in lines))


def readme_section(payload: dict) -> str:
    """What stands between the README's markers: how the tables were measured, and the tables."""
    rows = rows_from_json(payload)
    beside = sha256_table(rows)
    return (f"Scale {payload['scale']}, {payload['repeats']} runs each, medians; {payload['machine']}; "
            f"{payload['versions']}.\n\n{table(rows)}\n" + (f"\n{beside}\n" if beside else ""))


def write_readme(path: Path, payload: dict) -> None:
    """Rewrites the table between the README's markers from a whole full-scale run's JSON."""
    if payload.get("scale") != "full" or payload.get("only"):
        raise NotAFullRun("the README's table is written from a whole full-scale run only")
    text = path.read_text()
    begin = text.find(README_BEGIN)
    end = text.find(README_END)
    if begin < 0 or end < begin:
        raise NotAFullRun(f"{path} has no pair of table markers")
    begin += len(README_BEGIN)
    path.write_text(f"{text[:begin]}\n{readme_section(payload)}{text[end:]}")


def machine() -> str:
    return f"{platform.machine()}, {os.cpu_count()} cores, {platform.python_implementation()} {platform.python_version()}"


def versions() -> str:
    git_version = subprocess.run(["git", "--version"], capture_output=True, text=True).stdout.split()[-1]
    return (f"git {git_version}, dulwich {importlib.metadata.version('dulwich')}, "
            f"pygit2 {pygit2.__version__} (libgit2 {pygit2.LIBGIT2_VERSION})")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", choices=sorted(corpus.SCALES), default="quick")
    parser.add_argument("--root", type=Path, default=None, help="where the corpus is kept")
    parser.add_argument("--repeats", type=int, default=None)
    parser.add_argument("--json", type=Path, default=None, help="also write the rows as JSON")
    parser.add_argument("--only", default=None, help="run only the cases whose method contains this text")
    parser.add_argument("--readme", type=Path, default=None,
                        help="rewrite the table between this README's markers (a whole full-scale run only)")
    parser.add_argument("--from-json", type=Path, default=None,
                        help="measure nothing: take the rows of an earlier run's JSON (for --readme)")
    args = parser.parse_args(argv)
    if args.readme and not args.from_json and (args.scale != "full" or args.only):
        parser.error("--readme takes a whole full-scale run (--scale full, no --only)")
    if args.from_json:
        if not args.readme:
            parser.error("--from-json is for --readme")
        write_readme(args.readme, json.loads(args.from_json.read_text()))
        return 0
    repeats = args.repeats or {"tiny": 3, "quick": 9, "full": 5}[args.scale]
    repos = corpus.ensure(args.scale, args.root)
    rows = measure_all([case for case in all_cases(repos) if not args.only or args.only in case.method], repeats)
    print(f"Scale {args.scale}, {repeats} runs each, medians; machine: {machine()}; {versions()}\n")
    print(table(rows))
    beside = sha256_table(rows)
    if beside:
        print(f"\n{beside}")
    payload = {"scale": args.scale, "repeats": repeats, "only": args.only, "machine": machine(),
               "versions": versions(),
               "rows": [{**dataclasses.asdict(row), "ratio": row.ratio, "overhead_ms": row.overhead_ms,
                         "module_per_pygit2": row.module_per_pygit2} for row in rows]}
    if args.json:
        args.json.write_text(json.dumps(payload, indent=2) + "\n")
    if args.readme:
        write_readme(args.readme, payload)
    return 0


if __name__ == "__main__":
    sys.exit(main())
