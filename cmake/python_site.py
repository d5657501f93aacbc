"""Prints the directory into which a package is installed for this interpreter under the prefix
given as the only argument: the platlib directory of the interpreter's own install scheme for
that prefix when it has one (Debian's python3: /usr/lib/python3/dist-packages for /usr,
/usr/local/lib/python3.X/dist-packages for /usr/local; a virtual environment's site-packages for
its prefix; the user site for ~/.local), else the standard PREFIX/lib/python3.X/site-packages."""
import os
import sys
import sysconfig


def default_scheme():
    if hasattr(sysconfig, "get_default_scheme"):
        return sysconfig.get_default_scheme()
    return sysconfig._get_default_scheme()  # before Python 3.10


def site_dir(prefix):
    prefix = os.path.normpath(os.path.abspath(prefix))
    schemes = sysconfig.get_scheme_names()
    for scheme in (default_scheme(), "deb_system", "posix_local", "venv", "posix_user",
                   "posix_prefix"):
        # A scheme's "data" directory is its install base.
        if scheme in schemes and os.path.normpath(sysconfig.get_path("data", scheme)) == prefix:
            return sysconfig.get_path("platlib", scheme)
    return sysconfig.get_path("platlib", "posix_prefix", vars={"base": prefix, "platbase": prefix})


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: python_site.py PREFIX")
    print(site_dir(sys.argv[1]))
