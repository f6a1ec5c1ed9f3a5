"""Compiling from Python: the schedule's records, the library's equality and debug text, the
tool's JSON, errors, the verifier and concurrent compilations."""

import concurrent.futures

import pytest

import orvik_compiler as oc

# Encoder configurations and the tool's flags for the same configuration and target.
CASES = [
    (oc.EncoderConfig(), oc.CompilerOptions(), []),
    (
        oc.EncoderConfig(sequence=8, hidden=16, heads=2, feed_forward=32),
        oc.CompilerOptions(tile_count=5, data_base=0x1000, data_limit=0x9000),
        ["--sequence", "8", "--hidden", "16", "--heads", "2", "--feed-forward", "32",
         "--tiles", "5", "--data-base", "0x1000", "--data-limit", "0x9000"],
    ),
]


@pytest.mark.parametrize("config, options, flags", CASES)
def test_repr_and_json_are_the_tools_debug_text_and_json(orvik, config, options, flags):
    schedule = oc.compile(oc.encoder_graph(config), options)
    assert repr(schedule) + "\n" == orvik("compile", "--encoder", *flags, "--emit", "debug")
    assert schedule.to_json() == orvik("compile", "--encoder", *flags, "--emit", "json")


def test_record_reprs_are_parts_of_the_schedules_debug_text():
    schedule = oc.compile(oc.encoder_graph(oc.EncoderConfig()))
    text = repr(schedule)
    records = [schedule.layouts[3], schedule.allocations[-1], schedule.phases[0]]
    exchange = next(p for p in schedule.phases if isinstance(p, oc.Phase.Exchange))
    records += [exchange.transfers[0], schedule.phases[-1].commands[0]]
    records.append(schedule.phases[-1].commands[0].specialization)
    for record in records:
        assert repr(record) in text


def test_schedule_records_hold_the_fields():
    schedule = oc.compile(oc.encoder_graph(oc.EncoderConfig()))
    assert schedule.tile_count == 64
    assert len(schedule.phases) == 17
    assert len(schedule.allocations) == 360
    computes = [p for p in schedule.phases if isinstance(p, oc.Phase.Compute)]
    exchanges = [p for p in schedule.phases if isinstance(p, oc.Phase.Exchange)]
    assert [p.op for p in computes] == [oc.OpId(i) for i in range(15)]
    assert len(exchanges) == 2
    last = computes[-1].commands[-1]
    assert last.specialization.role == "tail"
    assert all(c.specialization.role == "body" for c in computes[-1].commands[:-1])
    assert schedule.layouts[0].tensor == oc.TensorId(0)
    assert schedule.layouts[0].tiles == list(range(len(schedule.layouts[0].tiles)))
    assert isinstance(schedule.layouts[0].sharding, oc.Sharding)
    peaks = schedule.peak_sram
    assert isinstance(peaks, dict)
    assert min(peaks.values()) == 0x800 and max(peaks.values()) == 0x2400
    with pytest.raises(AttributeError):
        schedule.tile_count = 3
    with pytest.raises(AttributeError):
        schedule.allocations[0].address = 0


def test_equality_is_the_librarys():
    graph = oc.encoder_graph(oc.EncoderConfig())
    first = oc.compile(graph)
    assert first == oc.compile(graph, oc.CompilerOptions())
    assert first != oc.compile(graph, oc.CompilerOptions(tile_count=63))
    assert first.allocations == oc.compile(graph).allocations
    assert first.phases == oc.compile(graph).phases
    assert first != "schedule"
    assert oc.CompilerOptions(tile_count=8) == oc.CompilerOptions(tile_count=8)
    assert oc.CompilerOptions(tile_count=8) != oc.CompilerOptions()


def test_a_schedule_outlives_its_graph():
    graph = oc.encoder_graph(oc.EncoderConfig())
    schedule = oc.compile(graph)
    phases = schedule.phases
    expected = repr(schedule)
    del graph, schedule
    assert repr(phases[-1]) in expected


@pytest.mark.parametrize(
    "options, kind, message",
    [
        (oc.CompilerOptions(tile_count=0), "Graph", "invalid compiler options"),
        (oc.CompilerOptions(data_base=0x1000, data_limit=0x1000), "Graph", "invalid compiler options"),
        (oc.CompilerOptions(data_limit=0x52100), "Memory", "tile 0 exceeds data limit allocating x"),
    ],
)
def test_compile_errors_carry_their_kind(options, kind, message):
    graph = oc.Graph()
    graph.mark_output(graph.gelu("y", graph.input("x", [4, 128])))
    with pytest.raises(oc.CompileError) as raised:
        oc.compile(graph, options)
    assert (raised.value.kind, str(raised.value)) == (kind, message)


def test_fatal_stops_raise_standard_exceptions():
    graph = oc.Graph()
    graph.mark_output(graph.gelu("y", graph.input("x", [2**32, 2**32])))
    with pytest.raises(OverflowError):
        oc.compile(graph)
    with pytest.raises(TypeError):
        oc.CompilerOptions(tile_count=70000)
    options = oc.CompilerOptions()
    with pytest.raises(TypeError):
        options.data_base = 2**32
    assert options == oc.CompilerOptions()


def test_verify_schedule_accepts_compiles_and_names_a_broken_rule():
    graph = oc.encoder_graph(oc.EncoderConfig())
    schedule = oc.compile(graph)
    assert oc.verify_schedule(graph, oc.CompilerOptions(), schedule) is None
    with pytest.raises(oc.CompileError) as raised:
        oc.verify_schedule(graph, oc.CompilerOptions(tile_count=32), schedule)
    assert raised.value.kind == "Graph"
    assert str(raised.value) == "the schedule is for 64 tiles, the options for 32"
    with pytest.raises(oc.CompileError, match="^graph has no outputs$"):
        oc.verify_schedule(oc.Graph(), oc.CompilerOptions(), schedule)


def test_four_threads_compile_at_once():
    configs = [
        oc.EncoderConfig(sequence=128, hidden=768, heads=12, feed_forward=3072),
        oc.EncoderConfig(sequence=64, hidden=256, heads=4, feed_forward=1024),
        oc.EncoderConfig(),
        oc.EncoderConfig(sequence=16, hidden=32, heads=2, feed_forward=64),
    ]
    options = oc.CompilerOptions(tile_count=1472)
    graphs = [oc.encoder_graph(config) for config in configs]
    expected = [oc.compile(graph, options) for graph in graphs]
    jobs = [index % len(graphs) for index in range(32)]
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        results = list(pool.map(lambda index: oc.compile(graphs[index], options), jobs))
    for index, schedule in zip(jobs, results):
        assert schedule == expected[index]


def test_a_graph_can_grow_while_another_thread_compiles_it():
    graph = oc.encoder_graph(oc.EncoderConfig(sequence=128, hidden=768, heads=12, feed_forward=3072))
    options = oc.CompilerOptions(tile_count=1472)
    expected = oc.compile(graph, options)
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        futures = [pool.submit(oc.compile, graph, options) for _ in range(4)]
        for index in range(2000):
            graph.input(f"extra{index}", [4, 4])
        results = [future.result() for future in futures]
    # Each compilation saw the graph as it was when it began: the full layer, and perhaps some
    # of the extra inputs, which get layouts and blocks of their own but change nothing else.
    for schedule in results:
        assert schedule.phases == expected.phases
