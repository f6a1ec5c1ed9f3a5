"""The graph model from Python: ids, the builder and its errors, the records."""

import pytest

import orvik_compiler as oc


def small_graph():
    graph = oc.Graph()
    x = graph.input("x", [4, 8])
    w = graph.weight("w", [8, 16])
    y = graph.matmul("y", x, w)
    graph.mark_output(graph.softmax("p", graph.gelu("g", y), 1))
    return graph, x, w, y


def test_ids_are_hashable_values():
    assert oc.TensorId(3) == oc.TensorId(3)
    assert oc.TensorId(3) != oc.TensorId(4)
    assert oc.OpId(3) != oc.TensorId(3)
    assert repr(oc.TensorId(3)) == "TensorId(3)"
    assert repr(oc.OpId(0)) == "OpId(0)"
    names = {oc.TensorId(1): "a", oc.TensorId(2): "b"}
    assert names[oc.TensorId(1)] == "a"
    assert len({oc.TensorId(5), oc.TensorId(5), oc.TensorId(6)}) == 2


def test_builder_returns_ids_and_records_hold_the_fields():
    graph, x, w, y = small_graph()
    assert (x, w, y) == (oc.TensorId(0), oc.TensorId(1), oc.TensorId(2))
    tensors = graph.tensors
    assert [t.name for t in tensors] == ["x", "w", "y", "g", "p"]
    assert [t.kind for t in tensors] == [
        oc.TensorKind.Input,
        oc.TensorKind.Weight,
        oc.TensorKind.Intermediate,
        oc.TensorKind.Intermediate,
        oc.TensorKind.Output,
    ]
    assert tensors[2].shape == [4, 16]
    assert tensors[2].dtype == oc.DType.F32
    assert tensors[0].producer is None
    assert tensors[2].producer == oc.OpId(0)
    assert tensors[2].elements() == 64
    assert graph.outputs == [oc.TensorId(4)]
    matmul = graph.ops[0]
    assert (matmul.id, matmul.name, matmul.inputs, matmul.output) == (oc.OpId(0), "y", [x, w], y)
    assert isinstance(matmul.kind, oc.OpKind.MatMul)
    assert repr(tensors[2]) == (
        'Tensor { id: TensorId(2), name: "y", dtype: F32, shape: [4, 16], kind: Intermediate, '
        "producer: Some(OpId(0)) }"
    )
    assert repr(graph.ops[2]) == (
        'Op { id: OpId(2), name: "p", kind: Softmax { axis: 1 }, inputs: [TensorId(3)], '
        "output: TensorId(4) }"
    )


def test_every_kind_keeps_its_parameters():
    graph = oc.Graph()
    x = graph.input("x", [2, 3, 4])
    steps = [
        (graph.transpose("t", x, [2, 0, 1]), oc.OpKind.Transpose, "permutation", [2, 0, 1]),
        (graph.reshape("r", x, [6, 4]), oc.OpKind.Reshape, "shape", [6, 4]),
        (graph.layer_norm("n", x, 0.25), oc.OpKind.LayerNorm, "epsilon", 0.25),
        (graph.softmax("s", x, 2), oc.OpKind.Softmax, "axis", 2),
        (graph.add("a", x, x), oc.OpKind.Add, None, None),
        (graph.mul("m", x, x), oc.OpKind.Mul, None, None),
        (graph.gelu("g", x), oc.OpKind.Gelu, None, None),
    ]
    for op, (output, kind, field, value) in zip(graph.ops, steps):
        assert op.output == output
        assert type(op.kind) is kind
        if field is not None:
            assert getattr(op.kind, field) == value
    assert graph.ops[0].kind == graph.ops[0].kind
    assert graph.ops[0].kind != graph.ops[1].kind
    assert repr(graph.ops[2].kind) == "LayerNorm { epsilon: 0.25 }"


@pytest.mark.parametrize(
    "build, message",
    [
        (lambda g, x: g.matmul("y", x, x), "y: incompatible matmul [4, 8] x [4, 8]"),
        (lambda g, x: g.add("s", x, g.input("z", [8, 4])), "s: binary shapes differ"),
        (lambda g, x: g.mul("p", x, g.input("z", [4])), "p: binary shapes differ"),
        (lambda g, x: g.transpose("t", x, [0, 0]), "t: invalid transpose permutation"),
        (lambda g, x: g.reshape("r", x, [5, 7]), "r: reshape changes element count"),
        (lambda g, x: g.softmax("s", x, 2), "s: softmax axis out of range"),
    ],
)
def test_builder_errors_raise_compile_error_and_change_nothing(build, message):
    graph = oc.Graph()
    x = graph.input("x", [4, 8])
    before_ops = graph.ops
    with pytest.raises(oc.CompileError) as raised:
        build(graph, x)
    assert raised.value.kind == "Graph"
    assert str(raised.value) == message
    assert isinstance(raised.value, Exception)
    assert graph.ops == before_ops


def test_validate_reports_the_first_failure():
    graph = oc.Graph()
    with pytest.raises(oc.CompileError, match="^graph has no outputs$"):
        graph.validate()
    graph.mark_output(graph.input("empty", [3, 0]))
    with pytest.raises(oc.CompileError, match="^invalid tensor empty$"):
        graph.validate()
    small_graph()[0].validate()


def test_caller_errors_raise_standard_python_exceptions():
    graph = oc.Graph()
    x = graph.input("x", [4, 8])
    with pytest.raises(IndexError, match="unknown tensor TensorId\\(7\\) in a graph of 1 tensors"):
        graph.add("y", x, oc.TensorId(7))
    with pytest.raises(IndexError):
        graph.mark_output(oc.TensorId(1))
    huge = graph.input("huge", [2**32, 2**32])
    with pytest.raises(OverflowError):
        graph.tensors[huge.index].elements()
    # Values that do not fit the C++ types are refused by the conversion, never wrapped.
    with pytest.raises(TypeError):
        graph.input("negative", [-1])
    with pytest.raises(TypeError):
        oc.TensorId(-1)
    assert len(graph.tensors) == 2


def test_records_are_read_only_copies_that_outlive_growth():
    graph, _, _, _ = small_graph()
    first = graph.tensors[0]
    for index in range(1000):
        graph.input(f"more{index}", [1])
    assert first.name == "x"
    with pytest.raises(AttributeError):
        first.name = "renamed"
    graph.tensors.clear()
    assert len(graph.tensors) == 1005


def test_graph_equality_and_repr_are_the_librarys():
    assert small_graph()[0] == small_graph()[0]
    other, _, _, _ = small_graph()
    other.mark_output(oc.TensorId(0))
    assert small_graph()[0] != other
    assert oc.Graph() != "Graph"
    assert repr(oc.Graph()) == "Graph { tensors: [], ops: [], outputs: [] }"


# Each new kind: how to build it on x [2, 3, 4] (F32), w [4, 5] (F32) and ids [2, 2] (I32), the
# kind's class, its fields, its debug text, and the output's shape and type.
NEW_KINDS = [
    (lambda g, x, w, ids: g.batch_matmul("bm", x, w), oc.OpKind.BatchMatMul, {}, "BatchMatMul",
     [2, 3, 5], oc.DType.F32),
    (lambda g, x, w, ids: g.sub("s", left=x, right=x), oc.OpKind.Sub, {}, "Sub", [2, 3, 4],
     oc.DType.F32),
    (lambda g, x, w, ids: g.div("d", x, x), oc.OpKind.Div, {}, "Div", [2, 3, 4], oc.DType.F32),
    (lambda g, x, w, ids: g.maximum("mx", x, x), oc.OpKind.Maximum, {}, "Maximum", [2, 3, 4],
     oc.DType.F32),
    (lambda g, x, w, ids: g.minimum("mn", x, x), oc.OpKind.Minimum, {}, "Minimum", [2, 3, 4],
     oc.DType.F32),
    (lambda g, x, w, ids: g.pow("p", x, x), oc.OpKind.Pow, {}, "Pow", [2, 3, 4], oc.DType.F32),
    *[
        (lambda g, x, w, ids, method=method: getattr(g, method)(method, input=w), kind, {},
         kind.__name__, [4, 5], oc.DType.F32)
        for method, kind in [
            ("erf", oc.OpKind.Erf), ("tanh", oc.OpKind.Tanh), ("exp", oc.OpKind.Exp),
            ("log", oc.OpKind.Log), ("sqrt", oc.OpKind.Sqrt),
            ("reciprocal", oc.OpKind.Reciprocal), ("neg", oc.OpKind.Neg), ("abs", oc.OpKind.Abs),
            ("relu", oc.OpKind.Relu), ("sigmoid", oc.OpKind.Sigmoid),
        ]
    ],
    (lambda g, x, w, ids: g.broadcast("b", ids, shape=[3, 2, 2]), oc.OpKind.Broadcast,
     {"shape": [3, 2, 2]}, "Broadcast { shape: [3, 2, 2] }", [3, 2, 2], oc.DType.I32),
    (lambda g, x, w, ids: g.slice("sl", x, axis=2, start=1, stop=4, step=2), oc.OpKind.Slice,
     {"axis": 2, "start": 1, "stop": 4, "step": 2},
     "Slice { axis: 2, start: 1, stop: 4, step: 2 }", [2, 3, 2], oc.DType.F32),
    (lambda g, x, w, ids: g.slice("sl1", w, 0, 1, 3), oc.OpKind.Slice,
     {"axis": 0, "start": 1, "stop": 3, "step": 1},
     "Slice { axis: 0, start: 1, stop: 3, step: 1 }", [2, 5], oc.DType.F32),
    (lambda g, x, w, ids: g.concat("c", inputs=[ids, ids, ids], axis=1), oc.OpKind.Concat,
     {"axis": 1}, "Concat { axis: 1 }", [2, 6], oc.DType.I32),
    (lambda g, x, w, ids: g.gather("ga", table=w, indices=ids), oc.OpKind.Gather, {}, "Gather",
     [2, 2, 5], oc.DType.F32),
    (lambda g, x, w, ids: g.reduce_sum("rs", x, axis=1), oc.OpKind.ReduceSum, {"axis": 1},
     "ReduceSum { axis: 1 }", [2, 1, 4], oc.DType.F32),
    (lambda g, x, w, ids: g.reduce_mean("rm", x, 0), oc.OpKind.ReduceMean, {"axis": 0},
     "ReduceMean { axis: 0 }", [1, 3, 4], oc.DType.F32),
    (lambda g, x, w, ids: g.reduce_max("rx", x, 2), oc.OpKind.ReduceMax, {"axis": 2},
     "ReduceMax { axis: 2 }", [2, 3, 1], oc.DType.F32),
    (lambda g, x, w, ids: g.cast("to_f32", ids, oc.DType.F32), oc.OpKind.Cast,
     {"dtype": oc.DType.F32}, "Cast { dtype: F32 }", [2, 2], oc.DType.F32),
    (lambda g, x, w, ids: g.cast("to_i32", input=x, dtype=oc.DType.I32), oc.OpKind.Cast,
     {"dtype": oc.DType.I32}, "Cast { dtype: I32 }", [2, 3, 4], oc.DType.I32),
]


def typed_graph():
    graph = oc.Graph()
    x = graph.input("x", [2, 3, 4])
    w = graph.weight("w", [4, 5], dtype=oc.DType.F32)
    ids = graph.input("ids", [2, 2], oc.DType.I32)
    return graph, x, w, ids


@pytest.mark.parametrize("build, kind, fields, text, shape, dtype", NEW_KINDS)
def test_every_new_kind_is_built_with_its_parameters_and_debug_text(
    build, kind, fields, text, shape, dtype
):
    graph, x, w, ids = typed_graph()
    output = build(graph, x, w, ids)
    (op,) = graph.ops
    assert op.output == output
    assert type(op.kind) is kind
    assert {field: getattr(op.kind, field) for field in fields} == fields
    assert repr(op.kind) == text
    assert text in repr(op)
    tensor = graph.tensors[output.index]
    assert (tensor.shape, tensor.dtype, tensor.kind) == (shape, dtype, oc.TensorKind.Intermediate)
    for field in fields:
        with pytest.raises(AttributeError):
            setattr(op.kind, field, 0)


def test_new_kinds_are_equal_exactly_when_their_parameters_are():
    graph, x, w, ids = typed_graph()
    graph.slice("a", x, 2, 0, 4)
    graph.slice("b", x, 2, 0, 4, 1)
    graph.slice("c", x, 2, 0, 4, 3)
    graph.reduce_sum("d", x, 2)
    graph.reduce_max("e", x, 2)
    graph.cast("f", x, oc.DType.I32)
    graph.cast("g", ids, oc.DType.I32)
    a, b, c, d, e, f, g = (op.kind for op in graph.ops)
    assert a == b and a != c
    assert d != e
    assert f == g


def test_inputs_and_weights_take_an_element_type():
    graph, x, w, ids = typed_graph()
    assert [t.dtype for t in graph.tensors] == [oc.DType.F32, oc.DType.F32, oc.DType.I32]
    assert repr(graph.tensors[ids.index]) == (
        'Tensor { id: TensorId(2), name: "ids", dtype: I32, shape: [2, 2], kind: Input, '
        "producer: None }"
    )
    table = graph.weight("table", [10, 4], dtype=oc.DType.I32)
    assert graph.tensors[table.index].kind == oc.TensorKind.Weight
    assert graph.tensors[table.index].dtype == oc.DType.I32
    with pytest.raises(TypeError):
        graph.input("bad", [1], "i32")


@pytest.mark.parametrize(
    "build, message",
    [
        (
            lambda g, x, w, ids: g.batch_matmul("bm", w, w),
            "bm: incompatible batch matmul [4, 5] x [4, 5]",
        ),
        (
            lambda g, x, w, ids: g.batch_matmul("bm", x, x),
            "bm: incompatible batch matmul [2, 3, 4] x [2, 3, 4]",
        ),
        (lambda g, x, w, ids: g.sub("s", x, w), "s: binary shapes differ"),
        (lambda g, x, w, ids: g.div("d", w, x), "d: binary shapes differ"),
        (lambda g, x, w, ids: g.maximum("mx", x, w), "mx: binary shapes differ"),
        (lambda g, x, w, ids: g.minimum("mn", x, w), "mn: binary shapes differ"),
        (lambda g, x, w, ids: g.pow("p", x, w), "p: binary shapes differ"),
        (
            lambda g, x, w, ids: g.broadcast("b", x, [3, 4]),
            "b: cannot broadcast [2, 3, 4] to [3, 4]",
        ),
        (lambda g, x, w, ids: g.broadcast("b", w, [4, 4]), "b: cannot broadcast [4, 5] to [4, 4]"),
        (lambda g, x, w, ids: g.slice("sl", x, 3, 0, 1), "sl: invalid slice"),
        (lambda g, x, w, ids: g.slice("sl", x, 0, 1, 1), "sl: invalid slice"),
        (lambda g, x, w, ids: g.slice("sl", x, 0, 0, 3), "sl: invalid slice"),
        (lambda g, x, w, ids: g.slice("sl", x, 0, 0, 2, step=0), "sl: invalid slice"),
        (lambda g, x, w, ids: g.concat("c", [], 0), "c: incompatible concat"),
        (lambda g, x, w, ids: g.concat("c", [x, w], 0), "c: incompatible concat"),
        (lambda g, x, w, ids: g.concat("c", [w, w], 2), "c: incompatible concat"),
        (lambda g, x, w, ids: g.gather("ga", g.input("one", []), ids), "ga: invalid gather"),
        (lambda g, x, w, ids: g.reduce_sum("r", x, 3), "r: reduce axis out of range"),
        (lambda g, x, w, ids: g.reduce_mean("r", w, 2), "r: reduce axis out of range"),
        (lambda g, x, w, ids: g.reduce_max("r", w, 5), "r: reduce axis out of range"),
        # Types: checked before shapes.
        (lambda g, x, w, ids: g.add("a", ids, ids), "a: operand 0 is I32, expected F32"),
        (lambda g, x, w, ids: g.matmul("m", w, ids), "m: operand 1 is I32, expected F32"),
        (lambda g, x, w, ids: g.relu("r", ids), "r: operand 0 is I32, expected F32"),
        (lambda g, x, w, ids: g.reduce_sum("r", ids, 9), "r: operand 0 is I32, expected F32"),
        (lambda g, x, w, ids: g.gather("ga", w, w), "ga: operand 1 is F32, expected I32"),
        (lambda g, x, w, ids: g.concat("c", [w, ids], 0), "c: operand 1 is I32, expected F32"),
    ],
)
def test_new_builder_errors_raise_compile_error_and_change_nothing(build, message):
    graph, x, w, ids = typed_graph()
    with pytest.raises(oc.CompileError) as raised:
        build(graph, x, w, ids)
    assert (raised.value.kind, str(raised.value)) == ("Graph", message)
    assert graph.ops == []
