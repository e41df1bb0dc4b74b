"""Analysis passes over a `NormalizedBuildModel`, and the report builder in `summary`."""
