"""The .fre solver input file: a line-oriented text file (see README.md).

Records are upper-case keywords followed by blank-separated fields; fields
holding blanks are quoted.  A record longer than the maximum field length is
continued: the broken line ends with " &" and the next one starts with "&".
"""

import shlex
from dataclasses import dataclass

ROTATION_NAMES = {0: "RADIANS", 1: "DEGREES", 2: "MILLIRADIANS"}
FT_PER_M = 3.280839895
LBF_PER_N = 0.2248089431
MIN_LINE = 16
INDI_CODES = {"anchor": "FIXED", "guide": "GUIDED", "rest": "VERTICAL", "spring": "SPRING",
              "fixed": "FIXED", "pinned": "PINNED", "roller": "ROLLER"}


@dataclass(frozen=True)
class FreOptions:
    max_length: int = 80
    rotation: int = 0
    comments: bool = False
    imperial: bool = False
    inline_restraints: bool = False
    inline_dlcs: bool = False
    inline_indi: bool = False


def _field(value):
    text = value if isinstance(value, str) else f"{value:.4f}"
    # One record per line: control characters cannot survive in a field.
    text = "".join(c if c.isprintable() else " " for c in text)
    return shlex.quote(text) if (not text or any(c.isspace() or c in "'\"&" for c in text)) else text


def _wrap(fields, width):
    """Physical lines for one record, none longer than width unless a single
    field is longer than that by itself."""
    whole = " ".join(fields)
    if len(whole) <= width:
        return [whole]
    lines, current = [], None
    for f in fields:
        if current is None:
            current = f
        elif len(current) + 1 + len(f) + 2 <= width:
            current = f"{current} {f}"
        else:
            lines.append(current + " &")
            current = "& " + f
    lines.append(current)
    return lines


def render(doc, options, title):
    """Text of the .fre file for a tessel document."""
    scale_l = FT_PER_M if options.imperial else 1.0
    scale_f = LBF_PER_N if options.imperial else 1.0
    records = []

    def rec(*fields):
        records.append([_field(f) for f in fields])

    def comment(text):
        if options.comments:
            records.append(text)

    supports = {s["node"]: s["kind"] for s in doc["supports"]}
    loads_at = {}
    for i, load in enumerate(doc["loads"], 1):
        loads_at.setdefault(load["node"], []).append((i, load))

    def restraint(node):
        rec("REST", str(node), supports[node].upper())

    def indi(node):
        rec("INDI", str(node), INDI_CODES[supports[node]])

    def dlcs(case, load):
        rec("DLCS", str(case), str(load["node"]),
            *(load[k] * scale_f for k in ("fx", "fy", "fz")))

    rec("HEAD", f"MODULE={doc['module']}", f"UNITS={'IMPERIAL' if options.imperial else 'SI'}",
        f"LENGTH={'FT' if options.imperial else 'M'}", f"FORCE={'LBF' if options.imperial else 'N'}",
        f"ROTATION={ROTATION_NAMES[options.rotation]}", f"MAXLEN={options.max_length}")
    rec("OPTS", *(f"{key}={'INLINE' if flag else 'SEPARATE'}" for key, flag in (
        ("RESTRAINTS", options.inline_restraints), ("DLCS", options.inline_dlcs),
        ("INDI", options.inline_indi))))
    comment("Nodes")
    for node in doc["nodes"]:
        nid = node["id"]
        rec("NODE", str(nid), *(node[k] * scale_l for k in ("x", "y", "z")))
        if nid in supports and options.inline_restraints:
            restraint(nid)
        if nid in supports and options.inline_indi:
            indi(nid)
        if options.inline_dlcs:
            for case, load in loads_at.get(nid, ()):
                dlcs(case, load)
    comment("Elements")
    for e in doc["elements"]:
        rec("ELEM", str(e["id"]), str(e["from"]), str(e["to"]), e["kind"].upper(),
            e["section"] or "-", f"LAYER={e['layer']}")
    if not options.inline_restraints and supports:
        comment("Restraints")
        for nid in supports:
            restraint(nid)
    if not options.inline_indi and supports:
        comment("Displacement indicators")
        for nid in supports:
            indi(nid)
    if not options.inline_dlcs and doc["loads"]:
        comment("Load cases")
        for case, load in enumerate(doc["loads"], 1):
            dlcs(case, load)

    width = options.max_length
    clean_title = "".join(c if c.isprintable() else " " for c in title)
    # Comments are never continued; they are cut to the line width instead.
    out = [line[:width] for line in ("* DiroZiziva input file", f"* Title: {clean_title}")]
    for fields in records:
        if isinstance(fields, str):
            out.append(f"* {fields}"[:width])
        else:
            out.extend(_wrap(fields, width))
    out.append("END")
    return "\n".join(out) + "\n"


def parse(text):
    """Read a .fre text back: dict with head, opts, nodes, elements,
    restraints, indi, loads (lengths and forces as written).  ValueError
    when the text is not a valid input file."""
    logical, pending = [], None
    for raw in text.splitlines():
        line = raw.rstrip()
        if pending is not None:
            if not line.startswith("&"):
                raise ValueError("continuation line expected")
            line = pending + " " + line[1:].strip()
            pending = None
        elif not line or line.startswith("*"):
            continue
        if line.endswith(" &"):
            pending = line[:-2]
            continue
        logical.append(line)
    if pending is not None:
        raise ValueError("file ends inside a continued record")
    if not logical or logical[-1] != "END":
        raise ValueError("missing END record")
    out = {"head": {}, "opts": {}, "nodes": {}, "elements": [], "restraints": {}, "indi": {}, "loads": []}
    for line in logical[:-1]:
        try:
            fields = shlex.split(line)
        except ValueError as e:
            raise ValueError(f"bad quoting: {line!r}") from e
        key, args = fields[0], fields[1:]
        try:
            if key in ("HEAD", "OPTS"):
                out[key.lower()].update(a.split("=", 1) for a in args)
            elif key == "NODE":
                out["nodes"][int(args[0])] = tuple(float(a) for a in args[1:4])
            elif key == "ELEM":
                out["elements"].append({"id": int(args[0]), "from": int(args[1]), "to": int(args[2]),
                                        "kind": args[3].lower(), "section": args[4],
                                        "layer": args[5].split("=", 1)[1]})
            elif key == "REST":
                out["restraints"][int(args[0])] = args[1].lower()
            elif key == "INDI":
                out["indi"][int(args[0])] = args[1]
            elif key == "DLCS":
                out["loads"].append((int(args[1]), *(float(a) for a in args[2:5])))
            else:
                raise ValueError(f"unknown record {key}")
        except (IndexError, ValueError) as e:
            raise ValueError(f"bad record {line!r}: {e}") from None
    if "MODULE" not in out["head"]:
        raise ValueError("missing HEAD record")
    known = set(out["nodes"])
    for e in out["elements"]:
        if e["from"] not in known or e["to"] not in known:
            raise ValueError(f"element {e['id']} refers to an unknown node")
    return out


def read_fre(path):
    with open(path, "r", encoding="utf-8") as f:
        return parse(f.read())
