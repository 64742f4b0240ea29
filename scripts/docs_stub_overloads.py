"""A griffe extension for the documentation build (mkdocs.yml loads it).

A stub declares an overloaded method only by its `@typing.overload`
variants, with no implementation after them. griffe keeps such variants
aside, waiting for the implementation that carries them, so without this
the method would be missing from the reference (`Armillar.SendForce`,
`Handle.Receive`). Here each name left with variants alone becomes a member:
the last variant, holding all of them as its overloads.
"""

from __future__ import annotations

from typing import Any

import griffe


class StubOverloads(griffe.Extension):
    def on_class_members(self, *, cls: griffe.Class, **kwargs: Any) -> None:
        _promote(cls)

    def on_module_members(self, *, mod: griffe.Module, **kwargs: Any) -> None:
        _promote(mod)


def _promote(parent: griffe.Class | griffe.Module) -> None:
    for name, variants in list(parent.overloads.items()):
        if name in parent.members or not variants:
            continue
        function = variants[-1]
        function.overloads = list(variants)
        parent.set_member(name, function)
        del parent.overloads[name]
