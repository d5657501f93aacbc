"""A plain Python statement of the three-way notebook merge, for comparison only.

It follows the merge's steps literally on Python dicts: cells are shared between the current and
merged tables, incoming copies are shallow copies, the cell difference is jsondiff's, the source
merge writes three temporary files and runs `git merge-file` through the given runner. Orders
of visiting are the fixed ones (current deletions in base order, incoming additions in incoming
order, kept cells in current order). It is slow (names are re-collected from all merged cells
whenever the merge needs them) and only serves as the oracle of the tests.
"""
import copy
import json
import os
import tempfile

import jsondiff
from jsondiff.symbols import delete, insert, replace


class Cell:
    def __init__(self, cell):
        self._data = cell

    @property
    def data(self):
        return self._data

    def _canvas(self):
        return self._data.get("metadata", {}).get("canvas", {})

    def _canvas_for_write(self):
        return self._data.setdefault("metadata", {}).setdefault("canvas", {})

    @property
    def name(self):
        return self._canvas().get("name") or ""

    @name.setter
    def name(self, value):
        self._canvas_for_write()["name"] = value

    @property
    def parents(self):
        return self._canvas().get("parents", [])

    @parents.setter
    def parents(self, value):
        self._canvas_for_write()["parents"] = value

    @property
    def comments(self):
        return self._canvas().get("comments", [])

    def add_comment(self, entry):
        self._canvas_for_write().setdefault("comments", []).append(entry)

    @property
    def kelm_id(self):
        return self._data["metadata"]["canvas"]["id"]

    @kelm_id.setter
    def kelm_id(self, value):
        self._canvas_for_write()["id"] = value

    @property
    def cell_id(self):
        return self._data.get("id")

    @cell_id.setter
    def cell_id(self, value):
        self._data["id"] = value

    @property
    def source(self):
        source = self._data["source"]
        if isinstance(source, str):
            return _split_nl(source)
        return source

    @source.setter
    def source(self, value):
        self._data["source"] = value


def _split_nl(text):
    lines, start = [], 0
    while start < len(text):
        end = text.find("\n", start)
        end = len(text) if end < 0 else end + 1
        lines.append(text[start:end])
        start = end
    return lines


class MergeCell(Cell):
    BASE, CURRENT, INCOMING = "base", "current", "incoming"

    def __init__(self, cell, file_type):
        super().__init__(cell)
        assert file_type in (self.BASE, self.CURRENT, self.INCOMING)
        self._file_type = file_type

    @property
    def file_type(self):
        return self._file_type

    def add_conflict_mark(self):
        name = self.name
        if not name:
            return
        if self.file_type == self.CURRENT and not name.startswith("<<< "):
            self.name = "<<< " + name
        elif self.file_type == self.INCOMING and not name.startswith(">>> "):
            self.name = ">>> " + name


def cell_changed(cell0, cell1):
    for record in cell0.parents + cell1.parents:
        if isinstance(record, dict):
            record.pop("name", None)
    diff = jsondiff.diff(cell0.data, cell1.data)
    if isinstance(diff, dict):
        diff.pop("execution_count", None)
    return diff


def merge_source(g, current, base, incoming, current_name=None, incoming_name=None):
    with tempfile.TemporaryDirectory() as work:
        paths = [os.path.join(work, n) for n in ("current", "base", "incoming")]
        for path, lines in zip(paths, (current, base, incoming)):
            with open(path, "w", encoding="utf-8") as f:
                f.write("".join(lines))
        try:
            g.merge_file(*paths)
        except Exception as e:  # git's report of conflicts
            if type(e).__name__ != "GitCommandError":
                raise
        with open(paths[0], encoding="utf-8") as f:
            lines = f.readlines()
    result = []
    for line in lines:
        if current_name:
            line = line.replace(paths[0], current_name)
        if incoming_name:
            line = line.replace(paths[2], incoming_name)
        result.append(line)
    return result


def merge_parameters(current, base, incoming):
    def table(doc):
        return {p["name"]: p for p in doc["metadata"]["canvas"]["parameters"]}

    cur, bas, inc = table(current), table(base), table(incoming)
    merged = dict(cur)

    def mark(param, prefix):
        merged[prefix + param["name"]] = param
        param["name"] = prefix + param["name"]

    for n in list(cur):
        if n not in bas:
            continue
        if cur[n] != bas[n]:
            if n not in inc:
                mark(merged[n], "<<< ")
                del merged[n]
            elif inc[n] == bas[n] or cur[n] == inc[n]:
                pass
            else:
                mark(merged[n], "<<< ")
                mark(inc[n], ">>> ")
                del merged[n]
        elif n not in inc:
            del merged[n]
        elif inc[n] != bas[n]:
            merged[n] = inc[n]
    for n in bas:
        if n not in cur and n in inc and inc[n] != bas[n]:
            mark(inc[n], ">>> ")
    for n in inc:
        if n in bas:
            continue
        if n in cur:
            if cur[n] != inc[n]:
                mark(merged[n], "<<< ")
                mark(inc[n], ">>> ")
                del merged[n]
        else:
            merged[n] = inc[n]
    return list(merged.values())


def merge_documents(current, base, incoming, file_path, g, new_id):
    major, minor = current.get("nbformat"), current.get("nbformat_minor")
    uses_cell_ids = isinstance(major, int) and (major > 4 or major == 4 and isinstance(minor, int) and minor >= 5)
    def table(doc, side):
        return {c["metadata"]["canvas"]["id"]: MergeCell(c, side) for c in doc["cells"]}

    current_cells = table(current, "current")
    merged = table(current, "current")
    base_cells = table(base, "base")
    incoming_cells = table(incoming, "incoming")

    def comp_names():
        return {c.name: k for k, c in merged.items() if c.name}

    def change(c0, c1):
        d = cell_changed(c0, c1)
        if isinstance(d, dict):
            d.pop("outputs", None)
        return d

    def incoming_copy(id_):
        return MergeCell(copy.copy(incoming_cells[id_].data), "incoming")

    def insert_after(id_, key, value):
        nonlocal merged
        rebuilt = {}
        for k, v in merged.items():
            rebuilt[k] = v
            if k == id_:
                rebuilt[key] = value
        merged = rebuilt

    def conflict_copy(id_, mark_both):
        new_cell = incoming_copy(id_)
        new_cell.kelm_id = new_id()
        # A new cell id only where the notebook uses cell ids (format 4.5 and later).
        if new_cell.cell_id is not None or uses_cell_ids:
            new_cell.cell_id = new_id()
        if mark_both:
            merged[id_].add_conflict_mark()
            new_cell.add_conflict_mark()
        insert_after(id_, new_cell.kelm_id, new_cell)

    def source_merge(id_):
        merged[id_].source = merge_source(
            g, current_cells[id_].source, base_cells[id_].source, incoming_cells[id_].source,
            current_name=file_path + "-current", incoming_name=file_path + "-incoming")

    def both_changed(id_, d):
        current_name = current_cells[id_].name
        incoming_name = incoming_cells[id_].name
        meta = d.get("metadata") if isinstance(d, dict) else None
        if isinstance(meta, dict) and "canvas" in meta:
            canvas = meta["canvas"]
            keys = set(canvas.keys()) if isinstance(canvas, dict) else {replace}
            if keys == {"headerColor"}:
                if "source" in d:
                    source_merge(id_)
            elif keys <= {"comments", "headerColor"}:
                comments = canvas.get("comments")
                if isinstance(comments, list):
                    candidates = comments
                elif isinstance(comments, dict):
                    their = incoming_cells[id_].comments
                    at = [(pos, item) for pos, item in comments.get(insert, [])]
                    at += [(k, their[k]) for k in comments if isinstance(k, int) and k < len(their)]
                    candidates = [item for _, item in sorted(at, key=lambda p: p[0])]
                else:
                    candidates = []
                for item in candidates:
                    if item not in merged[id_].comments:
                        merged[id_].add_comment(copy.deepcopy(item))
                if "source" in d:
                    source_merge(id_)
            elif not current_name and not incoming_name:
                source_merge(id_)
            else:
                conflict_copy(id_, bool(current_name) and bool(incoming_name))
        elif bool(current_name) != bool(incoming_name):
            conflict_copy(id_, False)
        else:
            source_merge(id_)

    for id_ in base_cells:
        if id_ in current_cells or id_ not in incoming_cells:
            continue
        if cell_changed(base_cells[id_], incoming_cells[id_]):
            merged[id_] = incoming_copy(id_)
            merged[id_].add_conflict_mark()

    names = comp_names()
    for id_ in incoming_cells:
        if id_ in base_cells:
            continue
        if id_ in current_cells:
            if change(current_cells[id_], incoming_cells[id_]):
                conflict_copy(id_, bool(merged[id_].name) and bool(incoming_cells[id_].name))
            continue
        merged[id_] = incoming_copy(id_)
        if incoming_cells[id_].name in names:
            merged[names[incoming_cells[id_].name]].add_conflict_mark()
            merged[id_].add_conflict_mark()

    for id_ in current_cells:
        if id_ not in base_cells:
            continue
        current_change = change(base_cells[id_], current_cells[id_])
        if current_change:
            if id_ not in incoming_cells:
                if merged[id_].name:
                    merged[id_].add_conflict_mark()
                continue
            incoming_change = change(base_cells[id_], incoming_cells[id_])
            if incoming_change:
                both_changed(id_, incoming_change)
            continue
        if id_ not in incoming_cells:
            names = comp_names()
            pop_comp_name = merged[id_].name
            comp_name = ">>> " + pop_comp_name
            if comp_name in names:
                merged[names[comp_name]].name = pop_comp_name
            del merged[id_]
            continue
        names = comp_names()
        if not change(base_cells[id_], incoming_cells[id_]):
            continue
        incoming_comp_name = incoming_cells[id_].name
        if incoming_comp_name in names and names[incoming_comp_name] != id_:
            other = names[incoming_comp_name]
            merged[id_] = incoming_copy(id_)
            merged[other].add_conflict_mark()
            merged[id_].add_conflict_mark()
        else:
            merged[id_] = incoming_copy(id_)

    comp_ids = [k for k, c in merged.items() if c.name]
    for k in comp_ids:
        merged[k].parents = [{"id": p["id"]} for p in merged[k].parents if p["id"] in comp_ids]

    parameters = merge_parameters(current, base, incoming)
    result = copy.copy(current)
    result["cells"] = [c.data for c in merged.values()]
    result["metadata"]["canvas"]["parameters"] = parameters
    return result


def merge_files(base_file_path, current_file_path, incoming_file_path, file_path, g, new_id):
    docs = []
    for path in (current_file_path, base_file_path, incoming_file_path):
        with open(path, encoding="utf-8") as f:
            docs.append(json.load(f))
    current, base, incoming = docs
    merged = merge_documents(current, base, incoming, file_path, g, new_id)
    with open(current_file_path, "w", encoding="utf-8") as f:
        f.write(json.dumps(merged))
