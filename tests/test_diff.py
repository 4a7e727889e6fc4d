"""Commit diffs, tree lookups, the stash list and stash diffs."""

import shutil
import subprocess

import git_service_cython as gsc
import pytest
from dulwich.repo import Repo
from git_service_cython import GitServiceCython, StashInfo

# Output that is only shown is decoded with replacement: bytes that are not
# UTF-8 must not cost the whole patch or stash list.
RUN_KEYWORDS = ["capture_output", "text", "errors", "timeout", "cwd"]


@pytest.fixture(autouse=True)
def no_parent_repository(monkeypatch, tmp_path):
    # A repository that is gone must not be found again in a directory above it.
    monkeypatch.setenv("GIT_CEILING_DIRECTORIES", str(tmp_path))


def git_show(repo, *args):
    return subprocess.run(["git", "show", *args, "--no-color"], cwd=repo.path, capture_output=True,
                          text=True, check=True).stdout


# --- commit diff ------------------------------------------------------------------------------------


@pytest.fixture
def changed(repo):
    repo.commit("first", files={"a.txt": "one\n"})
    return repo.commit("second\n\nwith a body", files={"a.txt": "two\n", "b.txt": "new\n"})


@pytest.mark.parametrize("form", [
    lambda id: f"  \t{id.upper()}\n ",
    lambda id: f"commit {id} (HEAD -> main, origin/main) second",
    lambda id: id + "abcdef0123456789abcdef01",  # 64 digits: the first 40 are the id
], ids=["upper-case-with-blanks", "inside-a-log-line", "64-digits"])
def test_loose_ids_give_the_patch_from_the_first_file_diff(repo, service_for, changed, form):
    full = git_show(repo, changed)
    patch = service_for(repo).get_commit_diff(form(changed))
    assert patch.startswith("diff --git a/a.txt") and patch == full[full.index("diff --git"):]


def test_git_show_is_run_with_the_normalised_id(repo, service_for, changed, run_recorder):
    service = service_for(repo)
    run_recorder.answer(("git",), stdout="diff --git x")
    assert service.get_commit_diff(f" {changed.upper()} ") == "diff --git x"
    (args, kwargs), = run_recorder.calls
    assert args == ["git", "show", changed, "--no-color"]
    assert list(kwargs) == RUN_KEYWORDS
    assert kwargs == {"capture_output": True, "text": True, "errors": "replace", "timeout": 10,
                      "cwd": str(repo.path.resolve())}


def test_a_commit_without_file_changes_gives_the_whole_output(repo, service_for, changed):
    empty = repo.commit("nothing changed")
    assert service_for(repo).get_commit_diff(empty) == git_show(repo, empty)


def test_bytes_that_do_not_decode_are_shown_replaced(repo, service_for):
    # A Latin-1 file and a line of invalid UTF-8: git prints the bytes as they are.
    repo.commit("init", files={"latin.txt": "plain\n", "mixed.txt": "plain\n"})
    touched = repo.commit("latin", files={"latin.txt": "caf\xe9\n".encode("latin-1"),
                                          "mixed.txt": b"ok \xff\xfe end\n"})
    patch = service_for(repo).get_commit_diff(touched)
    assert patch.startswith("diff --git a/latin.txt")
    assert "+caf\ufffd\n" in patch and "+ok \ufffd\ufffd end\n" in patch


@pytest.mark.parametrize("given, shown", [
    ("0123456789abcdef0123456789abcdef0123456g", "0123456789abcdef0123"),
    ("a" * 39, "a" * 20),
    ("", ""),
    ("   ", ""),
    (None, "None"),
])
def test_text_without_an_id_is_refused_without_running_git(repo, service_for, run_recorder, given, shown):
    assert service_for(repo).get_commit_diff(given) == f"Error: Invalid SHA format: {shown}...\n"
    assert run_recorder.calls == []


def test_bytes_are_refused_at_the_call(repo, service_for):
    with pytest.raises(TypeError, match="Argument 'sha_hex' has incorrect type"):
        service_for(repo).get_commit_diff(b"a" * 40)


def test_an_unknown_object_carries_gits_own_message(repo, service_for, changed):
    missing = "0123456789" * 4
    stderr = subprocess.run(["git", "show", missing], cwd=repo.path, capture_output=True, text=True,
                            check=False).stderr
    assert service_for(repo).get_commit_diff(missing) == (
        f"Error: Could not get diff for commit 01234567. git show failed: {stderr.strip()[:100]}\n")


@pytest.mark.parametrize("stderr, detail", [
    ("", "Unknown error"),
    (" \n\t", ""),
    ("\n" + "x" * 150 + "\n", "x" * 100),
])
def test_failure_texts_from_git_stderr(repo, service_for, run_recorder, stderr, detail):
    run_recorder.answer(("git",), stderr=stderr, returncode=128)
    assert service_for(repo).get_commit_diff("F" * 40) == (
        f"Error: Could not get diff for commit ffffffff. git show failed: {detail}\n")


class Unexpected(RuntimeError):
    pass


@pytest.mark.parametrize("raised, text", [
    (subprocess.TimeoutExpired(["git"], 10), "Error: Timeout getting diff for commit abcdef01\n"),
    (Unexpected(), "Error: Could not get diff for commit abcdef01. Exception: Unexpected\n"),
])
def test_exceptions_become_texts(repo, service_for, run_recorder, raised, text):
    run_recorder.answer(("git",), raised)
    assert service_for(repo).get_commit_diff("abcdef01" * 5) == text


def test_missing_git_is_named_by_its_exception_class(repo, service_for, no_git):
    assert service_for(repo).get_commit_diff("a" * 40) == (
        "Error: Could not get diff for commit aaaaaaaa. Exception: FileNotFoundError\n")


@pytest.mark.parametrize("call", [lambda s: s.get_commit_diff("a" * 40), lambda s: s.list_stashes(),
                                  lambda s: s.get_stash_diff(0)], ids=["commit-diff", "list-stashes", "stash-diff"])
def test_an_interrupt_is_not_swallowed(repo, service_for, run_recorder, call):
    run_recorder.answer(("git",), KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        call(service_for(repo))


# --- finding a path in a tree ------------------------------------------------------------------------


@pytest.fixture
def tree_service(repo, service_for):
    repo.commit("tree", files={"a.txt": "a\n", "dir/sub/f.txt": "f\n", "dir/\u00e9.txt": "e\n"})
    dulwich_repo = Repo(str(repo.path))
    yield service_for(repo), dulwich_repo[dulwich_repo[b"HEAD"].tree]
    dulwich_repo.close()


def rev(repo, revision):
    return repo.head(revision).encode()


@pytest.mark.parametrize("path, revision", [
    ("a.txt", "HEAD:a.txt"),
    ("dir", "HEAD:dir"),
    ("dir/sub", "HEAD:dir/sub"),
    ("dir/sub/f.txt", "HEAD:dir/sub/f.txt"),
    ("dir/\u00e9.txt", "HEAD:dir/\u00e9.txt"),
    ("a.txt/more", None),
    ("missing", None),
    ("dir/missing/f.txt", None),
])
def test_find_in_tree(repo, tree_service, path, revision):
    service, tree = tree_service
    expected = rev(repo, revision) if revision else None
    assert service._find_in_tree(tree, path.split("/")) == expected
    assert service._find_in_tree(tree=tree, path_parts=tuple(path.split("/"))) == expected


@pytest.mark.parametrize("parts", [[], (), None, ""])
def test_find_in_tree_without_parts_is_none(tree_service, parts):
    service, tree = tree_service
    assert service._find_in_tree(tree, parts) is None


@pytest.mark.parametrize("tree, parts, error, message", [
    ({b"x": (1, 2, 3)}, ["x"], ValueError, r"too many values to unpack \(expected 2\)"),
    ({b"x": (1,)}, ["x"], ValueError, r"not enough values to unpack \(expected 2, got 1\)"),
    ({b"x": 5}, ["x"], TypeError, "cannot unpack non-iterable int object"),
    ({b"x": (0o40000, b"0" * 40)}, ["x", "y"], KeyError, None),
    ({b"x": (0o100644, b"0" * 40)}, [b"x"], AttributeError, "encode"),
    ({}, ["\ud800"], UnicodeEncodeError, "surrogates"),
])
def test_find_in_tree_lets_errors_through(repo, service_for, tree, parts, error, message):
    with pytest.raises(error, match=message):
        service_for(repo)._find_in_tree(tree, parts)


def test_find_in_tree_recurses_through_the_object_and_within_the_host_limit(repo, service_for):
    calls = []

    class Counting(GitServiceCython):
        def _find_in_tree(self, tree, path_parts):
            calls.append(list(path_parts))
            return super()._find_in_tree(tree, path_parts)

    counting = Counting(str(repo.path))
    loop = {b"d": (0o40000, b"self")}
    counting.__setstate__(({b"self": loop}, repo.path))
    assert counting._find_in_tree(loop, ["d", "d", "e"]) is None
    assert calls == [["d", "d", "e"], ["d", "e"], ["e"]]

    # A tree that contains itself, followed for ever: an error, not a crash.
    service = service_for(repo)
    service.__setstate__(({b"self": loop}, repo.path))
    with pytest.raises(RecursionError):
        service._find_in_tree(loop, ["d"] * 100_000)


# --- stashes -----------------------------------------------------------------------------------------


STASH_TIME = 1_700_000_600


STASH_DATES = {"GIT_AUTHOR_DATE": f"{STASH_TIME} +0000", "GIT_COMMITTER_DATE": f"{STASH_TIME} +0000"}


def stash(repo, *args, change="x"):
    repo.write("a.txt", change + "\n")
    repo.git("stash", *args, env=STASH_DATES)


@pytest.fixture
def stashed(repo):
    """Three stashes: a bare message (no colon), a custom message with a colon, git's own WIP text."""
    repo.commit("init", files={"a.txt": "a\n"})
    stash(repo, "push", "-q", change="b")
    repo.git("checkout", "-q", "-b", "feature/x")
    stash(repo, "push", "-q", "-m", "fix: typo", change="c")
    repo.write("a.txt", "d\n")
    repo.git("stash", "store", "-m", "bare message", repo.git("stash", "create", env=STASH_DATES))
    repo.git("checkout", "-q", "--", "a.txt")
    return repo


def test_list_stashes_reads_each_description(stashed, service_for):
    short = stashed.git("rev-parse", "--short", "main")
    assert service_for(stashed).list_stashes() == [
        StashInfo(0, "feature/x", "bare message", "bare message", "", STASH_TIME),
        StashInfo(1, "feature/x", "fix: typo", "On feature/x: fix: typo", "", STASH_TIME),
        StashInfo(2, "main", f"{short} init", f"WIP on main: {short} init", "", STASH_TIME),
    ]


def test_a_description_without_a_colon_on_a_detached_head(stashed, service_for, real_run_spy):
    stashed.git("checkout", "-q", "--detach")
    stashes = service_for(stashed).list_stashes()
    assert next((s.branch, s.message) for s in stashes) == ("HEAD", "bare message")
    assert real_run_spy == [
        ["git", "stash", "list"],
        ["git", "rev-parse", "--abbrev-ref", "HEAD"], ["git", "show", "-s", "--format=%at", "stash@{0}"],
        ["git", "show", "-s", "--format=%at", "stash@{1}"],
        ["git", "show", "-s", "--format=%at", "stash@{2}"],
    ]


def test_stashes_of_bytes_that_do_not_decode_are_listed_and_shown(repo, service_for):
    repo.commit("init", files={"a.txt": "a\n"})
    repo.write("a.txt", "caf\xe9\n".encode("latin-1"))
    repo.git("stash", "push", "-q", "-m", "caf\xe9 work".encode("latin-1").decode("utf-8", "surrogateescape"),
             env=STASH_DATES)
    service = service_for(repo)
    [stash_info] = service.list_stashes()
    assert (stash_info.branch, stash_info.message, stash_info.timestamp) == ("main", "caf\ufffd work", STASH_TIME)
    diff_text, stat_text = service.get_stash_diff(0)
    assert "caf\ufffd" in diff_text and "a.txt" in stat_text


def test_no_stashes_runs_only_the_list(repo, service_for, real_run_spy):
    repo.commit("init")
    assert service_for(repo).list_stashes() == []
    assert real_run_spy == [["git", "stash", "list"]]


def test_stash_lines_are_parsed_leniently(repo, service_for, run_recorder):
    run_recorder.answer(("git", "stash", "list"), stdout=(
        "\n stash@{0}: indented\n"
        "stash@{1}:   On main:   spaced  \n"
        "\n   \n"
        "stash@{2}:\n"
        "  stash@{5}: indented after the first line\n"
        "stash@{3}: O dev: x\n"
        "stash@{4}: no colon\n"))
    run_recorder.answer(("git", "rev-parse"), stdout=" dev \n")
    run_recorder.answer(("git", "show", "-s", "--format=%at", "stash@{1}"), stdout="12\n")
    run_recorder.answer(("git", "show", "-s", "--format=%at", "stash@{3}"), stdout="12a")
    run_recorder.answer(("git", "show", "-s", "--format=%at", "stash@{4}"), returncode=128, stdout="99")
    service = service_for(repo)
    # Only the whole output is stripped, so the first line parses and the later indented one does not.
    assert service.list_stashes() == [
        StashInfo(0, "dev", "indented", "indented", "", 0),
        StashInfo(1, "main", "spaced", "On main:   spaced", "", 12),
        StashInfo(3, "dev", "x", "O dev: x", "", 0),
        StashInfo(4, "dev", "no colon", "no colon", "", 0),
    ]
    cwd = str(repo.path.resolve())
    assert all(list(kw) == RUN_KEYWORDS and kw["cwd"] == cwd and kw["errors"] == "replace"
               for _, kw in run_recorder.calls)
    assert [kw["timeout"] for _, kw in run_recorder.calls[:3]] == [5, 2, 2]


def test_failing_per_stash_commands_only_lose_their_field(repo, service_for, run_recorder):
    run_recorder.answer(("git", "stash", "list"), stdout="stash@{0}: plain\nstash@{1}: On b: m")
    run_recorder.answer(("git", "rev-parse"), subprocess.TimeoutExpired(["git"], 2))
    run_recorder.answer(("git", "show"), OSError())
    assert service_for(repo).list_stashes() == [StashInfo(0, "unknown", "plain", "plain", "", 0),
                                                StashInfo(1, "b", "m", "On b: m", "", 0)]


def test_a_failure_part_way_keeps_the_stashes_read(stashed, service_for, monkeypatch):
    made = []

    def record(**fields):
        if made:
            raise RuntimeError("no more")
        made.append(fields)
        return fields

    monkeypatch.setattr(gsc, "StashInfo", record)
    assert service_for(stashed).list_stashes() == [
        {"index": 0, "branch": "feature/x", "message": "bare message", "name": "bare message", "sha": "",
         "timestamp": STASH_TIME}]


def test_stash_diff_gives_patch_and_summary(stashed, service_for, real_run_spy):
    def shown(form):
        return stashed.git("stash", "show", "stash@{1}", form, "--color=always")

    diff_text, stat_text = service_for(stashed).get_stash_diff(1)
    assert diff_text == shown("-p") and "\x1b[" in diff_text and "diff --git" in diff_text
    assert stat_text == shown("--stat") and "1 file changed" in stat_text
    assert real_run_spy == [["git", "stash", "show", "stash@{1}", "--stat", "--color=always"],
                            ["git", "stash", "show", "stash@{1}", "-p", "--color=always"]]


@pytest.mark.parametrize("index", [7, -1, 99_999_999, 100_000_000, 2**31 - 1])
def test_stash_diff_of_no_stash_is_empty(stashed, service_for, index):
    # git reads stash@{100000000} and above as a time and would answer with a stash.
    assert service_for(stashed).get_stash_diff(index) == ("", "")


@pytest.mark.parametrize("index, reference", [(2.9, "stash@{2}"), (-1, "stash@{-1}"), (True, "stash@{1}")])
def test_stash_diff_reference(repo, service_for, run_recorder, index, reference):
    run_recorder.answer(("git",), stdout=" text \n")
    assert service_for(repo).get_stash_diff(stash_index=index) == ("text", "text")
    assert [args[3] for args in run_recorder.commands] == [reference, reference]
    assert all(list(kw) == RUN_KEYWORDS and kw["timeout"] == 5 and kw["errors"] == "replace"
               for _, kw in run_recorder.calls)


@pytest.mark.parametrize("patch", [{"result": subprocess.TimeoutExpired(["git"], 5)}, {"returncode": 1}])
def test_stash_diff_keeps_the_summary_when_the_patch_fails(repo, service_for, run_recorder, patch):
    run_recorder.answer(("git", "stash", "show", "stash@{0}", "--stat"), stdout="stat\n")
    run_recorder.answer(("git", "stash", "show", "stash@{0}", "-p"), stdout="patch", **patch)
    assert service_for(repo).get_stash_diff(0) == ("", "stat")


@pytest.mark.parametrize("gone", ["dot_git", "directory"])
def test_stash_methods_in_a_directory_that_stopped_being_a_repository(stashed, service_for, gone):
    service = service_for(stashed)
    shutil.rmtree(stashed.path / ".git" if gone == "dot_git" else stashed.path)
    assert service.list_stashes() == []
    assert service.get_stash_diff(0) == ("", "")
