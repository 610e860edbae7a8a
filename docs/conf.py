"""Sphinx configuration of tavo's documentation site (built offline: no intersphinx)."""

import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import figures  # noqa: E402

project = "tavo"
author = "the tavo developers"
release = "0.1.0"
extensions = ["sphinx.ext.autodoc", "sphinx.ext.doctest"]
exclude_patterns = ["_build", "requirements.txt"]
nitpicky = True
# Annotations name numpy's, scipy's and typing's classes, whose pages are not part of this
# offline build; the signatures show them as text.
autodoc_typehints = "none"
html_theme = "alabaster"
html_static_path = []
doctest_global_setup = "import numpy as np\nimport tavo\nimport tavo_tools"

figures.write_all(HERE / "_generated")
