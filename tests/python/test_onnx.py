"""The ONNX importer from Python: ONNX's own test cases imported, evaluated and compiled."""

import pathlib

import numpy as np
import pytest

import orvik_compiler as oc

TEST_DATA = pathlib.Path("/usr/share/libonnx-testdata/data")


def run_case(case):
    """Imports a test case, binds its weights and inputs, and returns (outputs, expected)."""
    model = oc.import_onnx(case / "model.onnx")
    data = case / "test_data_set_0"
    inputs = [oc.read_onnx_tensor(data / f"input_{i}.pb") for i in range(len(model.input_names))]
    values = dict(model.weights)
    values.update({name: t.values for name, t in zip(model.input_names, inputs)})
    outputs = oc.evaluate(model.graph, values)
    expected = [oc.read_onnx_tensor(data / f"output_{i}.pb").values for i in range(len(outputs))]
    return model, outputs, expected


@pytest.mark.parametrize(
    "case",
    ["node/test_matmul_2d", "node/test_gemm_default_matrix_bias", "node/test_softmax_axis_1",
     "pytorch-converted/test_Linear"],
)
def test_onnx_test_cases_import_evaluate_and_compile(case):
    model, outputs, expected = run_case(TEST_DATA / case)
    assert len(model.output_names) == len(outputs) == len(model.graph.outputs)
    for name, output_id, result, wanted in zip(
        model.output_names, model.graph.outputs, outputs, expected
    ):
        assert model.graph.tensors[output_id.index].name == name
        assert result.shape == wanted.shape
        np.testing.assert_allclose(result, wanted, rtol=1e-3, atol=1e-7)
    for tensor_id, weight in model.weights.items():
        assert weight.dtype == np.float32
        assert list(weight.shape) == model.graph.tensors[tensor_id.index].shape
    schedule = oc.compile(model.graph)
    oc.verify_schedule(model.graph, oc.CompilerOptions(), schedule)


def test_refusals_raise_compile_error_naming_the_file_and_node(tmp_path):
    hardmax = TEST_DATA / "node/test_hardmax_example/model.onnx"
    with pytest.raises(oc.CompileError) as raised:
        oc.import_onnx(hardmax)
    assert raised.value.kind == "Graph"
    assert str(raised.value).startswith(f"{hardmax}: node 0 ")
    assert str(raised.value).endswith("(Hardmax): unsupported operator")
    garbage = tmp_path / "garbage.onnx"
    garbage.write_bytes(b"\xff\xff\xff\xff not a model")
    with pytest.raises(oc.CompileError, match=f"^{garbage}: "):
        oc.import_onnx(garbage, dims={"batch": 2})
    with pytest.raises(oc.CompileError, match=f"^{tmp_path / 'missing.pb'}: "):
        oc.read_onnx_tensor(tmp_path / "missing.pb")
