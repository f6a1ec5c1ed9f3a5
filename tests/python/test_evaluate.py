"""The host interpreter from Python: values by id or by name, NumPy arrays in and out, and its
agreement with the encoder reference."""

import re

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


def embedding_graph():
    """Rows of a float table and of an integer table picked by the same ids; the ids themselves
    and their float values are outputs too."""
    graph = oc.Graph()
    table = graph.weight("table", [5, 3])
    codes = graph.weight("codes", [5], oc.DType.I32)
    ids = graph.input("ids", [2, 2], oc.DType.I32)
    for output in [
        graph.gather("rows", table, ids),
        graph.gather("picked", codes, ids),
        graph.cast("as_float", ids, oc.DType.F32),
        ids,
    ]:
        graph.mark_output(output)
    return graph


TABLE = np.arange(15, dtype=np.float32).reshape(5, 3) / 4
CODES = np.array([-7, 2**31 - 1, -(2**31), 0, 42], np.int32)


@pytest.mark.parametrize(
    "ids",
    [
        np.array([[0, 4], [3, 3]], np.int32),
        np.array([[0, 4], [3, 3]], np.int64),
        np.array([[0, 4], [3, 3]], np.uint8),
        np.array([[0, 4], [3, 3]], ">i4"),
        np.asfortranarray(np.array([[0, 4], [3, 3]], np.int32)),
        [[0, 4], [3, 3]],
    ],
)
def test_integer_tensors_take_integer_arrays_and_give_int32_arrays(ids):
    rows, picked, as_float, same_ids = oc.evaluate(
        embedding_graph(), {"table": TABLE, "codes": CODES, "ids": ids}
    )
    expected_ids = np.array([[0, 4], [3, 3]], np.int32)
    assert (rows.dtype, rows.shape) == (np.float32, (2, 2, 3))
    np.testing.assert_array_equal(rows, TABLE[expected_ids])
    assert (picked.dtype, same_ids.dtype, as_float.dtype) == (np.int32, np.int32, np.float32)
    np.testing.assert_array_equal(picked, CODES[expected_ids])
    np.testing.assert_array_equal(same_ids, expected_ids)
    np.testing.assert_array_equal(as_float, expected_ids.astype(np.float32))


def test_cast_round_trip_truncates_toward_zero_and_rounds_to_nearest():
    graph = oc.Graph()
    x = graph.input("x", [8])
    as_int = graph.cast("as_int", x, oc.DType.I32)
    graph.mark_output(as_int)
    graph.mark_output(graph.cast("back", as_int, oc.DType.F32))
    n = graph.input("n", [3], oc.DType.I32)
    graph.mark_output(graph.cast("n_float", n, oc.DType.F32))
    values = np.array([2.75, -2.75, 0.5, -0.5, -0.0, 1e9, -(2.0**31), 2.0**31 - 128], np.float32)
    large = np.array([16777217, -16777219, 2**31 - 1], np.int32)
    as_int_values, back, n_float = oc.evaluate(graph, {x: values, n: large})
    truncated = np.array([2, -2, 0, 0, 0, 10**9, -(2**31), 2**31 - 128], np.int32)
    np.testing.assert_array_equal(as_int_values, truncated)
    np.testing.assert_array_equal(back, truncated.astype(np.float32))
    # Past 2**24 the nearest float wins, ties to even.
    np.testing.assert_array_equal(n_float, np.array([16777216, -16777220, 2**31], np.float32))


@pytest.mark.parametrize(
    "ids, error, message",
    [
        (np.zeros((2, 2), np.float32), oc.CompileError, "tensor ids has F32 values, expected I32"),
        ([[0.0, 1.0], [2.0, 3.0]], oc.CompileError, "tensor ids has F32 values, expected I32"),
        (
            np.zeros((2, 3), np.int32),
            oc.CompileError,
            "tensor ids has shape [2, 3], expected [2, 2]",
        ),
        (
            np.array([[0, 1], [2**31, 0]], np.int64),
            oc.CompileError,
            "tensor ids: 2147483648 at index 2 does not fit I32",
        ),
        (
            np.array([[0, -(2**31) - 1], [0, 0]]),
            oc.CompileError,
            "tensor ids: -2147483649 at index 1 does not fit I32",
        ),
        (
            np.array([[0, 0], [0, 2**64 - 1]], np.uint64),
            oc.CompileError,
            "tensor ids: 18446744073709551615 at index 3 does not fit I32",
        ),
        (np.array([[0, 5], [0, 0]], np.int32), oc.CompileError, "rows: index 5 is outside [0, 5)"),
        (
            np.array([[0, 0], [-1, 0]], np.int32),
            oc.CompileError,
            "rows: index -1 is outside [0, 5)",
        ),
        (
            [["a", "b"], ["c", "d"]],
            TypeError,
            "the value for tensor ids is not convertible to an int32 array",
        ),
    ],
)
def test_wrong_integer_values_are_refused_with_their_tensor_named(ids, error, message):
    with pytest.raises(error) as raised:
        oc.evaluate(embedding_graph(), {"table": TABLE, "codes": CODES, "ids": ids})
    assert str(raised.value) == message


def test_float_tensors_still_take_integer_arrays_as_floats():
    graph = oc.Graph()
    x = graph.input("x", [3])
    graph.mark_output(graph.neg("n", x))
    (result,) = oc.evaluate(graph, {x: np.array([1, -2, 3], np.int32)})
    assert result.dtype == np.float32
    np.testing.assert_array_equal(result, [-1.0, 2.0, -3.0])


def test_data_movement_of_both_types_matches_numpy():
    graph = oc.Graph()
    x = graph.input("x", [2, 3, 4])
    k = graph.input("k", [3, 1], oc.DType.I32)
    graph.mark_output(graph.broadcast("b", k, [2, 3, 5]))
    graph.mark_output(graph.slice("s", x, 2, 1, 4, 2))
    graph.mark_output(graph.concat("c", [x, graph.slice("t", x, 1, 0, 2)], 1))
    graph.mark_output(graph.concat("ck", [k, k, k], 1))
    graph.mark_output(graph.batch_matmul("bm", x, graph.transpose("xt", x, [0, 2, 1])))
    xs = np.random.default_rng(7).standard_normal((2, 3, 4)).astype(np.float32)
    ks = np.array([[5], [-6], [7]], np.int32)
    broadcast, sliced, joined, joined_ints, products = oc.evaluate(graph, {x: xs, k: ks})
    np.testing.assert_array_equal(broadcast, np.broadcast_to(ks, (2, 3, 5)))
    assert broadcast.dtype == np.int32 and joined_ints.dtype == np.int32
    np.testing.assert_array_equal(sliced, xs[:, :, 1:4:2])
    np.testing.assert_array_equal(joined, np.concatenate([xs, xs[:, 0:2]], axis=1))
    np.testing.assert_array_equal(joined_ints, np.concatenate([ks, ks, ks], axis=1))
    np.testing.assert_allclose(products, xs @ xs.transpose(0, 2, 1), rtol=1e-5, atol=1e-6)


def outer_product(rows, columns):
    """A graph whose one product of a column by a row holds rows x columns floats."""
    graph = oc.Graph()
    graph.mark_output(
        graph.matmul("y", graph.input("a", [rows, 1]), graph.input("b", [1, columns]))
    )
    return graph, {"a": np.ones((rows, 1), np.float32), "b": np.ones((1, columns), np.float32)}


def test_an_evaluation_past_the_memory_budget_raises_memory_error_before_it_runs():
    # 128 KiB of values whose product takes 4 GiB: refused by the default budget of 1 GiB.
    graph, values = outer_product(32768, 32768)
    budget_message = (
        r"^evaluate needs an estimated (\d+) bytes of memory, more than the budget of "
        r"{} bytes; memory_budget raises it$"
    )
    with pytest.raises(MemoryError, match=budget_message.format(1073741824)) as refused:
        oc.evaluate(graph, values)
    estimate = re.match(budget_message.format(1073741824), str(refused.value)).group(1)
    assert int(estimate) >= 4 * 32768 * 32768
    # The budget is the caller's: a small graph passes the default and fails a tiny one, before
    # the values are even looked at.
    small, small_values = outer_product(64, 64)
    (product,) = oc.evaluate(small, small_values)
    np.testing.assert_array_equal(product, np.ones((64, 64), np.float32))
    with pytest.raises(MemoryError, match=budget_message.format(1000)):
        oc.evaluate(small, {"a": "not an array"}, memory_budget=1000)
