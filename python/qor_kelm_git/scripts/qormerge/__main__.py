"""Runs the qormerge merge driver: python3 -m qor_kelm_git.scripts.qormerge --help"""
import sys

from qor_kelm_git.scripts.qormerge import main

if __name__ == "__main__":
    sys.exit(main())
