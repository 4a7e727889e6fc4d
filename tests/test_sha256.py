"""Repositories in the SHA-256 object format: every pane answers as git does,
with git on the search path and without it, on a repository with packed and
loose objects, packed and loose refs, a commit-graph, annotated and
lightweight tags, a stash, remote-tracking branches and merges. The ground
truth is git's own: `rev-list --parents`, `rev-list --count`, `merge-base`,
`for-each-ref`, `status --porcelain -u`, `ls-files -s`, `ls-tree`, `show`.
The panes answer from the native object store, asking dulwich for no more
objects than in the same repository in SHA-1."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
from pathlib import Path

import _git_store_probe as probe
import git_service_cython as gsc
import pytest
from conftest import GIT_ENV, init_repo
from dulwich.object_store import DiskObjectStore
from dulwich.repo import Repo
from git_answers import GitAnswers

# --- the repository ---------------------------------------------------------------------------------------

# git for the ground truth, found while the search path still has it: the
# tests hide it from the module.
GIT = shutil.which("git")
RUN = subprocess.run


def git_at(path: Path, *args: str) -> str:
    """git's own answer, whether or not the module can find git."""
    return RUN([GIT, *args], cwd=path, env={**os.environ, **GIT_ENV}, capture_output=True, text=True,
               check=True).stdout.strip()


class History(GitAnswers):
    """A SHA-256 repository (or one in `object_format`) and what git says of it."""

    def __init__(self, path: Path, object_format: str = "sha256"):
        repo = init_repo(path, object_format=object_format)
        self.repo = repo
        for i in range(1, 5):
            repo.commit(f"base {i}", files={f"f{i}.txt": f"{i}\n", f"dir/sub/g{i}.txt": f"g{i}\n"})
        repo.git("checkout", "-q", "-b", "side", "main~2")
        repo.commit("side 1", files={"side.txt": "1\n"})
        repo.commit("side 2", files={"side.txt": "2\n"})
        repo.git("checkout", "-q", "main")
        when = repo.next_date()
        repo.git("merge", "-q", "--no-ff", "-m", "merge side", "side",
                 env={"GIT_AUTHOR_DATE": when, "GIT_COMMITTER_DATE": when})
        repo.commit("base 5", files={"f1.txt": "one\n"})
        repo.git("checkout", "-q", "-b", "feature", "main~1")
        for i in range(1, 4):
            repo.commit(f"feature {i}", files={"feature.txt": f"{i}\n"})
        repo.git("checkout", "-q", "main")
        repo.commit("base 6", files={"both.txt": "both\n", "staged.txt": "staged\n"})
        repo.git("update-ref", "refs/remotes/origin/main", "main~1")
        repo.git("update-ref", "refs/remotes/origin/feature", "feature~1")
        repo.git("update-ref", "refs/remotes/origin/side", "side")
        repo.git("tag", "light", "main~3")
        repo.git("tag", "-a", "annotated", "-m", "an annotated tag", "main~1",
                 env={"GIT_COMMITTER_DATE": repo.next_date()})
        # What is there so far is packed, with a commit-graph and packed refs;
        # what follows stays loose.
        repo.git("repack", "-adq")
        repo.git("commit-graph", "write", "--reachable")
        repo.git("pack-refs", "--all")
        repo.commit("base 7", files={"f2.txt": "two\n"})
        repo.git("checkout", "-q", "feature")
        repo.commit("feature 4", files={"feature.txt": "4\n"})
        repo.git("checkout", "-q", "main")
        repo.git("branch", "late", "main~2")
        repo.git("tag", "late-tag", "feature")
        repo.write("f3.txt", "stashed\n")
        repo.git("stash", "-q")
        # The working tree: one change of every kind the scan tells apart.
        repo.write("f2.txt", "changed\n")
        repo.write("dir/sub/g2.txt", "changed\n")
        (path / "f4.txt").unlink()
        repo.write("new.txt", "new\n")
        repo.write("staged.txt", "staged again\n")
        repo.write("both.txt", "both staged\n")
        repo.git("add", "new.txt", "staged.txt", "both.txt")
        repo.write("both.txt", "both changed again\n")
        repo.write("untracked.txt", "u\n")
        repo.write("dir/untracked.txt", "u\n")

        self.path = path
        self.read_git_answers()

    def git(self, *args: str) -> str:
        return git_at(self.path, *args)


@pytest.fixture(scope="module")
def history(tmp_path_factory):
    with pytest.MonkeyPatch.context() as patch:
        for key, value in GIT_ENV.items():
            patch.setenv(key, value)
        yield History(tmp_path_factory.mktemp("sha256") / "repo")


@pytest.fixture(scope="module")
def sha1_history(tmp_path_factory):
    """The same history in a SHA-1 repository."""
    with pytest.MonkeyPatch.context() as patch:
        for key, value in GIT_ENV.items():
            patch.setenv(key, value)
        yield History(tmp_path_factory.mktemp("sha1") / "repo", object_format="sha1")


@pytest.fixture(params=["git", "no git"])
def road(request, hide_git):
    """Each test runs with git on the search path, and again without it."""
    if request.param == "no git":
        hide_git()
    return request.param


@pytest.fixture
def service(history):
    return gsc.GitServiceCython(str(history.path))


def test_the_repository_has_every_part_the_panes_read(history):
    git_dir = history.path / ".git"
    assert "objectformat = sha256" in (git_dir / "config").read_text()
    assert list((git_dir / "objects" / "pack").glob("*.pack"))
    assert any(p.name != "info" and p.name != "pack" for p in (git_dir / "objects").iterdir())
    assert (git_dir / "objects" / "info" / "commit-graph").is_file()
    # The store reads the graph (hash version 2) with the commits written before it.
    before = probe.set_hash_format("sha256")
    try:
        graph = probe.graph_open(str(git_dir), str(git_dir / "objects"))
    finally:
        probe.set_hash_format(before)
    assert graph is not None and {commit for commit, _ in graph} < set(history.parents)
    assert history.head("main~1") in {commit for commit, _ in graph}
    assert "refs/heads/side" in (git_dir / "packed-refs").read_text()
    assert (git_dir / "refs" / "heads" / "late").is_file()
    assert all(len(commit) == 64 for commit in history.parents)


# --- the native road ----------------------------------------------------------------------------------------

# Calls whose answers the native store can give without git.
NATIVE_CALLS = {
    "list main": lambda service, history: service.list_commits("main"),
    "list feature": lambda service, history: service.list_commits("feature", max_count=2, skip=1),
    "full history": lambda service, history: service.list_commits("feature", show_full_history=True),
    "count main": lambda service, history: service.count_commits("main"),
    "count feature": lambda service, history: service.count_commits("feature"),
    "merge base feature": lambda service, history: service.get_merge_base("feature"),
    "merge base side": lambda service, history: service.get_merge_base("side"),
    "remote set": lambda service, history: service._get_remote_commits("main"),
    "refs": lambda service, history: [service.get_commit_refs(commit) for commit in history.parents],
    "file status": lambda service, history: service.get_file_status(),
}


@pytest.fixture
def object_reads(monkeypatch):
    """The ids dulwich's object store is asked for (the native road asks it for none)."""
    asked = []
    original = DiskObjectStore.get_raw

    def spy(self, name):
        asked.append(name)
        return original(self, name)

    monkeypatch.setattr(DiskObjectStore, "get_raw", spy)
    return asked


def reads_per_call(history, object_reads) -> dict[str, int]:
    """How many objects each call asks dulwich for, on a new service each."""
    reads = {}
    for name, call in NATIVE_CALLS.items():
        service = gsc.GitServiceCython(str(history.path))
        object_reads.clear()
        call(service, history)
        reads[name] = len(object_reads)
    return reads


def test_the_panes_read_objects_natively_as_in_sha1(history, sha1_history, hide_git, object_reads):
    hide_git()
    sha256 = reads_per_call(history, object_reads)
    assert sha256 == reads_per_call(sha1_history, object_reads)
    # The history panes and the references read no object through dulwich at all; the scan no more than
    # in SHA-1 (HEAD's commit and tree, read as the library's objects).
    assert {name for name, count in sha256.items() if count} <= {"file status"}
    assert sha256["file status"] <= 2


# --- history ----------------------------------------------------------------------------------------------


def listed(history, service, branch, **options):
    return [(c.sha, c.summary, c.author, c.timestamp, c.pushed) for c in service.list_commits(branch, **options)]


def expected_rows(history, commits, branch):
    pushed = set(history.walk(history.head(f"origin/{branch}"), 200))
    return [(c, *history.logged[c], c in pushed) for c in commits]


def test_listings_give_gits_ids_in_walk_order(history, service, road):
    main, feature = history.head("main"), history.head("feature")
    assert listed(history, service, "main") == expected_rows(history, history.walk(main), "main")
    hidden = set(history.walk(main, 200))
    own = [c for c in history.walk(feature) if c not in hidden]
    assert listed(history, service, "feature") == expected_rows(history, own, "feature")
    assert listed(history, service, "feature", max_count=2, skip=1) == expected_rows(history, own[1:3], "feature")


def test_the_full_history_view_stops_at_gits_merge_base(history, service, road):
    merge_base = history.git("merge-base", "main", "feature")
    walked = history.walk(history.head("feature"))
    own = walked[:walked.index(merge_base)]
    assert listed(history, service, "feature", show_full_history=True) == expected_rows(history, own, "feature")
    # A branch whose head is already in main lists nothing of its own.
    assert service.list_commits("late", show_full_history=True) == []


def test_the_remote_commit_set_holds_gits_ids(history, service, road):
    for branch in ("main", "feature", "side"):
        assert service._get_remote_commits(branch) == set(history.walk(history.head(f"origin/{branch}"), 200))
    assert service._get_remote_commits("late") == set()


def test_counts_agree_with_rev_list(history, service, road):
    git = history.git
    assert service.count_commits("main") == int(git("rev-list", "--count", "main"))
    if road == "git":
        merge_base = git("merge-base", "main", "feature")
        assert service.count_commits("feature") == int(git("rev-list", "--count", f"{merge_base}..feature"))
    assert service.count_commits("feature") == int(git("rev-list", "--count", "feature", "^main"))
    assert service.count_commits("side") == int(git("rev-list", "--count", "side", "^main")) == 0


def test_counting_names_sha256_ids_on_gits_command_line(history, service, run_recorder):
    # With no merge base against main, git counts by the ids read from the refs.
    run_recorder.answer(["git", "merge-base"], returncode=1)
    count = service.count_commits("feature")
    assert run_recorder.commands[-1] == ["git", "rev-list", "--count", history.head("feature"),
                                         "^" + history.head("main")]
    assert count == int(history.git("rev-list", "--count", "feature", "^main"))


def test_the_merge_base_is_gits(history, service, road):
    for branch in ("feature", "side", "late"):
        expected = history.git("merge-base", "main", branch)
        if road == "no git":
            # The bounded walk: the first of the branch's commits among main's.
            base = set(history.walk(history.head("main"), 1000))
            expected = next(c for c in history.walk(history.head(branch), 200) if c in base)
        assert service.get_merge_base(branch) == expected
        assert len(expected) == 64


def test_the_walk_hands_out_the_librarys_ids(history, service):
    main = history.head("main")
    walked = list(service._iter_commits_optimized(main.encode(), -1))
    assert [commit_id for commit_id, _ in walked] == [c.encode() for c in history.walk(main)]
    assert all(commit.id == commit_id for commit_id, commit in walked)


# --- references -------------------------------------------------------------------------------------------


def test_get_commit_refs_finds_every_ref_by_gits_id(history, service):
    for commit, parents in history.parents.items():
        refs = service.get_commit_refs(commit)
        assert sorted(refs["branches"]) == history.names_at("refs/heads/", commit)
        assert sorted(refs["remote_branches"]) == history.names_at("refs/remotes/", commit)
        assert sorted(refs["tags"]) == history.names_at("refs/tags/", commit)
        assert refs["is_merge"] is (len(parents) > 1)
        assert refs["merge_parents"] == (parents if len(parents) > 1 else [])
    # Case does not matter; an id of another length names nothing.
    merge = next(c for c, parents in history.parents.items() if len(parents) > 1)
    assert service.get_commit_refs(merge.upper())["merge_parents"] == history.parents[merge]
    assert service.get_commit_refs(history.head("main")[:40])["branches"] == []


def test_decorations_from_gits_log(history, service):
    commits = history.git("log", "--format=%H", "main").split()
    result = service.get_commit_refs_from_git_log("main", commits)
    head = history.head("HEAD")
    assert list(result) == commits
    for commit, refs in result.items():
        parents = history.parents[commit]
        assert sorted(refs["branches"]) == history.names_at("refs/heads/", commit)
        assert sorted(refs["remote_branches"]) == history.names_at("refs/remotes/", commit)
        assert sorted(refs["tags"]) == history.names_at("refs/tags/", commit, peeled=True)
        assert refs["is_head"] is (commit == head)
        assert refs["merge_parents"] == (parents if len(parents) > 1 else [])


def test_branch_listings_and_information(history, service, road):
    def by_name(prefix):
        return {name[len(prefix):]: target for name, target, _ in history.refs if name.startswith(prefix)}

    assert {b.name: b.head_sha for b in service.list_branches()} == by_name("refs/heads/")
    assert {b.name: b.head_sha for b in service.list_remote_branches()} == {
        f"origin/{name}": target for name, target in by_name("refs/remotes/origin/").items()}
    info = service.get_branch_info("main")
    assert (info["head_sha"], info["is_current"], info["remote_tracking"]) == (history.head("main"), True,
                                                                              "origin/main")


def test_tags_and_stashes_through_git(history, service):
    tags = {t.name: (t.sha, t.is_annotated) for t in service.list_tags()}
    assert tags == {name[len("refs/tags/"):]: (target, target != peeled)
                    for name, target, peeled in history.refs if name.startswith("refs/tags/")}
    (stash,) = service.list_stashes()
    assert stash.index == 0 and stash.branch == "main"
    diff, stat = service.get_stash_diff(0)
    assert "f3.txt" in diff and "f3.txt" in stat


# --- the commit diff --------------------------------------------------------------------------------------


def patch_of(history, commit):
    shown = history.git("show", commit, "--no-color")
    at = shown.find("diff --git")
    return shown[at:] if at != -1 else shown


def test_the_diff_of_every_listed_commit(history, service):
    for record in service.list_commits("main"):
        assert service.get_commit_diff(record.sha).rstrip("\n") == patch_of(history, record.sha)


def test_the_diff_takes_a_sha256_id_in_any_form(history, service):
    commit = history.head("feature")
    patch = patch_of(history, commit)
    for given in (f"  {commit.upper()}\n", f"commit {commit} (feature)", commit + commit, f"{commit[:40]}",
                  f"x{commit[:40]}y", f"{commit[:50]} and more"):
        assert service.get_commit_diff(given).rstrip("\n") == patch, given
    # The first run of 64 digits comes before a run of 40 met earlier.
    other = history.head("main")
    assert service.get_commit_diff(f"{other[:40]} {commit}").rstrip("\n") == patch
    assert service.get_commit_diff(commit[:39]) == f"Error: Invalid SHA format: {commit[:20]}...\n"
    unknown = "ab" * 32
    assert service.get_commit_diff(unknown).startswith("Error: Could not get diff for commit abababab. git show "
                                                       "failed: fatal: ")


def test_tree_lookups_give_gits_ids(history, service):
    with Repo(str(history.path)) as repo:
        tree = repo[repo[repo.refs[b"HEAD"]].tree]
        assert service._find_in_tree(tree, ["dir", "sub", "g1.txt"]) == history.head("HEAD:dir/sub/g1.txt").encode()
        assert service._find_in_tree(tree, ["dir"]) == history.head("HEAD:dir").encode()
        listed_tree = {}
        for line in history.git("ls-tree", "-r", "HEAD").splitlines():
            info, path = line.split("\t")
            listed_tree[path] = info.split()[2].encode()
        assert service._build_head_file_map(tree) == listed_tree


# --- the working tree -------------------------------------------------------------------------------------


# What each porcelain code is on each road: git's status lines, and the scan
# without git, which reports a file missing from the disk as a staged deletion.
ROWS = {
    "git": {" M": ("modified", False, True), " D": ("deleted", False, True), "A ": ("staged", True, False),
            "M ": ("modified", True, False), "MM": ("modified", True, True), "??": ("untracked", False, True)},
}
ROWS["no git"] = {**ROWS["git"], " D": ("deleted", True, False)}


def porcelain_rows(history, road):
    rows = []
    for line in history.git("status", "--porcelain", "-u").splitlines():
        rows.append((line[3:], *ROWS[road][line[:2]]))
    return sorted(rows)


def test_file_status_is_gits(history, service, road):
    rows = [(r.path, r.status, r.staged, r.unstaged) for r in service.get_file_status()]
    assert rows == porcelain_rows(history, road)
    assert {code for code in (line[:2] for line in history.git("status", "--porcelain", "-u").splitlines())
            } == set(ROWS["git"])


def test_the_scan_reads_the_index_in_the_repositorys_format(history, service, hide_git):
    """The index pass against `ls-files -s` and `ls-tree`: the staged rows are
    exactly the paths whose index id is not HEAD's, or that are gone."""
    hide_git()
    head = {}
    for line in history.git("ls-tree", "-r", "HEAD").splitlines():
        info, path = line.split("\t")
        head[path] = info.split()[2]
    staged = set()
    for line in history.git("ls-files", "-s").splitlines():
        info, path = line.split("\t")
        index_id = info.split()[1]
        assert len(index_id) == 64
        if head.get(path) != index_id or not (history.path / path).exists():
            staged.add(path)
    assert {r.path for r in service.get_file_status() if r.staged} == staged


@pytest.mark.parametrize("git_missing", [False, True])
def test_a_clean_tree_is_clean_on_both_roads(tmp_path, hide_git, git_missing):
    repo = init_repo(tmp_path / "clean", object_format="sha256")
    repo.commit("one", files={"a.txt": "a\n", "dir/b.txt": "b\n", "link": "a.txt"})
    (repo.path / "link").unlink()
    (repo.path / "link").symlink_to("a.txt")
    repo.commit("link")
    service = gsc.GitServiceCython(str(repo.path))
    if git_missing:
        hide_git()
    assert service.get_file_status() == []
    (repo.path / "dir" / "b.txt").unlink()
    repo.write("a.txt", "a\n")  # the same content, written again
    assert [(r.path, r.status) for r in service.get_file_status()] == [("dir/b.txt", "deleted")]


def test_a_submodule_is_compared_by_its_sha256_head(tmp_path, hide_git):
    inner = init_repo(tmp_path / "inner", object_format="sha256")
    inner.commit("inner", files={"i.txt": "i\n"})
    outer = init_repo(tmp_path / "outer", object_format="sha256")
    outer.commit("outer", files={"o.txt": "o\n"})
    outer.git("-c", "protocol.file.allow=always", "submodule", "add", "-q", str(inner.path), "sub")
    outer.commit("with a submodule")
    service = gsc.GitServiceCython(str(outer.path))
    assert outer.git("status", "--porcelain", "-u") == ""
    hide_git()
    assert service.get_file_status() == []
    git_at(outer.path / "sub", "commit", "-q", "--allow-empty", "-m", "moved on")
    assert git_at(outer.path, "status", "--porcelain", "-u") == "M sub"
    assert [(r.path, r.status, r.staged, r.unstaged) for r in service.get_file_status()] == [
        ("sub", "modified", False, True)]


# --- SHA-1 repositories -----------------------------------------------------------------------------------


class FormatlessRepo(Repo):
    """dulwich's Repo that, once open, cannot say what its object format is."""

    opened = False

    @property
    def object_format(self):
        if self.opened:
            raise RuntimeError("no format here")
        return self.__dict__.get("format")

    @object_format.setter
    def object_format(self, value):
        self.__dict__["format"] = value


def test_a_repository_object_that_cannot_name_its_format_reads_as_sha1(repo, hide_git):
    first = repo.commit("one", files={"a.txt": "a\n"})
    repo.git("checkout", "-q", "-b", "feature")
    second = repo.commit("two", files={"a.txt": "b\n"})
    repo.write("a.txt", "c\n")
    service = gsc.GitServiceCython(str(repo.path))
    library = FormatlessRepo(str(repo.path))
    library.opened = True
    service.__setstate__((library, Path(repo.path).resolve()))
    hide_git()
    assert [c.sha for c in service.list_commits("feature")] == [second]
    assert service.get_merge_base("feature") == first
    assert service.get_commit_refs(second)["branches"] == ["feature"]
    assert [(r.path, r.status) for r in service.get_file_status()] == [("a.txt", "modified")]
    assert re.fullmatch("Error: Could not get diff for commit [0-9a-f]{8}. Exception: FileNotFoundError\n",
                        service.get_commit_diff(f"commit {second}"))
