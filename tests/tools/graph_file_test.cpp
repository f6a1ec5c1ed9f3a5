// Reading and writing graph files, in process: every class of bad input with its message.

#include "orvik/graph_file.hpp"

#include <orvik_compiler/orvik_compiler.hpp>

#include <catch2/catch.hpp>

#include <set>
#include <utility>
#include <variant>

namespace orvik_tool {
namespace {

/// The message of a file that must not read; such a file is a usage error.
std::string error_of(std::string_view text) {
  const ToolResult<orvik_compiler::Graph> result = read_graph_file(text, "g.json");
  REQUIRE(!result);
  CHECK(result.failure().exit_status == exit_usage_error);
  return result.failure().message;
}

std::string with_steps(std::string_view steps) {
  return R"({"format": "orvik-graph", "version": 1, "steps": [)" + std::string(steps) + "]}";
}

TEST_CASE("text that is not JSON is reported at its line and column", "[graph file]") {
  CHECK(error_of("{\n  \"format\": orvik\n}").rfind("g.json:2:13: error: syntax error", 0) == 0);
  CHECK(error_of("").rfind("g.json:1:1: error: ", 0) == 0);
  CHECK(error_of("[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[") ==
        "g.json:1:17: error: nesting deeper than 16 levels");
  // A number too large for the parser is reported where it stands, not thrown.
  CHECK(error_of("{\"steps\": [\n  1e400]}") ==
        "g.json:2:3: error: number overflow parsing '1e400'");
}

TEST_CASE("a number too large is reported where it stands, not where its text first appears",
          "[graph file]") {
  CHECK(error_of(R"({"note": "1e400", "steps": [1e400]})") ==
        "g.json:1:29: error: number overflow parsing '1e400'");
}

TEST_CASE("graph files are strict: no key twice, no unknown field, version the integer 1",
          "[graph file]") {
  const std::string head = R"({"format": "orvik-graph", "version": 1, )";
  const std::string x = R"({"op": "input", "name": "x", "shape": [2, 3]})";
  struct Case {
    std::string text;
    std::string message;
  };
  const std::vector<Case> cases{
      // A key given twice, wherever it is; the last one used to win.
      {head + R"("steps": [{"op": "input", "name": "x", "shape": [0], "shape": [4, 8]}]})",
       "duplicate key $.steps[0].shape"},
      {head + R"("version": 1, "steps": []})", "duplicate key $.version"},
      {head + R"("steps": [], "extra": [{}, {"a": {"b": 1, "b": 2}}]})",
       "duplicate key $.extra[1].a.b"},
      {head + R"("steps": [], "extra": {"two words": {"": 1, "": 2}}})",
       R"(duplicate key $.extra["two words"][""])"},
      // A field that the document or the step's kind does not have.
      {head + R"("steps": [], "comment": "hi"})", "unknown field $.comment"},
      {head + R"("steps": [)" + x + R"(, {"op": "gelu", "name": "g", "input": "x", "axis": 1}]})",
       "step 2 \"g\": unknown field $.steps[1].axis"},
      {head + R"("steps": [{"op": "input", "name": "x", "shape": [2], "shap": [3]}]})",
       "step 1 \"x\": unknown field $.steps[0].shap"},
      {head + R"("steps": [)" + x + R"(, {"op": "output", "tensor": "x", "name": "y"}]})",
       "step 2 \"y\": unknown field $.steps[1].name"},
      // The version, only ever the integer 1.
      {R"({"format": "orvik-graph", "version": 1.0, "steps": []})",
       "the field \"version\" must be the integer 1"},
      {R"({"format": "orvik-graph", "version": "1", "steps": []})",
       "the field \"version\" must be the integer 1"},
      {R"({"format": "orvik-graph", "version": true, "steps": []})",
       "the field \"version\" must be the integer 1"},
      {R"({"format": "orvik-graph", "version": -1, "steps": []})",
       "unsupported graph file version; this tool reads version 1"},
      // An epsilon that no 32-bit float holds, or that rounds to zero.
      {head + R"("steps": [)" + x +
           R"(, {"op": "layer_norm", "name": "n", "input": "x", "epsilon": 1e-50}]})",
       "step 2 \"n\": field $.steps[1].epsilon: 1e-50 rounds to zero as a 32-bit float"},
      {head + R"("steps": [)" + x +
           R"(, {"op": "layer_norm", "name": "n", "input": "x", "epsilon": 3.5e38}]})",
       "step 2 \"n\": field \"epsilon\" must be a number in the float range"},
  };
  for (const Case& c : cases) {
    INFO(c.text);
    CHECK(error_of(c.text) == "g.json: error: " + c.message);
  }
  // The smallest float and zero itself stay readable.
  for (const char* epsilon : {"1e-45", "0", "-0.0", "3.4028234e38"}) {
    INFO(epsilon);
    CHECK(read_graph_file(head + R"("steps": [)" + x +
                              R"(, {"op": "layer_norm", "name": "n", "input": "x", "epsilon": )" +
                              epsilon + "}]}",
                          "g.json"));
  }
}

TEST_CASE("a misspelt field is unknown, named with the field it most likely stands for",
          "[graph file]") {
  const std::string x = R"({"op": "input", "name": "x", "shape": [4, 8]},)";
  const std::string w = R"({"op": "weight", "name": "w", "shape": [8, 512]},)";
  struct Case {
    std::string text;
    std::string message;
  };
  const std::vector<Case> cases{
      // Reported before the field it stands for is missed, in steps and in the document.
      {with_steps(x + w + R"({"op": "layer_norm", "name": "n", "input": "x", "epsilom": 0.1})"),
       "step 3 \"n\": unknown field $.steps[2].epsilom (did you mean epsilon?)"},
      {with_steps(x + R"({"op": "matmul", "name": "y", "lfet": "x", "right": "x"})"),
       "step 2 \"y\": unknown field $.steps[1].lfet (did you mean left?)"},
      {with_steps(x + R"({"op": "output", "tensr": "x"})"),
       "step 2: unknown field $.steps[1].tensr (did you mean tensor?)"},
      {R"({"format": "orvik-graph", "version": 1, "stpes": []})",
       "unknown field $.stpes (did you mean steps?)"},
      {R"({"fromat": "orvik-graph", "version": 1, "steps": []})",
       "unknown field $.fromat (did you mean format?)"},
      {R"({"format": "orvik-graph", "versoin": 1, "steps": []})",
       "unknown field $.versoin (did you mean version?)"},
      // Before other faults of the step or the document too.
      {with_steps(x + R"({"op": "gelu", "name": "x", "input": "x", "nmae": "z"})"),
       "step 2 \"x\": unknown field $.steps[1].nmae"},
      {R"({"format": "orvik-graph", "version": 2, "steps": {}, "step": []})",
       "unknown field $.step"},
      // A step without its kind, or of a kind that does not exist, is held to every kind's
      // fields.
      {with_steps(R"({"opp": "input", "name": "x", "shape": [2]})"),
       "step 1 \"x\": unknown field $.steps[0].opp (did you mean op?)"},
      {with_steps(R"({"op": "fold", "name": "x", "axes": 0})"),
       "step 1 \"x\": unknown field $.steps[0].axes (did you mean axis?)"},
      {with_steps(R"({"op": "fold", "name": "x", "axis": 0})"),
       "step 1 \"x\": unknown step kind \"fold\""},
      // A slip of the fingers, two letters swapped among them, gets a suggestion; more edits
      // than slips explain, for the length of the name typed, get none.
      {with_steps(x + R"({"op": "layer_norm", "name": "n", "input": "x", "epsilno": 0.1})"),
       "step 2 \"n\": unknown field $.steps[1].epsilno (did you mean epsilon?)"},
      {with_steps(x + R"({"op": "softmax", "name": "s", "input": "x", "ax": 0})"),
       "step 2 \"s\": unknown field $.steps[1].ax"},
      {with_steps(x + R"({"op": "layer_norm", "name": "n", "input": "x", "epsXXXn": 0.1})"),
       "step 2 \"n\": unknown field $.steps[1].epsXXXn"},
      {with_steps(x + R"({"op": "transpose", "name": "t", "input": "x", "perm": [1, 0]})"),
       "step 2 \"t\": unknown field $.steps[1].perm"},
      {with_steps(R"({"id": 1, "name": "x", "shape": [2]})"),
       "step 1 \"x\": unknown field $.steps[0].id"},
      // Nor for a field the step already has.
      {with_steps(R"({"op": "input", "name": "x", "shape": [2], "shapes": [2]})"),
       "step 1 \"x\": unknown field $.steps[0].shapes"},
      // A document of another format says so, whatever else it holds.
      {R"({"format": "orvik-schedule", "tiles": 4})",
       "the field \"format\" must be \"orvik-graph\""},
  };
  for (const Case& c : cases) {
    INFO(c.text);
    CHECK(error_of(c.text) == "g.json: error: " + c.message);
  }
}

TEST_CASE("the document must be a graph file of version 1", "[graph file]") {
  CHECK(error_of("[]") == "g.json: error: a graph file must be a JSON object");
  CHECK(error_of(R"({"format": "other", "version": 1, "steps": []})") ==
        "g.json: error: the field \"format\" must be \"orvik-graph\"");
  CHECK(error_of(R"({"format": "orvik-graph", "version": 2, "steps": []})") ==
        "g.json: error: unsupported graph file version; this tool reads version 1");
  CHECK(error_of(R"({"format": "orvik-graph", "version": 1, "steps": {}})") ==
        "g.json: error: the field \"steps\" must be an array");
}

TEST_CASE("a bad step is reported by position and name with its reason", "[graph file]") {
  const std::string x = R"({"op": "input", "name": "x", "shape": [2, 3]},)";
  struct Case {
    std::string steps;
    std::string message;
  };
  const std::vector<Case> cases{
      {"7", "step 1: a step must be an object"},
      {R"({"name": "x"})", "step 1 \"x\": missing field \"op\""},
      {R"({"op": "input", "name": "x"})", "step 1 \"x\": missing field \"shape\""},
      {R"({"op": "input", "name": "x", "shape": [2, -1]})",
       "step 1 \"x\": field \"shape\" must be an array of non-negative integers"},
      {R"({"op": "input", "name": 5, "shape": [2]})", "step 1: field \"name\" must be a string"},
      {x + R"({"op": "input", "name": "x", "shape": [1]})",
       "step 2 \"x\": name \"x\" is already defined"},
      {x + R"({"op": "gelu", "name": "y", "input": "z"})", "step 2 \"y\": unknown tensor \"z\""},
      {x + R"({"op": "fold", "name": "y", "input": "x"})",
       "step 2 \"y\": unknown step kind \"fold\""},
      {x + R"({"op": "matmul", "name": "y", "left": "x", "right": "x"})",
       "step 2 \"y\": y: incompatible matmul [2, 3] x [2, 3]"},
      {x + R"({"op": "softmax", "name": "s", "input": "x", "axis": 2.5})",
       "step 2 \"s\": field \"axis\" must be a non-negative integer"},
      {x + R"({"op": "layer_norm", "name": "n", "input": "x", "epsilon": "small"})",
       "step 2 \"n\": field \"epsilon\" must be a number in the float range"},
      {x + R"({"op": "layer_norm", "name": "n", "input": "x", "epsilon": -1e39})",
       "step 2 \"n\": field \"epsilon\" must be a number in the float range"},
      {x + R"({"op": "output", "tensor": "nothing"})", "step 2: unknown tensor \"nothing\""},
      {x + R"({"op": "reshape", "name": "r", "input": "x", "shape": [4294967296, 4294967296]})",
       "step 2 \"r\": tensor element count overflows 64 bits"},
  };
  for (const Case& c : cases) {
    CHECK(error_of(with_steps(c.steps)) == "g.json: error: " + c.message);
  }
}

TEST_CASE("every kind of step replays through the builder", "[graph file]") {
  const auto result = read_graph_file(with_steps(R"(
    {"op": "input", "name": "x", "shape": [2, 3]},
    {"op": "weight", "name": "w", "shape": [3, 3]},
    {"op": "matmul", "name": "m", "left": "x", "right": "w"},
    {"op": "add", "name": "a", "left": "m", "right": "x"},
    {"op": "mul", "name": "p", "left": "a", "right": "a"},
    {"op": "transpose", "name": "t", "input": "p", "permutation": [1, 0]},
    {"op": "layer_norm", "name": "n", "input": "t", "epsilon": 0.5},
    {"op": "softmax", "name": "s", "input": "n", "axis": 0},
    {"op": "gelu", "name": "g", "input": "s"},
    {"op": "reshape", "name": "r", "input": "g", "shape": [6]},
    {"op": "output", "tensor": "r"},
    {"op": "output", "tensor": "x"})"),
                                      "g.json");
  REQUIRE(result);
  const orvik_compiler::Graph& graph = *result;
  CHECK(graph.ops.size() == 8);
  CHECK(graph.outputs.size() == 2);
  CHECK(graph.ops[4].kind == orvik_compiler::OpKind{orvik_compiler::OpKind::LayerNorm{0.5F}});
  CHECK(graph.validate().has_value());

  // Written back, the graph file replays to the same graph.
  const ToolResult<std::string> written = write_graph_file(graph);
  REQUIRE(written);
  const ToolResult<orvik_compiler::Graph> reread = read_graph_file(*written, "again.json");
  REQUIRE(reread);
  CHECK(*reread == graph);
}

/// A graph that uses every kind of operation and both element types, built through the builder.
orvik_compiler::Graph every_kind_graph() {
  using orvik_compiler::DType;
  orvik_compiler::Graph g;
  const auto x = g.input("x", {2, 3, 4});
  const auto w = g.weight("w", {4, 4});
  const auto ids = g.input("ids", {2, 3}, DType::I32);
  const auto table = g.weight("table", {10, 4});
  const auto codes = g.weight("codes", {5, 2}, DType::I32);
  auto t = g.batch_matmul("bm", x, w).value();
  t = g.sub("sub", t, x).value();
  t = g.div("div", t, x).value();
  t = g.maximum("max", t, x).value();
  t = g.minimum("min", t, x).value();
  t = g.pow("pow", t, x).value();
  t = g.erf("erf", t).value();
  t = g.tanh("tanh", t).value();
  t = g.exp("exp", t).value();
  t = g.log("log", t).value();
  t = g.sqrt("sqrt", t).value();
  t = g.reciprocal("recip", t).value();
  t = g.neg("neg", t).value();
  t = g.abs("abs", t).value();
  t = g.relu("relu", t).value();
  t = g.sigmoid("sig", t).value();
  const auto rows = g.reshape("rows", t, {6, 4}).value();
  t = g.matmul("mm", rows, w).value();
  t = g.add("add", t, rows).value();
  t = g.mul("mul", t, t).value();
  t = g.transpose("tr", t, {1, 0}).value();
  t = g.layer_norm("ln", t, 0.5F).value();
  t = g.softmax("sm", t, 1).value();
  t = g.gelu("gelu", t).value();
  const auto wide = g.broadcast("bc", t, {2, 4, 6}).value();
  const auto every_other = g.slice("odd", wide, 2, 1, 6, 2).value();
  const auto first = g.slice("first", wide, 0, 0, 1).value();
  const auto joined = g.concat("cat", {every_other, every_other, every_other}, 2).value();
  const auto rows_of = g.gather("emb", table, ids).value();
  const auto sum = g.reduce_sum("rsum", rows_of, 2).value();
  g.mark_output(g.reduce_mean("rmean", rows_of, 0).value());
  g.mark_output(g.reduce_max("rmax", rows_of, 1).value());
  const auto whole = g.cast("toint", sum, DType::I32).value();
  g.mark_output(g.cast("tofloat", whole, DType::F32).value());
  const auto flipped = g.transpose("idsT", ids, {1, 0}).value();
  g.mark_output(g.gather("picked", codes, flipped).value());
  g.mark_output(joined);
  g.mark_output(first);
  return g;
}

/// `every_kind_graph` as a graph file.
const std::string every_kind_file = R"({"format": "orvik-graph", "version": 1, "steps": [
  {"op":"input","name":"x","shape":[2,3,4]},
  {"op":"weight","name":"w","shape":[4,4]},
  {"op":"input","name":"ids","shape":[2,3],"dtype":"i32"},
  {"op":"weight","name":"table","shape":[10,4]},
  {"op":"weight","name":"codes","shape":[5,2],"dtype":"i32"},
  {"op":"batch_matmul","name":"bm","left":"x","right":"w"},
  {"op":"sub","name":"sub","left":"bm","right":"x"},
  {"op":"div","name":"div","left":"sub","right":"x"},
  {"op":"maximum","name":"max","left":"div","right":"x"},
  {"op":"minimum","name":"min","left":"max","right":"x"},
  {"op":"pow","name":"pow","left":"min","right":"x"},
  {"op":"erf","name":"erf","input":"pow"},
  {"op":"tanh","name":"tanh","input":"erf"},
  {"op":"exp","name":"exp","input":"tanh"},
  {"op":"log","name":"log","input":"exp"},
  {"op":"sqrt","name":"sqrt","input":"log"},
  {"op":"reciprocal","name":"recip","input":"sqrt"},
  {"op":"neg","name":"neg","input":"recip"},
  {"op":"abs","name":"abs","input":"neg"},
  {"op":"relu","name":"relu","input":"abs"},
  {"op":"sigmoid","name":"sig","input":"relu"},
  {"op":"reshape","name":"rows","input":"sig","shape":[6,4]},
  {"op":"matmul","name":"mm","left":"rows","right":"w"},
  {"op":"add","name":"add","left":"mm","right":"rows"},
  {"op":"mul","name":"mul","left":"add","right":"add"},
  {"op":"transpose","name":"tr","input":"mul","permutation":[1,0]},
  {"op":"layer_norm","name":"ln","input":"tr","epsilon":0.5},
  {"op":"softmax","name":"sm","input":"ln","axis":1},
  {"op":"gelu","name":"gelu","input":"sm"},
  {"op":"broadcast","name":"bc","input":"gelu","shape":[2,4,6]},
  {"op":"slice","name":"odd","input":"bc","axis":2,"start":1,"stop":6,"step":2},
  {"op":"slice","name":"first","input":"bc","axis":0,"start":0,"stop":1},
  {"op":"concat","name":"cat","inputs":["odd","odd","odd"],"axis":2},
  {"op":"gather","name":"emb","table":"table","indices":"ids"},
  {"op":"reduce_sum","name":"rsum","input":"emb","axis":2},
  {"op":"reduce_mean","name":"rmean","input":"emb","axis":0},
  {"op":"reduce_max","name":"rmax","input":"emb","axis":1},
  {"op":"cast","name":"toint","input":"rsum","dtype":"i32"},
  {"op":"cast","name":"tofloat","input":"toint","dtype":"f32"},
  {"op":"transpose","name":"idsT","input":"ids","permutation":[1,0]},
  {"op":"gather","name":"picked","table":"codes","indices":"idsT"},
  {"op":"output","tensor":"rmean"},
  {"op":"output","tensor":"rmax"},
  {"op":"output","tensor":"tofloat"},
  {"op":"output","tensor":"picked"},
  {"op":"output","tensor":"cat"},
  {"op":"output","tensor":"first"}
]}
)";

TEST_CASE("every kind and both element types round trip", "[graph file]") {
  const orvik_compiler::Graph built = every_kind_graph();
  std::set<std::size_t> kinds;
  for (const orvik_compiler::Op& op : built.ops) {
    kinds.insert(op.kind.value.index());
  }
  REQUIRE(kinds.size() == std::variant_size_v<orvik_compiler::OpKind::Variant>);

  // A built graph is written as the file above, which reads as the same graph and writes back
  // byte for byte.
  const ToolResult<std::string> written = write_graph_file(built);
  REQUIRE(written);
  CHECK(*written == every_kind_file);
  const ToolResult<orvik_compiler::Graph> read = read_graph_file(every_kind_file, "g.json");
  REQUIRE(read);
  CHECK(*read == built);
  CHECK(read->tensors[2].dtype == orvik_compiler::DType::I32);
  CHECK(read->ops[25].kind == orvik_compiler::OpKind{orvik_compiler::OpKind::Slice{2, 1, 6, 2}});
  CHECK(*write_graph_file(*read) == every_kind_file);

  // The optional fields given at their defaults read the same and are written without them.
  const ToolResult<orvik_compiler::Graph> explicit_defaults =
      read_graph_file(with_steps(R"({"op": "input", "name": "x", "shape": [3], "dtype": "f32"},
                    {"op": "slice", "name": "s", "input": "x", "axis": 0, "start": 0,
                     "stop": 2, "step": 1})"),
                      "g.json");
  REQUIRE(explicit_defaults);
  CHECK(*write_graph_file(*explicit_defaults) ==
        "{\"format\": \"orvik-graph\", \"version\": 1, \"steps\": [\n"
        "  {\"op\":\"input\",\"name\":\"x\",\"shape\":[3]},\n"
        "  {\"op\":\"slice\",\"name\":\"s\",\"input\":\"x\",\"axis\":0,\"start\":0,\"stop\":2}\n"
        "]}\n");
}

TEST_CASE("the new kinds' fields are read as strictly as the others", "[graph file]") {
  const std::string x = R"({"op": "input", "name": "x", "shape": [2, 3]},)";
  const std::string ids = R"({"op": "input", "name": "ids", "shape": [4], "dtype": "i32"},)";
  struct Case {
    std::string steps;
    std::string message;
  };
  const std::vector<Case> cases{
      // Missing and ill-typed fields.
      {x + ids + R"({"op": "gather", "name": "g", "indices": "ids"})",
       "step 3 \"g\": missing field \"table\""},
      {x + R"({"op": "cast", "name": "c", "input": "x"})", "step 2 \"c\": missing field \"dtype\""},
      {x + R"({"op": "slice", "name": "s", "input": "x", "axis": 1, "start": 0})",
       "step 2 \"s\": missing field \"stop\""},
      {x + R"({"op": "cast", "name": "c", "input": "x", "dtype": "f64"})",
       "step 2 \"c\": field \"dtype\" must be \"f32\" or \"i32\""},
      {R"({"op": "input", "name": "x", "shape": [2], "dtype": "I32"})",
       "step 1 \"x\": field \"dtype\" must be \"f32\" or \"i32\""},
      {x + R"({"op": "concat", "name": "c", "inputs": "x", "axis": 0})",
       "step 2 \"c\": field \"inputs\" must be an array of strings"},
      {x + R"({"op": "concat", "name": "c", "inputs": ["x", 1], "axis": 0})",
       "step 2 \"c\": field \"inputs\" must be an array of strings"},
      {x + R"({"op": "concat", "name": "c", "inputs": ["x", "y"], "axis": 0})",
       "step 2 \"c\": unknown tensor \"y\""},
      {x + R"({"op": "slice", "name": "s", "input": "x", "axis": 1, "start": 0, "stop": 2,
               "step": -1})",
       "step 2 \"s\": field \"step\" must be a non-negative integer"},
      // Fields of other kinds, and misspelt ones.
      {x + R"({"op": "add", "name": "a", "left": "x", "right": "x", "dtype": "f32"})",
       "step 2 \"a\": unknown field $.steps[1].dtype"},
      {x + R"({"op": "gelu", "name": "g", "input": "x", "step": 1})",
       "step 2 \"g\": unknown field $.steps[1].step"},
      {x + ids + R"({"op": "gather", "name": "g", "table": "x", "indeces": "ids"})",
       "step 3 \"g\": unknown field $.steps[2].indeces (did you mean indices?)"},
      {x + R"({"op": "concat", "name": "c", "input": ["x"], "axis": 0})",
       "step 2 \"c\": unknown field $.steps[1].input (did you mean inputs?)"},
      {x + R"({"op": "slice", "name": "s", "input": "x", "axis": 1, "strat": 0, "stop": 2})",
       "step 2 \"s\": unknown field $.steps[1].strat (did you mean start?)"},
      {R"({"op": "input", "name": "x", "shape": [2], "dtpye": "i32"})",
       "step 1 \"x\": unknown field $.steps[0].dtpye (did you mean dtype?)"},
      // The builder's own messages.
      {x + R"({"op": "slice", "name": "s", "input": "x", "axis": 1, "start": 0, "stop": 2,
               "step": 0})",
       "step 2 \"s\": s: invalid slice"},
      {x + R"({"op": "concat", "name": "c", "inputs": [], "axis": 0})",
       "step 2 \"c\": c: incompatible concat"},
      {x + R"({"op": "gather", "name": "g", "table": "x", "indices": "x"})",
       "step 2 \"g\": g: operand 1 is F32, expected I32"},
      {x + ids + R"({"op": "concat", "name": "c", "inputs": ["x", "ids"], "axis": 0})",
       "step 3 \"c\": c: operand 1 is I32, expected F32"},
      {x + R"({"op": "broadcast", "name": "b", "input": "x", "shape": [3]})",
       "step 2 \"b\": b: cannot broadcast [2, 3] to [3]"},
      {x + R"({"op": "broadcast", "name": "b", "input": "x",
               "shape": [4294967296, 4294967296, 3]})",
       "step 2 \"b\": tensor element count overflows 64 bits"},
  };
  for (const Case& c : cases) {
    INFO(c.steps);
    CHECK(error_of(with_steps(c.steps)) == "g.json: error: " + c.message);
  }
}

TEST_CASE("an op whose operands do not fit its kind's fields is not written", "[graph file]") {
  using orvik_compiler::OpKind;
  using orvik_compiler::TensorId;
  // Records appended by hand, as no builder call makes them.
  const auto with_op = [](OpKind kind, std::vector<TensorId> inputs) {
    orvik_compiler::Graph graph;
    graph.input("x", {2});
    graph.tensors.push_back({TensorId{1},
                             "y",
                             {},
                             {2},
                             orvik_compiler::TensorKind::Intermediate,
                             orvik_compiler::OpId{0}});
    graph.ops.push_back(
        {orvik_compiler::OpId{0}, "y", std::move(kind), std::move(inputs), TensorId{1}});
    return write_graph_file(graph);
  };
  for (const auto& [kind, inputs] : std::vector<std::pair<OpKind, std::vector<TensorId>>>{
           {OpKind::Concat{0}, {}},
           {OpKind::Gather{}, {TensorId{0}}},
           {OpKind::Exp{}, {TensorId{0}, TensorId{0}}},
           {OpKind::Sub{}, {TensorId{0}}}}) {
    const ToolResult<std::string> written = with_op(kind, inputs);
    REQUIRE(!written);
    CHECK(written.failure().message == "orvik: error: op \"y\" has an unexpected operand count");
  }
  CHECK(with_op(OpKind::Concat{0}, {TensorId{0}, TensorId{0}}));
}

TEST_CASE("graphs that a graph file cannot express are refused", "[graph file]") {
  orvik_compiler::Graph graph;
  graph.input("x", {1});
  graph.input("x", {2});
  const ToolResult<std::string> written = write_graph_file(graph);
  REQUIRE(!written);
  CHECK(written.failure().exit_status == exit_compile_error);
  CHECK(written.failure().message == "orvik: error: the name \"x\" is used twice, so the graph "
                                     "cannot be written as a graph file");
}

} // namespace
} // namespace orvik_tool
