"""The solvers' shared arithmetic: topology checks and a small deterministic
"deflection" figure per node.  Not engineering -- just real, checkable work
derived from the input geometry."""

import heapq
import math
from dataclasses import dataclass, field


@dataclass
class Topology:
    nodes: dict            # id -> (x, y, z)
    elements: list         # (id, start, end)
    supports: dict         # node -> kind
    loads: list            # (node, fx, fy, fz)
    warnings: list = field(default_factory=list)

    @classmethod
    def from_tessel(cls, doc):
        return cls(
            nodes={n["id"]: (n["x"], n["y"], n["z"]) for n in doc["nodes"]},
            elements=[(e["id"], e["from"], e["to"]) for e in doc["elements"]],
            supports={s["node"]: s["kind"] for s in doc["supports"]},
            loads=[(ld["node"], ld["fx"], ld["fy"], ld["fz"]) for ld in doc["loads"]],
        )

    def components(self):
        """Connected groups of elements, largest first (ties: lowest element id)."""
        parent = {}

        def find(n):
            parent.setdefault(n, n)
            while parent[n] != n:
                parent[n] = parent[parent[n]]
                n = parent[n]
            return n

        for _, a, b in self.elements:
            parent[find(a)] = find(b)
        groups = {}
        for element in self.elements:
            groups.setdefault(find(element[1]), []).append(element)
        return sorted(groups.values(), key=lambda g: (-len(g), min(e[0] for e in g)))

    def restricted(self, elements):
        used = {n for _, a, b in elements for n in (a, b)}
        return Topology(
            nodes={n: xyz for n, xyz in self.nodes.items() if n in used},
            elements=list(elements),
            supports={n: k for n, k in self.supports.items() if n in used},
            loads=[ld for ld in self.loads if ld[0] in used],
        )

    def free_ends(self):
        """Nodes touched by one element only and not supported."""
        degree = {}
        for _, a, b in self.elements:
            degree[a] = degree.get(a, 0) + 1
            degree[b] = degree.get(b, 0) + 1
        return sorted(n for n, d in degree.items() if d == 1 and n not in self.supports)

    def unsupported_groups(self):
        return [g for g in self.components()
                if not any(n in self.supports for _, a, b in g for n in (a, b))]

    def deflections(self):
        """Per node: squared path length to the nearest support, scaled by the
        total applied force (kN), in mm; rounded to 1e-6."""
        adjacency = {n: [] for n in self.nodes}
        for _, a, b in self.elements:
            length = math.dist(self.nodes[a], self.nodes[b])
            adjacency[a].append((b, length))
            adjacency[b].append((a, length))
        distance = {n: 0.0 for n in self.supports if n in adjacency}
        queue = [(0.0, n) for n in distance]
        heapq.heapify(queue)
        while queue:
            d, n = heapq.heappop(queue)
            if d > distance.get(n, math.inf):
                continue
            for m, length in adjacency[n]:
                if d + length < distance.get(m, math.inf):
                    distance[m] = d + length
                    heapq.heappush(queue, (d + length, m))
        force = sum(math.sqrt(fx * fx + fy * fy + fz * fz) for _, fx, fy, fz in self.loads) / 1000.0
        return {n: round(distance.get(n, 0.0) ** 2 * (1.0 + force), 6) for n in sorted(self.nodes)}
