"""The soak reuses the functional tests' framework (proxy runner, fake daemons) and prints the
figures it measured at the end of the run; with SOAK_REPORT=<file> they are also written there
as JSON."""

import json
import os
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "functional"))

_figures: dict = {}


@pytest.fixture(scope="session")
def figures() -> dict:
    return _figures


def pytest_terminal_summary(terminalreporter):
    if not _figures:
        return
    terminalreporter.section("soak figures")
    for phase, values in _figures.items():
        terminalreporter.write_line(f"{phase}:")
        for name, value in values.items():
            terminalreporter.write_line(f"    {name}: {value}")
    path = os.environ.get("SOAK_REPORT")
    if path:
        pathlib.Path(path).write_text(json.dumps(_figures, indent=2) + "\n")
