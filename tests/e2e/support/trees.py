"""Trees on disk: small files, sibling directories, listing, and removal whatever the modes."""

import os
import shutil


def write(path, data=b"x"):
    with open(path, "wb") as f:
        f.write(data)


def make_dirs(root, count):
    for i in range(count):
        os.mkdir(os.path.join(root, f"d{i:03}"))


def walk(root):
    """Every file and directory below root, relative to it (links not followed)."""
    def fail(error):
        raise error

    return {os.path.relpath(os.path.join(top, name), root)
            for top, dirs, files in os.walk(root, onerror=fail) for name in dirs + files}


def remove_tree(path):
    """Removes a tree whatever its modes; fd-relative, so depth is no problem."""
    if not os.path.lexists(path):
        return
    for _, dirnames, _, dirfd in os.fwalk(path, topdown=True):
        for name in dirnames:
            try:
                os.chmod(name, 0o755, dir_fd=dirfd, follow_symlinks=False)
            except OSError:
                pass
    shutil.rmtree(path, ignore_errors=True)
