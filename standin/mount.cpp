// (being built)
