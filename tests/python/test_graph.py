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
