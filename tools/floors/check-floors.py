#!/usr/bin/env python3
"""Checks that the folders of src/ form floors (docs/architecture.md).

A file may include headers of its own folder and of folders on lower floors
only; no two folders may include each other; one program's folder never
includes another's. Inside the platform floor, only the window layer
(platform/gui) includes window code, and operating-system headers appear only
in the win32/ and posix/ folders. Prints every breach and exits 1, or prints
a summary and exits 0.

Usage: check-floors.py [REPOSITORY_ROOT]
"""
import os
import re
import sys

# Floor of each folder of src/; folders on one floor do not include each
# other either, except where PEERS allows it.
FLOORS = {
    "platform": 0,
    "base": 1,
    "engine": 2,
    "activators": 2,
    "pipe": 2,
    "ui": 3,
    "app": 4,
    "service": 4,
    "restore": 4,
}
PROGRAMS = {"app", "service", "restore"}
INCLUDE = re.compile(r'^\s*#\s*include\s+([<"])([^">]+)[">]', re.M)
# Headers of the operating systems: only the platform's OS folders use them.
OS_HEADER = re.compile(
    r"^(windows|winsock2|ws2tcpip|mswsock|shlobj|shellapi|wininet|winreg|commctrl|"
    r"tlhelp32|psapi|dbghelp|unistd|fcntl|dlfcn|pthread|signal|poll|netdb|termios|"
    r"sys/.*|netinet/.*|arpa/.*|X11/.*)\.h$")
SOURCE_SUFFIXES = (".h", ".hpp", ".cpp", ".cc")


def folder_of(path_in_src):
    """The floor folder and the sub-path of a path relative to src/."""
    parts = path_in_src.split("/")
    return parts[0], "/".join(parts[1:])


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                           os.path.join(os.path.dirname(__file__), "..", ".."))
    src = os.path.join(root, "src")
    breaches = []
    arrows = {}
    files = 0
    for directory, _, names in os.walk(src):
        for name in sorted(names):
            if not name.endswith(SOURCE_SUFFIXES):
                continue
            files += 1
            path = os.path.join(directory, name)
            rel = os.path.relpath(path, src).replace(os.sep, "/")
            folder, inner = folder_of(rel)
            if folder not in FLOORS:
                breaches.append(f"src/{rel}: folder '{folder}' has no floor")
                continue
            in_os_folder = "/win32/" in "/" + inner or "/posix/" in "/" + inner
            with open(path, encoding="utf-8", errors="replace") as source:
                text = source.read()
            for kind, header in INCLUDE.findall(text):
                if kind == "<":
                    if OS_HEADER.match(header) and not in_os_folder:
                        breaches.append(f"src/{rel}: operating-system header <{header}> "
                                        "outside a win32/ or posix/ folder")
                    continue
                target, target_inner = folder_of(header)
                if target not in FLOORS or "/" not in header:
                    continue
                if target == folder:
                    # The window layer is the platform's top: nothing else of
                    # the platform includes it.
                    if (folder == "platform" and target_inner.startswith("gui/")
                            and not inner.startswith("gui/")):
                        breaches.append(f"src/{rel}: includes the window layer ({header})")
                    continue
                arrows.setdefault((folder, target), f"src/{rel} includes {header}")
                if FLOORS[target] > FLOORS[folder]:
                    breaches.append(f"src/{rel}: includes {header} from a higher floor")
                elif FLOORS[target] == FLOORS[folder]:
                    what = "another program" if folder in PROGRAMS else "a folder of its floor"
                    breaches.append(f"src/{rel}: includes {header} from {what}")
    for (a, b), example in sorted(arrows.items()):
        if a < b and (b, a) in arrows:
            breaches.append(f"{a} and {b} include each other: {example}; {arrows[(b, a)]}")
    if breaches:
        print("\n".join(breaches))
        print(f"floors broken: {len(breaches)} breach(es)")
        return 1
    print(f"floors kept: {files} files in {len({f for f, _ in arrows} | set(FLOORS))} folders, "
          f"{len(arrows)} folder arrows")
    return 0


if __name__ == "__main__":
    sys.exit(main())
