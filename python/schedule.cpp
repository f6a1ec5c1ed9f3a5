// The compiler's options and the records of a schedule in Python. A schedule cannot change once
// made, so its records are read-only views that keep the schedule alive.

#include "bindings.hpp"

#include "schedule_io/schedule_json.hpp"

namespace orvik_python {
namespace {

namespace oc = orvik_compiler;
using namespace pybind11::literals;

void bind_options(py::module_& module) {
  py::class_<oc::CompilerOptions> options(
      module, "CompilerOptions",
      "The target: its tile count and the byte window of every tile's data memory.");
  options
      .def(
          py::init([](std::uint16_t tile_count, std::uint32_t data_base, std::uint32_t data_limit) {
            return oc::CompilerOptions{tile_count, data_base, data_limit};
          }),
          "tile_count"_a = oc::CompilerOptions{}.tile_count,
          "data_base"_a = oc::CompilerOptions{}.data_base,
          "data_limit"_a = oc::CompilerOptions{}.data_limit,
          "Options with the given fields; the defaults are 64 tiles and the window "
          "0x52000..0xE0000.")
      .def_readwrite("tile_count", &oc::CompilerOptions::tile_count, "Number of tiles, 1 to 65535.")
      .def_readwrite("data_base", &oc::CompilerOptions::data_base,
                     "First byte address of every tile's data window.")
      .def_readwrite("data_limit", &oc::CompilerOptions::data_limit,
                     "First address past the data window.");
  with_equality_and_repr(options);
}

void bind_layouts(py::module_& module) {
  py::enum_<oc::Sharding>(module, "Sharding", "The label of a tensor's split over its tiles.")
      .value("Replicated", oc::Sharding::Replicated)
      .value("Rows", oc::Sharding::Rows)
      .value("Columns", oc::Sharding::Columns)
      .value("Heads", oc::Sharding::Heads);

  py::class_<oc::Layout> layout(module, "Layout",
                                "Where one tensor lives: share i is on tiles[i]; read-only.");
  layout.def_readonly("tensor", &oc::Layout::tensor, "The tensor laid out.")
      .def_readonly("tiles", &oc::Layout::tiles, "The tile of each share, in share order.")
      .def_readonly("sharding", &oc::Layout::sharding, "The label of the split.")
      .def_readonly("alignment", &oc::Layout::alignment,
                    "Byte alignment of the tensor's blocks on each tile.");
  with_equality_and_repr(layout);

  py::class_<oc::Allocation> allocation(
      module, "Allocation",
      "One block of one tile's data memory: bytes [address, address + size) from phase "
      "live_from to phase live_until, both inclusive; read-only.");
  allocation.def_readonly("tensor", &oc::Allocation::tensor, "The tensor whose share it holds.")
      .def_readonly("tile", &oc::Allocation::tile, "The tile.")
      .def_readonly("address", &oc::Allocation::address, "The first byte address.")
      .def_readonly("size", &oc::Allocation::size, "The block's size in bytes.")
      .def_readonly("live_from", &oc::Allocation::live_from, "The first phase it is live in.")
      .def_readonly("live_until", &oc::Allocation::live_until, "The last phase it is live in.");
  with_equality_and_repr(allocation);
}

void bind_phases(py::module_& module) {
  py::class_<oc::SpecializationKey> key(module, "SpecializationKey",
                                        "Which kernel variant a tile runs; read-only.");
  key.def_readonly("operation", &oc::SpecializationKey::operation,
                   "The kernel name, for example \"matmul\".")
      .def_readonly("shape", &oc::SpecializationKey::shape,
                    "The full shape of the operation's output tensor.")
      .def_readonly("worker_count", &oc::SpecializationKey::worker_count,
                    "Workers of the kernel: 1 or 6.")
      .def_readonly("role", &oc::SpecializationKey::role,
                    "\"tail\" on the last tile of the output layout, \"body\" on every other.")
      .def_readonly("alignment", &oc::SpecializationKey::alignment,
                    "The output's block alignment.");
  with_equality_and_repr(key);

  py::class_<oc::KernelCommand> command(module, "KernelCommand",
                                        "One tile's part of one compute phase; read-only.");
  command.def_readonly("tile", &oc::KernelCommand::tile, "The tile that runs the kernel.")
      .def_readonly("output", &oc::KernelCommand::output, "The tensor it computes.")
      .def_readonly("inputs", &oc::KernelCommand::inputs, "The tensors it reads, in order.")
      .def_readonly("specialization", &oc::KernelCommand::specialization, "The kernel variant.");
  with_equality_and_repr(command);

  py::class_<oc::Transfer> transfer(module, "Transfer",
                                    "One share of a tensor sent between two tiles; read-only.");
  transfer.def_readonly("source_tile", &oc::Transfer::source_tile, "The sending tile.")
      .def_readonly("destination_tile", &oc::Transfer::destination_tile, "The receiving tile.")
      .def_readonly("tensor", &oc::Transfer::tensor, "The tensor whose share moves.")
      .def_readonly("bytes", &oc::Transfer::bytes, "Bytes of one share.");
  with_equality_and_repr(transfer);

  py::class_<oc::Phase> phase(module, "Phase",
                              "The kinds of schedule step, as classes nested here: "
                              "`Schedule.phases` holds `Phase.Exchange` and `Phase.Compute` "
                              "objects.");
  py::class_<oc::Phase::Exchange> exchange(phase, "Exchange",
                                           "An exchange epoch of transfers; read-only.");
  exchange.def_readonly("transfers", &oc::Phase::Exchange::transfers, "The transfers, in order.");
  with_equality_and_repr(exchange);
  py::class_<oc::Phase::Compute> compute(
      phase, "Compute",
      "The computation of one operation, one command per tile of its output; read-only.");
  compute.def_readonly("op", &oc::Phase::Compute::op, "The operation computed.")
      .def_readonly("commands", &oc::Phase::Compute::commands,
                    "One command per output tile, in the order of the output layout's tiles.");
  with_equality_and_repr(compute);
}

} // namespace

void bind_schedule(py::module_& module) {
  bind_options(module);
  bind_layouts(module);
  bind_phases(module);

  py::class_<oc::Schedule> schedule(module, "Schedule",
                                    "The result of `compile`; read-only. Its lists are built "
                                    "on each access.");
  schedule
      .def_readonly("layouts", &oc::Schedule::layouts,
                    "The layout of every tensor, in tensor order.")
      .def_property_readonly(
          "phases",
          [](const py::object& self) {
            py::list phases;
            for (const oc::Phase& phase : self.cast<const oc::Schedule&>().phases) {
              phases.append(
                  py::cast(phase.value, py::return_value_policy::reference_internal, self));
            }
            return phases;
          },
          "The steps in order: `Phase.Exchange` and `Phase.Compute` objects.")
      .def_readonly("allocations", &oc::Schedule::allocations,
                    "Every block on every tile, in tensor order, then in layout tile order.")
      .def_readonly("tile_count", &oc::Schedule::tile_count, "The target's tile count.")
      .def_readonly("peak_sram", &oc::Schedule::peak_sram,
                    "For each tile that holds a block, its highest block end above data_base, "
                    "as a dict from tile to bytes.")
      .def(
          "to_json",
          [](const oc::Schedule& self) {
            const py::gil_scoped_release release;
            return oc::schedule_io::schedule_json(self);
          },
          "The schedule as JSON text, exactly as `orvik compile --emit json` writes it "
          "(schema \"orvik-schedule\", version 1).");
  with_equality_and_repr(schedule);
}

} // namespace orvik_python
