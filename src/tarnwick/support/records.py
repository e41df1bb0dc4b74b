"""Record classes: what `dataclasses.dataclass` makes of a class, at a fraction of its cost.

A run makes some fifty record classes before it reads a byte, and `dataclass` compiles the
source of every method it writes (about 0.6 ms a class, and its module pulls in `inspect`):
most of a small run's time. `record` writes the same methods from code compiled once, ahead of
time, into `record_code` (a module like any other, so its bytecode is cached as usual; the
methods of Python 3.13, which compares otherwise, in `record_code_fields`), and only compiles
what that module lacks.

What a class gets is what `dataclass` gives it for the features used here (defaults, a default
factory, `__post_init__`, `frozen`, `slots`): the same `__init__` (signature, annotations,
defaults, messages), `__repr__`, `__eq__` (as this interpreter's own `dataclass` compares),
`__hash__`, frozen `__setattr__`/`__delattr__` raising `dataclasses.FrozenInstanceError`,
`__match_args__`, `__doc__`, slots and, from Python 3.13 on, `__replace__`.
`__dataclass_fields__` and `__dataclass_params__` are made by `dataclass` itself on first use,
so `dataclasses.fields`, `replace`, `asdict` and `is_dataclass` work as on any dataclass.
Anything else (inheritance, class variables) is left to `dataclass`. Regenerate the compiled
code after changing a record: `python -m tarnwick.support.records`.
"""

from __future__ import annotations

import functools
import sys

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Any, Callable

# The names of a record's fields in order, on every class made here (also those left to
# `dataclass`): the cheap way to walk a record without importing `dataclasses`.
FIELDS = "__record_fields__"

# Python 3.13's `dataclass` compares field by field after an identity test; 3.11 and 3.12
# compare tuples of the fields.
_FIELD_BY_FIELD_EQUALITY = sys.version_info >= (3, 13)

_DECLARED: list = []  # every shape made in this process, for the code generator


class _HasDefaultFactory:
    def __repr__(self) -> str:
        return "<factory>"


_FACTORY_MARKER = _HasDefaultFactory()


class _Factory:
    """`field(default_factory=...)`: the only kind of field() records use."""

    __slots__ = ("default_factory",)

    def __init__(self, default_factory: Callable):
        self.default_factory = default_factory


def field(*, default_factory: Callable) -> Any:
    return _Factory(default_factory)


def record(cls: type = None, /, *, frozen: bool = False, slots: bool = False):
    """Decorate like `@dataclass`, `@dataclass(frozen=True)` or `@dataclass(slots=True)`."""

    def wrap(target: type) -> type:
        return _make_record(target, frozen, slots)

    return wrap if cls is None else wrap(cls)


# what `typing.NamedTuple` copies from the class body besides the fields and their defaults
_TUPLE_SKIPPED = frozenset({"__module__", "__qualname__", "__annotations__", "__dict__", "__weakref__"})


def named_tuple(cls: type) -> type:
    """What `class C(typing.NamedTuple)` makes of a plain class `C` with annotated fields, its
    defaults and methods: a `collections.namedtuple` of its module, without loading `typing`
    (a large module every run would pay for). The annotations stay the strings written."""
    from collections import namedtuple

    annotations = cls.__dict__.get("__annotations__", {})
    with_default = []
    for name in annotations:
        if name in cls.__dict__:
            with_default.append(name)
        elif with_default:
            raise TypeError(f"Non-default namedtuple field {name} cannot follow default field"
                            f"{'s' if len(with_default) > 1 else ''} {', '.join(with_default)}")
    made = namedtuple(cls.__name__, tuple(annotations), defaults=[cls.__dict__[name] for name in with_default],
                      module=cls.__module__)
    made.__qualname__ = cls.__qualname__
    made.__annotations__ = made.__new__.__annotations__ = dict(annotations)
    for key, value in cls.__dict__.items():
        if key in _TUPLE_SKIPPED or key in annotations or (key == "__doc__" and value is None):
            continue
        setattr(made, key, value)
    return made


def field_names(value: Any) -> tuple:
    """A record's field names (of a record class or an instance of one)."""
    kind = value if isinstance(value, type) else type(value)
    return kind.__dict__[FIELDS] if FIELDS in kind.__dict__ else getattr(kind, FIELDS)


def is_record(value: Any) -> bool:
    """Whether `value` is an instance (not the class) of a record or of any dataclass."""
    kind = type(value)
    if isinstance(value, type):
        return False
    return hasattr(kind, FIELDS) or hasattr(kind, "__dataclass_fields__")


def fields_of(value: Any) -> tuple:
    """The field names of an instance of a record or of any other dataclass."""
    kind = type(value)
    if hasattr(kind, FIELDS):
        return getattr(kind, FIELDS)
    import dataclasses

    return tuple(f.name for f in dataclasses.fields(value))


def replace(value: Any, /, **changes) -> Any:
    """`dataclasses.replace` for records (every field of a record is an init field)."""
    for name in field_names(value):
        if name not in changes:
            changes[name] = getattr(value, name)
    return type(value)(**changes)


def _replace_method(self, /, **changes):
    return replace(self, **changes)


def _frozen_error():
    from dataclasses import FrozenInstanceError

    return FrozenInstanceError


def _recursive_repr(user_function: Callable) -> Callable:
    # as `dataclass` guards its own: a record that holds itself prints as "..."
    import _thread

    running = set()

    @functools.wraps(user_function)
    def wrapper(self):
        key = id(self), _thread.get_ident()
        if key in running:
            return "..."
        running.add(key)
        try:
            result = user_function(self)
        finally:
            running.discard(key)
        return result

    return wrapper


class _Shape:
    """What decides the source of a record's methods: its field names and which take a default
    or a factory, frozen, a __post_init__ and which methods the class writes itself."""

    __slots__ = ("names", "kinds", "frozen", "post_init", "write_init", "write_repr", "write_eq",
                 "hash_action", "field_by_field")

    def __init__(self, names, kinds, frozen, post_init, write_init, write_repr, write_eq, hash_action,
                 field_by_field):
        self.names, self.kinds, self.frozen, self.post_init = names, kinds, frozen, post_init
        self.write_init, self.write_repr, self.write_eq = write_init, write_repr, write_eq
        self.hash_action, self.field_by_field = hash_action, field_by_field

    def key(self) -> str:
        flags = "".join(letter for letter, on in (("f", self.frozen), ("p", self.post_init),
                                                   ("i", self.write_init), ("r", self.write_repr),
                                                   ("e", self.write_eq), ("q", self.field_by_field)) if on)
        return f"{flags}|{self.hash_action}|" + ",".join(f"{n}:{k}" for n, k in zip(self.names, self.kinds))


def _hash_action(cls: type, frozen: bool) -> str:
    # `dataclass`'s table for eq=True, unsafe_hash=False
    class_hash = cls.__dict__.get("__hash__", _FACTORY_MARKER)
    explicit = not (class_hash is _FACTORY_MARKER or (class_hash is None and "__eq__" in cls.__dict__))
    if explicit:
        return "keep"
    return "add" if frozen else "none"


def _plain_enough(cls: type) -> bool:
    """Whether `record` makes this class itself; else it is left to `dataclass`."""
    if any(hasattr(base, "__dataclass_fields__") or hasattr(base, FIELDS) for base in cls.__mro__[1:]):
        return False
    annotations = cls.__dict__.get("__annotations__", {})
    for name, annotation in annotations.items():
        if not isinstance(annotation, str) or "ClassVar" in annotation or "InitVar" in annotation \
                or "KW_ONLY" in annotation:
            return False
        default = cls.__dict__.get(name)
        if type(default).__module__ == "dataclasses":  # a dataclasses.field()
            return False
    return "__slots__" not in cls.__dict__ and "self" not in annotations


def _as_dataclass(cls: type, frozen: bool, slots: bool) -> type:
    import dataclasses

    for name, value in list(cls.__dict__.items()):
        if isinstance(value, _Factory):
            setattr(cls, name, dataclasses.field(default_factory=value.default_factory))
    made = dataclasses.dataclass(cls, frozen=frozen, slots=slots)
    setattr(made, FIELDS, tuple(f.name for f in dataclasses.fields(made)))
    return made


def _make_record(cls: type, frozen: bool, slots: bool) -> type:
    if not _plain_enough(cls) or (frozen and slots):
        return _as_dataclass(cls, frozen, slots)
    annotations = cls.__dict__.get("__annotations__", {})
    names = tuple(annotations)
    kinds, defaults, factories = [], [], []
    for name in names:
        default = cls.__dict__.get(name, _FACTORY_MARKER)
        if default is _FACTORY_MARKER:
            if any(kind != "r" for kind in kinds):
                raise TypeError(f"non-default argument {name!r} follows default argument")
            kinds.append("r")
            defaults.append(None)
            factories.append(None)
        elif isinstance(default, _Factory):
            kinds.append("f")
            defaults.append(None)
            factories.append(default.default_factory)
        else:
            if default.__class__.__hash__ is None:
                raise ValueError(f"mutable default {type(default)} for field {name} is not allowed: "
                                 "use default_factory")
            kinds.append("d")
            defaults.append(default)
            factories.append(None)
    shape = _Shape(names, tuple(kinds), frozen, hasattr(cls, "__post_init__"), "__init__" not in cls.__dict__,
                 "__repr__" not in cls.__dict__, "__eq__" not in cls.__dict__, _hash_action(cls, frozen),
                 _FIELD_BY_FIELD_EQUALITY)
    if frozen:
        for name in ("__setattr__", "__delattr__"):
            if name in cls.__dict__:
                raise TypeError(f"Cannot overwrite attribute {name} in class {cls.__name__}")
    _DECLARED.append(shape)
    methods = _factory(shape)(cls, tuple(defaults), tuple(factories), tuple(annotations.values()),
                             _recursive_repr, _frozen_error, _FACTORY_MARKER, object)

    # as `dataclass`: factory fields lose their class attribute, plain defaults keep theirs
    for name, kind in zip(names, kinds):
        if kind == "f":
            delattr(cls, name)
    for name, method in methods.items():
        method.__qualname__ = f"{cls.__qualname__}.{name}"
        setattr(cls, name, method)
    if _FIELD_BY_FIELD_EQUALITY and "__replace__" not in cls.__dict__:  # copy.replace, from 3.13 on
        cls.__replace__ = _replace_method
    if shape.hash_action == "none":
        cls.__hash__ = None
    if "__match_args__" not in cls.__dict__:
        cls.__match_args__ = names
    setattr(cls, FIELDS, names)
    declared = (frozen, slots, dict(annotations),
                {name: (_Factory(factory) if kind == "f" else default)
                 for name, kind, default, factory in zip(names, kinds, defaults, factories) if kind != "r"})
    cls.__dataclass_fields__ = _DataclassView("__dataclass_fields__", declared)
    cls.__dataclass_params__ = _DataclassView("__dataclass_params__", declared)
    if not getattr(cls, "__doc__"):
        cls.__doc__ = cls.__name__ + _text_signature(names, kinds, defaults, annotations)
    if slots:
        cls = _with_slots(cls, names)
    for view in ("__dataclass_fields__", "__dataclass_params__"):
        cls.__dict__[view].record = cls
    return cls


def _with_slots(cls: type, names: tuple) -> type:
    # a new class, as `dataclass` makes one: __slots__ cannot be added to a class once made
    namespace = dict(cls.__dict__)
    namespace["__slots__"] = names
    for name in names:
        namespace.pop(name, None)
    namespace.pop("__dict__", None)
    namespace.pop("__weakref__", None)
    qualname = getattr(cls, "__qualname__", None)
    made = type(cls)(cls.__name__, cls.__bases__, namespace)
    if qualname is not None:
        made.__qualname__ = qualname
    return made


def _text_signature(names, kinds, defaults, annotations) -> str:
    # what `dataclass` writes into __doc__ from `inspect.signature` of its __init__
    return "(" + ", ".join(_parameters(names, kinds, lambda index: repr(annotations[names[index]]),
                                       lambda index: repr(defaults[index]), "<factory>")) + ")"


def _parameters(names, kinds, annotation: Callable, default: Callable, factory: str) -> list:
    """Each field as a parameter of __init__: "name: ANNOTATION", " = DEFAULT" or " = FACTORY"."""
    written = []
    for index, (name, kind) in enumerate(zip(names, kinds)):
        tail = f" = {default(index)}" if kind == "d" else f" = {factory}" if kind == "f" else ""
        written.append(f"{name}: {annotation(index)}{tail}")
    return written


class _DataclassView:
    """`__dataclass_fields__` or `__dataclass_params__`, made by `dataclass` from a twin of the
    record the first time anything asks, then kept on the record in its place."""

    def __init__(self, attribute: str, declared: tuple):
        self.attribute, self.declared = attribute, declared
        self.record = None

    def __get__(self, instance, owner=None):
        import dataclasses

        record = self.record
        frozen, slots, annotations, defaults = self.declared
        namespace = {"__annotations__": annotations, "__module__": record.__module__,
                     "__qualname__": record.__qualname__}
        for name, value in defaults.items():
            namespace[name] = (dataclasses.field(default_factory=value.default_factory)
                               if isinstance(value, _Factory) else value)
        twin = dataclasses.dataclass(type(record.__name__, (), namespace), frozen=frozen, slots=slots)
        for attribute in ("__dataclass_fields__", "__dataclass_params__"):
            type.__setattr__(record, attribute, getattr(twin, attribute))
        return getattr(record, self.attribute)


# --- the methods' source, and the code compiled from it ahead of time ----------------------

_PARAMETERS = ("__record_cls", "__record_defaults", "__record_factories", "__record_types",
               "__record_recursive_repr", "__record_frozen_error", "__record_factory", "__record_object")


def method_source(shape: _Shape, function: str = "__record_methods") -> str:
    """The text of a function that, given a record class and its defaults, returns its methods."""
    lines = [f"def {function}({', '.join(_PARAMETERS)}):", "    methods = {}"]
    names = shape.names
    if shape.write_init:
        parameters = ["self", *_parameters(names, shape.kinds, lambda index: f"__record_types[{index}]",
                                           lambda index: f"__record_defaults[{index}]", "__record_factory")]
        lines.append(f"    def __init__({', '.join(parameters)}) -> None:")
        body = []
        for index, (name, kind) in enumerate(zip(names, shape.kinds)):
            value = (f"__record_factories[{index}]() if {name} is __record_factory else {name}"
                     if kind == "f" else name)
            body.append(f"__record_object.__setattr__(self, {name!r}, {value})" if shape.frozen
                        else f"self.{name} = {value}")
        if shape.post_init:
            body.append("self.__post_init__()")
        lines.extend(f"        {line}" for line in body or ["pass"])
        lines.append("    methods['__init__'] = __init__")
    if shape.write_repr:
        shown = ", ".join(f"{name}={{self.{name}!r}}" for name in names)
        lines += ["    @__record_recursive_repr",
                  "    def __repr__(self):",
                  f"        return self.__class__.__qualname__ + f\"({shown})\"",
                  "    methods['__repr__'] = __repr__"]
    if shape.write_eq:
        lines.append("    def __eq__(self, other):")
        if shape.field_by_field:
            same = " and ".join(f"self.{name}==other.{name}" for name in names) or "True"
            lines += ["        if self is other:", "            return True",
                      "        if other.__class__ is self.__class__:", f"            return {same}"]
        else:
            lines += ["        if other.__class__ is self.__class__:",
                      f"            return {_tuple_of('self', names)}=={_tuple_of('other', names)}"]
        lines += ["        return NotImplemented", "    methods['__eq__'] = __eq__"]
    if shape.frozen:
        condition = "type(self) is __record_cls"
        if names:
            condition += " or name in {" + ", ".join(repr(name) for name in names) + "}"
        lines += ["    def __setattr__(self, name, value):",
                  f"        if {condition}:",
                  "            raise __record_frozen_error()(f\"cannot assign to field {name!r}\")",
                  "        super(__record_cls, self).__setattr__(name, value)",
                  "    methods['__setattr__'] = __setattr__",
                  "    def __delattr__(self, name):",
                  f"        if {condition}:",
                  "            raise __record_frozen_error()(f\"cannot delete field {name!r}\")",
                  "        super(__record_cls, self).__delattr__(name)",
                  "    methods['__delattr__'] = __delattr__"]
    if shape.hash_action == "add":
        lines += ["    def __hash__(self):", f"        return hash({_tuple_of('self', names)})",
                  "    methods['__hash__'] = __hash__"]
    lines.append("    return methods")
    return "\n".join(lines) + "\n"


def _tuple_of(owner: str, names: tuple) -> str:
    return "(" + "".join(f"{owner}.{name}," for name in names) + ")" if names else "()"


# the compiled methods for each way of comparing, so an interpreter loads only its own
CODE_MODULES = {False: "tarnwick.support.record_code", True: "tarnwick.support.record_code_fields"}


def _factory(shape: _Shape) -> Callable:
    import importlib

    made = importlib.import_module(CODE_MODULES[shape.field_by_field]).METHODS.get(shape.key())
    if made is not None:
        return made
    namespace: dict = {}
    exec(method_source(shape), {}, namespace)
    return namespace["__record_methods"]


def generated_module(shapes, field_by_field: bool) -> str:
    """The text of the module of compiled methods of every shape, compared one way."""
    variants = {}
    for shape in shapes:
        twin = _Shape(shape.names, shape.kinds, shape.frozen, shape.post_init, shape.write_init, shape.write_repr,
                     shape.write_eq, shape.hash_action, field_by_field)
        variants[twin.key()] = twin
    compared = "field by field (Python 3.13 on)" if field_by_field else "as tuples (Python 3.11 and 3.12)"
    parts = [f'"""The methods of every record class, compared {compared}, compiled ahead of time.',
             "Generated by `python -m tarnwick.support.records`; do not edit.\"\"\"", "", "METHODS = {}", ""]
    for number, key in enumerate(sorted(variants)):
        function = f"_record_{number}"
        parts += ["", method_source(variants[key], function), f"METHODS[{key!r}] = {function}", ""]
    return "\n".join(parts).rstrip("\n") + "\n"


def declared_shapes() -> list:
    """The shapes of every record in the package (each of its modules imported)."""
    import importlib
    import pkgutil

    import tarnwick

    for module in pkgutil.walk_packages(tarnwick.__path__, "tarnwick."):
        if module.name.endswith("__main__"):
            continue
        try:
            importlib.import_module(module.name)
        except ImportError:  # an optional dependency that is not installed
            continue
    return list(_DECLARED)


def main() -> None:
    import importlib.util
    from pathlib import Path

    # run as __main__, this file is not the module the package's records were made by
    from tarnwick.support import records

    shapes = records.declared_shapes()
    for field_by_field, name in records.CODE_MODULES.items():
        target = Path(importlib.util.find_spec(name).origin)
        target.write_text(records.generated_module(shapes, field_by_field), encoding="utf-8")
        print(f"wrote {target}")


if __name__ == "__main__":
    main()
