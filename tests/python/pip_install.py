"""`pip install` of the Python module as a user runs it, on a copy of the source tree, so that
nothing is written into the tree itself: setup.py builds the module with CMake, pip installs it
with its type stubs beside it, and a fresh interpreter imports it from there and compiles a
graph. Run with the interpreter the module is for; the argument is the source tree."""

import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

# Build trees, installed npm packages and version control, at the top of the tree, and the
# byproducts of builds anywhere: none of them are sources.
TOP_LEVEL_SKIPPED = {"node_modules", ".git", ".cache", "out"}
SKIPPED_ANYWHERE = {"__pycache__"}

# Imported in a fresh interpreter from the install directory: the module found there, not the
# build tree's, a small encoder compiled and verified, and the stubs beside the module.
CHECK = """
import pathlib, sys
import orvik_compiler as oc
target = pathlib.Path(sys.argv[1]).resolve()
module = pathlib.Path(oc.__file__).resolve()
assert module.parent == target, f"module imported from {module}, not from {target}"
assert (target / "orvik_compiler.pyi").is_file(), "no orvik_compiler.pyi beside the module"
graph = oc.encoder_graph(oc.EncoderConfig(sequence=8, hidden=16, heads=2, feed_forward=32))
options = oc.CompilerOptions()
schedule = oc.compile(graph, options)
oc.verify_schedule(graph, options, schedule)
assert len(schedule.phases) > 0
print("installed module compiled", len(schedule.phases), "phases")
"""


def source_files_only(root):
    """The ignore function of shutil.copytree for a copy of the source tree at `root`."""

    def not_sources(directory, names):
        top = pathlib.Path(directory) == root
        return {
            name
            for name in names
            if name in SKIPPED_ANYWHERE
            or name.endswith(".egg-info")
            or (top and (name in TOP_LEVEL_SKIPPED or name.startswith("build")))
        }

    return not_sources


def main(root):
    with tempfile.TemporaryDirectory(prefix="orvik-pip-") as scratch:
        scratch = pathlib.Path(scratch)
        source = scratch / "source"
        target = scratch / "installed"
        shutil.copytree(root, source, ignore=source_files_only(root), symlinks=True)
        environment = dict(os.environ)
        environment.pop("PYTHONPATH", None)
        # ccache finds the objects of earlier runs, built in other scratch directories, when
        # it hashes paths relative to this one.
        environment["CCACHE_BASEDIR"] = str(scratch)
        subprocess.run(
            [sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-deps",
             "--no-index", "--disable-pip-version-check", "--root-user-action=ignore", "--target", str(target), "."],
            cwd=source, env=environment, check=True)
        subprocess.run([sys.executable, "-B", "-c", CHECK, str(target)], cwd=scratch,
                       env={**environment, "PYTHONPATH": str(target)}, check=True)


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]).resolve())
