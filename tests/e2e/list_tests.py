"""Lists the end-to-end test classes for CTest, one 'module.Class' a line: every class in a
tests/e2e/test_*.py module that defines test methods. Reads the sources; imports nothing."""
import ast
import pathlib
import sys

for path in sorted(pathlib.Path(sys.argv[1]).glob("test_*.py")):
    for node in ast.parse(path.read_text()).body:
        if isinstance(node, ast.ClassDef) and any(
                isinstance(item, ast.FunctionDef) and item.name.startswith("test")
                for item in node.body):
            print("%s.%s" % (path.stem, node.name))
