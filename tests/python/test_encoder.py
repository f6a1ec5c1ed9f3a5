"""The encoder workload from Python: its graph, its weights as NumPy arrays and the host
reference."""

import numpy as np
import pytest

import orvik_compiler as oc

# The configuration, input and result sum of the self-check's reference check.
SELF_CHECK_CONFIG = oc.EncoderConfig(sequence=4, hidden=8, heads=2, feed_forward=16)
SELF_CHECK_SUM = 107.464233
MATRICES = ["wq", "wk", "wv", "wo", "w1", "w2"]


def self_check_input():
    return ((np.arange(32, dtype=np.float32) - np.float32(9)) / np.float32(16)).reshape(4, 8)


def sequential_sum(values):
    """The sum in single precision, in row-major order from -0.0, as the self-check adds."""
    total = np.float32(-0.0)
    for value in values.ravel():
        total = np.float32(total + value)
    return total


def test_config_defaults_equality_and_repr():
    config = oc.EncoderConfig()
    assert (config.sequence, config.hidden, config.heads, config.feed_forward) == (32, 64, 4, 256)
    assert repr(config) == "EncoderConfig { sequence: 32, hidden: 64, heads: 4, feed_forward: 256 }"
    config.hidden = 8
    assert config == oc.EncoderConfig(hidden=8)
    assert config != oc.EncoderConfig()


def test_encoder_graph():
    graph = oc.encoder_graph(oc.EncoderConfig())
    assert (len(graph.tensors), len(graph.ops)) == (22, 15)
    assert [graph.tensors[t.index].name for t in graph.outputs] == ["ffn_residual"]
    with pytest.raises(oc.CompileError) as raised:
        oc.encoder_graph(oc.EncoderConfig(hidden=6, heads=4))
    assert (raised.value.kind, str(raised.value)) == ("Graph", "invalid encoder dimensions")


def test_deterministic_weights_are_float32_matrices_of_the_formula():
    config = oc.EncoderConfig(hidden=8, feed_forward=16)
    weights = oc.EncoderWeights.deterministic(config)
    shapes = {"wq": (8, 8), "wk": (8, 8), "wv": (8, 8), "wo": (8, 8), "w1": (8, 16), "w2": (16, 8)}
    for ordinal, name in enumerate(MATRICES, start=1):
        matrix = getattr(weights, name)
        assert matrix.dtype == np.float32 and matrix.shape == shapes[name]
        assert matrix.flags.c_contiguous
        rows = shapes[name][0]
        index = np.arange(matrix.size)
        numerator = (((17 * index + 31 * ordinal) % 101) - 50).astype(np.float32)
        scale = np.sqrt(np.float32(50 * rows), dtype=np.float32)
        np.testing.assert_array_equal(matrix.ravel(), numerator / scale)
    with pytest.raises(OverflowError):
        oc.EncoderWeights.deterministic(oc.EncoderConfig(hidden=2**33))


def test_reference_sums_to_the_self_checks_value_and_is_repeatable():
    weights = oc.EncoderWeights.deterministic(SELF_CHECK_CONFIG)
    first = oc.encoder_reference(SELF_CHECK_CONFIG, self_check_input(), weights)
    assert first.dtype == np.float32 and first.shape == (4, 8)
    assert abs(sequential_sum(first) - SELF_CHECK_SUM) < 1e-4
    second = oc.encoder_reference(SELF_CHECK_CONFIG, self_check_input(), weights)
    np.testing.assert_array_equal(first, second)


def test_arrays_round_trip_through_any_float32_convertible_form():
    config = SELF_CHECK_CONFIG
    weights = oc.EncoderWeights.deterministic(config)
    expected = oc.encoder_reference(config, self_check_input(), weights)
    # Weights rebuilt from float64 copies, and the input as a transposed (non-contiguous) view
    # and as nested lists: every conversion keeps the float32 values.
    rebuilt = oc.EncoderWeights(**{n: getattr(weights, n).astype(np.float64) for n in MATRICES})
    assert all(getattr(rebuilt, n).dtype == np.float32 for n in MATRICES)
    transposed = np.ascontiguousarray(self_check_input().T).T
    assert not transposed.flags.c_contiguous
    for given in [self_check_input(), transposed, self_check_input().tolist()]:
        np.testing.assert_array_equal(oc.encoder_reference(config, given, rebuilt), expected)
    # Changing a weight array changes the result: the arrays are what the reference reads.
    rebuilt.wo = rebuilt.wo * 2
    assert not np.array_equal(oc.encoder_reference(config, self_check_input(), rebuilt), expected)


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda i, w: (i.reshape(8, 4), w), "encoder input has shape [8, 4], expected [4, 8]"),
        (lambda i, w: (i.ravel(), w), "encoder input has shape [32], expected [4, 8]"),
        (
            lambda i, w: (i, oc.EncoderWeights(w.wq, w.wk, w.wv, w.wo, w.w2, w.w2)),
            "weight w1 has shape [16, 8], expected [8, 16]",
        ),
    ],
)
def test_wrong_shapes_are_refused(change, message):
    weights = oc.EncoderWeights.deterministic(SELF_CHECK_CONFIG)
    given_input, given_weights = change(self_check_input(), weights)
    with pytest.raises(oc.CompileError) as raised:
        oc.encoder_reference(SELF_CHECK_CONFIG, given_input, given_weights)
    assert (raised.value.kind, str(raised.value)) == ("Graph", message)
    with pytest.raises(TypeError, match="encoder input is not convertible to a float32 array"):
        oc.encoder_reference(SELF_CHECK_CONFIG, "text", weights)
