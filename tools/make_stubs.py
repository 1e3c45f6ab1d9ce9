"""Writes a .pyi stub beside each extension module of orvane_data, from the functions' real
signatures and docstrings, so that type checkers and IDEs see what `help()` shows.

    python tools/make_stubs.py PACKAGE_ROOT [OUT_ROOT]

PACKAGE_ROOT holds an importable `orvane_data` (built modules included); the stubs go under OUT_ROOT
(default PACKAGE_ROOT) as orvane_data/<sub>/<module>.pyi, with a py.typed marker.
"""
import ast
import dataclasses
import enum
import importlib
import inspect
import os
import pathlib
import sys
import typing

MODULES = ["from_s3.bucketio", "from_s3.shelfsets", "from_localcsv.api", "from_bqia.querykit",
           "from_bqia.tickbars", "ta.volume", "ta.strategy", "ta.utils", "ta.overlap"]

HEADER = ("# Generated when the package is built, from the signatures and docstrings of the extension\n"
          "# module; do not edit.\n")
IMPORTS = ("import abc\n"
           "import datetime\n"
           "from typing import Any, Callable, ClassVar, Dict, List, Optional, Tuple, Union\n\n"
           "import pandas as pd  # type: ignore[import-untyped]\n")

# Where a class lives for a type checker: pandas' public names, the standard library as itself.
PUBLIC = {"pandas": "pd", "builtins": "", "datetime": "datetime", "abc": "abc"}


def annotation(ann) -> str:
    """The annotation as stub text; anything a type checker cannot import becomes Any."""
    if ann is inspect.Parameter.empty:
        return ""
    if ann is None or ann is type(None):
        return "None"
    if ann is typing.Any:
        return "Any"
    origin = typing.get_origin(ann)
    if origin is not None:
        args = typing.get_args(ann)
        if origin is typing.Union:
            if len(args) == 2 and type(None) in args:
                inner = args[0] if args[1] is type(None) else args[1]
                return f"Optional[{annotation(inner)}]"
            return "Union[" + ", ".join(annotation(a) for a in args) + "]"
        name = {list: "List", dict: "Dict", tuple: "Tuple"}.get(origin)
        if name:
            return f"{name}[" + ", ".join(annotation(a) for a in args) + "]"
        return "Any"
    if isinstance(ann, type):
        top = ann.__module__.split(".")[0]
        if top in PUBLIC and (top != "pandas" or hasattr(sys.modules["pandas"], ann.__name__)):
            prefix = PUBLIC[top]
            return f"{prefix}.{ann.__qualname__}" if prefix else ann.__qualname__
        return "Any"
    if isinstance(ann, str):
        return ann
    return "Any"


def _same(a, b) -> bool:
    """Equal, and of the same types all the way down (a str subclass is not a str)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(_same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(_same(k, l) and _same(a[k], b[l]) for k, l in zip(a, b))
    return a == b


def default(value) -> str:
    """A default as stub text: the literal that gives this very value back, or `...` for a value
    that has none (an object, a float nan)."""
    text = repr(value)
    try:
        back = ast.literal_eval(text)
    except (ValueError, TypeError, SyntaxError, MemoryError, RecursionError):
        return "..."
    return text if _same(back, value) else "..."


def parameters(sig: inspect.Signature, skip_self: bool) -> str:
    out = []
    for i, p in enumerate(sig.parameters.values()):
        if skip_self and i == 0:
            out.append(p.name)
            continue
        text = annotation(p.annotation)
        if p.default is None and text and not text.startswith(("Optional[", "Any")):
            text = f"Optional[{text}]"
        star = {p.VAR_POSITIONAL: "*", p.VAR_KEYWORD: "**"}.get(p.kind, "")
        item = star + p.name + (f": {text}" if text else "")
        if p.default is not inspect.Parameter.empty:
            item += (" = " if text else "=") + default(p.default)
        out.append(item)
    return ", ".join(out)


def docstring(obj, indent: str) -> str:
    doc = inspect.getdoc(obj)
    if not doc:
        return ""
    doc = doc.replace("\\", "\\\\").replace('"""', '\\"\\"\\"')
    lines = doc.splitlines()
    body = "\n".join((indent + line) if line else "" for line in lines[1:])
    return f'{indent}"""{lines[0]}' + (f"\n{body}\n{indent}" if len(lines) > 1 else "") + '"""\n'


def function(name: str, f, indent: str = "", method: bool = False) -> str:
    sig = inspect.signature(f)
    ret = annotation(sig.return_annotation)
    head = f"{indent}def {name}({parameters(sig, method)})" + (f" -> {ret}" if ret else "") + ":\n"
    doc = docstring(f, indent + "    ")
    return head + (doc + f"{indent}    ...\n" if doc else f"{indent}    ...\n")


def is_own_function(value, module) -> bool:
    return type(value).__name__ == "function" and getattr(value, "__module__", None) == module.__name__


def klass(name: str, cls) -> str:
    bases = [b for b in cls.__bases__ if b is not object]
    base_text = ", ".join(annotation(b) if b.__module__ != cls.__module__ else b.__name__ for b in bases)
    out = f"class {name}" + (f"({base_text})" if base_text else "") + ":\n"
    out += docstring(cls, "    ")
    members = []
    if dataclasses.is_dataclass(cls):
        for field in dataclasses.fields(cls):
            members.append(f"    {field.name}: {annotation(field.type) or 'Any'}\n")
        members.append(function("__init__", cls.__init__, "    ", method=True))
    if "__hash__" in vars(cls) and cls.__hash__ is None:  # compared by value, so unhashable
        members.append("    __hash__: ClassVar[None] = None  # type: ignore[assignment]\n")
    for attr, member in vars(cls).items():
        if type(member).__name__ == "function" and type(member).__module__ != "builtins":
            members.append(function(attr, member, "    ", method=True))
    return out + ("".join(members) if members else "    ...\n")


def constant(name: str, value) -> str:
    kind = type(value)
    if kind in (bool, int, float, str):
        return f"{name}: {kind.__name__}\n"
    if kind is list:
        return f"{name}: List[Any]\n"
    return f"{name}: Any\n"


def stub(module) -> str:
    """Functions and classes the module defines, and its constants and service objects; names it
    only imported (typing helpers, pandas classes, other modules' functions) are left out."""
    parts = [HEADER, docstring(module, "") if module.__doc__ else "", IMPORTS, "\n"]
    for name, value in vars(module).items():
        if name.startswith("__") or inspect.ismodule(value):
            continue
        if is_own_function(value, module):
            parts.append("\n" + function(name, value))
        elif isinstance(value, type):
            if value.__module__ == module.__name__:
                parts.append("\n\n" + klass(name, value))
        elif callable(value) or type(value).__module__ in ("typing", "typing_extensions"):
            continue
        elif type(value).__module__ == module.__name__:
            parts.append(f"{name}: {type(value).__name__}\n")
        else:
            parts.append(constant(name, value))
    return "".join(parts)


def main(argv) -> int:
    root = pathlib.Path(argv[1]).resolve()
    out = pathlib.Path(argv[2]).resolve() if len(argv) > 2 else root
    sys.path.insert(0, str(root))
    # The stubs describe the modules as they load with no configuration: the builder's own default
    # bucket (read from the environment at import) is no default of anyone else's.
    for name in ("TAMRIX_SANDBOX_BUCKET", "SHOW_WARNINGS"):
        os.environ.pop(name, None)
    for short in MODULES:
        module = importlib.import_module("orvane_data." + short)
        target = out / "orvane_data" / (short.replace(".", "/") + ".pyi")
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(stub(module))
    (out / "orvane_data" / "py.typed").write_text("")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
