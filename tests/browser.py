"""Debian's headless chromium for the tests that look at the HTML report."""

import os
import shutil

import pytest

BROWSER = shutil.which("chromium") or shutil.which("chromium-browser")
DRIVER = shutil.which("chromedriver")


def require(*tools: str) -> None:
    """Skips the module when a tool is missing; on CI a missing tool is a failure."""
    missing = [tool for tool in tools if not {"chromium": BROWSER, "chromedriver": DRIVER}[tool]]
    if missing and os.environ.get("CI"):
        pytest.fail(f"CI must install {', '.join(missing)} for the browser tests", pytrace=False)
    if missing:
        pytest.skip(f"{', '.join(missing)} not installed", allow_module_level=True)


def clean_environment() -> dict:
    """The environment without the sanitizer's preload, which the browser must not inherit."""
    return {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
