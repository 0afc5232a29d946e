"""The weighted bag of next starts that a chain keeps for every start.

``ProbabilityBag`` is the native type of ``tesmo._chain``; its behaviour is
that of ``tesmo.reference.ProbabilityBag``. ``_C_API`` is the capsule through
which ``tesmo_cjson`` reaches chains and bags natively (see
src/pjson/chain/chain_api.h); importing this module makes it available
without a further import.
"""

from typing import Hashable, Tuple

from tesmo._chain import _C_API, ProbabilityBag

NextStart = Tuple[Hashable, ...]

__all__ = ["NextStart", "ProbabilityBag"]
