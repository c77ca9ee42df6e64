#!/usr/bin/env python3
"""Every code block of README.md, compiled or run as a user would, against an
installed tree: C hosts built with pkg-config and run, C++ readers built with
find_package(varnel) and run while a demo host writes, Python blocks run (hosts
before the demo, readers while it runs), XML parsed. A block whose info string
says "fragment" (```cmake fragment) is a piece of something larger and is only
listed; a C++ block that says "compile" (```cpp compile) is built, not run (it
needs a file the run does not have).

    scripts/readme_blocks.py --prefix STAGE --site lib/python3/dist-packages --work DIR
"""
import argparse
import os
import re
import subprocess
import sys
import time
import xml.etree.ElementTree as ElementTree


def blocks(text):
    """(line, language, flags, code) for every fenced block."""
    found, lines, i = [], text.split("\n"), 0
    while i < len(lines):
        match = re.match(r"^```(\w*)\s*(.*)$", lines[i])
        if match:
            start, language, flags = i + 1, match.group(1), match.group(2).split()
            i += 1
            body = []
            while i < len(lines) and not lines[i].startswith("```"):
                body.append(lines[i])
                i += 1
            found.append((start, language, flags, "\n".join(body) + "\n"))
        i += 1
    return found


def run(command, what, **kwargs):
    result = subprocess.run(command, capture_output=True, text=True, timeout=300, **kwargs)
    if result.returncode != 0:
        sys.exit(f"README {what}: {' '.join(command)} failed ({result.returncode}):\n"
                 f"{result.stdout}{result.stderr}")
    return result.stdout


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--readme", default="README.md")
    parser.add_argument("--prefix", required=True, help="the installed tree")
    parser.add_argument("--site", required=True, help="the Python module's folder under the prefix")
    parser.add_argument("--work", required=True, help="a scratch folder")
    args = parser.parse_args()
    prefix, work = os.path.abspath(args.prefix), os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    libdir = os.path.join(prefix, "lib")
    env = dict(os.environ, LD_LIBRARY_PATH=libdir, PYTHONPATH=os.path.join(prefix, args.site),
               PKG_CONFIG_PATH=os.path.join(libdir, "pkgconfig"))

    with open(args.readme, encoding="utf-8") as readme:
        found = blocks(readme.read())
    later, checked, fragments = [], 0, 0
    for line, language, flags, code in found:
        what = f"block at line {line} ({language})"
        if "fragment" in flags:
            fragments += 1
            print(f"{what}: a fragment, not run")
            continue
        name = os.path.join(work, f"block{line}")
        if language == "c":
            with open(name + ".c", "w") as source:
                source.write(code)
            flags_out = run(["pkg-config", "--cflags", "--libs", "varnel_interface"], what, env=env)
            run(["cc", "-std=c99", "-Wall", "-Werror", name + ".c", "-o", name] + flags_out.split(), what)
            run([name], what, env=env)
        elif language == "cpp":
            os.makedirs(name, exist_ok=True)
            with open(os.path.join(name, "block.cpp"), "w") as source:
                source.write(code)
            with open(os.path.join(name, "CMakeLists.txt"), "w") as cmake:
                cmake.write("cmake_minimum_required(VERSION 3.25)\nproject(block CXX)\n"
                            "set(CMAKE_CXX_STANDARD 20)\nfind_package(varnel REQUIRED)\n"
                            "add_executable(block block.cpp)\n"
                            "target_link_libraries(block PRIVATE varnel::session varnel::graph "
                            "varnel::recording)\n")
            run(["cmake", "-S", name, "-B", name + "/build", f"-DCMAKE_PREFIX_PATH={prefix}"], what)
            run(["cmake", "--build", name + "/build"], what)
            if "compile" not in flags:
                later.append((what, [os.path.join(name, "build", "block")], None))
        elif language == "python":
            with open(name + ".py", "w") as source:
                source.write(code)
            if "Graph.open(" in code:  # a host: runs before the demo, Enter ends it
                run([sys.executable, name + ".py"], what, env=env, input="\n")
            else:
                later.append((what, [sys.executable, name + ".py"], None))
        elif language == "xml":
            ElementTree.fromstring(code)
        else:
            sys.exit(f"README {what}: no way to check a {language!r} block; mark it `fragment`")
        checked += 1

    # Readers while a host writes.
    demo = subprocess.Popen([os.path.join(prefix, "bin", "varnel-demo"), "--duration", "8", "--rate", "10",
                             "--cars", "6", "--seed", "1"], stdout=subprocess.DEVNULL, env=env)
    try:
        time.sleep(2)
        for what, command, _ in later:
            run(command, what, env=env)
    finally:
        demo.terminate()  # the demo ends its run and releases the region
        try:
            demo.wait(timeout=30)
        except subprocess.TimeoutExpired:
            demo.kill()
            demo.wait()
    print(f"README: {checked} blocks compiled or run, {fragments} fragments")


if __name__ == "__main__":
    main()
