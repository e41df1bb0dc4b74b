"""What every reader shares: the rows a map gives, the rules that turn them into the model, and
what region and section names mean."""
