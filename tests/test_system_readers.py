"""The partition readers: Zephyr's final devicetree, the partition manager's partitions.yml and
ESP-IDF's partitions.csv. The same layout in each reads as the same partitions; each file
kind's own rules hold; every file that cannot be read fails at its file and line."""

from __future__ import annotations

from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tarnwick.system.partitions import PartitionFileError
from tarnwick.system.readers.loader import read_partition_file
from tarnwick.system.readers.yaml_subset import YamlError, load

FIRMWARE = Path(__file__).resolve().parent / "system_firmware"


def _ranges(layout, names: dict) -> dict:
    """{common name: (start, size)} of the partitions `names` maps from the file's names."""
    return {common: (layout.named(own).start, layout.named(own).size) for common, own in names.items()}


def test_devicetree_and_partition_manager_agree():
    """The test board's layout as Zephyr writes it and as the partition manager writes it."""
    dts = read_partition_file(str(FIRMWARE / "zephyr.dts"))
    pm = read_partition_file(str(FIRMWARE / "partitions.yml"))
    assert _ranges(dts, {"boot": "mcuboot", "primary": "image-0", "secondary": "image-1", "scratch": "image-scratch",
                         "storage": "storage"}) == \
        _ranges(pm, {"boot": "mcuboot", "primary": "mcuboot_primary", "secondary": "mcuboot_secondary",
                     "scratch": "mcuboot_scratch", "storage": "settings_storage"})
    assert dts.chosen_code == "slot0_partition"
    flash = dts.devices["flash0"]
    assert (flash.start, flash.size, flash.erase_block, flash.write_block) == (0, 0x40000, 0x1000, 4)
    primary = pm.named("mcuboot_primary")
    assert primary.parts == ("mcuboot_pad", "app")
    assert pm.named("sram_primary").kind == "ram"


def test_devicetree_base_address_and_sources(tmp_path):
    """An STM32-like flash at 0x08000000: partitions' reg are offsets into it; a node opened again,
    a label reference, a deleted partition, cell expressions and comments read as dtc reads them."""
    path = tmp_path / "board.dts"
    path.write_text("""/dts-v1/;
/ { chosen { zephyr,code-partition = &slot0; }; };   // a reference to a node further down
/ {
    soc { #address-cells = <1>; #size-cells = <1>;
        flash-controller@40022000 { #address-cells = <1>; #size-cells = <1>;
            flash0: flash@8000000 { compatible = "st,stm32-nv-flash", "soc-nv-flash";
                reg = <0x08000000 (512 * 1024)>;
                partitions { compatible = "fixed-partitions"; #address-cells = <1>; #size-cells = <1>;
                    boot: partition@0 { label = "mcuboot"; reg = <0x0 0x10000>; };
                    slot0: partition@10000 { reg = <0x10000 (0x30000 - 0x1000 + 0x1000)>; };
                    old: partition@40000 { reg = <0x40000 0x1000>; };
                };
            };
        };
    };
};
/* an overlay, applied in order */
&slot0 { label = "image-0"; };
/delete-node/ &old;
""")
    layout = read_partition_file(str(path))
    assert [(p.name, p.start, p.size) for p in layout.partitions] == [
        ("boot", 0x08000000, 0x10000), ("slot0", 0x08010000, 0x30000)]
    assert layout.named("image-0").name == "slot0" and layout.chosen_code == "slot0"
    assert layout.partitions[1].source == f"{path}:10"


def test_partition_manager_yaml_reads_as_pyyaml_does():
    """The YAML the partition manager writes (anchors, aliases, block and flow collections): read
    as PyYAML reads it."""
    yaml = pytest.importorskip("yaml")
    texts = [(FIRMWARE / "partitions.yml").read_text(), """
mcuboot: {address: 0x0, size: 0xc000, region: flash_primary}
app: {address: 0xc000, end_address: 0x80000, span: [app_image, 'quoted name']}
"list":
  - a
  - {x: 1, y: "two"}
  -
    - nested
    - 0x10
empty:
comment: value # a comment
""", "---\nplain: ~\nflag: true\nnumber: -12\n..."]
    for text in texts:
        assert load(text) == yaml.safe_load(text)


@pytest.mark.parametrize("text,line,reason", [
    ("a: 1\n  b: 2\n", 2, "indented deeper"),
    ("a: |\n  text\n", 1, "block scalar"),
    ("a: !tag 1\n", 1, "tags"),
    ("a: *missing\n", 1, "names no anchor"),
    ("a: [1, 2\n", 1, "flow collection"),
    ("a: 0b101\n", 1, "YAML 1.1"),
    ("a: 1\na: 2\n", 2, "given twice"),
    ("a: 0755\n", 1, "YAML 1.1"),
    ("a: yes\n", 1, "YAML 1.1"),
    ("a: 1\n---\nb: 2\n", 2, "second YAML document"),
    ("a:\n\t- 1\n", 2, "tab"),
    ("a: one\n  two\n", 2, "indented deeper"),
])
def test_yaml_outside_the_subset_fails_at_its_line(text, line, reason):
    with pytest.raises(YamlError) as caught:
        load(text)
    assert caught.value.line == line and reason in caught.value.reason


def test_esp_idf_offset_rules(tmp_path):
    """Omitted offsets follow the one before, an app aligned to 64 KiB and data to 4 KiB, the
    first right after the partition table; a negative size runs up to its offset; K and M."""
    path = tmp_path / "partitions.csv"
    path.write_text("""# Name,   Type, SubType, Offset,  Size, Flags
nvs,      data, nvs,     ,        0x6000,
phy_init, data, phy,     ,        4K,
factory,  app,  factory, ,        1M,
storage,  data, spiffs,  ,        0x2800, encrypted:readonly
ota_0,    app,  ota_0,   ,        -0x300000,
""")
    layout = read_partition_file(str(path))
    got = {p.name: (p.start, p.size) for p in layout.partitions}
    assert got == {"nvs": (0x9000, 0x6000), "phy_init": (0xF000, 0x1000), "factory": (0x10000, 0x100000),
                   "storage": (0x110000, 0x2800), "ota_0": (0x120000, 0x300000 - 0x120000)}
    assert not any(p.mapped for p in layout.partitions)
    assert layout.named("factory").detail == "app/factory"
    moved = read_partition_file(str(path), table_offset=0x10000, base=0x3F000000)
    assert moved.named("nvs").start == 0x3F000000 + 0x11000 and moved.named("nvs").mapped


@pytest.mark.parametrize("name,text,line,reason", [
    ("board.dts", "/dts-v1/;\n/ {\n  a = <1>\n};\n", 4, "expected ';'"),
    ("board.dts", "/dts-v1/;\n#include <nrf52840.dtsi>\n", 2, "preprocessor"),
    ("board.dts", "/dts-v1/;\n/ { x = &nowhere; };\n", 2, "no node has this label"),
    ("board.dts", "/dts-v1/;\n/ {\n  /* never closed\n", 3, "never ends"),
    ("board.dts", "/dts-v1/;\n/ { };\n&{/soc\n  flash@0 }\n;\n", 3, "path reference that never closes"),
    ("board.dts", "/dts-v1/;\n/ { x = <&{/soc\n}>; };\n", 2, "path reference that never closes"),
    ("board.dts", "/dts-v1/;\n/ { f { p { compatible = \"fixed-partitions\";\n"
                  "#address-cells = <1>; #size-cells = <1>;\nq@0 { reg = <0>; }; }; }; };\n", 4, "reg of q@0"),
    ("board.dts", "/dts-v1/;\n/ { a = <(1 / 0)>; };\n", 2, "division by zero"),
    ("partitions.yml", "app:\n  address: 0x0\n  size: 0x100\n  end_address: 0x200\n", 4, "end_address"),
    ("partitions.yml", "app:\n  address: 0x0\n", 1, "no size"),
    ("partitions.yml", "app:\n  address: zero\n  size: 1\n", 2, "address must be"),
    ("partitions.yml", "outer:\n  address: 0\n  size: 16\n  span: [inner]\n", 4, "spans inner"),
    ("partitions.yml", "app: [1, 2\n", 1, "flow collection"),
    ("partitions.csv", "nvs, data, nvs, 0x9000\n", 1, "no size"),
    ("partitions.csv", "nvs, data, nvs, 0x9000, 0x1000\nnvs, data, nvs, , 0x1000\n", 2, "declared twice"),
    ("partitions.csv", "factory, app, factory, 0x11000, 1M\n", 1, "not aligned to 0x10000"),
    ("partitions.csv", "x, nonsense, 0, , 1K\n", 1, "type 'nonsense'"),
    ("partitions.csv", "x, data, nvs, , 12Q\n", 1, "not a number"),
    ("partitions.csv", "x, data, nvs, , 4K, secret\n", 1, "unknown flag"),
    ("partitions.csv", "a_very_long_partition_name, data, nvs, , 4K\n", 1, "longer than 15"),
])
def test_bad_partition_files_fail_at_their_line(tmp_path, name, text, line, reason):
    path = tmp_path / name
    path.write_text(text)
    with pytest.raises(PartitionFileError) as caught:
        read_partition_file(str(path))
    assert caught.value.line == line and reason in caught.value.reason
    assert str(caught.value).startswith(f"{path}:{line}: ") and "\n" not in str(caught.value)


@pytest.mark.parametrize("content,reason", [(None, "no such file"), (b"\xff\xfe\x00bad", "not UTF-8")])
def test_unreadable_partition_files(tmp_path, content, reason):
    path = tmp_path / "partitions.yml"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(PartitionFileError) as caught:
        read_partition_file(str(path))
    assert reason in str(caught.value) and str(path) in str(caught.value)


_FIXTURES = {"zephyr.dts": (FIRMWARE / "zephyr.dts").read_text(), "partitions.yml": (FIRMWARE / "partitions.yml")
             .read_text(), "partitions.csv": (FIRMWARE / "partitions.csv").read_text()}


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(name=st.sampled_from(sorted(_FIXTURES)), cuts=st.lists(st.tuples(st.integers(0, 4000), st.integers(0, 12),
                                                                      st.sampled_from(["", ";", "{", "}", ":", " ",
                                                                                       "\n", "&", "-", "0x", ",",
                                                                                       "<", ">", '"', "#", "\t"])),
                                                            max_size=4))
def test_damaged_partition_files(tmp_path, name, cuts):
    """A real partition file with bytes cut out and others put in: it reads into partitions of a
    size, each from a line of the file, or fails with one line naming a line of the file."""
    text = _FIXTURES[name]
    for at, length, inserted in cuts:
        at = min(at, len(text))
        text = text[:at] + inserted + text[at + length:]
    path = tmp_path / name
    path.write_text(text)
    lines = text.count("\n") + 1
    try:
        layout = read_partition_file(str(path))
    except PartitionFileError as error:
        assert "\n" not in str(error) and (error.line is None or 1 <= error.line <= lines)
        return
    for partition in layout.partitions:
        assert partition.size > 0 and partition.start >= 0
        assert 1 <= int(partition.source.rsplit(":", 1)[1]) <= lines
