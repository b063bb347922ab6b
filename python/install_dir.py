"""Prints where the package zoetra goes under an install prefix, relative to it:
a folder this interpreter searches for that prefix. Run by cmake --install,
when the prefix is known.

    python3 install_dir.py /usr/local   # Debian: lib/python3.X/dist-packages
    python3 install_dir.py ~/env        # lib/python3.X/site-packages
"""

import os
import site
import sys
import sysconfig

prefix = os.path.realpath(sys.argv[1])

# The interpreter's own prefixes: the folders it searches there. Debian's
# python3 searches /usr/local/lib/python3.X/dist-packages for /usr/local (and
# its default scheme would put a prefix P's modules in P/local/...). Only a
# folder right in the prefix's lib counts: /usr/local's are not /usr's.
for folder in site.getsitepackages():
    relative = os.path.relpath(os.path.realpath(folder), prefix)
    if relative.split(os.sep)[0] in ("lib", "lib64"):
        print(relative)
        sys.exit(0)

# Any other prefix: the layout of a virtual environment made there from this
# interpreter, which is what it searches.
scheme = "venv" if "venv" in sysconfig.get_scheme_names() else "posix_prefix"
folder = sysconfig.get_path("platlib", scheme, vars={"base": prefix, "platbase": prefix})
print(os.path.relpath(folder, prefix))
