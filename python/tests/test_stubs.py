"""The type stubs name what the module offers, so that editors complete it."""
import ast
import pathlib

import varnel

STUBS = pathlib.Path(__file__).resolve().parent.parent / "varnel.pyi"


def stub_names():
    tree = ast.parse(STUBS.read_text())
    top, members = set(), {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            top.add(node.name)
            members[node.name] = {item.name for item in node.body
                                  if isinstance(item, (ast.FunctionDef, ast.ClassDef))}
            members[node.name] |= {item.target.id for item in node.body
                                   if isinstance(item, ast.AnnAssign)}
        elif isinstance(node, ast.AnnAssign):
            top.add(node.target.id)
    return top, members


def public(obj):
    return {name for name in dir(obj) if not name.startswith("_")}


def test_every_module_name_and_graph_method_has_a_stub():
    top, members = stub_names()
    assert public(varnel) <= top
    for name in ("Graph", "SceneView", "Interval", "Node", "Index", "NodeItem", "NodeRecord",
                 "RelationRecord"):
        assert public(getattr(varnel, name)) <= members[name], name
