"""tesmo: Markov-style chains saved to and loaded from JSON documents.

The chain classes live here in pure Python; the native module
``tesmo_cjson`` writes and reads them. It is not imported here, because the
native module imports ``tesmo.bag`` while it initialises itself.
"""

from tesmo.bag import ProbabilityBag
from tesmo.chain import Chain

# The package's one version number: the build reads it from this line.
__version__ = "0.1.0"

__all__ = ["Chain", "ProbabilityBag", "__version__"]
