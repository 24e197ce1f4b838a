"""Where the tests of the wendrel module find the corpus of real streams and
the C interface's dump of a stream (wendrel_dump_model)."""

import os
from pathlib import Path

import pytest

# WENDREL_CORPUS when it is set, else the corpus beside the project.
_chosen = os.environ.get("WENDREL_CORPUS")
CORPUS = Path(_chosen) if _chosen else (Path(__file__).resolve().parents[2] / ".." / "shared" / "corpus").resolve()
CORPUS_FILES = sorted(CORPUS.glob("*.tnef")) if CORPUS.is_dir() else []


def skip_without_corpus(request):
    reason = f"no corpus at {CORPUS}"
    # One line per test in the run's log of skips, which ctest sums up at its end.
    log = os.environ.get("WENDREL_SKIP_LOG")
    if log:
        with open(log, "a", encoding="utf-8") as file:
            file.write(f"Python.{request.node.name}\t{reason}\n")
    pytest.skip(reason + "; WENDREL_CORPUS names a directory of real TNEF streams")


def pytest_generate_tests(metafunc):
    if "corpus_file" in metafunc.fixturenames:
        metafunc.parametrize("corpus_file", CORPUS_FILES or [None], indirect=True,
                             ids=[path.name for path in CORPUS_FILES] or ["no-corpus"])


@pytest.fixture
def corpus_file(request):
    """Each stream of the corpus in turn."""
    if request.param is None:
        skip_without_corpus(request)
    return request.param


@pytest.fixture
def corpus(request):
    """All the streams of the corpus, as bytes."""
    if not CORPUS_FILES:
        skip_without_corpus(request)
    return [path.read_bytes() for path in CORPUS_FILES]


@pytest.fixture(scope="session")
def dump_model():
    program = os.environ.get("WENDREL_DUMP_MODEL")
    if not program:
        pytest.skip("WENDREL_DUMP_MODEL does not name wendrel_dump_model (ctest sets it)")
    return program
