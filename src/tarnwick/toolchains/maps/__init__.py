"""The map readers: one per linker family, each filling the build model through the builder."""
