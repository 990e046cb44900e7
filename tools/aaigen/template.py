"""Templates of generated text, kept apart from the logic that fills them.

A template is a text with holes written as @name@. fill() replaces each hole with the value of that
name: a string, or a list of strings joined by newlines. A hole standing alone on its line takes the
line's indentation for every line of its value, so multi-line fragments nest cleanly. A hole left
unfilled, or a value given for no hole, is an error in the generator, never silent.
"""
from __future__ import annotations

import os
import re
from typing import Dict, Union

_HOLE = re.compile(r"@([a-z_][a-z0-9_]*)@")
_TEMPLATE_DIR = os.path.join(os.path.dirname(__file__), "templates")

Value = Union[str, list]


def load(name: str) -> str:
    with open(os.path.join(_TEMPLATE_DIR, name), encoding="utf-8") as f:
        return f.read()


def fill(template: str, **values: Value) -> str:
    used = set()
    out = []
    for line in template.splitlines(keepends=True):
        m = re.fullmatch(r"([ \t]*)@([a-z_][a-z0-9_]*)@[ \t]*(\n?)", line)
        if m:
            indent, name, newline = m.groups()
            text = _value(values, name, used)
            if text == "":
                continue
            out.append("".join((indent + l if l.strip() else l) for l in text.splitlines(keepends=True)))
            if not text.endswith("\n"):
                out.append(newline)
            continue

        def inline(match):
            return _value(values, match.group(1), used)

        out.append(_HOLE.sub(inline, line))
    unused = set(values) - used
    if unused:
        raise KeyError(f"values for no hole: {sorted(unused)}")
    return "".join(out)


def render(template_name: str, /, **values: Value) -> str:
    """fill() on the template file of that name under templates/."""
    return fill(load(template_name), **values)


def _value(values: Dict[str, Value], name: str, used: set) -> str:
    if name not in values:
        raise KeyError(f"no value for hole @{name}@")
    used.add(name)
    v = values[name]
    return "\n".join(v) if isinstance(v, list) else str(v)
