// The proc probe against the stand-in pointed at fixture trees (being built).
