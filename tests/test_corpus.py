from pathlib import Path

import pytest

from corpus_outcomes import (
    DEFAULT_SUMMARY, baseline_outcome, config_outcome, map_outcome, partitions_outcome, run_outcome, stack_outcome,
    stored_outcome,
)

CORPUS = Path(__file__).resolve().parent / "corpus"


@pytest.mark.parametrize("path", sorted([*(CORPUS / "maps").glob("*.bin"), *(CORPUS / "elf").glob("*.bin")]),
                         ids=lambda p: f"{p.parent.name}-{p.stem}")
def test_map_corpus(path):
    assert map_outcome(path) is None


@pytest.mark.parametrize("path", sorted((CORPUS / "baselines").glob("*.bin")), ids=lambda p: p.stem)
def test_baseline_corpus(path):
    assert baseline_outcome(DEFAULT_SUMMARY, path) is None


def _command_inputs() -> list:
    return sorted(path for kind in ("runs", "configs", "stored", "stack", "partitions")
                  for path in (CORPUS / kind).glob("*") if path.suffix != ".why")


@pytest.mark.parametrize("path", _command_inputs(), ids=lambda p: f"{p.parent.name}-{p.name}")
def test_command_corpus(tmp_path, path):
    """A saved input through the command that read it: a stack file stands for the example's file
    of the name after its first dot, a partition file is told by its suffix."""
    kind = path.parent.name
    if kind == "runs":
        verdict = run_outcome(path, tmp_path)
    elif kind == "configs":
        verdict = config_outcome(path, tmp_path)
    elif kind == "stored":
        verdict = stored_outcome(path, tmp_path)
    elif kind == "stack":
        verdict = stack_outcome(path, path.name.split(".", 1)[1], tmp_path)
    else:
        verdict = partitions_outcome(path)
    assert verdict is None
