"""Shared by the integration tests: the frameworks' standard suites run here."""

import inspect
import os

import pytest

# Haystack would try to send usage statistics from every pipeline run.
os.environ.setdefault("HAYSTACK_TELEMETRY_ENABLED", "False")


@pytest.hookimpl(hookwrapper=True, trylast=True)
def pytest_pycollect_makeitem(collector, name, obj):
    # The standard suites' async cases carry no asyncio mark (their projects run
    # pytest-asyncio in auto mode): mark the coroutine tests collected here, and
    # only those, before pytest-asyncio looks for the mark.
    if inspect.iscoroutinefunction(obj):
        for mark in (pytest.mark.asyncio,):
            obj.pytestmark = [*getattr(obj, "pytestmark", []), mark.mark]
    yield
