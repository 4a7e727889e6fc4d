"""Commit history: the walk, the remote-commit set, listing, counting and the merge base."""

from __future__ import annotations

import collections
import gc
import itertools
import os
import subprocess
import types
import weakref

import git_service_cython as gsc
import pytest
from conftest import init_repo
from dulwich.repo import Repo
from git_service_cython import GitServiceCython


@pytest.fixture(autouse=True)
def cwd_unchanged():
    before = os.getcwd()
    yield
    assert os.getcwd() == before


def record_runs(request):
    """Replaces subprocess.run once the repositories of a test are built."""
    return request.getfixturevalue("run_recorder")


def reference_walk(repo, head_sha, max_count):
    """The walk written as a plain generator, to hold the module's against."""
    seen, queue, count = set(), collections.deque([head_sha]), 0
    while queue and (max_count < 0 or count < max_count):
        sha = queue.popleft()
        if sha in seen:
            continue
        seen.add(sha)
        commit = repo[sha]
        count += 1
        yield sha, commit
        queue.extend(commit.parents)


def merge_history(repo):
    """root -> A -> P1 on main, root -> B -> P2 on side, merged into main as M."""
    ids = {"root": repo.commit("root")}
    repo.git("checkout", "-q", "-b", "side")
    ids["B"], ids["P2"] = repo.commit("B"), repo.commit("P2")
    repo.git("checkout", "-q", "main")
    ids["A"], ids["P1"] = repo.commit("A"), repo.commit("P1")
    repo.git("merge", "-q", "--no-ff", "-m", "M", "side")
    ids["M"] = repo.head()
    return ids


def feature_on(repo, base_count, ahead, base="main"):
    """A base branch of `base_count` commits and a feature branch `ahead` commits on from its head."""
    base_ids = repo.linear_history(base_count, branch=base)
    feature_ids = repo.linear_history(ahead, branch="feature", start=base_ids[-1], prefix="feature")
    return base_ids, feature_ids[::-1]


def raw_commit(repo, parent, author, message, ref):
    tree = repo.git("rev-parse", f"{parent}^{{tree}}")
    body = b"tree %s\nparent %s\nauthor %s 1700000000 +0000\ncommitter C <c@x> 1700000000 +0000\n\n%s" % (
        tree.encode(), parent.encode(), author, message)
    sha = repo.git("hash-object", "-t", "commit", "-w", "--stdin", "--literally", input=body).strip().decode()
    repo.git("update-ref", ref, sha)
    return sha


def write_ref(repo, name, sha):
    """Writes a loose ref directly, for names git itself refuses to create."""
    repo.write(f".git/{name}", sha + "\n")


def shas(records):
    return [record.sha for record in records]


@pytest.fixture
def spy_repo(monkeypatch):
    """Makes services whose Repo records reads and hands out commits that record `parents` reads."""
    log, hooks, readers = [], {}, []

    class Spy:
        def __init__(self, commit):
            self._commit = commit

        @property
        def parents(self):
            log.append(("parents", self._commit.id))
            wrap = hooks.get("wrap_parents", lambda commit, parents: parents)
            return wrap(self._commit, self._commit.parents)

        def __getattr__(self, name):
            return getattr(self._commit, name)

    class SpyRepo(Repo):
        def __getitem__(self, key):
            log.append(("read", key))
            readers.append(self)
            if "on_read" in hooks:
                hooks["on_read"](key)
            return Spy(super().__getitem__(key))

    monkeypatch.setattr(gsc, "Repo", SpyRepo)
    return types.SimpleNamespace(log=log, hooks=hooks, readers=readers, Repo=SpyRepo)


# The walk

def test_walk_is_breadth_first_and_hands_out_each_commit_once(repo, service_for):
    ids = merge_history(repo)
    service = service_for(repo)
    walked = [sha for sha, _ in service._iter_commits_optimized(ids["M"].encode(), -1)]
    assert walked == [ids[name].encode() for name in ("M", "P1", "P2", "A", "B", "root")]
    commits = [commit.id for _, commit in service._iter_commits_optimized(ids["M"].encode(), 3)]
    assert commits == walked[:3]
    assert list(service._iter_commits_optimized(ids["M"].encode(), 0)) == []
    assert [sha for sha, _ in service._iter_commits_optimized(ids["M"].encode(), 1)] == walked[:1]


def test_walk_reads_lazily_and_from_the_current_repo(repo, spy_repo):
    head = repo.linear_history(3)[-1].encode()
    service = GitServiceCython(str(repo.path))
    walk = service._iter_commits_optimized(head, 1)
    assert spy_repo.log == []
    assert next(walk)[0] == head and spy_repo.log == [("read", head)]
    with pytest.raises(StopIteration):
        next(walk)
    # The head's parents are read when the next item is asked for, even though the limit then ends the walk.
    assert spy_repo.log == [("read", head), ("parents", head)]

    # Each step reads the service's repo as it is then.
    walk = service._iter_commits_optimized(head, -1)
    next(walk)
    other = spy_repo.Repo(str(repo.path))
    service.__setstate__((other, repo.path))
    assert next(walk)[0] == repo.head("main~1").encode() and spy_repo.readers[-1] is other


def test_walk_behaves_as_a_generator(repo, service_for):
    head = repo.linear_history(3)[-1].encode()
    service, dulwich_repo = service_for(repo), Repo(str(repo.path))
    operations = {
        "next": next, "send None": lambda g: g.send(None), "send 1": lambda g: g.send(1),
        "throw KeyError": lambda g: g.throw(KeyError("k")), "throw StopIteration": lambda g: g.throw(StopIteration),
        "throw 5": lambda g: g.throw(5), "close": lambda g: g.close(), "list": list,
    }

    def outcome(operation, generator):
        try:
            value = operation(generator)
        except BaseException as error:  # noqa: BLE001 - every outcome is compared
            return type(error), str(error), type(error.__cause__)
        if isinstance(value, list):
            return [sha for sha, _ in value]
        return value[0] if isinstance(value, tuple) else value

    for sequence in itertools.product(operations, repeat=3):
        ours, theirs = service._iter_commits_optimized(head, 2), reference_walk(dulwich_repo, head, 2)
        for name in sequence:
            assert outcome(operations[name], ours) == outcome(operations[name], theirs), sequence
    walk = service._iter_commits_optimized(head, 2)
    assert iter(walk) is walk and isinstance(walk, collections.abc.Generator)
    with pytest.warns(DeprecationWarning), pytest.raises(KeyError, match="'a'"):
        walk.throw(KeyError, "a", None)
    with pytest.raises(TypeError, match="^throw expected at least 1 argument, got 0$"):
        walk.throw()


def test_walk_refuses_reentry_and_ends_after_an_error(repo, spy_repo):
    ids = repo.linear_history(2)
    service = GitServiceCython(str(repo.path))
    walk = service._iter_commits_optimized(ids[-1].encode(), -1)
    errors = []

    def reenter(key):
        for use in (next, lambda g: g.send(None), lambda g: g.close(), lambda g: g.throw(KeyError)):
            try:
                use(walk)
            except ValueError as error:
                errors.append(str(error))

    spy_repo.hooks["on_read"] = reenter
    next(walk)
    assert errors == ["generator already executing"] * 4

    def stop(key):
        raise StopIteration

    spy_repo.hooks["on_read"] = stop
    with pytest.raises(RuntimeError, match="^generator raised StopIteration$"):
        next(walk)
    spy_repo.hooks.clear()
    assert list(walk) == []

    missing = service._iter_commits_optimized(b"0" * 40, -1)
    with pytest.raises(KeyError):
        next(missing)
    assert list(missing) == []


def test_walk_of_a_tag_object_fails_on_its_parents(repo, service_for):
    repo.commit("one")
    repo.git("tag", "-a", "-m", "note", "v1")
    tag = repo.head("v1").encode()
    walk = service_for(repo)._iter_commits_optimized(tag, -1)
    assert next(walk)[0] == tag
    with pytest.raises(AttributeError):
        next(walk)
    assert list(walk) == []


@pytest.mark.parametrize("object_format", ["sha1", "sha256"])
@pytest.mark.parametrize("wrapped", ["A", "B"])
def test_walk_compares_ids_of_other_kinds_as_the_host_does(tmp_path, spy_repo, wrapped, object_format):
    class Id(bytes):
        pass

    # The ids seen so far move from the native set to a host set when the
    # first of another kind comes: 40 or 64 digits each, spelt out again.
    repo = init_repo(tmp_path / "repo", object_format=object_format)
    ids = merge_history(repo)
    spy_repo.hooks["wrap_parents"] = (
        lambda commit, parents: [Id(p) for p in parents] if commit.message.startswith(wrapped.encode()) else parents)
    service = GitServiceCython(str(repo.path))
    walked = [sha for sha, _ in service._iter_commits_optimized(ids["M"].encode(), -1)]
    assert walked == [ids[name].encode() for name in ("M", "P1", "P2", "A", "B", "root")]
    # Only the copy of root reached first is handed out, whichever kind it is.
    assert sum(isinstance(sha, Id) for sha in walked) == (wrapped == "A")


def test_walk_in_a_reference_cycle_is_collected(repo, spy_repo):
    head = repo.linear_history(2)[-1].encode()
    service = GitServiceCython(str(repo.path))
    repo_object = spy_repo.Repo(str(repo.path))
    service.__setstate__((repo_object, repo.path))
    walk = service._iter_commits_optimized(head, -1)
    next(walk)
    repo_object.walk = walk  # walk -> service -> repo -> walk
    alive = weakref.ref(walk)
    del walk, service, repo_object
    spy_repo.readers.clear()
    gc.collect()
    assert alive() is None


# The remote-commit set

def test_remote_commits(repo, service_for):
    ids = repo.linear_history(500)
    service = service_for(repo)
    assert service._get_remote_commits("main") == set()
    repo.git("update-ref", "refs/remotes/origin/main", ids[-1])
    assert service._get_remote_commits("main") == set(ids[300:])
    repo.git("tag", "-a", "-m", "note", "v1", ids[0])
    repo.git("update-ref", "refs/remotes/origin/tagged", repo.head("v1"))
    assert service._get_remote_commits("tagged") == {repo.head("v1")}
    write_ref(repo, "refs/remotes/origin/broken", "1" * 40)
    assert service._get_remote_commits("broken") == set()


# The commit listing

def test_listing_of_main_with_pushed_flags(repo, service_for):
    ids = repo.linear_history(3)
    service = service_for(repo)
    with pytest.raises(KeyError):
        service.list_commits("missing")
    listed = service.list_commits("main")
    assert shas(listed) == ids[::-1] and not any(record.pushed for record in listed)
    assert next((r.summary, r.author, type(r.timestamp)) for r in listed) == (
        "commit 2", "Ann Author <ann@example.com>", int)
    repo.git("update-ref", "refs/remotes/origin/main", ids[-1])
    assert all(record.pushed for record in service.list_commits("main"))


@pytest.mark.parametrize("base", ["main", "master"])
def test_default_view_hides_the_nearest_base_commits(make_repo, service_for, request, base, hide_git):
    repo = make_repo(branch=base)
    base_ids, (f2, f1) = feature_on(repo, 300, 2, base)
    service = service_for(repo)
    expected = [f2, f1] + base_ids[99::-1]
    assert shas(service.list_commits("feature")) == expected
    assert shas(service.list_commits("feature", max_count=50)) == expected[:50]
    repo.git("branch", "near", base_ids[250])
    assert shas(service.list_commits("near", max_count=500)) == base_ids[99::-1]
    hide_git()
    assert shas(service.list_commits("feature")) == expected


def test_full_history_view_stops_at_the_merge_base(repo, service_for, request, hide_git):
    base_ids, (f2, f1) = feature_on(repo, 150, 2)
    repo.git("branch", "behind", base_ids[100])
    service = service_for(repo)
    cases = {
        ("feature",): [f2, f1], ("feature", 1, 1): [f1], ("feature", 0): [f2], ("feature", 1.9): [f2],
        ("feature", 5, -3): [f2, f1], ("behind",): [], ("main", 2): base_ids[:-3:-1],
    }
    with_git = {args: shas(service.list_commits(*args, show_full_history=True)) for args in cases}
    assert with_git == cases
    assert shas(service.list_commits("feature")) == [f2, f1]
    hide_git()
    assert {args: shas(service.list_commits(*args, show_full_history=True)) for args in cases} == cases


def test_listing_reads_messages_and_authors_as_bytes(repo, service_for):
    parent = repo.commit("first")
    raw_commit(repo, parent, b"Ann \xff Author <ann@example.com>", b"title\r\nbody\n", "refs/heads/main")
    record = service_for(repo).list_commits("main", max_count=1)[0]
    assert (record.summary, record.author) == ("title\r", "Ann \ufffd Author <ann@example.com>")
    assert len(record.sha) == 40 and set(record.sha) <= set("0123456789abcdef")


def test_listing_of_a_merge_is_breadth_first(repo, service_for):
    ids = merge_history(repo)
    assert shas(service_for(repo).list_commits("main")) == [ids[n] for n in ("M", "P1", "P2", "A", "B", "root")]


def test_listing_takes_ids_of_other_kinds(repo):
    repo.linear_history(1)
    raw = bytes(range(20))

    class HexId:
        def hex(self):
            return "Ab" * 20

    ids = [raw, bytearray(b"\x01\x02"), 255, -3, 1.5, True, "ABC", HexId(), None]

    class Service(GitServiceCython):
        def _iter_commits_optimized(self, head_sha, max_count):
            commit = super()._iter_commits_optimized(head_sha, 1).send(None)[1]
            return iter([(sha, commit) for sha in ids])

    assert shas(Service(str(repo.path)).list_commits("main")) == [raw.hex(), "0102", "255", format(-3, "040x"), format(1, "040x"), format(1, "040x"),
                      "ABC", "Ab" * 20, "None"]


def test_full_history_checks_the_merge_base_text(repo):
    base_ids, (f2, f1) = feature_on(repo, 3, 2)
    calls = []

    class Service(GitServiceCython):
        answer = ""

        def get_merge_base(self, branch, base_branch="main"):
            calls.append((branch, base_branch))
            return self.answer if base_branch == "master" else ""

        def _iter_commits_optimized(self, head_sha, max_count):
            calls.append("walk")
            return super()._iter_commits_optimized(head_sha, max_count)

    service = Service(str(repo.path))
    service.answer = base_ids[-1].upper()
    assert shas(service.list_commits("feature", show_full_history=True)) == [f2, f1]
    assert calls == [("feature", "main"), ("feature", "master"), "walk"]
    calls.clear()
    service.answer = "not-hex"
    with pytest.raises(ValueError, match="non-hexadecimal number found in fromhex"):
        service.list_commits("feature", show_full_history=True)
    assert "walk" not in calls


# Counting

def test_counts_agree_with_git_and_without_it(repo, make_repo, service_for, request, hide_git):
    base_ids, _ = feature_on(repo, 20, 3)
    repo.git("checkout", "-q", "feature")
    repo.linear_history(2, branch="main", start=base_ids[-1], prefix="later")
    repo.git("merge", "-q", "--no-ff", "-m", "sync", "main")
    master_repo = make_repo("old", branch="master")
    feature_on(master_repo, 5, 2, "master")
    services = {"new": service_for(repo), "old": service_for(master_repo)}
    questions = [("new", "main"), ("new", "feature"), ("old", "master"), ("old", "feature")]
    with_git = [services[name].count_commits(branch) for name, branch in questions]
    assert with_git == [22, int(repo.git("rev-list", "--count", "main..feature")), 5, 2]
    assert with_git[0] == int(repo.git("rev-list", "--count", "main"))
    for service in services.values():
        with pytest.raises(KeyError):
            service.count_commits("missing")
    hide_git()
    assert [services[name].count_commits(branch) for name, branch in questions] == with_git
    with pytest.raises(KeyError):
        services["new"].count_commits("missing")


def test_count_runs_git_as_described(repo, service_for, request):
    feature_on(repo, 4, 3)
    service = service_for(repo)
    run_recorder = record_runs(request)
    run_recorder.answer(("git", "rev-list", "--count", "main"), stdout="42\n")
    run_recorder.answer(("git", "merge-base"), stdout="abc\n")
    run_recorder.answer(("git", "rev-list", "--count", "abc..feature"), stdout=" 7 \n")
    assert service.count_commits("main") == 42 and service.count_commits("feature") == 7
    assert run_recorder.commands == [["git", "rev-list", "--count", "main"], ["git", "merge-base", "main", "feature"],
                                     ["git", "rev-list", "--count", "abc..feature"]]
    for _, kwargs in run_recorder.calls:
        assert list(kwargs.items()) == [("capture_output", True), ("text", True), ("timeout", 10),
                                        ("cwd", str(repo.path.resolve()))]


def test_count_without_main_asks_git_for_the_walks_set(make_repo, service_for, request):
    old = make_repo("old", branch="master")
    base_ids, _ = feature_on(old, 30, 5, "master")
    old.linear_history(3, branch="master", start=base_ids[-1], prefix="later")
    feature, master = old.head("feature"), old.head("master")
    service = service_for(old)
    real_run_spy = request.getfixturevalue("real_run_spy")
    assert service.count_commits("feature") == 5 == int(old.git("rev-list", "--count", "master..feature"))
    assert real_run_spy == [["git", "merge-base", "main", "feature"],
                            ["git", "rev-list", "--count", feature, "^" + master]]
    real_run_spy.clear()
    assert service.count_commits("master") == 33
    assert real_run_spy == [["git", "rev-list", "--count", "master"]]


def test_count_of_unrelated_histories_asks_git_by_ids(repo, service_for, request):
    repo.linear_history(4)
    repo.git("checkout", "-q", "--orphan", "island")
    island = repo.commit("island root")
    repo.commit("island tip")
    real_run_spy = request.getfixturevalue("real_run_spy")
    assert service_for(repo).count_commits("island") == 2
    assert real_run_spy[-1] == ["git", "rev-list", "--count", repo.head("island"), "^" + repo.head("main")]
    assert island in repo.git("rev-list", "island")


@pytest.mark.parametrize("answer", [{"returncode": 128}, {"stdout": "\n"}, {"stdout": "five\n"}, {"stdout": "-3\n"},
                                    subprocess.TimeoutExpired(["git"], 10), OSError(7, "E2BIG")])
def test_count_walks_when_git_cannot_count_the_set(make_repo, service_for, request, answer):
    old = make_repo("old", branch="master")
    feature_on(old, 6, 2, "master")
    run_recorder = record_runs(request)
    run_recorder.answer(("git", "merge-base"), returncode=1)
    if isinstance(answer, BaseException):
        run_recorder.answer(("git", "rev-list"), answer)
    else:
        run_recorder.answer(("git", "rev-list"), **answer)
    assert service_for(old).count_commits("feature") == 2
    assert [args[:3] for args in run_recorder.commands] == [["git", "merge-base", "main"],
                                                            ["git", "rev-list", "--count"]]


def test_count_in_a_shallow_clone_takes_gits_answer(make_repo, tmp_path, service_for):
    old = make_repo("old", branch="master")
    feature_on(old, 10, 3, "master")
    clone = tmp_path / "shallow"
    subprocess.run(["git", "clone", "-q", "--depth", "4", "--no-single-branch", f"file://{old.path}", str(clone)],
                   check=True, capture_output=True)
    subprocess.run(["git", "branch", "-q", "feature", "origin/feature"], cwd=clone, check=True)
    # The walk would stop at the missing parents with a KeyError; git counts what the clone holds.
    assert GitServiceCython(str(clone)).count_commits("feature") == 3


@pytest.mark.parametrize("answer", [{"stdout": " \n"}, {"stdout": "many\n"}, {"stdout": "5\n", "returncode": 1},
                                    FileNotFoundError("git")])
def test_count_walks_when_git_gives_no_usable_answer(repo, service_for, request, answer):
    feature_on(repo, 4, 3)
    run_recorder = record_runs(request)
    if isinstance(answer, BaseException):
        run_recorder.answer(("git",), answer)
    else:
        run_recorder.answer(("git",), **answer)
    service = service_for(repo)
    assert (service.count_commits("main"), service.count_commits("feature")) == (4, 3)


def test_count_lets_interrupts_through(repo, service_for, request):
    repo.linear_history(2)
    run_recorder = record_runs(request)
    run_recorder.answer(("git",), KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        service_for(repo).count_commits("main")


# The merge base

def test_merge_base_with_git_and_without_it(repo, make_repo, service_for, request, hide_git):
    base_ids, _ = feature_on(repo, 10, 2)
    repo.linear_history(3, branch="main", prefix="later")
    repo.git("checkout", "-q", "--orphan", "alone")
    repo.commit("unrelated")
    master_repo = make_repo("old", branch="master")
    master_ids, _ = feature_on(master_repo, 4, 1, "master")
    service, old = service_for(repo), service_for(master_repo)
    questions = [(service, "feature", "main"), (old, "feature", "main"), (old, "master", "main"),
                 (service, "feature", "develop"), (service, "main", "main"), (service, None, None),
                 (service, "missing", "main"), (old, "feature", "nope"), (service, "alone", "main")]
    expected = [base_ids[-1], master_ids[-1], master_ids[-1], None, None, None, None, None, None]
    assert [s.get_merge_base(branch, base) for s, branch, base in questions] == expected
    hide_git()
    assert [s.get_merge_base(branch, base) for s, branch, base in questions] == expected


def test_merge_base_runs_git_from_the_repository_root(make_repo, service_for, request):
    repo = make_repo("old", branch="master")
    feature_on(repo, 3, 1, "master")
    seen = []
    run_recorder = record_runs(request)
    run_recorder.answer(("git",), lambda args: seen.append(os.getcwd()) or types.SimpleNamespace(
        returncode=0, stdout=" abc\n", stderr=""))
    service = service_for(repo)
    assert service.get_merge_base("feature") == "abc"
    assert run_recorder.commands == [["git", "merge-base", "master", "feature"]]
    assert list(run_recorder.calls[0][1].items()) == [("capture_output", True), ("text", True), ("timeout", 5)]
    assert seen == [str(repo.path.resolve())]
    assert service.get_merge_base("master", "master") is None and len(run_recorder.calls) == 1


def test_merge_base_falls_back_to_the_walk_only_when_git_raises(repo, service_for, request, monkeypatch):
    base_ids, _ = feature_on(repo, 5, 2)
    walks = []

    class Service(GitServiceCython):
        def _iter_commits_optimized(self, head_sha, max_count):
            walks.append(max_count)
            return super()._iter_commits_optimized(head_sha, max_count)

    service = Service(str(repo.path))
    run_recorder = record_runs(request)
    run_recorder.answer(("git",), returncode=1)
    assert service.get_merge_base("feature") is None and walks == []
    run_recorder.answers.clear()
    run_recorder.answer(("git",), subprocess.TimeoutExpired(["git"], 5))
    assert service.get_merge_base("feature") == base_ids[-1] and walks == [1000, 200]
    real_getcwd = os.getcwd

    def gone():
        raise FileNotFoundError("the current directory was removed")

    monkeypatch.setattr(os, "getcwd", gone)
    assert service.get_merge_base("feature") == base_ids[-1]
    monkeypatch.setattr(os, "getcwd", real_getcwd)
    monkeypatch.setattr(Service, "_iter_commits_optimized", lambda *args: 1 / 0)
    assert service.get_merge_base("feature") is None


# Values that would read as options never reach git

@pytest.mark.parametrize("branch", ["--output=evil.txt", "-x"])
def test_option_like_branches_never_reach_git(repo, service_for, request, monkeypatch, branch):
    _, (f2, _) = feature_on(repo, 3, 2)
    service = service_for(repo)
    run_recorder = record_runs(request)
    monkeypatch.chdir(repo.path)
    with pytest.raises(KeyError):
        service.count_commits(branch)
    write_ref(repo, f"refs/heads/{branch}", f2)
    assert service.count_commits(branch) == 2
    assert service.get_merge_base(branch) is None and service.get_merge_base("feature", branch) is None
    # Counting asks git by the ids it read instead; the branch's name never reaches a command line.
    assert all(branch not in args for args in run_recorder.commands)
    assert [args[:3] for args in run_recorder.commands] == [["git", "rev-list", "--count"]]
    monkeypatch.undo()
    # With the real runner too: no file appears where git would have written it.
    assert service.count_commits(branch) == 2 and service.get_merge_base(branch) is None
    assert not (repo.path / "evil.txt").exists() and not os.path.exists("evil.txt")
