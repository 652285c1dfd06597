"""A seeded random churn of a directory tree, which knows at every moment what
the tree holds. Every name is unique for the run, since the replay of a move
between directories relies on that, and some carry a space, a non-ASCII
letter, or what the report must escape to keep a record on one line: quotes,
backslashes, line breaks, controls and a byte that is not UTF-8 (U+DCE9 is
os.fsencode's way to write the byte 0xE9). An operation changes the disk and
the bookkeeping together and returns False when the tree offers nothing to do it on."""

import os
import random
import shutil

from .trees import write


class Node:
    __slots__ = ("name", "parent", "children", "slot")

    def __init__(self, name, parent, is_dir):
        self.name = name
        self.parent = parent
        self.children = {} if is_dir else None
        self.slot = -1  # position in its Pool

    @property
    def is_dir(self):
        return self.children is not None

    def upwards(self):
        """The node and its ancestors, the top left out."""
        node = self
        while node.parent is not None:
            yield node
            node = node.parent

    def path(self):
        return "/".join(reversed([node.name for node in self.upwards()]))

    def depth(self):
        return sum(1 for _ in self.upwards())

    def contains(self, other):
        return any(node is self for node in other.upwards())

    def subtree(self):
        """The node and everything below it."""
        stack = [self]
        while stack:
            node = stack.pop()
            yield node
            stack.extend(node.children.values() if node.is_dir else ())


class Pool:
    """Nodes with O(1) add, remove and uniform choice."""

    def __init__(self):
        self.items = []

    def __len__(self):
        return len(self.items)

    def add(self, node):
        node.slot = len(self.items)
        self.items.append(node)

    def remove(self, node):
        last = self.items.pop()
        if last is not node:
            self.items[node.slot] = last
            last.slot = node.slot
        node.slot = -1

    def choice(self, rng):
        return self.items[rng.randrange(len(self.items))] if self.items else None


NAME_FLAVOURS = ["{}{}", "{}{}", "{}{}", "{} {}", "{}é{}", '{}"\\\n{}', "{}\t\x1b\x85\u2028\udce9{}"]


class Churn:
    """outside is a directory beside the tree, on its file system: where moves in come from and moves out go."""

    MAX_DEPTH = 7

    def __init__(self, seed, root, outside, max_entries=400):
        self.rng = random.Random(seed)
        self.root_path = root
        self.outside = outside
        self.max_entries = max_entries
        self.top = Node("", None, True)
        self.files = Pool()
        self.dirs = Pool()  # without the top
        self.counter = 0
        self.log = []  # one line per operation, with the paths it touched
        self.existed = set()  # every path the tree has held at some moment
        self.operations = [
            (16, self.create_file), (12, self.append_file), (8, self.delete_file),
            (8, self.rename_file), (3, self.rename_file_over_file), (8, self.move_file),
            (3, self.move_file_renamed), (7, self.make_chain), (5, self.rename_dir),
            (2, self.rename_dir_over_empty_dir), (5, self.move_dir), (3, self.move_dir_renamed),
            (3, self.remove_tree), (4, self.move_out), (5, self.move_in),
        ]
        self.shrinking = [(8, self.delete_file), (3, self.remove_tree), (4, self.move_out)]

    def fresh(self, kind):
        self.counter += 1
        flavour = NAME_FLAVOURS[self.rng.randrange(len(NAME_FLAVOURS))]
        return flavour.format(kind, self.counter)

    def full(self, node_or_path):
        rel = node_or_path if isinstance(node_or_path, str) else node_or_path.path()
        return os.path.join(self.root_path, rel) if rel else self.root_path

    def attach(self, node):
        node.parent.children[node.name] = node
        (self.dirs if node.is_dir else self.files).add(node)
        self.existed.add(node.path())

    def detach(self, node):
        del node.parent.children[node.name]
        for current in node.subtree():
            (self.dirs if current.is_dir else self.files).remove(current)

    def relocate(self, node, parent, name):
        del node.parent.children[node.name]
        replaced = parent.children.get(name)
        if replaced is not None:
            self.detach(replaced)
        node.parent, node.name = parent, name
        parent.children[name] = node
        self.existed.update(current.path() for current in node.subtree())

    def some_dir(self, shallow=False):
        """Any directory, the top included."""
        for _ in range(4):
            if self.rng.randrange(len(self.dirs) + 1) == 0:
                return self.top
            node = self.dirs.choice(self.rng)
            if not shallow or node.depth() < self.MAX_DEPTH - 3:
                return node
        return self.top

    def entries(self):
        return len(self.files) + len(self.dirs)

    def note(self, verb, *paths):
        self.log.append((verb,) + paths)

    @staticmethod
    def describe(entry):
        return entry[0] + " " + " -> ".join(repr(p) for p in entry[1:])

    def create_file(self, parent=None):
        parent = parent or self.some_dir()
        node = Node(self.fresh("f"), parent, False)
        with open(self.full(node), "xb") as f:
            f.write(b"x" * self.rng.randrange(1, 64))
        self.attach(node)
        self.note("create", node.path())
        return True

    def append_file(self):
        node = self.files.choice(self.rng)
        if node is None:
            return False
        with open(self.full(node), "ab") as f:
            f.write(b"y" * self.rng.randrange(1, 64))
        self.note("append", node.path())
        return True

    def _remove(self, pool, remove, verb):
        node = pool.choice(self.rng)
        if node is None:
            return False
        remove(self.full(node))
        self.note(verb, node.path())
        self.detach(node)
        return True

    def delete_file(self):
        return self._remove(self.files, os.unlink, "delete")

    def _rename(self, node, parent, name, verb):
        old = node.path()
        new = (parent.path() + "/" + name) if parent.parent is not None else name
        os.rename(self.full(old), self.full(new))
        self.relocate(node, parent, name)
        self.note(verb, old, new)

    def _rename_in_place(self, pool, kind):
        node = pool.choice(self.rng)
        if node is None:
            return False
        self._rename(node, node.parent, self.fresh(kind), "rename")
        return True

    def _rename_over(self, pool, replaceable):
        node = pool.choice(self.rng)
        if node is None:
            return False
        targets = [n for n in node.parent.children.values() if replaceable(n) and n is not node]
        if not targets:
            return False
        target = targets[self.rng.randrange(len(targets))]
        self._rename(node, node.parent, target.name, "rename-over")
        return True

    def rename_file(self):
        return self._rename_in_place(self.files, "f")

    def rename_file_over_file(self):
        return self._rename_over(self.files, lambda n: not n.is_dir)

    def move_file(self, renamed=False):
        node = self.files.choice(self.rng)
        target = self.some_dir()
        if node is None or target is node.parent:
            return False
        self._rename(node, target, self.fresh("f") if renamed else node.name, "move")
        return True

    def move_file_renamed(self):
        """No reader can take this for a move: it is a removal and an addition."""
        return self.move_file(renamed=True)

    def make_chain(self):
        """mkdir -p of one to four new levels, with files made in them at once."""
        chain = [self.some_dir(shallow=True)]
        for _ in range(self.rng.randint(1, 4)):
            chain.append(Node(self.fresh("d"), chain[-1], True))
        del chain[0]  # the parent, which was there
        os.makedirs(self.full(chain[-1]))
        for node in chain:
            self.attach(node)
        self.note("mkdir -p", chain[-1].path())
        for node in chain:
            for _ in range(self.rng.choice((0, 0, 1, 2, 3))):
                self.create_file(node)
        return True

    def rename_dir(self):
        return self._rename_in_place(self.dirs, "d")

    def rename_dir_over_empty_dir(self):
        return self._rename_over(self.dirs, lambda n: n.is_dir and not n.children)

    def move_dir(self, renamed=False):
        node = self.dirs.choice(self.rng)
        target = self.some_dir()
        if node is None or target is node.parent or node.contains(target):
            return False
        if target.depth() + self.height(node) > self.MAX_DEPTH + 2:
            return False
        self._rename(node, target, self.fresh("d") if renamed else node.name, "move")
        return True

    def move_dir_renamed(self):
        """The report must list what it holds, since no reader can carry it across."""
        return self.move_dir(renamed=True)

    def height(self, node):
        """How many levels the subtree spans."""
        return max(below.depth() for below in node.subtree()) - node.depth() + 1

    def remove_tree(self):
        return self._remove(self.dirs, shutil.rmtree, "rm -rf")

    def move_out(self):
        pool = self.dirs if self.rng.randrange(3) == 0 else self.files
        return self._remove(pool, lambda path: os.rename(path, os.path.join(self.outside, os.path.basename(path))),
                            "move out")

    def move_in(self):
        is_dir = self.rng.randrange(3) == 0
        name = self.fresh("d" if is_dir else "f")
        source = os.path.join(self.outside, name)
        (os.mkdir if is_dir else write)(source)
        node = Node(name, self.some_dir(), is_dir)
        os.rename(source, self.full(node))
        self.attach(node)
        self.note("move in", node.path())
        return True

    def populate(self, entries):
        """Builds a starting tree before anything watches it."""
        while self.entries() < entries:
            (self.make_chain if self.rng.randrange(3) == 0 else self.create_file)()
        self.log.clear()

    def step(self):
        menu = self.shrinking if self.entries() > self.max_entries else self.operations
        total = sum(weight for weight, _ in menu)
        while True:
            pick = self.rng.randrange(total)
            for weight, operation in menu:
                pick -= weight
                if pick < 0:
                    break
            if operation():
                return

