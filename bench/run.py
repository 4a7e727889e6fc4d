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
import shutil
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
from peers import (
    peer_bounded_merge_base,
    peer_commit_refs,
    peer_count_commits,
    peer_file_status,
    peer_fresh_page,
    peer_list_commits,
    peer_merge_base,
)

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
    task: Task | None = None  # the call made again in a fresh process, for its first time and memory


@dataclasses.dataclass
class Task:
    """A case's call as a fresh process makes it (child.py): the service's method and its arguments, and the
    peers.py function giving pygit2's same answer with its arguments, where there is one."""
    method: str
    args: tuple = ()
    kwargs: dict = dataclasses.field(default_factory=dict)
    peer: str | None = None
    peer_args: tuple | None = None  # the method's own arguments when None
    peer_kwargs: dict | None = None


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
    # From fresh processes (the huge scale): the first call with the repository opened, and peak memory.
    first_ms: float | None = None
    pygit2_first_ms: float | None = None
    peak_mb: float | None = None
    pygit2_peak_mb: float | None = None

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


GIT = shutil.which("git") or "git"


def git_anyway(root: Path, *args: str, timeout: int = 600):
    """A git run that finds git where PATH named it when the run began: git's own work as the yardstick of a
    road that hides git from the module."""
    return subprocess.run([GIT, *args], capture_output=True, text=True, timeout=timeout, cwd=str(root), check=True)


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
# What a Python developer would write with pygit2 to get the module's answers
# (peers.py), with libgit2's defaults. Each peer keeps a Repository open, as a host keeps
# its service, so parsed objects stay in libgit2's cache between its calls
# (the module reads every call afresh). The Repository is the peer's own: what
# one peer leaves in the cache changes another's times (after a Walker over the
# whole history, libgit2's merge base takes several times as long), and each
# row is to measure its own call, whatever ran before it.


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


# --- the cases --------------------------------------------------------------------------------------


def history_cases(name: str, root: Path, base: str, whole_walks: bool = True) -> list[Case]:
    """The history pane's cases. Without `whole_walks` (the huge scale), no floor reads a whole history
    through dulwich: the counts' and merge base's floors without git are then git's own commands on the same
    repository (with its commit-graph, where it has one), the yardstick for that size."""
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
    full_listed = listed_ids(service, "feature", show_full_history=True)
    # The full view stops at the merge base or once its page is full.
    full_reads = [sha for sha, _ in walk(repo, repo.refs[b"refs/remotes/origin/feature"], 200)]
    for sha, _ in walk(repo, repo.refs[b"refs/heads/feature"], len(full_listed) + 1):
        full_reads.append(sha)
        if sha.decode() == merge_base:
            break
    matched = labelled(root, "feature", page)
    newest = page[0]

    @functools.cache
    def all_reads() -> list[bytes]:
        reads = [sha for sha, _ in walk(repo, repo.refs[b"refs/heads/feature"], -1)]
        return reads + [sha for sha, _ in walk(repo, repo.refs[f"refs/heads/{base}".encode()], -1)]

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
            read_commits(repo, all_reads())

    def git_count_feature():
        """git's count of the branch's own commits, found on PATH or not (for the roads without git)."""
        found = git_anyway(root, "merge-base", "main", "feature")
        git_anyway(root, "rev-list", "--count", f"{found.stdout.strip()}..feature")

    if whole_walks:
        count_floor_without_git = lambda: (try_git(root, "merge-base", "main", "feature", timeout=10),
                                           read_commits(repo, all_reads()))
        merge_base_floor_without_git = lambda: (try_git(root, "merge-base", base, "feature", timeout=5),
                                                read_commits(repo, fallback_reads))
    else:
        count_floor_without_git = git_count_feature
        merge_base_floor_without_git = lambda: git_anyway(root, "merge-base", base, "feature")

    def listing(branch: str, **options) -> Task:
        return Task("list_commits", (branch,), options, "peer_list_commits")

    walk_peer = "breadth-first over repo[id]"
    merge_base_peer = "repo.merge_base"
    count_feature = Task("count_commits", ("feature",), peer="peer_count_commits")
    bounded_merge_base = Task("get_merge_base", ("feature", base), peer="peer_bounded_merge_base",
                              peer_args=("feature",))
    cases = [
        Case("list_commits(feature)", name, "git", lambda: service.list_commits("feature"),
             lambda: read_listed_commits(repo, feature_reads, feature_listed),
             pygit2_peer(root, lambda repo: peer_list_commits(repo, "feature"), walk_peer), listing("feature")),
        Case(f"list_commits({base})", name, "git", lambda: service.list_commits(base),
             lambda: read_listed_commits(repo, base_reads, base_listed),
             pygit2_peer(root, lambda repo: peer_list_commits(repo, base), walk_peer), listing(base)),
        Case("list_commits(feature, skip=200)", name, "git", lambda: service.list_commits("feature", skip=200),
             lambda: read_listed_commits(repo, next_reads, next_listed),
             pygit2_peer(root, lambda repo: peer_list_commits(repo, "feature", skip=200), walk_peer),
             listing("feature", skip=200)),
        Case(f"list_commits({base}, skip=200)", name, "git", lambda: service.list_commits(base, skip=200),
             lambda: read_listed_commits(repo, base_next_reads, base_next_listed),
             pygit2_peer(root, lambda repo: peer_list_commits(repo, base, skip=200), walk_peer),
             listing(base, skip=200)),
        Case("list_commits(feature, full history)", name, "git",
             lambda: service.list_commits("feature", show_full_history=True),
             lambda: (git(root, "merge-base", base, "feature", timeout=5),
                      read_listed_commits(repo, full_reads, full_listed)),
             pygit2_peer(root, lambda repo: peer_list_commits(repo, "feature", show_full_history=True),
                  f"{merge_base_peer}, then {walk_peer}"),
             listing("feature", show_full_history=True)),
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
             count_floor_without_git,
             pygit2_peer(root, lambda repo: peer_count_commits(repo, "feature"), f"Walker, {base} hidden"),
             count_feature),
        # Without git the module looks only at the 1,000 nearest commits of the
        # base and the 200 nearest of the branch; libgit2's merge base looks
        # further, so the peer walks as the module does.
        Case("get_merge_base(feature)", name, "no git", lambda: service.get_merge_base("feature", base),
             merge_base_floor_without_git,
             pygit2_peer(root, lambda repo: peer_bounded_merge_base(repo, "feature"), "breadth-first, 1,000 + 200 commits"),
             bounded_merge_base),
    ]
    if not whole_walks:
        cases.append(Case(f"count_commits({base})", name, "no git", lambda: service.count_commits(base),
                          lambda: git_anyway(root, "rev-list", "--count", base),
                          pygit2_peer(root, lambda repo: peer_count_commits(repo, base), "Walker"),
                          Task("count_commits", (base,), peer="peer_count_commits")))
    return cases


def refs_cases(name: str, root: Path) -> list[Case]:
    service = gsc.GitServiceCython(str(root))
    repo = Repo(str(root))
    head = git(root, "rev-parse", "HEAD", timeout=5).stdout.strip()
    reads = reads_of_listing(repo, "main")
    listed = listed_ids(service, "main")
    return [
        Case("get_commit_refs(head)", name, "git", lambda: service.get_commit_refs(head),
             lambda: ref_scan_floor(repo, head),
             pygit2_peer(root, lambda repo: peer_commit_refs(repo, head), "one pass over references.iterator()"),
             Task("get_commit_refs", (head,), peer="peer_commit_refs")),
        Case("a fresh service's first page", name, "git",
             lambda: gsc.GitServiceCython(str(root)).list_commits("main"),
             lambda: fresh_page_floor(root, "main", reads, listed),
             Peer(lambda: peer_fresh_page(root, "main"), "a fresh Repository, breadth-first over repo[id]")
             if pygit2_opens(root) else None, Task("list_commits", ("main",), peer="peer_list_commits")),
        Case("list_branches", name, "git", service.list_branches,
             lambda: git(root, "for-each-ref", "refs/heads/", BRANCH_FORMAT, timeout=5)),
        Case("list_remote_branches", name, "git", service.list_remote_branches,
             lambda: git(root, "for-each-ref", "refs/remotes/", BRANCH_FORMAT, timeout=5)),
        Case("list_tags", name, "git", service.list_tags, lambda: tags_floor(root)),
        Case("list_branches", name, "no git", service.list_branches,
             lambda: (try_git(root, "for-each-ref", "refs/heads/", BRANCH_FORMAT, timeout=5),
                      [repo.refs[k] for k in repo.refs.keys() if k.startswith(b"refs/heads/")]),
             task=Task("list_branches")),
        Case("list_remote_branches", name, "no git", service.list_remote_branches,
             lambda: (try_git(root, "for-each-ref", "refs/remotes/", BRANCH_FORMAT, timeout=5),
                      [repo.refs[k] for k in repo.refs.keys() if k.startswith(b"refs/remotes/")]),
             task=Task("list_remote_branches")),
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


def worktree_cases(name: str, root: Path, whole_walks: bool = True) -> list[Case]:
    """The working tree's cases. Without `whole_walks` (the huge scale) the scan's floor is git's status of
    the same tree rather than the scan's reads through dulwich."""
    service = gsc.GitServiceCython(str(root))
    if whole_walks:
        scan_floor_here = lambda: (try_git(root, "status", "--porcelain", "-u", timeout=10), scan_floor(root))
    else:
        scan_floor_here = lambda: git_anyway(root, "status", "--porcelain", "-u")

    return [
        Case("get_file_status", name, "git", service.get_file_status, lambda: status_floor(root)),
        Case("list_stashes", name, "git", service.list_stashes, lambda: stash_list_floor(root)),
        Case("get_stash_diff", name, "git", lambda: service.get_stash_diff(0),
             lambda: (git(root, "stash", "show", "stash@{0}", "--stat", "--color=always", timeout=5),
                      git(root, "stash", "show", "stash@{0}", "-p", "--color=always", timeout=5))),
        # libgit2 trusts the index's cached file data where it matches the
        # disk and reads only the files that differ, as the scan does.
        Case("get_file_status (scan)", name, "no git", service.get_file_status, scan_floor_here,
             pygit2_peer(root, lambda repo: peer_file_status(repo), "repo.status(): stat data, hashes only files left in doubt"),
             Task("get_file_status", peer="peer_file_status")),
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


def huge_cases(repos: dict[str, Path]) -> list[Case]:
    """The cases at one size of the huge corpus: every pane on the history with a commit-graph of one file,
    the rows that read the graph also with it split in three and without it, the refs, the working tree and
    the sequence of opening a repository."""
    cases = history_cases("history", repos["history"], "main", whole_walks=False)
    for name in ("history-split", "history-plain"):
        cases += [case for case in history_cases(name, repos[name], "main", whole_walks=False)
                  if case.task is not None and case.method.startswith(("list_commits(feature)", "count_commits",
                                                                        "get_merge_base"))]
    cases += refs_cases("refs", repos["refs"])
    cases += worktree_cases("worktree", repos["worktree"], whole_walks=False)
    cases += [open_sequence("history", repos["history"], "feature"),
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


# --- fresh processes and the huge corpus --------------------------------------------------------------

CHILD = Path(__file__).resolve().parent / "child.py"
FRESH_RUNS = 3  # fresh processes per library and task; the medians are kept


def in_fresh_process(library: str, root: Path, road_name: str, name: str, args: tuple, kwargs: dict) -> dict:
    """What child.py measures of one call in a fresh process."""
    result = subprocess.run([sys.executable, str(CHILD), library, str(root), road_name, name, json.dumps(args),
                             json.dumps(kwargs)], capture_output=True, text=True, check=True, timeout=1800)
    return json.loads(result.stdout)


def fresh_medians(library: str, root: Path, road_name: str, name: str, args: tuple, kwargs: dict
                  ) -> tuple[float, float]:
    """The median first-call time and peak memory of FRESH_RUNS fresh processes."""
    runs = [in_fresh_process(library, root, road_name, name, args, kwargs) for _ in range(FRESH_RUNS)]
    return (statistics.median(run["first_ms"] for run in runs), statistics.median(run["peak_mb"] for run in runs))


def measure_fresh(case: Case, row: Row, root: Path) -> None:
    """Adds the first call in a fresh process and the peak memory, the module's and pygit2's, to `row`."""
    task = case.task
    assert task is not None
    row.first_ms, row.peak_mb = fresh_medians("module", root, case.road, task.method, task.args, task.kwargs)
    if task.peer is not None and case.peer is not None:
        peer_args = task.args if task.peer_args is None else task.peer_args
        peer_kwargs = task.kwargs if task.peer_kwargs is None else task.peer_kwargs
        row.pygit2_first_ms, row.pygit2_peak_mb = fresh_medians("pygit2", root, case.road, task.peer, peer_args,
                                                                peer_kwargs)


def imported_mb(library: str, root: Path) -> float:
    """A fresh process's memory with the library imported, before it opens anything."""
    name = "list_branches" if library == "module" else "peer_base_head"
    return in_fresh_process(library, root, "git", name, (), {})["imported_mb"]


def packs_and_graph_mb(root: Path) -> float:
    """The size of the files the libraries map: pack files and indexes, and the commit-graph."""
    objects = root / ".git" / "objects"
    files = [*(objects / "pack").glob("pack-*"), *(objects / "info").glob("commit-graph*"),
             *(objects / "info" / "commit-graphs").glob("*.graph")]
    return sum(path.stat().st_size for path in files if path.is_file()) / 2**20


def measure_huge(size: str, root: Path | None, repeats: int, only: str | None, fresh: bool) -> dict:
    """The rows of one size of the huge corpus, with the first calls in fresh processes where `fresh`."""
    started = time.monotonic()
    repos = corpus.ensure_huge(size, root)
    built_s = time.monotonic() - started
    cases = [case for case in huge_cases(repos) if not only or only in case.method]
    rows = measure_all(cases, repeats)
    if fresh:
        for case, row in zip(cases, rows, strict=True):
            if case.task is not None:
                measure_fresh(case, row, repos[case.repo])
    scale = corpus.HUGE_SIZES[size]
    return {"size": size, "commits": scale.commits, "refs": scale.tags + 2 * scale.branches, "files": scale.files,
            "corpus_ready_s": built_s, "repeats": repeats,
            "disk_mb": {name: corpus.disk_size(path) / 2**20 for name, path in repos.items()},
            "mapped_mb": {name: packs_and_graph_mb(path) for name, path in repos.items()},
            "imported_mb": {library: imported_mb(library, repos["refs"]) for library in ("module", "pygit2")},
            "rows": [row_json(row) for row in rows]}


def row_json(row: Row) -> dict:
    return {**dataclasses.asdict(row), "ratio": row.ratio, "overhead_ms": row.overhead_ms,
            "module_per_pygit2": row.module_per_pygit2}


def cell(value: float | None, digits: int = 2) -> str:
    return "" if value is None else f"{value:.{digits}f}"


HUGE_HEADER = ["method", "repository", "road", "module ms", "floor ms", "ratio", "pygit2 ms", "module / pygit2",
               "first call ms", "pygit2 first call ms", "peak MB", "pygit2 peak MB", "packs and graph MB"]


def markdown(lines: list[list[str]]) -> str:
    return "\n".join("| " + " | ".join(cells) + " |" for cells in lines)


def huge_table(size_payload: dict) -> str:
    """The largest size's rows: warm medians as in the full table, then a fresh process's first call and its
    peak memory for the module and for pygit2, and the size of the files both map."""
    lines = [HUGE_HEADER, ["---"] * len(HUGE_HEADER)]
    mapped = size_payload["mapped_mb"]
    for row in rows_from_json(size_payload):
        lines.append([row.method, row.repo, row.road, f"{row.module_ms:.2f}", f"{row.floor_ms:.2f}",
                      f"{row.ratio:.3f}", cell(row.pygit2_ms), cell(row.module_per_pygit2, 3), cell(row.first_ms),
                      cell(row.pygit2_first_ms), cell(row.peak_mb, 0), cell(row.pygit2_peak_mb, 0),
                      f"{mapped[row.repo]:.0f}" if row.peak_mb is not None else ""])
    return markdown(lines)


def growth_table(sizes: list[dict]) -> str:
    """Every row's module time at each size beside the floor's growth: how the cost grows with the history,
    the refs and the files."""
    names = [payload["size"] for payload in sizes]
    header = ["method", "repository", "road", *(f"{name} ms" for name in names),
              f"{names[-1]} / {names[0]}", f"floor {names[-1]} / {names[0]}",
              *(f"first call {name} ms" for name in names)]
    keyed = [{(row.method, row.repo, row.road): row for row in rows_from_json(payload)} for payload in sizes]
    lines = [header, ["---"] * len(header)]
    for key, largest in keyed[-1].items():
        at = [by_size.get(key) for by_size in keyed]
        smallest = at[0]
        lines.append([*key, *(cell(row.module_ms if row else None) for row in at),
                      cell(ratio(largest.module_ms, smallest.module_ms) if smallest else None, 1),
                      cell(ratio(largest.floor_ms, smallest.floor_ms) if smallest else None, 1),
                      *(cell(row.first_ms if row else None) for row in at)])
    return markdown(lines)


def huge_section(payload: dict) -> str:
    """What stands between the README's huge-corpus markers."""
    sizes = payload["sizes"]
    largest = sizes[-1]
    legend = "; ".join(f"{size['size']}: {size['commits']:,} commits, {size['refs']:,} refs, {size['files']:,} files"
                       for size in sizes)
    imported = largest["imported_mb"]
    return (f"Huge corpus ({legend}); {largest['repeats']} runs each at {largest['size']}, medians; first calls and"
            f" peak memory: medians of {FRESH_RUNS} fresh processes (a process with only the module imported"
            f" holds {imported['module']:.0f} MB, one with pygit2 and the records {imported['pygit2']:.0f} MB);"
            f" {payload['machine']}; {payload['versions']}.\n\n{huge_table(largest)}\n\n"
            f"How each row's module time grows with the corpus:\n\n{growth_table(sizes)}\n")


README_HUGE_BEGIN = "<!-- The tables below are written by `make bench SCALE=huge` from its JSON: edit bench/run.py. -->"
README_HUGE_END = "<!-- End of the tables written by `make bench SCALE=huge`. -->"


def replace_between(path: Path, begin_marker: str, end_marker: str, section: str) -> None:
    text = path.read_text()
    begin = text.find(begin_marker)
    end = text.find(end_marker)
    if begin < 0 or end < begin:
        raise NotAFullRun(f"{path} has no pair of table markers")
    begin += len(begin_marker)
    path.write_text(f"{text[:begin]}\n{section}{text[end:]}")


def run_huge(args: argparse.Namespace) -> dict:
    sizes = [measure_huge(size, args.root, args.repeats or (3 if size == corpus.LARGEST else 5), args.only,
                          fresh=True)
             for size in corpus.HUGE_SIZES]
    return {"scale": "huge", "only": args.only, "machine": machine(), "versions": versions(), "sizes": sizes}


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
    """Rewrites the tables between the README's markers from a whole full-scale or huge run's JSON."""
    if payload.get("only") or payload.get("scale") not in ("full", "huge"):
        raise NotAFullRun("the README's tables are written from a whole full-scale or huge run only")
    if payload["scale"] == "huge":
        replace_between(path, README_HUGE_BEGIN, README_HUGE_END, huge_section(payload))
    else:
        replace_between(path, README_BEGIN, README_END, readme_section(payload))


def machine() -> str:
    return f"{platform.machine()}, {os.cpu_count()} cores, {platform.python_implementation()} {platform.python_version()}"


def versions() -> str:
    git_version = subprocess.run(["git", "--version"], capture_output=True, text=True).stdout.split()[-1]
    return (f"git {git_version}, dulwich {importlib.metadata.version('dulwich')}, "
            f"pygit2 {pygit2.__version__} (libgit2 {pygit2.LIBGIT2_VERSION})")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", choices=[*sorted(corpus.SCALES), "huge"], default="quick")
    parser.add_argument("--root", type=Path, default=None, help="where the corpus is kept")
    parser.add_argument("--repeats", type=int, default=None)
    parser.add_argument("--json", type=Path, default=None, help="also write the rows as JSON")
    parser.add_argument("--only", default=None, help="run only the cases whose method contains this text")
    parser.add_argument("--readme", type=Path, default=None,
                        help="rewrite the table between this README's markers (a whole full-scale run only)")
    parser.add_argument("--from-json", type=Path, default=None,
                        help="measure nothing: take the rows of an earlier run's JSON (for --readme)")
    args = parser.parse_args(argv)
    if args.readme and not args.from_json and (args.scale not in ("full", "huge") or args.only):
        parser.error("--readme takes a whole full-scale or huge run (--scale full or huge, no --only)")
    if args.from_json:
        if not args.readme:
            parser.error("--from-json is for --readme")
        write_readme(args.readme, json.loads(args.from_json.read_text()))
        return 0
    if args.scale == "huge":
        payload = run_huge(args)
        print(huge_section(payload))
        if args.json:
            args.json.write_text(json.dumps(payload, indent=2) + "\n")
        if args.readme and not args.only:
            write_readme(args.readme, payload)
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
               "rows": [row_json(row) for row in rows]}
    if args.json:
        args.json.write_text(json.dumps(payload, indent=2) + "\n")
    if args.readme:
        write_readme(args.readme, payload)
    return 0


if __name__ == "__main__":
    sys.exit(main())
