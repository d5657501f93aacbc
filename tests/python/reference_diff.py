"""A plain Python statement of the notebook diff, for comparison only.

It follows the diff's steps literally on Python dicts (result cells are shallow copies of the
input cells, result parameters the input's own objects), with the fixed orders (removed entries
in the previous version's order, added and kept ones in the current version's) and three mended
faults: a previous type or value of null is recorded as such, a parameter without "name" is
left out instead of emptying its version's parameters, and a parent record without "name" (as
merges write them) takes the name of the cell with that component id in the same version.
"""
import copy

STATUSES = ("unchanged", "added", "removed", "modified")


def _canvas(cell):
    return cell["metadata"]["canvas"]


def _lines(cell):
    source = cell["source"]
    if isinstance(source, str):
        lines, start = [], 0
        while start < len(source):
            end = source.find("\n", start)
            end = len(source) if end < 0 else end + 1
            lines.append(source[start:end])
            start = end
        return lines
    return source


def _parents(cell):
    return cell.get("metadata", {}).get("canvas", {}).get("parents", [])


def _name_of(doc, id_):
    """The stored name of the last cell of `doc` whose component id is `id_`, or None."""
    name = None
    for cell in doc.get("cells", []):
        canvas = cell.get("metadata", {}).get("canvas", {}) if isinstance(cell, dict) else {}
        if isinstance(canvas, dict) and "id" in canvas and canvas["id"] == id_:
            name = canvas.get("name")
    return name


def _parent_names(cell, doc):
    return {r["id"]: r["name"] if "name" in r else _name_of(doc, r["id"]) for r in _parents(cell)}


def _new_cell(data, status):
    data = copy.copy(data)
    _canvas(data)["diff_status"] = status
    return data


def _code_cells(doc):
    cells = {}
    for cell in doc.get("cells", []):
        if cell["cell_type"] == "code":
            cells[cell["metadata"]["canvas"]["id"]] = cell
    return cells


def _parameters(doc):
    try:
        parameters = doc["metadata"]["canvas"]["parameters"]
    except KeyError:
        return {}
    table = {}
    for p in parameters:
        if "name" not in p:
            continue
        p["diff_status"] = "unchanged"
        table[p["name"]] = p
    return table


def diff_dicts(prev, current):
    current_cells = _code_cells(current)
    prev_cells = _code_cells(prev)
    cells = []
    for id_, cell in prev_cells.items():
        if id_ in current_cells:
            continue
        data = _new_cell(cell, "unchanged")
        _canvas(data)["diff_status"] = "removed"
        _canvas(data)["prev_source"] = _lines(data)
        data["source"] = []
        _canvas(data)["removed_parents"] = _parents(data)
        _canvas(data)["parents"] = []
        cells.append(data)
    for id_, cell in current_cells.items():
        if id_ in prev_cells:
            continue
        data = _new_cell(cell, "unchanged")
        _canvas(data)["diff_status"] = "added"
        _canvas(data)["prev_source"] = []
        _canvas(data)["added_parents"] = _parents(data)
        _canvas(data)["parents"] = []
        cells.append(data)
    for id_, cell in current_cells.items():
        if id_ not in prev_cells:
            continue
        prev_cell = prev_cells[id_]
        data = _new_cell(cell, "unchanged")
        _canvas(data)["prev_source"] = _lines(prev_cell)
        if _lines(data) != _canvas(data)["prev_source"]:
            _canvas(data)["diff_status"] = "modified"
        now = _parent_names(cell, current)
        before = _parent_names(prev_cell, prev)
        _canvas(data)["added_parents"] = [{"id": k, "name": v} for k, v in now.items() if k not in before]
        _canvas(data)["removed_parents"] = [{"id": k, "name": v} for k, v in before.items() if k not in now]
        _canvas(data)["parents"] = [{"id": k, "name": v} for k, v in now.items() if k in before]
        cells.append(data)
    result = {"cells": cells}
    current_parameters = _parameters(current)
    prev_parameters = _parameters(prev)
    parameters = []
    for name, p in prev_parameters.items():
        if name not in current_parameters:
            p["diff_status"] = "removed"
            parameters.append(p)
    for name, p in current_parameters.items():
        if name not in prev_parameters:
            continue
        before = prev_parameters[name]
        if p["value"] != before["value"]:
            p["diff_status"] = "modified"
            p["prev_type"] = before["type"]
            p["prev_value"] = before["value"]
        parameters.append(p)
    for name, p in current_parameters.items():
        if name not in prev_parameters:
            p["diff_status"] = "added"
            parameters.append(p)
    result["metadata"] = {"canvas": {"parameter": parameters}}
    return result
