"""The distribution's license files, as a dynamic-metadata provider for scikit-build-core.

Vantorel's own license always. CRoaring's too when its sources are bundled in
third_party/croaring/ (`make sdist` puts them there): a source distribution
then names the license of the code it carries, and so does every wheel built
from it. (A build that fetches CRoaring ships its license from CMake instead.)
"""

from collections.abc import Mapping
from pathlib import Path
from typing import Any

BUNDLED_CROARING_LICENSE = "third_party/croaring/LICENSE"


def dynamic_metadata(settings: Mapping[str, Any], project: Mapping[str, Any]) -> dict[str, Any]:
    files = ["LICENSE"]
    if Path(BUNDLED_CROARING_LICENSE).is_file():
        files.append(BUNDLED_CROARING_LICENSE)
    return {"license-files": files}
