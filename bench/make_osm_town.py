#!/usr/bin/env python3
"""Writes a made-up OpenStreetMap extract (XML) of a grid town of about N nodes,
for measuring `veldra-pack osm` on a city-sized input.

Usage: make_osm_town.py OUTPUT.osm [NODES]   (NODES defaults to 1000000)

The town lies at 48 N, 11 E. Its streets form a grid (one named street every
120 m, a node every 30 m, main roads every tenth street), with blocks of
four-node buildings along them, a park in every 25th block, a lake and a
railway. Node ids, way ids and the layout depend on NODES only.
"""
import math
import sys

out_path = sys.argv[1]
target = int(sys.argv[2]) if len(sys.argv) > 2 else 1_000_000

LAT0, LON0 = 48.0, 11.0
M_LAT = 1 / 111_320.0                               # degrees a metre north
M_LON = 1 / (111_320.0 * math.cos(math.radians(LAT0)))  # degrees a metre east
SPACING, STEP = 120, 30
# Per block: 4 building rows of 4 buildings of 4 nodes, 8 street nodes, fewer
# in a park: about 68.7 nodes; pick the grid so the total reaches the target.
n = max(2, math.ceil(math.sqrt(target / 68.7)))
size = n * SPACING

node_id = 0
way_id = 0
out = open(out_path, "w", encoding="utf-8")
w = out.write


def node(x, y, tags=""):
    global node_id
    node_id += 1
    lat = LAT0 + y * M_LAT
    lon = LON0 + x * M_LON
    if tags:
        w(f' <node id="{node_id}" version="1" lat="{lat:.7f}" lon="{lon:.7f}">{tags}</node>\n')
    else:
        w(f' <node id="{node_id}" version="1" lat="{lat:.7f}" lon="{lon:.7f}"/>\n')
    return node_id


def tag(k, v):
    return f'<tag k="{k}" v="{v}"/>'


ways = []  # (refs, tags) written after all nodes, as in a sorted extract

w('<?xml version="1.0" encoding="UTF-8"?>\n<osm version="0.6" generator="make_osm_town">\n')
w(f' <bounds minlat="{LAT0:.7f}" minlon="{LON0:.7f}" '
  f'maxlat="{LAT0 + size * M_LAT:.7f}" maxlon="{LON0 + size * M_LON:.7f}"/>\n')

# Streets: east-west and north-south, sharing nodes at the crossings.
crossing = {}
for i in range(n + 1):
    for j in range(n + 1):
        crossing[i, j] = node(i * SPACING, j * SPACING)
for horizontal in (True, False):
    for a in range(n + 1):
        refs = []
        for b in range(n):
            refs.append(crossing[(b, a) if horizontal else (a, b)])
            for k in range(1, SPACING // STEP):
                d = b * SPACING + k * STEP
                refs.append(node(d, a * SPACING) if horizontal else node(a * SPACING, d))
        refs.append(crossing[(n, a) if horizontal else (a, n)])
        kind = "primary" if a % 10 == 0 else "residential"
        name = f"{a + 1}th {'Street' if horizontal else 'Avenue'}"
        ways.append((refs, tag("highway", kind) + tag("name", name)))

# Blocks: buildings along the edges, or a park.
for i in range(n):
    for j in range(n):
        x0, y0 = i * SPACING, j * SPACING
        if (i * 7 + j * 3) % 25 == 0:
            refs = [node(x0 + 15, y0 + 15), node(x0 + 105, y0 + 15),
                    node(x0 + 105, y0 + 105), node(x0 + 15, y0 + 105)]
            ways.append((refs + refs[:1], tag("leisure", "park") + tag("name", f"Park {i}-{j}")))
            continue
        for row in range(4):
            for col in range(4):
                bx, by = x0 + 14 + col * 24, y0 + 14 + row * 24
                refs = [node(bx, by), node(bx + 18, by), node(bx + 18, by + 18), node(bx, by + 18)]
                ways.append((refs + refs[:1], tag("building", "yes")))

# A lake and a railway with a station.
c = size / 2
lake = [node(c + 300 * math.cos(t / 20 * 2 * math.pi), c + 200 * math.sin(t / 20 * 2 * math.pi))
        for t in range(20)]
ways.append((lake + lake[:1], tag("natural", "water") + tag("name", "Grid Lake")))
rail = [node(x, size * 0.3 + 0.1 * x) for x in range(0, size, 60)]
ways.append((rail, tag("railway", "rail")))
node(size / 2, size * 0.3 + 0.1 * size / 2, tag("railway", "station") + tag("name", "Grid Central"))

for refs, tags in ways:
    way_id += 1
    nds = "".join(f'<nd ref="{r}"/>' for r in refs)
    w(f' <way id="{way_id}" version="1">{nds}{tags}</way>\n')
w("</osm>\n")
out.close()
print(f"{out_path}: {node_id} nodes, {way_id} ways, {size} m a side")
