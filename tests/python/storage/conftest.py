import os
import sys

# Let the storage tests import storage_helpers.py whatever the rootdir.
sys.path.insert(0, os.path.dirname(__file__))
