"""What ld's own table shows for a region that ends with load images of initialised data, for
maps whose reader says they do not state how the script placed those images."""

from __future__ import annotations

from tarnwick.analysis.region_usage import compute_region_usage
from tarnwick.toolchains.base import NormalizedBuildModel


def note_load_images(model: NormalizedBuildModel) -> None:
    """Where a region's use ends with load images of initialised data, says what ld's own table
    shows for it: ld counts an image in a region's use when the script places it with
    `AT> REGION`, not with `AT(address)`, and the map reads the same either way. The bytes are
    stored there, so they count; an overflow only they make is one ld does not report."""
    if not model.image_placement_unstated:
        return
    counted = compute_region_usage(model)
    without = compute_region_usage(model, load_images=False)
    for name, usage in counted.items():
        missing = usage.used_bytes - without[name].used_bytes
        if missing <= 0:
            continue
        images = ", ".join(s.name for s in model.sections if s.copied_at_startup and s.load_region == name and s.size)
        model.parse_assumptions.append(
            f"{name} holds {usage.used_bytes:,} B with the load image(s) of {images} ({missing:,} B after its "
            f"last section): ld's --print-memory-usage counts them where the script places them with AT> {name}, "
            f"and shows {without[name].used_bytes:,} B where it places them with AT(address)")
        if usage.overflow_bytes and not without[name].overflow_bytes:
            model.unresolved_ambiguities.append(
                f"{name} overflows by {usage.overflow_bytes:,} B only with the load image(s) of {images} stored "
                "in it; ld does not report this overflow where the script places them with AT(address)")
