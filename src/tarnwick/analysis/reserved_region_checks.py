"""Sections that sit where they must not: in a reserved range, or in the wrong kind of memory."""

from __future__ import annotations

from tarnwick.analysis._placement import category_of, placed_sections
from tarnwick.domain.schema import Issue, IssueCategory, IssueSeverity
from tarnwick.toolchains.base import MemoryCategory, NormalizedBuildModel

# Code meant to run from RAM is named so on purpose, as is RAM meant for code (Espressif
# IRAM, Pico SDK's time-critical functions, Zephyr's and ST's RAM function sections, ITCM).
_RAM_CODE_MARKERS = ("ramfunc", "ram_code", "ramcode", "fastcode", "itcm", ".ram", "ccmram",
                     "iram", "time_critical", "ram_text", "ramtext", "tcm")


def _overlap(start: int, end: int, other_start: int, other_end: int) -> int:
    return max(0, min(end, other_end) - max(start, other_start))


def detect_reserved_region_violations(model: NormalizedBuildModel) -> list:
    """An error for every section whose run-time or load image overlaps a reserved range."""
    issues = []
    for reserved in model.reserved_ranges:
        for section, _region in placed_sections(model):
            spans = [(section.address, "runs")]
            if section.load_address is not None and section.load_address != section.address:
                spans.append((section.load_address, "is loaded"))
            for start, how in spans:
                overlap = _overlap(start, start + section.size, reserved.start, reserved.end)
                if not overlap:
                    continue
                issues.append(Issue(
                    id=f"reserved.{reserved.name}.{section.name}",
                    severity=IssueSeverity.ERROR,
                    category=IssueCategory.RESERVED_REGION,
                    title="Section overlaps a reserved range",
                    description=(f"Section {section.name} {how} at 0x{start:08x} and overlaps "
                                 f"reserved range {reserved.name} "
                                 f"(0x{reserved.start:08x}-0x{reserved.end:08x}) by {overlap} bytes."),
                    affected_entities=(reserved.name, section.name),
                    remediation_hint="Move the section out of the reserved range in the linker script.",
                ))
                break
    return issues


def _is_ram_code(name: str) -> bool:
    lowered = name.lower()
    return any(marker in lowered for marker in _RAM_CODE_MARKERS)


def detect_suspicious_section_placement(model: NormalizedBuildModel) -> list:
    """Warnings for placements that are legal but rarely meant. Code that runs from RAM is
    only suspect on a part with flash, when nothing copies it there (no image in flash) and
    its name does not say RAM code is meant."""
    issues = []
    has_flash = any(category_of(r) is MemoryCategory.FLASH for r in model.memory_regions)
    for section, region in placed_sections(model):
        if region is None:
            if model.memory_regions and not model.by_address_alone(section):  # that one is a note
                issues.append(_placement_issue(
                    section, "outside", "Section outside every memory region",
                    f"Section {section.name} at 0x{section.address:08x} ({section.size} bytes) "
                    "lies in no memory region.",
                    "Assign the section to a region in the linker script."))
            continue
        category = category_of(region)
        if category is MemoryCategory.FLASH and not section.has_contents:
            issues.append(_placement_issue(
                section, "nobits_in_flash", "Uninitialised section in flash",
                f"Section {section.name} holds no contents but is placed in flash region "
                f"{region.name} ({section.size} bytes).",
                "Place zero-initialised and no-init sections in RAM."))
        elif (category is MemoryCategory.RAM and section.is_code and has_flash
              and not region.unified and section.load_region in (None, region.name)
              and not _is_ram_code(section.name) and not _is_ram_code(region.name)):
            issues.append(_placement_issue(
                section, "code_in_ram", "Code placed in RAM",
                f"Section {section.name} holds code and runs from RAM region {region.name} "
                f"({section.size} bytes) without being marked as a RAM function section.",
                "Keep code in flash, or name the section .ramfunc if running it from RAM is meant."))
    return issues


def _placement_issue(section, kind, title, description, hint) -> Issue:
    return Issue(
        id=f"placement.{kind}.{section.name}",
        severity=IssueSeverity.WARNING,
        category=IssueCategory.PLACEMENT,
        title=title,
        description=description,
        affected_entities=(section.name,),
        remediation_hint=hint,
    )
