"""The encoder workload from Python: its graph, its weights as NumPy arrays and the host
reference."""

import subprocess
import sys

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


def test_the_input_is_taken_in_any_float32_convertible_form():
    # A transposed (non-contiguous) view, float64 values and nested lists: every conversion keeps
    # the float32 values.
    config = SELF_CHECK_CONFIG
    weights = oc.EncoderWeights.deterministic(config)
    expected = oc.encoder_reference(config, self_check_input(), weights)
    transposed = np.ascontiguousarray(self_check_input().T).T
    assert not transposed.flags.c_contiguous
    for given in [transposed, self_check_input().astype(np.float64), self_check_input().tolist()]:
        np.testing.assert_array_equal(oc.encoder_reference(config, given, weights), expected)


def misaligned(matrix):
    """A float32 copy of `matrix` one byte into its buffer: C-contiguous but not aligned."""
    buffer = bytearray(matrix.nbytes + 1)
    copy = np.frombuffer(buffer, np.float32, matrix.size, offset=1).reshape(matrix.shape)
    copy[...] = matrix
    return copy


@pytest.mark.parametrize(
    "form, kept",
    [
        (lambda m: m.copy(), True),
        (lambda m: m.astype(np.float64), False),
        (np.asfortranarray, False),
        (lambda m: np.repeat(m, 2, axis=1)[:, ::2], False),  # a strided view
        (misaligned, False),
        (lambda m: m.tolist(), False),
    ],
)
def test_weights_keep_contiguous_float32_arrays_and_convert_the_rest(form, kept):
    # A kept array is the weights' own: a change to its values shows in the next result. A
    # converted one is a float32 copy of the same values, aligned and C-contiguous, that the
    # given array no longer reaches.
    config = SELF_CHECK_CONFIG
    reference = oc.EncoderWeights.deterministic(config)
    given = {name: form(getattr(reference, name)) for name in MATRICES}
    weights = oc.EncoderWeights(**given)
    assigned = oc.EncoderWeights.deterministic(config)
    assigned.wv = given["wv"]  # a field's setter takes an array as the constructor does
    for stored, array in [(getattr(weights, n), given[n]) for n in MATRICES] + [
        (assigned.wv, given["wv"])
    ]:
        assert (stored is array) == kept
        assert stored.dtype == np.float32 and stored.flags.c_contiguous and stored.flags.aligned
    expected = oc.encoder_reference(config, self_check_input(), reference)
    result = oc.encoder_reference(config, self_check_input(), weights)
    np.testing.assert_array_equal(result, expected)

    if isinstance(given["wo"], np.ndarray):
        given["wo"] *= 2
    reference.wo *= 2
    doubled = oc.encoder_reference(config, self_check_input(), reference)
    after = oc.encoder_reference(config, self_check_input(), weights)
    np.testing.assert_array_equal(after, doubled if kept else expected)


# In a fresh interpreter, runs encoder_reference (building its EncoderWeights included) or
# evaluate on the weights of a wide layer (48 MiB: hidden 1024, feed-forward 4096, one token),
# given in C or Fortran order, and prints by how many KiB that raised the process's peak resident
# memory. The weights exist before the first reading, so only what the call allocates counts: a
# copy of the weights adds all of their 48 MiB, the layer's own values and code under 1 MiB.
PEAK_GROWTH = """
import resource, sys
import numpy as np
import orvik_compiler as oc

call, order = sys.argv[1:]
config = oc.EncoderConfig(sequence=1, hidden=1024, heads=1, feed_forward=4096)
deterministic = oc.EncoderWeights.deterministic(config)
names = ["wq", "wk", "wv", "wo", "w1", "w2"]
matrices = [np.asarray(getattr(deterministic, name), order=order) for name in names]
x = np.ones((1, 1024), np.float32)
graph = oc.encoder_graph(config)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
if call == "reference":
    oc.encoder_reference(config, x, oc.EncoderWeights(*matrices))
else:
    oc.evaluate(graph, {"input": x, **dict(zip(names, matrices))})
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
"""
WIDE_WEIGHTS_KIB = 48 * 1024


@pytest.mark.parametrize(
    "call, order, copied",
    [
        ("reference", "C", False),
        ("evaluate", "C", False),
        # Fortran-ordered weights are converted, and the measure sees that copy.
        ("reference", "F", True),
        ("evaluate", "F", True),
    ],
)
def test_contiguous_float32_weights_are_read_without_a_copy(call, order, copied):
    run = subprocess.run(
        [sys.executable, "-c", PEAK_GROWTH, call, order], check=True, capture_output=True, text=True
    )
    growth_kib = int(run.stdout)
    if copied:
        assert growth_kib > WIDE_WEIGHTS_KIB * 3 // 4
    else:
        assert growth_kib < WIDE_WEIGHTS_KIB // 4


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
