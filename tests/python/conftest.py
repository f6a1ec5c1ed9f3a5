"""Shared fixtures of the Python module's tests: the orvik tool and the source tree."""

import os
import pathlib
import subprocess

import pytest

SOURCE_ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture(scope="session")
def orvik():
    """Runs the orvik tool (its path in ORVIK_TOOL) and returns what it prints."""
    tool = os.environ["ORVIK_TOOL"]

    def run(*arguments):
        return subprocess.run(
            [tool, *arguments], check=True, capture_output=True, text=True
        ).stdout

    return run
