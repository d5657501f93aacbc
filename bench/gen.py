"""Deterministic generated notebooks and cells for the benchmarks."""
import base64
import copy
import json
import random


def _source(rng, lines):
    words = ["df", "model", "x", "y", "fit", "predict", "np.mean", "plt.plot", "range", "len", "print"]
    out = []
    for i in range(lines):
        indent = "    " * rng.randint(0, 2)
        out.append("%s%s = %s(%s, %d)  # step %d\n" % (indent, rng.choice(words), rng.choice(words),
                                                       rng.choice(words), rng.randint(0, 999), i))
    if out:
        out[-1] = out[-1].rstrip("\n")
    return out


def _png(rng, size):
    return base64.b64encode(rng.randbytes(size * 3 // 4)).decode("ascii") + "\n"


def _cell(rng, i, lines, image_bytes, parents):
    canvas = {"id": "cmp-%06d" % i, "name": "component_%d" % i, "headerColor": rng.choice(["#4c8bf5", "#e8710a"]),
              "parents": [{"id": "cmp-%06d" % p, "name": "component_%d" % p} for p in parents],
              "comments": [{"author": "ana", "text": "check step %d" % i}] if i % 7 == 0 else []}
    outputs = [{"name": "stdout", "output_type": "stream", "text": ["result %d: %f\n" % (k, rng.random()) for k in range(3)]}]
    if image_bytes:
        outputs.append({"data": {"image/png": _png(rng, image_bytes), "text/plain": ["<Figure size 640x480 with 1 Axes>"]},
                        "metadata": {}, "output_type": "display_data"})
    return {"cell_type": "code", "execution_count": i + 1, "id": "cell-%06d" % i,
            "metadata": {"canvas": canvas}, "outputs": outputs, "source": _source(rng, lines)}


def notebook(rng, cells, lines, image_every, image_bytes):
    out = []
    for i in range(cells):
        parents = [i - 1] if i else []
        out.append(_cell(rng, i, rng.randint(lines // 2, lines * 3 // 2),
                         image_bytes if image_every and i % image_every == 0 else 0, parents))
    params = [{"name": "param_%d" % k, "type": "str", "value": "value %d" % k} for k in range(20)]
    return {"cells": out, "metadata": {"canvas": {"id": "bench", "parameters": params},
                                       "kernelspec": {"name": "python3", "display_name": "Python 3"}},
            "nbformat": 4, "nbformat_minor": 5}


def large_notebook(seed=1):
    """About 20 MB: 400 code cells with multi-line sources and base64 image outputs."""
    return notebook(random.Random(seed), 400, 60, 1, 46000)


def many_cells_notebook(seed=2):
    """About 30 MB of 20,000 small cells."""
    return notebook(random.Random(seed), 20000, 24, 0, 0)


def long_source_cells(lines, seed=3):
    """Two versions of a cell with a `lines`-line source and a few edits spread over it."""
    rng = random.Random(seed)
    old = _cell(rng, 1, lines, 0, [0])
    new = copy.deepcopy(old)
    src = new["source"]
    for k in range(5):
        src[(k * 2 + 1) * len(src) // 11] = "edited line %d\n" % k
    src.insert(len(src) // 3, "inserted line\n")
    del src[len(src) * 2 // 3]
    new["execution_count"] += 1
    return old, new


def big_outputs_cells(seed=4):
    """Two versions of a cell with 4 MB of outputs (250 plots of 16 KB drawn in a loop),
    re-run: one plot and a source line changed."""
    rng = random.Random(seed)
    old = _cell(rng, 1, 40, 0, [0])
    old["outputs"] = [{"data": {"image/png": _png(rng, 16000), "text/plain": ["<Figure %d>" % k]},
                       "metadata": {}, "output_type": "display_data"} for k in range(250)]
    new = copy.deepcopy(old)
    new["outputs"][117]["data"]["image/png"] = _png(rng, 16000)
    new["source"][5] = "changed\n"
    new["execution_count"] += 1
    return old, new


def merge_triple(cells, lines, image_every, image_bytes, seed, meeting=False):
    """Base, current and incoming versions of a generated notebook: a few percent of the cells
    changed on each side, a handful changed on both (apart, so that they merge without conflict),
    among them a cell with a 1,000-line source and one with large outputs; a few cells deleted and
    added, parameters changed. With `meeting`, the incoming side edits the second line instead of
    the last, next to the current side's edit: git must judge those, and reports conflicts."""
    rng = random.Random(seed)
    base = notebook(rng, cells, lines, image_every, image_bytes)
    big = base["cells"][cells // 2]
    big["source"] = _source(rng, 1000)
    heavy = base["cells"][cells // 3]
    heavy["outputs"] = [{"data": {"image/png": _png(rng, 16000)}, "metadata": {}, "output_type": "display_data"}
                        for _ in range(60)]
    current, incoming = copy.deepcopy(base), copy.deepcopy(base)
    n = len(base["cells"])
    both = {cells // 2, cells // 3} | set(rng.sample(range(n), 3))
    for side, doc in (("current", current), ("incoming", incoming)):
        for i in set(rng.sample(range(n), max(1, n * 3 // 100))) | both:
            src = doc["cells"][i]["source"]
            # The current side edits near the start, the incoming side near the end.
            at = 0 if side == "current" else min(1, len(src) - 1) if meeting else len(src) - 1
            if src:
                src[at] = "# %s edit\n" % side
            doc["cells"][i]["execution_count"] = 99
        for i in rng.sample(range(n), 2):
            doc["cells"][i]["outputs"] = []
        doc["cells"] = [c for k, c in enumerate(doc["cells"]) if k not in set(rng.sample(range(n), 2)) - both]
        doc["cells"].append(_cell(rng, 10 ** 6 + (1 if side == "current" else 2), lines, 0, [0]))
        doc["metadata"]["canvas"]["parameters"][rng.randrange(20)]["value"] = side
    return base, current, incoming


def accented(doc, ascii_twin=False):
    """`doc` with about 30% of the characters of its texts (names, sources, outputs; not keys,
    not images) non-ASCII: a letter in four of ten places becomes a two-byte letter (U+00E0 to
    U+00F9). With `ascii_twin`, the letter is doubled instead, which gives files of the same size
    in plain ASCII. The same text always changes alike, so merges of the two decide the same."""
    def text(value):
        out = []
        for i, c in enumerate(value):
            if c.isascii() and c.isalpha() and i % 10 < 4:
                out.append(c + c if ascii_twin else chr(0xE0 + ord(c) % 26))
            else:
                out.append(c)
        return "".join(out)

    def walk(value, key=None):
        if isinstance(value, str):
            return value if key == "image/png" else text(value)
        if isinstance(value, list):
            return [walk(v, key) for v in value]
        if isinstance(value, dict):
            return {k: walk(v, k) for k, v in value.items()}
        return value

    return walk(doc)


# ---------------------------------------------------------------------------------------------
# Hostile triples: small files built to make a merge slow or greedy. Each function returns the
# base, current and incoming notebooks; the current side changes the hostile value and the
# incoming side changes an unrelated cell, so that the merge compares the hostile cell.


def _hostile_cell(kid, outputs):
    return {"cell_type": "code", "execution_count": None, "id": kid,
            "metadata": {"canvas": {"id": kid, "name": kid, "parents": []}}, "outputs": outputs,
            "source": ["x = 1\n"]}


def _hostile_triple(base_outputs, current_outputs):
    """One notebook per side: cell "h" holds the outputs given, cell "z" changes on the incoming
    side only."""
    def doc(outputs, z):
        return {"cells": [_hostile_cell("h", outputs), dict(_hostile_cell("z", []), source=[z])],
                "metadata": {"canvas": {"id": "nb", "parameters": []}}, "nbformat": 4, "nbformat_minor": 5}
    return doc(base_outputs, "z = 1\n"), doc(current_outputs, "z = 1\n"), doc(base_outputs, "z = 2\n")


def deep_nesting(depth):
    """`outputs` nested `depth` lists deep around one number, which the current side changes."""
    def nest(leaf):
        v = leaf
        for _ in range(depth):
            v = [v]
        return v
    return _hostile_triple(nest(1), nest(2))


def deep_mixed_nesting(depth):
    """Lists and one-key objects alternating `depth` levels deep: every level is a list of one
    object that shares its key with the other side's."""
    def nest(leaf):
        v = leaf
        for _ in range(depth // 2):
            v = [{"k": v}]
        return v
    return _hostile_triple(nest(1), nest(2))


def nested_grid(n):
    """`outputs` as an n x n grid of one-element lists; the current side changes every number."""
    def grid(offset):
        return [[[offset + i * n + j] for j in range(n)] for i in range(n)]
    return _hostile_triple(grid(0), grid(n * n))


def deep_grids(depth, width):
    """Each level a list of `width` one-key objects and the next level, the objects changed by the
    current side: every level is a table of width x width alike pairs, nested `depth` deep."""
    def level(offset):
        v = [offset]
        for d in range(depth):
            v = [{"k": offset + d * width + i} for i in range(width)] + [v]
        return v
    return _hostile_triple(level(0), level(depth * width + 1))


def flat_lists(cells, items):
    """`cells` cells whose outputs are lists of `items` one-key objects, every one changed by the
    current side: each cell's list pairs with all of the other side's."""
    def doc(offset, z):
        out = [_hostile_cell("h%d" % c, [{"k": offset + c * items + i} for i in range(items)])
               for c in range(cells)]
        out.append(dict(_hostile_cell("z", []), source=[z]))
        return {"cells": out, "metadata": {"canvas": {"id": "nb", "parameters": []}},
                "nbformat": 4, "nbformat_minor": 5}
    return doc(0, "z = 1\n"), doc(10 ** 9, "z = 1\n"), doc(0, "z = 2\n")


def small_tables(cells, items):
    """Many cells whose outputs are small lists of objects, all changed: many small tables."""
    return flat_lists(cells, items)


# A predictable list hash, h = (h ^ item) * M + 1 from 0xA77A1 with integers hashed as
# themselves, and pairs [a, b(a)] that share one value of it: a table of list items hashed so,
# without a secret key, would keep all of them in one bucket.
_MIX = 0x9E3779B97F4A7C15
_MIX_INVERSE = 0xF1DE83E19937733D
_MASK = (1 << 64) - 1


def _colliding_pair(a, target):
    h1 = ((0xA77A1 ^ (a & _MASK)) * _MIX + 1) & _MASK
    b = h1 ^ (((target - 1) * _MIX_INVERSE) & _MASK)
    return [a, b - (1 << 64) if b >= 1 << 63 else b]


def hash_collisions(items):
    """`outputs` as `items` pairs of integers that all share one value of a predictable list
    hash; the current side rotates the list, so that every item is looked up in the id map."""
    pairs = [_colliding_pair(i, 12345) for i in range(items)]
    return _hostile_triple(pairs, pairs[items // 2:] + pairs[:items // 2])


# name -> (the form `make bench` measures: files of up to 1 MB, but for the 11 MB triple of
# flat lists; the form the tests merge: small enough for a test, yet large enough that unbounded
# work on it would take minutes or days).
HOSTILE = {
    "deep nesting": (lambda: deep_nesting(990), lambda: deep_nesting(40)),
    "deep mixed nesting": (lambda: deep_mixed_nesting(990), lambda: deep_mixed_nesting(60)),
    "nested grid": (lambda: nested_grid(128), lambda: nested_grid(128)),
    "deep grids": (lambda: deep_grids(40, 1750), lambda: deep_grids(12, 400)),
    "flat lists at the cap": (lambda: flat_lists(100, 2046), lambda: flat_lists(64, 2046)),
    "small tables": (lambda: small_tables(1000, 40), lambda: small_tables(100, 40)),
    "hash collisions": (lambda: hash_collisions(34000), lambda: hash_collisions(60000)),
}
