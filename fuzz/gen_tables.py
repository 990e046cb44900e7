#!/usr/bin/env python3
"""Writes the tables that the fuzz targets, their seed writer and the robustness tests are built on,
from the interface description, with the binding's own parser:

  - a do-nothing implementation of every interface (results are default values; an interface
    result is a fresh do-nothing object, so that answering it makes a stub);
  - the interface table: wire name, home side, release id, a maker of the do-nothing object, a
    maker of its stub and of its proxy through the bundle's broker, and one call per method
    with sample arguments (for writing valid requests);
  - the value table: every record, list and enumeration with its marshaller, a round trip check
    and a sample with every field and optional set.

    gen_tables.py --idl idl/aai.idl --out <file.h>
"""
import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tools"))

from aaigen import model as m  # noqa: E402
from aaigen.parser import parse_file  # noqa: E402

# Sample values of the sibling libraries' types, by their name in the description.
EXTERNAL_SAMPLES = {
    "DateTime": "zel::iface::datetime::DateTime(2024, 2, 29, 23, 59, 58, 123456)",
    "UserName": "static_cast<zel::iface::userlogin::UserName>(1)",
    "UserLoginId": "zel::iface::userlogin::UserLoginId(\"operator\", 17)",
    "PrivilegeList": "zel::iface::userlogin::PrivilegeList{1, 5, -3}",
    "LoggedInUser": ("zel::iface::userlogin::LoggedInUser(zel::iface::userlogin::UserLoginId(\"alice\", 7), "
                     "static_cast<zel::iface::userlogin::UserName>(2), \"Alice A.\", "
                     "zel::iface::userlogin::PrivilegeList{4, 9})"),
}


def sample(t: m.TypeRef) -> str:
    """A C++ expression of type t, with every optional set and every list two elements long."""
    if t.kind == m.PRIMITIVE:
        return {"int": "-1042", "bool": "true", "string": "std::string(\"sample\\0\\xff\", 8)"}[t.name]
    if t.kind == m.EXTERNAL:
        if t.name not in EXTERNAL_SAMPLES:
            raise SystemExit(f"gen_tables.py: no sample for the external type '{t.name}'")
        return EXTERNAL_SAMPLES[t.name]
    if t.kind == m.ENUM:
        return f"static_cast<{t.name}>({len(t.target.values) - 1})"
    if t.kind == m.RECORD:
        return f"{t.name}(" + ", ".join(sample(f.type) for f in t.target.fields) + ")"
    if t.kind == m.LIST:
        e = sample(t.target.element)
        return f"{t.name}{{{e}, {e}}}"
    if t.kind == m.INTERFACE:
        return f"std::shared_ptr<{t.name}>(std::make_shared<Null{t.target.wire_name}>())"
    raise SystemExit(f"gen_tables.py: unknown kind of type '{t.name}'")


def result_of(t: m.TypeRef) -> str:
    if t.kind == m.INTERFACE:
        return f"std::make_shared<Null{t.target.wire_name}>()"
    return f"{t.cpp}()"


def emit(model: m.Model) -> str:
    out = []
    w = out.append
    w("// Written by fuzz/gen_tables.py from the interface description; do not edit.")
    w("#pragma once")
    w("")
    w("#include <memory>")
    w("#include <string>")
    w("")
    w('#include "aai/aai.h"')
    w('#include "table_types.h"')
    w("")
    w("namespace aai_fuzz {")
    w("")
    w("using namespace zel::iface::aai;")
    w("")
    for i in model.interfaces:
        w(f"class Null{i.wire_name};")
    w("")
    for i in model.interfaces:
        w(f"class Null{i.wire_name} : public {i.name} {{")
        w("public:")
        for meth in i.methods:
            params = ", ".join(p.type.param for p in meth.params)
            result = meth.result.cpp if meth.result else "void"
            w(f"    {result} {meth.name}({params}) override;")
        w("};")
        w("")
    for i in model.interfaces:
        for meth in i.methods:
            params = ", ".join(p.type.param for p in meth.params)
            result = meth.result.cpp if meth.result else "void"
            body = f"return {result_of(meth.result)};" if meth.result else ""
            w(f"inline {result} Null{i.wire_name}::{meth.name}({params}) {{ {body} }}")
    w("")

    w(f"constexpr int kInterfaceCount = {len(model.interfaces)};")
    w("")
    w("// Every method of every interface, called once on a proxy with sample arguments.")
    for i in model.interfaces:
        w(f"inline const MethodCall k{i.wire_name}Calls[] = {{")
        for meth in i.methods:
            args = ", ".join(sample(p.type) for p in meth.params)
            w(f"    {{\"{meth.name}\", {meth.id}, [](const std::shared_ptr<void>& proxy) {{")
            w(f"         (void)std::static_pointer_cast<{i.name}>(proxy)->{meth.name}({args});")
            w("     }},")
        w("};")
    w("")
    w("inline const InterfaceEntry kInterfaces[kInterfaceCount] = {")
    for i in model.interfaces:
        n = i.wire_name
        w(f"    {{\"{n}\", {str(i.home_is_service).lower()}, {i.release_id},")
        w(f"     [] {{ return std::shared_ptr<void>(std::shared_ptr<{i.name}>(std::make_shared<Null{n}>())); }},")
        w(f"     [](void* object, const std::shared_ptr<void>& implementation, int id, Handler handler,")
        w(f"        const Brokers& brokers) {{")
        w(f"         return brokers->aaiBroker->make{n}Stub(object, id, std::move(handler), brokers,")
        w(f"                                                 std::static_pointer_cast<{i.name}>(implementation));")
        w("     },")
        w("     [](int id, Handler handler, const Brokers& brokers) {")
        w(f"         auto proxy = brokers->aaiBroker->make{n}Proxy(id, std::move(handler), brokers);")
        w(f"         return std::shared_ptr<void>(std::dynamic_pointer_cast<{i.name}>(proxy));")
        w("     },")
        w(f"     k{n}Calls, {len(i.methods)}}},")
    w("};")
    w("")

    values = ([("record", r.name, r) for r in model.records] + [("list", lst.name, lst) for lst in model.lists] +
              [("enum", e.name, e) for e in model.enums])
    w(f"constexpr int kValueTypeCount = {len(values)};")
    w("")
    w("inline const ValueEntry kValueTypes[kValueTypeCount] = {")
    for kind, name, item in values:
        ref = m.TypeRef(name, item.loc, kind={"record": m.RECORD, "list": m.LIST, "enum": m.ENUM}[kind], target=item)
        w(f"    {{\"{name}\", ValueKind::k{kind.capitalize()}, &RoundTrip<{name}, {name}Marshaller>,")
        w(f"     &DecodeOnly<{name}, {name}Marshaller>,")
        w(f"     [](const Brokers& brokers) {{ return EncodeValue<{name}, {name}Marshaller>({sample(ref)}, brokers); }},")
        w(f"     [](const Brokers& brokers) {{ return EncodeValue<{name}, {name}Marshaller>({name}(), brokers); }}}},")
    w("};")
    w("")
    w("}  // namespace aai_fuzz")
    return "\n".join(out) + "\n"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--idl", required=True)
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    try:
        model = parse_file(args.idl, os.path.relpath(args.idl))
    except m.DescriptionError as e:
        print(e, file=sys.stderr)
        return 1
    text = emit(model)
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w", encoding="utf-8") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
