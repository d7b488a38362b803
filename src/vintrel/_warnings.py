"""Warnings that point at the caller's line, however deep inside the
package they are raised."""

import os
import warnings

_PACKAGE = os.path.dirname(os.path.abspath(__file__)) + os.sep


def warn(message: str, category: type[Warning]) -> None:
    """Issue `message` attributed to the first frame outside this package:
    the user's call, whichever public function it went through."""
    warnings.warn(message, category, skip_file_prefixes=(_PACKAGE,))
