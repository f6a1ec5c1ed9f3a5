"""The README's examples run as pasted.

Every C++ block is a program under examples/ (built and run by the suite), and the quick start
runs command by command against the built tool: each command succeeds, every file it names
exists, and a trailing comment that shows output ("# ok", "# wrote ...") is what it prints.
Paths under /tmp/ go to a scratch directory, and build/release/tools/orvik to the tool given.

usage: readme_examples.py SOURCE_ROOT ORVIK
"""

import pathlib
import re
import shlex
import subprocess
import sys
import tempfile


def blocks(text, language):
    return re.findall(rf"```{language}\n(.*?)```", text, re.DOTALL)


def check_cpp_blocks(readme, root):
    programs = [path.read_text() for path in sorted((root / "examples").glob("*.cpp"))]
    for block in blocks(readme, "cpp"):
        if not any(block in program for program in programs):
            sys.exit("a C++ block of the README is in no program under examples/:\n" + block)


def quick_start(readme):
    section = readme.split("## Quick start", 1)[1].split("\n## ", 1)[0]
    commands = blocks(section, "sh")
    if len(commands) != 1:
        sys.exit("the README's quick start has no shell block, or more than one")
    return [line for line in commands[0].splitlines() if line.strip()]


def run_quick_start(lines, root, orvik, scratch):
    for line in lines:
        command, _, comment = line.partition("  # ")
        words = shlex.split(command)
        if words[0] != "build/release/tools/orvik":
            sys.exit(f"the quick start runs something other than the tool: {line}")
        words = [orvik] + [word.replace("/tmp/", f"{scratch}/") for word in words[1:]]
        result = subprocess.run(words, cwd=root, capture_output=True, text=True)
        if result.returncode != 0:
            sys.exit(f"{line}\nexited with {result.returncode}:\n{result.stderr}")
        shown = comment.strip().replace("/tmp/", f"{scratch}/")
        if shown == "ok" or shown.startswith("wrote "):
            if shown not in result.stdout.splitlines():
                sys.exit(f"{line}\nprinted {result.stdout!r}, not {shown!r}")
        for word in words[1:]:
            if word.startswith(f"{scratch}/") and not pathlib.Path(word).exists():
                sys.exit(f"{line}\nnames {word}, which does not exist afterwards")


def main():
    root = pathlib.Path(sys.argv[1])
    orvik = sys.argv[2]
    readme = (root / "README.md").read_text()
    check_cpp_blocks(readme, root)
    with tempfile.TemporaryDirectory() as scratch:
        run_quick_start(quick_start(readme), root, orvik, scratch)
    print("the README's examples run as pasted")


if __name__ == "__main__":
    main()
