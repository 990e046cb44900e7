"""Reads the interface description into a checked Model (see idl/aai.idl for the grammar)."""
from __future__ import annotations

import re
from typing import List, Tuple

from .model import (ENUM, EXTERNAL, INTERFACE, LIST, PRIMITIVE, PRIMITIVES, RECORD, DescriptionError, Enum,
                    External, Field, Interface, ListType, Loc, Method, Model, Param, Record, Service, TypeRef)

_TOKEN = re.compile(r"""
    (?P<space>[ \t\r]+) | (?P<newline>\n) | (?P<comment>\#[^\n]*) |
    (?P<string>"[^"\n]*") | (?P<number>\d+) |
    (?P<name>[A-Za-z_][A-Za-z0-9_]*(?:::[A-Za-z_][A-Za-z0-9_]*)*) |
    (?P<punct>[{}();,\-])
""", re.VERBOSE)


class _Tokens:
    def __init__(self, text: str, file: str):
        self.file = file
        self.items: List[Tuple[str, str, int]] = []
        line, pos = 1, 0
        while pos < len(text):
            m = _TOKEN.match(text, pos)
            if not m:
                raise DescriptionError(Loc(file, line), f"unexpected character {text[pos]!r}")
            kind = m.lastgroup
            if kind == "newline":
                line += 1
            elif kind not in ("space", "comment"):
                self.items.append((kind, m.group(), line))
            pos = m.end()
        self.i = 0
        self.last_line = line

    def loc(self) -> Loc:
        line = self.items[self.i][2] if self.i < len(self.items) else self.last_line
        return Loc(self.file, line)

    def peek(self, value: str = None) -> bool:
        if self.i >= len(self.items):
            return False
        return value is None or self.items[self.i][1] == value

    def take(self, kind: str = None, value: str = None) -> str:
        if self.i >= len(self.items):
            raise DescriptionError(self.loc(), f"unexpected end of file, expected {value or kind}")
        k, v, _ = self.items[self.i]
        if (kind and k != kind) or (value and v != value):
            raise DescriptionError(self.loc(), f"expected {value or kind}, found {v!r}")
        self.i += 1
        return v

    def accept(self, value: str) -> bool:
        if self.peek(value):
            self.i += 1
            return True
        return False

    def name(self) -> str:
        return self.take("name")

    def string(self) -> str:
        return self.take("string")[1:-1]

    def number(self) -> int:
        return int(self.take("number"))


def parse_file(path: str, display_name: str = None) -> Model:
    with open(path, encoding="utf-8") as f:
        return parse(f.read(), display_name or path)


def parse(text: str, file: str) -> Model:
    t = _Tokens(text, file)
    namespace, service = None, None
    model = Model(service=None)
    while t.peek():
        loc = t.loc()
        word = t.name()
        if word == "namespace":
            namespace = t.name()
            t.take(value=";")
        elif word == "service":
            service = _service(t, namespace or "", loc)
        elif word == "external":
            model.externals.append(_external(t, loc))
        elif word == "enum":
            model.enums.append(_enum(t, loc))
        elif word == "record":
            model.records.append(_record(t, loc))
        elif word in ("vector", "list"):
            name = t.name()
            t.take(value="of")
            element = TypeRef(t.name(), t.loc())
            t.take(value=";")
            model.lists.append(ListType(name, word == "list", element, loc))
        elif word == "interface":
            model.interfaces.append(_interface(t, loc))
        else:
            raise DescriptionError(loc, f"unknown declaration '{word}'")
    if service is None:
        raise DescriptionError(Loc(file, 1), "no 'service' declaration")
    service.namespace = namespace or service.namespace
    model.service = service
    _resolve(model)
    _check(model)
    return model


def _service(t: _Tokens, namespace: str, loc: Loc) -> Service:
    server = t.string()
    t.take(value="version")
    version = t.string()
    t.take(value="checksum")
    checksum = t.string()
    t.take(value="root")
    root = t.name()
    t.take(value="modules")
    modules = [t.string()]
    while t.accept(","):
        modules.append(t.string())
    t.take(value=";")
    return Service(namespace, server, version, checksum, root, modules)


def _external(t: _Tokens, loc: Loc) -> External:
    name = t.name()
    kind = t.name()
    if kind not in ("enum", "value"):
        raise DescriptionError(loc, f"external '{name}': expected 'enum' or 'value', found '{kind}'")
    cpp = t.name()
    t.take(value="header")
    header = t.string()
    t.take(value="marshaller")
    marshaller = t.name()
    brokers = t.accept("brokers")
    t.take(value=";")
    return External(name, kind == "enum", cpp, header, marshaller, brokers, loc)


def _enum(t: _Tokens, loc: Loc) -> Enum:
    name = t.name()
    t.take(value="{")
    values = []
    while not t.accept("}"):
        vloc = t.loc()
        value = t.name()
        if value in values:
            raise DescriptionError(vloc, f"enum '{name}': value '{value}' appears twice")
        values.append(value)
        if not t.peek("}"):
            t.take(value=",")
    if not values:
        raise DescriptionError(loc, f"enum '{name}' has no values")
    return Enum(name, values, loc)


def _record(t: _Tokens, loc: Loc) -> Record:
    name = t.name()
    t.take(value="{")
    fields = []
    while not t.accept("}"):
        floc = t.loc()
        optional = t.accept("optional")
        type_ref = TypeRef(t.name(), floc)
        fname = t.name()
        t.take(value=";")
        if any(f.name == fname for f in fields):
            raise DescriptionError(floc, f"record '{name}': field '{fname}' appears twice")
        fields.append(Field(fname, type_ref, optional, floc))
    if not fields:
        raise DescriptionError(loc, f"record '{name}' has no fields")
    return Record(name, fields, loc)


def _interface(t: _Tokens, loc: Loc) -> Interface:
    name = t.name()
    t.take(value="home")
    home = t.name()
    if home not in ("service", "client"):
        raise DescriptionError(loc, f"interface '{name}': home must be 'service' or 'client', not '{home}'")
    t.take(value="ids")
    first = t.number()
    t.take(value="-")
    last = t.number()
    t.take(value="{")
    methods = []
    while not t.accept("}"):
        mloc = t.loc()
        sensitive = t.accept("sensitive")
        result_name = t.name()
        mname = t.name()
        t.take(value="(")
        params = []
        while not t.accept(")"):
            ploc = t.loc()
            ptype = TypeRef(t.name(), ploc)
            pname = t.name()
            if any(p.name == pname for p in params):
                raise DescriptionError(ploc, f"{name}.{mname}: parameter '{pname}' appears twice")
            params.append(Param(pname, ptype))
            if not t.peek(")"):
                t.take(value=",")
        t.take(value=";")
        if any(m.name == mname for m in methods):
            raise DescriptionError(mloc, f"interface '{name}': method '{mname}' appears twice")
        result = None if result_name == "void" else TypeRef(result_name, mloc)
        methods.append(Method(mname, params, result, not sensitive, mloc))
    return Interface(name, home == "service", first, last, methods, loc)


def _resolve(model: Model) -> None:
    table = {}
    for kind, items in ((EXTERNAL, model.externals), (ENUM, model.enums), (RECORD, model.records),
                        (LIST, model.lists), (INTERFACE, model.interfaces)):
        for item in items:
            if item.name in table or item.name in PRIMITIVES or item.name == "void":
                raise DescriptionError(item.loc, f"'{item.name}' is declared twice")
            table[item.name] = (kind, item)

    def resolve(ref: TypeRef, allow_interface: bool, where: str) -> None:
        if ref.name in PRIMITIVES:
            ref.kind = PRIMITIVE
            return
        if ref.name not in table:
            raise DescriptionError(ref.loc, f"unknown type '{ref.name}' in {where}")
        ref.kind, ref.target = table[ref.name]
        if ref.kind == INTERFACE and not allow_interface:
            raise DescriptionError(ref.loc, f"an interface cannot be part of a value ({where})")

    for r in model.records:
        for f in r.fields:
            resolve(f.type, False, f"record '{r.name}'")
    for lst in model.lists:
        resolve(lst.element, False, f"list '{lst.name}'")
    for i in model.interfaces:
        for m in i.methods:
            for p in m.params:
                resolve(p.type, True, f"{i.name}.{m.name}")
            if m.result:
                resolve(m.result, True, f"{i.name}.{m.name}")


def _check(model: Model) -> None:
    # Method ids: one numbering over the whole interface, id 0 being the connect request.
    next_id = 1
    for i in model.interfaces:
        if not i.methods:
            raise DescriptionError(i.loc, f"interface '{i.name}' has no methods")
        for slot, m in enumerate(i.methods):
            m.slot = slot
            m.id = next_id + 1 + slot
        first, last = next_id, next_id + len(i.methods)
        if (first, last) != (i.first_id, i.last_id):
            raise DescriptionError(
                i.loc, f"interface '{i.name}' says ids {i.first_id}-{i.last_id}, but its place and its "
                       f"{len(i.methods)} methods give {first}-{last}")
        next_id = last + 1
    names = {i.name: i for i in model.interfaces}
    root = names.get(model.service.root)
    if root is None:
        raise DescriptionError(Loc("?", 0), f"root interface '{model.service.root}' is not declared")
    if not root.home_is_service:
        raise DescriptionError(root.loc, f"root interface '{root.name}' must live in the service")
    if "aai" not in model.service.modules:
        raise DescriptionError(Loc("?", 0), "the module list must name 'aai'")
    for i in model.interfaces:
        if not (i.name.startswith("I") and i.name[1:2].isupper()):
            raise DescriptionError(i.loc, f"interface name '{i.name}' must be 'I' followed by its wire name")
    model.value_types_in_dependency_order()  # raises on a type that contains itself
