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


def merge_triple(cells, lines, image_every, image_bytes, seed):
    """Base, current and incoming versions of a generated notebook: a few percent of the cells
    changed on each side, a handful changed on both (apart, so that git merges them), among them
    a cell with a 1,000-line source and one with large outputs; a few cells deleted and added,
    parameters changed."""
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
            at = 0 if side == "current" else len(src) - 1
            if src:
                src[at] = "# %s edit\n" % side
            doc["cells"][i]["execution_count"] = 99
        for i in rng.sample(range(n), 2):
            doc["cells"][i]["outputs"] = []
        doc["cells"] = [c for k, c in enumerate(doc["cells"]) if k not in set(rng.sample(range(n), 2)) - both]
        doc["cells"].append(_cell(rng, 10 ** 6 + (1 if side == "current" else 2), lines, 0, [0]))
        doc["metadata"]["canvas"]["parameters"][rng.randrange(20)]["value"] = side
    return base, current, incoming


if __name__ == "__main__":
    for name, doc in [("large", large_notebook()), ("many", many_cells_notebook())]:
        print(name, len(json.dumps(doc)) / 1e6, "MB")
