"""Every record class behaves as the dataclass its declaration would make.

Each record's own source is run again with `@dataclass` in place of `@record`, in its module's
namespace, and the two classes are compared on what callers see: fields and parameters as
`dataclasses` reports them, the signature, `__doc__`, `__match_args__`, slots, hashing, and
instances' repr, equality, hash, frozen errors, argument errors and pickling."""

from __future__ import annotations

import copy
import dataclasses
import importlib
import inspect
import pickle
import re
import sys
import textwrap
from pathlib import Path
from typing import ClassVar

import pytest

from package_classes import package_classes
from tarnwick.support import record_code, record_code_fields, records

SHAPES = records.declared_shapes()  # imports every module of the package


RECORDS = package_classes(lambda cls: records.FIELDS in cls.__dict__)


def _twin(cls: type) -> type:
    """The class its declaration makes with `dataclasses.dataclass`."""
    source = textwrap.dedent(inspect.getsource(cls))
    source = re.sub(r"^@record\b", "@__dataclass", source, flags=re.M)
    module = sys.modules[cls.__module__]
    namespace = dict(vars(module), __dataclass=dataclasses.dataclass, field=dataclasses.field)
    exec(compile("from __future__ import annotations\n" + source, module.__file__, "exec"), namespace)
    return namespace[cls.__name__]


def _arguments(cls: type) -> dict:
    """A value for every field without a default, each a different text."""
    return {name: f"value of {name}" for name, parameter in inspect.signature(cls).parameters.items()
            if parameter.default is inspect.Parameter.empty}


def _outcome(action):
    try:
        return ("value", action())
    except Exception as error:  # noqa: BLE001 - the kind and text of the failure are compared
        return (type(error), str(error))


def test_the_package_has_its_records():
    assert len(RECORDS) >= 100
    assert {cls.__name__ for cls in RECORDS} >= {"Symbol", "Section", "AnalysisReport", "TarnwickConfig"}


def test_the_compiled_methods_are_those_of_the_declarations():
    """Regenerate with `python -m tarnwick.support.records` when this fails."""
    for field_by_field, name in records.CODE_MODULES.items():
        module = importlib.import_module(name)
        assert Path(module.__file__).read_text(encoding="utf-8") == records.generated_module(SHAPES, field_by_field)
    assert all(shape.key() in record_code.METHODS or shape.key() in record_code_fields.METHODS for shape in SHAPES)


@pytest.mark.parametrize("cls", RECORDS, ids=lambda cls: f"{cls.__module__}.{cls.__qualname__}")
def test_a_record_is_the_dataclass_of_its_declaration(cls):
    twin = _twin(cls)
    assert dataclasses.is_dataclass(cls)
    made = lambda f: f.default_factory if f.default_factory is dataclasses.MISSING else repr(f.default_factory())  # noqa: E731
    describe = lambda kind: [(f.name, f.type, f.default, made(f), f.init, f.repr, f.compare)  # noqa: E731
                             for f in dataclasses.fields(kind)]
    assert describe(cls) == describe(twin)
    assert repr(cls.__dataclass_params__) == repr(twin.__dataclass_params__)
    assert records.field_names(cls) == tuple(f.name for f in dataclasses.fields(twin))
    assert str(inspect.signature(cls)) == str(inspect.signature(twin))
    assert cls.__init__.__annotations__ == twin.__init__.__annotations__
    assert cls.__init__.__qualname__ == twin.__init__.__qualname__
    assert cls.__doc__ == twin.__doc__
    assert cls.__match_args__ == twin.__match_args__
    assert getattr(cls, "__slots__", None) == getattr(twin, "__slots__", None)
    assert (cls.__hash__ is None) == (twin.__hash__ is None)
    for name in ("__init__", "__repr__", "__eq__", "__hash__", "__setattr__", "__delattr__", "__replace__"):
        assert (name in cls.__dict__) == (name in twin.__dict__), name
    for name in records.field_names(cls):  # class attributes: defaults kept, factories removed
        assert _outcome(lambda: getattr(cls, name)) == _outcome(lambda: getattr(twin, name)) \
            or isinstance(getattr(cls, name), type(getattr(twin, name))), name

    arguments = _arguments(cls)
    ours, theirs = _outcome(lambda: cls(**arguments)), _outcome(lambda: twin(**arguments))
    assert ours[0] == theirs[0]
    if ours[0] != "value":  # a __post_init__ that needs real values
        assert ours == theirs
        return
    ours, theirs = ours[1], theirs[1]
    assert repr(ours) == repr(theirs)
    assert ours == cls(**arguments) and not ours != cls(**arguments)
    assert (ours == theirs) is False and ours.__eq__(theirs) is NotImplemented
    assert _outcome(lambda: hash(ours)) == _outcome(lambda: hash(theirs))
    first = next(iter(records.field_names(cls)), None)
    if first is not None:
        changed = cls(**{**arguments, first: "another value"}) if first in arguments else None
        if changed is not None:
            assert changed != ours
        assert _outcome(lambda: setattr(ours, first, 1)) == _outcome(lambda: setattr(theirs, first, 1))
        assert _outcome(lambda: delattr(ours, first)) == _outcome(lambda: delattr(theirs, first))
    assert _outcome(lambda: setattr(ours, "not_a_field", 1)) == _outcome(lambda: setattr(theirs, "not_a_field", 1))
    if arguments:
        assert _outcome(lambda: cls()) == _outcome(lambda: twin())
    assert _outcome(lambda: cls(*range(len(inspect.signature(cls).parameters) + 1))) == \
        _outcome(lambda: twin(*range(len(inspect.signature(twin).parameters) + 1)))
    fresh = cls(**arguments)
    assert dataclasses.asdict(fresh) == dataclasses.asdict(twin(**arguments))
    assert records.replace(fresh) == fresh and dataclasses.replace(fresh) == fresh
    if hasattr(copy, "replace"):
        assert copy.replace(fresh) == fresh
    assert copy.copy(fresh) == fresh and copy.deepcopy(fresh) == fresh


@pytest.mark.parametrize("frozen, slots", [(False, False), (True, False), (False, True), (True, True)])
def test_declaring_a_record(frozen, slots):
    namespace = {}
    exec(textwrap.dedent(f"""
        from __future__ import annotations
        from tarnwick.support.records import field, record

        @record(frozen={frozen}, slots={slots})
        class Part:
            name: str
            size: int = 0
            parts: list = field(default_factory=list)
        """), namespace)
    Part = namespace["Part"]
    part = Part("a", 4)
    assert part.parts == [] and part.parts is not Part("a").parts
    part_of_itself = Part("b", 1, [])
    part_of_itself.parts.append(part_of_itself)
    assert repr(part_of_itself) == "Part(name='b', size=1, parts=[...])"
    if frozen:
        with pytest.raises(dataclasses.FrozenInstanceError, match="cannot assign to field 'size'"):
            part.size = 5
        assert hash(Part("a", 4, ())) == hash(("a", 4, ()))
    else:
        part.size = 5
        assert Part.__hash__ is None
    assert (hasattr(part, "__dict__")) is not slots
    assert records.replace(part, size=9) == Part("a", 9, part.parts)


def test_a_record_pickles_as_its_dataclass_does():
    from tarnwick.domain import Issue, IssueCategory, IssueSeverity
    from tarnwick.toolchains.base import Symbol

    for value in (Symbol("main", 0x100, 12, ".text", "main.o"),
                  Issue("x", IssueSeverity.ERROR, IssueCategory.OVERFLOW, "t", "d", ("a",))):
        assert pickle.loads(pickle.dumps(value)) == value


@pytest.mark.parametrize("body, error", [
    ("name: str = 'a'\n    size: int", "non-default argument 'size' follows default argument"),
    ("names: list = []", "mutable default <class 'list'> for field names is not allowed: use default_factory"),
])
def test_a_wrong_declaration_fails_as_dataclass_would(body, error):
    source = f"from tarnwick.support.records import record\n@record\nclass Wrong:\n    {body}\n"
    with pytest.raises((TypeError, ValueError), match=re.escape(error)):
        exec(compile("from __future__ import annotations\n" + source, "<test>", "exec"), {})
    twin = source.replace("from tarnwick.support.records import record", "from dataclasses import dataclass as record")
    with pytest.raises((TypeError, ValueError), match=re.escape(error)):
        exec(compile("from __future__ import annotations\n" + twin, "<test>", "exec"), {"__name__": "__main__"})


@records.record
class _Counted:
    name: str
    made: ClassVar[int] = 0


def test_what_records_do_not_make_is_left_to_dataclass():
    assert isinstance(_Counted.__dict__["__dataclass_fields__"], dict)  # made by dataclass itself
    assert records.field_names(_Counted) == ("name",)
    assert _Counted("a") == _Counted("a") and _Counted.made == 0
