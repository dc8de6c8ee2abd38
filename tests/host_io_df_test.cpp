// The real monitor on this host: io and df figures against an independent reading (being built).
