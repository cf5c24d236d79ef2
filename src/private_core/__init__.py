"""Private core of the Varnix market-data client.

The modules of this package are C++ extension modules; import them by name,
for example ``from private_core.wire_link import HttpSession``.
"""

from private_core._version import __version__ as __version__
