"""Threads: two services on two repositories, used from two threads at once,
answer as they do one after the other, and a thread waiting for git does not
hold the other back.

The merge base and the decorations change the process's current directory
while git runs (and the full-history listing asks for the merge base), so
they are left out: no host may overlap them with anything else."""

import os
import sys
import threading
import time

import pytest
from git_service_cython import GitServiceCython
from hardening_helpers import REAL_GIT, build_rich, call_all, intact_trees, method_calls, slowdown, stand_in_git

CHANGES_DIRECTORY = {"get_merge_base", "get_commit_refs_from_git_log", "list_commits feature"}
ROUNDS = 4


def comparable(outcomes):
    """Outcomes with exceptions replaced by their type and text, so that equal failures compare equal."""
    return {name: (type(value), str(value)) if isinstance(value, BaseException) else value
            for name, value in outcomes.items()}


@pytest.fixture
def two(tmp_path):
    """Two different repositories, each with a service and its calls."""
    pair = []
    for name, extra in (("one", 0), ("two", 3)):
        rich = build_rich(tmp_path / name)
        for i in range(extra):
            rich.ids["main"] = rich.repo.commit(f"more {i}", files={f"more{i}.txt": f"{i}\n"})
        calls = {key: call for key, call in method_calls(rich, intact_trees(rich)).items()
                 if key not in CHANGES_DIRECTORY}
        pair.append((rich, GitServiceCython(str(rich.path)), calls))
    return pair


@pytest.fixture
def fine_switching():
    """Lets the host switch threads as often as it can, for the most interleavings."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(interval)


@pytest.mark.parametrize("road", ["git", "no git"])
def test_two_services_in_two_threads_answer_as_one_after_the_other(two, request, road, fine_switching):
    if road == "no git":
        request.getfixturevalue("no_git")
    expected = [comparable(call_all(service, calls)) for _, service, calls in two]
    assert expected[0] != expected[1]
    before = os.getcwd()
    start = threading.Barrier(2)
    seen = [[], []]

    def work(index):
        _, service, calls = two[index]
        start.wait()
        for _ in range(ROUNDS):
            seen[index].append(comparable(call_all(service, calls)))

    threads = [threading.Thread(target=work, args=(index,)) for index in (0, 1)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert not any(thread.is_alive() for thread in threads)
    for index in (0, 1):
        assert len(seen[index]) == ROUNDS
        for outcomes in seen[index]:
            assert outcomes == expected[index]
    assert os.getcwd() == before


def test_a_thread_waiting_for_git_does_not_hold_the_other(two, tmp_path, monkeypatch):
    (slow, slow_service, _), (_, quick_service, quick_calls) = two
    # git takes two seconds (more where the run is slower, but less than the
    # diff's ten-second limit) in the first repository and answers at once in
    # the second.
    wait = min(2 * slowdown(), 8)
    slow_root = str(slow.path.resolve())
    bin_dir = stand_in_git(tmp_path / "bin", otherwise=(
        f'[ "$(pwd -P)" = "{slow_root}" ] && sleep {wait:g}\nexec {REAL_GIT} "$@"'))
    monkeypatch.setenv("PATH", f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    quick_calls = {name: quick_calls[name] for name in ("list_branches", "get_branch_info", "list_commits main",
                                                        "get_file_status", "count_commits main", "list_tags")}
    expected = comparable(call_all(quick_service, quick_calls))
    plain_diff = slow_service.get_commit_diff(slow.ids["main"])

    result = {}
    waiting = threading.Thread(target=lambda: result.update(diff=slow_service.get_commit_diff(slow.ids["main"])))
    started = time.monotonic()
    waiting.start()
    done = []
    while waiting.is_alive():
        outcomes = comparable(call_all(quick_service, quick_calls))
        assert outcomes == expected
        done.append(time.monotonic())
    waiting.join()
    finished = time.monotonic()

    assert result["diff"] == plain_diff and finished - started >= wait
    # Rounds completed while the other thread was still waiting for its git
    # (under emulation a round takes seconds: one is enough to show it).
    assert len([t for t in done if t < finished - 0.2]) >= (3 if slowdown() == 1 else 1)
