"""tesmo: Markov-style chains saved to and loaded from JSON documents.

``Chain`` and ``ProbabilityBag`` are native types (C++, in ``tesmo._chain``);
``tesmo.reference`` keeps pure-Python classes that behave the same, as the
readable definition. ``tesmo.train`` trains a chain on text and generates
sentences from it, ``tesmo.shards`` trains on files in shards across
processes or machines, and ``tesmo.cli`` is the ``tesmo`` command. The
native module ``tesmo_cjson`` saves chains as JSON documents and loads them
(``dump_json_small``/``load_json_small`` in memory, ``dump_json_big``/
``load_json_big`` streaming). It is not imported here, because it imports
``tesmo.bag`` while it initialises itself.
"""

from tesmo.bag import ProbabilityBag
from tesmo.chain import Chain

# The package's one version number: the build reads it from this line.
__version__ = "0.1.0"

__all__ = ["Chain", "ProbabilityBag", "__version__"]
