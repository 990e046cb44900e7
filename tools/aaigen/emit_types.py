"""Emits the data model: the enumerations, records and lists, their text forms and their encodings.

    include/aai/types.h              the public value types, in description order (records and lists
                                     each after the types they hold)
    include/aai/detail/valuecodecs.h the records' implementation classes and the records' and list
                                     classes' codecs (only the binding's own sources include it)
    include/aai/marshallers.h        one marshaller per enumeration, record and list
    src/aaistructimpl.cpp            the records' members and comparison operators
    src/aai_tostring.cpp             every text form, and parsing of the enumerations
    src/aaimarshaller.cpp            the record codecs and the marshallers

The C++ shapes live in templates/types_*; this module only decides what goes into their holes.
"""
from __future__ import annotations

import textwrap
from typing import Iterable, List

from . import template
from .model import ENUM, EXTERNAL, PRIMITIVE, DescriptionError, Enum, Field, ListType, Model, Record

# Generated lines are wrapped at this width (indentation included).
_WIDTH = 110

_CPP_KEYWORDS = frozenset("""
    alignas alignof and and_eq asm auto bitand bitor bool break case catch char char16_t char32_t class compl
    const constexpr const_cast continue decltype default delete do double dynamic_cast else enum explicit
    export extern false float for friend goto if inline int long mutable namespace new noexcept not not_eq
    nullptr operator or or_eq private protected public register reinterpret_cast return short signed sizeof
    static static_assert static_cast struct switch template this thread_local throw true try typedef typeid
    typename union unsigned using virtual void volatile wchar_t while xor xor_eq
""".split())


def emit(model: Model, out) -> None:
    _check(model)
    values = model.value_types_in_dependency_order()
    files = {
        "include/aai/types.h": _types_header(model, values),
        "include/aai/detail/valuecodecs.h": _valuecodecs_header(model, values),
        "include/aai/marshallers.h": _marshallers_header(model, values),
        "src/aaistructimpl.cpp": _records_source(model),
        "src/aai_tostring.cpp": _text_source(model, values),
        "src/aaimarshaller.cpp": _marshallers_source(model, values),
    }
    for path, text in files.items():
        out.add(path, _tidy(text))


def _tidy(text: str) -> str:
    # Indented holes indent the blank lines between fragments too.
    return "".join(line.rstrip() + "\n" for line in text.splitlines())


# ---------------------------------------------------------------------------------------------
# What the description may say but C++ cannot hold


def _check(model: Model) -> None:
    _check_enumerators(model)
    _check_generated_names(model)
    _check_vector_names(model)
    for record in model.records:
        _check_fields(record)


def _check_enumerators(model: Model) -> None:
    # The enumerators are spelt like their text forms, unscoped, in one namespace.
    seen = {}
    for enum in model.enums:
        for text in enum.texts:
            if text in seen:
                raise DescriptionError(enum.loc, f"enum '{enum.name}': enumerator {text} is also one of "
                                                 f"enum '{seen[text].name}' ({seen[text].loc})")
            seen[text] = enum


def _check_generated_names(model: Model) -> None:
    taken = {}
    declared = model.externals + model.enums + model.records + model.lists + model.interfaces
    for item in declared:
        taken[item.name] = item
    made = [(r.name + "Impl", r) for r in model.records]
    made += [(t.name + "Marshaller", t) for t in model.enums + model.records + model.lists]
    for name, item in made:
        if name in taken:
            raise DescriptionError(item.loc, f"'{item.name}' needs the class name '{name}', which "
                                             f"'{taken[name].name}' ({taken[name].loc}) already takes")
        taken[name] = item


def _check_vector_names(model: Model) -> None:
    # A vector name is only an alias: two of the same element would be one type with two marshallers.
    seen = {}
    for lst in model.lists:
        if lst.is_class:
            continue
        element = _cpp(model, lst.element)
        if element in seen:
            raise DescriptionError(lst.loc, f"vector '{lst.name}' names the same type as vector "
                                            f"'{seen[element].name}' ({seen[element].loc}); declare one "
                                            f"of them as a list")
        seen[element] = lst


def _check_fields(record: Record) -> None:
    for f in record.fields:
        # A capital would make the label start with "_", and two fields could share accessors.
        if not f.name[0].islower():
            raise DescriptionError(f.loc, f"record '{record.name}': field '{f.name}' must begin with a "
                                          f"lower-case letter")
        if f.name in _CPP_KEYWORDS:
            raise DescriptionError(f.loc, f"record '{record.name}': field '{f.name}' is a C++ keyword")


# ---------------------------------------------------------------------------------------------
# C++ spelling of the model


def _cpp(model: Model, ref) -> str:
    """The type as written inside the interface's namespace (sibling types relative to it)."""
    if ref.kind == EXTERNAL:
        return _relative(ref.cpp, model.service.namespace)
    return ref.cpp


def _relative(qualified: str, namespace: str) -> str:
    parts, ours = qualified.split("::"), namespace.split("::")
    common = 0
    while common < min(len(parts) - 1, len(ours)) and parts[common] == ours[common]:
        common += 1
    return "::".join(parts[common:])


def _param(model: Model, ref) -> str:
    cpp = _cpp(model, ref)
    return cpp if ref.by_value else f"const {cpp}&"


def _stored(model: Model, f: Field) -> str:
    cpp = _cpp(model, f.type)
    return f"std::optional<{cpp}>" if f.optional else cpp


def _member(model: Model, f: Field) -> str:
    """The implementation class's member, with the field's default."""
    stored = _stored(model, f)
    if f.optional:
        return f"{stored} {f.name};"
    ref = f.type
    if ref.kind == PRIMITIVE and ref.name == "int":
        return f"{stored} {f.name} = 0;"
    if ref.kind == PRIMITIVE and ref.name == "bool":
        return f"{stored} {f.name} = false;"
    if ref.kind == ENUM:
        return f"{stored} {f.name} = {ref.target.texts[0]};"
    if ref.kind == EXTERNAL and ref.target.is_enum:
        return f"{stored} {f.name}{{}};"
    return f"{stored} {f.name};"


def _moved(f: Field) -> str:
    return f.name if f.type.by_value else f"std::move({f.name})"


def _includes(model: Model) -> List[str]:
    """The standard and sibling headers that the public declarations need, and no more."""
    refs = [f.type for r in model.records for f in r.fields] + [lst.element for lst in model.lists]
    std = {"<cstdint>", "<iosfwd>", "<memory>", "<string>"}
    if any(f.optional for r in model.records for f in r.fields):
        std.add("<optional>")
    if model.lists:
        std.add("<vector>")
    ours = {'"aai/tostring.h"'}
    ours |= {f'"{r.target.header}"' for r in refs if r.kind == EXTERNAL}
    return [f"#include {h}" for h in sorted(std)] + [""] + [f"#include {h}" for h in sorted(ours)]


# ---------------------------------------------------------------------------------------------
# Layout helpers


def _call(head: str, args: List[str], tail: str = "", indent: int = 0) -> List[str]:
    """head(args)tail on one line when it fits, else one argument per line aligned after '('."""
    line = f"{head}({', '.join(args)}){tail}"
    if indent + len(line) <= _WIDTH or len(args) < 2:
        return [line]
    pad = " " * (len(head) + 1)
    lines = [f"{head}({args[0]},"]
    lines += [f"{pad}{a}," for a in args[1:-1]]
    lines.append(f"{pad}{args[-1]}){tail}")
    return lines


def _joined(head: str, terms: List[str], op: str, tail: str, indent: int = 0) -> List[str]:
    """head + terms joined by op, wrapped one term per line aligned under the first."""
    line = f"{head}{f' {op} '.join(terms)}{tail}"
    if indent + len(line) <= _WIDTH or len(terms) < 2:
        return [line]
    pad = " " * len(head)
    lines = [f"{head}{terms[0]} {op}"]
    lines += [f"{pad}{t} {op}" for t in terms[1:-1]]
    lines.append(f"{pad}{terms[-1]}{tail}")
    return lines


def _blocks(blocks: Iterable[str]) -> str:
    """Fragments separated by one blank line."""
    return "\n".join(b.rstrip("\n") + "\n" for b in blocks).rstrip("\n")


def _render(template_name: str, /, **values) -> str:
    return template.fill(template.load(template_name), **values).rstrip("\n")


def _explicit(args: List[str]) -> str:
    return "explicit " if len(args) == 1 else ""


# ---------------------------------------------------------------------------------------------
# include/aai/types.h


def _types_header(model: Model, values) -> str:
    return template.render(
        "types_types.h",
        includes=_includes(model),
        namespace=model.service.namespace,
        enums=_blocks(_enum_declaration(e) for e in model.enums),
        values=_blocks(_value_declaration(model, t) for t in values))


def _enum_declaration(enum: Enum) -> str:
    enumerators = [f"{text} = {number}," for number, text in enumerate(enum.texts)]
    return _render("types_enum.h", name=enum.name, enumerators=enumerators)


def _value_declaration(model: Model, t) -> str:
    if isinstance(t, Record):
        return _record_declaration(model, t)
    element = _cpp(model, t.element)
    if t.is_class:
        return _render("types_list_class.h", name=t.name, element=element)
    return _render("types_vector_name.h", name=t.name, element=element)


def _record_declaration(model: Model, record: Record) -> str:
    args = [_ctor_param(model, f) for f in record.fields]
    optional = [f.name for f in record.fields if f.optional]
    return _render(
        "types_record.h",
        name=record.name,
        doc=_record_doc(record, optional),
        ctor=_call(f"{_explicit(args)}{record.name}", args, ";", indent=4),
        accessors=_blocks(_accessor_declarations(model, f) for f in record.fields))


def _record_doc(record: Record, optional: List[str]) -> List[str]:
    text = f"{record.name}: {len(record.fields)} fields"
    text += f"; optional: {', '.join(optional)}." if optional else ", none optional."
    return ["// " + line for line in textwrap.wrap(text, _WIDTH - 3)]


def _ctor_param(model: Model, f: Field) -> str:
    return f"{_stored(model, f)} {f.name}"


def _accessor_declarations(model: Model, f: Field) -> str:
    if f.optional:
        return _render("types_optional_accessors.h", type=_cpp(model, f.type), accessor=f.accessor,
                       param=_param(model, f.type))
    return _render("types_accessors.h", type=_cpp(model, f.type), accessor=f.accessor)


# ---------------------------------------------------------------------------------------------
# include/aai/detail/valuecodecs.h


def _valuecodecs_header(model: Model, values) -> str:
    return template.render(
        "types_valuecodecs.h",
        namespace=model.service.namespace,
        impls=_blocks(_impl_class(model, r) for r in model.records),
        codecs=_blocks(_codec_declaration(t) for t in values if isinstance(t, Record) or t.is_class))


def _impl_class(model: Model, record: Record) -> str:
    args = [_ctor_param(model, f) for f in record.fields]
    inits = [f"{f.name}({_moved(f)})" for f in record.fields]
    return _render(
        "types_impl.h",
        name=record.name,
        ctor=_call(f"{_explicit(args)}{record.name}Impl", args, indent=4) +
        ["    " + line for line in _initializers(inits)],
        members=[_member(model, f) for f in record.fields])


def _initializers(inits: List[str]) -> List[str]:
    """A constructor's member initializers: on one line when they fit, else one a line."""
    line = f": {', '.join(inits)} {{}}"
    if 8 + len(line) <= _WIDTH:
        return [line]
    return [f": {inits[0]},"] + [f"  {i}," for i in inits[1:-1]] + [f"  {inits[-1]} {{}}"]


def _codec_declaration(t) -> str:
    if isinstance(t, Record):
        return _render("types_record_codec.h", name=t.name)
    return _render("types_list_codec.h", name=t.name)


# ---------------------------------------------------------------------------------------------
# include/aai/marshallers.h


_STREAM = "std::shared_ptr<proglibs::ipc2::ByteStream> stream"
_HANDLER = "std::shared_ptr<proglibs::ipc2::ConnectionHandler> handler"


def _marshallers_header(model: Model, values) -> str:
    kinds = model.enums + list(values)
    return template.render(
        "types_marshallers.h",
        namespace=model.service.namespace,
        marshallers=_blocks(_marshaller_declaration(t) for t in kinds))


def _marshaller_declaration(t) -> str:
    # Enumerations have neither brokers to pass on nor anything to gain from a reference.
    is_enum = isinstance(t, Enum)
    value = f"{t.name} value" if is_enum else f"const {t.name}& value"
    brokers = [] if is_enum else ["std::shared_ptr<InterfaceBrokers> brokers"]
    return _render(
        "types_marshaller.h",
        name=t.name,
        encode=_call("static void Encode", [_STREAM, value, _HANDLER] + brokers, ";", indent=4),
        decode=_call(f"static {t.name} Decode", [_STREAM, _HANDLER] + brokers, ";", indent=4),
        size=f"static int SizeOf({value});")


# ---------------------------------------------------------------------------------------------
# src/aaistructimpl.cpp


def _records_source(model: Model) -> str:
    return template.render(
        "types_aaistructimpl.cpp",
        namespace=model.service.namespace,
        records=_blocks(_record_definition(model, r) for r in model.records))


def _record_definition(model: Model, record: Record) -> str:
    name = record.name
    return _render(
        "types_record.cpp",
        name=name,
        ctor=_call(f"{name}::{name}", [_ctor_param(model, f) for f in record.fields]) +
        _ctor_initializers(record),
        accessors=_blocks(_accessor_definitions(model, record, f) for f in record.fields),
        equals=_joined("return ", [f"a.{f.name} == b.{f.name}" for f in record.fields], "&&", ";", indent=4),
        less=[_render("types_less_step.cpp", field=f.name) for f in record.fields],
        write_fields=[f'WriteField(os, "{f.label}", impl_->{f.name});' for f in record.fields])


def _ctor_initializers(record: Record) -> List[str]:
    """impl_ made from the moved-in arguments, wrapped under the first argument when long."""
    lead = "    : impl_("
    make = _call(f"std::make_shared<{record.name}Impl>", [_moved(f) for f in record.fields], indent=len(lead))
    lines = [lead + make[0]] + [" " * len(lead) + line for line in make[1:]]
    lines[-1] += "),"
    return lines + [f"      copy_(&CopyImpl<{record.name}Impl>) {{}}"]


def _accessor_definitions(model: Model, record: Record, f: Field) -> str:
    common = dict(record=record.name, type=_cpp(model, f.type), accessor=f.accessor, field=f.name,
                  value="value" if f.type.by_value else "std::move(value)")
    if f.optional:
        return _render("types_optional_accessors.cpp", param=_param(model, f.type),
                       getter=f"{model.service.namespace}::{record.name}::get{f.accessor}", **common)
    return _render("types_accessors.cpp", **common)


# ---------------------------------------------------------------------------------------------
# src/aai_tostring.cpp


def _text_source(model: Model, values) -> str:
    return template.render(
        "types_aai_tostring.cpp",
        namespace=model.service.namespace,
        tables=_blocks(_render("types_enum_table.cpp", name=e.name, texts=[f'"{t}",' for t in e.texts])
                       for e in model.enums),
        enums=_blocks(_enum_text(model, e) for e in model.enums),
        lists=_blocks(_render("types_list_text.cpp", name=t.name) for t in values if isinstance(t, ListType)),
        tostrings=_blocks(_render("types_tostring.cpp", name=t.name) for t in values))


def _enum_text(model: Model, enum: Enum) -> str:
    return _render("types_enum.cpp", name=enum.name, first=enum.texts[0],
                   function=f"{model.service.namespace}::FromString")


# ---------------------------------------------------------------------------------------------
# src/aaimarshaller.cpp


def _marshallers_source(model: Model, values) -> str:
    return template.render(
        "types_aaimarshaller.cpp",
        namespace=model.service.namespace,
        codecs=_blocks(_record_codec(r) for r in values if isinstance(r, Record)),
        marshallers=_blocks(_marshaller_definition(t) for t in model.enums + list(values)))


def _record_codec(record: Record) -> str:
    fields = [f"fields.{f.name}" for f in record.fields]
    return _render(
        "types_record_codec.cpp",
        name=record.name,
        encode_head=_call(f"void Codec<{record.name}>::encode",
                          ["const Stream& stream", f"const {record.name}& value", "const Context& context"], " {"),
        decode_head=_call(f"{record.name} Codec<{record.name}>::decode",
                          ["const Stream& stream", "const Context& context"], " {"),
        size=_joined("return ", [f"SizeOfField({f})" for f in fields], "+", ";", indent=4),
        encode=_call("EncodeFields", ["stream", "context"] + fields, ";", indent=4),
        decode=_call("DecodeFields", ["stream", "context"] + fields, ";", indent=4))


def _marshaller_definition(t) -> str:
    name = t.name
    is_enum = isinstance(t, Enum)
    value = f"{name} value" if is_enum else f"const {name}& value"
    brokers = [] if is_enum else ["detail::Brokers brokers"]
    return _render(
        "types_marshaller.cpp",
        name=name,
        encode=_call(f"void {name}Marshaller::Encode",
                     ["detail::Stream stream", value, "detail::Handler handler"] + brokers, " {"),
        decode=_call(f"{name} {name}Marshaller::Decode",
                     ["detail::Stream stream", "detail::Handler handler"] + brokers, " {"),
        size=f"int {name}Marshaller::SizeOf({value}) {{",
        context="{handler, detail::kNoBrokers}" if is_enum else "{handler, brokers}")
