#!/usr/bin/python3
"""Exports a full-size BERT-base encoder as PyTorch writes it (12 layers, hidden 768, 12 heads,
feed-forward 3072; batch 1, sequence 128; about 340 MB of weights) for the benchmarks that measure
real models: the ONNX import against protobuf's parse, compile and evaluate. The model is the
zoo's BERT-style encoder at full size, exported with constant folding at the zoo's operator set.

Needs PyTorch and the onnx package (Debian's python3-torch and python3-onnx), so it runs on a
developer's machine, never in CI. Writes DIRECTORY/bert_base.onnx, with its input
(bert_base.input.hidden_states.npy) and PyTorch's output (bert_base.output.last_hidden_state.npy);
with `--layers 1`, one such layer as DIRECTORY/bert_layer.onnx (and bert_layer.input..., ...),
the model the interpreter is timed on against ONNX Runtime:

    /usr/bin/python3 bench/export_bert_base.py /tmp/bert_base
    /usr/bin/python3 bench/export_bert_base.py /tmp/bert_base --layers 1
"""

import argparse
import pathlib
import sys

import numpy
import torch

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "onnx" / "zoo"))
import make_zoo  # noqa: E402

SEQUENCE = 128


def main():
    parser = argparse.ArgumentParser(description="Exports BERT-base, or one of its layers, to ONNX.")
    parser.add_argument("directory", type=pathlib.Path)
    parser.add_argument("--layers", type=int, choices=(1, 12), default=12)
    arguments = parser.parse_args()
    directory = arguments.directory
    name = "bert_base" if arguments.layers == 12 else "bert_layer"
    directory.mkdir(parents=True, exist_ok=True)
    torch.use_deterministic_algorithms(True)
    torch.set_num_threads(1)
    # The zoo's classes read their sizes from the module when they are built.
    make_zoo.HIDDEN, make_zoo.HEADS, make_zoo.FEED_FORWARD, make_zoo.LAYERS = 768, 12, 3072, arguments.layers
    model = make_zoo.BertEncoder()
    make_zoo.init_weights(model, seed=1)
    model.eval()
    generator = torch.Generator().manual_seed(2)
    hidden_states = torch.randn((1, SEQUENCE, 768), generator=generator)
    with torch.no_grad():
        output = model(hidden_states)
    path = directory / f"{name}.onnx"
    torch.onnx.export(
        model,
        (hidden_states,),
        str(path),
        input_names=["hidden_states"],
        output_names=["last_hidden_state"],
        opset_version=make_zoo.OPSET,
        do_constant_folding=True,
    )
    numpy.save(directory / f"{name}.input.hidden_states.npy", hidden_states.numpy())
    numpy.save(directory / f"{name}.output.last_hidden_state.npy", output.numpy())
    print(f"wrote {path} ({path.stat().st_size} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
