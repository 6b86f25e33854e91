#!/usr/bin/env python3
"""Turns the message tables in i18n/tables into the C++ source of the catalogue.

Inputs (all UTF-8):
  ids.txt        IDENTIFIER NUMBER        the identifiers and their Windows numbers
  languages.txt  CODE LCID NUMBER NAME    the languages, one table each
  <code>.txt     IDENTIFIER=text          the texts of one language

A table that is incomplete or malformed stops the build: a broken catalogue
would otherwise show up only as an empty label somewhere in the wizard.
"""

import argparse
import os
import re
import sys
import unicodedata

IDENTIFIER_RE = re.compile(r"^(IDS|IDR)_[A-Z0-9_]+$")
CODE_RE = re.compile(r"^[a-z]{2,3}(_[A-Za-z]+)?$")


class TableError(Exception):
    pass


def read_lines(path):
    """Yields (line number, line) for the lines that carry data."""
    try:
        with open(path, "rb") as f:
            raw = f.read()
    except OSError as e:
        raise TableError(f"{path}: cannot read: {e.strerror}")
    if raw.startswith(b"\xef\xbb\xbf"):
        raise TableError(f"{path}: starts with a byte-order mark; save it as plain UTF-8")
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        raise TableError(f"{path}: not valid UTF-8 at byte {e.start}")
    for number, line in enumerate(text.split("\n"), start=1):
        if line.endswith("\r"):
            line = line[:-1]
        if not line.strip() or line.startswith("#"):
            continue
        yield number, line


def read_identifiers(path):
    identifiers = {}
    numbers = {}
    for number, line in read_lines(path):
        fields = line.split()
        if len(fields) != 2 or not IDENTIFIER_RE.match(fields[0]) or not fields[1].isdigit():
            raise TableError(f"{path}:{number}: expected 'IDENTIFIER NUMBER'")
        name, value = fields[0], int(fields[1])
        if not 0 < value <= 0xFFFF:
            raise TableError(f"{path}:{number}: {name}: number {value} is not a string number")
        if name in identifiers:
            raise TableError(f"{path}:{number}: {name} listed twice")
        if value in numbers:
            raise TableError(f"{path}:{number}: {name} has the number of {numbers[value]}")
        identifiers[name] = value
        numbers[value] = name
    if not identifiers:
        raise TableError(f"{path}: no identifiers")
    return identifiers


def read_languages(path):
    languages = []
    for number, line in read_lines(path):
        fields = line.split(None, 3)
        if len(fields) != 4 or not CODE_RE.match(fields[0]) \
                or not fields[1].isdigit() or not fields[2].isdigit():
            raise TableError(f"{path}:{number}: expected 'CODE LCID NUMBER NAME'")
        languages.append((fields[0], int(fields[1]), int(fields[2]), fields[3].strip()))
    codes = [l[0] for l in languages]
    if len(set(codes)) != len(codes):
        raise TableError(f"{path}: a code is listed twice")
    if len({l[1] for l in languages}) != len(languages):
        raise TableError(f"{path}: an LCID is listed twice")
    if [l[2] for l in languages] != list(range(1, len(languages) + 1)):
        raise TableError(f"{path}: the language numbers must run 1, 2, 3, ... in order")
    return languages


def read_table(path, identifiers):
    texts = {}
    for number, line in read_lines(path):
        key, sep, text = line.partition("=")
        where = f"{path}:{number}"
        if not sep:
            raise TableError(f"{where}: expected 'IDENTIFIER=text'")
        if key not in identifiers:
            raise TableError(f"{where}: unknown identifier '{key}'")
        if key in texts:
            raise TableError(f"{where}: {key} given twice")
        if not text:
            raise TableError(f"{where}: {key} has empty text")
        if text != text.strip():
            raise TableError(f"{where}: {key} has leading or trailing white space")
        if any(unicodedata.category(c) == "Cc" for c in text):
            raise TableError(f"{where}: {key} holds a control character")
        if not unicodedata.is_normalized("NFC", text):
            raise TableError(f"{where}: {key} is not in Unicode normal form C")
        texts[key] = text
    missing = [k for k in identifiers if k not in texts]
    if missing:
        raise TableError(f"{path}: missing {', '.join(missing)}")
    return texts


def cxx_string(text):
    """A C++ string literal holding the UTF-8 bytes of `text`."""
    out = ['"']
    for byte in text.encode("utf-8"):
        c = chr(byte)
        if c in '"\\?':
            out.append("\\" + c)
        elif 0x20 <= byte < 0x7F:
            out.append(c)
        else:
            # Octal escapes are always three digits long, so a following
            # digit can never be taken into the escape.
            out.append(f"\\{byte:03o}")
    out.append('"')
    return "".join(out)


def generate(tables_dir):
    identifiers = read_identifiers(os.path.join(tables_dir, "ids.txt"))
    languages = read_languages(os.path.join(tables_dir, "languages.txt"))
    known = {"ids.txt", "languages.txt"} | {f"{l[0]}.txt" for l in languages}
    strays = sorted(f for f in os.listdir(tables_dir) if f.endswith(".txt") and f not in known)
    if strays:
        raise TableError(f"{tables_dir}: tables of no listed language: {', '.join(strays)}")

    # Byte-wise order, so that the lookup can search the names.
    names = sorted(identifiers, key=lambda n: n.encode("ascii"))
    out = []
    out.append("// Generated by i18n/generate_catalogue.py from i18n/tables. Do not edit.")
    out.append('#include "i18n/CatalogueTables.h"')
    out.append("")
    out.append("namespace setup::catalogue_tables {")
    out.append("")
    out.append("const MessageIdentifier kIdentifiers[] = {")
    for name in names:
        out.append(f'    {{"{name}", {identifiers[name]}}},')
    out.append("};")
    out.append(f"const std::size_t kIdentifierCount = {len(names)};")
    out.append("")
    out.append("namespace {")
    for code, _lcid, _number, name in languages:
        texts = read_table(os.path.join(tables_dir, f"{code}.txt"), identifiers)
        out.append(f"// {name}")
        out.append(f"const std::string_view kTexts_{code}[] = {{")
        for key in names:
            out.append(f"    {cxx_string(texts[key])},  // {key}")
        out.append("};")
    out.append("}  // namespace")
    out.append("")
    out.append("const LanguageEntry kLanguages[] = {")
    for code, lcid, number, name in languages:
        out.append(f'    {{"{code}", {lcid}, {number}, {cxx_string(name)}, kTexts_{code}}},')
    out.append("};")
    out.append(f"const std::size_t kLanguageCount = {len(languages)};")
    out.append("")
    out.append("}  // namespace setup::catalogue_tables")
    return "\n".join(out) + "\n"


def write_replacing(path, text):
    """Writes `text` beside `path` and renames it over, so a build that stops
    half-way never leaves a cut file that looks up to date."""
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    os.replace(tmp, path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tables", required=True, help="directory of the tables")
    parser.add_argument("--output", required=True, help="C++ file to write")
    args = parser.parse_args()
    try:
        source = generate(args.tables)
    except TableError as e:
        print(f"generate_catalogue: {e}", file=sys.stderr)
        return 1
    write_replacing(args.output, source)
    return 0


if __name__ == "__main__":
    sys.exit(main())
