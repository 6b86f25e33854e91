#!/usr/bin/env python3
"""Writes the Windows program's resource script from the message tables and
the one layout of its dialogs.

    generate_resources.py --tables i18n/tables --layout resources.txt --output setup.rc

The script is UTF-8 (#pragma code_page(65001)) and holds, for every language
of languages.txt that the layout does not leave out, a string table with the
numbers of ids.txt and a copy of every dialog template with that language's
texts; then the pictures and the manifest, in no particular language.

The tables are read and checked by i18n/generate_catalogue.py, so a table
that the catalogue refuses is refused here as well.
"""

import argparse
import importlib.util
import os
import re
import shlex
import sys

NUMBER_RE = re.compile(r"^-?(0x[0-9A-Fa-f]+|[0-9]+)$")
CLASSES = {"STATIC", "EDIT", "BUTTON", "msctls_progress32"}


class LayoutError(Exception):
    pass


def load_catalogue_reader():
    here = os.path.dirname(os.path.abspath(__file__))
    path = os.path.join(here, "..", "..", "..", "i18n", "generate_catalogue.py")
    found = importlib.util.spec_from_file_location("generate_catalogue", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def number(text, where, low, high):
    if not NUMBER_RE.match(text):
        raise LayoutError(f"{where}: '{text}' is not a number")
    value = int(text, 0)
    if not low <= value <= high:
        raise LayoutError(f"{where}: {value} is out of range")
    return value


def read_layout(path, identifiers):
    dialogs, pictures, skipped = [], [], []
    base = os.path.dirname(os.path.abspath(path))
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    for line_number, line in enumerate(lines, start=1):
        where = f"{path}:{line_number}"
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        try:
            fields = shlex.split(line, posix=True)
        except ValueError as e:
            raise LayoutError(f"{where}: {e}")
        kind, args = fields[0], fields[1:]
        if kind == "dialog":
            if len(args) != 6:
                raise LayoutError(f"{where}: expected 'dialog ID WIDTH HEIGHT STYLE POINTS FONT'")
            dialogs.append({
                "id": number(args[0], where, 1, 0xFFFF),
                "width": number(args[1], where, 1, 0x7FFF),
                "height": number(args[2], where, 1, 0x7FFF),
                "style": number(args[3], where, 0, 0xFFFFFFFF),
                "points": number(args[4], where, 1, 72),
                "font": args[5],
                "controls": [],
            })
        elif kind == "control":
            if not dialogs:
                raise LayoutError(f"{where}: a control before any dialog")
            if len(args) != 8:
                raise LayoutError(f"{where}: expected 'control ID CLASS X Y WIDTH HEIGHT STYLE TEXT'")
            dialog = dialogs[-1]
            control = {
                "id": number(args[0], where, -1, 0xFFFF),
                "class": args[1],
                "rect": [number(a, where, 0, 0x7FFF) for a in args[2:6]],
                "style": number(args[6], where, 0, 0xFFFFFFFF),
                "text": args[7],
            }
            if control["class"] not in CLASSES:
                raise LayoutError(f"{where}: unknown control class {control['class']}")
            x, y, w, h = control["rect"]
            if x + w > dialog["width"] or y + h > dialog["height"]:
                raise LayoutError(f"{where}: the control reaches outside its dialog")
            if control["id"] != -1 and any(c["id"] == control["id"] for c in dialog["controls"]):
                raise LayoutError(f"{where}: control {control['id']} twice in dialog {dialog['id']}")
            text = control["text"]
            if text.startswith("#"):
                number(text[1:], where, 1, 0xFFFF)
            elif text.startswith(("IDS_", "IDR_")) and text not in identifiers:
                raise LayoutError(f"{where}: unknown identifier {text}")
            dialog["controls"].append(control)
        elif kind in ("bitmap", "icon", "manifest"):
            if len(args) != 2:
                raise LayoutError(f"{where}: expected '{kind} ID FILE'")
            file = os.path.normpath(os.path.join(base, args[1]))
            if not os.path.isfile(file):
                raise LayoutError(f"{where}: {file} does not exist")
            pictures.append((kind, number(args[0], where, 1, 0xFFFF), file))
        elif kind == "skip-language":
            skipped += args
        else:
            raise LayoutError(f"{where}: unknown line kind '{kind}'")
    ids = [d["id"] for d in dialogs]
    if len(set(ids)) != len(ids):
        raise LayoutError(f"{path}: a dialog is laid out twice")
    for dialog in dialogs:
        for control in dialog["controls"]:
            if control["text"].startswith("#"):
                wanted = int(control["text"][1:], 0)
                if ("bitmap", wanted) not in [(k, i) for k, i, _ in pictures]:
                    raise LayoutError(f"{path}: dialog {dialog['id']} shows bitmap {wanted}, which is not listed")
    return dialogs, pictures, skipped


def rc_string(text):
    """A resource-script string literal: windres reads C escapes, and a quote
    is written twice."""
    return '"' + text.replace("\\", "\\\\").replace('"', '""') + '"'


def control_text(text, texts):
    if text == "-":
        return '""'
    if text.startswith("#"):
        return str(int(text[1:], 0))  # an ordinal: the picture's number
    if text.startswith(("IDS_", "IDR_")):
        return rc_string(texts[text])
    return rc_string(text)


def generate(tables_dir, layout_path, version=None, output_dir=None):
    catalogue = load_catalogue_reader()
    try:
        identifiers = catalogue.read_identifiers(os.path.join(tables_dir, "ids.txt"))
        languages = catalogue.read_languages(os.path.join(tables_dir, "languages.txt"))
        dialogs, pictures, skipped = read_layout(layout_path, identifiers)
        unknown = [code for code in skipped if code not in [l[0] for l in languages]]
        if unknown:
            raise LayoutError(f"{layout_path}: skip-language names unknown {', '.join(unknown)}")
        tables = {}
        for code, _lcid, _number, _name in languages:
            if code not in skipped:
                tables[code] = catalogue.read_table(os.path.join(tables_dir, f"{code}.txt"), identifiers)
    except catalogue.TableError as e:
        raise LayoutError(str(e))

    out = [
        "// Generated by wizard/win/resources/generate_resources.py from i18n/tables",
        "// and wizard/win/resources/resources.txt. Do not edit.",
        "#pragma code_page(65001)",
        "",
    ]
    for code, lcid, _number, name in languages:
        if code not in tables:
            continue
        texts = tables[code]
        out.append(f"// {name}")
        out.append(f"LANGUAGE 0x{lcid & 0x3FF:X}, 0x{lcid >> 10:X}")
        out.append("STRINGTABLE")
        out.append("BEGIN")
        for key, value in sorted(identifiers.items(), key=lambda item: item[1]):
            out.append(f"  {value}, {rc_string(texts[key])}")
        out.append("END")
        for dialog in dialogs:
            out.append(f"{dialog['id']} DIALOGEX 0, 0, {dialog['width']}, {dialog['height']}")
            out.append(f"STYLE 0x{dialog['style']:08X}")
            out.append(f"FONT {dialog['points']}, {rc_string(dialog['font'])}, 0, 0, 0x1")
            out.append("BEGIN")
            for c in dialog["controls"]:
                x, y, w, h = c["rect"]
                out.append(f"  CONTROL {control_text(c['text'], texts)}, {c['id']}, {rc_string(c['class'])}, "
                           f"0x{c['style']:08X}, {x}, {y}, {w}, {h}")
            out.append("END")
        out.append("")
    manifests = {}
    if version:
        for kind, _ident, file in pictures:
            if kind == "manifest":
                manifests[file] = versioned_manifest(file, version, output_dir)
    texts_of_english = tables.get("en") or catalogue.read_table(os.path.join(tables_dir, "en.txt"), identifiers)
    out.append("// Pictures and manifest, the same for every language.")
    out.append("LANGUAGE 0x0, 0x0")
    types = {"bitmap": "BITMAP", "icon": "ICON", "manifest": "24"}
    for kind, ident, file in pictures:
        out.append(f"{ident} {types[kind]} {rc_string(manifests.get(file, file))}")
    if version:
        out += version_info(version, texts_of_english)
    return "\n".join(out) + "\n"


def version_info(version, english):
    """The version block that Explorer shows in the program's properties."""
    numbers = ",".join(version.split(".") + ["0"] * (4 - len(version.split("."))))
    title = english["IDR_MAINFRAME"]
    return [
        "",
        "// The version, as Explorer shows it.",
        "1 VERSIONINFO",
        f"FILEVERSION {numbers}",
        f"PRODUCTVERSION {numbers}",
        "FILEOS 0x40004",
        "FILETYPE 0x1",
        "BEGIN",
        '  BLOCK "StringFileInfo"',
        "  BEGIN",
        '    BLOCK "040904B0"',
        "    BEGIN",
        f"      VALUE \"FileDescription\", {rc_string(title)}",
        f"      VALUE \"FileVersion\", {rc_string(version)}",
        '      VALUE "OriginalFilename", "setup.exe"',
        '      VALUE "ProductName", "setup"',
        f"      VALUE \"ProductVersion\", {rc_string(version)}",
        "    END",
        "  END",
        '  BLOCK "VarFileInfo"',
        "  BEGIN",
        '    VALUE "Translation", 0x409, 1200',
        "  END",
        "END",
    ]


def versioned_manifest(path, version, output_dir):
    """A copy of the manifest whose own identity carries the program's
    version (four numbers), written beside the resource script."""
    numbers = ".".join(version.split(".") + ["0"] * (4 - len(version.split("."))))
    with open(path, encoding="utf-8") as f:
        text = f.read()
    text, count = re.subn(r'(<assemblyIdentity type="win32" name="Orvik\.Setup" version=")[^"]*"',
                          lambda m: m.group(1) + numbers + '"', text)
    if count != 1:
        raise LayoutError(f"{path}: no identity of its own to carry the version")
    copy = os.path.join(output_dir, os.path.basename(path))
    load_catalogue_reader().write_replacing(copy, text)
    return copy


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tables", required=True, help="directory of the message tables")
    parser.add_argument("--layout", required=True, help="the dialogs, pictures and manifest")
    parser.add_argument("--output", required=True, help="resource script to write")
    parser.add_argument("--version", help="the program's version (1.2.3): a version block, and the "
                        "manifest's identity carries it")
    args = parser.parse_args()
    try:
        script = generate(args.tables, args.layout, args.version, os.path.dirname(os.path.abspath(args.output)))
    except LayoutError as e:
        print(f"generate_resources: {e}", file=sys.stderr)
        return 1
    load_catalogue_reader().write_replacing(args.output, script)
    return 0


if __name__ == "__main__":
    sys.exit(main())
