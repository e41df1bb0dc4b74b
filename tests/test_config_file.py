from pathlib import Path

import pytest

from tarnwick.support.config_file import ConfigError, load_config, parse_config

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "firmware" / "tarnwick.toml"


def test_example_configuration_loads():
    config = load_config(EXAMPLE)
    assert config.project.name == "sensor-node"
    assert config.budgets.flash == {"FLASH": 0.8} and config.budgets.ram == {"RAM": 0.3, "CCM": 0.9}
    assert config.policies.partition_max_bytes == {"FLASH": 65536}
    assert [(r.name, r.origin, r.length, r.category) for r in config.regions][0] == ("FLASH", 0x0800_0000, 0x20000, "flash")
    assert config.reserved_ranges[0].start == 0x0801_F000
    assert [c.component for c in config.components] == ["sensor-driver", "newlib"]


def test_defaults():
    config = parse_config({})
    assert (config.policies.fail_on_overflow, config.policies.fail_on_reserved_region_violation) == (True, True)
    assert config.policies.warn_on_near_capacity_ratio == 0.9
    assert (config.reports.enable_sankey_view, config.reports.enable_relationship_graph_view) == (True, False)
    assert config.budgets.flash == {} and config.regions == []


@pytest.mark.parametrize("data, message", [
    ({"projekt": {}}, ": projekt: unknown key"),
    ({"project": {"name": ""}}, "project.name: must be a non-empty string"),
    ({"budgets": {"flash": {"FLASH": 1.5}}}, "budgets.flash.FLASH: must be from 0 to 1, not 1.5"),
    ({"budgets": {"ram": {"RAM": "90%"}}}, "budgets.ram.RAM: must be a number from 0 to 1, not a string"),
    ({"budgets": {"rom": {}}}, "budgets.rom: unknown key"),
    ({"policies": {"fail_on_overflow": "yes"}}, "policies.fail_on_overflow: must be true or false, not a string"),
    ({"policies": {"partition_max_bytes": {"app": -1}}}, "policies.partition_max_bytes.app: must be at least 0"),
    ({"policies": {"warn_on_near_capacity_ratio": True}}, "policies.warn_on_near_capacity_ratio: must be a number"),
    ({"reports": {"enable_sankey_view": 1}}, "reports.enable_sankey_view: must be true or false, not an integer"),
    ({"regions": {"name": "RAM"}}, "regions: must be an array of tables"),
    ({"stack": {"size": 0}}, "stack.size: must be at least 1, not 0"),
    ({"stack": {"interrupts": "SysTick_Handler"}}, "stack.interrupts: must be an array of strings, not a string"),
    ({"stack": {"threads": ["ok", ""]}}, "stack.threads[1]: must be a non-empty string"),
    ({"stack": {"threads": [{"entry": "worker"}]}}, "stack.threads[0]: needs stack_symbol (the stack buffer's symbol)"),
    ({"stack": {"threads": [{"entry": "w", "stack_size": 8, "stack": 1}]}}, "stack.threads[0].stack: unknown key"),
    ({"stack": {"recursion": {"walk": 0}}}, "stack.recursion.walk: must be at least 1, not 0"),
    ({"stack": {"calls": {"dispatch": "on_rx"}}}, "stack.calls.dispatch: must be an array of strings"),
    ({"stack": {"frames": {"memcpy": -1}}}, "stack.frames.memcpy: must be at least 0, not -1"),
    ({"stack": {"nesting": 2}}, "stack.nesting: unknown key"),
    ({"stack": {"exception_frame_bytes": 5000}}, "stack.exception_frame_bytes: must be at most 4,096, not 5000"),
    ({"policies": {"fail_on_stack_overflow": 1}}, "policies.fail_on_stack_overflow: must be true or false"),
    ({"regions": [{"name": "RAM", "origin": 0}]}, "regions[0].length: is required"),
    ({"regions": [{"name": "RAM", "origin": 0, "length": -1}]}, "regions[0].length: must be at least 0, not -1"),
    ({"regions": [{"name": "RAM", "origin": 0, "length": 4, "category": "sram"}]}, "regions[0].category: must be one of"),
    ({"regions": [{"name": "A", "origin": 0, "length": 4}, {"name": "A", "origin": 8, "length": 4}]},
     "regions: region 'A' is given twice"),
    ({"reserved_ranges": [{"name": "boot", "start": 0.5, "length": 4}]}, "reserved_ranges[0].start: must be an integer"),
    ({"components": [{"pattern": "*"}]}, "components[0].component: is required"),
    ({"components": [{"pattern": "*", "component": "x", "colour": 1}]}, "components[0].colour: unknown key"),
])
def test_errors_name_the_key(data, message):
    with pytest.raises(ConfigError) as caught:
        parse_config(data, "cfg.toml")
    assert str(caught.value).startswith("cfg.toml: ") and message in str(caught.value)


@pytest.mark.parametrize("content, message", [
    (b"[project]\nname = \n", "cfg.toml:2: not valid TOML"),
    (b"[project\n", "cfg.toml:1: not valid TOML"),
    (b"\xff\xfe", "cfg.toml: not valid TOML"),
])
def test_syntax_errors_name_the_line(tmp_path, content, message):
    path = tmp_path / "cfg.toml"
    path.write_bytes(content)
    with pytest.raises(ConfigError) as caught:
        load_config(path)
    assert str(caught.value).startswith(str(tmp_path / message))


def test_missing_file(tmp_path):
    with pytest.raises(ConfigError, match="no such file"):
        load_config(tmp_path / "absent.toml")


def test_stack_folders_are_taken_from_the_configuration_files_folder(tmp_path):
    path = tmp_path / "cfg.toml"
    path.write_text('[stack]\nfolders = ["build/obj"]\nsize = 4096\ninterrupts = ["SysTick_Handler"]\n')
    stack = load_config(path).stack
    assert stack.folders == [str(tmp_path / "build" / "obj")] and stack.size == 4096
    assert stack.interrupts == ["SysTick_Handler"] and stack.interrupt_nesting == 1
