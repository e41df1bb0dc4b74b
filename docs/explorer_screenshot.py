"""Takes docs/explorer.png, the README's picture of the HTML explorer: the example firmware's
grown build against the first one: what changed, and the explorer drilled into RAM. Needs chromium, chromedriver and selenium.

Run: python docs/explorer_screenshot.py
"""

import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

HERE = Path(__file__).resolve().parent
FIRMWARE = HERE.parent / "examples" / "firmware"


def main() -> int:
    with tempfile.TemporaryDirectory() as folder:
        page = Path(folder) / "diff.html"
        subprocess.run([sys.executable, "-m", "tarnwick", "diff", FIRMWARE / "maps" / "gnu_ld.map",
                        FIRMWARE / "maps" / "gnu_ld_ram_overflow.map", "--config", FIRMWARE / "tarnwick.toml",
                        "--format", "html", "--output", page], check=False)
        options = webdriver.ChromeOptions()
        for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                         "--window-size=1140,900", "--force-device-scale-factor=1"):
            options.add_argument(argument)
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
        driver = webdriver.Chrome(options=options, service=Service(shutil.which("chromedriver"), env=env))
        try:
            driver.get(page.as_uri())
            driver.find_element(By.CSS_SELECTOR, '#blocks .block[data-name="RAM"]').click()
            heading = driver.find_element(By.ID, "changes-title")  # "What changed", then the explorer
            driver.execute_script("window.scrollTo(0, arguments[0].offsetTop - 12)", heading)
            driver.save_screenshot(str(HERE / "explorer.png"))
        finally:
            driver.quit()
    print(HERE / "explorer.png")
    return 0


if __name__ == "__main__":
    sys.exit(main())
