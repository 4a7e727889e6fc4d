"""References answer alike on their two roads: read natively from the
repository's ref files, and through dulwich's reference container (forced by
a subclass of it) — on loose, packed and shadowed refs, symbolic refs, odd
names and damaged ref files, and in a live service while refs change."""

from __future__ import annotations

import os
import random
import shutil
import subprocess
from pathlib import Path

import git_service_cython as gsc
import pytest
from dulwich.refs import DiskRefsContainer, SymrefLoop
from dulwich.repo import Repo
from roads import library_service, outcome
from store_helpers import git


class LibraryRefs(DiskRefsContainer):
    """dulwich's disk reference container under another name: the module then reads through it."""


def library_refs_service(path: Path) -> gsc.GitServiceCython:
    """A service whose references are read through dulwich (its objects still through the store)."""
    repo = Repo(str(path))
    repo.refs = LibraryRefs(repo.refs.path, repo.refs.worktree_path)
    return library_service(path, repo)


@pytest.fixture
def library_reads(monkeypatch):
    """The names dulwich's own container is asked for (the native road asks it nothing)."""
    asked = []
    for method in ("read_ref", "allkeys"):
        original = getattr(DiskRefsContainer, method)

        def spy(self, *args, original=original, method=method):
            if type(self) is DiskRefsContainer:
                asked.append((method, *args))
            return original(self, *args)

        monkeypatch.setattr(DiskRefsContainer, method, spy)
    return asked


def in_name_order(refs):
    """A refs dictionary with its name lists sorted: the container's keys have no order of their own."""
    if not isinstance(refs, dict):
        return refs
    return {key: sorted(value) if key in ("branches", "remote_branches", "tags") else value
            for key, value in refs.items()}


BRANCHES = ["main", "feature", "old", "f\u00e9", "team/x-1.2_a+b", "with@sign", "missing", "chain", "long-chain",
            "longest-chain", "dangling", "loop", "to-packed", "shadowed", "packed-only"]


def ref_answers(service, commits: list[str]) -> dict:
    """Every answer that reads refs, without git: lookups, the scans, the listings, HEAD."""
    answers = {}
    for commit in commits:
        answers[f"refs {commit}"] = outcome(lambda c=commit: in_name_order(service.get_commit_refs(c)))
    answers["branches"] = outcome(lambda: sorted(map(repr, service.list_branches())))
    answers["remote branches"] = outcome(lambda: sorted(map(repr, service.list_remote_branches())))
    for branch in BRANCHES:
        answers[f"info {branch}"] = outcome(lambda b=branch: service.get_branch_info(b))
        answers[f"list {branch}"] = outcome(lambda b=branch: service.list_commits(b, max_count=4))
        answers[f"count {branch}"] = outcome(lambda b=branch: service.count_commits(b))
        answers[f"merge base {branch}"] = outcome(lambda b=branch: service.get_merge_base(b))
        answers[f"remote {branch}"] = outcome(lambda b=branch: service._get_remote_commits(b))
    answers["status"] = outcome(service.get_file_status)
    return answers


def write_ref(path: Path, name: str | bytes, content: bytes) -> None:
    target = path / ".git" / os.fsdecode(name)
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_bytes(content)


def rev(path: Path, what: str) -> str:
    return git(path, "rev-parse", what)


def build_repository(path: Path) -> None:
    """Branches, remote-tracking refs (origin/HEAD symbolic), lightweight and annotated tags, odd names."""
    git(path.parent, "init", "-q", "-b", "main", str(path))
    stream = []
    for i in range(14):
        parent = f"from :{i}\n" if i else ""
        stream.append(f"commit refs/heads/main\nmark :{i + 1}\ncommitter C <c@x> {1_700_000_000 + i} +0000\n"
                      f"data 4\nc{i:02d}\n{parent}M 100644 inline f.txt\ndata 3\n{i:02d}\n\n")
    git(path, "fast-import", "--quiet", input="".join(stream).encode())
    git(path, "checkout", "-q", "-f", "main")
    git(path, "branch", "feature", "main~4")
    git(path, "branch", "old", "main~8")
    git(path, "branch", "f\u00e9", "main~3")
    git(path, "branch", "team/x-1.2_a+b", "main~2")
    git(path, "branch", "with@sign", "main~5")
    git(path, "branch", "packed-only", "main~6")
    git(path, "branch", "shadowed", "main~7")
    git(path, "update-ref", "refs/remotes/origin/main", "main~1")
    git(path, "update-ref", "refs/remotes/origin/feature", "feature~1")
    git(path, "symbolic-ref", "refs/remotes/origin/HEAD", "refs/remotes/origin/main")
    git(path, "tag", "light", "main~2")
    git(path, "tag", "t\u00e5g", "main~4")
    git(path, "tag", "-a", "-m", "one", "v1", "main")
    git(path, "tag", "-a", "-m", "zero", "v0", "main~6")
    git(path, "tag", "-a", "-m", "again", "also-main", "main")


def chain(first: str, prefix: str, length: int) -> dict[str, str]:
    """Symbolic refs `first` -> `prefix`-1 -> ... -> main, `length` links in all."""
    names = [first] + [f"{prefix}-{i}" for i in range(1, length)]
    return dict(zip(names, names[1:] + ["main"], strict=True))


def write_symbolic_refs(path: Path, links: dict[str, str]) -> None:
    for name, target in links.items():
        write_ref(path, f"refs/heads/{name}", f"ref: refs/heads/{target}\n".encode())


def add_symbolic_refs(path: Path) -> None:
    """Chains of symbolic refs (up to four long: dulwich follows no further), to loose and packed refs; HEAD through one."""
    write_symbolic_refs(path, {"chain": "link-1", "link-1": "main", "to-packed": "packed-only",
                               **chain("long-chain", "long", 4)})
    write_ref(path, "refs/tags/alias", b"ref: refs/tags/v1\n")
    write_ref(path, "HEAD", b"ref: refs/heads/chain\n")


def add_unresolved_refs(path: Path) -> None:
    """Refs dulwich resolves to an exception: five symbolic refs in a row, a loop, dangling refs."""
    write_symbolic_refs(path, {"dangling": "nowhere", "loop": "loop-back", "loop-back": "loop",
                               **chain("longest-chain", "longest", 5)})
    os.symlink("nothing-here", path / ".git" / "refs" / "remotes" / "origin" / "dangling-link")


def shadow(path: Path) -> None:
    """Loose refs over packed ones of the same names, pointing elsewhere, and new loose refs."""
    git(path, "update-ref", "refs/heads/shadowed", "main~1")
    git(path, "update-ref", "refs/tags/light", "main~5")
    git(path, "update-ref", "refs/heads/newer", "main~2")
    git(path, "update-ref", "refs/remotes/origin/feature", "main")


def packed_lines(path: Path) -> list[bytes]:
    return (path / ".git" / "packed-refs").read_bytes().splitlines(keepends=True)


def without_header(path: Path) -> None:
    """packed-refs as old git wrote it: no header line, no peeled lines."""
    lines = [line for line in packed_lines(path) if not line.startswith((b"#", b"^"))]
    (path / ".git" / "packed-refs").write_bytes(b"".join(lines))


def unsorted(path: Path) -> None:
    """A header without the sorted trait, records shuffled, and a name twice (the later line counts)."""
    records: list[list[bytes]] = []
    for line in packed_lines(path)[1:]:
        if line.startswith(b"^"):
            records[-1].append(line)
        else:
            records.append([line])
    random.Random(3).shuffle(records)
    stale = b"0" * 40 + b" refs/heads/packed-only\n"
    lines = [b"# pack-refs with: peeled \n", stale] + [line for record in records for line in record]
    (path / ".git" / "packed-refs").write_bytes(b"".join(lines))


def as_dulwich_packs(path: Path) -> None:
    """packed-refs as dulwich writes it: "# pack-refs with: peeled" only, names sorted."""
    lines = packed_lines(path)
    (path / ".git" / "packed-refs").write_bytes(b"# pack-refs with: peeled\n" + b"".join(lines[1:]))


def odd_names(path: Path) -> None:
    """Names that are not UTF-8 or unusual but valid; files dulwich's walk leaves out; links."""
    main = rev(path, "main").encode() + b"\n"
    write_ref(path, b"refs/heads/caf\xe9", main)
    write_ref(path, b"refs/tags/\xff\xfe", main)
    write_ref(path, "refs/heads/deep/er/still/x", main)
    write_ref(path, "refs/heads/main.lock", b"garbage\n")
    write_ref(path, "refs/heads/.hidden", main)
    write_ref(path, "refs/heads/with space", main)
    (path / ".git" / "elsewhere").write_bytes(main)
    os.symlink("../../elsewhere", path / ".git" / "refs" / "heads" / "linked-file")


PLAIN = {
    "loose": [],
    "packed": [["pack-refs", "--all"]],
    "packed, shadowed": [["pack-refs", "--all"], shadow],
    "packed without a header": [["pack-refs", "--all"], without_header],
    "packed, unsorted": [["pack-refs", "--all"], unsorted],
    "packed as dulwich packs": [["pack-refs", "--all"], as_dulwich_packs],
    "symbolic, loose": [add_symbolic_refs],
    "symbolic, packed": [["pack-refs", "--all"], add_symbolic_refs],
    "symbolic, packed, shadowed": [["pack-refs", "--all"], shadow, add_symbolic_refs],
    "odd names": [odd_names],
    "odd names, packed": [["pack-refs", "--all"], odd_names],
}


@pytest.fixture(scope="module")
def base_repository(tmp_path_factory):
    path = tmp_path_factory.mktemp("refs") / "base"
    build_repository(path)
    return path


def make_variant(base: Path, tmp_path: Path, steps) -> Path:
    path = tmp_path / "variant"
    shutil.copytree(base, path, symlinks=True)
    for step in steps:
        if callable(step):
            step(path)
        else:
            git(path, *step)
    return path


def commits_of(path: Path) -> list[str]:
    return git(path, "rev-list", "--all").split() + [rev(path, "v1"), "ab" * 20]


@pytest.mark.parametrize("case", list(PLAIN))
def test_plain_refs_answer_alike_on_both_roads(base_repository, tmp_path, case, hide_git, library_reads):
    path = make_variant(base_repository, tmp_path, PLAIN[case])
    commits = commits_of(base_repository)
    main = rev(path, "main")
    hide_git()
    native = ref_answers(gsc.GitServiceCython(str(path)), commits)
    # The module asked dulwich's own container nothing.
    assert library_reads == []
    assert native == ref_answers(library_refs_service(path), commits)
    # The answers hold what the case is about.
    assert native["info main"]["head_sha"] == main
    assert len(native["remote branches"]) == 3
    labelled = [refs for key, refs in native.items() if key.startswith("refs ")]
    assert sum(len(refs["tags"]) for refs in labelled) >= 3


def test_symbolic_refs_follow_as_dulwich_follows_them(base_repository, tmp_path, hide_git, library_reads):
    path = make_variant(base_repository, tmp_path, [["pack-refs", "--all"], add_symbolic_refs, add_unresolved_refs])
    main, packed_only = rev(path, "main"), rev(path, "packed-only")
    hide_git()
    service = gsc.GitServiceCython(str(path))
    assert service.get_branch_info("chain")["head_sha"] == main
    assert service.get_branch_info("long-chain")["head_sha"] == main  # four symbolic refs, then main
    assert service.get_branch_info("to-packed")["head_sha"] == packed_only
    # HEAD goes through "chain" to main: the scan reads main's tree.
    assert service.get_file_status() == []
    assert library_reads == []
    for name in ("longest-chain", "loop"):  # five symbolic refs, or a loop: dulwich's SymrefLoop
        assert outcome(lambda n=name: service.list_commits(n))[0].__name__ == "SymrefLoop"
    assert outcome(lambda: service.list_commits("dangling")) == (KeyError, "b'refs/heads/dangling'")
    # The listings raise as dulwich's reading of the dangling refs raises.
    assert outcome(service.list_branches)[0] in (KeyError, SymrefLoop)
    assert outcome(service.list_remote_branches) == (KeyError, "b'refs/remotes/origin/dangling-link'")


def damaged_loose(content: bytes):
    return lambda path: write_ref(path, "refs/heads/feature", content)


def damaged_packed(change):
    def damage(path: Path) -> None:
        git(path, "pack-refs", "--all")
        packed = path / ".git" / "packed-refs"
        packed.write_bytes(change(packed.read_bytes()))
    return damage


def linked_directory(path: Path) -> None:
    # dulwich's walk lists no name under a link to a directory, yet reads a
    # packed name's loose file through it.
    git(path, "update-ref", "refs/heads/linked/x", "main")
    git(path, "pack-refs", "--all")
    shutil.rmtree(path / ".git" / "refs" / "heads" / "linked", ignore_errors=True)
    elsewhere = path / "elsewhere"
    elsewhere.mkdir()
    (elsewhere / "x").write_text(rev(path, "main~1") + "\n")
    os.symlink(elsewhere, path / ".git" / "refs" / "heads" / "linked")


DAMAGED = {
    "symbolic refs to nowhere or in a loop": add_unresolved_refs,
    "uppercase id": damaged_loose(b"A" * 40 + b"\n"),
    "id without a newline": damaged_loose(b"a" * 40),
    "id and more lines": damaged_loose(b"a" * 40 + b"\nmore\n"),
    "id with CRLF": damaged_loose(b"a" * 40 + b"\r\n"),
    "empty ref file": damaged_loose(b""),
    "garbage ref file": damaged_loose(b"not a ref at all\n"),
    "symbolic ref to nothing": damaged_loose(b"ref: \n"),
    "symbolic ref without a newline": damaged_loose(b"ref: refs/heads/main"),
    "symbolic ref out of refs": damaged_loose(b"ref: refs/heads/../../config\n"),
    "garbage HEAD": lambda path: (path / ".git" / "HEAD").write_bytes(b"garbage\n"),
    "packed, a bad line": damaged_packed(lambda data: data + b"this is not a ref\n"),
    "packed, peeled line without the header": damaged_packed(lambda data: data.split(b"\n", 1)[1]),
    "packed, blank line": damaged_packed(lambda data: data.replace(b"\n", b"\n\n", 2)),
    "packed, CRLF": damaged_packed(lambda data: data.replace(b"\n", b"\r\n")),
    "packed, uppercase id": damaged_packed(lambda data: data[:60] + data[60:].upper()),
    "packed, refused name": damaged_packed(lambda data: data + b"a" * 40 + b" refs/heads/a..b\n"),
    "packed, last line cut": damaged_packed(lambda data: data[:-1]),
    "packed, empty": damaged_packed(lambda data: b""),
    "packed, peeled line first": damaged_packed(lambda data: data.replace(b"sorted \n", b"sorted \n^" + b"a" * 40
                                                                          + b"\n")),
    "packed-refs a directory": lambda path: (path / ".git" / "packed-refs").mkdir(),
    "a link to a directory": linked_directory,
}


@pytest.mark.parametrize("case", list(DAMAGED))
def test_damaged_refs_answer_as_dulwich_answers(base_repository, tmp_path, case, hide_git, library_reads):
    path = make_variant(base_repository, tmp_path, [DAMAGED[case]])
    commits = commits_of(base_repository)
    hide_git()
    native = ref_answers(gsc.GitServiceCython(str(path)), commits)
    # What the module does not read, it left to dulwich's own container.
    assert library_reads != []
    assert native == ref_answers(library_refs_service(path), commits)


# Ids of the other format's length: dulwich hands a ref's digits out as they stand, 40 or 64 of them, whatever the
# repository's format, and so does the native reading; the walks then leave such an id to the library.
OTHER_FORMAT = {
    "loose, 64 digits": damaged_loose(b"a" * 64 + b"\n"),
    "packed, 64 digits": damaged_packed(lambda data: data + b"b" * 64 + b" refs/heads/zz-long\n"),
}


@pytest.mark.parametrize("case", list(OTHER_FORMAT))
def test_ids_of_the_other_length_are_read_as_text(base_repository, tmp_path, case, hide_git, library_reads):
    path = make_variant(base_repository, tmp_path, [OTHER_FORMAT[case]])
    commits = commits_of(base_repository)
    hide_git()
    native = ref_answers(gsc.GitServiceCython(str(path)), commits)
    assert library_reads == []
    assert native == ref_answers(library_refs_service(path), commits)


# --- the gate -----------------------------------------------------------------------------------------------


def replaced_read(service: gsc.GitServiceCython, path: Path) -> None:
    repo = Repo(str(path))
    original = repo.refs.read_loose_ref
    repo.refs.read_loose_ref = lambda name: original(name)
    service.__setstate__((repo, path.resolve()))


def other_directory(service: gsc.GitServiceCython, path: Path) -> None:
    elsewhere = path.parent / "elsewhere"
    shutil.copytree(path, elsewhere, symlinks=True)
    git(elsewhere, "update-ref", "refs/heads/main", "main~1")
    repo = Repo(str(path))
    repo.refs = DiskRefsContainer(str(elsewhere / ".git"))
    service.__setstate__((repo, path.resolve()))


@pytest.mark.parametrize("change", [replaced_read, other_directory])
def test_a_container_that_is_not_the_plain_one_is_read_through(base_repository, tmp_path, change, library_reads):
    path = make_variant(base_repository, tmp_path, [["pack-refs", "--all"]])
    service = gsc.GitServiceCython(str(path))
    change(service, path)
    expected = rev(path if change is replaced_read else path.parent / "elsewhere", "main")
    assert service.get_branch_info("main")["head_sha"] == expected
    assert library_reads != []


def test_a_linked_worktree_reads_its_own_head(base_repository, tmp_path, library_reads):
    path = make_variant(base_repository, tmp_path, [["pack-refs", "--all"]])
    linked = tmp_path / "linked"
    git(path, "worktree", "add", "-q", str(linked), "feature")
    # The service looks for a .git directory; a host may hand it the linked worktree's Repo.
    service = gsc.GitServiceCython(str(path))
    service.__setstate__((Repo(str(linked)), linked.resolve()))
    assert service.get_branch_info("feature") == {"name": "feature", "head_sha": rev(path, "feature"),
                                                  "remote_tracking": "origin/feature", "upstream": "feature",
                                                  "is_current": True}
    assert service.get_commit_refs(rev(path, "feature"))["branches"] == ["feature"]
    assert library_reads != []


# --- a live service --------------------------------------------------------------------------------------------


@pytest.fixture
def git_cannot_run(monkeypatch):
    """The module's git runs fail as for a missing git; the tests' own (which pass env) still run."""
    real_run = subprocess.run

    def run(args, **kwargs):
        if "env" not in kwargs:
            raise FileNotFoundError(2, "No such file or directory", "git")
        return real_run(args, **kwargs)

    monkeypatch.setattr(subprocess, "run", run)


def live_answers(service, branches: list[str], commits: list[str]) -> dict:
    answers = {f"refs {commit}": in_name_order(service.get_commit_refs(commit)) for commit in commits}
    answers["branches"] = sorted(map(repr, service.list_branches()))
    answers["remote branches"] = sorted(map(repr, service.list_remote_branches()))
    for branch in branches:
        answers[f"list {branch}"] = outcome(lambda b=branch: service.list_commits(b, max_count=5))
        answers[f"info {branch}"] = service.get_branch_info(branch)
    return answers


def test_a_live_service_sees_refs_change_between_calls(base_repository, tmp_path, git_cannot_run):
    upstream = make_variant(base_repository, tmp_path, [])
    clone = tmp_path / "clone"
    git(tmp_path, "clone", "-q", str(upstream), str(clone))
    git(clone, "branch", "topic", "origin/feature")
    service = gsc.GitServiceCython(str(clone))
    branches = ["main", "topic", "feature"]

    def check() -> dict:
        answers = live_answers(service, branches, git(clone, "rev-list", "--all").split())
        assert answers == live_answers(library_refs_service(clone), branches, git(clone, "rev-list", "--all").split())
        return answers

    before = check()
    assert "'origin/main'" in "".join(before["remote branches"])
    # A fetch moves origin/main and brings a new remote branch.
    git(upstream, "commit", "-q", "--allow-empty", "-m", "upstream moves on")
    git(upstream, "branch", "fresh")
    git(clone, "fetch", "-q", "origin")
    fetched = check()
    assert fetched["info main"] == before["info main"]
    assert fetched[f"refs {rev(upstream, 'main')}"]["remote_branches"] == ["origin/HEAD", "origin/fresh", "origin/main"]
    # Packing changes no answer.
    git(clone, "pack-refs", "--all")
    assert check() == fetched
    # A deleted branch is gone from packed-refs, and from every answer.
    git(clone, "branch", "-D", "topic")
    deleted = check()
    assert deleted["list topic"] == (KeyError, "b'refs/heads/topic'")
    assert deleted["info topic"]["head_sha"] is None
    assert "'topic'" not in "".join(deleted["branches"])
