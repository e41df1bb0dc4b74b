from pathlib import Path

import pytest

from corpus_outcomes import DEFAULT_SUMMARY, baseline_outcome, map_outcome

CORPUS = Path(__file__).resolve().parent / "corpus"


@pytest.mark.parametrize("path", sorted([*(CORPUS / "maps").glob("*.bin"), *(CORPUS / "elf").glob("*.bin")]),
                         ids=lambda p: f"{p.parent.name}-{p.stem}")
def test_map_corpus(path):
    assert map_outcome(path) is None


@pytest.mark.parametrize("path", sorted((CORPUS / "baselines").glob("*.bin")), ids=lambda p: p.stem)
def test_baseline_corpus(path):
    assert baseline_outcome(DEFAULT_SUMMARY, path) is None
