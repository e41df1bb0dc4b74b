"""The command and the API: one road from the files named to a verdict, its outputs and exit code."""
