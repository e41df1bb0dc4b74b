"""The system report in the CI hosts' own formats (SARIF, GitLab Code Quality, JUnit XML, GitLab
metrics), told as a build's run is: each finding under a stable rule and fingerprint, about the
image's map (or ELF) or, for the system's own, the configuration; every gate a test case, and
every partition holding an image one more, failing where a failed gate is about it."""

from __future__ import annotations

from typing import Optional

from tarnwick.render.gitlab_codequality import codequality_text
from tarnwick.render.gitlab_metrics import label, openmetrics_text, percent
from tarnwick.render.host_findings import (GateCase, HostRun, failing_findings, growth_findings, issue_finding,
                                           relative, verdict_cases)
from tarnwick.render.junit import junit_text
from tarnwick.render.sarif import sarif_text
from tarnwick.system.render.view import size


def system_run(result) -> HostRun:
    configuration = result.inputs.get("configuration")
    return HostRun(result.report.name, result.verdict.failed, result.verdict.failures(), configuration is not None,
                   configuration, lambda: _findings(result), lambda: _cases(result))


def _about(result) -> dict:
    """Image name -> the file its findings are about; None -> the system's own."""
    files = {None: result.inputs.get("configuration")}
    for image in result.report.images:
        files[image.name] = image.map or image.elf
    return {name: relative(path) if path else None for name, path in files.items()}


def _findings(result) -> list:
    report, failing, about = result.report, failing_findings(result.verdict), _about(result)
    names = sorted((image.name for image in report.images), key=len, reverse=True)
    found = []
    for issue in report.issues:  # an image's own findings are IMAGE/ID
        image = next((name for name in names if issue.id.startswith(f"{name}/")), None)
        own = issue.id[len(image) + 1:] if image is not None else issue.id
        found.append(issue_finding(issue, own, issue.description, about[image], report.name, failing))
    return found + growth_findings(result.verdict, report.name, about[None])


def _cases(result) -> list:
    """The gates, then a case per partition that holds an image (or its update)."""
    failing = failing_findings(result.verdict)
    failed_about: set = set()
    for issue in result.report.issues:
        if issue.id in failing:
            failed_about.update(issue.affected_entities)
    cases = verdict_cases(result.verdict)
    for row in result.report.partitions:
        if row.image is None:
            continue
        what = f"{row.image}'s update" if row.slot == "secondary" else row.image
        trailer = f", trailer {size(row.trailer_bytes)}" if row.trailer_bytes is not None else ""
        left = f"{size(row.free_bytes)} free" if row.status == "ok" else row.status
        cases.append(GateCase(f"partition {row.name}", row.name in failed_about,
                              f"{what}: {size(row.used_bytes)} of {size(row.size)} used{trailer}; {left}"))
    return cases


def _families(result) -> list:
    report = result.report
    system = label(report.name)
    regions, sizes, shares, images, partitions, free = [], [], [], [], [], []
    for image in report.images:
        name = label(image.name)
        for kind, value in (("flash", image.flash_bytes), ("ram", image.ram_bytes), ("stored", image.stored_bytes)):
            images.append(f'{{target="{system}",image="{name}",kind="{kind}"}} {value}')
        for region in image.regions:
            labels = f'target="{system}",image="{name}",region="{label(region.name)}"'
            regions.append(f"{{{labels}}} {region.used_bytes}")
            sizes.append(f"{{{labels}}} {region.length}")
            if region.length:
                shares.append(f"{{{labels}}} {percent(region.used_bytes, region.length)}")
    for row in report.partitions:
        if row.used_bytes is None:
            continue
        labels = f'target="{system}",partition="{label(row.name)}",image="{label(row.image or "")}"'
        partitions.append(f"{{{labels}}} {row.used_bytes}")
        if row.free_bytes is not None:
            free.append(f"{{{labels}}} {row.free_bytes}")
    totals = [f'{{target="{system}",kind="{kind}"}} {value}' for kind, value in
              (("flash", report.flash_bytes), ("ram", report.ram_bytes), ("stored", report.stored_bytes))]
    return [
        ("tarnwick_region_used_bytes", "bytes of an image's region in use, as its linker counts them", regions),
        ("tarnwick_region_size_bytes", "the region's size", sizes),
        ("tarnwick_region_used_percent", "the region's use in percent of its size", shares),
        ("tarnwick_image_bytes", "an image's flash and RAM, and the bytes it stores in flash", images),
        ("tarnwick_partition_used_bytes", "bytes of a partition its image takes (the signed image in a slot)",
         partitions),
        ("tarnwick_partition_free_bytes", "what is left of the partition, its trailer kept (negative: it does not fit)",
         free),
        ("tarnwick_total_bytes", "flash, RAM and stored bytes over all images", totals),
    ]


def render_host(kind: str, result, top: Optional[int] = None) -> str:
    run = system_run(result)
    if kind == "gitlab-metrics":
        return openmetrics_text(result.report.name, _families(result), run)
    return {"sarif": sarif_text, "junit": junit_text, "gitlab-codequality": codequality_text}[kind](run)
