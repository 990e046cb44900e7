"""The model between the parser and the emitters: what the description says, checked and resolved.

Emitters read only this module's classes; they never see tokens or text of the description.
"""
from __future__ import annotations

import re
from dataclasses import dataclass, field
from typing import List, Optional


class DescriptionError(Exception):
    """An error in the description, reported as 'file:line: error: message'."""

    def __init__(self, loc: "Loc", message: str):
        super().__init__(f"{loc}: error: {message}")


@dataclass(frozen=True)
class Loc:
    file: str
    line: int

    def __str__(self) -> str:
        return f"{self.file}:{self.line}"


# Kinds of type a TypeRef can resolve to.
PRIMITIVE, ENUM, RECORD, LIST, EXTERNAL, INTERFACE = "primitive", "enum", "record", "list", "external", "interface"

PRIMITIVES = {"int": "int", "bool": "bool", "string": "std::string"}


@dataclass
class TypeRef:
    name: str
    loc: Loc
    kind: str = ""            # one of the kinds above, set by resolve()
    target: object = None     # the Enum, Record, ListType, External or Interface named

    @property
    def cpp(self) -> str:
        """The C++ type as written in the interface's namespace."""
        if self.kind == PRIMITIVE:
            return PRIMITIVES[self.name]
        if self.kind == EXTERNAL:
            return self.target.cpp
        if self.kind == INTERFACE:
            return f"std::shared_ptr<{self.name}>"
        return self.name

    @property
    def by_value(self) -> bool:
        """int, bool, enumerations and interface pointers are passed by value, the rest by const reference."""
        if self.kind == PRIMITIVE:
            return self.name != "string"
        if self.kind == EXTERNAL:
            return self.target.is_enum
        return self.kind in (ENUM, INTERFACE)

    @property
    def param(self) -> str:
        return self.cpp if self.by_value else f"const {self.cpp}&"


@dataclass
class Enum:
    name: str
    values: List[str]
    loc: Loc

    def text(self, value: str) -> str:
        return f"{self.name.upper()}_{value}"

    @property
    def texts(self) -> List[str]:
        return [self.text(v) for v in self.values]


def label_of(field_name: str) -> str:
    """fullyQualifiedDomainName -> fully_qualified_domain_name."""
    return re.sub(r"([A-Z])", lambda m: "_" + m.group(1).lower(), field_name)


@dataclass
class Field:
    name: str
    type: TypeRef
    optional: bool
    loc: Loc

    @property
    def label(self) -> str:
        return label_of(self.name)

    @property
    def accessor(self) -> str:
        """The part after get/set/has/clear/getOrDefault: the name with a capital first letter."""
        return self.name[0].upper() + self.name[1:]


@dataclass
class Record:
    name: str
    fields: List[Field]
    loc: Loc


@dataclass
class ListType:
    name: str
    is_class: bool            # a class of its own (list) or a name for std::vector (vector)
    element: TypeRef
    loc: Loc


@dataclass
class External:
    name: str
    is_enum: bool
    cpp: str
    header: str
    marshaller: str
    takes_brokers: bool
    loc: Loc


@dataclass
class Param:
    name: str
    type: TypeRef


@dataclass
class Method:
    name: str
    params: List[Param]
    result: Optional[TypeRef]  # None for void
    send_flag: bool
    loc: Loc
    id: int = 0
    slot: int = 0


@dataclass
class Interface:
    name: str                 # IUsersAndGroupsServer
    home_is_service: bool
    first_id: int             # the release id
    last_id: int
    methods: List[Method]
    loc: Loc

    @property
    def wire_name(self) -> str:
        return self.name[1:]

    @property
    def release_id(self) -> int:
        return self.first_id

    @property
    def sensitive_ids(self) -> List[int]:
        return [m.id for m in self.methods if not m.send_flag]


@dataclass
class Service:
    namespace: str
    server_name: str
    version: str
    checksum: str
    root: str
    modules: List[str]


@dataclass
class Model:
    service: Service
    externals: List[External] = field(default_factory=list)
    enums: List[Enum] = field(default_factory=list)
    records: List[Record] = field(default_factory=list)
    lists: List[ListType] = field(default_factory=list)
    interfaces: List[Interface] = field(default_factory=list)

    def value_types_in_dependency_order(self):
        """Records and lists in description order, each moved after the types it contains."""
        pending = [t for t in _ordered_by_loc(self.records + self.lists)]
        done, out = set(), []

        def deps(t):
            refs = [f.type for f in t.fields] if isinstance(t, Record) else [t.element]
            return [r.target for r in refs if r.kind in (RECORD, LIST)]

        def visit(t, stack=()):
            if t.name in done:
                return
            if t.name in stack:
                raise DescriptionError(t.loc, f"'{t.name}' contains itself")
            for d in deps(t):
                visit(d, stack + (t.name,))
            done.add(t.name)
            out.append(t)

        for t in pending:
            visit(t)
        return out


def _ordered_by_loc(items):
    return sorted(items, key=lambda t: (t.loc.file, t.loc.line))
