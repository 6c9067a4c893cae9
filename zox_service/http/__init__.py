"""The HTTP layer: connection guards, routes and the application."""
