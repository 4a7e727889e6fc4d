"""Repositories that keep their refs in reftables, with SHA-1 ids (version-1
tables, which dulwich reads) and SHA-256 ids (version-2 tables, on which
dulwich 1.2 raises): every pane answers as git does, with a git that reads
reftables on the search path and without git. The repository has packed and
loose objects, several tables with a deletion and an override across them,
annotated and lightweight tags, remote-tracking branches, merges and a
stash. The ground truth is git's own (`rev-list`, `merge-base`,
`for-each-ref`, `rev-parse`, `status --porcelain -u`), and, where dulwich
reads the tables, dulwich's road through the same panes."""

from __future__ import annotations

import errno
import json
import os
import subprocess
from pathlib import Path

import _git_store_probe as probe
import git_service_cython as gsc
import pytest
from conftest import GIT_ENV, init_repo
from dulwich.reftable import ReftableRefsContainer
from dulwich.repo import Repo
from git_answers import GitAnswers
from hardening_helpers import run_child
from newer_git import SKIP_REASON, find_newer_git
from public_methods import CHANGES_THE_SERVICE, METHODS, Samples, sample_call
from reftable_helpers import SYMBOLIC, write_table
from roads import LibraryRepo, library_service, outcome

NEWER_GIT = find_newer_git()
pytestmark = pytest.mark.skipif(NEWER_GIT is None, reason=SKIP_REASON)
# git 2.47 compacts the stack after every update unless told not to.
KEEP_TABLES = {"GIT_TEST_REFTABLE_AUTOCOMPACTION": "false"}


def git_at(path: Path, *args: str, env: dict | None = None) -> str:
    """The newer git's own answer, whether or not the module can find a git."""
    return subprocess.run([NEWER_GIT, *args], cwd=path, env={**os.environ, **GIT_ENV, **KEEP_TABLES, **(env or {})},
                          capture_output=True, text=True, check=True).stdout.rstrip()


class History(GitAnswers):
    """A repository in reftables and what git says of it."""

    def __init__(self, path: Path, object_format: str):
        repo = init_repo(path, program=NEWER_GIT, object_format=object_format, options=("--ref-format=reftable",))
        self.path = path
        for i in range(1, 5):
            repo.commit(f"base {i}", files={f"f{i}.txt": f"{i}\n"})
        repo.git("checkout", "-q", "-b", "side", "main~2")
        repo.commit("side 1", files={"side.txt": "1\n"})
        repo.git("checkout", "-q", "main")
        when = repo.next_date()
        repo.git("merge", "-q", "--no-ff", "-m", "merge side", "side",
                 env={"GIT_AUTHOR_DATE": when, "GIT_COMMITTER_DATE": when})
        repo.git("checkout", "-q", "-b", "feature", "main~1")
        for i in range(1, 4):
            repo.commit(f"feature {i}", files={"feature.txt": f"{i}\n"})
        repo.git("checkout", "-q", "main")
        repo.commit("base 5", files={"both.txt": "both\n"})
        repo.git("update-ref", "refs/remotes/origin/main", "main~1")
        repo.git("update-ref", "refs/remotes/origin/feature", "feature~1")
        repo.git("symbolic-ref", "refs/remotes/origin/HEAD", "refs/remotes/origin/main")
        repo.git("tag", "light", "main~3")
        repo.git("tag", "-a", "annotated", "-m", "an annotated tag", "main~1",
                 env={"GIT_COMMITTER_DATE": repo.next_date()})
        # Packed so far, refs compacted into one table; what follows stays
        # loose, each ref update in a table of its own.
        repo.git("repack", "-adq")
        repo.git("pack-refs", "--all")
        repo.git("branch", "gone", "side")
        repo.git("branch", "moved", "main~2")
        repo.commit("base 6", files={"f2.txt": "two\n"})
        repo.git("branch", "-f", "moved", "feature")
        repo.git("branch", "-D", "gone")
        repo.git("tag", "late-tag", "feature~2")
        repo.write("f3.txt", "stashed\n")
        repo.git("stash", "-q")
        repo.write("f1.txt", "changed\n")
        repo.write("new.txt", "new\n")
        repo.git("add", "new.txt")
        repo.write("untracked.txt", "u\n")

        self.read_git_answers()

    def git(self, *args: str) -> str:
        return git_at(self.path, *args)


@pytest.fixture(scope="module", params=["sha1", "sha256"])
def history(request, tmp_path_factory):
    with pytest.MonkeyPatch.context() as patch:
        for key, value in {**GIT_ENV, **KEEP_TABLES}.items():
            patch.setenv(key, value)
        yield History(tmp_path_factory.mktemp(f"reftable-{request.param}") / "repo", request.param)


@pytest.fixture(params=["git", "no git"])
def road(request, monkeypatch, hide_git):
    """Each test runs with the newer git first on the search path, and again without git."""
    if request.param == "no git":
        hide_git()
    else:
        monkeypatch.setenv("PATH", str(Path(NEWER_GIT).parent) + os.pathsep + os.environ["PATH"])
    return request.param


@pytest.fixture
def service(history):
    return gsc.GitServiceCython(str(history.path))


def test_the_repository_has_every_part_the_panes_read(history):
    git_dir = history.path / ".git"
    names = (git_dir / "reftable" / "tables.list").read_text().split()
    assert len(names) > 5
    assert list((git_dir / "objects" / "pack").glob("*.pack"))
    assert not (git_dir / "packed-refs").exists()
    assert "refs/heads/gone" not in {name for name, _, _ in history.refs}
    sha256 = len(next(iter(history.parents))) == 64
    first = (git_dir / "reftable" / names[0]).read_bytes()
    assert first[4] == (2 if sha256 else 1)
    # The store reads every table; with SHA-1 ids dulwich reads them alike.
    assert probe.reftable_stack(str(git_dir))[:2] == ((32, False) if sha256 else (20, True))


# --- history ----------------------------------------------------------------------------------------------


def listed(service, branch, **options):
    return [(c.sha, c.summary, c.author, c.timestamp, c.pushed) for c in service.list_commits(branch, **options)]


def expected_rows(history, commits, branch):
    pushed = set(history.walk(history.head(f"origin/{branch}"), 200)) if branch in ("main", "feature") else set()
    return [(c, *history.logged[c], c in pushed) for c in commits]


def test_listings_give_gits_history(history, service, road):
    main, feature = history.head("main"), history.head("feature")
    assert listed(service, "main") == expected_rows(history, history.walk(main), "main")
    hidden = set(history.walk(main, 200))
    own = [c for c in history.walk(feature) if c not in hidden]
    assert listed(service, "feature") == expected_rows(history, own, "feature")
    assert listed(service, "feature", max_count=2, skip=1) == expected_rows(history, own[1:3], "feature")
    merge_base = history.git("merge-base", "main", "feature")
    walked = history.walk(feature)
    assert listed(service, "feature", show_full_history=True) == expected_rows(
        history, walked[:walked.index(merge_base)], "feature")
    with pytest.raises(KeyError):
        service.list_commits("gone")


def test_remote_commits_counts_and_merge_bases(history, service, road):
    for branch in ("main", "feature"):
        assert service._get_remote_commits(branch) == set(history.walk(history.head(f"origin/{branch}"), 200))
    assert service._get_remote_commits("side") == set()
    assert service.count_commits("main") == int(history.git("rev-list", "--count", "main"))
    assert service.count_commits("feature") == int(history.git("rev-list", "--count", "feature", "^main"))
    for branch in ("feature", "side", "moved"):
        expected = history.git("merge-base", "main", branch)
        if road == "no git":
            base = set(history.walk(history.head("main"), 1000))
            expected = next(c for c in history.walk(history.head(branch), 200) if c in base)
        assert service.get_merge_base(branch) == expected


# --- references -------------------------------------------------------------------------------------------


def test_commit_refs_of_every_commit(history, service, road):
    for commit, parents in history.parents.items():
        refs = service.get_commit_refs(commit)
        assert sorted(refs["branches"]) == history.names_at("refs/heads/", commit)
        assert sorted(refs["remote_branches"]) == history.names_at("refs/remotes/", commit)
        assert sorted(refs["tags"]) == history.names_at("refs/tags/", commit)
        assert refs["is_merge"] is (len(parents) > 1)


def test_decorations_from_gits_log(history, service, road):
    commits = history.git("log", "--format=%H", "main").split()
    result = service.get_commit_refs_from_git_log("main", commits)
    assert list(result) == commits
    head = history.head("HEAD")
    for commit, refs in result.items():
        if road == "no git":
            assert refs["branches"] == refs["tags"] == [] and refs["is_head"] is False
            continue
        assert sorted(refs["branches"]) == history.names_at("refs/heads/", commit)
        assert sorted(refs["tags"]) == history.names_at("refs/tags/", commit, peeled=True)
        assert refs["is_head"] is (commit == head)


def test_branch_listings_and_information(history, service, road):
    def by_name(prefix):
        return {name[len(prefix):]: target for name, target, _ in history.refs if name.startswith(prefix)}

    assert {b.name: b.head_sha for b in service.list_branches()} == by_name("refs/heads/")
    remote = {b.name: b.head_sha for b in service.list_remote_branches()}
    if road == "git":
        # git's short name of refs/remotes/origin/HEAD is "origin".
        expected = dict(line.split() for line in history.git(
            "for-each-ref", "refs/remotes/", "--format=%(refname:short) %(objectname)").splitlines())
    else:
        expected = {f"origin/{name}": target for name, target in by_name("refs/remotes/origin/").items()}
    assert remote == expected
    info = service.get_branch_info("main")
    assert (info["head_sha"], info["is_current"], info["remote_tracking"]) == (history.head("main"), True,
                                                                              "origin/main")
    assert service.get_branch_info("feature")["is_current"] is False
    assert service.get_branch_info("gone")["head_sha"] is None


def test_tags_and_stashes(history, service, road):
    tags = {t.name: (t.sha, t.is_annotated) for t in service.list_tags()}
    if road == "no git":
        assert tags == {}
        return
    assert tags == {name[len("refs/tags/"):]: (target, target != peeled)
                    for name, target, peeled in history.refs if name.startswith("refs/tags/")}
    (stash,) = service.list_stashes()
    assert stash.index == 0 and stash.branch == "main"


# --- the working tree -------------------------------------------------------------------------------------


ROWS = {" M": ("modified", False, True), "A ": ("staged", True, False), "??": ("untracked", False, True)}


def test_file_status_is_gits(history, service, road):
    rows = sorted((line[3:], *ROWS[line[:2]]) for line in history.git("status", "--porcelain", "-u").splitlines())
    assert sorted((r.path, r.status, r.staged, r.unstaged) for r in service.get_file_status()) == rows


@pytest.mark.parametrize("object_format", ["sha1", "sha256"])
@pytest.mark.parametrize("outer_format", ["files", "reftable"])
def test_a_submodule_in_reftables_that_moved_is_modified(tmp_path, monkeypatch, hide_git, object_format,
                                                         outer_format):
    monkeypatch.setenv("PATH", str(Path(NEWER_GIT).parent) + os.pathsep + os.environ["PATH"])
    inner = init_repo(tmp_path / "inner", program=NEWER_GIT, object_format=object_format,
                      options=("--ref-format=reftable",))
    inner.commit("inner", files={"i.txt": "i\n"})
    outer = init_repo(tmp_path / "outer", program=NEWER_GIT, object_format=object_format,
                      options=(f"--ref-format={outer_format}",))
    outer.commit("outer", files={"o.txt": "o\n"})
    outer.git("-c", "protocol.file.allow=always", "submodule", "add", "-q", str(inner.path), "sub",
              env={"GIT_DEFAULT_REF_FORMAT": "reftable"})
    outer.commit("with a submodule")
    assert "refstorage = reftable" in (outer.path / ".git" / "modules" / "sub" / "config").read_text()
    service = gsc.GitServiceCython(str(outer.path))
    hide_git()
    assert git_at(outer.path, "status", "--porcelain", "-u") == ""
    assert service.get_file_status() == []
    git_at(outer.path / "sub", "commit", "-q", "--allow-empty", "-m", "moved on")
    assert git_at(outer.path, "status", "--porcelain", "-u") == " M sub"
    assert [(r.path, r.status, r.staged, r.unstaged) for r in service.get_file_status()] == [
        ("sub", "modified", False, True)]
    # Back where the superproject has it, through a deletion and a new table.
    git_at(outer.path / "sub", "checkout", "-q", "--detach", "HEAD~1")
    git_at(outer.path / "sub", "branch", "-D", "main")
    assert git_at(outer.path, "status", "--porcelain", "-u") == ""
    assert service.get_file_status() == []


# --- the two roads ----------------------------------------------------------------------------------------


def test_with_sha1_ids_the_dulwich_road_answers_alike(history, hide_git):
    """Where dulwich reads the tables, its road through the same panes gives the
    same answers; where it raises on them (version 2), the native reading is
    the only one."""
    hide_git()
    native = gsc.GitServiceCython(str(history.path))
    repo = LibraryRepo(str(history.path))
    # A method of the container's own in the instance: its refs are read
    # through it.
    repo.refs.allkeys = repo.refs.allkeys
    library = library_service(history.path, repo)
    calls = [lambda s: [c.sha for c in s.list_commits("feature")], lambda s: s.count_commits("feature"),
             lambda s: s.get_merge_base("feature"), lambda s: s.list_branches(), lambda s: s.list_remote_branches(),
             lambda s: s.get_branch_info("main"), lambda s: s.get_commit_refs(history.head("main~1")),
             lambda s: s.get_file_status()]
    sha256 = len(history.head("HEAD")) == 64
    for call in calls:
        answer = outcome(lambda call=call: call(native))
        assert not (isinstance(answer, tuple) and isinstance(answer[0], type))
        if not sha256:
            assert outcome(lambda call=call: call(library)) == answer
    if sha256:
        assert outcome(lambda: library.list_commits("main")) == (ValueError, "Unsupported reftable version: 2")


@pytest.mark.parametrize("git_on_path", ["newer", "the system's", "none"])
def test_no_read_of_the_tables_is_left_to_dulwich(history, monkeypatch, hide_git, git_on_path):
    """Every public method, with a git that reads reftables, with the git on the
    machine (which, before 2.45, refuses the repository: the methods fall
    back) and without git: the refs are read natively, never through the
    container (whose reading raises on version-2 tables)."""
    if git_on_path == "newer":
        monkeypatch.setenv("PATH", str(Path(NEWER_GIT).parent) + os.pathsep + os.environ["PATH"])
    elif git_on_path == "none":
        hide_git()
    with Repo(str(history.path)) as library:
        tree = library[history.head("HEAD^{tree}").encode()]
    samples = Samples(commit=history.head("main"), shas=history.git("log", "--format=%H", "main").split(),
                      tree=tree, path_parts=["f1.txt"], root=history.path)
    reads = []
    real = ReftableRefsContainer._read_all_tables

    def counted(container):
        reads.append(container)
        return real(container)

    monkeypatch.setattr(ReftableRefsContainer, "_read_all_tables", counted)
    service = gsc.GitServiceCython(str(history.path))
    for name in METHODS:
        if name not in CHANGES_THE_SERVICE:
            answer = outcome(lambda name=name: sample_call(name, samples)(service))
            assert not (isinstance(answer, tuple) and isinstance(answer[0], type)), (name, answer)
            assert reads == [], name


def rewrite_tables(git_dir: Path, version: int, hash_name: bytes, widen: int = 0) -> None:
    """The repository's refs in one table written anew, of `version`, its ids
    `widen` bytes longer."""
    records = []
    for name, kind, value, update_index in probe.reftable_stack(str(git_dir))[2]:
        raw = value if kind == SYMBOLIC else b"".join(
            bytes.fromhex(value[i:i + 40].decode()) + b"\x01" * widen for i in range(0, len(value), 40))
        records.append((name, kind, raw, update_index))
    folder = git_dir / "reftable"
    for table in folder.glob("*.ref"):
        table.unlink()
    (folder / "0x000000000001-0x000000000099-00000000.ref").write_bytes(
        write_table(records, version, hash_name=hash_name, min_index=1, max_index=0x99))
    (folder / "tables.list").write_text("0x000000000001-0x000000000099-00000000.ref\n")


def test_version_2_tables_in_a_sha1_repository(tmp_path, hide_git):
    """Tables of version 2 that hold SHA-1 ids: git reads them, dulwich raises,
    the panes answer as git. Holding SHA-256 ids in a SHA-1 repository, git
    refuses them: the panes leave them to dulwich, which raises."""
    repo = init_repo(tmp_path / "repo", program=NEWER_GIT, options=("--ref-format=reftable",))
    repo.commit("one")
    repo.git("branch", "side")
    repo.git("tag", "-a", "-m", "tag", "v1")
    expected = {b.split()[0]: b.split()[1] for b in repo.git(
        "for-each-ref", "refs/heads/", "--format=%(refname:short) %(objectname)").splitlines()}
    git_dir = repo.path / ".git"
    rewrite_tables(git_dir, 2, b"sha1")
    assert git_at(repo.path, "for-each-ref", "refs/heads/", "--format=%(refname:short) %(objectname)") == "\n".join(
        f"{name} {target}" for name, target in sorted(expected.items()))
    assert git_at(repo.path, "rev-parse", "v1^{}") == expected["main"]
    hide_git()
    service = gsc.GitServiceCython(str(repo.path))
    assert {b.name: b.head_sha for b in service.list_branches()} == expected
    assert [c.sha for c in service.list_commits("main")] == [expected["main"]]
    assert service.get_branch_info("main")["is_current"] is True
    with Repo(str(repo.path)) as library, pytest.raises(ValueError, match="Unsupported reftable version: 2"):
        library.refs.as_dict()

    rewrite_tables(git_dir, 2, b"s256", widen=12)
    refused = subprocess.run([NEWER_GIT, "rev-parse", "main"], cwd=repo.path, capture_output=True, check=False)
    assert refused.returncode != 0
    service = gsc.GitServiceCython(str(repo.path))
    assert outcome(service.list_branches) == (ValueError, "Unsupported reftable version: 2")
    assert outcome(lambda: service.list_commits("main")) == (ValueError, "Unsupported reftable version: 2")


def test_a_linked_worktree_of_a_reftable_repository_nested_in_the_tree(tmp_path, monkeypatch, hide_git):
    """Its HEAD is in the worktree's own tables, its branches in the main
    repository's."""
    monkeypatch.setenv("PATH", str(Path(NEWER_GIT).parent) + os.pathsep + os.environ["PATH"])
    main = init_repo(tmp_path / "main", program=NEWER_GIT, options=("--ref-format=reftable",))
    main.commit("main", files={"m.txt": "m\n"})
    outer = init_repo(tmp_path / "outer", program=NEWER_GIT)
    outer.commit("outer", files={"o.txt": "o\n"})
    main.git("worktree", "add", "-q", "-b", "linked", str(outer.path / "wt"))
    assert (main.path / ".git" / "worktrees" / "wt" / "reftable" / "tables.list").is_file()
    outer.git("add", "wt")
    outer.commit("with a worktree")
    service = gsc.GitServiceCython(str(outer.path))
    hide_git()
    assert git_at(outer.path, "status", "--porcelain", "-u") == ""
    assert service.get_file_status() == []
    git_at(outer.path / "wt", "commit", "-q", "--allow-empty", "-m", "moved on")
    assert git_at(outer.path, "status", "--porcelain", "-u") == " M wt"
    assert [(r.path, r.status) for r in service.get_file_status()] == [("wt", "modified")]
    # The branch moved back in the main repository's tables; HEAD still names it.
    git_at(main.path, "update-ref", "refs/heads/linked", "main")
    assert git_at(outer.path, "status", "--porcelain", "-u") == ""
    assert service.get_file_status() == []


SPECIAL_CHILD = """
import json, git_service_cython as gsc
service = gsc.GitServiceCython(ROOT)
answers = {}
for name, call in [("list_branches", lambda: service.list_branches()),
                   ("list_commits", lambda: [c.sha for c in service.list_commits("main")]),
                   ("get_branch_info", lambda: service.get_branch_info("main")["head_sha"]),
                   ("get_file_status", lambda: [(r.path, r.status) for r in service.get_file_status()])]:
    try:
        answers[name] = repr(call())
    except Exception as error:
        answers[name] = f"{type(error).__name__}: {error}"
print(json.dumps(answers))
"""


@pytest.mark.parametrize("kind", ["named pipe", "link to /dev/zero"])
@pytest.mark.parametrize("place", ["tables.list", "a table", "a submodule's table"])
def test_a_table_that_is_no_file_is_never_read(tmp_path, monkeypatch, kind, place):
    """A pipe or a device where git keeps tables.list or a table: the
    repository's own raise OSError at once (dulwich would wait on a pipe for
    ever); a submodule's leaves its HEAD unread, as unchanged."""
    monkeypatch.setenv("PATH", str(Path(NEWER_GIT).parent) + os.pathsep + os.environ["PATH"])
    repo = init_repo(tmp_path / "repo", program=NEWER_GIT, options=("--ref-format=reftable",))
    repo.commit("one", files={"a.txt": "a\n"})
    git_dir = repo.path / ".git"
    if place == "a submodule's table":
        inner = init_repo(tmp_path / "inner", program=NEWER_GIT, options=("--ref-format=reftable",))
        inner.commit("inner")
        repo.git("-c", "protocol.file.allow=always", "submodule", "add", "-q", str(inner.path), "sub",
                 env={"GIT_DEFAULT_REF_FORMAT": "reftable"})
        repo.commit("with a submodule")
        git_dir = git_dir / "modules" / "sub"
    folder = git_dir / "reftable"
    path = folder / ("tables.list" if place == "tables.list" else (folder / "tables.list").read_text().split()[0])
    path.unlink()
    os.mkfifo(path) if kind == "named pipe" else path.symlink_to("/dev/zero")
    empty = tmp_path / "no-git-bin"
    empty.mkdir()
    child = run_child(SPECIAL_CHILD.replace("ROOT", repr(str(repo.path))), timeout=60, env={"PATH": str(empty)})
    assert child.returncode == 0, child.stderr
    answers = json.loads(child.stdout)
    if place == "a submodule's table":
        assert answers["get_file_status"] == "[]"
        assert answers["list_branches"] == repr([gsc.BranchInfo(name="main", head_sha=repo.head(), timestamp=0)])
    else:
        refused = f"OSError: [Errno {errno.EINVAL}] Not a regular file: {str(path)!r}"
        assert answers["list_branches"] == answers["list_commits"] == refused
        assert answers["get_branch_info"] == "None"  # its guards take any failure
