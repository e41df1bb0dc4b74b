"""The configuration is found as linters find theirs: `tarnwick.toml`, or `[tool.tarnwick]` in a
`pyproject.toml`, in the folder a run starts in or the nearest parent up to the repository's
root, and every report says which one it used or that it used none. The configuration used is
seen by its effect: a RAM budget of 30% makes the example's RAM (36.6%) a budget finding."""

from __future__ import annotations

import json
import os
import re
from pathlib import Path

import pytest

from tarnwick.app.cli import main

ROOT = Path(__file__).resolve().parent.parent
MAP = ROOT / "examples" / "firmware" / "maps" / "gnu_ld.map"
BUDGET = "[budgets.ram]\nRAM = 0.30\n"
OTHER = "[budgets.ram]\nRAM = 0.50\n"  # passed by nothing: no finding

# files laid out under a temporary folder -> (folder the run starts in, the file it must use or None)
LAYOUTS = {
    "tarnwick.toml in the folder": ({"repo/.git/": "", "repo/tarnwick.toml": BUDGET}, "repo", "repo/tarnwick.toml"),
    "tarnwick.toml in a parent": ({"repo/.git/": "", "repo/tarnwick.toml": BUDGET, "repo/fw/app/x": ""},
                                  "repo/fw/app", "repo/tarnwick.toml"),
    "the nearest of two": ({"repo/.git/": "", "repo/tarnwick.toml": OTHER, "repo/fw/tarnwick.toml": BUDGET,
                            "repo/fw/app/x": ""}, "repo/fw/app", "repo/fw/tarnwick.toml"),
    "pyproject with the table": ({"repo/.git/": "", "repo/pyproject.toml": "[project]\nname = 'x'\n\n[tool.tarnwick."
                                  "budgets.ram]\nRAM = 0.30\n", "repo/fw/x": ""}, "repo/fw", "repo/pyproject.toml"),
    "pyproject without it is passed over": ({"repo/.git/": "", "repo/tarnwick.toml": BUDGET,
                                             "repo/fw/pyproject.toml": "[project]\nname = 'x'\n"},
                                            "repo/fw", "repo/tarnwick.toml"),
    "pyproject naming the table by escapes": ({"repo/.git/": "", "repo/pyproject.toml": "[tool.\"\\u0074arnwick\"."
                                               "budgets.ram]\nRAM = 0.30\n"}, "repo", "repo/pyproject.toml"),
    "a broken pyproject of another tool is passed over": ({"repo/.git/": "", "repo/tarnwick.toml": BUDGET,
                                                           "repo/fw/pyproject.toml": "[project\nname = "},
                                                          "repo/fw", "repo/tarnwick.toml"),
    "tarnwick.toml before pyproject": ({"repo/.git/": "", "repo/tarnwick.toml": BUDGET,
                                        "repo/pyproject.toml": "[tool.tarnwick.budgets.ram]\nRAM = 0.50\n"},
                                       "repo", "repo/tarnwick.toml"),
    "not above the repository's root": ({"tarnwick.toml": BUDGET, "repo/.git": "gitdir: elsewhere\n",
                                         "repo/fw/x": ""}, "repo/fw", None),
    "outside a repository, the folder alone": ({"tarnwick.toml": BUDGET, "work/x": ""}, "work", None),
}


def _lay_out(root: Path, files: dict) -> None:
    for name, text in files.items():
        path = root / name
        if name.endswith("/"):
            path.mkdir(parents=True, exist_ok=True)
            continue
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
def test_the_configuration_is_found_and_every_report_names_it(tmp_path, capsys, monkeypatch, layout):
    files, start, expected = LAYOUTS[layout]
    _lay_out(tmp_path, files)
    monkeypatch.chdir(tmp_path / start)
    for name in ("GITHUB_ACTIONS", "TF_BUILD"):
        monkeypatch.delenv(name, raising=False)
    report = tmp_path / "report.json"
    code = main(["analyze", str(MAP), "--format", "text", "--top", "0", "--also", f"json={report}",
                 "--also", f"junit={tmp_path / 'r.junit'}", "--also", f"sarif={tmp_path / 'r.sarif'}"])
    out, err = capsys.readouterr()
    assert code == 0, err
    document = json.loads(report.read_text())
    used = document["inputs"]["configuration"]
    assert (Path(used).resolve() if used else None) == ((tmp_path / expected).resolve() if expected else None)
    budget_found = any(issue["id"] == "budget.RAM" for issue in document["issues"])
    assert budget_found == (expected is not None and BUDGET in (tmp_path / expected).read_text()
                            or layout in ("pyproject with the table", "pyproject naming the table by escapes"))
    line = next(line for line in out.splitlines() if line.startswith("Configuration: "))
    assert line == (f"Configuration: {used}" if used else "Configuration: none (the defaults)")
    assert re.search(r'<property name="configuration" value="([^"]*)"/>', (tmp_path / "r.junit").read_text())[1] == (
        used or "none (the defaults)")
    assert json.loads((tmp_path / "r.sarif").read_text())["runs"][0]["properties"]["configuration"] == used


def test_a_named_configuration_wins_over_the_one_found(tmp_path, capsys, monkeypatch):
    _lay_out(tmp_path, {".git/": "", "tarnwick.toml": BUDGET, "other.toml": OTHER})
    monkeypatch.chdir(tmp_path)
    code = main(["analyze", str(MAP), "--config", "other.toml", "--format", "json"])
    document = json.loads(capsys.readouterr().out)
    assert code == 0 and document["inputs"]["configuration"] == "other.toml"
    assert not any(issue["id"] == "budget.RAM" for issue in document["issues"])


@pytest.mark.parametrize("text, words", [
    ("[tool.tarnwick\nbroken", "not valid TOML"),
    ("[tool.tarnwick.budgets]\nram = 3\n", "budgets.ram"),
])
def test_a_broken_pyproject_table_is_bad_input(tmp_path, capsys, monkeypatch, text, words):
    _lay_out(tmp_path, {".git/": "", "pyproject.toml": text})
    monkeypatch.chdir(tmp_path)
    code = main(["analyze", str(MAP)])
    err = capsys.readouterr().err
    assert code == 2 and "pyproject.toml" in err and words in err and len(err.splitlines()) == 1


def test_markdown_and_html_say_which_configuration(tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    main(["analyze", str(MAP), "--format", "markdown"])
    assert "\n_Configuration: none \\(the defaults\\)_\n" in capsys.readouterr().out
    (tmp_path / "tarnwick.toml").write_text(BUDGET)
    main(["analyze", str(MAP), "--format", "html"])
    assert "<li>configuration: <code>tarnwick.toml</code></li>" in capsys.readouterr().out
    assert os.getcwd() == str(tmp_path)
