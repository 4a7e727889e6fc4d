"""References: branch, remote-branch and tag listings, branch information and commit decorations."""

import os
import subprocess

import pytest

import git_service_cython as gsc
from git_service_cython import BranchInfo, TagInfo

from conftest import BASE_TIME

BRANCH_FORMAT = "--format=%(refname:short)|%(objectname)|%(committerdate:unix)"
TAG_FORMAT = "--format=%(refname:short)|%(objectname)|%(creatordate:unix)|%(contents:subject)|%(objecttype)"
LOG_TAIL = ["--oneline", "--pretty=format:%H%x00%D%x00%P%x00%s", "--decorate-refs=refs/heads/*",
            "--decorate-refs=refs/remotes/*", "--decorate-refs=refs/tags/*"]
DEFAULTS = {"branches": [], "remote_branches": [], "tags": [], "is_head": False, "is_merge": False,
            "merge_parents": []}


@pytest.fixture(autouse=True)
def cwd_unchanged():
    before = os.getcwd()
    yield
    assert os.getcwd() == before


@pytest.fixture
def run_spy(monkeypatch):
    """Starts recording every subprocess.run call (letting it run); call it once the repository is built."""
    def start():
        real = subprocess.run
        calls = []

        def spy(args, **kwargs):
            calls.append((list(args), kwargs))
            return real(args, **kwargs)

        monkeypatch.setattr(subprocess, "run", spy)
        return calls
    return start


@pytest.fixture
def later(request):
    """Fixtures that replace git (no_git, run_recorder), set up once the repository is built."""
    return request.getfixturevalue


def root(repo):
    return str(repo.path.resolve())


def labels(**changes):
    return {**DEFAULTS, **changes}


def tag_at(repo, name, target="HEAD", message=None, date=None, cleanup=None):
    args = ["tag", name, target] if message is None else ["tag", "-a", name, "-m", message, target]
    if cleanup:
        args[1:1] = [f"--cleanup={cleanup}"]
    repo.git(*args, env={"GIT_COMMITTER_DATE": f"{date} +0000"} if date else None)
    return repo.head(f"refs/tags/{name}")


# --- local branches --------------------------------------------------------------------------------


def test_branches_come_newest_first_then_by_lowercased_name(repo, service_for, run_spy):
    old = repo.commit("old", date=BASE_TIME)
    repo.git("branch", "beta")
    repo.git("branch", "Alpha")
    main = repo.commit("main", date=BASE_TIME + 100)
    repo.git("checkout", "-q", "-b", "dev")
    dev = repo.commit("dev", date=BASE_TIME + 200)

    calls = run_spy()
    assert service_for(repo).list_branches() == [
        BranchInfo("dev", dev, BASE_TIME + 200), BranchInfo("main", main, BASE_TIME + 100),
        BranchInfo("Alpha", old, BASE_TIME), BranchInfo("beta", old, BASE_TIME)]
    assert calls == [(["git", "for-each-ref", "refs/heads/", BRANCH_FORMAT],
                      {"capture_output": True, "text": True, "timeout": 5, "cwd": root(repo)})]
    assert list(calls[0][1]) == ["capture_output", "text", "timeout", "cwd"]


def test_unborn_current_branch_is_listed_and_detached_head_alone_is_not(repo, service_for, run_spy):
    calls = run_spy()
    assert service_for(repo).list_branches() == [BranchInfo("main", "", 0)]
    assert calls[1] == (["git", "symbolic-ref", "--short", "HEAD"],
                        {"capture_output": True, "text": True, "timeout": 2, "cwd": root(repo)})

    repo.commit("one")
    repo.git("checkout", "-q", "--detach")
    repo.git("branch", "-D", "main")
    assert service_for(repo).list_branches() == []


def test_branch_lines_are_read_field_by_field(repo, service_for, later):
    lines = ["a|", "b|s1|", "c|s2|-5", "d|s3|12x", "no bar here", "", "e|s4|10|extra|more",
             "  f  | s5 | 7 ", "g|s6|99999999999999999999", "h|s7|\u0661\u0667", "|s8|3"]
    run_recorder = later("run_recorder")
    run_recorder.answer(("git", "for-each-ref"), stdout="\n" + "\n".join(lines) + "\n\n")
    result = service_for(repo).list_branches()
    assert result == [
        BranchInfo("g", "s6", 99999999999999999999), BranchInfo("h", "s7", 17), BranchInfo("e", "s4", 10),
        BranchInfo("f", "s5", 7), BranchInfo("", "s8", 3), BranchInfo("a", "", 0), BranchInfo("b", "s1", 0),
        BranchInfo("c", "s2", 0), BranchInfo("d", "s3", 0)]
    assert all(type(b.timestamp) is int for b in result)
    assert len(run_recorder.calls) == 1


def test_undated_branches_follow_dated_ones_whatever_their_names(repo, service_for, later):
    run_recorder = later("run_recorder")
    run_recorder.answer(("git", "for-each-ref"), stdout="A|s|0\nz|s|1\nB|s|\nb|s|x\na|s|2\n\u00c9|s|1\ne|s|1")
    names = [b.name for b in service_for(repo).list_branches()]
    # Equal keys keep their order (B and b); names are compared lower-cased by code point.
    assert names == ["a", "e", "z", "\u00c9", "A", "B", "b"]


def test_a_time_that_int_refuses_switches_to_the_refs(repo, service_for, later):
    main = repo.commit("one")
    run_recorder = later("run_recorder")
    run_recorder.answer(("git", "for-each-ref"), stdout="kept|s|5\nbad|s|\u00b2\nafter|s|6")
    assert service_for(repo).list_branches() == [BranchInfo("kept", "s", 5), BranchInfo("main", main, 0)]
    assert [c[:2] for c in run_recorder.commands] == [["git", "for-each-ref"]]


def test_branches_without_git_come_from_the_refs(repo, service_for, later):
    main = repo.commit("one")
    repo.git("branch", "Zed")
    repo.git("branch", "feature/x")
    repo.git("symbolic-ref", "refs/heads/alias", "refs/heads/main")
    later("no_git")
    assert service_for(repo).list_branches() == [
        BranchInfo("alias", main, 0), BranchInfo("feature/x", main, 0), BranchInfo("main", main, 0),
        BranchInfo("Zed", main, 0)]


def test_failed_for_each_ref_leaves_only_the_current_branch(repo, service_for, later):
    repo.commit("one")
    run_recorder = later("run_recorder")
    run_recorder.answer(("git", "for-each-ref"), returncode=128, stdout="main|s|1")
    run_recorder.answer(("git", "symbolic-ref"), stdout="  main\n")
    assert service_for(repo).list_branches() == [BranchInfo("main", "", 0)]

    for answer in [dict(returncode=1, stdout="main"), dict(stdout="HEAD\n"), dict(stdout=" \n"),
                   dict(result=OSError("no git"))]:
        run_recorder.answers[1:] = []
        run_recorder.answer(("git", "symbolic-ref"), **answer)
        assert service_for(repo).list_branches() == []


# --- remote branches -------------------------------------------------------------------------------


def test_remote_branches(repo, service_for, run_spy):
    one = repo.commit("one", date=BASE_TIME)
    calls = run_spy()
    assert service_for(repo).list_remote_branches() == []
    two = repo.commit("two", date=BASE_TIME + 50)
    repo.git("update-ref", "refs/remotes/upstream/main", two)
    repo.git("update-ref", "refs/remotes/origin/main", two)
    repo.git("update-ref", "refs/remotes/origin/Old", one)
    repo.git("symbolic-ref", "refs/remotes/origin/HEAD", "refs/remotes/origin/main")
    head_name = repo.git("for-each-ref", "--format=%(refname:short)", "refs/remotes/origin/HEAD")

    result = service_for(repo).list_remote_branches()
    assert result[-1] == BranchInfo("origin/Old", one, BASE_TIME)
    assert sorted(result[:3], key=lambda b: b.name.lower()) == result[:3]
    assert {b.name for b in result[:3]} == {"origin/main", "upstream/main", head_name}
    assert {(b.head_sha, b.timestamp) for b in result[:3]} == {(two, BASE_TIME + 50)}
    assert calls[-1] == (["git", "for-each-ref", "refs/remotes/", BRANCH_FORMAT],
                         {"capture_output": True, "text": True, "timeout": 5, "cwd": root(repo)})


def test_remote_branches_without_git_take_the_name_after_the_last_remotes(repo, service_for, later):
    one = repo.commit("one")
    repo.git("update-ref", "refs/remotes/origin/main", one)
    repo.git("update-ref", "refs/remotes/origin/a/remotes/b", one)
    repo.git("update-ref", "refs/heads/local", one)
    later("no_git")
    assert service_for(repo).list_remote_branches() == [BranchInfo("b", one, 0), BranchInfo("origin/main", one, 0)]


def test_remote_lines_and_failures(repo, service_for, later):
    one = repo.commit("one")
    repo.git("update-ref", "refs/remotes/origin/main", one)
    run_recorder = later("run_recorder")
    run_recorder.answer(("git", "for-each-ref"), stdout="origin/x|s|\norigin/y|s|abc\nnobar\norigin/z|s|4")
    assert service_for(repo).list_remote_branches() == [
        BranchInfo("origin/z", "s", 4), BranchInfo("origin/x", "s", 0), BranchInfo("origin/y", "s", 0)]

    run_recorder.answers[:] = []
    run_recorder.answer(("git", "for-each-ref"), returncode=128)
    assert service_for(repo).list_remote_branches() == []
    assert [c[1] for c in run_recorder.commands] == ["for-each-ref", "for-each-ref"]
