"""ELF files: their sections and symbols, the model of an ELF alone or joined to its map, and DWARF."""
