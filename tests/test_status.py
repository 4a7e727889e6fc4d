"""Working-tree status: ignore rules, the HEAD file map, the porcelain road and the fallback scan."""

import dataclasses
import fnmatch
import os
import random
import subprocess
import time
import types

import git_service_cython as gsc
import pytest
from conftest import init_repo
from dulwich.index import Index
from dulwich.repo import Repo
from git_service_cython import GitServiceCython


def rows(records):
    return [(r.path, r.status, r.staged, r.unstaged) for r in records]


def with_ignore_file(repo, service_for, text: str | bytes):
    repo.write(".gitignore", text)
    return service_for(repo)


def record(pattern, fnmatch_pattern=None, negation=False, root=False):
    return {"pattern": pattern, "fnmatch_pattern": fnmatch_pattern if fnmatch_pattern is not None else pattern,
            "is_negation": negation, "is_root": root}


# --- compiling the ignore file ------------------------------------------------------------------------


def test_compiled_records_keep_their_keys_in_order_and_trim_each_line(repo, service_for):
    service = with_ignore_file(repo, service_for, (
        "  *.log  \n# comment\n\n!  keep.log\n/build/\nbuild//\na/**/b\n***\n\\#notes\n/\n!/\n!\n   \n"
    ))
    compiled = service._compile_gitignore_patterns()
    assert all(list(r) == ["pattern", "fnmatch_pattern", "is_negation", "is_root"] for r in compiled)
    assert compiled == [
        record("*.log"),
        record("keep.log", negation=True),
        record("/build", root=True),
        record("build"),
        record("a/**/b", "a/*/b"),
        record("***", "**"),
        record("\\#notes"),
        record(""),
        record("", negation=True),
    ]


def test_missing_or_unreadable_ignore_file_compiles_to_nothing(repo, service_for):
    service = service_for(repo)
    assert service._compile_gitignore_patterns() == []
    (repo.path / ".gitignore").mkdir()
    assert service._compile_gitignore_patterns() == []
    assert service._is_ignored("a.log") is False


def test_undecodable_bytes_in_the_ignore_file_are_dropped(repo, service_for):
    service = with_ignore_file(repo, service_for, b"*.l\xffog\n")
    assert service._compile_gitignore_patterns() == [record("*.log")]


# --- matching files and directories --------------------------------------------------------------------


@pytest.mark.parametrize("lines, path, ignored", [
    ("*.log\n!keep.log\n", "a/b/keep.log", False),
    ("*.log\n!keep.log\n", "a/b/x.log", True),
    ("!keep.log\n*.log\n", "a/b/keep.log", True),
    ("/build/\n", "build/x.txt", True),
    ("/build/\n", "src/build/x.txt", False),
    ("/build/\n", "build", True),
    ("build/\n", "src/build/x.txt", True),
    ("build/\n", "deep/dir/build", True),
    ("docs/*.md\n", "docs/a.md", True),
    ("docs/*.md\n", "x/docs/a.md", True),
    ("docs/*.md\n", "docs/sub/a.md", True),
    ("docs/*.md\n", "docs/a.txt", False),
    ("**/tmp\n", "a/tmp", True),
    ("**/tmp\n", "a/b/tmp", True),
    ("**/tmp\n", "tmp", False),
    ("\\#notes\n", "#notes", False),
    ("\\#notes\n", "\\#notes", False),
    ("*.txt   \n", "a.txt", True),
    ("/a/*.c\n", "a/x.c", True),
    ("/a/*.c\n", "b/a/x.c", False),
    ("[!a]bc\n", "xbc", True),
    ("[!a]bc\n", "abc", False),
    ("*.log\n", "a\\b\\c.log", True),
    ("a/b\n", "a\\b", True),
])
def test_path_matching(repo, service_for, lines, path, ignored):
    service = with_ignore_file(repo, service_for, lines)
    assert service._is_path_ignored(path, service._compile_gitignore_patterns()) is ignored
    assert service._is_ignored(path) is ignored


def test_no_patterns_ignore_nothing_but_the_fixed_directories_are_always_skipped(repo, service_for):
    service = service_for(repo)
    assert service._is_path_ignored("node_modules", []) is False
    for name in [".git", "node_modules", "__pycache__", ".pytest_cache", ".mypy_cache", ".venv", "venv", "env",
                 ".env", "dist", "build", ".tox", ".eggs"]:
        assert service._is_directory_ignored(f"a/{name}", []) is True
    assert service._is_directory_ignored("pkg.egg-info", []) is True
    assert service._is_directory_ignored("a/node_modules/", []) is True
    assert service._is_directory_ignored("node_modules_x", []) is False
    assert service._is_directory_ignored("src", []) is False


def test_directory_tests_see_the_appended_slash(repo, service_for):
    service = with_ignore_file(repo, service_for, "out/\n/gen/\n")
    compiled = service._compile_gitignore_patterns()
    assert service._is_directory_ignored("src/out", compiled) is True
    assert service._is_directory_ignored("gen", compiled) is True
    assert service._is_directory_ignored("src/gen", compiled) is False
    service = with_ignore_file(repo, service_for, "/\n")
    assert service._is_directory_ignored("anything", service._compile_gitignore_patterns()) is True
    assert service._is_path_ignored("a.txt", service._compile_gitignore_patterns()) is False


def test_is_ignored_without_a_path(repo, service_for):
    service = service_for(repo)
    assert service._is_ignored(None) is False
    service = with_ignore_file(repo, service_for, "*.log\n")
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'replace'"):
        service._is_ignored(None)


def test_records_from_a_caller_are_read_as_given(repo, service_for):
    service = service_for(repo)
    assert service._is_path_ignored("a/b", [{"pattern": "x", "fnmatch_pattern": "b", "is_negation": 0,
                                             "is_root": ""}]) is True
    with pytest.raises(KeyError):
        service._is_path_ignored("a", [{"pattern": "a"}])
    with pytest.raises(TypeError):
        service._is_path_ignored("a", [record(None)])


def test_directory_test_calls_the_file_test_through_the_object(repo):
    class Recording(GitServiceCython):
        def _is_path_ignored(self, file_path, compiled_patterns):
            seen.append(file_path)
            return "yes"

    seen = []
    assert Recording(str(repo.path))._is_directory_ignored("src", []) == "yes"
    assert seen == ["src/"]


# --- the native matcher agrees with the host's fnmatch ---------------------------------------------------


def matches(service, name, pattern):
    # A root record whose prefix never applies matches exactly when fnmatch(name, pattern) does.
    return service._is_path_ignored(name, [record("\0", "/" + pattern, root=True)])


def test_matcher_agrees_with_fnmatch_on_generated_cases(monkeypatch):
    service = GitServiceCython.__new__(GitServiceCython)
    generator = random.Random(20240607)
    pattern_chars = list("ab-!]^[\\*?&~|/.z0") + ["é", "\u2603", "\U0001f600"]
    name_chars = list("ab-!]^[&~|/.z0\n") + ["é", "\u2603", "\U0001f600"]
    cases = []
    for _ in range(6000):
        pattern = "".join(generator.choice(pattern_chars) for _ in range(generator.randint(0, 9)))
        for _ in range(4):
            name = "".join(generator.choice(name_chars) for _ in range(generator.randint(0, 8)))
            cases.append((name, pattern))
    cases += [("]", "[]]"), ("a", "[!]]"), ("-", "[a-]"), ("b", "[z-a]"), ("q", "[!z-a]"), ("[", "[a"),
              ("/", "[\\/]"), ("a", "[a--]"), ("^", "[^]"), ("x/y", "*"), ("", ""), ("", "*"), ("ab", "*b*b")]
    expected = [fnmatch.fnmatch(name, pattern) for name, pattern in cases]

    # Every answer comes from the native matcher: the host's compiler is never asked.
    asked = []
    compile_pattern = fnmatch._compile_pattern
    monkeypatch.setattr(fnmatch, "_compile_pattern", lambda pat: asked.append(pat) or compile_pattern(pat))
    assert [matches(service, name, pattern) for name, pattern in cases] == expected
    assert asked == []


def test_a_replaced_fnmatch_is_followed(repo, service_for, monkeypatch):
    service = with_ignore_file(repo, service_for, "*.log\n")
    calls = []
    monkeypatch.setattr(fnmatch, "fnmatch", lambda name, pattern: calls.append((name, pattern)) or True)
    assert service._is_path_ignored("a/b.txt", service._compile_gitignore_patterns()) is True
    assert calls == [("a/b.txt", "*.log")]


# --- the HEAD file map ---------------------------------------------------------------------------------


def head_tree(service_repo):
    return service_repo[service_repo[service_repo.refs[b"HEAD"]].tree]


def ls_tree(repo):
    lines = repo.git("ls-tree", "-r", "HEAD").splitlines()
    return [(line.split("\t", 1)[1], line.split()[2].encode()) for line in lines]


def test_head_map_flattens_nested_trees_with_links_and_submodules(repo, service_for):
    repo.write("a.txt", "a")
    repo.write("src/main.c", "int main;")
    repo.write("src/lib/deep/x.h", "x")
    repo.write("z.txt", "z")
    os.symlink("a.txt", repo.path / "link")
    repo.git("add", "-A")
    sub = "1" * 40
    repo.git("update-index", "--add", "--cacheinfo", f"160000,{sub},src/sub")
    repo.git("commit", "-q", "-m", "tree")
    service = service_for(repo)
    with Repo(str(repo.path)) as dulwich_repo:
        tree = head_tree(dulwich_repo)
        file_map = service._build_head_file_map(tree)
        assert list(file_map.items()) == ls_tree(repo)
        assert file_map["src/sub"] == sub.encode()
        assert list(service._build_head_file_map(tree, "root")) == ["root/" + path for path, _ in ls_tree(repo)]
        empty = dulwich_repo[repo.git("mktree", input="").encode()]
        assert service._build_head_file_map(empty) == {}


def test_head_map_of_a_non_utf8_name_raises(repo, service_for):
    blob = repo.git("hash-object", "-w", "--stdin", input="x")
    listing = f"100644 blob {blob}\tok\n100644 blob {blob}\t".encode() + b"bad\xff\n"
    tree = repo.git("mktree", input=listing).strip()
    service = service_for(repo)
    with Repo(str(repo.path)) as dulwich_repo, pytest.raises(UnicodeDecodeError):
        service._build_head_file_map(dulwich_repo[tree])


def test_head_map_walks_trees_deeper_than_the_recursion_limit():
    # Trees stand in as dicts: iteration gives names, indexing gives (mode, id).
    depth = 5000
    objects = {b"leaf": {b"f": (0o100644, b"blob-id")}}
    for level in range(depth):
        objects[b"t%d" % level] = {b"d": (0o40000, b"t%d" % (level + 1) if level + 1 < depth else b"leaf")}
    service = GitServiceCython.__new__(GitServiceCython)
    service.__setstate__((objects, None))
    assert service._build_head_file_map(objects[b"t0"]) == {"d/" * depth + "f": b"blob-id"}


def test_head_map_entries_must_be_pairs():
    service = GitServiceCython.__new__(GitServiceCython)
    with pytest.raises(ValueError, match="too many values to unpack"):
        service._build_head_file_map({b"a": (1, 2, 3)})
    with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 2, got 1\)"):
        service._build_head_file_map({"a": [1]})


# --- the porcelain road ----------------------------------------------------------------------------------


def test_clean_tree_gives_an_empty_list(repo, service_for):
    repo.commit("one", files={"a.txt": "a"})
    assert service_for(repo).get_file_status() == []


def test_porcelain_road_on_a_real_tree(repo, service_for):
    repo.commit("base", files={"mod.txt": "1", "staged.txt": "1", "both.txt": "1", "gone.txt": "1",
                               "unstaged_gone.txt": "1", "old.txt": "moved content\n" * 5, "B.txt": "b"})
    repo.write("mod.txt", "2")
    repo.write("staged.txt", "2")
    repo.write("both.txt", "2")
    repo.write("added.txt", "new")
    repo.git("add", "staged.txt", "both.txt", "added.txt")
    repo.write("both.txt", "3")
    repo.write("added.txt", "edited")
    repo.git("rm", "-q", "gone.txt")
    (repo.path / "unstaged_gone.txt").unlink()
    repo.git("mv", "old.txt", "new.txt")
    repo.write("untracked.txt", "u")
    repo.write("B.txt", "sorts before a.txt")
    repo.write("a.txt", "a")
    repo.write('tab\tand"quote', "q")
    assert rows(service_for(repo).get_file_status()) == [
        ("B.txt", "modified", False, True),
        ("a.txt", "untracked", False, True),
        ("added.txt", "staged", True, True),
        ("both.txt", "modified", True, True),
        ("gone.txt", "deleted", True, False),
        ("mod.txt", "modified", False, True),
        ("new.txt", "renamed", True, False),
        ("staged.txt", "modified", True, False),
        ('tab\tand"quote', "untracked", False, True),
        ("unstaged_gone.txt", "deleted", False, True),
        ("untracked.txt", "untracked", False, True),
    ]


def make_conflict(repo):
    repo.commit("base", files={"both.txt": "base\n"})
    repo.git("checkout", "-q", "-b", "other")
    repo.commit("theirs", files={"both.txt": "theirs\n"})
    repo.git("checkout", "-q", "main")
    repo.commit("ours", files={"both.txt": "ours\n"})
    subprocess.run(["git", "merge", "-q", "other"], cwd=repo.path, capture_output=True, check=False)


def test_merge_conflict_is_modified_on_both_sides_on_either_road(repo, service_for, hide_git):
    make_conflict(repo)
    service = service_for(repo)
    assert rows(service.get_file_status()) == [("both.txt", "modified", True, True)]
    hide_git()
    assert rows(service.get_file_status()) == [("both.txt", "modified", True, True)]


def test_lines_are_read_in_both_shapes(repo, service_for, run_recorder):
    service = service_for(repo)
    run_recorder.answer(("git", "status"), stdout=" M a.txt\n?? b.txt\nMM c.txt\n?? \n  \nA  new.txt\nAM newer.txt\n"
                                                  "R  old.txt -> moved.txt\nD  gone.txt\n D lost.txt\nUU both.txt\n"
                                                  "C  x -> y -> z\nT  typed\n")
    run_recorder.answer(("git", "diff"), stdout="c.txt\nnew.txt\nnewer.txt\nmoved.txt\ngone.txt\ny\n")
    assert rows(service.get_file_status()) == [
        ("", "untracked", False, True),
        ("a.txt", "modified", False, True),
        ("b.txt", "untracked", False, True),
        ("both.txt", "modified", False, True),
        ("c.txt", "modified", True, True),
        ("gone.txt", "deleted", True, False),
        ("lost.txt", "deleted", False, True),
        ("moved.txt", "renamed", True, False),
        ("new.txt", "staged", True, False),
        ("newer.txt", "staged", True, True),
        ("typed", "modified", False, True),
        ("y", "copied", True, False),
    ]
    cwd = str(repo.path.resolve())
    assert run_recorder.calls == [
        (["git", "status", "--porcelain", "-u"], {"capture_output": True, "text": True, "timeout": 10, "cwd": cwd}),
        (["git", "diff", "--cached", "--name-only"], {"capture_output": True, "text": True, "timeout": 5, "cwd": cwd}),
    ]


@pytest.mark.parametrize("diff_answer", [
    {"stdout": "c.txt\n", "returncode": 1},
    {"result": subprocess.TimeoutExpired(["git"], 5)},
    {"stdout": "  \n"},
])
def test_without_a_staged_listing_nothing_is_staged(repo, service_for, run_recorder, diff_answer):
    run_recorder.answer(("git", "status"), stdout="MM c.txt\nA  d.txt")
    run_recorder.answer(("git", "diff"), diff_answer.pop("result", None), **diff_answer)
    assert rows(service_for(repo).get_file_status()) == [("c.txt", "modified", False, True),
                                                         ("d.txt", "staged", False, True)]


def test_failed_status_gives_none_without_the_second_run(repo, service_for, run_recorder):
    run_recorder.answer(("git", "status"), stdout="?? a\n", returncode=128)
    assert service_for(repo).get_file_status() is None
    assert run_recorder.commands == [["git", "status", "--porcelain", "-u"]]


def test_none_for_a_directory_that_stopped_being_a_repository(repo, service_for):
    repo.commit("one", files={"a.txt": "a"})
    service = service_for(repo)
    subprocess.run(["rm", "-rf", str(repo.path / ".git")], check=True)
    assert service.get_file_status() is None


@pytest.mark.parametrize("failure", [subprocess.TimeoutExpired(["git"], 10), FileNotFoundError("git")])
def test_a_git_road_that_raises_falls_back_to_the_scan(repo, service_for, run_recorder, failure):
    repo.write("a.txt", "a")
    run_recorder.answer(("git", "status"), failure)
    assert rows(service_for(repo).get_file_status()) == [("a.txt", "untracked", False, True)]


def test_output_that_cannot_be_read_falls_back_to_the_scan(repo, service_for, run_recorder):
    repo.write("u.txt", "u")
    run_recorder.answer(("git", "status"), stdout=b"?? u.txt\n")
    assert rows(service_for(repo).get_file_status()) == [("u.txt", "untracked", False, True)]


def test_keyboard_interrupt_is_not_a_failure_to_fall_back_from(repo, service_for, run_recorder):
    run_recorder.answer(("git", "status"), KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        service_for(repo).get_file_status()


def test_a_replaced_record_class_is_called_with_keywords(repo, service_for, run_recorder, monkeypatch):
    monkeypatch.setattr(gsc, "FileStatus", lambda **fields: fields)
    run_recorder.answer(("git", "status"), stdout="?? b\n?? a\n")
    assert service_for(repo).get_file_status() == [
        {"path": "a", "status": "untracked", "staged": False, "unstaged": True},
        {"path": "b", "status": "untracked", "staged": False, "unstaged": True}]


# --- the fallback scan -------------------------------------------------------------------------------------


def plain_changes(repo):
    repo.commit("base", files={"mod.txt": "1", "staged.txt": "1", "both.txt": "1", "keep.txt": "k",
                               "src/a.c": "a", "src/deep/b.c": "b"})
    repo.write("mod.txt", "2")
    repo.write("staged.txt", "2")
    repo.write("both.txt", "2")
    repo.write("src/deep/new.c", "new")
    repo.git("add", "staged.txt", "both.txt", "src/deep/new.c")
    repo.write("both.txt", "3")
    repo.write("src/a.c", "changed")
    repo.write("untracked.txt", "u")
    repo.write("fresh/dir/file.txt", "f")


def staged_only(repo):
    repo.commit("base", files={"a.txt": "a"})
    for i in range(5):
        repo.write(f"new{i}/n.txt", str(i))
    repo.git("add", "-A")
    repo.write("a.txt", "edited")


def unborn_and_untracked(repo):
    repo.write("x.txt", "x")
    repo.write("d/y.txt", "y")
    repo.git("add", "x.txt")
    repo.write("z.txt", "z")


@pytest.mark.parametrize("build", [plain_changes, staged_only, unborn_and_untracked])
def test_fallback_scan_gives_the_records_of_the_git_road(repo, service_for, hide_git, build):
    build(repo)
    service = service_for(repo)
    from_git = rows(service.get_file_status())
    assert from_git
    hide_git()
    assert rows(service.get_file_status()) == from_git


def test_paths_git_quotes_name_the_files_on_either_road(repo, service_for, hide_git):
    repo.commit("base", files={"a -> b.txt": "moved\n" * 5, 'we"ird.txt': "1", "back\\slash.txt": "1"})
    repo.write('we"ird.txt', "staged")
    repo.git("add", 'we"ird.txt')
    repo.git("mv", "a -> b.txt", "c -> d.txt")
    repo.write("back\\slash.txt", "changed")
    for name in ["name with space.txt", "caf\u00e9.txt", "tab\there.txt"]:
        repo.write(name, "new")
    service = service_for(repo)
    from_git = rows(service.get_file_status())
    assert from_git == [
        ("back\\slash.txt", "modified", False, True),
        ("c -> d.txt", "renamed", True, False),
        ("caf\u00e9.txt", "untracked", False, True),
        ("name with space.txt", "untracked", False, True),
        ("tab\there.txt", "untracked", False, True),
        ('we"ird.txt', "modified", True, False),
    ]
    assert all((repo.path / path).exists() for path, *_ in from_git)
    hide_git()
    # The scan sees the rename as the new path added to the index, and it
    # reads every backslash of a walked path as a separator.
    assert rows(service.get_file_status()) == [("back/slash.txt", "untracked", False, True)] + [
        ("c -> d.txt", "staged", True, False) if row[0] == "c -> d.txt" else row for row in from_git[1:]]


def test_quoted_paths_that_are_not_utf8_decode_as_file_names(repo, service_for, hide_git):
    repo.commit("base")
    name = os.fsdecode(b"lat\xe9.txt")
    repo.write(name, "x")
    service = service_for(repo)
    from_git = rows(service.get_file_status())
    assert from_git == [(name, "untracked", False, True)]
    hide_git()
    assert rows(service.get_file_status()) == from_git


def test_paths_beyond_utf8_sort_by_code_point_and_keep_their_staged_side(repo, service_for, hide_git, monkeypatch):
    # A name that is not UTF-8 decodes to a lone surrogate, which sorts
    # between the BMP's letters and its private use area; both roads key
    # such paths alike, and git's staged listing confirms a staged one.
    repo.commit("base")
    names = ["latz.txt", os.fsdecode(b"lat\xe9.txt"), "lat\ue000.txt", "lat\U0001F600.txt"]
    for name in names:
        os.close(os.open(os.fsencode(repo.path) + b"/" + os.fsencode(name), os.O_CREAT | os.O_WRONLY))
    service = service_for(repo)
    untracked = [(name, "untracked", False, True) for name in names]
    assert rows(service.get_file_status()) == untracked
    path = os.environ["PATH"]
    hide_git()
    assert rows(service.get_file_status()) == untracked
    monkeypatch.setenv("PATH", path)
    repo.git("add", "--", names[1])
    assert rows(service.get_file_status()) == [
        (name, "staged", True, False) if name == names[1] else (name, "untracked", False, True) for name in names]


def test_scan_edge_cases(repo, service_for, hide_git):
    repo.commit("base", files={"reverted.txt": "head", "dropped.txt": "same", "dropped_changed.txt": "x",
                               ".hidden/secret.txt": "s", "dist/tracked.txt": "t", "gone.txt": "g"})
    repo.write("reverted.txt", "staged")
    repo.git("add", "reverted.txt")
    repo.write("reverted.txt", "head")
    repo.git("rm", "-q", "--cached", "dropped.txt", "dropped_changed.txt")
    repo.write("dropped_changed.txt", "changed")
    repo.write(".hidden/secret.txt", "changed and staged")
    repo.git("add", ".hidden/secret.txt")
    repo.write(".hidden/other.txt", "untracked but hidden")
    repo.write(".dotfile", "hidden")
    repo.write("dist/tracked.txt", "changed where the walk never looks")
    repo.write("node_modules/pkg/index.js", "skipped")
    repo.write("debug.log", "ignored")
    repo.write(".gitignore", "*.log\n")
    (repo.path / "gone.txt").unlink()
    hide_git()
    assert rows(service_for(repo).get_file_status()) == [
        (".hidden/secret.txt", "modified", True, False),
        ("dropped_changed.txt", "modified", False, True),
        ("gone.txt", "deleted", True, False),
        ("reverted.txt", "modified", True, False),
    ]


def test_scan_with_an_unreadable_index_compares_the_tree_with_head_only(repo, service_for, hide_git):
    repo.commit("one", files={"same.txt": "s", "changed.txt": "c", "gone.txt": "g"})
    repo.write("changed.txt", "edited")
    (repo.path / "gone.txt").unlink()
    repo.write("new.txt", "n")
    (repo.path / ".git" / "index").write_bytes(b"not an index")
    hide_git()
    assert rows(service_for(repo).get_file_status()) == [
        ("changed.txt", "modified", False, True), ("new.txt", "untracked", False, True)]


def test_scan_without_commits_reports_every_indexed_file_as_staged(repo, service_for, hide_git):
    repo.write("b.txt", "b")
    repo.write("a/c.txt", "c")
    repo.git("add", "-A")
    repo.write("a/c.txt", "edited")
    repo.write("u.txt", "u")
    hide_git()
    assert rows(service_for(repo).get_file_status()) == [
        ("a/c.txt", "modified", True, True), ("b.txt", "staged", True, False), ("u.txt", "untracked", False, True)]


def test_scan_meets_index_head_and_disk_paths_beyond_ascii(repo, service_for, hide_git):
    repo.commit("names", files={"ünï/çafé.txt": "same", "日本.txt": "old"})
    repo.write("日本.txt", "new")
    os.close(os.open(os.fsencode(repo.path) + b"/caf\xe9.txt", os.O_CREAT | os.O_WRONLY))
    hide_git()
    assert rows(service_for(repo).get_file_status()) == [
        ("caf\udce9.txt", "untracked", False, True), ("日本.txt", "modified", False, True)]


def test_scan_uses_a_module_level_read_ref_where_dulwich_has_one(repo, service_for, hide_git, monkeypatch):
    import dulwich.refs
    head = repo.commit("one", files={"a.txt": "a"})
    calls = []

    def read_ref(repo_object, name):
        calls.append(name)
        return bytes.fromhex(head)

    monkeypatch.setattr(dulwich.refs, "read_ref", read_ref, raising=False)
    service = service_for(repo)
    hide_git()
    assert service.get_file_status() == []
    assert calls == [b"HEAD"]
    monkeypatch.setattr(dulwich.refs, "read_ref", lambda repo_object, name: head.encode())  # not 20 long
    assert rows(service.get_file_status()) == [("a.txt", "staged", True, False)]


def test_scan_compares_tracked_links_as_git_stores_them(repo, service_for, hide_git):
    repo.write("target.txt", "t")
    os.symlink("target.txt", repo.path / "same")
    os.symlink("target.txt", repo.path / "retargeted")
    os.symlink("missing", repo.path / "dangling")
    os.symlink("src", repo.path / "dirlink")
    repo.write("src/a.c", "a")
    repo.commit("links")
    (repo.path / "retargeted").unlink()
    os.symlink("src/a.c", repo.path / "retargeted")
    repo.write("target.txt", "target changed")
    os.symlink("src", repo.path / "untracked_link")
    hide_git()
    assert rows(service_for(repo).get_file_status()) == [
        ("retargeted", "modified", False, True),
        ("target.txt", "modified", False, True),
        ("untracked_link/a.c", "untracked", False, True),
    ]


def test_scan_does_not_reenter_a_directory_through_a_link_cycle(repo, service_for, hide_git):
    repo.commit("one", files={"a/b/f.txt": "f"})
    os.symlink("..", repo.path / "a" / "b" / "up")
    os.symlink(str(repo.path), repo.path / "a" / "root")
    repo.write("a/b/new.txt", "n")
    hide_git()
    assert rows(service_for(repo).get_file_status()) == [("a/b/new.txt", "untracked", False, True)]


def test_scan_enters_a_directory_through_links_once(repo, service_for, hide_git):
    # Two links at every level of a 30-deep chain: followed naively, 2**30 walks.
    repo.commit("one", files={"keep.txt": "k"})
    depth = 30
    for level in range(depth):
        (repo.path / f"d{level}").mkdir()
        repo.write(f"d{level}/f.txt", str(level))
    for level in range(depth - 1):
        for name in ("x", "y"):
            os.symlink(f"../d{level + 1}", repo.path / f"d{level}" / name)
    hide_git()
    paths = [r[0] for r in rows(service_for(repo).get_file_status())]
    # Every directory is still walked where it stands; one reached through
    # links is walked under the first link the walk took, and no other.
    assert {f"d{level}/f.txt" for level in range(depth)} <= set(paths)
    assert len(paths) == len(set(paths)) <= 2 * depth


def test_a_link_under_an_ignored_name_does_not_use_up_its_directory(repo, service_for, hide_git, tmp_path):
    repo.commit("one", files={"keep.txt": "k"})
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "f.txt").write_text("f")
    os.symlink(outside, repo.path / "build")  # an always-skipped name: cut before it is listed
    os.symlink(outside, repo.path / "shared")
    hide_git()
    assert rows(service_for(repo).get_file_status()) == [("shared/f.txt", "untracked", False, True)]


def test_scan_skips_a_pipe_where_a_tracked_file_was(repo, service_for, hide_git):
    repo.commit("one", files={"pipe": "was a file", "a.txt": "a"})
    (repo.path / "pipe").unlink()
    os.mkfifo(repo.path / "pipe")
    repo.write("a.txt", "b")
    hide_git()
    assert rows(service_for(repo).get_file_status()) == [("a.txt", "modified", False, True)]


def test_permission_error_abandons_only_that_directory(repo, hide_git):
    repo.commit("one", files={"locked/inner/f.txt": "f", "open/g.txt": "g"})
    repo.write("open/new.txt", "n")
    repo.write("locked/inner/new.txt", "hidden by the failure")

    class Refusing(GitServiceCython):
        def _is_directory_ignored(self, dir_path, compiled_patterns):
            if dir_path == "locked/inner":
                raise PermissionError(dir_path)
            return super()._is_directory_ignored(dir_path, compiled_patterns)

    hide_git()
    assert rows(Refusing(str(repo.path)).get_file_status()) == [("open/new.txt", "untracked", False, True)]


@pytest.mark.skipif(os.geteuid() == 0, reason="directory permissions do not stop root")
def test_unreadable_directory_is_skipped(repo, service_for, hide_git):
    repo.write("locked/f.txt", "f")
    repo.write("open/g.txt", "g")
    (repo.path / "locked").chmod(0)
    hide_git()
    try:
        assert rows(service_for(repo).get_file_status()) == [("open/g.txt", "untracked", False, True)]
    finally:
        (repo.path / "locked").chmod(0o755)


def test_scan_errors_outside_its_handlers_leave_the_method(repo, hide_git):
    repo.write("u.txt", "u")

    class Broken(GitServiceCython):
        def _is_path_ignored(self, file_path, compiled_patterns):
            raise RuntimeError("broken matcher")

    hide_git()
    with pytest.raises(RuntimeError, match="broken matcher"):
        Broken(str(repo.path)).get_file_status()


def test_scan_records_are_built_once_each_through_the_record_class(repo, service_for, hide_git, monkeypatch):
    repo.commit("one", files={"a.txt": "a"})
    repo.write("a.txt", "staged")
    repo.git("add", "a.txt")
    repo.write("a.txt", "and edited")
    made = []
    monkeypatch.setattr(gsc, "FileStatus", lambda **fields: made.append(fields) or types.SimpleNamespace(**fields))
    hide_git()
    assert rows(service_for(repo).get_file_status()) == [("a.txt", "modified", True, True)]
    assert made == [{"path": "a.txt", "status": "modified", "staged": True, "unstaged": True}]


# --- the index's stat data, trusted as git trusts it -------------------------------------------------------
#
# Where a file's stat data is still what the index recorded, the native scan
# takes its content to be the entry's id without reading it; the library's
# road hashes every file, as the scan's rules state. Where a file's content
# changed through the file system, both roads must see the change.

PAST = 1_600_000_000 * 10**9  # a modification time well before any index write


class LibraryRepo(Repo):
    """dulwich's Repo under another name: the scan then reads the index through dulwich."""


def both_roads(repo):
    """The scan's rows on the native road and on dulwich's (git already hidden)."""
    native = GitServiceCython(str(repo.path))
    library = GitServiceCython(str(repo.path))
    library.__setstate__((LibraryRepo(str(repo.path)), repo.path.resolve()))
    return rows(native.get_file_status()), rows(library.get_file_status())


def index_file(repo):
    return repo.path / ".git" / "index"


def recorded_stat(path):
    """The stat data git records for the file at `path`, as dulwich writes it."""
    st = os.lstat(path)
    return {"ctime": divmod(st.st_ctime_ns, 10**9), "mtime": divmod(st.st_mtime_ns, 10**9),
            "dev": st.st_dev & 0xFFFFFFFF, "ino": st.st_ino & 0xFFFFFFFF, "uid": st.st_uid, "gid": st.st_gid,
            "size": st.st_size}


def rewrite_entries(repo, change):
    """Rewrites every index entry through dulwich: change(path, entry) gives its new fields."""
    index = Index(str(index_file(repo)))
    for path, entry in list(index.items()):
        index[path] = dataclasses.replace(entry, **change(path.decode(), entry))
    index.write()


def set_index_time(repo, ns):
    os.utime(index_file(repo), ns=(ns, ns))


def committed_in_the_past(repo, files):
    """Commits `files` with modification times long before the index is written: not racily clean."""
    for path, content in files.items():
        os.utime(repo.write(path, content), ns=(PAST, PAST))
    repo.commit("base")


def test_a_change_within_the_second_the_index_was_written_is_hashed(repo, hide_git):
    committed_in_the_past(repo, {"a.txt": "one\n", "b.txt": "b\n"})
    # "a.txt" rewritten with the same size while git recorded its stat data:
    # the index holds the old content's id with the new file's stat data.
    repo.write("a.txt", "two\n")
    rewrite_entries(repo, lambda path, entry: recorded_stat(repo.path / path) if path == "a.txt" else {})
    written = os.lstat(repo.path / "a.txt").st_mtime_ns
    second = written - written % 10**9
    hide_git()
    changed = [("a.txt", "modified", False, True)]
    for index_time in (written, second, second + 10**9 - 1):
        set_index_time(repo, index_time)
        assert both_roads(repo) == (changed, changed)
    # An index written in a later second vouches for the stat data it holds,
    # as git lets it; only the hashing road still reads the file.
    set_index_time(repo, second + 10**9)
    assert both_roads(repo) == ([], changed)


def test_a_file_whose_mtime_was_set_back_is_hashed(repo, hide_git):
    committed_in_the_past(repo, {"a.txt": "one\n", "kept.txt": "k\n"})
    time.sleep(0.05)  # the rewrite's ctime falls in a later clock tick than the commit's
    repo.write("a.txt", "two\n")
    os.utime(repo.path / "a.txt", ns=(PAST, PAST))
    # Only the ctime tells the file from the one the index recorded.
    entry, now = Index(str(index_file(repo)))[b"a.txt"], recorded_stat(repo.path / "a.txt")
    assert (entry.mtime, entry.size, entry.ino) == (now["mtime"], now["size"], now["ino"])
    assert entry.ctime != now["ctime"]
    hide_git()
    # (A git that compares times to the second misses this change within one.)
    changed = [("a.txt", "modified", False, True)]
    assert both_roads(repo) == (changed, changed)


def test_entries_without_stat_data_are_hashed(repo, service_for, hide_git):
    committed_in_the_past(repo, {"same.txt": "s\n", "changed.txt": "one\n", "dir/deep.txt": "d\n"})
    repo.write("changed.txt", "two\n")
    repo.write("dir/deep.txt", "e\n")
    from_git = rows(service_for(repo).get_file_status())
    zeros = {"ctime": 0, "mtime": 0, "dev": 0, "ino": 0, "uid": 0, "gid": 0, "size": 0}
    rewrite_entries(repo, lambda path, entry: zeros)
    hide_git()
    assert both_roads(repo) == (from_git, from_git)
    assert [row[0] for row in from_git] == ["changed.txt", "dir/deep.txt"]


def test_assume_unchanged_and_skip_worktree_entries_are_hashed(repo, hide_git):
    committed_in_the_past(repo, {"assumed.txt": "one\n", "skipped.txt": "one\n", "plain.txt": "one\n"})
    repo.git("update-index", "--assume-unchanged", "assumed.txt")
    repo.git("update-index", "--skip-worktree", "skipped.txt")
    # All three rewritten while their stat data stays what the index holds.
    for path in ("assumed.txt", "skipped.txt", "plain.txt"):
        repo.write(path, "two\n")
    rewrite_entries(repo, lambda path, entry: recorded_stat(repo.path / path))
    set_index_time(repo, time.time_ns() + 10**9)
    assert repo.git("ls-files", "-v").split() == ["h", "assumed.txt", "H", "plain.txt", "S", "skipped.txt"]
    hide_git()
    native, hashed = both_roads(repo)
    assert hashed == [("assumed.txt", "modified", False, True), ("plain.txt", "modified", False, True),
                      ("skipped.txt", "modified", False, True)]
    # The one file whose stat data git checks is taken at its word.
    assert native == [row for row in hashed if row[0] != "plain.txt"]


def test_files_stored_through_a_conversion_answer_as_git_does(repo, service_for, hide_git):
    # The index holds the id of the converted content, with the stat data of
    # the file on disk: the hashing road sees the raw bytes differ from it.
    repo.git("config", "core.autocrlf", "true")
    committed_in_the_past(repo, {"crlf.txt": "a\r\nb\r\n", "plain.txt": "p\n"})
    from_git = rows(service_for(repo).get_file_status())
    assert from_git == []
    hide_git()
    assert both_roads(repo) == ([], [("crlf.txt", "modified", False, True)])


@pytest.mark.skipif(os.geteuid() == 0, reason="file permissions do not stop root")
def test_a_file_that_cannot_be_read_is_skipped_even_where_its_stat_data_vouches(repo, hide_git):
    repo.commit("base", files={"a.txt": "one\n"})
    repo.write("a.txt", "staged\n")
    repo.git("add", "a.txt")
    (repo.path / "a.txt").chmod(0)
    rewrite_entries(repo, lambda path, entry: recorded_stat(repo.path / path))
    set_index_time(repo, time.time_ns() + 10**9)
    hide_git()
    try:
        # The staged change is not reported: the file cannot be read.
        assert both_roads(repo) == ([], [])
    finally:
        (repo.path / "a.txt").chmod(0o644)


# --- repositories nested in the working tree ---------------------------------------------------------------


def add_submodule(repo, source, path):
    repo.git("-c", "protocol.file.allow=always", "submodule", "add", "-q", str(source.path), path)


def test_scan_sees_nested_repositories_as_git_does(repo, make_repo, service_for, hide_git):
    lib = make_repo("lib")
    first = lib.commit("one", files={"s.txt": "1"})
    lib.commit("two", files={"s.txt": "2"})
    repo.commit("base", files={"t.txt": "t", "half/kept.txt": "k", ".gitignore": "skipped/\n"})
    own = init_repo(repo.path / "own")  # its .git a directory, added as a gitlink
    own.commit("own", files={"o.txt": "o"})
    for path in ("clean", "moved", "deep/packed", "packed_moved", "chain", "uninitialised"):
        add_submodule(repo, lib, path)
    repo.git("add", "own")
    repo.commit("nested")
    # HEAD detached at another commit; branches packed; a chain of symbolic refs.
    repo.git("-C", "moved", "checkout", "-q", first)
    repo.git("-C", "deep/packed", "pack-refs", "--all")
    repo.git("-C", "packed_moved", "reset", "-q", "--hard", first)
    repo.git("-C", "packed_moved", "pack-refs", "--all")
    repo.git("-C", "chain", "branch", "-q", "other", first)
    repo.git("-C", "chain", "symbolic-ref", "refs/heads/alias", "refs/heads/other")
    repo.git("-C", "chain", "symbolic-ref", "HEAD", "refs/heads/alias")
    repo.git("submodule", "deinit", "-q", "-f", "uninitialised")
    own.commit("moved on", files={"o.txt": "p"})
    # A gitlink whose repository has no commit: its HEAD names nothing.
    init_repo(repo.path / "unborn")
    repo.git("update-index", "--add", "--cacheinfo", f"160000,{first},unborn")
    repo.git("commit", "-q", "-m", "unborn")
    # Repositories the index knows nothing of, one in a linked worktree, one
    # ignored; and one where the index has files, which git walks into.
    init_repo(repo.path / "nested").write("x.txt", "x")
    init_repo(repo.path / "back\\slash")
    init_repo(repo.path / "vendor/lib").write("y.txt", "y")
    repo.git("worktree", "add", "-q", "inner/wt")
    init_repo(repo.path / "skipped").write("z.txt", "z")
    init_repo(repo.path / "half")
    repo.write("half/new.txt", "n")
    from_git = rows(service_for(repo).get_file_status())
    assert from_git == [
        ("back\\slash/", "untracked", False, True),
        ("chain", "modified", False, True),
        ("half/new.txt", "untracked", False, True),
        ("inner/wt/", "untracked", False, True),
        ("moved", "modified", False, True),
        ("nested/", "untracked", False, True),
        ("own", "modified", False, True),
        ("packed_moved", "modified", False, True),
        ("vendor/lib/", "untracked", False, True),
    ]
    hide_git()
    assert both_roads(repo) == (from_git, from_git)


def test_scan_keeps_its_rows_for_a_submodule_without_a_checkout(repo, make_repo, hide_git):
    lib = make_repo("lib")
    lib.commit("one", files={"s.txt": "1"})
    repo.commit("base", files={"t.txt": "t"})
    add_submodule(repo, lib, "sub")
    repo.commit("sub")
    subprocess.run(["rm", "-rf", str(repo.path / "sub")], check=True)
    hide_git()
    # As for any indexed path missing from the disk (git shows " D sub").
    assert both_roads(repo) == ([("sub", "deleted", True, False)],) * 2
