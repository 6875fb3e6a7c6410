#!/usr/bin/env python3
"""Trees for bench/cli_bench.sh, kept between runs.

  generate DIR FILES FOLDERS   a tree of empty and tiny files (two processes)
  mirror SOURCE DIR            the shape of SOURCE: same names, types, modes,
                               owners, times and sizes (as sparse files), so
                               that it can be changed without touching SOURCE
  mutate DIR JOURNAL [--folders] [--seed=N]
                               adds, removes and touches 1% of the files each,
                               recording how to undo it; with --folders also
                               removes one leaf folder in 1000 and adds a new
                               folder (with a subfolder) beside one in 500
  restore JOURNAL              undoes a mutation (a no-op when there is none)

A tree is built under DIR.partial and renamed when complete, so that an
interrupted run is redone rather than reused.
"""
import json
import random
import multiprocessing
import os
import shutil
import stat
import sys

# Fixed times, so that two generated trees look alike.
BASE_NS = 1_700_000_000 * 10**9


def _generate_part(args):
    root, tops, per_top, files_per_folder, extra_files = args
    made = 0
    for top in tops:
        folders = [os.path.join(root, "d%03d" % top)]
        folders += [os.path.join(folders[0], "s%04d" % sub) for sub in range(per_top)]
        for index, folder in enumerate(folders):
            os.makedirs(folder, exist_ok=True)
            count = files_per_folder + (1 if index < extra_files.get(top, 0) else 0)
            for number in range(count):
                name = os.path.join(folder, "file-%05d.%s" % (number, ("txt", "dat", "log", "c")[number % 4]))
                fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
                if number % 8 == 0:
                    os.write(fd, b"x" * (number % 97 + 1))
                os.close(fd)
                ns = BASE_NS + (top * 100_000 + index * 100 + number) * 1_000_003
                os.utime(name, ns=(ns, ns))
                made += 1
        for folder in reversed(folders):  # after their files, which change them
            os.utime(folder, ns=(BASE_NS, BASE_NS))
    return made


def generate(directory, files, folders):
    """`folders` folders below DIR (tops of about 1000 subfolders each) holding `files` files between them."""
    if os.path.isdir(directory):
        return
    partial = directory + ".partial"
    shutil.rmtree(partial, ignore_errors=True)
    os.makedirs(partial)
    tops = max(1, folders // 1000)
    per_top = folders // tops - 1  # the top folder itself counts
    total_folders = tops * (per_top + 1)
    files_per_folder, remainder = divmod(files, total_folders)
    # Spread the remainder over the first folders of each top folder.
    extra = {top: remainder // tops + (1 if top < remainder % tops else 0) for top in range(tops)}
    jobs = [(partial, list(range(worker, tops, 2)), per_top, files_per_folder, extra) for worker in range(2)]
    with multiprocessing.Pool(2) as pool:
        made = sum(pool.map(_generate_part, jobs))
    os.utime(partial, ns=(BASE_NS, BASE_NS))
    os.rename(partial, directory)
    print("generated %s: %d folders, %d files" % (directory, total_folders, made), file=sys.stderr)


def mirror(source, directory):
    if os.path.isdir(directory):
        return
    partial = directory + ".partial"
    shutil.rmtree(partial, ignore_errors=True)
    folder_times = []
    count = 0
    for parent, dirnames, filenames in os.walk(source):
        relative = os.path.relpath(parent, source)
        target_parent = os.path.normpath(os.path.join(partial, relative))
        info = os.lstat(parent)
        os.makedirs(target_parent, exist_ok=True)
        os.chmod(target_parent, stat.S_IMODE(info.st_mode) | stat.S_IRWXU)
        os.lchown(target_parent, info.st_uid, info.st_gid)
        folder_times.append((target_parent, info))
        kept = []
        for name in dirnames:
            path = os.path.join(parent, name)
            if os.path.islink(path) or os.path.ismount(path):
                filenames.append(name)  # a link to a folder is mirrored as a link, a mount point is left out
            else:
                kept.append(name)
        dirnames[:] = kept
        for name in filenames:
            path = os.path.join(parent, name)
            target = os.path.join(target_parent, name)
            try:
                info = os.lstat(path)
            except FileNotFoundError:
                continue
            if stat.S_ISLNK(info.st_mode):
                os.symlink(os.readlink(path), target)
            elif stat.S_ISREG(info.st_mode):
                with open(target, "wb") as handle:
                    handle.truncate(info.st_size)
                os.chmod(target, stat.S_IMODE(info.st_mode))
            elif stat.S_ISFIFO(info.st_mode):
                os.mkfifo(target, stat.S_IMODE(info.st_mode))
            else:
                continue
            os.lchown(target, info.st_uid, info.st_gid)
            os.utime(target, ns=(info.st_atime_ns, info.st_mtime_ns), follow_symlinks=False)
            count += 1
    for target, info in reversed(folder_times):
        os.chmod(target, stat.S_IMODE(info.st_mode))
        os.utime(target, ns=(info.st_atime_ns, info.st_mtime_ns))
    os.rename(partial, directory)
    print("mirrored %s into %s: %d folders, %d files" % (source, directory, len(folder_times), count),
          file=sys.stderr)


def mutate(directory, journal_path, folders_too=False, seed=None):
    """Every 100th file (in sorted walk order) is removed, another touched; one file is added per 100 files.

    With a seed, which files and folders change is drawn at random instead, in the same proportions.

    With folders_too, every 1000th folder that has no subfolders is removed with its files as well, and beside
    every 500th folder a new one is made, named like it plus ".new" (as "." ranks below "/", the new folder
    and its subtree sort just before that folder), holding three files and a subfolder with two more.
    """
    restore(journal_path)
    directory = os.path.abspath(directory)
    journal_path = os.path.abspath(journal_path)
    stash = journal_path + ".stash"
    shutil.rmtree(stash, ignore_errors=True)
    os.makedirs(stash)
    journal = {"stash": stash, "removed": [], "touched": [], "added": [], "added_folders": [], "folders": []}
    folders = {}

    def remember(folder):
        if folder not in folders:
            info = os.stat(folder)
            folders[folder] = (info.st_atime_ns, info.st_mtime_ns)

    # The journal goes to disk before any change, so that a run stopped half
    # way can still be undone.
    plan = []
    seen = 0
    folders_seen = 0
    draw = random.Random(seed) if seed is not None else None
    for parent, dirnames, filenames in os.walk(directory):
        dirnames.sort()
        if folders_too:
            kept = []
            for name in dirnames:
                path = os.path.join(parent, name)
                slot = draw.randrange(1000) if draw else folders_seen % 1000
                folders_seen += 1
                if slot == 250 and not any(entry.is_dir(follow_symlinks=False) for entry in os.scandir(path)):
                    plan.append(("remove folder", path))  # with its files, which the walk then passes over
                    continue
                if slot % 500 == 0:
                    plan.append(("add folder", path + ".new"))
                kept.append(name)
            dirnames[:] = kept
        for name in sorted(filenames):
            path = os.path.join(parent, name)
            slot = draw.randrange(100) if draw else seen % 100
            seen += 1
            if slot == 7:
                plan.append(("remove", path))
            elif slot == 42 and not os.path.islink(path):
                plan.append(("touch", path))
            elif slot == 77:
                plan.append(("add", os.path.join(parent, "added-%d.new" % seen)))
    for action, path in plan:
        remember(os.path.dirname(path))
        if action == "touch":
            info = os.lstat(path)
            journal["touched"].append([path, info.st_atime_ns, info.st_mtime_ns])
        elif action in ("remove", "remove folder"):
            journal["removed"].append([path, os.path.join(stash, "%d" % len(journal["removed"]))])
        elif action == "add folder":
            journal["added_folders"].append(path)
        else:
            journal["added"].append(path)
    journal["folders"] = [[folder, times[0], times[1]] for folder, times in folders.items()]
    with open(journal_path, "w") as handle:
        json.dump(journal, handle)

    for path, stashed in journal["removed"]:
        os.rename(path, stashed)
    for path, _, mtime in journal["touched"]:
        os.utime(path, ns=(mtime, mtime + 86_400 * 10**9), follow_symlinks=False)
    for path in journal["added"]:
        with open(path, "wb") as handle:
            handle.write(b"new\n")
    for path in journal["added_folders"]:
        os.makedirs(os.path.join(path, "inner"))
        for name in ("a.txt", "b.txt", "c.txt", "inner/d.txt", "inner/e.txt"):
            with open(os.path.join(path, name), "wb") as handle:
                handle.write(b"new\n")
    removed_folders = sum(1 for action, _ in plan if action == "remove folder")
    print("mutated %s: %d added, %d removed, %d touched; folders: %d added, %d removed" %
          (directory, len(journal["added"]), len(journal["removed"]) - removed_folders, len(journal["touched"]),
           len(journal["added_folders"]), removed_folders), file=sys.stderr)


def restore(journal_path):
    if not os.path.exists(journal_path):
        return
    with open(journal_path) as handle:
        journal = json.load(handle)
    for path in journal["added"]:
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass
    for path in journal.get("added_folders", []):
        shutil.rmtree(path, ignore_errors=True)
    for path, stashed in journal["removed"]:
        if os.path.lexists(stashed):
            os.rename(stashed, path)
    for path, atime, mtime in journal["touched"]:
        os.utime(path, ns=(atime, mtime), follow_symlinks=False)
    for folder, atime, mtime in journal["folders"]:
        os.utime(folder, ns=(atime, mtime))
    shutil.rmtree(journal["stash"], ignore_errors=True)
    os.unlink(journal_path)


def main(argv):
    if len(argv) == 5 and argv[1] == "generate":
        generate(argv[2], int(argv[3]), int(argv[4]))
    elif len(argv) == 4 and argv[1] == "mirror":
        mirror(argv[2], argv[3])
    elif len(argv) >= 4 and argv[1] == "mutate" and all(a == "--folders" or a.startswith("--seed=") for a in argv[4:]):
        seeds = [int(a[len("--seed="):]) for a in argv[4:] if a.startswith("--seed=")]
        mutate(argv[2], argv[3], "--folders" in argv[4:], seeds[-1] if seeds else None)
    elif len(argv) == 3 and argv[1] == "restore":
        restore(argv[2])
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
