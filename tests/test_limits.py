"""Time limits: with a stand-in git that outlasts every limit, each method gives
its stated fallback or value once its limits have passed, and no process is
left behind.

Each call runs in its own interpreter, all of them at once, so the whole set
takes about as long as its slowest call (the process-wide directory changes of
the merge base and the decorations cannot meet in one process that way)."""

import json
import os
import subprocess
import sys
import textwrap

import pytest
from hardening_helpers import build_rich, long_run, slowdown, stand_in_git

# Runs one call under the stand-in git; prints what it gave, how long it took,
# the stand-in processes still alive and any child process left, then what the
# same call gives with git missing altogether.
CHILD = textwrap.dedent("""
    import json, os, sys, time
    sys.path.insert(0, {tests!r})
    import git_service_cython as gsc
    from hardening_helpers import children_of
    spec = json.loads(sys.argv[1])
    ids = spec["ids"]
    service = gsc.GitServiceCython(spec["repo"])

    def call():
        try:
            return repr(eval(spec["call"]))
        except Exception as error:
            return "raised " + repr(error)

    os.environ["PATH"] = spec["path"]
    started = time.monotonic()
    result = call()
    elapsed = time.monotonic() - started
    with open(spec["pids"]) as handle:
        pids = [int(pid) for pid in handle.read().split()]
    alive = [pid for pid in pids if os.path.exists(f"/proc/{{pid}}")]
    children = children_of(os.getpid())
    os.environ["PATH"] = spec["empty"]
    print(json.dumps({{"result": result, "elapsed": elapsed, "runs": len(pids), "alive": alive,
                      "children": children, "without_git": call()}}))
""").format(tests=os.path.dirname(__file__))

# "$*" patterns of the commands the stand-in answers at once.
FOR_EACH_REF_TAGS = '"for-each-ref refs/tags/ "*'
STASH_LIST = '"stash list"'

SCENARIOS = {
    # Every command outlasts its limit.
    "count of main": ("service.count_commits('main')", 10, {}, None),
    "count of a feature branch": ("service.count_commits('feature')", 10, {}, None),
    "branches": ("service.list_branches()", 5, {}, None),
    "remote branches": ("service.list_remote_branches()", 5, {}, None),
    "merge base": ("service.get_merge_base('feature')", 5, {}, None),
    "full history": ("service.list_commits('feature', show_full_history=True)", 5, {}, None),
    "decorations": ("service.get_commit_refs_from_git_log('main', [ids['main']])", 5, {}, None),
    "commit diff": ("service.get_commit_diff(ids['main'])", 10, {},
                    "'Error: Timeout getting diff for commit {main8}\\n'"),
    "file status": ("service.get_file_status()", 10, {}, None),
    "stash list": ("service.list_stashes()", 5, {}, None),
    "stash diff": ("service.get_stash_diff(0)", 5, {}, None),
    # One command answers; the next outlasts its limit.
    "current branch": ("service.list_branches()", 2, {'"for-each-ref refs/heads/ "*': ("", 1)}, "[]"),
    "tag bodies": ("service.list_tags()", 2, {FOR_EACH_REF_TAGS: ("b|{main}|5||tag\na|{main}|5||tag\n", 0)},
                   ("[TagInfo(name='a', message='', timestamp=5, sha='{main}', is_annotated=True), "
                    "TagInfo(name='b', message='', timestamp=5, sha='{main}', is_annotated=True)]")),
    "stash branch and times": (
        "service.list_stashes()", 6, {STASH_LIST: ("stash@{{0}}: On main: x\nstash@{{1}}: no colon\n", 0)},
        ("[StashInfo(index=0, branch='main', message='x', name='On main: x', sha='', timestamp=0), "
         "StashInfo(index=1, branch='unknown', message='no colon', name='no colon', sha='', timestamp=0)]")),
    "staged list": ("service.get_file_status()", 5, {'"status --porcelain -u"': (" M a.txt\n?? new.txt\n", 0)},
                    ("[FileStatus(path='a.txt', status='modified', staged=False, unstaged=True), "
                     "FileStatus(path='new.txt', status='untracked', staged=False, unstaged=True)]")),
    "stash patch": ("service.get_stash_diff(0)", 5, {'"stash show stash@{0} --stat "*': ("1 file\n", 0)},
                    "('', '1 file')"),
    "count after the merge base": ("service.count_commits('feature')", 10,
                                   {'"merge-base main feature"': ("{second}\n", 0)}, None),
}

# The tag listing waits two minutes for git before it falls back.
LONG_SCENARIOS = {
    "tag names": ("service.list_tags()", 120, {'"tag -l"': ("b\nA\n", 0)},
                  ("[TagInfo(name='A', message='', timestamp=0, sha='', is_annotated=False), "
                   "TagInfo(name='b', message='', timestamp=0, sha='', is_annotated=False)]")),
    "tags": ("service.list_tags()", 130, {}, "[]"),
}


@pytest.fixture
def prepared(tmp_path):
    rich = build_rich(tmp_path / "repo")
    empty = tmp_path / "empty"
    empty.mkdir()
    return rich, empty


def run_all(prepared, tmp_path, scenarios):
    rich, empty = prepared
    ids = dict(rich.ids)
    fill = {"main": ids["main"], "main8": ids["main"][:8], "second": ids["second"]}
    children = {}
    for index, (name, (call, limit, answers, expected)) in enumerate(scenarios.items()):
        pid_file = tmp_path / f"pids-{index}"
        pid_file.touch()
        answers = {pattern: (output.format(**fill), status) for pattern, (output, status) in answers.items()}
        bin_dir = stand_in_git(tmp_path / f"bin-{index}", answers, pid_file=pid_file)
        spec = {"repo": str(rich.path), "ids": ids, "call": call, "pids": str(pid_file), "empty": str(empty),
                "path": f"{bin_dir}{os.pathsep}{os.environ['PATH']}"}
        children[name] = (subprocess.Popen([sys.executable, "-c", CHILD, json.dumps(spec)],
                                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True),
                          limit, expected.format(**fill) if expected else None)
    reports = {}
    for name, (child, limit, expected) in children.items():
        out, err = child.communicate(timeout=limit + 120 * slowdown())
        assert child.returncode == 0, (name, err)
        reports[name] = (json.loads(out), limit, expected)
    return reports


def check(reports):
    problems = {}
    for name, (report, limit, expected) in reports.items():
        wanted = expected if expected is not None else report["without_git"]
        if report["result"] != wanted:
            problems[name] = f"gave {report['result']}, expected {wanted}"
        elif not limit <= report["elapsed"] <= limit + slowdown():
            problems[name] = f"took {report['elapsed']:.2f} s for a limit of {limit} s"
        elif report["alive"] or report["children"]:
            problems[name] = f"left processes behind: {report['alive'] + report['children']}"
        elif report["runs"] == 0:
            problems[name] = "never ran git"
    assert problems == {}


def test_each_method_gives_its_fallback_once_its_limits_pass(prepared, tmp_path):
    check(run_all(prepared, tmp_path, SCENARIOS))


@pytest.mark.skipif(not long_run(), reason="two minutes and more; run by make fuzz")
def test_the_tag_listing_falls_back_after_two_minutes(prepared, tmp_path):
    check(run_all(prepared, tmp_path, LONG_SCENARIOS))
