"""The native reader of -fcallgraph-info files finds what the two line patterns it replaced
found: on the files GCC writes for the test firmware's sources (C and C++, statics included) and
on texts made to sit at every edge of the patterns (fields across lines, escapes, quotes, shapes
that are not words, nodes inside other nodes' fields, text that is not ASCII)."""

import re
import shutil
import subprocess
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tarnwick._native import read_call_graph

HERE = Path(__file__).resolve().parent
_NODE = re.compile(r'^node: \{ title: "([^"]*)" label: "([^"]*)"(?: shape : (\w+))? \}', re.M)
_EDGE = re.compile(r'^edge: \{ sourcename: "([^"]*)" targetname: "([^"]*)"(?: label: "([^"]*)")? \}', re.M)
_LETTERS = "abcdefghijklmnopqrstuvwxyz,"


def _unescape(text: str) -> str:
    return text.replace("\\n", "\n").replace("\\\\", "\\") if "\\" in text else text


def _frame(line: str):
    head, bytes_word, qualifier = line.rpartition(" bytes (")
    if not bytes_word or qualifier[-1:] != ")":
        return None
    qualifier = qualifier[:-1]
    digits = head[head.rfind(" ") + 1:]
    if not (digits.isascii() and digits.isdigit()) or not qualifier or qualifier.strip(_LETTERS):
        return None
    return int(digits), qualifier


def patterns(text: str) -> tuple:
    """What the patterns found: the rows read_call_graph gives."""
    functions = []
    for title, label, shape in _NODE.findall(text):
        title, label = _unescape(title), _unescape(label)
        lines = label.split("\n")
        frame = _frame(lines[-1]) if len(lines) >= 3 else None
        if shape == "ellipse" or frame is None:
            continue
        source, _, name = title.rpartition(":") if ":" in title and not title.startswith("_Z") else ("", "", title)
        local = bool(source) and "." in source
        functions.append((title, name if local else title, lines[0], frame[0], frame[1],
                          lines[1] if len(lines) > 1 else "", local))
    calls = [tuple(_unescape(part) for part in edge) for edge in _EDGE.findall(text)]
    return functions, calls


@pytest.fixture(scope="module")
def written(tmp_path_factory) -> list:
    """The .ci files GCC writes for the test firmware's C sources, and for a C++ unit."""
    if not shutil.which("arm-none-eabi-gcc"):
        pytest.skip("arm-none-eabi-gcc is not installed")
    out = tmp_path_factory.mktemp("callgraphs")
    sources = sorted(HERE.glob("stack_firmware/**/*.c")) + sorted(HERE.glob("source_firmware/**/*.c"))
    (out / "shapes.cpp").write_text(
        "struct S { int f(int x); static int g(int); };\n"
        "int S::f(int x) { return x + g(x); }\nint S::g(int y) { return y * 2; }\n"
        "static int helper(int (*p)(int), int v) { return p(v); }\n"
        "int use(S& s) { volatile char buffer[64]; buffer[1] = 2; return s.f(helper(S::g, buffer[1])); }\n")
    found = []
    for index, source in enumerate([*sources, out / "shapes.cpp"]):
        compiler = "arm-none-eabi-g++" if source.suffix == ".cpp" else "arm-none-eabi-gcc"
        target = out / f"unit{index}.o"
        done = subprocess.run([compiler, "-mcpu=cortex-m4", "-mthumb", "-O1", "-fcallgraph-info=su", "-c",
                               str(source), "-o", str(target), f"-I{source.parent}"], capture_output=True, check=False)
        if done.returncode == 0 and target.with_suffix(".ci").exists():
            found.append(target.with_suffix(".ci"))
    assert len(found) >= 10
    return found


def test_every_file_gcc_writes_reads_as_the_patterns_read_it(written):
    statics = calls = 0
    for path in written:
        text = path.read_text()
        expected = patterns(text)
        assert read_call_graph(text) == (expected[0], expected[1]), path.name
        statics += sum(1 for row in expected[0] if row[6])
        calls += len(expected[1])
    assert statics and calls  # the files hold both kinds the reader tells apart


FIELD = st.text(alphabet=st.sampled_from(['a', 'Z', '_', ':', '.', ' ', '\\', 'n', '"', '\n', '0', '7', '(', ')',
                                          ',', 'é', '\u0663', 'ﬀ', '\ud800', '\U0001d7d8', '}']), max_size=14)
LABEL = st.builds(lambda a, b, digits, kind, tail: f"{a}\\n{b}\\n{digits} bytes ({kind}){tail}",
                  FIELD, FIELD, st.sampled_from(["48", "0", "007", "", "1x", "١٢", "123456789012345678901234567890"]),
                  st.sampled_from(["static", "dynamic,bounded", "", "Static", "dyn amic"]),
                  st.sampled_from(["", ")", " "]))
SHAPE = st.sampled_from(["", " shape : ellipse", " shape : box", " shape : ", " shape : b-x", " shape : \u0663_",
                         " shape : ellipse2"])
NODE = st.builds(lambda title, label, shape, end: f'node: {{ title: "{title}" label: "{label}"{shape}{end}',
                 FIELD, st.one_of(LABEL, FIELD), SHAPE, st.sampled_from([" }", "}", " } ", " }}"]))
EDGE = st.builds(lambda a, b, site, end: f'edge: {{ sourcename: "{a}" targetname: "{b}"{site}{end}',
                 FIELD, FIELD, st.one_of(st.just(""), FIELD.map(lambda s: f' label: "{s}"')),
                 st.sampled_from([" }", "}", " } x"]))
LINE = st.one_of(NODE, EDGE, FIELD, st.just('graph: { title: "x"'), st.just(""))


@settings(max_examples=400, deadline=None)
@given(st.lists(LINE, max_size=12), st.sampled_from(["\n", "\r\n", " "]))
def test_texts_at_the_patterns_edges_read_as_the_patterns_read_them(lines, joint):
    text = joint.join(lines)
    assert read_call_graph(text) == patterns(text)


def test_what_is_not_text_is_refused():
    with pytest.raises(TypeError):
        read_call_graph(b'node: { title: "f" label: "f\\nx.c:1:1\\n8 bytes (static)" }')
