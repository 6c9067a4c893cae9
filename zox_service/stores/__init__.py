"""Where problems wait and results are held: one interface, an in-process and a Redis store."""
