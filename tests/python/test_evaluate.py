"""The host interpreter from Python: values by id or by name, NumPy arrays in and out, and its
agreement with the encoder reference."""

import numpy as np
import pytest

import orvik_compiler as oc

MATRICES = ["wq", "wk", "wv", "wo", "w1", "w2"]


def encoder_values(config, seed):
    """The layer's input from a seeded generator and its deterministic weights, by name."""
    generator = np.random.default_rng(seed)
    values = {"input": generator.standard_normal((config.sequence, config.hidden), np.float32)}
    weights = oc.EncoderWeights.deterministic(config)
    values.update({name: getattr(weights, name) for name in MATRICES})
    return values, weights


@pytest.mark.parametrize(
    "config",
    [oc.EncoderConfig(1, 1, 1, 1), oc.EncoderConfig(5, 1, 1, 7), oc.EncoderConfig(13, 1, 1, 300)],
)
def test_evaluate_equals_the_encoder_reference_bit_for_bit(config):
    # With one head of width 1 the graph and the reference compute the same thing.
    values, weights = encoder_values(config, seed=config.feed_forward)
    (result,) = oc.evaluate(oc.encoder_graph(config), values)
    expected = oc.encoder_reference(config, values["input"], weights)
    assert result.dtype == np.float32 and result.shape == expected.shape
    np.testing.assert_array_equal(result.view(np.uint32), expected.view(np.uint32))


def test_values_bind_by_id_or_name_and_results_take_the_output_shapes():
    graph = oc.Graph()
    x = graph.input("x", [2, 3])
    w = graph.weight("w", [3, 4])
    y = graph.matmul("y", x, w)
    t = graph.transpose("t", y, [1, 0])
    graph.mark_output(t)
    graph.mark_output(y)
    left = np.arange(6, dtype=np.float32).reshape(2, 3)
    right = np.linspace(-1, 1, 12, dtype=np.float32).reshape(3, 4)
    by_id = oc.evaluate(graph, {x: left, w: right})
    by_name = oc.evaluate(graph, {"x": left.tolist(), "w": right.astype(np.float64)})
    # A Fortran-ordered array is converted; its values are the same.
    fortran = oc.evaluate(graph, {"x": np.asfortranarray(left), w: right})
    for outputs in [by_id, by_name, fortran]:
        assert [a.shape for a in outputs] == [(4, 2), (2, 4)]
        np.testing.assert_array_equal(outputs[1], by_id[1])
        np.testing.assert_array_equal(outputs[0], outputs[1].T)
    np.testing.assert_allclose(by_id[1], left @ right, rtol=1e-6)


@pytest.mark.parametrize(
    "values, message",
    [
        ({"x": np.zeros((3, 2), np.float32)}, "tensor x has shape [3, 2], expected [2, 3]"),
        ({"z": np.zeros((2, 3), np.float32)}, "no tensor is named z"),
        ({"twice": np.zeros((2, 3), np.float32)}, "2 tensors are named twice"),
        ({}, "no value for tensor x"),
        (
            {"x": np.zeros((2, 3), np.float32), oc.TensorId(0): np.ones((2, 3), np.float32)},
            "tensor x is bound more than once",
        ),
        (
            {"x": np.zeros((2, 3), np.float32), "g": np.zeros((2, 3), np.float32)},
            "tensor g is computed, not bound",
        ),
    ],
)
def test_binding_errors_raise_compile_error(values, message):
    graph = oc.Graph()
    x = graph.input("x", [2, 3])
    graph.mark_output(graph.gelu("g", x))
    graph.weight("twice", [1])
    graph.weight("twice", [1])
    with pytest.raises(oc.CompileError) as raised:
        oc.evaluate(graph, values)
    assert (raised.value.kind, str(raised.value)) == ("Graph", message)


def test_keys_and_values_of_the_wrong_kind():
    graph = oc.Graph()
    x = graph.input("x", [2])
    graph.mark_output(graph.gelu("g", x))
    with pytest.raises(IndexError):
        oc.evaluate(graph, {oc.TensorId(5): [1.0, 2.0]})
    with pytest.raises(TypeError, match="must be a TensorId or a tensor name, not int"):
        oc.evaluate(graph, {0: [1.0, 2.0]})
    with pytest.raises(TypeError, match="the value for tensor x is not convertible"):
        oc.evaluate(graph, {"x": ["a", "b"]})


def test_non_finite_values_propagate():
    graph = oc.Graph()
    x = graph.input("x", [1, 3])
    graph.mark_output(graph.softmax("s", x, 1))
    (result,) = oc.evaluate(graph, {x: np.array([[0.0, np.nan, 1.0]], np.float32)})
    assert np.isnan(result).all()
