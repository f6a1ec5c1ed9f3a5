"""The zoo's exported models through the module and through `orvik run`: the same bits."""

import json

import numpy as np
import pytest

import orvik_compiler as oc
from conftest import SOURCE_ROOT

ZOO = SOURCE_ROOT / "tests" / "onnx" / "zoo"


def imported_files():
    """(model, file entry) of every zoo file that must import, as imports.txt lists them."""
    listed = set()
    for line in (ZOO / "imports.txt").read_text().splitlines():
        line = line.strip()
        if line and not line.startswith("#"):
            listed.add(line)
    manifest = json.loads((ZOO / "manifest.json").read_text())
    found = [
        (model, entry)
        for model in manifest["models"]
        for entry in model["files"]
        if entry["file"] in listed
    ]
    assert len(found) == len(listed), "imports.txt names a file the manifest does not"
    return found


FILES = imported_files()


@pytest.mark.parametrize("model,entry", FILES, ids=[entry["file"] for _, entry in FILES])
def test_module_and_tool_give_the_same_bits(model, entry, orvik, tmp_path):
    path = ZOO / entry["file"]
    dims = {name: int(extent) for name, extent in entry["dims"].items()}
    imported = oc.import_onnx(path, dims)
    values = dict(imported.weights)
    arguments = ["run", str(path), "-o", str(tmp_path)]
    for name, extent in dims.items():
        arguments += ["--dim", f"{name}={extent}"]
    for tensor in model["inputs"]:
        values[tensor["name"]] = np.load(ZOO / tensor["file"])
        arguments += ["--input", f"{tensor['name']}={ZOO / tensor['file']}"]
    outputs = oc.evaluate(imported.graph, values)
    orvik(*arguments)
    assert len(outputs) == len(imported.output_names)
    for name, result in zip(imported.output_names, outputs):
        written = np.load(tmp_path / f"{name}.npy")
        assert written.dtype == result.dtype and written.shape == result.shape
        assert written.tobytes() == result.tobytes(), name
