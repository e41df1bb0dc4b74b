"""The HTML explorer used as a person would, in a real headless Chromium driven by selenium:
searching, drilling into blocks, sorting, and the page of a 20,000-function build."""

import json
import os
import re
import shutil
import sys
from pathlib import Path

import pytest

from browser import DRIVER, clean_environment, require
from tarnwick.app.cli import main

require("chromium", "chromedriver")
webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
FIRMWARE = ROOT / "examples" / "firmware"
MAPS = FIRMWARE / "maps"
CONFIG = FIRMWARE / "tarnwick.toml"


@pytest.fixture(scope="module")
def browser():
    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1200,1000"):
        options.add_argument(argument)
    driver = webdriver.Chrome(options=options, service=Service(DRIVER, env=clean_environment()))
    yield driver
    driver.quit()


@pytest.fixture(scope="module")
def compared(tmp_path_factory):
    """The page of the grown build against the first one, and the JSON report of the same."""
    folder = tmp_path_factory.mktemp("explorer")
    page, document = folder / "diff.html", folder / "diff.json"
    for form, path in (("html", page), ("json", document)):
        main(["diff", str(MAPS / "gnu_ld.map"), str(MAPS / "gnu_ld_ram_overflow.map"), "--config", str(CONFIG),
              "--format", form, "--output", str(path)])
    return page, json.loads(document.read_text())


def load(browser, page: Path) -> None:
    browser.get(page.as_uri())
    WebDriverWait(browser, 20).until(lambda b: b.find_element(By.TAG_NAME, "body").get_attribute("data-ready"))
    errors = [entry for entry in browser.get_log("browser") if entry["level"] == "SEVERE"]
    assert errors == []


def visible_rows(browser) -> list:
    return [[cell.text for cell in row.find_elements(By.TAG_NAME, "td")]
            for row in browser.find_elements(By.CSS_SELECTOR, "#rows tr")]


def count(browser) -> str:
    return browser.find_element(By.ID, "count").text


def children(browser) -> dict:
    """The drill-down's list: name -> bytes."""
    items = {}
    for item in browser.find_elements(By.CSS_SELECTOR, "#children li"):
        name, size = re.fullmatch(r"(.*) ([\d,]+) B(?: [+−±][\d,]+ B)?", item.text).groups()
        items[name] = int(size.replace(",", ""))
    return items


def search(browser, text: str) -> None:
    box = browser.find_element(By.ID, "search")
    box.clear()
    before = count(browser)
    box.send_keys(text)
    WebDriverWait(browser, 10).until(lambda b: count(b) != before)


@pytest.mark.parametrize("query, names", [
    ("filter", {"filter_apply", "filter_history", "taps"}),  # by name, and by object file filter.o
    ("SENSOR_", {"sensor_init", "sensor_read", "sensor_offset"}),  # case does not matter
    ("no such symbol", set()),
])
def test_typing_in_the_search_box_narrows_the_table(browser, compared, query, names):
    page, _ = compared
    load(browser, page)
    total = count(browser)
    search(browser, query)
    assert {row[0] for row in visible_rows(browser)} == names
    assert count(browser) == f"{len(names)} of {total.split(' of ')[1]}"


def test_clicking_blocks_drills_from_a_region_to_a_symbol(browser, compared):
    page, document = compared
    load(browser, page)
    used = {row["name"]: row["used_bytes"] for row in document["trends"]["visualization"]["regions"]}
    assert children(browser) == used  # every region, with the linker's figure
    for name, expected_crumbs in (("RAM", "all memory › RAM"), (".bss", "all memory › RAM › .bss"),
                                  ("main.o", "all memory › RAM › .bss › main.o")):  # no "(no archive)" level
        browser.find_element(By.CSS_SELECTOR, f'#blocks .block[data-name="{name}"]').click()
        assert browser.find_element(By.ID, "crumbs").text == expected_crumbs
        if name == "RAM":  # the region's parts add up to what the linker says it uses
            assert sum(children(browser).values()) == used["RAM"]
    item = browser.find_element(By.CSS_SELECTOR, "#children li")
    assert item.text == "frame_buffer 24,576 B +20,480 B"
    assert item.find_element(By.CSS_SELECTOR, ".delta").get_attribute("class") == "delta grown"
    browser.find_element(By.CSS_SELECTOR, '#crumbs .crumb[data-depth="0"]').click()
    assert browser.find_element(By.ID, "crumbs").text == "all memory"


def test_the_table_sorts_by_a_column_and_colours_changes_by_sign(browser, compared):
    page, _ = compared
    load(browser, page)
    sizes = [int(row[4].lstrip("~").split()[0].replace(",", "")) for row in visible_rows(browser)]
    assert sizes == sorted(sizes, reverse=True) and sizes[0] == 24_576  # largest first at the start
    browser.find_element(By.CSS_SELECTOR, '#symbol-table th[data-key="name"]').click()
    names = [row[0] for row in visible_rows(browser)]
    assert names == sorted(names)
    browser.find_element(By.CSS_SELECTOR, '#symbol-table th[data-key="size"]').click()
    browser.find_element(By.CSS_SELECTOR, '#symbol-table th[data-key="size"]').click()
    sizes = [int(row[4].lstrip("~").split()[0].replace(",", "")) for row in visible_rows(browser)]
    assert sizes == sorted(sizes)
    grown = browser.find_element(By.CSS_SELECTOR, "#rows td.delta.grown")
    assert grown.text == "+20,480 B"
    red, green, blue = map(int, re.findall(r"\d+", grown.value_of_css_property("color"))[:3])
    assert red > 150 and green < 80 and blue < 80


@pytest.fixture(scope="module")
def large_page(tmp_path_factory):
    if shutil.which("arm-none-eabi-gcc") is None:
        pytest.skip("arm-none-eabi-gcc not installed")
    sys.path.insert(0, str(ROOT / "bench"))
    try:
        import large_firmware
    finally:
        sys.path.remove(str(ROOT / "bench"))
    folder = large_firmware.build()
    page = tmp_path_factory.mktemp("large") / "large.html"
    assert main(["analyze", str(folder / "firmware.map"), "--format", "html", "--output", str(page)]) == 0
    return page, folder


def test_the_large_build_is_interactive_within_two_seconds(browser, large_page):
    page, _ = large_page
    load(browser, page)
    ready = int(browser.find_element(By.TAG_NAME, "body").get_attribute("data-ready-ms"))
    assert ready < 2000, f"interactive after {ready} ms"
    functions = 20_000
    total = int(count(browser).split(" of ")[1].split()[0].replace(",", ""))
    assert total >= 3 * functions  # a function, its table and its static scratch array each
    assert len(visible_rows(browser)) < 100  # only what is in view is in the page
    search(browser, "function_12345")
    assert [row[0] for row in visible_rows(browser)] == ["function_12345"]
    search(browser, "scratch_1999")  # statics, which only the ELF file names
    assert {row[0] for row in visible_rows(browser)} == {f"scratch_1999{digit}" for digit in "0123456789"} | {"scratch_1999"}


def _page_data(browser) -> dict:
    return json.loads(browser.find_element(By.ID, "tarnwick-data").get_attribute("textContent"))


def test_what_changed_comes_first_and_leads_to_each_change(browser, compared):
    page, document = compared
    load(browser, page)
    first = browser.find_element(By.CSS_SELECTOR, "main > section, body > section")
    assert first.get_attribute("id") == "changes"
    items = [item.text for item in browser.find_elements(By.CSS_SELECTOR, "#changed li")]
    grown = {c["name"]: c["delta"] for c in document["comparison"]["regions"].values() if c["delta"]}
    symbols = [c for c in document["comparison"]["symbols"] if c["delta"]]
    assert items[:len(grown)] == [f"{name} +{delta:,} B" for name, delta in grown.items()]
    assert items[len(grown):] == [f"{c['name']} {c['object_file']} +{c['delta']:,} B" for c in symbols]
    browser.find_element(By.CSS_SELECTOR, "#changed li.symbol-change button").click()
    assert browser.find_element(By.ID, "crumbs").text == "all memory › RAM › .bss › main.o"
    assert [row[0] for row in visible_rows(browser)] == ["frame_buffer"]


def test_only_what_changed_in_the_blocks_and_the_table(browser, compared):
    page, document = compared
    load(browser, page)
    browser.find_element(By.ID, "changes-only").click()
    assert [b.get_attribute("data-name") for b in browser.find_elements(By.CSS_SELECTOR, "#blocks .block")] == ["RAM"]
    changed = sorted(c["name"] for c in document["comparison"]["symbols"] if c["delta"])
    assert sorted(row[0] for row in visible_rows(browser)) == changed
    assert count(browser).endswith(", only what changed")
    browser.find_element(By.ID, "changes-only").click()
    assert len(visible_rows(browser)) > len(changed)


@pytest.mark.parametrize("blocks", [["RAM"], ["RAM", ".bss"], ["FLASH", ".text"]])
def test_the_symbol_table_follows_the_drill_down(browser, compared, blocks):
    page, _ = compared
    load(browser, page)
    data = _page_data(browser)
    for name in blocks:
        browser.find_element(By.CSS_SELECTOR, f'#blocks .block[data-name="{name}"]').click()
    column = 3 if len(blocks) > 1 else 4  # the section's column, else the region's
    expected = sorted(r[0] for r in data["symbols"] if data["strings"][r[column]] == blocks[-1] and r[5] > 0)
    shown = sorted(row[0] for row in visible_rows(browser))
    assert shown == expected and count(browser).startswith(f"{len(expected)} of ")
    assert count(browser).endswith(f" in {' › '.join(blocks)}")
    browser.find_element(By.CSS_SELECTOR, '#crumbs .crumb[data-depth="0"]').click()
    assert count(browser) == f"{len(data['symbols'])} of {len(data['symbols'])} symbols"


def test_end_and_page_keys_keep_the_focus_in_a_long_table(browser, large_page):
    """Near the end of 60,000 rows the table scrolls and redraws; the focus stays on the row."""
    import time

    from selenium.webdriver.common.keys import Keys

    page, _ = large_page
    load(browser, page)
    total = int(count(browser).split(" of ")[1].split()[0].replace(",", ""))
    browser.find_element(By.ID, "viewport").click()
    for key, expected in ((Keys.END, lambda i: i == total - 1), (Keys.PAGE_UP, lambda i: total - 40 < i < total - 1),
                          (Keys.PAGE_DOWN, lambda i: i == total - 1), (Keys.ARROW_UP, lambda i: i == total - 2)):
        press(browser, key)
        time.sleep(0.3)  # the scroll's redraw comes a frame later
        index = focused(browser).get_attribute("data-index")
        assert index is not None and expected(int(index)), (key, index)


def focused(browser):
    return browser.switch_to.active_element


def press(browser, *keys) -> None:
    from selenium.webdriver.common.action_chains import ActionChains

    chain = ActionChains(browser)
    for key in keys:
        chain.send_keys(key)
    chain.perform()


def test_the_explorer_is_used_by_keyboard_alone(browser, compared):
    """Tab to the blocks, arrow keys between them, Enter drills down with the focus on the new
    view's heading, Escape goes back up; headers are buttons that sort; the rows are reached
    with the arrow keys; the search box is reached with Tab."""
    from selenium.webdriver.common.keys import Keys

    page, _ = compared
    load(browser, page)
    browser.find_element(By.TAG_NAME, "body").click()
    for _ in range(200):  # Tab from the top of the page to the first block
        press(browser, Keys.TAB)
        if "block" in (focused(browser).get_attribute("class") or ""):
            break
    assert focused(browser).get_attribute("data-name") == "RAM"  # the largest region first
    press(browser, Keys.ARROW_RIGHT)
    assert focused(browser).get_attribute("data-name") == "CCM"
    press(browser, Keys.ARROW_LEFT, Keys.ENTER)
    assert browser.find_element(By.ID, "crumbs").text == "all memory › RAM"
    assert focused(browser).get_attribute("id") == "drill-heading"
    assert focused(browser).text.startswith("RAM: ")
    press(browser, Keys.TAB)  # from the heading to the first block of the new view
    assert focused(browser).get_attribute("data-name") == ".bss"
    press(browser, Keys.ENTER)
    assert browser.find_element(By.ID, "crumbs").text == "all memory › RAM › .bss"
    press(browser, Keys.ESCAPE)
    assert browser.find_element(By.ID, "crumbs").text == "all memory › RAM"
    assert focused(browser).get_attribute("id") == "drill-heading"
    assert count(browser).endswith(" in RAM")  # the table follows the drill-down
    press(browser, Keys.ESCAPE)
    assert browser.find_element(By.ID, "crumbs").text == "all memory" and " in " not in count(browser)

    header = browser.find_element(By.CSS_SELECTOR, '#symbol-table th[data-key="name"] button')
    header.send_keys(Keys.ENTER)
    names = [row[0] for row in visible_rows(browser)]
    assert names == sorted(names)
    assert browser.find_element(By.CSS_SELECTOR, '#symbol-table th[data-key="name"]').get_attribute("aria-sort") == "ascending"
    press(browser, Keys.TAB)  # the next header, then on to the rows
    viewport = browser.find_element(By.ID, "viewport")
    viewport.send_keys(Keys.ARROW_DOWN)
    viewport = focused(browser)
    assert viewport.get_attribute("data-index") == "1" and viewport.text.startswith(names[1])
    press(browser, Keys.END)
    assert focused(browser).get_attribute("data-index") == str(len(names) - 1)

    box = browser.find_element(By.ID, "search")
    box.send_keys("sensor_")
    WebDriverWait(browser, 10).until(lambda b: count(b).startswith("3 of"))
    assert {row[0] for row in visible_rows(browser)} == {"sensor_init", "sensor_read", "sensor_offset"}


def _axe_violations(browser) -> list:
    """The serious and critical findings of axe-core on the page as it is now."""
    try:
        import axe_selenium_python as axe_module
    except ImportError:
        if os.environ.get("CI"):
            pytest.fail("CI must install the test extra (axe-selenium-python)", pytrace=False)
        pytest.skip("axe-selenium-python not installed")
    axe = axe_module.Axe(browser)
    axe.inject()
    results = axe.run()
    return [(v["id"], v["impact"], [node["target"] for node in v["nodes"]][:3]) for v in results["violations"]
            if v["impact"] in ("serious", "critical")]


def test_the_page_passes_an_accessibility_audit(browser, compared, tmp_path):
    page, _ = compared
    load(browser, page)
    assert _axe_violations(browser) == []
    # and drilled down, where the blocks and the list are made by the script
    browser.find_element(By.CSS_SELECTOR, '#blocks .block[data-name="RAM"]').click()
    assert _axe_violations(browser) == []


def test_the_relationship_graph_is_drawn(browser, tmp_path):
    config = tmp_path / "tarnwick.toml"
    config.write_text(CONFIG.read_text().replace("enable_relationship_graph_view = false",
                                                 "enable_relationship_graph_view = true"))
    page, document = tmp_path / "graph.html", tmp_path / "graph.json"
    for form, path in (("html", page), ("json", document)):
        main(["analyze", str(MAPS / "gnu_ld.map"), "--config", str(config), "--format", form, "--output", str(path)])
    edges = json.loads(document.read_text())["trends"]["visualization"]["relationship_graph"]["edges"]
    load(browser, page)
    drawn = browser.find_elements(By.CSS_SELECTOR, "svg.relationships path.relation")
    assert len(drawn) == len(edges)
    titles = {path.find_element(By.TAG_NAME, "title").get_attribute("textContent") for path in drawn}
    assert titles == {f"{e['component']} in {e['section']}: {e['bytes']:,} B" for e in edges}
    assert drawn[0].size["height"] > 0 or drawn[0].size["width"] > 0
    assert _axe_violations(browser) == []


def test_the_flow_picture_totals_equal_the_region_table(browser, compared):
    page, document = compared
    load(browser, page)
    used = {row["name"]: row["used_bytes"] for row in document["trends"]["visualization"]["regions"]}
    labels = [t.text for t in browser.find_elements(By.CSS_SELECTOR, "svg.sankey text")]
    shown = {m[1]: int(m[2].replace(",", "")) for m in (re.fullmatch(r"(\S+) \(([\d,]+) B\)", t) for t in labels) if m
             and m[1] in used}
    assert shown == {name: size for name, size in used.items() if size}
