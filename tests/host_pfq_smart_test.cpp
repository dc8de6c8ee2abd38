// The real monitor on this host: pfq and smart figures against an independent reading (being built).
