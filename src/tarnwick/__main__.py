from tarnwick.entry import entry_point

entry_point()
