from tarnwick.app.entry import entry_point

entry_point()
