"""The module as a whole: a docstring on everything, and the Python examples of the README and
of the module's documentation page."""

import inspect
import re

import orvik_compiler as oc
from conftest import SOURCE_ROOT

# Special methods that the bindings define themselves and document.
DOCUMENTED_SPECIAL = {"__init__", "__eq__", "__repr__", "__hash__"}
# What a class without a constructor has as `__init__`: a slot that refuses to construct.
SLOT = type(object.__init__)


def is_enum(cls):
    return hasattr(cls, "__members__")


def bound_classes(namespace):
    """Every class the module defines, nested ones included."""
    for name, value in vars(namespace).items():
        if inspect.isclass(value) and value.__module__ == "orvik_compiler" and not name.startswith("_"):
            yield value
            yield from bound_classes(value)


def described(doc):
    """True when a pybind11 docstring says more than the signature on its first line."""
    return doc is not None and doc.partition("\n")[2].strip() != ""


def test_every_function_class_method_and_field_has_a_docstring():
    undocumented = []
    for name, value in vars(oc).items():
        if callable(value) and not inspect.isclass(value) and not name.startswith("_"):
            if not described(value.__doc__):
                undocumented.append(name)
    for cls in bound_classes(oc):
        if not cls.__doc__:
            undocumented.append(cls.__qualname__)
        if is_enum(cls):
            continue
        for name, member in vars(cls).items():
            if name.startswith("__") and name not in DOCUMENTED_SPECIAL or member is None:
                continue
            if inspect.isclass(member) or isinstance(member, SLOT):
                continue
            if isinstance(member, property):
                if not member.__doc__:
                    undocumented.append(f"{cls.__qualname__}.{name}")
            elif not described(getattr(member, "__doc__", None)):
                undocumented.append(f"{cls.__qualname__}.{name}")
    assert undocumented == []


def run_examples(relative_path):
    text = (SOURCE_ROOT / relative_path).read_text()
    examples = re.findall(r"```python\n(.*?)```", text, re.DOTALL)
    assert examples, relative_path
    for example in examples:
        exec(compile(example, relative_path, "exec"), {})


def test_the_readme_python_example_runs(capsys):
    run_examples("README.md")
    printed = capsys.readouterr().out
    assert printed.startswith("tile 0: 2176 bytes\n")
    assert printed.endswith("\n(4, 512) 4.0\n")


def test_the_python_page_examples_run(capsys):
    run_examples("docs/python.md")
    printed = capsys.readouterr().out
    assert printed.startswith("tile 0: 2176 bytes\n")
    assert printed.endswith("\n(4, 512) 4.0\n(2, 2, 4) int32 [1, 1, 1, 2]\n3 (4, 8)\n")
