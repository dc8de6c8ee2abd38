// The real monitor on this host: proc figures against an independent reading (being built).
