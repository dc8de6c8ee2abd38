// The real monitor on this host: cpu and if figures against an independent reading (being built).
