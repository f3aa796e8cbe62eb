import os
import sys

# Let the tests import helpers.py from this directory whatever the rootdir.
sys.path.insert(0, os.path.dirname(__file__))
