"""Comparing two builds: the example firmware linked twice, the second time with its static
frame buffer grown. The expected change comes from `nm -S` of the two ELF files."""

import json
import re
from pathlib import Path

import pytest

from tarnwick.app.cli import main
from tarnwick.compare.comparison import Footprint, compare_footprints

FIRMWARE = Path(__file__).resolve().parent.parent / "examples" / "firmware"
MAPS = FIRMWARE / "maps"
CONFIG = FIRMWARE / "tarnwick.toml"
OLD, NEW = MAPS / "gnu_ld.map", MAPS / "gnu_ld_ram_overflow.map"


def nm_size(listing: Path, name: str) -> int:
    for line in listing.read_text().splitlines():
        fields = line.split()
        if len(fields) == 4 and fields[3] == name:
            return int(fields[1], 16)
    raise AssertionError(f"{name} not in {listing}")


OLD_BUFFER, NEW_BUFFER = nm_size(MAPS / "gnu_ld.nm.txt", "frame_buffer"), nm_size(MAPS / "gnu_ld_ram_overflow.nm.txt", "frame_buffer")
GROWTH = NEW_BUFFER - OLD_BUFFER


def run(capsys, *args):
    code = main([str(a) for a in args])
    out, err = capsys.readouterr()
    return code, out, err


def html_rows(page: str) -> dict:
    data = json.loads(re.search(r'id="tarnwick-data">(.*?)</script>', page, re.S).group(1))
    strings = data["strings"]
    return {(row[1] or row[0], strings[row[2]]): row for row in data["symbols"]}


@pytest.mark.parametrize("form", ["text", "markdown", "json", "html"])
def test_the_grown_static_buffer_is_named_with_its_exact_change(capsys, form):
    assert GROWTH == 20_480  # the build script grows it from 4,096 to 24,576 bytes
    code, out, _ = run(capsys, "diff", OLD, NEW, "--config", CONFIG, "--format", form)
    assert code == 1  # the grown build overflows RAM, which fails the policy
    if form == "text":
        assert re.search(rf"symbol +\+{GROWTH:,} B +grown +frame_buffer \(main\.o\) +\({OLD_BUFFER:,} B -> {NEW_BUFFER:,} B\)", out)
        assert f"RAM +{GROWTH:,} B" in out and not re.search(r"symbol +~", out)  # exact: read from the ELF
    elif form == "markdown":
        assert f"| 🔺 | +{GROWTH:,} B | `frame_buffer` | `main.o` | {OLD_BUFFER:,} B | {NEW_BUFFER:,} B |" in out
        assert out.index("**Largest growers**") < out.index("**Findings**") < out.index("<details>")
    elif form == "json":
        comparison = json.loads(out)["comparison"]
        assert comparison["symbols"] == [{"name": "frame_buffer", "object_file": "main.o", "baseline": OLD_BUFFER,
                                          "current": NEW_BUFFER, "delta": GROWTH, "change": "grown",
                                          "estimated": False}]
        assert comparison["ram_delta_bytes"] == GROWTH and comparison["flash_delta_bytes"] == 0
        assert [(c["name"], c["delta"]) for c in comparison["objects"]] == [("main.o", GROWTH)]
        assert comparison["regions"]["RAM"]["delta"] == GROWTH and comparison["regions"]["FLASH"]["delta"] == 0
    else:
        row = html_rows(out)[("frame_buffer", "main.o")]
        assert row[5:8] == [NEW_BUFFER, GROWTH, ""]  # "": the ELF states its size
        assert {r[6] for key, r in html_rows(out).items() if key[0] != "frame_buffer"} == {0}


def test_stored_reports_and_builds_compare_alike(capsys, tmp_path):
    stored = {}
    for name, build in (("old", OLD), ("new", NEW)):
        stored[name] = tmp_path / f"{name}.json"
        run(capsys, "analyze", build, "--config", CONFIG, "--format", "json", "--output", stored[name])
    outcomes = []
    for old, new in ((OLD, NEW), (stored["old"], NEW), (stored["old"], stored["new"]), (OLD, stored["new"])):
        code, out, _ = run(capsys, "diff", old, new, "--config", CONFIG, "--format", "json")
        comparison = json.loads(out)["comparison"]
        outcomes.append((code, {level: comparison[level] for level in ("sections", "objects", "symbols", "regions")}))
    assert all(outcome == outcomes[0] for outcome in outcomes[1:])


def test_without_the_elf_files_symbol_changes_are_estimates_and_objects_stay_exact(capsys):
    _, out, _ = run(capsys, "diff", OLD, NEW, "--config", CONFIG, "--no-elf", "--format", "json")
    comparison = json.loads(out)["comparison"]
    assert [(c["name"], c["delta"], c["estimated"]) for c in comparison["symbols"]] == [(".bss.frame_buffer", GROWTH, True)]
    assert [(c["name"], c["delta"], c["estimated"]) for c in comparison["objects"]] == [("main.o", GROWTH, False)]
    assert any("estimates" in note for note in comparison["notes"])
    _, text, _ = run(capsys, "diff", OLD, NEW, "--config", CONFIG, "--no-elf")
    assert re.search(rf"symbol +~ +\+{GROWTH:,} B", text)


@pytest.fixture
def lenient_config(tmp_path):
    """The example's configuration without the overflow policy, so growth alone decides."""
    path = tmp_path / "lenient.toml"
    path.write_text(CONFIG.read_text().replace("fail_on_overflow = true", "fail_on_overflow = false"))
    return path


@pytest.mark.parametrize("old, new, limits, code, message", [
    (OLD, NEW, [], 0, ""),
    (OLD, NEW, ["--fail-on-growth", "RAM=20480"], 0, ""),
    (OLD, NEW, ["--fail-on-growth", "RAM=20479"], 1, "RAM grew by 20,480 B, more than --fail-on-growth 20,479"),
    (OLD, NEW, ["--fail-on-growth", "FLASH=0"], 0, ""),
    (OLD, NEW, ["--fail-on-growth", "0x4000"], 1, "flash and RAM grew by 20,480 B, more than --fail-on-growth 16,384"),
    (NEW, OLD, ["--fail-on-growth", "0"], 0, ""),  # shrinking passes any limit
    (OLD, OLD, ["--fail-on-growth", "0"], 0, ""),
    (OLD, NEW, ["--fail-on-growth", "ROM=1"], 2, "no region named 'ROM' in either build"),
    (OLD, NEW, ["--fail-on-growth", "RAM=-1"], 2, "is not BYTES, REGION=BYTES or REGION=PERCENT%"),
    (OLD, NEW, ["--fail-on-growth", "5%"], 2, "a percentage is of a region's size"),
    (OLD, NEW, ["--fail-on-growth", "RAM=100%"], 0, ""),  # 20,480 B of a 20 KiB region
    (OLD, NEW, ["--fail-on-growth", "RAM=99.9%"], 1, "more than --fail-on-growth 20,459 B (99.9% of 20,480 B)"),
    (OLD, NEW, ["--fail-on-growth", "RMA=1"], 2, "no region named 'RMA' in either build (closest: RAM)"),
    (OLD, MAPS / "missing.map", [], 2, "missing.map"),
])
def test_exit_codes_a_ci_job_gates_on(capsys, lenient_config, old, new, limits, code, message):
    got, out, err = run(capsys, "diff", old, new, "--config", lenient_config, *limits)
    assert got == code
    assert message in err and (message or err == "")
    if code == 2:
        assert out == "" and len(err.strip().splitlines()) == 1


def test_diff_never_writes_over_an_input(capsys, tmp_path):
    old = tmp_path / "old.json"
    run(capsys, "analyze", OLD, "--config", CONFIG, "--format", "json", "--output", old)
    before = old.read_bytes()
    code, _, err = run(capsys, "diff", old, NEW, "--config", CONFIG, "--output", old)
    assert code == 2 and "refusing to overwrite an input" in err and old.read_bytes() == before


def test_the_pull_request_comment_stays_within_the_comment_limit(capsys):
    from tarnwick.analysis.summary import build_analysis_report
    from tarnwick.support.config_file import load_config
    from tarnwick.render.markdown import LIMIT, render_markdown
    from tarnwick.toolchains import load_map

    config = load_config(str(CONFIG))
    report = build_analysis_report(load_map(str(NEW), config), config)
    many = 6_000
    before = Footprint(regions={}, symbols={(f"symbol_with_a_long_name_{i:05}", "module.o"): [8, False] for i in range(many)})
    after = Footprint(regions={}, symbols={(f"symbol_with_a_long_name_{i:05}", "module.o"): [16, False] for i in range(many)})
    comparison = compare_footprints(before, after, "old.json")
    comment = render_markdown(report, comparison, top=many)
    assert len(comment) <= LIMIT
    assert comment.count("<details>") == comment.count("</details>") >= 1
    growers, full_list = comment.split("All symbol changes")
    assert "… and" in growers  # the growers' table is cut as well
    cut = re.search(r"… and ([\d,]+) more", full_list)
    assert cut, "the full list must be cut"
    # every grown symbol is either in the full list or counted in the cut
    assert full_list.count("| 🔺 | +8 B |") + int(cut.group(1).replace(",", "")) == many


def test_the_comment_limit_holds_for_notes_and_findings_too():
    """Thousands of sections outside every region give thousands of notes and findings: the
    comment still fits, and says how many it left out."""
    import dataclasses

    from tarnwick.analysis.summary import build_analysis_report
    from tarnwick.support.config_file import load_config
    from tarnwick.domain import Issue, IssueCategory, IssueSeverity
    from tarnwick.render.markdown import LIMIT, render_markdown
    from tarnwick.toolchains import load_map

    config = load_config(str(CONFIG))
    report = build_analysis_report(load_map(str(NEW), config), config)
    notes = [f"section .orphan_{i:05} at 0x{0x3000_0000 + i * 64:x} (64 bytes) lies in no memory region"
             for i in range(5_000)]
    issues = [Issue(f"placement.orphan_{i:05}", IssueSeverity.WARNING, IssueCategory.PLACEMENT, "t",
                    f"Section .orphan_{i:05} lies in no memory region.") for i in range(5_000)]
    summary = dataclasses.replace(report.summary, issue_counts={"info": 0, "warning": 5_000, "error": 0})
    report = dataclasses.replace(report, issues=issues, summary=summary,
                                 diagnostics={**report.diagnostics, "unresolved_ambiguities": notes})
    comment = render_markdown(report, None, top=10)
    assert len(comment) <= LIMIT
    assert re.search(r"… and [\d,]+ more", comment)
    assert comment.count("<details>") == comment.count("</details>")
