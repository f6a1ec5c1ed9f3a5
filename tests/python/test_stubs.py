"""The type stubs against the module: the same names, the same kind of member for each, and the
same parameters, read from the signatures pybind11 writes on the first line of each docstring."""

import ast
import inspect
import re

import orvik_compiler as oc
from conftest import SOURCE_ROOT

# Special methods that the bindings define themselves, and so the stubs declare too.
BOUND_SPECIAL = {"__init__", "__eq__", "__repr__", "__hash__"}
# What a class without a constructor has as `__init__`: a slot that refuses to construct.
SLOT = type(object.__init__)
# The name pybind11 gives a parameter bound without one; it cannot be passed by keyword.
UNNAMED = re.compile(r"arg\d+")
OPENING = {"(": ")", "[": "]", "{": "}"}


def stub_tree():
    return ast.parse((SOURCE_ROOT / "python" / "orvik_compiler.pyi").read_text())


def is_enum(cls):
    return hasattr(cls, "__members__")


def stub_members(node):
    """The public names a stub class or module body declares."""
    names = set()
    for statement in node.body:
        if isinstance(statement, (ast.ClassDef, ast.FunctionDef)):
            names.add(statement.name)
        elif isinstance(statement, ast.AnnAssign):
            names.add(statement.target.id)
    return {name for name in names if not name.startswith("_")}


def module_members(cls):
    if is_enum(cls):
        return set(cls.__members__)
    if cls is oc.CompileError:
        try:
            oc.Graph().validate()
        except oc.CompileError as error:
            return set(vars(error))
    return {name for name in vars(cls) if not name.startswith("_")}


def test_the_stubs_declare_exactly_the_modules_names():
    stub = stub_tree()
    module_names = {name for name in vars(oc) if not name.startswith("_")}
    assert stub_members(stub) == module_names

    def compare(stub_class, cls):
        assert stub_members(stub_class) == module_members(cls), cls.__qualname__
        for nested in stub_class.body:
            if isinstance(nested, ast.ClassDef):
                compare(nested, getattr(cls, nested.name))

    for statement in stub.body:
        if isinstance(statement, ast.ClassDef):
            compare(statement, getattr(oc, statement.name))


# ---- Signatures --------------------------------------------------------------------------
#
# A member is described as (kind, signatures): kind is "function", "method", "static",
# "property" or "field" (a property that can be set); each signature is a tuple of
# (name, has_default) for the parameters a caller passes, without `self`.


def split_top_level(text):
    """Splits at the commas outside brackets and quotes."""
    parts, depth, quote, start = [], 0, None, 0
    for at, char in enumerate(text):
        if quote:
            quote = None if char == quote else quote
        elif char in "'\"":
            quote = char
        elif char in OPENING:
            depth += 1
        elif char in OPENING.values():
            depth -= 1
        elif char == "," and depth == 0:
            parts.append(text[start:at])
            start = at + 1
    parts.append(text[start:])
    return [part.strip() for part in parts if part.strip()]


def parameter_list(signature):
    """The text between the parentheses of `name(...) -> result`."""
    opening = signature.index("(")
    depth = 0
    for at in range(opening, len(signature)):
        if signature[at] in OPENING:
            depth += 1
        elif signature[at] in OPENING.values():
            depth -= 1
            if depth == 0:
                return signature[opening + 1 : at]
    raise ValueError(f"unbalanced signature: {signature}")


def parse_bound_signature(signature, drop_self):
    parameters = []
    for part in split_top_level(parameter_list(signature)):
        if part in ("/", "*"):
            continue
        name = re.split(r"[:=]", part, maxsplit=1)[0].strip()
        parameters.append((name, "=" in part))
    return tuple(parameters[1:] if drop_self else parameters)


def bound_signatures(function, name, drop_self):
    """Every signature of a bound function: one, or one per overload."""
    lines = (function.__doc__ or "").splitlines()
    if lines and lines[0].startswith(f"{name}(*args, **kwargs)"):
        overloads = [line.split(". ", 1)[1] for line in lines if re.match(rf"\d+\. {name}\(", line)]
        return [parse_bound_signature(line, drop_self) for line in overloads]
    return [parse_bound_signature(lines[0], drop_self)]


def module_entries(namespace, prefix=""):
    """The functions, classes and members of the module, keyed by qualified name."""
    entries = {}
    for name, value in vars(namespace).items():
        qualified = prefix + name
        special = name in BOUND_SPECIAL
        if name.startswith("_") and not special or value is None or isinstance(value, SLOT):
            continue
        if inspect.isclass(value):
            if value.__module__ == "orvik_compiler":
                entries[qualified] = ("class", [])
                if value is oc.CompileError:
                    # The exception's attributes are set on each instance.
                    for field in module_members(value):
                        entries[f"{qualified}.{field}"] = ("field", [])
                elif not is_enum(value):
                    entries.update(module_entries(value, qualified + "."))
        elif isinstance(value, property):
            entries[qualified] = ("field" if value.fset else "property", [])
        elif isinstance(value, staticmethod):
            entries[qualified] = ("static", bound_signatures(value.__func__, name, False))
        elif callable(value):
            in_class = bool(prefix)
            kind = "method" if in_class else "function"
            entries[qualified] = (kind, bound_signatures(value, name, in_class))
    return entries


def stub_signature(function, drop_self):
    arguments = function.args
    positional = arguments.posonlyargs + arguments.args
    defaulted = len(positional) - len(arguments.defaults)
    parameters = [(a.arg, at >= defaulted) for at, a in enumerate(positional)]
    if arguments.vararg:
        parameters.append(("*" + arguments.vararg.arg, False))
    for argument, default in zip(arguments.kwonlyargs, arguments.kw_defaults):
        parameters.append((argument.arg, default is not None))
    if arguments.kwarg:
        parameters.append(("**" + arguments.kwarg.arg, False))
    return tuple(parameters[1:] if drop_self else parameters)


def decorators(function):
    return {ast.unparse(decorator) for decorator in function.decorator_list}


def stub_entries(node, prefix=""):
    """What the stubs declare, keyed by qualified name, in the shape of `module_entries`."""
    entries = {}
    in_class = bool(prefix)
    for statement in node.body:
        if isinstance(statement, ast.ClassDef):
            entries[prefix + statement.name] = ("class", [])
            if not any(ast.unparse(base) == "Enum" for base in statement.bases):
                entries.update(stub_entries(statement, prefix + statement.name + "."))
        elif isinstance(statement, ast.AnnAssign) and in_class:
            entries[prefix + statement.target.id] = ("field", [])
        elif isinstance(statement, ast.FunctionDef):
            qualified = prefix + statement.name
            marks = decorators(statement)
            if "property" in marks:
                entries[qualified] = ("property", [])
            elif f"{statement.name}.setter" in marks:
                entries[qualified] = ("field", [])
            elif "staticmethod" in marks:
                entries.setdefault(qualified, ("static", []))[1].append(
                    stub_signature(statement, False)
                )
            else:
                kind = "method" if in_class else "function"
                entries.setdefault(qualified, (kind, []))[1].append(
                    stub_signature(statement, in_class)
                )
    return entries


def same_parameters(bound, stub):
    if len(bound) != len(stub):
        return False
    return all(
        (UNNAMED.fullmatch(name) or name == stub_name) and default == stub_default
        for (name, default), (stub_name, stub_default) in zip(bound, stub)
    )


def test_every_bound_member_is_in_the_stubs_and_nothing_else():
    module = module_entries(oc)
    stubs = stub_entries(stub_tree())
    assert sorted(set(module) - set(stubs)) == []
    assert sorted(set(stubs) - set(module)) == []


def test_the_stubs_give_every_member_its_kind_and_parameters():
    module = module_entries(oc)
    stubs = stub_entries(stub_tree())
    drift = []
    for name in sorted(set(module) & set(stubs)):
        (kind, signatures), (stub_kind, stub_signatures) = module[name], stubs[name]
        if kind != stub_kind:
            drift.append(f"{name}: {stub_kind} in the stubs, {kind} in the module")
        elif len(signatures) != len(stub_signatures) or not all(
            same_parameters(bound, stub) for bound, stub in zip(signatures, stub_signatures)
        ):
            drift.append(f"{name}: stubs {stub_signatures}, module {signatures}")
    assert drift == []


def test_signatures_are_read_through_defaults_that_hold_commas_and_brackets():
    signature = (
        "compile(graph: orvik_compiler.Graph, options: orvik_compiler.CompilerOptions = "
        "CompilerOptions { tile_count: 64, data_base: 1 }, names: Dict[str, int] = {'a,b': 1})"
        " -> orvik_compiler.Schedule"
    )
    assert parse_bound_signature(signature, False) == (
        ("graph", False),
        ("options", True),
        ("names", True),
    )
