"""Damaged and unusual repositories: on the git road and with git missing, every
public method gives its stated result or one of its stated exceptions, never a
crash, a hang, a SystemError or an exception its pane does not allow for."""

import os
import shutil
import textwrap
import time

import git_service_cython as gsc
import pytest
from decline_reasons import assert_declined_on_road, listening
from hardening_helpers import (
    AFTER,
    BEFORE,
    GIT_ENV,
    Rich,
    build_rich,
    call_all,
    complaint,
    intact_trees,
    method_calls,
    reference_compile,
    reference_is_path_ignored,
    run_child,
    slowdown,
)

CASES = {**BEFORE, **AFTER}


@pytest.fixture(scope="session")
def template(tmp_path_factory):
    """The repository every case starts from, built once."""
    with pytest.MonkeyPatch.context() as patch:
        for key, value in GIT_ENV.items():
            patch.setenv(key, value)
        rich = build_rich(tmp_path_factory.mktemp("template") / "repo")
        trees = intact_trees(rich)
    return rich, trees


@pytest.fixture
def fresh(template, tmp_path):
    """A copy of the template repository: (Rich, trees read while intact)."""
    rich, trees = template
    path = tmp_path / "repo"
    shutil.copytree(rich.path, path, symlinks=True)
    return Rich(type(rich.repo)(path), dict(rich.ids)), trees


def damaged(fresh, case, request, road):
    """Damages the copy, builds the service (before or after the damage, as
    the case says), then hides git for the no-git road."""
    rich, trees = fresh
    if case in BEFORE:
        BEFORE[case][0](rich)
    service = gsc.GitServiceCython(str(rich.path))
    if case in AFTER:
        AFTER[case][0](rich)
    if road == "no git":
        request.getfixturevalue("no_git")
    return rich, service, method_calls(rich, trees)


@pytest.mark.parametrize("road", ["git", "no git"])
@pytest.mark.parametrize("case", list(CASES))
def test_every_method_answers_as_stated(fresh, request, case, road):
    rich, service, calls = damaged(fresh, case, request, road)
    before = os.getcwd()
    started = time.monotonic()
    with listening() as heard:
        outcomes = call_all(service, calls)
    elapsed = time.monotonic() - started
    assert_declined_on_road(heard.reasons, CASES[case][1], road == "git")
    problems = {name: problem for name, outcome in outcomes.items()
                if (problem := complaint(name, outcome)) is not None}
    assert problems == {}
    assert os.getcwd() == before
    # No git run waited for its time limit; everything here answers at once.
    assert elapsed < 30 * slowdown()
    check = SPECIFIC.get(case)
    if check is not None:
        check(rich, outcomes, road)


# --- what some cases are stated to give ------------------------------------------------------------------


def raised(outcome, kind):
    return isinstance(outcome, kind)


def statuses(outcome):
    return [(r.path, r.status, r.staged, r.unstaged) for r in outcome]


def unreadable_index(rich, outcomes, road):
    if road == "no git":
        # Without an index every file is compared with HEAD alone.
        assert statuses(outcomes["get_file_status"]) == [
            ("a.txt", "modified", False, True), ("new.txt", "untracked", False, True),
            ("src/b.txt", "modified", False, True)]


def missing_commit(rich, outcomes, road):
    for name in ("list_commits main", "count_commits main", "_iter_commits_optimized"):
        assert raised(outcomes[name], KeyError)
    assert outcomes["get_branch_info"]["head_sha"] == rich.ids["main"]


def branch_at_object(kind):
    def check(rich, outcomes, road):
        branch = "feature" if kind == "Tag" else "main"
        # The walk hands out what the ref names; reading it as a commit fails.
        assert raised(outcomes[f"list_commits {branch}"], AttributeError)
        if road == "no git":
            assert raised(outcomes[f"count_commits {branch}"], AttributeError)
        info = outcomes["get_branch_info"]
        assert info["is_current"] is True and len(info["head_sha"]) == 40
    return check


def symref_loop(rich, outcomes, road):
    from dulwich.refs import SymrefLoop

    assert raised(outcomes["list_commits main"], SymrefLoop)
    assert raised(outcomes["get_merge_base"], SymrefLoop)  # only missing refs read as "no merge base"
    # HEAD names main, whatever main itself holds.
    assert outcomes["get_branch_info"] == {"name": "main", "head_sha": None, "remote_tracking": "origin/main",
                                           "upstream": "main", "is_current": True}


def dangling_symrefs(rich, outcomes, road):
    if road == "no git":
        # The library fallback has no handler of its own.
        assert raised(outcomes["list_branches"], KeyError)
        assert raised(outcomes["list_remote_branches"], KeyError)
    else:
        assert [b.name for b in outcomes["list_branches"]] == ["main", "feature"]
    assert outcomes["count_commits main"] == 3


def head_names_missing_branch(rich, outcomes, road):
    assert outcomes["get_branch_info"]["is_current"] is False
    # No HEAD commit: everything in the index is new.
    assert all(r.staged for r in outcomes["get_file_status"] if r.status != "untracked")


def non_utf8_refs(rich, outcomes, road):
    refs = outcomes["get_commit_refs"]
    assert "caf\ufffd" in refs["branches"] and refs["remote_branches"] == ["origin/caf\ufffd"]
    assert refs["tags"] == ["caf\ufffd"]
    names = [b.name for b in outcomes["list_branches"]]
    assert "caf\ufffd" in names
    if road == "git":
        # git's text output cannot be decoded, so the listing comes from the refs.
        assert all(b.timestamp == 0 for b in outcomes["list_branches"])


def non_utf8_commits(rich, outcomes, road):
    [first, *_] = outcomes["list_commits main"]
    assert first.summary == "caf\ufffd summary \ufffd\r"
    assert first.author == "Ann \ufffd\ufffd <ann@example.com>"


def non_utf8_tags(rich, outcomes, road):
    if road == "git":
        tags = {t.name: t for t in outcomes["list_tags"]}
        # The subject holds a "|": what follows it is read as the object type.
        assert (tags["latin"].message, tags["latin"].is_annotated) == ("caf\ufffd subject \ufffd", False)
        assert (tags["latin-body"].message, tags["latin-body"].is_annotated) == ("\ufffd\ufffd body only", True)
    else:
        assert outcomes["list_tags"] == []


def non_utf8_contents(rich, outcomes, road):
    if road == "git":
        # Output that is only shown decodes with replacement: the patch shows,
        # with U+FFFD where the Latin-1 bytes were.
        assert outcomes["get_commit_diff"].startswith("diff --git") and "diff --git a/latin.txt" in outcomes["get_commit_diff"]
        assert "+caf\ufffd" in outcomes["get_commit_diff"]
        assert "th\ufffd" in outcomes["get_stash_diff"][0]
    assert outcomes["list_commits main"][0].summary == "latin-1 content"


def big_directory(rich, outcomes, road):
    many = [r for r in outcomes["get_file_status"] if r.path.startswith("many/")]
    assert len(many) == 20_000 and all(r.status == "untracked" for r in many)


def malformed_ignore(rich, outcomes, road):
    lines = (rich.path / ".gitignore").read_bytes().decode("utf-8", "ignore").splitlines(keepends=True)
    compiled = reference_compile(lines)
    assert outcomes["_compile_gitignore_patterns"] == compiled
    if road == "no git":
        untracked = {r.path for r in outcomes["get_file_status"] if r.status == "untracked"}
        for name in ("[", "a" * 200 + "b", "x" * 250, "new.txt", "debug.log"):
            assert (name in untracked) is not reference_is_path_ignored(name, compiled)


def gone(rich, outcomes, road):
    # The scan walks a directory that is no longer there, and says so.
    assert raised(outcomes["get_file_status"], FileNotFoundError)
    assert outcomes["list_branches"] == [] and outcomes["list_stashes"] == []
    assert outcomes["get_commit_diff"] == f"Error: Could not get diff for commit {rich.ids['main'][:8]}. " \
                                          "Exception: FileNotFoundError\n"
    assert raised(outcomes["_find_repo_root"], gsc.NotGitRepository)
    assert raised(outcomes["list_commits main"], KeyError)


def emptied(rich, outcomes, road):
    if road == "git":
        assert outcomes["get_file_status"] is None
    else:
        assert {r.status for r in outcomes["get_file_status"]} == {"untracked"}


SPECIFIC = {
    "truncated index": unreadable_index,
    "index with a wrong signature": unreadable_index,
    "index with a wrong version": unreadable_index,
    "missing loose commit": missing_commit,
    "branch at a blob": branch_at_object("Blob"),
    "branch at a tree": branch_at_object("Tree"),
    "branch at a tag object": branch_at_object("Tag"),
    "symbolic-ref loop": symref_loop,
    "dangling symbolic refs": dangling_symrefs,
    "HEAD naming a missing branch": head_names_missing_branch,
    "ref names not UTF-8": non_utf8_refs,
    "messages and authors not UTF-8": non_utf8_commits,
    "tag subjects not UTF-8": non_utf8_tags,
    "file contents not UTF-8": non_utf8_contents,
    "directory of 20,000 entries": big_directory,
    "malformed ignore patterns": malformed_ignore,
    "repository deleted": gone,
    "repository moved": gone,
    ".git emptied": emptied,
}


# --- an ignore file that is no regular file --------------------------------------------------------------

IGNORE_PROBE = textwrap.dedent("""
    import sys
    import git_service_cython as gsc
    service = gsc.GitServiceCython(sys.argv[1] if len(sys.argv) > 1 else {path!r})
    print(service._compile_gitignore_patterns(), service._is_ignored("x.log"),
          [(r.path, r.status) for r in service.get_file_status()])
""")


@pytest.mark.parametrize("kind", ["named pipe", "link to /dev/zero", "link to a directory"])
def test_an_ignore_file_that_is_no_regular_file_is_not_read(repo, tmp_path, kind):
    # A pipe would hold the pane until a writer came; a link to a device
    # (which a cloned repository can hold) would read without end.
    repo.commit("one", files={"x.log": "x\n"})
    ignore = repo.path / ".gitignore"
    if kind == "named pipe":
        os.mkfifo(ignore)
    elif kind == "link to /dev/zero":
        ignore.symlink_to("/dev/zero")
    else:
        ignore.symlink_to(tmp_path)
    empty = tmp_path / "no-git-bin"
    empty.mkdir()
    child = run_child(IGNORE_PROBE.format(path=str(repo.path)), timeout=30, env={"PATH": str(empty)})
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == "[] False []"


def test_an_ignore_file_behind_a_link_to_a_regular_file_is_read(repo, tmp_path):
    (tmp_path / "rules").write_text("*.log\n")
    (repo.path / ".gitignore").symlink_to(tmp_path / "rules")
    service = gsc.GitServiceCython(str(repo.path))
    assert service._compile_gitignore_patterns() == reference_compile(["*.log\n"])
    assert service._is_ignored("a/x.log") is True
