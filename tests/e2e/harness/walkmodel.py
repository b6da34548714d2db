"""What the program shows for a Unix tree mapped as a Wine drive, in walk order (Wine's listing
order, as test_walk_tree.py describes and checks it), and a maker of such trees.
"""
from __future__ import annotations

import os
import stat
from pathlib import Path


def _upper_unit(c: str) -> str:
    u = c.upper()
    return u if len(u) == 1 else c


def wine_key(name: str):
    """Sort key for Wine's folder listing: case-blind by UTF-16 unit, then exact."""
    units = name.encode("utf-16-le")
    upper = "".join(_upper_unit(c) for c in name).encode("utf-16-le")
    return ([int.from_bytes(upper[i:i + 2], "little") for i in range(0, len(upper), 2)],
            [int.from_bytes(units[i:i + 2], "little") for i in range(0, len(units), 2)])


def wine_order(names) -> list[str]:
    return sorted(names, key=wine_key)


def expected_walk(unix_dir: Path, win_dir: str, _stack: list | None = None,
                  _below_link: bool = False) -> list[str]:
    """The files the program shows below `unix_dir` (shown as `win_dir`), in walk order: depth
    first, each folder entered where it is met; a folder that is a link, or any folder below a
    link, is entered unless it is the same folder (device and inode) as one already on the
    current walk path."""
    stack = [] if _stack is None else _stack
    st = os.stat(unix_dir)
    stack.append((st.st_dev, st.st_ino))
    out: list[str] = []
    try:
        names = os.listdir(unix_dir)
    except OSError:
        names = []
    for name in wine_order(names):
        p = unix_dir / name
        wpath = win_dir + "\\" + name
        try:
            target = os.stat(p)
        except OSError:
            target = None
        if target is not None and stat.S_ISDIR(target.st_mode):
            link = p.is_symlink()
            if (link or _below_link) and (target.st_dev, target.st_ino) in stack:
                continue
            out += expected_walk(p, wpath, stack, _below_link or link)
        else:
            out.append(wpath)
    stack.pop()
    return out


def make_tree(root: Path, tree) -> None:
    for rel, content in tree:
        p = root / rel
        if rel.endswith("/"):
            p.mkdir(parents=True, exist_ok=True)
        else:
            p.parent.mkdir(parents=True, exist_ok=True)
            p.write_bytes(content)
