"""References: branch, remote-branch and tag listings, branch information and commit decorations."""

import os
import subprocess

import git_service_cython as gsc
import pytest
from conftest import BASE_TIME
from git_service_cython import BranchInfo, TagInfo

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

    for answer in [{"returncode": 1, "stdout": "main"}, {"stdout": "HEAD\n"}, {"stdout": " \n"},
                   {"result": OSError("no git")}]:
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


# --- tags ------------------------------------------------------------------------------------------


def test_lightweight_and_annotated_tags(repo, service_for, run_spy):
    one = repo.commit("first subject\n\nbody", date=BASE_TIME)
    tag_at(repo, "light")
    annotated = tag_at(repo, "v1.0", message="Release one", date=BASE_TIME + 300)
    assert annotated != one

    calls = run_spy()
    assert service_for(repo).list_tags() == [
        TagInfo("v1.0", "Release one", BASE_TIME + 300, annotated, True),
        TagInfo("light", "first subject", BASE_TIME, one, False)]
    assert calls == [(["git", "for-each-ref", "refs/tags/", TAG_FORMAT],
                      {"capture_output": True, "text": False, "timeout": 120, "cwd": root(repo)})]


def test_annotated_tag_with_empty_subject_reads_the_tag_body(repo, service_for, run_spy):
    repo.commit("one", date=BASE_TIME)
    message = "\t\n\nBody line\n  second\n-----BEGIN PGP SIGNATURE-----\nxyz\n-----END PGP SIGNATURE-----\n"
    sha = tag_at(repo, "signed", message=message, date=BASE_TIME + 10, cleanup="verbatim")
    calls = run_spy()
    assert service_for(repo).list_tags() == [TagInfo("signed", "Body line\n  second", BASE_TIME + 10, sha, True)]
    assert calls[1] == (["git", "cat-file", "tag", "signed"],
                        {"capture_output": True, "text": True, "timeout": 1, "cwd": root(repo)})


def test_subject_with_bar_and_invalid_utf8(repo, service_for):
    repo.commit("one", date=BASE_TIME)
    piped = tag_at(repo, "piped", message="left|right side", date=BASE_TIME + 5)
    # Written as a raw object: `git commit` would convert the message to UTF-8.
    tree = repo.head("HEAD^{tree}")
    raw = (f"tree {tree}\nauthor A <a> {BASE_TIME + 1} +0000\ncommitter C <c> {BASE_TIME + 1} +0000\n\n".encode()
           + b"caf\xe9 \xff subject\n")
    odd = repo.git("hash-object", "-t", "commit", "-w", "--stdin", input=raw).decode().strip()
    tag_at(repo, "odd", odd)
    assert service_for(repo).list_tags() == [
        TagInfo("piped", "left", BASE_TIME + 5, piped, False),
        TagInfo("odd", "caf\ufffd \ufffd subject", BASE_TIME + 1, odd, False)]


def test_tag_lines_are_read_one_by_one(repo, service_for, later):
    body = "object abc\ntype commit\ntag y\ntagger T <t> 1 +0000\n\n\nHello\n\nWorld  \n-----BEGIN PGP X\nsig\n"
    run_recorder = later("run_recorder")
    run_recorder.answer(("git", "cat-file", "tag", "y"), stdout=body)
    run_recorder.answer(("git", "cat-file", "tag", "headers-only"), stdout="object abc\ntype commit\n")
    run_recorder.answer(("git", "cat-file", "tag", "failing"), returncode=128, stdout="\n\nignored")
    run_recorder.answer(("git", "cat-file", "tag", "slow"), subprocess.TimeoutExpired("git", 1))
    lines = [b"", b"nobar", b"|s0|1|m|tag", b"sup|s1|\xc2\xb2|m|commit", b"t2|s2|5|msg|commit|extra",
             b"t3", b"t4|s4", b"-x|s5|3||tag", b"y|s6|4| |tag", b"headers-only|s7|2||tag",
             b"failing|s8|2||tag", b"slow|s9|2||tag", b"t10|s10|6|annotated subject|tag\r"]
    run_recorder.answer(("git", "for-each-ref"), stdout=b"\n".join(lines))
    assert service_for(repo).list_tags() == [
        TagInfo("t10", "annotated subject", 6, "s10", True), TagInfo("t2", "msg", 5, "s2", False),
        TagInfo("y", "Hello\n\nWorld", 4, "s6", True), TagInfo("-x", "", 3, "s5", True),
        TagInfo("failing", "", 2, "s8", True), TagInfo("headers-only", "", 2, "s7", True),
        TagInfo("slow", "", 2, "s9", True), TagInfo("t4", "", 0, "s4", False)]
    # A name that reads as an option never reaches git.
    assert [c[3] for c in run_recorder.commands[1:]] == ["y", "headers-only", "failing", "slow"]


def test_tags_fall_back_to_names_only_when_the_main_run_raises(repo, service_for, later):
    run_recorder = later("run_recorder")
    run_recorder.answer(("git", "for-each-ref"), subprocess.TimeoutExpired("git", 120))
    run_recorder.answer(("git", "tag", "-l"), stdout="  beta\n\nAlpha  \n \ngamma")
    assert service_for(repo).list_tags() == [TagInfo("Alpha", "", 0, "", False), TagInfo("beta", "", 0, "", False),
                                             TagInfo("gamma", "", 0, "", False)]
    assert run_recorder.calls[1] == (["git", "tag", "-l"],
                                     {"capture_output": True, "text": True, "timeout": 10, "cwd": root(repo)})

    run_recorder.answers[:] = []
    run_recorder.answer(("git", "for-each-ref"), returncode=1, stdout=b"a|s|1|m|commit")
    assert service_for(repo).list_tags() == []
    assert run_recorder.commands[-1][:2] == ["git", "for-each-ref"]


def test_tags_without_git_and_without_tags(repo, service_for, later):
    repo.commit("one")
    later("no_git")
    assert service_for(repo).list_tags() == []


def test_many_tags_come_from_one_git_run(repo, service_for, run_spy):
    one = repo.commit("one", date=BASE_TIME)
    repo.git("update-ref", "--stdin", input="".join(f"create refs/tags/t{i:04d} {one}\n" for i in range(3000)))
    calls = run_spy()
    tags = service_for(repo).list_tags()
    assert len(calls) == 1
    assert [t.name for t in tags] == [f"t{i:04d}" for i in range(3000)]
    assert tags[0] == TagInfo("t0000", "one", BASE_TIME, one, False)


# --- branch information ----------------------------------------------------------------------------


def test_branch_info_of_the_current_branch_and_others(repo, service_for):
    main = repo.commit("one")
    repo.git("update-ref", "refs/remotes/origin/main", main)
    repo.git("update-ref", "refs/remotes/origin/remote-only", main)
    repo.git("branch", "other")
    service = service_for(repo)

    info = service.get_branch_info("main")
    assert list(info) == ["name", "head_sha", "remote_tracking", "upstream", "is_current"]
    assert info == {"name": "main", "head_sha": main, "remote_tracking": "origin/main", "upstream": "main",
                    "is_current": True}
    assert service.get_branch_info(branch="other") == {
        "name": "other", "head_sha": main, "remote_tracking": None, "upstream": None, "is_current": False}
    assert service.get_branch_info("nowhere") == {
        "name": "nowhere", "head_sha": None, "remote_tracking": None, "upstream": None, "is_current": False}
    assert service.get_branch_info("remote-only") == {
        "name": "remote-only", "head_sha": None, "remote_tracking": "origin/remote-only", "upstream": "remote-only",
        "is_current": False}
    assert service.get_branch_info("bad\ud800") == {
        "name": "bad\ud800", "head_sha": None, "remote_tracking": None, "upstream": None, "is_current": False}


def test_branch_info_of_none_looks_up_the_name_none(repo, service_for):
    main = repo.commit("one")
    repo.git("branch", "None")
    repo.git("update-ref", "refs/remotes/origin/None", main)
    assert service_for(repo).get_branch_info(None) == {
        "name": None, "head_sha": main, "remote_tracking": "origin/None", "upstream": None, "is_current": False}


def test_is_current_reads_heads_whole_name(repo, service_for):
    repo.commit("one")
    repo.git("branch", "b")
    repo.git("checkout", "-q", "-b", "a/heads/b")
    service = service_for(repo)
    assert service.get_branch_info("a/heads/b")["is_current"] is True
    assert service.get_branch_info("b")["is_current"] is False

    repo.git("checkout", "-q", "--detach")
    assert [service.get_branch_info(name)["is_current"] for name in ["a/heads/b", "b", "main"]] == [False] * 3


def test_is_current_of_an_unborn_branch(repo, service_for):
    assert service_for(repo).get_branch_info("main")["is_current"] is True


def test_is_current_uses_a_module_level_follow_where_dulwich_has_one(repo, service_for, monkeypatch):
    import dulwich.refs
    repo.commit("one")
    service = service_for(repo)
    seen = []

    def follow(repository, name):
        seen.append((repository, name))
        return b"refs/heads/dev"

    monkeypatch.setattr(dulwich.refs, "follow", follow, raising=False)
    assert service.get_branch_info("dev")["is_current"] is True
    assert service.get_branch_info("main")["is_current"] is False
    assert seen[0][1] == b"HEAD" and isinstance(seen[0][0], gsc.Repo)

    for answer in [b"refs/heads/main", "refs/heads/main", b"", b"refs/tags/main", b"refs/heads/\xff", None]:
        monkeypatch.setattr(dulwich.refs, "follow", lambda repository, name, answer=answer: answer)
        assert service.get_branch_info("main")["is_current"] is (answer == b"refs/heads/main")

    def fails(repository, name):
        raise KeyError(name)

    monkeypatch.setattr(dulwich.refs, "follow", fails)
    assert service.get_branch_info("main")["is_current"] is False


# --- decorations from git log ----------------------------------------------------------------------


def test_decorations_of_head_branches_remotes_and_tags(repo, service_for, run_spy):
    one = repo.commit("one")
    two = repo.commit("two")
    repo.git("update-ref", "refs/remotes/origin/main", two)
    repo.git("update-ref", "refs/remotes/origin/old", one)
    repo.git("symbolic-ref", "refs/remotes/origin/HEAD", "refs/remotes/origin/old")
    repo.git("branch", "feature/x", one)
    tag_at(repo, "stable")
    tag_at(repo, "v0", one, message="annotated")

    calls = run_spy()
    result = service_for(repo).get_commit_refs_from_git_log("main", [two, one])
    assert sorted(result[one]["remote_branches"]) == ["feature/x", "origin/HEAD", "origin/old"]
    assert result == {
        two: labels(branches=["main"], remote_branches=["origin/main"], tags=["stable"], is_head=True),
        # "origin/HEAD" is the remote's HEAD, not ours: it is filed, and marks nothing.
        one: labels(remote_branches=result[one]["remote_branches"], tags=["v0"])}
    assert calls == [(["git", "log", "main", "--max-count=2", *LOG_TAIL],
                      {"capture_output": True, "text": True, "timeout": 5, "cwd": root(repo)})]


def test_only_heads_own_decoration_marks_a_commit(tmp_path, repo, service_for):
    # A clone with one commit of its own on main: origin/HEAD names the commit main left behind, and
    # names that merely hold the word mark nothing either.
    repo.commit("one")
    repo.commit("two")
    clone = tmp_path / "clone"
    repo.git("clone", "-q", str(repo.path), str(clone))
    cloned = type(repo)(clone)
    behind = cloned.head()
    cloned.git("branch", "fix-HEAD-parsing", behind)
    cloned.git("tag", "HEADLINE", behind)
    ahead = cloned.commit("local work")
    result = service_for(cloned).get_commit_refs_from_git_log("main", [ahead, behind])
    assert result[ahead]["is_head"] is True
    assert result[behind] == labels(branches=["fix-HEAD-parsing"], remote_branches=["origin/main", "origin/HEAD"],
                                    tags=["HEADLINE"])


def test_detached_head_is_marked_without_a_branch_name(repo, service_for):
    one = repo.commit("one")
    two = repo.commit("two")
    repo.git("checkout", "-q", "--detach", one)
    result = service_for(repo).get_commit_refs_from_git_log("main", [two, one])
    assert result == {two: labels(branches=["main"]), one: labels(is_head=True)}


def test_merges_and_the_caller_spelling_of_ids(repo, service_for):
    base = repo.commit("base")
    tag_at(repo, "old")
    repo.git("checkout", "-q", "-b", "side")
    side = repo.commit("side")
    repo.git("checkout", "-q", "main")
    first = repo.commit("first")
    repo.git("merge", "-q", "--no-ff", "-m", "merge", "side")
    merge = repo.head()
    service = service_for(repo)

    shas = [merge.upper(), first, merge[:12], base]
    result = service.get_commit_refs_from_git_log("main", shas)
    assert list(result) == shas
    assert result[merge.upper()] == labels(branches=["main"], is_head=True, is_merge=True,
                                           merge_parents=[first, side])
    assert result[first] == labels()
    assert result[merge[:12]] == labels()
    assert result[base] == labels(tags=["old"])
    # Only the first N commits of the log can be labelled, N being the number of ids.
    assert service.get_commit_refs_from_git_log("main", [merge, base])[base] == labels()

    # Two spellings of one id: the first one in the caller's order is filled.
    result = service.get_commit_refs_from_git_log("main", [merge.upper(), merge])
    assert result[merge.upper()]["is_head"] is True and result[merge] == labels()


def test_refused_or_failing_branches_keep_the_defaults(repo, service_for, run_spy):
    one = repo.commit("one")
    calls = run_spy()
    service = service_for(repo)
    assert service.get_commit_refs_from_git_log("--output=leak.txt", [one]) == {one: labels()}
    assert calls == [] and not (repo.path / "leak.txt").exists()
    assert not os.path.exists("leak.txt")
    assert service.get_commit_refs_from_git_log("no-such-branch", [one]) == {one: labels()}
    assert service.get_commit_refs_from_git_log(None, [one]) == {one: labels()}
    assert service.get_commit_refs_from_git_log("main", []) == {}
    assert service.get_commit_refs_from_git_log("main", None) == {}
    assert len(calls) == 2


def test_decoration_pieces_follow_their_rules(repo, service_for, later):
    first = repo.commit("first")
    repo.git("checkout", "-q", "-b", "side")
    side = repo.commit("side")
    repo.git("checkout", "-q", "main")
    repo.git("merge", "-q", "--no-ff", "-m", "merge", "side")
    merge = repo.head()
    repo.git("checkout", "-q", "--detach", first)
    ids = ["a" * 40, "b" * 40, "c" * 40, first, merge]
    during = []

    def log(args):
        during.append(os.getcwd())
        return subprocess.CompletedProcess(args, 0, stdout="\n".join([
            (f"  {'A' * 40}  \0 HEAD -> x -> y, tag: v1, tag: tag: v2 , TAG:v3,, feature/z, HEAD, HEADLESS, plain,"
            f" plain, tag: v1, x \0{'1' * 40}  {'2' * 40}\0subject"),
            f"{'b' * 40}\0tag: \0{'3' * 40}",
            f"{'c' * 40}\0only two fields",
            f"{first}\0\0{'4' * 40} {'5' * 40}\0merge as git says",
            f"{merge}\0\0\0merge as the library says",
            ""]), stderr="")

    run_recorder = later("run_recorder")
    run_recorder.answer(("git", "log"), log)
    result = service_for(repo).get_commit_refs_from_git_log("main", ids)
    assert result == {
        ids[0]: labels(branches=["y", "plain", "x"], remote_branches=["feature/z"], tags=["v1", "v2", "v3"],
                       is_head=True, is_merge=True, merge_parents=["1" * 40, "2" * 40]),
        ids[1]: labels(),
        ids[2]: labels(),
        first: labels(is_head=True, is_merge=True, merge_parents=["4" * 40, "5" * 40]),
        merge: labels(is_merge=True, merge_parents=[first, side])}
    assert during == [root(repo)]
    assert run_recorder.calls[0][1] == {"capture_output": True, "text": True, "timeout": 5, "cwd": root(repo)}


def test_exceptions_keep_what_was_found_and_restore_the_directory(repo, service_for, later):
    one = repo.commit("one")
    run_recorder = later("run_recorder")
    run_recorder.answer(("git", "log"), subprocess.TimeoutExpired("git", 5))
    assert service_for(repo).get_commit_refs_from_git_log("main", [one]) == {one: labels()}

    run_recorder.answers[:] = []
    run_recorder.answer(("git", "log"), KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        service_for(repo).get_commit_refs_from_git_log("main", [one])

    with pytest.raises(TypeError):
        service_for(repo).get_commit_refs_from_git_log("main", [[one]])


def test_decorations_without_git(repo, service_for, later):
    one = repo.commit("one")
    later("no_git")
    assert service_for(repo).get_commit_refs_from_git_log("main", [one]) == {one: labels()}


# --- decorations from the refs ---------------------------------------------------------------------


def test_commit_refs_from_the_refs(repo, service_for):
    one = repo.commit("one")
    repo.git("checkout", "-q", "-b", "side")
    side = repo.commit("side")
    repo.git("checkout", "-q", "main")
    repo.git("merge", "-q", "--no-ff", "-m", "merge", "side")
    merge = repo.head()
    repo.git("branch", "feature/x", one)
    repo.git("update-ref", "refs/remotes/origin/main", one)
    tag_at(repo, "light", one)
    tag_at(repo, "annotated", one, message="not the commit itself")
    service = service_for(repo)

    found = service.get_commit_refs(one.upper())
    assert sorted(found["branches"]) == ["feature/x"]
    assert found == labels(branches=found["branches"], remote_branches=["origin/main"], tags=["light"])
    assert service.get_commit_refs(commit_sha=merge) == labels(branches=["main"], is_merge=True,
                                                               merge_parents=[one, side])
    assert service.get_commit_refs("00" * 20) == labels()
    with pytest.raises(ValueError):
        service.get_commit_refs("xyz")
    with pytest.raises(ValueError):
        service.get_commit_refs(one[:-1])
    with pytest.raises(TypeError):
        service.get_commit_refs(None)
