#!/usr/bin/env python3
"""Writes filter/halftone_matrices.cpp, the threshold matrices of the halftoner.

Every matrix holds gray levels 0..255, each level equally often, so the tone
curve of a page is the gamma table alone. A cell with a low value turns black
first: dot centres of the clustered screens carry the lowest values.

- Clustered-dot screens: the spot function cos(2 pi u) + cos(2 pi v) on a
  lattice given by an integer frequency vector (a, b) per 64-pixel tile, so
  the tile repeats seamlessly; the ruling is resolution * |(a, b)| / 64.
  Pixels of equal spot value join the dots one at a time, in a dispersed
  order of the dots (a multi-cell screen), which gives every level its own
  step while all dots keep about the same size.
- FINE_TAry_128: a dispersed (blue-noise) matrix by void-and-cluster on the
  torus.
- The first eight cells of row 0 are fixed; they are set by swapping with a
  cell of the same level, so the level counts stay exact.

Run from anywhere:  python3 filter/tools/gen_matrices.py
Standard library only; deterministic.
"""

import math
import os
import random

# name, size, kind, resolution (dpi), frequency vector (a, b), row-0 start
MATRICES = [
    ("FINE_TAry_128", 128, "blue", 600, None, [67, 51, 59, 114, 190, 206, 198, 143]),
    ("LSU_106_Q38", 64, "dot", 600, (8, 8), [1, 8, 90, 248, 253, 249, 199, 14]),
    ("Tiboro2_212", 64, "dot", 600, (16, 16), [7, 49, 254, 153, 13, 62, 245, 134]),
    ("Tovin_212", 64, "dot", 600, (16, 16), [0, 52, 246, 201, 3, 75, 240, 186]),
    ("Tovin_106", 64, "dot", 600, (8, 8), [6, 22, 86, 224, 248, 232, 168, 29]),
    ("Tovin_1200_160", 64, "dot", 1200, (6, 6), [1, 7, 54, 239, 255, 255, 255, 253]),
    ("ZR4_A4_1200_106LPI", 64, "dot", 1200, (4, 4), [1, 2, 20, 52, 100, 200, 232, 246]),
    ("A4_LSU_600_212LPI", 64, "dot", 600, (16, 16), [0, 58, 255, 231, 0, 95, 251, 221]),
]

# Halftone type -> matrix name (type 1 shares type 0's matrix).
TYPES = ["FINE_TAry_128", "FINE_TAry_128", "LSU_106_Q38", "Tiboro2_212", "Tovin_212",
         "Tovin_106", "Tovin_1200_160", "ZR4_A4_1200_106LPI", "A4_LSU_600_212LPI"]


def torus_order(points, period, sigma, rng):
    """Orders points on a period x period torus so that each next point lies in
    the largest void of those before it (greedy, Gaussian energy)."""
    n = len(points)
    energy = [0.0] * n
    used = [False] * n
    order = []
    two_s2 = 2.0 * sigma * sigma
    first = rng.randrange(n)
    cur = first
    for _ in range(n):
        used[cur] = True
        order.append(cur)
        cx, cy = points[cur]
        for i, (x, y) in enumerate(points):
            dx = abs(x - cx)
            dy = abs(y - cy)
            dx = min(dx, period - dx)
            dy = min(dy, period - dy)
            energy[i] += math.exp(-(dx * dx + dy * dy) / two_s2)
        best = None
        for i in range(n):
            if not used[i] and (best is None or energy[i] < energy[best] - 1e-12):
                best = i
        if best is None:
            break
        cur = best
    return order


def clustered(size, vec, seed):
    a, b = vec
    norm = a * a + b * b
    rng = random.Random(seed)
    # dot centres in the tile
    centres = {}
    for U in range(-2 * (a + b), 2 * (a + b) + 1):
        for V in range(-2 * (a + b), 2 * (a + b) + 1):
            x = size * (a * U - b * V) / norm
            y = size * (b * U + a * V) / norm
            key = (round(x % size, 6) % size, round(y % size, 6) % size)
            centres.setdefault(key, key)
    keys = sorted(centres)
    assert len(keys) == norm, (len(keys), norm)
    period = size / math.sqrt(norm)
    order = torus_order(keys, size, period * 1.2, rng)
    dot_rank = {keys[i]: r for r, i in enumerate(order)}

    cells = []
    for y in range(size):
        for x in range(size):
            u = (a * x + b * y) / size
            v = (-b * x + a * y) / size
            U = math.floor(u + 0.5)
            V = math.floor(v + 0.5)
            f = math.cos(2 * math.pi * (u - U)) + math.cos(2 * math.pi * (v - V))
            cx = size * (a * U - b * V) / norm
            cy = size * (b * U + a * V) / norm
            key = (round(cx % size, 6) % size, round(cy % size, 6) % size)
            dx = x - cx
            dy = y - cy
            dx -= size * round(dx / size)
            dy -= size * round(dy / size)
            ang = round(math.degrees(math.atan2(dy, dx)) % 360.0, 3)
            dist = round(dx * dx + dy * dy, 3)
            cells.append(((-round(f, 6), dist), (ang % 180.0, 0 if ang < 180.0 else 1), dot_rank[key], y * size + x))
    # Dot centre first (high f, then nearest). Pixels of equal f and distance
    # join the dots one at a time, each dot in turn, opposite sides together,
    # so every dot stays within a pixel of the others in size; each dot starts
    # at another side, so the dots do not all stretch the same way.
    groups = {}
    for c in cells:
        groups.setdefault((c[0], c[2]), []).append(c)
    keyed = []
    for (order, drank), members in groups.items():
        members.sort()
        m = len(members)
        shift = 2 * (drank % (m // 2)) if m >= 2 else 0
        for i, c in enumerate(members):
            keyed.append((order, (i - shift) % m, drank, c[3]))
    cells = keyed
    cells.sort()
    rank = [0] * (size * size)
    spot = [0.0] * (size * size)
    for r, ((negf, _), _, _, idx) in enumerate(cells):
        rank[idx] = r
        spot[idx] = -negf
    return rank, spot


def blue_noise(size, seed):
    """Void-and-cluster ranks on a size x size torus."""
    rng = random.Random(seed)
    n = size * size
    sigma = 1.5
    rad = 6
    kern = []
    for dy in range(-rad, rad + 1):
        for dx in range(-rad, rad + 1):
            kern.append((dx, dy, math.exp(-(dx * dx + dy * dy) / (2 * sigma * sigma))))

    energy = [0.0] * n
    ones = [False] * n

    def add(idx, sign):
        x0 = idx % size
        y0 = idx // size
        for dx, dy, w in kern:
            energy[((y0 + dy) % size) * size + (x0 + dx) % size] += sign * w

    # initial pattern: about a tenth of the cells, then relaxed
    initial = rng.sample(range(n), n // 10)
    for i in initial:
        ones[i] = True
        add(i, 1)

    def tightest():
        best, bv = -1, -1e30
        for i in range(n):
            if ones[i] and energy[i] > bv:
                best, bv = i, energy[i]
        return best

    def largest_void():
        masked = [e if not o else 1e30 for e, o in zip(energy, ones)]
        m = min(masked)
        return masked.index(m)

    for _ in range(4 * n):
        c = tightest()
        ones[c] = False
        add(c, -1)
        v = largest_void()
        ones[v] = True
        add(v, 1)
        if v == c:
            break

    rank = [0] * n
    count = sum(ones)
    # phase 1: rank the initial points by removing the tightest cluster
    saved_ones = ones[:]
    saved_energy = energy[:]
    k = count
    while k > 0:
        c = tightest()
        ones[c] = False
        add(c, -1)
        k -= 1
        rank[c] = k
    ones[:] = saved_ones
    energy[:] = saved_energy
    # phases 2 and 3: fill the largest void until every cell is ranked
    # (with a constant kernel sum the tightest cluster of the empty cells is
    # the same cell as the largest void of the filled ones)
    k = count
    while k < n:
        v = largest_void()
        ones[v] = True
        add(v, 1)
        rank[v] = k
        k += 1
    return rank, [float(-r) for r in rank]


def to_levels(rank, size):
    per = size * size // 256
    return [r // per for r in rank]


def fix_row0(levels, spot, size, row0, rng):
    fixed = set()
    for x, want in enumerate(row0):
        if levels[x] != want:
            cands = [i for i in range(size * size)
                     if levels[i] == want and i not in fixed and i >= size]
            # the swap partner plays the same part in its own dot where possible
            cands.sort(key=lambda i: (abs(spot[i] - spot[x]), rng.random()))
            j = cands[0]
            levels[x], levels[j] = levels[j], levels[x]
            spot[x], spot[j] = spot[j], spot[x]
        fixed.add(x)
    return levels


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out_path = os.path.join(here, "..", "halftone_matrices.cpp")
    parts = []
    for seed, (name, size, kind, dpi, vec, row0) in enumerate(MATRICES):
        if kind == "blue":
            rank, spot = blue_noise(size, 1000 + seed)
        else:
            rank, spot = clustered(size, vec, 1000 + seed)
        levels = to_levels(rank, size)
        levels = fix_row0(levels, spot, size, row0, random.Random(seed))
        counts = [0] * 256
        for v in levels:
            counts[v] += 1
        assert all(c == size * size // 256 for c in counts), name
        assert levels[:8] == row0, name
        if vec:
            lpi = dpi * math.hypot(*vec) / size
            note = "clustered dot, %.1f lpi at %d dpi, %.1f degrees" % (
                lpi, dpi, math.degrees(math.atan2(vec[1], vec[0])))
        else:
            note = "dispersed (blue noise)"
        rows = []
        for y in range(size):
            row = levels[y * size:(y + 1) * size]
            for i in range(0, size, 32):
                rows.append("    " + ", ".join("%3d" % v for v in row[i:i + 32]) + ",")
        parts.append("// %s: %d x %d, %s.\nconst BYTE %s[%d * %d] = {\n%s\n};\n" % (
            name, size, size, note, name, size, size, "\n".join(rows)))

    table = ",\n".join('    {"%s", %d, %s}' % (t, dict((m[0], m[1]) for m in MATRICES)[t], t)
                       for t in TYPES)
    with open(out_path, "w") as f:
        f.write("// Generated by tools/gen_matrices.py; edit the script, not this file.\n")
        f.write("#include \"halftone_matrices.h\"\n\n")
        f.write("\n".join(parts))
        f.write("\nstatic const HalftoneMatrix kByType[HALFTONE_TYPES] = {\n%s,\n};\n\n" % table)
        f.write("const HalftoneMatrix &HalftoneMatrixFor(int type)\n{\n"
                "    if (type < 0 || type >= HALFTONE_TYPES)\n        type = 0;\n"
                "    return kByType[type];\n}\n")


if __name__ == "__main__":
    main()
