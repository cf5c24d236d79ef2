"""FlowEngineContract: the structural type an investor engine satisfies, and the aliases of the
investor call arguments.
"""

from typing import Any

from typing import TYPE_CHECKING as TYPE_CHECKING
from typing import Literal as Literal
from typing import Protocol as Protocol
from typing import Sequence as Sequence
from typing import Union as Union
from typing import runtime_checkable as runtime_checkable
import pandas as pd
from private_core.wire_link import HttpSession

__all__ = ['FlowEngineContract', 'InvestorGroup', 'SymbolArg', 'Interval']

InvestorGroup = Literal['foreign', 'proprietary', 'local_institutional', 'local_individual', 'foreign_institutional', 'foreign_individual', 'all']
SymbolArg = Union[str, Sequence[str]]
Interval = Literal['1D', '1W', '1M']

@runtime_checkable
class FlowEngineContract(Protocol):
    session: HttpSession
    def fetch_df(self, namespace: str, op: str, params: dict[str, Any]) -> pd.DataFrame: ...
