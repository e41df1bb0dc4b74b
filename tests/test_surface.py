import builtins
import importlib
import sys
import traceback
import types

import pytest

from conftest import run_python

import tarnwick.analysis.summary as summary

FUNCTIONS = ["build_analysis_report", "_overflow_issues", "_build_config_summary",
             "_budget_threshold_issues", "_baseline_regressions", "_as_int", "_as_float"]
IMPORTED = ["json", "UTC", "datetime", "Path", "__version__", "group_symbols_by_component",
            "build_multicore_summary", "compute_padding_waste", "RegionUsageResult",
            "compute_region_usage", "detect_reserved_region_violations",
            "detect_suspicious_section_placement", "compute_section_usage",
            "compute_flash_ram_attribution", "compute_initialized_ram_cost",
            "top_object_archive_contributors", "top_symbols_by_size",
            "build_visualization_contract", "TarnwickConfig", "AnalysisReport", "Issue",
            "IssueCategory", "IssueSeverity", "ReportMetadata", "ReportSummary", "SCHEMA_VERSION",
            "NormalizedBuildModel"]


def test_namespace_in_binding_order():
    # in a fresh interpreter: other tests rebind names, which moves them in the namespace
    result = run_python("import tarnwick.analysis.summary as s; print(*vars(s))")
    keys = result.stdout.split()
    start = keys.index("__builtins__")
    assert keys[start:] == ["__builtins__", *IMPORTED, *FUNCTIONS, "__test__"]
    assert summary.__builtins__ is builtins
    assert summary.__test__ == {}
    assert summary.__doc__ is None
    assert not hasattr(summary, "__all__")
    assert sys.modules["tarnwick.analysis.summary"] is summary
    import tarnwick.domain
    assert summary.Issue is tarnwick.domain.Issue


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_are_builtins(name):
    function = getattr(summary, name)
    assert isinstance(function, types.BuiltinFunctionType)
    assert function.__name__ == function.__qualname__ == name
    assert function.__module__ == "tarnwick.analysis.summary"
    assert function.__self__ is None
    assert function.__doc__ is None


COUNT = "{}() takes exactly {} positional argument{} ({} given)"


@pytest.mark.parametrize("name, args, kwargs, message", [
    ("build_analysis_report", (), {"config": 1}, COUNT.format("build_analysis_report", 2, "s", 0)),
    ("build_analysis_report", (1, 2, 3), {}, COUNT.format("build_analysis_report", 2, "s", 3)),
    ("build_analysis_report", (1, 2, 3), {"target_name": "x"}, COUNT.format("build_analysis_report", 2, "s", 3)),
    ("build_analysis_report", (1,), {"model": 2}, "build_analysis_report() got multiple values for keyword argument 'model'"),
    ("build_analysis_report", (1, 2), {"target": 2}, "build_analysis_report() got an unexpected keyword argument 'target'"),
    ("build_analysis_report", (), {"model": 1}, COUNT.format("build_analysis_report", 2, "s", 1)),
    ("_overflow_issues", (), {}, COUNT.format("_overflow_issues", 1, "", 0)),
    ("_overflow_issues", (1, 2), {}, COUNT.format("_overflow_issues", 1, "", 2)),
    ("_overflow_issues", (), {"usage": 1}, "_overflow_issues() got an unexpected keyword argument 'usage'"),
    ("_build_config_summary", (), {}, COUNT.format("_build_config_summary", 1, "", 0)),
    ("_build_config_summary", (1,), {"config": 1}, "_build_config_summary() got multiple values for keyword argument 'config'"),
    ("_budget_threshold_issues", ({},), {}, COUNT.format("_budget_threshold_issues", 2, "s", 1)),
    ("_budget_threshold_issues", (), {"config": 1}, COUNT.format("_budget_threshold_issues", 2, "s", 0)),
    ("_baseline_regressions", (1,), {}, COUNT.format("_baseline_regressions", 2, "s", 1)),
    ("_baseline_regressions", (1,), {"summary": 1}, "_baseline_regressions() got multiple values for keyword argument 'summary'"),
    ("_as_int", (1, 2), {}, COUNT.format("_as_int", 1, "", 2)),
    ("_as_int", (1,), {}, "_as_int() needs keyword-only argument default"),
    ("_as_int", (), {"value": 1}, "_as_int() needs keyword-only argument default"),
    ("_as_int", (), {"default": 1}, COUNT.format("_as_int", 1, "", 0)),
    ("_as_int", (1, 2), {"default": 1}, COUNT.format("_as_int", 1, "", 2)),
    ("_as_float", (), {}, COUNT.format("_as_float", 1, "", 0)),
    ("_as_float", (1,), {}, "_as_float() needs keyword-only argument default"),
    ("_as_float", (1,), {"default": 0, "values": 2}, "_as_float() got an unexpected keyword argument 'values'"),
])
def test_argument_errors(name, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        getattr(summary, name)(*args, **kwargs)
    assert str(caught.value) == message


class Name(str):
    pass


def test_keywords_match_by_equality_and_all_by_keyword():
    assert summary._as_int(**{Name("value"): 3, Name("default"): 0}) == 3
    assert summary._budget_threshold_issues(config=_config(), region_usage={}) == []


def _config():
    return types.SimpleNamespace(budgets=types.SimpleNamespace(flash={}, ram={}))


def test_reimport_and_reload_keep_the_module_and_its_namespace():
    marker = object()
    summary.custom_marker = marker
    try:
        del sys.modules["tarnwick.analysis.summary"]
        again = importlib.import_module("tarnwick.analysis.summary")
        assert again is summary and again.custom_marker is marker
        assert importlib.reload(summary) is summary
        assert summary.custom_marker is marker
    finally:
        sys.modules["tarnwick.analysis.summary"] = summary
        del summary.custom_marker


def test_rebinding_takes_effect_and_missing_names_raise(rebind):
    rebind("IssueCategory", types.SimpleNamespace(OVERFLOW="rebound"))
    issues = summary._overflow_issues({"RAM": types.SimpleNamespace(overflow_bytes=1)})
    assert issues[0].category == "rebound"
    rebind("IssueCategory", None)
    delattr(summary, "IssueCategory")
    with pytest.raises(NameError, match="^name 'IssueCategory' is not defined$"):
        summary._overflow_issues({"RAM": types.SimpleNamespace(overflow_bytes=1)})


def test_builtins_are_the_fallback(rebind, monkeypatch):
    monkeypatch.delattr(summary, "Issue")
    monkeypatch.setattr(builtins, "Issue", lambda **kw: kw["id"], raising=False)
    assert summary._overflow_issues({"R": types.SimpleNamespace(overflow_bytes=3)}) == ["overflow.R"]


# How a second interpreter of the process is made, by version: 3.11 and 3.12 name the module
# _xxsubinterpreters (3.12 makes an isolated interpreter unless told otherwise), 3.13 _interpreters.
SUBINTERPRETER = {
    (3, 11): """
        import _xxsubinterpreters as interpreters
        def attempt(legacy):
            try:
                interpreters.run_string(interpreters.create(), "import tarnwick.analysis.summary")
            except interpreters.RunFailedError as exc:
                return str(exc)
    """,
    (3, 12): """
        import _xxsubinterpreters as interpreters
        def attempt(legacy):
            try:
                interpreters.run_string(interpreters.create(isolated=not legacy), "import tarnwick.analysis.summary")
            except interpreters.RunFailedError as exc:
                return str(exc)
    """,
    (3, 13): """
        import _interpreters as interpreters
        def attempt(legacy):
            config = interpreters.new_config("legacy" if legacy else "isolated")
            failure = interpreters.run_string(interpreters.create(config), "import tarnwick.analysis.summary")
            return failure and failure.formatted
    """,
}
OURS = "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process."
THE_INTERPRETERS = "ImportError: module tarnwick.analysis.summary does not support loading in subinterpreters"


@pytest.mark.parametrize("legacy", [True, False], ids=["shared GIL", "isolated"])
def test_second_interpreter_is_refused(legacy):
    """The module refuses a second interpreter itself. Since 3.12 an isolated interpreter (its own
    GIL) refuses a module that does not declare it can share one, before the module's code runs,
    with the interpreter's own message; 3.11 has no isolated interpreters."""
    version = sys.version_info[:2]
    result = run_python(SUBINTERPRETER[version] + """
        import tarnwick.analysis.summary
        print(attempt(%r))
    """ % legacy)
    expected = OURS if legacy or version < (3, 12) else THE_INTERPRETERS
    assert result.stdout.strip().splitlines()[-1].endswith(expected.split(": ", 1)[1]), result.stdout + result.stderr


BLOCKER = """
    import sys, traceback
    class Blocker:
        def find_spec(self, name, path=None, target=None):
            if name == {target!r}:
                raise ModuleNotFoundError(f"No module named {{name!r}}", name=name)
            return None
    sys.meta_path.insert(0, Blocker())
    try:
        import tarnwick.analysis.summary
    except ImportError as exc:
        frames = [f for f in traceback.extract_tb(exc.__traceback__) if f.name.startswith("init ")]
        print(type(exc).__name__, exc, "|", *[(f.name, f.lineno, f.filename) for f in frames])
    print("registered:", "tarnwick.analysis.summary" in sys.modules)
    sys.meta_path.pop(0)
    import tarnwick.analysis.summary as s
    print("second:", s.build_analysis_report.__name__, s._as_int(2.5, default=0))
"""


@pytest.mark.parametrize("target, line", [
    # the first statement whose import reaches the blocked module
    ("tarnwick.analysis.multicore", 11), ("tarnwick.domain.schema", 10),
    ("tarnwick.toolchains.base", 11), ("tarnwick.config", 26),
])
def test_missing_collaborator_fails_then_import_succeeds(target, line):
    result = run_python(BLOCKER.format(target=target))
    first, registered, second = result.stdout.splitlines()
    assert first.startswith("ModuleNotFoundError")
    assert first.endswith(f"| ('init tarnwick.analysis.summary', {line}, 'analysis/summary')")
    assert registered == "registered: False"
    assert second == "second: build_analysis_report 2"


def test_missing_name_fails_with_cannot_import_then_succeeds():
    result = run_python("""
        import tarnwick.analysis.padding_waste as pw
        saved = pw.compute_padding_waste
        del pw.compute_padding_waste
        try:
            import tarnwick.analysis.summary
        except ImportError as exc:
            import traceback
            print(type(exc).__name__, exc, traceback.extract_tb(exc.__traceback__)[-1].lineno)
        pw.compute_padding_waste = saved
        import tarnwick.analysis.summary as s
        print(s.compute_padding_waste is saved)
    """)
    assert result.stdout.splitlines() == ["ImportError cannot import name compute_padding_waste 12", "True"], result.stderr


def test_from_import_falls_back_to_registered_submodule():
    result = run_python("""
        import sys, types
        import tarnwick.domain.schema as schema
        saved = schema.SCHEMA_VERSION
        del schema.SCHEMA_VERSION
        sys.modules["tarnwick.domain.schema.SCHEMA_VERSION"] = "from-registry"
        import tarnwick.analysis.summary as s
        print(s.SCHEMA_VERSION)
    """)
    assert result.stdout.strip() == "from-registry", result.stderr


def test_exports_only_the_init_symbol():
    import shutil
    import subprocess
    if shutil.which("nm") is None:
        pytest.skip("nm not installed")
    out = subprocess.run(["nm", "-D", "--defined-only", summary.__file__], capture_output=True,
                         text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines()] == ["PyInit_summary"]


def test_exec_on_another_module_is_refused():
    result = run_python("""
        import ctypes, types
        import tarnwick.analysis.summary as s
        library = ctypes.PyDLL(s.__file__)
        library.PyInit_summary.restype = ctypes.c_void_p
        definition = library.PyInit_summary()
        execute = ctypes.pythonapi.PyModule_ExecDef
        execute.argtypes = [ctypes.py_object, ctypes.c_void_p]
        try:
            execute(types.ModuleType("other"), definition)
        except RuntimeError as exc:
            print(exc)
        print(execute(s, definition), s.build_analysis_report.__name__)
    """)
    assert result.stdout.splitlines() == [
        "Module 'summary' has already been imported. Re-initialisation is not supported.",
        "0 build_analysis_report"], result.stderr


def test_exec_registers_the_module_when_the_loader_did_not():
    result = run_python("""
        import importlib.util, sys
        import tarnwick.analysis
        spec = importlib.util.find_spec("tarnwick.analysis.summary")
        module = importlib.util.module_from_spec(spec)
        print("tarnwick.analysis.summary" in sys.modules)
        spec.loader.exec_module(module)
        print(sys.modules["tarnwick.analysis.summary"] is module, module.__file__ == spec.origin,
              module.__package__, module.__loader__ is spec.loader, hasattr(module, "__path__"))
    """)
    assert result.stdout.splitlines() == ["False", "True True tarnwick.analysis True False"], result.stderr


def test_failed_exec_takes_back_its_registry_entry():
    result = run_python("""
        import importlib.util, sys
        import tarnwick.analysis, tarnwick.analysis.multicore as mc
        spec = importlib.util.find_spec("tarnwick.analysis.summary")
        module = importlib.util.module_from_spec(spec)
        saved = mc.build_multicore_summary
        del mc.build_multicore_summary
        try:
            spec.loader.exec_module(module)
        except ImportError as exc:
            print(exc)
        print("tarnwick.analysis.summary" in sys.modules)
        mc.build_multicore_summary = saved
        import tarnwick.analysis.summary as s
        print(s.build_multicore_summary is saved)
    """)
    assert result.stdout.splitlines() == ["cannot import name build_multicore_summary", "False", "True"], result.stderr
