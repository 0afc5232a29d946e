"""The chain: an insertion-ordered mapping from start to ProbabilityBag.

``Chain`` is the native type of ``tesmo._chain``; its behaviour is that of
``tesmo.reference.Chain``.
"""

from tesmo._chain import Chain

__all__ = ["Chain"]
