"""Every tuple class made with `named_tuple` is the `typing.NamedTuple` its declaration would make.

Each one's own source is run again as a subclass of `typing.NamedTuple`, in its module's
namespace, and the two classes are compared on what callers see: fields, defaults, `__doc__`,
the names it answers to, its methods and properties, and instances' repr, equality, argument
errors, `_replace`, `_asdict` and pickling."""

from __future__ import annotations

import inspect
import pickle
import re
import sys
import textwrap
import typing

import pytest

from package_classes import package_classes
from tarnwick.support import records

records.declared_shapes()  # imports every module of the package


def _made_by_named_tuple(cls: type) -> bool:
    return issubclass(cls, tuple) and hasattr(cls, "_fields") and \
        inspect.getsource(cls).lstrip().startswith("@named_tuple")


TUPLES = package_classes(_made_by_named_tuple)


def _twin(cls: type) -> type:
    source = textwrap.dedent(inspect.getsource(cls))
    source = re.sub(rf"^@named_tuple\nclass {cls.__name__}:", f"class {cls.__name__}(__NamedTuple):", source,
                    flags=re.M)
    module = sys.modules[cls.__module__]
    namespace = dict(vars(module), __NamedTuple=typing.NamedTuple)
    exec(compile("from __future__ import annotations\n" + source, module.__file__, "exec"), namespace)
    return namespace[cls.__name__]


def _outcome(action):
    try:
        return ("value", action())
    except Exception as error:  # noqa: BLE001 - the kind and text of the failure are compared
        return (type(error), str(error))


def _own(cls: type) -> dict:
    """What the class body gave it beyond what every namedtuple has: name -> its kind and code."""
    own = {}
    for name, value in cls.__dict__.items():
        if name.startswith("__") and name not in ("__doc__",):
            continue
        if name in cls._fields or name in ("_fields", "_field_defaults", "_make", "_replace", "_asdict"):
            continue
        function = getattr(value, "fget", None) or getattr(value, "__func__", None) or value
        own[name] = (type(value).__name__, getattr(getattr(function, "__code__", None), "co_code", function))
    return own


def test_the_package_has_its_tuples():
    assert {cls.__name__ for cls in TUPLES} >= {"Verdict", "GrowthLimit", "GrowthGate", "PolicyGate", "Outcome",
                                                 "RegionFigures"}


@pytest.mark.parametrize("cls", TUPLES, ids=lambda cls: f"{cls.__module__}.{cls.__qualname__}")
def test_a_tuple_is_the_named_tuple_of_its_declaration(cls):
    twin = _twin(cls)
    assert cls._fields == twin._fields
    assert repr(cls._field_defaults) == repr(twin._field_defaults)
    assert cls.__doc__ == twin.__doc__
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (twin.__name__, twin.__qualname__, twin.__module__)
    assert cls.__bases__ == twin.__bases__ == (tuple,)
    assert set(cls.__annotations__) == set(twin.__annotations__)
    assert _own(cls) == _own(twin)
    # the annotations: the texts written (typing wraps each in a ForwardRef)
    parameters = lambda kind: [(p.name, p.kind, repr(p.default)) for p in inspect.signature(kind).parameters.values()]  # noqa: E731
    assert parameters(cls) == parameters(twin)
    assert {name: typing.ForwardRef(text) for name, text in cls.__annotations__.items()} == twin.__annotations__

    values = [f"value of {name}" for name in cls._fields]
    ours, theirs = cls(*values), twin(*values)
    assert repr(ours) == repr(theirs) and ours == theirs == tuple(values)
    assert ours._asdict() == theirs._asdict()
    assert ours._replace(**{cls._fields[0]: 1}) == theirs._replace(**{cls._fields[0]: 1})
    assert pickle.loads(pickle.dumps(ours)) == ours and type(pickle.loads(pickle.dumps(ours))) is cls
    for arguments in ((), tuple(range(len(cls._fields) + 1))):
        assert _outcome(lambda: cls(*arguments)) == _outcome(lambda: twin(*arguments))
    assert _outcome(lambda: cls(nothing=1)) == _outcome(lambda: twin(nothing=1))
    if len(cls._field_defaults) == len(cls._fields):
        assert repr(cls()) == repr(twin())


@pytest.mark.parametrize("body", ["name: str = 'a'\n    size: int",
                                  "name: str = 'a'\n    kind: str = 'b'\n    size: int"])
def test_a_wrong_declaration_fails_as_named_tuple_would(body):
    ours = f"from tarnwick.support.records import named_tuple\n@named_tuple\nclass Wrong:\n    {body}\n"
    theirs = f"from typing import NamedTuple\nclass Wrong(NamedTuple):\n    {body}\n"
    failures = [_outcome(lambda: exec(compile(source, "<test>", "exec"), {"__name__": "declared"}))
                for source in (ours, theirs)]
    assert failures[0][0] is TypeError and failures[0] == failures[1]
