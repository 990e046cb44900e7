"""The data-model generator: what it refuses, and where it puts what it makes."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))

from aaigen import emit_types  # noqa: E402
from aaigen.model import DescriptionError  # noqa: E402
from aaigen.output import Output  # noqa: E402
from aaigen.parser import parse  # noqa: E402

_HEAD = """namespace a::b;
service "S" version "1" checksum "C" root IRoot modules "aai";
interface IRoot home service ids 1-2 { void ping(); }
"""


def _emit(body: str) -> Output:
    out = Output()
    emit_types.emit(parse(_HEAD + body, "t.idl"), out)
    return out


class Refusals(unittest.TestCase):
    CASES = [
        ("enumerators spelt alike", "enum Ab { C }\nenum AB { C }", 5, "AB_C"),
        ("a record named like another's implementation", "record Foo { int x; }\nrecord FooImpl { int y; }",
         4, "FooImpl"),
        ("a list named like a marshaller", "record R { int x; }\nlist RMarshaller of int;", 4, "RMarshaller"),
        ("two vector names of one type", "vector A of string;\nvector B of string;", 5, "same type"),
        ("a field beginning with a capital", "record R {\n  int x;\n  int Y;\n}", 6, "lower-case"),
        ("a field named like a keyword", "record R { int class; }", 4, "keyword"),
    ]

    def test_each_is_a_description_error_at_its_line(self):
        for what, body, line, words in self.CASES:
            with self.subTest(what):
                with self.assertRaises(DescriptionError) as caught:
                    _emit(body)
                self.assertIn(f"t.idl:{line}: error:", str(caught.exception))
                self.assertIn(words, str(caught.exception))


class Generated(unittest.TestCase):
    BODY = """enum Colour { RED, GREEN }
record Outer { optional Inners inners; Colour colour; }
vector Inners of Inner;
record Inner { string name; }
"""

    def test_writes_the_six_files(self):
        self.assertEqual(sorted(_emit(self.BODY).files), [
            "include/aai/detail/valuecodecs.h", "include/aai/marshallers.h", "include/aai/types.h",
            "src/aai_tostring.cpp", "src/aaimarshaller.cpp", "src/aaistructimpl.cpp"])

    def test_declares_each_record_after_the_types_it_holds(self):
        types = _emit(self.BODY).files["include/aai/types.h"]
        inner, inners, outer = (types.index(s) for s in ("class Inner {", "using Inners =", "class Outer {"))
        self.assertLess(inner, inners)
        self.assertLess(inners, outer)

    def test_includes_only_what_the_declarations_use(self):
        types = _emit("enum E { A }").files["include/aai/types.h"]
        self.assertNotIn("<optional>", types)
        self.assertNotIn("<vector>", types)
        self.assertIn("<optional>", _emit(self.BODY).files["include/aai/types.h"])

    def test_generated_lines_carry_no_trailing_blanks(self):
        for path, text in _emit(self.BODY).files.items():
            with self.subTest(path):
                self.assertFalse([l for l in text.splitlines() if l != l.rstrip()])


if __name__ == "__main__":
    unittest.main()
