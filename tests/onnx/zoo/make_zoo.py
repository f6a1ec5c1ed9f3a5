#!/usr/bin/python3
"""Writes the model zoo: small transformers written the way people write them, each exported to
ONNX four ways (constant folding on and off, static shapes and symbolic batch and sequence), with
the inputs, PyTorch's outputs for them and a manifest.

Needs PyTorch and the onnx package (Debian's python3-torch and python3-onnx); the tests only read
what it writes. Run it as

    /usr/bin/python3 tests/onnx/zoo/make_zoo.py

It replaces every .onnx and .npy file and the manifest beside it, with the same bytes on every run:
the weights and inputs come from fixed seeds.
"""

import json
import math
import pathlib
import sys
import warnings

import numpy
import onnx
import torch
from torch import nn

ZOO_DIR = pathlib.Path(__file__).resolve().parent
OPSET = 14

BATCH = 2
SEQUENCE = 16
HIDDEN = 48
HEADS = 4
FEED_FORWARD = 96
LAYERS = 2
VOCABULARY = 80
MAX_POSITIONS = 32
# The four nn.TransformerEncoder variants are one layer written four ways: narrower, so that the
# zoo stays a few MB.
TORCH_HIDDEN = 32
TORCH_FEED_FORWARD = 64
IMAGE_SIZE = 32
PATCH_SIZE = 8
CHANNELS = 3
CLASSES = 10
# The second row of the attention mask is padding from this token on.
PADDED_FROM = 11
DIM_VALUES = {"batch": BATCH, "sequence": SEQUENCE}


def init_weights(model, seed):
    """Replaces PyTorch's initialisation by one with the spread of trained weights: layer norms
    that scale and shift, biases that are not zero, and attention that is far from uniform, so
    that a mixed-up operand shows in the outputs."""
    generator = torch.Generator().manual_seed(seed)

    def normal(parameter, mean, std):
        parameter.copy_(mean + std * torch.randn(parameter.shape, generator=generator))

    with torch.no_grad():
        for module in model.modules():
            for name, parameter in module.named_parameters(recurse=False):
                if isinstance(module, nn.LayerNorm):
                    normal(parameter, 1.0 if name == "weight" else 0.0, 0.1)
                elif name.endswith("bias"):
                    normal(parameter, 0.0, 0.1)
                elif isinstance(module, (nn.Linear, nn.Conv2d, nn.MultiheadAttention)):
                    normal(parameter, 0.0, parameter[0].numel() ** -0.5)
                else:
                    # Embedding tables, the class token and position tables.
                    normal(parameter, 0.0, 0.5)


# A BERT-style encoder, written as the usual hand-written implementations write it.


class BertSelfAttention(nn.Module):
    def __init__(self):
        super().__init__()
        self.num_attention_heads = HEADS
        self.attention_head_size = HIDDEN // HEADS
        self.all_head_size = HIDDEN
        self.query = nn.Linear(HIDDEN, HIDDEN)
        self.key = nn.Linear(HIDDEN, HIDDEN)
        self.value = nn.Linear(HIDDEN, HIDDEN)

    def transpose_for_scores(self, x):
        new_x_shape = x.size()[:-1] + (self.num_attention_heads, self.attention_head_size)
        x = x.view(new_x_shape)
        return x.permute(0, 2, 1, 3)

    def forward(self, hidden_states, attention_mask=None):
        query_layer = self.transpose_for_scores(self.query(hidden_states))
        key_layer = self.transpose_for_scores(self.key(hidden_states))
        value_layer = self.transpose_for_scores(self.value(hidden_states))
        attention_scores = torch.matmul(query_layer, key_layer.transpose(-1, -2))
        attention_scores = attention_scores / math.sqrt(self.attention_head_size)
        if attention_mask is not None:
            attention_scores = attention_scores + attention_mask
        attention_probs = nn.functional.softmax(attention_scores, dim=-1)
        context_layer = torch.matmul(attention_probs, value_layer)
        context_layer = context_layer.permute(0, 2, 1, 3).contiguous()
        new_context_layer_shape = context_layer.size()[:-2] + (self.all_head_size,)
        return context_layer.view(new_context_layer_shape)


class BertLayer(nn.Module):
    def __init__(self):
        super().__init__()
        self.attention = BertSelfAttention()
        self.attention_output = nn.Linear(HIDDEN, HIDDEN)
        self.attention_norm = nn.LayerNorm(HIDDEN, eps=1e-12)
        self.intermediate = nn.Linear(HIDDEN, FEED_FORWARD)
        self.output = nn.Linear(FEED_FORWARD, HIDDEN)
        self.output_norm = nn.LayerNorm(HIDDEN, eps=1e-12)

    def forward(self, hidden_states, attention_mask=None):
        attention = self.attention_output(self.attention(hidden_states, attention_mask))
        attention = self.attention_norm(attention + hidden_states)
        intermediate = nn.functional.gelu(self.intermediate(attention))
        return self.output_norm(self.output(intermediate) + attention)


class BertEncoder(nn.Module):
    def __init__(self):
        super().__init__()
        self.layer = nn.ModuleList([BertLayer() for _ in range(LAYERS)])

    def forward(self, hidden_states, attention_mask=None):
        for layer in self.layer:
            hidden_states = layer(hidden_states, attention_mask)
        return hidden_states


class BertSmall(nn.Module):
    """Word and position embeddings, an attention mask of ones and zeros made additive, the encoder
    and a pooler on the first token."""

    def __init__(self):
        super().__init__()
        self.word_embeddings = nn.Embedding(VOCABULARY, HIDDEN)
        self.position_embeddings = nn.Embedding(MAX_POSITIONS, HIDDEN)
        self.embeddings_norm = nn.LayerNorm(HIDDEN, eps=1e-12)
        self.register_buffer("position_ids", torch.arange(MAX_POSITIONS).expand((1, -1)))
        self.encoder = BertEncoder()
        self.pooler = nn.Linear(HIDDEN, HIDDEN)

    def forward(self, input_ids, attention_mask):
        seq_length = input_ids.size(1)
        position_ids = self.position_ids[:, :seq_length]
        embeddings = self.word_embeddings(input_ids) + self.position_embeddings(position_ids)
        embeddings = self.embeddings_norm(embeddings)
        extended_attention_mask = attention_mask[:, None, None, :].to(dtype=embeddings.dtype)
        extended_attention_mask = (1.0 - extended_attention_mask) * -10000.0
        last_hidden_state = self.encoder(embeddings, extended_attention_mask)
        pooler_output = torch.tanh(self.pooler(last_hidden_state[:, 0]))
        return last_hidden_state, pooler_output


def mlp(approximate):
    return nn.Sequential(
        nn.Linear(HIDDEN, FEED_FORWARD),
        nn.GELU(approximate=approximate),
        nn.Linear(FEED_FORWARD, HIDDEN),
    )


def torch_encoder(norm_first, batch_first):
    """PyTorch's own encoder: post-norm with ReLU as its defaults have it, pre-norm with GELU and a
    final layer norm as pre-norm models use it."""
    layer = nn.TransformerEncoderLayer(
        TORCH_HIDDEN,
        HEADS,
        dim_feedforward=TORCH_FEED_FORWARD,
        activation="gelu" if norm_first else "relu",
        batch_first=batch_first,
        norm_first=norm_first,
    )
    final_norm = nn.LayerNorm(TORCH_HIDDEN) if norm_first else None
    return nn.TransformerEncoder(layer, LAYERS, norm=final_norm)


# A small vision transformer, written as the usual image-model libraries write it.


class PatchEmbed(nn.Module):
    def __init__(self):
        super().__init__()
        self.proj = nn.Conv2d(CHANNELS, HIDDEN, kernel_size=PATCH_SIZE, stride=PATCH_SIZE)

    def forward(self, x):
        return self.proj(x).flatten(2).transpose(1, 2)


class VitAttention(nn.Module):
    def __init__(self):
        super().__init__()
        self.num_heads = HEADS
        self.scale = (HIDDEN // HEADS) ** -0.5
        self.qkv = nn.Linear(HIDDEN, HIDDEN * 3)
        self.proj = nn.Linear(HIDDEN, HIDDEN)

    def forward(self, x):
        B, N, C = x.shape
        qkv = self.qkv(x).reshape(B, N, 3, self.num_heads, C // self.num_heads)
        qkv = qkv.permute(2, 0, 3, 1, 4)
        q, k, v = qkv[0], qkv[1], qkv[2]
        attn = (q @ k.transpose(-2, -1)) * self.scale
        attn = attn.softmax(dim=-1)
        x = (attn @ v).transpose(1, 2).reshape(B, N, C)
        return self.proj(x)


class VitBlock(nn.Module):
    def __init__(self):
        super().__init__()
        self.norm1 = nn.LayerNorm(HIDDEN, eps=1e-6)
        self.attn = VitAttention()
        self.norm2 = nn.LayerNorm(HIDDEN, eps=1e-6)
        self.mlp = nn.Sequential(
            nn.Linear(HIDDEN, FEED_FORWARD), nn.GELU(), nn.Linear(FEED_FORWARD, HIDDEN)
        )

    def forward(self, x):
        x = x + self.attn(self.norm1(x))
        return x + self.mlp(self.norm2(x))


class VitSmall(nn.Module):
    def __init__(self):
        super().__init__()
        num_patches = (IMAGE_SIZE // PATCH_SIZE) ** 2
        self.patch_embed = PatchEmbed()
        self.cls_token = nn.Parameter(torch.zeros(1, 1, HIDDEN))
        self.pos_embed = nn.Parameter(torch.zeros(1, num_patches + 1, HIDDEN))
        self.blocks = nn.Sequential(*[VitBlock() for _ in range(LAYERS)])
        self.norm = nn.LayerNorm(HIDDEN, eps=1e-6)
        self.head = nn.Linear(HIDDEN, CLASSES)

    def forward(self, x):
        x = self.patch_embed(x)
        cls_token = self.cls_token.expand(x.shape[0], -1, -1)
        x = torch.cat((cls_token, x), dim=1)
        x = x + self.pos_embed
        x = self.norm(self.blocks(x))
        return self.head(x[:, 0])


# A small decoder with a causal mask, written as the usual minimal generative models write it.


class CausalSelfAttention(nn.Module):
    def __init__(self):
        super().__init__()
        self.n_head = HEADS
        self.n_embd = HIDDEN
        self.c_attn = nn.Linear(HIDDEN, 3 * HIDDEN)
        self.c_proj = nn.Linear(HIDDEN, HIDDEN)

    def forward(self, x):
        B, T, C = x.size()
        q, k, v = self.c_attn(x).split(self.n_embd, dim=2)
        k = k.view(B, T, self.n_head, C // self.n_head).transpose(1, 2)
        q = q.view(B, T, self.n_head, C // self.n_head).transpose(1, 2)
        v = v.view(B, T, self.n_head, C // self.n_head).transpose(1, 2)
        att = (q @ k.transpose(-2, -1)) * (1.0 / math.sqrt(k.size(-1)))
        causal_mask = torch.triu(torch.ones(T, T, device=x.device), diagonal=1).bool()
        att = att.masked_fill(causal_mask, float("-inf"))
        att = nn.functional.softmax(att, dim=-1)
        y = (att @ v).transpose(1, 2).contiguous().view(B, T, C)
        return self.c_proj(y)


class DecoderBlock(nn.Module):
    def __init__(self):
        super().__init__()
        self.ln_1 = nn.LayerNorm(HIDDEN)
        self.attn = CausalSelfAttention()
        self.ln_2 = nn.LayerNorm(HIDDEN)
        self.mlp = nn.Sequential(
            nn.Linear(HIDDEN, FEED_FORWARD),
            nn.GELU(approximate="tanh"),
            nn.Linear(FEED_FORWARD, HIDDEN),
        )

    def forward(self, x):
        x = x + self.attn(self.ln_1(x))
        return x + self.mlp(self.ln_2(x))


class DecoderSmall(nn.Module):
    def __init__(self):
        super().__init__()
        self.wte = nn.Embedding(VOCABULARY, HIDDEN)
        self.wpe = nn.Embedding(MAX_POSITIONS, HIDDEN)
        self.h = nn.ModuleList([DecoderBlock() for _ in range(LAYERS)])
        self.ln_f = nn.LayerNorm(HIDDEN)
        self.lm_head = nn.Linear(HIDDEN, VOCABULARY, bias=False)

    def forward(self, idx):
        t = idx.size(1)
        pos = torch.arange(0, t, dtype=torch.long, device=idx.device)
        x = self.wte(idx) + self.wpe(pos)
        for block in self.h:
            x = block(x)
        return self.lm_head(self.ln_f(x))


class EncoderWrapper(nn.Module):
    """The hand-written encoder alone, on float hidden states."""

    def __init__(self):
        super().__init__()
        self.encoder = BertEncoder()

    def forward(self, hidden_states):
        return self.encoder(hidden_states)


def float_input(generator, *shape):
    return torch.randn(*shape, generator=generator)


def token_ids(generator):
    return torch.randint(0, VOCABULARY, (BATCH, SEQUENCE), generator=generator)


def padding_mask():
    mask = torch.ones(BATCH, SEQUENCE, dtype=torch.long)
    mask[1, PADDED_FROM:] = 0
    return mask


TOKENS = {0: "batch", 1: "sequence"}
SEQUENCE_FIRST = {0: "sequence", 1: "batch"}


def model_table():
    """Every model: its name, what it is, a factory, its inputs from a generator, and the names
    and symbolic axes of its inputs and outputs."""

    def encoder_entry(norm_first, batch_first):
        layout = "batch_first" if batch_first else "sequence_first"
        norm = "pre_norm" if norm_first else "post_norm"
        axes = TOKENS if batch_first else SEQUENCE_FIRST
        shape = (BATCH, SEQUENCE) if batch_first else (SEQUENCE, BATCH)
        return {
            "name": f"torch_encoder_{norm}_{layout}",
            "description": f"nn.TransformerEncoder, {norm.replace('_', '-')}, "
            + layout.replace("_", " ")
            + (", GELU and a final layer norm" if norm_first else ", ReLU"),
            "make": lambda: torch_encoder(norm_first, batch_first),
            "inputs": lambda g: {"src": float_input(g, *shape, TORCH_HIDDEN)},
            "outputs": ["output"],
            "axes": {"src": axes, "output": axes},
        }

    return [
        {
            "name": "bert_encoder",
            "description": "hand-written BERT-style encoder layers: q/k/v projections, matmul of "
            "[batch, heads, sequence, head] tensors, softmax, erf GELU, layer norms, residuals",
            "make": EncoderWrapper,
            "inputs": lambda g: {"hidden_states": float_input(g, BATCH, SEQUENCE, HIDDEN)},
            "outputs": ["last_hidden_state"],
            "axes": {"hidden_states": TOKENS, "last_hidden_state": TOKENS},
        },
        encoder_entry(norm_first=False, batch_first=True),
        encoder_entry(norm_first=False, batch_first=False),
        encoder_entry(norm_first=True, batch_first=True),
        encoder_entry(norm_first=True, batch_first=False),
        {
            "name": "mlp_gelu_erf",
            "description": "three linear layers with erf GELUs between them",
            "make": lambda: mlp("none"),
            "inputs": lambda g: {"x": float_input(g, BATCH, SEQUENCE, HIDDEN)},
            "outputs": ["y"],
            "axes": {"x": TOKENS, "y": TOKENS},
        },
        {
            "name": "mlp_gelu_tanh",
            "description": "three linear layers with tanh-approximated GELUs between them",
            "make": lambda: mlp("tanh"),
            "inputs": lambda g: {"x": float_input(g, BATCH, SEQUENCE, HIDDEN)},
            "outputs": ["y"],
            "axes": {"x": TOKENS, "y": TOKENS},
        },
        {
            "name": "bert_small",
            "description": "small BERT: word and position embeddings of int64 token ids, an int64 "
            "attention mask made additive, the hand-written encoder, a tanh pooler on the first "
            "token",
            "make": BertSmall,
            "inputs": lambda g: {"input_ids": token_ids(g), "attention_mask": padding_mask()},
            "outputs": ["last_hidden_state", "pooler_output"],
            "axes": {
                "input_ids": TOKENS,
                "attention_mask": TOKENS,
                "last_hidden_state": TOKENS,
                "pooler_output": {0: "batch"},
            },
        },
        {
            "name": "vit_small",
            "description": "small vision transformer: patch embedding by a convolution whose "
            "stride is its kernel, a class token joined by concat, position embeddings, fused "
            "q/k/v indexed apart, pre-norm blocks, a linear head on the class token",
            "make": VitSmall,
            "inputs": lambda g: {
                "pixel_values": float_input(g, BATCH, CHANNELS, IMAGE_SIZE, IMAGE_SIZE)
            },
            "outputs": ["logits"],
            "axes": {"pixel_values": {0: "batch"}, "logits": {0: "batch"}},
        },
        {
            "name": "decoder_causal",
            "description": "small decoder: token and arange position embeddings, fused q/k/v "
            "split apart, a causal mask from torch.triu filled with -inf, tanh GELU, a linear "
            "head to the vocabulary",
            "make": DecoderSmall,
            "inputs": lambda g: {"input_ids": token_ids(g)},
            "outputs": ["logits"],
            "axes": {"input_ids": TOKENS, "logits": TOKENS},
        },
    ]


ELEMENT_TYPES = {
    onnx.TensorProto.FLOAT: "float32",
    onnx.TensorProto.INT64: "int64",
    onnx.TensorProto.INT32: "int32",
}


def operator_types(graph):
    """The operator types of a graph's nodes and of the graphs its nodes hold."""
    types = set()
    for node in graph.node:
        in_default_domain = node.domain in ("", "ai.onnx")
        types.add(node.op_type if in_default_domain else f"{node.domain}.{node.op_type}")
        for attribute in node.attribute:
            subgraphs = list(attribute.graphs) + ([attribute.g] if attribute.HasField("g") else [])
            for subgraph in subgraphs:
                types |= operator_types(subgraph)
    return types


def value_description(value):
    tensor_type = value.type.tensor_type
    shape = [dim.dim_param if dim.dim_param else dim.dim_value for dim in tensor_type.shape.dim]
    return {"name": value.name, "dtype": ELEMENT_TYPES[tensor_type.elem_type], "shape": shape}


def export(model, inputs, entry, path, constant_folding, dynamic):
    # Gradients on, as for the reference outputs: under no_grad PyTorch's encoder layers take a
    # fused path that the exporter cannot write.
    with warnings.catch_warnings(), torch.enable_grad():
        # The decoder's scale takes the head size as a Python number, which tracing warns becomes
        # a constant: it is one.
        warnings.simplefilter("ignore", torch.jit.TracerWarning)
        torch.onnx.export(
            model,
            tuple(inputs.values()),
            str(path),
            input_names=list(inputs),
            output_names=entry["outputs"],
            opset_version=OPSET,
            do_constant_folding=constant_folding,
            dynamic_axes=entry["axes"] if dynamic else None,
        )
    exported = onnx.load(str(path))
    onnx.checker.check_model(exported, full_check=True)
    graph = exported.graph
    initializer_names = {initializer.name for initializer in graph.initializer}
    symbolic = sorted(
        {
            dim.dim_param
            for value in list(graph.input) + list(graph.output)
            for dim in value.type.tensor_type.shape.dim
            if dim.dim_param
        }
    )
    if dynamic != bool(symbolic):
        raise SystemExit(f"{path.name}: expected {'some' if dynamic else 'no'} symbolic dimensions")
    return {
        "file": path.name,
        "constant_folding": constant_folding,
        "dims": {name: DIM_VALUES[name] for name in symbolic},
        "inputs": [value_description(v) for v in graph.input if v.name not in initializer_names],
        "outputs": [value_description(v) for v in graph.output],
        "nodes": len(graph.node),
        "operators": sorted(operator_types(graph)),
    }


def write_array(path, tensor):
    array = tensor.detach().numpy()
    if array.dtype not in (numpy.float32, numpy.int64):
        raise SystemExit(f"{path.name}: unexpected element type {array.dtype}")
    numpy.save(path, numpy.ascontiguousarray(array), allow_pickle=False)
    return {"dtype": str(array.dtype), "shape": list(array.shape), "file": path.name}


def make_model(entry, seed):
    torch.manual_seed(seed)
    model = entry["make"]()
    init_weights(model, seed)
    model.eval()
    inputs = entry["inputs"](torch.Generator().manual_seed(seed + 1000))
    # With gradients on, PyTorch's own encoder layers take their composite path, the one that
    # is exported.
    with torch.enable_grad():
        outputs = model(*inputs.values())
    if isinstance(outputs, torch.Tensor):
        outputs = (outputs,)
    return model, inputs, dict(zip(entry["outputs"], outputs))


def main():
    torch.use_deterministic_algorithms(True)
    torch.set_num_threads(1)
    for stale in list(ZOO_DIR.glob("*.onnx")) + list(ZOO_DIR.glob("*.npy")):
        stale.unlink()
    models = []
    for seed, entry in enumerate(model_table(), start=1):
        name = entry["name"]
        model, inputs, outputs = make_model(entry, seed)
        record = {
            "name": name,
            "description": entry["description"],
            "inputs": [
                {
                    "name": input_name,
                    **write_array(ZOO_DIR / f"{name}.input.{input_name}.npy", value),
                }
                for input_name, value in inputs.items()
            ],
            "outputs": [
                {
                    "name": output_name,
                    **write_array(ZOO_DIR / f"{name}.output.{output_name}.npy", value),
                }
                for output_name, value in outputs.items()
            ],
            "files": [],
        }
        for constant_folding in (True, False):
            for dynamic in (False, True):
                path = ZOO_DIR / (
                    f"{name}.{'folded' if constant_folding else 'plain'}"
                    f".{'dynamic' if dynamic else 'static'}.onnx"
                )
                record["files"].append(
                    export(model, inputs, entry, path, constant_folding, dynamic)
                )
        models.append(record)
        print(f"{name}: {', '.join(f['file'] for f in record['files'])}")
    manifest = {
        "opset": OPSET,
        "exporter": f"torch {torch.__version__}",
        "models": models,
    }
    with open(ZOO_DIR / "manifest.json", "w", encoding="utf-8") as file:
        json.dump(manifest, file, indent=1)
        file.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
