"""The weighted bag of next starts that a chain keeps for every start.

``ProbabilityBag`` is the native type of ``tesmo._chain``; its behaviour is
that of ``tesmo.reference.ProbabilityBag``. ``_C_API`` is the capsule through
which ``tesmo_cjson`` reaches chains and bags natively (see
src/pjson/chain/chain_api.h); importing this module makes it available
without a further import.
"""

from collections.abc import Hashable

# _C_API is re-exported for tesmo_cjson, which finds the native types here.
from tesmo._chain import _C_API as _C_API
from tesmo._chain import ProbabilityBag

NextStart = tuple[Hashable, ...]

__all__ = ["NextStart", "ProbabilityBag"]
