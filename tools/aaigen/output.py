"""Collects generated files and writes them only when every emitter has succeeded.

Files whose text has not changed are left untouched, so a regeneration rebuilds only what changed.
"""
from __future__ import annotations

import os
from typing import Dict


class Output:
    def __init__(self) -> None:
        self.files: Dict[str, str] = {}

    def add(self, relpath: str, text: str) -> None:
        if relpath in self.files:
            raise KeyError(f"{relpath} is generated twice")
        self.files[relpath] = text

    def write(self, root: str) -> None:
        for relpath, text in sorted(self.files.items()):
            path = os.path.join(root, relpath)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            try:
                with open(path, encoding="utf-8") as f:
                    if f.read() == text:
                        continue
            except FileNotFoundError:
                pass
            tmp = path + ".tmp"
            with open(tmp, "w", encoding="utf-8") as f:
                f.write(text)
            os.replace(tmp, path)
