"""The .tessel model document: a JSON file (see README.md in this package).

Content is handled as a plain dict in canonical form; ``normalize`` checks a
parsed document and returns that form, raising ValueError with the reason when
the document is not a valid tessel.
"""

import copy
import json
import math

from . import _files

FORMAT = "tessel"
VERSION = 1
MODULES = ("Tubrolis", "Trabexon")

ELEMENT_KINDS = {
    "Tubrolis": ("pipe", "bend", "valve", "reducer", "flange"),
    "Trabexon": ("beam", "column", "brace"),
}
SUPPORT_KINDS = {
    "Tubrolis": ("anchor", "guide", "rest", "spring"),
    "Trabexon": ("fixed", "pinned", "roller"),
}


def _number(value, what):
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise ValueError(f"{what} must be a finite number")
    return float(value)


def _integer(value, what):
    if isinstance(value, bool) or not isinstance(value, int):
        raise ValueError(f"{what} must be an integer")
    return value


def _text(value, what):
    if not isinstance(value, str):
        raise ValueError(f"{what} must be a string")
    return value


def _list(data, key):
    value = data.get(key, [])
    if not isinstance(value, list) or not all(isinstance(x, dict) for x in value):
        raise ValueError(f"'{key}' must be a list of objects")
    return value


def normalize(data):
    """Canonical copy of a tessel document, or ValueError."""
    if not isinstance(data, dict):
        raise ValueError("the document is not a JSON object")
    if data.get("format") != FORMAT:
        raise ValueError("'format' is not 'tessel'")
    if data.get("version") != VERSION:
        raise ValueError(f"unsupported version {data.get('version')!r}")
    module = data.get("module")
    if module not in MODULES:
        raise ValueError(f"unknown module {module!r}")
    out = {"format": FORMAT, "version": VERSION, "module": module,
           "title": _text(data.get("title", ""), "'title'")}

    layers = []
    for i, layer in enumerate(_list(data, "layers")):
        name = _text(layer.get("name"), f"layer {i} name")
        visible = layer.get("visible", True)
        if not isinstance(visible, bool):
            raise ValueError(f"layer {name!r}: 'visible' must be true or false")
        if any(x["name"] == name for x in layers):
            raise ValueError(f"duplicate layer {name!r}")
        layers.append({"name": name, "visible": visible})
    out["layers"] = layers
    layer_names = {x["name"] for x in layers}

    nodes = []
    for node in _list(data, "nodes"):
        nid = _integer(node.get("id"), "node id")
        if any(n["id"] == nid for n in nodes):
            raise ValueError(f"duplicate node {nid}")
        nodes.append({"id": nid, **{k: _number(node.get(k), f"node {nid} {k}") for k in ("x", "y", "z")}})
    out["nodes"] = nodes
    node_ids = {n["id"] for n in nodes}

    def node_ref(value, what):
        value = _integer(value, what)
        if value not in node_ids:
            raise ValueError(f"{what} refers to unknown node {value}")
        return value

    elements = []
    for element in _list(data, "elements"):
        eid = _integer(element.get("id"), "element id")
        if any(e["id"] == eid for e in elements):
            raise ValueError(f"duplicate element {eid}")
        start = node_ref(element.get("from"), f"element {eid} 'from'")
        end = node_ref(element.get("to"), f"element {eid} 'to'")
        if start == end:
            raise ValueError(f"element {eid} starts and ends at node {start}")
        kind = element.get("kind")
        if kind not in ELEMENT_KINDS[module]:
            raise ValueError(f"element {eid}: kind {kind!r} is not a {module} element")
        layer = _text(element.get("layer", "0"), f"element {eid} layer")
        if layer not in layer_names:
            raise ValueError(f"element {eid} is on unknown layer {layer!r}")
        elements.append({"id": eid, "from": start, "to": end, "kind": kind,
                         "section": _text(element.get("section", ""), f"element {eid} section"),
                         "layer": layer})
    out["elements"] = elements

    supports = []
    for support in _list(data, "supports"):
        nid = node_ref(support.get("node"), "support node")
        kind = support.get("kind")
        if kind not in SUPPORT_KINDS[module]:
            raise ValueError(f"support at node {nid}: kind {kind!r} is not a {module} support")
        supports.append({"node": nid, "kind": kind})
    out["supports"] = supports

    loads = []
    for load in _list(data, "loads"):
        nid = node_ref(load.get("node"), "load node")
        loads.append({"node": nid, **{k: _number(load.get(k, 0.0), f"load at node {nid} {k}")
                                      for k in ("fx", "fy", "fz")}})
    out["loads"] = loads
    return out


def empty(module="Tubrolis", title=""):
    return {"format": FORMAT, "version": VERSION, "module": module, "title": title,
            "layers": [], "nodes": [], "elements": [], "supports": [], "loads": []}


def _nodes(*rows):
    return [{"id": i, "x": float(x), "y": float(y), "z": float(z)} for i, x, y, z in rows]


_SAMPLES = {
    # A line between two anchors with a rest, a bend, a drain branch ending
    # free (node 60), and a separate anchored vent run (the "distant model").
    "Tubrolis": {
        "title": "Sample piping",
        "layers": [{"name": "0", "visible": True}, {"name": "Drains", "visible": True}],
        "nodes": _nodes((10, 0, 0, 0), (20, 2, 0, 0), (30, 4, 0, 0), (40, 4, 2, 0),
                        (50, 4, 2, 1.5), (60, 2, 0, -0.5), (70, 10, 0, 0), (80, 10, 0, 1)),
        "elements": [
            {"id": 1, "from": 10, "to": 20, "kind": "pipe", "section": "DN100", "layer": "0"},
            {"id": 2, "from": 20, "to": 30, "kind": "pipe", "section": "DN100", "layer": "0"},
            {"id": 3, "from": 30, "to": 40, "kind": "bend", "section": "DN100", "layer": "0"},
            {"id": 4, "from": 40, "to": 50, "kind": "pipe", "section": "DN100", "layer": "0"},
            {"id": 5, "from": 20, "to": 60, "kind": "valve", "section": "DN25", "layer": "Drains"},
            {"id": 6, "from": 70, "to": 80, "kind": "pipe", "section": "DN50", "layer": "0"},
        ],
        "supports": [{"node": 10, "kind": "anchor"}, {"node": 50, "kind": "anchor"},
                     {"node": 30, "kind": "rest"}, {"node": 70, "kind": "anchor"}],
        "loads": [{"node": 40, "fx": 0.0, "fy": 0.0, "fz": -800.0},
                  {"node": 80, "fx": 0.0, "fy": 0.0, "fz": -150.0}],
    },
    # A portal frame with a cantilever beyond its right column (node 5 is free).
    "Trabexon": {
        "title": "Sample structure",
        "layers": [{"name": "0", "visible": True}, {"name": "Frame", "visible": True}],
        "nodes": _nodes((1, 0, 0, 0), (2, 0, 0, 3), (3, 5, 0, 3), (4, 5, 0, 0), (5, 6.5, 0, 3)),
        "elements": [
            {"id": 1, "from": 1, "to": 2, "kind": "column", "section": "S200x200", "layer": "Frame"},
            {"id": 2, "from": 2, "to": 3, "kind": "beam", "section": "S300x150", "layer": "Frame"},
            {"id": 3, "from": 3, "to": 4, "kind": "column", "section": "S200x200", "layer": "Frame"},
            {"id": 4, "from": 3, "to": 5, "kind": "beam", "section": "S200x100", "layer": "0"},
        ],
        "supports": [{"node": 1, "kind": "fixed"}, {"node": 4, "kind": "fixed"}],
        "loads": [{"node": 5, "fx": 0.0, "fy": 0.0, "fz": -2000.0},
                  {"node": 2, "fx": 500.0, "fy": 0.0, "fz": 0.0}],
    },
}

KIND_ALIASES = {"piping": "Tubrolis", "structure": "Trabexon", "Tubrolis": "Tubrolis", "Trabexon": "Trabexon"}


def sample_model(kind="piping", empty_model=False, title=None):
    """A valid tessel document: the sample geometry of that kind, or an empty
    model holding only layer "0"."""
    module = KIND_ALIASES[kind]
    if empty_model:
        doc = empty(module, title or "")
        doc["layers"] = [{"name": "0", "visible": True}]
        return doc
    doc = empty(module)
    doc.update(copy.deepcopy(_SAMPLES[module]))
    if title is not None:
        doc["title"] = title
    return normalize(doc)


def dump(doc, path):
    _files.replace_text(path, json.dumps(doc, indent=2) + "\n")


def load(path):
    """Parse and check a tessel file: ValueError when it is not valid."""
    with open(path, "rb") as f:
        raw = f.read()
    try:
        data = json.loads(raw.decode("utf-8-sig"))
    except (UnicodeDecodeError, ValueError) as e:
        raise ValueError(f"not JSON ({e})") from None
    return normalize(data)


def write_tessel(path, kind="piping", empty_model=False, title=None):
    """Write a sample (or empty) tessel file; returns path."""
    dump(sample_model(kind, empty_model, title), path)
    return path


def read_tessel(path):
    return load(path)
