"""Hypothesis settings for the property suites: quick in every run, long under
`make fuzz` (HYPOTHESIS_PROFILE=fuzz), a tenth of the quick count under
emulation (HYPOTHESIS_PROFILE=emulated, set by `make arm64-module-check`,
where Python runs 6 to 90 times slower: the same properties, fewer cases)."""

from __future__ import annotations

import os

from hypothesis import HealthCheck, settings

SUPPRESSED = [HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.function_scoped_fixture]


def examples(ci: int, fuzz: int) -> settings:
    """`ci` examples per property in every run, `fuzz` under the long profile."""
    profile = os.environ.get("HYPOTHESIS_PROFILE", "ci")
    count = {"fuzz": fuzz, "emulated": max(ci // 10, 5)}.get(profile, ci)
    return settings(max_examples=count, deadline=None, database=None, print_blob=True,
                    suppress_health_check=SUPPRESSED)
