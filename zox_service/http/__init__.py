"""The HTTP layer: the edge in front, the routes and the application behind it."""
