"""The ctypes records against the C compiler's view of the public headers.

The C program is generated from the Python side, one line per field: its
offset, size and element type as the compiler sees them. Every Python field
is thus checked, and a field Python lacks shows as a size difference. No
library is loaded, so this runs in the sanitizer build too.
"""

import ctypes
import os
import subprocess

import pytest

import orvane
from orvane import constants, records
from orvane.status import DCC_MAP_FLAGS, MEANING

C_TYPES = {ctypes.c_int8: "int8_t", ctypes.c_uint8: "uint8_t", ctypes.c_int16: "int16_t",
           ctypes.c_uint16: "uint16_t", ctypes.c_int32: "int32_t", ctypes.c_uint32: "uint32_t",
           ctypes.c_float: "float"}


def element(ctype):
    depth = 0
    while issubclass(ctype, ctypes.Array):
        ctype, depth = ctype._type_, depth + 1
    return ctype, depth


def type_name(ctype):
    return ctype.__name__ if issubclass(ctype, ctypes.Structure) else C_TYPES[ctype]


def state_header_exists(include):
    return os.path.exists(os.path.join(include, "orvane_state.h"))


def program(structs, flags, header_names):
    kinds = sorted({type_name(element(t)[0]) for s in structs for _, t in s._fields_})
    generic = ", ".join(f'{k}: "{k}"' for k in kinds)
    lines = ["#include <stdio.h>", "#include <stddef.h>", '#include "orvane.h"']
    if any(s in records.STATE_RECORDS for s in structs):
        lines.append('#include "orvane_state.h"')
    lines += [f"#define KIND(x) _Generic((x), {generic}, default: \"?\")", "int main(void) {"]
    for s in structs:
        n = s.__name__
        lines.append(f'printf("%s size %zu\\n", "{n}", sizeof({n}));')
        for f, t in s._fields_:
            ctype, depth = element(t)
            elem = f"(({n}*)0)->{f}" + "[0]" * depth
            lines.append(f'printf("%s.%s %zu %zu %s\\n", "{n}", "{f}", offsetof({n}, {f}), '
                         f'sizeof((({n}*)0)->{f}), KIND({elem}));')
    for name in flags:
        lines.append(f'printf("ORVANE_{name} %llu\\n", (unsigned long long)ORVANE_{name});')
    for name in header_names:
        lines.append(f'printf("{name} %llu\\n", (unsigned long long){name});')
    lines += ['#define FLAG(value, name, scope) printf("flag.%s %llu %u\\n", name, '
              '(unsigned long long)(value), (unsigned)(scope));',
              "ORVANE_FLAG_LIST(FLAG)",
              'printf("flag.%s %llu 0\\n", ORVANE_HARD_FAILURE_NAME, '
              '(unsigned long long)ORVANE_HARD_FAILURE);',
              '#define MEANING(value, name, scope, meaning) printf("meaning.%s %llu %u %s\\n", '
              'name, (unsigned long long)(value), (unsigned)(scope), meaning);',
              "ORVANE_FLAG_MEANING_LIST(MEANING)",
              'printf("meaning.%s %llu 0 %s\\n", ORVANE_HARD_FAILURE_NAME, '
              '(unsigned long long)ORVANE_HARD_FAILURE, ORVANE_HARD_FAILURE_MEANING);']
    lines += ["return 0;", "}"]
    return "\n".join(lines) + "\n"


def test_records_flags_and_capacities_match_the_headers(tmp_path):
    cc = os.environ.get("ORVANE_C_COMPILER", "cc")
    include = os.environ.get("ORVANE_INCLUDE_DIR")
    if not include:
        pytest.skip("ORVANE_INCLUDE_DIR is not set (run through ctest)")
    structs = list(records.INTERFACE_RECORDS)
    if state_header_exists(include):
        structs += list(records.STATE_RECORDS)
    flags = list(orvane.Status.__members__)
    source = tmp_path / "layout.c"
    source.write_text(program(structs, flags, constants.HEADER_NAMES))
    exe = tmp_path / "layout"
    subprocess.run([cc, "-std=c11", "-Wall", "-Werror", "-I", include, str(source), "-o",
                    str(exe)], check=True)
    seen = {}
    for line in subprocess.run([str(exe)], check=True, capture_output=True,
                               text=True).stdout.splitlines():
        if line.startswith("meaning."):  # the meaning keeps its spaces
            key, value, scope, text = line.split(" ", 3)
            seen[key] = [value, scope, text]
            continue
        key, *values = line.split()
        seen[key] = values

    expected = {}
    for s in structs:
        n = s.__name__
        expected[n] = ["size", str(ctypes.sizeof(s))]
        for f, t in s._fields_:
            expected[f"{n}.{f}"] = [str(getattr(s, f).offset), str(ctypes.sizeof(t)),
                                    type_name(element(t)[0])]
    for name, member in orvane.Status.__members__.items():
        expected[f"ORVANE_{name}"] = [str(int(member))]
    for name, value in constants.HEADER_NAMES.items():
        expected[name] = [str(value)]
    # The header's flag-name list: each name is a Status member of that value
    # and scope.
    for name, member in orvane.Status.__members__.items():
        if name == "OK":
            continue
        scope = 0 if name == "HARD_FAILURE" else 2 if name in DCC_MAP_FLAGS else 1
        expected[f"flag.{name.lower()}"] = [str(int(member)), str(scope)]
        expected[f"meaning.{name.lower()}"] = [str(int(member)), str(scope),
                                               MEANING[name.lower()]]
    assert set(MEANING) == {n.lower() for n in orvane.Status.__members__} - {"ok"}
    assert seen == expected
    # The dump reader's numpy layout is the ctypes one.
    assert orvane.files._STATE_DTYPE.itemsize == constants.STATE_DUMP_SIZE
