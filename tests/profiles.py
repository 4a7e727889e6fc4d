"""Hypothesis settings for the property suites: quick in every run, long under
`make fuzz` (HYPOTHESIS_PROFILE=fuzz)."""

from __future__ import annotations

import os

from hypothesis import HealthCheck, settings

SUPPRESSED = [HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.function_scoped_fixture]


def examples(ci: int, fuzz: int) -> settings:
    """`ci` examples per property in every run, `fuzz` under the long profile."""
    count = fuzz if os.environ.get("HYPOTHESIS_PROFILE", "ci") == "fuzz" else ci
    return settings(max_examples=count, deadline=None, database=None, print_blob=True,
                    suppress_health_check=SUPPRESSED)
