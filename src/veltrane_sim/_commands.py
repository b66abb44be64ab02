"""The host's named custom commands.  Each edits a model in memory; saving is
the command controller's business (or the caller's).  A command's parameters
are properties of the command object, set before it runs."""

from ._hostbase import DOUBLE


def _renumber_nodes(model):
    mapping = {n["id"]: 10 * i for i, n in enumerate(sorted(model._nodes, key=lambda n: n["id"]), 1)}
    for n in model._nodes:
        n["id"] = mapping[n["id"]]
    model._nodes.sort(key=lambda n: n["id"])
    for e in model._elements:
        e["from"], e["to"] = mapping[e["from"]], mapping[e["to"]]
    for item in model._supports + model._loads:
        item["node"] = mapping[item["node"]]


def _renumber_elements(model):
    model._elements.sort(key=lambda e: e["id"])
    for i, e in enumerate(model._elements, 1):
        e["id"] = i


def _merge_layers(model):
    layers = model._layers
    if not any(layer._name == "0" for layer in layers._items):
        layers._items.insert(0, layers._new_layer("0"))
    layers._items[:] = [layer for layer in layers._items if layer._name == "0"]
    for e in model._elements:
        e["layer"] = "0"


def _add_layer(model):
    names = {layer._name for layer in model._layers._items}
    n = 1
    while f"Layer {n}" in names:
        n += 1
    model._layers._items.append(model._layers._new_layer(f"Layer {n}"))


def _move_to_origin(model):
    if not model._nodes:
        return
    low = [min(n[k] for n in model._nodes) for k in ("x", "y", "z")]
    for n in model._nodes:
        for k, shift in zip(("x", "y", "z"), low, strict=True):
            n[k] = round(n[k] - shift, 9) + 0.0


def _delete_unused_nodes(model):
    used = {e[k] for e in model._elements for k in ("from", "to")}
    used |= {item["node"] for item in model._supports + model._loads}
    model._nodes[:] = [n for n in model._nodes if n["id"] in used]


def _scale_loads(model, Factor):
    for load in model._loads:
        for key in ("fx", "fy", "fz"):
            load[key] = load[key] * Factor


COMMANDS = {
    "RenumberNodes": ("Renumber the nodes 10, 20, 30, ... in their current order.", _renumber_nodes),
    "RenumberElements": ("Renumber the elements 1, 2, 3, ... in their current order.", _renumber_elements),
    "MergeLayers": ('Move every element to layer "0" and remove the other layers.', _merge_layers),
    "AddLayer": ('Add an empty layer named "Layer N" with the first free N.', _add_layer),
    "MoveToOrigin": ("Translate the geometry so that its lowest x, y and z are 0.", _move_to_origin),
    "DeleteUnusedNodes": ("Remove nodes used by no element, support or load.", _delete_unused_nodes),
    "ScaleLoads": ("Multiply every load by Factor.", _scale_loads),
}

# Command name -> {parameter: (host type, default)}.
PARAMETERS = {"ScaleLoads": {"Factor": (DOUBLE, 1.0)}}


def run(name, model, parameters):
    COMMANDS[name][1](model, **parameters)
